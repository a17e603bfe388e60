#include "filexmit.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const char k200Head[] = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: ";
const char k403[] = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n";
const char k404[] = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\n";

// Log lines of every streamer in the process (the callback has no user data).
struct LogLines {
    static std::mutex m;
    static std::vector<std::pair<int, std::string>> lines;
    static void sink(EVXLogLevel level, const char* text)
    {
        std::lock_guard<std::mutex> g(m);
        lines.emplace_back(level, text);
    }
    static void clear()
    {
        std::lock_guard<std::mutex> g(m);
        lines.clear();
    }
    // A line of that level whose text after the "[hh:mm:ss] " stamp is `text`.
    static bool has(int level, const std::string& text)
    {
        std::lock_guard<std::mutex> g(m);
        for (auto& l : lines)
            if (l.first == level && l.second.size() > 11 && l.second.substr(11) == text)
                return true;
        return false;
    }
    static int countAtLevel(int level)
    {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (auto& l : lines)
            n += l.first == level;
        return n;
    }
    static std::vector<std::pair<int, std::string>> all()
    {
        std::lock_guard<std::mutex> g(m);
        return lines;
    }
};
std::mutex LogLines::m;
std::vector<std::pair<int, std::string>> LogLines::lines;

// Collects what a reader or VfxFTMRead delivers.
struct Sink {
    std::mutex m;
    std::string data;
    int calls = 0;
    static int take(void* p, int n, void* self)
    {
        Sink* s = static_cast<Sink*>(self);
        std::lock_guard<std::mutex> g(s->m);
        s->data.append(static_cast<char*>(p), static_cast<size_t>(n));
        ++s->calls;
        return n;
    }
    std::string get()
    {
        std::lock_guard<std::mutex> g(m);
        return data;
    }
};

bool waitUntil(const std::function<bool()>& done, int seconds = 20)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

void pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int countEntries(const char* dir)
{
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (struct dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}
int openDescriptors()
{
    return countEntries("/proc/self/fd") - 1; // the directory stream itself
}
int liveThreads()
{
    return countEntries("/proc/self/task");
}

void writeAllBlocking(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

// Everything the peer sends until it closes (or 10 s of silence).
std::string readToEnd(int fd)
{
    std::string out;
    char buf[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

int connectTo(int port)
{
    int fd = 0;
    EXPECT_EQ(VfxCreateClientSocket("127.0.0.1", port, &fd), 0);
    return fd;
}

// Sends the pieces (pausing between them so they tend to arrive apart) and
// returns the whole answer.
std::string exchange(int port, const std::vector<std::string>& pieces)
{
    int fd = connectTo(port);
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i)
            pause(30);
        writeAllBlocking(fd, pieces[i]);
    }
    std::string answer = readToEnd(fd);
    VfxCloseSocket(fd);
    return answer;
}

std::string url(int port, const std::string& path = "/")
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

// Bytes that trip naive parsers: zeros, header ends and terminators inside.
std::string awkwardContent(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
    const char* traps[] = {"\r\n\r\n", FTM_TERMINATOR, "HTTP/1.1 200 OK", "Content-Length: 5\r\n"};
    for (size_t i = 0; i < 4 && size > 4000; ++i)
        memcpy(&s[1000 * i + 17], traps[i], strlen(traps[i]));
    return s;
}

// A served directory with a document, a sibling, a subfolder, and a secret
// one level up that must stay out of reach.
struct ServedTree {
    TempDir root;
    std::string dir, doc, docText, sibling, siblingText;
    ServedTree()
    {
        dir = root.file("served");
        mkdir(dir.c_str(), 0700);
        mkdir((dir + "/sub").c_str(), 0700);
        docText = awkwardContent(100000, 1);
        siblingText = "<!ELEMENT doc (#PCDATA)>\n";
        doc = root.write("served/doc.xml", docText);
        sibling = root.write("served/doc.dtd", siblingText);
        root.write("served/sub/inner.txt", "inner");
        root.write("served/my file.txt", "spaced");
        root.write("secret.txt", "SECRET");
        mkfifo((dir + "/pipe").c_str(), 0600);
    }
};

struct Listener {
    FTMContext* ctx = nullptr;
    int port = 0;
    Listener(const std::string& file, int flags = FTM_FLAG_VERBOSE, const char* host = "localhost")
    {
        EXPECT_EQ(VfxFTMCreateListener(&ctx, 0, LogLines::sink, flags, host, file.c_str()), 0);
        port = VfxFTMGetListenerPort(ctx);
    }
    ~Listener() { VfxFTMCloseListener(ctx); }
};

struct Reader {
    FTMContext* ctx = nullptr;
    int port = 0;
    Sink sink;
    explicit Reader(int flags = FTM_FLAG_VERBOSE)
    {
        EXPECT_EQ(VfxFTMCreateReader(&ctx, 0, LogLines::sink, Sink::take, &sink, flags), 0);
        port = VfxFTMGetListenerPort(ctx);
    }
    ~Reader() { close(); }
    void close()
    {
        VfxFTMCloseListener(ctx);
        ctx = nullptr;
    }
    int status(long long* bytes = nullptr) { return VfxFTMGetTransferStatus(ctx, bytes); }
    // Waits until the one transfer has ended; its status.
    int finished()
    {
        waitUntil([&] {
            int s = status();
            return s != ENOTCONN && s != EINPROGRESS;
        });
        return status();
    }
};

} // namespace

TEST(StreamerUrl, TakesUrlsApart)
{
    struct Case {
        const char* url;
        int rc;
        const char* host;
        int port;
        const char* path;
    } cases[] = {
        {"http://host:8080", 0, "host", 8080, "/"},
        {"http://host.example/a/b.xml", 0, "host.example", 80, "/a/b.xml"},
        {"host:81/x", 0, "host", 81, "/x"},
        {"http://h\\dir\\f.xml", 0, "h", 80, "\\dir\\f.xml"},
        {"/only/a/path", 0, "localhost", 80, "/only/a/path"},
        {"http://:9000/p", 0, "localhost", 9000, "/p"},
        {"h/q?u=http://x/y", 0, "h", 80, "/q?u=http://x/y"},
        {"http://h:0/", EINVAL, "", 0, ""},
        {"http://h:70000/", EINVAL, "", 0, ""},
        {"http://h:8x/", EINVAL, "", 0, ""},
        {"http://h/a\r\nX-Injected: 1", EINVAL, "", 0, ""},
        {"", -1, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        char host[FTM_HOST_SIZE] = "unset", path[FTM_PATH_SIZE] = "unset";
        int port = -5;
        ASSERT_EQ(xmit_parseurl(c.url, host, path, &port), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(host, c.host);
            EXPECT_EQ(port, c.port);
            EXPECT_STREQ(path, c.path);
        }
    }
    char host[FTM_HOST_SIZE], path[FTM_PATH_SIZE];
    int port;
    EXPECT_EQ(xmit_parseurl(nullptr, host, path, &port), -1);

    // The buffers hold 255 and 511 characters; one more is refused, not cut.
    std::string name(255, 'h');
    EXPECT_EQ(xmit_parseurl(("http://" + name + ":1/").c_str(), host, path, &port), 0);
    EXPECT_EQ(std::string(host), name);
    EXPECT_EQ(xmit_parseurl(("http://" + name + "h/").c_str(), host, path, &port), ENAMETOOLONG);
    std::string longPath = "/" + std::string(510, 'p');
    EXPECT_EQ(xmit_parseurl(("http://h" + longPath).c_str(), host, path, &port), 0);
    EXPECT_EQ(std::string(path), longPath);
    EXPECT_EQ(xmit_parseurl(("http://h" + longPath + "p").c_str(), host, path, &port), ENAMETOOLONG);
    EXPECT_EQ(VfxFTMRead(("http://127.0.0.1:1" + longPath + "p").c_str(), Sink::take, nullptr), ENAMETOOLONG);
}

TEST(StreamerListener, ServesRootAndSiblingsByteForByte)
{
    ServedTree t;
    Listener l(t.doc);
    ASSERT_GT(l.port, 0);

    const std::string rootHead = k200Head + std::to_string(t.docText.size()) + "\r\n\r\n";
    struct Case {
        std::vector<std::string> request;
        std::string answer;
    } cases[] = {
        {{"GET / HTTP/1.0\r\n\r\n"}, rootHead + t.docText},
        // The way an HTTP/1.1 client asks, and a request split in two.
        {{"GET /doc.dtd HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n"},
         k200Head + std::to_string(t.siblingText.size()) + "\r\n\r\n" + t.siblingText},
        {{"GE", "T / HTTP/1.0\r\n\r\n"}, rootHead + t.docText},
        {{"GET /sub/inner.txt HTTP/1.0\r\n\r\n"}, std::string(k200Head) + "5\r\n\r\ninner"},
        {{"GET /my%20file.txt HTTP/1.0\r\n\r\n"}, std::string(k200Head) + "6\r\n\r\nspaced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0]);
        EXPECT_TRUE(exchange(l.port, c.request) == c.answer);
    }

    // The filter's own fetch: a 1024-byte request block, the body to the callback.
    Sink root, sibling;
    EXPECT_EQ(VfxFTMRead(url(l.port).c_str(), Sink::take, &root), 0);
    EXPECT_TRUE(root.get() == t.docText);
    EXPECT_EQ(VfxFTMRead(url(l.port, "/doc.dtd").c_str(), Sink::take, &sibling), 0);
    EXPECT_EQ(sibling.get(), t.siblingText);
    long long bytes = 0;
    EXPECT_TRUE(waitUntil([&] { return VfxFTMGetTransferStatus(l.ctx, &bytes) == 0 && bytes > 0; }));
}

TEST(StreamerListener, MissingFilesGet404AndLogTheName)
{
    ServedTree t;
    LogLines::clear();
    Listener quiet(t.doc, 0);
    for (const char* name : {"/nothing.xml", "/sub", "/pipe"}) {
        SCOPED_TRACE(name);
        // A directory or a pipe in the folder is no file to serve (and must not hang).
        EXPECT_EQ(exchange(quiet.port, {std::string("GET ") + name + " HTTP/1.0\r\n\r\n"}), k404);
    }
    EXPECT_TRUE(LogLines::has(1, "Failed to open file " + t.dir + "/nothing.xml\n"));
    EXPECT_TRUE(waitUntil([&] { return VfxFTMGetTransferStatus(quiet.ctx, nullptr) == ENOENT; }));
    EXPECT_EQ(LogLines::countAtLevel(3), 0); // progress lines only when verbose

    Sink s;
    EXPECT_EQ(VfxFTMRead(url(quiet.port, "/nothing.xml").c_str(), Sink::take, &s), 2);
    EXPECT_EQ(s.calls, 0);

    // A verbose listener tells its progress, each line stamped "[hh:mm:ss] ".
    LogLines::clear();
    {
        Listener loud(t.doc);
        EXPECT_EQ(VfxFTMRead(url(loud.port).c_str(), nullptr, nullptr), 0);
        EXPECT_TRUE(LogLines::has(3, "Created listener on port " + std::to_string(loud.port) + "\n"));
        EXPECT_TRUE(waitUntil([] { return LogLines::has(3, "Upload connection accepted.\n"); }));
    }
    EXPECT_TRUE(LogLines::has(3, "Main streamer thread finished.\n"));
    for (auto& l : LogLines::all()) {
        ASSERT_GT(l.second.size(), 11u);
        EXPECT_TRUE(l.second[0] == '[' && l.second[3] == ':' && l.second[6] == ':' && l.second.substr(9, 2) == "] ")
            << l.second;
    }
}

TEST(StreamerListener, RefusesUnsafeAndMalformedRequestsWith403)
{
    ServedTree t;
    LogLines::clear();
    Listener l(t.doc);
    const char* requests[] = {
        "POST / HTTP/1.0\r\n\r\nbody",
        "HEAD / HTTP/1.0\r\n\r\n",
        "GET http://127.0.0.1/ HTTP/1.0\r\n\r\n",
        "GET /../secret.txt HTTP/1.0\r\n\r\n",
        "GET /sub/../../secret.txt HTTP/1.0\r\n\r\n",
        "GET /%2e%2e/secret.txt HTTP/1.0\r\n\r\n",
        "GET /..%2fsecret.txt HTTP/1.0\r\n\r\n",
        "GET /sub%2F%2E%2E%2F%2E%2E%2Fsecret.txt HTTP/1.0\r\n\r\n",
        "GET /..\\secret.txt HTTP/1.0\r\n\r\n",
        "GET /..%5csecret.txt HTTP/1.0\r\n\r\n",
        "GET //etc/passwd HTTP/1.0\r\n\r\n",
        "GET /%2fetc/passwd HTTP/1.0\r\n\r\n",
        "GET /doc.dtd%00.xml HTTP/1.0\r\n\r\n",
        "GET /doc%zz HTTP/1.0\r\n\r\n",
        "GET /doc.dtd%2 HTTP/1.0\r\n\r\n",
        // No " HTTP" after the path: nothing is served, not even the root.
        "GET /doc.dtd\r\n\r\n",
        "GET / \r\n\r\n",
        "GET /\r\n\r\n",
    };
    for (const char* r : requests) {
        SCOPED_TRACE(r);
        EXPECT_EQ(exchange(l.port, {r}), k403);
    }
    EXPECT_TRUE(waitUntil([&] { return VfxFTMGetTransferStatus(l.ctx, nullptr) == EACCES; }));

    // A request line longer than the request buffer is refused whole.
    std::string huge = "GET /" + std::string(40000, 'a') + " HTTP/1.0\r\n\r\n";
    EXPECT_EQ(exchange(l.port, {huge}), k403);
    bool logged = false;
    for (auto& line : LogLines::all())
        logged |= line.first == 1 && line.second.find("Request refused: request line too long.") != std::string::npos;
    EXPECT_TRUE(logged);

    // The filter's fetch of such a name gets the refusal as its status.
    EXPECT_EQ(VfxFTMRead(url(l.port, "/../secret.txt").c_str(), Sink::take, nullptr), 2);
}

TEST(StreamerReader, PostEndedByTheTerminator)
{
    const std::string big = awkwardContent(70000, 2);
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::string body;
    } cases[] = {
        {"terminator alone", {"POST / HTTP/1.0\r\n\r\n", "abc", "HoXXoH"}, "abc"},
        {"all in one block", {"POST / HTTP/1.0\r\n\r\nabcHoXXoH"}, "abc"},
        {"empty body", {"POST / HTTP/1.0\r\n\r\n", "HoXXoH"}, ""},
        {"header in pieces", {"POST / HT", "TP/1.0\r\n", "\r\n12345", "HoXXoH"}, "12345"},
        {"terminator split over two reads", {"POST / HTTP/1.0\r\n\r\nxyz", "HoX", "XoH"}, "xyz"},
        {"terminator split after one byte", {"POST / HTTP/1.0\r\n\r\n", "xyzH", "oXXoH"}, "xyz"},
        {"look-alikes inside the body", {"POST / HTTP/1.0\r\n\r\n", "HoXX", "oXHoXXo", "HoXXoH"}, "HoXXoXHoXXo"},
        {"large body", {"POST / HTTP/1.0\r\n\r\n", big, "HoXXoH"}, big},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reader r;
        int fd = connectTo(r.port);
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            if (i)
                pause(30);
            writeAllBlocking(fd, c.pieces[i]);
        }
        EXPECT_EQ(r.finished(), 0);
        EXPECT_TRUE(r.sink.get() == c.body);
        long long bytes = -1;
        r.status(&bytes);
        EXPECT_EQ(bytes, static_cast<long long>(c.body.size()));
        EXPECT_EQ(readToEnd(fd), ""); // the reader closes and sends nothing
        VfxCloseSocket(fd);
    }

    // The filter's writer: header, blocks, terminator, wait for the close.
    Reader r;
    int sock = 0;
    ASSERT_EQ(VfxFTMWriteOpen(&sock, url(r.port, "/ignored/path").c_str()), 0);
    for (size_t off = 0; off < big.size(); off += 8195)
        EXPECT_EQ(VfxFTMWriteBlock(sock, big.data() + off, static_cast<int>(std::min<size_t>(8195, big.size() - off))), 0);
    EXPECT_EQ(VfxFTMWriteBlock(sock, FTM_TERMINATOR, FTM_TERMINATOR_LENGTH), 0);
    struct timeval wait = {20, 0};
    int err = 0;
    EXPECT_GT(VfxSocketReadSelect(sock, &wait, &err), 0);
    EXPECT_EQ(VfxFTMWriteClose(sock), 0);
    EXPECT_EQ(r.finished(), 0);
    EXPECT_TRUE(r.sink.get() == big);
}

TEST(StreamerReader, PostEndedByContentLength)
{
    const std::string body = awkwardContent(50000, 3) + FTM_TERMINATOR; // data that happens to end like one
    Reader r;
    int sock = 0;
    ASSERT_EQ(VfxFTMWriteOpenEx(&sock, url(r.port).c_str(), static_cast<int>(body.size())), 0);
    EXPECT_EQ(VfxFTMWriteBlock(sock, body.data(), static_cast<int>(body.size())), 0);
    // The writer keeps the connection open; the reader ends at the length.
    EXPECT_EQ(r.finished(), 0);
    EXPECT_TRUE(r.sink.get() == body);
    struct timeval wait = {20, 0};
    int err = 0;
    EXPECT_GT(VfxSocketReadSelect(sock, &wait, &err), 0); // the reader closed
    EXPECT_EQ(VfxFTMWriteClose(sock), 0);

    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::string body;
    } cases[] = {
        // A terminator after a sized body is not data.
        {"length then terminator", {"POST / HTTP/1.0\r\nContent-Length: 4\r\n\r\n", "abcdHoXXoH"}, "abcd"},
        {"length in the header block", {"POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nxyzextra"}, "xyz"},
        {"zero length", {"POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reader rr;
        LogLines::clear();
        int fd = connectTo(rr.port);
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            if (i)
                pause(30);
            writeAllBlocking(fd, c.pieces[i]);
        }
        EXPECT_EQ(rr.finished(), 0);
        EXPECT_EQ(rr.sink.get(), c.body);
        EXPECT_TRUE(LogLines::has(3, "Setting expected size to " + std::to_string(c.body.size()) + " bytes.\n"));
        VfxCloseSocket(fd);
    }
}

TEST(StreamerReader, RefusesBadRequestsAndDeliversNothing)
{
    struct Case {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"not a POST", "GET / HTTP/1.0\r\n\r\ndataHoXXoH", EPROTO},
        {"bad length", "POST / HTTP/1.0\r\nContent-Length: 12x\r\n\r\ndata", EPROTO},
        {"negative length", "POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\ndata", EPROTO},
        {"endless header", "POST / HTTP/1.0\r\n" + std::string(40000, 'h'), EMSGSIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reader r;
        int fd = connectTo(r.port);
        writeAllBlocking(fd, c.request);
        EXPECT_EQ(r.finished(), c.status);
        EXPECT_EQ(r.sink.calls, 0);
        VfxCloseSocket(fd);
    }
}

TEST(StreamerReader, ServesOneConnectionOnly)
{
    Reader r;
    int first = connectTo(r.port);
    writeAllBlocking(first, "POST / HTTP/1.0\r\n\r\nfirstHoXXoH");
    EXPECT_EQ(r.finished(), 0);

    int second = connectTo(r.port); // completes in the backlog, nobody takes it
    writeAllBlocking(second, "POST / HTTP/1.0\r\n\r\nsecondHoXXoH");
    struct pollfd p = {second, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0); // unanswered, not closed
    EXPECT_EQ(r.sink.get(), "first");

    r.close();
    EXPECT_EQ(poll(&p, 1, 10000), 1); // closed along with the reader
    VfxCloseSocket(second);
    VfxCloseSocket(first);
}

TEST(StreamerServers, PortsAndSetUpFailures)
{
    TempDir d;
    std::string f = d.write("a.xml", "<a/>");
    Listener any(f);
    EXPECT_GT(any.port, 0);
    Reader anyReader;
    EXPECT_GT(anyReader.port, 0);
    EXPECT_NE(any.port, anyReader.port);
    EXPECT_EQ(VfxFTMGetListenerPort(nullptr), -1);
    EXPECT_EQ(VfxFTMGetTransferStatus(nullptr, nullptr), -1);
    EXPECT_EQ(VfxFTMGetTransferStatus(any.ctx, nullptr), ENOTCONN);

    // A given port is bound as given; a taken one is a clear failure.
    int probe = 0, freePort = 0;
    ASSERT_EQ(VfxCreateDynamicListenSocket(&probe, &freePort), 0);
    VfxCloseSocket(probe);
    FTMContext* fixed = nullptr;
    ASSERT_EQ(VfxFTMCreateListener(&fixed, freePort, nullptr, 0, nullptr, f.c_str()), 0);
    EXPECT_EQ(VfxFTMGetListenerPort(fixed), freePort);
    Sink s;
    EXPECT_EQ(VfxFTMRead(url(freePort).c_str(), Sink::take, &s), 0);
    EXPECT_EQ(s.get(), "<a/>");

    LogLines::clear();
    FTMContext* clash = reinterpret_cast<FTMContext*>(1);
    EXPECT_EQ(VfxFTMCreateReader(&clash, freePort, LogLines::sink, Sink::take, nullptr, 0), EADDRINUSE);
    EXPECT_EQ(clash, nullptr);
    EXPECT_TRUE(LogLines::has(0, "Socket bind failed: Address already in use\n"));
    VfxFTMCloseListener(fixed);

    EXPECT_EQ(VfxFTMCreateListener(&clash, 0, nullptr, 0, "no-such-host.invalid", f.c_str()), ENXIO);
    EXPECT_EQ(VfxFTMCreateListener(&clash, 70000, nullptr, 0, nullptr, f.c_str()), EINVAL);
    EXPECT_EQ(VfxFTMCreateListener(&clash, 0, nullptr, 0, nullptr, std::string(2000, 'p').c_str()), ENAMETOOLONG);
    EXPECT_EQ(VfxFTMCreateListener(nullptr, 0, nullptr, 0, nullptr, f.c_str()), EINVAL);
    VfxFTMCloseListener(nullptr);

    // Nothing listening: the client calls report the connection failure.
    EXPECT_EQ(VfxFTMRead(url(freePort).c_str(), Sink::take, &s), ECONNREFUSED);
    int sock = 7;
    EXPECT_EQ(VfxFTMWriteOpen(&sock, url(freePort).c_str()), ECONNREFUSED);
    EXPECT_EQ(sock, 0);
    EXPECT_EQ(VfxFTMWriteOpenEx(&sock, url(freePort).c_str(), -1), EINVAL);
    EXPECT_EQ(VfxFTMWriteOpen(&sock, ""), EINVAL);
}

// A peer that answers a GET with a script of raw pieces, then closes.
struct ScriptedPeer {
    int listenFd = 0, port = 0;
    std::string request;
    std::thread th;
    explicit ScriptedPeer(std::vector<std::string> pieces)
    {
        EXPECT_EQ(VfxCreateDynamicListenSocket(&listenFd, &port), 0);
        th = std::thread([this, pieces] {
            int c = VfxAccept(listenFd, nullptr, nullptr);
            char buf[2048];
            while (request.size() < FTM_REQUEST_SIZE) {
                struct pollfd p = {c, POLLIN, 0};
                if (poll(&p, 1, 10000) <= 0)
                    break;
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                request.append(buf, static_cast<size_t>(n));
            }
            for (size_t i = 0; i < pieces.size(); ++i) {
                if (i)
                    pause(30);
                writeAllBlocking(c, pieces[i]);
            }
            VfxCloseSocket(c);
        });
    }
    // What the client sent, once the script has run.
    std::string finish()
    {
        if (th.joinable())
            th.join();
        return request;
    }
    ~ScriptedPeer()
    {
        finish();
        VfxCloseSocket(listenFd);
    }
};

TEST(StreamerRead, ChecksTheAnswerAndItsLength)
{
    struct Case {
        const char* what;
        std::vector<std::string> answer;
        int rc;
        std::string body;
    } cases[] = {
        {"plain", {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"}, 0, "abc"},
        {"header in pieces", {"HTTP/1.1 200", " OK\r\nContent-Len", "gth: 3\r\n\r\nab", "c"}, 0, "abc"},
        {"no length: to the end", {"HTTP/1.0 200 OK\r\n\r\nab", "cd"}, 0, "abcd"},
        {"more than announced", {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nabcdef"}, 0, "ab"},
        {"body cut short", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"}, ECONNABORTED, "0123456789"},
        {"not found", {k404}, 2, ""},
        {"other status", {"HTTP/1.1 500 Broken\r\n\r\nHTTP/1.1 200 OK"}, 2, ""},
        {"closed without an answer", {}, 2, ""},
        {"bad length", {"HTTP/1.1 200 OK\r\nContent-Length: z\r\n\r\nabc"}, EPROTO, ""},
        {"endless header", {"HTTP/1.1 200 OK\r\n" + std::string(40000, 'x')}, EPROTO, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sink s;
        int rc;
        std::string request;
        {
            ScriptedPeer peer(c.answer);
            rc = VfxFTMRead(url(peer.port, "/dir/doc.xml").c_str(), Sink::take, &s);
            request = peer.finish();
        }
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(s.get(), c.body);
        // One 1024-byte block: the request, then zeros.
        const std::string line = "GET /dir/doc.xml HTTP/1.0\r\n\r\n";
        ASSERT_EQ(request.size(), static_cast<size_t>(FTM_REQUEST_SIZE));
        EXPECT_EQ(request.substr(0, line.size()), line);
        EXPECT_EQ(request.find_first_not_of('\0', line.size()), std::string::npos);
    }
}

TEST(StreamerWaits, ExpiredWaitsAreFailures)
{
    // A peer whose connection completes in the backlog but who never reads
    // nor answers.
    int deaf = 0, port = 0;
    ASSERT_EQ(VfxCreateDynamicListenSocket(&deaf, &port), 0);

    EXPECT_EQ(VfxFTMSetWriteWait(200), 30000); // the default is 30 s
    int sock = 0;
    ASSERT_EQ(VfxFTMWriteOpen(&sock, url(port).c_str()), 0);
    std::string block(1 << 20, 'x');
    int rc = 0, blocks = 0;
    testing::internal::CaptureStderr();
    while (rc == 0 && blocks < 512) {
        rc = VfxFTMWriteBlock(sock, block.data(), static_cast<int>(block.size()));
        ++blocks;
    }
    EXPECT_EQ(rc, ETIMEDOUT);
    // The socket was shut down, not closed: later writes fail at once and the
    // caller still closes it exactly once.
    EXPECT_EQ(VfxFTMWriteBlock(sock, "x", 1), EPIPE);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("VfxSocketWriteSelect E0110: Connection timed out\n"), std::string::npos) << err;
    EXPECT_EQ(VfxFTMWriteClose(sock), 0);
    EXPECT_EQ(VfxFTMWriteBlock(0, "x", 1), EBADF);
    EXPECT_EQ(VfxFTMSetWriteWait(30000), 200);

    // The read wait has no limit unless one is set.
    EXPECT_EQ(VfxFTMSetReadWait(200), 0);
    Sink s;
    EXPECT_EQ(VfxFTMRead(url(port).c_str(), Sink::take, &s), ETIMEDOUT);
    EXPECT_EQ(VfxFTMSetReadWait(0), 200);
    VfxCloseSocket(deaf);
}

TEST(StreamerReliability, BrokenAndStalledPeersLeakNothing)
{
    ServedTree t;
    std::string big = t.root.write("served/big.bin", std::string(8 << 20, 'b'));
    {
        // Warm up whatever the C library opens once per process.
        Listener warm(t.doc);
        EXPECT_EQ(VfxFTMRead(url(warm.port).c_str(), nullptr, nullptr), 0);
    }
    const int fds = openDescriptors(), threads = liveThreads();

    // A client that leaves in the middle of a GET: its thread ends and is reaped.
    {
        Listener l(big);
        int fd = connectTo(l.port);
        writeAllBlocking(fd, "GET / HTTP/1.0\r\n\r\n");
        char buf[16384];
        EXPECT_GT(recv(fd, buf, sizeof buf, 0), 0);
        VfxCloseSocket(fd);
        int st = 0;
        EXPECT_TRUE(waitUntil([&] {
            st = VfxFTMGetTransferStatus(l.ctx, nullptr);
            return st != ENOTCONN;
        }));
        EXPECT_TRUE(st == EPIPE || st == ECONNRESET) << st;
        EXPECT_TRUE(waitUntil([&] { return liveThreads() == threads + 1; })); // the ear alone
    }
    // A writer that leaves in the middle of a POST: the data so far, and a status that says so.
    {
        LogLines::clear();
        Reader r;
        int fd = connectTo(r.port);
        writeAllBlocking(fd, "POST / HTTP/1.0\r\n\r\npartial data");
        pause(30);
        VfxCloseSocket(fd);
        EXPECT_EQ(r.finished(), ECONNABORTED);
        EXPECT_EQ(r.sink.get(), "partial data");
        bool logged = false;
        for (auto& l : LogLines::all())
            logged |= l.first == 1 && l.second.find("before the end of the data") != std::string::npos;
        EXPECT_TRUE(logged);
    }
    // A writer that never sends the terminator, and a client that never asks:
    // closing the server still ends their threads.
    {
        Reader r;
        int fd = connectTo(r.port);
        writeAllBlocking(fd, "POST / HTTP/1.0\r\n\r\nno end in sight");
        EXPECT_TRUE(waitUntil([&] { return r.sink.get() == "no end in "; })); // the rest may start a terminator
        EXPECT_EQ(r.status(), EINPROGRESS);
        Listener l(t.doc);
        int idle = connectTo(l.port);
        pause(20);
        r.close();
        EXPECT_EQ(readToEnd(fd), "");
        VfxCloseSocket(fd);
        VfxCloseSocket(idle);
    }
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_EQ(liveThreads(), threads);

    // 200 transfers in a row, both directions.
    const std::string body = awkwardContent(40000, 9);
    for (int i = 0; i < 100; ++i) {
        Listener l(t.doc, 0);
        Sink got;
        ASSERT_EQ(VfxFTMRead(url(l.port).c_str(), Sink::take, &got), 0);
        ASSERT_TRUE(got.get() == t.docText);

        Reader r(0);
        int sock = 0;
        ASSERT_EQ(i % 2 ? VfxFTMWriteOpen(&sock, url(r.port).c_str())
                        : VfxFTMWriteOpenEx(&sock, url(r.port).c_str(), static_cast<int>(body.size())),
                  0);
        ASSERT_EQ(VfxFTMWriteBlock(sock, body.data(), static_cast<int>(body.size())), 0);
        if (i % 2) {
            ASSERT_EQ(VfxFTMWriteBlock(sock, FTM_TERMINATOR, FTM_TERMINATOR_LENGTH), 0);
        }
        struct timeval wait = {20, 0};
        int err = 0;
        VfxSocketReadSelect(sock, &wait, &err);
        VfxFTMWriteClose(sock);
        ASSERT_EQ(r.finished(), 0);
        ASSERT_TRUE(r.sink.get() == body);
    }
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_EQ(liveThreads(), threads);
}

TEST(StreamerReliability, ConnectionsBeyondTheTableAreRefused)
{
    TempDir d;
    std::string f = d.write("a.xml", "<a/>");
    LogLines::clear();
    Listener l(f, 0);
    // Idle connections hold their slots; the ones beyond the table are closed at once.
    std::vector<int> held;
    for (int i = 0; i < FTM_MAX_CLIENTS; ++i)
        held.push_back(connectTo(l.port));
    EXPECT_TRUE(waitUntil([&] { return LogLines::countAtLevel(1) == 0 && liveThreads() >= FTM_MAX_CLIENTS + 2; }));
    int extra = connectTo(l.port);
    EXPECT_EQ(readToEnd(extra), "");
    EXPECT_TRUE(LogLines::has(1, "Too many connections: connection refused.\n"));
    VfxCloseSocket(extra);

    // A slot freed by a finished connection is used again.
    VfxCloseSocket(held.back());
    held.pop_back();
    Sink s;
    EXPECT_TRUE(waitUntil([&] { return VfxFTMRead(url(l.port).c_str(), Sink::take, &s) == 0; }));
    EXPECT_EQ(s.get(), "<a/>");
    for (int fd : held)
        VfxCloseSocket(fd);
}
