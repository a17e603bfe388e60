#include "VfxFoundation.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// A logger writing into a file of a fresh directory.
class LoggerFile : public ::testing::Test {
protected:
    void SetUp() override { m_path = m_tmp.file("test.log"); }
    VfxFileLogger* open(IVfxLogger::tagELogLevel level, bool useDate = false)
    {
        m_logger = new VfxFileLogger(level);
        m_logger->ToggleDateUsage(useDate);
        EXPECT_TRUE(m_logger->SetFile(m_path.c_str(), "a"));
        return m_logger;
    }
    std::string content()
    {
        delete m_logger; // closes the file
        m_logger = nullptr;
        return readFile(m_path);
    }
    void TearDown() override { delete m_logger; }

    TempDir m_tmp;
    std::string m_path;
    VfxFileLogger* m_logger = nullptr;
};

// Shape check (std::regex trips a false warning under the sanitizer build):
// in the pattern 'A' is an upper-case letter, 'a' lower-case, '9' a digit,
// '~' a blank or a digit, '+' one or more digits; all else is literal.
bool shaped(const std::string& text, const std::string& pattern)
{
    size_t t = 0;
    for (size_t p = 0; p < pattern.size(); ++p) {
        char c = pattern[p];
        if (c == '+') {
            size_t start = t;
            while (t < text.size() && isdigit(static_cast<unsigned char>(text[t])))
                ++t;
            if (t == start)
                return false;
            continue;
        }
        if (t >= text.size())
            return false;
        unsigned char x = static_cast<unsigned char>(text[t++]);
        bool ok = c == 'A' ? isupper(x) : c == 'a' ? islower(x) : c == '9' ? isdigit(x)
                : c == '~' ? (x == ' ' || isdigit(x)) : x == static_cast<unsigned char>(c);
        if (!ok)
            return false;
    }
    return t == text.size();
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

TEST_F(LoggerFile, LineLayout)
{
    VfxFileLogger* log = open(IVfxLogger::LL_DEBUG);
    struct {
        IVfxLogger::tagELogLevel level;
        const char* module;
        int code;
        const char* text;
        const char* line;
    } cases[] = {
        {IVfxLogger::LL_WARNING, "mod", 12, "careful", "[[WARNING] mod: #12 careful\n"},
        {IVfxLogger::LL_FATAL, "m", -3, "dead", "[[  FATAL] m: #-3 dead\n"},
        {IVfxLogger::LL_ERROR, "m", 0, "no code", "[[  ERROR] m: no code\n"},
        {IVfxLogger::LL_INFO, "m", 7, "info hides codes", "[[   INFO] m: info hides codes\n"},
        {IVfxLogger::LL_DEBUG, "", 7, "no module", "[[  DEBUG] no module\n"},
        {IVfxLogger::LL_OFF, nullptr, 5, "off level", "[[       ] #5 off level\n"},
        {IVfxLogger::LL_INFO, "m", 0, "has\nbreak", "[[   INFO] m: has\nbreak"},
        {IVfxLogger::LL_INFO, "m", 0, "ends\n", "[[   INFO] m: ends\n"},
        {IVfxLogger::LL_INFO, "m", 0, nullptr, "[[   INFO] m: \n"},
    };
    std::string want;
    for (auto& c : cases) {
        log->PrintLog(c.level, c.module, c.code, c.text);
        want += c.line;
    }
    EXPECT_EQ(content(), want);
}

TEST_F(LoggerFile, DateFieldAndLevelFiltering)
{
    VfxFileLogger* log = open(IVfxLogger::LL_WARNING, true);
    log->Information("FilterBase", "Logging started.");
    log->Debug("FilterBase", "debug %d", 1);
    log->Warning("XPath", 12, "at %s", "step 3");
    log->Error("XPath", 0, "%d%%", 100);
    log->FatalError(nullptr, 1, nullptr);
    std::string text = content();
    const std::string date = "Aaa Aaa ~9 99:99:99 ";
    EXPECT_TRUE(shaped(text, "[" + date + "WARNING] XPath: #12 at step 3\n"
                             "[" + date + "  ERROR] XPath: 100%\n"
                             "[" + date + "  FATAL] #1 \n"))
        << text;

    VfxFileLogger info(IVfxLogger::LL_INFO);
    std::string infoPath = m_tmp.file("info.log");
    ASSERT_TRUE(info.SetFile(infoPath.c_str(), "a"));
    info.Information("FilterBase", "Logging started.");
    info.Debug("FilterBase", "hidden");
    info.SetFile(static_cast<FILE*>(nullptr));
    EXPECT_TRUE(shaped(readFile(infoPath), "[" + date + "   INFO] FilterBase: Logging started.\n"))
        << readFile(infoPath);
}

TEST_F(LoggerFile, LongTextsAndModulesAreCut)
{
    VfxFileLogger* log = open(IVfxLogger::LL_DEBUG);
    std::string longText(10000, 't');
    std::string longModule(600, 'm');
    log->Debug(longModule.c_str(), "%s", longText.c_str());
    EXPECT_EQ(content(), "[[  DEBUG] " + longModule.substr(0, 511) + ": " + longText.substr(0, 8191) + "\n");
}

TEST_F(LoggerFile, AppendsAndSharesOneFileBetweenThreads)
{
    { std::ofstream(m_path) << "earlier line\n"; }
    VfxFileLogger* log = open(IVfxLogger::LL_INFO);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([log, t] {
            for (int i = 0; i < 200; ++i)
                log->Information("T", "thread %d line %d", t, i);
        });
    for (auto& th : threads)
        th.join();
    std::istringstream lines(content());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "earlier line");
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(shaped(line, "[[   INFO] T: thread 9 line +")) << line;
        ++count;
    }
    EXPECT_EQ(count, 800);
}

TEST_F(LoggerFile, NoFileAtLevelOffAndNoStreamWritesNothing)
{
    VfxFileLogger off;
    EXPECT_EQ(off.GetLogLevel(), IVfxLogger::LL_OFF);
    EXPECT_FALSE(off.SetFile(m_path.c_str(), "a"));
    EXPECT_FALSE(exists(m_path));
    off.PrintLog(IVfxLogger::LL_FATAL, "m", 1, "nowhere"); // no stream: silently nothing

    VfxFileLogger on(IVfxLogger::LL_INFO);
    EXPECT_FALSE(on.SetFile(static_cast<const char*>(nullptr), "a"));
    EXPECT_FALSE(on.SetFile(m_tmp.file("no/such/dir.log").c_str(), "a"));
    on.Information("m", "still nowhere");
    on.SetFile(stderr);
    on.SetLogLevel(IVfxLogger::LL_OFF);
    on.Information("m", "filtered");
}

TEST_F(LoggerFile, PlantedLinksAndFifosAreRefused)
{
    std::string target = m_tmp.write("victim.txt", "keep\n");
    std::string link = m_tmp.file("link.log");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    std::string dangling = m_tmp.file("dangling.log");
    std::string created = m_tmp.file("created-by-link.txt");
    ASSERT_EQ(symlink(created.c_str(), dangling.c_str()), 0);
    std::string fifo = m_tmp.file("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    VfxFileLogger log(IVfxLogger::LL_DEBUG);
    for (const char* mode : {"a", "w", "a+"}) {
        errno = 0;
        EXPECT_FALSE(log.SetFile(link.c_str(), mode)) << mode;
        EXPECT_EQ(errno, ELOOP);
        EXPECT_FALSE(log.SetFile(dangling.c_str(), mode)) << mode;
        EXPECT_FALSE(log.SetFile(fifo.c_str(), mode)) << mode; // and does not hang
    }
    log.Error("m", 1, "must not land anywhere");
    EXPECT_EQ(readFile(target), "keep\n");
    EXPECT_FALSE(exists(created));
    EXPECT_EQ(VfxOpenLogFile(m_path.c_str(), "z"), nullptr);
    EXPECT_EQ(VfxOpenLogFile(nullptr, "a"), nullptr);
}

TEST_F(LoggerFile, CompleteFileBuildsTheNameAndOpensIt)
{
    VfxFileLogger log(IVfxLogger::LL_INFO);
    log.ToggleDateUsage(false);
    ASSERT_TRUE(log.CompleteFile((m_tmp.path() + "/").c_str(), "vornxmlquery", nullptr, "a", true, false));
    log.Information("m", "x");
    std::string name = m_tmp.file("vornxmlquery_" + std::to_string(getpid()) + ".log");
    log.SetFile(static_cast<FILE*>(nullptr));
    EXPECT_EQ(readFile(name), "[[   INFO] m: x\n");
}

class LogFileName : public ::testing::Test {
protected:
    // No configuration file and no VDBS_LOG unless a test sets one.
    LogFileName() : m_rcs("VORNRCS", m_tmp.file("absent.conf").c_str()), m_log("VDBS_LOG", nullptr) { VfxCloseRCS(); }
    ~LogFileName() override { VfxCloseRCS(); }
    std::string name(const char* dir, const char* base, const char* ext, bool pid, bool tid, bool time)
    {
        char out[VFX_LOGFILENAME_SIZE];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(getLogFileNameEx(out, dir, base, ext, pid, tid, time), out);
        return out;
    }
    TempDir m_tmp;
    ScopedEnv m_rcs, m_log;
};

TEST_F(LogFileName, PartsAndDefaults)
{
    const std::string pid = std::to_string(getpid());
    struct {
        const char *dir, *base, *ext;
        bool pid;
        std::string want;
    } cases[] = {
        {"/tmp/", "x", ".txt", false, "/tmp/x.txt"},
        {"/tmp/", "x", nullptr, false, "/tmp/x.log"},
        {"/tmp", "x", "log", false, "/tmp/x.log"},
        {"C:\\logs\\", "x", "", false, "C:\\logs/x."},
        {"/var/log/xml/", "vornxmlquery", nullptr, true, "/var/log/xml/vornxmlquery_" + pid + ".log"},
        {"", "x", nullptr, false, "/tmp/x.log"},
        {nullptr, "x", nullptr, false, "/tmp/x.log"},
        {"/", "x", nullptr, false, "/x.log"},
    };
    for (auto& c : cases)
        EXPECT_EQ(name(c.dir, c.base, c.ext, c.pid, false, false), c.want) << (c.dir ? c.dir : "null");

    std::string stamped = name("/var/log/xml/", "vornxmlquery", nullptr, true, true, true);
    EXPECT_TRUE(shaped(stamped, "/var/log/xml/vornxmlquery_" + pid + "_+_99999999999999999.log")) << stamped;
    std::string tid = name("/d", "n", nullptr, false, true, false);
    EXPECT_TRUE(shaped(tid, "/d/n_+.log")) << tid;
    EXPECT_LE(tid.size(), std::string("/d/n_.log").size() + 15);

    // The configured directory: environment first, then the configuration file.
    {
        ScopedEnv env("VDBS_LOG", "/var/log/");
        EXPECT_EQ(name("", "x", nullptr, false, false, false), "/var/log/x.log");
    }
    ScopedEnv file("VORNRCS", m_tmp.write("vdbs.conf", "VDBS_LOG=/srv/logs # site logs\n").c_str());
    VfxCloseRCS();
    EXPECT_EQ(name(nullptr, "x", nullptr, false, false, false), "/srv/logs/x.log");
    ScopedEnv empty("VDBS_LOG", "");
    EXPECT_EQ(name(nullptr, "x", nullptr, false, false, false), "/tmp/x.log");
}

TEST_F(LogFileName, OwnBufferAndOverlongNames)
{
    char* made = getLogFileName(nullptr, "/tmp", "x", nullptr, false, false);
    ASSERT_NE(made, nullptr);
    EXPECT_STREQ(made, "/tmp/x.log");
    VfxMemFree(made);

    std::string longDir = "/" + std::string(1100, 'd');
    EXPECT_EQ(name(longDir.c_str(), "x", nullptr, true, true, true), "");
    std::string justFits = "/" + std::string(VFX_LOGFILENAME_SIZE - 1 - 7, 'd'); // + "/x.log"
    EXPECT_EQ(name(justFits.c_str(), "x", nullptr, false, false, false), justFits + "/x.log");
}
