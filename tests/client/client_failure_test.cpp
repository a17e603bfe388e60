// Failures the client library must report plainly, and the reliability of its
// streams: peers that hang up or never finish, and many streamed calls in a
// row, with descriptors and threads counted afterwards.
#include <errno.h>
#include <stdio.h>

#include <functional>

#include "client_fixture.h"
#include "filexmit.h"

using namespace vxc;

namespace {

class ClientFailure : public ClientTest {
protected:
    // Runs filter `name` as the client library runs an export or import of
    // its own, with the extra argument lines given; the status.
    int runProbe(bool import, const char* name, const std::string& extra, int streamFlag = 1,
                 const std::string& path = std::string(), FTMContext** keepStream = nullptr,
                 std::string* received = nullptr)
    {
        FilterData fd;
        FTMContext* stream = nullptr;
        Collector col;
        Control c;
        int rc = import ? initImport(&fd, &stream, c, path.c_str(), nullptr, 0, 0, streamFlag, 0, LogSink::write)
                        : initExport(&fd, &stream, c, nullptr, Collector::take, &col, 1, streamFlag, 0,
                                     LogSink::write);
        EXPECT_EQ(1, rc);
        std::string a = (fd.filter_arguments ? std::string(fd.filter_arguments) : std::string()) + extra;
        free(fd.filter_arguments);
        fd.filter_arguments = strdup(a.c_str());
        fd.arg_length = static_cast<int>(a.size()) + 1;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", name);
        rc = runTransfer(&fd, stream, import ? 1 : 0, LogSink::write);
        if (keepStream && import) {
            // The caller looks at the listener before it is closed.
            *keepStream = stream;
            stream = nullptr;
        }
        if (import)
            deinitImport(&fd, &stream);
        else
            deinitExport(&fd, &stream);
        if (received) {
            std::lock_guard<std::mutex> lock(col.mu);
            *received = col.data;
        }
        return rc;
    }

    // A document of about `size` bytes.
    static std::string bigDocument(size_t size, const std::string& head = "<big>")
    {
        std::string s = head;
        while (s.size() < size)
            s += "<p n=\"1\">some text to fill the document &amp; more of it</p>\n";
        return s + "</big>\n";
    }
};

TEST_F(ClientFailure, ExportToAFileThatCannotBeOpened)
{
    Control c;
    ASSERT_EQ(1, VXImportXMLBuffer(c, "<a>x</a>", 8, nullptr, 0, 1, nullptr));
    struct Case {
        std::string path;
        int err;
    } cases[] = {
        {work + "/no/such/dir/out.xml", ENOENT},
        {work, EISDIR},
    };
    for (const Case& k : cases) {
        for (int stream : {0, 1}) {
            SCOPED_TRACE(k.path + " stream " + std::to_string(stream));
            LogSink::clear();
            int rc = VXExportXMLFile(c, k.path.c_str(), 1, stream, 0, LogSink::write);
            EXPECT_EQ(-k.err, rc);
            std::string why = "Could not open file \"" + k.path + "\" for writing: " + strerror(k.err);
            EXPECT_EQ(why, lastError(rc));
            EXPECT_EQ(1, LogSink::count(1, why));
            // Neither a streamer nor the filter was started.
            EXPECT_EQ(0, LogSink::count(3, "Created listener"));
        }
    }
    // A read-only file is refused the same way.
    std::string ro = file("ro.xml", "keep");
    chmod(ro.c_str(), 0444);
    if (geteuid() != 0) {
        EXPECT_EQ(-EACCES, VXExportXMLFile(c, ro.c_str(), 1, 0, 0, nullptr));
        EXPECT_EQ("keep", readFile(ro));
    }
}

// A file that takes no data: the export says so instead of succeeding.
TEST_F(ClientFailure, WriteFailuresOfTheExportFileAreReported)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    Control c;
    ASSERT_EQ(1, VXImportXMLBuffer(c, "<a>x</a>", 8, nullptr, 0, 1, nullptr));
    for (int blobFlag : {0, 1}) {
        for (int stream : {0, 1}) {
            SCOPED_TRACE("blobFlag " + std::to_string(blobFlag) + ", stream " + std::to_string(stream));
            int rc = VXExportXMLFile(c, "/dev/full", blobFlag, stream, 0, nullptr);
            EXPECT_TRUE(rc <= 0 || !(rc & 1)) << rc;
            EXPECT_NE(std::string::npos, lastError(rc).find("No space left on device")) << lastError(rc);
        }
    }
}

TEST_F(ClientFailure, BadArgumentsAreRefusedBeforeTheKernel)
{
    Control c;
    int n = 5;
    struct Case {
        const char* name;
        std::function<int()> call;
        int expected;
        std::string text;
    } cases[] = {
        {"import of no file", [&] { return VXImportXMLFile(c, nullptr, nullptr, 0, 0, 0, 0, LogSink::write); }, -EINVAL,
         "No file name given for the import."},
        {"import of an empty name", [&] { return VXImportXMLFile(c, "", nullptr, 0, 0, 1, 0, LogSink::write); }, -EINVAL,
         "No file name given for the import."},
        {"streamed import of a missing file",
         [&] { return VXImportXMLFile(c, "/nonexistent/x.xml", nullptr, 0, 0, 1, 0, LogSink::write); }, -ENOENT,
         "Could not open file \"/nonexistent/x.xml\": No such file or directory"},
        {"URL import of a missing file", [&] { return VXImportXMLURL(c, "/nonexistent/x.xml", 0, 0, LogSink::write); },
         -ENOENT, "Could not open file \"/nonexistent/x.xml\": No such file or directory"},
        {"streamed non-XML import of a missing file",
         [&] { return VXImportNXFile(c, "/nonexistent/x.bin", nullptr, 1, 0, LogSink::write); }, -ENOENT,
         "Could not open file \"/nonexistent/x.bin\": No such file or directory"},
        {"buffer import of null", [&] { return VXImportXMLBuffer(c, nullptr, 3, nullptr, 0, 0, LogSink::write); }, -EINVAL,
         "No document given for the import (null data or a negative length)."},
        {"buffer import of a negative length",
         [&] { return VXImportXMLBuffer(c, "<a/>", -1, nullptr, 0, 0, LogSink::write); }, -EINVAL,
         "No document given for the import (null data or a negative length)."},
        {"callback import without a callback",
         [&] { return VXImportXMLCallback(c, nullptr, nullptr, nullptr, 0, 0, 0, 0, LogSink::write); }, -EINVAL,
         "No callback given for the import."},
        {"callback that claims more than its buffer holds",
         [&] {
             return VXImportXMLCallback(c, [](void*, int room, void*) { return room + 1; }, nullptr, nullptr, 0, 0, 0,
                                        0, LogSink::write);
         },
         -EINVAL, "The import callback returned 8193 bytes for a buffer of 8192."},
        {"export without a place", [&] { return VXExportXMLBuffer(c, nullptr, &n, 0, LogSink::write); }, -EINVAL,
         "No place given for the exported document."},
        {"callback export without a callback",
         [&] { return VXExportXMLCallback(c, nullptr, nullptr, 0, 1, 0, LogSink::write); }, -EINVAL,
         "No callback given for the export."},
        {"export to no file", [&] { return VXExportXMLFile(c, "", 0, 1, 0, LogSink::write); }, -EINVAL,
         "No file name given for the export."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        LogSink::clear();
        EXPECT_EQ(k.expected, k.call());
        EXPECT_EQ(k.text, lastError());
        // Refused before any streamer or filter could start.
        EXPECT_EQ(0, LogSink::count(3, "Created listener"));
    }
    EXPECT_EQ(0, rid(c));
}

TEST_F(ClientFailure, FilterFailuresReachTheCallerAndTheLogger)
{
    // A document that does not parse: the filter's reason, streamed or not.
    std::string path = file("bad.xml", "<a><b></a>");
    for (int stream : {0, 1}) {
        SCOPED_TRACE(stream);
        LogSink::clear();
        Control c;
        int rc = VXImportXMLFile(c, path.c_str(), nullptr, 0, 1, stream, 0, LogSink::write);
        EXPECT_FALSE(rc & 1);
        EXPECT_GE(rc, 0);
        std::string why = lastError(rc);
        EXPECT_EQ(0u, why.find("XML Parsing Error at line 1")) << why;
        EXPECT_EQ(1, LogSink::count(1, why)) << LogSink::all();
        EXPECT_EQ(0, rid(c)); // nothing stored
        // A success afterwards clears the reason.
        ASSERT_EQ(1, VXImportXMLBuffer(c, "<a/>", 4, nullptr, 0, 0, nullptr));
        EXPECT_EQ("", lastError());
    }
    // Non-streamed import of a missing file: the filter says so.
    Control c;
    int rc = VXImportXMLFile(c, "/nonexistent/x.xml", nullptr, 0, 0, 0, 0, nullptr);
    EXPECT_FALSE(rc & 1);
    EXPECT_NE(std::string::npos, lastError(rc).find("x.xml")) << lastError(rc);

    // A base without the document model has no blob field for non-XML data.
    Control plain("PLAIN");
    std::string bin = file("x.bin", "1234");
    LogSink::clear();
    rc = VXImportNXFile(plain, bin.c_str(), nullptr, 1, 0, LogSink::write);
    EXPECT_EQ(VDB_BADFIELD, rc);
    EXPECT_EQ(0u, lastError(rc).find("Error #1354 in VdbCheckField: ")) << lastError(rc);
    EXPECT_EQ(1, LogSink::count(0, "Error #1354 in VdbCheckField: ")) << LogSink::all();

    // An export of a record that holds nothing.
    Control empty;
    char* out = nullptr;
    int n = 0;
    rc = VXExportXMLBuffer(empty, &out, &n, 0, nullptr);
    EXPECT_FALSE(rc & 1);
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, n);
    EXPECT_FALSE(lastError(rc).empty());
}

TEST_F(ClientFailure, AnEvenErrorcodeWinsOverAnOddStatus)
{
    int rc = runProbe(false, "vxprobe_mixed", "", 0);
    EXPECT_EQ(0, rc);
    EXPECT_EQ("probe: the status says yes, the errorcode says no", lastError(rc));
    EXPECT_EQ(1, LogSink::count(1, "probe: the status says yes, the errorcode says no"));
}

TEST_F(ClientFailure, TheCallersBufferStaysTheCallers)
{
    const char text[] = "<doc>kept</doc>";
    char* mine = static_cast<char*>(malloc(sizeof text));
    memcpy(mine, text, sizeof text);
    Control c;
    ASSERT_EQ(1, VXImportXMLBuffer(c, mine, static_cast<int>(strlen(mine)), nullptr, 0, 1, nullptr));
    EXPECT_STREQ(text, mine);
    free(mine); // a second free, had the library freed it, would be caught
}

TEST_F(ClientFailure, ErrorMessages)
{
    FilterData fd;
    memset(&fd, 0, sizeof fd);
    char buf[512];
    struct Case {
        int rc;
        const char* errortext;
        std::string expected;
    } cases[] = {
        {1, "", "unchanged"},
        {0, "", "unchanged"},
        {3, "", "unchanged"},
        {1, "the filter's own words", "the filter's own words"},
        {0, "the filter's own words", "the filter's own words"},
        {VDB_NOBASE, "", message(VDB_NOBASE)},
        {-ECONNREFUSED, "", "Error E0111: Connection refused"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.rc);
        snprintf(fd.errortext, sizeof fd.errortext, "%s", k.errortext);
        strcpy(buf, "unchanged");
        VXGetErrorMsg(k.rc, &fd, buf);
        EXPECT_EQ(k.expected, buf);
    }
    EXPECT_NE("unchanged", message(VDB_NOBASE));
    // An errortext that fills its field is copied whole and terminated.
    memset(fd.errortext, 'e', sizeof fd.errortext);
    VXGetErrorMsg(0, &fd, buf);
    EXPECT_EQ(std::string(256, 'e'), buf);
    VXGetErrorMsg(0, nullptr, nullptr); // no place: nothing happens
}

TEST_F(ClientFailure, LogLines)
{
    VXLogPrint(nullptr, EVX_LOGLEVEL_ERROR, "nobody hears this");
    VXLogPrint(LogSink::write, EVX_LOGLEVEL_WARNING, "%s", "");
    EXPECT_TRUE(LogSink::all().empty());
    VXLogPrint(LogSink::write, EVX_LOGLEVEL_WARNING, "count %d", 7);
    VXLogPrint(LogSink::write, EVX_LOGLEVEL_DEBUG, "already ended\n");
    VXLogPrint(LogSink::write, EVX_LOGLEVEL_FATAL, "%s", std::string(5000, 'x').c_str());
    std::vector<std::pair<int, std::string>> got;
    {
        std::lock_guard<std::mutex> lock(LogSink::mu);
        got = LogSink::lines;
    }
    ASSERT_EQ(3u, got.size());
    auto stamp = [](const std::string& line) {
        return line.size() > 11 && line[0] == '[' && line[3] == ':' && line[6] == ':' && line[9] == ']' &&
               line[10] == ' ';
    };
    EXPECT_EQ(2, got[0].first);
    EXPECT_TRUE(stamp(got[0].second)) << got[0].second;
    EXPECT_EQ("count 7\n", got[0].second.substr(11));
    EXPECT_EQ("already ended\n", got[1].second.substr(11));
    EXPECT_EQ(0, got[2].first);
    EXPECT_EQ(2047u, got[2].second.size());
    EXPECT_EQ('\n', got[2].second.back());
}

// ---- reliability ----

TEST_F(ClientFailure, TwoHundredStreamedImportsLeaveNothingBehind)
{
    std::string doc = bigDocument(20 * 1024);
    std::string path = file("many.xml", doc);
    {
        // Libraries set themselves up on first use; count after that.
        Control c;
        ASSERT_EQ(1, VXImportXMLFile(c, path.c_str(), nullptr, 0, 0, 1, 0, nullptr)) << lastError();
    }
    Resources before = Resources::now();
    for (int i = 0; i < 200; ++i) {
        Control c;
        int rc = VXImportXMLFile(c, path.c_str(), "/many.xml", 0, 0, 1, 0, nullptr);
        ASSERT_EQ(1, rc) << "import " << i << ": " << lastError(rc);
        if (i % 20 == 0) {
            Collector col;
            rc = VXExportXMLCallback(c, Collector::take, &col, 0, 1, 0, nullptr);
            ASSERT_EQ(1, rc) << "export " << i << ": " << lastError(rc);
            EXPECT_EQ(doc.size(), col.data.size());
        }
    }
    Resources after = Resources::settled(before);
    EXPECT_EQ(before.fds, after.fds);
    EXPECT_EQ(before.threads, after.threads);
}

TEST_F(ClientFailure, TheFilterHangingUpOnAStreamedImport)
{
    // A large document that breaks early: the parser stops reading and
    // drops the connection while the listener is still sending.
    std::string path = file("broken.xml", bigDocument(4 << 20, "<big><unclosed></big>"));
    {
        Control c;
        ASSERT_EQ(1, VXImportXMLBuffer(c, "<a/>", 4, nullptr, 0, 0, nullptr));
    }
    Resources before = Resources::now();
    Control c;
    int rc = VXImportXMLFile(c, path.c_str(), nullptr, 0, 0, 1, 0, LogSink::write);
    EXPECT_FALSE(rc & 1);
    EXPECT_EQ(0u, lastError(rc).find("XML Parsing Error at line 1")) << lastError(rc);
    EXPECT_EQ(0, rid(c));

    // A peer that reads a little of the file and hangs up.
    FTMContext* listener = nullptr;
    rc = runProbe(true, "vxprobe_partget", "BYTES=1000\n", 1, path, &listener);
    EXPECT_EQ(1, rc) << lastError(rc);
    int st = ENOTCONN;
    for (int i = 0; i < 5000 && st == ENOTCONN; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        st = VfxFTMGetTransferStatus(listener, nullptr);
    }
    EXPECT_TRUE(st == EPIPE || st == ECONNRESET) << st;
    FilterData none;
    memset(&none, 0, sizeof none);
    deinitImport(&none, &listener);

    Resources after = Resources::settled(before);
    EXPECT_EQ(before.fds, after.fds);
    EXPECT_EQ(before.threads, after.threads);
    // And the next streamed import works.
    std::string good = file("good.xml", "<good/>");
    Control d;
    EXPECT_EQ(1, VXImportXMLFile(d, good.c_str(), nullptr, 0, 0, 1, 0, nullptr)) << lastError();
}

TEST_F(ClientFailure, AnExportThatEndsEarlyIsAFailure)
{
    Resources before = Resources::now();
    for (const char* sized : {"0", "1"}) {
        SCOPED_TRACE(sized);
        LogSink::clear();
        std::string received;
        int rc = runProbe(false, "vxprobe_cut", std::string("BYTES=50000\nSIZED=") + sized + "\n", 1,
                          std::string(), nullptr, &received);
        EXPECT_EQ(-ECONNABORTED, rc);
        EXPECT_NE(std::string::npos,
                  lastError(rc).find("the sender closed the connection before the end of the data"))
            << lastError(rc);
        EXPECT_EQ(1, LogSink::count(1, "did not arrive whole")) << LogSink::all();
        // What did arrive was delivered; the call says it is not all.
        EXPECT_EQ(50000u, received.size());
    }
    Resources after = Resources::settled(before);
    EXPECT_EQ(before.fds, after.fds);
    EXPECT_EQ(before.threads, after.threads);
}

TEST_F(ClientFailure, APeerThatNeverSendsTheTerminator)
{
    Resources before = Resources::now();
    std::string received;
    int rc = runProbe(false, "vxprobe_hold", "BYTES=20000\n", 1, std::string(), nullptr, &received);
    EXPECT_EQ(-ETIMEDOUT, rc);
    EXPECT_NE(std::string::npos, lastError(rc).find("The stream did not end: ")) << lastError(rc);
    // The reader was closed although its peer still holds the connection.
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vxprobe_release");
    EXPECT_EQ(1, VdbExport(&fd));
    Resources after = Resources::settled(before);
    EXPECT_EQ(before.fds, after.fds);
    EXPECT_EQ(before.threads, after.threads);
}

} // namespace
