#include <cstdlib>

#include "XPathNodes.h"

// ---------------------------------------------------------------- XPathScalar

XPathScalar::XPathScalar() : m_eSign(SC_SIGN_OFF)
{
}

XPathScalar* XPathScalar::Clone()
{
    return nullptr;
}

void XPathScalar::CopyScalarInto(XPathScalar* target)
{
    target->SetParenthesized(IsParenthesized());
    target->m_eSign = m_eSign;
    target->m_strValue.set(m_strValue, m_strValue.length());
}

void XPathScalar::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (IsParenthesized())
        AppendText(str, "(");
    if (prefix)
        AppendPrefix(str);
    FormatValue(str);
    if (suffix)
        AppendSuffix(str);
    if (IsParenthesized())
        AppendText(str, ")");
}

void XPathScalar::DebugLine(CStringBuffer& str, int level, const char* header, bool bQuoted)
{
    NewDebugLine(str, level);
    AppendText(str, header);
    AppendText(str, " ISPARENTHESIZED=");
    AppendText(str, YesNo(IsParenthesized()));
    AppendText(str, bQuoted ? " VALUE=\"" : " VALUE=");
    str.append(m_strValue);
    if (bQuoted)
        AppendText(str, "\"");
}

void XPathScalar::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    DebugLine(str, level, "XPathScalar", true);
}

void XPathScalar::AppendPrefix(CStringBuffer& str)
{
}

void XPathScalar::AppendSuffix(CStringBuffer& str)
{
}

void XPathScalar::FormatValue(CStringBuffer& str)
{
    str.append(m_strValue);
}

void XPathScalar::SetValue(const char* value, int len)
{
    m_strValue.set(value ? value : "", value ? len : 0);
}

void XPathScalar::SetValue(CStringBuffer& value)
{
    m_strValue.set(value, value.length());
}

void XPathScalar::GetValue(CStringBuffer& value)
{
    value.set(m_strValue, m_strValue.length());
}

// ---------------------------------------------------------------- XPathChar

XPathChar::XPathChar(const char* value, int len)
{
    SetValue(value, len);
}

XPathChar* XPathChar::Clone()
{
    XPathChar* copy = new XPathChar();
    CopyScalarInto(copy);
    return copy;
}

void XPathChar::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    DebugLine(str, level, "XPathChar SCALAR", true);
}

void XPathChar::AppendPrefix(CStringBuffer& str)
{
    AppendText(str, "\"");
}

void XPathChar::AppendSuffix(CStringBuffer& str)
{
    AppendText(str, "\"");
}

// ---------------------------------------------------------------- XPathNumeric

XPathNumeric::XPathNumeric()
{
}

// ---------------------------------------------------------------- XPathInt

XPathInt::XPathInt(int value)
{
    *this = value;
}

XPathInt* XPathInt::Clone()
{
    XPathInt* copy = new XPathInt();
    CopyScalarInto(copy);
    return copy;
}

void XPathInt::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    DebugLine(str, level, "XPathInt SCALAR", false);
}

int XPathInt::operator()()
{
    return atoi(m_strValue);
}

XPathInt& XPathInt::operator=(int value)
{
    m_strValue.set(value);
    return *this;
}

// ---------------------------------------------------------------- XPathFloat

XPathFloat::XPathFloat(double value) : m_fValue(0.0)
{
    *this = value;
}

XPathFloat* XPathFloat::Clone()
{
    XPathFloat* copy = new XPathFloat();
    CopyScalarInto(copy);
    copy->m_fValue = m_fValue;
    return copy;
}

void XPathFloat::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    DebugLine(str, level, "XPathFloat SCALAR", false);
}

double XPathFloat::operator()()
{
    return atof(m_strValue);
}

XPathFloat& XPathFloat::operator=(float value)
{
    return *this = static_cast<double>(value);
}

XPathFloat& XPathFloat::operator=(double value)
{
    m_fValue = value;
    m_strValue.format("%.02f", value);
    return *this;
}
