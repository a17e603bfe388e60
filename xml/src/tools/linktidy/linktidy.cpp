// linktidy: keeps the link database in step with the XML databases. "m"
// writes the missing link records of one database, "c" deletes the link
// records whose document no longer exists.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "LinkTool.h"
#include "ProgArgument.h"
#include "StringBuffer.h"
#include "VfxPtrList.h"

namespace {

void usage()
{
    printf("USAGE: linktidy <command> [options]\n\n");
    printf("Commands are:\n");
    printf("\tm <dbname>\tRefresh link database entries for named XML database.\n");
    printf("\tc         \tClean up link database.\n\n");
    printf("Options are:\n");
    printf("\t-h\t\tShow usage help (this text).\n");
    printf("\t-i\t\tIgnore XML_NOLINKS/XML_LINKS setting.\n");
    printf("\t-u <usr>\tUser name.\n");
    printf("\t-p <pwd>\tPassword.\n");
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

std::string linkDatabaseName()
{
    if (CProgArgument::hasOption('b'))
        return optionText('b', "");
    const char* db = QueryRCS("XML_LINK_DB", 7);
    return db ? db : "XML_LINK_DB";
}

// 1: links enabled; 0: the run stops (the message is printed).
int checkConfiguration()
{
    const char* links = QueryRCS("XML_LINKS", 7);
    const char* noLinks = QueryRCS("XML_NOLINKS", 7);
    bool bEnabled = false;
    if (links && noLinks) {
        if (strcmp(links, noLinks) == 0) {
            printf("Conflicting XML_LINKS and XML_NOLINKS settings in VORNrcs.\nAborting!\n");
            return 0;
        }
        bEnabled = strcmp(links, "1") == 0;
    } else if (noLinks) {
        bEnabled = strcmp(noLinks, "1") != 0;
    } else if (links) {
        bEnabled = strcmp(links, "1") == 0;
    }
    if (!bEnabled) {
        printf("Link support is disabled.\nAborting!\n");
        return 0;
    }
    return 1;
}

// Reads the records of a set by position before any of them is changed, so
// that deleting one cannot move the others.
int recordsOfSet(int nSet, int nRecords, std::vector<int>& rids, std::string& base)
{
    rids.clear();
    for (int pos = 1; pos <= nRecords; ++pos) {
        VdbHandle control = nullptr;
        int status = VdbCreateRecordControl(&control);
        if (!(status & 1))
            return status;
        int rid = 0;
        char name[64] = "";
        status = VdbGetRecordInSearchRis(control, nSet, pos, &rid, name);
        VdbDeleteRecordControl(control);
        if (!(status & 1))
            return status;
        rids.push_back(rid);
        base = name;
    }
    return VDB_OK;
}

} // namespace

int getXmlDatabases(VfxPtrList& list)
{
    for (int i = 0; i < list.size(); ++i)
        delete static_cast<CStringBuffer*>(list.get(i));
    while (list.size() > 0)
        list.remove(list.size() - 1);
    std::vector<std::string> names;
    int status = listXmlDatabases(names);
    if (!(status & 1))
        return status;
    for (const std::string& name : names)
        list.append(new CStringBuffer(name.c_str()));
    return VDB_OK;
}

int updrefresh(const char* pszDatabase)
{
    char bas[17], del[17], fin[17];
    shellSymbol("BAS", bas);
    shellSymbol("DEL", del);
    shellSymbol("FIN", fin);
    std::string linkDb = linkDatabaseName();

    VdbSaveStatus();
    int status = executeCCL("%s %s", bas, pszDatabase);
    do {
        if (!(status & 1))
            break;
        status = executeCCL("DEFINE MAP map%s=ID:%s.ID:D_ID", linkDb.c_str(), linkDb.c_str());
        if (status & 1) {
            executeCCL("%s S=0", del);
            status = executeCCL("%s ALL NOT map%s($)", fin, linkDb.c_str());
            if (!(status & 1))
                break;
        } else if (status != VDB_MAPEMPTY) {
            break;
        }

        int set = 0, records = 0, hits = 0;
        VdbGetSearch(&set, &records, &hits);
        for (int pos = 1; pos <= records; ++pos) {
            VdbHandle control = nullptr;
            status = VdbCreateRecordControl(&control);
            if (!(status & 1))
                break;
            int rid = 0;
            char base[64] = "";
            status = VdbGetRecordInSearchRis(control, set, pos, &rid, base);
            if (!(status & 1)) {
                VdbDeleteRecordControl(control);
                break;
            }
            // Non-XML documents have no links.
            int blobField = 0;
            if (checkField(control, "DAV_NONXMLBLOB", &blobField) & 1) {
                VdbHandle cursor = nullptr;
                int size = 0;
                if (VdbSetCursor(&cursor, control, blobField, 0, 0) & 1)
                    VdbGetBlobSize(cursor, &size);
                if (cursor)
                    VdbDeleteCursor(cursor);
                if (size > 0) {
                    VdbDeleteRecordControl(control);
                    continue;
                }
            }
            char id[256], url[256];
            int len = static_cast<int>(sizeof id);
            readField(control, "D_ID", 0, 0, id, &len);
            if (!id[0]) {
                printf(">> Record %d in %s has an invalid D_ID value.", rid, base);
                VdbDeleteRecordControl(control);
                continue;
            }
            len = static_cast<int>(sizeof url);
            readField(control, "D_URLALIAS", 0, 0, url, &len);

            VdbHandle link = nullptr;
            status = VdbCreateRecordControl(&link);
            if (!(status & 1)) {
                VdbDeleteRecordControl(control);
                break;
            }
            status = VdbSetBase(link, linkDb.c_str(), 2);
            int linkRid = 0;
            // A record written since the map was read (or one the map did
            // not see) is left as it is.
            if ((status & 1) && VdbCheckRecordName(link, &linkRid, id) == VDB_NAMEEXISTS) {
                VdbDeleteRecordControl(link);
                VdbDeleteRecordControl(control);
                continue;
            }
            if (status & 1) {
                writeField(link, "ID", 0, 0, id);
                writeField(link, "CHECKTHIS", 0, 0, "1");
                writeField(link, "DB", 0, 0, base);
                writeField(link, "URL", 0, 0, url);
                linkRid = 0;
                status = VdbPutRecord(link, &linkRid);
            }
            VdbDeleteRecordControl(link);
            VdbDeleteRecordControl(control);
            if (!(status & 1))
                break;
            printf("Link information written for %s\n", id);
        }
        if (!(status & 1))
            break;
        status = VdbBatchLoadIndex(2, linkDb.c_str(), "");
    } while (false);
    VdbLoadStatus(3);
    return status;
}

int updclean()
{
    char bas[17], del[17], fin[17];
    shellSymbol("BAS", bas);
    shellSymbol("DEL", del);
    shellSymbol("FIN", fin);
    std::string linkDb = linkDatabaseName();

    VdbSaveStatus();
    VfxPtrList databases;
    int status = executeCCL("%s %s", bas, linkDb.c_str());
    do {
        if (!(status & 1))
            break;
        executeCCL("%s S=0", del);
        status = getXmlDatabases(databases);
        if (!(status & 1))
            break;
        for (int i = 0; i < databases.size() && (status & 1); ++i) {
            const char* db = static_cast<CStringBuffer*>(databases.get(i))->getBufferPointer();
            printf("Processing database %s...\n", db);
            std::string byDb;
            if (!quotedCondition("DB", db, byDb)) {
                status = VDB_BADARG;
                break;
            }
            status = executeCCL("DEFINE MAP map%s=D_ID:%s.D_ID:ID", db, db);
            if (status & 1) {
                status = executeCCL("%s ALL NOT map%s($) AND %s", fin, db, byDb.c_str());
            } else if (status == VDB_MAPEMPTY) {
                // The database holds no documents, so none of its link
                // records has one; the per-record check below still applies.
                status = executeCCL("%s %s", fin, byDb.c_str());
            } else if (status == VDB_BADFIELD) {
                printf(">> Database %s has not an updated schema.\n\n", db);
                status = VDB_OK;
                continue;
            } else {
                break;
            }
            int set = 0, records = 0, hits = 0;
            if (status & 1)
                VdbGetSearch(&set, &records, &hits);
            if (!(status & 1) || records < 1) {
                printf(">> There are no link zombies for %s\n\n", db);
                status = VDB_OK;
                continue;
            }
            printf(">> There are %d link zombies for %s\n", records, db);
            std::vector<int> rids;
            std::string base;
            status = recordsOfSet(set, records, rids, base);
            if (!(status & 1))
                break;
            for (int rid : rids) {
                VdbHandle control = nullptr;
                status = VdbCreateRecordControl(&control);
                if (!(status & 1))
                    break;
                int result = VdbSetBase(control, base.c_str(), 2);
                if (result & 1)
                    result = VdbGetRecordInBase(control, rid);
                char id[256] = "";
                int len = static_cast<int>(sizeof id);
                if (result & 1)
                    readField(control, "ID", 0, 0, id, &len);
                if ((result & 1) && documentExists(db, id)) {
                    printf(">> Kept %s.%d: document %s exists in %s.\n", base.c_str(), rid, id, db);
                } else {
                    if (result & 1)
                        result = VdbDeleteRecordInBase(control, nullptr);
                    if (result & 1)
                        printf("Deleted %s.%d\n", base.c_str(), rid);
                    else
                        printf("Delete of %s.%d failed. Code=#%d\n", base.c_str(), rid, result);
                }
                VdbDeleteRecordControl(control);
            }
            executeCCL("%s S=0", del);
            printf("\n");
        }
        if (!(status & 1))
            break;
        status = VdbBatchLoadIndex(2, linkDb.c_str(), "");
    } while (false);
    for (int i = 0; i < databases.size(); ++i)
        delete static_cast<CStringBuffer*>(databases.get(i));
    VdbLoadStatus(3);
    return status;
}

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CProgArgument::init(argc, argv, "bup");
    CProgArgument* command = CProgArgument::getArg(0);
    std::string cmd = command ? command->getText() : "";
    delete command;
    CProgArgument* dbArg = CProgArgument::getArg(1);
    std::string database = dbArg ? dbArg->getText() : "";
    delete dbArg;
    if (CProgArgument::hasOption('h') || (cmd != "m" && cmd != "c") || (cmd == "m" && database.empty())) {
        usage();
        return 1;
    }
    if (!CProgArgument::hasOption('i') && !checkConfiguration())
        return 0;

    std::string user = optionText('u', g_szStdUser);
    std::string password = optionText('p', g_szStdPass);
    int status = StartVORNSession(user.c_str(), password.c_str());
    if (status == 1)
        status = cmd == "m" ? updrefresh(database.c_str()) : updclean();
    if (status & 1) {
        VdbStopVorn(0);
        return status;
    }
    errorExit(status);
}
