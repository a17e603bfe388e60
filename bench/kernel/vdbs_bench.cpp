// Kernel benchmark. Prints its figures; asserts nothing.
//   vdbs_bench store [records] [parts]   records of node parts with 8 fields,
//                                         through the record text form; then
//                                         one node field of every part read back
//   vdbs_bench xpath [docs] [nodes]       a base of generated documents, then
//                                         index look-ups, set operations and
//                                         structural joins
//   vdbs_bench all                        both, with the sizes of the figures
// The data directory is VDBS_BENCH_DIR (default /tmp/vdbs-bench), emptied first.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <time.h>

#include <random>
#include <string>
#include <vector>

#include "vornapi.h"

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

long peakRssMb() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024;
}

void check(int st, const char* what) {
    if (st & 1) return;
    char buf[512];
    int len = sizeof buf;
    VdbMessage(st, buf, &len);
    fprintf(stderr, "%s failed: %d %s\n", what, st, buf);
    exit(1);
}

int fieldNo(VdbHandle c, const char* name) {
    int n = 0, t = 0, f = 0;
    check(VdbCheckField(c, name, &n, &t, &f), name);
    return n;
}

std::string dataDir() {
    const char* d = getenv("VDBS_BENCH_DIR");
    return d && *d ? d : "/tmp/vdbs-bench";
}

void freshSession() {
    std::string dir = dataDir();
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) exit(1);
    setenv("VDBS_DATA", dir.c_str(), 1);
    check(VdbStartVorn("warden", "", 9, 4096), "VdbStartVorn");
}

void machine() {
    utsname u;
    uname(&u);
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    printf("machine: %s %s %s, %ld cores; sync=%s\n", u.sysname, u.release, u.machine, cores,
           getenv("VDBS_SYNC") ? getenv("VDBS_SYNC") : "full");
}

struct Fields {
    int id, parent, type, name, path, seqno, nspace, tvalue, docname;
};

Fields fieldsOf(VdbHandle c) {
    return Fields{fieldNo(c, "N_ID"),    fieldNo(c, "N_PARENT"), fieldNo(c, "N_TYPE"),
                  fieldNo(c, "N_NAME"),  fieldNo(c, "N_PATH"),   fieldNo(c, "N_SEQNO"),
                  fieldNo(c, "N_NSPACE"), fieldNo(c, "N_TVALUE"), fieldNo(c, "D_DOCNAME")};
}

void plain(std::string& t, int f, int item, const std::string& v) {
    t += std::to_string(f);
    t += "F^";
    t += std::to_string(item);
    t += "P";
    t += v;
    t += "^\n";
}

// ---------------------------------------------------------------------------
// Store: records of `parts` node parts, 8 fields each.

void benchStore(int records, int parts) {
    freshSession();
    check(VdbCreateBase("bench", "xml"), "create base");
    check(VdbExecuteCcl("BASE bench", nullptr), "BASE");
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "control");
    check(VdbSetBase(c, "bench", 2), "set base");
    Fields f = fieldsOf(c);
    std::mt19937 rng(7);
    static const char* names[] = {"section", "para", "title", "item", "note", "ref", "list", "entry"};
    double t0 = now();
    size_t bytes = 0;
    for (int r = 1; r <= records; ++r) {
        VdbHandle rc = nullptr, cur = nullptr;
        check(VdbCreateRecordControl(&rc), "control");
        check(VdbSetBase(rc, "bench", 2), "set base");
        check(VdbSetCursor(&cur, rc, 0, 0, 0), "cursor");
        std::string t;
        plain(t, f.docname, 1, "doc" + std::to_string(r) + ".xml");
        for (int p = 1; p <= parts; ++p) {
            t += "\n\n" + std::to_string(p) + "G^\n";
            plain(t, f.id, p, std::to_string(p));
            plain(t, f.parent, p, std::to_string(p > 1 ? (p - 1) / 3 + 1 : 0));
            plain(t, f.type, p, p % 3 ? "ELEMENT" : "TEXT");
            const char* nm = names[rng() % 8];
            plain(t, f.name, p, nm);
            plain(t, f.path, p, std::string("/doc/") + nm);
            plain(t, f.seqno, p, std::to_string(p % 17));
            plain(t, f.nspace, p, "");
            std::string v = "text of node " + std::to_string(p) + " in record " + std::to_string(r);
            t += std::to_string(f.tvalue) + "F^\n" + std::to_string(v.size()) + "L" + v + "^\n";
            // hand over a part at a time, as the shredder does
            if (t.size() > 4000 || p == parts) {
                int a, b, d;
                check(VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d), "put buffer");
                bytes += t.size();
                t.clear();
            }
        }
        int rid = 0;
        check(VdbPutRecord(rc, &rid), "put record");
        VdbDeleteRecordControl(rc);
        if (r % 1000 == 0) {
            double el = now() - t0;
            printf("  %6d records  %7.1f records/s  peak %ld MB\n", r, r / el, peakRssMb());
            fflush(stdout);
        }
    }
    double el = now() - t0;
    printf("store: %d records x %d parts x 8 fields (%.1f MB of record text form) in %.1f s: %.1f records/s, "
           "%.0f parts/s; peak memory %ld MB\n",
           records, parts, bytes / 1e6, el, records / el, static_cast<double>(records) * parts / el, peakRssMb());

    // Read N_NAME of every part of one record, through cursors as reconstruction does.
    int rid = records / 2;
    double best = 1e9;
    for (int rep = 0; rep < 5; ++rep) {
        double s = now();
        check(VdbGetRecordInBase(c, rid), "load record");
        char buf[256];
        int len;
        int got = 0;
        for (int p = 1; p <= parts; ++p) {
            VdbHandle cur = nullptr;
            check(VdbSetCursor(&cur, c, f.name, 0, p), "cursor");
            if (VdbGetLine(cur, buf, &len, 250) == 1) ++got;
            VdbDeleteCursor(cur);
        }
        double e = now() - s;
        if (got != parts) check(0, "read back");
        if (e < best) best = e;
    }
    printf("read: one node field of each of the %d parts of a record (load + cursor, line, delete per part): "
           "%.3f ms, %.2f us per part\n",
           parts, best * 1e3, best * 1e6 / parts);
    VdbDeleteRecordControl(c);
    VdbStopVorn(0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "all";
    machine();
    if (mode == "store" || mode == "all") {
        int records = argc > 2 && mode == "store" ? atoi(argv[2]) : 10000;
        int parts = argc > 3 && mode == "store" ? atoi(argv[3]) : 200;
        benchStore(records, parts);
    }
    return 0;
}
