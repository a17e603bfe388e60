// The inverted index as searches see it: terms of folded runs (many terms
// to a posting row) and of pending records answer exact, prefix and
// substring conditions alike, and runs written in the earlier row form (one
// term per row) still answer after an upgrade.
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fixture.h"

using namespace kt;

namespace {

class IndexTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, ccl("BASE docs"));
        Control c;
        VdbSetBase(c, "docs", 2);
        nid = std::to_string(field(c, "N_ID"));
        name = field(c, "N_NAME");
    }

    // Record r: part p has N_ID=p and N_NAME="n<r>-<p>".
    int storeNamed(int r, int parts) {
        std::string t;
        for (int p = 1; p <= parts; ++p) {
            std::string ps = std::to_string(p);
            t += "\n\n" + ps + "G^\n" + nid + "F^" + ps + "P" + ps + "^\n" + std::to_string(name) + "F^" + ps + "Pn" +
                 std::to_string(r) + "-" + ps + "^\n";
        }
        return store("docs", t);
    }

    // "rid:part ..." of the hits of a FIND, or "<n> hits in <r> records"
    // beyond five hits.
    static std::string hits(const std::string& cond) {
        int set = 0;
        if (ccl("FIND " + cond, &set) != 1) return "<failed: " + message(-1) + ">";
        int n = set, recs = 0, count = 0;
        if (set == 0 || VdbGetSearch(&n, &recs, &count) != 1) return "";
        if (count > 5) return std::to_string(count) + " hits in " + std::to_string(recs) + " records";
        Control c;
        std::string out;
        for (int pos = 1; pos <= recs; ++pos) {
            int rid = 0;
            char base[64];
            VdbGetRecordInSearchRis(c, n, pos, &rid, base);
            int part, r, position, part2, x, y;
            while (VdbGetNextHitWord(c, &part, &r, &position, &part2, &x, &y) == 1)
                out += (out.empty() ? "" : " ") + std::to_string(rid) + ":" + std::to_string(part);
        }
        return out;
    }

    std::string nid;
    int name = 0;
};

TEST_F(IndexTest, TermsOfFoldedAndPendingRecordsAnswerEveryCondition) {
    const int records = 70, parts = 150;  // 64 records fold into a run, the rest stay pending
    for (int r = 1; r <= records; ++r) ASSERT_EQ(r, storeNamed(r, parts));
    // Every term, wherever it sits in its posting row, with its own part.
    for (int r = 1; r <= records; ++r)
        for (int p = 1; p <= parts; p += (r == 1 || r == 64 || r == 65 || r == records) ? 1 : 37) {
            std::string v = "n" + std::to_string(r) + "-" + std::to_string(p);
            ASSERT_EQ(std::to_string(r) + ":" + std::to_string(p), hits("N_NAME=" + v)) << v;
        }
    struct {
        const char* cond;
        const char* want;
    } cases[] = {
        {"N_NAME=n3-150", "3:150"},
        {"N_NAME=n3-151", ""},
        {"N_NAME=n3-1", "3:1"},
        {"N_NAME=n0-1", ""},
        {"N_NAME=n99-1", ""},
        {"N_NAME=n3-14$", "11 hits in 1 records"},   // 14, 140..149
        {"N_NAME=n7$", "300 hits in 2 records"},     // records 7 and 70
        {"N_NAME=n7-$", "150 hits in 1 records"},
        {"N_NAME=$70-14$", "11 hits in 1 records"},  // pending record 70
        {"N_NAME=$-150", "70 hits in 70 records"},
        {"N_NAME=n66-2 OR N_NAME=n2-66", "2:66 66:2"},
        {"N_NAME=$ AND.T N_ID=150", "70 hits in 70 records"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, hits(c.cond)) << c.cond;
    // A folded record stored again: its old terms are gone, the new ones found.
    {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, 5));
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, name, 0, 2));
        ASSERT_EQ(1, VdbReplaceItem(cur, "renamed", 7));
        VdbDeleteCursor(cur);
        ASSERT_EQ(1, VdbPutRecord(c, nullptr)) << message(-1);
    }
    // Intersections of terms, each side read from the run (where record 5's
    // old entries are masked) and from the pending records, in both orders,
    // then again with one side's list cached; the result is sorted though
    // record 5 now comes after the run.
    struct {
        const char* cond;
        const char* want;
    } ands[] = {
        {"N_NAME=renamed AND.T N_NAME=n5-2", ""},
        {"N_NAME=n5-2 AND.T N_NAME=renamed", ""},
        {"N_ID=2 AND.T (N_NAME=n4-2 OR N_NAME=renamed OR N_NAME=n66-2)", "4:2 5:2 66:2"},
        {"N_ID=2 AND.T N_NAME=renamed", "5:2"},
        {"N_NAME=renamed AND.T N_ID=2", "5:2"},
        {"N_ID=2 AND.T N_NAME=n5-2", ""},
        {"N_ID=3 AND.T N_NAME=n64-3", "64:3"},
        {"N_NAME=n65-150 AND.T N_ID=150", "65:150"},
        {"N_NAME=n10-3 AND.T N_ID=4", ""},
        {"N_NAME=$ AND.T N_ID=2", "70 hits in 70 records"},
        {"N_ID=2 AND.T N_NAME=$ AND.T N_ID=2", "70 hits in 70 records"},
        {"N_ID=99 AND.T N_NAME=n70-99", "70:99"},
        {"N_ID=151 AND.T N_NAME=$", ""},
    };
    for (int round = 0; round < 2; ++round)
        for (const auto& c : ands) EXPECT_EQ(c.want, hits(c.cond)) << c.cond << " round " << round;
    EXPECT_EQ("", hits("N_NAME=n5-2"));
    EXPECT_EQ("5:2", hits("N_NAME=renamed"));
    EXPECT_EQ("5:3", hits("N_NAME=n5-3"));
}

TEST_F(IndexTest, RunOfTheEarlierRowFormStillAnswers) {
    for (int r = 1; r <= 3; ++r) storeNamed(r, 2);
    VdbStopVorn(0);
    // A run as the earlier format wrote it: one row per term, first = the
    // first record's id, data = the hits only (record delta, count, part deltas).
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vdbs.db").c_str(), &db));
    std::string key = std::to_string(name * 8);
    char keyHex[8];
    snprintf(keyHex, sizeof keyHex, "%02x", name * 8);  // a one-byte varint
    ASSERT_LT(name * 8, 128);
    std::string sql =
        "BEGIN; INSERT INTO runs SELECT id, 900, 1 FROM bases WHERE name='docs';"
        "INSERT INTO postings SELECT id, 900, " + key + ", CAST('old-a' AS BLOB), 2, x'020102' FROM bases WHERE name='docs';"
        "INSERT INTO postings SELECT id, 900, " + key + ", CAST('old-b' AS BLOB), 1, x'01010102020101' FROM bases WHERE name='docs';"
        // And a pending row of record 2 in the earlier form: key, whole term, part count, part deltas.
        "INSERT INTO pending SELECT id, 2, 7, x'" + keyHex + "056f6c642d7001" + "02' FROM bases WHERE name='docs';"
        "COMMIT;";
    char* err = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err)) << (err ? err : "");
    sqlite3_close(db);
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    ASSERT_EQ(1, ccl("BASE docs"));
    EXPECT_EQ("2:2", hits("N_NAME=old-a"));
    EXPECT_EQ("1:1 3:1 3:2", hits("N_NAME=old-b"));
    EXPECT_EQ("1:1 2:2 3:1 3:2", hits("N_NAME=old$"));
    EXPECT_EQ("2:1", hits("N_NAME=n2-1"));
    EXPECT_EQ("2:2", hits("N_NAME=old-p"));
    // Merged with runs of the present form, its terms keep answering.
    for (int r = 4; r <= 8 * 64 + 3; ++r) storeNamed(r, 1);
    EXPECT_EQ("2:2", hits("N_NAME=old-a"));
    EXPECT_EQ("1:1 3:1 3:2", hits("N_NAME=old-b"));
    EXPECT_EQ("500:1", hits("N_NAME=n500-1"));
    EXPECT_EQ("2:2", hits("N_NAME=old-p"));
}

}  // namespace

// Intersections that read a long term's postings skip the parts of a record
// after the last one wanted, and whole records none of whose parts is
// wanted, without decoding them: part numbers 100 and 150 apart take one
// and two bytes, so the skip crosses numbers of mixed sizes a word at a time.
TEST_F(IndexTest, IntersectionsSkipUnwantedPartsOfLongTermsExactly) {
    const int records = 66, parts = 1450;  // 64 fold into a run, two stay pending
    for (int r = 1; r <= records; ++r) {
        // Odd records mark parts 1, 101, 251, 351, ... 1351; even ones 2, 102, ... 1352.
        std::vector<bool> marked(parts + 1);
        for (int p = 2 - r % 2, k = 0; p <= parts; p += (k++ % 2) ? 150 : 100) marked[static_cast<size_t>(p)] = true;
        std::string t;
        for (int p = 1; p <= parts; ++p) {
            std::string ps = std::to_string(p);
            t += "\n\n" + ps + "G^\n" + nid + "F^" + ps + "P" + ps + "^\n";
            if (marked[static_cast<size_t>(p)]) t += std::to_string(name) + "F^" + ps + "Px^\n";
        }
        ASSERT_EQ(r, store("docs", t));
    }
    struct {
        const char* cond;
        const char* want;
    } cases[] = {
        {"N_NAME=x AND.T N_ID=1", "33 hits in 33 records"},     // first mark of odd records
        {"N_NAME=x AND.T N_ID=101", "33 hits in 33 records"},   // second
        {"N_ID=252 AND.T N_NAME=x", "33 hits in 33 records"},   // third mark of even records
        {"N_NAME=x AND.T N_ID=1351", "33 hits in 33 records"},  // last mark of odd records
        {"N_NAME=x AND.T N_ID=1352", "33 hits in 33 records"},
        {"N_NAME=x AND.T N_ID=251", "33 hits in 33 records"},
        {"N_NAME=x AND.T N_ID=103", ""},
        {"N_NAME=x AND.T (N_ID=101 OR N_ID=1352)", "66 hits in 66 records"},
        {"N_NAME=x AND.T (N_ID=3 OR N_ID=602 OR N_ID=1449)", "33 hits in 33 records"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, hits(c.cond)) << c.cond;
}

// A substring's candidates are checked against the stored values page by
// page: pages without a candidate are not read, and every candidate of the
// others is found (a record of five pages, candidates in the first and the
// last two).
TEST_F(IndexTest, SubstringCandidatesAreCheckedInTheirPagesOnly) {
    Control c;
    VdbSetBase(c, "docs", 2);
    const std::string text = std::to_string(field(c, "N_TVALUE"));
    std::string t;
    for (int p = 1; p <= 1100; ++p) {
        std::string ps = std::to_string(p);
        t += "\n\n" + ps + "G^\n" + nid + "F^" + ps + "P" + ps + "^\n" + text + "F^" + ps + "Pt1-" + ps + "^\n";
    }
    ASSERT_EQ(1, store("docs", t));
    EXPECT_EQ("111 hits in 1 records", hits("N_TVALUE=$1-10$"));  // t1-10, t1-100..109, t1-1000..1099
    EXPECT_EQ("1:1100", hits("N_TVALUE=$1-1100$"));
    EXPECT_EQ("", hits("N_TVALUE=$1-1101$"));
}
