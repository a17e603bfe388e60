#include <cstring>
#include <strings.h>

#include "XPathException.h"
#include "XPathNodes.h"

// ---------------------------------------------------------------- XPathExpression

XPathExpression::XPathExpression() : m_bIsParenthesized(false)
{
}

XPathExpression::~XPathExpression()
{
}

XPathExpression* XPathExpression::Clone()
{
    throw new XPathException("XPathExpression::Clone() is not implemented.");
}

void XPathExpression::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    throw new XPathException("XPathExpression::ToString(CStringBuffer&) is not implemented.");
}

void XPathExpression::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathExpression -- INVALID USE OF BASE CLASS");
}

void XPathExpression::NewDebugLine(CStringBuffer& str, int level)
{
    AppendText(str, "\n");
    for (int i = 0; i < level; i++)
        AppendText(str, "   ");
}

void XPathExpression::AppendText(CStringBuffer& str, const char* text)
{
    str.append(text, -1);
}

XPathComposite::XPathComposite()
{
}

XPathStatement::XPathStatement() : m_timestamp(time(nullptr))
{
}

void XPathStatement::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathStatement -- INVALID USE OF BASE CLASS");
}

// ---------------------------------------------------------------- XPathExpressionPair

XPathExpressionPair::XPathExpressionPair()
    : m_pLeft(nullptr), m_pRight(nullptr), m_op(PAIRSEP_NONE)
{
}

XPathExpressionPair::XPathExpressionPair(XPathExpression* left, EPairOperator op,
                                         XPathExpression* right)
    : m_pLeft(nullptr), m_pRight(nullptr), m_op(PAIRSEP_NONE)
{
    // name = 'literal' compares the element's text, so the path gains a text() step.
    XPathPath* path = dynamic_cast<XPathPath*>(left);
    XPathFilterExpression* filter = dynamic_cast<XPathFilterExpression*>(right);
    if (path && path->GetSize() > 0 && filter &&
        dynamic_cast<XPathScalar*>(filter->GetExpression())) {
        XPathAxisLocationStep* last =
            dynamic_cast<XPathAxisLocationStep*>(path->Get(path->GetSize() - 1));
        XPathAxis* axis = last ? last->GetAxis() : nullptr;
        if (axis && axis->IsChild() && dynamic_cast<XPathNodeNameTest*>(axis->GetNodeTest())) {
            XPathAxisLocationStep* text = new XPathAxisLocationStep(
                new XPathAxis(AXIS_CHILD, new XPathNodeTypeTest(NTYPE_TEXT)),
                new XPathExpressionList());
            text->SetStepParent(XPATH_STEP_PARENT_IMMEDIATE);
            text->SetAppended(true);
            path->Add(text);
        }
    }

    // position() compared with last() compares with the last position, -1.
    if (op >= PAIRSEP_EQ && op <= PAIRSEP_GE && EndsInFunction(left, "position") &&
        EndsInFunction(right, "last")) {
        delete right;
        right = new XPathInt(-1);
    }

    m_pLeft = left;
    m_pRight = right;
    m_op = op;
}

XPathExpressionPair::~XPathExpressionPair()
{
    delete m_pLeft;
    delete m_pRight;
}

XPathExpressionPair* XPathExpressionPair::Clone()
{
    // Built without the rewriting constructor: the original is already rewritten.
    XPathExpressionPair* copy = new XPathExpressionPair();
    copy->SetParenthesized(IsParenthesized());
    copy->m_pLeft = XPathCloneOf(m_pLeft);
    copy->m_pRight = XPathCloneOf(m_pRight);
    copy->m_op = m_op;
    return copy;
}

const char* XPathExpressionPair::OperatorText(EPairOperator op, bool bDebug)
{
    switch (op) {
    case PAIRSEP_OR: return bDebug ? "OR" : " OR ";
    case PAIRSEP_AND: return bDebug ? "AND" : " AND ";
    case PAIRSEP_EQ: return "=";
    case PAIRSEP_NE: return "!=";
    case PAIRSEP_GT: return ">";
    case PAIRSEP_LT: return "<";
    case PAIRSEP_LE: return "<=";
    case PAIRSEP_GE: return ">=";
    case PAIRSEP_ADD: return "+";
    case PAIRSEP_SUB: return "-";
    case PAIRSEP_MUL: return "*";
    case PAIRSEP_DIV: return "/";
    case PAIRSEP_INTDIV: return bDebug ? "DIV" : " DIV ";
    case PAIRSEP_MOD: return bDebug ? "MOD" : " MOD ";
    default: return "";
    }
}

void XPathExpressionPair::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (m_pLeft)
        m_pLeft->ToString(str, true, prefix, suffix);
    AppendText(str, OperatorText(m_op, false));
    if (m_pRight)
        m_pRight->ToString(str, true, prefix, suffix);
}

void XPathExpressionPair::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathExpressionPair OPERATOR=\"");
    AppendText(str, OperatorText(m_op, true));
    AppendText(str, "\"");
    if (recursive) {
        if (m_pLeft)
            m_pLeft->ToDebugString(str, recursive, level + 1);
        if (m_pRight)
            m_pRight->ToDebugString(str, recursive, level + 1);
    }
}

bool XPathExpressionPair::EndsInFunction(XPathExpression* expr, const char* name)
{
    XPathPath* path = dynamic_cast<XPathPath*>(expr);
    if (!path || path->GetSize() < 1)
        return false;
    XPathAxisLocationStep* step =
        dynamic_cast<XPathAxisLocationStep*>(path->Get(path->GetSize() - 1));
    XPathAxis* axis = step ? step->GetAxis() : nullptr;
    XPathFunction* function = axis ? dynamic_cast<XPathFunction*>(axis->GetNodeTest()) : nullptr;
    return function && function->IsNamed(name);
}

XPathInt* XPathExpressionPair::ToScalar(XPathExpression* left, EPairOperator op,
                                        XPathExpression* right)
{
    if (op != PAIRSEP_SUB || !EndsInFunction(left, "last"))
        return nullptr;
    XPathFilterExpression* filter = dynamic_cast<XPathFilterExpression*>(right);
    // Only integers count: a fractional position has no meaning here.
    XPathInt* number = filter ? dynamic_cast<XPathInt*>(filter->GetExpression()) : nullptr;
    if (!number)
        return nullptr;
    // Worked out in 64 bits: last() - 2147483647 must not overflow.
    long long n = (*number)();
    long long position = n < 0 ? n - 1 : -(n + 1);
    XPathInt* result = new XPathInt();
    CStringBuffer text;
    text.format("%lld", position);
    result->SetValue(text);
    return result;
}

EAxisType XPathExpressionPair::GetAxisType()
{
    XPathExpression* side = m_pLeft;
    if (dynamic_cast<XPathFilterExpression*>(m_pLeft) || dynamic_cast<XPathScalar*>(m_pLeft))
        side = m_pRight;
    XPathUnaryExpression* unary = dynamic_cast<XPathUnaryExpression*>(side);
    if (unary)
        side = unary->Get();
    XPathPath* path = dynamic_cast<XPathPath*>(side);
    if (path)
        side = path->GetSize() > 0 ? path->Get(0) : nullptr;
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(side);
    if (!step || !step->GetAxis())
        return AXIS_INVALID;
    return step->GetAxis()->GetType();
}

// ---------------------------------------------------------------- XPathUnaryExpression

XPathUnaryExpression::XPathUnaryExpression(XPathExpression* operand, bool bNegated)
    : XPathExpressionPair(operand, PAIRSEP_NONE, nullptr), m_bIsNegated(bNegated)
{
}

XPathUnaryExpression* XPathUnaryExpression::Clone()
{
    XPathUnaryExpression* copy = new XPathUnaryExpression(XPathCloneOf(m_pLeft), m_bIsNegated);
    copy->SetParenthesized(IsParenthesized());
    copy->m_pRight = XPathCloneOf(m_pRight);
    copy->m_op = m_op;
    return copy;
}

void XPathUnaryExpression::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (m_bIsNegated)
        AppendText(str, "-");
    XPathExpressionPair::ToString(str, recursive, prefix, suffix);
}

void XPathUnaryExpression::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathUnaryExpression NEGATED=");
    AppendText(str, YesNo(m_bIsNegated));
    AppendText(str, " OPERATOR=\"");
    AppendText(str, OperatorText(m_op, true));
    AppendText(str, "\"");
    if (recursive) {
        if (m_pLeft)
            m_pLeft->ToDebugString(str, recursive, level + 1);
        if (m_pRight)
            m_pRight->ToDebugString(str, recursive, level + 1);
    }
}
