#include "VXParserMain.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "VXGrammar.h"
#include "VXSymbolTable.h"
#include "xpath.tab.h"
#define YYSTYPE XPATH_STYPE
#include "xpath.lex.h"

namespace {

// Words the scanner returns as tokens of their own; and, or, div and mod are
// told apart by the grammar instead, so the list is empty.
struct ReservedWord {
    const char* name;
    int type;
};
const ReservedWord g_reservedWords[] = {{nullptr, 0}};

// Offset of the first byte that does not start a well-formed UTF-8
// sequence, or -1 when the text is valid.
int FindInvalidUtf8(const unsigned char* s)
{
    const unsigned char* p = s;
    while (*p) {
        unsigned char c = *p;
        int n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80)
            n = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            n = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0)
                lo = 0xA0; // overlong
            else if (c == 0xED)
                hi = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0)
                lo = 0x90; // overlong
            else if (c == 0xF4)
                hi = 0x8F; // beyond U+10FFFF
        } else
            return static_cast<int>(p - s);
        for (int i = 1; i <= n; i++) {
            unsigned char b = p[i];
            unsigned char blo = i == 1 ? lo : 0x80, bhi = i == 1 ? hi : 0xBF;
            if (b < blo || b > bhi)
                return static_cast<int>(p - s);
        }
        p += n + 1;
    }
    return -1;
}

} // namespace

VXParserMain::VXParserMain()
    : m_pSymbolTable(new VXSymbolTable()), m_scanner(nullptr), m_nOperators(0)
{
    m_szTmpXPathFile[0] = 0;
    SetupSymbols();
}

VXParserMain::~VXParserMain()
{
    delete m_pSymbolTable;
    DestroyScanner();
    if (m_szTmpXPathFile[0])
        unlink(m_szTmpXPathFile);
    for (int i = 0; i < m_memory.size(); i++)
        free(m_memory.get(i));
}

void VXParserMain::SetupSymbols()
{
    m_pSymbolTable->setAllocMode(VX_ALLOCMODE_OFF);
    m_pSymbolTable->setCaseSensitive(false);
    for (const ReservedWord* word = g_reservedWords; word->name; word++)
        m_pSymbolTable->createSymbol(word->name, word->type);
}

void VXParserMain::DestroyScanner()
{
    if (m_scanner) {
        xpath_lex_destroy(m_scanner);
        m_scanner = nullptr;
    }
}

int VXParserMain::ParserSetup(const char* pszXPathData)
{
    DestroyScanner();
    if (xpath_lex_init_extra(this, &m_scanner) != 0) {
        int err = errno ? errno : ENOMEM;
        m_scanner = nullptr;
        return err;
    }
    try {
        xpath__scan_string(pszXPathData ? pszXPathData : "", m_scanner);
    } catch (const VXScannerError& e) {
        ReportError("%s", e.what());
        return ENOMEM;
    }
    return 0;
}

XPathStatement* VXParserMain::Parse(const char* xpathExpression, CStringBuffer* msg)
{
    const char* expression = xpathExpression ? xpathExpression : "";
    m_strParseError.clear();
    m_nOperators = 0;

    XPathStatement* result = nullptr;
    int rc;
    int bad = FindInvalidUtf8(reinterpret_cast<const unsigned char*>(expression));
    if (bad >= 0) {
        ReportError("Invalid UTF-8 byte 0x%02X at offset %d of the XPath expression.",
                   static_cast<unsigned char>(expression[bad]), bad);
        rc = 1;
    } else if ((rc = ParserSetup(expression)) == 0) {
        rc = xpath_parse(m_scanner, &result);
    }

    if (rc == 0 && result)
        return result;
    delete result;
    if (msg) {
        if (m_strParseError.length() > 0)
            msg->set(m_strParseError, m_strParseError.length());
        else
            msg->format("Unexplained error #%d parsing XPath statement \"%s\"", rc, expression);
    }
    return nullptr;
}

void VXParserMain::ParseError(const char* pszErrorMsg, va_list args)
{
    CStringBuffer text;
    text.vformat(pszErrorMsg, args);
    m_strParseError.append(text);
}

void VXParserMain::ReportError(const char* pszErrorMsg, ...)
{
    va_list args;
    va_start(args, pszErrorMsg);
    ParseError(pszErrorMsg, args);
    va_end(args);
}

bool VXParserMain::CountOperator()
{
    return ++m_nOperators <= MAX_OPERATORS;
}

VXSymbol* VXParserMain::Lookup(const char* symname)
{
    return m_pSymbolTable->lookup(symname);
}

void* VXParserMain::Alloc(size_t size)
{
    void* block = calloc(size ? size : 1, 1);
    if (block)
        m_memory.append(block);
    return block;
}

char* VXParserMain::StrDup(const char* s)
{
    return StrDup(s ? s : "", s ? strlen(s) : 0);
}

char* VXParserMain::StrDup(const char* s, size_t len)
{
    char* copy = static_cast<char*>(Alloc(len + 1));
    if (copy && len)
        memcpy(copy, s, len);
    return copy;
}
