// Records larger than what the kernel keeps in memory while storing: every
// value must still be indexed with its own part, whether the record is
// stored from a control or streamed in by an import.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fixture.h"

using namespace kt;

namespace {

class LargeRecordTest : public KernelTest {
protected:
    void SetUp() override {
        setenv("VDBS_FILTERS", VDBS_TEST_FILTER, 1);
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, ccl("BASE docs"));
        Control c;
        VdbSetBase(c, "docs", 2);
        for (const char* n : {"N_ID", "N_PARENT", "N_TYPE", "N_TVALUE", "D_DOCNAME"}) f[n] = std::to_string(field(c, n));
    }
    void TearDown() override {
        KernelTest::TearDown();
        unsetenv("VDBS_FILTERS");
    }

    // Part p: N_ID=p, N_PARENT=1 (0 for part 1), N_TYPE=ELEMENT, and a text
    // value "v<p>" on every tenth part. The document name is a value of the
    // main part (item 1, and an item near the end written while part 1 is
    // current) and of part 5: hits of one term from far apart in the record.
    std::string document(int parts) {
        std::string t = f["D_DOCNAME"] + "F^1Pbig.xml^\n";
        for (int p = 1; p <= parts; ++p) {
            std::string ps = std::to_string(p);
            t += "\n\n" + ps + "G^\n";
            t += f["N_ID"] + "F^" + ps + "P" + ps + "^\n";
            t += f["N_PARENT"] + "F^" + ps + "P" + (p == 1 ? "0" : "1") + "^\n";
            t += f["N_TYPE"] + "F^" + ps + "PELEMENT^\n";
            if (p == 1) t += f["D_DOCNAME"] + "F^" + std::to_string(parts - 1) + "Pbig.xml^\n";
            if (p == 5) t += f["D_DOCNAME"] + "F^5Pbig.xml^\n";
            if (p % 10 == 0) {
                std::string v = "v" + ps;
                t += f["N_TVALUE"] + "F^\n" + std::to_string(v.size()) + "L" + v + "^\n";
            }
        }
        return t;
    }

    // Stored from a control, fed in 64 KB pieces.
    int storeInPieces(const std::string& t) {
        Control c;
        VdbSetBase(c, "docs", 2);
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, c, 0, 0, 0);
        int a, b, d;
        for (size_t off = 0; off < t.size(); off += 65536) {
            int n = static_cast<int>(std::min<size_t>(65536, t.size() - off));
            EXPECT_EQ(1, VdbPutRecordBuffer(cur, t.data() + off, n, &a, &b, &d)) << message(-1);
        }
        int rid = 0;
        EXPECT_EQ(1, VdbPutRecord(c, &rid)) << message(-1);
        return rid;
    }

    // Streamed into storage by an import filter; the control that holds the
    // stored record (the caller deletes it), or null when the import failed.
    static VdbHandle importControl(const std::string& t) {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        strcpy(fd.filter_name, "tf_put");
        fd.filter_options = FO_NEWRECORD;
        fd.vdb_options = IEOPT_MEMORY;
        fd.buffer = const_cast<char*>(t.data());
        fd.buffer_length = static_cast<int>(t.size());
        int st = VdbImport(&fd);
        EXPECT_EQ(1, st) << fd.errortext;
        if (st != 1 && fd.record_control) {
            VdbDeleteRecordControl(fd.record_control);
            return nullptr;
        }
        return fd.record_control;
    }
    int importRecord(const std::string& t) {
        VdbHandle c = importControl(t);
        if (!c) return 0;
        int rid = 0;
        char text[32];
        VdbRecordInfo(c, 1, text, &rid);
        VdbDeleteRecordControl(c);
        return rid;
    }

    // "part part ..." of the hits of a FIND in record rid, or the hit count
    // when there are more than five.
    static std::string hits(const std::string& cond) {
        int set = 0;
        if (ccl("FIND " + cond, &set) != 1) return "<failed>";
        int n = set, recs = 0, count = 0;
        if (set == 0 || VdbGetSearch(&n, &recs, &count) != 1) return "";
        if (count > 5) return std::to_string(count) + " hits";
        Control c;
        std::string out;
        for (int pos = 1; pos <= recs; ++pos) {
            int rid = 0;
            char base[64];
            VdbGetRecordInSearchRis(c, n, pos, &rid, base);
            int part, r, position, part2, x, y;
            while (VdbGetNextHitWord(c, &part, &r, &position, &part2, &x, &y) == 1)
                out += (out.empty() ? "" : " ") + std::to_string(part);
        }
        return out;
    }

    void expectIndexed(int rid, int parts) {
        SCOPED_TRACE("record of " + std::to_string(parts) + " parts");
        const std::string last = std::to_string(parts);
        EXPECT_EQ("1", hits("N_ID=1"));
        EXPECT_EQ("2", hits("N_ID=2"));
        EXPECT_EQ("65536", hits("N_ID=65536"));
        EXPECT_EQ("65537", hits("N_ID=65537"));
        EXPECT_EQ(last, hits("N_ID=" + last));
        EXPECT_EQ("1", hits("N_PARENT=0"));
        EXPECT_EQ(std::to_string(parts - 1) + " hits", hits("N_PARENT=1"));
        EXPECT_EQ("65540", hits("N_TVALUE=v65540"));
        EXPECT_EQ("0 5", hits("D_DOCNAME=big.xml"));
        // The structure: every part but the first is a child of part 1.
        int s1 = 0;
        ASSERT_EQ(1, ccl("FIND N_PARENT=0", &s1));
        EXPECT_EQ(std::to_string(parts - 1) + " hits", hits("XPATH(child," + std::to_string(s1) + ",0,2)"));
        // And the values read back through cursors.
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
        int n = 0;
        VdbPartCount(c, &n);
        EXPECT_EQ(parts, n);
        for (int p : {1, 2, 65535, 65536, 65537, parts}) {
            EXPECT_EQ(std::to_string(p), get(c, "N_ID", 0, p));
            EXPECT_EQ(p == 1 ? "0" : "1", get(c, "N_PARENT", 0, p));
        }
        EXPECT_EQ("v65540", get(c, "N_TVALUE", 65540, 0));
    }

    static int itemCount(VdbHandle c, const char* name) {
        VdbHandle cur = nullptr;
        int n = -1;
        if (VdbSetCursor(&cur, c, field(c, name), 0, 0) & 1) VdbItemCount(cur, &n);
        if (cur) VdbDeleteCursor(cur);
        return n;
    }

    std::map<std::string, std::string> f;
};

// A record of more than a few thousand parts reads its slot pages as they
// are needed. Its item counts come from the last part (a node field) or
// from one walk the session keeps; both follow every change of the record,
// also one a failed import takes back.
TEST_F(LargeRecordTest, ItemCountsOfALargeRecordFollowItsChanges) {
    const int parts = 6000;
    int rid = storeInPieces(document(parts));
    ASSERT_GT(rid, 0);
    auto counts = [&](VdbHandle c) {
        return std::to_string(itemCount(c, "N_ID")) + " " + std::to_string(itemCount(c, "D_DOCNAME"));
    };
    auto loaded = [&](Control& c) {
        VdbSetBase(c, "docs", 2);
        EXPECT_EQ(1, VdbGetRecordInBase(c, rid)) << message(-1);
    };
    auto put = [&](VdbHandle c, int item, const char* v) {
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "D_DOCNAME"), 0, item)) << message(-1);
        EXPECT_EQ(1, v ? VdbReplaceItem(cur, v, -1) : VdbDeleteItem(cur)) << message(-1);
        VdbDeleteCursor(cur);
    };
    {
        Control first;
        loaded(first);
        EXPECT_EQ("6000 5999", counts(first));
    }
    {
        Control c;
        loaded(c);
        EXPECT_EQ("6000 5999", counts(c));
        EXPECT_EQ("big.xml", get(c, "D_DOCNAME", 0, 5999));
        EXPECT_EQ("5999", get(c, "N_ID", 0, 5999));
    }
    {
        // Items written past the last part and taken back by a failed import.
        Control c;
        loaded(c);
        std::string late = f["D_DOCNAME"] + "F^7000Plate^\n";
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        strcpy(fd.filter_name, "tf_put");
        fd.record_control = c;
        fd.vdb_options = IEOPT_MEMORY;
        fd.buffer = &late[0];
        fd.buffer_length = static_cast<int>(late.size());
        char failArg[] = "FAIL=1\n";
        fd.filter_arguments = failArg;
        fd.arg_length = static_cast<int>(strlen(failArg));
        EXPECT_EQ(0, VdbImport(&fd) & 1);
        EXPECT_EQ("6000 5999", counts(c));
    }

    struct Step {
        int item;
        const char* value;  // null: the item is deleted
        const char* counts;
    } steps[] = {{5999, nullptr, "6000 5"}, {6500, "after", "6000 6500"}, {3, "low", "6000 6500"},
                 {6500, nullptr, "6000 5"}};
    for (const Step& st : steps) {
        SCOPED_TRACE(std::to_string(st.item) + (st.value ? " set" : " deleted"));
        {
            Control w;
            loaded(w);
            put(w, st.item, st.value);
            EXPECT_EQ(st.counts, counts(w));
        }
        // Loaded afresh once the record is stored with the change.
        EXPECT_EQ(1, ccl("FIND N_ID=1"));
        Control again;
        loaded(again);
        EXPECT_EQ(st.counts, counts(again));
    }
}

TEST_F(LargeRecordTest, RecordOfMoreThan65536PartsIsIndexedPartByPart) {
    const int parts = 70000;
    std::string t = document(parts);
    int rid = storeInPieces(t);
    ASSERT_GT(rid, 0);
    expectIndexed(rid, parts);
    {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
        ASSERT_EQ(1, VdbDeleteRecordInBase(c, nullptr));
    }
    int imported = importRecord(t);
    ASSERT_GT(imported, 0);
    expectIndexed(imported, parts);
    // Enough further records to fold the pending entries into a run.
    for (int i = 0; i < 70; ++i) store("docs", f["N_ID"] + "F^1P1^\n");
    EXPECT_EQ("0 5", hits("D_DOCNAME=big.xml"));
    EXPECT_EQ("65540", hits("N_TVALUE=v65540"));
}

// The control an import filled, read in runs of parts at once (as a
// document is rebuilt right after its import): every value of every part.
TEST_F(LargeRecordTest, AnImportedRecordReadInRunsFromItsOwnControl) {
    const int parts = 20000;
    std::string t = document(parts);
    VdbHandle c = importControl(t);
    ASSERT_NE(nullptr, c);
    const int fields[] = {std::stoi(f["N_ID"]), std::stoi(f["N_PARENT"]), std::stoi(f["N_TVALUE"])};
    const int run = 256;
    std::vector<const char*> values(run * 3);
    std::vector<int> lengths(values.size());
    int wrong = 0;
    for (int first = 1; first <= parts; first += run) {
        int n = std::min(run, parts - first + 1);
        ASSERT_EQ(1, VdbGetNodeValues(c, first, n, 3, fields, values.data(), lengths.data())) << message(-1);
        for (int k = 0; k < n; ++k) {
            int p = first + k;
            auto at = [&](int i) {
                size_t x = static_cast<size_t>(k * 3 + i);
                return values[x] ? std::string(values[x], static_cast<size_t>(lengths[x])) : std::string("<none>");
            };
            std::string tv = p % 10 == 0 ? "v" + std::to_string(p) : "<none>";
            if (at(0) != std::to_string(p) || at(1) != (p == 1 ? "0" : "1") || at(2) != tv) {
                if (++wrong < 5) ADD_FAILURE() << "part " << p << ": " << at(0) << " " << at(1) << " " << at(2);
            }
        }
    }
    EXPECT_EQ(0, wrong);
    VdbDeleteRecordControl(c);
}

// A forward walk gives back the pages behind it: parts of those pages read
// later, by a second walk, an item count or a change, come back right.
TEST_F(LargeRecordTest, PagesAWalkLeftBehindAreReadAgainWhenNeeded) {
    const int parts = 6000;
    int rid = storeInPieces(document(parts));
    ASSERT_GT(rid, 0);
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    const int fields[] = {std::stoi(f["N_ID"]), std::stoi(f["N_TVALUE"])};
    std::map<int, std::string> changed;  // N_ID values written by the test
    // Parts [first, last] read in runs of `run`; the parts read wrong.
    auto wrongIn = [&](int first, int last, int run) {
        std::vector<const char*> values(static_cast<size_t>(run) * 2);
        std::vector<int> lengths(values.size());
        std::string wrong;
        for (int at = first; at <= last; at += run) {
            int n = std::min(run, last - at + 1);
            if (VdbGetNodeValues(c, at, n, 2, fields, values.data(), lengths.data()) != 1) return message(-1);
            for (int k = 0; k < n; ++k) {
                int p = at + k;
                auto v = [&](int i) {
                    size_t x = static_cast<size_t>(k * 2 + i);
                    return values[x] ? std::string(values[x], static_cast<size_t>(lengths[x])) : std::string("-");
                };
                std::string id = changed.count(p) ? changed[p] : std::to_string(p);
                if ((v(0) != id || v(1) != (p % 10 == 0 ? "v" + std::to_string(p) : "-")) && wrong.size() < 200)
                    wrong += " " + std::to_string(p) + "=" + v(0) + "/" + v(1);
            }
        }
        return wrong;
    };
    EXPECT_EQ("", wrongIn(1, parts, 256));
    EXPECT_EQ("", wrongIn(300, 300, 1));
    EXPECT_EQ("", wrongIn(2, 40, 16));
    EXPECT_EQ(parts, itemCount(c, "N_ID"));
    EXPECT_EQ("", wrongIn(1, parts, 100));
    // A change to a part of a page given back, then its neighbours.
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, std::stoi(f["N_ID"]), 0, 700));
    ASSERT_EQ(1, VdbReplaceItem(cur, "seven hundred", -1)) << message(-1);
    VdbDeleteCursor(cur);
    changed[700] = "seven hundred";
    EXPECT_EQ("", wrongIn(690, 710, 4));
    EXPECT_EQ("", wrongIn(1, parts, 256));
    EXPECT_EQ("seven hundred", get(c, "N_ID", 0, 700));
}

// A large record's structure is read from storage in pieces: parents far
// back (entries of several bytes cut at piece ends) and deep nesting must
// come back whole, parents and subtree ends alike.
TEST_F(LargeRecordTest, DeepTreeOfALargeRecordReadsBackWhole) {
    const int parts = 60000;
    std::mt19937 rng(11);
    // Each part is a child of a node on the path to the part before (so the
    // parts are in document order); the path wanders a few hundred deep.
    std::vector<int> parent(parts + 1, 0), path{0};
    for (int p = 1; p <= parts; ++p) {
        size_t drop = std::min<size_t>(rng() % 3, path.size() - 1);
        path.resize(path.size() - drop);
        parent[static_cast<size_t>(p)] = path.back();
        path.push_back(p);
    }
    std::string t = f["D_DOCNAME"] + "F^1Pdeep.xml^\n";
    for (int p = 1; p <= parts; ++p) {
        std::string ps = std::to_string(p);
        t += "\n\n" + ps + "G^\n" + f["N_ID"] + "F^" + ps + "P" + ps + "^\n" + f["N_PARENT"] + "F^" + ps + "P" +
             std::to_string(parent[static_cast<size_t>(p)]) + "^\n" + f["N_TYPE"] + "F^" + ps + "PELEMENT^\n";
    }
    ASSERT_GT(storeInPieces(t), 0);
    auto isAncestor = [&](int a, int d) {
        for (int x = parent[static_cast<size_t>(d)]; x > 0; x = parent[static_cast<size_t>(x)])
            if (x == a) return true;
        return a == 0 && d != 0;
    };
    // What hits() prints for the parts of a predicate.
    auto expect = [&](const std::function<bool(int)>& in) {
        std::vector<int> ps;
        for (int p = 0; p <= parts; ++p)
            if (in(p)) ps.push_back(p);
        if (ps.size() > 5) return std::to_string(ps.size()) + " hits";
        std::string out;
        for (int p : ps) out += (out.empty() ? "" : " ") + std::to_string(p);
        return out;
    };
    for (int k : {1, 2, 17000, 40000, parts - 1, parts}) {
        SCOPED_TRACE("part " + std::to_string(k));
        int s = 0;
        ASSERT_EQ(1, ccl("FIND N_ID=" + std::to_string(k), &s));
        const std::string set = std::to_string(s);
        EXPECT_EQ(expect([&](int p) { return isAncestor(k, p); }), hits("XPATH(descendant," + set + ",0,2)"));
        EXPECT_EQ(expect([&](int p) { return isAncestor(p, k); }), hits("XPATH(ancestor," + set + ",0,2)"));
        EXPECT_EQ(expect([&](int p) { return p > 0 && parent[static_cast<size_t>(p)] == k; }),
                  hits("XPATH(child," + set + ",0,2)"));
    }
}

// The trees of many records are kept in blocks of consecutive rids: a join
// over records of several blocks sees each record's own tree, and a record
// changed in a later block is read again.
TEST_F(LargeRecordTest, TreesOfManyRecordsFollowTheirChanges) {
    const int records = 1100;
    std::vector<int> rids;
    for (int i = 0; i < records; ++i) {
        // Part 2 is a child of part 1 in even records, of the document in odd ones.
        std::string t = "\n\n1G^\n" + f["N_ID"] + "F^1Pr^\n" + f["N_PARENT"] + "F^1P0^\n" + f["N_TYPE"] +
                        "F^1PELEMENT^\n\n\n2G^\n" + f["N_ID"] + "F^2Pc^\n" + f["N_PARENT"] + "F^2P" +
                        (i % 2 ? "0" : "1") + "^\n" + f["N_TYPE"] + "F^2PELEMENT^\n";
        rids.push_back(store("docs", t));
    }
    auto children = [] {
        int r = 0, c = 0;
        if (ccl("FIND N_ID=r", &r) != 1 || ccl("FIND N_ID=c", &c) != 1) return std::string("<failed>");
        return hits("XPATH(child," + std::to_string(r) + "," + std::to_string(c) + ",2)");
    };
    EXPECT_EQ(std::to_string(records / 2) + " hits", children());
    // Record 1051 (odd: part 2 on the document) gets part 2 under part 1.
    {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rids[1050 + 1]));
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, std::stoi(f["N_PARENT"]), 0, 2));
        ASSERT_EQ(1, VdbReplaceItem(cur, "1", -1));
        VdbDeleteCursor(cur);
        int rid = rids[1050 + 1];
        ASSERT_EQ(1, VdbPutRecord(c, &rid));
    }
    EXPECT_EQ(std::to_string(records / 2 + 1) + " hits", children());
    int s = 0;
    ASSERT_EQ(1, ccl("FIND N_PARENT=0", &s));
    // Part 2 of the changed record is no longer a child of the document.
    EXPECT_EQ(std::to_string(records + records / 2 - 1) + " hits", hits("XPATH(child,0," + std::to_string(s) + ",2)"));
}

}  // namespace
