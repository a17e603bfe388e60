#include <strings.h>

#include "XPathNodes.h"

namespace {

// Indexed by EAxisType.
const char* const g_axisNames[] = {
    "",
    "child",
    "attribute",
    "descendant",
    "ancestor",
    "ancestor-or-self",
    "descendant-or-self",
    "self",
    "following-sibling",
    "preceding-sibling",
    "parent",
    "following",
    "preceding",
    "namespace",
};

const int g_nAxisNames = sizeof(g_axisNames) / sizeof(g_axisNames[0]);

} // namespace

// ---------------------------------------------------------------- XPathAxis

XPathAxis::XPathAxis(XPathNodeTest* test, bool bAt)
    : m_pTest(test), m_nAxisNameId(bAt ? AXIS_ATTRIBUTE : AXIS_CHILD), m_bAt(bAt)
{
    SetName();
}

XPathAxis::XPathAxis(EAxisType type, XPathNodeTest* test)
    : m_pTest(test), m_nAxisNameId(type), m_bAt(false)
{
    SetName();
}

XPathAxis::~XPathAxis()
{
    delete m_pTest;
}

EAxisType XPathAxis::GetAxisType(const char* name)
{
    if (!name)
        return AXIS_INVALID;
    for (int i = 1; i < g_nAxisNames; i++) {
        if (strcasecmp(name, g_axisNames[i]) == 0)
            return static_cast<EAxisType>(i);
    }
    return AXIS_INVALID;
}

const char* XPathAxis::GetAxisName(EAxisType type)
{
    if (type <= AXIS_INVALID || type >= g_nAxisNames)
        return "";
    return g_axisNames[type];
}

void XPathAxis::SetName()
{
    if (m_nAxisNameId == AXIS_INVALID && m_bAt)
        m_strName.set("attribute", -1);
    else
        m_strName.set(GetAxisName(m_nAxisNameId), -1);
}

void XPathAxis::SetType(EAxisType type)
{
    m_nAxisNameId = type;
    SetName();
}

XPathAxis* XPathAxis::Clone()
{
    XPathAxis* copy = new XPathAxis(m_nAxisNameId, XPathCloneOf(m_pTest));
    copy->m_bAt = m_bAt;
    copy->SetName();
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathAxis::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    // Always written out in full (child::a, never a) so the text is unambiguous.
    str.append(m_strName);
    AppendText(str, "::");
    if (m_pTest)
        m_pTest->ToString(str, recursive, prefix, suffix);
}

void XPathAxis::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathAxis AXIS=");
    if (m_strName.length() > 0)
        str.append(m_strName);
    else
        AppendText(str, "INVALID");
    if (m_bAt)
        AppendText(str, " AT=Y");
    if (m_pTest)
        m_pTest->ToDebugString(str, recursive, level + 1);
}

// ---------------------------------------------------------------- XPathNodeTest

XPathNodeTest::XPathNodeTest(bool bWildcard) : m_bWildcard(bWildcard)
{
}

XPathNodeTest* XPathNodeTest::Clone()
{
    XPathNodeTest* copy = new XPathNodeTest(m_bWildcard);
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathNodeTest::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (m_bWildcard)
        AppendText(str, "*");
}

void XPathNodeTest::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathNodeTest WILDCARD=");
    AppendText(str, YesNo(m_bWildcard));
}

// ---------------------------------------------------------------- XPathNodeTypeTest

XPathNodeTypeTest::XPathNodeTypeTest(ENodeType type) : XPathNodeTest(false), m_nType(type)
{
}

const char* XPathNodeTypeTest::NodeTypeText(ENodeType type)
{
    switch (type) {
    case NTYPE_COMMENT: return "comment()";
    case NTYPE_TEXT: return "text()";
    case NTYPE_PROCESSING_INSTRUCTION: return "processing-instruction()";
    case NTYPE_NODE: return "node()";
    default: return "";
    }
}

XPathNodeTypeTest* XPathNodeTypeTest::Clone()
{
    XPathNodeTypeTest* copy = new XPathNodeTypeTest(m_nType);
    copy->m_bWildcard = m_bWildcard;
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathNodeTypeTest::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    AppendText(str, NodeTypeText(m_nType));
}

void XPathNodeTypeTest::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathNodeTypeTest WILDCARD=");
    AppendText(str, YesNo(m_bWildcard));
    AppendText(str, " TYPE=");
    AppendText(str, NodeTypeText(m_nType));
}

// ---------------------------------------------------------------- XPathNodeNameTest

XPathNodeNameTest::XPathNodeNameTest(const char* localname)
    : XPathNodeTest(true), m_pName(new XPathName(localname))
{
}

XPathNodeNameTest::XPathNodeNameTest(XPathName* name) : XPathNodeTest(false), m_pName(name)
{
}

XPathNodeNameTest::~XPathNodeNameTest()
{
    delete m_pName;
}

XPathNodeNameTest* XPathNodeNameTest::Clone()
{
    XPathNodeNameTest* copy = new XPathNodeNameTest(XPathCloneOf(m_pName));
    copy->m_bWildcard = m_bWildcard;
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathNodeNameTest::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (m_pName)
        m_pName->ToString(str, recursive, prefix, suffix);
}

void XPathNodeNameTest::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathNodeNameTest WILDCARD=");
    AppendText(str, YesNo(m_bWildcard));
    if (m_pName)
        m_pName->ToDebugString(str, recursive, level + 1);
}

// ---------------------------------------------------------------- XPathFunction

XPathFunction::XPathFunction(XPathName* name)
    : XPathNodeTest(false), m_pName(name), m_pArgs(nullptr)
{
}

XPathFunction::XPathFunction(const char* name)
    : XPathNodeTest(false), m_pName(new XPathName(name)), m_pArgs(nullptr)
{
}

XPathFunction::~XPathFunction()
{
    delete m_pName;
    delete m_pArgs;
}

XPathFunction* XPathFunction::Clone()
{
    XPathFunction* copy = new XPathFunction(XPathCloneOf(m_pName));
    copy->m_pArgs = XPathCloneOf(m_pArgs);
    copy->m_bWildcard = m_bWildcard;
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathFunction::GetName(CStringBuffer& str)
{
    str.clear();
    if (m_pName)
        m_pName->ToString(str, true, false, false);
}

bool XPathFunction::IsNamed(const char* name)
{
    return m_pName && strcasecmp(m_pName->GetLocalName(), name) == 0;
}

void XPathFunction::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (m_pName)
        m_pName->ToString(str, recursive, prefix, suffix);
    AppendText(str, "(");
    if (m_pArgs) {
        for (int i = 0; i < m_pArgs->GetSize(); i++) {
            if (i > 0)
                AppendText(str, ",");
            XPathExpression* arg = m_pArgs->Get(i);
            if (arg)
                arg->ToString(str, recursive, prefix, suffix);
        }
    }
    AppendText(str, ")");
}

void XPathFunction::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathFunction WILDCARD=");
    AppendText(str, YesNo(m_bWildcard));
    AppendText(str, " ARGS=");
    str.append(m_pArgs ? m_pArgs->GetSize() : 0);
    if (m_pName)
        m_pName->ToDebugString(str, recursive, level + 1);
    if (recursive && m_pArgs)
        m_pArgs->ToDebugString(str, recursive, level + 1);
}

// ---------------------------------------------------------------- XPathVariable

XPathVariable::XPathVariable(XPathName* name) : m_pName(name)
{
}

XPathVariable::~XPathVariable()
{
    delete m_pName;
}

XPathVariable* XPathVariable::Clone()
{
    XPathVariable* copy = new XPathVariable(XPathCloneOf(m_pName));
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathVariable::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    AppendText(str, "$");
    if (m_pName)
        m_pName->ToString(str, recursive, prefix, suffix);
}

void XPathVariable::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathVariable");
    if (m_pName)
        m_pName->ToDebugString(str, recursive, level + 1);
}

// ---------------------------------------------------------------- XPathName

XPathName::XPathName(const char* localname) : m_localname(localname)
{
}

XPathName::XPathName(const char* ns, const char* localname)
    : m_namespace(ns), m_localname(localname)
{
}

XPathName* XPathName::Clone()
{
    XPathName* copy = new XPathName(m_namespace, m_localname);
    copy->SetParenthesized(IsParenthesized());
    return copy;
}

void XPathName::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (HasNamespace()) {
        str.append(m_namespace);
        AppendText(str, ":");
    }
    str.append(m_localname);
}

void XPathName::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathName");
    if (HasNamespace()) {
        AppendText(str, " NAMESPACE=\"");
        str.append(m_namespace);
        AppendText(str, "\"");
    }
    AppendText(str, " LOCALNAME=\"");
    str.append(m_localname);
    AppendText(str, "\"");
}
