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

// ---------------------------------------------------------------------------
// Search: generated documents, then look-ups, set operations and joins.

struct DocGen {
    std::mt19937 rng{11};
    const Fields& f;
    explicit DocGen(const Fields& fields) : f(fields) {}
    std::string text;
    int part = 0;
    static constexpr int kNames = 20;

    std::string word() {
        static const char* w[] = {"alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta",
                                  "lorem", "ipsum", "dolor", "amet",  "magna", "nulla", "porta", "velit"};
        return w[rng() % 16];
    }
    void node(int parent, const char* type, const std::string& name, const std::string& path,
              const std::string& value) {
        ++part;
        std::string p = std::to_string(part);
        text += "\n\n" + p + "G^\n";
        plain(text, f.id, part, p);
        plain(text, f.parent, part, std::to_string(parent));
        plain(text, f.type, part, type);
        plain(text, f.name, part, name);
        plain(text, f.nspace, part, "");
        plain(text, f.path, part, path);
        if (!value.empty()) text += std::to_string(f.tvalue) + "F^\n" + std::to_string(value.size()) + "L" + value + "^\n";
    }
    void element(int parent, const std::string& path, int depth, int budget) {
        std::string name = "e" + std::to_string(rng() % kNames);
        std::string me = path + "/" + name;
        node(parent, "ELEMENT", name, me, "");
        int id = part;
        int attrs = static_cast<int>(rng() % 3);
        for (int i = 0; i < attrs; ++i) node(id, "ATTRIBUTE", "at" + std::to_string(rng() % 5), me, std::to_string(rng() % 1000));
        while (part < budget) {
            int r = static_cast<int>(rng() % 10);
            if (r < 4 || depth > 6) {
                std::string v = word() + " " + word() + " " + std::to_string(rng() % 100);
                node(id, "TEXT", name, me, v);
            } else if (r < 9) {
                int sub = std::min(budget, part + 1 + static_cast<int>(rng() % 40));
                element(id, me, depth + 1, sub);
            } else {
                break;
            }
            if (rng() % 6 == 0) break;
        }
    }
    std::string doc(int n, int nodes) {
        text.clear();
        part = 0;
        plain(text, f.docname, 1, "doc" + std::to_string(n) + ".xml");
        while (part < nodes) element(0, "", 0, nodes);
        return text;
    }
};

int findSet(const std::string& cond, int* records, int* hits, double* secs) {
    int set = 0;
    double t = now();
    check(VdbExecuteCcl(("FIND " + cond).c_str(), &set), cond.c_str());
    if (secs) *secs = now() - t;
    int n = set, r = 0, h = 0;
    check(VdbGetSearch(&n, &r, &h), "VdbGetSearch");
    if (records) *records = r;
    if (hits) *hits = h;
    return set;
}

// Runs a condition three times (warm) and reports the best time.
void timed(const char* what, const std::string& cond, long operandTuples) {
    double best = 1e9;
    int recs = 0, hits = 0;
    for (int i = 0; i < 10; ++i) {
        double s;
        int set = findSet(cond, &recs, &hits, &s);
        best = std::min(best, s);
        if (set) VdbExecuteCcl(("DELETE S=" + std::to_string(set)).c_str(), nullptr);
    }
    long tuples = operandTuples > 0 ? operandTuples : hits;
    printf("  %-34s %-44s %9d hits %8.1f ms  %6.1f M tuples/s\n", what, cond.c_str(), hits, best * 1e3,
           tuples / best / 1e6);
    fflush(stdout);
}

void benchSearch(int docs, int nodes) {
    // VDBS_BENCH_REUSE=1 queries the base a previous run built.
    bool reuse = getenv("VDBS_BENCH_REUSE") && atoi(getenv("VDBS_BENCH_REUSE")) == 1;
    if (reuse) {
        setenv("VDBS_DATA", dataDir().c_str(), 1);
        check(VdbStartVorn("warden", "", 9, 4096), "VdbStartVorn");
    } else {
        freshSession();
        check(VdbCreateBase("search", "xml"), "create base");
    }
    check(VdbExecuteCcl("BASE search", nullptr), "BASE");
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "control");
    check(VdbSetBase(c, "search", 2), "set base");
    Fields f = fieldsOf(c);
    VdbDeleteRecordControl(c);
    DocGen gen(f);
    double t0 = now();
    long parts = 0;
    for (int d = 1; d <= docs && !reuse; ++d) {
        VdbHandle rc = nullptr, cur = nullptr;
        check(VdbCreateRecordControl(&rc), "control");
        check(VdbSetBase(rc, "search", 2), "set base");
        check(VdbSetCursor(&cur, rc, 0, 0, 0), "cursor");
        std::string t = gen.doc(d, nodes);
        parts += gen.part;
        int a, b, e;
        check(VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &e), "put buffer");
        check(VdbPutRecord(rc, nullptr), "put record");
        VdbDeleteRecordControl(rc);
        if (d % 1000 == 0) {
            printf("  %6d documents, %ld node parts, %.0f parts/s, peak %ld MB\n", d, parts, parts / (now() - t0),
                   peakRssMb());
            fflush(stdout);
        }
    }
    double el = now() - t0;
    if (!reuse)
        printf("build: %d documents, %ld node parts in %.1f s: %.1f documents/s, %.0f parts/s; peak memory %ld MB\n", docs,
           parts, el, docs / el, parts / el, peakRssMb());

    // Operand sets.
    int sElem = 0, sText = 0, sAttr = 0, sE3 = 0, sE7 = 0, sRoot = 0;
    int hElem, hText, hAttr, hE3, hE7, hRoot, r;
    double s;
    sElem = findSet("N_TYPE=ELEMENT", &r, &hElem, &s);
    sText = findSet("N_TYPE=TEXT", &r, &hText, &s);
    sAttr = findSet("N_TYPE=ATTRIBUTE", &r, &hAttr, &s);
    sE3 = findSet("N_NAME=e3", &r, &hE3, &s);
    sE7 = findSet("N_NAME=e7 OR N_NAME=e8", &r, &hE7, &s);
    sRoot = findSet("N_PARENT=0", &r, &hRoot, &s);
    printf("operands: elements %d, texts %d, attributes %d, e3 %d, e7|e8 %d, roots %d hits\n", hElem, hText, hAttr, hE3,
           hE7, hRoot);
    auto S = [](int n) { return "S=" + std::to_string(n); };
    auto N = [](int n) { return std::to_string(n); };
    printf("index look-ups (warm, best of 3; hits per second):\n");
    timed("exact value", "N_TYPE=ELEMENT", 0);
    timed("exact value", "N_NAME=e3", 0);
    timed("exact value", "N_TVALUE=\"alpha beta 7\"", 0);
    timed("exact value, quoted", "N_PARENT=\"1\"", 0);
    timed("any value", "N_ID=$", 0);
    timed("substring (trigrams)", "N_TVALUE=$ga del$", 0);
    timed("numeric range", "N_TVALUE>\"990\"", 0);
    printf("set operations (operand tuples per second):\n");
    timed("AND.T", S(sElem) + " AND.T " + S(sE3), hElem + hE3);
    timed("OR", S(sText) + " OR " + S(sAttr), hText + hAttr);
    timed("NOT.T", S(sElem) + " NOT.T " + S(sE3), hElem + hE3);
    timed("AND (records)", S(sE3) + " AND " + S(sAttr), hE3 + hAttr);
    printf("structural joins (operand tuples per second):\n");
    timed("XPATH child", "XPATH(child," + N(sE3) + "," + N(sText) + ",2)", hE3 + hText);
    timed("XPATH child, dir 1", "XPATH(child," + N(sElem) + "," + N(sText) + ",1)", hElem + hText);
    timed("XPATH descendant", "XPATH(descendant," + N(sE3) + "," + N(sE7) + ",2)", hE3 + hE7);
    timed("XPATH ancestor", "XPATH(ancestor," + N(sText) + "," + N(sE3) + ",1)", hText + hE3);
    timed("XPATH attribute", "XPATH(attribute," + N(sElem) + "," + N(sAttr) + ",2)", hElem + hAttr);
    timed("XPATH following-sibling", "XPATH(following-sibling," + N(sE3) + "," + N(sElem) + ",2)", hE3 + hElem);
    timed("XPATH preceding", "XPATH(preceding," + N(sE7) + "," + N(sE3) + ",2)", hE7 + hE3);
    timed("XPATH child of any node (C only)", "XPATH(child,0," + N(sE3) + ",2)", hE3);
    timed("XPATH position", "XPATH(SELF," + N(sE3) + "," + N(sE3) + ",1,EQ,-1)", 2L * hE3);
    timed("XPATH descendant of roots", "XPATH(descendant," + N(sRoot) + "," + N(sE3) + ",2)", hRoot + hE3);
    printf("peak memory %ld MB\n", peakRssMb());
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
    if (mode == "xpath" || mode == "all") {
        int docs = argc > 2 && mode == "xpath" ? atoi(argv[2]) : 10000;
        int nodes = argc > 3 && mode == "xpath" ? atoi(argv[3]) : 500;
        benchSearch(docs, nodes);
    }
    return 0;
}
