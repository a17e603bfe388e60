// The link filters: relink (parse the current document again, find and
// resolve its links, hand them back as text) and get-links (the targets the
// link database holds for the current document).
#include <stdlib.h>
#include <string.h>

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include "Link.h"
#include "VORNxml.h"
#include "VfxEntityResolver.h"
#include "vornxerces.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// Links of the request are deleted on every way out of the operation.
struct CLinkListGuard {
    CVORNxml& req;
    ~CLinkListGuard() { req.clearLinks(); }
};

void handOver(filter_data* p, CStringBuffer& text)
{
    p->buffer_length = text.length();
    p->buffer = text.detach();
}

} // namespace

int CVORNxml::vornXmlRelink()
{
    openCallLog("vornxmllink.log", "vornXmlRelink");
    loadFieldCatalogue();
    if (!checkFilterData("vornXmlRelink"))
        return VX_FAILED;
    if (!requireXmlDatabase("vornXmlRelink"))
        return VX_FAILED;
    CLinkListGuard linkGuard{*this};

    // The document as the retrieve operation gives it, into memory.
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = m_pData->record_control;
    snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlget");
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    int status = VdbExport(&fd);
    m_pData->vdb_options = IEOPT_MEMORY;
    m_pData->buffer = fd.buffer;
    m_pData->buffer_length = fd.buffer_length;
    if (!(status & 1)) {
        m_pData->errorcode = status;
        setErrorText("%s", fd.errortext[0] ? fd.errortext : "The document could not be exported.");
        logError("vornXmlRelink", status, "%s", m_pData->errortext);
        return status;
    }

    if (initXerces() != 0)
        return m_pData->errorcode;
    XercesDOMParser* parser = createParser();
    // The store reads no external DTD unless it validates; reading the
    // document again must not need more than storing it did.
    parser->setLoadExternalDTD(false);
    struct ParserGuard {
        XercesDOMParser* p;
        ~ParserGuard() { vxDeleteParser(p); }
    } parserGuard{parser};
    DOMDocument* doc = nullptr;
    if (!getDocumentRoot(parser, &doc) || !doc)
        return m_pData->errorcode;

    logDebug("vornXmlRelink", "DOM tree created.");
    scanForLinks(doc, nullptr, false);
    logDebug("vornXmlRelink", "Link scanning complete %d links discovered.\n", static_cast<int>(m_links.size()));
    resolveLinks();
    logDebug("vornXmlRelink", "Link resolution complete.\n");

    CStringBuffer out(1024);
    for (CLink* link : m_links) {
        if (!link || link->recname_from.length() == 0 || link->dbname_from.length() == 0)
            continue;
        if (link->recname_to.length() == 0)
            link->recname_to.set(" ");
        if (link->dbname_to.length() == 0)
            link->dbname_to.set(" ");
        if (out.length() > 0)
            out.append("\n");
        out.append("{FROMDB=");
        out.append(link->dbname_from);
        out.append(",FROMID=");
        out.append(link->recname_from);
        out.append(",FROMURL=");
        out.append(link->url_from);
        out.append(",TODB=");
        out.append(link->dbname_to);
        out.append(",TOID=");
        out.append(link->recname_to);
        out.append(",TOURL=");
        out.append(link->href);
        out.append("}");
    }
    clearLinks();

    // The exported document was ours; the caller gets the link text instead.
    free(m_pData->buffer);
    handOver(m_pData, out);
    logDebug("vornXmlRelink", "Done.");
    m_pData->errorcode = VX_OK;
    return VX_OK;
}

int CVORNxml::vornXmlGetLinks()
{
    openCallLog("vornxmlgetlinks.log", "vornXmlGetLinks");
    if (initXerces() != 0)
        return m_pData ? m_pData->errorcode : VX_FAILED;
    loadFieldCatalogue();
    if (!checkFilterData("vornXmlGetLinks"))
        return VX_FAILED;

    CStringBuffer out(256);
    auto refuse = [&](int code) {
        out.set("0\n");
        handOver(m_pData, out);
        m_pData->errorcode = code;
        return code;
    };
    if (!requireXmlDatabase("vornXmlGetLinks"))
        return refuse(VX_FAILED);
    if (!(m_pData->vdb_options & (IEOPT_MEMORY | EXPORT_ALLOC))) {
        setErrorText("Invalid vdb_options value. Must be IEOPT_MEMORY|EXPORT_ALLOC.");
        logError("vornXmlGetLinks", 0, "Invalid vdb_options value. Must be IEOPT_MEMORY|EXPORT_ALLOC.");
        return refuse(VX_FAILED);
    }
    if (m_strLinkDb.length() == 0) {
        setErrorText("Link database is disabled.");
        return refuse(3);
    }

    char bas[17], fin[17];
    snprintf(bas, sizeof bas, "%-16s", "BAS");
    snprintf(fin, sizeof fin, "%-16s", "FIN");
    getShellSymbol(bas);
    getShellSymbol(fin);
    CStringBuffer identity(256);
    getPhraseValue("D_ID", 1, identity);

    logDebug("vornXmlGetLinks", "Opening link database \"%s\".\n", m_strLinkDb.getBufferPointer());
    VdbSaveStatus();
    int status = executeCCL("%s %s", bas, m_strLinkDb.getBufferPointer());
    if (!(status & 1)) {
        VdbLoadStatus(3);
        logVornError(status, "CVORNxml::vornXmlGetLinks/open link database");
        return refuse(status);
    }
    logDebug("vornXmlGetLinks", "Searching for link record.\n");
    // A document without identity has no link record; neither has one whose
    // identity no search can name exactly.
    CStringBuffer condition(256);
    if (identity.length() == 0 || !vxQuotedCondition("ID", identity, condition) ||
        !(executeCCL("%s %s", fin, condition.getBufferPointer()) & 1)) {
        VdbLoadStatus(3);
        return refuse(VX_OK);
    }

    logDebug("vornXmlGetLinks", "Getting search data.\n");
    int set = 0, records = 0, hits = 0;
    status = VdbGetSearch(&set, &records, &hits);
    if (!(status & 1)) {
        VdbLoadStatus(3);
        m_pData->errorcode = logVornError(status, "CVORNxml::vornXmlGetLinks/VdbGetSearch");
        return m_pData->errorcode;
    }
    if (records < 1) {
        VdbLoadStatus(3);
        return refuse(VX_OK);
    }

    logDebug("vornXmlGetLinks", "Getting link record information\n");
    VdbHandle control = nullptr;
    status = VdbCreateRecordControl(&control);
    if (!(status & 1)) {
        VdbLoadStatus(3);
        m_pData->errorcode = logVornError(status, "CVORNxml::vornXmlGetLinks/VdbCreateRecordControl");
        return m_pData->errorcode;
    }
    int rid = 0;
    char base[64] = "";
    status = VdbGetRecordInSearchRis(control, set, 1, &rid, base);
    if (!(status & 1)) {
        VdbDeleteRecordControl(control);
        VdbLoadStatus(3);
        m_pData->errorcode = logVornError(status, "CVORNxml::vornXmlGetLinks/VdbGetRecordInSearchRis");
        return m_pData->errorcode;
    }

    VdbHandle cursor = nullptr;
    int count = 0;
    if (VdbSetCursor(&cursor, control, 0, 0, 0) & 1) {
        logDebug("vornXmlGetLinks", "Checking number of links.\n");
        VdbPartCount(cursor, &count);
    }
    out.set(count);
    out.append("\n");
    logDebug("vornXmlGetLinks", "%d links found.\n", count);
    static const char* const kFields[] = {"TO_DB", "TO_NAME", "TO_URL"};
    for (int part = 1; part <= count; ++part) {
        for (int f = 0; f < 3; ++f) {
            char value[256];
            int len = 255;
            value[0] = 0;
            if (!(ReadField(control, kFields[f], part, value, &len) & 1))
                value[0] = 0;
            if (f > 0)
                out.append("\t");
            out.append(value);
        }
        out.append("\n");
    }
    if (cursor)
        VdbDeleteCursor(cursor);
    VdbDeleteRecordControl(control);
    VdbLoadStatus(3);
    handOver(m_pData, out);
    logDebug("vornXmlGetLinks", "Done");
    m_pData->errorcode = VX_OK;
    return VX_OK;
}
