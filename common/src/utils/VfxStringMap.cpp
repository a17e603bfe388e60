#include "VfxStringMap.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

VfxStringMap::MapItem::MapItem(const char* key, int nLen, void* value, EVfxAllocMode mode)
    : m_strKey(nLen + 1), m_pValue(value), m_eDeallocate(mode)
{
    m_strKey.set(key, nLen);
}

VfxStringMap::MapItem::~MapItem()
{
    if (m_eDeallocate != VFX_ALLOCMODE_OFF)
        free(m_pValue);
}

VfxStringMap::Bucket::~Bucket()
{
    for (int i = 0; i < m_items.size(); ++i)
        delete static_cast<MapItem*>(m_items.get(i));
}

void VfxStringMap::Bucket::setDeallocate(EVfxAllocMode mode)
{
    m_eAllocMode = mode;
    for (int i = 0; i < m_items.size(); ++i)
        static_cast<MapItem*>(m_items.get(i))->setDeallocate(mode);
}

VfxStringMap::VfxStringMap(EVfxAllocMode mode)
    : m_ppBuckets(nullptr), m_nSize(0), m_nCollisions(0), m_bResizing(false), m_eAllocMode(mode)
{
    makeTable(MIN_BUCKETS);
}

VfxStringMap::VfxStringMap(int nSize, EVfxAllocMode mode)
    : m_ppBuckets(nullptr), m_nSize(0), m_nCollisions(0), m_bResizing(false), m_eAllocMode(mode)
{
    makeTable(nSize);
}

VfxStringMap::~VfxStringMap()
{
    clear(false);
}

void VfxStringMap::makeTable(int nSize)
{
    if (nSize < MIN_BUCKETS)
        nSize = MIN_BUCKETS;
    m_ppBuckets = static_cast<Bucket**>(calloc(nSize, sizeof(Bucket*)));
    if (!m_ppBuckets)
        throw std::bad_alloc();
    m_nSize = nSize;
}

unsigned int VfxStringMap::hash(const char* key, int len)
{
    if (!key || len < 0)
        len = 0;
    // The key framed by 0x11 bytes up to a whole number of 32-bit words.
    const int r = len & ~3;
    const size_t areaLen = static_cast<size_t>(r) + 4;
    unsigned char small[272];
    std::vector<unsigned char> large;
    unsigned char* area = small;
    if (areaLen > sizeof small) {
        large.resize(areaLen);
        area = large.data();
    }
    memset(area, 0x11, areaLen);
    if (len > 0)
        memcpy(area + 1, key, len);
    auto word = [area](int index) -> int64_t {
        const unsigned char* b = area + 4 * index;
        uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                     static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
        return static_cast<int32_t>(u);
    };
    auto middle = [](uint64_t p) -> int64_t { return static_cast<int32_t>(static_cast<uint32_t>(p >> 16)); };

    int64_t h = word(r / 4);
    for (int i = 0; i <= r - 8; i += 4)
        h = middle(static_cast<uint64_t>(h * word(i / 4)));
    const int64_t k = r >= 4 ? word(r / 4 - 1) : word(0);
    const int64_t p = h * k;
    const int64_t hi = p >> 32;
    const int64_t lo = static_cast<int32_t>(static_cast<uint32_t>(p));
    const uint64_t q = static_cast<uint64_t>(lo) * static_cast<uint64_t>(hi);
    const uint32_t v = static_cast<uint32_t>(q >> 16);
    return ((v & 0xFF) << 16) | (v & 0xFF00) | ((v >> 16) & 0xFF);
}

bool VfxStringMap::add(const char* key, int len, void* value)
{
    if (!m_ppBuckets)
        makeTable(MIN_BUCKETS);
    if (m_nSize / 8 < m_nCollisions && m_nCollisions >= 8 && !m_bResizing)
        resize(2 * m_nCollisions);
    Bucket*& bucket = m_ppBuckets[hash(key, len) % m_nSize];
    if (!bucket)
        bucket = new Bucket(m_eAllocMode);
    else if (bucket->m_items.size() >= 1)
        ++m_nCollisions;
    bucket->m_items.append(new MapItem(key, len, value, bucket->m_eAllocMode));
    return true;
}

void VfxStringMap::resize(int nSize)
{
    Bucket** old = m_ppBuckets;
    const int oldSize = m_nSize;
    makeTable(nSize);
    m_nCollisions = 0;
    m_bResizing = true;
    for (int i = 0; i < oldSize; ++i) {
        Bucket* bucket = old[i];
        if (!bucket)
            continue;
        // The values move to new items; the old ones must not free them.
        bucket->setDeallocate(VFX_ALLOCMODE_OFF);
        for (int j = 0; j < bucket->m_items.size(); ++j) {
            MapItem* item = static_cast<MapItem*>(bucket->m_items.get(j));
            add(item->m_strKey.getBufferPointer(), item->m_strKey.length(), item->m_pValue);
        }
        delete bucket;
    }
    free(old);
    m_bResizing = false;
}

bool VfxStringMap::insert(const char* key, void* value)
{
    if (!key)
        return false;
    return add(key, static_cast<int>(strlen(key)), value);
}

bool VfxStringMap::insert(const CStringBuffer& key, void* value)
{
    return add(key.getBufferPointer(), key.length(), value);
}

VfxStringMap::MapItem* VfxStringMap::find(const char* key, int len, bool bExact, int* pIndex, int* pBucket) const
{
    if (!key || !m_ppBuckets || m_nSize < 1)
        return nullptr;
    const int b = static_cast<int>(hash(key, len) % m_nSize);
    Bucket* bucket = m_ppBuckets[b];
    if (!bucket)
        return nullptr;
    for (int i = 0; i < bucket->m_items.size(); ++i) {
        MapItem* item = static_cast<MapItem*>(bucket->m_items.get(i));
        const CStringBuffer& k = item->m_strKey;
        bool same = bExact ? (k.length() == len && memcmp(k.getBufferPointer(), key, len) == 0)
                           : strcmp(k.getBufferPointer(), key) == 0;
        if (same) {
            if (pIndex)
                *pIndex = i;
            if (pBucket)
                *pBucket = b;
            return item;
        }
    }
    return nullptr;
}

void* VfxStringMap::get(const char* key) const
{
    MapItem* item = key ? find(key, static_cast<int>(strlen(key)), false, nullptr, nullptr) : nullptr;
    return item ? item->m_pValue : nullptr;
}

void* VfxStringMap::get(const CStringBuffer& key) const
{
    MapItem* item = find(key.getBufferPointer(), key.length(), true, nullptr, nullptr);
    return item ? item->m_pValue : nullptr;
}

bool VfxStringMap::exists(const char* key) const
{
    return key && find(key, static_cast<int>(strlen(key)), false, nullptr, nullptr) != nullptr;
}

bool VfxStringMap::exists(const CStringBuffer& key) const
{
    return find(key.getBufferPointer(), key.length(), true, nullptr, nullptr) != nullptr;
}

bool VfxStringMap::removeKey(const char* key, int len, bool bExact)
{
    int index = 0, b = 0;
    MapItem* item = find(key, len, bExact, &index, &b);
    if (!item)
        return false;
    Bucket* bucket = m_ppBuckets[b];
    if (bucket->m_items.size() > 1)
        --m_nCollisions;
    bucket->m_items.remove(index);
    delete item;
    if (bucket->m_items.size() == 0) {
        delete bucket;
        m_ppBuckets[b] = nullptr;
    }
    return true;
}

bool VfxStringMap::remove(const char* key)
{
    return key && removeKey(key, static_cast<int>(strlen(key)), false);
}

bool VfxStringMap::remove(const CStringBuffer& key)
{
    return removeKey(key.getBufferPointer(), key.length(), true);
}

int VfxStringMap::count() const
{
    int n = 0;
    for (int i = 0; m_ppBuckets && i < m_nSize; ++i)
        if (m_ppBuckets[i])
            n += m_ppBuckets[i]->m_items.size();
    return n;
}

VfxPtrList* VfxStringMap::allocList() const
{
    VfxPtrList* list = new VfxPtrList;
    for (int i = 0; m_ppBuckets && i < m_nSize; ++i)
        if (m_ppBuckets[i])
            for (int j = 0; j < m_ppBuckets[i]->m_items.size(); ++j)
                list->append(m_ppBuckets[i]->m_items.get(j));
    return list;
}

void VfxStringMap::clear(bool bReinit)
{
    const int size = m_nSize;
    for (int i = 0; m_ppBuckets && i < m_nSize; ++i)
        delete m_ppBuckets[i];
    free(m_ppBuckets);
    m_ppBuckets = nullptr;
    m_nSize = 0;
    m_nCollisions = 0;
    if (bReinit)
        makeTable(size);
}
