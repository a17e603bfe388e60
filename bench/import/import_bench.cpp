// Document import benchmark. Prints its figures; asserts nothing.
//
//   vxbench_import [big-MB] [small-count] [small-KB]
//
// Generates a corpus in a temporary directory (one document of big-MB
// megabytes, default 100, and small-count documents of about small-KB
// kilobytes, defaults 10000 and 10), then measures, each phase in a child
// process of its own so that its peak memory is its own:
//   floor  the parser alone: a SAX parse of the same files with a handler
//          that does nothing;
//   store  vornxmlput through VdbImport from the file name into a new record
//          of an xml base, raw text kept, links off;
//   hostile documents (a billion laughs, one large entity referenced many
//          times, 100,000 nested elements, a 50 MB text node): the time and
//          peak memory until the store gives up (or stores).
// The data directory is VX_BENCH_DIR (default /tmp/vxbench-import), emptied
// first and removed at the end.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include "vornapi.h"

XERCES_CPP_NAMESPACE_USE

namespace {

std::string g_dir;

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long long fileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Items of a product catalogue: elements, attributes, text, an entity
// reference, a comment now and then; about 560 bytes and 30 nodes each.
void writeItem(FILE* fp, long n)
{
    fprintf(fp,
            "  <item id=\"i%ld\" kind=\"%s\" stock=\"%ld\">\n"
            "    <title>Item number %ld of the catalogue</title>\n"
            "    <price currency=\"EUR\">%ld.%02ld</price>\n"
            "    <desc>A sturdy thing made of %s &amp; steel, fit for daily use in kitchens, workshops and "
            "gardens; delivered within %ld days.</desc>\n"
            "    <tags><tag>%s</tag><tag>sale</tag><tag>new</tag></tags>\n"
            "%s"
            "  </item>\n",
            n, n % 3 ? "tool" : "part", n % 97, n, 3 + n % 500, n % 100, n % 2 ? "oak" : "ash", 1 + n % 14,
            n % 5 ? "home" : "garden", n % 10 == 0 ? "    <!-- checked -->\n" : "");
}

void writeDocument(const std::string& path, long long bytes, long first)
{
    FILE* fp = fopen(path.c_str(), "w");
    if (!fp) {
        perror(path.c_str());
        exit(1);
    }
    fprintf(fp, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog name=\"bench\">\n");
    long n = first;
    while (ftell(fp) < bytes - 600)
        writeItem(fp, n++);
    fprintf(fp, "</catalog>\n");
    fclose(fp);
}

struct Result {
    double seconds = 0;
    double cpu = 0;  // user + system seconds of the child
    long peakMb = 0;
    int failures = 0;
};

// Runs fn in a child process; its time and peak resident memory come back
// through a pipe.
template <class F> Result inChild(F fn)
{
    int fds[2];
    if (pipe(fds) != 0)
        exit(1);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result r;
        double t0 = now();
        r.failures = fn();
        r.seconds = now() - t0;
        rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        r.peakMb = ru.ru_maxrss / 1024;
        r.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r))
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Result r;
    if (read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r))
        r.failures = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return r;
}

int parseFloor(const std::vector<std::string>& files)
{
    XMLPlatformUtils::Initialize();
    SAX2XMLReader* reader = XMLReaderFactory::createXMLReader();
    DefaultHandler handler;
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);
    int failures = 0;
    for (const std::string& f : files) {
        XMLCh* path = XMLString::transcode(f.c_str());
        try {
            LocalFileInputSource source(path);
            reader->parse(source);
        } catch (...) {
            ++failures;
        }
        XMLString::release(&path);
    }
    delete reader;
    XMLPlatformUtils::Terminate();
    return failures;
}

int storeAll(const std::vector<std::string>& files, const char* base)
{
    if (!(VdbStartVorn("warden", "", 9, 4096) & 1))
        return -1;
    VdbCreateBase(base, "xml");
    int failures = 0;
    for (const std::string& f : files) {
        VdbHandle control = nullptr;
        VdbCreateRecordControl(&control);
        VdbSetBase(control, base, 2);
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlput");
        fd.buffer = const_cast<char*>(f.c_str());
        fd.vdb_options = IEOPT_FILENAME;
        fd.filter_options = FO_NEWRECORD;
        int st = VdbImport(&fd);
        if (!(st & 1)) {
            if (failures++ < 3)
                fprintf(stderr, "store of %s failed: %d %s\n", f.c_str(), st, fd.errortext);
        }
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
        VdbDeleteRecordControl(control);
    }
    VdbStopVorn(0);
    return failures;
}

// Stores one document from memory; prints the outcome.
int storeOne(const std::string& doc, const char* base)
{
    if (!(VdbStartVorn("warden", "", 9, 4096) & 1))
        return -1;
    VdbCreateBase(base, "xml");
    VdbHandle control = nullptr;
    VdbCreateRecordControl(&control);
    VdbSetBase(control, base, 2);
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = control;
    snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlput");
    fd.buffer = const_cast<char*>(doc.data());
    fd.buffer_length = static_cast<int>(doc.size());
    fd.vdb_options = IEOPT_MEMORY;
    fd.filter_options = FO_NEWRECORD;
    int st = VdbImport(&fd);
    printf("    status %d: %.100s\n", st, st & 1 ? "stored" : fd.errortext);
    fflush(stdout);
    if (fd.cursor)
        VdbDeleteCursor(fd.cursor);
    VdbDeleteRecordControl(control);
    VdbStopVorn(0);
    return 0;
}

void hostile()
{
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE l [\n<!ENTITY a \"lol\">\n";
    for (char e = 'b'; e <= 'j'; ++e) {
        laughs += std::string("<!ENTITY ") + e + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += std::string("&") + static_cast<char>(e - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<l>&j;</l>\n";
    std::string blowup = "<!DOCTYPE l [<!ENTITY big \"" + std::string(1000000, 'x') + "\">]>\n<l>";
    for (int i = 0; i < 10000; ++i)
        blowup += "&big;";
    blowup += "</l>";
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    std::string text = "<t>" + std::string(50 * 1024 * 1024, 'x') + "</t>";
    struct Case {
        const char* what;
        const std::string* doc;
    };
    printf("hostile documents\n");
    for (const Case& k : {Case{"billion laughs (10^9 expansions)", &laughs},
                          Case{"1 MB entity referenced 10,000 times", &blowup},
                          Case{"100,000 nested elements", &deep}, Case{"one 50 MB text node", &text}}) {
        printf("  %s, %zu bytes\n", k.what, k.doc->size());
        fflush(stdout);
        Result r = inChild([&] { return storeOne(*k.doc, "HOSTILE"); });
        printf("    %.2f s, peak %ld MB\n", r.seconds, r.peakMb);
    }
}

void report(const char* what, long long bytes, size_t docs, const Result& floor, const Result& store)
{
    double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
    printf("%s: %zu document(s), %.1f MB\n", what, docs, mb);
    printf("  parse floor  %8.2f s  %8.1f MB/s  peak %5ld MB  cpu %.2f s%s\n", floor.seconds, mb / floor.seconds,
           floor.peakMb, floor.cpu, floor.failures ? "  (parse failures!)" : "");
    printf("  store        %8.2f s  %8.1f MB/s  peak %5ld MB  cpu %.2f s  %.0f docs/s%s\n", store.seconds,
           mb / store.seconds, store.peakMb, store.cpu, static_cast<double>(docs) / store.seconds,
           store.failures ? "  (store failures!)" : "");
    // On a shared machine the processor time is the steadier figure.
    printf("  store / floor  %.2f (cpu %.2f)\n", store.seconds / floor.seconds,
           floor.cpu > 0 ? store.cpu / floor.cpu : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    long bigMb = argc > 1 ? atol(argv[1]) : 100;
    long smallCount = argc > 2 ? atol(argv[2]) : 10000;
    long smallKb = argc > 3 ? atol(argv[3]) : 10;
    const char* env = getenv("VX_BENCH_DIR");
    g_dir = env && *env ? env : "/tmp/vxbench-import";
    std::string rm = "rm -rf '" + g_dir + "'";
    if (system(rm.c_str()) != 0 || mkdir(g_dir.c_str(), 0700) != 0 || mkdir((g_dir + "/corpus").c_str(), 0700) != 0) {
        fprintf(stderr, "cannot make %s\n", g_dir.c_str());
        return 1;
    }
    setenv("VDBS_DATA", (g_dir + "/data").c_str(), 1);
    unsetenv("XML_LOG");
    unsetenv("XML_LINKS");

    char host[256] = "";
    gethostname(host, sizeof host);
    printf("vxbench_import on %s, %ld cores\n", host, sysconf(_SC_NPROCESSORS_ONLN));

    if (bigMb > 0) {
        std::vector<std::string> big{g_dir + "/corpus/big.xml"};
        writeDocument(big[0], bigMb * 1024 * 1024, 1);
        long long bytes = fileSize(big[0]);
        Result floor = inChild([&] { return parseFloor(big); });
        Result store = inChild([&] { return storeAll(big, "BIG"); });
        report("one large document", bytes, 1, floor, store);
        printf("  data directory after: %.1f MB\n", static_cast<double>(fileSize(g_dir + "/data/vdbs.db")) / 1048576.0);
        unlink(big[0].c_str());
    }
    if (smallCount > 0) {
        std::vector<std::string> small;
        long long bytes = 0;
        for (long i = 0; i < smallCount; ++i) {
            small.push_back(g_dir + "/corpus/doc" + std::to_string(i) + ".xml");
            writeDocument(small.back(), smallKb * 1024, i * 100);
            bytes += fileSize(small.back());
        }
        Result floor = inChild([&] { return parseFloor(small); });
        Result store = inChild([&] { return storeAll(small, "SMALL"); });
        report("many small documents", bytes, small.size(), floor, store);
    }
    if (argc <= 1 || getenv("VX_BENCH_HOSTILE"))
        hostile();
    if (system(rm.c_str()) != 0)
        return 1;
    return 0;
}
