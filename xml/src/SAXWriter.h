// CSAXWriter: the SAX shredder. Turns the parser's events into the node parts
// of the stored document while the document is parsed, rebuilds the XML and
// document type declarations for D_META and D_DOCTYPE, and decides the
// encoding in which text is stored.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>

#include "FieldInfo.h"
#include "StringTranscoder.h"
#include "TFormWriter.h"
#include "VfxStack.h"
#include "vornapi.h"

class CVORNxml;
struct UConverter;

// A text buffer that grows geometrically, for text that may become long
// (a text run, the entity text, the internal subset): block-wise growth
// would copy a long text over and over.
class CGrowingBuffer : public CStringBuffer {
public:
    explicit CGrowingBuffer(int nBlock = 256) : CStringBuffer(nBlock) {}
    void add(const char* p, int n);
    void add(const std::string& s) { add(s.data(), static_cast<int>(s.size())); }
    void cut(int n);
};

class CSAXWriter : public CTFormWriter,
                   public XERCES_CPP_NAMESPACE::DefaultHandler,
                   public XERCES_CPP_NAMESPACE::XMLDocumentHandler {
public:
    // One open or recently closed element.
    class CDocItem {
    public:
        CDocItem() : m_strName(64), m_nId(0), m_nSeqNo(0), m_nDepth(0), m_nPathLen(0), m_nSeqPathLen(0) {}
        virtual ~CDocItem() {}
        CStringBuffer m_strName;
        int m_nId;
        int m_nSeqNo;
        int m_nDepth;
        // Lengths of the running paths before this element was added.
        int m_nPathLen;
        int m_nSeqPathLen;
    };

    CSAXWriter(CVORNxml* pFilterObj, filter_data* pData);
    ~CSAXWriter() override;

    // ----- SAX2 roles -----
    void characters(const XMLCh* const chars, const XMLSize_t length) override;
    void endDocument() override;
    void endElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname) override;
    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) override;
    void processingInstruction(const XMLCh* const target, const XMLCh* const data) override;
    void setDocumentLocator(const XERCES_CPP_NAMESPACE::Locator* const locator) override;
    void startDocument() override;
    void startElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname,
                      const XERCES_CPP_NAMESPACE::Attributes& attrs) override;
    void startPrefixMapping(const XMLCh* const prefix, const XMLCh* const uri) override;
    void endPrefixMapping(const XMLCh* const prefix) override;
    void skippedEntity(const XMLCh* const name) override;
    void notationDecl(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId) override;
    void resetDocType() override;
    void unparsedEntityDecl(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId,
                            const XMLCh* const notationName) override;
    void comment(const XMLCh* const chars, const XMLSize_t length) override;
    void endCDATA() override;
    void endDTD() override;
    void endEntity(const XMLCh* const name) override;
    void startCDATA() override;
    void startDTD(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId) override;
    void startEntity(const XMLCh* const name) override;
    void elementDecl(const XMLCh* const name, const XMLCh* const model) override;
    void attributeDecl(const XMLCh* const eName, const XMLCh* const aName, const XMLCh* const type,
                       const XMLCh* const mode, const XMLCh* const value) override;
    void internalEntityDecl(const XMLCh* const name, const XMLCh* const value) override;
    void externalEntityDecl(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId) override;

    // ----- advanced document handler role -----
    void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
    void docComment(const XMLCh* const comment) override;
    void docPI(const XMLCh* const target, const XMLCh* const data) override;
    void endElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, const unsigned int uriId,
                    const bool isRoot, const XMLCh* const prefixName) override;
    void endEntityReference(const XERCES_CPP_NAMESPACE::XMLEntityDecl& entDecl) override;
    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
    void resetDocument() override;
    void startElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, const unsigned int uriId,
                      const XMLCh* const prefixName,
                      const XERCES_CPP_NAMESPACE::RefVectorOf<XERCES_CPP_NAMESPACE::XMLAttr>& attrList,
                      const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
    void startEntityReference(const XERCES_CPP_NAMESPACE::XMLEntityDecl& entDecl) override;
    void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                 const XMLCh* const autoEncodingStr) override;

    void SetDocumentEncoding(const char* enc);
    void GetEncoding(CStringBuffer& out) const { out.set(m_strEncoding); }
    // Number of the last part written.
    int getPartCount() const { return m_nCurPart; }
    const XERCES_CPP_NAMESPACE::Locator* getLocator() const { return m_pLocator; }
    // Between the start of the document type declaration and its end.
    bool inDoctype() const { return m_bInDoctype; }
    // Hands the node parts still held back to the kernel; returns its status.
    // The shredder collects the values of parts into batches; anything that
    // writes the record by other means afterwards calls this first.
    int flushRecordText();
    // Makes the main part current for the record text form that follows.
    void selectMainPart();

protected:
    void logRow(const char* what);
    CDocItem* getParent() const;
    void getNodePath(bool bSeqNo, CStringBuffer& out) const;
    void getNodePath(int nSeqNo, CStringBuffer& out) const;
    void getNodePath(const XMLCh* name, CStringBuffer& out);
    void flushText();
    void writeText(int nType, CStringBuffer& text);
    void writeText(int nType, const XMLCh* text, unsigned int length);

    // Text of the parser in the storage encoding, appended to out.
    void transcode(const XMLCh* p, size_t n, std::string& out);
    void appendTranscoded(CGrowingBuffer& buf, const XMLCh* p, size_t n);
    void setStorageEncoding(const char* pszName);

    // Field numbers (0: the database lacks the field) and kinds, looked up once.
    struct Field {
        int nNumber = 0;
        bool bText = false;
        bool bPart = false;
    };
    Field lookup(const char* name);

    // Values of the parts, collected in a batch that goes to the kernel in
    // one call (VdbPutPartValues): no text form to format and parse back.
    void newPart();
    void putField(const Field& f, const char* value, int n, int nPart);
    void putField(const Field& f, const CStringBuffer& value)
    {
        putField(f, value.getBufferPointer(), value.length(), m_nCurPart);
    }
    void putField(const Field& f, const std::string& value)
    {
        putField(f, value.data(), static_cast<int>(value.size()), m_nCurPart);
    }
    void putField(const Field& f, const char* value) { putField(f, value, static_cast<int>(strlen(value)), m_nCurPart); }
    void putField(const Field& f, int value);
    void sendIfFull();
    // Hands the batch (and one more value given by pointer, when nField > 0)
    // to the kernel; returns its status.
    int sendBatch(int nField = 0, const char* value = nullptr, int n = 0);
    // The same during the parse: a refusal fails the parse.
    void sendOrFail(int nField = 0, const char* value = nullptr, int n = 0);

    void closeDoctype(const char* why);
    void appendDecl(const std::string& decl);
    // Fails the parse with the locator's line.
    [[noreturn]] void fail(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    void noOp(const char* pszMethod);

    filter_data* m_pData;
    CVORNxml* m_pFilterObj;
    CStringBuffer m_strEncoding;
    const XERCES_CPP_NAMESPACE::Locator* m_pLocator;
    int m_nCurPart;
    CStringTranscoder m_strCoder;
    CPtrStack m_nodeStack;
    CPtrStack m_siblingStack;
    bool m_bInCData;
    CGrowingBuffer m_strCData;
    CGrowingBuffer m_strDoctype;
    bool m_bInDoctype;
    CGrowingBuffer m_strInternalDTD;
    bool m_bInEntity;
    int m_nEntityDepth;
    CGrowingBuffer m_strEntity;
    CGrowingBuffer m_strText;

private:
    Field m_fId, m_fParent, m_fSeqPath, m_fPath, m_fSeqNo, m_fSibNo, m_fNSpace, m_fName, m_fType, m_fNType,
        m_fTValue, m_fMeta, m_fDoctype;
    // A CDATA section ended; another piece of it may follow.
    bool m_bCDataPending;
    // Inside the external DTD subset, whose declarations are not the document's.
    int m_nExternalSubset;
    // Where the last comment reported while the DTD was open starts in the
    // internal subset (-1: none): a comment after a DOCTYPE whose external
    // subset is not read still arrives before the parser says the DTD ended.
    int m_nSubsetCommentAt;
    long m_nEntityText;
    bool m_bDebug;
    bool m_bUtf8;
    UConverter* m_pConverter;
    // Running /name and /seqno paths of the open elements.
    std::string m_strPath;
    std::string m_strSeqPath;
    std::string m_strScratch;
    // The batch: value k is m_batchLengths[k] bytes at m_batchAt[k] in
    // m_batchBytes, for field m_batchFields[k] of part m_batchParts[k].
    std::vector<int> m_batchParts, m_batchFields, m_batchLengths;
    std::vector<size_t> m_batchAt;
    std::vector<const char*> m_batchValues;
    std::string m_batchBytes;
    // The part values go to: the current node part, or 0 for the main part.
    int m_nBatchPart;
    CStringBuffer m_strNum;
};
