// Several processes on one data directory: writers in turn, a writer
// killed with SIGKILL in the middle of its stores, and a session opened and
// searching while another connection holds the write lock.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "fixture.h"

using namespace kt;

namespace {

class ProcessTest : public KernelTest {
protected:
    void SetUp() override {
        setenv("VDBS_FILTERS", VDBS_TEST_FILTER, 1);
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, ccl("BASE docs"));
    }
    void TearDown() override {
        KernelTest::TearDown();
        unsetenv("VDBS_FILTERS");
    }
    // Runs the writer helper; returns its pid (wait == false) or exit status.
    static int writer(std::vector<std::string> args, bool wait, int* outFd = nullptr) {
        int pipefd[2] = {-1, -1};
        if (outFd && pipe(pipefd) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            if (outFd) {
                dup2(pipefd[1], 1);
                close(pipefd[0]);
            }
            // The helper loads VORNxml.so beside the kernel; the leak checker's
            // scan of that module's thread-local blocks crashes in this
            // toolchain's sanitizer runtime, so the helper runs without it.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(VDBS_WRITER));
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VDBS_WRITER, argv.data());
            _exit(127);
        }
        if (outFd) {
            close(pipefd[1]);
            *outFd = pipefd[0];
        }
        if (!wait) return pid;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Runs a filter of the test module as an export of a new control on
    // docs; out: what it gave, or its error text.
    static int exportOf(const char* filter, const std::string& args, std::string& out) {
        Control c;
        EXPECT_EQ(1, VdbSetBase(c, "docs", 2));
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        strcpy(fd.filter_name, filter);
        std::string a = args;
        fd.filter_arguments = a.empty() ? nullptr : &a[0];
        fd.arg_length = static_cast<int>(a.size());
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        const int st = VdbExport(&fd);
        out = st & 1 ? std::string(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)) : fd.errortext;
        free(fd.buffer);
        return st;
    }
    static int hits(const std::string& cond) {
        if (ccl("FIND " + cond) != 1) return -1;
        int set = 0, recs = 0, h = 0;
        VdbGetSearch(&set, &recs, &h);
        return h;
    }
};

TEST_F(ProcessTest, TwoProcessesWriteInTurn) {
    ASSERT_EQ(0, writer({"store", "docs", "1", "3", "5"}, true));
    EXPECT_EQ(3, recordCount("docs"));
    int rid = store("docs", "22F^1Pmine^\n");
    ASSERT_EQ(0, writer({"store", "docs", "10", "2", "5"}, true));
    EXPECT_EQ(6, recordCount("docs"));
    EXPECT_EQ(25, hits("N_NAME=x"));
    // A record loaded here and changed by the other process is read afresh.
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    EXPECT_EQ("mine", get(c, "D_DOCNAME", 0, 1));
    ASSERT_EQ(0, writer({"set", "docs", std::to_string(rid), "D_DOCNAME", "theirs"}, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ("theirs", get(c, "D_DOCNAME", 0, 1));
    EXPECT_EQ(1, hits("D_DOCNAME=theirs"));
    EXPECT_EQ(0, hits("D_DOCNAME=mine"));
    // A value read here to check a substring search is read afresh too.
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "D_DOCTEXT"), 0, 1));
    ASSERT_EQ(1, VdbReplaceItem(cur, "mine text", -1));
    EXPECT_EQ(1, hits("D_DOCTEXT=$ine te$"));
    ASSERT_EQ(0, writer({"set", "docs", std::to_string(rid), "D_DOCTEXT", "their text"}, true));
    EXPECT_EQ(1, hits("D_DOCTEXT=$heir te$"));
    EXPECT_EQ(0, hits("D_DOCTEXT=$ine te$"));
}

TEST_F(ProcessTest, SessionOpensAndSearchesWhileAnotherConnectionWrites) {
    store("docs", "22F^1Pmine^\n");
    VdbStopVorn(0);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    // Waiting for the writer would run into this limit and fail the start.
    setenv("VDBS_BUSY_MS", "100", 1);
    int started = VdbStartVorn("warden", "", 9, 4096);
    std::string why = message(-1);
    int found = -1;
    if (started == 1) {
        EXPECT_EQ(1, ccl("BASE docs"));
        found = hits("D_DOCNAME=mine");
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    unsetenv("VDBS_BUSY_MS");
    if (started != 1) {
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    }
    EXPECT_EQ(1, started) << why;
    EXPECT_EQ(1, found);
}

// A large record reads its slot pages as they are needed. When another
// process writes it meanwhile, no reader sees pages of both versions: a page
// read after the change is refused, and the record is read afresh.
TEST_F(ProcessTest, LargeRecordChangedByAnotherProcessIsNeverReadHalfOld) {
    ASSERT_EQ(0, writer({"store", "docs", "1", "2", "5000"}, true));
    std::vector<int> rids;
    for (const char* n : {"rec-1", "rec-2"}) {
        ASSERT_EQ(1, hits(std::string("D_DOCNAME=") + n));
        rids.push_back(lastRids().at(0));
    }
    // The text of a part as reconstruction reads it ("value <record>.<part> ..."),
    // up to its first blank; a refusal is noted and the part read again.
    auto text = [&](VdbHandle c, int part) {
        int f = field(c, "N_TVALUE"), n = -1;
        const char* v = nullptr;
        int st = VdbGetNodeValues(c, part, 1, 1, &f, &v, &n);
        if (st != 1) {
            EXPECT_NE(std::string::npos, message(-1).find("changed by another process")) << message(-1);
            st = VdbGetNodeValues(c, part, 1, 1, &f, &v, &n);
        }
        EXPECT_EQ(1, st) << message(-1);
        std::string t = st == 1 && v ? std::string(v, static_cast<size_t>(n)) : std::string();
        return t.substr(0, t.find(' ', 6));
    };
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rids[0]));
    EXPECT_EQ("value 1.10", text(c, 10));
    // Another connection gives record 1 the pages of record 2 (near and far)
    // right after the read above, as a store would: the far page, read
    // before the kernel notices the change, must not join the near one.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    const std::string r1 = std::to_string(rids[0]), r2 = std::to_string(rids[1]);
    std::string sql = "PRAGMA synchronous=OFF; UPDATE slotpages SET rowid = rowid + 1000000, data = (SELECT data FROM "
                      "slotpages AS o WHERE o.rid = " + r2 + " AND o.first = slotpages.first) WHERE rid = " + r1;
    char* err = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err)) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
    EXPECT_EQ("value 2.4990", text(c, 4990));
    EXPECT_EQ("value 2.10", text(c, 10));

    // Changed by another process through the kernel: read afresh as well.
    ASSERT_EQ(0, writer({"set", "docs", r1, "N_NAME", "far", "4991"}, true));
    EXPECT_EQ("value 2.4992", text(c, 4992));
    int f = field(c, "N_NAME"), n = -1;
    const char* v = nullptr;
    ASSERT_EQ(1, VdbGetNodeValues(c, 4991, 1, 1, &f, &v, &n)) << message(-1);
    EXPECT_EQ("far", std::string(v, static_cast<size_t>(n)));
}

// A filter whose module declares that it only reads runs on a read snapshot:
// it reads while another connection holds the write lock, and a write it makes
// anyway after another process committed is refused whole, with the reason.
// Any other export takes the write lock at once and waits for a writer, so two
// updates never make each other fail.
TEST_F(ProcessTest, ExportsThatOnlyReadUseASnapshotAndUpdatesWaitForEachOther) {
    ASSERT_EQ(0, writer({"store", "docs", "1", "1", "3"}, true));
    ASSERT_EQ(1, hits("D_DOCNAME=rec-1"));
    const std::string rid = std::to_string(lastRids().at(0));
    auto exportWith = [&](const char* filter, const std::string& args, std::string& out) {
        Control c;
        EXPECT_EQ(1, VdbSetBase(c, "docs", 2));
        EXPECT_EQ(1, VdbGetRecordInBase(c, atoi(rid.c_str())));
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        strcpy(fd.filter_name, filter);
        std::string a = args;
        fd.filter_arguments = &a[0];
        fd.arg_length = static_cast<int>(a.size());
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        int st = VdbExport(&fd);
        out = st & 1 ? std::string() : fd.errortext;
        if (fd.buffer && (st & 1)) out.assign(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
        free(fd.buffer);
        return st;
    };
    std::string out;
    const std::string other = std::string("ASAN_OPTIONS=detect_leaks=0 ") + VDBS_WRITER + " set docs " + rid +
                              " D_DOCNAME theirs";
    // The other process commits between the reader's read and its two writes.
    EXPECT_EQ(0, exportWith("tf_update_as_reader",
                            "FIELD=D_DOCNAME\nVALUE=mine\nFIELD2=D_URLALIAS\nVALUE2=mine2\nBETWEEN=" + other + "\n",
                            out) & 1);
    EXPECT_NE(std::string::npos, out.find("another process wrote to the data directory")) << out;
    EXPECT_EQ(1, hits("D_DOCNAME=theirs"));
    EXPECT_EQ(0, hits("D_DOCNAME=mine"));
    EXPECT_EQ(0, hits("D_URLALIAS=mine2"));

    // Another connection holds the write lock.
    VdbStopVorn(0);
    setenv("VDBS_BUSY_MS", "20000", 1);
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    unsetenv("VDBS_BUSY_MS");
    ASSERT_EQ(1, ccl("BASE docs"));
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    // Reading goes on meanwhile (with the lock asked for, this call would wait
    // for a lock this thread never gives up and fail after 20 s).
    EXPECT_EQ(1, exportWith("tf_get", "FIELD=D_DOCNAME\n", out)) << out;
    EXPECT_EQ("theirs", out);
    EXPECT_EQ(0, exportWith("tf_update_as_reader", "FIELD=D_DOCNAME\nVALUE=blocked\n", out) & 1);
    EXPECT_NE(std::string::npos, out.find("or is writing to it")) << out;
    // An update waits until the other connection commits, then writes.
    std::thread holder([db] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(1, exportWith("tf_update", "FIELD=D_DOCNAME\nVALUE=mine\nFIELD2=D_URLALIAS\nVALUE2=mine2\n", out))
        << out;
    holder.join();
    sqlite3_close(db);
    EXPECT_EQ(0, hits("D_DOCNAME=blocked"));
    EXPECT_EQ(1, hits("D_DOCNAME=mine"));
    EXPECT_EQ(1, hits("D_URLALIAS=mine2"));
}

// Reads that only read keep what they learnt of a record's rows; a commit of
// another process in between makes them read it afresh.
TEST_F(ProcessTest, RecordsReadAgainAfterAnotherProcessRewroteThem) {
    ASSERT_EQ(0, writer({"store", "docs", "1", "2", "5000"}, true));
    ASSERT_EQ(1, hits("D_DOCNAME=rec-1"));
    const std::string rid = std::to_string(lastRids().at(0));
    auto name = [&](std::string& out) { return exportOf("tf_get", "FIELD=D_DOCNAME\nRID=" + rid + "\n", out); };
    std::string out;
    for (const char* value : {"theirs", "again"}) {
        ASSERT_EQ(1, name(out)) << out;
        ASSERT_EQ(0, writer({"set", "docs", rid, "D_DOCNAME", value}, true));
        EXPECT_EQ(1, name(out)) << out;
        EXPECT_EQ(value, out);
    }
}

// A read that only reads takes a slot page only as far as it needs it, then
// the rest; the values come out whole in any order of parts.
TEST_F(ProcessTest, PartsReadInAnyOrderFromPagesReadInPieces) {
    ASSERT_EQ(0, writer({"store", "docs", "1", "1", "1100"}, true));
    ASSERT_EQ(1, hits("D_DOCNAME=rec-1"));
    // Late in a page, then before, after, past its end; a page from its
    // start on; the last part; the first pages once more.
    const std::vector<int> parts = {500, 300, 511, 260, 512, 513, 768, 769, 1100, 1, 2, 255, 256, 257, 767};
    std::string list, want;
    for (int p : parts) {
        list += std::to_string(p) + ",";
        want += "value 1." + std::to_string(p) + "\n";
    }
    std::string out;
    ASSERT_EQ(1, exportOf("tf_parts", "RID=" + std::to_string(lastRids().at(0)) + "\nPARTS=" + list + "\n", out)) << out;
    EXPECT_EQ(want, out);
}

// Records of a set loaded one after another in a read-only export are read
// ahead in runs; each still reads its own row and pages, large or small, and
// with other records in between that are not in the set.
TEST_F(ProcessTest, RecordsOfASetLoadedInTurnReadTheirOwnRows) {
    ASSERT_EQ(0, writer({"store", "docs", "1", "30", "300"}, true));
    ASSERT_EQ(0, writer({"store", "docs", "31", "20", "3"}, true));
    ASSERT_EQ(1, ccl("FIND N_NAME=x NOT D_DOCNAME=rec-7"));
    int set = 0, records = 0, found = 0;
    VdbGetSearch(&set, &records, &found);
    ASSERT_EQ(49, records);
    std::string want;
    for (int n = 1; n <= 50; ++n)
        if (n != 7) want += "rec-" + std::to_string(n) + "\n";
    for (int round = 0; round < 2; ++round) {
        std::string out;
        ASSERT_EQ(1, exportOf("tf_names", "", out)) << out;
        EXPECT_EQ(want, out);
    }
}

// A substring search inside a read-only export checks its candidates in
// pages read as far as the last of them; slots larger than the estimate
// assumed make it read on.
TEST_F(ProcessTest, SubstringCandidatesAfterLargeSlotsAreCheckedInPagesReadInPieces) {
    Control c;
    ASSERT_EQ(1, VdbSetBase(c, "docs", 2));
    const int fv = field(c, "N_TVALUE"), fn = field(c, "N_NAME"), ft = field(c, "N_TYPE"), fp = field(c, "N_PARENT");
    std::string t;
    for (int p = 1; p <= 300; ++p) {
        std::string v = p <= 30 ? std::string(1500, 'f') : "short " + std::to_string(p);
        if (p == 20 || p == 30 || p == 280) v += " xyzzy";
        t += "\n\n" + std::to_string(p) + "G^\n" + std::to_string(ft) + "F^" + std::to_string(p) + "PELEMENT^\n" +
             std::to_string(fn) + "F^" + std::to_string(p) + "Px^\n" + std::to_string(fp) + "F^" + std::to_string(p) +
             "P" + std::to_string(p > 1 ? 1 : 0) + "^\n" + std::to_string(fv) + "F^\n" + std::to_string(v.size()) +
             "L" + v + "^\n";
    }
    store("docs", t);
    std::string out;
    ASSERT_EQ(1, exportOf("tf_count", "CCL=FIND N_TVALUE=$xyzzy$\n", out)) << out;
    EXPECT_EQ("1 3", out);
}

TEST_F(ProcessTest, WriterKilledInTheMiddleLeavesWholeRecordsOnly) {
    const int parts = 400;
    std::mt19937 rng(12345);
    for (int round = 0; round < 5; ++round) {
        int out = -1;
        int pid = writer({"loop", "docs", std::to_string(parts)}, false, &out);
        ASSERT_GT(pid, 0);
        char buf[16];
        ASSERT_GT(read(out, buf, sizeof buf), 0);  // one record is stored
        close(out);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 150));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
    }
    int n = recordCount("docs");
    ASSERT_GE(n, 5);
    ASSERT_EQ(1, ccl("FIND ALL"));
    std::vector<int> rids = lastRids();
    ASSERT_EQ(static_cast<size_t>(n), rids.size());
    for (int rid : rids) {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
        int count = 0;
        VdbPartCount(c, &count);
        ASSERT_EQ(parts, count) << "record " << rid;
        EXPECT_EQ(std::to_string(parts), get(c, "D_DOCSIZE", 0, 1));
        std::string name = get(c, "D_DOCNAME", 0, 1);
        for (int p : {1, parts / 2, parts}) {
            std::string v = get(c, "N_TVALUE", p, 0);
            EXPECT_EQ(0u, v.find("value " + name.substr(4) + "." + std::to_string(p) + " ")) << rid << "/" << p;
        }
    }
    // The index agrees with the records: nothing of an interrupted store is found.
    EXPECT_EQ(n * parts, hits("N_NAME=x"));
    EXPECT_EQ(n, hits("D_DOCSIZE=" + std::to_string(parts)));
}

}  // namespace
