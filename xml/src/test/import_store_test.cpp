// Storing a document: sources, names, raw text and size, re-storing, bad
// input, parser switches, identity and link record.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <set>

#include "filexmit.h"
#include "import_fixture.h"

namespace vxt {
namespace {

// "HHMMSSmmm-<base>-<machine number>".
bool isIdentity(const std::string& id, const std::string& base)
{
    std::string middle = "-" + base + "-";
    if (id.size() <= 9 + middle.size() || id.compare(9, middle.size(), middle) != 0)
        return false;
    std::string digits = id.substr(0, 9) + id.substr(9 + middle.size());
    return digits.find_first_not_of("0123456789") == std::string::npos && atoi(id.substr(0, 2).c_str()) < 24 &&
           atoi(id.substr(2, 2).c_str()) < 60 && atoi(id.substr(4, 2).c_str()) < 61;
}

// "Sun, 06 Dec 2026 15:00:00 GMT".
bool isHttpDate(const std::string& s)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    const char* end = strptime(s.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return end && !*end && s.size() == 29;
}

class StoreTest : public ImportTest {
protected:
    std::string work; // scratch directory for files to store

    void SetUp() override
    {
        ImportTest::SetUp();
        work = makeTempDir("vxf_work_");
    }
    void TearDown() override
    {
        removeDir(work);
        ImportTest::TearDown();
    }

    std::string writeFile(const std::string& name, const std::string& text)
    {
        std::string path = work + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // Everything stored in a record, for comparing before and after.
    static std::string snapshot(VdbHandle c)
    {
        std::string s = join(parts(c));
        for (const char* f : {"D_DOCNAME", "D_URLBASE", "D_URLALIAS", "D_DOCSIZE", "D_ID"})
            s += std::string(f) + "=" + nodeValue(c, f, 1) + "\n";
        s += "meta=" + partText(c, "D_META", 0) + "\ndoctype=" + partText(c, "D_DOCTYPE", 0) + "\n";
        s += "raw=" + blob(c, "D_XMLDOC") + "\n";
        int n = itemCount(c, "D_PROPNAME");
        for (int i = 1; i <= n; ++i)
            s += value(c, "D_PROPNAME", 0, i) + "=" + value(c, "D_PROPVAL", 0, i) + "\n";
        return s;
    }
};

TEST_F(StoreTest, NameBaseAndAliasComeFromTheUrlOrTheFileName)
{
    struct Case {
        const char* url;
        const char* name;
        const char* base;
        const char* alias;
    };
    const Case cases[] = {
        {"/docs/a/b.xml", "b.xml", "/docs/a", "/docs/a/b.xml"},
        {"/docs/a/b", "-", "/docs/a", "/docs/a/b"},
        {"b.xml", "b.xml", "-", "b.xml"},
        {"C:\\dir\\doc.xml", "doc.xml", "C:\\dir", "C:\\dir\\doc.xml"},
        {"/docs/a//c.xml", "c.xml", "/docs/a", "/docs/a//c.xml"},
        {"http://host:80/d.v1/e", "-", "http://host:80/d.v1", "http://host:80/d.v1/e"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.url);
        Control c("DOCS");
        Call r = store(c, "<r/>", std::string("URL=") + k.url + "\n");
        ASSERT_EQ(1, r.status) << r.errortext;
        EXPECT_EQ(k.name, nodeValue(c, "D_DOCNAME", 1));
        EXPECT_EQ(k.base, nodeValue(c, "D_URLBASE", 1));
        EXPECT_EQ(k.alias, nodeValue(c, "D_URLALIAS", 1));
    }

    // A named file without a URL argument.
    std::string doc = "<r>\n  <a>file</a>\n</r>\n";
    std::string path = writeFile("doc.xml", doc);
    Control f("DOCS");
    Call r = storeFrom(f, IEOPT_FILENAME, const_cast<char*>(path.c_str()));
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("doc.xml", nodeValue(f, "D_DOCNAME", 1));
    EXPECT_EQ("", nodeValue(f, "D_URLBASE", 1));
    EXPECT_EQ("doc.xml", nodeValue(f, "D_URLALIAS", 1));
    EXPECT_EQ(std::to_string(doc.size()), nodeValue(f, "D_DOCSIZE", 1));
    EXPECT_EQ(doc, blob(f, "D_XMLDOC"));
    EXPECT_EQ(5, partCount(f));
}

TEST_F(StoreTest, RawTextAndSize)
{
    // 2500 bytes: three pieces of raw text.
    std::string doc = "<r>" + std::string(2500 - 7, 'x') + "</r>";
    ASSERT_EQ(2500u, doc.size());
    Control c("DOCS");
    Call r = store(c, doc);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(doc, blob(c, "D_XMLDOC"));
    EXPECT_EQ("2500", nodeValue(c, "D_DOCSIZE", 1));
    EXPECT_TRUE(isHttpDate(property(c, "lastmodified"))) << property(c, "lastmodified");

    // Without the raw text only the size is kept.
    Control n("DOCS");
    r = store(n, doc, "", FO_NORAWTEXT);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("", blob(n, "D_XMLDOC"));
    EXPECT_EQ("2500", nodeValue(n, "D_DOCSIZE", 1));
    EXPECT_EQ(2, partCount(n));
}

TEST_F(StoreTest, AnOpenFileIsReadWholeAndStaysOpen)
{
    std::string doc = "<r><a>one</a><b>two</b></r>";
    std::string path = writeFile("open.xml", doc);
    for (bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "raw text kept" : "size only");
        FILE* fp = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, fp);
        fseek(fp, 10, SEEK_SET);
        Control c("DOCS");
        Call r = storeFrom(c, IEOPT_FILE, fp, "", raw ? 0 : FO_NORAWTEXT);
        ASSERT_EQ(1, r.status) << r.errortext;
        EXPECT_EQ(5, partCount(c));
        EXPECT_EQ(raw ? doc : "", blob(c, "D_XMLDOC"));
        EXPECT_EQ(std::to_string(doc.size()), nodeValue(c, "D_DOCSIZE", 1));
        // Still the caller's open file.
        EXPECT_EQ(0, fseek(fp, 0, SEEK_SET));
        EXPECT_EQ('<', fgetc(fp));
        fclose(fp);
    }
}

TEST_F(StoreTest, StoringAgainReplacesTheContentAndKeepsNameAndIdentity)
{
    Control c("DOCS");
    Call r = store(c, "<r><a/><b/><c/></r>", "URL=/docs/first.xml\n");
    ASSERT_EQ(1, r.status) << r.errortext;
    int first = rid(c);
    std::string id = nodeValue(c, "D_ID", 1);
    ASSERT_NE("-", id);

    r = store(c, "<s>new</s>");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(first, rid(c));
    EXPECT_EQ(join({"1|ELEMENT|1|0|s||-|-", "2|TEXT|3|1|s||/s|new"}), join(parts(c)));
    EXPECT_EQ("first.xml", nodeValue(c, "D_DOCNAME", 1));
    EXPECT_EQ("/docs", nodeValue(c, "D_URLBASE", 1));
    EXPECT_EQ("/docs/first.xml", nodeValue(c, "D_URLALIAS", 1));
    EXPECT_EQ(id, nodeValue(c, "D_ID", 1));
    EXPECT_EQ("<s>new</s>", blob(c, "D_XMLDOC"));

    // Read back from the base, not from the control that stored it.
    Control again;
    load(again, "DOCS", first);
    EXPECT_EQ(join(parts(c)), join(parts(again)));
}

TEST_F(StoreTest, BadInputFailsWithTheLineAndLeavesTheStoredRecordAlone)
{
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE l [\n<!ENTITY a \"lol\">\n";
    for (char e = 'b'; e <= 'j'; ++e) {
        laughs += std::string("<!ENTITY ") + e + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += std::string("&") + static_cast<char>(e - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<l>&j;</l>\n";
    // A few references to one large entity: few expansions, much text.
    std::string blowup = "<!DOCTYPE l [<!ENTITY big \"" + std::string(100000, 'x') + "\">]>\n<l>";
    for (int i = 0; i < 400; ++i)
        blowup += "&big;";
    blowup += "</l>";
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";

    struct Case {
        const char* what;
        std::string doc;
        const char* text; // the error text starts with this
        const char* says; // and holds this
    };
    const Case cases[] = {
        {"malformed", "<r>\n<a></r>", "XML Parsing Error at line 2: ", "expected end of tag 'a'"},
        {"truncated", "<r>\n<a>text", "XML Parsing Error at line 2: ", "input ended before all started tags"},
        {"unknown encoding", "<?xml version=\"1.0\" encoding=\"x-nonesuch\"?><r/>", "XML Parsing Error at line 1: ",
         "X-NONESUCH"},
        {"empty", "", "XML Parsing Error at line 1: ", "invalid document structure"},
        {"billion laughs", laughs, "XML Parsing Error at line 14: ", "entity expansions"},
        {"one entity expanded too often", blowup, "XML Parsing Error at line 2: ", "Entity references expand"},
        {"deep nesting", deep, "XML Parsing Error at line 1: ", "nested deeper than 1000 levels"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Control c("DOCS");
        Call r = store(c, "<kept a=\"1\">text</kept>", "URL=/d/kept.xml\n");
        ASSERT_EQ(1, r.status) << r.errortext;
        std::string before = snapshot(c);

        r = store(c, k.doc, "URL=/d/other.xml\n");
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0, r.errorcode % 2);
        EXPECT_EQ(0u, r.errortext.find(k.text)) << r.errortext;
        EXPECT_NE(std::string::npos, r.errortext.find(k.says)) << r.errortext;
        EXPECT_EQ(before, snapshot(c));
        Control stored;
        load(stored, "DOCS", rid(c));
        EXPECT_EQ(before, snapshot(stored));

        // Into a new record: nothing is stored at all.
        Control fresh("DOCS");
        r = store(fresh, k.doc);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0, rid(fresh));
    }
    int records = 0;
    VdbBaseInfo("DOCS", 2, nullptr, &records);
    EXPECT_EQ(static_cast<int>(sizeof cases / sizeof cases[0]), records);
}

TEST_F(StoreTest, SourcesThatCannotBeReadAreRefused)
{
    struct Case {
        const char* what;
        int vdbOptions;
        int filterOptions;
        int blockno;
        const char* text;
    };
    const Case cases[] = {
        {"no source", 0, 0, 0, "ERROR: Flag \"vdb_options\" has invalid value: 0"},
        {"stream without FILEURL", IEOPT_MEMORY, FO_STREAM, 0, "Required argument FILEURL missing for stream import."},
        {"block transfer", IEOPT_MEMORY, 0, 2, "vornxmlput: Block-oriented transfer is unsupported."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Control c("DOCS");
        std::string doc = "<r/>";
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlput");
        fd.buffer = const_cast<char*>(doc.data());
        fd.buffer_length = static_cast<int>(doc.size());
        fd.vdb_options = k.vdbOptions;
        fd.filter_options = k.filterOptions | FO_NEWRECORD;
        fd.blockno = k.blockno;
        EXPECT_EQ(0, VdbImport(&fd));
        EXPECT_EQ(std::string(k.text), fd.errortext);
        EXPECT_EQ(0, rid(c));
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
    }

    Control missing("DOCS");
    std::string path = work + "/nonesuch.xml";
    Call r = storeFrom(missing, IEOPT_FILENAME, const_cast<char*>(path.c_str()));
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.errortext.find("nonesuch.xml")) << r.errortext;
}

TEST_F(StoreTest, ANewRecordWithoutControlOrCursorGetsThem)
{
    // The kernel may hand over no record control at all; the store makes one
    // bound to the open base.
    int code = 0;
    ASSERT_EQ(1, VdbExecuteCcl("BASE DOCS", &code)) << message(-1);
    std::string doc = "<r>made</r>";
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlput");
    fd.buffer = const_cast<char*>(doc.data());
    fd.buffer_length = static_cast<int>(doc.size());
    fd.vdb_options = IEOPT_MEMORY;
    fd.filter_options = FO_NEWRECORD;
    ASSERT_EQ(1, VdbImport(&fd)) << fd.errortext;
    ASSERT_NE(nullptr, fd.record_control);
    EXPECT_EQ(join({"1|ELEMENT|1|0|r||-|-", "2|TEXT|3|1|r||/r|made"}), join(parts(fd.record_control)));
    EXPECT_GT(rid(fd.record_control), 0);
    if (fd.cursor)
        VdbDeleteCursor(fd.cursor);
    VdbDeleteRecordControl(fd.record_control);
}

TEST_F(StoreTest, ValidationAndNamespaceSwitches)
{
    struct Case {
        const char* what;
        const char* doc;
        bool validate;
        const char* namespaces;
        bool stored;
    };
    const char* invalid = "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r>x</r>";
    const char* unbound = "<x:y/>";
    const Case cases[] = {
        {"invalid, not validated", invalid, false, nullptr, true},
        {"invalid, validated", invalid, true, nullptr, false},
        {"unbound prefix, namespaces off", unbound, false, nullptr, true},
        {"unbound prefix, namespaces on", unbound, false, "1", false},
        {"namespaces set to something else than 1", unbound, false, "yes", true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        UpdateRCS("XML_NAMESPACES", k.namespaces);
        Control c("DOCS");
        Call r = store(c, k.doc, "", k.validate ? FO_VALIDATE : 0);
        EXPECT_EQ(k.stored ? 1 : 0, r.status) << r.errortext;
        if (!k.stored) {
            EXPECT_EQ(0u, r.errortext.find("XML Parsing Error at line 1: ")) << r.errortext;
        }
    }
    UpdateRCS("XML_NAMESPACES", nullptr);
}

TEST_F(StoreTest, ANewDocumentGetsAnIdentityAndALinkRecord)
{
    ASSERT_EQ(1, VdbCreateBase("XML_LINK_DB", "link")) << message(-1);

    // Links off: the identity only.
    Control c("DOCS");
    Call r = store(c, "<r/>", "URL=/d/one.xml\n");
    ASSERT_EQ(1, r.status) << r.errortext;
    std::string id = nodeValue(c, "D_ID", 1);
    EXPECT_TRUE(isIdentity(id, "DOCS")) << id;
    int records = -1;
    VdbBaseInfo("XML_LINK_DB", 2, nullptr, &records);
    EXPECT_EQ(0, records);

    UpdateRCS("XML_LINKS", "1");
    Control d("DOCS");
    r = store(d, "<r/>", "URL=/d/two.xml\n");
    ASSERT_EQ(1, r.status) << r.errortext;
    std::string id2 = nodeValue(d, "D_ID", 1);
    EXPECT_TRUE(isIdentity(id2, "DOCS")) << id2;
    EXPECT_NE(id, id2);

    auto linkRecord = [&](const std::string& name) {
        Control link("XML_LINK_DB");
        int linkRid = 0;
        EXPECT_EQ(VDB_NAMEEXISTS, VdbCheckRecordName(link, &linkRid, name.c_str())) << name;
        return nodeValue(link, "ID", 1) + " " + nodeValue(link, "CHECKTHIS", 1) + " " + nodeValue(link, "DB", 1) +
               " " + nodeValue(link, "URL", 1);
    };
    EXPECT_EQ(id2 + " 1 DOCS /d/two.xml", linkRecord(id2));

    // Stored again under a new URL, after the link tool cleared the mark.
    {
        Control link("XML_LINK_DB");
        int linkRid = 0;
        VdbCheckRecordName(link, &linkRid, id2.c_str());
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, link, fieldNumber(link, "CHECKTHIS"), 0, 1);
        VdbReplaceItem(cur, "0", 1);
        VdbDeleteCursor(cur);
        ASSERT_EQ(1, VdbPutRecord(link, &linkRid)) << message(-1);
    }
    r = store(d, "<r>again</r>", "URL=/e/two.xml\n");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(id2, nodeValue(d, "D_ID", 1));
    EXPECT_EQ(id2 + " 1 DOCS /e/two.xml", linkRecord(id2));
    VdbBaseInfo("XML_LINK_DB", 2, nullptr, &records);
    EXPECT_EQ(1, records);

    // An identity given by the caller is taken as it is.
    Control e("DOCS");
    r = store(e, "<r/>", "URL=/d/three.xml\nIDENTITY=chosen-name\n");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("chosen-name", nodeValue(e, "D_ID", 1));
    EXPECT_EQ("chosen-name 1 DOCS /d/three.xml", linkRecord("chosen-name"));
    UpdateRCS("XML_LINKS", nullptr);
}

TEST_F(StoreTest, ManyDocumentsInOneSecondGetDistinctIdentities)
{
    std::set<std::string> ids;
    for (int i = 0; i < 60; ++i) {
        Control c("DOCS");
        Call r = store(c, "<r/>");
        ASSERT_EQ(1, r.status) << r.errortext;
        ids.insert(nodeValue(c, "D_ID", 1));
    }
    EXPECT_EQ(60u, ids.size());
}

TEST_F(StoreTest, StreamedDocumentIsFetchedFromTheListener)
{
    std::string doc = "<r><a>streamed</a></r>";
    std::string path = writeFile("streamed.xml", doc);
    FTMContext* listener = nullptr;
    ASSERT_EQ(0, VfxFTMCreateListener(&listener, 0, nullptr, 0, "127.0.0.1", path.c_str()));
    std::string url = "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(listener)) + "/streamed.xml";
    Control c("DOCS");
    Call r = store(c, "", "URL=/s/streamed.xml\nFILEURL=" + url + "\n", FO_STREAM);
    VfxFTMCloseListener(listener);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(join({"1|ELEMENT|1|0|r||-|-", "2|ELEMENT|1|1|a||-|-", "3|TEXT|3|2|a||/r/a|streamed"}), join(parts(c)));
    EXPECT_EQ("streamed.xml", nodeValue(c, "D_DOCNAME", 1));
    // A streamed document is not kept as raw text and has no size.
    EXPECT_EQ("0", nodeValue(c, "D_DOCSIZE", 1));
    EXPECT_EQ("", blob(c, "D_XMLDOC"));

    // Nobody listening any more.
    Control d("DOCS");
    r = store(d, "", "FILEURL=" + url + "\n", FO_STREAM);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.errortext.find("XML Parsing Error")) << r.errortext;
}

} // namespace
} // namespace vxt
