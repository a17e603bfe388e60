// VfxPtrList: a growable array of pointers. The list owns its array, not the
// pointees.
#pragma once

class VfxPtrList {
public:
    VfxPtrList() : m_nMaxLen(0), m_nLength(0), m_ppList(nullptr) {}
    ~VfxPtrList();
    VfxPtrList(const VfxPtrList&) = delete;
    VfxPtrList& operator=(const VfxPtrList&) = delete;

    int size() const { return m_nLength; }
    // Null when i lies outside 0..size-1.
    void* get(int i) const;
    void append(void* p);
    // 0 <= i <= size; later entries move up. False (nothing done) otherwise.
    bool insert(int i, void* p);
    // Ignored outside 0..size-1; later entries move down.
    void remove(int i);

protected:
    int m_nMaxLen;
    int m_nLength;
    void** m_ppList;

private:
    void grow(int nMaxLen);
};
