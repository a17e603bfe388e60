/*
 * vxclient: storing XML and non-XML documents into, and reading XML documents
 * out of, the current record of an open kernel session.
 *
 * Every call fills a filter_data record for the filter module (vornxmlput,
 * vornxmlputblob or vornxmlget) and runs it with VdbImport or VdbExport on
 * the caller's thread. With streaming, a file streamer is started on a local
 * TCP port for the duration of the call and the document travels over it
 * instead of through the kernel's buffers.
 *
 * Results
 *   odd        success (a kernel status, normally 1);
 *   0 or even  the filter's or the kernel's failure: VXGetErrorMsg gives the
 *              reason, and the logger (when given) receives it at level 1;
 *   negative   an error number (errno) negated: the streamer could not be
 *              started, a file of the caller's could not be opened or written,
 *              or a streamed export did not arrive whole.
 *
 * Threads: calls are synchronous and must come from the thread that owns the
 * kernel session. The data callback of a streamed export and the logger run
 * on the streamer's threads while the call is in progress.
 */
#ifndef VXAPIDEFS_H
#define VXAPIDEFS_H

#include <stdio.h>

#include "vornapi_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VXAPI __attribute__((visibility("default")))
#else
#define VXAPI
#endif

/* Shared with the file streamer's header, which may come first. */
#ifndef VORNXML_CALLBACK_TYPES_DEFINED
#define VORNXML_CALLBACK_TYPES_DEFINED
typedef enum EVXLogLevel {
    EVX_LOGLEVEL_FATAL = 0,
    EVX_LOGLEVEL_ERROR = 1,
    EVX_LOGLEVEL_WARNING = 2,
    EVX_LOGLEVEL_DEBUG = 3
} EVXLogLevel;
/* Receives a level and a NUL-terminated line; may be called from any of the
 * streamer's threads at once. */
typedef void (*VORNXML_LOGWRITER)(EVXLogLevel level, const char* text);
/* Receives (or, for VXImportXMLCallback, fills) a block of data. */
typedef int (*VORNXML_IO_FUNC)(void* data, int length, void* userData);
#endif

typedef filter_data FilterData;

/* A running file streamer (listener or reader); opaque to client programs. */
struct FTMContext;

/* Where a streamed export puts what it receives: the callback when there is
 * one, else the file. */
typedef struct tagFileWriter {
    VORNXML_IO_FUNC callback;
    FILE* filePtr;
    void* cbData;
} SFileWriter;

/* ---- public calls ----
 *
 * recordControl: the record control of the current record; an import fills
 *   (and on success stores) its record, an export reads it.
 * urlAlias: the document's URL (filter argument URL); null or "" for none.
 * validate: validate while parsing.
 * blobFlag: import: keep the raw document text beside its nodes (a streamed
 *   import never keeps it); export: return the raw text when the record has
 *   it, else (0) rebuild the document from its nodes.
 * streamFlag, streamPort: move the document over the file streamer on this
 *   port (0 or less: any free port).
 * logger: receives the library's and the streamer's messages; may be null.
 */

/* Stores the XML file fileName. */
VXAPI int VXImportXMLFile(VdbHandle recordControl, const char* fileName, const char* urlAlias, int validate,
                          int blobFlag, int streamFlag, int streamPort, VORNXML_LOGWRITER logger);
/* Stores dataLength bytes of XML at xmlData (the caller's memory stays the
 * caller's). */
VXAPI int VXImportXMLBuffer(VdbHandle recordControl, const char* xmlData, int dataLength, const char* urlAlias,
                            int validate, int blobFlag, VORNXML_LOGWRITER logger);
/* Stores the document at xmlurl, which the filter fetches itself; a text
 * without "://" is a local file served through a listener. xmlurl is also the
 * document's URL. */
VXAPI int VXImportXMLURL(VdbHandle recordControl, const char* xmlurl, int validate, int blobFlag,
                         VORNXML_LOGWRITER logger);
/* Stores the document that pCallbackFunction hands over: it is called with an
 * 8192-byte buffer and returns the number of bytes it put there, 0 (or less)
 * at the end. The whole document is collected before it is stored;
 * streamFlag and streamPort are not used. */
VXAPI int VXImportXMLCallback(VdbHandle recordControl, VORNXML_IO_FUNC pCallbackFunction, void* pCallbackUserData,
                              const char* urlAlias, int validate, int blobFlag, int streamFlag, int streamPort,
                              VORNXML_LOGWRITER logger);
/* Stores the file fileName as a non-XML document (blob DAV_NONXMLBLOB). */
VXAPI int VXImportNXFile(VdbHandle recordControl, const char* fileName, const char* urlAlias, int streamFlag,
                         int streamPort, VORNXML_LOGWRITER logger);
/* Writes the record's document into the file fileName (created or
 * overwritten). */
VXAPI int VXExportXMLFile(VdbHandle recordControl, const char* fileName, int blobFlag, int streamFlag, int streamPort,
                          VORNXML_LOGWRITER logger);
/* Hands the record's document to the caller: *ppXmlData (free it with free())
 * and its length *pnDataLength. On failure *ppXmlData is null and
 * *pnDataLength 0. */
VXAPI int VXExportXMLBuffer(VdbHandle recordControl, char** ppXmlData, int* pnDataLength, int blobFlag,
                            VORNXML_LOGWRITER logger);
/* Hands the record's document to pCallbackFunction: without streaming in one
 * call after a successful export, with streaming block by block as it
 * arrives (on the streamer's thread). */
VXAPI int VXExportXMLCallback(VdbHandle recordControl, VORNXML_IO_FUNC pCallbackFunction, void* pCallbackUserData,
                              int blobFlag, int streamFlag, int streamPort, VORNXML_LOGWRITER logger);

/* The reason for rc, into buf (512 bytes). With pFD: its errortext when not
 * empty; otherwise, for an even rc, the kernel's message of rc, and for a
 * negative rc the text of its error number; rc 0 or odd leaves buf as it
 * was. With a null pFD the record of the calling thread's last VX call
 * takes its place (its text says why it failed, "" after a success). */
VXAPI void VXGetErrorMsg(int rc, FilterData* pFD, char* buf);
/* Sends "[hh:mm:ss] " and the formatted message, ended by a line feed, to
 * logger; nothing without a logger or for an empty message. */
VXAPI void VXLogPrint(VORNXML_LOGWRITER logger, EVXLogLevel logLevel, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* ---- internal calls (exported for the library's own tests and tools) ---- */

/* Prepares an import of streamFile (a file name, or a URL when it holds
 * "://") into recordControl: zeroes *pFD, places its cursor, sets the filter
 * options and argument text and, with streamFlag, starts a listener serving
 * the file (*phListener; null when none). 1, or a negated error number. */
VXAPI int initImport(FilterData* pFD, struct FTMContext** phListener, VdbHandle recordControl, const char* streamFile,
                     const char* urlAlias, int validate, int blobFlag, int streamFlag, int streamPort,
                     VORNXML_LOGWRITER logger);
/* Frees buffer and argument text, deletes the cursor, closes the streamer
 * and clears *phListener. */
VXAPI void deinitImport(FilterData* pFD, struct FTMContext** phListener);
/* Prepares an export of recordControl; with streamFlag starts a reader that
 * hands what arrives to callback (or writes it to pOutFile). 1, or a negated
 * error number. */
VXAPI int initExport(FilterData* pFD, struct FTMContext** phListener, VdbHandle recordControl, FILE* pOutFile,
                     VORNXML_IO_FUNC callback, void* pCallbackUserData, int blobFlag, int streamFlag, int streamPort,
                     VORNXML_LOGWRITER logger);
VXAPI void deinitExport(FilterData* pFD, struct FTMContext** phListener);
/* Runs the filter named in *pFD (VdbImport when bImport, else VdbExport) and
 * makes one status of the kernel's and the filter's; after a streamed export
 * (hStream the reader) it also waits for the whole document to arrive and
 * fails with a negated error number when it did not. Logs and remembers the
 * reason of a failure (VXGetErrorMsg). */
VXAPI int runTransfer(FilterData* pFD, struct FTMContext* hStream, int bImport, VORNXML_LOGWRITER logger);
/* The reader's data callback: pUserData is an SFileWriter. Returns nBufLen. */
VXAPI int fileWriter(void* pBuffer, int nBufLen, void* pUserData);

#ifdef __cplusplus
}
#endif

#endif /* VXAPIDEFS_H */
