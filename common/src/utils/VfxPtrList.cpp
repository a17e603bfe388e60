#include "VfxPtrList.h"

#include <stdlib.h>
#include <string.h>

#include <new>

VfxPtrList::~VfxPtrList()
{
    free(m_ppList);
}

void VfxPtrList::grow(int nMaxLen)
{
    void** p = static_cast<void**>(realloc(m_ppList, sizeof(void*) * nMaxLen));
    if (!p)
        throw std::bad_alloc();
    memset(p + m_nMaxLen, 0, sizeof(void*) * (nMaxLen - m_nMaxLen));
    m_ppList = p;
    m_nMaxLen = nMaxLen;
}

void* VfxPtrList::get(int i) const
{
    if (!m_ppList || i < 0 || i >= m_nLength)
        return nullptr;
    return m_ppList[i];
}

void VfxPtrList::append(void* p)
{
    if (m_nLength >= m_nMaxLen)
        grow(m_nLength + 10);
    m_ppList[m_nLength++] = p;
}

bool VfxPtrList::insert(int i, void* p)
{
    if (i < 0 || i > m_nLength)
        return false;
    int want = (m_nLength > i ? m_nLength : i) + 10;
    if (want > m_nMaxLen)
        grow(want);
    memmove(m_ppList + i + 1, m_ppList + i, sizeof(void*) * (m_nLength - i));
    m_ppList[i] = p;
    ++m_nLength;
    return true;
}

void VfxPtrList::remove(int i)
{
    if (!m_ppList || i < 0 || i >= m_nLength)
        return;
    memmove(m_ppList + i, m_ppList + i + 1, sizeof(void*) * (m_nLength - i - 1));
    m_ppList[--m_nLength] = nullptr;
}
