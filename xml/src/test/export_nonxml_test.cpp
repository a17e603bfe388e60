// Non-XML documents (blob import, with and without the text extraction
// extension) and the kernel extension xmldata.
#include "export_fixture.h"
#include "filexmit.h"

namespace vxt {
namespace {

// The text with every digit as 9, upper-case letter as A, lower-case as a.
std::string shape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        out += isdigit(u) ? '9' : isupper(u) ? 'A' : islower(u) ? 'a' : c;
    }
    return out;
}

class NonXmlTest : public ExportTest {
protected:
    // Stores bytes through vornxmlputblob into record rid of DOCS (0: new).
    Get putBlob(int& rid, const std::string& args, int filterOptions, int vdbOptions, void* buffer, int length)
    {
        Control c("DOCS");
        if (rid > 0) {
            EXPECT_EQ(1, VdbGetRecordInBase(c, rid)) << message(-1);
        }
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        strcpy(fd.filter_name, "vornxmlputblob");
        std::string a = args;
        fd.filter_arguments = a.empty() ? nullptr : const_cast<char*>(a.data());
        fd.arg_length = static_cast<int>(a.size());
        fd.filter_options = filterOptions;
        fd.vdb_options = vdbOptions;
        fd.buffer = buffer;
        fd.buffer_length = length;
        Get g;
        g.status = VdbImport(&fd);
        g.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        g.sameBuffer = fd.buffer == buffer;
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
        VdbRecordInfo(c, 1, nullptr, &rid);
        return g;
    }

    std::string blob(int rid)
    {
        Control c;
        load(c, "DOCS", rid);
        VdbHandle cur = nullptr;
        std::string out;
        if (VdbSetCursor(&cur, c, fieldNumber(c, "DAV_NONXMLBLOB"), 0, 0) & 1) {
            char area[8192];
            int len = 0;
            for (int b = 1; VdbGetBlobBlock(cur, b, sizeof area, area, &len) == 1; ++b)
                out.append(area, static_cast<size_t>(len));
        }
        if (cur)
            VdbDeleteCursor(cur);
        return out;
    }

    std::string field(int rid, const char* name)
    {
        Control c;
        load(c, "DOCS", rid);
        return value(c, name, 0, 1);
    }

    static std::string bytes(size_t n)
    {
        std::string s(n, 0);
        for (size_t i = 0; i < n; ++i)
            s[i] = static_cast<char>((i * 7 + 3) & 0xff);
        return s;
    }
};

TEST_F(NonXmlTest, AFileIsStoredAsABlobWithItsNamesIdentityAndTime)
{
    std::string path = logDir + "/report.pdf";
    std::string data = bytes(20000);
    std::ofstream(path, std::ios::binary) << data;
    int rid = 0;
    Get g = putBlob(rid, "", 0, IEOPT_FILENAME, const_cast<char*>(path.c_str()), 0);
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_TRUE(blob(rid) == data);
    EXPECT_EQ("report.pdf", field(rid, "D_DOCNAME"));
    EXPECT_EQ("/report.pdf", field(rid, "D_URLALIAS"));
    std::string id = field(rid, "D_ID");
    EXPECT_EQ(0u, shape(id).rfind("999999999-AAAA-9", 0)) << id;
    EXPECT_EQ(std::string::npos, shape(id).find_first_not_of("9", 15)) << id;
    Control c;
    load(c, "DOCS", rid);
    Call p = probe(c, "getprop\tlastmodified\n");
    EXPECT_EQ("9\tAaa, 99 Aaa 9999 99:99:99 AAA\n", shape(p.output)) << p.output;
    // A blob record is no XML document.
    Get x = get(rid);
    EXPECT_EQ(0, x.status);

    // Stored again: new bytes, the same identity; an empty document leaves no blob.
    std::string other = "second version";
    g = putBlob(rid, "URL=/docs/r.pdf\n", 0, IEOPT_MEMORY, const_cast<char*>(other.data()),
                static_cast<int>(other.size()));
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ(other, blob(rid));
    EXPECT_EQ(id, field(rid, "D_ID"));
    EXPECT_EQ("/docs/r.pdf", field(rid, "D_URLALIAS"));
    EXPECT_TRUE(g.sameBuffer);
    g = putBlob(rid, "", 0, IEOPT_MEMORY, const_cast<char*>(""), 0);
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ("", blob(rid));
}

TEST_F(NonXmlTest, ABlobStoredOverAnXmlDocumentLeavesNoNodesBehind)
{
    XDoc d;
    d.raw = "<whale>moby</whale>";
    d.id = "000000001-DOCS-127001";
    d.nodes = {{"ELEMENT", "whale", "", 0, ""}, {"TEXT", "whale", "", 1, "moby"}};
    int rid = store(d);
    ASSERT_GT(rid, 0);
    ASSERT_EQ(1, VdbExecuteCcl("FIND N_NAME=whale", nullptr)) << message(-1);
    int set = 0, records = 0, hits = 0;
    ASSERT_EQ(1, VdbGetSearch(&set, &records, &hits));
    ASSERT_EQ(1, records);

    std::string data = "%PDF not xml";
    Get g = putBlob(rid, "", 0, IEOPT_MEMORY, const_cast<char*>(data.data()), static_cast<int>(data.size()));
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ(data, blob(rid));
    EXPECT_EQ("000000001-DOCS-127001", field(rid, "D_ID"));
    EXPECT_EQ("", field(rid, "D_XMLDOC"));
    Control c;
    load(c, "DOCS", rid);
    int parts = -1;
    EXPECT_EQ(1, VdbPartCount(c, &parts));
    EXPECT_EQ(0, parts);
    ASSERT_EQ(1, VdbExecuteCcl("FIND N_NAME=whale", nullptr)) << message(-1);
    set = 0;
    ASSERT_EQ(1, VdbGetSearch(&set, &records, &hits));
    EXPECT_EQ(0, records);
    EXPECT_EQ(0, get(rid).status);
}

TEST_F(NonXmlTest, ACallersFileStaysOpenAndStreamsAreRead)
{
    std::string path = logDir + "/data.bin";
    std::string data = bytes(50000);
    std::ofstream(path, std::ios::binary) << data;

    FILE* fp = fopen(path.c_str(), "rb");
    int rid = 0;
    Get g = putBlob(rid, "", 0, IEOPT_FILE, fp, 0);
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_TRUE(blob(rid) == data);
    EXPECT_EQ(0, fseek(fp, 0, SEEK_SET)); // still open
    fclose(fp);

    FTMContext* listener = nullptr;
    ASSERT_EQ(0, VfxFTMCreateListener(&listener, 0, nullptr, 0, "127.0.0.1", path.c_str()));
    std::string url = "127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(listener)) + "/";
    rid = 0;
    g = putBlob(rid, "FILEURL=" + url + "\n", FO_STREAM, 0, nullptr, 0);
    VfxFTMCloseListener(listener);
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_TRUE(blob(rid) == data);
}

TEST_F(NonXmlTest, Refusals)
{
    int rid = 0;
    Get g = putBlob(rid, "", FO_STREAM, 0, nullptr, 0);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ("Required argument FILEURL missing for stream import.", g.errortext);

    std::string missing = logDir + "/none.bin";
    g = putBlob(rid, "", 0, IEOPT_FILENAME, const_cast<char*>(missing.c_str()), 0);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ("Could not open file \"" + missing + "\".", g.errortext);

    g = putBlob(rid, "", 0, 0, nullptr, 0);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ(0u, g.errortext.find("No document to store")) << g.errortext;
    EXPECT_EQ(0, rid) << "a refused import stored a record";

    Control plain("PLAIN");
    Call c = run(true, "vornxmlputblob", plain, "bytes");
    EXPECT_EQ(0, c.status);
    EXPECT_EQ("No XML database or no database opened.", c.errortext);
}

TEST_F(NonXmlTest, TheExtractionExtensionFillsTheTextField)
{
    UpdateRCS("VDBS_ASE_vornextracttext", VORNXML_EXPORT_PROBE);
    std::string data = "plain text document";
    int rid = 0;
    Get g = putBlob(rid, "TEXTFIELD=D_DOCTEXT\n", 0, IEOPT_MEMORY, const_cast<char*>(data.data()),
                    static_cast<int>(data.size()));
    ASSERT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ(data, blob(rid));
    Control c;
    load(c, "DOCS", rid);
    EXPECT_EQ("PLAIN TEXT DOCUMENT", text(c, "D_DOCTEXT", 0));

    std::string bad = "FAIL: unknown format";
    int rid2 = 0;
    g = putBlob(rid2, "", 0, IEOPT_MEMORY, const_cast<char*>(bad.data()), static_cast<int>(bad.size()));
    EXPECT_EQ(0, g.status);
    EXPECT_EQ("VORNview failed. Code #77: cannot read this format", g.errortext);
    EXPECT_EQ(0, rid2);
    UpdateRCS("VDBS_ASE_vornextracttext", nullptr);
}

TEST_F(NonXmlTest, XmldataReturnsTheValueOfANamedNode)
{
    XDoc d;
    d.nodes = {{"ELEMENT", "book", "", 0, ""},
               {"ELEMENT", "subtitle", "", 1, ""},
               {"TEXT", "subtitle", "", 2, "sub"},
               {"ELEMENT", "title", "", 2, ""},
               {"TEXT", "title", "", 4, "  The   Title "},
               {"ATTRIBUTE", "lang", "", 4, "en"},
               {"ELEMENT", "note", "", 1, ""},
               {"TEXT", "note", "", 7, std::string(400, 'n')}};
    std::string s = script(d);
    // Paths as the shredder writes them (elements have none).
    s += "put\tN_PATH\t3\t/book/subtitle\nput\tN_PATH\t5\t/book/subtitle/title\n"
         "put\tN_PATH\t6\t/book/subtitle/title/lang\nput\tN_PATH\t8\t/book/note\n";
    int rid = storeWith("DOCS", s);
    UpdateRCS("VDBS_ASE_xmldata", VORNXML_MODULE);
    Control c;
    load(c, "DOCS", rid);
    VdbHandle ase = nullptr;
    ASSERT_EQ(1, VdbLoadAse("xmldata", &ase, nullptr)) << message(-1);
    struct Case {
        const char* name;
        std::string value;
    } cases[] = {
        {"title", "  The   Title "},
        {" title ", "  The   Title "},
        {"subtitle", "sub"},
        {"lang", "en"},
        {"itle", ""},
        {"note", std::string(255, 'n')},
        {"chapter", ""},
    };
    for (const Case& k : cases) {
        char area[256 + 16];
        memset(area, '#', sizeof area);
        snprintf(area, 256, "%s", k.name);
        int len = static_cast<int>(strlen(k.name));
        EXPECT_EQ(1, VdbCallAse(ase, area, &len)) << k.name;
        EXPECT_EQ(k.value, std::string(area, static_cast<size_t>(len))) << k.name;
        EXPECT_EQ(std::string(16, '#'), std::string(area + 256, 16)) << "written past 256 bytes";
    }
    UpdateRCS("VDBS_ASE_xmldata", nullptr);
}

} // namespace
} // namespace vxt
