// The store operation: one XML document into the current record, node parts
// from the shredder, then the document fields and the link record.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <xercesc/sax2/SAX2XMLReader.hpp>

#include "SAXWriter.h"
#include "VORNxml.h"
#include "vornxerces.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// Pieces of the raw text as they go into D_XMLDOC.
const int kPiece = 1023;

// Position of the last '/', or without one of the last '\'; -1 for neither.
int lastSeparator(const CStringBuffer& s)
{
    int pos = s.findReverse('/');
    return pos >= 0 ? pos : s.findReverse('\\');
}

// "%a, %d %b %Y %H:%M:%S GMT" in English whatever the process locale.
void httpDate(time_t t, char* out, size_t size)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm;
    gmtime_r(&t, &tm);
    snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
             kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool hasField(const char* name, VdbHandle rc)
{
    CFieldInfo* f = CFieldInfo::getFieldInfo(name, rc);
    return f && f->getNumber() > 0;
}

// Hands the raw document to D_XMLDOC piece by piece: as blob blocks, or as
// pieces of the text field when the database keeps it as text.
class CRawTextSink {
public:
    CRawTextSink(CTFormWriter& writer, VdbHandle blob, bool bField) : m_writer(writer), m_blob(blob), m_bField(bField)
    {
    }
    void put(const char* p, int n)
    {
        m_nSize += n;
        if (m_blob) {
            VdbPutBlobBlock(m_blob, n, p);
        } else if (m_bField) {
            m_text.set(p, n);
            m_writer.printFieldBlock("D_XMLDOC", m_bFirst ? 1 : 0, m_text);
            m_bFirst = false;
        }
    }
    long long size() const { return m_nSize; }

private:
    CTFormWriter& m_writer;
    VdbHandle m_blob;
    bool m_bField;
    bool m_bFirst = true;
    long long m_nSize = 0;
    CStringBuffer m_text{kPiece + 1};
};

} // namespace

int CVORNxml::vornXmlPut()
{
    openCallLog("vornxmlput.log", "vornXmlPut");
    if (!checkFilterData("vornXmlPut"))
        return VX_FAILED;
    loadFieldCatalogue();
    // A kernel refusal ends the store with the kernel's own words after what failed.
    auto storeFailed = [this](const char* what, int status) {
        char text[256] = "";
        int len = 255;
        VdbMessage(status, text, &len);
        text[len > 0 && len < 256 ? len : 0] = 0;
        setErrorText("%s: %s", what, text);
        m_pData->errorcode = status;
        logError("vornXmlPut", status, "%s", m_pData->errortext);
        return status;
    };

    if ((m_pData->vdb_options & IEOPT_MEMORY) && m_pData->blockno != 0) {
        setError(VX_FAILED, "vornxmlput: Block-oriented transfer is unsupported.");
        logError("vornXmlPut", 0, "vornxmlput: Block-oriented transfer is unsupported.");
        return VX_FAILED;
    }

    int status = initXerces();
    if (status != 0) {
        // An odd status would tell the kernel to keep the record.
        if (status & 1)
            m_pData->errorcode = status = VX_FAILED;
        return status;
    }

    if (m_pData->filter_options & FO_NEWRECORD) {
        if (!m_pData->record_control) {
            VdbCreateRecordControl(&m_pData->record_control);
            // The catalogue waited for a record control to load from.
            loadFieldCatalogue();
        }
        if (!m_pData->cursor && m_pData->record_control)
            VdbSetCursor(&m_pData->cursor, m_pData->record_control, 0, 0, 0);
    } else {
        if (!m_pData->cursor)
            VdbSetCursor(&m_pData->cursor, m_pData->record_control, 0, 0, 0);
        logInformation("vornXmlPut", "Clearing previous record content.\n");
        status = clearXMLRecord();
        if (!(status & 1)) {
            return storeFailed("Failed to clear record", status);
        }
    }

    setProperty("vornxmlversion", "3.0-1");
    setProperty("vornxmlstyle", "SAX");
    logDebug("vornXmlPut", "Parsing and storing document...\n");

    SAX2XMLReader* reader = createReader();
    if (!getDocumentRoot(reader)) {
        vxDeleteReader(reader);
        if (m_pData->errorcode & 1)
            m_pData->errorcode = VX_FAILED;
        return m_pData->errorcode;
    }

    // The document fields belong to the main part, after the node parts.
    CTFormWriter* pWriter = m_pTfo;
    CTFormWriter plainWriter(m_pData->cursor);
    if (auto* sax = dynamic_cast<CSAXWriter*>(m_pTfo)) {
        int flushed = sax->flushRecordText();
        if (!(flushed & 1)) {
            vxDeleteReader(reader);
            return storeFailed("The node parts could not be written", flushed);
        }
    }
    if (!pWriter)
        pWriter = &plainWriter;
    pWriter->beginPart(0);

    VdbHandle rc = m_pData->record_control;
    bool bStream = (m_pData->filter_options & FO_STREAM) != 0;
    CStringBuffer strUrl(256);
    logDebug("vornxmlPut", "Writing URL information.");
    if (getFilterArgument("URL", strUrl)) {
        int dot = strUrl.findReverse('.');
        int sep = lastSeparator(strUrl);
        const char* name = nullptr;
        if (dot >= 0 && sep < 0)
            name = strUrl;
        else if (dot >= 0 && sep >= 0 && dot > sep)
            name = strUrl.getBufferPointer() + sep + 1;
        if (name) {
            logDebug("vornXmlPut", "D_DOCNAME=\"%s\"\n", name);
            pWriter->printField("D_DOCNAME", 1, name);
        }
        if (sep >= 0) {
            CStringBuffer base(256);
            base.set(strUrl.getBufferPointer(), sep);
            if (base.length() > 0 && (base[base.length() - 1] == '/' || base[base.length() - 1] == '\\'))
                base.set(base.getBufferPointer(), base.length() - 1);
            pWriter->printField("D_URLBASE", 1, base);
        }
    } else if ((m_pData->vdb_options & IEOPT_FILENAME) && !bStream && m_pData->buffer) {
        CStringBuffer file(static_cast<const char*>(m_pData->buffer));
        int sep = lastSeparator(file);
        strUrl.set(sep >= 0 ? file.getBufferPointer() + sep + 1 : file.getBufferPointer());
        logDebug("vornXmlPut", "D_DOCNAME=\"%s\"\n", strUrl.getBufferPointer());
        pWriter->printField("D_DOCNAME", 1, strUrl);
        pWriter->printField("D_URLBASE", 1, "");
    } else {
        CStringBuffer stored(256);
        if (hasField("D_DOCNAME", rc)) {
            if (getPhraseValue("D_DOCNAME", 1, stored) == 1 && stored.length() > 0) {
                logInformation("vornXmlPut", "Retaining previous document name \"%s\"\n", stored.getBufferPointer());
            } else {
                logDebug("vornXmlPut", "D_DOCNAME=\"\"\n");
                pWriter->printField("D_DOCNAME", 1, "");
            }
        }
        stored.clear();
        if (hasField("D_URLBASE", rc) && !(getPhraseValue("D_URLBASE", 1, stored) == 1 && stored.length() > 0))
            pWriter->printField("D_URLBASE", 1, "");
    }
    if (hasField("D_URLALIAS", rc)) {
        CStringBuffer stored(256);
        if (!(getPhraseValue("D_URLALIAS", 1, stored) == 1 && stored.length() > 0))
            pWriter->printField("D_URLALIAS", 1, strUrl);
    }

    // Raw text and size.
    long long size = 0;
    if (m_pData->filter_options & (FO_NORAWTEXT | FO_STREAM)) {
        if (bStream) {
            size = 0;
        } else if (m_pData->vdb_options & (IEOPT_FILENAME | IEOPT_FILE)) {
            FILE* fp = (m_pData->vdb_options & IEOPT_FILENAME)
                           ? fopen(static_cast<const char*>(m_pData->buffer), "rb")
                           : static_cast<FILE*>(m_pData->buffer);
            if (fp && fseeko(fp, 0, SEEK_END) == 0)
                size = ftello(fp);
            if (fp && (m_pData->vdb_options & IEOPT_FILENAME))
                fclose(fp);
        } else {
            size = m_pData->buffer_length;
        }
    } else {
        VdbHandle blob = nullptr;
        CFieldInfo* f = CFieldInfo::getFieldInfo("D_XMLDOC", rc);
        bool bField = f && f->getNumber() > 0;
        if (bField && f->getType() == VDB_FT_BLOB && !(VdbSetCursor(&blob, rc, f->getNumber(), 0, 0) & 1)) {
            if (blob)
                VdbDeleteCursor(blob);
            blob = nullptr;
        }
        CRawTextSink sink(*pWriter, blob, bField);
        if (m_pData->vdb_options & IEOPT_MEMORY) {
            const char* p = static_cast<const char*>(m_pData->buffer);
            for (int at = 0; p && at < m_pData->buffer_length; at += kPiece)
                sink.put(p + at, m_pData->buffer_length - at < kPiece ? m_pData->buffer_length - at : kPiece);
        } else if (m_pData->vdb_options & (IEOPT_FILENAME | IEOPT_FILE)) {
            bool bOpened = (m_pData->vdb_options & IEOPT_FILENAME) != 0;
            FILE* fp = bOpened ? fopen(static_cast<const char*>(m_pData->buffer), "rb")
                               : static_cast<FILE*>(m_pData->buffer);
            if (fp) {
                rewind(fp);
                char piece[kPiece];
                size_t n;
                while ((n = fread(piece, 1, sizeof piece, fp)) > 0)
                    sink.put(piece, static_cast<int>(n));
                if (bOpened)
                    fclose(fp);
            }
        }
        if (blob)
            VdbDeleteCursor(blob);
        size = sink.size();
    }
    logDebug("vornXmlPut", "Document size is %lld bytes.\n", size);
    char sizeText[32];
    snprintf(sizeText, sizeof sizeText, "%lld", size);
    pWriter->printField("D_DOCSIZE", 1, sizeText);

    char now[64];
    httpDate(time(nullptr), now, sizeof now);
    setProperty("lastmodified", now);

    VdbSaveStatus();
    updateLinkDb(strUrl);
    VdbLoadStatus(3);

    vxDeleteReader(reader);
    logInformation("vornXmlPut", "Done.\n");
    m_pData->errorcode = VX_OK;
    return VX_OK;
}
