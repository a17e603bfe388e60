// Import and export through a filter module loaded by name, with commit on
// success and rollback on failure, callbacks into the kernel from inside a
// filter, and kernel extensions.
#include <string>

#include "fixture.h"

using namespace kt;

namespace {

class FilterTest : public KernelTest {
protected:
    void SetUp() override {
        setenv("VDBS_FILTERS", VDBS_TEST_FILTER, 1);
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, VdbCreateBase("links", "link"));
        ASSERT_EQ(1, ccl("BASE docs"));
        Control c;
        nameField = std::to_string(field(c, "D_DOCNAME"));
        typeField = std::to_string(field(c, "N_TYPE"));
    }
    void TearDown() override {
        KernelTest::TearDown();
        unsetenv("VDBS_FILTERS");
    }
    std::string doc(const std::string& name, int parts) {
        std::string t = nameField + "F^1P" + name + "^\n";
        for (int p = 1; p <= parts; ++p)
            t += "\n\n" + std::to_string(p) + "G^\n" + typeField + "F^" + std::to_string(p) + "P" + name + "-node^\n";
        return t;
    }
    int import(VdbHandle control, const std::string& text, const std::string& args, filter_data* out = nullptr,
               int options = 0) {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        strcpy(fd.filter_name, "tf_put");
        fd.filter_options = options;
        fd.vdb_options = IEOPT_MEMORY;
        fd.buffer = const_cast<char*>(text.data());
        fd.buffer_length = static_cast<int>(text.size());
        fd.filter_arguments = const_cast<char*>(args.c_str());
        fd.arg_length = static_cast<int>(args.size());
        int st = VdbImport(&fd);
        if (out) *out = fd;
        return st;
    }
    static int hitsOf(const std::string& cond) {
        if (ccl("FIND " + cond) != 1) return -1;
        int set = 0, recs = 0, hits = 0;
        VdbGetSearch(&set, &recs, &hits);
        return hits;
    }
    std::string nameField, typeField;
};

TEST_F(FilterTest, ImportStoresANewRecord) {
    filter_data fd;
    ASSERT_EQ(1, import(nullptr, doc("first", 3), "", &fd, FO_NEWRECORD)) << fd.errortext;
    ASSERT_NE(nullptr, fd.record_control);
    EXPECT_EQ(1, recordCount("docs"));
    EXPECT_EQ(3, hitsOf("N_TYPE=first-node"));
    EXPECT_STREQ("vdbs_testfilter.so", fd.filter_lib_env);
    VdbDeleteRecordControl(fd.record_control);
}

TEST_F(FilterTest, FailedImportLeavesTheRecordExactlyAsBefore) {
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, import(c, doc("old", 4), ""));
    int rid = 0, value = 0;
    char text[64];
    VdbRecordInfo(c, 1, text, &rid);
    ASSERT_GT(rid, 0);
    // Re-import over it, writing more parts and a new name, then fail.
    filter_data fd;
    EXPECT_EQ(0, import(c, doc("new", 6), "FAIL=1\n", &fd));
    EXPECT_STREQ("asked to fail", fd.errortext);
    EXPECT_EQ("old", get(c, "D_DOCNAME", 0, 1));
    VdbPartCount(c, &value);
    EXPECT_EQ(4, value);
    Control fresh;
    VdbSetBase(fresh, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(fresh, rid));
    EXPECT_EQ("old", get(fresh, "D_DOCNAME", 0, 1));
    EXPECT_EQ("old-node", get(fresh, "N_TYPE", 0, 4));
    int st = 0;
    get(fresh, "N_TYPE", 0, 5, &st);
    EXPECT_EQ(VDB_NOITEM, st);
    EXPECT_EQ(4, hitsOf("N_TYPE=old-node"));
    EXPECT_EQ(0, hitsOf("N_TYPE=new-node"));
    // A new record whose import fails is not stored and its control is new again.
    Control n;
    VdbSetBase(n, "docs", 2);
    EXPECT_EQ(0, import(n, doc("never", 2), "FAIL=1\n"));
    EXPECT_EQ(1, recordCount("docs"));
    VdbRecordInfo(n, 1, text, &rid);
    EXPECT_EQ(0, rid);
}

TEST_F(FilterTest, FailedImportOverARecordOfSeveralSlotPagesLeavesEveryPageAsBefore) {
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, import(c, doc("old", 300), ""));
    int rid = 0, parts = 0;
    char text[64];
    VdbRecordInfo(c, 1, text, &rid);
    EXPECT_EQ(0, import(c, doc("new", 600), "FAIL=1\n"));
    Control fresh;
    VdbSetBase(fresh, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(fresh, rid));
    VdbPartCount(fresh, &parts);
    EXPECT_EQ(300, parts);
    for (int p : {1, 255, 256, 300}) EXPECT_EQ("old-node", get(fresh, "N_TYPE", 0, p)) << p;
    int st = 0;
    get(fresh, "N_TYPE", 0, 301, &st);
    EXPECT_EQ(VDB_NOITEM, st);
    EXPECT_EQ(300, hitsOf("N_TYPE=old-node"));
    EXPECT_EQ(0, hitsOf("N_TYPE=new-node"));
}

TEST_F(FilterTest, StoresMadeInsideAnImportJoinItsTransaction) {
    std::string side = "SIDEBASE=links\nSIDETEXT=1F^1Pside-1^\n";
    EXPECT_EQ(0, import(nullptr, doc("a", 1), side + "FAIL=1\n", nullptr, FO_NEWRECORD));
    EXPECT_EQ(0, recordCount("links"));
    EXPECT_EQ(0, recordCount("docs"));
    filter_data fd;
    ASSERT_EQ(1, import(nullptr, doc("b", 1), side, &fd, FO_NEWRECORD)) << fd.errortext;
    VdbDeleteRecordControl(fd.record_control);
    EXPECT_EQ(1, recordCount("links"));
    EXPECT_EQ(1, recordCount("docs"));
    // An import inside an import, with the outer one failing: neither stays.
    std::string nested = "NESTED=" + nameField + "F^1Pinner^\n";
    EXPECT_EQ(0, import(nullptr, doc("outer", 1), nested + "FAIL=1\n", nullptr, FO_NEWRECORD));
    EXPECT_EQ(1, recordCount("docs"));
    EXPECT_EQ(1, import(nullptr, doc("outer", 1), nested, &fd, FO_NEWRECORD));
    VdbDeleteRecordControl(fd.record_control);
    EXPECT_EQ(3, recordCount("docs"));
    EXPECT_EQ(1, hitsOf("D_DOCNAME=inner"));
    // A nested import that fails in the middle of the outer one's text form
    // takes back only its own work: the outer record is stored whole.
    std::string outer = doc("whole", 40) + "\n\n41G^\n" + typeField + "F^41Ppadding that moves the middle^\n";
    ASSERT_EQ(1, import(nullptr, outer, nested + "NESTEDFAIL=1\n", &fd, FO_NEWRECORD)) << fd.errortext;
    VdbDeleteRecordControl(fd.record_control);
    EXPECT_EQ(4, recordCount("docs"));
    EXPECT_EQ(40, hitsOf("N_TYPE=whole-node"));
    EXPECT_EQ(1, hitsOf("D_DOCNAME=inner"));
}

// A blob written in small pieces, with an import nested in the middle of
// it, reads back whole; a failed import that rewrote it leaves it as it was.
TEST_F(FilterTest, BlobWrittenInSmallPiecesAcrossANestedImport) {
    Control probe;
    std::string blobField = std::to_string(field(probe, "D_XMLDOC"));
    auto blobDoc = [&](const std::string& name, int seed, std::string& data) {
        data.clear();
        for (int i = 0; i < 150000; ++i) data.push_back(static_cast<char>((i * seed + i / 999) % 256));
        std::string t = doc(name, 2) + "\n\n0G^\n" + blobField + "F^\n";
        for (size_t off = 0; off < data.size(); off += 1000) t += "1000L" + data.substr(off, 1000) + "^\n";
        return t;
    };
    auto readBlob = [&](VdbHandle ctl) {
        VdbHandle cur = nullptr;
        EXPECT_EQ(1, VdbSetCursor(&cur, ctl, atoi(blobField.c_str()), 0, 0));
        std::string back, area(40000, '\0');
        int len = 0;
        for (int block = 1; VdbGetBlobBlock(cur, block, 40000, &area[0], &len) == 1; ++block)
            back.append(area, 0, static_cast<size_t>(len));
        VdbDeleteCursor(cur);
        return back;
    };
    std::string nested = "NESTED=" + nameField + "F^1Pinner^\n";
    int rid = 0;
    std::string data;
    for (const char* inner : {"NESTEDFAIL=1\n", ""}) {
        SCOPED_TRACE(inner);
        filter_data fd;
        ASSERT_EQ(1, import(nullptr, blobDoc("blob", 7, data), nested + inner, &fd, FO_NEWRECORD)) << fd.errortext;
        char text[64];
        VdbRecordInfo(fd.record_control, 1, text, &rid);
        EXPECT_EQ(data, readBlob(fd.record_control));
        VdbDeleteRecordControl(fd.record_control);
        Control fresh;
        VdbSetBase(fresh, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(fresh, rid));
        EXPECT_EQ(data, readBlob(fresh));
    }
    EXPECT_EQ(1, hitsOf("D_DOCNAME=inner"));
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    std::string other;
    EXPECT_EQ(0, import(c, blobDoc("other", 13, other), "FAIL=1\n"));
    ASSERT_NE(data, other);
    Control fresh;
    VdbSetBase(fresh, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(fresh, rid));
    EXPECT_EQ(data, readBlob(fresh));
    EXPECT_EQ(data, readBlob(c));
}

TEST_F(FilterTest, MalformedTextFormFailsTheImportEvenWhenTheFilterSaysSuccess) {
    filter_data fd;
    EXPECT_EQ(VDB_TEXTFORM, import(nullptr, "999F^1Px^\n", "", &fd, FO_NEWRECORD));
    EXPECT_EQ(VDB_TEXTFORM, fd.errorcode);
    EXPECT_NE(nullptr, strstr(fd.errortext, "999"));
    EXPECT_EQ(0, recordCount("docs"));
}

TEST_F(FilterTest, UnknownFilterIsRefusedByName) {
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    strcpy(fd.filter_name, "no_such_filter");
    EXPECT_EQ(VDB_NOFILTER, VdbImport(&fd));
    EXPECT_EQ(VDB_NOFILTER, fd.errorcode);
    EXPECT_NE(nullptr, strstr(fd.errortext, "no_such_filter"));
    setenv("VDBS_FILTERS", "/no/such/module.so", 1);
    strcpy(fd.filter_name, "tf_put");
    EXPECT_EQ(VDB_FILTERLOAD, VdbExport(&fd));
    EXPECT_NE(nullptr, strstr(fd.errortext, "/no/such/module.so"));
}

TEST_F(FilterTest, ExportKeepsWhatTheFilterWroteWhateverItsStatus) {
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, import(c, doc("orig", 1), ""));
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = c;
    strcpy(fd.filter_name, "tf_get");
    std::string args = "FIELD=D_DOCNAME\n";
    fd.filter_arguments = &args[0];
    fd.arg_length = static_cast<int>(args.size());
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    ASSERT_EQ(1, VdbExport(&fd));
    ASSERT_NE(nullptr, fd.buffer);
    EXPECT_EQ("orig", std::string(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)));
    free(fd.buffer);

    strcpy(fd.filter_name, "tf_update");
    args = "FIELD=D_DOCNAME\nVALUE=updated\nSTATUS=0\n";
    fd.filter_arguments = &args[0];
    fd.arg_length = static_cast<int>(args.size());
    EXPECT_EQ(0, VdbExport(&fd));
    EXPECT_EQ(1, hitsOf("D_DOCNAME=updated"));
    EXPECT_EQ(0, hitsOf("D_DOCNAME=orig"));
}

// Records loaded again inside one export, after a write to one of them, read
// as they are now: the write's row and the other record's rows alike. The
// records span two slot pages; the items lie on either.
TEST_F(FilterTest, RecordsLoadedAfterAWriteInsideAnExportReadItsResult) {
    int ridA = 0, ridB = 0;
    {
        // No control holds the records afterwards: each load reads storage.
        Control a, b;
        VdbSetBase(a, "docs", 2);
        VdbSetBase(b, "docs", 2);
        ASSERT_EQ(1, import(a, doc("first", 400), ""));
        ASSERT_EQ(1, import(b, doc("second", 400), ""));
        char text[256];
        VdbRecordInfo(a, 1, text, &ridA);
        VdbRecordInfo(b, 1, text, &ridB);
        ASSERT_NE(ridA, ridB);
    }
    Control other;
    VdbSetBase(other, "docs", 2);
    struct {
        const char* field;
        int item;
        const char* expected;
    } cases[] = {{"D_DOCNAME", 1, "second|changed 1"}, {"N_TYPE", 300, "second-node|changed 2"}};
    int round = 0;
    for (const auto& c : cases) {
        std::string value = "changed " + std::to_string(++round);
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = other;
        strcpy(fd.filter_name, "tf_reload");
        std::string args = "RID=" + std::to_string(ridA) + "\nRID2=" + std::to_string(ridB) + "\nFIELD=" + c.field +
                           "\nITEM=" + std::to_string(c.item) + "\nVALUE=" + value + "\n";
        fd.filter_arguments = &args[0];
        fd.arg_length = static_cast<int>(args.size());
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        ASSERT_EQ(1, VdbExport(&fd)) << c.field << ": " << fd.errortext;
        ASSERT_NE(nullptr, fd.buffer);
        EXPECT_EQ(c.expected, std::string(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)))
            << c.field;
        free(fd.buffer);
    }
}

// Whether this process maps the data directory's database file.
bool dataFileMapped(const std::string& dir) {
    FILE* f = fopen("/proc/self/maps", "r");
    if (!f) return false;
    const std::string tail = " " + dir + "/vdbs.db\n";
    char line[4096];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        size_t n = strlen(line);
        found = n >= tail.size() && tail.compare(0, std::string::npos, line + n - tail.size()) == 0;
    }
    fclose(f);
    return found;
}

TEST_F(FilterTest, ExportsReadThroughAMapThatStoresDoWithout) {
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, import(c, doc("mapped", 400), ""));
    // A new session finds the values in the database file, not in the log.
    VdbStopVorn(0);
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    ASSERT_EQ(1, ccl("BASE docs"));
    Control r;
    VdbSetBase(r, "docs", 2);
    EXPECT_FALSE(dataFileMapped(dir));

    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = r;
    strcpy(fd.filter_name, "tf_get");
    std::string args = "FIELD=N_TYPE\nRID=1\n";
    fd.filter_arguments = &args[0];
    fd.arg_length = static_cast<int>(args.size());
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    ASSERT_EQ(1, VdbExport(&fd)) << fd.errortext;
    ASSERT_NE(nullptr, fd.buffer);
    EXPECT_EQ("mapped-node", std::string(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)));
    free(fd.buffer);
    EXPECT_TRUE(dataFileMapped(dir));

    Control n;
    VdbSetBase(n, "docs", 2);
    ASSERT_EQ(1, import(n, doc("stored", 3), ""));
    EXPECT_FALSE(dataFileMapped(dir));
    EXPECT_EQ(400, hitsOf("N_TYPE=mapped-node"));
    EXPECT_EQ(3, hitsOf("N_TYPE=stored-node"));
}

TEST_F(FilterTest, KernelExtensionsComeFromTheConfiguration) {
    VdbHandle h = nullptr;
    EXPECT_EQ(VDB_NOASE, VdbLoadAse("upper", &h, nullptr));
    setenv("VDBS_ASE_upper", (std::string(VDBS_TEST_FILTER) + ":tf_upper").c_str(), 1);
    ASSERT_EQ(1, VdbLoadAse("upper", &h, nullptr));
    char text[] = "abc";
    int len = 3;
    EXPECT_EQ(1, VdbCallAse(h, text, &len));
    EXPECT_STREQ("ABC", text);
    unsetenv("VDBS_ASE_upper");
}


TEST_F(FilterTest, LargeDocumentStreamsIntoStorageAndIsIndexedWhole) {
    // More parts than a record keeps in memory while it is imported.
    const int parts = 70000;
    Control c;
    VdbSetBase(c, "docs", 2);
    std::string idf = std::to_string(field(c, "N_ID")), pf = std::to_string(field(c, "N_PARENT"));
    std::string t = nameField + "F^1Pbig^\n";
    for (int p = 1; p <= parts; ++p) {
        std::string ps = std::to_string(p);
        t += "\n\n" + ps + "G^\n" + idf + "F^" + ps + "P" + ps + "^\n" + pf + "F^" + ps + "P" + (p > 1 ? "1" : "0") +
             "^\n" + typeField + "F^" + ps + "P" + (p % 2 ? "odd" : "even") + "^\n";
    }
    filter_data fd;
    ASSERT_EQ(1, import(nullptr, t, "", &fd, FO_NEWRECORD)) << fd.errortext;
    VdbDeleteRecordControl(fd.record_control);
    auto check = [&] {
        EXPECT_EQ(parts / 2, hitsOf("N_TYPE=odd"));
        EXPECT_EQ(parts, hitsOf("N_ID=$"));
        int roots = 0;
        ASSERT_EQ(1, ccl("FIND N_PARENT=0", &roots));
        EXPECT_EQ(parts - 1, hitsOf("XPATH(child," + std::to_string(roots) + ",0,2)"));
        Control r;
        VdbSetBase(r, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(r, 1));
        EXPECT_EQ("even", get(r, "N_TYPE", 0, parts));
        int n = 0;
        VdbPartCount(r, &n);
        EXPECT_EQ(parts, n);
    };
    check();
    // Enough further records to fold the pending entries into a run.
    for (int i = 0; i < 70; ++i) {
        ASSERT_EQ(1, import(nullptr, doc("small" + std::to_string(i), 1), "", &fd, FO_NEWRECORD));
        VdbDeleteRecordControl(fd.record_control);
    }
    check();
    EXPECT_EQ(70, hitsOf("N_TYPE=$small$"));
}

}  // namespace
