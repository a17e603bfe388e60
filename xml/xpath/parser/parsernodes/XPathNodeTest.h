// Axes, node tests (wildcard, node type, name, function call), variables and names.
#ifndef VX_XPATHNODETEST_H
#define VX_XPATHNODETEST_H

#include "XPathExpression.h"

class XPathExpressionList;
class XPathName;
class XPathNodeTest;

class XPathAxis : public XPathComposite {
public:
    // The attribute axis when written with '@', else the child axis.
    XPathAxis(XPathNodeTest* test, bool bAt);
    XPathAxis(EAxisType type, XPathNodeTest* test);
    ~XPathAxis() override;

    XPathAxis* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    // Axis name to type, without regard to case; AXIS_INVALID when unknown.
    static EAxisType GetAxisType(const char* name);
    // Type to axis name; "" when invalid.
    static const char* GetAxisName(EAxisType type);

    const char* GetName() { return m_strName; }
    XPathNodeTest* GetNodeTest() { return m_pTest; }
    EAxisType GetType() const { return m_nAxisNameId; }
    void SetType(EAxisType type);

    bool IsChild() const { return m_nAxisNameId == AXIS_CHILD; }
    bool IsAttribute() const { return m_nAxisNameId == AXIS_ATTRIBUTE || m_bAt; }
    bool IsDescendant() const { return m_nAxisNameId == AXIS_DESCENDANT; }
    bool IsAncestor() const { return m_nAxisNameId == AXIS_ANCESTOR; }
    bool IsAncestorOrSelf() const { return m_nAxisNameId == AXIS_ANCESTOR_OR_SELF; }
    bool IsDescendantOrSelf() const { return m_nAxisNameId == AXIS_DESCENDANT_OR_SELF; }
    bool IsSelf() const { return m_nAxisNameId == AXIS_SELF; }
    bool IsFollowingSibling() const { return m_nAxisNameId == AXIS_FOLLOWING_SIBLING; }
    bool IsPrecedingSibling() const { return m_nAxisNameId == AXIS_PRECEDING_SIBLING; }
    bool IsParent() const { return m_nAxisNameId == AXIS_PARENT; }
    bool IsFollowing() const { return m_nAxisNameId == AXIS_FOLLOWING; }
    bool IsPreceding() const { return m_nAxisNameId == AXIS_PRECEDING; }
    bool IsNamespace() const { return m_nAxisNameId == AXIS_NAMESPACE; }

protected:
    // Derives the axis name from the type.
    void SetName();

    XPathNodeTest* m_pTest;
    CStringBuffer m_strName;
    EAxisType m_nAxisNameId;
    bool m_bAt;
};

// A plain node test is the wildcard "*".
class XPathNodeTest : public XPathComposite {
public:
    explicit XPathNodeTest(bool bWildcard = true);

    XPathNodeTest* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    bool HasWildcard() const { return m_bWildcard; }

protected:
    bool m_bWildcard;
};

class XPathNodeTypeTest : public XPathNodeTest {
public:
    explicit XPathNodeTypeTest(ENodeType type);

    XPathNodeTypeTest* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    ENodeType GetNodeType() const { return m_nType; }
    void SetNodeType(ENodeType type) { m_nType = type; }

    // "text()", "node()", ...; "" when invalid.
    static const char* NodeTypeText(ENodeType type);

protected:
    ENodeType m_nType;
};

class XPathNodeNameTest : public XPathNodeTest {
public:
    // Builds its own unprefixed name and sets the wildcard flag.
    explicit XPathNodeNameTest(const char* localname);
    // Takes the name; the wildcard flag stays off.
    explicit XPathNodeNameTest(XPathName* name);
    ~XPathNodeNameTest() override;

    XPathNodeNameTest* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathName* GetName() { return m_pName; }

protected:
    XPathName* m_pName;
};

// A function call; it stands in the tree as the node test of a step.
class XPathFunction : public XPathNodeTest {
public:
    explicit XPathFunction(XPathName* name);
    explicit XPathFunction(const char* name);
    ~XPathFunction() override;

    XPathFunction* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    // Sets str to the function's name as written ("p:f" or "f").
    void GetName(CStringBuffer& str);
    // Whether the local name equals name, without regard to case.
    bool IsNamed(const char* name);
    XPathExpressionList* GetArgs() { return m_pArgs; }
    // Takes the list; the previous one stays the caller's.
    void SetArgs(XPathExpressionList* args) { m_pArgs = args; }

protected:
    XPathName* m_pName;
    XPathExpressionList* m_pArgs;
};

class XPathVariable : public XPathComposite {
public:
    explicit XPathVariable(XPathName* name);
    ~XPathVariable() override;

    XPathVariable* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    XPathName* GetName() { return m_pName; }

protected:
    XPathName* m_pName;
};

class XPathName : public XPathComposite {
public:
    explicit XPathName(const char* localname);
    XPathName(const char* ns, const char* localname);

    XPathName* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    const char* GetLocalName() { return m_localname; }
    const char* GetNamespace() { return m_namespace; }
    bool HasNamespace() { return m_namespace.length() > 0; }

protected:
    CStringBuffer m_namespace;
    CStringBuffer m_localname;
};

#endif
