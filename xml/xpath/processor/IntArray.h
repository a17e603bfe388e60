// A growable array of ints, optionally kept sorted and free of duplicates;
// used for the hit part lists of search sets.
#ifndef VX_INTARRAY_H
#define VX_INTARRAY_H

class IntArray {
public:
    IntArray(int initialSize = 32, bool sorted = false, bool unique = false);
    ~IntArray();

    // Grows the capacity to at least n ints; false when the heap is out.
    bool EnsureSize(int n);
    // Appends, or inserts in order when the array is sorted.
    void Add(int value);
    // Inserts before the first greater element; with m_bUnique an equal
    // element already present keeps the array unchanged.
    void AddSorted(int value);
    // Shifts the tail up by one; an index at or beyond the fill appends.
    void Insert(int index, int value);
    int GetLengh() const { return m_nFill; }
    int Get(int index) const { return index >= 0 && index < m_nFill ? m_pArray[index] : 0; }
    // Copies the used ints into pArrayIn, or into a new block (VfxMemAlloc;
    // free it with VfxMemFree) when it is null.
    int* Copy(int* pArrayIn = nullptr) const;

    IntArray(const IntArray&) = delete;
    IntArray& operator=(const IntArray&) = delete;

protected:
    bool m_bSorted;
    bool m_bUnique;
    int m_nSize;
    int m_nFill;
    int* m_pArray;
};

#endif
