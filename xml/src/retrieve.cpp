// The retrieve operation: a stored document back to the caller, as its raw
// text block by block or rebuilt from its node parts, into memory, a file or
// a transfer stream; optionally looked up by identifier or URL first.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include "VORNxml.h"
#include "VfxPlatform.h"
#include "filexmit.h"

namespace {

const char kModule[] = "vornXmlGet";
const int kBlock = 8192;
// Room of the kernel's command record for one command (without its NUL).
const int kMaxCommand = 399;

// Owns a cursor.
struct CursorHolder {
    VdbHandle h = nullptr;
    ~CursorHolder()
    {
        if (h)
            VdbDeleteCursor(h);
    }
};

// A value the lookup search can take as written: otherwise it is quoted with
// a quote character it does not hold, so that blanks, quotes, wildcards or
// operator words in it are searched for as text.
bool plainValue(const char* v)
{
    if (!*v || *v == '"' || *v == '\'' || *v == '&' || *v == '$')
        return false;
    size_t n = strlen(v);
    if (v[n - 1] == '$')
        return false;
    for (const char* p = v; *p; ++p)
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '(' || *p == ')')
            return false;
    return true;
}

char quoteFor(const char* v, char preferred)
{
    const char order[] = {preferred, '"', '\'', '&'};
    for (char q : order)
        if (!strchr(v, q))
            return q;
    return 0;
}

// A refusal of the operation: errorcode 0, errortext, and the log.
int refuse(CVORNxml& x, const char* text)
{
    x.setError(VX_FAILED, text);
    x.logError(kModule, 0, "%s", text);
    return VX_FAILED;
}

} // namespace

int CVORNxml::vornXmlGet()
{
    openCallLog("vornxmlget.log", kModule, false);
    if (!checkFilterData(kModule))
        return VX_FAILED;
    int rx = initXerces();
    if (rx != 0)
        return rx;
    loadFieldCatalogue();
    filter_data* fd = m_pData;

    if ((fd->vdb_options & IEOPT_MEMORY) && !(fd->vdb_options & EXPORT_ALLOC) && !fd->buffer) {
        setError(VX_FAILED, "Invalid argument to vornxmlget filter. Allocated buffer required.");
        logPrint("vornxmlget: %s\n", fd->errortext);
        return VX_FAILED;
    }

    // A lookup by identifier or URL may come without a record: the database
    // is then the session's open one.
    bool bById = (fd->filter_options & FOXML_GETBYID) != 0;
    if (bById && !fd->record_control) {
        VdbHandle probe = nullptr;
        VdbCreateRecordControl(&probe);
        fd->record_control = probe;
        bool xml = isXmlDatabase();
        fd->record_control = nullptr;
        VdbDeleteRecordControl(probe);
        if (!xml) {
            setError(VX_FAILED, "No XML database or no database opened.");
            logError(kModule, 0, "No XML database or no database opened.");
            return VX_FAILED;
        }
    } else {
        if (!requireXmlDatabase(kModule))
            return VX_FAILED;
        if (!isXmlDocument())
            return refuse(*this, "Record does not contain an XML document.");
    }

    if (bById) {
        char szFind[17];
        snprintf(szFind, sizeof szFind, "%-16s", "FIN");
        getShellSymbol(szFind);
        CStringBuffer url, id;
        bool bUrl = getFilterArgument("URL", url);
        bool bId = !bUrl && getFilterArgument("ID", id);
        if (!bUrl && !bId) {
            if (!fd->record_control) {
                setError(VX_FAILED, "Filter argument ID or URL required by FOXML_GETBYID filter option.");
                logPrint("vornxmlget: %s\n", fd->errortext);
                return VX_FAILED;
            }
            // The record the caller passed is what it asked for then.
            setErrorText("No ID or URL filter argument - using record control instead.");
            logPrint("vornxmlget: %s\n", fd->errortext);
        } else {
            const char* value = bUrl ? url.getBufferPointer() : id.getBufferPointer();
            CStringBuffer command;
            if (bUrl && plainValue(value)) {
                command.format("%s D_URLALIAS=%s", szFind, value);
            } else {
                char q = quoteFor(value, bUrl ? '"' : '\'');
                if (!q)
                    return setError(VX_FAILED, "FOXML_GETBYID: the ID or URL holds every quote character a "
                                               "search value can be quoted with.");
                command.format("%s %s=%c%s%c", szFind, bUrl ? "D_URLALIAS" : "D_ID", q, value, q);
            }
            if (command.length() > kMaxCommand) {
                setErrorText("FOXML_GETBYID: the %s is too long for the lookup search (%d bytes).", bUrl ? "URL" : "ID",
                             static_cast<int>(strlen(value)));
                fd->errorcode = VX_FAILED;
                return VX_FAILED;
            }
            VdbSaveStatus();
            int st = executeCCL("%s", command.getBufferPointer());
            if (!(st & 1)) {
                VdbLoadStatus(3);
                return vornError(st, "vornXmlGet/FOXML_GETBYID");
            }
            int nSet = 0, nRecords = 0, nHits = 0;
            int nRid = 0;
            char szBase[64] = "";
            st = VdbGetSearch(&nSet, &nRecords, &nHits);
            if ((st & 1) && nRecords >= 1) {
                VdbHandle tmp = nullptr;
                st = VdbCreateRecordControl(&tmp);
                if (st & 1)
                    st = VdbGetRecordInSearchRis(tmp, nSet, 1, &nRid, szBase);
                if (tmp)
                    VdbDeleteRecordControl(tmp);
            }
            VdbLoadStatus(3);
            if (!(st & 1))
                return vornError(st, "CVORNxml::vornXmlGet/FOXML_GETBYID");
            if (nRid == 0)
                return refuse(*this, "FOXML_GETBYID: no document ");
            fd->cursor = nullptr;
            fd->record_control = nullptr;
            st = VdbCreateRecordControl(&fd->record_control);
            // The record lives in the base the search ran in.
            if ((st & 1) && szBase[0])
                st = VdbSetBase(fd->record_control, szBase, 2);
            if (st & 1)
                st = VdbGetRecordInBase(fd->record_control, nRid);
            if (!(st & 1))
                return vornError(st, "CVORNxml::vornXmlGet/FOXML_GETBYID");
            if (!isXmlDocument())
                return refuse(*this, "Record does not contain an XML document.");
        }
    }

    VdbHandle rc = fd->record_control;
    CFieldInfo* fDoc = CFieldInfo::getFieldInfo("D_XMLDOC", rc);
    const int nDocField = fDoc ? fDoc->getNumber() : 0;
    if (!fd->cursor && (!(fd->filter_options & EXPORT_BLOCK) || fd->blockno == 1)) {
        if (nDocField < 1)
            return refuse(*this, "Field D_XMLDOC not found.");
        int st = VdbSetCursor(&fd->cursor, rc, nDocField, 0, 0);
        if (!(st & 1))
            logVornError(st, "vornXmlGet/VdbSetCursor");
    }

    int nBlobSize = 0;
    if (!(fd->filter_options & EXPORT_BLOCK)) {
        if (nDocField > 0) {
            CursorHolder c;
            int st = VdbSetCursor(&c.h, rc, nDocField, 0, 0);
            if (st & 1)
                st = VdbGetBlobSize(c.h, &nBlobSize);
            if (!(st & 1))
                return vornError(st, "Failed to create cursor.");
        }
        if (nBlobSize < 1)
            fd->filter_options |= EXPORT_BLOCK;
    }

    const bool bStream = (fd->filter_options & FO_STREAM) != 0;
    const bool bFileSink = (fd->vdb_options & (IEOPT_FILENAME | IEOPT_FILE)) != 0;
    const bool bMemory = (fd->vdb_options & IEOPT_MEMORY) != 0;
    const bool bAlloc = (fd->vdb_options & EXPORT_ALLOC) != 0;

    if (fd->filter_options & EXPORT_BLOCK) {
        // Nothing to rebuild is no document either.
        if (countNodes() < 1)
            return refuse(*this, "Record does not contain an XML document.");
        // Rebuilt text for the caller's own memory is copied into it, within
        // its size; otherwise the filter's block is handed over.
        bool bCallerMemory = !bStream && !bFileSink && bMemory && !bAlloc;
        void* pCaller = fd->buffer;
        int nCallerSize = fd->buffer_length;
        if (bCallerMemory) {
            fd->buffer = nullptr;
            fd->buffer_length = 0;
        }
        fd->errorcode = VX_OK;
        processRecord(1, true, true);
        if (bCallerMemory) {
            char* block = static_cast<char*>(fd->buffer);
            int len = fd->buffer_length;
            fd->buffer = pCaller;
            fd->buffer_length = 0;
            if (fd->errorcode == VX_OK && block) {
                int n = len <= nCallerSize ? len : (nCallerSize > 0 ? nCallerSize : 0);
                memcpy(pCaller, block, static_cast<size_t>(n));
                fd->buffer_length = n;
                if (len > nCallerSize) {
                    setError(VX_FAILED, "Insufficient memory buffer provided - data truncated.");
                    logError("vornxmlget", 0, "%s", fd->errortext);
                }
            }
            free(block);
        }
        if (fd->errorcode != VX_OK)
            return fd->errorcode;
    } else {
        logDebug(kModule, "About to extract blob.\n");
        FILE* fp = nullptr;
        bool bOwnFile = false;
        int sock = 0;
        if (bStream) {
            // the stream takes the text (below)
        } else if (fd->vdb_options & IEOPT_FILENAME) {
            const char* name = static_cast<const char*>(fd->buffer);
            fp = name && *name ? fopen(name, "wb") : nullptr;
            if (!fp) {
                int e = errno;
                setErrorText("Could not open file \"%s\" for writing: %s", name ? name : "", strerror(e));
                fd->errorcode = VX_FAILED;
                logError(kModule, e, "%s", fd->errortext);
                return VX_FAILED;
            }
            bOwnFile = true;
        } else if (fd->vdb_options & IEOPT_FILE) {
            fp = static_cast<FILE*>(fd->buffer);
            if (!fp)
                return setError(VX_FAILED, "No open file provided for the export (FILE* option with a null buffer).");
        } else if (!bMemory) {
            setErrorText("No output for the document: vdb_options 0x%x names no file, open file or memory, and no "
                         "stream was asked for.",
                         static_cast<unsigned>(fd->vdb_options));
            fd->errorcode = VX_FAILED;
            return VX_FAILED;
        }

        if (bStream || (bMemory && bAlloc && !fp))
            fd->buffer_length = nBlobSize;
        if (!bStream && !fp && bAlloc) {
            int size = nBlobSize < 1024 ? 1024 : nBlobSize + 1;
            fd->buffer = calloc(static_cast<size_t>(size), 1);
            if (!fd->buffer)
                return setError(VX_FAILED, "Out of memory for the document buffer.");
            logDebug(kModule, "Allocated %d byte buffer.\n", size);
        }
        if (bStream) {
            CStringBuffer url;
            if (!getFilterArgument("FILEURL", url)) {
                logPrint("Required argument FILEURL missing for stream export.\n");
                return setError(VX_FAILED, "Required argument FILEURL missing for stream export.");
            }
            int r = VfxFTMWriteOpenEx(&sock, url, nBlobSize);
            if (r != 0) {
                char text[256];
                VfxGetErrorText(r, text, sizeof text);
                logPrint("Error E%04d opening stream: %s\n", r, text);
                setErrorText("Error E%04d opening stream: %s", r, text);
                fd->errorcode = VX_FAILED;
                return VX_FAILED;
            }
        }

        int curLen = fd->buffer_length;
        fd->buffer_length = 0;
        char* pszPtr = static_cast<char*>(fd->buffer);
        bool bFailed = false;
        logDebug(kModule, "Entering blob getting loop.\n");
        CursorHolder blob;
        int st = VdbSetCursor(&blob.h, rc, nDocField, 0, 0);
        if (!(st & 1)) {
            if (sock)
                VfxFTMWriteClose(sock);
            if (bOwnFile)
                fclose(fp);
            return vornError(st, "vornXmlGet/VdbSetCursor");
        }
        char szBlob[kBlock];
        for (int nBlock = 1; !bFailed; ++nBlock) {
            logDebug(kModule, "Getting block %d\n", nBlock);
            memset(szBlob, 0, sizeof szBlob);
            int len = 0;
            if (VdbGetBlobBlock(blob.h, nBlock, kBlock, szBlob, &len) == 0 || len <= 0)
                break;
            logDebug(kModule, "VdbGetBlobBlock returned %d bytes\n", len);
            if (bStream) {
                int r = VfxFTMWriteBlock(sock, szBlob, len);
                if (r != 0) {
                    char text[256];
                    VfxGetErrorText(r, text, sizeof text);
                    logError(kModule, r, "Error E%04d writing to stream: %s\n", r, text);
                    setErrorText("Error E%04d writing to stream: %s", r, text);
                    bFailed = true;
                }
            } else if (fp) {
                logDebug(kModule, "Writing block to file.");
                if (fwrite(szBlob, 1, static_cast<size_t>(len), fp) != static_cast<size_t>(len) || fflush(fp) != 0) {
                    int e = errno;
                    if (bOwnFile)
                        setErrorText("Error writing to file \"%s\": %s", static_cast<const char*>(fd->buffer),
                                     strerror(e));
                    else
                        setErrorText("Error writing to the provided file: %s", strerror(e));
                    logError(kModule, e, "%s", fd->errortext);
                    bFailed = true;
                }
            } else {
                logDebug(kModule, "------BLOCK------\n%.*s\n----END BLOCK----\n", len, szBlob);
                if (fd->buffer_length + len > curLen) {
                    if (!bAlloc) {
                        setErrorText("Insufficient memory buffer provided - data truncated.");
                        logError("vornxmlget", 0, "%s", fd->errortext);
                        bFailed = true;
                        break;
                    }
                    // More bytes than the size announced: grow by the block,
                    // keeping a terminating zero after the text.
                    curLen += len;
                    logDebug(kModule, "Increasing size of buffer to %d bytes.\n", curLen);
                    char* grown = static_cast<char*>(realloc(fd->buffer, static_cast<size_t>(curLen) + 1));
                    if (!grown) {
                        setErrorText("Out of memory for the document buffer.");
                        bFailed = true;
                        break;
                    }
                    fd->buffer = grown;
                    pszPtr = grown + fd->buffer_length;
                    grown[curLen] = 0;
                }
                fd->buffer_length += len;
                logDebug("vornxmlget", "Copying block to memory (new size = %d bytes).\n", fd->buffer_length);
                memcpy(pszPtr, szBlob, static_cast<size_t>(len));
                pszPtr += len;
            }
        }
        if (bOwnFile && fclose(fp) != 0 && !bFailed) {
            int e = errno;
            setErrorText("Error writing to file \"%s\": %s", static_cast<const char*>(fd->buffer), strerror(e));
            bFailed = true;
        }
        if (bMemory && !bStream && !fp) {
            int n = fd->buffer_length < 1024 ? fd->buffer_length : 1024;
            logDebug(kModule, "Exporting a %d byte buffer:\n%.*s\n", fd->buffer_length, n,
                     static_cast<const char*>(fd->buffer));
        }
        if (bStream) {
            struct timeval tmvTimeout = {30, 0};
            int err = 0;
            VfxSocketReadSelect(sock, &tmvTimeout, &err);
            VfxFTMWriteClose(sock);
        }
        if (bFailed) {
            fd->errorcode = VX_FAILED;
            return VX_FAILED;
        }
    }

    logInformation(kModule, "Done.\n");
    fd->errorcode = VX_OK;
    return VX_OK;
}
