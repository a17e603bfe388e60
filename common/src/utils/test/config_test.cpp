#include "VfxConfig.h"
#include "VfxMemory.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> sectionNames(VfxConfig* cfg)
{
    std::vector<std::string> names;
    for (VfxConfigSection* s = cfg->sections; s; s = s->next)
        names.push_back(s->name);
    return names;
}

std::vector<std::string> entries(VfxConfigSection* s)
{
    std::vector<std::string> out;
    for (VfxConfigEntry* e = s ? s->entries : nullptr; e; e = e->next)
        out.push_back(std::string(e->key) + "=" + e->value);
    return out;
}

const char* valueOf(VfxConfig* cfg, const char* section, const char* key)
{
    VfxConfigEntry* e = Config_GetEntry(Config_GetSection(cfg, section), key);
    return e ? e->value : nullptr;
}

} // namespace

TEST(ConfigFile, ParsesSectionsEntriesAndComments)
{
    TempDir tmp;
    std::string path = tmp.write("a.cfg",
                                 "# comment\n"
                                 "XML_LOG = 5\n"
                                 "  ; indented comment\n"
                                 "'quoted\n"
                                 "//slashes=1\n"
                                 "#x=1\n"
                                 "novalue\n"
                                 "=value\n"
                                 "\n"
                                 "[db]\n"
                                 "name=books\n"
                                 "Name = second\n"
                                 "[DB]\n"
                                 "other = 1 = 2\n"
                                 "[]\n"
                                 "empty=1\n"
                                 "  [unterminated  \r\n"
                                 "k=v");
    VfxConfig* cfg = Config_Open(path.c_str());
    ASSERT_NE(cfg, nullptr);
    EXPECT_STREQ(cfg->path, path.c_str());
    EXPECT_EQ(sectionNames(cfg), (std::vector<std::string>{"", "db", "DB", "", "unterminated"}));
    EXPECT_EQ(entries(cfg->sections), (std::vector<std::string>{"XML_LOG=5", "novalue=", "=value"}));

    EXPECT_STREQ(valueOf(cfg, nullptr, "xml_log"), "5");
    EXPECT_STREQ(valueOf(cfg, "", "NOVALUE"), "");
    EXPECT_STREQ(valueOf(cfg, "", ""), "value");
    EXPECT_STREQ(valueOf(cfg, "Db", "NAME"), "books"); // first section, first key
    EXPECT_STREQ(valueOf(cfg, "unterminated", "k"), "v");
    EXPECT_EQ(valueOf(cfg, "missing", "k"), nullptr);
    EXPECT_EQ(valueOf(cfg, "db", "missing"), nullptr);
    // The "[]" section is not what an empty name finds.
    EXPECT_EQ(Config_GetSection(cfg, ""), cfg->sections);
    EXPECT_EQ(valueOf(cfg, "", "empty"), nullptr);
    VfxConfigSection* second = Config_GetSection(cfg, "db")->next;
    EXPECT_STREQ(Config_GetEntry(second, "other")->value, "1 = 2");

    Config_Close(cfg);
}

TEST(ConfigFile, SetEntryReplacesOrPutsInFront)
{
    TempDir tmp;
    VfxConfig* cfg = Config_Open(tmp.write("a.cfg", "a=1\nb=2\n").c_str());
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(Config_SetEntry(cfg->sections, "B", "two"), 0);
    EXPECT_EQ(Config_SetEntry(cfg->sections, "c", "3"), 0);
    EXPECT_EQ(Config_SetEntry(cfg->sections, "d", nullptr), 0);
    EXPECT_EQ(entries(cfg->sections), (std::vector<std::string>{"d=", "c=3", "a=1", "b=two"}));
    EXPECT_EQ(Config_SetEntry(nullptr, "x", "1"), -1);
    EXPECT_EQ(Config_SetEntry(cfg->sections, nullptr, "1"), -1);
    Config_Close(cfg);
}

TEST(ConfigFile, MissingOrUnreadableFileGivesNull)
{
    TempDir tmp;
    errno = 0;
    EXPECT_EQ(Config_Open(tmp.file("absent.cfg").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // A directory opens but cannot be read as lines.
    errno = 0;
    EXPECT_EQ(Config_Open(tmp.path().c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
    if (geteuid() != 0) { // root reads whatever the mode says
        std::string locked = tmp.write("locked.cfg", "a=1\n");
        chmod(locked.c_str(), 0);
        EXPECT_EQ(Config_Open(locked.c_str()), nullptr);
        EXPECT_EQ(errno, EACCES);
    }
    EXPECT_EQ(Config_Open(nullptr), nullptr);
    EXPECT_EQ(Config_Open(""), nullptr);

    Config_Close(nullptr);
    EXPECT_EQ(Config_GetSection(nullptr, "x"), nullptr);
    EXPECT_EQ(Config_GetEntry(nullptr, "x"), nullptr);
    EXPECT_EQ(Config_DirOpen(nullptr, nullptr, nullptr), -1);
}

TEST(ConfigFile, LongLinesStayWhole)
{
    TempDir tmp;
    std::string value(3000, 'v');
    VfxConfig* cfg = Config_Open(tmp.write("a.cfg", "long=" + value + "tail=1\nnext=2\n").c_str());
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(entries(cfg->sections), (std::vector<std::string>{"long=" + value + "tail=1", "next=2"}));
    Config_Close(cfg);
}

TEST(ConfigFile, DirOpenMergesConfFilesInNameOrder)
{
    TempDir tmp;
    mkdir(tmp.file("conf.d").c_str(), 0700);
    tmp.write("conf.d/b.conf", "[db]\nname=from-b\n");
    tmp.write("conf.d/a.conf", "top=1\n[DB]\nname=from-a\nextra=1\n[new]\nx=1\ny=2\n");
    tmp.write("conf.d/skip.txt", "[ignored]\nz=1\n");
    VfxConfig* cfg = Config_Open(tmp.write("main.cfg", "ConfigDir=conf.d\n[db]\nname=books\nsize=9\n").c_str());
    ASSERT_NE(cfg, nullptr);

    EXPECT_EQ(Config_DirOpen(cfg, nullptr, nullptr), 0);
    EXPECT_EQ(sectionNames(cfg), (std::vector<std::string>{"", "db", "new"}));
    EXPECT_EQ(entries(Config_GetSection(cfg, "db")), (std::vector<std::string>{"extra=1", "name=from-b", "size=9"}));
    EXPECT_EQ(entries(Config_GetSection(cfg, "new")), (std::vector<std::string>{"x=1", "y=2"}));
    EXPECT_STREQ(valueOf(cfg, "", "top"), "1");

    EXPECT_EQ(Config_DirOpen(cfg, "db", nullptr), -1);       // no such entry
    EXPECT_EQ(Config_DirOpen(cfg, "nosuch", "x"), -1);       // no such section
    Config_SetEntry(cfg->sections, "ConfigDir", tmp.file("gone").c_str());
    EXPECT_EQ(Config_DirOpen(cfg, "", "ConfigDir"), -1);     // no such directory
    Config_Close(cfg);
}

TEST(Paths, RelativeDirToAbsolute)
{
    TempDir tmp;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    char real[PATH_MAX];
    ASSERT_NE(getcwd(real, sizeof real), nullptr);

    char out[PATH_MAX + 32];
    EXPECT_EQ(VfxRelativeDirToAbsolute(out, "conf/a.conf", sizeof out), 0);
    EXPECT_EQ(std::string(out), std::string(real) + "/conf/a.conf");
    EXPECT_EQ(VfxRelativeDirToAbsolute(out, "/etc/x.conf", sizeof out), 0);
    EXPECT_STREQ(out, "/etc/x.conf");
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(VfxRelativeDirToAbsolute(out, "a", sizeof out), 0);
    EXPECT_STREQ(out, "/a");

    char small[4] = "xyz";
    EXPECT_EQ(VfxRelativeDirToAbsolute(small, "/long/path", sizeof small), ENAMETOOLONG);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(VfxRelativeDirToAbsolute(small, nullptr, sizeof small), EINVAL);
    EXPECT_EQ(VfxRelativeDirToAbsolute(nullptr, "a", 10), EINVAL);
    ASSERT_EQ(chdir(cwd), 0);
}

class KernelConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_file = m_tmp.write("vdbs.conf",
                             "XML_LOG=5\n"
                             "VDBS_LOG=/var/log/xml   # where logs go\n"
                             "Spaced = v\n"
                             "lower_key=abc\t \n"
                             "EMPTY=\n"
                             "#COMMENTED=1\n"
                             "LONG=" + std::string(600, 'x') + "\n"
                             "PAD=" + std::string(506, 'p') + "SNEAKY=1\n"
                             "AFTER=1\n");
        m_env = new ScopedEnv("VORNRCS", m_file.c_str());
        VfxCloseRCS();
    }
    void TearDown() override
    {
        VfxCloseRCS();
        delete m_env;
    }
    std::string read(const char* name)
    {
        char* v = VfxReadRCS(name, 7);
        std::string s = v ? v : "<null>";
        VfxFreeRCS(v);
        return s;
    }
    TempDir m_tmp;
    std::string m_file;
    ScopedEnv* m_env = nullptr;
};

TEST_F(KernelConfig, ReadsValuesFromTheFile)
{
    ScopedEnv noLog("XML_LOG", nullptr);
    struct {
        const char *name, *want;
    } cases[] = {
        {"XML_LOG", "5"},        {"xml_log", "5"},   {"VDBS_LOG", "/var/log/xml"}, {"LOWER_KEY", "abc"},
        {"EMPTY", ""},           {"Spaced", "<null>"}, {"COMMENTED", "<null>"},    {"MISSING", "<null>"},
        {"SNEAKY", "<null>"},    {"AFTER", "1"},     {"", "<null>"},
    };
    for (auto& c : cases)
        EXPECT_EQ(read(c.name), c.want) << c.name;
    EXPECT_EQ(read("LONG"), std::string(505, 'x')); // cut at 510 bytes of line
    EXPECT_EQ(VfxReadRCS(nullptr, 7), nullptr);
}

TEST_F(KernelConfig, EnvironmentWinsEvenWithoutAFile)
{
    {
        ScopedEnv env("XML_LOG", "9");
        EXPECT_EQ(read("XML_LOG"), "9");
    }
    EXPECT_EQ(read("XML_LOG"), "5");

    ScopedEnv noFile("VORNRCS", m_tmp.file("absent.conf").c_str());
    VfxCloseRCS();
    ScopedEnv env("VX_ONLY_IN_ENV", "here");
    EXPECT_EQ(read("VX_ONLY_IN_ENV"), "here");
}

TEST_F(KernelConfig, EachThreadKeepsItsOwnCache)
{
    EXPECT_EQ(read("AFTER"), "1"); // this thread has cached the file
    m_tmp.write("vdbs.conf", "AFTER=2\n");
    EXPECT_EQ(read("AFTER"), "1");
    std::string seen;
    std::thread([&] { seen = read("AFTER"); }).join(); // its cache is freed at exit
    EXPECT_EQ(seen, "2");
    VfxCloseRCS();
    EXPECT_EQ(read("AFTER"), "2");
}

TEST_F(KernelConfig, CallerKeysAndThreadLocalSlots)
{
    VfxTLSKey key;
    ASSERT_EQ(VfxCreateTLS(&key, nullptr), 0);
    VfxOpenTlsRCS(key);
    char* v = VfxReadTlsRCS(key, "xml_log", 0);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "5");
    VfxFreeRCS(v);
    EXPECT_NE(VfxGetTLSValue(key), nullptr);
    VfxCloseTlsRCS(key);
    EXPECT_EQ(VfxGetTLSValue(key), nullptr);

    // A null destructor frees the value with VfxMemFree at thread exit.
    std::thread([key] {
        EXPECT_EQ(VfxSetTLSValue(key, VfxMemAlloc(32)), 0);
        EXPECT_NE(VfxGetTLSValue(key), nullptr);
    }).join();
    EXPECT_EQ(VfxDeleteTLS(key), 0);
    EXPECT_EQ(VfxCreateTLS(nullptr, nullptr), EINVAL);
}
