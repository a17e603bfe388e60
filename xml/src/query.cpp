// The XPath operations: a query answered as a result element naming the
// kernel set, or as a fragment set; an update that replaces the values of the
// text and attribute nodes an expression selects.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>

#include <memory>

#include "VORNxml.h"
#include "VXParserMain.h"
#include "VXProcessorMain.h"
#include "VfxMemory.h"
#include "VfxPlatform.h"
#include "XPathException.h"
#include "filexmit.h"
#include "query.h"

namespace {

const char* kNotUnicode = "The VORNxml XPath functionality must be used from within a Unicode session.";

// The exception's message into errortext (terminated within its room); the
// exception is deleted.
void takeMessage(XPathException* e, filter_data* p, CStringBuffer& text)
{
    char buf[VX_ERRORTEXT_SIZE];
    e->GetErrorMessage(buf, sizeof buf);
    buf[sizeof buf - 1] = 0;
    delete e;
    text.set(buf);
    if (p) {
        memcpy(p->errortext, buf, sizeof buf);
        p->errortext[VX_ERRORTEXT_SIZE - 1] = 0;
    }
}

} // namespace

int CVORNxml::vornXmlQuery()
{
    setLogFileName("vornxmlquery", true, false, true);
    logInformation("vornXmlQuery", "Entered.\n");
    if (!checkFilterData("vornXmlQuery"))
        return VX_FAILED;
    filter_data* p = m_pData;
    p->errorcode = VX_FAILED;

    if (!isUnicodeSession()) {
        setErrorText("%s", kNotUnicode);
        logError("vornXmlQuery", 0, "%s", kNotUnicode);
        return VX_FAILED;
    }

    CStringBuffer xpathQuery, searchSet, fileUrl, fragmentQuery, arg;
    bool bQuery = getFilterArgument("XPATHQUERY", xpathQuery);
    int nSearchSet = -1;
    if (bQuery) {
        logInformation("vornXmlQuery", "XPATHQUERY=\"%s\"", (const char*)xpathQuery);
    } else if (getFilterArgument("SEARCHSET", searchSet)) {
        nSearchSet = atoi(searchSet);
        logInformation("vornXmlQuery", "SEARCHSET=\"%s\" (#%d)", (const char*)searchSet, nSearchSet);
    } else {
        setErrorText("Either SEARCHSET or XPATHQUERY must be specified.");
        logError("vornXmlQuery", 0, "%s", p->errortext);
        return VX_FAILED;
    }

    bool bStream = (p->filter_options & FO_STREAM) != 0;
    if (bStream) {
        if (!getFilterArgument("FILEURL", fileUrl)) {
            setErrorText("Required argument FILEURL missing for stream export.");
            logError("vornXmlQuery", 0, "%s", p->errortext);
            return VX_FAILED;
        }
        logInformation("vornXmlQuery", "Using stream URL %s", (const char*)fileUrl);
    }

    // Checked before the output file is opened, so a refused call leaves an
    // existing file as it was.
    bool bFragments = getFilterArgument("XPATHFRAGMENTS", fragmentQuery);
    if (!bFragments && !bQuery) {
        setErrorText("XPATHFRAGMENTS was not specified - required when SEARCHSET is specified.");
        logError("vornXmlQuery", 0, "%s", p->errortext);
        return VX_FAILED;
    }

    FILE* fp = nullptr;
    bool bOpened = false;
    if (p->vdb_options & IEOPT_FILE) {
        logInformation("vornXmlQuery", "Using provided file pointer.");
        fp = static_cast<FILE*>(p->buffer);
    } else if (p->vdb_options & IEOPT_FILENAME) {
        const char* name = p->buffer ? static_cast<const char*>(p->buffer) : "";
        logInformation("vornXmlQuery", "Opening named file \"%s\".", name);
        fp = fopen(name, "wb");
        if (!fp) {
            setErrorText("Could not open file \"%s\".", name);
            logError("vornXmlQuery", 0, "%s", p->errortext);
            return VX_FAILED;
        }
        bOpened = true;
    }
    // Every later return closes a file opened here.
    std::unique_ptr<FILE, int (*)(FILE*)> opened(bOpened ? fp : nullptr, fclose);

    int nFrom = 0, nTo = 0;
    if (bFragments) {
        logInformation("vornXmlQuery", "XPATHFRAGMENTS=\"%s\"", (const char*)fragmentQuery);
        if (getFilterArgument("FROM", arg))
            nFrom = atoi(arg);
        if (getFilterArgument("TO", arg))
            nTo = atoi(arg);
        if (nFrom > 0)
            logInformation("vornXmlQuery", "FRAGMENTS FROM RIS=\"%d\"", nFrom);
        if (nTo > 0)
            logInformation("vornXmlQuery", "FRAGMENTS TO RIS=\"%d\"", nTo);
    }
    bool bHighlight = (p->filter_options & FO_HIGHLIGHT) != 0;
    logInformation("vornXmlQuery", "Highlighting=%s", bHighlight ? "ON" : "OFF");

    int nRecords = 0;
    if (bQuery) {
        VXProcessorMain xpath(getLogger());
        xpath.Begin();
        try {
            SearchSet* result = xpath.Query(xpathQuery);
            xpath.End();
            if (result) {
                nSearchSet = result->GetNumber();
                nRecords = result->GetRecordCount();
            }
        } catch (XPathException* e) {
            CStringBuffer text;
            takeMessage(e, p, text);
            logError("processRecord/xpath.Query", 0, "%s", (const char*)text);
            xpath.End();
            p->errorcode = VX_FAILED;
            return VX_FAILED;
        }
    } else if (nSearchSet >= 0) {
        int records = 0, hits = 0;
        int status = VdbGetSearch(&nSearchSet, &records, &hits);
        // A set that does not exist is an error, not an empty answer.
        if (!(status & 1))
            return vornError(status, "vornXmlQuery/VdbGetSearch");
        nRecords = records;
    }

    p->errorcode = VX_OK;
    CStringBuffer out;
    if (bFragments) {
        try {
            // The same expression within its own result finds the hits the
            // query found: they are taken as they are.
            m_nFragmentHitsSet =
                bQuery && nSearchSet > 0 && strcmp(xpathQuery, fragmentQuery) == 0 ? nSearchSet : -1;
            getFragments(nSearchSet, nRecords, fragmentQuery, out, nFrom, nTo, bHighlight);
        } catch (XPathException* e) {
            // A fragment expression that cannot be answered fails the call:
            // an empty fragment set would read as "nothing found".
            CStringBuffer text;
            takeMessage(e, p, text);
            logError("processRecord/getFragments", 0, "%s", (const char*)text);
            p->errorcode = VX_FAILED;
            return VX_FAILED;
        }
    } else {
        out.format("<vornxml:QUERYRESULT xmlns:vornxml=\"%s\" vornxml:SEARCHSET=\"%d\" vornxml:RECORDCOUNT=\"%d\" />",
                   VORNXML_NAMESPACE_URI, nSearchSet, nRecords);
    }

    if (bStream) {
        int sock = 0;
        // The announced length is that of the text: the reader stops there.
        int r = VfxFTMWriteOpenEx(&sock, fileUrl, out.length());
        if (r != 0) {
            char reason[512];
            VfxGetErrorText(r, reason, sizeof reason);
            setErrorText("Error E%04d opening stream: %s", r, reason);
            logError("processRecord", r, "%s", p->errortext);
            p->errorcode = VX_FAILED;
            return VX_FAILED;
        }
        VfxFTMWriteBlock(sock, out.getBufferPointer(), out.length());
        VfxFTMWriteBlock(sock, FTM_TERMINATOR, 6);
        struct timeval wait = {30, 0};
        int err = 0;
        VfxSocketReadSelect(sock, &wait, &err);
        VfxFTMWriteClose(sock);
    } else if (fp && !(p->vdb_options & IEOPT_MEMORY)) {
        if (out.length() > 0)
            fwrite(out.getBufferPointer(), 1, static_cast<size_t>(out.length()), fp);
    }
    opened.reset();
    if (p->vdb_options & IEOPT_MEMORY) {
        p->buffer_length = out.length();
        p->buffer = out.detach();
    }
    logInformation("vornXmlQuery", "Done");
    return p->errorcode;
}

int CVORNxml::vornXmlUpdate()
{
    setLogFileName("vornxmlupdate", true, false, true);
    logInformation("vornXmlUpdate", "Entered.\n");
    if (!checkFilterData("vornXmlUpdate"))
        return VX_FAILED;
    filter_data* p = m_pData;
    p->errorcode = VX_FAILED;
    if (!isUnicodeSession()) {
        setErrorText("%s", kNotUnicode);
        logError("vornXmlUpdate", 0, "%s", kNotUnicode);
        return VX_FAILED;
    }

    CStringBuffer xpathQuery, searchSet;
    if (!getFilterArgument("XPATHQUERY", xpathQuery)) {
        setErrorText("The XPATHQUERY option is required.");
        logError("vornXmlUpdate", 0, "%s", p->errortext);
        return VX_FAILED;
    }
    logInformation("vornXmlUpdate", "XPATHQUERY=\"%s\"", (const char*)xpathQuery);
    int nSearchSet = -1;
    if (getFilterArgument("SEARCHSET", searchSet)) {
        nSearchSet = atoi(searchSet);
        logInformation("vornXmlUpdate", "SEARCHSET=\"%s\" (#%d)", (const char*)searchSet, nSearchSet);
    }

    if (!p->buffer) {
        setErrorText("No replacement value specified.");
        logError("vornXmlUpdate", 0, "%s", p->errortext);
        return VX_FAILED;
    }
    // The value ends at its terminator, but never beyond the length the
    // caller gave for the buffer.
    CStringBuffer value;
    const char* raw = static_cast<const char*>(p->buffer);
    if (p->buffer_length > 0)
        value.set(raw, static_cast<int>(strnlen(raw, static_cast<size_t>(p->buffer_length))));
    else
        value.set(raw);

    int nResult = 0, nRecords = 0;
    {
        std::unique_ptr<XPathStatement> tree;
        VXProcessorMain xpath(getLogger());
        xpath.Begin();
        try {
            SearchSet* result = nullptr;
            if (nSearchSet < 0) {
                result = xpath.Query(xpathQuery);
            } else {
                VXParserMain parser;
                CStringBuffer msg;
                tree.reset(parser.Parse(xpathQuery, &msg));
                if (!tree)
                    throw new XPathException(msg);
                xpath.ProcessNode(tree.get(), nSearchSet);
                result = xpath.ExecuteAll();
            }
            xpath.End();
            if (!result) {
                setErrorText("Internal error - unable to obtain XPath search set for update.");
                logError("vornXmlUpdate/xpath.Query", 0, "%s", p->errortext);
                return VX_FAILED;
            }
            nResult = result->GetNumber();
            nRecords = result->GetRecordCount();
        } catch (XPathException* e) {
            CStringBuffer text;
            takeMessage(e, p, text);
            logError("vornXmlUpdate/xpath.Query", 0, "%s", (const char*)text);
            xpath.End();
            p->errorcode = VX_FAILED;
            return VX_FAILED;
        }
    }

    p->errorcode = VX_OK;
    for (int i = 1; i <= nRecords; ++i) {
        p->record_control = nullptr;
        if (!(VdbCreateRecordControl(&p->record_control) & 1)) {
            p->record_control = nullptr;
            break;
        }
        int rid = 0;
        char base[64];
        if (VdbGetRecordInSearchRis(p->record_control, nResult, i, &rid, base) & 1) {
            int* parts = nullptr;
            int n = SearchSet::GetHitTuplesFromRecord(p->record_control, &parts);
            for (int k = 0; k < n; ++k) {
                CStringBuffer type;
                getPhraseValue("N_TYPE", parts[k], type);
                if (type.compareNoCase("TEXT") != 0 && type.compareNoCase("ATTRIBUTE") != 0) {
                    logWarning("vornXmlUpdate", 0, "Found \"%s\"-node in hits - not eligible for update.",
                               (const char*)type);
                    continue;
                }
                int status = setFieldValue("N_TVALUE", parts[k], value, -1);
                if (!(status & 1)) {
                    logError("CVORNxml::vornXmlUpdate/setFieldValue", status,
                             "Unable to update value for \"%s\"-node #%d.", (const char*)type, parts[k]);
                    break;
                }
            }
            VfxMemFree(parts);
        }
        VdbDeleteRecordControl(p->record_control);
    }
    p->record_control = nullptr;
    logInformation("vornXmlUpdate", "Done");
    return p->errorcode;
}
