// Search sets and the hit list array.
#include <string>
#include <vector>

#include "IntArray.h"
#include "SearchSet.h"
#include "VfxMemory.h"
#include "XPathException.h"
#include "store_fixture.h"

namespace {

std::string condition(SearchSet& s)
{
    CStringBuffer c;
    s.GetCondition(c);
    return std::string(c);
}

std::vector<int> contents(const IntArray& a)
{
    std::vector<int> v;
    for (int i = 0; i < a.GetLengh(); ++i)
        v.push_back(a.Get(i));
    return v;
}

TEST(IntArray, SortedUniqueAndPlainFilling)
{
    IntArray unique(32, true, true);
    for (int v : {4, 2, 4, 9, 1, 2})
        unique.Add(v);
    EXPECT_EQ((std::vector<int>{1, 2, 4, 9}), contents(unique));

    IntArray sorted(1, true, false);
    for (int v : {3, 1, 3, 2})
        sorted.Add(v);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 3}), contents(sorted));

    IntArray plain(2);
    for (int i = 0; i < 1000; ++i)
        plain.Add(1000 - i);
    plain.Insert(5000, -1);  // beyond the fill: appended
    plain.Insert(0, -2);
    ASSERT_EQ(1002, plain.GetLengh());
    EXPECT_EQ(-2, plain.Get(0));
    EXPECT_EQ(1000, plain.Get(1));
    EXPECT_EQ(-1, plain.Get(1001));
    int* copy = plain.Copy();
    EXPECT_EQ(1, copy[1000]);
    VfxMemFree(copy);
}

class SearchSetTest : public qt::StoreTest {};

TEST_F(SearchSetTest, ConditionsBuiltFromOtherSets)
{
    SearchSet child(nullptr), three(nullptr), five(nullptr);
    child.SetNumber(7);
    three.SetNumber(3);
    five.SetNumber(5);
    UniversalSearchSet all(nullptr, nullptr);

    CrossSearchSet cross(nullptr);
    cross.SetParentSearchSet(&all, false);
    cross.SetChildSearchSet(&child, true);
    EXPECT_EQ("XPATH(child,0,7,2)", condition(cross));

    UnionSearchSet either(nullptr, nullptr);
    either.AddSearchSet(&three);
    either.AddSearchSet(&five);
    EXPECT_EQ("(S=3 OR S=5)", condition(either));
    IntersectionSearchSet both(nullptr, nullptr);
    both.AddSearchSet(&three);
    both.AddSearchSet(&five);
    EXPECT_EQ("(S=3 AND.T S=5)", condition(both));

    // The axis comes from the child step when the set has none of its own.
    XPathAxisLocationStep* step = new XPathAxisLocationStep(
        new XPathAxis(AXIS_ANCESTOR, new XPathNodeTest()), nullptr);
    ExpressionSearchSet ancestors(step, nullptr, nullptr);
    ancestors.SetNumber(9);
    CrossSearchSet resolved(nullptr);
    resolved.SetChildSearchSet(&ancestors, true);
    resolved.SetParentSearchSet(&three, false);
    EXPECT_EQ(AXIS_ANCESTOR, resolved.GetAxisType());
    EXPECT_EQ("XPATH(ancestor,3,9,2)", condition(resolved));
    delete step;

    CrossSearchSet bad(nullptr);
    bad.SetParentSearchSet(&three, true);
    bad.SetChildSearchSet(&five, false);
    bad.SetAxisType(static_cast<EAxisType>(14));
    try {
        bad.CreateCondition();
        ADD_FAILURE() << "no exception";
    } catch (XPathException* e) {
        char buf[256];
        e->GetErrorMessage(buf, sizeof buf);
        EXPECT_STREQ("Invalid AXIS code 14", buf);
        delete e;
    }
}

TEST_F(SearchSetTest, RunsOnceAndReportsHitsPerRecord)
{
    for (int i = 0; i < 3; ++i) {
        qt::Doc d;
        int r = d.elem(0, "r");
        d.elem(r, "a");
        d.elem(r, "b");
        d.elem(r, "a");
        store(d);
    }
    ASSERT_EQ(1, ccl("DEFINE FIND MIN=0"));
    CStringBuffer cond("N_TYPE=ELEMENT AND.T N_NAME=\"a\"");
    ExpressionSearchSet set(nullptr, &cond, nullptr);
    int before = 0, after = 0;
    VdbSessionInfo(3, nullptr, &before);
    int n = set.GetNumber();
    EXPECT_GE(n, 1);
    EXPECT_EQ(n, set.GetNumber());
    VdbSessionInfo(3, nullptr, &after);
    EXPECT_EQ(before + 1, after);
    EXPECT_EQ(3, set.GetRecordCount());
    EXPECT_EQ(6, set.GetHitCount());

    int* hits = nullptr;
    EXPECT_EQ(6, set.GetHitTuples(&hits, 0));
    ASSERT_NE(nullptr, hits);
    EXPECT_EQ(6, hits[0]);
    EXPECT_EQ(2, hits[2]);
    EXPECT_EQ(4, hits[4]);
    EXPECT_EQ(hits[1], hits[3]);
    EXPECT_LT(hits[3], hits[5]);
    VfxMemFree(hits);
    EXPECT_EQ(4, set.GetHitTuples(&hits, 2));
    VfxMemFree(hits);

    // A kernel error becomes the exception's message.
    CStringBuffer badCond("N_NOSUCHFIELD=1");
    ExpressionSearchSet bad(nullptr, &badCond, nullptr);
    try {
        bad.Execute();
        ADD_FAILURE() << "no exception";
    } catch (XPathException* e) {
        char buf[256];
        e->GetErrorMessage(buf, sizeof buf);
        EXPECT_NE(nullptr, strstr(buf, "N_NOSUCHFIELD")) << buf;
        delete e;
    }
}

}  // namespace
