// Files a document refers to (DTDs, external entities) taken from the
// databases, an http URL or the stream's directory while it is stored.
#include <sys/stat.h>

#include "filexmit.h"
#include "import_fixture.h"

namespace vxt {
namespace {

class EntityTest : public ImportTest {
protected:
    std::string tag; // makes file names of this test unique in /tmp
    std::string work;

    void SetUp() override
    {
        ImportTest::SetUp();
        tag = "vxi" + std::to_string(getpid()) + "_";
        work = makeTempDir("vxf_work_");
    }
    void TearDown() override
    {
        removeDir(work);
        ImportTest::TearDown();
    }

    // A file stored as a non-XML document under url.
    static void storeBlob(const std::string& url, const std::string& content, const char* base = "DOCS")
    {
        Control c(base);
        Call r = run(true, "vornxmlputblob", c, content, "URL=" + url + "\n");
        ASSERT_EQ(1, r.status) << r.errortext;
    }

    static std::string storeXml(const std::string& url, const std::string& doc)
    {
        Control c("DOCS");
        Call r = store(c, doc, "URL=" + url + "\n");
        EXPECT_EQ(1, r.status) << r.errortext;
        return nodeValue(c, "D_ID", 1);
    }

    std::string callLog() { return readFile(logFile(logDir, "vornxmlput.log")); }

    static size_t occurrences(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    // The text an entity reference part holds.
    static std::string entityText(VdbHandle c)
    {
        for (const std::string& line : parts(c))
            if (line.find("|ENTITY_REFERENCE|") != std::string::npos)
                return line.substr(line.rfind('|') + 1);
        return "(no entity part)";
    }
};

TEST_F(EntityTest, ADtdStoredInTheBaseLetsAValidatingParseSucceed)
{
    std::string dtd = tag + "v.dtd";
    storeBlob("/dtds/" + dtd, "<!ELEMENT r (a)*>\n<!ELEMENT a EMPTY>\n");
    std::string doc = "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r><a/></r>";
    UpdateRCS("XML_LOG", "4");
    for (const char* noResolver : {static_cast<const char*>(nullptr), "1"}) {
        SCOPED_TRACE(noResolver ? "exported and parsed again" : "supplied by the resolver");
        UpdateRCS("XML_NOENTITYRESOLVER", noResolver);
        Control c("DOCS");
        Call r = store(c, doc, "", FO_VALIDATE);
        ASSERT_EQ(1, r.status) << r.errortext;
        EXPECT_EQ(3, partCount(c));
        EXPECT_EQ(noResolver ? 1u : 0u,
                  occurrences(callLog(), "Resetting parser for another go after avoidable exception."));
        // The exported copy does not outlive the parse.
        EXPECT_FALSE(fileExists("/tmp/" + dtd));
        // The document breaks the DTD: validation says so.
        Control bad("DOCS");
        r = store(bad, "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r><b/></r>", "", FO_VALIDATE);
        EXPECT_EQ(0, r.status);
        EXPECT_NE(std::string::npos, r.errortext.find("'b'")) << r.errortext;
    }
    UpdateRCS("XML_NOENTITYRESOLVER", nullptr);
}

TEST_F(EntityTest, AMissingDtdIsNamedInTheError)
{
    std::string dtd = tag + "absent.dtd";
    for (const char* noResolver : {static_cast<const char*>(nullptr), "1"}) {
        SCOPED_TRACE(noResolver ? "without resolver" : "with resolver");
        UpdateRCS("XML_NOENTITYRESOLVER", noResolver);
        Control c("DOCS");
        Call r = store(c, "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r/>", "", FO_VALIDATE);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("Exception: DTD \"" + dtd + "\" is missing.", r.errortext);
        EXPECT_FALSE(fileExists("/tmp/" + dtd));
        // Not validating, the DTD is not needed.
        Control d("DOCS");
        r = store(d, "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r/>");
        EXPECT_EQ(1, r.status) << r.errortext;
    }
    UpdateRCS("XML_NOENTITYRESOLVER", nullptr);
}

TEST_F(EntityTest, EachDtdThatNamesAnotherCostsOneMoreRetryUpToTwo)
{
    UpdateRCS("XML_NOENTITYRESOLVER", "1");
    UpdateRCS("XML_LOG", "4");
    std::string a = tag + "a.dtd", b = tag + "b.dtd", c3 = tag + "c.dtd";
    storeBlob(a, "<!ENTITY % b SYSTEM \"" + b + "\">\n%b;\n");
    storeBlob(b, "<!ELEMENT r EMPTY>\n");
    Control c("DOCS");
    Call r = store(c, "<!DOCTYPE r SYSTEM \"" + a + "\"><r/>", "", FO_VALIDATE);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(2u, occurrences(callLog(), "Resetting parser for another go after avoidable exception."));

    // A third one is too many.
    std::string x = tag + "x.dtd", y = tag + "y.dtd";
    storeBlob(x, "<!ENTITY % y SYSTEM \"" + y + "\">\n%y;\n");
    storeBlob(y, "<!ENTITY % c SYSTEM \"" + c3 + "\">\n%c;\n");
    storeBlob(c3, "<!ELEMENT r EMPTY>\n");
    Control d("DOCS");
    r = store(d, "<!DOCTYPE r SYSTEM \"" + x + "\"><r/>", "", FO_VALIDATE);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Exception: DTD is missing - cheat-fix failed.", r.errortext);
    for (const std::string& f : {a, b, x, y, c3})
        EXPECT_FALSE(fileExists("/tmp/" + f)) << f;
    UpdateRCS("XML_NOENTITYRESOLVER", nullptr);
}

TEST_F(EntityTest, ADtdStoredTwiceGivesAnEmptyStandIn)
{
    UpdateRCS("XML_NOENTITYRESOLVER", "1");
    UpdateRCS("XML_LOG", "3");
    std::string dtd = tag + "twice.dtd";
    storeBlob("/one/" + dtd, "<!ELEMENT r EMPTY>\n");
    storeBlob("/two/" + dtd, "<!ELEMENT r EMPTY>\n");
    Control c("DOCS");
    Call r = store(c, "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r/>", "", FO_VALIDATE);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.errortext.find("'r'")) << r.errortext;
    EXPECT_EQ(1u, occurrences(callLog(), "WARNING: Duplicate DTDs found in database. Using dummy file."));
    UpdateRCS("XML_NOENTITYRESOLVER", nullptr);
}

TEST_F(EntityTest, ExternalEntitiesComeFromTheCurrentBase)
{
    // An XML document, through the retrieve filter; a non-XML one, from its blob.
    storeXml("chapter1.xml", "<c>chapter one</c>");
    storeBlob("/notes/" + tag + "note.txt", "plain note");
    Control c("DOCS");
    Call r = store(c, "<!DOCTYPE r [<!ENTITY ch SYSTEM \"../texts/chapter1.xml\">]><r>&ch;</r>");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ(join({"1|DOCUMENT_TYPE|10|0|-|-|-|-", "2|ELEMENT|1|0|r||-|-", "3|ELEMENT|1|2|c||-|-",
                    "4|ENTITY_REFERENCE|5|2|ch|-|/r|chapter one"}),
              join(parts(c)));

    Control d("DOCS");
    r = store(d, "<!DOCTYPE r [<!ENTITY n SYSTEM \"" + tag + "note.txt\">]><r>&n;</r>");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("plain note", entityText(d));

    // Names with blanks, quotes and operators are searched for as they are.
    for (std::string odd : {tag + "it's odd.txt", tag + "say \"x\" & y.txt"}) {
        SCOPED_TRACE(odd);
        storeBlob(odd, "odd one");
        char quote = odd.find('"') == std::string::npos ? '"' : '\'';
        Control e("DOCS");
        r = store(e, "<!DOCTYPE r [<!ENTITY o SYSTEM " + std::string(1, quote) + odd + quote + ">]><r>&o;</r>");
        ASSERT_EQ(1, r.status) << r.errortext;
        EXPECT_EQ("odd one", entityText(e));
    }
}

TEST_F(EntityTest, OfSeveralFilesOfOneNameTheFullIdentifierDecides)
{
    storeBlob("part.ent", "first");
    storeBlob("part.ent", "second");
    storeBlob("dir/part.ent", "by its path");
    struct Case {
        const char* ref;
        const char* text;
    };
    for (const Case& k : {Case{"dir/part.ent", "by its path"}, Case{"other/part.ent", "second"}}) {
        SCOPED_TRACE(k.ref);
        Control c("DOCS");
        Call r = store(c, std::string("<!DOCTYPE r [<!ENTITY p SYSTEM \"") + k.ref + "\">]><r>&p;</r>");
        ASSERT_EQ(1, r.status) << r.errortext;
        EXPECT_EQ(k.text, entityText(c));
    }
}

TEST_F(EntityTest, TheLinkBaseNamesTheDocumentToUse)
{
    ASSERT_EQ(1, VdbCreateBase("XML_LINK_DB", "link")) << message(-1);
    ASSERT_EQ(1, VdbCreateBase("OTHER", "xml")) << message(-1);
    UpdateRCS("XML_LINKS", "1");
    // Stored in another base, under another name: only the link base knows it.
    Control o("OTHER");
    Call r = store(o, "<c>linked</c>", "URL=/elsewhere/real-name.xml\n");
    ASSERT_EQ(1, r.status) << r.errortext;
    std::string id = nodeValue(o, "D_ID", 1);
    {
        Control link("XML_LINK_DB");
        int linkRid = 0;
        ASSERT_EQ(VDB_NAMEEXISTS, VdbCheckRecordName(link, &linkRid, id.c_str()));
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, link, fieldNumber(link, "URL"), 0, 1);
        VdbReplaceItem(cur, "linked.xml", -1);
        VdbDeleteCursor(cur);
        ASSERT_EQ(1, VdbPutRecord(link, &linkRid)) << message(-1);
    }
    Control c("DOCS");
    r = store(c, "<!DOCTYPE r [<!ENTITY l SYSTEM \"linked.xml\">]><r>&l;</r>");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("linked", entityText(c));
    UpdateRCS("XML_LINKS", nullptr);
}

TEST_F(EntityTest, HttpIdentifiersAndTheStreamDirectoryAreFetched)
{
    std::string doc = "<!DOCTYPE r [<!ENTITY s SYSTEM \"side.ent\">]><r>&s;</r>";
    std::string path = work + "/main.xml";
    std::ofstream(path) << doc;
    std::ofstream(work + "/side.ent") << "from beside";
    std::ofstream(work + "/far.ent") << "from far";
    FTMContext* listener = nullptr;
    ASSERT_EQ(0, VfxFTMCreateListener(&listener, 0, nullptr, 0, "127.0.0.1", path.c_str()));
    std::string root = "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(listener)) + "/";

    Control c("DOCS");
    Call r = store(c, "", "FILEURL=" + root + "main.xml\n", FO_STREAM);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("from beside", entityText(c));

    Control d("DOCS");
    r = store(d, "<!DOCTYPE r [<!ENTITY f SYSTEM \"" + root + "far.ent\">]><r>&f;</r>");
    VfxFTMCloseListener(listener);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("from far", entityText(d));
}

TEST_F(EntityTest, LookingUpEntitiesKeepsTheCallersSearches)
{
    storeBlob("kept.ent", "kept");
    int set = 0;
    ASSERT_EQ(1, VdbExecuteCcl("BASE DOCS", nullptr)) << message(-1);
    ASSERT_EQ(1, VdbExecuteCcl("FIND D_DOCNAME=kept.ent", &set)) << message(-1);
    ASSERT_GT(set, 0);
    Control c("DOCS");
    Call r = store(c, "<!DOCTYPE r [<!ENTITY k SYSTEM \"kept.ent\">]><r>&k;</r>");
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("kept", entityText(c));
    int last = 0, records = 0, hits = 0;
    ASSERT_EQ(1, VdbGetSearch(&last, &records, &hits)) << message(-1);
    EXPECT_EQ(set, last);
    EXPECT_EQ(1, records);
}

} // namespace
} // namespace vxt
