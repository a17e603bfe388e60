// Sessions, users, configuration, administration, the status stack and
// screen windows.
#include <fstream>
#include <string>

#include "fixture.h"

using namespace kt;

namespace {

// Tests that open the session themselves.
class NoSessionTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        dir = makeTempDir();
        setenv("VDBS_DATA", dir.c_str(), 1);
        setenv("VDBS_SYNC", "normal", 1);
    }
    void TearDown() override {
        VdbStopVorn(0);
        removeDir(dir);
        unsetenv("VORNRCS");
    }
};

TEST_F(NoSessionTest, LoginChecksUserAndPassword) {
    EXPECT_EQ(VDB_NOSESSION, VdbExecuteCcl("BASE x", nullptr));
    // fresh directory: warden with an empty password until it is set
    ASSERT_EQ(1, VdbInitData(nullptr, "secret"));
    EXPECT_EQ(VDB_INITDONE, VdbInitData(nullptr, "other"));
    struct {
        const char* user;
        const char* password;
        int status;
    } cases[] = {{"warden", "", VDB_LOGIN}, {"warden", "wrong", VDB_LOGIN}, {"nobody", "secret", VDB_LOGIN},
                 {"WARDEN", "secret", 1}};
    for (auto& c : cases) {
        int st = VdbStartVorn(c.user, c.password, 9, 4096);
        EXPECT_EQ(c.status, st) << c.user << "/" << c.password;
        if (st == VDB_LOGIN) {
            EXPECT_NE(std::string::npos, message(st).find(c.user));
            EXPECT_EQ(VDB_NOSESSION, VdbCreateBase("x", "xml"));  // nothing opened
        }
        VdbStopVorn(0);
    }
    ASSERT_EQ(1, VdbStartVorn("warden", "secret", 9, 4096));
    ASSERT_EQ(1, VdbSetPassword(nullptr, "new"));
    VdbStopVorn(0);
    EXPECT_EQ(VDB_LOGIN, VdbStartVorn("warden", "secret", 9, 4096));
    EXPECT_EQ(1, VdbStartVorn("warden", "new", 9, 4096));
}

TEST_F(NoSessionTest, UnusableDataDirectoryIsNamed) {
    std::string file = dir + "/plainfile";
    std::ofstream(file) << "x";
    std::string bad = file + "/data";
    setenv("VDBS_DATA", bad.c_str(), 1);
    int st = VdbStartVorn("warden", "", 9, 4096);
    EXPECT_EQ(VDB_DATADIR, st);
    EXPECT_NE(std::string::npos, message(st).find(bad)) << message(st);
}

TEST_F(NoSessionTest, ConfigurationEnvironmentWinsOverTheFile) {
    std::string rc = dir + "/vdbs.conf";
    std::ofstream(rc) << "# kernel settings\nVX_A = from file  \nVX_B=file b # trailing comment\n\nVX_C\n";
    setenv("VORNRCS", rc.c_str(), 1);
    setenv("VX_A", "from env", 1);
    unsetenv("VX_B");
    const char* a = QueryRCS("VX_A", 7);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ("from env", a);
    unsetenv("VX_A");
    EXPECT_STREQ("from file", QueryRCS("VX_A", 7));
    EXPECT_STREQ(a, "from env");  // earlier pointers stay valid
    EXPECT_STREQ("file b", QueryRCS("VX_B", 7));
    EXPECT_EQ(nullptr, QueryRCS("VX_C", 7));
    EXPECT_EQ(nullptr, QueryRCS("VX_MISSING", 7));
    ASSERT_EQ(1, UpdateRCS("VX_B", "process"));
    EXPECT_STREQ("process", QueryRCS("VX_B", 7));
    UpdateRCS("VX_B", nullptr);
    EXPECT_STREQ("file b", QueryRCS("VX_B", 7));
}

TEST_F(NoSessionTest, SessionCharacterSet) {
    for (auto& c : {std::make_pair("", 16), std::make_pair("LA2", 2), std::make_pair("SJIS", 20),
                    std::make_pair("xyz", 1)}) {
        if (*c.first)
            setenv("VDBS_CHARS", c.first, 1);
        else
            unsetenv("VDBS_CHARS");
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096));
        int code = 0;
        char text[256];
        ASSERT_EQ(1, VdbSessionInfo(10, text, &code));
        EXPECT_EQ(c.second, code) << c.first;
        VdbStopVorn(0);
    }
    unsetenv("VDBS_CHARS");
}

class SessionTest : public KernelTest {};

TEST_F(SessionTest, BasesAreCreatedListedAndDropped) {
    ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
    ASSERT_EQ(1, VdbCreateBase("Links", "link"));
    EXPECT_EQ(VDB_BASEEXISTS, VdbCreateBase("DOCS", "xml"));
    EXPECT_EQ(VDB_BADNAME, VdbCreateBase("a b", "xml"));
    EXPECT_EQ(VDB_BADNAME, VdbCreateBase(std::string(64, 'x').c_str(), "xml"));
    EXPECT_EQ(VDB_BADDESIGN, VdbCreateBase("c", "/no/such/design"));
    std::string design = dir + "/people.design";
    std::ofstream(design) << "# people\nNAME phrase recname\nAGE integer\nNOTE text\nCHILD phrase part\n";
    ASSERT_EQ(1, VdbCreateBase("people", design.c_str())) << message(-1);
    std::string bad = dir + "/bad.design";
    std::ofstream(bad) << "NAME phrase\nNAME text\n";
    EXPECT_EQ(VDB_BADDESIGN, VdbCreateBase("bad", bad.c_str()));
    EXPECT_NE(std::string::npos, message(VDB_BADDESIGN).find("defined twice"));

    std::vector<std::string> names, designs;
    char name[64], dname[64];
    int recs = 0;
    for (int i = 0; VdbListBases(i, name, dname, &recs) == 1; ++i) {
        names.push_back(name);
        designs.push_back(dname);
    }
    EXPECT_EQ((std::vector<std::string>{"docs", "Links", "people"}), names);
    EXPECT_EQ((std::vector<std::string>{"xml", "link", "people.design"}), designs);

    ASSERT_EQ(1, ccl("BASE people"));
    Control c;
    int num = 0, type = 0, flags = 0;
    ASSERT_EQ(1, VdbCheckField(c, "CHILD", &num, &type, &flags));
    EXPECT_EQ(4, num);
    EXPECT_TRUE(flags & VDB_FF_PART);
    ASSERT_EQ(1, VdbDropBase("people"));
    EXPECT_EQ(VDB_NOBASE, ccl("BASE people"));
    EXPECT_EQ(VDB_NOBASEOPEN, ccl("FIND NAME=x"));
}

TEST_F(SessionTest, StatusStackRestoresBaseSetsAndSettings) {
    ASSERT_EQ(1, VdbCreateBase("a", "link"));
    ASSERT_EQ(1, VdbCreateBase("b", "link"));
    store("a", "1F^1Px^\n");
    store("b", "1F^1Py^\n");
    ASSERT_EQ(1, ccl("BASE a"));
    int s1 = 0;
    ASSERT_EQ(1, ccl("FIND ID=x", &s1));
    ASSERT_EQ(1, VdbSaveStatus());
    ASSERT_EQ(1, ccl("BASE b"));
    ASSERT_EQ(1, ccl("DEFINE FIND MIN=0"));
    int s2 = 0;
    ASSERT_EQ(1, ccl("FIND ID=y", &s2));
    ASSERT_EQ(1, VdbLoadStatus(3));
    int set = 0, recs = 0, hits = 0;
    EXPECT_EQ(VDB_NOSET, VdbGetSearch(&(set = s2), &recs, &hits));
    set = 0;
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(s1, set);
    ASSERT_EQ(1, ccl("FIND ID=nothing"));  // MIN=0 was undone: no set made
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(0, set);
    // mode 1 keeps the sets made meanwhile, restores the base
    ASSERT_EQ(1, VdbSaveStatus());
    ASSERT_EQ(1, ccl("BASE b"));
    ASSERT_EQ(1, ccl("FIND ID=y", &s2));
    ASSERT_EQ(1, VdbLoadStatus(1));
    set = s2;
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(1, recs);
    ASSERT_EQ(1, ccl("FIND ID=x"));  // base a again
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(1, recs);
    EXPECT_EQ(VDB_STACKEMPTY, VdbLoadStatus(3));
}

TEST_F(SessionTest, BaseListIsCapturedInAWindowPageByPage) {
    std::vector<std::string> want;
    for (int i = 0; i < 40; ++i) {
        std::string n = "base_with_a_long_name_" + std::to_string(100 + i);
        ASSERT_EQ(1, VdbCreateBase(n.c_str(), i % 2 ? "xml" : "link"));
        want.push_back(n);
    }
    int saved = -1, capture = 0;
    ASSERT_EQ(1, VdbCheckScreenWindow(5, &saved));
    EXPECT_EQ(0, saved);
    ASSERT_EQ(1, VdbDefineWindow(-5, 10, 16));  // 160 characters a page
    ASSERT_EQ(1, VdbCheckScreenWindow(5, &capture));
    ASSERT_EQ(1, VdbSetScreenWindow(-5, capture));
    ASSERT_EQ(1, ccl("SHOW BASE LIST F=CLIENT_BASE"));
    std::vector<std::string> got;
    int pages = 0;
    do {
        char* text = nullptr;
        int lines = 0, cols = 0, length = 0, more = 0;
        ASSERT_EQ(1, VdbGetWindowInfo(5, &text, &lines, &cols, &length, &more));
        EXPECT_EQ(10, lines);
        EXPECT_EQ(16, cols);
        ASSERT_EQ(160u, strlen(text));
        std::string page(text, 160);
        size_t i = 0;
        while (i < page.size()) {
            while (i < page.size() && page[i] == ' ') ++i;
            size_t j = i;
            while (j < page.size() && page[j] != ' ') ++j;
            if (j > i) got.push_back(page.substr(i, j - i));
            i = j;
        }
        ++pages;
    } while (ccl("SCROLL") == 1);
    EXPECT_EQ(want, got);
    EXPECT_GT(pages, 5);
    EXPECT_EQ(VDB_SCROLLEND, ccl("SCROLL"));
    ASSERT_EQ(1, VdbSetScreenWindow(-5, saved));
    ASSERT_EQ(1, VdbDeleteWindow(capture));
    EXPECT_EQ(VDB_NOWINDOW, VdbDeleteWindow(capture));
}

TEST_F(SessionTest, MessagesCoverEveryStatus) {
    char buf[16];
    int len = sizeof buf;
    ASSERT_EQ(1, VdbMessage(VDB_NOBASE, buf, &len));
    EXPECT_EQ(strlen(buf), static_cast<size_t>(len));
    EXPECT_LT(len, 16);
    for (int st : {VDB_OK, VDB_NOITEM, VDB_BADFIELD, VDB_NAMEEXISTS, VDB_MAPEMPTY, VDB_SYNTAX, 12345}) {
        std::string m = message(st);
        EXPECT_FALSE(m.empty()) << st;
    }
    EXPECT_NE(std::string::npos, message(12346).find("12346"));
    EXPECT_EQ(VDB_NOBASE, ccl("BASE missing_base"));
    EXPECT_NE(std::string::npos, message(VDB_NOBASE).find("missing_base"));
    EXPECT_NE(std::string::npos, message(-1).find("missing_base"));
}

}  // namespace
