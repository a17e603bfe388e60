// Root of the XPath syntax tree: the enumerations every node kind shares and
// the three abstract layers (expression, composite, statement).
#ifndef VX_XPATHEXPRESSION_H
#define VX_XPATHEXPRESSION_H

#include <ctime>

#include "StringBuffer.h"

enum EAxisType {
    AXIS_INVALID = 0,
    AXIS_CHILD = 1,
    AXIS_ATTRIBUTE = 2,
    AXIS_DESCENDANT = 3,
    AXIS_ANCESTOR = 4,
    AXIS_ANCESTOR_OR_SELF = 5,
    AXIS_DESCENDANT_OR_SELF = 6,
    AXIS_SELF = 7,
    AXIS_FOLLOWING_SIBLING = 8,
    AXIS_PRECEDING_SIBLING = 9,
    AXIS_PARENT = 10,
    AXIS_FOLLOWING = 11,
    AXIS_PRECEDING = 12,
    AXIS_NAMESPACE = 13
};

enum ENodeType {
    NTYPE_INVALID = 0,
    NTYPE_COMMENT = 1,
    NTYPE_TEXT = 2,
    NTYPE_PROCESSING_INSTRUCTION = 3,
    NTYPE_NODE = 4
};

enum EPairOperator {
    PAIRSEP_NONE = 0,
    PAIRSEP_OR = 1,
    PAIRSEP_AND = 2,
    PAIRSEP_EQ = 3,
    PAIRSEP_NE = 4,
    PAIRSEP_GT = 5,
    PAIRSEP_LT = 6,
    PAIRSEP_LE = 7,
    PAIRSEP_GE = 8,
    PAIRSEP_ADD = 9,
    PAIRSEP_SUB = 10,
    PAIRSEP_MUL = 11,
    PAIRSEP_DIV = 12,
    PAIRSEP_INTDIV = 13,
    PAIRSEP_MOD = 14
};

enum XPathStepParent {
    XPATH_STEP_PARENT_NONE = 0,
    XPATH_STEP_PARENT_IMMEDIATE = 1,
    XPATH_STEP_PARENT_ANY = 2
};

enum EScalarSign {
    SC_SIGN_OFF = 0,
    SC_SIGN_PLUS = 1,
    SC_SIGN_MINUS = 2
};

class XPathExpression {
public:
    XPathExpression();
    virtual ~XPathExpression();

    // Deep copy; the caller owns the result.
    virtual XPathExpression* Clone();
    // Appends the node in XPath notation; the flags travel unchanged to every child.
    virtual void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix);
    // One line per node, three blanks of indent per level.
    virtual void ToDebugString(CStringBuffer& str, bool recursive, int level);

    void SetParenthesized(bool bParenthesized) { m_bIsParenthesized = bParenthesized; }
    bool IsParenthesized() const { return m_bIsParenthesized; }

    XPathExpression(const XPathExpression&) = delete;
    XPathExpression& operator=(const XPathExpression&) = delete;

protected:
    // Starts a debug line: a line feed and the indent of the level.
    static void NewDebugLine(CStringBuffer& str, int level);
    static void AppendText(CStringBuffer& str, const char* text);
    static const char* YesNo(bool b) { return b ? "Y" : "N"; }

    bool m_bIsParenthesized;
};

class XPathComposite : public virtual XPathExpression {
public:
    XPathComposite();
};

class XPathStatement : public virtual XPathComposite {
public:
    XPathStatement();
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;
    time_t GetTimestamp() const { return m_timestamp; }

protected:
    time_t m_timestamp;
};

// Clone that tolerates absent children.
template <class T>
inline auto XPathCloneOf(T* p) -> decltype(p->Clone())
{
    return p ? p->Clone() : nullptr;
}

#endif
