// Location steps (axis steps and filter expressions) and predicates.
#ifndef VX_XPATHLOCATIONSTEP_H
#define VX_XPATHLOCATIONSTEP_H

#include "XPathExpression.h"

class XPathAxis;
class XPathExpressionList;
class XPathPredicate;

class XPathLocationStep : public XPathComposite {
public:
    explicit XPathLocationStep(XPathStepParent eStepParent = XPATH_STEP_PARENT_NONE);

    XPathLocationStep* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathStepParent GetStepParent() const { return m_eStepParent; }
    void SetStepParent(XPathStepParent eStepParent) { m_eStepParent = eStepParent; }

    // "/", "//" or "".
    static const char* StepParentText(XPathStepParent eStepParent);

protected:
    XPathStepParent m_eStepParent;
};

class XPathAxisLocationStep : public XPathLocationStep {
public:
    // Takes the axis and the predicate list (may be null; its items are predicates).
    XPathAxisLocationStep(XPathAxis* axis, XPathExpressionList* predicates);
    ~XPathAxisLocationStep() override;

    XPathAxisLocationStep* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathAxis* GetAxis() { return m_pAxis; }
    XPathExpressionList* GetPredicates() { return m_pPredicates; }
    // Marks the text() step a literal comparison appends to its path, so the
    // translation can tell it from a text() step written in the expression.
    void SetAppended(bool bAppended) { m_bAppended = bAppended; }
    bool IsAppended() const { return m_bAppended; }

protected:
    XPathAxis* m_pAxis;
    XPathExpressionList* m_pPredicates;
    bool m_bAppended = false;
};

class XPathFilterExpression : public XPathLocationStep {
public:
    // Takes a primary expression (literal, parenthesised expression, call,
    // variable or another filter) and an optional predicate.
    explicit XPathFilterExpression(XPathExpression* expr, XPathPredicate* predicate = nullptr);
    ~XPathFilterExpression() override;

    XPathFilterExpression* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathExpression* GetExpression() { return m_pExpr; }
    XPathPredicate* GetPredicate() { return m_pPredicate; }

protected:
    XPathExpression* m_pExpr;
    XPathPredicate* m_pPredicate;
};

class XPathPredicate : public XPathComposite {
public:
    explicit XPathPredicate(XPathExpression* expr);
    ~XPathPredicate() override;

    XPathPredicate* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathExpression* GetExpression() { return m_pExpr; }

protected:
    XPathExpression* m_pExpr;
};

#endif
