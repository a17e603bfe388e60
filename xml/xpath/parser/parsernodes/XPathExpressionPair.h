// Two-operand expressions (comparisons, arithmetic, and/or) and the unary form.
#ifndef VX_XPATHEXPRESSIONPAIR_H
#define VX_XPATHEXPRESSIONPAIR_H

#include "XPathExpression.h"

class XPathInt;

class XPathExpressionPair : public virtual XPathStatement {
public:
    XPathExpressionPair();
    // Takes both operands; rewrites literal comparisons of a child name step
    // into comparisons of its text node, and position() op last() into -1.
    XPathExpressionPair(XPathExpression* left, EPairOperator op, XPathExpression* right);
    ~XPathExpressionPair() override;

    XPathExpressionPair* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathExpression* GetLeft() { return m_pLeft; }
    XPathExpression* GetRight() { return m_pRight; }
    EPairOperator GetOperator() const { return m_op; }
    // The setters only store the pointer; the previous operand stays the caller's.
    void SetLeft(XPathExpression* left) { m_pLeft = left; }
    void SetRight(XPathExpression* right) { m_pRight = right; }
    void SetOperator(EPairOperator op) { m_op = op; }
    bool IsComparison() const { return m_op >= PAIRSEP_EQ && m_op <= PAIRSEP_GE; }

    // last() - n as a negative position counted from the end, or null.
    static XPathInt* ToScalar(XPathExpression* left, EPairOperator op, XPathExpression* right);
    // The axis of the first step on the node-set side of the pair.
    EAxisType GetAxisType();

    // " OR ", "=", " DIV ", ... (without blanks when bDebug).
    static const char* OperatorText(EPairOperator op, bool bDebug);
    // Whether expr is a path whose last step tests the function of that name.
    static bool EndsInFunction(XPathExpression* expr, const char* name);

protected:
    XPathExpression* m_pLeft;
    XPathExpression* m_pRight;
    EPairOperator m_op;
};

class XPathUnaryExpression : public virtual XPathExpressionPair {
public:
    XPathUnaryExpression(XPathExpression* operand, bool bNegated);

    XPathUnaryExpression* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathExpression* Get() { return m_pLeft; }
    bool IsNegated() const { return m_bIsNegated; }

protected:
    bool m_bIsNegated;
};

#endif
