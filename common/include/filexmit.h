// File transfer streamer: a small HTTP-like server and client that move a
// document between a client program and the filter without passing it through
// the kernel's buffers.
//
// Server side (client library): a listener serves one file, and files of its
// directory, to GET requests; a reader receives one POST and hands the body to
// a data callback. Client side (filter module): VfxFTMRead fetches a URL, the
// write calls post a body ended by the terminator or sized by Content-Length.
//
// Status results are 0 for success and an errno value otherwise, unless said.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "VfxPlatform.h"

// Log levels and callback types shared with the client library's public
// header, which reuses these definitions (guarded so that either may come
// first).
#ifndef VORNXML_CALLBACK_TYPES_DEFINED
#define VORNXML_CALLBACK_TYPES_DEFINED
typedef enum EVXLogLevel {
    EVX_LOGLEVEL_FATAL = 0,
    EVX_LOGLEVEL_ERROR = 1,
    EVX_LOGLEVEL_WARNING = 2,
    EVX_LOGLEVEL_DEBUG = 3
} EVXLogLevel;
// Receives a level and a NUL-terminated line; may be called from any of the
// streamer's threads at once.
typedef void (*VORNXML_LOGWRITER)(EVXLogLevel level, const char* text);
// Receives a block of data; runs on the streamer's connection thread.
typedef int (*VORNXML_IO_FUNC)(void* data, int length, void* userData);
#endif

// The 6 bytes that end a posted body sent without Content-Length.
#define FTM_TERMINATOR "HoXXoH"
#define FTM_TERMINATOR_LENGTH 6
// Both sides move data in blocks of this size.
#define FTM_BLOCK_SIZE 16384
// A GET request is sent as one block of this size, zero-padded.
#define FTM_REQUEST_SIZE 1024
#define FTM_MAX_CLIENTS 256
// URLs are taken apart into these buffers; longer parts are refused.
#define FTM_HOST_SIZE 256
#define FTM_PATH_SIZE 512
// Bit of the create calls' flags that turns on progress lines (level 3).
#define FTM_FLAG_VERBOSE 16

// One for the server and one per accepted connection. Zero-filled at birth.
typedef struct FTMContext {
    VfxThread* thread;           // ear thread (server) or connection thread
    int mode;                    // 1 reader, 0 listener
    int errorCode;               // last error number
    char errorText[256];         // its text
    VORNXML_LOGWRITER logCallback;
    VORNXML_IO_FUNC dataCallback; // reader only
    void* callbackData;
    struct FTMContext* clients[FTM_MAX_CLIENTS]; // server only; ear thread only
    int clientSocket;            // 0: none
    int listenSocket;            // server only; 0: none
    int port;                    // the bound port once created
    void* acceptBuffer;          // always null
    int verbose;
    char filePath[1024];         // listener: the file served for "/"
    int acceptBytes;             // not used
    struct in_addr hostAddress;  // listener: the host name given at creation, resolved
    int addressLength;
    struct sockaddr_in peerAddress;

    // Bookkeeping beyond the fields above.
    struct FTMContext* server;   // connection: its server (outlives it)
    int clientCount;             // server: slots of clients in use (ear thread only)
    int served;                  // reader: its one connection has come
    int transferStatus;          // server: see VfxFTMGetTransferStatus (atomic)
    long long transferBytes;     // server: body bytes delivered or sent (atomic)
} FTMContext;

#ifdef __cplusplus
extern "C" {
#endif

// ---- server side ----

// Serves filePath for "GET / " and files of its directory for "GET /name";
// names that leave the directory are refused with 403. port 0 or less binds
// a free port (VfxFTMGetListenerPort). hostName, when given, must resolve.
int VfxFTMCreateListener(FTMContext** ppContext, int port, VORNXML_LOGWRITER logCallback, int flags,
                         const char* hostName, const char* filePath);
// Accepts one connection and passes every body byte of its POST to
// dataCallback; later connections stay unanswered until the reader closes.
int VfxFTMCreateReader(FTMContext** ppContext, int port, VORNXML_LOGWRITER logCallback, VORNXML_IO_FUNC dataCallback,
                       void* callbackData, int flags);
// The bound port, or -1 for null.
int VfxFTMGetListenerPort(FTMContext* pContext);
// Stops the ear thread and every connection thread, closes all sockets and
// frees the context. Null is accepted.
void VfxFTMCloseListener(FTMContext* pContext);
// What became of the transfers so far. Reader: ENOTCONN before its connection
// came, EINPROGRESS while it runs, 0 once the body ended with the terminator
// or reached its Content-Length, otherwise the reason it ended early
// (ECONNABORTED: the writer closed before the end; ECANCELED: the reader was
// closed first; EPROTO, EMSGSIZE: a refused request; a socket error).
// Listener: ENOTCONN before any connection ended, then the outcome of the
// last one that ended (0 served, ENOENT 404, EACCES 403, or the error).
// *pBytes (optional) receives the body bytes delivered or sent in all.
// -1 for a null context.
int VfxFTMGetTransferStatus(FTMContext* pContext, long long* pBytes);

// ---- client side ----

// Fetches url with a GET and passes the body to callback block by block.
// 0; 2 when the answer is not "200 OK"; otherwise an error number: from
// parsing the URL (EINVAL, ENAMETOOLONG), connecting, the socket, EPROTO for
// a malformed answer, ECONNABORTED when the body ended before its
// Content-Length, ETIMEDOUT when the read wait is limited and expired.
int VfxFTMRead(const char* url, VORNXML_IO_FUNC callback, void* callbackData);
// The same fetch for a caller that pulls the body (a parser reading its
// input): VfxFTMReadOpen sends the GET and reads the answer's header (0 with
// *ppStream set; otherwise as VfxFTMRead, *ppStream null); VfxFTMReadData
// gives up to size body bytes, *pRead 0 at the end (0, or as VfxFTMRead);
// VfxFTMReadClose ends the fetch, read through or not (null is accepted).
typedef struct FTMReadStream FTMReadStream;
int VfxFTMReadOpen(FTMReadStream** ppStream, const char* url);
int VfxFTMReadData(FTMReadStream* pStream, void* buf, int size, int* pRead);
void VfxFTMReadClose(FTMReadStream* pStream);
// Connect to url's host and port and send the POST header (with
// Content-Length for the second form). Failures close the socket and leave
// *pSocket 0.
int VfxFTMWriteOpen(int* pSocket, const char* url);
int VfxFTMWriteOpenEx(int* pSocket, const char* url, int length);
// Writes the whole block, waiting at most the write wait (30 s) each time the
// socket cannot take more; ETIMEDOUT when that wait expires. On failure the
// reason is printed to stderr and the socket is shut down (further writes
// fail at once); it stays open until VfxFTMWriteClose.
int VfxFTMWriteBlock(int socket, const void* data, int length);
// Closes the socket (0 is ignored); 0 or an error number.
int VfxFTMWriteClose(int socket);

// Wait limits in milliseconds, process-wide; each returns the previous value.
// Write wait: how long a write may wait for the socket to take data (default
// 30000, at least 1). Read wait: how long VfxFTMRead waits for the next data
// (default 0, no limit).
int VfxFTMSetWriteWait(int milliseconds);
int VfxFTMSetReadWait(int milliseconds);

// ---- helpers ----

// Takes url apart: a leading scheme up to "://" is skipped; the path starts at
// the first "/" (else the first backslash) and runs to the end, "/" when there
// is none; the host is what precedes it, with ":port" split off (port 80
// otherwise). host must hold FTM_HOST_SIZE bytes and path FTM_PATH_SIZE.
// 0; -1 for a null or empty URL; ENAMETOOLONG when the host or path does not
// fit; EINVAL for a port that is not a number from 1 to 65535 or a URL with
// control characters.
int xmit_parseurl(const char* url, char* host, char* path, int* port);

#ifdef __cplusplus
}
#endif
