// CVORNxml: the request object of one filter call. Every entry point of the
// module builds one on its stack, runs one operation on it and destroys it.
// The operations live in one source file per subject (see CMakeLists.txt);
// this header declares them all.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

#include "FieldInfo.h"
#include "FilterBase.h"
#include "StringBuffer.h"
#include "StringTranscoder.h"
#include "TFormWriter.h"

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class XercesDOMParser;
class DOMDocument;
class DOMNode;
XERCES_CPP_NAMESPACE_END

class CLink;
class CSAXWriter;
class CVfxEntityResolver;

// Symbols the kernel looks up in the module.
#define VX_EXPORT extern "C" __attribute__((visibility("default")))

// Status of the module's own failures (odd is success, as for the kernel).
#define VX_FAILED 0
#define VX_OK 1

class CVORNxml : public CFilterBase {
    friend class CSAXWriter;
    friend class CVfxEntityResolver;

public:
    explicit CVORNxml(filter_data* p);
    ~CVORNxml() override;

    // ----- Operations behind the entry points (each returns errorcode) -----
    int vornXmlPut();      // store
    int vornXmlGet();      // retrieve
    int vornXmlRelink();   // relink filter
    int vornXmlPutBlob();  // non-XML documents
    int vornXmlGetLinks(); // get-links filter
    int vornXmlQuery();    // XPath query
    int vornXmlUpdate();   // XPath update

    // ----- Request (VORNxml.cpp) -----
    bool isXmlDatabase();
    bool isXmlDocument();
    void parseUrl(const char* pszUrl, CStringBuffer& base, CStringBuffer& file, CStringBuffer& alias);

    // Steps every operation starts with, in the order the operation needs:
    // open the per-call log and log "Entered." (debug, else information).
    void openCallLog(const char* pszLogName, const char* pszModule, bool bDebug = true);
    // False (logged, result 0, nothing touched) without a filter_data.
    bool checkFilterData(const char* pszModule);
    // Loads the field catalogue for the record's database. Without a record
    // control it stays empty until a lookup brings one (see CFieldInfo), so
    // an operation that makes the record control calls this again after.
    void loadFieldCatalogue();
    // False with "No XML database or no database opened." and errorcode 0.
    bool requireXmlDatabase(const char* pszModule);
    // Refusal of an operation this build does not have yet: errorcode 0 and
    // a text that names what is missing. Returns 0.
    int notAvailable(const char* pszEntry, const char* pszMissing);

    // ----- Parser library (VORNxml.cpp; parser set-up in vornxerces.cpp) -----
    int initXerces();
    void deInitXerces();
    XERCES_CPP_NAMESPACE::SAX2XMLReader* createReader();
    XERCES_CPP_NAMESPACE::XercesDOMParser* createParser();
    bool getDocumentRoot(XERCES_CPP_NAMESPACE::SAX2XMLReader* reader);
    bool getDocumentRoot(XERCES_CPP_NAMESPACE::XercesDOMParser* parser, XERCES_CPP_NAMESPACE::DOMDocument** doc);
    static void extractNameSpace(CStringBuffer& name, CStringBuffer& prefix);

    // ----- Session services (session.cpp) -----
    int executeCCL(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    int getShellSymbol(char* pszSymbol);
    void setVornEncoding();
    const char* getVornEncoding() const { return m_szVornEncoding; }
    const char* getBaseEncoding() const { return m_szBaseEncoding; }
    const char* getDocEncoding() const { return m_szDocEncoding; }
    bool isUnicodeSession();
    int getPhraseValue(const char* pszField, long nItem, char* pszValue, int* pnLength);
    int getPhraseValue(const char* pszField, long nItem, CStringBuffer& strValue);
    int getIntValue(const char* pszField, long nItem, long* pnValue);
    int setFieldValue(const char* pszField, int nIndex, const char* pszValue, int nLength);
    void setProperty(const char* pszName, const char* pszValue);
    int getProperty(const char* pszName, CStringBuffer& strValue);
    int clearXMLRecord();
    // Read callback of the stream reader; pContext is the request object.
    static int streamRead(void* pData, int nLength, void* pContext);

    // ----- Output encoding and escapes (encoding.cpp) -----
    bool encodeOutput(const char* pszTarget, const char* pData, int nLength, CStringBuffer& strOut);
    bool encodeOutput(const char* pData, int nLength, CStringBuffer& strOut);
    bool encodeOutput(const char* pszTarget, CStringBuffer& strText);
    bool encodeOutput(CStringBuffer& strText);
    bool reEncode(const char* pszFrom, const char* pszTo, char** ppData, int* pnLength);
    void escapeXml(CStringBuffer& strText);

    // ----- Reconstruction, fragments, entities -----
    // Rebuilds the document (nSubTreeRootId 1) or the subtree of that part
    // into the sink filter_data names. Only with bStream (the retrieve
    // operation) does the stream option send it to FILEURL; otherwise (the
    // fragment builder) the text goes to the file or memory of vdb_options.
    void processRecord(int nSubTreeRootId, bool useNamespaces, bool bStream = false);
    // Number of nodes of the current record (items of N_ID, else parts).
    int countNodes();
    int getFragments(int nSearch, int nRecords, const char* xpathFragmentExpression, CStringBuffer& strOut,
                     int nFrom, int nTo, bool bHighlight);
    void getFragmentNamsepaces(int nSubTreeRootId, CStringBuffer& strDefs);
    int getPartTextValue(CStringBuffer& textVal, const char* pszFieldName, long nPartNo, bool bHighlight);
    int getHighlightLength(char* pszText, int nOffset, int nLen);
    bool exportDtd(char* pszFileName);

    // ----- Links: declared with the link code -----
    // Identity and link record of a stored document (linkdb.cpp).
    void CreateIdentity(VdbHandle hRecordControl, const char* pszDbName, char* pszIdentity);
    int WriteField(VdbHandle hRecordControl, const char* pszField, int nPart, const char* pszValue);
    int ReadField(VdbHandle hRecordControl, const char* pszField, int nPart, char* pszBuffer, int* pnLength);
    int updateLinkDb(const char* pszUrl);
    // Scanning a parsed document for links into m_links (Link.cpp).
    void evaluateNameSpace(const char* pszPrefix, const char* pszUri);
    void scanForLinks(XERCES_CPP_NAMESPACE::DOMNode* pNode, CLink** ppLink, bool bNameSpaces);
    void narrowDomText(const XMLCh* pszText, CStringBuffer& strOut);
    void clearLinks();
    // Resolving m_links to stored documents (LinkResolve.cpp).
    void resolveLinks();
    int findDocument(const char* pszHref, CStringBuffer& strIdentity, CStringBuffer& strDatabase);
    bool isSelfishLink(const CLink* pLink) const;

    const char* getLinkDb() const { return m_strLinkDb; }
    CTFormWriter* getWriter() const { return m_pTfo; }

protected:
    CStringBuffer m_strLinkDb;
    CStringBuffer m_strXIncludeNs;
    CStringBuffer m_strXLinkNs;
    // Emptied (and its links deleted) by the link code that fills it.
    std::vector<CLink*> m_links;
    CTFormWriter* m_pTfo;
    CStringBuffer* m_pStreamData;
    char m_szBaseEncoding[64];
    char m_szVornEncoding[64];
    char m_szDocEncoding[64];
    // The document properties reconstruction reads: while getFragments rebuilds
    // several subtrees of one record they are read for the first one only.
    bool m_bReuseDocProps = false;
    // A search set that holds exactly the hits of the fragment expression
    // (the query just run was the same expression), or -1: the next
    // getFragments takes its hits instead of running the expression again.
    int m_nFragmentHitsSet = -1;
    bool m_bDocPropsRead = false;
    CStringBuffer m_strDocEnc, m_strDocVer, m_strDocTxv;
    // So are the record's node count (-1 until counted) and the numbers of
    // the node fields reconstruction reads (0 until looked up).
    int m_nDocNodes = -1;
    // The block size the next fragment's text starts with (0: the usual).
    size_t m_nFragmentBytes = 0;
    int m_aNodeFields[6] = {};
    // Fields D_DOCTYPE and D_META the same way, and the text buffers every
    // fragment's rebuild uses (made for the first one).
    int m_nDoctypeField = 0, m_nMetaField = 0;
    struct CRebuildBuffers {
        CStringBuffer type{64}, name{256}, nspace{64}, value{1024};
        std::vector<const char*> nodeValues;  // the node reader's runs
        std::vector<int> nodeLengths;
        std::vector<int> openParents;  // the rebuild's open elements
        std::string openNames;
        std::vector<size_t> nameEnds;
    };
    std::unique_ptr<CRebuildBuffers> m_pFragmentBuffers;

    // This request's field catalogue, current on its thread while it lives.
    CFieldCatalogue m_fieldCatalogue;
};
