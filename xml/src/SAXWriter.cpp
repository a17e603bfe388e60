#include "SAXWriter.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <unicode/ucnv.h>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/framework/XMLEntityDecl.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax2/Attributes.hpp>

#include "VORNxml.h"
#include "VfxStrings.h"
#include "vornxerces.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// Values collected before they go to the kernel in one call; a value at
// least this long goes by itself, without a copy.
const size_t kSendAt = 64 * 1024;
const size_t kSendValues = 4096;

bool isUnicodeName(const char* name)
{
    return name && (name[0] == 'U' || name[0] == 'u');
}

// Decimal digits of v at out (room for 12 bytes); returns their number.
// The shredder writes several numbers per node: printf's parsing of the
// format costs more than the rest of the line.
int putInt(char* out, int v)
{
    char tmp[12];
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    int len = 0;
    if (v < 0)
        out[len++] = '-';
    while (n > 0)
        out[len++] = tmp[--n];
    return len;
}

size_t lengthOf(const XMLCh* p)
{
    size_t n = 0;
    if (p)
        while (p[n])
            ++n;
    return n;
}

// A declared literal in the rebuilt DTD: quoted with the delimiter the text
// does not hold, so that the declaration reads back as it was.
void appendLiteral(std::string& out, const std::string& value, bool bEntityValue)
{
    char quote = value.find('"') == std::string::npos ? '"' : (value.find('\'') == std::string::npos ? '\'' : '"');
    out += ' ';
    out += quote;
    for (char c : value) {
        if (c == quote)
            out += quote == '"' ? "&#34;" : "&#39;";
        else if (c == '%' && bEntityValue)
            out += "&#37;"; // a literal % in a replacement text is not a parameter entity reference
        else if (c == '&' && !bEntityValue)
            out += "&amp;"; // attribute defaults come with their references resolved
        else if (c == '<' && !bEntityValue)
            out += "&lt;";
        else
            out += c;
    }
    out += quote;
}

// Entity names of parameter entities come as "%name"; declared as "% name".
void appendEntityName(std::string& out, const std::string& name)
{
    if (!name.empty() && name[0] == '%') {
        out += "% ";
        out.append(name, 1, std::string::npos);
    } else {
        out += name;
    }
}

} // namespace

void CGrowingBuffer::add(const char* p, int n)
{
    if (n <= 0)
        return;
    if (static_cast<long long>(m_nLength) + n + 1 > m_nBufLength && m_nBlockSize < m_nLength)
        m_nBlockSize = m_nLength;
    append(p, n);
}

void CGrowingBuffer::cut(int n)
{
    if (n >= 0 && n < m_nLength)
        set(m_pszBuffer, n);
}

CSAXWriter::CSAXWriter(CVORNxml* pFilterObj, filter_data* pData)
    : CTFormWriter(pData ? pData->cursor : nullptr),
      m_pData(pData),
      m_pFilterObj(pFilterObj),
      m_strEncoding("UTF-8"),
      m_pLocator(nullptr),
      m_nCurPart(0),
      m_bInCData(false),
      m_bInDoctype(false),
      m_bInEntity(false),
      m_nEntityDepth(0),
      m_bCDataPending(false),
      m_nExternalSubset(0),
      m_nSubsetCommentAt(-1),
      m_nEntityText(0),
      m_bDebug(false),
      m_bUtf8(true),
      m_pConverter(nullptr),
      m_nBatchPart(0),
      m_strNum(32)
{
    if (m_pFilterObj) {
        m_bDebug = m_pFilterObj->getLogging() && m_pFilterObj->getLogLevel() >= IVfxLogger::LL_DEBUG;
        if (m_pFilterObj->isUnicodeSession())
            m_strCoder.setEncoding("UTF-8");
    }
    m_bUtf8 = m_strCoder.isUtf8();
    if (!m_bUtf8)
        setStorageEncoding(m_strCoder.getEncoding());

    m_fId = lookup("N_ID");
    m_fParent = lookup("N_PARENT");
    m_fSeqPath = lookup("N_SEQPATH");
    m_fPath = lookup("N_PATH");
    m_fSeqNo = lookup("N_SEQNO");
    m_fSibNo = lookup("N_SIBNO");
    m_fNSpace = lookup("N_NSPACE");
    m_fName = lookup("N_NAME");
    m_fType = lookup("N_TYPE");
    m_fNType = lookup("N_NTYPE");
    m_fTValue = lookup("N_TVALUE");
    m_fMeta = lookup("D_META");
    m_fDoctype = lookup("D_DOCTYPE");
}

CSAXWriter::~CSAXWriter()
{
    while (m_nodeStack.size() > 0)
        delete static_cast<CDocItem*>(m_nodeStack.pop());
    while (m_siblingStack.size() > 0)
        delete static_cast<CDocItem*>(m_siblingStack.pop());
    if (m_pConverter)
        ucnv_close(m_pConverter);
}

CSAXWriter::Field CSAXWriter::lookup(const char* name)
{
    Field f;
    CFieldInfo* info = CFieldInfo::getFieldInfo(name, nullptr);
    if (info && info->getNumber() > 0) {
        f.nNumber = info->getNumber();
        f.bText = info->isTextField();
        f.bPart = info->isPartField();
    }
    return f;
}

// ---------------------------------------------------------------------------
// Record text form

void CSAXWriter::sendIfFull()
{
    if (m_batchBytes.size() >= kSendAt || m_batchParts.size() >= kSendValues)
        sendOrFail();
}

void CSAXWriter::sendOrFail(int nField, const char* value, int n)
{
    int status = sendBatch(nField, value, n);
    if (!(status & 1)) {
        char text[256] = "";
        int len = 255;
        VdbMessage(status, text, &len);
        text[len > 0 && len < 256 ? len : 0] = 0;
        fail("The node parts could not be written: %s", text);
    }
}

int CSAXWriter::sendBatch(int nField, const char* value, int n)
{
    if (nField > 0) {
        m_batchParts.push_back(m_nBatchPart);
        m_batchFields.push_back(nField);
        m_batchLengths.push_back(n);
        m_batchAt.push_back(0);
    }
    size_t count = m_batchParts.size();
    if (count == 0)
        return VDB_OK;
    m_batchValues.resize(count);
    for (size_t k = 0; k < count; ++k)
        m_batchValues[k] = m_batchBytes.data() + m_batchAt[k];
    if (nField > 0)
        m_batchValues[count - 1] = value;
    int status = VdbPutPartValues(m_hCursor, static_cast<int>(count), m_batchParts.data(), m_batchFields.data(),
                                  m_batchValues.data(), m_batchLengths.data());
    m_batchParts.clear();
    m_batchFields.clear();
    m_batchLengths.clear();
    m_batchAt.clear();
    m_batchBytes.clear();
    return status;
}

int CSAXWriter::flushRecordText()
{
    return sendBatch();
}

void CSAXWriter::selectMainPart()
{
    // Record fields written now belong to the main part, not to the last node.
    m_nBatchPart = 0;
}

void CSAXWriter::newPart()
{
    sendIfFull();
    ++m_nCurPart;
    m_nBatchPart = m_nCurPart;
    putField(m_fId, m_nCurPart);
}

void CSAXWriter::putField(const Field& f, const char* value, int n, int nPart)
{
    // The kernel derives the item from the part: a record field's item is
    // the node's part, as nPart always is here.
    (void)nPart;
    if (f.nNumber <= 0)
        return;
    if (n < 0)
        n = 0;
    if (static_cast<size_t>(n) >= kSendAt) {
        sendOrFail(f.nNumber, value, n);
        return;
    }
    m_batchParts.push_back(m_nBatchPart);
    m_batchFields.push_back(f.nNumber);
    m_batchLengths.push_back(n);
    m_batchAt.push_back(m_batchBytes.size());
    m_batchBytes.append(value, static_cast<size_t>(n));
}

void CSAXWriter::putField(const Field& f, int value)
{
    char text[16];
    int n = putInt(text, value);
    putField(f, text, n, m_nCurPart);
}

// ---------------------------------------------------------------------------
// Encodings

void CSAXWriter::setStorageEncoding(const char* pszName)
{
    m_strCoder.setEncoding(pszName);
    if (m_pConverter) {
        ucnv_close(m_pConverter);
        m_pConverter = nullptr;
    }
    m_bUtf8 = m_strCoder.isUtf8();
    if (m_bUtf8)
        return;
    UErrorCode err = U_ZERO_ERROR;
    m_pConverter = ucnv_open(pszName, &err);
    if (U_FAILURE(err)) {
        m_pConverter = nullptr;
        // Text must not be lost: keep it in UTF-8 and say so.
        if (m_pFilterObj)
            m_pFilterObj->logWarning("CSAXWriter::SetDocumentEncoding", -1,
                                     "No converter for \"%s\"; text is stored in UTF-8.\n", pszName);
        m_strCoder.setEncoding("UTF-8");
        m_bUtf8 = true;
    }
}

void CSAXWriter::SetDocumentEncoding(const char* enc)
{
    const char* s = m_pFilterObj ? m_pFilterObj->getVornEncoding() : "UTF-8";
    const char* b = m_pFilterObj ? m_pFilterObj->getBaseEncoding() : "UTF-8";
    if (!enc)
        enc = "";
    if (isUnicodeName(b))
        m_strEncoding.set(enc);
    else if (isUnicodeName(s))
        m_strEncoding.set(!b || !*b ? enc : (VfxStrNoCaseEquals(b, "Cp1252") ? "Windows-1252" : b));
    else
        m_strEncoding.set(enc);

    if (isUnicodeName(s) && !VfxStrNoCaseEquals(m_strEncoding, "UTF-8") && !VfxStrNoCaseEquals(m_strEncoding, "UTF8"))
        setStorageEncoding("UTF-8");
    else if (!isUnicodeName(s) && isUnicodeName(b))
        setStorageEncoding(s);
    else
        setStorageEncoding(m_strEncoding);
}

void CSAXWriter::transcode(const XMLCh* p, size_t n, std::string& out)
{
    if (m_bUtf8 || !m_pConverter) {
        vxAppendUtf8(out, p, static_cast<long>(n));
        return;
    }
    if (n == 0)
        return;
    size_t at = out.size();
    size_t cap = n * static_cast<size_t>(ucnv_getMaxCharSize(m_pConverter)) + 8;
    out.resize(at + cap);
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = ucnv_fromUChars(m_pConverter, &out[at], static_cast<int32_t>(cap), reinterpret_cast<const UChar*>(p),
                                  static_cast<int32_t>(n), &err);
    out.resize(U_SUCCESS(err) ? at + static_cast<size_t>(len) : at);
}

void CSAXWriter::appendTranscoded(CGrowingBuffer& buf, const XMLCh* p, size_t n)
{
    m_strScratch.clear();
    transcode(p, n, m_strScratch);
    buf.add(m_strScratch);
}

// ---------------------------------------------------------------------------
// Helpers

void CSAXWriter::logRow(const char* what)
{
    if (!m_bDebug)
        return;
    char pos[80];
    if (m_pLocator)
        snprintf(pos, sizeof pos, "[Ln %llu, Col %llu] ", static_cast<unsigned long long>(m_pLocator->getLineNumber()),
                 static_cast<unsigned long long>(m_pLocator->getColumnNumber()));
    else
        snprintf(pos, sizeof pos, "[Ln ?, Col ?] ");
    m_pFilterObj->logDebug("CSAXWriter", "%s %s\n", pos, what);
}

void CSAXWriter::noOp(const char* pszMethod)
{
    if (!m_pFilterObj)
        return;
    char where[64];
    snprintf(where, sizeof where, "CSAXWriter::%s", pszMethod);
    m_pFilterObj->logWarning(where, -1, "No-op method invoked.");
}

void CSAXWriter::fail(const char* pszFormat, ...)
{
    char text[256];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(text, sizeof text, pszFormat, args);
    va_end(args);
    vxThrowParseError(m_pLocator, text);
}

CSAXWriter::CDocItem* CSAXWriter::getParent() const
{
    return static_cast<CDocItem*>(m_nodeStack.top());
}

void CSAXWriter::getNodePath(bool bSeqNo, CStringBuffer& out) const
{
    const std::string& p = bSeqNo ? m_strSeqPath : m_strPath;
    out.set(p.data(), static_cast<int>(p.size()));
}

void CSAXWriter::getNodePath(int nSeqNo, CStringBuffer& out) const
{
    getNodePath(true, out);
    out.append("/");
    out.append(nSeqNo);
}

void CSAXWriter::getNodePath(const XMLCh* name, CStringBuffer& out)
{
    getNodePath(false, out);
    if (name && *name) {
        m_strScratch.assign("/");
        transcode(name, lengthOf(name), m_strScratch);
        out.append(m_strScratch.data(), static_cast<int>(m_strScratch.size()));
    }
}

// ---------------------------------------------------------------------------
// Text parts

void CSAXWriter::flushText()
{
    if (m_bCDataPending) {
        m_bCDataPending = false;
        writeText(VX_CDATA_SECTION, m_strCData);
        m_strCData.clear();
    }
    if (m_strText.length() > 0) {
        writeText(VX_TEXT, m_strText);
        m_strText.clear();
    }
}

void CSAXWriter::writeText(int nType, CStringBuffer& text)
{
    if (m_bInDoctype) {
        // Only comments reach here while the DTD is open.
        if (m_nExternalSubset > 0)
            return;
        m_nSubsetCommentAt = m_strInternalDTD.length();
        std::string decl("<!-- ");
        decl.append(text.getBufferPointer(), static_cast<size_t>(text.length()));
        decl += "-->";
        appendDecl(decl);
        return;
    }
    CDocItem* parent = getParent();
    newPart();
    if (parent)
        putField(m_fParent, parent->m_nId);
    putField(m_fPath, m_strPath);
    putField(m_fNType, nType);
    putField(m_fType, g_aNodeTypes[nType]);
    if (parent) {
        putField(m_fName, parent->m_strName);
        putField(m_fNSpace, "", 0, m_nCurPart);
    }
    putField(m_fTValue, text);
}

void CSAXWriter::writeText(int nType, const XMLCh* text, unsigned int length)
{
    CGrowingBuffer value(256);
    appendTranscoded(value, text, length);
    writeText(nType, value);
}

void CSAXWriter::characters(const XMLCh* const chars, const XMLSize_t length)
{
    const char* kind = m_bInCData ? "CDATA" : (m_bInEntity ? "entity" : "regular");
    if (m_bDebug) {
        char what[64];
        snprintf(what, sizeof what, "characters: %s count=%u", kind, static_cast<unsigned>(length));
        logRow(what);
    }
    if (m_bInCData) {
        appendTranscoded(m_strCData, chars, length);
        return;
    }
    if (m_bCDataPending)
        flushText();
    if (m_bInEntity) {
        m_nEntityText += static_cast<long>(length);
        if (m_nEntityText > VX_MAX_ENTITY_TEXT)
            fail("Entity references expand to more than %d characters of text.", VX_MAX_ENTITY_TEXT);
        appendTranscoded(m_strEntity, chars, length);
        return;
    }
    appendTranscoded(m_strText, chars, length);
}

void CSAXWriter::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length)
{
    characters(chars, length);
}

void CSAXWriter::startCDATA()
{
    logRow("startCDATA");
    if (m_bCDataPending) {
        // The parser reports a long section in pieces: one part for all.
        m_bCDataPending = false;
    } else {
        flushText();
        m_strCData.clear();
    }
    m_bInCData = true;
}

void CSAXWriter::endCDATA()
{
    logRow("endCDATA");
    m_bInCData = false;
    m_bCDataPending = true;
}

void CSAXWriter::comment(const XMLCh* const chars, const XMLSize_t length)
{
    logRow("comment");
    flushText();
    writeText(VX_COMMENT, chars, static_cast<unsigned int>(length));
}

void CSAXWriter::processingInstruction(const XMLCh* const target, const XMLCh* const data)
{
    logRow("processingInstruction");
    // Instructions inside the DTD are not reported here: this one follows it.
    if (m_bInDoctype)
        closeDoctype("HACK/EndDTD");
    flushText();
    CDocItem* parent = getParent();
    newPart();
    putField(m_fParent, parent ? parent->m_nId : 0);
    putField(m_fPath, m_strPath);
    CStringBuffer name(64), prefix(64);
    m_strScratch.clear();
    transcode(target, lengthOf(target), m_strScratch);
    name.set(m_strScratch.data(), static_cast<int>(m_strScratch.size()));
    CVORNxml::extractNameSpace(name, prefix);
    putField(m_fNSpace, prefix);
    putField(m_fName, name);
    putField(m_fNType, static_cast<int>(VX_PROCESSING_INSTRUCTION));
    putField(m_fType, g_aNodeTypes[VX_PROCESSING_INSTRUCTION]);
    m_strScratch.clear();
    transcode(data, lengthOf(data), m_strScratch);
    putField(m_fTValue, m_strScratch);
}

// ---------------------------------------------------------------------------
// Document, declaration, elements

void CSAXWriter::startDocument()
{
    logRow("startDocument");
    m_nCurPart = 0;
    m_bInCData = false;
    m_bCDataPending = false;
    m_bInEntity = false;
    m_nEntityDepth = 0;
    m_bInDoctype = false;
    m_nExternalSubset = 0;
    m_nSubsetCommentAt = -1;
    m_nEntityText = 0;
    m_strInternalDTD.clear();
    m_strDoctype.clear();
    m_strCData.clear();
    m_strEntity.clear();
    // A parse started again after a missing DTD writes every part anew;
    // what the failed attempt still held back is dropped.
    m_strText.clear();
    m_batchParts.clear();
    m_batchFields.clear();
    m_batchLengths.clear();
    m_batchAt.clear();
    m_batchBytes.clear();
    m_nBatchPart = 0;
    while (m_nodeStack.size() > 0)
        delete static_cast<CDocItem*>(m_nodeStack.pop());
    m_strPath.clear();
    m_strSeqPath.clear();
}

void CSAXWriter::endDocument()
{
    logRow("endDocument");
    flushText();
    while (m_siblingStack.size() > 0)
        delete static_cast<CDocItem*>(m_siblingStack.pop());
    sendOrFail();
}

void CSAXWriter::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                         const XMLCh* const autoEncodingStr)
{
    logRow("XMLDecl");
    std::string enc = vxUtf8(encodingStr);
    if (enc.empty())
        enc = vxUtf8(autoEncodingStr);
    SetDocumentEncoding(enc.empty() ? "UTF-8" : enc.c_str());
    sendOrFail();
    if (m_pFilterObj)
        m_pFilterObj->setProperty("xmlencoding", m_strEncoding);
    std::string version = vxUtf8(versionStr);
    if (version.empty())
        version = "1.0";
    if (m_pFilterObj)
        m_pFilterObj->setProperty("xmlversion", version.c_str());

    std::string meta = "<?xml version=\"" + version + "\"";
    if (m_strEncoding.length() > 0)
        meta += std::string(" encoding=\"") + m_strEncoding.getBufferPointer() + "\"";
    std::string standalone = vxUtf8(standaloneStr);
    if (!standalone.empty())
        meta += " standalone=\"" + standalone + "\"";
    meta += "?>";
    selectMainPart();
    putField(m_fMeta, meta.data(), static_cast<int>(meta.size()), 1);

    newPart();
    putField(m_fParent, 0);
    putField(m_fNType, static_cast<int>(VX_XML_DECL));
    putField(m_fType, VX_XML_DECL_NAME);
}

void CSAXWriter::startElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname,
                              const Attributes& attrs)
{
    logRow("startElement");
    if (m_bInDoctype)
        closeDoctype("HACK/EndDTD");
    flushText();

    CDocItem* parent = getParent();
    int depth = parent ? parent->m_nDepth + 1 : 0;
    if (depth >= VX_MAX_DEPTH)
        fail("Elements are nested deeper than %d levels.", VX_MAX_DEPTH);
    auto* item = new CDocItem;
    m_strScratch.clear();
    transcode(qname, lengthOf(qname), m_strScratch);
    item->m_strName.set(m_strScratch.data(), static_cast<int>(m_strScratch.size()));
    item->m_nId = m_nCurPart + 1;
    item->m_nDepth = depth;
    auto* sibling = static_cast<CDocItem*>(m_siblingStack.top());
    item->m_nSeqNo = sibling ? sibling->m_nSeqNo + 1 : 1;
    CStringBuffer prefix(64);
    CVORNxml::extractNameSpace(item->m_strName, prefix);
    item->m_nPathLen = static_cast<int>(m_strPath.size());
    item->m_nSeqPathLen = static_cast<int>(m_strSeqPath.size());
    m_nodeStack.push(item);
    m_strPath += '/';
    m_strPath.append(item->m_strName.getBufferPointer(), static_cast<size_t>(item->m_strName.length()));
    char seq[16] = "/";
    int seqLen = 1 + putInt(seq + 1, item->m_nSeqNo);
    m_strSeqPath.append(seq, static_cast<size_t>(seqLen));

    newPart();
    putField(m_fParent, parent ? parent->m_nId : 0);
    // The element is on the stack already: its number ends the path twice.
    m_strScratch.assign(m_strSeqPath);
    m_strScratch.append(seq, static_cast<size_t>(seqLen));
    putField(m_fSeqPath, m_strScratch);
    putField(m_fSeqNo, item->m_nSeqNo);
    putField(m_fSibNo, item->m_nSeqNo);
    putField(m_fName, item->m_strName);
    putField(m_fNType, static_cast<int>(VX_ELEMENT));
    putField(m_fType, g_aNodeTypes[VX_ELEMENT]);
    putField(m_fNSpace, prefix);

    // Attributes are written here rather than from the advanced handler's
    // start event: for an empty element the parser reports the element's end
    // before that event, when the element is no longer open.
    XMLSize_t count = attrs.getLength();
    for (XMLSize_t i = 0; i < count; ++i) {
        CStringBuffer name(64), aprefix(64);
        m_strScratch.clear();
        const XMLCh* q = attrs.getQName(i);
        transcode(q, lengthOf(q), m_strScratch);
        name.set(m_strScratch.data(), static_cast<int>(m_strScratch.size()));
        CVORNxml::extractNameSpace(name, aprefix);
        newPart();
        putField(m_fParent, item->m_nId);
        putField(m_fNType, static_cast<int>(VX_ATTRIBUTE));
        putField(m_fType, g_aNodeTypes[VX_ATTRIBUTE]);
        putField(m_fName, name);
        putField(m_fNSpace, aprefix);
        m_strScratch.assign(m_strPath);
        m_strScratch += '/';
        m_strScratch.append(name.getBufferPointer(), static_cast<size_t>(name.length()));
        putField(m_fPath, m_strScratch);
        m_strScratch.clear();
        const XMLCh* v = attrs.getValue(i);
        transcode(v, lengthOf(v), m_strScratch);
        putField(m_fTValue, m_strScratch);
    }
}

void CSAXWriter::endElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname)
{
    logRow("endElement");
    flushText();
    auto* item = static_cast<CDocItem*>(m_nodeStack.pop());
    if (!item)
        return;
    m_strPath.resize(static_cast<size_t>(item->m_nPathLen));
    m_strSeqPath.resize(static_cast<size_t>(item->m_nSeqPathLen));
    if (m_siblingStack.size() > 0)
        delete static_cast<CDocItem*>(m_siblingStack.pop());
    m_siblingStack.push(item);
}

void CSAXWriter::startEntityReference(const XMLEntityDecl& entDecl)
{
    logRow("startEntityReference");
    flushText();
    m_bInEntity = true;
    m_strEntity.clear();
    ++m_nEntityDepth;
}

void CSAXWriter::endEntityReference(const XMLEntityDecl& entDecl)
{
    logRow("endEntityReference");
    flushText();
    --m_nEntityDepth;
    if (m_nEntityDepth >= 1)
        return;
    CDocItem* parent = getParent();
    newPart();
    putField(m_fParent, parent ? parent->m_nId : 0);
    putField(m_fPath, m_strPath);
    m_strScratch.clear();
    const XMLCh* name = entDecl.getName();
    transcode(name, lengthOf(name), m_strScratch);
    putField(m_fName, m_strScratch);
    putField(m_fNType, static_cast<int>(VX_ENTITY_REFERENCE));
    putField(m_fType, g_aNodeTypes[VX_ENTITY_REFERENCE]);
    putField(m_fTValue, m_strEntity);
    m_bInEntity = false;
    m_strEntity.clear();
    m_nEntityDepth = 0;
}

// ---------------------------------------------------------------------------
// Document type

void CSAXWriter::startDTD(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId)
{
    logRow("startDTD");
    flushText();
    std::string text = "<!DOCTYPE " + vxUtf8(name) + " ";
    std::string pub = vxUtf8(publicId), sys = vxUtf8(systemId);
    if (!pub.empty())
        text += "PUBLIC \"" + pub + "\" ";
    if (!sys.empty())
        text += (pub.empty() ? "SYSTEM \"" : "\"") + sys + "\" ";
    m_strDoctype.set(text.data(), static_cast<int>(text.size()));
    m_nSubsetCommentAt = -1;
    m_bInDoctype = true;
}

void CSAXWriter::endDTD()
{
    closeDoctype("endDTD");
}

void CSAXWriter::closeDoctype(const char* why)
{
    logRow(why);
    if (!m_bInDoctype)
        return;
    flushText();
    m_bInDoctype = false;
    m_nExternalSubset = 0;
    m_nSubsetCommentAt = -1;
    if (m_strDoctype.length() == 0)
        return;
    if (m_strInternalDTD.length() > 0) {
        m_strDoctype.add("[\n", 2);
        m_strDoctype.add(m_strInternalDTD.getBufferPointer(), m_strInternalDTD.length());
        m_strDoctype.add("]", 1);
    }
    m_strDoctype.add(">", 1);
    if (m_fDoctype.nNumber > 0) {
        selectMainPart();
        putField(m_fDoctype, m_strDoctype.getBufferPointer(), m_strDoctype.length(), 0);
    }
    m_strDoctype.clear();
    newPart();
    putField(m_fParent, 0);
    putField(m_fNType, static_cast<int>(VX_DOCUMENT_TYPE));
    putField(m_fType, g_aNodeTypes[VX_DOCUMENT_TYPE]);
}

void CSAXWriter::appendDecl(const std::string& decl)
{
    if (m_nExternalSubset > 0)
        return;
    m_strInternalDTD.add(decl);
    m_strInternalDTD.add("\r\n", 2);
}

void CSAXWriter::elementDecl(const XMLCh* const name, const XMLCh* const model)
{
    logRow("elementDecl");
    appendDecl("<!ELEMENT " + vxUtf8(name) + " " + vxUtf8(model) + ">");
}

void CSAXWriter::attributeDecl(const XMLCh* const eName, const XMLCh* const aName, const XMLCh* const type,
                               const XMLCh* const mode, const XMLCh* const value)
{
    logRow("attributeDecl");
    std::string decl = "<!ATTLIST";
    for (const XMLCh* part : {eName, aName, type}) {
        std::string s = vxUtf8(part);
        if (!s.empty())
            decl += " " + s;
    }
    std::string m = vxUtf8(mode);
    if (!m.empty() && !VfxStrNoCaseEquals(m.c_str(), "null"))
        decl += " " + m;
    std::string v = vxUtf8(value);
    if (!v.empty())
        appendLiteral(decl, v, false);
    decl += ">";
    appendDecl(decl);
}

void CSAXWriter::internalEntityDecl(const XMLCh* const name, const XMLCh* const value)
{
    logRow("internalEntityDecl");
    std::string decl = "<!ENTITY ";
    appendEntityName(decl, vxUtf8(name));
    appendLiteral(decl, vxUtf8(value), true);
    decl += ">";
    appendDecl(decl);
}

void CSAXWriter::externalEntityDecl(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId)
{
    logRow("externalEntityDecl");
    std::string decl = "<!ENTITY ";
    appendEntityName(decl, vxUtf8(name));
    std::string pub = vxUtf8(publicId), sys = vxUtf8(systemId);
    if (!pub.empty()) {
        decl += " PUBLIC \"" + pub + "\"";
        if (!sys.empty())
            decl += " \"" + sys + "\"";
    } else if (!sys.empty()) {
        decl += " SYSTEM \"" + sys + "\"";
    }
    decl += ">";
    appendDecl(decl);
}

void CSAXWriter::startEntity(const XMLCh* const name)
{
    // The parser names the external DTD subset "[dtd]".
    static const XMLCh kDtd[] = {'[', 'd', 't', 'd', ']', 0};
    if (name && XERCES_CPP_NAMESPACE::XMLString::equals(name, kDtd))
        ++m_nExternalSubset;
}

void CSAXWriter::endEntity(const XMLCh* const name)
{
    static const XMLCh kDtd[] = {'[', 'd', 't', 'd', ']', 0};
    if (name && XERCES_CPP_NAMESPACE::XMLString::equals(name, kDtd) && m_nExternalSubset > 0)
        --m_nExternalSubset;
}

// ---------------------------------------------------------------------------
// Events stored nowhere

void CSAXWriter::setDocumentLocator(const Locator* const locator)
{
    m_pLocator = locator;
}

void CSAXWriter::startPrefixMapping(const XMLCh* const prefix, const XMLCh* const uri) {}
void CSAXWriter::endPrefixMapping(const XMLCh* const prefix) {}
void CSAXWriter::skippedEntity(const XMLCh* const name) {}
void CSAXWriter::notationDecl(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId) {}
void CSAXWriter::resetDocType() {}
void CSAXWriter::unparsedEntityDecl(const XMLCh* const name, const XMLCh* const publicId, const XMLCh* const systemId,
                                    const XMLCh* const notationName)
{
}

void CSAXWriter::docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection)
{
    noOp("docCharacters");
}

void CSAXWriter::docComment(const XMLCh* const comment)
{
    if (m_bInDoctype) {
        // Reported only for comments of the document itself: the one just
        // filed into the internal subset came after the DTD.
        if (m_nSubsetCommentAt >= 0)
            m_strInternalDTD.cut(m_nSubsetCommentAt);
        closeDoctype("HACK/EndDTD");
        writeText(VX_COMMENT, comment, static_cast<unsigned int>(lengthOf(comment)));
        return;
    }
    noOp("docComment");
}

void CSAXWriter::docPI(const XMLCh* const target, const XMLCh* const data)
{
    noOp("docPI");
}

void CSAXWriter::endElement(const XMLElementDecl& elemDecl, const unsigned int uriId, const bool isRoot,
                            const XMLCh* const prefixName)
{
    noOp("endElement");
}

void CSAXWriter::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection)
{
    noOp("ignorableWhitespace");
}

void CSAXWriter::resetDocument()
{
    noOp("resetDocument");
}

void CSAXWriter::startElement(const XMLElementDecl& elemDecl, const unsigned int uriId, const XMLCh* const prefixName,
                              const RefVectorOf<XMLAttr>& attrList, const XMLSize_t attrCount, const bool isEmpty,
                              const bool isRoot)
{
}
