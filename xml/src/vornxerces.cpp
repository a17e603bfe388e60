// Parser set-up: the SAX2 reader with the shredder, the DOM parser, the
// error handler, and parsing the request's document from its source.
#include "vornxerces.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/URLInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUniDefs.hpp>

#include "SAXWriter.h"
#include "StreamInputSource.h"
#include "VORNxml.h"
#include "VfxConfig.h"
#include "VfxEntityResolver.h"
#include "VfxPlatform.h"

XERCES_CPP_NAMESPACE_USE

// ---------------------------------------------------------------------------
// Text helpers

void vxAppendUtf8(std::string& out, const XMLCh* p, long n)
{
    if (!p)
        return;
    if (n < 0) {
        n = 0;
        while (p[n])
            ++n;
    }
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) * 3);
    char* o = &out[at];
    for (long i = 0; i < n; ++i) {
        unsigned c = p[i];
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
            continue;
        }
        if (c < 0x800) {
            *o++ = static_cast<char>(0xC0 | (c >> 6));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            unsigned cp = 0x10000 + ((c - 0xD800) << 10) + (p[i + 1] - 0xDC00u);
            ++i;
            // Four bytes for two units: still within the three per unit reserved.
            *o++ = static_cast<char>(0xF0 | (cp >> 18));
            *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        *o++ = static_cast<char>(0xE0 | (c >> 12));
        *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

std::string vxUtf8(const XMLCh* p)
{
    std::string s;
    vxAppendUtf8(s, p, -1);
    return s;
}

std::u16string vxUtf16(const char* p)
{
    std::u16string out;
    if (!p)
        return out;
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    while (*s) {
        unsigned cp;
        int extra;
        if (*s < 0x80) {
            cp = *s;
            extra = 0;
        } else if ((*s & 0xE0) == 0xC0) {
            cp = *s & 0x1F;
            extra = 1;
        } else if ((*s & 0xF0) == 0xE0) {
            cp = *s & 0x0F;
            extra = 2;
        } else if ((*s & 0xF8) == 0xF0) {
            cp = *s & 0x07;
            extra = 3;
        } else {
            cp = 0xFFFD;
            extra = 0;
        }
        ++s;
        for (int i = 0; i < extra; ++i) {
            if ((*s & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (*s++ & 0x3F);
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
        }
    }
    return out;
}

void vxThrowParseError(const Locator* pLocator, const char* pszMessage)
{
    std::u16string msg = vxUtf16(pszMessage);
    if (pLocator)
        throw SAXParseException(msg.c_str(), *pLocator);
    throw SAXParseException(msg.c_str(), nullptr, nullptr, 0, 0);
}

SecurityManager* vxSecurityManager()
{
    static SecurityManager* s_pManager = [] {
        auto* m = new SecurityManager();
        m->setEntityExpansionLimit(VX_MAX_ENTITY_EXPANSIONS);
        return m;
    }();
    return s_pManager;
}

namespace {

bool quotedAfter(const char* pszMessage, const char* const* texts, size_t n, CStringBuffer& strName)
{
    if (!pszMessage)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const char* at = strstr(pszMessage, texts[i]);
        if (!at)
            continue;
        at += strlen(texts[i]);
        const char* end = strchr(at, '\'');
        strName.set(at, end ? static_cast<int>(end - at) : -1);
        return true;
    }
    return false;
}

} // namespace

bool vxMissingEntityName(const char* pszMessage, CStringBuffer& strName)
{
    static const char* const kTexts[] = {"unable to open external entity '"};
    return quotedAfter(pszMessage, kTexts, 1, strName);
}

bool vxMissingDtdName(const char* pszMessage, CStringBuffer& strName)
{
    // The first is the text of earlier parser versions, the second of the
    // current ones.
    static const char* const kTexts[] = {"Could not open DTD file '", "unable to open DTD document '"};
    return quotedAfter(pszMessage, kTexts, 2, strName);
}

// ---------------------------------------------------------------------------
// Error handler and DTD exception

void CDOMTreeErrorReporter::warning(const SAXParseException& e) {}

void CDOMTreeErrorReporter::error(const SAXParseException& e)
{
    throw SAXParseException(e);
}

void CDOMTreeErrorReporter::fatalError(const SAXParseException& e)
{
    std::string message = vxUtf8(e.getMessage());
    CStringBuffer name(256);
    if (vxMissingDtdName(message.c_str(), name))
        throw CDTDException(name);
    throw SAXParseException(e.getMessage(), e.getPublicId(), e.getSystemId(), e.getLineNumber(), e.getColumnNumber());
}

void CDOMTreeErrorReporter::resetErrors() {}

CDTDException::CDTDException(const CStringBuffer& strFile) : m_strFile(strFile) {}
CDTDException::CDTDException(const char* pszFile) : m_strFile(pszFile) {}
CDTDException::CDTDException(const CDTDException& other) : m_strFile(other.m_strFile) {}
CDTDException::~CDTDException() {}

// ---------------------------------------------------------------------------

namespace {

bool configSet(const char* key)
{
    const char* v = QueryRCS(key, 7);
    return v && strcmp(v, "1") == 0;
}

// Reads the caller's open file from its start, block by block, so that a
// large document is never held whole.
class CFileStream : public BinInputStream {
public:
    explicit CFileStream(FILE* fp) : m_fp(fp), m_nPos(0)
    {
        if (m_fp)
            rewind(m_fp);
    }
    XMLFilePos curPos() const override { return m_nPos; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override
    {
        if (!m_fp)
            return 0;
        size_t n = fread(toFill, 1, maxToRead, m_fp);
        m_nPos += n;
        return n;
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    FILE* m_fp;
    XMLFilePos m_nPos;
};

class CFileSource : public InputSource {
public:
    explicit CFileSource(FILE* fp) : m_fp(fp)
    {
        static const XMLCh kId[] = {'X', 'M', 'L', ' ', 'd', 'o', 'c', 'u', 'm', 'e', 'n', 't', 0};
        setSystemId(kId);
    }
    BinInputStream* makeStream() const override { return new CFileStream(m_fp); }

private:
    FILE* m_fp;
};

const XMLCh kMemoryId[] = {'X', 'M', 'L', ' ', 'd', 'o', 'c', 'u', 'm', 'e', 'n', 't', 0};

// Changes to "/tmp" for the parse and back on every way out.
class CWorkingDirectory {
public:
    CWorkingDirectory()
    {
        m_bSaved = getcwd(m_szSaved, sizeof m_szSaved) != nullptr;
        if (chdir("/tmp") != 0) {
        }
    }
    ~CWorkingDirectory()
    {
        if (m_bSaved && chdir(m_szSaved) != 0) {
        }
    }
    CWorkingDirectory(const CWorkingDirectory&) = delete;
    CWorkingDirectory& operator=(const CWorkingDirectory&) = delete;

private:
    char m_szSaved[1024];
    bool m_bSaved;
};

// DTDs exported for this parse go when it ends.
class CExportedFiles {
public:
    CExportedFiles() : m_nMark(vxExportedFileMark()) {}
    ~CExportedFiles() { vxRemoveExportedFiles(m_nMark); }
    CExportedFiles(const CExportedFiles&) = delete;
    CExportedFiles& operator=(const CExportedFiles&) = delete;

private:
    size_t m_nMark;
};

// Parses the request's document from the source filter_data names with
// whatever parser P is (SAX2 reader or DOM parser). 1 parsed, 0 no usable
// source (errortext set).
template <class P> int parseSource(CVORNxml& req, filter_data* fd, P* parser, bool bStream, const char* pszPath)
{
    if (bStream) {
        CStringBuffer url(256);
        if (!req.getFilterArgument("FILEURL", url)) {
            req.setError(VX_FAILED, "Required argument FILEURL missing for stream import.");
            req.logError("getDocumentRoot", 0, "Required argument FILEURL missing for stream import.");
            return 0;
        }
        req.logDebug("getDocumentRoot", "About to parse from URL %s\n", url.getBufferPointer());
        std::unique_ptr<InputSource> source(vxNewStreamSource(url));
        VfxSetThreadConcurrency(10);
        parser->parse(*source);
        return 1;
    }
    if (fd->vdb_options & IEOPT_FILENAME) {
        req.logDebug("getDocumentRoot", "About to parse \"%s\"\n", pszPath);
        std::u16string wpath = vxUtf16(pszPath);
        LocalFileInputSource source(wpath.c_str());
        parser->parse(source);
        return 1;
    }
    if (fd->vdb_options & IEOPT_FILE) {
        req.logDebug("getDocumentRoot", "About to parse file pointer.\n");
        CFileSource source(static_cast<FILE*>(fd->buffer));
        parser->parse(source);
        return 1;
    }
    if (fd->vdb_options & IEOPT_MEMORY) {
        req.logDebug("getDocumentRoot", "About to parse memory buffer.\n");
        MemBufInputSource source(static_cast<const XMLByte*>(fd->buffer),
                                 fd->buffer_length > 0 ? static_cast<XMLSize_t>(fd->buffer_length) : 0, kMemoryId);
        parser->parse(source);
        return 1;
    }
    req.setErrorText("ERROR: Flag \"vdb_options\" has invalid value: %d", fd->vdb_options);
    req.logError("getDocumentRoot", 0, "ERROR: Flag \"vdb_options\" has invalid value: %d", fd->vdb_options);
    return 0;
}

} // namespace

void vxDeleteReader(SAX2XMLReader* reader)
{
    if (!reader)
        return;
    delete dynamic_cast<CVfxEntityResolver*>(reader->getEntityResolver());
    delete dynamic_cast<CDOMTreeErrorReporter*>(reader->getErrorHandler());
    delete reader;
}

void vxDeleteParser(XercesDOMParser* parser)
{
    if (!parser)
        return;
    delete dynamic_cast<CVfxEntityResolver*>(parser->getEntityResolver());
    delete dynamic_cast<CDOMTreeErrorReporter*>(parser->getErrorHandler());
    delete parser;
}

// ---------------------------------------------------------------------------
// CVORNxml: parser set-up

void CVORNxml::extractNameSpace(CStringBuffer& name, CStringBuffer& prefix)
{
    int colon = name.find(':');
    if (colon < 0) {
        prefix.clear();
        return;
    }
    prefix.set(name.getBufferPointer(), colon);
    name.set(name.getBufferPointer() + colon + 1);
}

SAX2XMLReader* CVORNxml::createReader()
{
    logDebug("createReader", "Creating SAX reader.\n");
    bool bValidate = m_pData && (m_pData->filter_options & FO_VALIDATE);
    int mode = bValidate ? (configSet("XML_STRICT_VALIDATION") ? 1 : 2) : 0;
    SAX2XMLReader* reader = nullptr;
    try {
        reader = XMLReaderFactory::createXMLReader();
        switch (mode) {
        case 2:
            reader->setFeature(XMLUni::fgSAX2CoreValidation, true);
            reader->setFeature(XMLUni::fgXercesDynamic, true);
            reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
            logDebug("createReader", "Validation enabled for internal DTDs only.\n");
            break;
        case 1:
            reader->setFeature(XMLUni::fgSAX2CoreValidation, true);
            reader->setFeature(XMLUni::fgXercesDynamic, true);
            reader->setFeature(XMLUni::fgXercesLoadExternalDTD, true);
            reader->setFeature(XMLUni::fgXercesValidationErrorAsFatal, true);
            logDebug("createReader", "Strict validation used.\n");
            break;
        default:
            reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
            reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
            logDebug("createReader", "Validation disabled.\n");
            break;
        }
        bool bNamespaces = configSet("XML_NAMESPACES");
        reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, bNamespaces);
        reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, true);
        bool bSchema = bNamespaces && bValidate && configSet("XML_SCHEMA");
        reader->setFeature(XMLUni::fgXercesSchema, bSchema);
        reader->setFeature(XMLUni::fgXercesSchemaFullChecking, bSchema && configSet("XML_STRICT_SCHEMA"));
        // Entity expansion limits: a few hundred bytes must not expand into
        // gigabytes of text.
        reader->setProperty(XMLUni::fgXercesSecurityManager, vxSecurityManager());

        auto* writer = new CSAXWriter(this, m_pData);
        delete m_pTfo;
        m_pTfo = writer;
        reader->setContentHandler(writer);
        reader->setLexicalHandler(writer);
        reader->setDTDHandler(writer);
        reader->setDeclarationHandler(writer);
        reader->installAdvDocHandler(writer);

        reader->setErrorHandler(new CDOMTreeErrorReporter());
        if (!configSet("XML_NOENTITYRESOLVER"))
            reader->setEntityResolver(new CVfxEntityResolver(this));
    } catch (const XMLException& e) {
        logError("createReader", static_cast<int>(e.getCode()), "%s", vxUtf8(e.getMessage()).c_str());
        vxDeleteReader(reader);
        return nullptr;
    }
    logDebug("createReader", "Parser created.\n");
    return reader;
}

XercesDOMParser* CVORNxml::createParser()
{
    logDebug("createParser", "Creating parser.");
    bool bValidate = m_pData && (m_pData->filter_options & FO_VALIDATE);
    auto* parser = new XercesDOMParser();
    parser->setValidationScheme(bValidate ? XercesDOMParser::Val_Auto : XercesDOMParser::Val_Never);
    parser->setDoNamespaces(configSet("XML_NAMESPACES"));
    parser->setErrorHandler(new CDOMTreeErrorReporter());
    parser->setCreateEntityReferenceNodes(true);
    parser->setIncludeIgnorableWhitespace(true);
    parser->setSecurityManager(vxSecurityManager());
    if (!configSet("XML_NOENTITYRESOLVER"))
        parser->setEntityResolver(new CVfxEntityResolver(this));
    logDebug("createParser", "Parser created.\n");
    return parser;
}

bool CVORNxml::getDocumentRoot(SAX2XMLReader* reader)
{
    if (!m_pData)
        return false;
    bool bOwnReader = false;
    if (!reader) {
        reader = createReader();
        if (!reader) {
            setError(VX_FAILED, "The XML parser could not be created.");
            return false;
        }
        bOwnReader = true;
    }
    struct ReaderGuard {
        SAX2XMLReader* r;
        bool own;
        ~ReaderGuard()
        {
            if (own)
                vxDeleteReader(r);
        }
    } guard{reader, bOwnReader};

    bool bStream = (m_pData->filter_options & FO_STREAM) != 0;
    char szPath[1024] = "";
    if ((m_pData->vdb_options & IEOPT_FILENAME) && !bStream && m_pData->buffer) {
        const char* name = static_cast<const char*>(m_pData->buffer);
        if (VfxRelativeDirToAbsolute(szPath, name, sizeof szPath) != 0)
            snprintf(szPath, sizeof szPath, "%s", name);
    }

    CWorkingDirectory cwd;
    CExportedFiles exported;
    auto* writer = dynamic_cast<CSAXWriter*>(m_pTfo);
    int nRetries = 0;
    // A DTD the parser could not open is exported from the database and the
    // parse tried again, at most twice. True: parse again.
    auto retryAfterMissingDtd = [&](const char* pszName) {
        if (nRetries >= 2) {
            setError(VX_FAILED, "Exception: DTD is missing - cheat-fix failed.");
            logError("getDocumentRoot", 0, "Exception: DTD is missing - cheat-fix failed.");
            return false;
        }
        if (!exportDtd(const_cast<char*>(pszName))) {
            setErrorText("Exception: DTD \"%s\" is missing.", pszName);
            m_pData->errorcode = VX_FAILED;
            logError("getDocumentRoot", 0, "%s", m_pData->errortext);
            return false;
        }
        logInformation("getDocumentRoot", "Resetting parser for another go after avoidable exception.\n");
        ++nRetries;
        return true;
    };
    for (;;) {
        try {
            if (!parseSource(*this, m_pData, reader, bStream, szPath))
                return false;
            break;
        } catch (const CDTDException& e) {
            if (!retryAfterMissingDtd(e.getFileName()))
                return false;
        } catch (const XMLException& e) {
            // The exception's own line is a line of the parser's code; the
            // document line is the one that helps.
            const Locator* locator = writer ? writer->getLocator() : nullptr;
            unsigned long long line = locator ? static_cast<unsigned long long>(locator->getLineNumber()) : 0;
            setErrorText("XML Parsing Error at line %llu: %s", line, vxUtf8(e.getMessage()).c_str());
            int code = static_cast<int>(e.getCode());
            // An odd status would tell the kernel that the store succeeded.
            m_pData->errorcode = (code & 1) ? VX_FAILED : code;
            logError("getDocumentRoot", code, "%s", m_pData->errortext);
            return false;
        } catch (const SAXParseException& e) {
            std::string message = vxUtf8(e.getMessage());
            // A DTD that names a further DTD reaches it as an external
            // parameter entity, reported in other words.
            CStringBuffer name(256);
            if (writer && writer->inDoctype() && vxMissingEntityName(message.c_str(), name)) {
                if (!retryAfterMissingDtd(name))
                    return false;
                continue;
            }
            setErrorText("XML Parsing Error at line %llu: %s", static_cast<unsigned long long>(e.getLineNumber()),
                         message.c_str());
            m_pData->errorcode = VX_FAILED;
            logError("getDocumentRoot", 0, "%s", m_pData->errortext);
            return false;
        } catch (const SAXException& e) {
            setErrorText("XML Parsing Error: %s", vxUtf8(e.getMessage()).c_str());
            m_pData->errorcode = VX_FAILED;
            logError("getDocumentRoot", 0, "%s", m_pData->errortext);
            return false;
        } catch (const OutOfMemoryException&) {
            setError(VX_FAILED, "XML Parsing Error: out of memory.");
            logError("getDocumentRoot", 0, "XML Parsing Error: out of memory.");
            return false;
        }
    }
    logDebug("getDocumentRoot", "Parsing done. Obtaining document root.\n");
    logDebug("getDocumentRoot", "Parsing succeeded.");
    return true;
}

bool CVORNxml::getDocumentRoot(XercesDOMParser* parser, DOMDocument** doc)
{
    if (!m_pData)
        return false;
    if (doc)
        *doc = nullptr;
    bool bOwn = false;
    if (!parser) {
        parser = createParser();
        bOwn = true;
    }
    struct ParserGuard {
        XercesDOMParser* p;
        bool own;
        ~ParserGuard()
        {
            if (own)
                vxDeleteParser(p);
        }
    } guard{parser, bOwn};

    char szPath[1024] = "";
    if ((m_pData->vdb_options & IEOPT_FILENAME) && m_pData->buffer) {
        const char* name = static_cast<const char*>(m_pData->buffer);
        if (VfxRelativeDirToAbsolute(szPath, name, sizeof szPath) != 0)
            snprintf(szPath, sizeof szPath, "%s", name);
    }

    CWorkingDirectory cwd;
    CExportedFiles exported;
    int nRetries = 0;
    for (;;) {
        try {
            if (!parseSource(*this, m_pData, parser, false, szPath))
                return false;
            break;
        } catch (const CDTDException& e) {
            if (nRetries >= 2) {
                setError(VX_FAILED, "Exception: DTD is missing - cheat-fix failed.");
                logError("getDocumentRoot", 0, "Exception: DTD is missing - cheat-fix failed.");
                return false;
            }
            if (!exportDtd(const_cast<char*>(e.getFileName()))) {
                setError(VX_FAILED, "Exception: DTD is missing.");
                logError("getDocumentRoot", 0, "Exception: DTD is missing.");
                return false;
            }
            logInformation("getDocumentRoot", "Resetting parser for another go after avoidable exception.\n");
            ++nRetries;
        } catch (const XMLException& e) {
            setErrorText("XML Parsing Error at line 0: %s", vxUtf8(e.getMessage()).c_str());
            int code = static_cast<int>(e.getCode());
            m_pData->errorcode = (code & 1) ? VX_FAILED : code;
            logError("getDocumentRoot", code, "%s", m_pData->errortext);
            return false;
        } catch (const SAXParseException& e) {
            setErrorText("XML Parsing Error at line %llu: %s", static_cast<unsigned long long>(e.getLineNumber()),
                         vxUtf8(e.getMessage()).c_str());
            m_pData->errorcode = VX_FAILED;
            logError("getDocumentRoot", 0, "%s", m_pData->errortext);
            return false;
        } catch (...) {
            setError(VX_FAILED, "Unexpected error parsing XML.");
            logError("getDocumentRoot", 0, "Unexpected error parsing XML.");
            return false;
        }
    }
    if (doc) {
        // A parser made here goes at the end of this call: the caller then
        // owns the document (release it), else the caller's parser does.
        *doc = bOwn ? parser->adoptDocument() : parser->getDocument();
    }
    logDebug("getDocumentRoot", "Parsing succeeded.\n");
    return true;
}
