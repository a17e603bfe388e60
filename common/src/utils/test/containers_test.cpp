#include "VfxMemory.h"
#include "VfxPtrList.h"
#include "VfxStack.h"
#include "VfxStringMap.h"
#include "VfxStrings.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

void* tag(intptr_t n)
{
    return reinterpret_cast<void*>(n);
}

std::string keyOf(const VfxStringMap::MapItem* item)
{
    return std::string(item->m_strKey.getBufferPointer(), item->m_strKey.length());
}

} // namespace

TEST(StringMapHash, ReferenceValues)
{
    struct {
        const char* key;
        unsigned int hash;
    } cases[] = {
        {"", 0x581369}, {"a", 0x9B6C89}, {"abc", 0xE93C0D}, {"abcd", 0x143510}, {"abcdefgh", 0xB53F94},
    };
    for (auto& c : cases)
        EXPECT_EQ(VfxStringMap::hash(c.key, static_cast<int>(strlen(c.key))), c.hash) << '"' << c.key << '"';
    EXPECT_EQ(VfxStringMap::hash("abc", 3) % 32, 13u);
    EXPECT_EQ(VfxStringMap::hash(nullptr, 5), 0x581369u); // null hashes as ""
}

TEST(StringMapHash, StaysWithin24Bits)
{
    std::string key;
    for (int len = 0; len < 600; ++len) {
        EXPECT_LE(VfxStringMap::hash(key.data(), len), 0xFFFFFFu) << len;
        key += static_cast<char>('!' + (len * 37) % 90);
    }
}

TEST(StringMap, KeysLongerThan271BytesAreHashedWhole)
{
    // Keys around and far beyond the 271-byte scratch area; each must find
    // its own value, never that of a key sharing its first 271 bytes.
    VfxStringMap map;
    std::string base(271, 'k');
    std::vector<std::string> keys = {base, base + "a", base + "b", std::string(1000, 'k'),
                                     std::string(1000, 'k') + "z", std::string(4096, 'q')};
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_TRUE(map.insert(keys[i].c_str(), tag(static_cast<intptr_t>(i + 1))));
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(map.get(keys[i].c_str()), tag(static_cast<intptr_t>(i + 1))) << keys[i].size();
        CStringBuffer k(keys[i].c_str());
        EXPECT_EQ(map[k], tag(static_cast<intptr_t>(i + 1)));
    }
    EXPECT_TRUE(map.remove(keys[3].c_str()));
    EXPECT_FALSE(map.exists(keys[3].c_str()));
    EXPECT_EQ(map.get(keys[4].c_str()), tag(5));
    EXPECT_EQ(map.count(), 5);
}

TEST(StringMap, DuplicatesAndLookupByEitherKeyForm)
{
    VfxStringMap map;
    map.insert("name", tag(1));
    map.insert("name", tag(2));
    CStringBuffer withNul;
    withNul.set("na\0me", 5);
    map.insert(withNul, tag(3));

    EXPECT_EQ(map.count(), 3);
    EXPECT_EQ(map.get("name"), tag(1));
    EXPECT_EQ(map.get(withNul), tag(3));
    CStringBuffer prefix("na");
    EXPECT_EQ(map.get(prefix), nullptr); // buffer keys match on length and bytes
    EXPECT_TRUE(map.remove("name"));
    EXPECT_EQ(map.get("name"), tag(2));
    EXPECT_TRUE(map.remove("name"));
    EXPECT_FALSE(map.exists("name"));
    EXPECT_FALSE(map.remove("name"));

    // Null keys are refused or not found, never dereferenced.
    EXPECT_FALSE(map.insert(static_cast<const char*>(nullptr), tag(9)));
    EXPECT_EQ(map.get(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_FALSE(map.exists(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(map.remove(static_cast<const char*>(nullptr)));
    EXPECT_EQ(map.count(), 1);
}

TEST(StringMap, EighthCollisionRebuildsTheTableOnTheNextInsert)
{
    // The map owns nothing; each item is marked as owning its value, a mark
    // only the original items carry: items made by a rebuild take the map's
    // mode. The values are freed by hand at the end.
    VfxStringMap map(VFX_ALLOCMODE_OFF);
    std::vector<std::string> keys;
    for (int i = 0; map.collisions() < 8; ++i) {
        keys.push_back("key" + std::to_string(i));
        map.insert(keys.back().c_str(), strdup(keys.back().c_str()));
    }
    ASSERT_EQ(map.size(), 32);
    VfxPtrList* items = map.allocList();
    for (int j = 0; j < items->size(); ++j)
        static_cast<VfxStringMap::MapItem*>(items->get(j))->setDeallocate(VFX_ALLOCMODE_ON);
    delete items;

    keys.push_back("one more");
    map.insert(keys.back().c_str(), strdup(keys.back().c_str()));

    EXPECT_EQ(map.size(), 32); // 2 * 8 collisions, but never under 32
    items = map.allocList();
    ASSERT_EQ(items->size(), static_cast<int>(keys.size()));
    for (int j = 0; j < items->size(); ++j)
        EXPECT_EQ(static_cast<VfxStringMap::MapItem*>(items->get(j))->m_eDeallocate, VFX_ALLOCMODE_OFF)
            << "item was not rebuilt";
    delete items;
    for (auto& k : keys) {
        char* value = static_cast<char*>(map.get(k.c_str()));
        ASSERT_NE(value, nullptr) << k;
        EXPECT_STREQ(value, k.c_str());
    }
    for (auto& k : keys)
        free(map.get(k.c_str()));
}

TEST(StringMap, GrowsKeepsEveryEntryAndEnumeratesInBucketOrder)
{
    // Owned values must survive every rebuild (the sanitizer build checks it).
    VfxStringMap map(VFX_ALLOCMODE_ON);
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
        std::string k = "field_" + std::to_string(i);
        map.insert(k.c_str(), strdup(k.c_str()));
    }
    EXPECT_GT(map.size(), 32);
    EXPECT_EQ(map.count(), n);
    for (int i = 0; i < n; ++i) {
        std::string k = "field_" + std::to_string(i);
        ASSERT_STREQ(static_cast<char*>(map.get(k.c_str())), k.c_str());
    }

    VfxPtrList* list = map.allocList();
    ASSERT_EQ(list->size(), n);
    unsigned int lastBucket = 0;
    for (int j = 0; j < list->size(); ++j) {
        auto* item = static_cast<VfxStringMap::MapItem*>(list->get(j));
        std::string k = keyOf(item);
        unsigned int b = VfxStringMap::hash(k.data(), static_cast<int>(k.size())) % map.size();
        EXPECT_GE(b, lastBucket);
        lastBucket = b;
    }
    delete list;

    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(map.remove(("field_" + std::to_string(i)).c_str()));
    EXPECT_EQ(map.count(), 0);
    EXPECT_EQ(map.collisions(), 0);
}

TEST(StringMap, ClearWithAndWithoutReinit)
{
    VfxStringMap map(100, VFX_ALLOCMODE_ON);
    EXPECT_EQ(map.size(), 100);
    map.insert("a", strdup("1"));
    map.clear(true);
    EXPECT_EQ(map.size(), 100);
    EXPECT_EQ(map.count(), 0);
    map.insert("b", strdup("2"));
    map.clear(false);
    EXPECT_EQ(map.size(), 0);
    EXPECT_EQ(map.get("b"), nullptr);
    // A map without a table makes a fresh one rather than dividing by zero.
    map.insert("c", strdup("3"));
    EXPECT_EQ(map.size(), 32);
    EXPECT_STREQ(static_cast<char*>(map.get("c")), "3");
    EXPECT_EQ(VfxStringMap(5, VFX_ALLOCMODE_OFF).size(), 32);
}

TEST(PtrList, AppendInsertRemove)
{
    VfxPtrList list;
    EXPECT_EQ(list.get(0), nullptr);
    for (int i = 1; i <= 25; ++i)
        list.append(tag(i));
    EXPECT_EQ(list.size(), 25);
    EXPECT_TRUE(list.insert(0, tag(100)));
    EXPECT_TRUE(list.insert(26, tag(200))); // at the end
    EXPECT_FALSE(list.insert(28, tag(300)));
    EXPECT_FALSE(list.insert(-1, tag(300)));
    EXPECT_EQ(list.size(), 27);
    EXPECT_EQ(list.get(0), tag(100));
    EXPECT_EQ(list.get(1), tag(1));
    EXPECT_EQ(list.get(26), tag(200));
    list.remove(0);
    list.remove(-1);
    list.remove(99);
    EXPECT_EQ(list.size(), 26);
    EXPECT_EQ(list.get(0), tag(1));
    EXPECT_EQ(list.get(26), nullptr);
    EXPECT_EQ(list.get(-1), nullptr);
}

namespace {
struct IntProbe : CIntStack {
    int* array() const { return m_pnStack; }
    int capacity() const { return m_nMaxLen; }
};
struct PtrProbe : CPtrStack {
    void** array() const { return m_ppStack; }
    int capacity() const { return m_nMaxLen; }
};
} // namespace

TEST(Stacks, PushPopPeekAndReleaseWhenEmpty)
{
    IntProbe s;
    EXPECT_EQ(s.top(), 0);
    EXPECT_EQ(s.pop(), 0);
    for (int i = 1; i <= 3; ++i) {
        s.push(i * 10);
        EXPECT_EQ(s.capacity(), i); // one element at a time
    }
    EXPECT_EQ(s.top(), 30);
    EXPECT_EQ(s.peek(0), 10);
    EXPECT_EQ(s.peek(3), 0);
    EXPECT_EQ(s.peek(-1), 0);
    EXPECT_EQ(s.pop(), 30);
    EXPECT_EQ(s.pop(), 20);
    EXPECT_NE(s.array(), nullptr);
    EXPECT_EQ(s.pop(), 10);
    EXPECT_EQ(s.array(), nullptr);
    EXPECT_EQ(s.capacity(), 0);
    s.push(7);
    EXPECT_EQ(s.top(), 7);

    PtrProbe p;
    EXPECT_EQ(p.top(), nullptr);
    p.push(tag(1));
    p.push(tag(2));
    EXPECT_EQ(p.size(), 2);
    EXPECT_EQ(p.peek(1), tag(2));
    EXPECT_EQ(p.pop(), tag(2));
    EXPECT_EQ(p.pop(), tag(1));
    EXPECT_EQ(p.array(), nullptr);
    EXPECT_EQ(p.pop(), nullptr);
}

TEST(Strings, Comparisons)
{
    struct {
        const char *a, *b;
        int n, len, lenNoCase;
    } lenCases[] = {
        {"ab", "abc", 5, 0, 0},   {"ab", "abc", 2, 0, 0},    {"abd", "abc", 3, 1, 1},
        {"abd", "abc", 2, 0, 0},  {"AB", "ab", 2, -1, 0},    {"\x80", "a", 1, -1, -1},
        {nullptr, "abc", 3, 0, 0}, {"abc", "abd", -1, 0, 0},
    };
    for (auto& c : lenCases) {
        EXPECT_EQ(VfxCompareLen(c.a, c.b, c.n), c.len) << (c.a ? c.a : "null") << "/" << c.b << "/" << c.n;
        EXPECT_EQ(VfxCompareLenNoCase(c.a, c.b, c.n), c.lenNoCase) << (c.a ? c.a : "null") << "/" << c.b;
    }

    struct {
        const char *a, *b;
        int want;
    } noCase[] = {
        {"ab", "ABC", -1}, {"ABC", "ab", 1}, {"abc", "ABC", 0}, {"", "", 0},       {nullptr, "", 0},
        {nullptr, "a", -1}, {"\xe9", "z", -1}, {"b", "A", 1},   {"a_", "A[", 1},
    };
    for (auto& c : noCase)
        EXPECT_EQ(VfxCompareNoCase(c.a, c.b), c.want) << (c.a ? c.a : "null") << "/" << c.b;

    EXPECT_TRUE(VfxStrEquals(nullptr, nullptr));
    EXPECT_FALSE(VfxStrEquals(nullptr, ""));
    EXPECT_FALSE(VfxStrEquals("a", nullptr));
    EXPECT_TRUE(VfxStrEquals("abc", "abc"));
    EXPECT_FALSE(VfxStrEquals("abc", "ABC"));
    EXPECT_TRUE(VfxStrNoCaseEquals("abc", "ABC"));
    EXPECT_FALSE(VfxStrNoCaseEquals("abc", "ABCD"));
    EXPECT_TRUE(VfxStrLenEquals("abcX", "abcY", 3));
    EXPECT_FALSE(VfxStrLenEquals("abcX", "abcY", 0)); // n < 1: whole strings
    EXPECT_FALSE(VfxStrLenEquals("ab", "abc", 3));
    EXPECT_TRUE(VfxStrLenNoCaseEquals("ABcX", "abCY", 3));
    EXPECT_TRUE(VfxStrLenNoCaseEquals(nullptr, nullptr, 3));
    EXPECT_FALSE(VfxStrLenNoCaseEquals(nullptr, "a", 3));
}

TEST(Strings, NumberConversion)
{
    struct {
        int value, radix;
        const char* want;
    } cases[] = {
        {-5, 10, "-5"},         {-1, 16, "ffffffff"}, {0, 10, "0"},   {255, 16, "ff"},
        {-2147483647 - 1, 10, "-2147483648"}, {5, 2, "101"}, {35, 36, "z"}, {-1, 8, "37777777777"},
        {12, 1, ""},            {12, 37, ""},
    };
    char buf[72];
    for (auto& c : cases)
        EXPECT_STREQ(itoa(c.value, buf, c.radix), c.want) << c.value << " radix " << c.radix;

    xtoa(42, buf, 10, 1);
    EXPECT_STREQ(buf, "-42");
    xtoa(~0UL, buf, 2, 0);
    EXPECT_EQ(strlen(buf), sizeof(unsigned long) * 8);
    xtoa(1, nullptr, 10, 0); // must not crash
}

TEST(Memory, Wrappers)
{
    unsigned char* p = static_cast<unsigned char*>(VfxMemAlloc(5));
    ASSERT_NE(p, nullptr);
    EXPECT_GE(malloc_usable_size(p), 8u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(p[i], 0);
    p = static_cast<unsigned char*>(VfxMemRealloc(p, 64));
    ASSERT_NE(p, nullptr);
    VfxMemFree(p);
    VfxMemFree(nullptr);
    void* q = VfxMemRealloc(nullptr, 3);
    ASSERT_NE(q, nullptr);
    void* empty = VfxMemAlloc(0);
    EXPECT_NE(empty, nullptr);
    VfxMemFree(empty);

    char dst[4] = "xyz";
    EXPECT_EQ(VfxMemCopy(dst, nullptr, 3), dst);
    EXPECT_STREQ(dst, "xyz");
    EXPECT_EQ(VfxMemCopy(nullptr, "ab", 2), nullptr);
    EXPECT_EQ(VfxMemCopy(dst, "ab", 2), dst);
    EXPECT_STREQ(dst, "abz");
    VfxMemFree(q);

    EXPECT_EQ(VfxStrDup(nullptr), nullptr);
    char* e = VfxStrDup("");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
    char* s = VfxStrDup("copy");
    EXPECT_STREQ(s, "copy");
    VfxMemFree(e);
    VfxMemFree(s);
    EXPECT_FALSE(VfxMemReadable(nullptr, 1));
    EXPECT_TRUE(VfxMemWriteable(dst, 1));
}
