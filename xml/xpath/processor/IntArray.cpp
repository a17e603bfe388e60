#include "IntArray.h"

#include <string.h>

#include "VfxMemory.h"

IntArray::IntArray(int initialSize, bool sorted, bool unique)
    : m_bSorted(sorted), m_bUnique(unique), m_nSize(0), m_nFill(0), m_pArray(nullptr)
{
    if (initialSize < 1)
        initialSize = 1;
    m_pArray = static_cast<int*>(VfxMemAlloc(sizeof(int) * static_cast<size_t>(initialSize)));
    if (m_pArray)
        m_nSize = initialSize;
}

IntArray::~IntArray()
{
    VfxMemFree(m_pArray);
}

bool IntArray::EnsureSize(int n)
{
    if (n <= m_nSize)
        return true;
    // Capacity stays a multiple of 32 but doubles, so long hit lists do not
    // cost a reallocation every 32 entries.
    long long want = m_nSize * 2LL;
    if (want < n)
        want = n;
    want = (want + 31) / 32 * 32;
    if (want > 0x7fffffff / static_cast<long long>(sizeof(int)))
        return false;
    int* p = static_cast<int*>(VfxMemRealloc(m_pArray, sizeof(int) * static_cast<size_t>(want)));
    if (!p)
        return false;
    m_pArray = p;
    m_nSize = static_cast<int>(want);
    return true;
}

void IntArray::Add(int value)
{
    if (m_bSorted) {
        AddSorted(value);
        return;
    }
    if (!EnsureSize(m_nFill + 1))
        return;
    m_pArray[m_nFill++] = value;
}

void IntArray::AddSorted(int value)
{
    // Hits arrive mostly in ascending order: the tail is checked first.
    if (m_nFill == 0 || m_pArray[m_nFill - 1] < value) {
        Insert(m_nFill, value);
        return;
    }
    int lo = 0, hi = m_nFill;  // first element >= value
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (m_pArray[mid] < value)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (m_bUnique && lo < m_nFill && m_pArray[lo] == value)
        return;
    // Among equal elements the new one goes after them, before the first greater.
    while (lo < m_nFill && m_pArray[lo] == value)
        ++lo;
    Insert(lo, value);
}

void IntArray::Insert(int index, int value)
{
    if (!EnsureSize(m_nFill + 1))
        return;
    if (index < 0)
        index = 0;
    if (index >= m_nFill) {
        m_pArray[m_nFill++] = value;
        return;
    }
    memmove(m_pArray + index + 1, m_pArray + index, sizeof(int) * static_cast<size_t>(m_nFill - index));
    m_pArray[index] = value;
    ++m_nFill;
}

int* IntArray::Copy(int* pArrayIn) const
{
    int* out = pArrayIn;
    if (!out)
        out = static_cast<int*>(VfxMemAlloc(sizeof(int) * static_cast<size_t>(m_nFill > 0 ? m_nFill : 1)));
    if (out && m_nFill > 0)
        memcpy(out, m_pArray, sizeof(int) * static_cast<size_t>(m_nFill));
    return out;
}
