// The relink and get-links filters through the kernel: what a document's
// links become (scanning and resolution seen in the relink text), and the
// targets read back from the link database.
#include "links_fixture.h"

using namespace vxl;

namespace {

const char* const kXLink = "http://www.w3.org/1999/xlink";
const char* const kXInclude = "http://www.w3.org/2001/XInclude";

std::string line(const std::string& fromDb, const std::string& fromId, const std::string& fromUrl,
                 const std::string& toDb, const std::string& toId, const std::string& toUrl)
{
    return "{FROMDB=" + fromDb + ",FROMID=" + fromId + ",FROMURL=" + fromUrl + ",TODB=" + toDb + ",TOID=" + toId +
           ",TOURL=" + toUrl + "}";
}

// A link from the case's own document.
std::string from(const std::string& id, const std::string& toDb, const std::string& toId, const std::string& toUrl)
{
    return line("DOCS", id, id + ".xml", toDb, toId, toUrl);
}

std::string join(const std::vector<std::string>& v)
{
    std::string out;
    for (const std::string& s : v)
        out += (out.empty() ? "" : "\n") + s;
    return out;
}

class RelinkTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        // Targets: a.xml in DOCS and b.xml in OTHER with link records;
        // c.xml in OTHER stored while links were off, so only the scan of
        // the XML databases finds it.
        store("DOCS", "a.xml", "<a/>", "id-a");
        store("OTHER", "b.xml", "<b/>", "id-b");
        setLinks(false);
        store("OTHER", "c.xml", "<c/>", "id-c");
        setLinks(true);
    }
};

struct Case {
    const char* name;
    std::string doc;
    std::vector<std::string> expected; // built with the case's identity
};

} // namespace

TEST_F(RelinkTest, DocumentLinksBecomeResolvedPairs)
{
    const std::string xl = std::string("xmlns:xl=\"") + kXLink + "\"";
    const std::string xi = std::string("xmlns:xi=\"") + kXInclude + "\"";
    const std::string none = " ";
    // Expected lines use the placeholder identity "ID", replaced per case.
    std::vector<Case> cases = {
        {"simple-declared-prefix",
         "<r " + xl + "><e xl:type=\"simple\" xl:href=\"a.xml#frag\"/></r>",
         {from("ID", "DOCS", "id-a", "a.xml#frag")}},
        {"simple-without-href", "<r " + xl + "><e xl:type=\"simple\"/></r>", {}},
        {"href-without-type", "<r " + xl + "><e xl:href=\"a.xml\"/></r>", {}},
        {"no-prefix-declared-unprefixed-attributes", "<r><e type=\"simple\" href=\"b.xml\"/></r>",
         {from("ID", "OTHER", "id-b", "b.xml")}},
        {"both-prefixes-declared-unprefixed-type-ignored",
         "<r " + xl + " " + xi + "><e type=\"simple\" href=\"a.xml\"/></r>", {}},
        {"attribute-names-without-case", "<r " + xl + "><e xl:TYPE=\"simple\" xl:HREF=\"a.xml\"/></r>",
         {from("ID", "DOCS", "id-a", "a.xml")}},
        {"declaration-on-the-element-itself",
         "<r><e xmlns:q=\"http://www.w3.org/1999/xlink\" q:type=\"simple\" q:href=\"b.xml\"/></r>",
         {from("ID", "OTHER", "id-b", "b.xml")}},
        {"xinclude-each-element",
         "<r " + xl + " " + xi + "><xi:include href=\"a.xml\"/><xi:include href=\"b.xml\" parse=\"xml\"/></r>",
         {from("ID", "DOCS", "id-a", "a.xml"), from("ID", "OTHER", "id-b", "b.xml")}},
        {"xinclude-empty-href", "<r " + xl + " " + xi + "><xi:include href=\"\"/></r>", {}},
        {"default-namespace-is-no-prefix",
         "<r " + xl + " " + xi + " xmlns=\"http://www.w3.org/1999/xlink\"><e type=\"simple\" href=\"a.xml\"/></r>",
         {}},
        {"xinclude-name-off-the-w3c-host",
         "<r " + xl + " xmlns:xi=\"http://example.org/xinclude\"><xi:include href=\"a.xml\"/></r>", {}},
        {"doctype-system-identifier-wins", "<!DOCTYPE r PUBLIC \"-//T//DTD r//EN\" \"r.dtd\"><r/>",
         {from("ID", none, none, "r.dtd")}},
        {"doctype-system-identifier", "<!DOCTYPE r SYSTEM \"c.xml\"><r/>",
         {from("ID", "OTHER", "id-c", "c.xml")}},
        {"stylesheet-instruction-href",
         "<?stylesheet type=\"text/xsl\" href=\"b.xml\"?><?xml-stylesheet type=\"text/xsl\" href=\"a.xml\"?><r/>",
         {from("ID", "OTHER", "id-b", "b.xml")}},
        {"stylesheet-href-with-entities", "<?stylesheet href='x&amp;y.xsl' title=\"t\"?><r/>",
         {from("ID", none, none, "x&y.xsl")}},
        {"fragment-only-is-the-document-itself", "<r " + xl + "><e xl:type=\"simple\" xl:href=\"#top\"/></r>",
         {from("ID", "DOCS", "ID", "#top")}},
        {"unresolved-target", "<r " + xl + "><e xl:type=\"simple\" xl:href=\"missing.xml\"/></r>",
         {from("ID", none, none, "missing.xml")}},
        {"found-only-in-xml-databases", "<r " + xl + "><e xl:type=\"simple\" xl:href=\"c.xml\"/></r>",
         {from("ID", "OTHER", "id-c", "c.xml")}},
        {"entity-content-not-scanned",
         "<!DOCTYPE r [<!ENTITY e \"<x xmlns:xl='http://www.w3.org/1999/xlink' xl:type='simple' "
         "xl:href='a.xml'/>\">]><r>&e;</r>",
         {}},
        {"extended-link-arc-between-locators",
         "<r " + xl + "><ext xl:type=\"extended\">"
         "<loc xl:type=\"locator\" xl:href=\"a.xml\" xl:label=\"A\"/>"
         "<loc xl:type=\"locator\" xl:href=\"b.xml#x\" xl:label=\"B\"/>"
         "<go xl:type=\"arc\" xl:from=\"A\" xl:to=\"B\"/>"
         "<go xl:type=\"arc\" xl:from=\"A\" xl:to=\"nowhere\"/>"
         "</ext></r>",
         {line("DOCS", "id-a", "a.xml", "OTHER", "id-b", "b.xml#x")}},
        {"extended-link-ends-at-next-simple-link-not-at-a-stylesheet",
         "<r " + xl + "><ext xl:type=\"extended\">"
         "<loc xl:type=\"locator\" xl:href=\"b.xml\" xl:label=\"B\"/>"
         "<?stylesheet href=\"s.xsl\"?>"
         "<loc xl:type=\"locator\" xl:href=\"c.xml\" xl:label=\"C\"/>"
         "<go xl:type=\"arc\" xl:from=\"B\" xl:to=\"C\"/>"
         "</ext><e xl:type=\"simple\" xl:href=\"a.xml\"/></r>",
         {from("ID", none, none, "s.xsl"), line("OTHER", "id-b", "b.xml", "OTHER", "id-c", "c.xml"),
          from("ID", "DOCS", "id-a", "a.xml")}},
        {"no-links", "<r><e href-like=\"a.xml\"/><!-- href=\"a.xml\" --></r>", {}},
    };

    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string id = "src" + std::to_string(++n);
        int rid = store("DOCS", id + ".xml", c.doc, id);
        ASSERT_GT(rid, 0);
        Call r = relink("DOCS", rid);
        ASSERT_EQ(1, r.status) << r.errortext;
        EXPECT_EQ(1, r.errorcode);
        std::vector<std::string> expected;
        for (std::string e : c.expected) {
            for (const char* marker : {"=ID,", "=ID."})
                for (size_t at; (at = e.find(marker)) != std::string::npos;)
                    e.replace(at, 3, "=" + id);
            expected.push_back(e);
        }
        EXPECT_EQ(join(expected), r.output);
    }
}

TEST_F(RelinkTest, RefusesWhatIsNoXmlDocument)
{
    Control c("PLAIN");
    Call r = run(false, "vornxmlrelink", c, "", "", 0);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("No XML database or no database opened.", r.errortext);

    // A document that no longer parses keeps its text in the caller's buffer.
    int rid = store("DOCS", "bad.xml", "<r/>", "bad");
    {
        Control d("DOCS");
        ASSERT_EQ(1, VdbGetRecordInBase(d, rid));
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, d, fieldNumber(d, "D_XMLDOC"), 0, 0));
        ASSERT_EQ(1, VdbPutBlobBlock(cur, 5, "<r><x"));
        VdbDeleteCursor(cur);
    }
    Call bad = relink("DOCS", rid);
    EXPECT_EQ(0, bad.status & 1);
    EXPECT_EQ("<r><x", bad.output);
    EXPECT_TRUE(contains(bad.errortext, "XML Parsing Error")) << bad.errortext;
}

TEST_F(LinkTest, GetLinksReadsTheTargetsOfTheLinkRecord)
{
    int rid = store("DOCS", "one.xml", "<r/>", "one");
    int bare = store("DOCS", "two.xml", "<r/>", "two");
    {
        // No link record for "two"; two target parts for "one".
        Control link("XML_LINK_DB");
        int linkRid = 0;
        ASSERT_EQ(VDB_NAMEEXISTS, VdbCheckRecordName(link, &linkRid, "two"));
        ASSERT_EQ(1, VdbDeleteRecordInBase(link, nullptr));
    }
    {
        Control link("XML_LINK_DB");
        int linkRid = 0;
        ASSERT_EQ(VDB_NAMEEXISTS, VdbCheckRecordName(link, &linkRid, "one"));
        const char* values[2][3] = {{"DOCS", "t1", "t1.xml"}, {"OTHER", "t2", "dir/t2.xml#f"}};
        for (int p = 1; p <= 2; ++p) {
            for (int f = 0; f < 3; ++f) {
                static const char* const kFields[] = {"TO_DB", "TO_NAME", "TO_URL"};
                VdbHandle cur = nullptr;
                ASSERT_EQ(1, VdbSetRecordPart(&cur, link, p));
                ASSERT_EQ(1, VdbSetCursor(&cur, link, fieldNumber(link, kFields[f]), 0, 0));
                ASSERT_EQ(1, VdbPutLine(cur, values[p - 1][f], -1));
                VdbDeleteCursor(cur);
            }
        }
        ASSERT_EQ(1, VdbPutRecord(link, &linkRid)) << message(-1);
    }

    Call r = getLinks("DOCS", rid);
    EXPECT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("2\nDOCS\tt1\tt1.xml\nOTHER\tt2\tdir/t2.xml#f\n", r.output);

    Call none = getLinks("DOCS", bare);
    EXPECT_EQ(1, none.status) << none.errortext;
    EXPECT_EQ("0\n", none.output);

    // The memory bit alone is enough; neither bit is refused.
    EXPECT_EQ(1, onRecord("vornxmlgetlinks", "DOCS", rid, IEOPT_MEMORY).status);
    Call refused = onRecord("vornxmlgetlinks", "DOCS", rid, 0);
    EXPECT_EQ(0, refused.status);
    EXPECT_EQ("Invalid vdb_options value. Must be IEOPT_MEMORY|EXPORT_ALLOC.", refused.errortext);
    EXPECT_EQ("0\n", refused.output);

    setLinks(false);
    Call disabled = getLinks("DOCS", rid);
    EXPECT_EQ(3, disabled.status);
    EXPECT_EQ("Link database is disabled.", disabled.errortext);
    EXPECT_EQ("0\n", disabled.output);

    // A missing link database is a kernel failure, not "no links".
    setLinks(true);
    setenv("XML_LINK_DB", "NO_SUCH_DB", 1);
    Call missing = getLinks("DOCS", rid);
    EXPECT_EQ(0, missing.status & 1);
    EXPECT_NE(0, missing.status);
    EXPECT_EQ("0\n", missing.output);
    unsetenv("XML_LINK_DB");

    Control plain("PLAIN");
    Call notXml = run(false, "vornxmlgetlinks", plain, "");
    EXPECT_EQ(0, notXml.status);
    EXPECT_EQ("No XML database or no database opened.", notXml.errortext);
}

TEST_F(LinkTest, TargetInTheLastOfManyDatabasesIsFound)
{
    // More base names than one page of the captured listing holds: the scan
    // pages on to the last one.
    std::string last;
    for (int i = 0; i < 300; ++i) {
        char name[64];
        snprintf(name, sizeof name, "X%03d_%s", i, std::string(55, 'n').c_str());
        ASSERT_EQ(1, VdbCreateBase(name, "xml")) << message(-1);
        last = name;
    }
    setLinks(false);
    store(last.c_str(), "far.xml", "<far/>", "far");
    setLinks(true);
    int rid = store("DOCS", "near.xml", "<r xmlns:xl='http://www.w3.org/1999/xlink' xl:type='simple' xl:href='far.xml'/>",
                    "near");
    Call r = relink("DOCS", rid);
    EXPECT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("{FROMDB=DOCS,FROMID=near,FROMURL=near.xml,TODB=" + last + ",TOID=far,TOURL=far.xml}", r.output);
}
