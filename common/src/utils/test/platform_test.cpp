#include "VfxPlatform.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

// A listener on a free port with one accepted client connection.
struct Connection {
    int listener = 0, client = 0, server = 0, port = 0;
    Connection()
    {
        EXPECT_EQ(VfxCreateDynamicListenSocket(&listener, &port), 0);
        EXPECT_EQ(VfxCreateClientSocket("127.0.0.1", port, &client), 0);
        server = VfxAccept(listener, nullptr, nullptr);
        EXPECT_GT(server, 0);
    }
    ~Connection()
    {
        VfxCloseSocket(server);
        VfxCloseSocket(client);
        VfxCloseSocket(listener);
    }
};

} // namespace

TEST(Sockets, CloseLeavesZeroAndMinusOneAlone)
{
    int before = fcntl(0, F_GETFD);
    EXPECT_EQ(VfxCloseSocket(0), 1);
    EXPECT_EQ(VfxCloseSocket(-1), 0);
    EXPECT_EQ(fcntl(0, F_GETFD), before);
    EXPECT_EQ(VfxStartNetwork(), 0);
}

TEST(Sockets, DynamicListenerAcceptsClientsAndCarriesData)
{
    Connection c;
    EXPECT_GT(c.port, 0);
    EXPECT_NE(c.listener, 0);

    EXPECT_EQ(VfxSocketPrintf(c.client, "GET %s HTTP/1.0\r\n", "/"), 16);
    EXPECT_EQ(VfxSocketPrintf(c.client, "%s", ""), 0); // nothing to write
    char buf[64] = {};
    int err = -1;
    struct timeval wait = {10, 0};
    EXPECT_EQ(VfxSocketReadSelect(c.server, &wait, &err), 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(VfxSocketRead(c.server, buf, sizeof buf), 16);
    EXPECT_STREQ(buf, "GET / HTTP/1.0\r\n");

    // Nothing pending: a zero timeout reports 0 and no error.
    struct timeval none = {0, 0};
    err = -1;
    EXPECT_EQ(VfxSocketReadSelect(c.server, &none, &err), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(VfxSocketWriteSelect(c.server, &none, &err), 1);
    EXPECT_EQ(VfxSocketWrite(c.server, "ok", 2), 2);
    EXPECT_EQ(VfxSocketRead(c.client, buf, 2), 2);

    // Clients by host name resolve too.
    int other = 0;
    EXPECT_EQ(VfxCreateClientSocket("localhost", c.port, &other), 0);
    EXPECT_GT(other, 0);
    void* acceptBuffer = &other;
    int bytes = -1;
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    int accepted = VfxAcceptEx(c.listener, &acceptBuffer, reinterpret_cast<sockaddr*>(&peer), &len, &bytes, 0);
    EXPECT_GT(accepted, 0);
    EXPECT_EQ(acceptBuffer, nullptr);
    EXPECT_EQ(bytes, 0);
    VfxCloseSocketEx(accepted, nullptr);
    VfxCloseSocket(other);
}

TEST(Sockets, PortInUseAndBadPortsGiveClearErrors)
{
    int first = 0, port = 0;
    ASSERT_EQ(VfxCreateDynamicListenSocket(&first, &port), 0);
    int second = 123;
    int err = VfxCreateListenSocket(&second, port);
    EXPECT_EQ(err, EADDRINUSE);
    EXPECT_EQ(second, 0);
    char text[128];
    VfxGetErrorText(err, text, sizeof text);
    EXPECT_STREQ(text, "Address already in use");

    for (int bad : {-1, 65536, 70000}) {
        EXPECT_EQ(VfxCreateListenSocket(&second, bad), EINVAL) << bad;
        EXPECT_EQ(VfxCreateClientSocket("127.0.0.1", bad, &second), EINVAL) << bad;
        EXPECT_EQ(second, 0);
    }
    EXPECT_EQ(VfxCreateListenSocket(nullptr, 0), EINVAL);
    VfxCloseSocket(first);

    // Nobody listens on that port any more.
    EXPECT_EQ(VfxCreateClientSocket("127.0.0.1", port, &second), ECONNREFUSED);
    EXPECT_EQ(second, 0);
    EXPECT_NE(VfxCreateClientSocket("no-such-host.invalid", port, &second), 0);
    EXPECT_EQ(VfxCreateClientSocket(nullptr, port, &second), EINVAL);
    EXPECT_EQ(VfxCreateClientSocket("", port, &second), EINVAL);
    EXPECT_EQ(second, 0);
}

TEST(Sockets, SelectOnNoSocketAndWriteToAGonePeer)
{
    int err = 0;
    struct timeval none = {0, 0};
    EXPECT_EQ(VfxSocketReadSelect(0, nullptr, &err), -1); // would otherwise wait forever
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(VfxSocketWriteSelect(-1, &none, &err), -1);
    EXPECT_EQ(err, EBADF);

    // The peer closes: writes fail with an error instead of killing us.
    Connection c;
    VfxCloseSocket(c.server);
    c.server = 0;
    char block[4096] = {};
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i)
        result = VfxSocketWrite(c.client, block, sizeof block);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << strerror(errno);
}

TEST(Platform, ErrorTextIsCutToTheBuffer)
{
    char buf[64];
    memset(buf, 'x', sizeof buf);
    int n = VfxGetErrorText(ECONNREFUSED, buf, 8);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(strlen(buf), 7u);
    EXPECT_EQ(std::string(buf), std::string(strerror(ECONNREFUSED)).substr(0, 7));
    errno = ENOENT;
    VfxGetErrorText(-1, buf, sizeof buf);
    EXPECT_STREQ(buf, strerror(ENOENT));
    EXPECT_EQ(VfxGetErrorText(ENOENT, buf, 0), 0);
    EXPECT_EQ(VfxGetErrorText(ENOENT, nullptr, 10), 0);
    EXPECT_EQ(VfxGetErrorText(ENOENT, buf, 1), 0);
    EXPECT_STREQ(buf, "");

    char host[256];
    EXPECT_EQ(VfxGetComputerName(host, sizeof host), 0);
    EXPECT_GT(strlen(host), 0u);
}

TEST(Events, SetResetCheckAndWait)
{
    VfxEvent e = VfxCreateEvent();
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(VfxCheckEvent(e));
    VfxSetEvent(e);
    VfxSetEvent(e);
    EXPECT_TRUE(VfxCheckEvent(e));
    VfxResetEvent(e);
    EXPECT_FALSE(VfxCheckEvent(e)); // the count never went above 1

    VfxSetEvent(e);
    EXPECT_TRUE(VfxWaitEvent(e, 0));
    EXPECT_TRUE(VfxWaitEvent(e, 5));
    EXPECT_TRUE(VfxCheckEvent(e)); // waiting does not reset
    VfxResetEvent(e);
    EXPECT_FALSE(VfxWaitEvent(e, 0));

    // Signalled from another thread while we wait.
    std::thread setter([e] { VfxSetEvent(e); });
    EXPECT_TRUE(VfxWaitEvent(e, 30));
    setter.join();
    VfxCloseEvent(e);

    EXPECT_FALSE(VfxCheckEvent(nullptr));
    EXPECT_FALSE(VfxWaitEvent(nullptr, 1));
    VfxSetEvent(nullptr);
    VfxResetEvent(nullptr);
    VfxCloseEvent(nullptr);
}

TEST(Mutexes, TryLockThenBlockingLock)
{
    VfxMutex* m = VfxCreateMutex();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(VfxLockMutex(m, 0), 0); // free: taken without blocking
    EXPECT_EQ(m->locked, 0);
    VfxUnlockMutex(m);

    // Held elsewhere: the call blocks until the holder lets go, then returns
    // 1. The holder lets go only once a waiter sleeps on the lock (glibc marks
    // a contended lock with 2), so the order does not depend on scheduling.
    std::atomic<bool> released{false};
    VfxEvent held = VfxCreateEvent();
    std::thread holder([&] {
        VfxLockMutex(m, 1);
        VfxSetEvent(held);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (__atomic_load_n(&m->mutex.__data.__lock, __ATOMIC_ACQUIRE) != 2 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        released = true;
        VfxUnlockMutex(m);
    });
    ASSERT_TRUE(VfxWaitEvent(held, 30));
    EXPECT_EQ(VfxLockMutex(m, 0), 1);
    EXPECT_TRUE(released.load());
    EXPECT_EQ(m->locked, 1);
    VfxUnlockMutex(m);
    EXPECT_EQ(m->locked, 0);
    holder.join();
    VfxCloseEvent(held);
    VfxDestroyMutex(m);

    EXPECT_EQ(VfxLockMutex(nullptr, 0), -1);
    VfxUnlockMutex(nullptr);
    VfxDestroyMutex(nullptr);
}

namespace {

// Waits for the start signal, then runs until asked to stop.
void* runUntilStopped(void* arg)
{
    VfxThread* t = static_cast<VfxThread*>(arg);
    if (!VfxWaitEvent(t->startEvent, 20))
        return nullptr;
    auto* loops = static_cast<std::atomic<int>*>(t->userData);
    while (!VfxCheckEvent(t->stopEvent)) {
        ++*loops;
        std::this_thread::yield();
    }
    return nullptr;
}

// Does its work and says it is finished on its own.
void* finishAlone(void* arg)
{
    VfxThread* t = static_cast<VfxThread*>(arg);
    VfxWaitEvent(t->startEvent, 20);
    *static_cast<std::atomic<int>*>(t->userData) = 42;
    VfxThreadCleanup(t);
    return nullptr;
}

} // namespace

TEST(Threads, StopOnRequestAndFinishAlone)
{
    std::atomic<int> loops{0};
    VfxThread* t = VfxCreateThread(runUntilStopped, &loops);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(VfxIsThreadFinished(t));
    EXPECT_EQ(t->userData, &loops);
    VfxSetEvent(t->startEvent);
    while (loops.load() == 0)
        std::this_thread::yield();
    EXPECT_FALSE(VfxIsThreadFinished(t));
    VfxTerminateThread(t); // returns only once the thread has stopped
    int after = loops.load();
    std::this_thread::yield();
    EXPECT_EQ(loops.load(), after);

    std::atomic<int> result{0};
    VfxThread* alone = VfxCreateThread(finishAlone, &result);
    ASSERT_NE(alone, nullptr);
    VfxSetEvent(alone->startEvent);
    while (!VfxIsThreadFinished(alone))
        std::this_thread::yield();
    EXPECT_EQ(result.load(), 42);
    EXPECT_EQ(alone->startEvent, nullptr);
    VfxTerminateThread(alone);

    EXPECT_TRUE(VfxIsThreadFinished(nullptr));
    VfxTerminateThread(nullptr);
    VfxThreadCleanup(nullptr);
    EXPECT_EQ(VfxCreateThread(nullptr, nullptr), nullptr);
    EXPECT_TRUE(pthread_equal(VfxGetCurrentThreadId(), pthread_self()));
}

TEST(Threads, ConcurrencyHintOnlyRises)
{
    int start = VfxGetThreadConcurrency();
    EXPECT_EQ(VfxSetThreadConcurrency(start + 10), 0);
    EXPECT_EQ(VfxGetThreadConcurrency(), start + 10);
    EXPECT_EQ(VfxSetThreadConcurrency(start + 1), start + 10);
    EXPECT_EQ(VfxGetThreadConcurrency(), start + 10);
}
