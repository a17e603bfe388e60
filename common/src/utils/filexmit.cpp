// File transfer streamer: listener and reader servers (an ear thread per
// server, one thread per connection) and the client read and write calls.
#include "filexmit.h"

#include "VfxMemory.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

namespace {

int g_writeWaitMs = 30000;
int g_readWaitMs = 0;

// Connection threads wait on their socket this long at a time, so they see a
// stop request promptly without spinning on a shared core.
const int kPollMs = 5;
// Input still unread when a connection is closed is drained first (up to
// this much), so the peer gets an orderly end rather than a reset that could
// swallow the last data sent to it.
const size_t kDrainLimit = 1 << 20;

const char kResponse403[] = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n";
const char kResponse404[] = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\n";

int threadNo()
{
    return static_cast<int>(static_cast<intptr_t>(pthread_self()));
}

struct timeval msToTimeval(int ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

void napMicroseconds(long us)
{
    struct timespec ts = {0, us * 1000};
    nanosleep(&ts, nullptr);
}

int setNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;
    return 0;
}

bool transient(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

void drainInput(int fd)
{
    if (fd <= 0)
        return;
    char scratch[4096];
    size_t total = 0;
    while (total < kDrainLimit) {
        ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
    }
}

void setError(FTMContext* c, int code)
{
    c->errorCode = code;
    VfxGetErrorText(code, c->errorText, sizeof c->errorText);
}

// What the caller sees through VfxFTMGetTransferStatus.
void reportStatus(FTMContext* c, int status)
{
    FTMContext* s = c->server ? c->server : c;
    __atomic_store_n(&s->transferStatus, status, __ATOMIC_RELEASE);
}

void countBytes(FTMContext* c, long long n)
{
    FTMContext* s = c->server ? c->server : c;
    __atomic_fetch_add(&s->transferBytes, n, __ATOMIC_RELAXED);
}

bool stopRequested(VfxThread* t)
{
    pthread_testcancel();
    return VfxCheckEvent(t->stopEvent);
}

// Writes all of [p, p+len) on a non-blocking socket, waiting at most waitMs
// each time the socket cannot take more (a negative waitMs waits in short
// slices until `stop`, when given, is signalled). 0, ETIMEDOUT, ECANCELED or
// the socket's error.
int writeAll(int fd, const char* p, long long len, int waitMs, VfxThread* stop)
{
    while (len > 0) {
        if (stop && stopRequested(stop))
            return ECANCELED;
        int err = 0;
        struct timeval tv = msToTimeval(waitMs < 0 ? kPollMs : waitMs);
        int r = VfxSocketWriteSelect(fd, &tv, &err);
        if (r < 0)
            return err ? err : EIO;
        if (r == 0) {
            if (waitMs < 0)
                continue;
            return ETIMEDOUT;
        }
        int chunk = len > (1 << 30) ? (1 << 30) : static_cast<int>(len);
        int n = VfxSocketWrite(fd, p, chunk);
        if (n < 0) {
            if (transient(errno))
                continue;
            return errno ? errno : EIO;
        }
        p += n;
        len -= n;
    }
    return 0;
}

// The value of "Content-Length: " inside a header: -1 when absent, -2 when it
// is not a plain decimal number ended by a line end.
long long contentLength(const std::string& header)
{
    size_t at = header.find("Content-Length: ");
    if (at == std::string::npos)
        return -1;
    size_t i = at + 16;
    long long v = 0;
    size_t digits = 0;
    while (i < header.size() && header[i] >= '0' && header[i] <= '9') {
        if (v > (1LL << 50))
            return -2;
        v = v * 10 + (header[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || header.compare(i, 2, "\r\n") != 0)
        return -2;
    return v;
}

void xmit_logPrintf(FTMContext* c, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Log lines are "[hh:mm:ss] text"; progress lines (level 3) only when verbose.
void xmit_logPrintf(FTMContext* c, int level, const char* format, ...)
{
    if (!c || !c->logCallback || (level >= EVX_LOGLEVEL_DEBUG && !c->verbose))
        return;
    char text[2048];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char clock[16];
    strftime(clock, sizeof clock, "%H:%M:%S", &tm);
    int n = snprintf(text, sizeof text, "[%s] ", clock);
    va_list args;
    va_start(args, format);
    vsnprintf(text + n, sizeof text - static_cast<size_t>(n), format, args);
    va_end(args);
    c->logCallback(static_cast<EVXLogLevel>(level), text);
}

void xmit_CloseSocket(FTMContext* c, int withListener)
{
    if (withListener && c->listenSocket) {
        xmit_logPrintf(c, 3, "Shutting down listener socket.\n");
        VfxCloseSocket(c->listenSocket);
        c->listenSocket = 0;
    }
    if (c->clientSocket) {
        xmit_logPrintf(c, 3, "Shutting down client socket.\n");
        VfxCloseSocketEx(c->clientSocket, c->acceptBuffer);
        c->clientSocket = 0;
        c->acceptBuffer = nullptr;
    }
}

FTMContext* xmit_createClientStruct(FTMContext* s, int socket)
{
    FTMContext* c = static_cast<FTMContext*>(VfxMemAlloc(sizeof(FTMContext)));
    if (!c)
        return nullptr;
    c->clientSocket = socket;
    c->verbose = s->verbose;
    memcpy(c->filePath, s->filePath, sizeof c->filePath);
    memcpy(&c->peerAddress, &s->peerAddress, sizeof c->peerAddress);
    c->addressLength = s->addressLength;
    c->logCallback = s->logCallback;
    c->dataCallback = s->dataCallback;
    c->callbackData = s->callbackData;
    c->mode = s->mode;
    c->acceptBuffer = s->acceptBuffer;
    s->acceptBuffer = nullptr;
    c->server = s;
    return c;
}

} // namespace

extern "C" {

int VfxFTMSetWriteWait(int milliseconds)
{
    // A write always gets some time: a zero wait would fail every full socket.
    return __atomic_exchange_n(&g_writeWaitMs, milliseconds < 1 ? 1 : milliseconds, __ATOMIC_RELAXED);
}

int VfxFTMSetReadWait(int milliseconds)
{
    return __atomic_exchange_n(&g_readWaitMs, milliseconds < 0 ? 0 : milliseconds, __ATOMIC_RELAXED);
}

int xmit_parseurl(const char* url, char* host, char* path, int* port)
{
    if (!url || !*url)
        return -1;
    if (!host || !path || !port)
        return EINVAL;
    for (const char* q = url; *q; ++q)
        if (static_cast<unsigned char>(*q) < 0x20 || *q == 0x7f)
            return EINVAL;
    // A "://" after the first slash belongs to the path, not to a scheme.
    const char* s = url;
    const char* scheme = strstr(url, "://");
    const char* slash = strchr(url, '/');
    if (scheme && (!slash || scheme < slash))
        s = scheme + 3;
    const char* p = strchr(s, '/');
    if (!p)
        p = strchr(s, '\\');
    size_t hostLen = p ? static_cast<size_t>(p - s) : strlen(s);
    const char* pathText = p ? p : "/";
    if (strlen(pathText) >= FTM_PATH_SIZE)
        return ENAMETOOLONG;

    int portValue = 80;
    const char* colon = static_cast<const char*>(memchr(s, ':', hostLen));
    size_t nameLen = colon ? static_cast<size_t>(colon - s) : hostLen;
    if (colon && colon + 1 < s + hostLen) {
        const char* d = colon + 1;
        long v = 0;
        for (; d < s + hostLen; ++d) {
            if (*d < '0' || *d > '9' || v > 65535)
                return EINVAL;
            v = v * 10 + (*d - '0');
        }
        if (v < 1 || v > 65535)
            return EINVAL;
        portValue = static_cast<int>(v);
    }
    if (nameLen >= FTM_HOST_SIZE)
        return ENAMETOOLONG;
    if (nameLen == 0) {
        strcpy(host, "localhost");
    } else {
        memcpy(host, s, nameLen);
        host[nameLen] = 0;
    }
    strcpy(path, pathText);
    *port = portValue;
    return 0;
}

} // extern "C"

namespace {

// ---- reader side: one POST ----

class PostReceiver {
public:
    enum Step { MORE, DONE, REFUSED };

    PostReceiver(FTMContext* c, int tid) : m_c(c), m_tid(tid), m_work(kHeadroom + FTM_BLOCK_SIZE) {}

    // Where the next read goes (FTM_BLOCK_SIZE bytes).
    char* readBuffer() { return m_work.data() + kHeadroom; }

    // Takes n bytes just read into readBuffer().
    Step feed(int n)
    {
        if (m_headerDone)
            return body(n);
        m_header.append(readBuffer(), static_cast<size_t>(n));
        size_t end = m_header.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (m_header.size() >= FTM_BLOCK_SIZE)
                return refuse(EMSGSIZE, "header too long");
            return MORE;
        }
        m_headerDone = true;
        std::string rest = m_header.substr(end + 4);
        m_header.resize(end + 2);
        if (m_header.compare(0, 5, "POST ") != 0)
            return refuse(EPROTO, "not a POST request");
        m_expected = contentLength(m_header);
        if (m_expected == -2)
            return refuse(EPROTO, "bad Content-Length");
        if (m_expected >= 0)
            xmit_logPrintf(m_c, 3, "Setting expected size to %d bytes.\n", static_cast<int>(m_expected));
        memcpy(readBuffer(), rest.data(), rest.size());
        if (rest.empty() && m_expected != 0)
            return MORE;
        return body(static_cast<int>(rest.size()));
    }

    // The writer closed the connection.
    Step endOfInput()
    {
        if (m_headerDone && m_expected < 0 && m_tailLength > 0) {
            deliver(readBuffer() - m_tailLength, m_tailLength);
            m_tailLength = 0;
        }
        m_status = ECONNABORTED;
        if (m_headerDone)
            xmit_logPrintf(m_c, 1, "T%d: Connection closed after %lld bytes, before the end of the data.\n", m_tid,
                           m_received);
        else
            xmit_logPrintf(m_c, 1, "T%d: Connection closed before a complete request header.\n", m_tid);
        return REFUSED;
    }

    int status() const { return m_status; }
    bool inHeader() const { return !m_headerDone; }

private:
    // Bytes of a possible terminator held back from the previous block.
    static const int kHeadroom = FTM_TERMINATOR_LENGTH - 1;

    Step refuse(int status, const char* reason)
    {
        m_status = status;
        xmit_logPrintf(m_c, 1, "T%d: Request refused: %s.\n", m_tid, reason);
        return REFUSED;
    }

    void deliver(char* p, long long n)
    {
        if (n <= 0)
            return;
        if (m_c->dataCallback)
            m_c->dataCallback(p, static_cast<int>(n), m_c->callbackData);
        m_received += n;
        countBytes(m_c, n);
    }

    // The body bytes now in readBuffer()[0, n).
    Step body(int n)
    {
        char* block = readBuffer();
        if (m_expected >= 0) {
            // A sized body ends at its length; whatever follows (a terminator
            // some writers add) is not data.
            long long take = m_expected - m_received;
            if (take > n)
                take = n;
            deliver(block, take);
            xmit_logPrintf(m_c, 3, "T%d: %d bytes read. %d completed.\n", m_tid, n, static_cast<int>(m_received));
            return finishedIf(m_received >= m_expected);
        }
        // Without a length the body ends with the terminator, which may arrive
        // split over two reads: the last bytes of each block are held back
        // until the next one shows whether they begin it.
        char* all = block - m_tailLength;
        long long total = m_tailLength + n;
        if (total >= FTM_TERMINATOR_LENGTH &&
            memcmp(all + total - FTM_TERMINATOR_LENGTH, FTM_TERMINATOR, FTM_TERMINATOR_LENGTH) == 0) {
            if (n == FTM_TERMINATOR_LENGTH && memcmp(block, FTM_TERMINATOR, FTM_TERMINATOR_LENGTH) == 0)
                xmit_logPrintf(m_c, 3, "Terminator found.\n");
            else
                xmit_logPrintf(m_c, 3, "Trailing terminator found.\n");
            deliver(all, total - FTM_TERMINATOR_LENGTH);
            m_tailLength = 0;
            xmit_logPrintf(m_c, 3, "T%d: %d bytes read. %d completed.\n", m_tid, n, static_cast<int>(m_received));
            return finishedIf(true);
        }
        long long keep = total < kHeadroom ? total : kHeadroom;
        deliver(all, total - keep);
        // Move the held-back bytes just in front of the next read.
        memmove(block - keep, all + total - keep, static_cast<size_t>(keep));
        m_tailLength = static_cast<int>(keep);
        xmit_logPrintf(m_c, 3, "T%d: %d bytes read. %d completed.\n", m_tid, n, static_cast<int>(m_received));
        return MORE;
    }

    Step finishedIf(bool done)
    {
        if (!done)
            return MORE;
        m_status = 0;
        return DONE;
    }

    FTMContext* m_c;
    int m_tid;
    std::vector<char> m_work;
    std::string m_header;
    bool m_headerDone = false;
    long long m_expected = -1;
    long long m_received = 0;
    int m_tailLength = 0;
    int m_status = EINPROGRESS;
};

// ---- listener side: which file a GET names ----

struct FileChoice {
    bool refused = false;
    const char* reason = "";
    std::string path;
};

bool hexValue(char ch, int* v)
{
    if (ch >= '0' && ch <= '9')
        *v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
        *v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
        *v = ch - 'A' + 10;
    else
        return false;
    return true;
}

// The directory other names are looked up in: up to the last backslash, else
// the last "/"; a bare file name has the current directory.
std::string servedDirectory(const char* filePath)
{
    const char* sep = strrchr(filePath, '\\');
    if (!sep)
        sep = strrchr(filePath, '/');
    if (!sep)
        return std::string();
    return std::string(filePath, static_cast<size_t>(sep - filePath) + 1);
}

FileChoice chooseFile(const std::string& request, bool complete, const char* filePath, const std::string& dir)
{
    FileChoice f;
    f.refused = true;
    if (!complete) {
        f.reason = request.size() >= FTM_BLOCK_SIZE ? "request line too long" : "incomplete request line";
        return f;
    }
    size_t lineEnd = request.find('\n');
    std::string line = request.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.compare(0, 5, "GET /") != 0) {
        f.reason = "not a GET request for a path";
        return f;
    }
    size_t version = line.find(" HTTP", 5);
    if (version == std::string::npos) {
        f.reason = "no HTTP version after the path";
        return f;
    }
    std::string raw = line.substr(5, version - 5);
    if (raw.empty()) {
        f.refused = false;
        f.path = filePath;
        return f;
    }
    // Names arrive URL-encoded; they are checked after decoding so that no
    // encoded form of "..", "/" or "\" slips through.
    std::string name;
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(raw[i]);
        if (ch == '%') {
            int hi, lo;
            if (i + 2 >= raw.size() || !hexValue(raw[i + 1], &hi) || !hexValue(raw[i + 2], &lo)) {
                f.reason = "malformed escape in the name";
                return f;
            }
            ch = static_cast<unsigned char>(hi * 16 + lo);
            i += 2;
        }
        if (ch < 0x20 || ch == 0x7f) {
            f.reason = "control character in the name";
            return f;
        }
        if (ch == '\\') {
            f.reason = "backslash in the name";
            return f;
        }
        name += static_cast<char>(ch);
    }
    if (name[0] == '/') {
        f.reason = "absolute path";
        return f;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
            f.reason = "name leaves the served directory";
            return f;
        }
        start = end + 1;
    }
    f.refused = false;
    f.path = dir + name;
    return f;
}

// ---- threads ----

void* xmit_ReadThreadProc(void* arg)
{
    VfxThread* t = static_cast<VfxThread*>(arg);
    FTMContext* c = static_cast<FTMContext*>(t->userData);
    if (!VfxWaitEvent(t->startEvent, 20)) {
        reportStatus(c, ECANCELED);
        xmit_CloseSocket(c, 0);
        VfxThreadCleanup(t);
        return nullptr;
    }
    const int tid = threadNo();
    xmit_logPrintf(c, 3, "File download thread %d started.\n", tid);
    reportStatus(c, EINPROGRESS);
    setNonBlocking(c->clientSocket);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);

    PostReceiver rx(c, tid);
    for (;;) {
        if (stopRequested(t)) {
            reportStatus(c, ECANCELED);
            xmit_CloseSocket(c, 0);
            xmit_logPrintf(c, 3, "File download thread %d terminated.\n", tid);
            return nullptr;
        }
        int err = 0;
        struct timeval tv = msToTimeval(kPollMs);
        int r = VfxSocketReadSelect(c->clientSocket, &tv, &err);
        if (r < 0) {
            char text[256];
            VfxGetErrorText(err, text, sizeof text);
            if (rx.inHeader())
                xmit_logPrintf(c, 1, "Socket select error E%04din T%d: %s\n", err, tid, text);
            else
                xmit_logPrintf(c, 1, "Socket select error E%04d in T%d: %s\n", err, tid, text);
            reportStatus(c, err ? err : EIO);
            break;
        }
        if (r == 0)
            continue;
        int n = VfxSocketRead(c->clientSocket, rx.readBuffer(), FTM_BLOCK_SIZE);
        if (n < 0) {
            int e = errno;
            if (transient(e))
                continue;
            xmit_logPrintf(c, 1, "T%d: Failed to read %d bytes.\n", tid, FTM_BLOCK_SIZE);
            reportStatus(c, e ? e : EIO);
            break;
        }
        PostReceiver::Step step = n == 0 ? rx.endOfInput() : rx.feed(n);
        if (step == PostReceiver::MORE)
            continue;
        reportStatus(c, rx.status());
        break;
    }
    drainInput(c->clientSocket);
    xmit_CloseSocket(c, 0);
    VfxThreadCleanup(t);
    xmit_logPrintf(c, 3, "File download thread %d finished.\n", tid);
    return nullptr;
}

// Outcome of one send: the status the caller sees, and whether the thread
// was asked to stop.
struct SendOutcome {
    int status = 0;
    bool stopped = false;
};

SendOutcome serveRequest(FTMContext* c, VfxThread* t, int tid)
{
    SendOutcome out;
    const std::string dir = servedDirectory(c->filePath);

    // 1. Request: gather its first line.
    std::string request;
    bool complete = false;
    std::vector<char> buf(FTM_BLOCK_SIZE);
    for (;;) {
        if (stopRequested(t)) {
            out.stopped = true;
            return out;
        }
        int err = 0;
        struct timeval tv = msToTimeval(kPollMs);
        int r = VfxSocketReadSelect(c->clientSocket, &tv, &err);
        if (r < 0) {
            char text[256];
            VfxGetErrorText(err, text, sizeof text);
            xmit_logPrintf(c, 1, "Socket select error E%04din T%d: %s\n", err, tid, text);
            out.status = err ? err : EIO;
            return out;
        }
        if (r == 0)
            continue;
        size_t room = FTM_BLOCK_SIZE - request.size();
        int n = VfxSocketRead(c->clientSocket, buf.data(), static_cast<int>(room));
        if (n < 0) {
            if (transient(errno))
                continue;
            out.status = errno ? errno : EIO;
            return out;
        }
        if (n == 0) {
            if (request.empty()) {
                out.status = ECONNABORTED;
                return out;
            }
            break;
        }
        request.append(buf.data(), static_cast<size_t>(n));
        if (request.find('\n') != std::string::npos) {
            complete = true;
            break;
        }
        if (request.size() >= FTM_BLOCK_SIZE)
            break;
    }

    FileChoice choice = chooseFile(request, complete, c->filePath, dir);
    int file = -1;
    long long size = 0;
    const char* header = nullptr;
    if (choice.refused) {
        xmit_logPrintf(c, 1, "T%d: Request refused: %s.\n", tid, choice.reason);
        header = kResponse403;
        out.status = EACCES;
    } else {
        // Only regular files: a pipe or device in the directory must not hang
        // or feed the connection.
        file = open(choice.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (file >= 0 && (fstat(file, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(file);
            file = -1;
        }
        if (file < 0) {
            xmit_logPrintf(c, 1, "Failed to open file %s\n", choice.path.c_str());
            header = kResponse404;
            out.status = ENOENT;
        } else {
            size = st.st_size;
            xmit_logPrintf(c, 3, "T%d: Upload of %d-byte file started.\n", tid, static_cast<int>(size));
        }
    }

    // 2. Header.
    char okHeader[160];
    if (!header) {
        snprintf(okHeader, sizeof okHeader,
                 "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n\r\n",
                 static_cast<long>(size));
        header = okHeader;
    }
    int err = writeAll(c->clientSocket, header, static_cast<long long>(strlen(header)), -1, t);
    if (err || file < 0) {
        if (err == ECANCELED)
            out.stopped = true;
        else if (err)
            out.status = err;
        if (file >= 0)
            close(file);
        return out;
    }

    // 3. Body: exactly the announced size (until end of file when the size is
    // unknown, as for files that report 0).
    long long sent = 0;
    for (;;) {
        long long want = FTM_BLOCK_SIZE;
        if (size > 0 && size - sent < want)
            want = size - sent;
        if (want == 0) {
            xmit_logPrintf(c, 3, "T%d: Upload of %s complete.\n", tid, choice.path.c_str());
            break;
        }
        ssize_t got = read(file, buf.data(), static_cast<size_t>(want));
        if (got < 0 && transient(errno))
            continue;
        if (got < 0 || (got == 0 && size > 0)) {
            int e = got < 0 ? errno : EIO;
            char text[256];
            VfxGetErrorText(e, text, sizeof text);
            xmit_logPrintf(c, 1, "File read error E%04d in T%d: %s\n", e, tid, text);
            out.status = e;
            break;
        }
        if (got == 0) {
            xmit_logPrintf(c, 3, "T%d: Upload of %s complete.\n", tid, choice.path.c_str());
            break;
        }
        err = writeAll(c->clientSocket, buf.data(), got, -1, t);
        if (err == ECANCELED) {
            out.stopped = true;
            break;
        }
        if (err) {
            xmit_logPrintf(c, 1, "T%d: Failed to upload %d bytes.\n", tid, static_cast<int>(got));
            out.status = err;
            break;
        }
        sent += got;
        countBytes(c, got);
        xmit_logPrintf(c, 3, "T%d: %d bytes written. %d completed, %d remaning.\n", tid, static_cast<int>(got),
                       static_cast<int>(sent), static_cast<int>(size > sent ? size - sent : 0));
    }
    close(file);
    return out;
}

void* xmit_SendThreadProc(void* arg)
{
    VfxThread* t = static_cast<VfxThread*>(arg);
    FTMContext* c = static_cast<FTMContext*>(t->userData);
    if (!VfxWaitEvent(t->startEvent, 20)) {
        xmit_CloseSocket(c, 0);
        VfxThreadCleanup(t);
        return nullptr;
    }
    const int tid = threadNo();
    xmit_logPrintf(c, 3, "File upload thread %d started.\n", tid);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    setNonBlocking(c->clientSocket);

    SendOutcome out = serveRequest(c, t, tid);
    if (out.stopped) {
        reportStatus(c, ECANCELED);
        xmit_CloseSocket(c, 0);
        xmit_logPrintf(c, 3, "File upload thread %d terminated.\n", tid);
        return nullptr;
    }
    reportStatus(c, out.status);
    drainInput(c->clientSocket);
    xmit_CloseSocket(c, 0);
    xmit_logPrintf(c, 3, "File upload thread %d finished.\n", tid);
    VfxThreadCleanup(t);
    return nullptr;
}

void releaseClient(FTMContext* s, int slot)
{
    FTMContext* cc = s->clients[slot];
    VfxTerminateThread(cc->thread);
    cc->thread = nullptr;
    xmit_CloseSocket(cc, 0);
    VfxMemFree(cc);
    s->clients[slot] = nullptr;
}

void releaseAllClients(FTMContext* s)
{
    for (int i = 0; i < FTM_MAX_CLIENTS; ++i)
        if (s->clients[i])
            releaseClient(s, i);
    s->clientCount = 0;
}

void reapClients(FTMContext* s)
{
    for (int i = s->clientCount - 1; i >= 0; --i) {
        FTMContext* cc = s->clients[i];
        if (cc && VfxIsThreadFinished(cc->thread)) {
            releaseClient(s, i);
            xmit_logPrintf(s, 3, "EAR: Removing data for thread no %d\n", i + 1);
        }
    }
    while (s->clientCount > 0 && !s->clients[s->clientCount - 1])
        --s->clientCount;
}

void startConnection(FTMContext* s, int socket)
{
    int slot = s->clientCount;
    if (slot >= FTM_MAX_CLIENTS) {
        for (slot = 0; slot < FTM_MAX_CLIENTS && s->clients[slot]; ++slot) {
        }
    }
    if (slot >= FTM_MAX_CLIENTS) {
        xmit_logPrintf(s, 1, "Too many connections: connection refused.\n");
        VfxCloseSocketEx(socket, s->acceptBuffer);
        s->acceptBuffer = nullptr;
        return;
    }
    FTMContext* cc = xmit_createClientStruct(s, socket);
    if (!cc) {
        xmit_logPrintf(s, 1, "Thread creation failed: %s\n", strerror(ENOMEM));
        VfxCloseSocket(socket);
        return;
    }
    VfxThread* th;
    if (s->mode == 1) {
        xmit_logPrintf(s, 3, "Download connection accepted.\n");
        th = VfxCreateThread(xmit_ReadThreadProc, cc);
    } else {
        xmit_logPrintf(s, 3, "Upload connection accepted.\n");
        th = VfxCreateThread(xmit_SendThreadProc, cc);
    }
    if (!th) {
        char text[256];
        VfxGetErrorText(errno ? errno : EAGAIN, text, sizeof text);
        xmit_logPrintf(s, 1, "Thread creation failed: %s\n", text);
        xmit_CloseSocket(cc, 0);
        VfxMemFree(cc);
        return;
    }
    cc->thread = th;
    VfxSetEvent(th->startEvent);
    s->clients[slot] = cc;
    if (slot >= s->clientCount)
        s->clientCount = slot + 1;
    if (s->mode == 1)
        s->served = 1;
}

void* xmit_EarThreadProc(void* arg)
{
    VfxThread* t = static_cast<VfxThread*>(arg);
    FTMContext* s = static_cast<FTMContext*>(t->userData);
    bool waited = VfxWaitEvent(t->startEvent, 20);
    if (waited)
        xmit_logPrintf(s, 3, "Negotiating data transfer.\n");
    while (waited) {
        if (VfxCheckEvent(t->stopEvent)) {
            xmit_CloseSocket(s, 1);
            xmit_logPrintf(s, 3, "Streamer main thread preparing to shut down...\n");
            releaseAllClients(s);
            xmit_logPrintf(s, 3, "Main streamer thread finished.\n");
            return nullptr;
        }
        if (s->mode == 1 && s->served) {
            // A reader serves one connection; later ones wait in the backlog
            // until it closes.
            napMicroseconds(1000);
            continue;
        }
        int err = 0;
        struct timeval tv = msToTimeval(kPollMs);
        int r = VfxSocketReadSelect(s->listenSocket, &tv, &err);
        if (r > 0) {
            socklen_t len = sizeof s->peerAddress;
            int fd = VfxAcceptEx(s->listenSocket, &s->acceptBuffer, reinterpret_cast<struct sockaddr*>(&s->peerAddress),
                                 &len, &s->acceptBytes, 0);
            if (fd >= 0) {
                startConnection(s, fd);
            } else {
                err = errno;
                // Failures of one pending connection leave the listener usable.
                if (!(transient(err) || err == ECONNREFUSED || err == ECONNABORTED || err == EPROTO ||
                      err == ENETDOWN || err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET ||
                      err == EHOSTUNREACH || err == EOPNOTSUPP || err == ENETUNREACH))
                    r = -1;
            }
        }
        if (r < 0) {
            setError(s, err ? err : EIO);
            xmit_logPrintf(s, 1, "Socket accept error E%04d: %s\n", s->errorCode, s->errorText);
            break;
        }
        reapClients(s);
    }
    releaseAllClients(s);
    xmit_CloseSocket(s, 1);
    VfxThreadCleanup(t);
    xmit_logPrintf(s, 3, "Main streamer thread finished.\n");
    return nullptr;
}

int createServer(FTMContext** ppContext, int mode, int port, VORNXML_LOGWRITER logCallback,
                 VORNXML_IO_FUNC dataCallback, void* callbackData, int flags, const char* hostName,
                 const char* filePath)
{
    if (!ppContext)
        return EINVAL;
    *ppContext = nullptr;
    VfxSetThreadConcurrency(10);
    FTMContext* s = static_cast<FTMContext*>(VfxMemAlloc(sizeof(FTMContext)));
    if (!s)
        return ENOMEM;
    s->mode = mode;
    s->logCallback = logCallback;
    s->dataCallback = dataCallback;
    s->callbackData = callbackData;
    s->verbose = (flags & FTM_FLAG_VERBOSE) ? 1 : 0;
    s->addressLength = static_cast<int>(sizeof(struct sockaddr_in));
    s->transferStatus = ENOTCONN;

    int err = VfxStartNetwork();
    if (err) {
        setError(s, err);
        xmit_logPrintf(s, 0, "Failed to start network: %s\n", s->errorText);
        VfxMemFree(s);
        return err;
    }
    if (mode == 0) {
        if (hostName && *hostName) {
            err = VfxResolveHost(hostName, &s->hostAddress);
            if (err) {
                VfxMemFree(s);
                return err;
            }
        }
        const char* path = filePath ? filePath : "";
        if (strlen(path) >= sizeof s->filePath) {
            VfxMemFree(s);
            return ENAMETOOLONG;
        }
        strcpy(s->filePath, path);
    }

    if (port > 0) {
        err = VfxCreateListenSocket(&s->listenSocket, port);
        s->port = port;
    } else {
        err = VfxCreateDynamicListenSocket(&s->listenSocket, &s->port);
    }
    if (!err)
        err = setNonBlocking(s->listenSocket);
    if (err) {
        setError(s, err);
        xmit_logPrintf(s, 0, "Socket bind failed: %s\n", s->errorText);
        xmit_CloseSocket(s, 1);
        VfxMemFree(s);
        return err;
    }
    xmit_logPrintf(s, 3, "Created listener on port %d\n", s->port);

    errno = 0;
    VfxThread* th = VfxCreateThread(xmit_EarThreadProc, s);
    if (!th) {
        setError(s, errno ? errno : EAGAIN);
        xmit_logPrintf(s, 0, "Thread creation failed: %s\n", s->errorText);
        err = s->errorCode;
        xmit_CloseSocket(s, 1);
        VfxMemFree(s);
        return err;
    }
    s->thread = th;
    VfxSetEvent(th->startEvent);
    *ppContext = s;
    return 0;
}

// ---- client side ----

int openWriter(int* pSocket, const char* url, long long length)
{
    if (!pSocket)
        return EINVAL;
    *pSocket = 0;
    char host[FTM_HOST_SIZE], path[FTM_PATH_SIZE];
    int port = 0;
    int err = xmit_parseurl(url, host, path, &port);
    if (err)
        return err < 0 ? EINVAL : err;
    int fd = 0;
    err = VfxCreateClientSocket(host, port, &fd);
    if (err)
        return err;
    err = setNonBlocking(fd);
    if (!err) {
        // The reader takes the body whatever the path; "/" is always sent.
        char header[128];
        if (length < 0)
            snprintf(header, sizeof header, "POST %s HTTP/1.0\r\n\r\n", "/");
        else
            snprintf(header, sizeof header, "POST %s HTTP/1.0\r\nContent-Length: %d\r\n\r\n", "/",
                     static_cast<int>(length));
        err = writeAll(fd, header, static_cast<long long>(strlen(header)),
                       __atomic_load_n(&g_writeWaitMs, __ATOMIC_RELAXED), nullptr);
    }
    if (err) {
        VfxCloseSocket(fd);
        return err;
    }
    *pSocket = fd;
    return 0;
}

} // namespace

extern "C" {

int VfxFTMCreateListener(FTMContext** ppContext, int port, VORNXML_LOGWRITER logCallback, int flags,
                         const char* hostName, const char* filePath)
{
    return createServer(ppContext, 0, port, logCallback, nullptr, nullptr, flags, hostName, filePath);
}

int VfxFTMCreateReader(FTMContext** ppContext, int port, VORNXML_LOGWRITER logCallback, VORNXML_IO_FUNC dataCallback,
                       void* callbackData, int flags)
{
    return createServer(ppContext, 1, port, logCallback, dataCallback, callbackData, flags, nullptr, nullptr);
}

int VfxFTMGetListenerPort(FTMContext* pContext)
{
    return pContext ? pContext->port : -1;
}

void VfxFTMCloseListener(FTMContext* pContext)
{
    if (!pContext)
        return;
    VfxTerminateThread(pContext->thread);
    pContext->thread = nullptr;
    // The ear thread released everything on its way out; this covers an ear
    // thread that never got going.
    releaseAllClients(pContext);
    xmit_CloseSocket(pContext, 1);
    VfxMemFree(pContext);
}

int VfxFTMGetTransferStatus(FTMContext* pContext, long long* pBytes)
{
    if (!pContext)
        return -1;
    if (pBytes)
        *pBytes = __atomic_load_n(&pContext->transferBytes, __ATOMIC_RELAXED);
    return __atomic_load_n(&pContext->transferStatus, __ATOMIC_ACQUIRE);
}

// A fetch pulled by its caller: the socket, the body bytes that came with
// the header and are not yet handed out, and how much of the body is left.
struct FTMReadStream {
    int socket;
    std::string pending;
    long long expected; // -1: until the server closes
    long long received;
};

int VfxFTMReadOpen(FTMReadStream** ppStream, const char* url)
{
    if (!ppStream)
        return EINVAL;
    *ppStream = nullptr;
    char host[FTM_HOST_SIZE], path[FTM_PATH_SIZE];
    int port = 0;
    int err = xmit_parseurl(url, host, path, &port);
    if (err)
        return err < 0 ? EINVAL : err;
    int fd = 0;
    err = VfxCreateClientSocket(host, port, &fd);
    if (err)
        return err;
    err = setNonBlocking(fd);
    if (!err) {
        char request[FTM_REQUEST_SIZE];
        memset(request, 0, sizeof request);
        snprintf(request, sizeof request, "GET %s HTTP/1.0\r\n\r\n", path);
        err = writeAll(fd, request, sizeof request, __atomic_load_n(&g_writeWaitMs, __ATOMIC_RELAXED), nullptr);
    }
    std::string header;
    std::vector<char> buf(FTM_BLOCK_SIZE);
    while (!err) {
        int waitMs = __atomic_load_n(&g_readWaitMs, __ATOMIC_RELAXED);
        struct timeval tv = msToTimeval(waitMs);
        int selErr = 0;
        int r = VfxSocketReadSelect(fd, waitMs > 0 ? &tv : nullptr, &selErr);
        if (r <= 0) {
            err = r == 0 ? ETIMEDOUT : (selErr ? selErr : EIO);
            break;
        }
        int n = VfxSocketRead(fd, buf.data(), FTM_BLOCK_SIZE);
        if (n < 0 && transient(errno))
            continue;
        if (n < 0) {
            err = errno ? errno : EIO;
            break;
        }
        bool ok = header.substr(0, header.find("\r\n")).find(" 200 OK") != std::string::npos;
        if (n == 0) {
            err = ok ? EPROTO : 2;
            break;
        }
        header.append(buf.data(), static_cast<size_t>(n));
        size_t end = header.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (header.size() >= FTM_BLOCK_SIZE)
                err = header.substr(0, header.find("\r\n")).find(" 200 OK") == std::string::npos ? 2 : EPROTO;
            continue;
        }
        if (header.substr(0, header.find("\r\n")).find(" 200 OK") == std::string::npos) {
            err = 2;
            break;
        }
        long long expected = contentLength(header.substr(0, end + 2));
        if (expected == -2) {
            err = EPROTO;
            break;
        }
        FTMReadStream* s = new (std::nothrow) FTMReadStream;
        if (!s) {
            err = ENOMEM;
            break;
        }
        s->socket = fd;
        s->pending = header.substr(end + 4);
        // A length of 0 is what a listener announces when it cannot tell.
        s->expected = expected > 0 ? expected : -1;
        s->received = 0;
        *ppStream = s;
        return 0;
    }
    drainInput(fd);
    VfxCloseSocket(fd);
    return err;
}

int VfxFTMReadData(FTMReadStream* s, void* buf, int size, int* pRead)
{
    if (pRead)
        *pRead = 0;
    if (!s || !pRead || size < 0 || (!buf && size > 0))
        return EINVAL;
    long long left = s->expected >= 0 ? s->expected - s->received : size;
    long long want = size < left ? size : left;
    if (want <= 0)
        return 0;
    if (!s->pending.empty()) {
        size_t n = s->pending.size() < static_cast<size_t>(want) ? s->pending.size() : static_cast<size_t>(want);
        memcpy(buf, s->pending.data(), n);
        s->pending.erase(0, n);
        s->received += static_cast<long long>(n);
        *pRead = static_cast<int>(n);
        return 0;
    }
    for (;;) {
        int waitMs = __atomic_load_n(&g_readWaitMs, __ATOMIC_RELAXED);
        struct timeval tv = msToTimeval(waitMs);
        int selErr = 0;
        int r = VfxSocketReadSelect(s->socket, waitMs > 0 ? &tv : nullptr, &selErr);
        if (r == 0)
            return ETIMEDOUT;
        if (r < 0)
            return selErr ? selErr : EIO;
        int n = VfxSocketRead(s->socket, buf, static_cast<int>(want));
        if (n < 0 && transient(errno))
            continue;
        if (n < 0)
            return errno ? errno : EIO;
        if (n == 0)
            return s->expected >= 0 ? ECONNABORTED : 0;
        s->received += n;
        *pRead = n;
        return 0;
    }
}

void VfxFTMReadClose(FTMReadStream* s)
{
    if (!s)
        return;
    VfxCloseSocket(s->socket);
    delete s;
}

// The whole body handed to the callback block by block: a pulled fetch read
// through.
int VfxFTMRead(const char* url, VORNXML_IO_FUNC callback, void* callbackData)
{
    FTMReadStream* s = nullptr;
    int err = VfxFTMReadOpen(&s, url);
    std::vector<char> buf(FTM_BLOCK_SIZE);
    while (!err) {
        int n = 0;
        err = VfxFTMReadData(s, buf.data(), FTM_BLOCK_SIZE, &n);
        if (err || n == 0)
            break;
        if (callback)
            callback(buf.data(), n, callbackData);
    }
    if (s)
        drainInput(s->socket);
    VfxFTMReadClose(s);
    return err;
}

int VfxFTMWriteOpen(int* pSocket, const char* url)
{
    return openWriter(pSocket, url, -1);
}

int VfxFTMWriteOpenEx(int* pSocket, const char* url, int length)
{
    if (length < 0) {
        if (pSocket)
            *pSocket = 0;
        return EINVAL;
    }
    return openWriter(pSocket, url, length);
}

int VfxFTMWriteBlock(int socket, const void* data, int length)
{
    int err = 0;
    if (socket <= 0)
        err = EBADF;
    else if (length < 0 || (!data && length > 0))
        err = EINVAL;
    else
        err = writeAll(socket, static_cast<const char*>(data), length,
                       __atomic_load_n(&g_writeWaitMs, __ATOMIC_RELAXED), nullptr);
    if (err) {
        char text[256];
        VfxGetErrorText(err, text, sizeof text);
        fprintf(stderr, "VfxSocketWriteSelect E%04d: %s\n", err, text);
        // Shut down rather than closed: the caller still holds the descriptor
        // and closes it with VfxFTMWriteClose; later writes fail at once.
        if (socket > 0)
            shutdown(socket, SHUT_RDWR);
    }
    return err;
}

int VfxFTMWriteClose(int socket)
{
    if (socket <= 0)
        return 0;
    return VfxCloseSocket(socket);
}

} // extern "C"
