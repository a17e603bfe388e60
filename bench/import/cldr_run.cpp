// Stores every XML file of a directory tree (by default the Unicode CLDR data
// of Debian's unicode-cldr-core) and prints what happened. Asserts nothing.
//
//   vxbench_import_cldr [dir] [validate]
//
// Each file goes through vornxmlput from its file name into a new record of
// one xml base; with "validate" the documents are validated against their
// DTDs. The data directory is VX_BENCH_DIR (default /tmp/vxbench-cldr),
// emptied first and removed at the end.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vornapi.h"

namespace {

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void collect(const std::string& dir, std::vector<std::string>& out)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            collect(path, out);
        else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
            out.push_back(path);
    }
    closedir(d);
}

} // namespace

int main(int argc, char** argv)
{
    std::string root = argc > 1 ? argv[1] : "/usr/share/unicode/cldr/common";
    bool validate = argc > 2 && strcmp(argv[2], "validate") == 0;
    const char* env = getenv("VX_BENCH_DIR");
    std::string dir = env && *env ? env : "/tmp/vxbench-cldr";
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0)
        return 1;
    setenv("VDBS_DATA", dir.c_str(), 1);
    unsetenv("XML_LOG");

    std::vector<std::string> files;
    collect(root, files);
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "no XML files under %s\n", root.c_str());
        return 1;
    }
    if (!(VdbStartVorn("warden", "", 9, 4096) & 1) || !(VdbCreateBase("CORPUS", "xml") & 1)) {
        fprintf(stderr, "cannot open the data directory %s\n", dir.c_str());
        return 1;
    }

    long long bytes = 0, parts = 0;
    int failures = 0;
    double t0 = now();
    for (const std::string& f : files) {
        struct stat st;
        if (stat(f.c_str(), &st) == 0)
            bytes += st.st_size;
        VdbHandle control = nullptr;
        VdbCreateRecordControl(&control);
        VdbSetBase(control, "CORPUS", 2);
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlput");
        fd.buffer = const_cast<char*>(f.c_str());
        fd.vdb_options = IEOPT_FILENAME;
        fd.filter_options = FO_NEWRECORD | (validate ? FO_VALIDATE : 0);
        int status = VdbImport(&fd);
        if (status & 1) {
            int n = 0;
            VdbRecordInfo(control, 3, nullptr, &n);
            parts += n;
        } else if (++failures <= 10) {
            printf("FAILED %s: %d %s\n", f.c_str(), status, fd.errortext);
        }
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
        VdbDeleteRecordControl(control);
    }
    double seconds = now() - t0;
    int records = 0;
    VdbBaseInfo("CORPUS", 2, nullptr, &records);
    VdbStopVorn(0);
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double mb = static_cast<double>(bytes) / 1048576.0;
    printf("%s%s: %zu files, %.1f MB, %lld node parts\n", root.c_str(), validate ? " (validated)" : "", files.size(),
           mb, parts);
    printf("stored %d, failed %d, records in the base %d\n", static_cast<int>(files.size()) - failures, failures,
           records);
    printf("%.1f s, %.2f MB/s, %.0f files/s, peak %ld MB\n", seconds, mb / seconds,
           static_cast<double>(files.size()) / seconds, ru.ru_maxrss / 1024);
    if (system(rm.c_str()) != 0)
        return 1;
    return failures ? 2 : 0;
}
