// Client library benchmark. Prints its figures; asserts nothing.
//
//   vxbench_client [MB] [rounds]
//
// Generates one catalogue document of MB megabytes (default 100) in a
// temporary directory, then runs each case `rounds` times (default 1), every
// run in a child process of its own on a fresh data directory, so that its
// time and peak memory are its own:
//   import        VXImportXMLFile from the file name, raw text not kept
//   import+raw    the same, raw text kept
//   import stream VXImportXMLFile streamed (the filter fetches the document
//                 from the library's listener; raw text is never kept)
//   export        VXExportXMLFile of the stored document rebuilt from its
//                 nodes, and streamed (the filter posts it to the reader)
// Exports run on a record stored once by an unmeasured import. The data
// directory is VX_BENCH_DIR (default /tmp/vxbench-client), removed at the end.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vornapi.h"
#include "vxapidefs.h"

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

// Product catalogue items: elements, attributes, text, an entity reference,
// a comment now and then; about 560 bytes and 30 nodes each.
void writeDocument(const std::string& path, long long bytes)
{
    FILE* fp = fopen(path.c_str(), "w");
    if (!fp) {
        perror(path.c_str());
        exit(1);
    }
    fprintf(fp, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog name=\"bench\">\n");
    for (long n = 0; ftell(fp) < bytes; ++n)
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
    fprintf(fp, "</catalog>\n");
    fclose(fp);
}

void startSession(const std::string& data)
{
    setenv("VDBS_DATA", data.c_str(), 1);
    if (!getenv("VDBS_SYNC"))
        setenv("VDBS_SYNC", "normal", 1);
    if (VdbStartVorn("warden", "", 9, 4096) != 1 || VdbCreateBase("BENCH", "xml") != 1) {
        char text[512];
        int len = sizeof text;
        VdbMessage(-1, text, &len);
        fprintf(stderr, "kernel: %s\n", text);
        exit(1);
    }
}

void fail(const char* what, int rc)
{
    char text[512] = "";
    VXGetErrorMsg(rc, nullptr, text);
    fprintf(stderr, "%s failed (%d): %s\n", what, rc, text);
    exit(1);
}

enum Case { IMPORT, IMPORT_RAW, IMPORT_STREAM, EXPORT, EXPORT_STREAM };
const char* kNames[] = {"import", "import+raw", "import stream", "export", "export stream"};

// One measured run in this (child) process; prints "seconds peakKB".
void runCase(Case k, const std::string& doc, const std::string& data)
{
    startSession(data);
    VdbHandle c = nullptr;
    VdbCreateRecordControl(&c);
    VdbSetBase(c, "BENCH", 2);
    double t0 = 0, t1 = 0;
    int rc = 1;
    if (k == EXPORT || k == EXPORT_STREAM) {
        rc = VXImportXMLFile(c, doc.c_str(), nullptr, 0, 0, 0, 0, nullptr);
        if (rc != 1)
            fail("import before the export", rc);
        std::string out = g_dir + "/out.xml";
        t0 = now();
        rc = VXExportXMLFile(c, out.c_str(), 0, k == EXPORT_STREAM, 0, nullptr);
        t1 = now();
        if (rc != 1)
            fail(kNames[k], rc);
        if (fileSize(out) < fileSize(doc) * 9 / 10) {
            fprintf(stderr, "export wrote %lld bytes of %lld\n", fileSize(out), fileSize(doc));
            exit(1);
        }
        unlink(out.c_str());
    } else {
        t0 = now();
        rc = VXImportXMLFile(c, doc.c_str(), nullptr, 0, k == IMPORT_RAW, k == IMPORT_STREAM, 0, nullptr);
        t1 = now();
        if (rc != 1)
            fail(kNames[k], rc);
    }
    VdbDeleteRecordControl(c);
    VdbStopVorn(0);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("%.3f %ld\n", t1 - t0, ru.ru_maxrss);
}

bool measure(Case k, const std::string& doc, double* seconds, long* peakKb)
{
    std::string data = g_dir + "/data";
    std::string cmd = "rm -rf '" + data + "'";
    if (system(cmd.c_str()) != 0)
        return false;
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return false;
    // The child must not write out what the parent still has buffered.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        runCase(k, doc, data);
        fflush(stdout);
        _exit(0);
    }
    close(pipefd[1]);
    char buf[128] = "";
    ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s: child ended with status %d, said \"%.*s\"\n", kNames[k], status,
                static_cast<int>(n > 0 ? n : 0), buf);
        return false;
    }
    buf[n] = 0;
    return sscanf(buf, "%lf %ld", seconds, peakKb) == 2;
}

} // namespace

int main(int argc, char** argv)
{
    double mb = argc > 1 ? atof(argv[1]) : 100;
    int rounds = argc > 2 ? atoi(argv[2]) : 1;
    const char* base = getenv("VX_BENCH_DIR");
    g_dir = base ? base : "/tmp/vxbench-client";
    std::string cmd = "rm -rf '" + g_dir + "' && mkdir -p '" + g_dir + "'";
    if (system(cmd.c_str()) != 0)
        return 1;
    std::string doc = g_dir + "/catalog.xml";
    writeDocument(doc, static_cast<long long>(mb * 1024 * 1024));
    double docMb = static_cast<double>(fileSize(doc)) / (1024.0 * 1024.0);
    printf("document: %.1f MB, %d round(s) per case; VDBS_SYNC=%s\n", docMb, rounds,
           getenv("VDBS_SYNC") ? getenv("VDBS_SYNC") : "normal");
    printf("%-14s %10s %10s %10s %12s\n", "case", "best s", "median s", "MB/s", "peak RSS MB");
    for (Case k : {IMPORT, IMPORT_RAW, IMPORT_STREAM, EXPORT, EXPORT_STREAM}) {
        std::vector<double> times;
        long peak = 0;
        for (int r = 0; r < rounds; ++r) {
            double s = 0;
            long kb = 0;
            if (!measure(k, doc, &s, &kb)) {
                printf("%-14s failed\n", kNames[k]);
                break;
            }
            times.push_back(s);
            peak = std::max(peak, kb);
        }
        if (times.empty())
            continue;
        std::sort(times.begin(), times.end());
        double median = times[times.size() / 2];
        printf("%-14s %10.2f %10.2f %10.1f %12.0f\n", kNames[k], times.front(), median, docMb / median,
               static_cast<double>(peak) / 1024.0);
        fflush(stdout);
    }
    cmd = "rm -rf '" + g_dir + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
