// The translator against the real kernel: the CCL texts it writes, the errors
// it reports, and the nodes its result sets hold on small stored trees.
#include <algorithm>
#include <string>
#include <vector>

#include "VXParserMain.h"
#include "VXProcessorMain.h"
#include "VfxMemory.h"
#include "XPathException.h"
#include "store_fixture.h"

namespace {

using Hits = std::vector<std::pair<int, int>>;

std::string message(XPathException* e)
{
    char buf[512];
    e->GetErrorMessage(buf, sizeof buf);
    delete e;
    return buf;
}

std::string condition(SearchSet* s)
{
    CStringBuffer c;
    s->GetCondition(c);
    return std::string(c);
}

class ProcessorTest : public qt::StoreTest {
protected:
    // Every condition of a query's sets, in creation order.
    std::vector<std::string> conditions(VXProcessorMain& p, const char* xpath)
    {
        std::vector<std::string> out;
        try {
            p.Query(xpath);
        } catch (XPathException* e) {
            ADD_FAILURE() << xpath << ": " << message(e);
            return out;
        }
        for (int i = 0; i < p.GetSearchSetCount(); ++i)
            out.push_back(condition(p.GetSearchSet(i)));
        return out;
    }

    bool has(const std::vector<std::string>& conds, const std::string& c)
    {
        return std::find(conds.begin(), conds.end(), c) != conds.end();
    }

    std::string error(const char* xpath)
    {
        VXProcessorMain p(nullptr);
        p.Begin();
        try {
            p.Query(xpath);
        } catch (XPathException* e) {
            return message(e);
        }
        return "(no error)";
    }

    // The (rid, part) hits of a query, through Begin, Query and End.
    Hits run(const char* xpath)
    {
        VXProcessorMain p(nullptr);
        EXPECT_TRUE(p.Begin());
        SearchSet* result = nullptr;
        try {
            result = p.Query(xpath);
        } catch (XPathException* e) {
            ADD_FAILURE() << xpath << ": " << message(e);
        }
        p.End();
        Hits out;
        if (!result)
            return out;
        int* tuples = nullptr;
        int n = result->GetHitTuples(&tuples, 0);
        for (int i = 0; i < n; ++i)
            out.emplace_back(tuples[1 + 2 * i], tuples[2 + 2 * i]);
        VfxMemFree(tuples);
        return out;
    }

    static Hits parts(int rid, std::vector<int> ps)
    {
        Hits h;
        for (int p : ps)
            h.emplace_back(rid, p);
        return h;
    }
};

TEST_F(ProcessorTest, ConditionTextsOfPathsAndSteps)
{
    VXProcessorMain p(nullptr);
    ASSERT_TRUE(p.Begin());

    auto c = conditions(p, "/a");
    ASSERT_EQ(1u, c.size());
    EXPECT_EQ("N_PARENT=0 AND.T N_TYPE=ELEMENT AND.T N_NAME=\"a\"", c[0]);

    c = conditions(p, "/a/b");
    ASSERT_EQ(3u, c.size());
    EXPECT_EQ("N_PARENT=0 AND.T N_TYPE=ELEMENT AND.T N_NAME=\"a\"", c[0]);
    EXPECT_EQ("N_TYPE=ELEMENT AND.T N_NAME=\"b\"", c[1]);
    EXPECT_EQ("XPATH(child," + std::to_string(p.GetSearchSet(0)->GetNumber()) + "," +
                  std::to_string(p.GetSearchSet(1)->GetNumber()) + ",2)",
              c[2]);

    // The first step of an absolute path is tied to the document node even
    // for a wildcard; a descendant first step is not.
    c = conditions(p, "/*");
    EXPECT_TRUE(has(c, "N_PARENT=0 AND.T N_TYPE=ELEMENT")) << c.back();
    c = conditions(p, "/descendant::a");
    EXPECT_EQ("N_TYPE=ELEMENT AND.T N_NAME=\"a\"", c.back());
    // Every path of a union is absolute on its own.
    c = conditions(p, "/a | /b");
    EXPECT_TRUE(has(c, "N_PARENT=0 AND.T N_TYPE=ELEMENT AND.T N_NAME=\"b\""));

    c = conditions(p, "//a[@id='x']");
    EXPECT_TRUE(has(c, "N_TYPE=ATTRIBUTE AND.T N_NAME=\"id\" AND.T N_TVALUE=&x&"));
    c = conditions(p, "//p:a/@q:b");
    EXPECT_TRUE(has(c, "N_TYPE=ELEMENT AND.T N_NAME=\"a\" AND.T N_NAMESPACE=\"p\""));
    EXPECT_TRUE(has(c, "N_TYPE=ATTRIBUTE AND.T N_NAME=\"b\" AND.T N_NAMESPACE=\"q\""));
    c = conditions(p, "//comment() | //processing-instruction() | //text()");
    EXPECT_TRUE(has(c, "N_TYPE=COMMENT"));
    EXPECT_TRUE(has(c, "N_TYPE=PROCESSING_INSTRUCTION"));
    EXPECT_TRUE(has(c, "N_TYPE=TEXT"));

    c = conditions(p, "a/following-sibling::b | a/preceding::* | a/following::text() | a/following::node()");
    EXPECT_TRUE(has(c, "N_TYPE=ELEMENT AND.T N_NAME=\"b\""));
    EXPECT_TRUE(has(c, "N_TYPE=ELEMENT"));
    EXPECT_TRUE(has(c, "N_TYPE=TEXT"));
    EXPECT_TRUE(has(c, "(N_TYPE=ELEMENT OR N_TYPE=TEXT OR N_TYPE=COMMENT OR N_TYPE=PROCESSING_INSTRUCTION)"));
    p.End();
}

TEST_F(ProcessorTest, ConditionTextsOfPredicates)
{
    VXProcessorMain p(nullptr);
    ASSERT_TRUE(p.Begin());

    struct Case {
        const char* xpath;
        const char* value;
    } positions[] = {
        {"a[2]", "EQ,2"}, {"a[position()=last()]", "EQ,-1"}, {"a[last()-1]", "EQ,-2"},
        {"a[last()=3]", "EQ,-3"}, {"a[position()>=2]", "GE,2"}, {"a[position()!=1]", "NE,1"},
    };
    for (const Case& k : positions) {
        auto c = conditions(p, k.xpath);
        ASSERT_GE(c.size(), 2u) << k.xpath;
        std::string n = std::to_string(p.GetSearchSet(0)->GetNumber());
        EXPECT_EQ("XPATH(SELF," + n + "," + n + ",1," + k.value + ")", c.back()) << k.xpath;
    }

    auto c = conditions(p, "a[b!='']");
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE=$"));
    c = conditions(p, "a[b>=''][b<'5'][b<='6'][b>'7'][b!='8']");
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE<\"5\""));
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE<=\"6\""));
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE>\"7\""));
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE<>\"8\""));
    c = conditions(p, "a[contains(.,'x')]");
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE=$x$"));
    c = conditions(p, "a[contains(@id,'x')]");
    EXPECT_TRUE(has(c, "N_TYPE=ATTRIBUTE AND.T N_NAME=\"id\" AND.T N_TVALUE=$x$"));
    // A literal holding the delimiter before a blank is quoted otherwise.
    c = conditions(p, "a[b=\"x& y\"]");
    EXPECT_TRUE(has(c, "N_TYPE=TEXT AND.T N_TVALUE=\"x& y\""));

    // The literal of a self comparison is compared, never dropped.
    c = conditions(p, "a[.='x']");
    ASSERT_EQ(3u, c.size());
    EXPECT_EQ("N_TYPE=TEXT AND.T N_TVALUE=&x&", c[1]);
    EXPECT_EQ("XPATH(descendant," + std::to_string(p.GetSearchSet(0)->GetNumber()) + "," +
                  std::to_string(p.GetSearchSet(1)->GetNumber()) + ",1)",
              c[2]);
    // An explicit text() step joins on the child axis, the appended one on
    // the descendant axis.
    c = conditions(p, "a[text()='x']");
    EXPECT_EQ(0u, c.back().find("XPATH(child,"));
    c = conditions(p, "a[b='x']");
    EXPECT_TRUE(std::any_of(c.begin(), c.end(), [](const std::string& s) { return s.find("XPATH(descendant,") == 0; }));
    c = conditions(p, "a[contains(text(),'x')]");
    EXPECT_EQ(0u, c.back().find("XPATH(child,"));
    p.End();
}

TEST_F(ProcessorTest, LocalCommandWordsInSetConditions)
{
    setenv("VDBS_LANGUAGE", "test", 1);
    VXProcessorMain p(nullptr);
    ASSERT_TRUE(p.Begin());
    auto c = conditions(p, "a[@x or @y]");
    // Sets: a, @x, join, @y, join, union of the two joins.
    ASSERT_EQ(6u, c.size());
    std::string l = std::to_string(p.GetSearchSet(2)->GetNumber());
    std::string r = std::to_string(p.GetSearchSet(4)->GetNumber());
    EXPECT_EQ("(M=" + l + " ODER M=" + r + ")", c.back());
    c = conditions(p, "a[@x and @y]");
    ASSERT_EQ(6u, c.size());
    l = std::to_string(p.GetSearchSet(2)->GetNumber());
    r = std::to_string(p.GetSearchSet(4)->GetNumber());
    EXPECT_EQ("(M=" + l + " UND.T M=" + r + ")", c.back());
    p.End();
    unsetenv("VDBS_LANGUAGE");
}

TEST_F(ProcessorTest, TranslationErrors)
{
    struct Case {
        const char* xpath;
        const char* message;
    } cases[] = {
        {"a[", "syntax error"},
        {"a[last()]", "ERROR: unknown or unsupported function \"last\""},
        {"a[foo(b)]", "ERROR: unknown or unsupported function \"foo\""},
        {"a[b='']", "Specified comparison operator is not supported for emptry strings."},
        {"a[b<'']", "Specified comparison operator is not supported for emptry strings."},
        {"a[contains(b,'x')]", "Unpexpected lvalue type in contains()."},
        {"a[contains(b)]", "ERROR: Invalid number of arguments to contains function."},
        {"a[contains('x','y')]",
         "A contains() function must have a location path as first argument and a scalar value as second."},
        {"self::a", "Location step expressions for axis \"self\" are not yet implemented."},
        {"a/namespace::x", "Location step expressions for axis \"namespace\" are not yet implemented."},
        {"a[1+2]", "Paired expressions are not yet fully implemented."},
        {"a['x']", "INTERNAL ERROR: Invalid location step type!"},
        {"a[1.5]", "INTERNAL ERROR: Invalid location step type!"},
        {"a['x'=b]", "A VORN XPath comparison predicate requires a location step and a scalar value."},
        {"a[b=c]", "A VORN XPath comparison predicate requires a location step and a scalar value."},
        {"a[position()='']", "Cannot compare position() or last() to an empty string."},
        {"a[following::b='x']", "Comparison using the \"following\" axis is not supported."},
        {"a[self::b='x']", "Comparison using the \"self\" axis is not supported."},
        {"following::a", "The following axis cannot be used without a context."},
        {"following-sibling::a", "The following-sibling axis cannot be used without a context."},
        {"preceding::a", "The preceding axis cannot be used without a context."},
        {"preceding-sibling::a", "The preceding-sibling axis cannot be used without a context."},
        {"parent::a", "The parent axis cannot be used without a parent context."},
        {"ancestor-or-self::a", "The ancestor-or-self axis cannot be used without a parent context."},
    };
    for (const Case& k : cases)
        EXPECT_EQ(k.message, error(k.xpath)) << k.xpath;
}

TEST_F(ProcessorTest, EndLeavesOnlyTheResultSet)
{
    qt::Doc d;
    int r = d.elem(0, "r");
    d.elem(r, "a");
    store(d);
    int before = 0;
    ASSERT_EQ(1, ccl("FIND N_TYPE=ELEMENT"));  // a set of the caller's
    VdbSessionInfo(3, nullptr, &before);

    VXProcessorMain p(nullptr);
    ASSERT_TRUE(p.Begin());
    SearchSet* result = p.Query("/r/a[1]");
    ASSERT_NE(nullptr, result);
    EXPECT_GT(p.GetSearchSetCount(), 3);
    p.End();
    int after = 0;
    VdbSessionInfo(3, nullptr, &after);
    EXPECT_EQ(before + 1, after);
    EXPECT_EQ(before + 1, result->GetNumber());
    EXPECT_EQ(1, result->GetRecordCount());
    int set = 0, records = 0, hits = 0;
    ASSERT_EQ(1, VdbGetSearch(&set, &records, &hits));
    EXPECT_EQ(result->GetNumber(), set);
    EXPECT_EQ(1, hits);
}

TEST_F(ProcessorTest, EmptySetsStayEmptyInJoins)
{
    qt::Doc d;
    int r = d.elem(0, "r");
    d.elem(r, "b");
    store(d);
    // Without empty sets an intermediate search without hits would stand
    // for every node, and /zzz/b would find b.
    VXProcessorMain p(nullptr);
    ASSERT_TRUE(p.Begin());
    XPathException* err = nullptr;
    VXParserMain parser;
    CStringBuffer msg;
    XPathStatement* tree = parser.Parse("//zzz/b", &msg);
    ASSERT_NE(nullptr, tree);
    SearchSet* result = nullptr;
    try {
        p.ProcessNode(tree, 0);
        result = p.ExecuteAll();
    } catch (XPathException* e) {
        err = e;
    }
    ASSERT_EQ(nullptr, err) << message(err);
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(0, result->GetRecordCount());
    p.End();
    delete tree;
}

TEST_F(ProcessorTest, ResultsOnStoredTrees)
{
    // <r><a id="1">x</a><a id="2"><b>y</b>z</a><c>gold<d>gold</d></c><!--n--></r>
    qt::Doc d;
    int r = d.elem(0, "r");            // 1
    int a1 = d.elem(r, "a");           // 2
    d.attr(a1, "id", "1");             // 3
    d.text(a1, "x");                   // 4
    int a2 = d.elem(r, "a");           // 5
    d.attr(a2, "id", "2");             // 6
    int b = d.elem(a2, "b");           // 7
    d.text(b, "y");                    // 8
    d.text(a2, "z");                   // 9
    int c = d.elem(r, "c");            // 10
    d.text(c, "gold");                 // 11
    int dd = d.elem(c, "d");           // 12
    d.text(dd, "gold");                // 13
    d.comment(r, "n");                 // 14
    int rid = store(d);
    // A second document must not join with the first.
    qt::Doc e;
    int r2 = e.elem(0, "r");
    e.elem(r2, "a");
    int rid2 = store(e);

    struct Case {
        const char* xpath;
        Hits expected;
    } cases[] = {
        {"/r", {{rid, 1}, {rid2, 1}}},
        {"/*", {{rid, 1}, {rid2, 1}}},
        {"/a", {}},
        {"/r/a", {{rid, 2}, {rid, 5}, {rid2, 2}}},
        {"//a[@id='2']", parts(rid, {5})},
        {"//a[.='x']", parts(rid, {2})},
        {"//a[b='y']", parts(rid, {5})},
        {"//*[text()='z']", parts(rid, {5})},
        {"//*[text()='gold']", parts(rid, {10, 12})},
        {"//*[contains(text(),'gol')]", parts(rid, {10, 12})},
        {"//c[contains(.,'gol')]", parts(rid, {10})},
        {"//a[contains(@id,'2')]", parts(rid, {5})},
        {"//a[2]", parts(rid, {5})},
        {"/r/a[position()=last()]/@id", parts(rid, {6})},
        {"//a[@id][1]", parts(rid, {2})},
        {"//a[1][@id='2']", {}},
        {"//a[@id='1' or b]", parts(rid, {2, 5})},
        {"//a[@id and b]", parts(rid, {5})},
        {"//a[b/text()='y']", parts(rid, {5})},
        {"/r[a/b]", parts(rid, {1})},
        {"/r[a[2]]", parts(rid, {1})},
        {"//a/following-sibling::*", parts(rid, {5, 10})},
        {"//b/ancestor::*", parts(rid, {1, 5})},
        {"//b/ancestor-or-self::a", parts(rid, {5})},
        {"//b/..", parts(rid, {5})},
        {"//a/text() | //d/text()", parts(rid, {4, 9, 13})},
        {"/r/comment()", parts(rid, {14})},
        {"//c//.", parts(rid, {10, 11, 12, 13})},
        {"descendant-or-self::node()", {{rid, 1}, {rid, 2}, {rid, 3}, {rid, 4}, {rid, 5}, {rid, 6}, {rid, 7}, {rid, 8}, {rid, 9},
                    {rid, 10}, {rid, 11}, {rid, 12}, {rid, 13}, {rid, 14}, {rid2, 1}, {rid2, 2}}},
    };
    for (const Case& k : cases)
        EXPECT_EQ(k.expected, run(k.xpath)) << k.xpath;
}

}  // namespace
