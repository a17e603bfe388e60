#include "StringBuffer.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Exposes the storage fields so the growth rules can be checked directly.
struct Probe : CStringBuffer {
    using CStringBuffer::CStringBuffer;
    char* storage() const { return m_pszBuffer; }
    char* end() const { return m_pszEnd; }
    int block() const { return m_nBlockSize; }
};

std::string text(const CStringBuffer& b)
{
    return std::string(b.getBufferPointer(), b.length());
}

void expectConsistent(const Probe& b)
{
    EXPECT_EQ(b.end(), b.storage() + b.length());
    EXPECT_EQ(b.storage()[b.length()], '\0');
    EXPECT_LT(b.length(), b.bufLength());
}

} // namespace

TEST(StringBuffer, ConstructorsSetBlockAndCapacity)
{
    struct {
        int block;
        int wantBlock;
    } cases[] = {{256, 256}, {10, 10}, {1, 1}, {0, 1}, {-5, 1}};
    for (auto& c : cases) {
        Probe b(c.block);
        EXPECT_EQ(b.block(), c.wantBlock) << c.block;
        EXPECT_EQ(b.bufLength(), c.wantBlock) << c.block;
        EXPECT_EQ(b.length(), 0);
        expectConsistent(b);
    }
    Probe d;
    EXPECT_EQ(d.block(), 4092);
    EXPECT_EQ(d.bufLength(), 4092);

    Probe fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.length(), 0);
    EXPECT_STREQ(fromNull, "");
}

TEST(StringBuffer, GrowthFollowsTheBlockRule)
{
    // Appending 7 bytes to "abc" in a 10-byte block: 7 >= 10 - 3, so it grows
    // to 10 * ((7 + 3 + 1) / 10 + 1) = 20.
    Probe small(10);
    small.set("abc");
    EXPECT_EQ(small.bufLength(), 10);
    small.append("defghij", 7);
    EXPECT_EQ(small.bufLength(), 20);
    EXPECT_EQ(text(small), "abcdefghij");
    expectConsistent(small);

    // Six more bytes still fit (6 < 20 - 10): the storage is kept.
    char* before = small.storage();
    small.append("klmnop");
    EXPECT_EQ(small.storage(), before);
    EXPECT_EQ(small.bufLength(), 20);

    // A set of exactly the capacity allocates the next block.
    Probe def;
    std::string big(4092, 'x');
    def.set(big.c_str(), 4092);
    EXPECT_EQ(def.bufLength(), 8184);
    EXPECT_EQ(text(def), big);
    expectConsistent(def);

    // A shorter set reuses the storage; storage never shrinks.
    before = def.storage();
    def.set("short");
    EXPECT_EQ(def.storage(), before);
    EXPECT_EQ(def.bufLength(), 8184);
    EXPECT_EQ(text(def), "short");
    expectConsistent(def);

    // Many small appends keep the text intact across several blocks.
    Probe grow(4);
    std::string want;
    for (int i = 0; i < 200; ++i) {
        grow.append(i);
        want += std::to_string(i);
    }
    EXPECT_EQ(text(grow), want);
    EXPECT_EQ(grow.bufLength() % 4, 0);
    expectConsistent(grow);
}

TEST(StringBuffer, SetAndAppendAcceptTheirOwnText)
{
    Probe b(4);
    b.set("abcdef");
    b.append(b.getBufferPointer(), b.length()); // grows while reading itself
    EXPECT_EQ(text(b), "abcdefabcdef");
    b.set(b.getBufferPointer() + 3, 4);
    EXPECT_EQ(text(b), "defa");
    b += b;
    EXPECT_EQ(text(b), "defadefa");
    b = b;
    EXPECT_EQ(text(b), "defadefa");
    b.insert(b, 4);
    EXPECT_EQ(text(b), "defadefadefadefa");
    b.getSubStr(b, 1, 3);
    EXPECT_EQ(text(b), "efa");
    b.format("<%s>", b.getBufferPointer());
    EXPECT_EQ(text(b), "<efa>");
    expectConsistent(b);
}

TEST(StringBuffer, ReplaceScansFromTheEnd)
{
    struct {
        const char *in, *from, *to, *out;
    } cases[] = {
        {"100% of 50%", "%", "%%", "100%% of 50%%"},
        {"ababab", "ab", "x", "xxx"},
        {"aaa", "aa", "b", "ab"},
        {"aaaa", "aa", "b", "bb"},
        {"abc", "abcd", "x", "abc"}, // from longer than the text
        {"abc", "", "x", "abc"},
        {"abc", nullptr, "x", "abc"},
        {"a-b-c", "-", nullptr, "abc"},
        {"xyz", "xyz", "", ""},
        {"<a>", "<", "&lt;", "&lt;a>"},
    };
    for (auto& c : cases) {
        Probe b(c.in);
        b.replace(c.from, c.to);
        EXPECT_EQ(text(b), c.out) << c.in << " " << (c.from ? c.from : "null");
        expectConsistent(b);
    }

    // Growth past a small block keeps the text, and appending still works.
    Probe small(4);
    small.set("%%%");
    small.replace("%", "%%");
    EXPECT_EQ(text(small), "%%%%%%");
    expectConsistent(small);
    Probe pct("100% of 50%");
    pct.replace("%", "%%").append("!");
    EXPECT_EQ(text(pct), "100%% of 50%%!");
}

TEST(StringBuffer, FindAndFindReverse)
{
    Probe b("abxd");
    EXPECT_EQ(b.find("X", 0, true), 2);
    EXPECT_EQ(b.find("X", 0, false), -1);
    EXPECT_EQ(b.find('x', 0, true), 2);
    EXPECT_EQ(b.find("xd", 2), 2);
    EXPECT_EQ(b.find("ab", 1), -1);
    EXPECT_EQ(b.find("d", 3), 3);
    EXPECT_EQ(b.find("d", 4), -1); // start past the last byte
    EXPECT_EQ(b.find("a", -1), -1);
    EXPECT_EQ(b.find(static_cast<const char*>(nullptr), 0), -1);
    EXPECT_EQ(Probe("abcb").findReverse('B', true), 3);
    EXPECT_EQ(Probe("abcb").findReverse('B', false), -1);
    Probe empty;
    EXPECT_EQ(empty.find("a"), -1);
    EXPECT_EQ(empty.find('a'), -1);
    EXPECT_EQ(empty.findReverse('a'), -1);
}

TEST(StringBuffer, TrimCaseAndLinebreaks)
{
    Probe b("  a b \n");
    b.trim();
    EXPECT_EQ(text(b), "a b");
    b.append("c");
    EXPECT_EQ(text(b), "a bc");
    expectConsistent(b);

    Probe blank(" \t\r\n ");
    blank.trim();
    EXPECT_EQ(blank.length(), 0);

    Probe mixed("aZ\xe4-1");
    mixed.toUpperCase();
    EXPECT_EQ(text(mixed), "AZ\xe4-1");
    mixed.toLowerCase();
    EXPECT_EQ(text(mixed), "az\xe4-1");

    Probe lines("a\r\nb\rc\n");
    lines.convertLinebreaks();
    EXPECT_EQ(text(lines), "a\n\nb\nc\n");
}

TEST(StringBuffer, GetSubStr)
{
    Probe src("hello");
    struct {
        int start, count;
        bool append;
        const char* out;
    } cases[] = {
        {2, -1, false, "llo"}, {5, 1, false, ""}, {9, 1, false, ""}, {1, 2, false, "el"},
        {3, 99, false, "lo"},  {0, 5, true, "pre-hello"}, {-3, 2, false, "he"},
    };
    for (auto& c : cases) {
        Probe dst("pre-");
        dst.getSubStr(src, c.start, c.count, c.append);
        EXPECT_EQ(text(dst), c.out) << c.start << "," << c.count;
        expectConsistent(dst);
    }
}

TEST(StringBuffer, InsertPositions)
{
    struct {
        int pos;
        const char* out;
    } cases[] = {{0, "XYabc"}, {-2, "XYabc"}, {1, "aXYbc"}, {3, "abcXY"}, {10, "abcXY"}};
    for (auto& c : cases) {
        Probe b(2);
        b.set("abc");
        b.insert("XY", c.pos);
        EXPECT_EQ(text(b), c.out) << c.pos;
        expectConsistent(b);
    }
    Probe n("ab");
    n.insert(-42, 1);
    EXPECT_EQ(text(n), "a-42b");
    n.insert(static_cast<char*>(nullptr), 1);
    EXPECT_EQ(text(n), "a-42b");
}

TEST(StringBuffer, FormatIsCutAt16383Bytes)
{
    std::string longText(20000, 'q');
    Probe b(16);
    b.format("%s", longText.c_str());
    EXPECT_EQ(b.length(), 16383);
    EXPECT_EQ(text(b), longText.substr(0, 16383));
    expectConsistent(b);

    b.format("%d-%s", 7, "x");
    EXPECT_EQ(text(b), "7-x");
    b.format(nullptr);
    EXPECT_EQ(b.length(), 0);
}

TEST(StringBuffer, ComparisonsAndEndsWith)
{
    Probe a("Hello");
    EXPECT_EQ(a.compareNoCase("hELLO"), 0);
    EXPECT_LT(a.compareNoCase("hellp"), 0);
    EXPECT_GT(a.compareNoCase(nullptr), 0);
    EXPECT_TRUE(a.endsWith("LLO", 3, true));
    EXPECT_FALSE(a.endsWith("LLO", 3, false));
    EXPECT_TRUE(a.endsWith("llo"));
    EXPECT_FALSE(a.endsWith("xHello"));

    // Equality looks at the length and every byte, NULs included.
    Probe x, y;
    x.set("a\0b", 3);
    y.set("a\0c", 3);
    EXPECT_FALSE(x == y);
    y.set("a\0b", 3);
    EXPECT_TRUE(x == y);
    EXPECT_FALSE(x == "a");
    EXPECT_TRUE(a == "Hello");
}

TEST(StringBuffer, CopyOfEmptyBufferIsUsable)
{
    Probe empty;
    CStringBuffer copy(empty);
    EXPECT_EQ(copy.length(), 0);
    EXPECT_NE(copy.getBufferPointer(), empty.getBufferPointer());
    EXPECT_STREQ(static_cast<char*>(copy), "");
    copy.append("x");
    EXPECT_STREQ(copy, "x");
    EXPECT_STREQ(empty, "");
}

TEST(StringBuffer, CopyToAndPrint)
{
    Probe b("abcdef");
    char out[8];
    memset(out, '#', sizeof out);
    EXPECT_EQ(b.copyTo(out, 4), 3);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(b.copyTo(out, 0), 0);
    EXPECT_EQ(out[0], 'a'); // untouched
    EXPECT_EQ(b.copyTo(nullptr, 8), 0);
    EXPECT_EQ(b.copyTo(out, 1), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(Probe().copyTo(out, 8), 0);

    char* mem = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&mem, &size);
    Probe withNul;
    withNul.set("a\0b", 3);
    withNul.print(fp);
    withNul.print(nullptr);
    fclose(fp);
    EXPECT_EQ(std::string(mem, size), std::string("a\0b", 3));
    free(mem);
}

TEST(StringBuffer, AttachAndDetach)
{
    Probe b(8);
    b.set("old");
    char* heap = strdup("attached");
    b.attach(heap);
    EXPECT_EQ(b.storage(), heap);
    EXPECT_EQ(b.bufLength(), 9);
    EXPECT_EQ(text(b), "attached");
    b.append("!"); // capacity 9 is full: grows
    EXPECT_EQ(text(b), "attached!");
    expectConsistent(b);

    // A block that claims no room for its terminator is enlarged, not overrun.
    char* exact = static_cast<char*>(malloc(4));
    memcpy(exact, "abcd", 4);
    b.attach(exact, 4, 4);
    EXPECT_EQ(text(b), "abcd");
    expectConsistent(b);

    char* taken = b.detach();
    EXPECT_STREQ(taken, "abcd");
    free(taken);
    EXPECT_EQ(b.length(), 0);
    EXPECT_EQ(b.bufLength(), 8);
    b.append("fresh");
    EXPECT_EQ(text(b), "fresh");

    b.attach(nullptr);
    EXPECT_EQ(b.length(), 0);
}

TEST(StringBuffer, ScratchBufferRoundTrip)
{
    Probe b(16);
    b.set("hello world");
    char* scratch = b.getBufferSetLength(6);
    EXPECT_STREQ(scratch, "hello");
    strcpy(scratch, "bye");
    b.releaseBuffer(true, -1);
    EXPECT_EQ(text(b), "bye");

    // A claimed length beyond the lent block is cut to the block.
    scratch = b.getBufferSetLength(4);
    memcpy(scratch, "wxyz", 4); // no terminator inside the block
    b.releaseBuffer(true, 100);
    EXPECT_EQ(text(b), "wxyz");

    scratch = b.getBufferSetLength(0); // one block
    EXPECT_STREQ(scratch, "wxyz");
    b.releaseBuffer(false);
    EXPECT_EQ(text(b), "wxyz");
    b.releaseBuffer(true); // nothing lent: no change
    EXPECT_EQ(text(b), "wxyz");
}

TEST(StringBuffer, StreamAppendsAndNumbers)
{
    CStringBuffer a("x");
    CStringBuffer b("y");
    a << "-" << b << static_cast<const char*>(nullptr) << "z";
    EXPECT_STREQ(a, "x-yz");
    a.set(-123);
    EXPECT_STREQ(a, "-123");
    a.append(45);
    EXPECT_STREQ(a, "-12345");
    a.clear();
    EXPECT_STREQ(a, "");
    a.append(static_cast<const char*>(nullptr), 5);
    EXPECT_EQ(a.length(), 0);
}
