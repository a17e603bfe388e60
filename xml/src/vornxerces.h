// The parser library as the module uses it: the error handler installed in
// every parser, the exception that reports a DTD the parser cannot open,
// the limits that keep hostile documents in bounds, and UTF-16 helpers.
#pragma once

#include <stddef.h>

#include <string>

#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/XercesDefs.hpp>

#include "StringBuffer.h"

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class XercesDOMParser;
class SAXParseException;
class SecurityManager;
class Locator;
XERCES_CPP_NAMESPACE_END

// Entity expansions allowed in one document. Far above what real documents
// use; a "billion laughs" document hits it within a few milliseconds.
#define VX_MAX_ENTITY_EXPANSIONS 50000
// Characters of entity replacement text kept for one document (the text
// collected inside entity references); bounds the memory a few expansions of
// a large entity can take.
#define VX_MAX_ENTITY_TEXT (32 * 1024 * 1024)
// Deepest element nesting accepted. Every node stores the path of its
// ancestors, so deeper documents cost storage quadratic in the depth.
#define VX_MAX_DEPTH 1000

// Throws on every error and fatal error, so that any problem ends the parse;
// a DTD that cannot be opened becomes a CDTDException naming it.
class CDOMTreeErrorReporter : public XERCES_CPP_NAMESPACE::ErrorHandler {
public:
    CDOMTreeErrorReporter() {}
    ~CDOMTreeErrorReporter() override {}

    void warning(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void error(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void fatalError(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void resetErrors() override;
};

class CDTDException {
public:
    explicit CDTDException(const CStringBuffer& strFile);
    explicit CDTDException(const char* pszFile);
    CDTDException(const CDTDException& other);
    CDTDException& operator=(const CDTDException&) = delete;
    virtual ~CDTDException();

    const char* getFileName() const { return m_strFile; }

protected:
    CStringBuffer m_strFile;
};

// The name of the DTD in a parser message about a DTD it could not open, or
// false when the message says something else.
bool vxMissingDtdName(const char* pszMessage, CStringBuffer& strName);
// The same for an external entity the parser could not open.
bool vxMissingEntityName(const char* pszMessage, CStringBuffer& strName);

// The process-wide limits given to every parser.
XERCES_CPP_NAMESPACE::SecurityManager* vxSecurityManager();

// Appends the UTF-8 form of n UTF-16 units (n < 0: up to the terminating 0).
// A lone surrogate becomes U+FFFD.
void vxAppendUtf8(std::string& out, const XMLCh* p, long n = -1);
std::string vxUtf8(const XMLCh* p);
// UTF-16 copy of UTF-8 text, for handing names and URLs to the parser.
std::u16string vxUtf16(const char* p);

// Throws a SAXParseException with the message at the locator's position (or
// line 0 without one).
[[noreturn]] void vxThrowParseError(const XERCES_CPP_NAMESPACE::Locator* pLocator, const char* pszMessage);

// Deletes a reader or DOM parser with the error handler and entity resolver
// the module gave it.
void vxDeleteReader(XERCES_CPP_NAMESPACE::SAX2XMLReader* reader);
void vxDeleteParser(XERCES_CPP_NAMESPACE::XercesDOMParser* parser);
