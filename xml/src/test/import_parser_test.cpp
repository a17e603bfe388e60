// The request's DOM parse (used by the link operations) from every source,
// with the same limits and the same recovery from a missing DTD as a store.
#include "import_fixture.h"

namespace vxt {
namespace {

class ParserTest : public ImportTest {
protected:
    std::string work;

    void SetUp() override
    {
        ImportTest::SetUp();
        setenv("VDBS_FILTERS", (std::string(VORNXML_MODULE) + ":" + VORNXML_IMPORT_PROBE).c_str(), 1);
        work = makeTempDir("vxf_work_");
    }
    void TearDown() override
    {
        removeDir(work);
        ImportTest::TearDown();
    }

    // Runs the DOM probe on a record of DOCS with the source given.
    static Call domParse(int vdbOptions, void* buffer, int length, int options = 0)
    {
        Control c("DOCS");
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmldomprobe");
        fd.buffer = buffer;
        fd.buffer_length = length;
        fd.vdb_options = vdbOptions;
        fd.filter_options = options;
        Call r;
        r.status = VdbExport(&fd);
        r.errorcode = fd.errorcode;
        r.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        if (r.status == 1 && fd.buffer && fd.buffer != buffer) {
            r.output.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
            free(fd.buffer);
        }
        return r;
    }

    static Call domParse(const std::string& doc, int options = 0)
    {
        return domParse(IEOPT_MEMORY, const_cast<char*>(doc.data()), static_cast<int>(doc.size()), options);
    }
};

TEST_F(ParserTest, EverySourceGivesTheSameTree)
{
    std::string doc = "<!DOCTYPE r [<!ENTITY e \"v\">]><r a=\"1\">\n <b>&e;</b><!--c--></r>";
    const std::string tree = "0 10 r\n"
                             "0 1 r\n"
                             "1 2 a 1\n"
                             "1 3 #text \n \n"
                             "1 1 b\n"
                             "2 5 e\n"
                             "3 3 #text v\n"
                             "1 8 #comment c\n";
    Call r = domParse(doc);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(tree, r.output);

    std::string path = work + "/tree.xml";
    std::ofstream(path) << doc;
    r = domParse(IEOPT_FILENAME, const_cast<char*>(path.c_str()), 0);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(tree, r.output);

    FILE* fp = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, fp);
    fseek(fp, 5, SEEK_SET);
    r = domParse(IEOPT_FILE, fp, 0);
    fclose(fp);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(tree, r.output);
}

TEST_F(ParserTest, FailuresSayWhatWasWrong)
{
    std::string laughs = "<!DOCTYPE l [<!ENTITY a \"lol\">";
    for (char e = 'b'; e <= 'j'; ++e) {
        laughs += std::string("<!ENTITY ") + e + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += std::string("&") + static_cast<char>(e - 1) + ";";
        laughs += "\">";
    }
    laughs += "]>\n<l>&j;</l>";
    struct Case {
        const char* what;
        std::string doc;
        int options;
        const char* text;
    };
    const Case cases[] = {
        {"malformed", "<r>\n</s>", 0, "XML Parsing Error at line 2: "},
        {"billion laughs", laughs, 0, "XML Parsing Error at line 2: parser has encountered more than '50000' entity"},
        {"invalid", "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r>x</r>", FO_VALIDATE, "XML Parsing Error at line 1: "},
        {"missing DTD", "<!DOCTYPE r SYSTEM \"vx_import_none.dtd\"><r/>", FO_VALIDATE, "Exception: DTD is missing."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Call r = domParse(k.doc, k.options);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0u, r.errortext.find(k.text)) << r.errortext;
    }
    int dummy = 0;
    Call r = domParse(0, &dummy, 0);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("ERROR: Flag \"vdb_options\" has invalid value: 0", r.errortext);
}

TEST_F(ParserTest, AMissingDtdIsExportedFromTheBaseAndTheParseRetried)
{
    UpdateRCS("XML_NOENTITYRESOLVER", "1");
    std::string dtd = "vx_import_dom_" + std::to_string(getpid()) + ".dtd";
    {
        Control c("DOCS");
        Call r = run(true, "vornxmlputblob", c, "<!ELEMENT r EMPTY>", "URL=" + dtd + "\n");
        ASSERT_EQ(1, r.status) << r.errortext;
    }
    Call r = domParse("<!DOCTYPE r SYSTEM \"" + dtd + "\"><r/>", FO_VALIDATE);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("0 10 r\n0 1 r\n", r.output);
    EXPECT_FALSE(fileExists("/tmp/" + dtd));
    UpdateRCS("XML_NOENTITYRESOLVER", nullptr);
}

} // namespace
} // namespace vxt
