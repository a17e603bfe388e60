// Literals: strings, integers and floating-point numbers.
#ifndef VX_XPATHSCALAR_H
#define VX_XPATHSCALAR_H

#include "XPathExpression.h"

class XPathScalar : public virtual XPathExpression {
public:
    XPathScalar();

    // Only the concrete literal kinds clone; a plain scalar clones to null.
    XPathScalar* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;
    virtual void AppendPrefix(CStringBuffer& str);
    virtual void AppendSuffix(CStringBuffer& str);
    virtual void FormatValue(CStringBuffer& str);

    void SetSign(EScalarSign eSign) { m_eSign = eSign; }
    EScalarSign GetSign() const { return m_eSign; }
    // len < 0: up to the terminating zero.
    void SetValue(const char* value, int len);
    void SetValue(CStringBuffer& value);
    void GetValue(CStringBuffer& value);
    int GetValueLength() { return m_strValue.length(); }

protected:
    // Copies sign, value and parentheses into a fresh literal.
    void CopyScalarInto(XPathScalar* target);
    void DebugLine(CStringBuffer& str, int level, const char* header, bool bQuoted);

    EScalarSign m_eSign;
    CStringBuffer m_strValue;
};

// A string literal; its value is held without the quotes.
class XPathChar : public virtual XPathScalar {
public:
    explicit XPathChar(const char* value = "", int len = -1);

    XPathChar* Clone() override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;
    void AppendPrefix(CStringBuffer& str) override;
    void AppendSuffix(CStringBuffer& str) override;
    virtual bool IsAtom() { return true; }

    const char* operator()() { return m_strValue; }
};

class XPathNumeric : public virtual XPathScalar {
public:
    XPathNumeric();
    virtual bool IsAtom() { return true; }
};

// An integer literal; the value is held as decimal text.
class XPathInt : public XPathNumeric {
public:
    explicit XPathInt(int value = 0);

    XPathInt* Clone() override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    int operator()();
    XPathInt& operator=(int value);
};

// A floating-point literal; its text is the value with two decimals.
class XPathFloat : public XPathNumeric {
public:
    explicit XPathFloat(double value = 0.0);

    XPathFloat* Clone() override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    double operator()();
    XPathFloat& operator=(float value);
    XPathFloat& operator=(double value);

protected:
    double m_fValue;
};

#endif
