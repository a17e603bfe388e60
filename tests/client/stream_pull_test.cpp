// The streamer's pulled fetch, which the filter's parser reads its stream
// input through: against a listener, and against a server that answers by
// a script, on 127.0.0.1.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "VfxPlatform.h"
#include "filexmit.h"

namespace {

std::string tempFile(const std::string& data)
{
    char name[] = "/tmp/vxc_pull_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    std::ofstream(name, std::ios::binary) << data;
    return name;
}

// Reads the whole body in pieces of `piece` bytes; the last status.
int readAll(FTMReadStream* s, int piece, std::string* out)
{
    std::string buf(static_cast<size_t>(piece), '\0');
    for (;;) {
        int got = -1;
        int st = VfxFTMReadData(s, &buf[0], piece, &got);
        if (st != 0)
            return st;
        if (got == 0)
            return 0;
        out->append(buf.data(), static_cast<size_t>(got));
    }
}

// Accepts one connection, reads the request and sends `answer`, then closes.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& answer)
    {
        EXPECT_EQ(0, VfxCreateDynamicListenSocket(&m_listen, &m_port));
        m_thread = std::thread([this, answer] {
            int c = accept(m_listen, nullptr, nullptr);
            if (c < 0)
                return;
            char req[FTM_REQUEST_SIZE];
            size_t got = 0;
            while (got < sizeof req) {
                int n = VfxSocketRead(c, req + got, static_cast<int>(sizeof req - got));
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
            m_request.assign(req, strnlen(req, got));
            VfxSocketWrite(c, answer.data(), static_cast<int>(answer.size()));
            close(c);
        });
    }
    ~ScriptedServer()
    {
        if (m_thread.joinable())
            m_thread.join();
        VfxCloseSocket(m_listen);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/doc.xml"; }
    // What the client sent, once the server is done.
    std::string request()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_request;
    }

private:
    std::string m_request;
    int m_listen = 0;
    int m_port = 0;
    std::thread m_thread;
};

TEST(StreamPull, ReadsTheServedFileInThePiecesAskedFor)
{
    std::string data;
    for (int i = 0; i < 70000; ++i)
        data += static_cast<char>('a' + i % 26);
    std::string path = tempFile(data);
    FTMContext* listener = nullptr;
    ASSERT_EQ(0, VfxFTMCreateListener(&listener, 0, nullptr, 0, nullptr, path.c_str()));
    std::string url = "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(listener)) + "/";
    for (int piece : {1, 1000, 65536}) {
        SCOPED_TRACE(piece);
        FTMReadStream* s = nullptr;
        ASSERT_EQ(0, VfxFTMReadOpen(&s, url.c_str()));
        std::string got;
        EXPECT_EQ(0, readAll(s, piece, &got));
        EXPECT_TRUE(got == data);
        // Past the end it stays at the end.
        int n = -1;
        char c;
        EXPECT_EQ(0, VfxFTMReadData(s, &c, 1, &n));
        EXPECT_EQ(0, n);
        VfxFTMReadClose(s);
    }
    // A file of the same directory, and one that is not there.
    FTMReadStream* s = nullptr;
    std::string sibling = path.substr(path.rfind('/') + 1);
    ASSERT_EQ(0, VfxFTMReadOpen(&s, (url + sibling).c_str()));
    std::string got;
    EXPECT_EQ(0, readAll(s, 4096, &got));
    EXPECT_EQ(data.size(), got.size());
    VfxFTMReadClose(s);
    s = reinterpret_cast<FTMReadStream*>(1);
    EXPECT_EQ(2, VfxFTMReadOpen(&s, (url + "missing.dtd").c_str()));
    EXPECT_EQ(nullptr, s);

    // Hanging up half-way leaves the listener serving the next one.
    ASSERT_EQ(0, VfxFTMReadOpen(&s, url.c_str()));
    char some[100];
    int n = 0;
    EXPECT_EQ(0, VfxFTMReadData(s, some, sizeof some, &n));
    EXPECT_GT(n, 0);
    VfxFTMReadClose(s);
    ASSERT_EQ(0, VfxFTMReadOpen(&s, url.c_str()));
    got.clear();
    EXPECT_EQ(0, readAll(s, 8192, &got));
    EXPECT_EQ(data.size(), got.size());
    VfxFTMReadClose(s);
    VfxFTMCloseListener(listener);
    unlink(path.c_str());
}

TEST(StreamPull, AnswersOfOtherServers)
{
    struct Case {
        const char* name;
        std::string answer;
        int openStatus;
        std::string body;
        int endStatus;
    } cases[] = {
        {"sized", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", 0, "hello", 0},
        {"until close", "HTTP/1.0 200 OK\r\n\r\nall of it", 0, "all of it", 0},
        {"zero length means unknown", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nbody", 0, "body", 0},
        {"cut short", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly this", 0, "only this", ECONNABORTED},
        {"not found", "HTTP/1.1 404 Not Found\r\n\r\n", 2, "", 0},
        {"closed before a header", "", 2, "", 0},
        {"header never ended", "HTTP/1.0 200 OK\r\nContent-Le", EPROTO, "", 0},
        {"bad length", "HTTP/1.0 200 OK\r\nContent-Length: 12x\r\n\r\n", EPROTO, "", 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer server(k.answer);
        FTMReadStream* s = nullptr;
        int st = VfxFTMReadOpen(&s, server.url().c_str());
        EXPECT_EQ(k.openStatus, st);
        if (st == 0) {
            std::string got;
            EXPECT_EQ(k.endStatus, readAll(s, 3, &got));
            EXPECT_EQ(k.body, got);
            VfxFTMReadClose(s);
        } else {
            EXPECT_EQ(nullptr, s);
        }
        // The request is the streamer's: one line and an empty one.
        EXPECT_EQ("GET /doc.xml HTTP/1.0\r\n\r\n", server.request());
    }
    FTMReadStream* s = nullptr;
    EXPECT_EQ(EINVAL, VfxFTMReadOpen(&s, ""));
    EXPECT_EQ(EINVAL, VfxFTMReadOpen(nullptr, "http://127.0.0.1:1/"));
    VfxFTMReadClose(nullptr);
}

} // namespace
