#include "VfxStack.h"

#include <stdlib.h>

#include <new>

namespace {

// One more element of room: the stacks grow one element at a time.
template <typename T>
void growByOne(T*& array, int& nMaxLen, int nLength)
{
    T* p = static_cast<T*>(realloc(array, sizeof(T) * (nLength + 1)));
    if (!p)
        throw std::bad_alloc();
    array = p;
    nMaxLen = nLength + 1;
}

} // namespace

CIntStack::~CIntStack()
{
    free(m_pnStack);
}

void CIntStack::push(int n)
{
    if (m_nLength >= m_nMaxLen)
        growByOne(m_pnStack, m_nMaxLen, m_nLength);
    m_pnStack[m_nLength++] = n;
}

int CIntStack::top() const
{
    return m_nLength > 0 ? m_pnStack[m_nLength - 1] : 0;
}

int CIntStack::pop()
{
    if (m_nLength == 0)
        return 0;
    int n = m_pnStack[--m_nLength];
    if (m_nLength == 0) {
        free(m_pnStack);
        m_pnStack = nullptr;
        m_nMaxLen = 0;
    }
    return n;
}

int CIntStack::peek(int i) const
{
    return i >= 0 && i < m_nLength ? m_pnStack[i] : 0;
}

CPtrStack::~CPtrStack()
{
    free(m_ppStack);
}

void CPtrStack::push(void* p)
{
    if (m_nLength >= m_nMaxLen)
        growByOne(m_ppStack, m_nMaxLen, m_nLength);
    m_ppStack[m_nLength++] = p;
}

void* CPtrStack::top() const
{
    return m_nLength > 0 ? m_ppStack[m_nLength - 1] : nullptr;
}

void* CPtrStack::pop()
{
    if (m_nLength == 0)
        return nullptr;
    void* p = m_ppStack[--m_nLength];
    if (m_nLength == 0) {
        free(m_ppStack);
        m_ppStack = nullptr;
        m_nMaxLen = 0;
    }
    return p;
}

void* CPtrStack::peek(int i) const
{
    return i >= 0 && i < m_nLength ? m_ppStack[i] : nullptr;
}
