// The retrieve filter: raw text and rebuilt documents into every sink, the
// lookup by identifier or URL, and the refusals.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "export_fixture.h"
#include "filexmit.h"

namespace vxt {
namespace {

// A reader server of the streamer on 127.0.0.1 that keeps what is posted.
class StreamReader {
public:
    StreamReader() { EXPECT_EQ(0, VfxFTMCreateReader(&m_ctx, 0, nullptr, &StreamReader::collect, this, 0)); }
    ~StreamReader() { VfxFTMCloseListener(m_ctx); }
    std::string url() const { return "127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(m_ctx)) + "/doc.xml"; }
    // The transfer's outcome once it ended (0: complete), -2 when it did not.
    int outcome()
    {
        for (int i = 0; i < 500; ++i) {
            int st = VfxFTMGetTransferStatus(m_ctx, nullptr);
            if (st != EINPROGRESS && st != ENOTCONN)
                return st;
            usleep(10000);
        }
        return -2;
    }
    std::string data()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_data;
    }

private:
    static int collect(void* p, int n, void* self)
    {
        auto* r = static_cast<StreamReader*>(self);
        std::lock_guard<std::mutex> lock(r->m_mutex);
        r->m_data.append(static_cast<const char*>(p), static_cast<size_t>(n));
        return n;
    }
    FTMContext* m_ctx = nullptr;
    std::mutex m_mutex;
    std::string m_data;
};

class RetrieveTest : public ExportTest {
protected:
    // A document with its raw text (which differs from the rebuilt text, so
    // that each test sees which one it got).
    static XDoc sample(const std::string& raw = "<r a='1'><b/></r>")
    {
        XDoc d;
        d.raw = raw;
        d.nodes = {{"ELEMENT", "r", "", 0, ""}, {"ATTRIBUTE", "a", "", 1, "1"}, {"ELEMENT", "b", "", 1, ""}};
        return d;
    }
    static constexpr const char* kRebuilt = "<r a=\"1\"><b></b>\n</r>\n";

    std::string tempFile(const char* name) const { return logDir + "/" + name; }
};

TEST_F(RetrieveTest, RawTextIsReturnedAsStoredAndTheRebuildOnRequest)
{
    std::string raw(20000, 'x');
    raw = "<r a='1'><b/><!--" + raw + "--></r>";
    int rid = store(sample(raw));
    Get g = get(rid);
    EXPECT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ(raw, g.output);
    EXPECT_TRUE(g.terminated);
    EXPECT_EQ(0, g.filterOptions & EXPORT_BLOCK);

    g = get(rid, EXPORT_BLOCK);
    EXPECT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ(kRebuilt, g.output);
    EXPECT_TRUE(g.terminated);
}

TEST_F(RetrieveTest, ARecordWithoutRawTextIsRebuiltUnasked)
{
    XDoc d = sample();
    d.raw.clear();
    Get g = get(store(d));
    EXPECT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ(kRebuilt, g.output);
    EXPECT_NE(0, g.filterOptions & EXPORT_BLOCK);
}

TEST_F(RetrieveTest, ASmallBlobGetsAZeroAfterItsText)
{
    int rid = store(sample(std::string(100, 'y')));
    Get g = get(rid);
    EXPECT_EQ(1, g.status);
    EXPECT_EQ(100, g.bufferLength);
    EXPECT_TRUE(g.terminated);
}

TEST_F(RetrieveTest, ACallersBufferIsNeverWrittenPastItsSize)
{
    std::string raw(10000, 'z');
    XDoc d = sample(raw);
    int rid = store(d);
    d.raw.clear();
    int rebuiltRid = store(d);
    struct Case {
        int rid;
        int options;
        int size;
        int status;
        int length;
        std::string text;
    } cases[] = {
        // Raw text is copied in whole blocks of 8192 bytes.
        {rid, 0, 8192, 0, 8192, raw.substr(0, 8192)},
        {rid, 0, 9000, 0, 8192, raw.substr(0, 8192)},
        {rid, 0, 10000, 1, 10000, raw},
        // A rebuilt document is copied as far as it fits.
        {rebuiltRid, 0, 10, 0, 10, std::string(kRebuilt).substr(0, 10)},
        {rebuiltRid, 0, 64, 1, static_cast<int>(strlen(kRebuilt)), kRebuilt},
    };
    for (const Case& c : cases) {
        std::vector<char> area(static_cast<size_t>(c.size) + 64, '#');
        Get g = exportCall("vornxmlget", c.rid, "", c.options, IEOPT_MEMORY, area.data(), c.size);
        EXPECT_EQ(c.status, g.status) << c.size;
        EXPECT_TRUE(g.sameBuffer);
        EXPECT_EQ(c.length, g.bufferLength) << c.size;
        EXPECT_EQ(c.text, std::string(area.data(), static_cast<size_t>(g.bufferLength))) << c.size;
        if (c.status != 1) {
            EXPECT_EQ("Insufficient memory buffer provided - data truncated.", g.errortext);
        }
        EXPECT_EQ(std::string(64, '#'), std::string(area.data() + c.size, 64)) << "written past the buffer";
    }
}

TEST_F(RetrieveTest, FilesByNameAndByPointer)
{
    XDoc d = sample();
    int rid = store(d);
    d.raw.clear();
    int rebuiltRid = store(d);
    for (int r : {rid, rebuiltRid}) {
        const std::string expected = r == rid ? sample().raw : kRebuilt;
        std::string path = tempFile("out.xml");
        std::ofstream(path) << "previous content that is longer than the document";
        Get g = exportCall("vornxmlget", r, "", 0, IEOPT_FILENAME, const_cast<char*>(path.c_str()));
        EXPECT_EQ(1, g.status) << g.errortext;
        EXPECT_EQ(expected, readFile(path));

        std::string path2 = tempFile("out2.xml");
        FILE* fp = fopen(path2.c_str(), "wb");
        fputs("head:", fp);
        g = exportCall("vornxmlget", r, "", 0, IEOPT_FILE, fp);
        EXPECT_EQ(1, g.status) << g.errortext;
        // The caller's file stays open.
        EXPECT_EQ(0, fputs(":tail", fp) < 0);
        fclose(fp);
        EXPECT_EQ("head:" + expected + ":tail", readFile(path2));

        std::string bad = tempFile("no/such/dir/out.xml");
        g = exportCall("vornxmlget", r, "", 0, IEOPT_FILENAME, const_cast<char*>(bad.c_str()));
        EXPECT_EQ(0, g.status);
        EXPECT_EQ("Could not open file \"" + bad + "\" for writing: No such file or directory", g.errortext);
    }
}

TEST_F(RetrieveTest, AFullDiskIsAFailure)
{
    if (!fileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    XDoc d = sample();
    int rid = store(d);
    d.raw.clear();
    int rebuiltRid = store(d);
    for (int r : {rid, rebuiltRid}) {
        Get g = exportCall("vornxmlget", r, "", 0, IEOPT_FILENAME, const_cast<char*>("/dev/full"));
        EXPECT_EQ(0, g.status);
        EXPECT_EQ("Error writing to file \"/dev/full\": No space left on device", g.errortext);
    }
}

TEST_F(RetrieveTest, Refusals)
{
    int rid = store(sample());
    XDoc empty;
    int emptyRid = store(empty);
    int blobRid = storeWith("DOCS", "blob\tDAV_NONXMLBLOB\t%PDF-1.4");

    Get g = exportCall("vornxmlget", rid, "", 0, IEOPT_MEMORY);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ("Invalid argument to vornxmlget filter. Allocated buffer required.", g.errortext);

    g = get(emptyRid);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ("Record does not contain an XML document.", g.errortext);

    g = get(blobRid);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ("Record does not contain an XML document.", g.errortext);

    g = exportCall("vornxmlget", rid, "", 0, 0);
    EXPECT_EQ(0, g.status);
    EXPECT_EQ(0u, g.errortext.find("No output for the document")) << g.errortext;

    Control plain("PLAIN");
    Call c = run(false, "vornxmlget", plain, "");
    EXPECT_EQ(0, c.status);
    EXPECT_EQ("No XML database or no database opened.", c.errortext);
}

TEST_F(RetrieveTest, LookupByUrlOrIdentifier)
{
    XDoc a = sample("<a/>");
    a.alias = "/docs/a.xml";
    a.id = "ID-A";
    XDoc b = sample("<b/>");
    b.alias = "/docs/with blank 'and' \"quotes\".xml";
    b.id = "it's";
    int ridA = store(a);
    int ridB = store(b);
    struct Case {
        int rid; // the record the caller passes; -1 none
        std::string args;
        int status;
        std::string text; // output, or errortext when status is 0
    } cases[] = {
        {ridB, "URL=/docs/a.xml\n", 1, "<a/>"},
        {ridA, "ID=it's\n", 1, "<b/>"},
        {-1, "ID=ID-A\n", 1, "<a/>"},
        // The URL wins over the identifier.
        {-1, "ID=ID-A\nURL=" + b.alias + "\n", 1, "<b/>"},
        {ridA, "URL=/docs/none.xml\n", 0, "FOXML_GETBYID: no document "},
        // Search syntax in a value is searched for as text.
        {ridA, "URL=/docs/a.xml OR ALL\n", 0, "FOXML_GETBYID: no document "},
        {-1, "", 0, "Filter argument ID or URL required by FOXML_GETBYID filter option."},
    };
    for (const Case& c : cases) {
        Get g = exportCall("vornxmlget", c.rid, c.args, FOXML_GETBYID, IEOPT_MEMORY | EXPORT_ALLOC);
        EXPECT_EQ(c.status, g.status) << c.args << g.errortext;
        EXPECT_EQ(c.text, c.status == 1 ? g.output : g.errortext) << c.args;
    }
    // Without either argument the record passed is used, and the caller is told.
    Get g = exportCall("vornxmlget", ridB, "", FOXML_GETBYID, IEOPT_MEMORY | EXPORT_ALLOC);
    EXPECT_EQ(1, g.status);
    EXPECT_EQ("<b/>", g.output);
    EXPECT_EQ("No ID or URL filter argument - using record control instead.", g.errortext);
}

TEST_F(RetrieveTest, ALookupTheKernelRejectsReportsItsError)
{
    int rid = store(sample());
    ASSERT_EQ(1, VdbExecuteCcl("CLOSE", nullptr)) << message(-1);
    Get g = exportCall("vornxmlget", rid, "URL=/x.xml\n", FOXML_GETBYID, IEOPT_MEMORY | EXPORT_ALLOC);
    EXPECT_EQ(VDB_NOBASEOPEN, g.status);
    EXPECT_EQ(0u, g.errortext.find("Error #48 in vornXmlGet/FOXML_GETBYID: ")) << g.errortext;
}

TEST_F(RetrieveTest, StreamsCarryRawTextSizedAndRebuiltTextTerminated)
{
    // Large enough for several blocks on both paths.
    XDoc d;
    d.nodes.push_back({"ELEMENT", "r", "", 0, ""});
    std::string expected = "<r>";
    for (int i = 0; i < 3000; ++i) {
        int id = static_cast<int>(d.nodes.size()) + 1;
        d.nodes.push_back({"ELEMENT", "item", "", 1, ""});
        d.nodes.push_back({"TEXT", "item", "", id, "value " + std::to_string(i)});
        expected += "<item>value " + std::to_string(i) + "</item>";
    }
    // The last item is still open at the end, so it is closed there.
    expected += "\n</r>\n";
    d.raw = "<raw>" + std::string(30000, 'r') + "</raw>";
    int rid = store(d);
    for (int options : {0, EXPORT_BLOCK}) {
        StreamReader reader;
        Get g = exportCall("vornxmlget", rid, "FILEURL=" + reader.url() + "\n", FO_STREAM | options,
                           IEOPT_MEMORY | EXPORT_ALLOC);
        EXPECT_EQ(1, g.status) << g.errortext;
        // 0: the body ended at its announced length or at the terminator.
        EXPECT_EQ(0, reader.outcome());
        std::string got = reader.data();
        const std::string& want = options ? expected : d.raw;
        EXPECT_EQ(want.size(), got.size());
        EXPECT_TRUE(want == got) << "first difference at " << std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
    }
}

TEST_F(RetrieveTest, StreamRefusals)
{
    int rid = store(sample());
    for (int options : {0, EXPORT_BLOCK}) {
        Get g = exportCall("vornxmlget", rid, "", FO_STREAM | options, IEOPT_MEMORY | EXPORT_ALLOC);
        EXPECT_EQ(0, g.status);
        EXPECT_EQ("Required argument FILEURL missing for stream export.", g.errortext);
        // A port nobody listens on (the reader's, after it closed).
        std::string url;
        {
            StreamReader gone;
            url = gone.url();
        }
        g = exportCall("vornxmlget", rid, "FILEURL=" + url + "\n", FO_STREAM | options, IEOPT_MEMORY | EXPORT_ALLOC);
        EXPECT_EQ(0, g.status);
        EXPECT_EQ("Error E0111 opening stream: Connection refused", g.errortext);
    }
}

TEST_F(RetrieveTest, FragmentsGoToMemoryWhateverTheStreamOptionSays)
{
    int rid = store(sample());
    Get g = rebuild(rid, "ROOT=3\n", FO_STREAM);
    EXPECT_EQ(1, g.status) << g.errortext;
    EXPECT_EQ("<b></b>\n", g.output);
}

} // namespace
} // namespace vxt
