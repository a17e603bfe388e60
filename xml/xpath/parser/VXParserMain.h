// Parses one XPath expression (zero-terminated UTF-8) into a syntax tree.
#ifndef VX_VXPARSERMAIN_H
#define VX_VXPARSERMAIN_H

#include <cstdarg>
#include <cstddef>

#include "VfxPtrList.h"
#include "StringBuffer.h"
#include "XPathNodes.h"

class VXSymbolTable;
struct VXSymbol;

class VXParserMain {
public:
    // Operators and filter predicates build left-deep chains that the parser
    // stack does not bound; beyond this many the parse fails, so that no
    // walk over the tree can exhaust the call stack.
    enum { MAX_OPERATORS = 10000 };

    VXParserMain();
    ~VXParserMain();

    // Creates the scanner over the string; 0 on success, else an errno value.
    int ParserSetup(const char* pszXPathData);
    // The root (an XPathPath or an XPathUnionExpression), owned by the caller,
    // or null with the reason in msg when msg is given.
    XPathStatement* Parse(const char* xpathExpression, CStringBuffer* msg);
    // Formats a message and appends it to the text of the current parse.
    void ParseError(const char* pszErrorMsg, va_list args);
    VXSymbol* Lookup(const char* symname);
    // Counts one more operator of the current parse; false beyond the limit.
    bool CountOperator();

    // Zero-filled memory that lives as long as the parser.
    void* Alloc(size_t size);
    char* StrDup(const char* s);
    char* StrDup(const char* s, size_t len);

    VXParserMain(const VXParserMain&) = delete;
    VXParserMain& operator=(const VXParserMain&) = delete;

protected:
    void SetupSymbols();
    void ReportError(const char* pszErrorMsg, ...)
#ifdef __GNUC__
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void DestroyScanner();

    VXSymbolTable* m_pSymbolTable;
    void* m_scanner;
    CStringBuffer m_strParseError;
    VfxPtrList m_memory;
    char m_szTmpXPathFile[1024];
    int m_nOperators;
};

#endif
