// The client library's import and export calls against the real kernel and
// filter module, streamed and not, with each result compared to the original
// document; the argument text and options they hand the filter; the non-XML
// and query stream paths.
#include <errno.h>
#include <sys/stat.h>

#include <functional>

#include "client_fixture.h"
#include "filexmit.h"

using namespace vxc;

namespace {

// A document in the form the filter rebuilds it, so that the rebuilt text
// and the raw text must both equal it byte for byte: the declaration on its
// own line, start and end tags for empty elements, double-quoted attributes,
// and a text node last in the root so that only the root closes at the end.
std::string document(size_t minSize)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalogue xmlns:x=\"urn:x\" version=\"2\">";
    for (int i = 0; s.size() < minSize; ++i) {
        std::string n = std::to_string(i);
        s += "\n  <item id=\"" + n + "\" kind=\"a &amp; b &lt; c\"><title>Item " + n +
             " &amp; caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac</title><x:note>HoXXoH in the text</x:note>"
             "<empty></empty><![CDATA[<raw> & ]]]><!--comment " +
             n + "--></item>";
    }
    s += "\n  <last></last>tail</catalogue>\n";
    return s;
}

// One way of storing a document through the library.
struct ImportCase {
    const char* name;
    bool rawKept; // the raw text is stored beside the nodes
    std::function<int(ClientTest*, VdbHandle, const std::string& path, const std::string& doc)> run;
};

class ClientRoundTrip : public ClientTest {
public:
    std::string urlOf(FTMContext* listener)
    {
        return "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(listener)) + "/";
    }
};

TEST_F(ClientRoundTrip, EveryImportGivesBackTheDocument)
{
    const std::string doc = document(100 * 1024);
    // A listener of the test's own plays the web server for the URL import.
    std::string served = file("served.xml", doc);
    FTMContext* web = nullptr;
    ASSERT_EQ(0, VfxFTMCreateListener(&web, 0, nullptr, 0, nullptr, served.c_str()));
    const std::string webUrl = urlOf(web);

    std::vector<ImportCase> cases = {
        {"file", false, [](ClientTest*, VdbHandle c, const std::string& p, const std::string&) {
             return VXImportXMLFile(c, p.c_str(), "/docs/cat.xml", 0, 0, 0, 0, LogSink::write);
         }},
        {"file, raw text kept", true, [](ClientTest*, VdbHandle c, const std::string& p, const std::string&) {
             return VXImportXMLFile(c, p.c_str(), "/docs/cat.xml", 0, 1, 0, 0, LogSink::write);
         }},
        {"file streamed", false, [](ClientTest*, VdbHandle c, const std::string& p, const std::string&) {
             return VXImportXMLFile(c, p.c_str(), "/docs/cat.xml", 0, 1, 1, 0, LogSink::write);
         }},
        {"file streamed, validated", false, [](ClientTest*, VdbHandle c, const std::string& p, const std::string&) {
             return VXImportXMLFile(c, p.c_str(), "/docs/cat.xml", 1, 0, 1, 0, nullptr);
         }},
        {"buffer", false, [](ClientTest*, VdbHandle c, const std::string&, const std::string& d) {
             return VXImportXMLBuffer(c, d.data(), static_cast<int>(d.size()), "/docs/cat.xml", 0, 0, nullptr);
         }},
        {"buffer, raw text kept", true, [](ClientTest*, VdbHandle c, const std::string&, const std::string& d) {
             return VXImportXMLBuffer(c, d.data(), static_cast<int>(d.size()), "/docs/cat.xml", 0, 1, nullptr);
         }},
        {"local file as URL", false, [](ClientTest*, VdbHandle c, const std::string& p, const std::string&) {
             return VXImportXMLURL(c, p.c_str(), 0, 1, LogSink::write);
         }},
        {"web URL", false, [&](ClientTest*, VdbHandle c, const std::string&, const std::string&) {
             return VXImportXMLURL(c, webUrl.c_str(), 0, 1, nullptr);
         }},
        {"callback in small pieces", true, [](ClientTest*, VdbHandle c, const std::string&, const std::string& d) {
             Feeder f;
             f.text = d;
             f.piece = 1000;
             return VXImportXMLCallback(c, Feeder::give, &f, "/docs/cat.xml", 0, 1, 1, 0, nullptr);
         }},
        {"callback", false, [](ClientTest*, VdbHandle c, const std::string&, const std::string& d) {
             Feeder f;
             f.text = d;
             return VXImportXMLCallback(c, Feeder::give, &f, nullptr, 0, 0, 0, 0, nullptr);
         }},
    };
    std::string path = file("cat.xml", doc);
    for (const ImportCase& ic : cases) {
        SCOPED_TRACE(ic.name);
        Control c;
        int rc = ic.run(this, c, path, doc);
        ASSERT_EQ(1, rc) << lastError(rc);
        EXPECT_EQ("", lastError());
        int r = rid(c);
        ASSERT_GT(r, 0);
        Control back;
        load(back, r);
        EXPECT_EQ(ic.rawKept ? doc : std::string(), blob(back, "D_XMLDOC"));
        for (int blobFlag : {0, 1}) {
            char* out = nullptr;
            int n = -1;
            rc = VXExportXMLBuffer(back, &out, &n, blobFlag, nullptr);
            ASSERT_EQ(1, rc) << lastError(rc);
            ASSERT_NE(nullptr, out);
            EXPECT_TRUE(std::string(out, static_cast<size_t>(n)) == doc) << "blobFlag " << blobFlag;
            free(out);
        }
    }
    VfxFTMCloseListener(web);
}

TEST_F(ClientRoundTrip, EveryExportGivesBackTheDocument)
{
    const std::string doc = document(100 * 1024);
    std::string path = file("cat.xml", doc);
    for (int keepRaw : {1, 0}) {
        Control c;
        ASSERT_EQ(1, VXImportXMLFile(c, path.c_str(), nullptr, 0, keepRaw, 0, 0, nullptr)) << lastError();
        for (int blobFlag : {0, 1}) {
            for (int stream : {0, 1}) {
                SCOPED_TRACE("raw kept " + std::to_string(keepRaw) + ", blobFlag " + std::to_string(blobFlag) +
                             ", stream " + std::to_string(stream));
                std::string out = work + "/out.xml";
                writeFile(out, std::string(300000, 'z')); // overwritten, not appended to
                int rc = VXExportXMLFile(c, out.c_str(), blobFlag, stream, 0, LogSink::write);
                ASSERT_EQ(1, rc) << lastError(rc);
                EXPECT_TRUE(readFile(out) == doc);

                Collector col;
                rc = VXExportXMLCallback(c, Collector::take, &col, blobFlag, stream, 0, nullptr);
                ASSERT_EQ(1, rc) << lastError(rc);
                EXPECT_TRUE(col.data == doc);
                // Unstreamed, the whole document comes in one call; streamed,
                // block by block as it arrives.
                if (stream)
                    EXPECT_GT(col.calls, 1);
                else
                    EXPECT_EQ(1, col.calls);
            }
        }
    }
}

// A document whose DTD lies beside it: the streamed import fetches both
// through the one listener (the parse itself runs in another directory).
TEST_F(ClientRoundTrip, StreamedImportFetchesTheDtdBesideTheDocument)
{
    UpdateRCS("XML_STRICT_VALIDATION", "1");
    file("r.dtd", "<!ELEMENT r (#PCDATA)>\n<!ENTITY ent \"from the dtd\">\n");
    std::string path = file("withdtd.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"r.dtd\">\n<r>&ent;</r>\n");
    // Relative to the working directory: served under its absolute path.
    char cwd[1024];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(work.c_str()));
    Control c;
    int rc = VXImportXMLFile(c, "withdtd.xml", nullptr, 1, 0, 1, 0, LogSink::write);
    ASSERT_EQ(0, chdir(cwd));
    ASSERT_EQ(1, rc) << lastError(rc) << LogSink::all();
    EXPECT_EQ(2, LogSink::count(3, "Upload connection accepted."));
    EXPECT_EQ(1, LogSink::count(3, "Upload of " + work + "/withdtd.xml complete."));
    EXPECT_EQ(1, LogSink::count(3, "Upload of " + work + "/r.dtd complete."));
    char* out = nullptr;
    int n = 0;
    ASSERT_EQ(1, VXExportXMLBuffer(c, &out, &n, 0, nullptr));
    // The entity is defined in the DTD only; the reference is kept as such.
    EXPECT_NE(std::string::npos, std::string(out, static_cast<size_t>(n)).find("<r>&ent;</r>"));
    free(out);
    UpdateRCS("XML_STRICT_VALIDATION", nullptr);
}

TEST_F(ClientRoundTrip, NonXmlDocumentsStreamedAndNot)
{
    std::string data;
    for (int i = 0; i < 40000; ++i)
        data += static_cast<char>((i * 7) & 0xff);
    data += "HoXXoH\r\n\r\nHTTP/1.1 200 OK\r\n"; // protocol texts inside the data mean nothing
    std::string path = file("picture.bin", data);
    for (int stream : {0, 1}) {
        SCOPED_TRACE(stream);
        Control c;
        int rc = VXImportNXFile(c, path.c_str(), "/pics/picture.bin", stream, 0, LogSink::write);
        ASSERT_EQ(1, rc) << lastError(rc);
        Control back;
        load(back, rid(c));
        EXPECT_TRUE(blob(back, "DAV_NONXMLBLOB") == data);
        EXPECT_EQ("picture.bin", value(back, "D_DOCNAME"));
        EXPECT_EQ("/pics/picture.bin", value(back, "D_URLALIAS"));
        // Not an XML document: the retrieve operation says so.
        char* out = nullptr;
        int n = 0;
        EXPECT_EQ(0, VXExportXMLBuffer(back, &out, &n, 1, nullptr));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ("Record does not contain an XML document.", lastError());
    }
}

// The query operation posts its result over the stream when asked to; the
// client's reader receives what the memory form holds.
TEST_F(ClientRoundTrip, QueryResultsTravelOverTheStream)
{
    Control c;
    std::string doc = document(40 * 1024);
    ASSERT_EQ(1, VXImportXMLBuffer(c, doc.data(), static_cast<int>(doc.size()), "/q.xml", 0, 0, nullptr));
    int code = 0;
    ASSERT_EQ(1, VdbExecuteCcl("BASE DOCS", &code)) << message(-1);
    for (const char* args : {"XPATHQUERY=//item[@id='3']/title\n",
                             "XPATHQUERY=//item\nXPATHFRAGMENTS=//title\nFROM=1\nTO=1\n"}) {
        SCOPED_TRACE(args);
        auto query = [&](bool stream, std::string* out) {
            // Each query's set gets the same number.
            int dropped = 0;
            EXPECT_EQ(1, VdbExecuteCcl("DELETE S=0", &dropped)) << message(-1);
            FilterData fd;
            FTMContext* reader = nullptr;
            Collector col;
            int rc = initExport(&fd, &reader, c, nullptr, Collector::take, &col, 1, stream ? 1 : 0, 0, nullptr);
            EXPECT_EQ(1, rc);
            std::string a = (fd.filter_arguments ? std::string(fd.filter_arguments) : std::string()) + args;
            free(fd.filter_arguments);
            fd.filter_arguments = strdup(a.c_str());
            fd.arg_length = static_cast<int>(a.size()) + 1;
            snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlquery");
            fd.vdb_options = stream ? 0 : IEOPT_MEMORY;
            rc = runTransfer(&fd, reader, 0, nullptr);
            if (stream) {
                *out = col.data;
            } else if (fd.buffer) {
                out->assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
            }
            deinitExport(&fd, &reader);
            return rc;
        };
        std::string streamed, inMemory;
        ASSERT_EQ(1, query(false, &inMemory)) << lastError();
        ASSERT_EQ(1, query(true, &streamed)) << lastError();
        EXPECT_FALSE(inMemory.empty());
        EXPECT_EQ(inMemory, streamed);
        EXPECT_EQ(std::string::npos, streamed.find(FTM_TERMINATOR "<")) << "terminator delivered as data";
    }
}

// ---- what the filter is handed ----

std::string argumentText(const FilterData& fd)
{
    return fd.filter_arguments ? std::string(fd.filter_arguments) : std::string("(none)");
}

TEST_F(ClientRoundTrip, ImportArgumentsAndOptions)
{
    char host[256] = "";
    ASSERT_EQ(0, VfxGetComputerName(host, sizeof host));
    std::string path = file("a.xml", "<a/>");
    struct Case {
        const char* file;
        const char* alias;
        int validate, blobFlag, streamFlag;
        int options;
        std::string args; // "@" stands for the stream URL
        bool listener;
    } cases[] = {
        {nullptr, "/d/a.xml", 0, 1, 0, 0, "URL=/d/a.xml\n", false},
        {nullptr, "", 0, 1, 0, 0, "(none)", false},
        {nullptr, nullptr, 1, 0, 0, FO_VALIDATE | FO_NORAWTEXT, "(none)", false},
        {path.c_str(), "", 0, 1, 1, FO_STREAM | FO_NORAWTEXT, "FILEURL=@\n", true},
        {path.c_str(), "/d/a.xml", 1, 1, 1, FO_VALIDATE | FO_STREAM | FO_NORAWTEXT, "URL=/d/a.xml\nFILEURL=@\n",
         true},
        {"http://example.org/x.xml", "http://example.org/x.xml", 0, 1, 1, FO_STREAM | FO_NORAWTEXT,
         "URL=http://example.org/x.xml\nFILEURL=http://example.org/x.xml\n", false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.args);
        Control c;
        FilterData fd;
        memset(&fd, 0x5a, sizeof fd); // zeroed by the call
        FTMContext* listener = reinterpret_cast<FTMContext*>(&fd);
        ASSERT_EQ(1, initImport(&fd, &listener, c, k.file, k.alias, k.validate, k.blobFlag, k.streamFlag, 0,
                                nullptr));
        EXPECT_STREQ("vornxmlput", fd.filter_name);
        EXPECT_EQ(c.h, fd.record_control);
        EXPECT_NE(nullptr, fd.cursor);
        EXPECT_EQ(k.options, fd.filter_options);
        EXPECT_EQ(0, fd.vdb_options);
        EXPECT_EQ(nullptr, fd.buffer);
        EXPECT_EQ(k.listener, listener != nullptr);
        std::string expected = k.args;
        if (listener) {
            std::string url = "http://" + std::string(host) + ":" + std::to_string(VfxFTMGetListenerPort(listener)) +
                              "/";
            expected.replace(expected.find('@'), 1, url);
            // The listener serves the file for "/".
            long long total = 0;
            EXPECT_EQ(0, VfxFTMRead(url.c_str(), [](void*, int n, void* t) {
                *static_cast<long long*>(t) += n;
                return n;
            }, &total));
            EXPECT_EQ(4, total);
        }
        EXPECT_EQ(expected, argumentText(fd));
        if (fd.filter_arguments) {
            EXPECT_EQ(static_cast<int>(strlen(fd.filter_arguments)) + 1, fd.arg_length);
        }
        deinitImport(&fd, &listener);
        EXPECT_EQ(nullptr, listener);
        EXPECT_EQ(nullptr, fd.filter_arguments);
        EXPECT_EQ(nullptr, fd.cursor);
    }
}

TEST_F(ClientRoundTrip, ExportArgumentsOptionsAndTheGivenPort)
{
    Control c;
    for (int blobFlag : {0, 1}) {
        FilterData fd;
        FTMContext* reader = nullptr;
        ASSERT_EQ(1, initExport(&fd, &reader, c, nullptr, nullptr, nullptr, blobFlag, 0, 0, nullptr));
        EXPECT_STREQ("vornxmlget", fd.filter_name);
        EXPECT_EQ(blobFlag ? 0 : EXPORT_BLOCK, fd.filter_options);
        EXPECT_EQ(nullptr, reader);
        EXPECT_EQ(nullptr, fd.filter_arguments);
        deinitExport(&fd, &reader);
    }
    // A port given is the port used; a second streamer cannot take it.
    FTMContext* probe = nullptr;
    ASSERT_EQ(0, VfxFTMCreateReader(&probe, 0, nullptr, nullptr, nullptr, 0));
    int port = VfxFTMGetListenerPort(probe);
    VfxFTMCloseListener(probe);

    FilterData fd;
    FTMContext* reader = nullptr;
    ASSERT_EQ(1, initExport(&fd, &reader, c, nullptr, nullptr, nullptr, 1, 1, port, nullptr));
    EXPECT_EQ(FO_STREAM, fd.filter_options);
    EXPECT_EQ(port, VfxFTMGetListenerPort(reader));
    std::string args = argumentText(fd);
    EXPECT_EQ(0u, args.find("FILEURL=http://"));
    EXPECT_NE(std::string::npos, args.find(":" + std::to_string(port) + "/\n"));

    Control d;
    std::string path = file("a.xml", "<a/>");
    int rc = VXImportXMLFile(d, path.c_str(), nullptr, 0, 0, 1, port, LogSink::write);
    EXPECT_EQ(-EADDRINUSE, rc);
    EXPECT_EQ(1, LogSink::count(0, "Socket bind failed:"));
    EXPECT_NE(std::string::npos, lastError().find("Could not start the file streamer"));
    EXPECT_EQ(0, rid(d)); // the kernel was never called
    deinitExport(&fd, &reader);
}

} // namespace
