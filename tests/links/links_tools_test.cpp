// vxlinker and linktidy run as programs on the test's data directory: their
// command lines, the configuration switches, resolving the sample documents
// into link records, zombies, refreshing and cleaning the link database.
#include "links_fixture.h"

#include <limits.h>

using namespace vxl;

namespace {

const char* const kLinkerUsage = "USAGE: vxlinker -u username -p password [options]\n\n"
                                 "Options are:\n"
                                 "\t-h\t\tShow usage help (this text).\n"
                                 "\t-v\t\tVerbose.\n"
                                 "\t-i\t\tIgnore XML_NOLINKS/XML_LINKS setting.\n"
                                 "\t-b <dbname>\tUse this database as link database.\n";

const char* const kTidyUsage = "USAGE: linktidy <command> [options]\n\n"
                               "Commands are:\n"
                               "\tm <dbname>\tRefresh link database entries for named XML database.\n"
                               "\tc         \tClean up link database.\n\n"
                               "Options are:\n"
                               "\t-h\t\tShow usage help (this text).\n"
                               "\t-i\t\tIgnore XML_NOLINKS/XML_LINKS setting.\n"
                               "\t-u <usr>\tUser name.\n"
                               "\t-p <pwd>\tPassword.\n"
                               "\t-b <dbname>\tUse this database as link database.\n";

const char* const kDisabled = "Link support is disabled.\nAborting!\n";
const char* const kConflict = "Conflicting XML_LINKS and XML_NOLINKS settings in VORNrcs.\nAborting!\n";

void setSwitch(const char* key, const char* value)
{
    if (value)
        setenv(key, value, 1);
    else
        unsetenv(key);
}

// A link record written by hand, as an older store or another tool may
// have left it.
void writeLinkRecord(const std::string& id, const std::string& db, const std::string& checkThis)
{
    Control c("XML_LINK_DB");
    const std::pair<const char*, std::string> values[] = {{"ID", id}, {"CHECKTHIS", checkThis}, {"DB", db}};
    for (const auto& v : values) {
        VdbHandle cur = nullptr;
        int num = 0, type = 0, flags = 0;
        ASSERT_EQ(1, VdbCheckField(c, v.first, &num, &type, &flags));
        ASSERT_EQ(1, VdbSetCursor(&cur, c, num, 0, 0));
        ASSERT_EQ(1, VdbPutLine(cur, v.second.c_str(), -1));
        VdbDeleteCursor(cur);
    }
    int rid = 0;
    ASSERT_EQ(1, VdbPutRecord(c, &rid)) << message(-1);
}

} // namespace

TEST_F(LinkTest, ToolsPrintTheirUsage)
{
    Ran r = vxlinker({"-h"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(kLinkerUsage, r.out);

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"x"}, {"m"}, {"-h", "c"}, {"-b", "c"}, {"M", "DOCS"}}) {
        Ran t = linktidy(args);
        EXPECT_EQ(1, t.exitCode) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(kTidyUsage, t.out);
    }
}

TEST_F(LinkTest, ConfigurationSwitches)
{
    const std::string runs = "XML_LINK_DB: 0 unindexed items found.\n";
    const std::string cleans = "Processing database DOCS...\n>> There are no link zombies for DOCS\n\n"
                               "Processing database OTHER...\n>> There are no link zombies for OTHER\n\n";
    struct Row {
        const char* links;
        const char* noLinks;
        bool linkerRuns;
        const char* linkerStop; // message when it does not run
        bool tidyRuns;
        const char* tidyStop;
    };
    const Row rows[] = {
        {"1", nullptr, true, nullptr, true, nullptr},
        {nullptr, nullptr, false, kDisabled, false, kDisabled},
        {"1", "1", false, kConflict, false, kConflict},
        {"1", "0", true, nullptr, true, nullptr},
        {"0", "1", false, kDisabled, false, kDisabled},
        {"0", nullptr, false, kDisabled, false, kDisabled},
        {nullptr, "0", false, kConflict, true, nullptr},
        {"0", "0", false, kConflict, false, kConflict},
        {nullptr, "1", false, kDisabled, false, kDisabled},
        {"", "", false, kDisabled, false, kConflict},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("XML_LINKS=") + (row.links ? row.links : "(none)") +
                     " XML_NOLINKS=" + (row.noLinks ? row.noLinks : "(none)"));
        setSwitch("XML_LINKS", row.links);
        setSwitch("XML_NOLINKS", row.noLinks);
        Ran l = vxlinker({});
        EXPECT_EQ(row.linkerRuns ? runs : std::string(row.linkerStop), l.out);
        EXPECT_EQ(row.linkerRuns ? 1 : 0, l.exitCode);
        Ran t = linktidy({"c"});
        EXPECT_EQ(row.tidyRuns ? cleans : std::string(row.tidyStop), t.out);
        EXPECT_EQ(row.tidyRuns ? 1 : 0, t.exitCode);
    }
    // -i runs whatever the switches say.
    setSwitch("XML_LINKS", "1");
    setSwitch("XML_NOLINKS", "1");
    EXPECT_EQ(runs, vxlinker({"-i"}).out);
    EXPECT_EQ(cleans, linktidy({"c", "-i"}).out);
}

TEST_F(LinkTest, StoreWritesLinkRecordsOnlyWhenLinksAreOn)
{
    struct Row {
        const char* links;
        const char* noLinks;
        bool written;
    };
    const Row rows[] = {{"1", nullptr, true},  {nullptr, nullptr, false}, {"1", "1", false},
                        {"1", "0", true},      {"2", nullptr, true},      {nullptr, "0", false},
                        {"0", nullptr, false}, {"1", "yes", true}};
    int n = 0;
    for (const Row& row : rows) {
        setSwitch("XML_LINKS", row.links);
        setSwitch("XML_NOLINKS", row.noLinks);
        std::string id = "sw" + std::to_string(++n);
        store("DOCS", id + ".xml", "<r/>", id);
        EXPECT_EQ(row.written, linkRecord(id).exists) << id;
        EXPECT_EQ(id, identityOf("DOCS", n));
    }
}

TEST_F(LinkTest, LinkerResolvesTheSampleDocuments)
{
    const std::string ex = EXAMPLES_DIR;
    int catalog = store("DOCS", "catalog.xml", readFile(ex + "/catalog.xml"));
    int authors = store("DOCS", "authors.xml", readFile(ex + "/authors.xml"));
    int publisher = store("OTHER", "publisher.xml", readFile(ex + "/publisher.xml"));
    int xsl = store("DOCS", "catalog.xsl", readFile(ex + "/catalog.xsl"));
    int dtd = storeBlob("DOCS", "catalog.dtd", readFile(ex + "/catalog.dtd"));
    const std::string idCatalog = identityOf("DOCS", catalog), idAuthors = identityOf("DOCS", authors),
                      idPublisher = identityOf("OTHER", publisher), idXsl = identityOf("DOCS", xsl),
                      idDtd = identityOf("DOCS", dtd);
    ASSERT_FALSE(idCatalog.empty());
    ASSERT_FALSE(idDtd.empty());
    EXPECT_EQ("1", linkRecord(idCatalog).checkThis);

    Ran r = vxlinker({"-v"});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_TRUE(contains(r.out, "XML_LINK_DB: 4 unindexed items found.\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nProcessing '" + idCatalog + "'...\nRELINK INFO:\n------------\nLINK #1\n"
                                "\tFROMDB.: DOCS\n\tFROMID.: " + idCatalog + "\n\tFROMURL: catalog.xml\n"
                                "\tTODB...: DOCS\n\tTOID...: " + idDtd + "\n\tTOURL..: catalog.dtd\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "LINK #5\n\tFROMDB.: DOCS\n\tFROMID.: " + idCatalog +
                                    "\n\tFROMURL: catalog.xml\n\tTODB...: OTHER\n\tTOID...: " + idPublisher +
                                    "\n\tTOURL..: publisher.xml\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "Updating link database...\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Updating catalog.xml (ID:" + idCatalog + ")\nLink established to publisher.xml (ID:" +
                                    idPublisher + ")\n\n"))
        << r.out;

    // Three links to one target leave one part, with the last link's URL;
    // the stylesheet association instruction is no link.
    LinkRecord rec = linkRecord(idCatalog);
    EXPECT_EQ("0", rec.checkThis);
    std::vector<Target> expected = {{"DOCS", idDtd, "catalog.dtd"},
                                    {"DOCS", idAuthors, "authors.xml#dostoevsky"},
                                    {"OTHER", idPublisher, "publisher.xml"}};
    EXPECT_EQ(expected, rec.targets);
    for (const std::string& id : {idAuthors, idPublisher, idXsl}) {
        EXPECT_EQ("0", linkRecord(id).checkThis) << id;
        EXPECT_TRUE(linkRecord(id).targets.empty()) << id;
    }

    Call links = getLinks("DOCS", catalog);
    EXPECT_EQ("3\nDOCS\t" + idDtd + "\tcatalog.dtd\nDOCS\t" + idAuthors + "\tauthors.xml#dostoevsky\nOTHER\t" +
                  idPublisher + "\tpublisher.xml\n",
              links.output);

    // Nothing waits any more; storing the catalogue again marks it, and a
    // second run keeps its targets without adding any.
    Ran again = vxlinker({});
    EXPECT_EQ("XML_LINK_DB: 0 unindexed items found.\n", again.out);
    EXPECT_EQ(1, again.exitCode);
    {
        Control c("DOCS");
        ASSERT_EQ(1, VdbGetRecordInBase(c, catalog));
        Call restored = run(true, "vornxmlput", c, readFile(ex + "/catalog.xml"), "URL=catalog.xml\n", IEOPT_MEMORY);
        ASSERT_EQ(1, restored.status) << restored.errortext;
    }
    EXPECT_EQ("1", linkRecord(idCatalog).checkThis);
    Ran third = vxlinker({});
    EXPECT_TRUE(contains(third.out, "XML_LINK_DB: 1 unindexed items found.\n")) << third.out;
    EXPECT_EQ(expected, linkRecord(idCatalog).targets);
    EXPECT_EQ("0", linkRecord(idCatalog).checkThis);

    // The authors document goes: its link record is a zombie for linktidy,
    // and the catalogue keeps the target it had.
    deleteRecord("DOCS", authors);
    Ran clean = linktidy({"c"});
    EXPECT_EQ(1, clean.exitCode) << clean.out;
    EXPECT_TRUE(contains(clean.out, ">> There are 1 link zombies for DOCS\nDeleted XML_LINK_DB.2\n")) << clean.out;
    EXPECT_FALSE(linkRecord(idAuthors).exists);
    EXPECT_EQ(expected, linkRecord(idCatalog).targets);
    for (const std::string& id : {idCatalog, idPublisher, idXsl})
        EXPECT_TRUE(linkRecord(id).exists) << id;
}

TEST_F(LinkTest, LinkerDeletesOnlyRecordsWhoseDocumentIsGone)
{
    int kept = store("DOCS", "kept.xml",
                     "<r xmlns:xl='http://www.w3.org/1999/xlink'><a xl:type='simple' xl:href='q.xml'/>"
                     "<b xl:type='simple' xl:href='nowhere.xml'/></r>",
                     "kept");
    int quoted = store("DOCS", "q.xml", "<q/>", "it's");
    int gone = store("DOCS", "gone.xml", "<r/>", "gone");
    deleteRecord("DOCS", gone);
    writeLinkRecord("nobase", "NO_SUCH_BASE", "1");
    writeLinkRecord("plain", "PLAIN", "1");
    writeLinkRecord("corrupt", "", "1");
    writeLinkRecord("unmarked", "NO_SUCH_BASE", "0");
    ASSERT_GT(kept, 0);
    ASSERT_GT(quoted, 0);

    Ran r = vxlinker({});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_TRUE(contains(r.out, "XML_LINK_DB: 6 unindexed items found.\n")) << r.out;
    for (const char* id : {"gone", "nobase", "plain"})
        EXPECT_TRUE(contains(r.out, std::string("Zombie link entry '") + id + "' deleted.\n")) << id << r.out;
    EXPECT_TRUE(contains(r.out, "Corrupt link record.\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Link established to q.xml (ID:it's)\n")) << r.out;

    for (const char* id : {"gone", "nobase", "plain"})
        EXPECT_FALSE(linkRecord(id).exists) << id;
    // Not marked, or not readable as a link: left alone.
    EXPECT_EQ("1", linkRecord("corrupt").checkThis);
    EXPECT_TRUE(linkRecord("unmarked").exists);
    EXPECT_EQ("0", linkRecord("it's").checkThis);
    // The unresolved link adds no target.
    LinkRecord k = linkRecord("kept");
    EXPECT_EQ("0", k.checkThis);
    EXPECT_EQ(std::vector<Target>{(Target{"DOCS", "it's", "q.xml"})}, k.targets);
}

TEST_F(LinkTest, LinktidyRefreshWritesMissingLinkRecords)
{
    setLinks(false);
    store("DOCS", "d1.xml", "<r xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='d2.xml'/></r>", "d1");
    store("DOCS", "d2.xml", "<r/>", "d2");
    storeBlob("DOCS", "pic.bin", std::string("\x01\x02\x03", 3));
    store("OTHER", "o1.xml", "<r/>", "o1");
    setLinks(true);
    ASSERT_EQ(0, recordCount("XML_LINK_DB"));

    // An empty link database: every document lacks its record.
    Ran r = linktidy({"m", "DOCS"});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_EQ("Link information written for d1\nLink information written for d2\n", r.out);
    LinkRecord d1 = linkRecord("d1");
    EXPECT_EQ("1", d1.checkThis);
    EXPECT_EQ("DOCS", d1.db);
    EXPECT_EQ("d1.xml", d1.url);
    EXPECT_EQ(2, recordCount("XML_LINK_DB"));

    // Only what is missing, under the database's own name.
    store("DOCS", "d3.xml", "<r/>", "d3");
    deleteRecord("XML_LINK_DB", 1);
    Ran again = linktidy({"m", "docs"});
    EXPECT_EQ(1, again.exitCode) << again.out;
    EXPECT_EQ("Link information written for d1\n", again.out);
    EXPECT_EQ("DOCS", linkRecord("d1").db);
    Ran none = linktidy({"m", "DOCS"});
    EXPECT_EQ("", none.out);
    EXPECT_EQ(1, none.exitCode);
    EXPECT_FALSE(linkRecord("o1").exists);

    // The marked records are what vxlinker resolves next.
    Ran linked = vxlinker({});
    EXPECT_TRUE(contains(linked.out, "XML_LINK_DB: 3 unindexed items found.\n")) << linked.out;
    EXPECT_EQ(std::vector<Target>{(Target{"DOCS", "d2", "d2.xml"})}, linkRecord("d1").targets);

    Ran missing = linktidy({"m", "NO_SUCH_BASE"});
    EXPECT_EQ(46, missing.exitCode);
    EXPECT_TRUE(contains(missing.out, "VORN error #46: ")) << missing.out;
}

TEST_F(LinkTest, LinktidyCleanDeletesExactlyTheZombies)
{
    ASSERT_EQ(1, VdbCreateBase("EMPTY", "xml")) << message(-1);
    for (const char* id : {"k1", "k2", "k3"})
        store("DOCS", std::string(id) + ".xml", "<r/>", id);
    store("OTHER", "o1.xml", "<r/>", "o1");
    int k2 = 2;
    ASSERT_EQ("k2", identityOf("DOCS", k2));
    deleteRecord("DOCS", k2);
    writeLinkRecord("e1", "EMPTY", "0");
    writeLinkRecord("e2", "EMPTY", "1");
    const int before = recordCount("XML_LINK_DB");
    ASSERT_EQ(6, before);

    // The documents of DOCS are mapped (one is gone); EMPTY holds no
    // documents, so the kernel answers the map with 32610 and all its link
    // records go; OTHER has none missing.
    Ran r = linktidy({"c"});
    EXPECT_EQ(1, r.exitCode) << r.out;
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(12u, out.size()) << r.out;
    EXPECT_EQ("Processing database DOCS...", out[0]);
    EXPECT_EQ(">> There are 1 link zombies for DOCS", out[1]);
    EXPECT_EQ("Deleted XML_LINK_DB.2", out[2]);
    EXPECT_EQ("", out[3]);
    EXPECT_EQ("Processing database EMPTY...", out[4]);
    EXPECT_EQ(">> There are 2 link zombies for EMPTY", out[5]);
    EXPECT_EQ("Deleted XML_LINK_DB.5", out[6]);
    EXPECT_EQ("Deleted XML_LINK_DB.6", out[7]);
    EXPECT_EQ("", out[8]);
    EXPECT_EQ("Processing database OTHER...", out[9]);
    EXPECT_EQ(">> There are no link zombies for OTHER", out[10]);

    for (const char* id : {"k1", "k3", "o1"})
        EXPECT_TRUE(linkRecord(id).exists) << id;
    for (const char* id : {"k2", "e1", "e2"})
        EXPECT_FALSE(linkRecord(id).exists) << id;
    EXPECT_EQ(before - 3, recordCount("XML_LINK_DB"));

    // Nothing left to clean; a link database without the link fields is
    // reported per database and nothing is touched.
    Ran again = linktidy({"c"});
    EXPECT_EQ(1, again.exitCode);
    EXPECT_FALSE(contains(again.out, "Deleted")) << again.out;
    Ran schema = linktidy({"c", "-b", "PLAIN"});
    EXPECT_EQ(1, schema.exitCode) << schema.out;
    EXPECT_TRUE(contains(schema.out, "Processing database DOCS...\n>> Database DOCS has not an updated schema.\n\n"))
        << schema.out;
    EXPECT_EQ(before - 3, recordCount("XML_LINK_DB"));
}

TEST_F(LinkTest, ToolsAuthenticateAgainstTheDataDirectory)
{
    ASSERT_EQ(1, VdbSetPassword(nullptr, "s3cret")) << message(-1);
    Ran l = vxlinker({});
    EXPECT_EQ(VDB_LOGIN, l.exitCode);
    EXPECT_TRUE(contains(l.out, "Failed to start session.\nVORN error #42: ")) << l.out;
    Ran t = linktidy({"c"});
    EXPECT_EQ(VDB_LOGIN, t.exitCode);
    EXPECT_TRUE(contains(t.out, "VORN error #42: ")) << t.out;
    EXPECT_EQ(VDB_LOGIN, vxlinker({"-u", "warden", "-p", "wrong"}).exitCode);
    EXPECT_EQ(VDB_LOGIN, linktidy({"c", "-u", "nobody", "-p", "s3cret"}).exitCode);

    Ran ok = vxlinker({"-u", "warden", "-p", "s3cret"});
    EXPECT_EQ(1, ok.exitCode) << ok.out;
    EXPECT_EQ(1, linktidy({"c", "-p", "s3cret"}).exitCode);
}

TEST_F(LinkTest, ToolsWorkInAnotherCommandLanguageAndFromARelativeDataDirectory)
{
    store("DOCS", "a.xml", "<a/>", "a");
    store("DOCS", "b.xml", "<b xmlns:xl='http://www.w3.org/1999/xlink' xl:type='simple' xl:href='a.xml'/>", "b");
    setenv("VDBS_LANGUAGE", "test", 1);

    // The programs start elsewhere; the data directory is given relative to
    // where they start.
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    std::string parent = dir.substr(0, dir.rfind('/'));
    ASSERT_EQ(0, chdir(parent.c_str()));
    setenv("VDBS_DATA", dir.substr(dir.rfind('/') + 1).c_str(), 1);
    Ran r = vxlinker({});
    Ran t = linktidy({"c"});
    ASSERT_EQ(0, chdir(cwd));
    setenv("VDBS_DATA", dir.c_str(), 1);

    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_TRUE(contains(r.out, "XML_LINK_DB: 2 unindexed items found.\n")) << r.out;
    EXPECT_EQ(std::vector<Target>{(Target{"DOCS", "a", "a.xml"})}, linkRecord("b").targets);
    EXPECT_EQ(1, t.exitCode) << t.out;
    EXPECT_TRUE(contains(t.out, ">> There are no link zombies for DOCS\n")) << t.out;
}
