// Round trips through the store and the retrieve filters: a document stored
// with its raw text comes back byte for byte; its text rebuilt from the node
// parts, and that of the document stored without raw text (0x40), parses and
// is the same XML infoset (canonical forms compared by c14n_compare.py with
// libxml2, allowing for the documented differences of reconstruction).
// Documents: the fixtures (tests/export/data, examples/ and one generated
// large document) and the CLDR corpus of unicode-cldr-core.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vornapi.h"

namespace {

const char kCldr[] = "/usr/share/unicode/cldr/common";

std::string message(int status)
{
    char buf[512];
    int len = sizeof buf;
    VdbMessage(status, buf, &len);
    return std::string(buf, static_cast<size_t>(len > 0 ? len : 0));
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool hasSuffix(const std::string& s, const char* suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The .xml files of dir (and of its subdirectories with recursive), sorted.
void xmlFiles(const std::string& dir, bool recursive, std::vector<std::string>& out)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> found;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (recursive)
                xmlFiles(path, true, out);
        } else if (hasSuffix(name, ".xml")) {
            found.push_back(path);
        }
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
}

// One session on a fresh data directory for the whole program.
class Session : public ::testing::Environment {
public:
    void SetUp() override
    {
        // In memory where the machine has it: this test writes a lot, and
        // nothing of it needs to reach a disk.
        struct stat st;
        bool shm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0;
        std::string tmpl = std::string(shm ? "/dev/shm" : "/tmp") + "/vx_roundtrip_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        char* d = mkdtemp(buf.data());
        ASSERT_NE(nullptr, d);
        dir = d;
        setenv("VDBS_DATA", (dir + "/data").c_str(), 1);
        setenv("VDBS_SYNC", "normal", 1);
        setenv("VDBS_FILTERS", VORNXML_MODULE, 1);
        for (const char* k : {"VDBS_LANGUAGE", "VDBS_CHARS", "XML_LOG", "XML_LINKS", "XML_NOLINKS"})
            unsetenv(k);
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    }
    void TearDown() override
    {
        VdbStopVorn(0);
        // VX_ROUNDTRIP_KEEP=1 keeps the rebuilt texts for a look.
        const char* keep = getenv("VX_ROUNDTRIP_KEEP");
        if (keep && strcmp(keep, "1") == 0) {
            printf("rebuilt texts kept in %s\n", dir.c_str());
            return;
        }
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    static std::string dir;
};
std::string Session::dir;

// Stores the file at path into a new record; its rid, or 0 with why.
int store(const std::string& base, const std::string& path, int filterOptions, std::string* why)
{
    VdbHandle c = nullptr;
    VdbCreateRecordControl(&c);
    VdbSetBase(c, base.c_str(), 2);
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = c;
    strcpy(fd.filter_name, "vornxmlput");
    fd.buffer = const_cast<char*>(path.c_str());
    fd.vdb_options = IEOPT_FILENAME;
    fd.filter_options = FO_NEWRECORD | filterOptions;
    int st = VdbImport(&fd);
    int rid = 0;
    if (st & 1)
        VdbRecordInfo(c, 1, nullptr, &rid);
    else
        *why = fd.errortext;
    if (fd.cursor)
        VdbDeleteCursor(fd.cursor);
    VdbDeleteRecordControl(c);
    return rid;
}

// The document of record rid, as the retrieve filter gives it into memory
// (rebuilt from its parts with EXPORT_BLOCK in filterOptions).
bool retrieve(const std::string& base, int rid, int filterOptions, std::string* out, std::string* why)
{
    VdbHandle c = nullptr;
    VdbCreateRecordControl(&c);
    VdbSetBase(c, base.c_str(), 2);
    bool ok = false;
    if (VdbGetRecordInBase(c, rid) & 1) {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        strcpy(fd.filter_name, "vornxmlget");
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        fd.filter_options = filterOptions;
        ok = (VdbExport(&fd) & 1) != 0;
        if (ok && fd.buffer)
            out->assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
        if (!ok)
            *why = fd.errortext;
        free(fd.buffer);
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
    }
    VdbDeleteRecordControl(c);
    return ok;
}

// Round trips of every document, in a base of their own (dropped after).
// Each document is stored with its raw text, which must come back byte for
// byte, and rebuilt from the same parts. Every `noRawEvery`-th document is
// also stored without its raw text, so that the retrieval has to rebuild it
// unasked. Raw differences and failures are test failures; the rebuilt texts
// are checked in one run of the comparison script.
void roundTrip(const std::vector<std::string>& docs, const std::string& tag, size_t noRawEvery)
{
    ASSERT_FALSE(docs.empty());
    std::string base = "RT_" + tag;
    ASSERT_EQ(1, VdbCreateBase(base.c_str(), "xml")) << message(-1);
    std::string outDir = Session::dir + "/" + tag;
    ASSERT_EQ(0, mkdir(outDir.c_str(), 0700));
    std::string manifest = outDir + "/manifest.txt";
    std::ofstream list(manifest);
    int raw = 0, rebuilt = 0, noRaw = 0;
    auto keep = [&](const std::string& path, const std::string& text, const char* kind, size_t i) {
        std::string out = outDir + "/" + std::to_string(i) + kind + ".xml";
        std::ofstream(out, std::ios::binary) << text;
        list << path << '\t' << out << '\n';
        ++rebuilt;
    };
    for (size_t i = 0; i < docs.size(); ++i) {
        const std::string& path = docs[i];
        std::string why;
        std::string text;
        int rid = store(base, path, 0, &why);
        if (!rid) {
            ADD_FAILURE() << path << ": store failed: " << why;
            continue;
        }
        if (!retrieve(base, rid, 0, &text, &why)) {
            ADD_FAILURE() << path << ": raw retrieve failed: " << why;
            continue;
        }
        EXPECT_TRUE(text == readFile(path)) << path << ": raw text differs (" << text.size() << " bytes back)";
        ++raw;
        if (!retrieve(base, rid, EXPORT_BLOCK, &text, &why)) {
            ADD_FAILURE() << path << ": rebuild failed: " << why;
            continue;
        }
        keep(path, text, "", i);

        if (i % noRawEvery != 0)
            continue;
        rid = store(base, path, FO_NORAWTEXT, &why);
        if (!rid) {
            ADD_FAILURE() << path << ": store without raw text failed: " << why;
            continue;
        }
        if (!retrieve(base, rid, 0, &text, &why)) {
            ADD_FAILURE() << path << ": retrieve without raw text failed: " << why;
            continue;
        }
        keep(path, text, "-noraw", i);
        ++noRaw;
    }
    list.close();
    EXPECT_EQ(1, VdbDropBase(base.c_str())) << message(-1);
    std::string cmd = "/usr/bin/python3 '" VX_C14N_COMPARE "' '" + manifest + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string report;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p))
        report.append(buf, n);
    int rc = pclose(p);
    EXPECT_EQ(0, rc) << report;
    EXPECT_NE(std::string::npos, report.find("compared " + std::to_string(rebuilt) + ", differing 0")) << report;
    // The rebuilt texts stay for a look only when something differed.
    if (rc == 0 && !getenv("VX_ROUNDTRIP_KEEP")) {
        std::string rm = "rm -rf '" + outDir + "'";
        if (system(rm.c_str()) != 0) {
        }
    }
    printf("%s: %d raw round trips, %d rebuilt (%d stored without raw text); %s", tag.c_str(), raw, rebuilt, noRaw,
           report.substr(report.rfind("compared")).c_str());
}

TEST(RoundTrip, Fixtures)
{
    std::vector<std::string> docs;
    xmlFiles(VX_SOURCE_DIR "/tests/export/data", false, docs);
    xmlFiles(VX_SOURCE_DIR "/examples", false, docs);
    // A larger document: long text values, many nodes.
    std::string big = Session::dir + "/large.xml";
    {
        std::ofstream f(big);
        f << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<log>\n";
        for (int i = 0; i < 2000; ++i) {
            f << "  <line n=\"" << i << "\" level=\"" << (i % 3 ? "info" : "warn") << "\">";
            for (int k = 0; k < 5; ++k)
                f << "entry " << i << " &amp; part " << k << "; ";
            f << "</line>\n";
        }
        f << "  <blob>" << std::string(40000, 'x') << "</blob>\n</log>\n";
    }
    docs.push_back(big);
    roundTrip(docs, "fixtures", 1);
}

class Cldr : public ::testing::TestWithParam<const char*> {};

TEST_P(Cldr, Directory)
{
    std::vector<std::string> all;
    xmlFiles(std::string(kCldr) + "/" + GetParam(), true, all);
    ASSERT_FALSE(all.empty()) << "no CLDR documents in " << kCldr << "/" << GetParam()
                              << " (the package unicode-cldr-core, installed by scripts/bootstrap)";
    // The whole corpus takes minutes (storing is the cost): by default a
    // directory gives about 8 MB of its documents, every n-th one;
    // VX_CLDR_FULL=1 takes every document.
    const char* full = getenv("VX_CLDR_FULL");
    size_t bytes = 0;
    for (const std::string& path : all) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0)
            bytes += static_cast<size_t>(st.st_size);
    }
    size_t stride = full && strcmp(full, "1") == 0 ? 1 : std::max<size_t>(1, bytes / (8u << 20));
    std::vector<std::string> docs;
    for (size_t i = 0; i < all.size(); i += stride)
        docs.push_back(all[i]);
    // Stored once each (the raw text and the rebuild from the same parts);
    // every eighth also without its raw text, to keep the run short.
    std::string tag = std::string("cldr_") + GetParam();
    std::replace(tag.begin(), tag.end(), '-', '_');
    roundTrip(docs, tag, 8);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Cldr,
                         ::testing::Values("annotations", "annotationsDerived", "bcp47", "casing", "collation",
                                           "main", "rbnf", "segments", "subdivisions", "supplemental",
                                           "supplemental-temp", "transforms", "validity"));

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Session);
    return RUN_ALL_TESTS();
}
