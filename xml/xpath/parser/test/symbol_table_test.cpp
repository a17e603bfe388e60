// The scanner's keyword table.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "VXParserMain.h"
#include "VXSymbolTable.h"

namespace {

std::vector<const char*> g_created;
std::vector<const char*> g_deleted;

void OnNew(VXSymbol* s) { g_created.push_back(s->m_pszName); }
void OnDelete(VXSymbol* s) { g_deleted.push_back(s->m_pszName); }

TEST(VXSymbolTable, CaseSensitivityDecidesHashAndCompare)
{
    VXSymbolTable table;
    EXPECT_TRUE(table.isCaseSensitive());
    // Sum of the bytes modulo 256: 'a' + 'b' = 97 + 98.
    EXPECT_EQ(table.createHashValue("ab"), 195);
    EXPECT_EQ(table.createHashValue("\xFF\xFF"), (255 + 255) % 256);
    VXSymbol* s = table.createSymbol("Div", 300);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(table.lookup("Div"), s);
    EXPECT_EQ(table.lookup("div"), nullptr);

    VXSymbolTable folded;
    folded.setCaseSensitive(false);
    EXPECT_EQ(folded.createHashValue("ab"), folded.createHashValue("AB"));
    VXSymbol* t = folded.createSymbol("Div", 301);
    EXPECT_EQ(folded.lookup("dIV"), t);
    EXPECT_EQ(folded.lookup("mod"), nullptr);
    EXPECT_EQ(folded.getSize(), 1);
}

TEST(VXSymbolTable, NewestSymbolWinsAndAllocModeDecidesOwnership)
{
    VXSymbolTable table;
    char name[] = "or";
    VXSymbol* first = table.createSymbol(name, 1);
    VXSymbol* second = table.createSymbol(name, 2);
    EXPECT_EQ(table.lookup("or"), second);
    EXPECT_NE(first->m_pszName, name); // copied
    EXPECT_TRUE(first->m_bDoDelete);

    table.setAllocMode(VX_ALLOCMODE_OFF);
    VXSymbol* kept = table.createSymbol(name, 3);
    EXPECT_EQ(kept->m_pszName, name); // the caller's pointer
    EXPECT_FALSE(kept->m_bDoDelete);
    EXPECT_EQ(table.lookup("or")->m_nType, 3);
}

TEST(VXSymbolTable, LocalScopeSeesOnlyTheCurrentBlock)
{
    VXSymbolTable table;
    table.setScope(VX_SCOPE_LOCAL);
    VXSymbol* outer = table.createSymbol("x", 1);
    table.enterBlock();
    EXPECT_EQ(table.lookup("x"), nullptr);
    VXSymbol* inner = table.createSymbol("x", 2);
    EXPECT_EQ(inner->m_nBlockLevel, 1);
    EXPECT_EQ(table.lookup("x"), inner);
    table.leaveBlock();
    // Back in the outer block the inner symbol is newest in the chain.
    EXPECT_EQ(table.lookup("x"), inner);
    table.setScope(VX_SCOPE_GLOBAL);
    table.enterBlock();
    table.enterBlock();
    EXPECT_EQ(table.lookup("x"), inner);
    EXPECT_NE(outer, inner);
    table.leaveBlock();
    table.leaveBlock();
    table.leaveBlock(); // never below 0
    EXPECT_EQ(table.getBlockLevel(), 0);
}

TEST(VXSymbolTable, CallbacksSeeEveryNewAndDeletedSymbol)
{
    g_created.clear();
    g_deleted.clear();
    {
        VXSymbolTable table(OnNew, OnDelete);
        table.setAllocMode(VX_ALLOCMODE_OFF);
        table.createSymbol("and", 1);
        table.createSymbol("or", 2);
        EXPECT_EQ(g_created.size(), 2u);
        EXPECT_TRUE(g_deleted.empty());
    }
    ASSERT_EQ(g_deleted.size(), 2u);
    EXPECT_STREQ(g_deleted[0], "or"); // newest first
    EXPECT_STREQ(g_deleted[1], "and");
}

TEST(VXSymbolTable, ParserHasNoReservedWords)
{
    // and, or, div and mod scan as names; the grammar tells them apart.
    VXParserMain parser;
    EXPECT_EQ(parser.Lookup("and"), nullptr);
    EXPECT_EQ(parser.Lookup("or"), nullptr);
    EXPECT_EQ(parser.Lookup("div"), nullptr);
}

TEST(VXParserMain, AllocatesZeroedMemoryOwnedByTheParser)
{
    VXParserMain parser;
    unsigned char* block = static_cast<unsigned char*>(parser.Alloc(64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(block[i], 0);
    char* empty = parser.StrDup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 0);
    char* copy = parser.StrDup("name");
    EXPECT_STREQ(copy, "name");
    // Freed with the parser; the sanitizer build checks that nothing leaks.
}

} // namespace
