// VfxStringMap: a separately chained hash map from text keys to void* values.
// Duplicate keys are kept; lookups find the first. Enumeration (allocList)
// follows the bucket order of the hash, so it is stable for a given set of
// inserts.
#pragma once

#include "StringBuffer.h"
#include "VfxPtrList.h"

enum EVfxAllocMode {
    VFX_ALLOCMODE_OFF = 0, // the map does not own the values
    VFX_ALLOCMODE_ON = 1   // a destroyed item frees its value (so does the mode 2)
};

class VfxStringMap {
public:
    class MapItem {
    public:
        MapItem(const char* key, int nLen, void* value, EVfxAllocMode mode);
        virtual ~MapItem();
        MapItem(const MapItem&) = delete;
        MapItem& operator=(const MapItem&) = delete;

        void setDeallocate(EVfxAllocMode mode) { m_eDeallocate = mode; }
        const CStringBuffer& getKey() const { return m_strKey; }
        void* getValue() const { return m_pValue; }

        CStringBuffer m_strKey;
        void* m_pValue;
        EVfxAllocMode m_eDeallocate;
    };

    class Bucket {
    public:
        explicit Bucket(EVfxAllocMode mode) : m_eAllocMode(mode) {}
        virtual ~Bucket();
        Bucket(const Bucket&) = delete;
        Bucket& operator=(const Bucket&) = delete;

        // Sets the mode of the bucket and of every item in it.
        void setDeallocate(EVfxAllocMode mode);

        VfxPtrList m_items; // MapItem*, in insertion order
        EVfxAllocMode m_eAllocMode;
    };

    explicit VfxStringMap(EVfxAllocMode mode = VFX_ALLOCMODE_OFF);
    VfxStringMap(int nSize, EVfxAllocMode mode);
    virtual ~VfxStringMap();
    VfxStringMap(const VfxStringMap&) = delete;
    VfxStringMap& operator=(const VfxStringMap&) = delete;

    // Adds an entry (a null key is refused: false).
    bool insert(const char* key, void* value);
    bool insert(const CStringBuffer& key, void* value);

    // Value of the first entry with that key, or null.
    void* get(const char* key) const;
    void* get(const CStringBuffer& key) const;
    void* operator[](const char* key) const { return get(key); }
    void* operator[](const CStringBuffer& key) const { return get(key); }
    bool exists(const char* key) const;
    bool exists(const CStringBuffer& key) const;

    // Deletes the first entry with that key; false when there was none.
    bool remove(const char* key);
    bool remove(const CStringBuffer& key);

    int count() const;
    int size() const { return m_nSize; }
    int collisions() const { return m_nCollisions; }

    // A new list of all MapItem pointers in bucket order; delete the list,
    // not the items.
    VfxPtrList* allocList() const;

    // Deletes every entry and the bucket table; with bReinit an empty table
    // of the same size is made again.
    void clear(bool bReinit = true);

    // The 24-bit hash of a key of len bytes. Keys of any length are hashed
    // whole.
    static unsigned int hash(const char* key, int len);

protected:
    Bucket** m_ppBuckets;
    int m_nSize;
    int m_nCollisions;
    bool m_bResizing;
    EVfxAllocMode m_eAllocMode;

private:
    enum { MIN_BUCKETS = 32 };
    void makeTable(int nSize);
    void resize(int nSize);
    bool add(const char* key, int len, void* value);
    MapItem* find(const char* key, int len, bool bExact, int* pIndex, int* pBucket) const;
    bool removeKey(const char* key, int len, bool bExact);
};
