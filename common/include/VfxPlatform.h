// Platform layer: sockets, threads, events and mutexes over POSIX.
//
// Status results are 0 for success and an errno value otherwise. A socket is
// a plain descriptor; 0 means "no socket" everywhere in this layer and in the
// streamer, so 0 and -1 are never closed and no socket made here is ever 0.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/time.h>

// A two-state flag on an unnamed semaphore: signalled while its count is > 0.
typedef sem_t* VfxEvent;

typedef struct VfxMutex {
    pthread_mutex_t mutex;
    pthread_mutexattr_t attributes;
    int locked; // 1 after a blocking lock, 0 after unlock
} VfxMutex;

typedef void* (*VfxThreadProc)(void* pThread);

// Passed to the start routine as its only argument.
typedef struct VfxThread {
    pthread_t threadId;         // non-zero while running; VfxThreadCleanup clears it
    pthread_attr_t attributes;  // joinable, scheduling inherited
    VfxMutex* mutex;
    VfxEvent startEvent;        // the creator signals it once the record is complete
    VfxEvent stopEvent;         // signalled to ask the thread to stop; the thread polls it
    void* userData;
    // Bookkeeping of the layer: the id to join even after threadId was cleared.
    pthread_t joinId;
    int joinPending;
} VfxThread;

#ifdef __cplusplus
extern "C" {
#endif

// ---- network and sockets ----
int VfxStartNetwork(void);
void VfxStopNetwork(void);
int VfxCreateSocket(int domain, int type);
// 0 and -1 are left alone and give the descriptor plus 1; others are closed
// (0 or errno).
int VfxCloseSocket(int fd);
void VfxCloseSocketEx(int fd, void* buffer);
// IPv4 stream socket listening on all interfaces (backlog 128). The port must
// lie in 0..65535 (EINVAL otherwise); a port in use gives EADDRINUSE. On
// failure *pSocket is 0.
int VfxCreateListenSocket(int* pSocket, int port);
// Listens on a free port chosen by the system and reports it in *pPort
// (host byte order) unless pPort is null.
int VfxCreateDynamicListenSocket(int* pSocket, int* pPort);
// Resolves a host name or dotted address to its first IPv4 address; ENXIO
// when it does not resolve, EINVAL for a null or empty name.
int VfxResolveHost(const char* host, struct in_addr* pAddr);
// Connects an IPv4 stream socket (keep-alive) to host:port.
int VfxCreateClientSocket(const char* host, int port, int* pSocket);
int VfxAccept(int fd, struct sockaddr* pAddr, socklen_t* pLen);
// accept; *ppBuffer is set to null and *pBytes to 0 (no buffer is used).
int VfxAcceptEx(int fd, void** ppBuffer, struct sockaddr* pAddr, socklen_t* pLen, int* pBytes, int nSize);
// One read/write, no retry on partial transfers. Writing to a peer that has
// gone fails with EPIPE instead of raising SIGPIPE.
int VfxSocketRead(int fd, void* buf, int len);
int VfxSocketWrite(int fd, const void* buf, int len);
// Formats into 16384 bytes (longer text is cut) and writes it; an empty text
// writes nothing and gives 0.
int VfxSocketPrintf(int fd, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Waits until fd is readable (writable) or flagged exceptional; a null timeout
// waits without limit. Returns the select-style count, 0 on timeout, or a
// negative value with *pError set (EBADF for descriptor 0 or below).
int VfxSocketReadSelect(int fd, struct timeval* timeout, int* pError);
int VfxSocketWriteSelect(int fd, struct timeval* timeout, int* pError);
// strerror of code (of errno when code is -1), at most size - 1 characters;
// returns the length written.
int VfxGetErrorText(int code, char* buf, int size);
int VfxGetComputerName(char* buf, int size);

// ---- threads ----
VfxThread* VfxCreateThread(VfxThreadProc proc, void* userData);
// Asks the thread to stop (or cancels it when it has no stop event), waits for
// it to end and frees the record.
void VfxTerminateThread(VfxThread* pThread);
// Called by a thread on its way out: marks it finished.
void VfxThreadCleanup(VfxThread* pThread);
bool VfxIsThreadFinished(VfxThread* pThread);
pthread_t VfxGetCurrentThreadId(void);
int VfxGetThreadConcurrency(void);
// Only raises the hint: returns the set call's result, or the current level
// when that is already at least `level`.
int VfxSetThreadConcurrency(int level);

// ---- events ----
VfxEvent VfxCreateEvent(void);
bool VfxCheckEvent(VfxEvent event);
void VfxSetEvent(VfxEvent event);
void VfxResetEvent(VfxEvent event);
// True as soon as the event is signalled (it stays signalled), false when
// `seconds` seconds have passed first.
bool VfxWaitEvent(VfxEvent event, int seconds);
void VfxCloseEvent(VfxEvent event);

// ---- mutexes ----
VfxMutex* VfxCreateMutex(void);
// -1 for null. wait 0: 0 when the lock was free and is now held (locked flag
// not set); otherwise blocks until held, sets the flag and returns 1.
int VfxLockMutex(VfxMutex* pMutex, int wait);
void VfxUnlockMutex(VfxMutex* pMutex);
void VfxDestroyMutex(VfxMutex* pMutex);

#ifdef __cplusplus
}
#endif
