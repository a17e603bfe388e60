// vxsh run as a program on stored documents: storing folders with a broken
// file, fetching, querying, updating, deleting, links, CCL and the shell
// reading from a pipe.
#include <poll.h>
#include <pty.h>
#include <string.h>

#include <set>

#include "vornapi.h"
#include "vxsh_fixture.h"

namespace vxsht {
namespace {

const char* kCatalog =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<catalog xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
    "  <book id=\"b1\" year=\"1851\"><title>Moby-Dick</title><dc:subject>whaling</dc:subject>\n"
    "    <description>A captain's <em>monomaniacal</em> hunt for the white whale.</description></book>\n"
    "  <book id=\"b2\" year=\"1813\"><title>Pride and Prejudice</title>\n"
    "    <description>Five sisters and a golden ending.</description></book>\n"
    "</catalog>\n";

const char* kAuthors = "<authors><author id=\"melville\">Herman Melville</author></authors>\n";

// identity (D_ID) of every document of base, by URL, read straight from the
// data directory once vxsh has finished.
std::map<std::string, std::string> identities(const std::string& data, const std::string& password,
                                              const std::string& base)
{
    std::map<std::string, std::string> ids;
    UpdateRCS("VDBS_DATA", data.c_str());
    if (VdbStartVorn("warden", password.c_str(), 9, 4096) != 1)
        return ids;
    VdbHandle ctl = nullptr;
    VdbCreateRecordControl(&ctl);
    VdbSetBase(ctl, base.c_str(), 2);
    auto read = [&](const char* field) {
        int f = 0;
        VdbCheckField(ctl, field, &f, nullptr, nullptr);
        VdbHandle cur = nullptr;
        std::string v;
        if (VdbSetCursor(&cur, ctl, f, 0, 1) & 1) {
            char buf[512];
            int len = 0;
            if (VdbGetLine(cur, buf, &len, sizeof buf) == 1)
                v.assign(buf, static_cast<size_t>(len));
        }
        if (cur)
            VdbDeleteCursor(cur);
        return v;
    };
    for (int rid = 1; rid < 100; ++rid)
        if (VdbGetRecordInBase(ctl, rid) & 1)
            ids[read("D_URLALIAS")] = read("D_ID");
    VdbDeleteRecordControl(ctl);
    VdbStopVorn(0);
    return ids;
}

class VxshDocs : public VxshTest {};

TEST_F(VxshDocs, StoringAFolderGoesOnPastABrokenFileAndTwiceMakesNoDuplicates)
{
    initWith({"docs"});
    std::string dir = scratch + "/corpus";
    file("corpus/catalog.xml", kCatalog);
    file("corpus/people/authors.xml", kAuthors);
    file("corpus/broken.xml", "<a>\n  <b>\n</a>\n");
    file("corpus/notes.txt", "not XML");
    file("corpus/.hidden/skip.xml", "<skip/>");

    Outcome r = vxsh({"store", "docs", dir});
    EXPECT_EQ(1, r.status);
    // The broken file: its path and the parser's message naming the line.
    EXPECT_EQ(1, lineCount(r.err)) << r.err;
    EXPECT_EQ(0u, r.err.find("vxsh store: " + dir + "/broken.xml: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("line 3")) << r.err;
    std::string bytes = std::to_string(strlen(kCatalog) + strlen(kAuthors));
    std::string summary = "Stored 2 documents into base docs (2 new, 0 replaced), " + bytes + " bytes in ";
    std::string tail = " s; 1 failed\n";
    EXPECT_EQ(0u, r.out.find(summary)) << r.out;
    EXPECT_TRUE(r.out.size() > tail.size() && r.out.compare(r.out.size() - tail.size(), tail.size(), tail) == 0 &&
                r.out.find('\n') == r.out.size() - 1)
        << r.out;
    EXPECT_TRUE(hasRow(vxsh({"bases"}).out, "docs xml 2"));

    // URLs are the paths inside the folder.
    std::map<std::string, std::string> first = identities(data, "s3cret", "docs");
    ASSERT_EQ(2u, first.size());
    ASSERT_TRUE(first.count("catalog.xml"));
    ASSERT_TRUE(first.count("people/authors.xml"));

    // Again, fixed and changed: replaced in place, same identities.
    file("corpus/broken.xml", "<a><b/></a>\n");
    file("corpus/catalog.xml", "<catalog><book><title>Changed</title></book></catalog>\n");
    r = vxsh({"store", "docs", dir});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_NE(std::string::npos, r.out.find("Stored 3 documents into base docs (1 new, 2 replaced)")) << r.out;
    std::map<std::string, std::string> second = identities(data, "s3cret", "docs");
    EXPECT_EQ(3u, second.size());
    EXPECT_EQ(first["catalog.xml"], second["catalog.xml"]);
    EXPECT_EQ(first["people/authors.xml"], second["people/authors.xml"]);
    r = vxsh({"query", "docs", "//title", "--count"});
    EXPECT_EQ("1 node in 1 document\n", r.out);

    // A single file keeps its name as URL; --url-base goes in front.
    r = vxsh({"store", "docs", dir + "/people/authors.xml"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("(1 new, 0 replaced)")) << r.out;
    r = vxsh({"store", "docs", dir, "--url-base", "http://example.org/c/"});
    EXPECT_EQ(0, r.status) << r.err;
    std::map<std::string, std::string> all = identities(data, "s3cret", "docs");
    EXPECT_TRUE(all.count("authors.xml"));
    EXPECT_TRUE(all.count("http://example.org/c/people/authors.xml"));
    EXPECT_EQ(7u, all.size());
}

TEST_F(VxshDocs, OnATerminalAProgressLineThatMessagesAndTheSummaryReplace)
{
    initWith({"docs"});
    for (int i = 0; i < 5; ++i)
        file("corpus/d" + std::to_string(i) + ".xml", kCatalog);
    file("corpus/d2.xml", "<a><b></a>");

    int master = -1;
    std::vector<std::string> envText;
    for (const auto& kv : env)
        envText.push_back(kv.first + "=" + kv.second);
    envText.push_back("TERM=dumb");
    std::vector<char*> envp;
    for (std::string& e : envText)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string dir = scratch + "/corpus";
    const char* argv[] = {VXSH_PATH, "store", "docs", dir.c_str(), nullptr};
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_LE(0, pid);
    if (pid == 0) {
        execve(VXSH_PATH, const_cast<char**>(argv), envp.data());
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);  // EIO once vxsh has gone
        if (n <= 0)
            break;
        screen.append(buf, static_cast<size_t>(n));
    }
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(1, WEXITSTATUS(st)) << screen;

    // The terminal turns each line feed into "\r\n"; the progress line is
    // rewritten in place after "\r\033[K".
    const std::string erase = "\r\033[K";
    EXPECT_NE(std::string::npos, screen.find(erase + "5/5 documents  ")) << screen;
    EXPECT_NE(std::string::npos, screen.find(" MB/s")) << screen;
    // The failure and the summary each start on a cleared line of their own.
    size_t failure = screen.find("vxsh store: " + dir + "/d2.xml: ");
    ASSERT_NE(std::string::npos, failure) << screen;
    EXPECT_EQ(erase, screen.substr(failure - erase.size(), erase.size())) << screen;
    size_t summary = screen.find("Stored 4 documents into base docs (4 new, 0 replaced)");
    ASSERT_NE(std::string::npos, summary) << screen;
    EXPECT_EQ(erase, screen.substr(summary - erase.size(), erase.size())) << screen;
    EXPECT_EQ(std::string::npos, screen.find("documents  ", summary)) << "progress after the summary: " << screen;
}

TEST_F(VxshDocs, StoreReportsEachProblemWithItsPath)
{
    initWith({"docs"});
    ASSERT_EQ(0, vxsh({"create", "links", "--design", "link"}).status);
    file("one/a.xml", "<a/>");
    file("two/a.xml", "<a>two</a>");
    file("empty/readme.txt", "nothing to see");

    // Two files that would get one URL: the second is refused, not stored
    // over the first.
    Outcome r = vxsh({"store", "docs", scratch + "/one", scratch + "/two", scratch + "/missing.xml"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(2, lineCount(r.err)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("vxsh store: " + scratch + "/missing.xml: No such file or directory\n"))
        << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("vxsh store: " + scratch + "/two/a.xml: its URL 'a.xml' is the URL of " + scratch +
                         "/one/a.xml"))
        << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Stored 1 document into base docs (1 new, 0 replaced)")) << r.out;

    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"store", "docs", scratch + "/empty"},
         "vxsh store: found nothing to store in " + scratch +
             "/empty: folders are searched for *.xml files (--all stores every file)\n"},
        {{"store", "nosuch", scratch + "/one"}, "vxsh store: no base named 'nosuch' (see 'vxsh bases')\n"},
        {{"store", "links", scratch + "/one"}, "vxsh store: base links holds no XML documents: its design is link\n"},
        {{"store", "docs", "--all", scratch + "/empty"}, "vxsh store: " + scratch + "/empty/readme.txt: "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.args[1] + " " + k.args.back());
        r = vxsh(k.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.err.find(k.message)) << r.err;
        EXPECT_EQ(1, lineCount(r.err)) << r.err;
    }
}

TEST_F(VxshDocs, GetReturnsTheStoredTextOrRebuildsItAndNonXmlByteForByte)
{
    initWith({"docs"});
    std::string cat = file("in/catalog.xml", kCatalog);
    std::string bin = file("in/logo.bin", std::string("\x89PNG\r\n\x1a\n\0\x01\xff", 11));
    ASSERT_EQ(0, vxsh({"store", "docs", cat}).status);
    ASSERT_EQ(0, vxsh({"store-blob", "docs", bin}).status);

    Outcome r = vxsh({"get", "docs", "--url", "catalog.xml"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(kCatalog, r.out);

    r = vxsh({"get", "docs", "--url", "catalog.xml", "--rebuild"});
    EXPECT_EQ(0, r.status) << r.err;
    std::string why;
    EXPECT_TRUE(parsesAsXml(r.out, scratch, &why)) << why << r.out;
    EXPECT_NE(std::string::npos, r.out.find("<title>Moby-Dick</title>")) << r.out;

    std::string out = scratch + "/out/copy.bin";
    mkdir((scratch + "/out").c_str(), 0700);
    r = vxsh({"get", "docs", "--url", "logo.bin", "-o", out});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(readFile(bin), readFile(out));

    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"get", "docs", "--url", "nosuch.xml"}, "vxsh get: no document with URL 'nosuch.xml' in base docs\n"},
        {{"get", "docs", "--id", "x' OR ALL"}, "vxsh get: no document with identity 'x' OR ALL' in base docs\n"},
        {{"get", "docs", "--url", "logo.bin", "--rebuild"},
         "vxsh get: cannot rebuild the document with URL 'logo.bin' in base docs: it is a non-XML document\n"},
        {{"get", "docs", "--url", "catalog.xml", "-o", scratch + "/no/dir/x.xml"},
         "vxsh get: cannot write "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.args[3]);
        r = vxsh(k.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.err.find(k.message)) << r.err;
        EXPECT_EQ("", r.out);
    }
    // A failed get leaves no file behind, not even a partial one.
    EXPECT_NE(0, access((scratch + "/no").c_str(), F_OK));

    // A non-XML file replaces a non-XML document, but not an XML one, whose
    // nodes would stay behind for queries to find.
    writeFile(bin, "second version");
    r = vxsh({"store-blob", "docs", bin});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("(0 new, 1 replaced)")) << r.out;
    EXPECT_EQ("second version", vxsh({"get", "docs", "--url", "logo.bin"}).out);
    r = vxsh({"store-blob", "docs", cat});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("vxsh store-blob: " + cat + ": its URL 'catalog.xml' names an XML document in base docs, which a "
              "non-XML document does not replace; delete it first ('vxsh delete docs --url catalog.xml')\n",
              r.err);
    EXPECT_EQ(kCatalog, vxsh({"get", "docs", "--url", "catalog.xml"}).out);
}

TEST_F(VxshDocs, QueryOutputParsesAsXml)
{
    initWith({"docs"});
    ASSERT_EQ(0, vxsh({"store", "docs", file("in/catalog.xml", kCatalog), file("in/authors.xml", kAuthors)}).status);

    Outcome r = vxsh({"query", "docs", "//book"});
    ASSERT_EQ(0, r.status) << r.err;
    std::string why;
    EXPECT_TRUE(parsesAsXml(r.out, scratch, &why)) << why << r.out;
    EXPECT_NE(std::string::npos, r.out.find("RECORDCOUNT=\"1\"")) << r.out;

    r = vxsh({"query", "docs", "//book[@year < 1850]", "--fragments", "//book[@year < 1850]/title"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(parsesAsXml(r.out, scratch, &why)) << why << r.out;
    EXPECT_NE(std::string::npos, r.out.find("<title>Pride and Prejudice</title>")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("Moby-Dick")) << r.out;

    // Highlighted text and a fragment with a namespace prefix from above it.
    r = vxsh({"query", "docs", "//description[contains(., 'whale')]", "--fragments",
              "//description[contains(., 'whale')]", "--highlight"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(parsesAsXml(r.out, scratch, &why)) << why << r.out;
    EXPECT_NE(std::string::npos, r.out.find("white <VORNHLBEGIN")) << r.out;
    r = vxsh({"query", "docs", "//dc:subject", "--fragments", "//dc:subject"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(parsesAsXml(r.out, scratch, &why)) << why << r.out;

    r = vxsh({"query", "docs", "//book/title", "--count"});
    EXPECT_EQ("2 nodes in 1 document\n", r.out);
    r = vxsh({"query", "docs", "//nothing", "--count"});
    EXPECT_EQ("0 nodes in 0 documents\n", r.out);

    r = vxsh({"query", "docs", "//a["});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("vxsh query: XPath '//a[': ")) << r.err;
    EXPECT_EQ(1, lineCount(r.err));
    EXPECT_EQ("", r.out);
    r = vxsh({"query", "docs", "//a", "--fragments", "//a["});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("vxsh query: --fragments '//a[': ")) << r.err;
}

TEST_F(VxshDocs, UpdateChangesTextAndAttributesAndGetShowsTheChange)
{
    initWith({"docs"});
    ASSERT_EQ(0, vxsh({"store", "docs", file("in/catalog.xml", kCatalog)}).status);

    Outcome r = vxsh({"update", "docs", "//book[@id='b2']/title/text()", "Emma"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Updated 1 value in 1 document\n", r.out);
    r = vxsh({"update", "docs", "//book/@year", "1900"});
    EXPECT_EQ("Updated 2 values in 1 document\n", r.out);
    r = vxsh({"get", "docs", "--url", "catalog.xml"});
    EXPECT_NE(std::string::npos, r.out.find("<title>Emma</title>")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("1851")) << r.out;

    // Elements take no value: nothing changes and the message says why.
    r = vxsh({"update", "docs", "//title", "x"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("vxsh update: XPath '//title' selects 2 element nodes but no text or attribute node; "
              "select the text, as in //title/text()\n",
              r.err);
    r = vxsh({"update", "docs", "//nothing/text()", "x"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("No node matches '//nothing/text()'; nothing was changed\n", r.out);
    EXPECT_NE(std::string::npos, vxsh({"get", "docs", "--url", "catalog.xml"}).out.find("<title>Moby-Dick</title>"));
}

TEST_F(VxshDocs, DeleteRemovesTheDocumentAndItsLinkRecord)
{
    env["XML_LINKS"] = "1";
    env["XML_LINK_DB"] = "links";
    initWith({"docs"});
    ASSERT_EQ(0, vxsh({"create", "links", "--design", "link"}).status);
    ASSERT_EQ(0, vxsh({"store", "docs", file("in/catalog.xml", kCatalog), file("in/authors.xml", kAuthors)}).status);
    EXPECT_TRUE(hasRow(vxsh({"bases"}).out, "links link 2"));

    Outcome r = vxsh({"delete", "docs", "--url", "authors.xml"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Deleted authors.xml from base docs, and its link record from links\n", r.out);
    std::string bases = vxsh({"bases"}).out;
    EXPECT_TRUE(hasRow(bases, "docs xml 1")) << bases;
    EXPECT_TRUE(hasRow(bases, "links link 1")) << bases;
    r = vxsh({"delete", "docs", "--url", "authors.xml"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("vxsh delete: no document with URL 'authors.xml' in base docs\n", r.err);
}

TEST_F(VxshDocs, LinksAfterVxlinkerResolvedThem)
{
    env["XML_LINKS"] = "1";
    env["XML_LINK_DB"] = "links";
    initWith({"docs"});
    ASSERT_EQ(0, vxsh({"create", "links", "--design", "link"}).status);
    std::string cat = file("in/catalog.xml",
                           "<catalog xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
                           "<author xlink:type=\"simple\" xlink:href=\"authors.xml#melville\">H. M.</author>"
                           "<author xlink:type=\"simple\" xlink:href=\"gone.xml\">?</author></catalog>");
    ASSERT_EQ(0, vxsh({"store", "docs", cat, file("in/authors.xml", kAuthors)}).status);

    Outcome r = vxsh({"links", "docs", "--url", "catalog.xml"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("No link targets recorded for the document with URL 'catalog.xml' in base docs\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("run vxlinker")) << r.err;

    Outcome l = runProgram(VXLINKER_PATH, {"-u", "warden", "-p", "s3cret"});
    ASSERT_EQ(1, l.status) << l.out << l.err;  // vxlinker's success
    std::string id = identities(data, "s3cret", "docs")["authors.xml"];
    r = vxsh({"links", "docs", "--url", "catalog.xml"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ("TARGET URL BASE IDENTITY\nauthors.xml#melville docs " + id + "\n", squeezed(r.out));

    env.erase("XML_LINKS");
    r = vxsh({"links", "docs", "--url", "catalog.xml"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("links are not recorded")) << r.err;
}

TEST_F(VxshDocs, CclCommandsAndTheShellFromAPipe)
{
    initWith({"docs"});
    ASSERT_EQ(0, vxsh({"store", "docs", file("in/catalog.xml", kCatalog), file("in/authors.xml", kAuthors)}).status);

    Outcome r = vxsh({"ccl", "docs", "FIND", "N_NAME=title", "AND.T", "N_TYPE=ELEMENT"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("set 1: 1 record, 2 hits\n", r.out);
    r = vxsh({"ccl", "docs", "FIND N_NAM=x"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("vxsh ccl: 'FIND N_NAM=x': ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("N_NAM")) << r.err;
    EXPECT_EQ(1, lineCount(r.err));
    r = vxsh({"ccl", "nosuch", "FIND ALL"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("vxsh ccl: no base named 'nosuch' (see 'vxsh bases')\n", r.err);

    // Commands from standard input: a failing line is reported by number.
    r = vxsh({"ccl", "docs"}, "# sets\nFIND ALL\n\nFIND N_NAME=nothing\nFIND S=1 AND N_TVALUE=$whale$\nBOGUS\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("set 1: 2 records, 2 hits\nno hits (no set made)\nset 2: 1 record, 1 hit\n", r.out);
    EXPECT_EQ(0u, r.err.find("vxsh ccl: line 6: 'BOGUS': ")) << r.err;

    // The shell keeps its sets between commands: a query's set is there
    // for the CCL that follows.
    r = vxsh({"shell"}, "query docs //book --count\n"
                        "FIND S=1 AND N_TVALUE=$Moby$\n"
                        "SHOW BASE LIST\n"
                        "get docs --url nosuch.xml\n"
                        "delete S=1\n"
                        "DELETE S=1\n"
                        "FIND S=1\n"
                        "quit\n"
                        "bases\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("2 nodes in 1 document\nset 1: 1 record, 2 hits\nset 2: 1 record, 1 hit\ndocs\n", r.out);
    EXPECT_EQ(0u, r.err.find("get: no document with URL 'nosuch.xml' in base docs\n"
                             "delete: missing --id ID or --url URL (CCL's DELETE is written in capitals here; "
                             "see 'help delete')\n"
                             "error: "))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("set 1 does not exist")) << r.err;
    EXPECT_EQ(3, lineCount(r.err)) << r.err;

    r = vxsh({"shell"}, "bases\n");
    EXPECT_EQ(0, r.status) << r.err;

    // A document that fails in the shell is reported like the shell's other failures.
    std::string broken = file("in/broken.xml", "<a>\n<b></a>");
    r = vxsh({"shell"}, "store docs " + broken + "\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("store: " + broken + ": XML Parsing Error at line 2")) << r.err;
    EXPECT_EQ(1, lineCount(r.err)) << r.err;
}

}  // namespace
}  // namespace vxsht
