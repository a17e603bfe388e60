// The XPath tree classes: printing, cloning and the rewrites made when a
// two-operand expression is built.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "VXParserMain.h"
#include "XPathException.h"
#include "XPathNodes.h"

namespace {

std::string Print(XPathExpression* node, bool recursive = true, bool prefix = true, bool suffix = true)
{
    CStringBuffer str;
    node->ToString(str, recursive, prefix, suffix);
    return std::string(str, str.length());
}

std::string Debug(XPathExpression* node, bool recursive = true, int level = 0)
{
    CStringBuffer str;
    node->ToDebugString(str, recursive, level);
    return std::string(str, str.length());
}

XPathPath* ParsePath(const char* text)
{
    VXParserMain parser;
    CStringBuffer msg;
    XPathStatement* tree = parser.Parse(text, &msg);
    EXPECT_NE(tree, nullptr) << text << ": " << (const char*)msg;
    XPathPath* path = dynamic_cast<XPathPath*>(tree);
    if (!path)
        delete tree;
    return path;
}

XPathFilterExpression* Literal(XPathScalar* value)
{
    return new XPathFilterExpression(value);
}

XPathAxisLocationStep* Step(EAxisType axis, XPathNodeTest* test)
{
    return new XPathAxisLocationStep(new XPathAxis(axis, test), new XPathExpressionList());
}

// ---------------------------------------------------------------- one node of every kind

struct NodeCase {
    const char* kind;
    std::function<XPathExpression*()> make;
    const char* text;        // ToString, all flags on
    const char* debugHeader; // first line of ToDebugString
};

std::vector<NodeCase> NodeCases()
{
    return {
        {"pair", [] { return new XPathExpressionPair(ParsePath("@a"), PAIRSEP_NE, Literal(new XPathInt(3))); },
         "attribute::a!=3", "XPathExpressionPair OPERATOR=\"!=\""},
        {"pair and", [] { return new XPathExpressionPair(ParsePath("a"), PAIRSEP_AND, ParsePath("b")); },
         "child::a AND child::b", "XPathExpressionPair OPERATOR=\"AND\""},
        {"pair div", [] { return new XPathExpressionPair(Literal(new XPathInt(6)), PAIRSEP_DIV, Literal(new XPathInt(2))); },
         "6/2", "XPathExpressionPair OPERATOR=\"/\""},
        {"unary", [] { return new XPathUnaryExpression(ParsePath("a"), true); },
         "-child::a", "XPathUnaryExpression NEGATED=Y OPERATOR=\"\""},
        {"expression list", [] {
             XPathExpressionList* list = new XPathExpressionList();
             list->Add(new XPathChar("x"));
             list->Add(new XPathInt(1));
             return list;
         },
         "\"x\"1", "XPathExpressionList COUNT=2"},
        {"plain list", [] {
             XPathList<XPathExpression>* list = new XPathList<XPathExpression>();
             list->Add(new XPathInt(4));
             return list;
         },
         "4", "XPathList COUNT=1"},
        {"path", [] { return ParsePath("/a//b[2]"); },
         "/child::a/descendant-or-self::node()/child::b[self::position()=2]", "XPathPath COUNT=3"},
        {"union", [] {
             VXParserMain parser;
             return parser.Parse("a|@b|//c", nullptr);
         },
         "child::a|attribute::b|/descendant-or-self::node()/child::c", "XPathUnionExpression PARTS=3"},
        {"location step", [] { return new XPathLocationStep(XPATH_STEP_PARENT_ANY); },
         "//", "XPathLocationStep STEP-PARENT=//"},
        {"axis step", [] {
             XPathExpressionList* preds = new XPathExpressionList();
             preds->Add(new XPathPredicate(Literal(new XPathChar("p"))));
             XPathAxisLocationStep* s = new XPathAxisLocationStep(
                 new XPathAxis(AXIS_FOLLOWING, new XPathNodeNameTest(new XPathName("n"))), preds);
             s->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
             return s;
         },
         "/following::n[\"p\"]", "XPathAxisLocationStep STEP-PARENT=/ PREDICATES=1"},
        {"axis step without predicates", [] {
             return new XPathAxisLocationStep(new XPathAxis(AXIS_SELF, new XPathNodeTest()), nullptr);
         },
         "self::*", "XPathAxisLocationStep STEP-PARENT= PREDICATES=0"},
        {"filter", [] {
             return new XPathFilterExpression(Literal(new XPathChar("s")),
                                              new XPathPredicate(Literal(new XPathInt(1))));
         },
         "\"s\"[1]", "XPathFilterExpression STEP-PARENT="},
        {"predicate", [] { return new XPathPredicate(ParsePath("a")); },
         "[child::a]", "XPathPredicate"},
        {"axis", [] { return new XPathAxis(new XPathNodeTest(), true); },
         "attribute::*", "XPathAxis AXIS=attribute AT=Y"},
        {"invalid axis", [] { return new XPathAxis(AXIS_INVALID, new XPathNodeTest()); },
         "::*", "XPathAxis AXIS=INVALID"},
        {"wildcard", [] { return new XPathNodeTest(); }, "*", "XPathNodeTest WILDCARD=Y"},
        {"node type", [] { return new XPathNodeTypeTest(NTYPE_PROCESSING_INSTRUCTION); },
         "processing-instruction()", "XPathNodeTypeTest WILDCARD=N TYPE=processing-instruction()"},
        {"name test", [] { return new XPathNodeNameTest(new XPathName("p", "x")); },
         "p:x", "XPathNodeNameTest WILDCARD=N"},
        {"name test from text", [] { return new XPathNodeNameTest("x"); },
         "x", "XPathNodeNameTest WILDCARD=Y"},
        {"function", [] {
             XPathFunction* f = new XPathFunction("concat");
             XPathExpressionList* args = new XPathExpressionList();
             args->Add(ParsePath("a"));
             args->Add(new XPathChar("b"));
             f->SetArgs(args);
             return f;
         },
         "concat(child::a,\"b\")", "XPathFunction WILDCARD=N ARGS=2"},
        {"function without arguments", [] { return new XPathFunction(new XPathName("f", "now")); },
         "f:now()", "XPathFunction WILDCARD=N ARGS=0"},
        {"variable", [] { return new XPathVariable(new XPathName("v")); }, "$v", "XPathVariable"},
        {"name", [] { return new XPathName("p", "x"); }, "p:x", "XPathName NAMESPACE=\"p\" LOCALNAME=\"x\""},
        {"name without prefix", [] { return new XPathName("x"); }, "x", "XPathName LOCALNAME=\"x\""},
        {"string", [] {
             XPathChar* c = new XPathChar("ab", 1);
             c->SetParenthesized(true);
             return c;
         },
         "(\"a\")", "XPathChar SCALAR ISPARENTHESIZED=Y VALUE=\"a\""},
        {"integer", [] {
             XPathInt* n = new XPathInt(-12);
             n->SetSign(SC_SIGN_MINUS);
             return n;
         },
         "-12", "XPathInt SCALAR ISPARENTHESIZED=N VALUE=-12"},
        {"float", [] { return new XPathFloat(2.5); }, "2.50", "XPathFloat SCALAR ISPARENTHESIZED=N VALUE=2.50"},
    };
}

std::string FirstLine(const std::string& debug)
{
    size_t start = debug.find_first_not_of('\n');
    size_t end = debug.find('\n', start);
    return debug.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(XPathNodes, EveryKindPrintsItself)
{
    for (const NodeCase& c : NodeCases()) {
        SCOPED_TRACE(c.kind);
        std::unique_ptr<XPathExpression> node(c.make());
        ASSERT_TRUE(node);
        EXPECT_EQ(Print(node.get()), c.text);
        std::string debug = Debug(node.get());
        EXPECT_EQ(debug[0], '\n');
        EXPECT_EQ(FirstLine(debug), c.debugHeader);
    }
}

TEST(XPathNodes, CloneOfEveryKindPrintsTheSame)
{
    for (const NodeCase& c : NodeCases()) {
        SCOPED_TRACE(c.kind);
        XPathExpression* original = c.make();
        std::string prints[4] = {Print(original, true, true, true), Print(original, true, false, false),
                                 Print(original, false, true, true), Debug(original)};
        std::unique_ptr<XPathExpression> copy(original->Clone());
        ASSERT_TRUE(copy);
        EXPECT_NE(copy.get(), original);
        EXPECT_EQ(typeid(*copy), typeid(*original));
        EXPECT_EQ(copy->IsParenthesized(), original->IsParenthesized());
        // Deleting the original first shows that the copy shares nothing with it.
        delete original;
        EXPECT_EQ(Print(copy.get(), true, true, true), prints[0]);
        EXPECT_EQ(Print(copy.get(), true, false, false), prints[1]);
        EXPECT_EQ(Print(copy.get(), false, true, true), prints[2]);
        EXPECT_EQ(Debug(copy.get()), prints[3]);
    }
}

TEST(XPathNodes, CloneKeepsScalarDetails)
{
    XPathFloat f(0.126);
    std::unique_ptr<XPathFloat> fc(f.Clone());
    EXPECT_DOUBLE_EQ((*fc)(), 0.13); // the value read back is the two-decimal text
    XPathInt n(7);
    n.SetSign(SC_SIGN_PLUS);
    std::unique_ptr<XPathInt> nc(n.Clone());
    EXPECT_EQ(nc->GetSign(), SC_SIGN_PLUS);
    EXPECT_EQ((*nc)(), 7);

    // Only the concrete literal kinds can be copied.
    XPathScalar plain;
    plain.SetValue("v", -1);
    EXPECT_EQ(plain.Clone(), nullptr);
    EXPECT_EQ(Print(&plain), "v");
    EXPECT_EQ(Debug(&plain), "\nXPathScalar ISPARENTHESIZED=N VALUE=\"v\"");
}

TEST(XPathNodes, BaseClassesRefuseToPrintOrClone)
{
    struct Bare : XPathComposite {};
    Bare bare;
    char buf[128];
    CStringBuffer str;
    try {
        bare.Clone();
        FAIL() << "Clone did not throw";
    } catch (XPathException* e) {
        e->GetErrorMessage(buf, sizeof(buf));
        EXPECT_STREQ(buf, "XPathExpression::Clone() is not implemented.");
        delete e;
    }
    try {
        bare.ToString(str, true, true, true);
        FAIL() << "ToString did not throw";
    } catch (XPathException* e) {
        e->GetErrorMessage(buf, sizeof(buf));
        EXPECT_STREQ(buf, "XPathExpression::ToString(CStringBuffer&) is not implemented.");
        delete e;
    }
    EXPECT_EQ(Debug(&bare, true, 1), "\n   XPathExpression -- INVALID USE OF BASE CLASS");

    struct BareStatement : XPathStatement {};
    BareStatement statement;
    EXPECT_EQ(Debug(&statement), "\nXPathStatement -- INVALID USE OF BASE CLASS");
    EXPECT_GT(statement.GetTimestamp(), 0);
}

TEST(XPathNodes, ExceptionMessageIsTruncatedToTheBuffer)
{
    XPathException e("0123456789");
    char buf[5] = {'x', 'x', 'x', 'x', 'x'};
    e.GetErrorMessage(buf, 5);
    EXPECT_STREQ(buf, "0123");
    e.GetErrorMessage(buf, 0); // nothing written
    EXPECT_STREQ(buf, "0123");
}

TEST(XPathNodes, DebugStringShowsChildrenOnlyWhenRecursive)
{
    // An axis's node test, a name's owner and a predicate's expression are
    // always shown; other children only in the recursive form.
    std::unique_ptr<XPathPath> path(ParsePath("a[b]"));
    ASSERT_TRUE(path);
    EXPECT_EQ(Debug(path.get(), false, 2), "\n      XPathPath COUNT=1");
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(path->Get(0));
    EXPECT_EQ(Debug(step, false), "\nXPathAxisLocationStep STEP-PARENT= PREDICATES=1");
    EXPECT_EQ(Debug(step->GetAxis(), false),
              "\nXPathAxis AXIS=child"
              "\n   XPathNodeNameTest WILDCARD=N"
              "\n      XPathName LOCALNAME=\"a\"");
    EXPECT_EQ(Debug(step->GetPredicates()->Get(0), false),
              "\nXPathPredicate"
              "\n   XPathPath COUNT=1");
}

TEST(XPathNodes, PathPrintsNothingWhenNotRecursive)
{
    std::unique_ptr<XPathPath> path(ParsePath("/a/b"));
    ASSERT_TRUE(path);
    EXPECT_EQ(Print(path.get(), false, true, true), "");
    EXPECT_EQ(Print(path.get(), true, true, true), "/child::a/child::b");
}

// ---------------------------------------------------------------- literals

TEST(XPathNodes, Literals)
{
    XPathFloat f(0.0);
    f = 2.5;
    CStringBuffer text;
    f.GetValue(text);
    EXPECT_STREQ(text, "2.50");
    EXPECT_DOUBLE_EQ(f(), 2.5);
    f = 1.0f / 3.0f;
    f.GetValue(text);
    EXPECT_STREQ(text, "0.33");
    f = -1e6;
    EXPECT_EQ(Print(&f), "-1000000.00");

    XPathInt n;
    n = -42;
    EXPECT_EQ(n(), -42);
    EXPECT_EQ(n.GetValueLength(), 3);

    XPathChar c("quote\"d");
    EXPECT_STREQ(c(), "quote\"d");
    EXPECT_TRUE(c.IsAtom());
    EXPECT_TRUE(n.IsAtom());
    // The sign is kept but not written.
    c.SetSign(SC_SIGN_MINUS);
    EXPECT_EQ(Print(&c), "\"quote\"d\"");
    c.SetValue("x\0y", 3);
    EXPECT_EQ(c.GetValueLength(), 3);
    c.SetValue(nullptr, 5);
    EXPECT_EQ(c.GetValueLength(), 0);
}

// ---------------------------------------------------------------- axes and names

TEST(XPathNodes, AxisNamesAndTypes)
{
    const char* names[] = {"child", "attribute", "descendant", "ancestor", "ancestor-or-self",
                           "descendant-or-self", "self", "following-sibling", "preceding-sibling",
                           "parent", "following", "preceding", "namespace"};
    for (int i = 0; i < 13; i++) {
        EXPECT_EQ(static_cast<int>(XPathAxis::GetAxisType(names[i])), i + 1) << names[i];
        XPathAxis axis(static_cast<EAxisType>(i + 1), nullptr);
        EXPECT_STREQ(axis.GetName(), names[i]);
    }
    EXPECT_EQ(XPathAxis::GetAxisType("Ancestor-Or-SELF"), AXIS_ANCESTOR_OR_SELF);
    EXPECT_EQ(XPathAxis::GetAxisType("children"), AXIS_INVALID);
    EXPECT_EQ(XPathAxis::GetAxisType(""), AXIS_INVALID);
    EXPECT_EQ(XPathAxis::GetAxisType(nullptr), AXIS_INVALID);

    XPathAxis at(new XPathNodeTest(), true);
    EXPECT_EQ(at.GetType(), AXIS_ATTRIBUTE);
    EXPECT_TRUE(at.IsAttribute());
    // The @ mark keeps the attribute test true whatever the type says.
    at.SetType(AXIS_INVALID);
    EXPECT_STREQ(at.GetName(), "attribute");
    EXPECT_TRUE(at.IsAttribute());
    at.SetType(AXIS_PRECEDING_SIBLING);
    EXPECT_STREQ(at.GetName(), "preceding-sibling");
    EXPECT_TRUE(at.IsPrecedingSibling());

    XPathAxis child(new XPathNodeTest(), false);
    EXPECT_TRUE(child.IsChild());
    EXPECT_FALSE(child.IsAttribute());
    child.SetType(AXIS_DESCENDANT);
    EXPECT_EQ(Print(&child), "descendant::*");
}

TEST(XPathNodes, Names)
{
    XPathName prefixed("p", "x");
    EXPECT_TRUE(prefixed.HasNamespace());
    EXPECT_STREQ(prefixed.GetNamespace(), "p");
    EXPECT_STREQ(prefixed.GetLocalName(), "x");
    XPathName plain("x");
    EXPECT_FALSE(plain.HasNamespace());
    EXPECT_EQ(Print(&plain), "x");

    XPathFunction f(new XPathName("p", "Last"));
    CStringBuffer name("stale");
    f.GetName(name);
    EXPECT_STREQ(name, "p:Last");
    EXPECT_TRUE(f.IsNamed("last"));
    EXPECT_EQ(f.GetArgs(), nullptr);
}

// ---------------------------------------------------------------- pair rewrites

TEST(XPathNodes, LiteralComparisonOfChildNameComparesItsText)
{
    XPathExpressionPair named(ParsePath("a"), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(Print(&named), "child::a/child::text()=\"x\"");
    XPathExpressionPair absolute(ParsePath("/a/b"), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(Print(&absolute), "/child::a/child::b/child::text()=\"x\"");
    XPathExpressionPair number(ParsePath("a"), PAIRSEP_LT, Literal(new XPathFloat(1.5)));
    EXPECT_EQ(Print(&number), "child::a/child::text()<1.50");

    // Not for attributes, other axes, other tests, or a non-literal right side.
    XPathExpressionPair attribute(ParsePath("@a"), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(Print(&attribute), "attribute::a=\"x\"");
    XPathExpressionPair descendant(ParsePath("descendant::a"), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(Print(&descendant), "descendant::a=\"x\"");
    XPathExpressionPair wildcard(ParsePath("*"), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(Print(&wildcard), "child::*=\"x\"");
    XPathExpressionPair paths(ParsePath("a"), PAIRSEP_EQ, ParsePath("b"));
    EXPECT_EQ(Print(&paths), "child::a=child::b");
    XPathExpressionPair bare(ParsePath("a"), PAIRSEP_EQ, new XPathChar("x"));
    EXPECT_EQ(Print(&bare), "child::a=\"x\"");
    XPathExpressionPair empty(new XPathPath(), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(Print(&empty), "=\"x\"");

    // A copy is not rewritten a second time.
    std::unique_ptr<XPathExpressionPair> copy(named.Clone());
    EXPECT_EQ(Print(copy.get()), "child::a/child::text()=\"x\"");
}

TEST(XPathNodes, PositionComparedWithLastUsesMinusOne)
{
    XPathExpressionPair eq(ParsePath("position()"), PAIRSEP_EQ, ParsePath("LAST()"));
    XPathInt* right = dynamic_cast<XPathInt*>(eq.GetRight());
    ASSERT_NE(right, nullptr);
    EXPECT_EQ((*right)(), -1);
    EXPECT_TRUE(eq.IsComparison());

    // Only for comparisons, and only position() against last().
    XPathExpressionPair add(ParsePath("position()"), PAIRSEP_ADD, ParsePath("last()"));
    EXPECT_EQ(Print(&add), "child::position()+child::last()");
    EXPECT_FALSE(add.IsComparison());
    XPathExpressionPair swapped(ParsePath("last()"), PAIRSEP_EQ, ParsePath("position()"));
    EXPECT_EQ(Print(&swapped), "child::last()=child::position()");
}

TEST(XPathNodes, LastMinusNumberIsNegativePosition)
{
    struct {
        int n;
        int position;
    } cases[] = {{0, -1}, {1, -2}, {2, -3}, {-3, -4}};
    for (auto c : cases) {
        std::unique_ptr<XPathPath> last(ParsePath("last()"));
        std::unique_ptr<XPathFilterExpression> number(Literal(new XPathInt(c.n)));
        std::unique_ptr<XPathInt> result(
            XPathExpressionPair::ToScalar(last.get(), PAIRSEP_SUB, number.get()));
        ASSERT_TRUE(result) << c.n;
        EXPECT_EQ((*result)(), c.position) << c.n;
    }
    std::unique_ptr<XPathPath> last(ParsePath("last()"));
    std::unique_ptr<XPathPath> other(ParsePath("count(1)"));
    std::unique_ptr<XPathFilterExpression> two(Literal(new XPathInt(2)));
    std::unique_ptr<XPathFilterExpression> half(Literal(new XPathFloat(0.5)));
    std::unique_ptr<XPathFilterExpression> text(Literal(new XPathChar("2")));
    EXPECT_EQ(XPathExpressionPair::ToScalar(last.get(), PAIRSEP_ADD, two.get()), nullptr);
    EXPECT_EQ(XPathExpressionPair::ToScalar(two.get(), PAIRSEP_SUB, last.get()), nullptr);
    EXPECT_EQ(XPathExpressionPair::ToScalar(last.get(), PAIRSEP_SUB, half.get()), nullptr);
    EXPECT_EQ(XPathExpressionPair::ToScalar(last.get(), PAIRSEP_SUB, text.get()), nullptr);
    EXPECT_EQ(XPathExpressionPair::ToScalar(nullptr, PAIRSEP_SUB, two.get()), nullptr);
}

TEST(XPathNodes, AxisTypeOfPairComesFromTheNodeSetSide)
{
    XPathExpressionPair left(ParsePath("@a/b"), PAIRSEP_EQ, Literal(new XPathChar("x")));
    EXPECT_EQ(left.GetAxisType(), AXIS_ATTRIBUTE); // the first step counts
    XPathExpressionPair right(Literal(new XPathChar("x")), PAIRSEP_EQ, ParsePath("following::a"));
    EXPECT_EQ(right.GetAxisType(), AXIS_FOLLOWING);
    XPathExpressionPair scalar(new XPathInt(1), PAIRSEP_EQ, ParsePath("ancestor::a"));
    EXPECT_EQ(scalar.GetAxisType(), AXIS_ANCESTOR);
    XPathExpressionPair unary(new XPathUnaryExpression(ParsePath("parent::a"), false), PAIRSEP_EQ,
                              Literal(new XPathInt(1)));
    EXPECT_EQ(unary.GetAxisType(), AXIS_PARENT);
    XPathExpressionPair step(Step(AXIS_PRECEDING, new XPathNodeTest()), PAIRSEP_EQ, Literal(new XPathInt(1)));
    EXPECT_EQ(step.GetAxisType(), AXIS_PRECEDING);
    XPathExpressionPair literals(Literal(new XPathInt(1)), PAIRSEP_EQ, Literal(new XPathInt(1)));
    EXPECT_EQ(literals.GetAxisType(), AXIS_INVALID);
    XPathExpressionPair nothing;
    EXPECT_EQ(nothing.GetAxisType(), AXIS_INVALID);
}

TEST(XPathNodes, ListsOwnAndOrderTheirItems)
{
    XPathPath path;
    path.Add(Step(AXIS_CHILD, new XPathNodeNameTest(new XPathName("b"))));
    path.Insert(0, Step(AXIS_CHILD, new XPathNodeNameTest(new XPathName("a"))));
    path.Get(1)->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
    EXPECT_EQ(path.GetSize(), 2);
    EXPECT_EQ(Print(&path), "child::a/child::b");
    EXPECT_EQ(path.Get(2), nullptr);
    EXPECT_EQ(path.Get(-1), nullptr);
    // Out-of-range positions land at the ends instead of losing the step.
    path.Insert(-5, Step(AXIS_SELF, new XPathNodeTest()));
    path.Insert(99, Step(AXIS_PARENT, new XPathNodeTest()));
    path.Get(3)->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
    path.Get(1)->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
    EXPECT_EQ(Print(&path), "self::*/child::a/child::b/parent::*");
}

} // namespace
