// Parsing XPath expressions: the printed trees of accepted expressions and the
// messages of rejected ones.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "VXParserMain.h"

#if defined(__SANITIZE_ADDRESS__)
#define VX_HAVE_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_HAVE_LSAN 1
#endif
#endif
#ifdef VX_HAVE_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::string Print(XPathExpression* node, bool recursive, bool prefix, bool suffix)
{
    CStringBuffer str;
    node->ToString(str, recursive, prefix, suffix);
    return std::string(str, str.length());
}

std::string Debug(XPathExpression* node)
{
    CStringBuffer str;
    node->ToDebugString(str, true, 0);
    return std::string(str, str.length());
}

struct Parsed {
    std::unique_ptr<XPathStatement> tree;
    std::string message;
};

Parsed ParseText(const std::string& text)
{
    VXParserMain parser;
    CStringBuffer msg;
    Parsed result;
    result.tree.reset(parser.Parse(text.c_str(), &msg));
    result.message.assign(msg, msg.length());
    return result;
}

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

// ---------------------------------------------------------------- accepted

struct PrintCase {
    const char* expr;
    const char* full;   // recursive, quotes
    const char* bare;   // recursive, no quotes
    const char* flat;   // not recursive, quotes
};

const PrintCase kPrintCases[] = {
    // Paths, "//" and abbreviations.
    {"/a/b[@c='x']", "/child::a/child::b[attribute::c=\"x\"]", "/child::a/child::b[attribute::c=x]", ""},
    {"//a", "/descendant-or-self::node()/child::a", "/descendant-or-self::node()/child::a", ""},
    {"a//b", "child::a/descendant-or-self::node()/child::b", "child::a/descendant-or-self::node()/child::b", ""},
    {".", "self::node()", "self::node()", ""},
    {"a/../b", "child::a/parent::*/child::b", "child::a/parent::*/child::b", ""},
    {"*/@*", "child::*/attribute::*", "child::*/attribute::*", ""},
    {"p:x/@p:y/p:*", "child::p:x/attribute::p:y/child::p:", "child::p:x/attribute::p:y/child::p:", ""},
    {"CHILD::a/Descendant::b/ancestor-or-self::node()/following-sibling::c/preceding::text()/namespace::*",
     "child::a/descendant::b/ancestor-or-self::node()/following-sibling::c/preceding::text()/namespace::*",
     "child::a/descendant::b/ancestor-or-self::node()/following-sibling::c/preceding::text()/namespace::*", ""},
    {"ancestor::a/descendant-or-self::b/following::c/preceding-sibling::d/parent::e/self::f/attribute::g",
     "ancestor::a/descendant-or-self::b/following::c/preceding-sibling::d/parent::e/self::f/attribute::g",
     "ancestor::a/descendant-or-self::b/following::c/preceding-sibling::d/parent::e/self::f/attribute::g", ""},
    {"a-b.c/x", "child::a-b.c/child::x", "child::a-b.c/child::x", ""},
    {"\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC/x\xC2\xB7y",
     "child::\xC3\xA9/child::\xE6\x97\xA5\xE6\x9C\xAC/child::x\xC2\xB7y",
     "child::\xC3\xA9/child::\xE6\x97\xA5\xE6\x9C\xAC/child::x\xC2\xB7y", ""},
    // Unions: the separators survive a non-recursive print, the paths do not.
    {"comment()|processing-instruction()|text()|node()",
     "child::comment()|child::processing-instruction()|child::text()|child::node()",
     "child::comment()|child::processing-instruction()|child::text()|child::node()", "|||"},
    {"a | /b | //c", "child::a|/child::b|/descendant-or-self::node()/child::c",
     "child::a|/child::b|/descendant-or-self::node()/child::c", "||"},
    // Blanks and comments between tokens.
    {" a \t/\n b ", "child::a/child::b", "child::a/child::b", ""},
    {"-- lead\r\na -- mid\r/b -- end\n", "child::a/child::b", "child::a/child::b", ""},
    // Numeric predicates become position comparisons; last() - n counts from the end.
    {"a[1]", "child::a[self::position()=1]", "child::a[self::position()=1]", ""},
    {"a [ 007 ]", "child::a[self::position()=7]", "child::a[self::position()=7]", ""},
    {"a[(1)]", "child::a[self::position()=1]", "child::a[self::position()=1]", ""},
    {"a[last()-1]", "child::a[self::position()=-2]", "child::a[self::position()=-2]", ""},
    {"a[last() - 2]", "child::a[self::position()=-3]", "child::a[self::position()=-3]", ""},
    {"a[last()-2147483647]", "child::a[self::position()=-2147483648]", "child::a[self::position()=-2147483648]", ""},
    {"a[2147483647]", "child::a[self::position()=2147483647]", "child::a[self::position()=2147483647]", ""},
    {"a[position()=last()]", "child::a[child::position()=-1]", "child::a[child::position()=-1]", ""},
    {"a[Position() < LAST()]", "child::a[child::Position()<-1]", "child::a[child::Position()<-1]", ""},
    {"a[last()=3]", "child::a[child::last()=3]", "child::a[child::last()=3]", ""},
    {"a[last()]", "child::a[child::last()]", "child::a[child::last()]", ""},
    {"a[last() - 1.5]", "child::a[child::last()-1.50]", "child::a[child::last()-1.50]", ""},
    // A literal compared with a child name compares its text.
    {"a[b='x']", "child::a[child::b/child::text()=\"x\"]", "child::a[child::b/child::text()=x]", ""},
    {"a[b != \"x\"]", "child::a[child::b/child::text()!=\"x\"]", "child::a[child::b/child::text()!=x]", ""},
    {"a[b<=1][c>=2.5][d<3][e>4]",
     "child::a[child::b/child::text()<=1][child::c/child::text()>=2.50][child::d/child::text()<3][child::e/child::text()>4]",
     "child::a[child::b/child::text()<=1][child::c/child::text()>=2.50][child::d/child::text()<3][child::e/child::text()>4]", ""},
    {"a[b - 1]", "child::a[child::b/child::text()-1]", "child::a[child::b/child::text()-1]", ""},
    {"a[b=c]", "child::a[child::b=child::c]", "child::a[child::b=child::c]", ""},
    {"a[@b='x']", "child::a[attribute::b=\"x\"]", "child::a[attribute::b=x]", ""},
    {"a[.='x']", "child::a[self::node()=\"x\"]", "child::a[self::node()=x]", ""},
    {"a[text()='x']", "child::a[child::text()=\"x\"]", "child::a[child::text()=x]", ""},
    {"x[/a/b='x']", "child::x[/child::a/child::b/child::text()=\"x\"]", "child::x[/child::a/child::b/child::text()=x]", ""},
    // One and/or per predicate; any other word means and.
    {"a[@a='1' and @b='2']", "child::a[attribute::a=\"1\" AND attribute::b=\"2\"]",
     "child::a[attribute::a=1 AND attribute::b=2]", ""},
    {"a[@a='1' xor @b='2']", "child::a[attribute::a=\"1\" AND attribute::b=\"2\"]",
     "child::a[attribute::a=1 AND attribute::b=2]", ""},
    {"a[b OR c]", "child::a[child::b OR child::c]", "child::a[child::b OR child::c]", ""},
    {"a[b c d]", "child::a[child::b AND child::d]", "child::a[child::b AND child::d]", ""},
    {"a[b div 2][b Mod 3]", "child::a[child::b/child::text() DIV 2][child::b/child::text() MOD 3]",
     "child::a[child::b/child::text() DIV 2][child::b/child::text() MOD 3]", ""},
    {"a[b[c and d] or e]", "child::a[child::b[child::c AND child::d] OR child::e]",
     "child::a[child::b[child::c AND child::d] OR child::e]", ""},
    // Arithmetic; parentheses group but are not printed.
    {"a[1+2*3]", "child::a[1+2*3]", "child::a[1+2*3]", ""},
    {"a[(1+2)*3]", "child::a[1+2*3]", "child::a[1+2*3]", ""},
    {"a[* * *]", "child::a[child::**child::*]", "child::a[child::**child::*]", ""},
    // Literals.
    {"a[\"x'y\"]", "child::a[\"x'y\"]", "child::a[x'y]", ""},
    {"a[`q\"r`]", "child::a[\"q\"r\"]", "child::a[q\"r]", ""},
    {"a['']", "child::a[\"\"]", "child::a[]", ""},
    {"a['two\nlines']", "child::a[\"two\nlines\"]", "child::a[two\nlines]", ""},
    {"a['-- not a comment\n']", "child::a[\"-- not a comment\n\"]", "child::a[-- not a comment\n]", ""},
    {"a[1.239]", "child::a[1.24]", "child::a[1.24]", ""},
    {"a[2e1][1.5E-1]", "child::a[20.00][0.15]", "child::a[20.00][0.15]", ""},
    {"a[('x')]", "child::a[\"x\"]", "child::a[x]", ""},
    {"a['x'[1]]", "child::a[\"x\"[self::position()=1]]", "child::a[x[self::position()=1]]", ""},
    // Function calls with literal and path arguments.
    {"a[contains(., 'x')]", "child::a[child::contains(self::node(),\"x\")]",
     "child::a[child::contains(self::node(),x)]", ""},
    {"a[contains(b/@c, \"y\", 3)]", "child::a[child::contains(child::b/attribute::c,\"y\",3)]",
     "child::a[child::contains(child::b/attribute::c,y,3)]", ""},
    {"processing-instruction('pi')", "child::processing-instruction(\"pi\")",
     "child::processing-instruction(pi)", ""},
};

TEST(XPathParse, PrintsAcceptedExpressions)
{
    for (const PrintCase& c : kPrintCases) {
        SCOPED_TRACE(c.expr);
        Parsed p = ParseText(c.expr);
        ASSERT_TRUE(p.tree) << p.message;
        EXPECT_EQ(Print(p.tree.get(), true, true, true), c.full);
        EXPECT_EQ(Print(p.tree.get(), true, false, false), c.bare);
        EXPECT_EQ(Print(p.tree.get(), false, true, true), c.flat);
    }
}

TEST(XPathParse, QuotesFollowPrefixAndSuffixFlags)
{
    Parsed p = ParseText("a[b='x']");
    ASSERT_TRUE(p.tree);
    EXPECT_EQ(Print(p.tree.get(), true, true, false), "child::a[child::b/child::text()=\"x]");
    EXPECT_EQ(Print(p.tree.get(), true, false, true), "child::a[child::b/child::text()=x\"]");
}

TEST(XPathParse, RootIsPathOrUnion)
{
    Parsed path = ParseText("a/b");
    ASSERT_TRUE(path.tree);
    XPathPath* steps = dynamic_cast<XPathPath*>(path.tree.get());
    ASSERT_NE(steps, nullptr);
    ASSERT_EQ(steps->GetSize(), 2);
    EXPECT_EQ(steps->Get(0)->GetStepParent(), XPATH_STEP_PARENT_NONE);
    EXPECT_EQ(steps->Get(1)->GetStepParent(), XPATH_STEP_PARENT_IMMEDIATE);

    Parsed alternatives = ParseText("a|b|c");
    ASSERT_TRUE(alternatives.tree);
    XPathUnionExpression* u = dynamic_cast<XPathUnionExpression*>(alternatives.tree.get());
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->GetSize(), 3);
}

TEST(XPathParse, DoubleSlashBecomesDescendantOrSelfStep)
{
    // Paths never keep the "//" mark: the step parents say "/" throughout.
    Parsed p = ParseText("//a//b");
    ASSERT_TRUE(p.tree);
    XPathPath* path = dynamic_cast<XPathPath*>(p.tree.get());
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(path->GetSize(), 4);
    const EAxisType axes[] = {AXIS_DESCENDANT_OR_SELF, AXIS_CHILD, AXIS_DESCENDANT_OR_SELF, AXIS_CHILD};
    for (int i = 0; i < 4; i++) {
        XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(path->Get(i));
        ASSERT_NE(step, nullptr);
        EXPECT_EQ(step->GetStepParent(), XPATH_STEP_PARENT_IMMEDIATE);
        EXPECT_EQ(step->GetAxis()->GetType(), axes[i]);
        ASSERT_NE(step->GetPredicates(), nullptr);
        EXPECT_EQ(step->GetPredicates()->GetSize(), 0);
    }
}

TEST(XPathParse, OperatorPrecedence)
{
    // Comparisons bind loosest, then + and -, then *; all are left-associative.
    Parsed p = ParseText("a[1=2+3*4-5]");
    ASSERT_TRUE(p.tree);
    EXPECT_EQ(Debug(p.tree.get()),
              "\nXPathPath COUNT=1"
              "\n   XPathAxisLocationStep STEP-PARENT= PREDICATES=1"
              "\n      XPathAxis AXIS=child"
              "\n         XPathNodeNameTest WILDCARD=N"
              "\n            XPathName LOCALNAME=\"a\""
              "\n      XPathExpressionList COUNT=1"
              "\n         XPathPredicate"
              "\n            XPathExpressionPair OPERATOR=\"=\""
              "\n               XPathFilterExpression STEP-PARENT="
              "\n                  XPathInt SCALAR ISPARENTHESIZED=N VALUE=1"
              "\n               XPathExpressionPair OPERATOR=\"-\""
              "\n                  XPathExpressionPair OPERATOR=\"+\""
              "\n                     XPathFilterExpression STEP-PARENT="
              "\n                        XPathInt SCALAR ISPARENTHESIZED=N VALUE=2"
              "\n                     XPathExpressionPair OPERATOR=\"*\""
              "\n                        XPathFilterExpression STEP-PARENT="
              "\n                           XPathInt SCALAR ISPARENTHESIZED=N VALUE=3"
              "\n                        XPathFilterExpression STEP-PARENT="
              "\n                           XPathInt SCALAR ISPARENTHESIZED=N VALUE=4"
              "\n                  XPathFilterExpression STEP-PARENT="
              "\n                     XPathInt SCALAR ISPARENTHESIZED=N VALUE=5");

    Parsed grouped = ParseText("a[(1+2)*3]");
    ASSERT_TRUE(grouped.tree);
    XPathPath* path = dynamic_cast<XPathPath*>(grouped.tree.get());
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(path->Get(0));
    XPathPredicate* pred = dynamic_cast<XPathPredicate*>(step->GetPredicates()->Get(0));
    XPathExpressionPair* mul = dynamic_cast<XPathExpressionPair*>(pred->GetExpression());
    ASSERT_NE(mul, nullptr);
    EXPECT_EQ(mul->GetOperator(), PAIRSEP_MUL);
    XPathExpressionPair* add = dynamic_cast<XPathExpressionPair*>(mul->GetLeft());
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->GetOperator(), PAIRSEP_ADD);
    EXPECT_TRUE(add->IsParenthesized());
}

TEST(XPathParse, PositionFromEndHoldsNegativeInteger)
{
    Parsed p = ParseText("a[last()-1]");
    ASSERT_TRUE(p.tree);
    XPathPath* path = dynamic_cast<XPathPath*>(p.tree.get());
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(path->Get(0));
    XPathPredicate* pred = dynamic_cast<XPathPredicate*>(step->GetPredicates()->Get(0));
    XPathExpressionPair* cmp = dynamic_cast<XPathExpressionPair*>(pred->GetExpression());
    ASSERT_NE(cmp, nullptr);
    EXPECT_EQ(cmp->GetOperator(), PAIRSEP_EQ);
    XPathInt* n = dynamic_cast<XPathInt*>(cmp->GetRight());
    ASSERT_NE(n, nullptr);
    EXPECT_EQ((*n)(), -2);
    EXPECT_EQ(cmp->GetAxisType(), AXIS_SELF);
}

// ---------------------------------------------------------------- rejected

struct ErrorCase {
    std::string expr;
    std::string message;
};

const char kSyntax[] = "syntax error";

std::vector<ErrorCase> ErrorCases()
{
    return {
        {"", kSyntax},
        {"   ", kSyntax},
        {"-- only a comment\n", kSyntax},
        {"-- no line end", kSyntax},
        {"a_b", kSyntax},
        {"a b", kSyntax},
        {"x::a", "Invalid axis \"x\""},
        {"a/Child::b/attrib::c", "Invalid axis \"attrib\""},
        {"a/foo()", "Invalid node type \"foo\""},
        {"a/b[c/FOO()]", "Invalid node type \"FOO\""},
        {"x::foo()", "Invalid node type \"foo\""},
        // Unbalanced brackets and quotes.
        {"a[", kSyntax},
        {"a]", kSyntax},
        {"a[1", kSyntax},
        {"a[(1]", kSyntax},
        {"a[1)]", kSyntax},
        {"a[b[c]", kSyntax},
        {"a[b]]", kSyntax},
        {"(a)", kSyntax},
        {"a/f(b", kSyntax},
        {"a['x]", kSyntax},
        {"a[\"x']", kSyntax},
        {"a[`x]", kSyntax},
        {"\"a", kSyntax},
        // Outside the language.
        {"/", kSyntax},
        {"a/", kSyntax},
        {"a//", kSyntax},
        {"a||b", kSyntax},
        {"|a", kSyntax},
        {"$x", kSyntax},
        {"a[$x]", kSyntax},
        {"a[-1]", kSyntax},
        {"a[1/2]", kSyntax},
        {"a[b and c and d]", kSyntax},
        {"a[(b and c)]", kSyntax},
        {"a and b", kSyntax},
        {"a[f(1+2)]", kSyntax},
        {"a[f(b=1)]", kSyntax},
        {"'x'", kSyntax},
        {"1", kSyntax},
        {"a[1.]", kSyntax},
        {"a[.5]", kSyntax},
        {"a!b", kSyntax},
        {"a\x01", kSyntax},
        {"a\xC3\x97" "b", kSyntax}, // U+00D7 is no name character
        // Numbers an int cannot hold.
        {"a[2147483648]", "Integer constant \"2147483648\" is out of range."},
        {"a[b=99999999999999999999999]", "Integer constant \"99999999999999999999999\" is out of range."},
        // Bytes that are not UTF-8, also inside literals and comments.
        {"\xFF", "Invalid UTF-8 byte 0xFF at offset 0 of the XPath expression."},
        {"a['\xC3(']", "Invalid UTF-8 byte 0xC3 at offset 3 of the XPath expression."},
        {"a\x80", "Invalid UTF-8 byte 0x80 at offset 1 of the XPath expression."},
        {"a/\xC0\xAF", "Invalid UTF-8 byte 0xC0 at offset 2 of the XPath expression."},
        {"a[\"\xED\xA0\x80\"]", "Invalid UTF-8 byte 0xED at offset 3 of the XPath expression."},
        {"a\xF4\x90\x80\x80", "Invalid UTF-8 byte 0xF4 at offset 1 of the XPath expression."},
        {"a -- \xE6\x97\n", "Invalid UTF-8 byte 0xE6 at offset 5 of the XPath expression."},
        {"a\xE6\x97", "Invalid UTF-8 byte 0xE6 at offset 1 of the XPath expression."},
        // Nesting beyond the parser stack, and operator chains beyond the limit.
        {"a[" + Repeat("(", 10000) + "1" + Repeat(")", 10000) + "]", "memory exhausted"},
        {"a[" + Repeat("(", 10000), "memory exhausted"},
        {Repeat("a[", 5000), "memory exhausted"},
        {Repeat("a[", 1000), kSyntax},
        {"a[1" + Repeat("+1", 10001) + "]", "XPath expression has more than 10000 operators."},
        {"a['x'" + Repeat("[1]", 10001) + "]", "XPath expression has more than 10000 operators."},
    };
}

TEST(XPathParse, RejectsWithMessage)
{
    for (const ErrorCase& c : ErrorCases()) {
        SCOPED_TRACE(c.expr.substr(0, 60));
        Parsed p = ParseText(c.expr);
        EXPECT_FALSE(p.tree);
        EXPECT_EQ(p.message, c.message);
    }
}

TEST(XPathParse, NullExpressionIsEmpty)
{
    VXParserMain parser;
    CStringBuffer msg;
    EXPECT_EQ(parser.Parse(nullptr, &msg), nullptr);
    EXPECT_STREQ(msg, "syntax error");
    // Without a message buffer the failure is still only a null result.
    EXPECT_EQ(parser.Parse("a[", nullptr), nullptr);
}

TEST(XPathParse, ParserCanBeReused)
{
    // Each parse starts with an empty message: errors do not pile up.
    VXParserMain parser;
    CStringBuffer msg;
    EXPECT_EQ(parser.Parse("x::a", &msg), nullptr);
    EXPECT_STREQ(msg, "Invalid axis \"x\"");
    EXPECT_EQ(parser.Parse("a/foo()", &msg), nullptr);
    EXPECT_STREQ(msg, "Invalid node type \"foo\"");
    std::unique_ptr<XPathStatement> tree(parser.Parse("a/b", &msg));
    ASSERT_TRUE(tree);
    EXPECT_EQ(Print(tree.get(), true, true, true), "child::a/child::b");
    // The tree outlives the parser that built it.
    std::unique_ptr<XPathStatement> kept;
    {
        VXParserMain other;
        kept.reset(other.Parse("a[@n='v']|b", nullptr));
    }
    ASSERT_TRUE(kept);
    EXPECT_EQ(Print(kept.get(), true, true, true), "child::a[attribute::n=\"v\"]|child::b");
}

TEST(XPathParse, DeepButBoundedNesting)
{
    // The deepest trees the limits allow can be printed, cloned and freed.
    const std::string deep[] = {
        "a[" + Repeat("(", 9990) + "1" + Repeat(")", 9990) + "]",
        Repeat("a[", 3000) + "1" + Repeat("]", 3000),
        "a[1" + Repeat("+1", 10000) + "]",
        "a['x'" + Repeat("[1]", 9999) + "]",
        "a" + Repeat("/b", 20000),
        "a" + Repeat("|b", 20000),
    };
    for (const std::string& expr : deep) {
        SCOPED_TRACE(expr.substr(0, 30));
        Parsed p = ParseText(expr);
        ASSERT_TRUE(p.tree) << p.message;
        CStringBuffer text;
        p.tree->ToString(text, true, true, true);
        std::unique_ptr<XPathExpression> copy(p.tree->Clone());
        CStringBuffer copied;
        copy->ToString(copied, true, true, true);
        EXPECT_TRUE(text == copied);
    }
}

TEST(XPathParse, EveryPrefixOfAnExpressionEndsCleanly)
{
    // Cutting an expression anywhere leaves a parse that either succeeds or
    // fails with a message; under the sanitizers this also shows no leak and
    // no bad read along every error path of the grammar.
    const std::string exprs[] = {
        "/a/p:b[@c='x' and d[2]]//e[last()-1]|f/../g[contains(h/@i, \"j\", 3)]",
        "a[(1+2)*3 >= 4.5e1]['s'[1]][position() != last()] | //*[text() <= `t`]",
    };
    for (const std::string& expr : exprs) {
        for (size_t n = 0; n <= expr.size(); n++) {
            Parsed p = ParseText(expr.substr(0, n));
            if (!p.tree) {
                EXPECT_FALSE(p.message.empty()) << expr.substr(0, n);
            }
        }
    }
}

TEST(XPathParse, FailedParsesLeakNothing)
{
#ifndef VX_HAVE_LSAN
    GTEST_SKIP() << "needs the leak checker of a -DSANITIZE=ON build";
#else
    // Each of these fails after nodes were built: on the parser stack, inside
    // the builder that reports the error, or in the scanner.
    const std::string failing[] = {
        "/a/b[c='x'] |",
        "a/b[c/foo()]",
        "a[b=1]/x::c",
        "a[b and c and d]",
        "a[(1+2]",
        "a[1][",
        "a['x'[1]",
        "a[contains(b, 'x')",
        "a | b | c::d",
        "a[b=1][c=99999999999]",
        "a[" + Repeat("(", 10000) + "1" + Repeat(")", 10000) + "]",
        Repeat("a[b=1 and ", 4000),
        "a[1" + Repeat("+1", 10001) + "]",
        "a['x'" + Repeat("[1]", 10001) + "]",
    };
    for (const std::string& expr : failing) {
        Parsed p = ParseText(expr);
        EXPECT_FALSE(p.tree) << expr.substr(0, 40);
    }
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

} // namespace
