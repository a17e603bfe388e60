// Link resolution: the links found in a document become pairs of (database,
// identity) for source and target, looked up in the link database first and
// then in every XML database.
#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "Link.h"
#include "VORNxml.h"
#include "VfxEntityResolver.h"
#include "VfxStrings.h"
#include "XmlBaseList.h"

namespace {

bool isType(const CLink* link, const char* type)
{
    return VfxCompareNoCase(link->type.getBufferPointer(), type) == 0;
}

// A command word in the session's own spelling.
void commandWord(CVORNxml* req, const char* canonical, char out[17])
{
    snprintf(out, 17, "%-16s", canonical);
    req->getShellSymbol(out);
}

} // namespace

bool CVORNxml::isSelfishLink(const CLink* pLink) const
{
    return pLink && pLink->href.length() > 0 && pLink->href[0] == '#';
}

void CVORNxml::resolveLinks()
{
    logDebug("resolveLinks", "Entered.\n");

    // The source of every link the document states is the document itself.
    CStringBuffer recnameFrom(256), dbnameFrom(64), urlFrom(256);
    getPhraseValue("D_ID", 1, recnameFrom);
    if (m_pData) {
        char db[64] = "";
        int len = static_cast<int>(sizeof db);
        if (VdbRecordInfo(m_pData->record_control, 2, db, &len) & 1)
            dbnameFrom.set(db);
    }
    getPhraseValue("D_URLALIAS", 1, urlFrom);

    CLinkVector group, result;
    // One extended link: each arc whose from and to name locators becomes a
    // simple link between the two locators' documents.
    auto flush = [&](bool bTriggered) {
        CLinkVector arcs;
        for (CLink* member : group)
            if (isType(member, "arc"))
                arcs.push_back(member);
        for (CLink* arc : arcs) {
            CLink* fromLocator = nullptr;
            CLink* toLocator = nullptr;
            for (CLink* member : group) {
                if (!isType(member, "locator"))
                    continue;
                if (member->label == arc->from)
                    fromLocator = member;
                else if (member->label == arc->to)
                    toLocator = member;
            }
            if (!fromLocator || !toLocator)
                continue;
            if (bTriggered)
                logInformation("resolveLinks", "Resolving extended link from %s to %s\n",
                               fromLocator->href.getBufferPointer(), toLocator->href.getBufferPointer());
            else
                logDebug("resolveLinks", "Resolving extended link from %s to %s\n",
                         fromLocator->href.getBufferPointer(), toLocator->href.getBufferPointer());
            auto* link = new CLink();
            link->type.set("simple");
            findDocument(fromLocator->href, link->recname_from, link->dbname_from);
            findDocument(toLocator->href, link->recname_to, link->dbname_to);
            link->href.set(toLocator->href);
            link->url_from.set(fromLocator->href);
            result.push_back(link);
        }
        for (CLink* member : group)
            delete member;
        group.clear();
    };

    for (CLink* link : m_links) {
        if (!link)
            continue;
        link->recname_from.set(recnameFrom);
        link->dbname_from.set(dbnameFrom);
        link->url_from.set(urlFrom);
        if (!group.empty() && (isType(link, "xinclude") || isType(link, "simple") || isType(link, "extended")))
            flush(true);
        if (isType(link, "xinclude") || isType(link, "simple") || isType(link, "dtd") || isType(link, "stylesheet")) {
            logDebug("resolveLinks", "Resolving link from %s,%s\n", link->dbname_from.getBufferPointer(),
                     link->recname_from.getBufferPointer());
            if (isSelfishLink(link)) {
                link->recname_to.set(link->recname_from);
                link->dbname_to.set(link->dbname_from);
            } else {
                findDocument(link->href, link->recname_to, link->dbname_to);
            }
            result.push_back(link);
        } else if (isType(link, "extended") || isType(link, "locator") || isType(link, "arc") ||
                   isType(link, "resource") || isType(link, "title")) {
            group.push_back(link);
        } else {
            delete link;
        }
    }
    if (!group.empty())
        flush(false);
    m_links.swap(result);
    logDebug("resolveLinks", "Done");
}

namespace {

// The names of the XML databases among the client's databases, in the order
// the base listing gives them. Returns the status of the listing command.
int listXmlDatabases(CVORNxml* req, std::vector<std::string>& names)
{
    char sho[17], bas[17], lis[17], scf[17];
    commandWord(req, "SHO", sho);
    commandWord(req, "BAS", bas);
    commandWord(req, "LIS", lis);
    commandWord(req, "SCF", scf);
    req->logDebug("findDocument", "Scanning XML databases...\n");
    int status = vxListXmlDatabases(
        sho, bas, lis, scf, [req](const char* ccl) { return req->executeCCL("%s", ccl); }, names);
    if (!(status & 1))
        req->logVornError(status, "VORNxml::findDocument/show base list");
    return status;
}

// Loads the first record of the last search and reads the fields that name
// it. False when the search found nothing.
bool readFirstHit(CVORNxml* req, const char* pszDbField, const char* pszIdField, CStringBuffer& strIdentity,
                  CStringBuffer& strDatabase)
{
    int set = 0, records = 0, hits = 0;
    if (!(VdbGetSearch(&set, &records, &hits) & 1) || records < 1)
        return false;
    VdbHandle control = nullptr;
    if (!(VdbCreateRecordControl(&control) & 1))
        return false;
    int rid = 0;
    char base[64] = "";
    if (VdbGetRecordInSearchRis(control, set, 1, &rid, base) & 1) {
        char value[257];
        int len = 0;
        if (pszDbField) {
            len = 64;
            if (req->ReadField(control, pszDbField, 0, value, &len) & 1)
                strDatabase.set(value);
        } else {
            strDatabase.set(base);
        }
        len = static_cast<int>(sizeof value);
        if (req->ReadField(control, pszIdField, 0, value, &len) & 1) {
            strIdentity.set(value);
            req->logDebug("findDocument", "Document ID is \"%s\"\n", value);
        }
    }
    VdbDeleteRecordControl(control);
    return true;
}

} // namespace

int CVORNxml::findDocument(const char* pszHref, CStringBuffer& strIdentity, CStringBuffer& strDatabase)
{
    logDebug("findDocument", "Entered");
    std::string url = pszHref ? pszHref : "";
    size_t hash = url.find('#');
    if (hash != std::string::npos)
        url.erase(hash);

    char bas[17], fin[17], del[17], clo[17];
    commandWord(this, "BAS", bas);
    commandWord(this, "FIN", fin);
    commandWord(this, "DEL", del);
    commandWord(this, "CLO", clo);

    // A URL no quoting can carry exactly is looked up nowhere: a cut or
    // misquoted search could name another document.
    CStringBuffer byUrl(256), byAlias(256);
    bool bQuotable = vxQuotedCondition("URL", url.c_str(), byUrl) &&
                     vxQuotedCondition("D_URLALIAS", url.c_str(), byAlias);
    if (!bQuotable)
        logWarning("findDocument", 0, "No search can name the URL \"%s\".\n", url.c_str());

    VdbSaveStatus();
    bool bFound = false;
    if (bQuotable && m_strLinkDb.length() > 0) {
        int status = executeCCL("%s %s", bas, m_strLinkDb.getBufferPointer());
        if (!(status & 1)) {
            logVornError(status, "VORNxml::findDocument/open database");
        } else {
            executeCCL("%s S=0", del);
            if (executeCCL("%s %s", fin, byUrl.getBufferPointer()) & 1) {
                readFirstHit(this, "DB", "ID", strIdentity, strDatabase);
                executeCCL("%s S=0", del);
            }
            bFound = strIdentity.length() > 0 && strDatabase.length() > 0;
            logDebug("findDocument", "Document %sfound via link data in database %s.\n", bFound ? "" : "not ",
                     strDatabase.getBufferPointer());
        }
    }

    if (bQuotable && !bFound) {
        std::vector<std::string> databases;
        if (listXmlDatabases(this, databases) & 1) {
            for (const std::string& db : databases) {
                if (executeCCL("%s %s", bas, db.c_str()) & 1) {
                    executeCCL("%s S=0", del);
                    if (executeCCL("%s %s", fin, byAlias.getBufferPointer()) & 1) {
                        readFirstHit(this, nullptr, "D_ID", strIdentity, strDatabase);
                        executeCCL("%s S=0", del);
                    }
                }
                bFound = strIdentity.length() > 0 && strDatabase.length() > 0;
                if (bFound)
                    break;
            }
            if (bFound)
                logDebug("findDocument", "Document found in database %s.\n", strDatabase.getBufferPointer());
            else
                logDebug("findDocument", "Document not found.\n");
        }
    }
    VdbLoadStatus(3);
    logDebug("findDocument", "Done");
    return 0;
}
