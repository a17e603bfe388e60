// The query and update operations through the kernel and the filter module:
// documents stored with vornxmlput, vornxmlquery and vornxmlupdate run with
// VdbExport the way a client runs them.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "filexmit.h"
#include "store_fixture.h"

namespace {

const char* kUri = "urn:vorn:vornxml:3.0";

struct Call {
    int status = 0;
    int errorcode = 0;
    std::string errortext;
    bool terminated = false;  // errortext ends within its room
    std::string output;
};

class QueryTest : public qt::StoreTest {
protected:
    int rid1 = 0, rid2 = 0;

    // Through the store filter, as a client stores them.
    void storeTwo()
    {
        std::string error;
        rid1 = storeXml("<r id=\"1\"><b>x</b><b>y</b><a id=\"7\">gold</a><!--c--></r>", "/t/one.xml", &error);
        ASSERT_GT(rid1, 0) << error;
        rid2 = storeXml("<r id=\"2\"><b>y</b><a id=\"8\">old gold</a></r>", "/t/two.xml", &error);
        ASSERT_GT(rid2, 0) << error;
    }

    static Call run(const char* filter, const std::string& args, const char* input = nullptr, int vdbOptions = 0,
                    int filterOptions = 0, void* buffer = nullptr)
    {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", filter);
        std::string a = args;
        fd.filter_arguments = a.empty() ? nullptr : &a[0];
        fd.arg_length = static_cast<int>(a.size());
        fd.vdb_options = vdbOptions ? vdbOptions : IEOPT_MEMORY | EXPORT_ALLOC;
        fd.filter_options = filterOptions;
        if (buffer) {
            fd.buffer = buffer;
        } else if (input) {
            fd.buffer = const_cast<char*>(input);
            fd.buffer_length = static_cast<int>(strlen(input));
        }
        Call c;
        c.status = VdbExport(&fd);
        c.errorcode = fd.errorcode;
        c.terminated = memchr(fd.errortext, 0, sizeof fd.errortext) != nullptr;
        c.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        if ((fd.vdb_options & IEOPT_MEMORY) && fd.buffer && fd.buffer != input && fd.buffer != buffer) {
            c.output.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
            free(fd.buffer);
        }
        return c;
    }

    static std::string resultElement(int set, int records)
    {
        return std::string("<vornxml:QUERYRESULT xmlns:vornxml=\"") + kUri + "\" vornxml:SEARCHSET=\"" +
               std::to_string(set) + "\" vornxml:RECORDCOUNT=\"" + std::to_string(records) + "\" />";
    }

    // Number of the set a result element names.
    static int setOf(const std::string& out)
    {
        size_t p = out.find("SEARCHSET=\"");
        return p == std::string::npos ? -1 : atoi(out.c_str() + p + 11);
    }

    static int hitCount(int set)
    {
        int records = 0, hits = 0;
        EXPECT_EQ(1, VdbGetSearch(&set, &records, &hits)) << qt::kernelMessage(-1);
        return hits;
    }
};

TEST_F(QueryTest, ResultElementNamesASetThatOutlivesTheCall)
{
    storeTwo();
    Call c = run("vornxmlquery", "XPATHQUERY=//a[contains(.,'gold')]\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(1, c.errorcode);
    EXPECT_EQ(resultElement(1, 2), c.output);
    EXPECT_EQ(2, hitCount(1));

    // The translation's own sets are gone: a second query's set follows it.
    c = run("vornxmlquery", "xpathquery=/r[b='x']/b\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(resultElement(2, 1), c.output);
    EXPECT_EQ(2, hitCount(2));

    // Nothing found is still a set, with no records.
    c = run("vornxmlquery", "XPATHQUERY=//nothing\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(resultElement(3, 0), c.output);
}

TEST_F(QueryTest, OutputToNamedFileOpenFileAndStream)
{
    storeTwo();
    std::string path = dir + "/out.xml";
    Call c = run("vornxmlquery", "XPATHQUERY=//b\n", nullptr, IEOPT_FILENAME, 0, const_cast<char*>(path.c_str()));
    ASSERT_EQ(1, c.status) << c.errortext;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(resultElement(setOf(text.str()), 2), text.str());

    FILE* fp = tmpfile();
    ASSERT_NE(nullptr, fp);
    c = run("vornxmlquery", "XPATHQUERY=//a\n", nullptr, IEOPT_FILE, 0, fp);
    ASSERT_EQ(1, c.status) << c.errortext;
    rewind(fp);
    char buf[512] = "";
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    EXPECT_EQ(resultElement(setOf(buf), 2), std::string(buf, n));

    // Over the stream: the reader gets the element, sized, then the call ends.
    struct Sink {
        std::string data;
        std::atomic<bool> done{false};
    } sink;
    FTMContext* reader = nullptr;
    auto collect = [](void* data, int length, void* user) -> int {
        Sink* s = static_cast<Sink*>(user);
        if (length > 0)
            s->data.append(static_cast<const char*>(data), static_cast<size_t>(length));
        return 0;
    };
    ASSERT_EQ(0, VfxFTMCreateReader(&reader, 0, nullptr, collect, &sink, 0));
    std::string url = "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(reader)) + "/q";
    c = run("vornxmlquery", "XPATHQUERY=//r\nFILEURL=" + url + "\n", nullptr, IEOPT_MEMORY, FO_STREAM);
    ASSERT_EQ(1, c.status) << c.errortext;
    for (int i = 0; i < 200 && VfxFTMGetTransferStatus(reader, nullptr) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, VfxFTMGetTransferStatus(reader, nullptr));
    VfxFTMCloseListener(reader);
    EXPECT_EQ(resultElement(setOf(sink.data), 2), sink.data);
}

TEST_F(QueryTest, RefusalsSayWhatWasWrong)
{
    storeTwo();
    struct Case {
        const char* filter;
        std::string args;
        const char* input;
        int vdbOptions;
        int filterOptions;
        std::string message;
    } cases[] = {
        {"vornxmlquery", "", nullptr, 0, 0, "Either SEARCHSET or XPATHQUERY must be specified."},
        {"vornxmlquery", "XPATHQUERY=//a\n", nullptr, IEOPT_MEMORY, FO_STREAM,
         "Required argument FILEURL missing for stream export."},
        {"vornxmlquery", "XPATHQUERY=//a\n", "/nonexistent/dir/out.xml", IEOPT_FILENAME, 0,
         "Could not open file \"/nonexistent/dir/out.xml\"."},
        {"vornxmlquery", "SEARCHSET=1\n", nullptr, 0, 0,
         "XPATHFRAGMENTS was not specified - required when SEARCHSET is specified."},
        {"vornxmlquery", "XPATHQUERY=//a[\n", nullptr, 0, 0, "syntax error"},
        {"vornxmlquery", "XPATHQUERY=//a[1+2]\n", nullptr, 0, 0, "Paired expressions are not yet fully implemented."},
        {"vornxmlupdate", "", "v", 0, 0, "The XPATHQUERY option is required."},
        {"vornxmlupdate", "XPATHQUERY=//b/text()\n", nullptr, 0, 0, "No replacement value specified."},
        {"vornxmlupdate", "XPATHQUERY=//b[\n", "v", 0, 0, "syntax error"},
    };
    for (const Case& k : cases) {
        Call c = run(k.filter, k.args, k.input, k.vdbOptions, k.filterOptions,
                     k.vdbOptions == IEOPT_FILENAME ? const_cast<char*>(k.input) : nullptr);
        EXPECT_EQ(0, c.status) << k.args;
        EXPECT_EQ(0, c.errorcode) << k.args;
        EXPECT_EQ(k.message, c.errortext) << k.args;
    }

    // A message longer than errortext's room is cut and still terminated.
    std::string axis(400, 'x');
    Call c = run("vornxmlquery", "XPATHQUERY=" + axis + "::a\n");
    EXPECT_EQ(0, c.status);
    EXPECT_TRUE(c.terminated);
    EXPECT_EQ(255u, c.errortext.size());
    EXPECT_EQ(0u, c.errortext.find("Invalid axis \"xxxx"));

    // A set that does not exist is not an empty answer.
    c = run("vornxmlquery", "SEARCHSET=42\nXPATHFRAGMENTS=//a\n");
    EXPECT_EQ(VDB_NOSET, c.status);
    EXPECT_NE(std::string::npos, c.errortext.find("Error #")) << c.errortext;
}

TEST_F(QueryTest, OnlyUnicodeSessionsQueryAndUpdate)
{
    VdbStopVorn(0);
    setenv("VDBS_CHARS", "LA2", 1);
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << qt::kernelMessage(-1);
    ccl("BASE xdb");
    for (const char* filter : {"vornxmlquery", "vornxmlupdate"}) {
        Call c = run(filter, "XPATHQUERY=//a\n", "v");
        EXPECT_EQ(0, c.status);
        EXPECT_EQ("The VORNxml XPath functionality must be used from within a Unicode session.", c.errortext);
    }
    unsetenv("VDBS_CHARS");
}

TEST_F(QueryTest, UpdatedValuesAreFoundByLaterQueries)
{
    storeTwo();
    Call c = run("vornxmlupdate", "XPATHQUERY=//b[.='y']/text()\n", "z&z");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(1, c.errorcode);
    c = run("vornxmlquery", "XPATHQUERY=//b[.='z&z']\n");
    EXPECT_EQ(resultElement(setOf(c.output), 2), c.output);
    c = run("vornxmlquery", "XPATHQUERY=//b[.='y']\n");
    EXPECT_EQ(resultElement(setOf(c.output), 0), c.output);
    c = run("vornxmlquery", "XPATHQUERY=//b[contains(.,'&')]\n");
    EXPECT_EQ(resultElement(setOf(c.output), 2), c.output);

    // Attribute values too; element hits are left alone.
    c = run("vornxmlupdate", "XPATHQUERY=//a/@id | //a\n", "9");
    ASSERT_EQ(1, c.status) << c.errortext;
    c = run("vornxmlquery", "XPATHQUERY=//a[@id='9']\n");
    EXPECT_EQ(resultElement(setOf(c.output), 2), c.output);
    c = run("vornxmlquery", "XPATHQUERY=//a[.='gold']\n");
    EXPECT_EQ(resultElement(setOf(c.output), 1), c.output);
}

TEST_F(QueryTest, UpdateWithinASetTouchesOnlyItsRecords)
{
    storeTwo();
    Call c = run("vornxmlquery", "XPATHQUERY=/r[@id='2']\n");
    int only2 = setOf(c.output);
    ASSERT_GE(only2, 1);
    c = run("vornxmlupdate", "XPATHQUERY=//a/text()\nSEARCHSET=" + std::to_string(only2) + "\n", "silver");
    ASSERT_EQ(1, c.status) << c.errortext;
    c = run("vornxmlquery", "XPATHQUERY=//a[.='silver']/@id\n");
    EXPECT_EQ(resultElement(setOf(c.output), 1), c.output);
    int found = setOf(c.output);
    VdbHandle ctl = nullptr;
    VdbCreateRecordControl(&ctl);
    int rid = 0;
    char base[64];
    ASSERT_EQ(1, VdbGetRecordInSearchRis(ctl, found, 1, &rid, base));
    EXPECT_EQ(rid2, rid);
    VdbDeleteRecordControl(ctl);
    c = run("vornxmlquery", "XPATHQUERY=//a[.='gold']\n");
    EXPECT_EQ(resultElement(setOf(c.output), 1), c.output);
}

TEST_F(QueryTest, FragmentSets)
{
    storeTwo();
    int rid3 = storeXml("<r id=\"3\"><p:a xmlns:p=\"urn:p\" id=\"9\">tin</p:a></r>", "/t/three.xml");
    ASSERT_GT(rid3, 0);
    const std::string head = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><vornxml:FRAGMENTSET xmlns:vornxml=\"") +
                             kUri + "\" vornxml:SEARCHSET=\"1\" vornxml:RECORDCOUNT=\"3\" vornxml:FRAGMENTCOUNT=\"";
    auto frag = [](int rid, int ris, const std::string& defs, const std::string& body) {
        return "<vornxml:FRAGMENT vornxml:RID=\"" + std::to_string(rid) + "\" vornxml:RIS=\"" + std::to_string(ris) +
               "\" vornxml:DATABASE=\"xdb\"" + defs + ">\n" + body + "</vornxml:FRAGMENT>\n";
    };

    // Only the second record has a hit: one fragment, and a fragment count of 1.
    Call c = run("vornxmlquery", "XPATHQUERY=/r\nXPATHFRAGMENTS=//a[@id='8']\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(head + "1\" >\n" + frag(rid2, 1, "", "<a id=\"8\">old gold</a>\n") + "</vornxml:FRAGMENTSET>", c.output);

    // A prefixed fragment carries its declaration; the query's hits are marked.
    ccl("DELETE S=0");
    c = run("vornxmlquery", "XPATHQUERY=//r[contains(.,'in')]\nXPATHFRAGMENTS=//*[@id='9']\n", nullptr, 0, FO_HIGHLIGHT);
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_NE(std::string::npos,
              c.output.find(frag(rid3, 1, " xmlns:p=\"urn:p\"",
                                 "<p:a xmlns:p=\"urn:p\" id=\"9\">t<VORNHLBEGIN xmlns=\"" + std::string(kUri) +
                                     "\"/>in<VORNHLEND xmlns=\"" + kUri + "\"/></p:a>\n")))
        << c.output;

    // FROM and TO are positions in the query's result; an existing set can
    // be named instead of a query.
    ccl("DELETE S=0");
    c = run("vornxmlquery", "XPATHQUERY=/r\nXPATHFRAGMENTS=//b | //a\nFROM=2\nTO=2\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(head + "3\" >\n" + frag(rid2, 2, "", "<b>y</b>\n") + frag(rid2, 2, "", "<a id=\"8\">old gold</a>\n") +
                  "</vornxml:FRAGMENTSET>",
              c.output);
    c = run("vornxmlquery", "SEARCHSET=1\nXPATHFRAGMENTS=/r/@id\nFROM=3\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_EQ(head + "3\" >\n" + frag(rid3, 3, "", "") + "</vornxml:FRAGMENTSET>", c.output);

    // A fragment expression that cannot be answered fails the call.
    c = run("vornxmlquery", "SEARCHSET=1\nXPATHFRAGMENTS=//a[\n");
    EXPECT_EQ(0, c.status);
    EXPECT_EQ("syntax error", c.errortext);
    c = run("vornxmlquery", "SEARCHSET=1\nXPATHFRAGMENTS=//a[foo()]\n");
    EXPECT_EQ(0, c.status);
    EXPECT_EQ("Invalid node type \"foo\"", c.errortext);

    // A fragment in a default namespace keeps it.
    ccl("DELETE S=0");
    int rid4 = storeXml("<r id=\"4\" xmlns=\"urn:d\"><a id=\"10\">zinc</a></r>", "/t/four.xml");
    ASSERT_GT(rid4, 0);
    c = run("vornxmlquery", "XPATHQUERY=//r[@id='4']\nXPATHFRAGMENTS=//a\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    EXPECT_NE(std::string::npos, c.output.find(frag(rid4, 1, " xmlns=\"urn:d\"", "<a id=\"10\">zinc</a>\n")))
        << c.output;
}

TEST_F(QueryTest, NamespaceDeclarationsFollowEachRecordOfAFragmentSet)
{
    // Records with and without prefixes and default namespaces, interleaved:
    // each fragment gets the declarations of its own record only.
    const char* docs[] = {
        "<r><a id=\"1\">x</a></r>",
        "<r xmlns:p=\"urn:p\"><p:a id=\"2\">x</p:a></r>",
        "<r><a id=\"3\">x</a></r>",
        "<r xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"><p:a id=\"4\"><q:b/></p:a></r>",
        "<r xmlns=\"urn:d\"><a id=\"5\">x</a></r>",
        "<r><a id=\"6\" xml:lang=\"en\">x</a></r>",
    };
    const char* defs[] = {"", " xmlns:p=\"urn:p\"", "", " xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"", " xmlns=\"urn:d\"", ""};
    std::string expected;
    for (int i = 0; i < 6; ++i) {
        std::string error;
        int rid = storeXml(docs[i], "/t/ns" + std::to_string(i) + ".xml", &error);
        ASSERT_GT(rid, 0) << error;
        expected += "<vornxml:FRAGMENT vornxml:RID=\"" + std::to_string(rid) + "\" vornxml:RIS=\"" +
                    std::to_string(i + 1) + "\" vornxml:DATABASE=\"xdb\"" + defs[i] + ">\n";
    }
    Call c = run("vornxmlquery", "XPATHQUERY=/*\nXPATHFRAGMENTS=//*[@id]\n");
    ASSERT_EQ(1, c.status) << c.errortext;
    // The start tags of the fragments, one per line.
    std::string tags;
    for (size_t at = c.output.find("<vornxml:FRAGMENT "); at != std::string::npos;
         at = c.output.find("<vornxml:FRAGMENT ", at + 1))
        tags += c.output.substr(at, c.output.find('\n', at) + 1 - at);
    EXPECT_EQ(expected, tags) << c.output;
}

}  // namespace
