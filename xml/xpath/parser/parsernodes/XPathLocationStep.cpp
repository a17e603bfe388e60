#include "XPathNodes.h"

// ---------------------------------------------------------------- XPathLocationStep

XPathLocationStep::XPathLocationStep(XPathStepParent eStepParent) : m_eStepParent(eStepParent)
{
}

const char* XPathLocationStep::StepParentText(XPathStepParent eStepParent)
{
    switch (eStepParent) {
    case XPATH_STEP_PARENT_IMMEDIATE: return "/";
    case XPATH_STEP_PARENT_ANY: return "//";
    default: return "";
    }
}

XPathLocationStep* XPathLocationStep::Clone()
{
    XPathLocationStep* copy = new XPathLocationStep(m_eStepParent);
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathLocationStep::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    AppendText(str, StepParentText(m_eStepParent));
}

void XPathLocationStep::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathLocationStep STEP-PARENT=");
    AppendText(str, StepParentText(m_eStepParent));
}

// ---------------------------------------------------------------- XPathAxisLocationStep

XPathAxisLocationStep::XPathAxisLocationStep(XPathAxis* axis, XPathExpressionList* predicates)
    : m_pAxis(axis), m_pPredicates(predicates)
{
}

XPathAxisLocationStep::~XPathAxisLocationStep()
{
    delete m_pAxis;
    delete m_pPredicates;
}

XPathAxisLocationStep* XPathAxisLocationStep::Clone()
{
    XPathAxisLocationStep* copy =
        new XPathAxisLocationStep(XPathCloneOf(m_pAxis), XPathCloneOf(m_pPredicates));
    copy->SetStepParent(m_eStepParent);
    copy->SetParenthesized(IsParenthesized());
    copy->SetAppended(m_bAppended);
    return copy;
}

void XPathAxisLocationStep::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    AppendText(str, StepParentText(m_eStepParent));
    if (m_pAxis)
        m_pAxis->ToString(str, recursive, prefix, suffix);
    if (m_pPredicates)
        m_pPredicates->ToString(str, recursive, prefix, suffix);
}

void XPathAxisLocationStep::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathAxisLocationStep STEP-PARENT=");
    AppendText(str, StepParentText(m_eStepParent));
    AppendText(str, " PREDICATES=");
    str.append(m_pPredicates ? m_pPredicates->GetSize() : 0);
    if (recursive) {
        if (m_pAxis)
            m_pAxis->ToDebugString(str, recursive, level + 1);
        if (m_pPredicates)
            m_pPredicates->ToDebugString(str, recursive, level + 1);
    }
}

// ---------------------------------------------------------------- XPathFilterExpression

XPathFilterExpression::XPathFilterExpression(XPathExpression* expr, XPathPredicate* predicate)
    : m_pExpr(expr), m_pPredicate(predicate)
{
}

XPathFilterExpression::~XPathFilterExpression()
{
    delete m_pExpr;
    delete m_pPredicate;
}

XPathFilterExpression* XPathFilterExpression::Clone()
{
    XPathFilterExpression* copy =
        new XPathFilterExpression(XPathCloneOf(m_pExpr), XPathCloneOf(m_pPredicate));
    copy->SetStepParent(m_eStepParent);
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathFilterExpression::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    AppendText(str, StepParentText(m_eStepParent));
    if (m_pExpr)
        m_pExpr->ToString(str, recursive, prefix, suffix);
    if (m_pPredicate)
        m_pPredicate->ToString(str, recursive, prefix, suffix);
}

void XPathFilterExpression::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathFilterExpression STEP-PARENT=");
    AppendText(str, StepParentText(m_eStepParent));
    if (recursive) {
        if (m_pExpr)
            m_pExpr->ToDebugString(str, recursive, level + 1);
        if (m_pPredicate)
            m_pPredicate->ToDebugString(str, recursive, level + 1);
    }
}

// ---------------------------------------------------------------- XPathPredicate

XPathPredicate::XPathPredicate(XPathExpression* expr) : m_pExpr(expr)
{
}

XPathPredicate::~XPathPredicate()
{
    delete m_pExpr;
}

XPathPredicate* XPathPredicate::Clone()
{
    XPathPredicate* copy = new XPathPredicate(XPathCloneOf(m_pExpr));
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathPredicate::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    AppendText(str, "[");
    if (m_pExpr)
        m_pExpr->ToString(str, recursive, prefix, suffix);
    AppendText(str, "]");
}

void XPathPredicate::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathPredicate");
    // The expression is the predicate's whole content, so it is always shown.
    if (m_pExpr)
        m_pExpr->ToDebugString(str, recursive, level + 1);
}
