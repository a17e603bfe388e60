#include "VfxPlatform.h"

#include "VfxMemory.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

// Descriptor 0 means "no socket" to every caller, so a socket must never be 0
// (it can be when the process runs with stdin closed).
int avoidZero(int fd)
{
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

int streamSocket()
{
    return avoidZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

int failClosing(int fd, int* pSocket)
{
    int err = errno ? errno : EIO;
    if (fd > 0)
        close(fd);
    if (pSocket)
        *pSocket = 0;
    return err;
}

int waitOne(int fd, struct timeval* timeout, int* pError, bool bWrite)
{
    int dummy;
    if (!pError)
        pError = &dummy;
    if (fd <= 0) {
        *pError = errno = EBADF;
        return -1;
    }
    // poll instead of select: select cannot take descriptors above FD_SETSIZE.
    struct pollfd p;
    p.fd = fd;
    p.events = static_cast<short>((bWrite ? POLLOUT : POLLIN) | POLLPRI);
    p.revents = 0;
    int ms = -1;
    if (timeout) {
        long long t = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
        ms = t < 0 ? 0 : (t > 0x7fffffff ? 0x7fffffff : static_cast<int>(t));
    }
    int r;
    do
        r = poll(&p, 1, ms);
    while (r < 0 && errno == EINTR && ms < 0);
    if (r < 0) {
        *pError = errno;
        return r;
    }
    if (r == 0) {
        *pError = 0;
        return 0;
    }
    if (p.revents & POLLNVAL) {
        *pError = errno = EBADF;
        return -1;
    }
    const short ready = bWrite ? (POLLOUT | POLLERR | POLLHUP) : (POLLIN | POLLERR | POLLHUP);
    int count = ((p.revents & ready) ? 1 : 0) + ((p.revents & POLLPRI) ? 1 : 0);
    if (p.revents & POLLPRI) {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError == 0)
            soError = errno;
        *pError = soError;
        return bWrite ? -1 : count;
    }
    *pError = 0;
    return count;
}

} // namespace

extern "C" {

int VfxStartNetwork(void)
{
    return 0;
}

void VfxStopNetwork(void) {}

int VfxCreateSocket(int domain, int type)
{
    return avoidZero(socket(domain, type, 0));
}

int VfxCloseSocket(int fd)
{
    if (fd == 0 || fd == -1)
        return fd + 1;
    return close(fd) == 0 ? 0 : errno;
}

void VfxCloseSocketEx(int fd, void* buffer)
{
    VfxCloseSocket(fd);
    VfxMemFree(buffer);
}

int VfxCreateListenSocket(int* pSocket, int port)
{
    if (!pSocket)
        return EINVAL;
    *pSocket = 0;
    if (port < 0 || port > 65535)
        return EINVAL;
    errno = 0;
    int fd = streamSocket();
    if (fd < 0)
        return failClosing(fd, pSocket);
    int on = 1;
    if (port > 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return failClosing(fd, pSocket);
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return failClosing(fd, pSocket);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0)
        return failClosing(fd, pSocket);
    *pSocket = fd;
    return 0;
}

int VfxCreateDynamicListenSocket(int* pSocket, int* pPort)
{
    int err = VfxCreateListenSocket(pSocket, 0);
    if (err || !pPort)
        return err;
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(*pSocket, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0)
        return failClosing(*pSocket, pSocket);
    *pPort = ntohs(addr.sin_port);
    return 0;
}

int VfxResolveHost(const char* host, struct in_addr* pAddr)
{
    if (!host || !*host || !pAddr)
        return EINVAL;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || !found) {
        int err = (rc == EAI_SYSTEM && errno) ? errno : ENXIO;
        if (found)
            freeaddrinfo(found);
        return err;
    }
    *pAddr = reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return 0;
}

int VfxCreateClientSocket(const char* host, int port, int* pSocket)
{
    if (!pSocket)
        return EINVAL;
    *pSocket = 0;
    if (port < 1 || port > 65535)
        return EINVAL;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int err = VfxResolveHost(host, &addr.sin_addr);
    if (err)
        return err;
    errno = 0;
    int fd = streamSocket();
    if (fd < 0)
        return failClosing(fd, pSocket);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return failClosing(fd, pSocket);
    int rc;
    do
        rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return failClosing(fd, pSocket);
    *pSocket = fd;
    return 0;
}

int VfxAccept(int fd, struct sockaddr* pAddr, socklen_t* pLen)
{
    int c = accept4(fd, pAddr, pLen, SOCK_CLOEXEC);
    return c < 0 ? -1 : avoidZero(c);
}

int VfxAcceptEx(int fd, void** ppBuffer, struct sockaddr* pAddr, socklen_t* pLen, int* pBytes, int nSize)
{
    if (ppBuffer)
        *ppBuffer = nullptr;
    if (pBytes)
        *pBytes = 0;
    return VfxAccept(fd, pAddr, pLen);
}

int VfxSocketRead(int fd, void* buf, int len)
{
    if (len < 0)
        len = 0;
    return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

int VfxSocketWrite(int fd, const void* buf, int len)
{
    if (len < 0)
        len = 0;
    // A peer that went away must not kill the process with SIGPIPE.
    ssize_t n = send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = write(fd, buf, static_cast<size_t>(len));
    return static_cast<int>(n);
}

int VfxSocketPrintf(int fd, const char* fmt, ...)
{
    if (!fmt)
        return 0;
    char text[16384];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n <= 0)
        return 0;
    if (n > static_cast<int>(sizeof text) - 1)
        n = static_cast<int>(sizeof text) - 1;
    return VfxSocketWrite(fd, text, n);
}

int VfxSocketReadSelect(int fd, struct timeval* timeout, int* pError)
{
    return waitOne(fd, timeout, pError, false);
}

int VfxSocketWriteSelect(int fd, struct timeval* timeout, int* pError)
{
    return waitOne(fd, timeout, pError, true);
}

int VfxGetErrorText(int code, char* buf, int size)
{
    if (code == -1)
        code = errno;
    if (!buf || size < 1)
        return 0;
    char tmp[256];
    const char* text = strerror_r(code, tmp, sizeof tmp);
    size_t n = strlen(text);
    if (n > static_cast<size_t>(size) - 1)
        n = static_cast<size_t>(size) - 1;
    memcpy(buf, text, n);
    buf[n] = 0;
    return static_cast<int>(n);
}

int VfxGetComputerName(char* buf, int size)
{
    if (!buf || size < 1)
        return EINVAL;
    if (gethostname(buf, static_cast<size_t>(size)) != 0) {
        buf[0] = 0;
        return errno;
    }
    buf[size - 1] = 0;
    return 0;
}

// ---- events ----

VfxEvent VfxCreateEvent(void)
{
    sem_t* s = static_cast<sem_t*>(VfxMemAlloc(sizeof(sem_t)));
    if (s && sem_init(s, 0, 0) != 0) {
        VfxMemFree(s);
        s = nullptr;
    }
    return s;
}

bool VfxCheckEvent(VfxEvent event)
{
    int value = 0;
    return event && sem_getvalue(event, &value) == 0 && value > 0;
}

void VfxSetEvent(VfxEvent event)
{
    if (event && !VfxCheckEvent(event))
        sem_post(event);
}

void VfxResetEvent(VfxEvent event)
{
    // Drain rather than take one: two racing setters may both have posted.
    while (event && sem_trywait(event) == 0) {
    }
}

bool VfxWaitEvent(VfxEvent event, int seconds)
{
    if (!event)
        return false;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (unsigned spins = 0;; ++spins) {
        if (VfxCheckEvent(event))
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec - (now.tv_nsec < start.tv_nsec ? 1 : 0) >= seconds)
            return false;
        // Poll briskly at first, then without burning a shared core.
        if (spins < 64) {
            sched_yield();
        } else {
            struct timespec pause = {0, 50000};
            nanosleep(&pause, nullptr);
        }
    }
}

void VfxCloseEvent(VfxEvent event)
{
    if (!event)
        return;
    sem_destroy(event);
    VfxMemFree(event);
}

// ---- mutexes ----

VfxMutex* VfxCreateMutex(void)
{
    VfxMutex* m = static_cast<VfxMutex*>(VfxMemAlloc(sizeof(VfxMutex)));
    if (!m)
        return nullptr;
    if (pthread_mutexattr_init(&m->attributes) != 0) {
        VfxMemFree(m);
        return nullptr;
    }
    if (pthread_mutex_init(&m->mutex, &m->attributes) != 0) {
        pthread_mutexattr_destroy(&m->attributes);
        VfxMemFree(m);
        return nullptr;
    }
    m->locked = 0;
    return m;
}

int VfxLockMutex(VfxMutex* pMutex, int wait)
{
    if (!pMutex)
        return -1;
    if (wait == 0 && pthread_mutex_trylock(&pMutex->mutex) == 0)
        return 0;
    pthread_mutex_lock(&pMutex->mutex);
    pMutex->locked = 1;
    return 1;
}

void VfxUnlockMutex(VfxMutex* pMutex)
{
    if (!pMutex)
        return;
    pMutex->locked = 0;
    pthread_mutex_unlock(&pMutex->mutex);
}

void VfxDestroyMutex(VfxMutex* pMutex)
{
    if (!pMutex)
        return;
    pthread_mutexattr_destroy(&pMutex->attributes);
    pthread_mutex_destroy(&pMutex->mutex);
    VfxMemFree(pMutex);
}

// ---- threads ----

static void releaseThreadRecord(VfxThread* t)
{
    VfxCloseEvent(t->startEvent);
    VfxCloseEvent(t->stopEvent);
    t->startEvent = t->stopEvent = nullptr;
    if (t->mutex) {
        if (t->mutex->locked)
            VfxUnlockMutex(t->mutex);
        VfxDestroyMutex(t->mutex);
        t->mutex = nullptr;
    }
    t->userData = nullptr;
    pthread_attr_destroy(&t->attributes);
    VfxMemFree(t);
}

VfxThread* VfxCreateThread(VfxThreadProc proc, void* userData)
{
    if (!proc)
        return nullptr;
    VfxThread* t = static_cast<VfxThread*>(VfxMemAlloc(sizeof(VfxThread)));
    if (!t)
        return nullptr;
    if (pthread_attr_init(&t->attributes) != 0) {
        VfxMemFree(t);
        return nullptr;
    }
    pthread_attr_setdetachstate(&t->attributes, PTHREAD_CREATE_JOINABLE);
    pthread_attr_setinheritsched(&t->attributes, PTHREAD_INHERIT_SCHED);
    t->stopEvent = VfxCreateEvent();
    t->startEvent = VfxCreateEvent();
    t->mutex = VfxCreateMutex();
    t->userData = userData;
    if (!t->stopEvent || !t->startEvent || !t->mutex) {
        releaseThreadRecord(t);
        return nullptr;
    }
    pthread_t id;
    if (pthread_create(&id, &t->attributes, proc, t) != 0) {
        releaseThreadRecord(t);
        return nullptr;
    }
    // The new thread waits for startEvent before it looks at these fields.
    t->joinId = id;
    t->joinPending = 1;
    __atomic_store_n(&t->threadId, id, __ATOMIC_RELEASE);
    return t;
}

void VfxTerminateThread(VfxThread* pThread)
{
    if (!pThread)
        return;
    if (__atomic_load_n(&pThread->threadId, __ATOMIC_ACQUIRE) != 0) {
        if (pThread->stopEvent)
            VfxSetEvent(pThread->stopEvent);
        else
            pthread_cancel(pThread->joinId);
    }
    // Joined even when it already said it was finished, so the record is
    // never freed under a thread still on its way out, and no thread leaks.
    if (pThread->joinPending) {
        if (pthread_equal(pThread->joinId, pthread_self()))
            pthread_detach(pThread->joinId);
        else
            pthread_join(pThread->joinId, nullptr);
        pThread->joinPending = 0;
    }
    __atomic_store_n(&pThread->threadId, 0, __ATOMIC_RELEASE);
    releaseThreadRecord(pThread);
}

void VfxThreadCleanup(VfxThread* pThread)
{
    if (!pThread)
        return;
    VfxEvent start = pThread->startEvent;
    pThread->startEvent = nullptr;
    VfxCloseEvent(start);
    __atomic_store_n(&pThread->threadId, 0, __ATOMIC_RELEASE);
}

bool VfxIsThreadFinished(VfxThread* pThread)
{
    return !pThread || __atomic_load_n(&pThread->threadId, __ATOMIC_ACQUIRE) == 0;
}

pthread_t VfxGetCurrentThreadId(void)
{
    return pthread_self();
}

int VfxGetThreadConcurrency(void)
{
    return pthread_getconcurrency();
}

int VfxSetThreadConcurrency(int level)
{
    int current = pthread_getconcurrency();
    if (current < level)
        return pthread_setconcurrency(level);
    return current;
}

} // extern "C"
