// Records through cursors: item addressing, line writes, write-through of
// loaded records, blobs, record names, deletion.
#include <algorithm>
#include <iterator>
#include <string>

#include "fixture.h"

using namespace kt;

namespace {

class RecordTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, VdbCreateBase("links", "link"));
        ASSERT_EQ(1, ccl("BASE docs"));
    }
    // A record with node parts 1..n: N_TYPE, N_NAME item p, N_TVALUE in part p.
    int storeNodes(int n, const std::string& name = "a", const std::string& docid = "") {
        Control c;
        VdbSetBase(c, "docs", 2);
        std::string t;
        if (!docid.empty()) t += std::to_string(field(c, "D_ID")) + "F^1P" + docid + "^\n";
        for (int p = 1; p <= n; ++p) {
            t += "\n\n" + std::to_string(p) + "G^\n";
            t += std::to_string(field(c, "N_ID")) + "F^" + std::to_string(p) + "P" + std::to_string(p) + "^\n";
            t += std::to_string(field(c, "N_TYPE")) + "F^" + std::to_string(p) + "PTEXT^\n";
            t += std::to_string(field(c, "N_NAME")) + "F^" + std::to_string(p) + "P" + name + "^\n";
            std::string v = "value " + std::to_string(p);
            t += std::to_string(field(c, "N_TVALUE")) + "F^\n" + std::to_string(v.size()) + "L" + v + "^\n";
        }
        return store("docs", t);
    }
};

TEST_F(RecordTest, CursorFormsReachNodeFieldsAndPartFields) {
    int rid = storeNodes(3);
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    int tv = field(c, "N_TVALUE"), ty = field(c, "N_TYPE");
    char buf[256];
    int len = 0;
    VdbHandle cur = nullptr;
    // (field, part, 0) for a text field
    ASSERT_EQ(1, VdbSetCursor(&cur, c, tv, 2, 0));
    ASSERT_EQ(1, VdbGetLine(cur, buf, &len, sizeof buf));
    EXPECT_EQ("value 2", std::string(buf, static_cast<size_t>(len)));
    // (field, 0, 0) after VdbSetRecordPart
    ASSERT_EQ(1, VdbSetRecordPart(&cur, c, 3));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, tv, 0, 0));
    ASSERT_EQ(1, VdbGetLine(cur, buf, &len, sizeof buf));
    EXPECT_EQ("value 3", std::string(buf, static_cast<size_t>(len)));
    EXPECT_EQ(0, VdbGetLine(cur, buf, &len, sizeof buf));  // end of the part's items
    // (field, 0, item) for a record field, and reading on from there
    ASSERT_EQ(1, VdbSetCursor(&cur, c, ty, 0, 2));
    EXPECT_EQ(1, VdbGetLine(cur, buf, &len, sizeof buf));
    EXPECT_EQ(1, VdbGetLine(cur, buf, &len, sizeof buf));
    EXPECT_EQ(0, VdbGetLine(cur, buf, &len, sizeof buf));
    // a missing item is an error, an empty field read from its start is the end
    ASSERT_EQ(1, VdbSetCursor(&cur, c, ty, 0, 7));
    EXPECT_EQ(VDB_NOITEM, VdbGetLine(cur, buf, &len, sizeof buf));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "D_DOCNAME"), 0, 0));
    EXPECT_EQ(0, VdbGetLine(cur, buf, &len, sizeof buf));
    // the line is cut to the capacity
    ASSERT_EQ(1, VdbSetCursor(&cur, c, tv, 1, 0));
    ASSERT_EQ(1, VdbGetLine(cur, buf, &len, 3));
    EXPECT_EQ(3, len);
    int n = 0;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_ID"), 0, 0));
    ASSERT_EQ(1, VdbItemCount(cur, &n));
    EXPECT_EQ(3, n);
    ASSERT_EQ(1, VdbPartCount(cur, &n));
    EXPECT_EQ(3, n);
    EXPECT_EQ(VDB_BADFIELD, VdbSetCursor(&cur, c, 999, 0, 0));
}

TEST_F(RecordTest, PutLineReplacesFirstThenAppendsAndDeleteKeepsNumbers) {
    Control c;
    VdbSetBase(c, "docs", 2);
    int pn = field(c, "D_PROPNAME");
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, pn, 0, 0));
    ASSERT_EQ(1, VdbPutLine(cur, "one", -1));
    ASSERT_EQ(1, VdbPutLine(cur, "two", -1));
    ASSERT_EQ(1, VdbPutLine(cur, "three", 5));
    // a fresh cursor replaces the first item
    ASSERT_EQ(1, VdbSetCursor(&cur, c, pn, 0, 0));
    ASSERT_EQ(1, VdbPutLine(cur, "ONE", -1));
    EXPECT_EQ("ONE", get(c, "D_PROPNAME", 0, 1));
    EXPECT_EQ("three", get(c, "D_PROPNAME", 0, 3));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, pn, 0, 2));
    ASSERT_EQ(1, VdbDeleteItem(cur));
    ASSERT_EQ(1, VdbDeleteItem(cur));  // gone already: still fine
    int st = 0;
    get(c, "D_PROPNAME", 0, 2, &st);
    EXPECT_EQ(VDB_NOITEM, st);
    EXPECT_EQ("three", get(c, "D_PROPNAME", 0, 3));
    int n = 0;
    VdbItemCount(cur, &n);
    EXPECT_EQ(3, n);
    ASSERT_EQ(1, VdbSetCursor(&cur, c, pn, 0, 9));
    ASSERT_EQ(1, VdbReplaceItem(cur, "nine", -1));
    EXPECT_EQ("nine", get(c, "D_PROPNAME", 0, 9));
    // the record is new: nothing reached the base
    EXPECT_EQ(0, recordCount("docs"));
}

TEST_F(RecordTest, ChangesToALoadedRecordAreWrittenThroughAndIndexed) {
    int rid = storeNodes(4, "a");
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetRecordPart(&cur, c, 2));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_TVALUE"), 2, 0));
    ASSERT_EQ(1, VdbReplaceItem(cur, "changed", -1));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_NAME"), 0, 3));
    ASSERT_EQ(1, VdbReplaceItem(cur, "b", -1));
    // no store call: another control and the index see it at once
    Control d;
    VdbSetBase(d, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(d, rid));
    EXPECT_EQ("changed", get(d, "N_TVALUE", 2, 0));
    int set = 0, recs = 0, hits = 0;
    ASSERT_EQ(1, ccl("FIND N_TVALUE=changed", &set));
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(1, hits);
    ASSERT_EQ(1, ccl("FIND N_NAME=b"));
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(1, hits);
    ASSERT_EQ(1, ccl("FIND N_NAME=a"));
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(3, hits);
    ASSERT_EQ(1, ccl("FIND N_TVALUE=\"value 2\""));
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(0, set);
}

TEST_F(RecordTest, BlobsAcrossBlockBoundaries) {
    std::string data;
    for (int i = 0; i < 200000; ++i) data.push_back(static_cast<char>((i * 7) % 256));
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbHandle cur = nullptr;
    int blob = field(c, "D_XMLDOC");
    ASSERT_EQ(1, VdbSetCursor(&cur, c, blob, 0, 0));
    for (size_t off = 0; off < data.size(); off += 1023)
        ASSERT_EQ(1, VdbPutBlobBlock(cur, static_cast<int>(std::min<size_t>(1023, data.size() - off)),
                                     data.data() + off));
    int rid = 0;
    ASSERT_EQ(1, VdbPutRecord(c, &rid));

    Control r;
    VdbSetBase(r, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(r, rid));
    VdbHandle rc = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&rc, r, blob, 0, 0));
    int size = 0;
    ASSERT_EQ(1, VdbGetBlobSize(rc, &size));
    EXPECT_EQ(200000, size);
    for (int bs : {8192, 65536, 100000, 300000}) {
        std::string back;
        std::string area(static_cast<size_t>(bs), '\0');
        int len = 0;
        for (int block = 1; VdbGetBlobBlock(rc, block, bs, &area[0], &len) == 1; ++block)
            back.append(area, 0, static_cast<size_t>(len));
        EXPECT_EQ(data, back) << "block size " << bs;
    }
    // a fresh cursor replaces the blob (its start read just before); deleting the item empties it
    char fresh[16];
    int freshLen = 0;
    ASSERT_EQ(1, VdbGetBlobBlock(rc, 1, 16, fresh, &freshLen));
    EXPECT_EQ(data.substr(0, 16), std::string(fresh, static_cast<size_t>(freshLen)));
    ASSERT_EQ(1, VdbSetCursor(&rc, r, blob, 0, 0));
    ASSERT_EQ(1, VdbPutBlobBlock(rc, 3, "new"));
    ASSERT_EQ(1, VdbGetBlobSize(rc, &size));
    EXPECT_EQ(3, size);
    // read back as written, not as the blob read before was
    ASSERT_EQ(1, VdbGetBlobBlock(rc, 1, 16, fresh, &freshLen));
    EXPECT_EQ("new", std::string(fresh, static_cast<size_t>(freshLen)));
    ASSERT_EQ(1, VdbDeleteItem(rc));
    ASSERT_EQ(1, VdbGetBlobSize(rc, &size));
    EXPECT_EQ(0, size);
    char area[16];
    int len = 0;
    EXPECT_EQ(0, VdbGetBlobBlock(rc, 1, 16, area, &len));
}

TEST_F(RecordTest, RecordNamesAreUniqueAndFoundByName) {
    int rid = storeNodes(1, "a", "doc-1");
    Control c;
    VdbSetBase(c, "docs", 2);
    int found = -1;
    EXPECT_EQ(VDB_NAMEEXISTS, VdbCheckRecordName(c, &found, "doc-1"));
    EXPECT_EQ(rid, found);
    // the empty control now holds that record
    EXPECT_EQ("doc-1", get(c, "D_ID", 0, 1));
    EXPECT_EQ(1, VdbCheckRecordName(c, &found, "doc-2"));
    EXPECT_EQ(0, found);
    // a second record with the same name is refused and not stored
    Control d;
    VdbSetBase(d, "docs", 2);
    VdbHandle cur = nullptr;
    VdbSetCursor(&cur, d, field(d, "D_ID"), 0, 1);
    VdbPutLine(cur, "doc-1", -1);
    int r2 = 0;
    EXPECT_EQ(VDB_NAMETAKEN, VdbPutRecord(d, &r2));
    EXPECT_NE(std::string::npos, message(VDB_NAMETAKEN).find("doc-1"));
    EXPECT_EQ(1, recordCount("docs"));
}

TEST_F(RecordTest, LinkRecordUpdatedThroughItsName) {
    // The link store: write ID etc. into a fresh control, store; later find it by name and update.
    for (int round = 0; round < 2; ++round) {
        Control c;
        ASSERT_EQ(1, VdbSetBase(c, "links", 2));
        int rid = 0;
        int st = VdbCheckRecordName(c, &rid, "doc-1");
        VdbHandle cur = nullptr;
        auto put = [&](const char* f, const char* v) {
            VdbSetCursor(&cur, c, field(c, f), 0, 0);
            VdbPutLine(cur, v, -1);
        };
        if (st == VDB_NAMEEXISTS) {
            put("CHECKTHIS", "1");
            put("URL", "/new/url.xml");
        } else {
            put("ID", "doc-1");
            put("CHECKTHIS", "1");
            put("DB", "docs");
            put("URL", "/old/url.xml");
        }
        ASSERT_EQ(1, VdbPutRecord(c, &rid)) << message(-1);
    }
    EXPECT_EQ(1, recordCount("links"));
    ASSERT_EQ(1, ccl("BASE links"));
    ASSERT_EQ(1, ccl("FIND ID='doc-1'"));
    std::vector<int> rids = lastRids();
    ASSERT_EQ(1u, rids.size());
    Control r;
    VdbSetBase(r, "links", 2);
    VdbGetRecordInBase(r, rids[0]);
    EXPECT_EQ("/new/url.xml", get(r, "URL", 0, 1));
    // target parts: part n+1 of a part field
    VdbHandle cur = nullptr;
    int parts = -1;
    VdbSetCursor(&cur, r, 0, 0, 0);
    VdbPartCount(cur, &parts);
    EXPECT_EQ(0, parts);
    ASSERT_EQ(1, VdbSetRecordPart(&cur, r, 1));
    ASSERT_EQ(1, VdbSetCursor(&cur, r, field(r, "TO_NAME"), 0, 0));
    ASSERT_EQ(1, VdbPutLine(cur, "doc-2", -1));
    ASSERT_EQ(1, VdbPutRecord(r, nullptr));
    VdbPartCount(cur, &parts);
    EXPECT_EQ(1, parts);
    EXPECT_EQ("doc-2", get(r, "TO_NAME", 1, 0));
}

// Entries of stored records are folded in batches into posting runs behind
// the session's back; a record loaded before such a fold and then changed
// twice (or deleted) must still lose every old entry.
TEST_F(RecordTest, UpdatesAndDeletionAcrossIndexFoldsLeaveNoStaleEntries) {
    constexpr int kLinks = 300;  // enough stores for several folds in between
    auto put = [](VdbHandle c, const char* f, const char* v, int part) {
        VdbHandle cur = nullptr;
        if (part) {
            ASSERT_EQ(1, VdbSetRecordPart(&cur, c, part));
        }
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, f), 0, 0));
        ASSERT_EQ(1, VdbPutLine(cur, v, -1)) << message(-1);
        VdbDeleteCursor(cur);
    };
    for (int i = 1; i <= kLinks; ++i) {
        Control c;
        ASSERT_EQ(1, VdbSetBase(c, "links", 2));
        std::string id = "id" + std::to_string(i);
        put(c, "ID", id.c_str(), 0);
        put(c, "CHECKTHIS", "1", 0);
        put(c, "DB", "X", 0);
        put(c, "URL", "u", 0);
        ASSERT_EQ(1, VdbPutRecord(c, nullptr)) << message(-1);
    }
    ASSERT_EQ(1, ccl("BASE links"));
    // The link tool's order: a new target part first, then the flag.
    for (int i = kLinks; i >= 1; --i) {
        Control c;
        ASSERT_EQ(1, VdbSetBase(c, "links", 2));
        int rid = 0;
        std::string id = "id" + std::to_string(i);
        ASSERT_EQ(VDB_NAMEEXISTS, VdbCheckRecordName(c, &rid, id.c_str()));
        put(c, "TO_NAME", "t", 1);
        put(c, "CHECKTHIS", "0", 0);
        ASSERT_EQ(1, VdbPutRecord(c, &rid)) << message(-1);
    }
    ASSERT_EQ(1, ccl("FIND CHECKTHIS=0"));
    EXPECT_EQ(static_cast<size_t>(kLinks), lastRids().size());
    ASSERT_EQ(1, ccl("FIND CHECKTHIS=1"));
    EXPECT_EQ(std::vector<int>(), lastRids());

    // A record changed, folded, changed again and then deleted through the
    // same control: no search finds it afterwards.
    ASSERT_EQ(1, ccl("BASE docs"));
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, storeNodes(1, "first")));
    for (const char* name : {"second", "third"}) {
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_NAME"), 0, 1));
        ASSERT_EQ(1, VdbReplaceItem(cur, name, -1));
        VdbDeleteCursor(cur);
        for (int i = 0; i < 100; ++i) storeNodes(1, "other");
    }
    for (const char* name : {"first", "second"}) {
        ASSERT_EQ(1, ccl(std::string("FIND N_NAME=") + name));
        int set = 0, recs = 0, hits = 0;
        VdbGetSearch(&set, &recs, &hits);
        EXPECT_EQ(0, recs) << name;
    }
    int rid = 0;
    ASSERT_EQ(1, VdbDeleteRecordInBase(c, &rid));
    for (int i = 0; i < 100; ++i) storeNodes(1, "other");
    for (const char* name : {"first", "third"}) {
        ASSERT_EQ(1, ccl(std::string("FIND N_NAME=") + name));
        int set = 0, recs = 0, hits = 0;
        VdbGetSearch(&set, &recs, &hits);
        EXPECT_EQ(0, recs) << name;
    }
}

TEST_F(RecordTest, DeletedRecordIsGoneAndItsIdIsNotReused) {
    int a = storeNodes(2, "gone");
    int b = storeNodes(2, "kept");
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, a));
    int rid = 0;
    ASSERT_EQ(1, VdbDeleteRecordInBase(c, &rid));
    EXPECT_EQ(a, rid);
    EXPECT_EQ(VDB_NORECORD, VdbGetRecordInBase(c, a));
    ASSERT_EQ(1, ccl("FIND N_NAME=gone"));
    int set = 0, recs = 0, hits = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(0, recs);
    int d = storeNodes(1, "new");
    EXPECT_GT(d, b);
}

TEST_F(RecordTest, FieldsBasesAndRecordFacts) {
    Control c;
    VdbSetBase(c, "docs", 2);
    int num = 0, type = 0, flags = 0, num2 = 0;
    ASSERT_EQ(1, VdbCheckField(c, "n_nspace", &num, &type, &flags));
    ASSERT_EQ(1, VdbCheckField(c, "N_NAMESPACE", &num2, &type, &flags));
    EXPECT_EQ(num, num2);
    EXPECT_TRUE(flags & VDB_FF_ALIAS);
    ASSERT_EQ(1, VdbCheckField(c, "N_TVALUE", &num, &type, &flags));
    EXPECT_EQ(1, type);
    EXPECT_TRUE(flags & VDB_FF_PART);
    EXPECT_EQ(VDB_BADFIELD, VdbCheckField(c, "NO_SUCH", &num, &type, &flags));
    EXPECT_NE(std::string::npos, message(VDB_BADFIELD).find("NO_SUCH"));

    char text[256];
    int value = 0;
    ASSERT_EQ(1, VdbBaseInfo("DOCS", 1, text, &value));
    EXPECT_EQ(1, value);
    ASSERT_EQ(1, VdbBaseInfo("links", 1, text, &value));
    EXPECT_EQ(0, value);
    ASSERT_EQ(1, VdbBaseInfo("docs", 7, text, &value));
    EXPECT_EQ(16, value);
    EXPECT_EQ(VDB_NOBASE, VdbBaseInfo("nothere", 1, text, &value));

    value = 64;
    ASSERT_EQ(1, VdbRecordInfo(c, 2, text, &value));
    EXPECT_EQ("docs", std::string(text));
    ASSERT_EQ(1, VdbRecordInfo(c, 1, text, &value));
    EXPECT_EQ(0, value);
    int rid = storeNodes(1);
    VdbGetRecordInBase(c, rid);
    ASSERT_EQ(1, VdbRecordInfo(c, 1, text, &value));
    EXPECT_EQ(rid, value);
}

TEST_F(RecordTest, ClearedAndShorterRecordLosesItsTrailingParts) {
    int rid = storeNodes(5);
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    // clear every node field of every part, as a re-store does, then write two parts
    VdbHandle cur = nullptr;
    for (const char* f : {"N_ID", "N_TYPE", "N_NAME"})
        for (int k = 0; k <= 5; ++k) {
            ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, f), 0, k));
            ASSERT_EQ(1, VdbDeleteItem(cur));
        }
    for (int p = 1; p <= 5; ++p) {
        VdbSetRecordPart(&cur, c, p);
        VdbSetCursor(&cur, c, field(c, "N_TVALUE"), p, 0);
        ASSERT_EQ(1, VdbDeleteItem(cur));
    }
    VdbSetCursor(&cur, c, 0, 0, 0);
    std::string t = "\n\n1G^\n" + std::to_string(field(c, "N_ID")) + "F^1P1^\n\n\n2G^\n" +
                    std::to_string(field(c, "N_ID")) + "F^2P2^\n";
    int a, b, d;
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d));
    ASSERT_EQ(1, VdbPutRecord(c, nullptr));
    Control r;
    VdbSetBase(r, "docs", 2);
    VdbGetRecordInBase(r, rid);
    int parts = 0;
    VdbPartCount(r, &parts);
    EXPECT_EQ(2, parts);
}

// Slots are stored a few hundred to a row: writes at the edges of a row, a
// record growing past one, and a deletion next to other records keep every value.
TEST_F(RecordTest, SlotUpdatesAtPageEdgesAndRecordsGrowingPastAPage) {
    int rid = storeNodes(300);
    int other = storeNodes(250, "b");
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    VdbHandle cur = nullptr;
    const int changed[] = {1, 255, 256, 257, 300};
    for (int p : changed) {
        ASSERT_EQ(1, VdbSetRecordPart(&cur, c, p));
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_TVALUE"), p, 0));
        ASSERT_EQ(1, VdbReplaceItem(cur, ("changed " + std::to_string(p)).c_str(), -1));
    }
    for (int item : {255, 256}) {
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_NAME"), 0, item));
        ASSERT_EQ(1, VdbDeleteItem(cur));
    }
    // The other record grows past its first page through a second store.
    Control g;
    VdbSetBase(g, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(g, other));
    std::string t;
    for (int p = 251; p <= 270; ++p) {
        std::string v = "grown " + std::to_string(p);
        t += "\n\n" + std::to_string(p) + "G^\n" + std::to_string(field(g, "N_ID")) + "F^" + std::to_string(p) + "P" +
             std::to_string(p) + "^\n" + std::to_string(field(g, "N_TVALUE")) + "F^\n" + std::to_string(v.size()) +
             "L" + v + "^\n";
    }
    VdbSetCursor(&cur, g, 0, 0, 0);
    int a, b, d;
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d)) << message(-1);
    ASSERT_EQ(1, VdbPutRecord(g, nullptr)) << message(-1);

    Control r;
    VdbSetBase(r, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(r, rid));
    for (int p = 1; p <= 300; ++p) {
        bool isChanged = std::find(std::begin(changed), std::end(changed), p) != std::end(changed);
        EXPECT_EQ((isChanged ? "changed " : "value ") + std::to_string(p), get(r, "N_TVALUE", p, 0)) << p;
        int st = 0;
        std::string name = get(r, "N_NAME", 0, p, &st);
        EXPECT_EQ(p == 255 || p == 256 ? "" : "a", name) << p;
    }
    ASSERT_EQ(1, VdbGetRecordInBase(r, other));
    int parts = 0;
    VdbPartCount(r, &parts);
    EXPECT_EQ(270, parts);
    struct {
        int part;
        const char* value;
    } grown[] = {{250, "value 250"}, {251, "grown 251"}, {256, "grown 256"}, {270, "grown 270"}};
    for (const auto& e : grown) EXPECT_EQ(e.value, get(r, "N_TVALUE", e.part, 0)) << e.part;
    int set = 0, recs = 0, hits = 0;
    ASSERT_EQ(1, ccl("FIND N_TVALUE=\"grown 258\""));
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(1, hits);

    // Deleting the first record leaves the second whole, and its slots are gone.
    int gone = 0;
    ASSERT_EQ(1, VdbDeleteRecordInBase(c, &gone));
    EXPECT_EQ(rid, gone);
    EXPECT_EQ(VDB_NORECORD, VdbGetRecordInBase(r, rid));
    ASSERT_EQ(1, VdbGetRecordInBase(r, other));
    EXPECT_EQ("grown 257", get(r, "N_TVALUE", 257, 0));
    EXPECT_EQ("value 1", get(r, "N_TVALUE", 1, 0));
    ASSERT_EQ(1, ccl("FIND N_TVALUE=$hanged$"));
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(0, set);
}

}  // namespace

// A loaded record answers item counts and walks along a record field before
// (and without) building its item maps: fields dense, sparse with a wide gap,
// only in the first items, absent; and the answers follow a change.
TEST_F(RecordTest, ItemCountsAndWalksOfALoadedRecord) {
    const int n = 300;
    Control w;
    VdbSetBase(w, "docs", 2);
    std::string t;
    auto item = [&](const char* f, int i, const std::string& v) {
        t += std::to_string(field(w, f)) + "F^" + std::to_string(i) + "P" + v + "^\n";
    };
    for (int i : {1, 2, 4}) item("D_PROPNAME", i, "p" + std::to_string(i));
    for (int p = 1; p <= n; ++p) {
        t += "\n\n" + std::to_string(p) + "G^\n";
        item("N_ID", p, std::to_string(p));
        if (p == 2 || p == 3 || p == 250) item("N_NAME", p, "n" + std::to_string(p));
    }
    int rid = store("docs", t);

    struct Case {
        const char* field;
        int count;
        std::vector<int> items;  // read on from the first item
    };
    std::vector<int> ids;
    for (int p = 1; p <= n; ++p) ids.push_back(p);
    const Case cases[] = {{"N_ID", n, ids}, {"N_NAME", 250, {2, 3, 250}}, {"D_PROPNAME", 4, {1, 2, 4}},
                          {"D_DOCNAME", 0, {}}};
    auto check = [&](VdbHandle c, const Case& k, const char* when) {
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, k.field), 0, 0));
        int count = -1;
        ASSERT_EQ(1, VdbItemCount(cur, &count));
        EXPECT_EQ(k.count, count) << k.field << " " << when;
        std::vector<int> got;
        char buf[64];
        int len = 0;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, k.field), 0, 0));
        while (VdbGetLine(cur, buf, &len, sizeof buf) == 1) {
            std::string v(buf, static_cast<size_t>(len));
            got.push_back(std::stoi(v.substr(v[0] == 'p' || v[0] == 'n' ? 1 : 0)));
        }
        EXPECT_EQ(k.items, got) << k.field << " " << when;
    };
    // Each case first on a fresh load, where nothing else asked before it.
    for (const Case& k : cases) {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
        check(c, k, "on a fresh load");
    }
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    for (const Case& k : cases) check(c, k, "in turn");

    // A change to the loaded record before the item maps exist.
    Control d;
    VdbSetBase(d, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(d, rid));
    int count = 0;
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, d, field(d, "N_NAME"), 0, 0));
    ASSERT_EQ(1, VdbItemCount(cur, &count));
    ASSERT_EQ(250, count);
    ASSERT_EQ(1, VdbSetCursor(&cur, d, field(d, "N_NAME"), 0, 250));
    ASSERT_EQ(1, VdbDeleteItem(cur));
    ASSERT_EQ(1, VdbSetCursor(&cur, d, field(d, "D_PROPNAME"), 0, 7));
    ASSERT_EQ(1, VdbReplaceItem(cur, "p7", -1));
    check(d, {"N_NAME", 3, {2, 3}}, "after a deletion");
    check(d, {"D_PROPNAME", 7, {1, 2, 4, 7}}, "after an addition");
}

// A stored record keeps the highest item of each record field, so that a
// later session counts without walking it: every change that moves a
// highest item (an item past it, the highest one deleted, a field new to the
// record) is what the next session reads, not what was first stored.
TEST_F(RecordTest, ItemCountsOfAStoredRecordFollowItsChangesIntoTheNextSession) {
    const int n = 300;
    Control w;
    VdbSetBase(w, "docs", 2);
    std::string t;
    auto item = [&](const char* f, int i, const std::string& v) {
        t += std::to_string(field(w, f)) + "F^" + std::to_string(i) + "P" + v + "^\n";
    };
    for (int i : {1, 2, 4}) item("D_PROPNAME", i, std::to_string(i));
    for (int p = 1; p <= n; ++p) {
        t += "\n\n" + std::to_string(p) + "G^\n";
        item("N_ID", p, std::to_string(p));
    }
    const int rid = store("docs", t);

    struct Step {
        const char* field;
        int item;
        bool remove;
        std::vector<int> items;  // of the field, as the next session reads them
    };
    std::vector<int> ids;
    for (int p = 1; p < n; ++p) ids.push_back(p);
    const Step steps[] = {
        {"D_PROPNAME", 9, false, {1, 2, 4, 9}},  // past the highest, after a gap
        {"D_PROPNAME", 9, true, {1, 2, 4}},      // the highest deleted
        {"D_PROPNAME", 2, true, {1, 4}},         // one below it deleted
        {"N_ID", n, true, ids},                  // the last node's
        {"D_DOCNAME", 3, false, {3}},            // a field the record had none of
    };
    for (const Step& k : steps) {
        {
            Control c;
            VdbSetBase(c, "docs", 2);
            ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
            VdbHandle cur = nullptr;
            ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, k.field), 0, k.item));
            ASSERT_EQ(1, k.remove ? VdbDeleteItem(cur) : VdbReplaceItem(cur, std::to_string(k.item).c_str(), -1))
                << message(-1);
        }
        // A new session keeps nothing of the last one.
        VdbStopVorn(0);
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, k.field), 0, 0));
        int count = -1;
        ASSERT_EQ(1, VdbItemCount(cur, &count));
        EXPECT_EQ(k.items.back(), count) << k.field << " " << k.item;
        std::vector<int> got;
        char buf[64];
        int len = 0;
        while (VdbGetLine(cur, buf, &len, sizeof buf) == 1) got.push_back(std::stoi(std::string(buf, len)));
        EXPECT_EQ(k.items, got) << k.field << " " << k.item;
    }
}

// A cursor that read a line moves on when it is next used, so the line it
// reads next is the next item as the record is then: one written meanwhile
// is read, one deleted meanwhile is passed over; writes through it still
// land on the item after the one read.
TEST_F(RecordTest, ACursorMovesOnFromTheLineItReadWhenNextUsed) {
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbHandle w = nullptr, cur = nullptr;
    for (int i : {1, 2, 5, 8}) {
        ASSERT_EQ(1, VdbSetCursor(&w, c, field(c, "D_PROPNAME"), 0, i));
        ASSERT_EQ(1, VdbReplaceItem(w, ("p" + std::to_string(i)).c_str(), -1));
    }
    char buf[64];
    int len = 0;
    auto line = [&]() {
        int st = VdbGetLine(cur, buf, &len, sizeof buf);
        return st == 1 ? std::string(buf, static_cast<size_t>(len)) : "status " + std::to_string(st);
    };
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "D_PROPNAME"), 0, 2));
    EXPECT_EQ("p2", line());
    ASSERT_EQ(1, VdbSetCursor(&w, c, field(c, "D_PROPNAME"), 0, 3));
    ASSERT_EQ(1, VdbReplaceItem(w, "p3", -1));
    EXPECT_EQ("p3", line());
    ASSERT_EQ(1, VdbSetCursor(&w, c, field(c, "D_PROPNAME"), 0, 5));
    ASSERT_EQ(1, VdbDeleteItem(w));
    EXPECT_EQ("p8", line());
    EXPECT_EQ("status 0", line());
    // A replacement after a read goes to the next item.
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "D_PROPNAME"), 0, 0));
    EXPECT_EQ("p1", line());
    ASSERT_EQ(1, VdbReplaceItem(cur, "P2", -1));
    EXPECT_EQ("P2", get(c, "D_PROPNAME", 0, 2));
    EXPECT_EQ("p1", get(c, "D_PROPNAME", 0, 1));
}
