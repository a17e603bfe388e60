#include "LinkTool.h"

#include <ctype.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "../../XmlBaseList.h"

const char g_szStdUser[] = "warden";
const char g_szStdPass[] = "";

namespace {

const int kCommandSize = 8192;

// The kernel opens "./vdbs-data" by default; after the change of directory
// that would be another store, so a relative data directory is made
// absolute first.
void pinDataDirectory()
{
    const char* dir = QueryRCS("VDBS_DATA", 7);
    std::string path = dir && *dir ? dir : "./vdbs-data";
    if (path[0] == '/')
        return;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return;
    std::string abs = cwd;
    abs += "/";
    abs += path;
    UpdateRCS("VDBS_DATA", abs.c_str());
}

} // namespace

int StartVORNSession(const char* pszUser, const char* pszPassword)
{
    char user[32], password[32];
    snprintf(user, sizeof user, "%s", pszUser ? pszUser : "");
    snprintf(password, sizeof password, "%s", pszPassword ? pszPassword : "");

    const char* sif = QueryRCS("VDBS_SIF", 7);
    std::string dir = sif && *sif ? sif : "/tmp";
    if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\'))
        dir.pop_back();
    pinDataDirectory();
    if (chdir(dir.c_str()) != 0)
        fprintf(stderr, "Cannot change to directory %s.\n", dir.c_str());
    return VdbStartVorn(user, password, 9, 4096);
}

int executeCCL(const char* pszFormat, ...)
{
    char command[kCommandSize];
    va_list args;
    va_start(args, pszFormat);
    int n = vsnprintf(command, sizeof command, pszFormat, args);
    va_end(args);
    if (n < 0 || n >= kCommandSize)
        return VDB_BADARG;
    return VdbExecuteCcl(command, nullptr);
}

int checkField(VdbHandle hControl, const char* pszField, int* pnNumber)
{
    char name[32];
    snprintf(name, sizeof name, "%s", pszField ? pszField : "");
    int type = 0, flags = 0;
    return VdbCheckField(hControl, name, pnNumber, &type, &flags);
}

int readField(VdbHandle hControl, const char* pszField, int nPart, int nLine, char* pszBuffer, int* pnLength)
{
    int capacity = pnLength ? *pnLength : 0;
    if (pnLength)
        *pnLength = 0;
    if (pszBuffer && capacity > 0)
        pszBuffer[0] = 0;
    int number = 0;
    int status = checkField(hControl, pszField, &number);
    if (!(status & 1))
        return status;
    VdbHandle cursor = nullptr;
    if (nPart > 0)
        VdbSetRecordPart(&cursor, hControl, nPart);
    status = VdbSetCursor(&cursor, hControl, number, 0, 0);
    if (status & 1) {
        int length = 0;
        // One byte stays free for the terminator.
        status = VdbGetLine(cursor, pszBuffer, &length, capacity > 0 ? capacity - 1 : 0);
        if (length < 0 || length >= capacity)
            length = 0;
        if (pszBuffer && capacity > 0)
            pszBuffer[length] = 0;
        if (pnLength)
            *pnLength = length;
    }
    if (cursor)
        VdbDeleteCursor(cursor);
    return status;
}

int writeField(VdbHandle hControl, const char* pszField, int nPart, int nLine, const char* pszText)
{
    int number = 0;
    int status = checkField(hControl, pszField, &number);
    if (!(status & 1))
        return status;
    VdbHandle cursor = nullptr;
    if (nPart > 0)
        VdbSetRecordPart(&cursor, hControl, nPart);
    status = VdbSetCursor(&cursor, hControl, number, 0, 0);
    if (status & 1)
        status = VdbPutLine(cursor, pszText ? pszText : "", pszText ? static_cast<int>(strlen(pszText)) : 0);
    if (cursor)
        VdbDeleteCursor(cursor);
    return status;
}

void shellSymbol(const char* pszCanonical, char szOut[17])
{
    snprintf(szOut, 17, "%-16s", pszCanonical);
    int length = 17;
    if ((VdbShellSymbol(szOut, &length) & 1) && length >= 0 && length < 17)
        szOut[length] = 0;
}

bool quotedCondition(const char* pszField, const char* pszValue, std::string& strOut)
{
    const char* value = pszValue ? pszValue : "";
    for (char q : {'\'', '"', '&'}) {
        if (!strchr(value, q)) {
            strOut = std::string(pszField) + "=" + q + value + q;
            return true;
        }
    }
    return false;
}

std::string kernelMessage(int status)
{
    char text[201];
    int length = static_cast<int>(sizeof text);
    text[0] = 0;
    VdbMessage(status, text, &length);
    text[sizeof text - 1] = 0;
    return text;
}

int toolExitCode(int status)
{
    if (status >= 0 && status <= 255)
        return status;
    int low = status & 0xFF;
    return low ? low : 2;
}

void errorExit(int status)
{
    printf("VORN error #%d: %s\n", status, kernelMessage(status).c_str());
    fflush(stdout);
    VdbStopVorn(0);
    exit(toolExitCode(status));
}

int listXmlDatabases(std::vector<std::string>& names)
{
    char sho[17], bas[17], lis[17], scf[17];
    shellSymbol("SHO", sho);
    shellSymbol("BAS", bas);
    shellSymbol("LIS", lis);
    shellSymbol("SCF", scf);
    return vxListXmlDatabases(
        sho, bas, lis, scf, [](const char* ccl) { return executeCCL("%s", ccl); }, names);
}

// True when the database holds a record named by the identity (the record
// name of the document design is D_ID).
bool documentExists(const char* pszDatabase, const char* pszIdentity)
{
    if (!pszIdentity || !*pszIdentity)
        return false;
    VdbHandle control = nullptr;
    if (!(VdbCreateRecordControl(&control) & 1))
        return true;
    int rid = 0;
    int status = VdbSetBase(control, pszDatabase, 2);
    if (status & 1)
        status = VdbCheckRecordName(control, &rid, pszIdentity);
    VdbDeleteRecordControl(control);
    // When the check itself fails the document counts as present: a link
    // record is only deleted on proof that its document is gone.
    return status == VDB_NAMEEXISTS || !(status & 1);
}
