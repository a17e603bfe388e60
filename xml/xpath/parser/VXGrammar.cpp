#include "VXGrammar.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "VXParserMain.h"
#include "xpath.tab.h"
#define YYSTYPE XPATH_STYPE
#include "xpath.lex.h"

VXScannerError::VXScannerError(const char* msg)
{
    snprintf(m_szMsg, sizeof(m_szMsg), "%s", msg ? msg : "");
}

void VXScannerFatal(const char* msg)
{
    throw VXScannerError(msg);
}

void VXGrammar::Error(void* scanner, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    VXParserMain* parser = scanner ? xpath_get_extra(scanner) : nullptr;
    if (parser)
        parser->ParseError(fmt, args);
    else
        vfprintf(stderr, fmt, args);
    va_end(args);
}

bool VXGrammar::CountOperator(void* scanner)
{
    VXParserMain* parser = scanner ? xpath_get_extra(scanner) : nullptr;
    if (!parser || parser->CountOperator())
        return true;
    Error(scanner, "XPath expression has more than %d operators.", VXParserMain::MAX_OPERATORS);
    return false;
}

// ---------------------------------------------------------------- NodeSets

namespace {

XPathAxisLocationStep* NewStep(EAxisType axis, XPathNodeTest* test, XPathStepParent parent)
{
    XPathAxisLocationStep* step =
        new XPathAxisLocationStep(new XPathAxis(axis, test), new XPathExpressionList());
    step->SetStepParent(parent);
    return step;
}

} // namespace

XPathStatement* VXGrammar::NodeSets::UnionExpression(void* scanner, XPathStatement* left,
                                                     XPathPath* right)
{
    if (!right) {
        delete left;
        Error(scanner, "Invalid (zero-length) location path.");
        return nullptr;
    }
    XPathUnionExpression* result = dynamic_cast<XPathUnionExpression*>(left);
    if (!result) {
        result = new XPathUnionExpression();
        result->Add(dynamic_cast<XPathPath*>(left));
    }
    result->Add(right);
    return result;
}

XPathPath* VXGrammar::NodeSets::Path(XPathStepParent delim, XPathPath* path)
{
    if (path->GetSize() > 0)
        path->Get(0)->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
    if (delim == XPATH_STEP_PARENT_ANY)
        path->Insert(0, NewStep(AXIS_DESCENDANT_OR_SELF, new XPathNodeTypeTest(NTYPE_NODE),
                                XPATH_STEP_PARENT_IMMEDIATE));
    return path;
}

XPathPath* VXGrammar::NodeSets::Path(XPathLocationStep* step)
{
    XPathPath* path = new XPathPath();
    path->Add(step);
    return path;
}

XPathPath* VXGrammar::NodeSets::Path(XPathPath* path, XPathStepParent delim,
                                     XPathLocationStep* step)
{
    // a//b is a/descendant-or-self::node()/b: paths never keep the "//" mark.
    if (delim == XPATH_STEP_PARENT_ANY)
        path->Add(NewStep(AXIS_DESCENDANT_OR_SELF, new XPathNodeTypeTest(NTYPE_NODE),
                          XPATH_STEP_PARENT_IMMEDIATE));
    step->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
    path->Add(step);
    return path;
}

XPathAxisLocationStep* VXGrammar::NodeSets::LocationStep(XPathAxis* axis,
                                                         XPathExpressionList* list)
{
    return new XPathAxisLocationStep(axis, list);
}

XPathFilterExpression* VXGrammar::NodeSets::FilterExpression(XPathExpression* expr)
{
    return new XPathFilterExpression(expr);
}

XPathAxisLocationStep* VXGrammar::NodeSets::ContextNode()
{
    return NewStep(AXIS_SELF, new XPathNodeTypeTest(NTYPE_NODE), XPATH_STEP_PARENT_NONE);
}

XPathAxisLocationStep* VXGrammar::NodeSets::ParentNode()
{
    return NewStep(AXIS_PARENT, new XPathNodeTest(true), XPATH_STEP_PARENT_NONE);
}

// ---------------------------------------------------------------- Composite

XPathAxis* VXGrammar::Composite::Axis(void* scanner, const char* name, XPathNodeTest* test)
{
    EAxisType type = XPathAxis::GetAxisType(name);
    if (type == AXIS_INVALID) {
        delete test;
        Error(scanner, "Invalid axis \"%s\"", name);
        return nullptr;
    }
    return new XPathAxis(type, test);
}

XPathFunction* VXGrammar::Composite::Function(const char* name, XPathExpressionList* args)
{
    XPathFunction* function = new XPathFunction(name);
    function->SetArgs(args);
    return function;
}

XPathNodeTest* VXGrammar::Composite::NodeTest(void* scanner, const char* name, bool bCall)
{
    if (!bCall)
        return new XPathNodeNameTest(new XPathName(name));
    if (strcasecmp(name, "node") == 0)
        return new XPathNodeTypeTest(NTYPE_NODE);
    if (strcasecmp(name, "comment") == 0)
        return new XPathNodeTypeTest(NTYPE_COMMENT);
    if (strcasecmp(name, "text") == 0)
        return new XPathNodeTypeTest(NTYPE_TEXT);
    if (strcasecmp(name, "processing-instruction") == 0)
        return new XPathNodeTypeTest(NTYPE_PROCESSING_INSTRUCTION);
    if (strcasecmp(name, "position") == 0 || strcasecmp(name, "last") == 0)
        return new XPathFunction(name);
    Error(scanner, "Invalid node type \"%s\"", name);
    return nullptr;
}

XPathPredicate* VXGrammar::Composite::Predicate(XPathExpression* expr)
{
    // [n] means [position() = n].
    XPathFilterExpression* filter = dynamic_cast<XPathFilterExpression*>(expr);
    XPathInt* number = filter ? dynamic_cast<XPathInt*>(filter->GetExpression()) : nullptr;
    if (!number)
        return new XPathPredicate(expr);

    XPathPath* position = new XPathPath();
    position->Add(NewStep(AXIS_SELF, new XPathFunction("position"), XPATH_STEP_PARENT_NONE));
    XPathExpressionPair* compare = new XPathExpressionPair(position, PAIRSEP_EQ, number->Clone());
    delete expr;
    return new XPathPredicate(compare);
}

// ---------------------------------------------------------------- Expr

XPathExpressionPair* VXGrammar::Expr::AddCompositePair(XPathExpression* left, const char* word,
                                                       XPathExpression* right)
{
    EPairOperator op = PAIRSEP_AND;
    if (strcasecmp(word, "or") == 0)
        op = PAIRSEP_OR;
    else if (strcasecmp(word, "mod") == 0)
        op = PAIRSEP_MOD;
    else if (strcasecmp(word, "div") == 0)
        op = PAIRSEP_INTDIV;
    return new XPathExpressionPair(left, op, right);
}

XPathExpression* VXGrammar::Expr::Subtract(XPathExpression* left, XPathExpression* right)
{
    // last() - n is the position n before the last one.
    XPathInt* position = XPathExpressionPair::ToScalar(left, PAIRSEP_SUB, right);
    if (!position)
        return new XPathExpressionPair(left, PAIRSEP_SUB, right);
    delete left;
    delete right;
    return NodeSets::FilterExpression(position);
}
