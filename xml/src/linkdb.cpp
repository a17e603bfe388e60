// The identity of a stored document and its record in the link database,
// written when the document is stored. Scanning documents for links and
// resolving them belong with the link code.
#include <arpa/inet.h>
#include <math.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "VORNxml.h"

namespace {

unsigned int lookUpMachineId()
{
    char host[256] = "";
    struct utsname u;
    if (uname(&u) == 0 && u.nodename[0])
        snprintf(host, sizeof host, "%s", u.nodename);
    else if (gethostname(host, sizeof host) != 0)
        host[0] = 0;
    host[sizeof host - 1] = 0;
    if (!host[0])
        snprintf(host, sizeof host, "%s", "localhost");

    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    struct addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res)
        return 0;
    char dotted[INET_ADDRSTRLEN] = "";
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(res->ai_addr);
    inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted);
    freeaddrinfo(res);
    char digits[INET_ADDRSTRLEN] = "";
    size_t n = 0;
    for (const char* p = dotted; *p; ++p)
        if (*p != '.')
            digits[n++] = *p;
    digits[n] = 0;
    // As a decimal number reduced to 32 bits: 10.1.2.3 gives 10123.
    return static_cast<unsigned int>(strtoull(digits, nullptr, 10));
}

// Where the identities of the current second left off, so that documents
// stored in quick succession do not walk the same taken names again.
std::mutex g_identityLock;
time_t g_identitySecond = 0;
int g_identityNext = 0;

} // namespace

// The host's number for document identities. Asked once per process: a
// name look-up per stored document would cost a resolver round trip each.
static unsigned int GetMachineId()
{
    static const unsigned int s_nId = lookUpMachineId();
    return s_nId;
}

void CVORNxml::CreateIdentity(VdbHandle hRecordControl, const char* pszDbName, char* pszIdentity)
{
    logDebug("CreateIdentity", "Creating unique document identity...\n");
    const char* db = pszDbName ? pszDbName : "";
    // Checked on a control of its own: a name check may load the record it
    // finds into an empty control.
    VdbHandle check = nullptr;
    VdbCreateRecordControl(&check);
    if (check && db[0])
        VdbSetBase(check, db, 2);
    char identity[256] = "";
    std::lock_guard<std::mutex> lock(g_identityLock);
    for (;;) {
        time_t t = time(nullptr);
        if (t != g_identitySecond) {
            g_identitySecond = t;
            g_identityNext = 0;
        } else if (g_identityNext >= 10000) {
            // Every number of this second is spent: wait for the next one.
            usleep(50000);
            continue;
        }
        int k = g_identityNext++;
        struct tm tm;
        localtime_r(&t, &tm);
        srand(static_cast<unsigned int>(t + k));
        int r = rand();
        int m = static_cast<int>(fabs(r - 1000.0 * trunc(r / 1000.0)));
        snprintf(identity, sizeof identity, "%02d%02d%02d%03d-%s-%u", tm.tm_hour, tm.tm_min, tm.tm_sec, m, db,
                 GetMachineId());
        int rid = 0;
        VdbCheckRecordName(check ? check : m_pData->record_control, &rid, identity);
        if (rid <= 0)
            break;
        logInformation("CreateIdentity", "Identity '%s' already exists. Retrying.", identity);
        if (check) {
            // The check loaded the record it found; start from an empty one.
            VdbDeleteRecordControl(check);
            check = nullptr;
            VdbCreateRecordControl(&check);
            if (check && db[0])
                VdbSetBase(check, db, 2);
        }
    }
    if (check)
        VdbDeleteRecordControl(check);
    memcpy(pszIdentity, identity, strlen(identity) + 1);
}

int CVORNxml::WriteField(VdbHandle hRecordControl, const char* pszField, int nPart, const char* pszValue)
{
    int number = 0, type = 0, flags = 0;
    int status = VdbCheckField(hRecordControl, pszField, &number, &type, &flags);
    if (!(status & 1))
        return logVornError(status, "CVORNxml::WriteField/VdbCheckField");
    VdbHandle cursor = nullptr;
    if (nPart > 0) {
        int st = VdbSetRecordPart(&cursor, hRecordControl, nPart);
        if (!(st & 1))
            logVornError(st, "CVORNxml::WriteField/VdbSetRecordPart");
    }
    status = VdbSetCursor(&cursor, hRecordControl, number, 0, 0);
    if (status & 1)
        status = VdbPutLine(cursor, pszValue ? pszValue : "", pszValue ? static_cast<int>(strlen(pszValue)) : 0);
    else
        logVornError(status, "CVORNxml::WriteField/VdbSetCursor");
    if (cursor)
        VdbDeleteCursor(cursor);
    return status;
}

int CVORNxml::ReadField(VdbHandle hRecordControl, const char* pszField, int nPart, char* pszBuffer, int* pnLength)
{
    int capacity = pnLength ? *pnLength : 0;
    if (pnLength)
        *pnLength = 0;
    if (pszBuffer && capacity > 0)
        pszBuffer[0] = 0;
    int number = 0, type = 0, flags = 0;
    int status = VdbCheckField(hRecordControl, pszField, &number, &type, &flags);
    if (!(status & 1))
        return logVornError(status, "CVORNxml::ReadField/VdbCheckField");
    VdbHandle cursor = nullptr;
    if (nPart > 0) {
        int st = VdbSetRecordPart(&cursor, hRecordControl, nPart);
        if (!(st & 1))
            logVornError(st, "CVORNxml::ReadField/VdbSetRecordPart");
    }
    status = VdbSetCursor(&cursor, hRecordControl, number, 0, 0);
    if (status & 1) {
        int length = 0;
        // One byte stays free for the terminator.
        status = VdbGetLine(cursor, pszBuffer, &length, capacity > 0 ? capacity - 1 : 0);
        if (pszBuffer && capacity > 0)
            pszBuffer[length >= 0 && length < capacity ? length : 0] = 0;
        if (pnLength)
            *pnLength = length;
    } else {
        logVornError(status, "CVORNxml::ReadField/VdbSetCursor");
    }
    if (cursor)
        VdbDeleteCursor(cursor);
    return status;
}

int CVORNxml::updateLinkDb(const char* pszUrl)
{
    logDebug("updateLinkDb", "Entered.\n");
    VdbHandle rc = m_pData->record_control;
    CStringBuffer identityArg(256);
    bool bIdentityArg = getFilterArgument("IDENTITY", identityArg);
    if (bIdentityArg)
        logDebug("updateLinkDb", "Record name is %s\n", identityArg.getBufferPointer());

    // The base the record lives in, read from its control in every case: it
    // is where the control is bound again at the end, and binding it to any
    // other base would drop the record being stored.
    char ownBase[64] = "";
    int len = static_cast<int>(sizeof ownBase);
    int ownStatus = VdbRecordInfo(rc, 2, ownBase, &len);
    char dbName[64] = "";
    CStringBuffer arg(64);
    if (getFilterArgument("DATABASE", arg)) {
        snprintf(dbName, sizeof dbName, "%s", arg.getBufferPointer());
    } else {
        logDebug("updateLinkDb", "Retrieving database name from record control...");
        if (ownStatus & 1)
            snprintf(dbName, sizeof dbName, "%s", ownBase);
        else
            vornError(ownStatus, "updateLinkDb");
    }
    logDebug("updateLinkDb", "Current database name is %s\n", dbName);

    int rid = 0;
    if (getFilterArgument("RID", arg)) {
        rid = atoi(arg);
    } else {
        logDebug("updateLinkDb", "Retrieving RID from record control...\n");
        char ridText[32] = "";
        int st = VdbRecordInfo(rc, 1, ridText, &rid);
        if (!(st & 1))
            vornError(st, "updateLinkDb");
    }
    logDebug("updateLinkDb", "Record ID is %d\n", rid);

    char identity[256] = "";
    CStringBuffer stored(256);
    if (getPhraseValue("D_ID", 1, stored) == 1)
        snprintf(identity, sizeof identity, "%s", stored.getBufferPointer());
    if (!identity[0] && rid < 1) {
        if (bIdentityArg && identityArg.length() > 0)
            snprintf(identity, sizeof identity, "%s", identityArg.getBufferPointer());
        else
            CreateIdentity(rc, dbName, identity);
        logInformation("updateLinkDb", "Identity \"%s\" created.\n", identity);
        setFieldValue("D_ID", 1, identity, -1);
        logPrint("Link field value stored.\n");
    }

    if (m_strLinkDb.length() == 0)
        return VX_OK;
    if (!identity[0]) {
        // A link record is named by the identity; without one there is
        // nothing to name it by.
        logWarning("updateLinkDb", 0, "Record %d has no identity; no link record written.\n", rid);
        return VX_OK;
    }

    int status = VX_OK;
    VdbHandle control = nullptr;
    do {
        status = VdbCreateRecordControl(&control);
        if (!(status & 1))
            break;
        logDebug("updateLinkDb", "Record control created.\n");
        status = VdbSetBase(control, m_strLinkDb, 2);
        if (!(status & 1))
            break;
        logDebug("updateLinkDb", "Database set to \"%s\"\n", m_strLinkDb.getBufferPointer());
        shell_dao_rec* dao = nullptr;
        status = VdbShellDaoPtr(&dao);
        if (!(status & 1))
            break;
        logDebug("updateLinkDb", "Checking record name.\n");
        int linkRid = 0;
        status = VdbCheckRecordName(control, &linkRid, identity);
        if (status == VDB_NAMEEXISTS && linkRid > 0) {
            WriteField(control, "CHECKTHIS", 0, "1");
            WriteField(control, "URL", 0, pszUrl);
        } else if (status & 1) {
            logDebug("updateLinkDb", "Writing link information.\n");
            WriteField(control, "ID", 0, identity);
            WriteField(control, "CHECKTHIS", 0, "1");
            WriteField(control, "DB", 0, dbName);
            WriteField(control, "URL", 0, pszUrl);
        } else {
            break;
        }
        logDebug("updateLinkDb", "Saving link record.\n");
        linkRid = 0;
        status = VdbPutRecord(control, &linkRid);
        if (!(status & 1))
            break;
        logDebug("updateLinkDb", "Indexing link database.\n");
        status = VdbBatchLoadIndex(2, m_strLinkDb, "");
        if (!(status & 1))
            break;
        logDebug("updateLinkDb", "Done");
        status = VX_OK;
    } while (false);
    if (!(status & 1))
        logVornError(status, "CVORNxml::updateLinkDb");

    if (control)
        VdbDeleteRecordControl(control);
    if (ownStatus & 1)
        VdbSetBase(rc, ownBase, 2);
    logDebug("updateLinkDb", "Done");
    return status;
}
