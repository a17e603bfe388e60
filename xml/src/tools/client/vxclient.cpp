// Client import/export calls: fill a filter_data record, start a file
// streamer when asked to, run the filter through the kernel and turn the
// outcome into one status.
#include "vxapidefs.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>

#include "VfxConfig.h"
#include "VfxPlatform.h"
#include "filexmit.h"
#include "vornapi.h"

namespace {

// Why the calling thread's last call failed ("" after a success), for
// VXGetErrorMsg without a filter record.
thread_local char t_lastError[256];

// The error number of the last failed write of fileWriter: the file keeps
// only a flag, and the write ran on the streamer's thread.
std::atomic<int> g_fileWriteError(0);

// How long a streamed export may go without progress once the filter has
// returned before the transfer counts as stuck.
const int kStreamGraceMs = 2000;

void setLastError(const char* format, ...) __attribute__((format(printf, 1, 2)));

void setLastError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(t_lastError, sizeof t_lastError, format, args);
    va_end(args);
}

std::string errnoText(int code)
{
    char text[256];
    VfxGetErrorText(code, text, sizeof text);
    return text;
}

std::string kernelMessage(int status, int capacity)
{
    std::string text(static_cast<size_t>(capacity), '\0');
    int len = capacity;
    VdbMessage(status, &text[0], &len);
    text.resize(strnlen(text.c_str(), static_cast<size_t>(capacity)));
    return text;
}

// A failure of the library itself: remembered, logged, returned negated.
int failWith(VORNXML_LOGWRITER logger, int err, const std::string& text)
{
    setLastError("%s", text.c_str());
    VXLogPrint(logger, EVX_LOGLEVEL_ERROR, "%s", text.c_str());
    return -err;
}

// 0 when the file can be opened for reading, else the failure, said with the
// file's name: a streamed import's filter would only see a failed fetch.
int checkReadable(VORNXML_LOGWRITER logger, const char* fileName)
{
    FILE* probe = fopen(fileName, "rb");
    if (!probe) {
        int err = errno;
        return failWith(logger, err, "Could not open file \"" + std::string(fileName) + "\": " + errnoText(err));
    }
    fclose(probe);
    return 0;
}

// This computer's name for the stream URL; the loopback address when the
// name does not resolve, since the filter runs in this very process.
std::string streamHost()
{
    char name[256] = "";
    struct in_addr addr;
    if (VfxGetComputerName(name, sizeof name) != 0 || !name[0] || VfxResolveHost(name, &addr) != 0)
        return "127.0.0.1";
    return name;
}

// Appends "KEY=value\n" to the argument text of fd.
int appendArgument(FilterData* fd, const char* key, const std::string& value)
{
    size_t old = fd->filter_arguments ? strlen(fd->filter_arguments) : 0;
    std::string line = std::string(key) + "=" + value + "\n";
    char* text = static_cast<char*>(realloc(fd->filter_arguments, old + line.size() + 1));
    if (!text)
        return ENOMEM;
    memcpy(text + old, line.c_str(), line.size() + 1);
    fd->filter_arguments = text;
    fd->arg_length = static_cast<int>(old + line.size() + 1);
    return 0;
}

bool isUrl(const char* text)
{
    return text && strstr(text, "://") != nullptr;
}

void napMilliseconds(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// After a successful streamed export: waits until the reader has the whole
// document. 0, or the error number saying why it did not arrive whole.
int awaitStream(FTMContext* reader, VORNXML_LOGWRITER logger)
{
    long long bytes = 0, seen = -1;
    int idleMs = 0;
    for (;;) {
        int st = VfxFTMGetTransferStatus(reader, &bytes);
        if (st != EINPROGRESS && st != ENOTCONN)
            return st;
        if (bytes != seen) {
            seen = bytes;
            idleMs = 0;
        }
        if (idleMs >= kStreamGraceMs) {
            if (st == ENOTCONN) {
                setLastError("The export reported success but nothing was posted to the stream.");
                return ENOTCONN;
            }
            setLastError("The stream did not end: %lld bytes arrived, then neither more data nor its end.", bytes);
            return ETIMEDOUT;
        }
        napMilliseconds(1);
        ++idleMs;
    }
}

const char* streamEndText(int st)
{
    switch (st) {
    case ECONNABORTED:
        return "the sender closed the connection before the end of the data";
    case ECANCELED:
        return "the transfer was cancelled";
    case EPROTO:
        return "the sender's request was malformed";
    case EMSGSIZE:
        return "the sender's request header was too long";
    default:
        return nullptr;
    }
}

// Reports a caller's file that could not be closed (the data may be lost).
int closeFile(FILE* fp, const char* fileName, int rc, VORNXML_LOGWRITER logger)
{
    int bad = ferror(fp);
    int err = fclose(fp) != 0 ? errno : 0;
    int written = g_fileWriteError.exchange(0);
    if ((bad || err) && (rc & 1) && rc > 0) {
        if (!err)
            err = written ? written : EIO;
        return failWith(logger, err,
                        "Error writing to file \"" + std::string(fileName) + "\": " + errnoText(err));
    }
    return rc;
}

struct CollectedData {
    char* data = nullptr;
    size_t length = 0;
};

} // namespace

extern "C" {

// Runs the filter named in fd through the kernel and makes one status of
// the kernel's, the filter's and (for a streamed export) the stream's.
int runTransfer(FilterData* fd, FTMContext* stream, int bImport, VORNXML_LOGWRITER logger)
{
    fd->errortext[0] = 0;
    int rc = bImport ? VdbImport(fd) : VdbExport(fd);
    if (!(fd->errorcode & 1))
        rc = fd->errorcode;
    if (!(rc & 1)) {
        const char* text = fd->errortext;
        std::string kernelText;
        if (!text[0]) {
            kernelText = rc ? kernelMessage(rc, 256) : std::string("The filter failed without giving a reason.");
            text = kernelText.c_str();
        }
        setLastError("%s", text);
        VXLogPrint(logger, EVX_LOGLEVEL_ERROR, "%s", text);
        return rc;
    }
    if (stream && !bImport) {
        int st = awaitStream(stream, logger);
        if (st != 0) {
            if (st != ENOTCONN && st != ETIMEDOUT) {
                long long bytes = 0;
                VfxFTMGetTransferStatus(stream, &bytes);
                const char* why = streamEndText(st);
                setLastError("The streamed document did not arrive whole after %lld bytes: %s.", bytes,
                             why ? why : errnoText(st).c_str());
            }
            VXLogPrint(logger, EVX_LOGLEVEL_ERROR, "%s", t_lastError);
            return -st;
        }
    }
    t_lastError[0] = 0;
    return rc;
}

int fileWriter(void* pBuffer, int nBufLen, void* pUserData)
{
    SFileWriter* w = static_cast<SFileWriter*>(pUserData);
    if (!w || !pBuffer || nBufLen <= 0)
        return nBufLen;
    if (w->callback) {
        w->callback(pBuffer, nBufLen, w->cbData);
    } else if (w->filePtr) {
        // A failed write leaves the error flag set; the call reports it.
        if (fwrite(pBuffer, 1, static_cast<size_t>(nBufLen), w->filePtr) != static_cast<size_t>(nBufLen) ||
            fflush(w->filePtr) != 0)
            g_fileWriteError.store(errno ? errno : EIO);
    }
    return nBufLen;
}

int initImport(FilterData* pFD, FTMContext** phListener, VdbHandle recordControl, const char* streamFile,
               const char* urlAlias, int validate, int blobFlag, int streamFlag, int streamPort,
               VORNXML_LOGWRITER logger)
{
    if (!pFD || !phListener)
        return failWith(logger, EINVAL, "No filter record or listener handle given.");
    memset(pFD, 0, sizeof *pFD);
    *phListener = nullptr;
    char absPath[2048] = "";
    bool bUrl = isUrl(streamFile);
    if (streamFile && !bUrl) {
        int err = VfxRelativeDirToAbsolute(absPath, streamFile, sizeof absPath);
        if (err)
            return failWith(logger, err, "Cannot make an absolute path of \"" + std::string(streamFile) +
                                             "\": " + errnoText(err));
    }
    if (validate)
        pFD->filter_options |= FO_VALIDATE;
    pFD->record_control = recordControl;
    VdbSetCursor(&pFD->cursor, recordControl, 0, 0, 0);

    std::string streamUrl;
    if (streamFlag) {
        pFD->filter_options |= FO_STREAM;
        if (bUrl) {
            streamUrl = streamFile;
        } else {
            std::string host = streamHost();
            VfxSetThreadConcurrency(10);
            int err = VfxFTMCreateListener(phListener, streamPort, logger, logger ? FTM_FLAG_VERBOSE : 0,
                                           host.c_str(), absPath);
            if (err) {
                *phListener = nullptr;
                deinitImport(pFD, phListener);
                return failWith(logger, err, "Could not start the file streamer: " + errnoText(err));
            }
            if (streamPort < 1)
                streamPort = VfxFTMGetListenerPort(*phListener);
            streamUrl = "http://" + host + ":" + std::to_string(streamPort) + "/";
        }
    }
    snprintf(pFD->filter_name, sizeof pFD->filter_name, "%s", "vornxmlput");
    int err = 0;
    if (urlAlias && *urlAlias)
        err = appendArgument(pFD, "URL", urlAlias);
    if (!blobFlag || streamFlag)
        pFD->filter_options |= FO_NORAWTEXT;
    if (!err && streamFlag)
        err = appendArgument(pFD, "FILEURL", streamUrl);
    if (err) {
        deinitImport(pFD, phListener);
        return failWith(logger, err, "Out of memory for the filter arguments.");
    }
    return 1;
}

void deinitImport(FilterData* pFD, FTMContext** phListener)
{
    if (pFD) {
        free(pFD->buffer);
        pFD->buffer = nullptr;
        free(pFD->filter_arguments);
        pFD->filter_arguments = nullptr;
        pFD->arg_length = 0;
        // One cursor per call would otherwise pile up on the caller's control.
        if (pFD->cursor)
            VdbDeleteCursor(pFD->cursor);
        pFD->cursor = nullptr;
    }
    if (phListener && *phListener) {
        VfxFTMCloseListener(*phListener);
        *phListener = nullptr;
    }
}

int initExport(FilterData* pFD, FTMContext** phListener, VdbHandle recordControl, FILE* pOutFile,
               VORNXML_IO_FUNC callback, void* pCallbackUserData, int blobFlag, int streamFlag, int streamPort,
               VORNXML_LOGWRITER logger)
{
    if (!pFD || !phListener)
        return failWith(logger, EINVAL, "No filter record or listener handle given.");
    memset(pFD, 0, sizeof *pFD);
    *phListener = nullptr;
    pFD->record_control = recordControl;
    VdbSetCursor(&pFD->cursor, recordControl, 1, 0, 0);
    if (!blobFlag)
        pFD->filter_options |= EXPORT_BLOCK;
    if (streamFlag) {
        SFileWriter* writer = static_cast<SFileWriter*>(calloc(1, sizeof(SFileWriter)));
        if (!writer) {
            deinitExport(pFD, phListener);
            return failWith(logger, ENOMEM, "Out of memory for the stream writer.");
        }
        writer->callback = callback;
        writer->filePtr = pOutFile;
        writer->cbData = pCallbackUserData;
        VfxSetThreadConcurrency(10);
        int err = VfxFTMCreateReader(phListener, streamPort, logger, fileWriter, writer,
                                     logger ? FTM_FLAG_VERBOSE : 0);
        if (err) {
            free(writer);
            *phListener = nullptr;
            deinitExport(pFD, phListener);
            return failWith(logger, err, "Could not start the file streamer: " + errnoText(err));
        }
        if (streamPort < 1)
            streamPort = VfxFTMGetListenerPort(*phListener);
        std::string url = "http://" + streamHost() + ":" + std::to_string(streamPort) + "/";
        if (appendArgument(pFD, "FILEURL", url) != 0) {
            deinitExport(pFD, phListener);
            return failWith(logger, ENOMEM, "Out of memory for the filter arguments.");
        }
        pFD->filter_options |= FO_STREAM;
    }
    snprintf(pFD->filter_name, sizeof pFD->filter_name, "%s", "vornxmlget");
    return 1;
}

void deinitExport(FilterData* pFD, FTMContext** phListener)
{
    SFileWriter* writer = nullptr;
    if (phListener && *phListener)
        writer = static_cast<SFileWriter*>((*phListener)->callbackData);
    // The reader's threads stop before the writer they use is freed.
    deinitImport(pFD, phListener);
    free(writer);
}

void VXGetErrorMsg(int rc, FilterData* pFD, char* buf)
{
    if (!buf)
        return;
    const char* text = pFD ? pFD->errortext : t_lastError;
    size_t len = pFD ? strnlen(pFD->errortext, sizeof pFD->errortext) : strlen(t_lastError);
    if (len > 0) {
        if (len > 511)
            len = 511;
        memcpy(buf, text, len);
        buf[len] = 0;
        return;
    }
    if (rc < 0) {
        snprintf(buf, 512, "Error E%04d: %s", -rc, errnoText(-rc).c_str());
    } else if (rc != 0 && !(rc & 1)) {
        std::string m = kernelMessage(rc, 512);
        memcpy(buf, m.c_str(), m.size() + 1);
    }
}

void VXLogPrint(VORNXML_LOGWRITER logger, EVXLogLevel logLevel, const char* format, ...)
{
    if (!logger || !format)
        return;
    char text[2048];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    int prefix = static_cast<int>(strftime(text, sizeof text, "[%H:%M:%S] ", &tm));
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + prefix, sizeof text - static_cast<size_t>(prefix), format, args);
    va_end(args);
    if (n <= 0)
        return;
    size_t len = strlen(text);
    if (text[len - 1] != '\n') {
        // A message that filled the buffer gives up its last character.
        if (len + 1 >= sizeof text)
            --len;
        text[len] = '\n';
        text[len + 1] = 0;
    }
    logger(logLevel, text);
}

namespace {

// The end of an import from a file: the filter reads the file by name, or
// fetches it from the listener when streamed; the import's state is released.
int runFileImport(FilterData* fd, FTMContext** listener, const char* fileName, int streamFlag,
                  VORNXML_LOGWRITER logger)
{
    fd->vdb_options = IEOPT_FILENAME;
    if (!streamFlag) {
        fd->buffer = strdup(fileName);
        if (!fd->buffer) {
            deinitImport(fd, listener);
            return failWith(logger, ENOMEM, "Out of memory for the file name.");
        }
        fd->buffer_length = static_cast<int>(strlen(fileName)) + 1;
    }
    int rc = runTransfer(fd, *listener, 1, logger);
    deinitImport(fd, listener);
    return rc;
}

} // namespace

int VXImportXMLFile(VdbHandle recordControl, const char* fileName, const char* urlAlias, int validate, int blobFlag,
                    int streamFlag, int streamPort, VORNXML_LOGWRITER logger)
{
    if (!fileName || !*fileName)
        return failWith(logger, EINVAL, "No file name given for the import.");
    if (streamFlag) {
        if (int rc = checkReadable(logger, fileName))
            return rc;
    }
    FilterData fd;
    FTMContext* listener = nullptr;
    int rc = initImport(&fd, &listener, recordControl, fileName, urlAlias, validate, blobFlag, streamFlag,
                        streamPort, logger);
    if (rc <= 0)
        return rc;
    return runFileImport(&fd, &listener, fileName, streamFlag, logger);
}

int VXImportXMLBuffer(VdbHandle recordControl, const char* xmlData, int dataLength, const char* urlAlias,
                      int validate, int blobFlag, VORNXML_LOGWRITER logger)
{
    if (!xmlData || dataLength < 0)
        return failWith(logger, EINVAL, "No document given for the import (null data or a negative length).");
    FilterData fd;
    FTMContext* listener = nullptr;
    int rc = initImport(&fd, &listener, recordControl, nullptr, urlAlias, validate, blobFlag, 0, 0, logger);
    if (rc <= 0)
        return rc;
    fd.vdb_options = IEOPT_MEMORY;
    fd.buffer = const_cast<char*>(xmlData);
    fd.buffer_length = dataLength;
    rc = runTransfer(&fd, listener, 1, logger);
    // The caller's memory is not ours to free.
    fd.buffer = nullptr;
    deinitImport(&fd, &listener);
    return rc;
}

int VXImportXMLURL(VdbHandle recordControl, const char* xmlurl, int validate, int blobFlag,
                   VORNXML_LOGWRITER logger)
{
    if (!xmlurl || !*xmlurl)
        return failWith(logger, EINVAL, "No URL given for the import.");
    if (!isUrl(xmlurl)) {
        if (int rc = checkReadable(logger, xmlurl))
            return rc;
    }
    FilterData fd;
    FTMContext* listener = nullptr;
    int rc = initImport(&fd, &listener, recordControl, xmlurl, xmlurl, validate, blobFlag, 1, 0, logger);
    if (rc <= 0)
        return rc;
    fd.vdb_options = IEOPT_FILENAME;
    rc = runTransfer(&fd, listener, 1, logger);
    deinitImport(&fd, &listener);
    return rc;
}

int VXImportXMLCallback(VdbHandle recordControl, VORNXML_IO_FUNC pCallbackFunction, void* pCallbackUserData,
                        const char* urlAlias, int validate, int blobFlag, int streamFlag, int streamPort,
                        VORNXML_LOGWRITER logger)
{
    if (!pCallbackFunction)
        return failWith(logger, EINVAL, "No callback given for the import.");
    FilterData fd;
    FTMContext* listener = nullptr;
    int rc = initImport(&fd, &listener, recordControl, nullptr, urlAlias, validate, blobFlag, 0, 0, logger);
    if (rc <= 0)
        return rc;
    const int kChunk = 8192;
    CollectedData all;
    for (;;) {
        char* grown = static_cast<char*>(realloc(all.data, all.length + kChunk));
        if (!grown) {
            free(all.data);
            deinitImport(&fd, &listener);
            return failWith(logger, ENOMEM, "Out of memory collecting the document from the callback.");
        }
        all.data = grown;
        int n = pCallbackFunction(all.data + all.length, kChunk, pCallbackUserData);
        if (n <= 0)
            break;
        if (n > kChunk || all.length + static_cast<size_t>(n) > 0x7fffffffu - kChunk) {
            free(all.data);
            deinitImport(&fd, &listener);
            if (n > kChunk)
                return failWith(logger, EINVAL,
                                "The import callback returned " + std::to_string(n) + " bytes for a buffer of " +
                                    std::to_string(kChunk) + ".");
            return failWith(logger, EFBIG, "The document from the callback exceeds 2 GB.");
        }
        all.length += static_cast<size_t>(n);
    }
    fd.vdb_options = IEOPT_MEMORY;
    fd.buffer = all.data;
    fd.buffer_length = static_cast<int>(all.length);
    rc = runTransfer(&fd, listener, 1, logger);
    deinitImport(&fd, &listener);
    return rc;
}

int VXImportNXFile(VdbHandle recordControl, const char* fileName, const char* urlAlias, int streamFlag,
                   int streamPort, VORNXML_LOGWRITER logger)
{
    if (!fileName || !*fileName)
        return failWith(logger, EINVAL, "No file name given for the import.");
    if (streamFlag) {
        if (int rc = checkReadable(logger, fileName))
            return rc;
    }
    FilterData fd;
    FTMContext* listener = nullptr;
    int rc = initImport(&fd, &listener, recordControl, fileName, urlAlias, 0, 0, streamFlag, streamPort, logger);
    if (rc <= 0)
        return rc;
    int number = 0, type = 0, flags = 0;
    rc = VdbCheckField(recordControl, "DAV_NONXMLBLOB", &number, &type, &flags);
    if (!(rc & 1)) {
        std::string m = kernelMessage(rc, 400);
        setLastError("Error #%d in VdbCheckField: %s", rc, m.c_str());
        VXLogPrint(logger, EVX_LOGLEVEL_FATAL, "%s", t_lastError);
        deinitImport(&fd, &listener);
        return rc;
    }
    rc = VdbSetCursor(&fd.cursor, recordControl, number, 0, 0);
    if (!(rc & 1)) {
        std::string m = kernelMessage(rc, 400);
        setLastError("Error #%d in VdbSetCursor: %s", rc, m.c_str());
        VXLogPrint(logger, EVX_LOGLEVEL_FATAL, "%s", t_lastError);
        deinitImport(&fd, &listener);
        return rc;
    }
    snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlputblob");
    return runFileImport(&fd, &listener, fileName, streamFlag, logger);
}

int VXExportXMLFile(VdbHandle recordControl, const char* fileName, int blobFlag, int streamFlag, int streamPort,
                    VORNXML_LOGWRITER logger)
{
    if (!fileName || !*fileName)
        return failWith(logger, EINVAL, "No file name given for the export.");
    // The filter must never be handed a file that is not open.
    FILE* fp = fopen(fileName, "wb");
    if (!fp) {
        int err = errno;
        return failWith(logger, err,
                        "Could not open file \"" + std::string(fileName) + "\" for writing: " + errnoText(err));
    }
    g_fileWriteError.store(0);
    FilterData fd;
    FTMContext* reader = nullptr;
    int rc = initExport(&fd, &reader, recordControl, fp, nullptr, nullptr, blobFlag, streamFlag, streamPort, logger);
    if (rc <= 0) {
        fclose(fp);
        return rc;
    }
    if (streamFlag) {
        fd.vdb_options = IEOPT_FILENAME;
    } else {
        fd.vdb_options = IEOPT_FILE;
        fd.buffer = fp;
        fd.buffer_length = 8;
    }
    rc = runTransfer(&fd, reader, 0, logger);
    if (!streamFlag)
        fd.buffer = nullptr;
    deinitExport(&fd, &reader);
    return closeFile(fp, fileName, rc, logger);
}

int VXExportXMLBuffer(VdbHandle recordControl, char** ppXmlData, int* pnDataLength, int blobFlag,
                      VORNXML_LOGWRITER logger)
{
    if (!ppXmlData || !pnDataLength)
        return failWith(logger, EINVAL, "No place given for the exported document.");
    *ppXmlData = nullptr;
    *pnDataLength = 0;
    FilterData fd;
    FTMContext* reader = nullptr;
    int rc = initExport(&fd, &reader, recordControl, nullptr, nullptr, nullptr, blobFlag, 0, 0, logger);
    if (rc <= 0)
        return rc;
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    rc = runTransfer(&fd, reader, 0, logger);
    if ((rc & 1) && rc > 0) {
        *ppXmlData = static_cast<char*>(fd.buffer);
        *pnDataLength = fd.buffer_length;
        fd.buffer = nullptr;
    }
    deinitExport(&fd, &reader);
    return rc;
}

int VXExportXMLCallback(VdbHandle recordControl, VORNXML_IO_FUNC pCallbackFunction, void* pCallbackUserData,
                        int blobFlag, int streamFlag, int streamPort, VORNXML_LOGWRITER logger)
{
    if (!pCallbackFunction)
        return failWith(logger, EINVAL, "No callback given for the export.");
    FilterData fd;
    FTMContext* reader = nullptr;
    int rc = initExport(&fd, &reader, recordControl, nullptr, pCallbackFunction, pCallbackUserData, blobFlag,
                        streamFlag, streamPort, logger);
    if (rc <= 0)
        return rc;
    fd.vdb_options = streamFlag ? 0 : (IEOPT_MEMORY | EXPORT_ALLOC);
    rc = runTransfer(&fd, reader, 0, logger);
    if (!streamFlag && (rc & 1) && rc > 0 && fd.buffer)
        pCallbackFunction(fd.buffer, fd.buffer_length, pCallbackUserData);
    deinitExport(&fd, &reader);
    return rc;
}

} // extern "C"
