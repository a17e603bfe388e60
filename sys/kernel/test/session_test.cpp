// Sessions, users, configuration, administration, the status stack and
// screen windows.
#include <sqlite3.h>

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
    // Stores text form t as a new record of control c: 1 when it was stored.
    static int storeTextForm(VdbHandle c, const std::string& t, int* rid) {
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, c, 0, 0, 0);
        int a, b, d;
        int st = VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d);
        return (st & 1) ? VdbPutRecord(c, rid) : st;
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

// A data directory written by the first format (large values inside the
// table keys) is taken over when opened: records, blobs, index entries in
// runs and pending, and structure all still answer.
TEST_F(NoSessionTest, DataDirectoryOfTheFirstFormatIsUpgraded) {
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096));
    ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
    std::string blob(150000, 'b');
    for (int i = 1; i <= 70; ++i) {  // enough for a fold into a run, a few left pending
        kt::Control c;
        VdbSetBase(c, "docs", 2);
        int nid = 0, name = 0, type = 0, xml = 0, flags = 0;
        VdbCheckField(c, "N_ID", &nid, &type, &flags);
        VdbCheckField(c, "N_NAME", &name, &type, &flags);
        VdbCheckField(c, "D_XMLDOC", &xml, &type, &flags);
        std::string t = "\n\n1G^\n" + std::to_string(nid) + "F^1P1^\n" + std::to_string(name) + "F^1Pr" +
                        std::to_string(i) + "^\n\n\n2G^\n" + std::to_string(nid) + "F^2P2^\n" +
                        std::to_string(name) + "F^2Pc^\n";
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, c, 0, 0, 0);
        int a, b, d;
        ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d)) << message(-1);
        VdbSetCursor(&cur, c, xml, 0, 0);
        ASSERT_EQ(1, VdbPutBlobBlock(cur, static_cast<int>(blob.size()), blob.data()));
        ASSERT_EQ(1, VdbPutRecord(c, nullptr)) << message(-1);
    }
    VdbStopVorn(0);

    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    const char* old =
        "BEGIN;"
        "CREATE TABLE b1(base INT, rid INT, part INT, field INT, seq INT, data BLOB, "
        "PRIMARY KEY(base, rid, part, field, seq)) WITHOUT ROWID;"
        "CREATE TABLE t1(base INT, rid INT, data BLOB, PRIMARY KEY(base, rid)) WITHOUT ROWID;"
        "CREATE TABLE p1(base INT, run INT, key INT, term BLOB, first INT, data BLOB, "
        "PRIMARY KEY(base, run, key, term, first)) WITHOUT ROWID;"
        "CREATE TABLE q1(base INT, rid INT, chunk INT, data BLOB, PRIMARY KEY(base, rid, chunk)) WITHOUT ROWID;"
        "INSERT INTO b1 SELECT * FROM blobs; INSERT INTO t1 SELECT * FROM trees;"
        "INSERT INTO p1 SELECT * FROM postings; INSERT INTO q1 SELECT * FROM pending;"
        "DROP TABLE blobs; DROP TABLE trees; DROP TABLE postings; DROP TABLE pending;"
        "ALTER TABLE b1 RENAME TO blobs; ALTER TABLE t1 RENAME TO trees;"
        "ALTER TABLE p1 RENAME TO postings; ALTER TABLE q1 RENAME TO pending;"
        "UPDATE meta SET value='1' WHERE key='format'; COMMIT;";
    char* err = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, old, nullptr, nullptr, &err)) << (err ? err : "");
    sqlite3_close(db);

    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    ASSERT_EQ(1, VdbExecuteCcl("BASE docs", nullptr));
    struct {
        const char* cond;
        int records;
    } finds[] = {{"N_NAME=r3", 1}, {"N_NAME=r70", 1}, {"N_NAME=c", 70}, {"XPATH(child,0,3,2)", 70}};
    for (const auto& f : finds) {
        ASSERT_EQ(1, VdbExecuteCcl((std::string("FIND ") + f.cond).c_str(), nullptr)) << f.cond << message(-1);
        int set = 0, recs = 0, hits = 0;
        VdbGetSearch(&set, &recs, &hits);
        EXPECT_EQ(f.records, recs) << f.cond;
    }
    kt::Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, 5));
    int xml = 0, type = 0, flags = 0, size = 0;
    VdbCheckField(c, "D_XMLDOC", &xml, &type, &flags);
    VdbHandle cur = nullptr;
    VdbSetCursor(&cur, c, xml, 0, 0);
    ASSERT_EQ(1, VdbGetBlobSize(cur, &size));
    EXPECT_EQ(150000, size);
    std::string back(static_cast<size_t>(size), '\0');
    int len = 0;
    ASSERT_EQ(1, VdbGetBlobBlock(cur, 1, size, &back[0], &len));
    EXPECT_EQ(blob, back);
    VdbStopVorn(0);
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema WHERE sql LIKE '%WITHOUT ROWID%'", -1, &st, nullptr);
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
    EXPECT_EQ(3, sqlite3_column_int(st, 0));  // records, runs, dead keep their form
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// Records stored before their item maxima were kept (a records table
// without them) are counted by their items. Opening such a directory
// otherwise current writes nothing and keeps no maxima; one upgraded for
// another reason gets them for each record stored after, and a record left
// alone still has none.
TEST_F(NoSessionTest, RecordsStoredWithoutItemMaximaAreCountedByTheirItems) {
    auto fieldOf = [](VdbHandle c, const char* name) {
        int num = 0, type = 0, flags = 0;
        VdbCheckField(c, name, &num, &type, &flags);
        return num;
    };
    auto count = [&](int rid, const char* field) {
        kt::Control c;
        VdbSetBase(c, "docs", 2);
        if (VdbGetRecordInBase(c, rid) != 1) return -1;
        VdbHandle cur = nullptr;
        int n = -1;
        if (VdbSetCursor(&cur, c, fieldOf(c, field), 0, 0) == 1) VdbItemCount(cur, &n);
        VdbDeleteCursor(cur);
        return n;
    };
    // Rows of records: (rid, maxima kept), or nothing without the column.
    auto keptRows = [&]() {
        sqlite3* db = nullptr;
        std::vector<std::pair<int, int>> kept;
        EXPECT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT rid, maxima IS NOT NULL FROM records ORDER BY rid", -1, &st, nullptr) ==
            SQLITE_OK)
            while (sqlite3_step(st) == SQLITE_ROW)
                kept.emplace_back(sqlite3_column_int(st, 0), sqlite3_column_int(st, 1));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return kept;
    };
    for (bool upgraded : {false, true}) {
        SCOPED_TRACE(upgraded ? "upgraded" : "left as it is");
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096));
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        // A record large enough to be read page by page, and a small one.
        const int parts[2] = {5000, 3}, props[2] = {2, 3};
        int rids[2] = {0, 0};
        for (int r = 0; r < 2; ++r) {
            kt::Control c;
            VdbSetBase(c, "docs", 2);
            std::string id = std::to_string(fieldOf(c, "N_ID")), pn = std::to_string(fieldOf(c, "D_PROPNAME"));
            std::string t;
            for (int i = 1; i <= props[r]; ++i) t += pn + "F^" + std::to_string(i) + "Pp^\n";
            for (int p = 1; p <= parts[r]; ++p)
                t += "\n\n" + std::to_string(p) + "G^\n" + id + "F^" + std::to_string(p) + "P" + std::to_string(p) +
                     "^\n";
            ASSERT_EQ(1, storeTextForm(c, t, &rids[r])) << message(-1);
        }
        VdbStopVorn(0);

        // The records table as it was before the maxima; a missing index
        // makes the directory one to upgrade.
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
        char* err = nullptr;
        std::string old = "BEGIN; CREATE TABLE r1(base INT, rid INT, name BLOB, nparts INT, run INT, "
                          "PRIMARY KEY(base, rid)) WITHOUT ROWID;"
                          "INSERT INTO r1 SELECT base, rid, name, nparts, run FROM records;"
                          "DROP TABLE records; ALTER TABLE r1 RENAME TO records;"
                          "CREATE INDEX records_name ON records(base, name) WHERE name IS NOT NULL;";
        if (!upgraded) old += "CREATE INDEX records_run ON records(base, run);";
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, (old + "COMMIT").c_str(), nullptr, nullptr, &err)) << (err ? err : "");
        sqlite3_close(db);

        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
        EXPECT_EQ(2, count(rids[0], "D_PROPNAME"));
        EXPECT_EQ(5000, count(rids[0], "N_ID"));
        EXPECT_EQ(3, count(rids[1], "D_PROPNAME"));
        {
            kt::Control c;
            VdbSetBase(c, "docs", 2);
            ASSERT_EQ(1, VdbGetRecordInBase(c, rids[1]));
            VdbHandle cur = nullptr;
            ASSERT_EQ(1, VdbSetCursor(&cur, c, fieldOf(c, "D_PROPNAME"), 0, 7));
            ASSERT_EQ(1, VdbReplaceItem(cur, "late", -1)) << message(-1);
            VdbDeleteCursor(cur);
        }
        VdbStopVorn(0);
        using Rows = std::vector<std::pair<int, int>>;
        const Rows expected = upgraded ? Rows{{rids[0], 0}, {rids[1], 1}} : Rows{};
        EXPECT_EQ(expected, keptRows());

        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
        EXPECT_EQ(7, count(rids[1], "D_PROPNAME"));
        EXPECT_EQ(2, count(rids[0], "D_PROPNAME"));
        EXPECT_EQ(5000, count(rids[0], "N_ID"));
        VdbStopVorn(0);
        // Damaged maxima (cut short, of a form not known here) are not trusted.
        for (const char* bad : {"X'01FF'", "X'02'"}) {
            if (!upgraded)
                break;
            ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
            ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, (std::string("UPDATE records SET maxima=") + bad).c_str(), nullptr,
                                              nullptr, nullptr));
            sqlite3_close(db);
            ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
            EXPECT_EQ(7, count(rids[1], "D_PROPNAME")) << bad;
            EXPECT_EQ(5000, count(rids[0], "N_ID")) << bad;
            VdbStopVorn(0);
        }
        removeDir(dir);
        dir = makeTempDir();
        setenv("VDBS_DATA", dir.c_str(), 1);
    }
}

// A data directory that keeps one row per slot is packed into slot pages
// when opened; every value still reads, is found, and can be changed.
TEST_F(NoSessionTest, DataDirectoryWithOneRowPerSlotIsPacked) {
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096));
    ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
    int rids[2] = {0, 0};
    const int sizes[2] = {600, 3};
    for (int r = 0; r < 2; ++r) {
        kt::Control c;
        VdbSetBase(c, "docs", 2);
        int nid = 0, tv = 0, type = 0, flags = 0;
        VdbCheckField(c, "N_ID", &nid, &type, &flags);
        VdbCheckField(c, "N_TVALUE", &tv, &type, &flags);
        std::string t;
        for (int p = 1; p <= sizes[r]; ++p) {
            std::string v = "text " + std::to_string(r) + "." + std::to_string(p);
            t += "\n\n" + std::to_string(p) + "G^\n" + std::to_string(nid) + "F^" + std::to_string(p) + "P" +
                 std::to_string(p) + "^\n" + std::to_string(tv) + "F^\n" + std::to_string(v.size()) + "L" + v + "^\n";
        }
        ASSERT_EQ(1, storeTextForm(c, t, &rids[r])) << message(-1);
    }
    VdbStopVorn(0);

    // Unpack every page (varint slot offset, varint length, bytes) into rows.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "BEGIN; CREATE TABLE slots(base INT, rid INT, slot INT, data BLOB, "
                                      "PRIMARY KEY(base, rid, slot)) WITHOUT ROWID",
                                      nullptr, nullptr, nullptr));
    sqlite3_stmt* rd = nullptr;
    sqlite3_stmt* wr = nullptr;
    sqlite3_prepare_v2(db, "SELECT base, rid, first, data FROM slotpages", -1, &rd, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO slots VALUES(?,?,?,?)", -1, &wr, nullptr);
    auto varint = [](const unsigned char*& p) {
        uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            unsigned char b = *p++;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
    };
    int rows = 0;
    while (sqlite3_step(rd) == SQLITE_ROW) {
        const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(rd, 3));
        const unsigned char* e = p + sqlite3_column_bytes(rd, 3);
        while (p < e) {
            uint64_t off = varint(p), len = varint(p);
            sqlite3_bind_int64(wr, 1, sqlite3_column_int64(rd, 0));
            sqlite3_bind_int64(wr, 2, sqlite3_column_int64(rd, 1));
            sqlite3_bind_int64(wr, 3, sqlite3_column_int64(rd, 2) + static_cast<int64_t>(off));
            sqlite3_bind_blob(wr, 4, p, static_cast<int>(len), SQLITE_TRANSIENT);
            ASSERT_EQ(SQLITE_DONE, sqlite3_step(wr));
            sqlite3_reset(wr);
            p += len;
            ++rows;
        }
    }
    sqlite3_finalize(rd);
    sqlite3_finalize(wr);
    EXPECT_GT(rows, 600);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "DROP TABLE slotpages; UPDATE meta SET value='2' WHERE key='format'; COMMIT",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);

    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    ASSERT_EQ(1, VdbExecuteCcl("BASE docs", nullptr));
    kt::Control c;
    VdbSetBase(c, "docs", 2);
    int tv = 0, type = 0, flags = 0;
    VdbCheckField(c, "N_TVALUE", &tv, &type, &flags);
    auto get = [&](VdbHandle ctl, int part) {
        VdbHandle cur = nullptr;
        VdbSetRecordPart(&cur, ctl, part);
        char buf[256];
        int len = 0;
        int st = VdbSetCursor(&cur, ctl, tv, part, 0);
        if (st & 1) st = VdbGetLine(cur, buf, &len, sizeof buf);
        VdbDeleteCursor(cur);
        return st == 1 ? std::string(buf, static_cast<size_t>(len)) : std::string();
    };
    struct {
        int record, part;
    } reads[] = {{0, 1}, {0, 255}, {0, 256}, {0, 512}, {0, 600}, {1, 1}, {1, 3}};
    for (const auto& r : reads) {
        ASSERT_EQ(1, VdbGetRecordInBase(c, rids[r.record]));
        EXPECT_EQ("text " + std::to_string(r.record) + "." + std::to_string(r.part), get(c, r.part))
            << r.record << "/" << r.part;
    }
    ASSERT_EQ(1, VdbExecuteCcl("FIND N_TVALUE=$xt 0.51$", nullptr));
    int set = 0, recs = 0, hits = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(11, hits);  // 0.51 and 0.510 ... 0.519
    ASSERT_EQ(1, VdbGetRecordInBase(c, rids[0]));
    VdbHandle cur = nullptr;
    VdbSetRecordPart(&cur, c, 300);
    ASSERT_EQ(1, VdbSetCursor(&cur, c, tv, 300, 0));
    ASSERT_EQ(1, VdbReplaceItem(cur, "changed", -1));
    kt::Control d;
    VdbSetBase(d, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(d, rids[0]));
    EXPECT_EQ("changed", get(d, 300));
    EXPECT_EQ("text 0.301", get(d, 301));
    VdbStopVorn(0);
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM sqlite_schema WHERE name='slots'), "
                       "(SELECT value FROM meta WHERE key='format')", -1, &st, nullptr);
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
    EXPECT_EQ(0, sqlite3_column_int(st, 0));
    EXPECT_EQ(3, sqlite3_column_int(st, 1));
    sqlite3_finalize(st);
    sqlite3_close(db);
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
