// Non-XML documents: stored as a blob (with their text, when the kernel has
// the text extraction extension), and the kernel extension xmldata, which
// reads the value of a named element or attribute of the current record.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "VORNxml.h"
#include "VfxPlatform.h"
#include "filexmit.h"

namespace {

const char kModule[] = "vornXmlPutBlob";
const int kBlock = 8192;

// Writes value as the first item of a main-part field, when the base has it.
void putMainField(VdbHandle rc, const char* pszField, const char* pszValue)
{
    CFieldInfo* f = CFieldInfo::getFieldInfo(pszField, rc);
    if (!f || f->getNumber() < 1)
        return;
    VdbHandle cursor = nullptr;
    if (VdbSetCursor(&cursor, rc, f->getNumber(), 0, 0) & 1)
        VdbPutLine(cursor, pszValue, -1);
    if (cursor)
        VdbDeleteCursor(cursor);
}

} // namespace

int CVORNxml::vornXmlPutBlob()
{
    openCallLog("vornxmlputblob.log", kModule);
    if (!checkFilterData(kModule))
        return VX_FAILED;
    loadFieldCatalogue();
    if (!requireXmlDatabase("vornxmlPutBlob"))
        return VX_FAILED;
    filter_data* fd = m_pData;
    VdbHandle rc = fd->record_control;

    if (!fd->cursor) {
        CFieldInfo* f = CFieldInfo::getFieldInfo("DAV_NONXMLBLOB", rc);
        if (!f || f->getNumber() < 1)
            return setError(VX_FAILED, "Field DAV_NONXMLBLOB does not exist.");
        int st = VdbSetCursor(&fd->cursor, rc, f->getNumber(), 0, 0);
        if (!(st & 1))
            return vornError(st, "vornxmlputblob/VdbSetCursor");
    }

    VdbHandle ase = nullptr;
    bool bExtract = (VdbLoadAse("vornextracttext", &ase, nullptr) & 1) != 0;
    if (!bExtract)
        logWarning(kModule, 0, "VORNview is unavailable - using BLOB import.");

    CStringBuffer strTextField;
    if (!getFilterArgument("TEXTFIELD", strTextField) || strTextField.length() == 0)
        strTextField.set("D_DOCTEXT");

    // The document's bytes; pData is ours to free unless it is the caller's memory.
    char* pData = nullptr;
    int nLength = 0;
    bool bOwnData = true;
    if (fd->filter_options & FO_STREAM) {
        CStringBuffer url;
        if (!getFilterArgument("FILEURL", url))
            return setError(VX_FAILED, "Required argument FILEURL missing for stream import.");
        logDebug(kModule, "Stream reading from %s\n", url.getBufferPointer());
        delete m_pStreamData;
        m_pStreamData = new CStringBuffer();
        int r = VfxFTMRead(url, &CVORNxml::streamRead, this);
        if (r != 0) {
            char text[256];
            VfxGetErrorText(r, text, sizeof text);
            logError(kModule, r, "Error E%04d reading from stream: %s\n", r, text);
            setErrorText("Error E%04d reading from stream: %s", r, text);
            fd->errorcode = VX_FAILED;
            delete m_pStreamData;
            m_pStreamData = nullptr;
            return VX_FAILED;
        }
        nLength = m_pStreamData->length();
        pData = m_pStreamData->detach();
        delete m_pStreamData;
        m_pStreamData = nullptr;
    } else if (fd->vdb_options & (IEOPT_FILE | IEOPT_FILENAME)) {
        FILE* fp;
        bool bOwnFile = false;
        if (fd->vdb_options & IEOPT_FILE) {
            logDebug(kModule, "Using provided file pointer.\n");
            fp = static_cast<FILE*>(fd->buffer);
            if (!fp)
                return setError(VX_FAILED, "No open file provided (FILE* option with a null buffer).");
        } else {
            const char* name = static_cast<const char*>(fd->buffer);
            logDebug(kModule, "Opening named file \"%s\".\n", name ? name : "");
            fp = name && *name ? fopen(name, "rb") : nullptr;
            if (!fp) {
                setErrorText("Could not open file \"%s\".", name ? name : "");
                fd->errorcode = VX_FAILED;
                return VX_FAILED;
            }
            bOwnFile = true;
        }
        long size = -1;
        if (fseek(fp, 0, SEEK_END) == 0)
            size = ftell(fp);
        if (size < 0 || size > 0x7ffffffe || fseek(fp, 0, SEEK_SET) != 0) {
            int e = errno;
            if (bOwnFile)
                fclose(fp);
            setErrorText("Cannot read the document file: %s", strerror(e));
            fd->errorcode = VX_FAILED;
            return VX_FAILED;
        }
        logDebug(kModule, "Reading %d bytes from file.\n", static_cast<int>(size));
        pData = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
        nLength = pData ? static_cast<int>(fread(pData, 1, static_cast<size_t>(size), fp)) : 0;
        bool bShort = !pData || nLength != size;
        int e = errno;
        // A file the caller opened stays open for the caller.
        if (bOwnFile)
            fclose(fp);
        if (bShort) {
            free(pData);
            setErrorText("Cannot read the document file: %s", pData ? strerror(e) : "out of memory");
            fd->errorcode = VX_FAILED;
            return VX_FAILED;
        }
    } else if (fd->vdb_options & IEOPT_MEMORY) {
        logDebug(kModule, "Using provided %d byte memory buffer.\n", fd->buffer_length);
        pData = static_cast<char*>(fd->buffer);
        nLength = fd->buffer_length > 0 && pData ? fd->buffer_length : 0;
        bOwnData = false;
    } else {
        setErrorText("No document to store: vdb_options 0x%x names no file, open file or memory, and no stream "
                     "was asked for.",
                     static_cast<unsigned>(fd->vdb_options));
        fd->errorcode = VX_FAILED;
        return VX_FAILED;
    }

    CStringBuffer base, file, alias, url;
    parseUrl(nullptr, base, file, alias);
    if (getFilterArgument("URL", url) && url.length() > 0)
        alias.set(url);

    int result = VX_OK;
    // A record that held an XML document gives up its nodes and text: left
    // behind, they would still answer queries for a document no longer there.
    int parts = 0;
    if ((VdbPartCount(fd->cursor, &parts) & 1) && parts > 0) {
        logInformation(kModule, "Clearing the XML document stored in this record.\n");
        int st = clearXMLRecord();
        if (!(st & 1)) {
            if (bOwnData)
                free(pData);
            char text[256];
            int len = static_cast<int>(sizeof text);
            VdbMessage(st, text, &len);
            setErrorText("Failed to clear record: %s", text);
            fd->errorcode = st;
            return st;
        }
    }
    if (!bExtract) {
        logDebug(kModule, "Preparing to do BLOB import.\n");
        if (nLength == 0) {
            // An empty document replaces whatever the record held before.
            int st = VdbDeleteItem(fd->cursor);
            if (!(st & 1))
                result = vornError(st, "CVORNxml::vornXmlPutBlob/VdbDeleteItem");
        }
        for (int done = 0; done < nLength;) {
            logDebug(kModule, "Executing blob import: %d bytes remaining.\n", nLength - done);
            int n = nLength - done < kBlock ? nLength - done : kBlock;
            int st = VdbPutBlobBlock(fd->cursor, n, pData + done);
            if (!(st & 1)) {
                result = vornError(st, "CVORNxml::vornXmlPutBlob/VdbPutBlobBlock");
                break;
            }
            done += n;
        }
        if (result == VX_OK)
            logDebug(kModule, "Blob import complete.\n");
    } else {
        filter_data imp;
        memset(&imp, 0, sizeof imp);
        imp.record_control = fd->record_control;
        imp.cursor = fd->cursor;
        snprintf(imp.filter_name, sizeof imp.filter_name, "%s", "vornextracttext");
        char args[32];
        snprintf(args, sizeof args, "%s", strTextField.getBufferPointer());
        imp.filter_arguments = args;
        imp.arg_length = static_cast<int>(strlen(args));
        imp.vdb_options = IEOPT_MEMORY;
        imp.buffer = pData;
        imp.buffer_length = nLength;
        logDebug(kModule, "Calling VORNview...\n");
        char cwd[512];
        bool bCwd = getcwd(cwd, sizeof cwd) != nullptr;
        VdbSaveStatus();
        int st = VdbImport(&imp);
        VdbLoadStatus(3);
        if (bCwd && chdir(cwd) != 0)
            logWarning(kModule, errno, "Could not change back to %s\n", cwd);
        if (!(st & 1)) {
            char text[256];
            snprintf(text, sizeof text, "%.*s", 255, imp.errortext);
            logError(kModule, imp.errorcode, "VORNview failed. Code #%d: %s\n", imp.errorcode, text);
            setErrorText("VORNview failed. Code #%d: %s", imp.errorcode, text);
            fd->errorcode = st;
            result = st;
        }
    }
    if (bOwnData)
        free(pData);

    if (result == VX_OK) {
        logDebug(kModule, "Applying meta data.\n");
        char db[64] = "";
        int len = static_cast<int>(sizeof db);
        VdbRecordInfo(rc, 2, db, &len);
        // A document stored again keeps its identity: links name it by that.
        CStringBuffer id;
        getPhraseValue("D_ID", 1, id);
        if (id.length() == 0) {
            char identity[256] = "";
            CreateIdentity(rc, db, identity);
            putMainField(rc, "D_ID", identity);
        }
        putMainField(rc, "D_URLBASE", base);
        putMainField(rc, "D_DOCNAME", file);
        putMainField(rc, "D_URLALIAS", alias);
        char when[64];
        time_t now = time(nullptr);
        struct tm gmt;
        gmtime_r(&now, &gmt);
        strftime(when, sizeof when, "%a, %d %b %Y %H:%M:%S GMT", &gmt);
        setProperty("lastmodified", when);
    }
    logDebug(kModule, "Done");
    fd->errorcode = result;
    return result;
}

// ---------------------------------------------------------------------------
// The kernel extension xmldata.

namespace {

// name is a whole segment of path, at a segment start and up to a segment
// end (every occurrence is looked at, so "title" matches "subtitle/title").
bool tagmatch(const char* path, const char* name)
{
    size_t n = strlen(name);
    if (n == 0)
        return false;
    for (const char* p = strstr(path, name); p; p = strstr(p + 1, name)) {
        bool start = p == path || p[-1] == '/';
        bool end = p[n] == 0 || p[n] == '/';
        if (start && end)
            return true;
    }
    return false;
}

int showerror(int status)
{
    char text[256];
    int len = sizeof text;
    VdbMessage(status, text, &len);
    len = sizeof text;
    VdbMessage(-1, text, &len);
    return status;
}

} // namespace

VX_EXPORT int xmldata(char* argstr, int* arglen)
{
    if (!argstr || !arglen)
        return VDB_BADARG;
    int inLen = *arglen < 0 ? 0 : (*arglen > 255 ? 255 : *arglen);
    argstr[inLen] = 0;
    char name[33];
    snprintf(name, sizeof name, "%s", argstr);
    int nameLen = -1;
    VdbStrNormalize(name, &nameLen, 1);
    *arglen = 0;
    argstr[0] = 0;

    VdbHandle rc = nullptr;
    int st = VdbCurrentItem(&rc);
    if (!(st & 1))
        return showerror(st);
    int fPath = 0, fValue = 0, fType = 0;
    if (!((st = VdbCheckField(rc, "N_PATH", &fPath, nullptr, nullptr)) & 1) ||
        !((st = VdbCheckField(rc, "N_TVALUE", &fValue, nullptr, nullptr)) & 1) ||
        !((st = VdbCheckField(rc, "N_TYPE", &fType, nullptr, nullptr)) & 1))
        return showerror(st);

    VdbHandle cur = nullptr;
    int count = 0;
    st = VdbSetCursor(&cur, rc, fPath, 0, 0);
    if (st & 1)
        st = VdbItemCount(cur, &count);
    // Item k of N_PATH is node k's path; elements have none, so items are
    // read by number rather than one after another.
    char line[256];
    for (int k = 1; (st & 1) && k <= count; ++k) {
        int len = 0;
        st = VdbSetCursor(&cur, rc, fPath, 0, k);
        if (!(st & 1))
            break;
        int r = VdbGetLine(cur, line, &len, 255);
        if (r == VDB_NOITEM || r == VDB_EOF)
            continue;
        if (!(r & 1)) {
            st = r;
            break;
        }
        line[len < 0 ? 0 : (len > 255 ? 255 : len)] = 0;
        VdbStrNormalize(line, &len, 1);
        if (!tagmatch(line, name))
            continue;
        st = VdbSetCursor(&cur, rc, fType, 0, k);
        char type[64] = "";
        int tlen = 0;
        if (st & 1) {
            r = VdbGetLine(cur, type, &tlen, 63);
            type[tlen < 0 ? 0 : (tlen > 63 ? 63 : tlen)] = 0;
        }
        if (strcmp(type, "ELEMENT") == 0)
            continue;
        st = VdbSetRecordPart(&cur, rc, k);
        if (st & 1)
            st = VdbSetCursor(&cur, rc, fValue, 0, 0);
        int budget = 255;
        int out = 0;
        while ((st & 1) && budget > 0) {
            if (budget < 255)
                argstr[out++] = ' ';
            int vlen = 0;
            r = VdbGetLine(cur, argstr + out, &vlen, budget);
            if (r != 1) {
                if (budget < 255)
                    --out;
                if (r != VDB_EOF)
                    st = r;
                break;
            }
            out += vlen;
            budget -= vlen + 1;
        }
        argstr[out] = 0;
        break;
    }
    if (cur)
        VdbDeleteCursor(cur);
    if (!(st & 1))
        return showerror(st);
    *arglen = static_cast<int>(strlen(argstr));
    return 1;
}
