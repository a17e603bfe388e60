// vxlinker: resolves the links of every document whose link record waits
// for it (CHECKTHIS=1) through the relink filter, writes the targets into
// the link records and deletes link records whose document is gone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "LinkData.h"
#include "LinkTool.h"
#include "ProgArgument.h"

namespace {

void usage()
{
    printf("USAGE: vxlinker -u username -p password [options]\n\n");
    printf("Options are:\n");
    printf("\t-h\t\tShow usage help (this text).\n");
    printf("\t-v\t\tVerbose.\n");
    printf("\t-i\t\tIgnore XML_NOLINKS/XML_LINKS setting.\n");
    printf("\t-b <dbname>\tUse this database as link database.\n");
}

std::string optionText(char letter, const char* pszDefault)
{
    CProgArgument* a = CProgArgument::getOption(letter);
    if (!a)
        return pszDefault;
    std::string text = a->getText();
    delete a;
    return text;
}

// 1: links enabled; 0: the run stops (the message is printed).
int checkConfiguration()
{
    const char* links = QueryRCS("XML_LINKS", 7);
    const char* noLinks = QueryRCS("XML_NOLINKS", 7);
    std::string strLinks = links && *links ? links : "0";
    std::string strNoLinks = noLinks && *noLinks ? noLinks : (strLinks == "1" ? "0" : "1");
    if (strLinks == strNoLinks) {
        printf("Conflicting XML_LINKS and XML_NOLINKS settings in VORNrcs.\nAborting!\n");
        return 0;
    }
    if (strNoLinks == "1" || strLinks == "0") {
        printf("Link support is disabled.\nAborting!\n");
        return 0;
    }
    return 1;
}

struct LinkRecord {
    std::string id;
    std::string db;
    std::string url;
};

struct Collected {
    std::string fromDb, fromId, fromUrl, toDb, toId, toUrl;
};

std::string linkDatabaseName()
{
    if (CProgArgument::hasOption('b'))
        return optionText('b', "");
    const char* db = QueryRCS("XML_LINK_DB", 7);
    return db ? db : "XML_LINK_DB";
}

// Deletes the link record of a document that no longer exists.
void deleteZombie(const std::string& linkDb, const std::string& id, const char* bas, const char* fin,
                  const char* del, bool bVerbose)
{
    executeCCL("%s %s", bas, linkDb.c_str());
    executeCCL("%s S=0", del);
    std::string cond;
    int status = quotedCondition("ID", id.c_str(), cond) ? executeCCL("%s %s", fin, cond.c_str()) : VDB_BADARG;
    int set = 0, records = 0, hits = 0;
    if ((status & 1) && (VdbGetSearch(&set, &records, &hits) & 1) && records > 0) {
        VdbHandle control = nullptr;
        int rid = 0;
        char base[64] = "";
        status = VdbCreateRecordControl(&control);
        if (status & 1)
            status = VdbGetRecordInSearchRis(control, set, 1, &rid, base);
        if (status & 1)
            status = VdbSetBase(control, base, 2);
        if (status & 1)
            status = VdbDeleteRecordInBase(control, &rid);
        if (control)
            VdbDeleteRecordControl(control);
        if (status & 1)
            printf("Zombie link entry '%s' deleted.\n", id.c_str());
        else
            printf("Could not delete: %s\n", kernelMessage(status).c_str());
    } else {
        printf("Link item not found: %s\n", (status & 1) ? id.c_str() : kernelMessage(status).c_str());
    }
    executeCCL("%s S=0", del);
    if (bVerbose)
        printf("\n");
}

// Writes one resolved link into the source document's link record.
void updateLinkRecord(const Collected& link, const char* fin, const char* del)
{
    std::string cond;
    if (!quotedCondition("ID", link.fromId.c_str(), cond) || !(executeCCL("%s %s", fin, cond.c_str()) & 1))
        return;
    VdbHandle control = nullptr;
    int status = VdbCreateRecordControl(&control);
    if (!(status & 1))
        errorExit(status);
    printf("Updating %s (ID:%s)\n", link.fromUrl.c_str(), link.fromId.c_str());
    int set = 0, records = 0, hits = 0;
    VdbGetSearch(&set, &records, &hits);
    if (records < 1) {
        executeCCL("%s S=0", del);
        VdbDeleteRecordControl(control);
        return;
    }
    int rid = 0;
    char base[64] = "";
    status = VdbGetRecordInSearchRis(control, set, 1, &rid, base);
    if (!(status & 1))
        errorExit(status);
    VdbSetBase(control, base, 2);

    // The mark goes before a target part is added: the kernel keeps a stale
    // index entry of the old mark when a part is added first.
    status = writeField(control, "CHECKTHIS", 0, 0, "0");
    if (!(status & 1)) {
        printf("Could not write to field CHECKTHIS.\n");
        errorExit(status);
    }

    if (!link.toId.empty()) {
        VdbHandle cursor = nullptr;
        int parts = 0;
        if (VdbSetCursor(&cursor, control, 0, 0, 0) & 1)
            VdbPartCount(cursor, &parts);
        if (cursor)
            VdbDeleteCursor(cursor);
        int match = 0;
        for (int part = 1; part <= parts && !match; ++part) {
            // Room for any identity: a cut one would never match again and
            // each run would add the same target once more.
            char name[256];
            int len = static_cast<int>(sizeof name);
            if ((readField(control, "TO_NAME", part, 0, name, &len) & 1) &&
                strcasecmp(name, link.toId.c_str()) == 0)
                match = part;
        }
        if (match) {
            writeField(control, "TO_DB", match, 0, link.toDb.c_str());
            writeField(control, "TO_URL", match, 0, link.toUrl.c_str());
        } else {
            writeField(control, "TO_NAME", parts + 1, 0, link.toId.c_str());
            writeField(control, "TO_DB", parts + 1, 0, link.toDb.c_str());
            writeField(control, "TO_URL", parts + 1, 0, link.toUrl.c_str());
        }
    }
    int stored = 0;
    status = VdbPutRecord(control, &stored);
    if (status & 1) {
        if (!link.toId.empty())
            printf("Link established to %s (ID:%s)\n\n", link.toUrl.c_str(), link.toId.c_str());
    } else {
        printf("VORN: %s\n", kernelMessage(status).c_str());
    }
    VdbDeleteRecordControl(control);
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CProgArgument::init(argc, argv, "bup");
    if (CProgArgument::hasOption('h')) {
        usage();
        return 1;
    }
    bool bVerbose = CProgArgument::hasOption('v');
    if (!CProgArgument::hasOption('i') && !checkConfiguration())
        return 0;

    std::string user = optionText('u', g_szStdUser);
    std::string password = optionText('p', g_szStdPass);
    int status = StartVORNSession(user.c_str(), password.c_str());
    if (status != 1) {
        printf("Failed to start session.\n");
        errorExit(status);
    }

    char bas[17], fin[17], clo[17], del[17];
    shellSymbol("BAS", bas);
    shellSymbol("FIN", fin);
    shellSymbol("CLO", clo);
    shellSymbol("DEL", del);
    std::string linkDb = linkDatabaseName();

    VdbSaveStatus();
    status = executeCCL("%s %s", bas, linkDb.c_str());
    if (!(status & 1)) {
        printf("Could not open link database.\n");
        errorExit(status);
    }
    executeCCL("%s S=0", del);
    status = executeCCL("%s CHECKTHIS=1", fin);
    if (!(status & 1)) {
        printf("FIND command failed.\n");
        errorExit(status);
    }

    int set = 0, records = 0, hits = 0;
    VdbGetSearch(&set, &records, &hits);
    printf("%s: %d unindexed items found.\n", linkDb.c_str(), records);

    // The marked records are read before any of them is processed: the
    // searches made for each document replace the session's sets.
    std::vector<LinkRecord> marked;
    for (int pos = records; pos >= 1; --pos) {
        VdbHandle control = nullptr;
        status = VdbCreateRecordControl(&control);
        if (!(status & 1)) {
            printf("Could not create record control.\n");
            errorExit(status);
        }
        int rid = 0;
        char base[64] = "";
        status = VdbGetRecordInSearchRis(control, set, pos, &rid, base);
        if (!(status & 1)) {
            printf("Error at line %d: Could not retrieve found record.\n", __LINE__);
            VdbDeleteRecordControl(control);
            errorExit(status);
        }
        char id[256], db[256];
        int len = static_cast<int>(sizeof id);
        readField(control, "ID", 0, 0, id, &len);
        len = static_cast<int>(sizeof db);
        readField(control, "DB", 0, 0, db, &len);
        char url[256];
        len = static_cast<int>(sizeof url);
        readField(control, "URL", 0, 0, url, &len);
        VdbDeleteRecordControl(control);
        marked.push_back({id, db, url});
    }

    std::vector<Collected> collected;
    for (const LinkRecord& rec : marked) {
        if (rec.id.empty() || rec.db.empty()) {
            printf("Corrupt link record.\n");
            continue;
        }
        printf("\nProcessing '%s'...\n", rec.id.c_str());

        // Gone means: its database does not exist or cannot hold documents,
        // or the document is not in it. A search that fails for another
        // reason proves nothing, and nothing is deleted on it.
        bool bZombie = false;
        int found = 0;
        int docSet = 0;
        std::string cond;
        status = executeCCL("%s %s", bas, rec.db.c_str());
        if (!(status & 1)) {
            char info[256];
            int flag = 0;
            bZombie = VdbBaseInfo(rec.db.c_str(), 1, info, &flag) == VDB_NOBASE;
        } else if (!quotedCondition("D_ID", rec.id.c_str(), cond)) {
            status = VDB_BADARG;
        } else {
            executeCCL("%s S=0", del);
            status = executeCCL("%s %s", fin, cond.c_str());
            if (status == VDB_BADFIELD) {
                bZombie = true;
            } else if (status & 1) {
                int docHits = 0;
                VdbGetSearch(&docSet, &found, &docHits);
                // An empty search is checked once more by record name.
                bZombie = found < 1 && !documentExists(rec.db.c_str(), rec.id.c_str());
            }
        }
        if (bZombie) {
            deleteZombie(linkDb, rec.id, bas, fin, del, bVerbose);
            continue;
        }
        if (!(status & 1) || found < 1) {
            if (status & 1)
                printf("Document '%s' is in %s but its search found nothing; skipped.\n", rec.id.c_str(),
                       rec.db.c_str());
            else
                printf("Could not look up '%s' in %s: %s\n", rec.id.c_str(), rec.db.c_str(),
                       kernelMessage(status).c_str());
            executeCCL("%s S=0", del);
            continue;
        }

        filter_data fd;
        memset(&fd, 0, sizeof fd);
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlrelink");
        status = VdbCreateRecordControl(&fd.record_control);
        if (!(status & 1)) {
            printf("Could not create record control.\n");
            errorExit(status);
        }
        int rid = 0;
        char base[64] = "";
        status = VdbGetRecordInSearchRis(fd.record_control, docSet, 1, &rid, base);
        if (!(status & 1)) {
            printf("Error at line %d: Could not retrieve found record.\n", __LINE__);
            VdbDeleteRecordControl(fd.record_control);
            errorExit(status);
        }
        VdbSaveStatus();
        status = VdbExport(&fd);
        VdbLoadStatus(3);
        if (status & 1) {
            if (bVerbose)
                printf("RELINK INFO:\n------------\n");
            bool bOwn = false;
            int n = CLinkData::init(static_cast<const char*>(fd.buffer), fd.buffer ? fd.buffer_length : 0);
            int shown = 0;
            for (int i = 0; i < n; ++i) {
                CLinkData* d = CLinkData::get(i);
                if (strcasecmp(d->strDocIDFrom.getBufferPointer(), rec.id.c_str()) == 0)
                    bOwn = true;
                if (d->strDatabaseFrom.length() == 0)
                    continue;
                collected.push_back({d->strDatabaseFrom.getBufferPointer(), d->strDocIDFrom.getBufferPointer(),
                                     d->strUrlFrom.getBufferPointer(), d->strDatabaseTo.getBufferPointer(),
                                     d->strDocIDTo.getBufferPointer(), d->strUrlTo.getBufferPointer()});
                if (bVerbose) {
                    printf("LINK #%d\n", ++shown);
                    printf("\tFROMDB.: %s\n", d->strDatabaseFrom.getBufferPointer());
                    printf("\tFROMID.: %s\n", d->strDocIDFrom.getBufferPointer());
                    printf("\tFROMURL: %s\n", d->strUrlFrom.getBufferPointer());
                    printf("\tTODB...: %s\n", d->strDatabaseTo.getBufferPointer());
                    printf("\tTOID...: %s\n", d->strDocIDTo.getBufferPointer());
                    printf("\tTOURL..: %s\n", d->strUrlTo.getBufferPointer());
                }
            }
            // The document's own link record is brought up to date even
            // when none of its links starts from it (its URL only names it
            // in the progress line).
            if (!bOwn)
                collected.push_back({rec.db, rec.id, rec.url, "", "", ""});
            CLinkData::clear(true);
        } else {
            printf("EXPORT filter error #%d: %s\n", fd.errorcode, fd.errortext);
        }
        free(fd.buffer);
        VdbDeleteRecordControl(fd.record_control);
        executeCCL("%s S=0", del);
    }

    VdbBatchLoadIndex(2, linkDb.c_str(), "");
    VdbLoadStatus(3);

    if (!collected.empty()) {
        executeCCL("%s %s", bas, linkDb.c_str());
        executeCCL("%s S=0", del);
        printf("Updating link database...\n");
        for (const Collected& link : collected)
            updateLinkRecord(link, fin, del);
        VdbBatchLoadIndex(2, linkDb.c_str(), "");
    }
    VdbStopVorn(0);
    return 1;
}
