// Session services: CCL and command words, character sets, link settings,
// single field values with their caps, properties, clearing a record.
#include "fixture.h"

namespace vxt {
namespace {

class SessionTest : public FilterTest {};

TEST_F(SessionTest, CommandWordsComeFromTheSessionLanguage)
{
    Call r = probe(nullptr, "symbol\tfin\nsymbol\tBAS\nsymbol\tXYZ\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(3u, l.size());
    EXPECT_EQ("1\tFIND", l[0]);
    EXPECT_EQ("1\tBASE", l[1]);
    // An unknown word comes back padded and upper-cased with the kernel's status.
    EXPECT_EQ(std::to_string(VDB_NOSYMBOL) + "\tXYZ             ", l[2]);

    UpdateRCS("VDBS_LANGUAGE", "test");
    r = probe(nullptr, "symbol\tFIN             \n");
    EXPECT_EQ("1\tSUCHE\n", r.output);
}

TEST_F(SessionTest, ExecuteCclRunsCommandsAndRefusesOneThatDoesNotFit)
{
    Control doc("DOCS");
    Call r = probe(doc, "ccl\tBASE DOCS\nccl\tFIND D_DOCNAME=x\nccl\tFIND NO_SUCH_FIELD=x\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(3u, l.size());
    EXPECT_EQ("1", l[0]);
    EXPECT_EQ("1", l[1]);
    EXPECT_EQ(std::to_string(VDB_BADFIELD), l[2]);

    // 400 characters do not fit the command record; cutting would run another search.
    r = probe(doc, "ccl\tFIND D_DOCNAME=\t@rep:a:400\n");
    EXPECT_EQ(std::to_string(VDB_BADARG) + "\n", r.output);
    EXPECT_EQ(0u, r.errortext.rfind("CCL command too long", 0)) << r.errortext;
    EXPECT_LE(r.errortext.size(), 255u);
}

TEST_F(SessionTest, DatabaseEncodingFallsBackToVdbsChars)
{
    // Without a record the database's own code is unknown: VDBS_CHARS decides.
    struct Case {
        const char* chars;
        const char* encoding;
    } cases[] = {{nullptr, "Cp1252"},   {"SJIS", "SHIFT-JIS"}, {"JIS", "SHIFT-JIS"}, {"SJI", "SHIFT-JIS"},
                 {"CHI", "GB-2312"},    {"GBK", "GBK"},        {"EUC", "EUC-JP"},    {"UTF", "UTF-8"},
                 {"LA2", "LATIN-2"},    {"LA3", "LATIN-3"},    {"sjis", "Cp1252"},   {"KOI8", "Cp1252"}};
    for (const Case& c : cases) {
        UpdateRCS("VDBS_CHARS", c.chars);
        Call r = probe(nullptr, "encodings\n");
        EXPECT_EQ(std::string("UTF-8\t") + c.encoding + "\tUTF-8\tunicode\n", r.output) << (c.chars ? c.chars : "");
    }
    // A record of a base: the base's code (16) wins.
    UpdateRCS("VDBS_CHARS", "SJIS");
    Control doc("DOCS");
    EXPECT_EQ("UTF-8\tUTF-8\tUTF-8\tunicode\n", probe(doc, "encodings\n").output);
}

TEST_F(SessionTest, SessionEncodingFollowsTheSessionCharacterSet)
{
    VdbStopVorn(0);
    setenv("VDBS_CHARS", "LA2", 1);
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    Control doc("DOCS");
    EXPECT_EQ("LATIN-2\tUTF-8\tUTF-8\tother\n", probe(doc, "encodings\n").output);
}

TEST_F(SessionTest, LinkDatabaseNameFromTheLinkSettings)
{
    struct Case {
        const char* noLinks;
        const char* links;
        const char* db;
        const char* name;
    } cases[] = {{nullptr, nullptr, nullptr, ""},        {nullptr, "1", nullptr, "XML_LINK_DB"},
                 {"0", "1", "", "XML_LINK_DB"},          {"0", "1", "LINKS", "LINKS"},
                 {"1", "1", "LINKS", ""},                {"0", "0", "LINKS", ""},
                 {nullptr, "yes", "LINKS", ""}};
    for (const Case& c : cases) {
        UpdateRCS("XML_NOLINKS", c.noLinks);
        UpdateRCS("XML_LINKS", c.links);
        UpdateRCS("XML_LINK_DB", c.db);
        EXPECT_EQ(std::string(c.name) + "\n", probe(nullptr, "linkdb\n").output)
            << (c.noLinks ? c.noLinks : "-") << "/" << (c.links ? c.links : "-") << "/" << (c.db ? c.db : "-");
    }
}

TEST_F(SessionTest, PropertiesAreOneItemPerNameWhateverItsCase)
{
    int rid = storeWith("DOCS", "setprop\tAuthor\tfirst\nsetprop\tkind\tnote\nsetprop\tAUTHOR\tsecond\n"
                                "getprop\tauthor\ngetprop\tmissing\n");
    Control c;
    load(c, "DOCS", rid);
    EXPECT_EQ(2, itemCount(c, "D_PROPNAME"));
    EXPECT_EQ("Author", value(c, "D_PROPNAME", 0, 1));
    EXPECT_EQ("second", value(c, "D_PROPVAL", 0, 1));
    EXPECT_EQ("kind", value(c, "D_PROPNAME", 0, 2));
    EXPECT_EQ("note", value(c, "D_PROPVAL", 0, 2));

    Call r = probe(c, "getprop\tAUTHOR\ngetprop\tKind\ngetprop\tmissing\n");
    EXPECT_EQ("1\tsecond\n1\tnote\n0\tstale\n", r.output);

    // The declared document encoding is kept for output as well.
    r = probe(c, "setprop\txmlencoding\tISO-8859-1\nencodings\n");
    EXPECT_EQ("\nUTF-8\tUTF-8\tISO-8859-1\tunicode\n", r.output);
}

TEST_F(SessionTest, PropertiesAfterAGapInTheirItemsAreFound)
{
    // Properties are read in place from item 1 on; one written past a gap
    // (a record text form may put it anywhere) is found all the same.
    int rid = storeWith("DOCS", "setprop\tfirst\t1\nsetprop\tsecond\t2\n");
    Control c;
    load(c, "DOCS", rid);
    auto put = [&](const char* field, int item, const char* v) {
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, fieldNumber(c, field), 0, item)) << message(-1);
        EXPECT_EQ(1, VdbReplaceItem(cur, v, -1)) << message(-1);
        VdbDeleteCursor(cur);
    };
    put("D_PROPNAME", 5, "Late");
    put("D_PROPVAL", 5, "five");
    put("D_PROPNAME", 6, "valueless");
    EXPECT_EQ("1\t2\n1\tfive\n1\t\n0\tstale\n",
              probe(c, "getprop\tsecond\ngetprop\tlate\ngetprop\tVALUELESS\ngetprop\tmissing\n").output);
    // A gap at item 1: every property lies after it.
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, fieldNumber(c, "D_PROPNAME"), 0, 1));
    EXPECT_EQ(1, VdbDeleteItem(cur)) << message(-1);
    VdbDeleteCursor(cur);
    EXPECT_EQ("0\tstale\n1\t2\n1\tfive\n", probe(c, "getprop\tfirst\ngetprop\tsecond\ngetprop\tlate\n").output);
}

TEST_F(SessionTest, PropertiesOfABaseWithoutPropertyFieldsAreNotStored)
{
    Control plain("PLAIN");
    Call r = probe(plain, "setprop\ta\tb\ngetprop\ta\n", true);
    EXPECT_EQ("\n0\tstale\n", r.output);
}

TEST_F(SessionTest, FieldValuesAreCutToTheCapOfTheirType)
{
    int rid = storeWith("DOCS", "setfield\tD_DOCNAME\t1\t@rep:a:300\n"
                                "setfield\tN_ID\t1\t@rep:7:40\n"
                                "setfield\tN_TVALUE\t2\t@rep:t:40000\n"
                                "setfield\tD_URLBASE\t1\tabcdef\t3\n");
    Control c;
    load(c, "DOCS", rid);
    EXPECT_EQ(std::string(256, 'a'), value(c, "D_DOCNAME", 0, 1));
    EXPECT_EQ(std::string(30, '7'), value(c, "N_ID", 0, 1));
    EXPECT_EQ(std::string(32000, 't'), text(c, "N_TVALUE", 2));
    EXPECT_EQ("abc", value(c, "D_URLBASE", 0, 1));

    // Reading takes at most 250 bytes.
    Call r = probe(c, "phrase\tD_DOCNAME\t1\nint\tN_ID\t1\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(2u, l.size());
    EXPECT_EQ("1\t250\t" + std::string(250, 'a'), l[0]);
    EXPECT_EQ("1\t" + std::to_string(atol(std::string(30, '7').c_str())), l[1]);
}

TEST_F(SessionTest, UnknownFieldsAndMissingItems)
{
    int rid = storeWith("DOCS", "setfield\tD_DOCNAME\t1\tdoc.xml\n");
    Control c;
    load(c, "DOCS", rid);
    Call r = probe(c, "setfield\tNO_SUCH\t1\tx\n"
                      "phrase\tNO_SUCH\t1\n"
                      "phrasebuf\tD_DOCNAME\t5\tkeep\n"
                      "phrasebuf\tD_URLBASE\t0\tkeep\n"
                      "phrasebuf\tD_DOCNAME\t1\tkeep\n"
                      "int\tD_DOCSIZE\t1\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(6u, l.size());
    EXPECT_EQ("0", l[0]);
    EXPECT_EQ("0\t-7\t", l[1]);
    // A missing item leaves the caller's buffer as it was.
    EXPECT_EQ(std::to_string(VDB_NOITEM) + "\tkeep", l[2]);
    EXPECT_EQ("-1\tkeep", l[3]); // an empty field
    EXPECT_EQ("1\tdoc.xml", l[4]);
    EXPECT_EQ(std::to_string(VDB_NOITEM) + "\t-99", l[5]);
}

TEST_F(SessionTest, ClearingKeepsIdentityAndPropertiesAndDropsTheDocument)
{
    const std::string fill = "setfield\tD_ID\t1\tdoc-1\n"
                             "setfield\tD_DOCNAME\t1\tdoc.xml\n"
                             "setfield\tD_URLBASE\t1\t/data/dir\n"
                             "setfield\tD_URLALIAS\t1\t/data/dir/doc.xml\n"
                             "setprop\tvornxmlversion\t3.0-1\n"
                             "blob\tD_XMLDOC\t<a><b>t</b></a>\n"
                             "setfield\tD_DOCSIZE\t1\t16\n"
                             "part\t1\nputint\tN_ID\t1\t1\nput\tN_NAME\t1\ta\nput\tN_TYPE\t1\tELEMENT\n"
                             "part\t2\nputint\tN_ID\t2\t2\nputint\tN_PARENT\t2\t1\nput\tN_NAME\t2\tb\n"
                             "part\t3\nputint\tN_ID\t3\t3\nputint\tN_PARENT\t3\t2\nput\tN_TYPE\t3\tTEXT\n"
                             "putblock\tN_TVALUE\t3\tt\n";
    int rid = storeWith("DOCS", fill);
    Control c;
    load(c, "DOCS", rid);
    ASSERT_EQ(3, itemCount(c, "N_ID"));
    ASSERT_EQ("t", text(c, "N_TVALUE", 3));

    Call r = probe(c, "clear\n", true);
    EXPECT_EQ(1, r.status) << r.errortext;

    Control after;
    load(after, "DOCS", rid);
    EXPECT_EQ("doc-1", value(after, "D_ID", 0, 1));
    EXPECT_EQ("doc.xml", value(after, "D_DOCNAME", 0, 1));
    EXPECT_EQ("/data/dir", value(after, "D_URLBASE", 0, 1));
    EXPECT_EQ("/data/dir/doc.xml", value(after, "D_URLALIAS", 0, 1));
    EXPECT_EQ("vornxmlversion", value(after, "D_PROPNAME", 0, 1));
    EXPECT_EQ("3.0-1", value(after, "D_PROPVAL", 0, 1));
    EXPECT_EQ(0, itemCount(after, "N_ID"));
    EXPECT_EQ(0, itemCount(after, "N_NAME"));
    EXPECT_EQ(0, itemCount(after, "N_TYPE"));
    EXPECT_EQ("", text(after, "N_TVALUE", 3));
    EXPECT_EQ(0, blobSize(after, "D_XMLDOC"));
    EXPECT_EQ(0, itemCount(after, "D_DOCSIZE"));

    // Found again under its identity, and no longer by its old content.
    int set = 0;
    ASSERT_EQ(1, VdbExecuteCcl("BASE DOCS", nullptr));
    ASSERT_EQ(1, VdbExecuteCcl("FIND D_ID='doc-1'", &set)) << message(-1);
    int records = 0, hits = 0;
    set = 0;
    VdbGetSearch(&set, &records, &hits);
    EXPECT_EQ(1, records);
    ASSERT_EQ(1, VdbExecuteCcl("FIND N_NAME=b", nullptr)) << message(-1);
    set = 0;
    records = -1;
    VdbGetSearch(&set, &records, &hits);
    EXPECT_EQ(0, records);
}

} // namespace
} // namespace vxt
