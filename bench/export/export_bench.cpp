// Export benchmark: retrieval of stored documents as raw text and rebuilt
// from their node parts, beside the time the parser alone takes to read the
// same bytes (SAX, empty handler). Prints its figures; asserts nothing.
//   export_bench [big-MB] [small-count] [small-KB] [runs]
// Defaults: one document of 100 MB and 10,000 documents of 10 KB, 3 runs
// (the medians of elapsed and of CPU time are reported; the ratios in CPU
// time hold better on a machine shared with other work). For the large document it also shows how far
// the resident set rises while one retrieval runs. The corpus is generated here. Documents are
// stored through the store filter when the module has it, otherwise written
// as the shredder writes them (record text form) by this program.
// The data directory is VDBS_BENCH_DIR (default /tmp/vx-export-bench), emptied first;
// with VDBS_BENCH_REUSE=1 a directory a run of the same sizes left behind is
// read again instead (its documents are generated the same way), so that a
// retrieval can be measured or profiled without storing everything again.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "vornapi.h"

XERCES_CPP_NAMESPACE_USE

namespace {

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long peakRssMb()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024;
}

// A line of /proc/self/status in MB ("VmRSS", "VmHWM"); -1 when unreadable.
long statusMb(const char* key)
{
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0 && line[n] == ':')
            kb = atol(line + n + 1);
    fclose(f);
    return kb < 0 ? -1 : kb / 1024;
}

// Starts a new peak: the kernel resets the high-water mark of the resident
// set when "5" is written to clear_refs.
void resetPeak()
{
    FILE* f = fopen("/proc/self/clear_refs", "w");
    if (f) {
        fputs("5", f);
        fclose(f);
    }
}

// Runs fn once and reports how far the resident set rose above where it was.
void peakOf(const char* what, const std::function<void()>& fn)
{
    resetPeak();
    long before = statusMb("VmRSS");
    fn();
    long peak = statusMb("VmHWM");
    if (before >= 0 && peak >= 0)
        printf("  %-28s peak RSS %ld MB, %ld MB above the %ld MB before\n", what, peak, peak - before, before);
}

std::string message(int st)
{
    char buf[512];
    int len = sizeof buf;
    VdbMessage(st, buf, &len);
    return std::string(buf, static_cast<size_t>(len > 0 ? len : 0));
}

void check(int st, const char* what)
{
    if (st & 1)
        return;
    fprintf(stderr, "%s failed: %d %s\n", what, st, message(st).c_str());
    exit(1);
}

int fieldNo(VdbHandle c, const char* name)
{
    int n = 0;
    check(VdbCheckField(c, name, &n, nullptr, nullptr), name);
    return n;
}

// ---- corpus: the XML text and the node parts the shredder makes of it ----

struct Node {
    int type; // 1 element, 2 attribute, 3 text
    int parent;
    std::string name;
    std::string value;
    std::string path;
};

class Doc {
public:
    std::string xml;
    std::vector<Node> nodes;

    void open(const char* name, std::initializer_list<std::pair<const char*, std::string>> attrs = {})
    {
        flush();
        xml += '<';
        xml += name;
        int parent = stack_.empty() ? 0 : stack_.back();
        std::string path = paths_.empty() ? std::string() : paths_.back();
        path += '/';
        path += name;
        nodes.push_back({1, parent, name, "", ""});
        int id = static_cast<int>(nodes.size());
        for (const auto& a : attrs) {
            xml += ' ';
            xml += a.first;
            xml += "=\"";
            xml += a.second;
            xml += '"';
            nodes.push_back({2, id, a.first, a.second, path + "/" + a.first});
        }
        xml += '>';
        stack_.push_back(id);
        paths_.push_back(path);
    }
    void text(const std::string& t)
    {
        xml += t;
        text_ += t;
    }
    void close()
    {
        flush();
        xml += "</";
        xml += nodes[static_cast<size_t>(stack_.back() - 1)].name;
        xml += '>';
        stack_.pop_back();
        paths_.pop_back();
    }

private:
    void flush()
    {
        if (text_.empty())
            return;
        int parent = stack_.back();
        nodes.push_back({3, parent, nodes[static_cast<size_t>(parent - 1)].name, text_, paths_.back()});
        text_.clear();
    }
    std::vector<int> stack_;
    std::vector<std::string> paths_;
    std::string text_;
};

const char* const kWords[] = {"auction", "bid",  "gold",   "silver", "rare",  "vintage", "lamp",   "chair",
                               "table",   "clock", "mirror", "book",   "print", "stamp",   "coin",   "vase",
                               "quilt",   "toy",   "radio",  "camera", "watch", "ring",    "bottle", "map"};

// Auction-style items until the text reaches `bytes`.
Doc makeDocument(size_t bytes, unsigned seed)
{
    Doc d;
    d.xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    d.open("site");
    d.text("\n");
    unsigned r = seed;
    auto next = [&r]() {
        r = r * 1103515245u + 12345u;
        return (r >> 16) & 0x7fff;
    };
    for (int i = 0; d.xml.size() < bytes; ++i) {
        d.open("item", {{"id", "item" + std::to_string(i)}, {"category", "c" + std::to_string(next() % 50)}});
        d.open("name");
        d.text(std::string(kWords[next() % 24]) + " " + kWords[next() % 24] + " #" + std::to_string(i));
        d.close();
        d.open("description");
        std::string t;
        int words = 20 + static_cast<int>(next() % 40);
        for (int w = 0; w < words; ++w) {
            t += kWords[next() % 24];
            t += (w % 9 == 8) ? " &amp; " : " ";
        }
        d.text(t);
        d.close();
        d.open("price", {{"currency", "EUR"}});
        d.text(std::to_string(next() % 1000) + "." + std::to_string(10 + next() % 90));
        d.close();
        d.close();
        d.text("\n");
    }
    d.close();
    return d;
}

// ---- storing ----


// Through the store filter; false when the module does not have it yet.
bool storeThroughFilter(const Doc& d, int* rid)
{
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "VdbCreateRecordControl");
    check(VdbSetBase(c, "DOCS", 2), "VdbSetBase");
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = c;
    strcpy(fd.filter_name, "vornxmlput");
    fd.buffer = const_cast<char*>(d.xml.data());
    fd.buffer_length = static_cast<int>(d.xml.size());
    fd.vdb_options = IEOPT_MEMORY;
    fd.filter_options = FO_NEWRECORD;
    int st = VdbImport(&fd);
    if (fd.cursor)
        VdbDeleteCursor(fd.cursor);
    VdbRecordInfo(c, 1, nullptr, rid);
    VdbDeleteRecordControl(c);
    if (!(st & 1) && strstr(fd.errortext, "not available"))
        return false;
    if (!(st & 1)) {
        fprintf(stderr, "vornxmlput failed: %s\n", fd.errortext);
        exit(1);
    }
    return true;
}

struct Fields {
    int id, parent, type, ntype, name, nspace, path, tvalue, propname, propval, meta, xmldoc, docsize;
};

void piece(VdbHandle cur, std::string& buf, bool force)
{
    if (buf.size() < 65536 && !force)
        return;
    check(VdbPutRecordBuffer(cur, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr, nullptr),
          "VdbPutRecordBuffer");
    buf.clear();
}

void line(std::string& buf, int field, int item, const std::string& value)
{
    buf += std::to_string(field) + "F^" + std::to_string(item) + "P" + value + "^\n";
}

void block(std::string& buf, int field, const std::string& value)
{
    buf += std::to_string(field) + "F^\n";
    for (size_t at = 0;; at += 4096) {
        size_t n = std::min<size_t>(4096, value.size() - std::min(at, value.size()));
        buf += std::to_string(n) + "L";
        buf.append(value, std::min(at, value.size()), n);
        buf += "^\n";
        if (at + 4096 >= value.size())
            break;
    }
}

// The record the shredder and the store make of d, written by this program.
void storeDirect(const Doc& d, int* rid)
{
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "VdbCreateRecordControl");
    check(VdbSetBase(c, "DOCS", 2), "VdbSetBase");
    Fields f{fieldNo(c, "N_ID"),     fieldNo(c, "N_PARENT"),  fieldNo(c, "N_TYPE"), fieldNo(c, "N_NTYPE"),
             fieldNo(c, "N_NAME"),   fieldNo(c, "N_NSPACE"),  fieldNo(c, "N_PATH"), fieldNo(c, "N_TVALUE"),
             fieldNo(c, "D_PROPNAME"), fieldNo(c, "D_PROPVAL"), fieldNo(c, "D_META"), fieldNo(c, "D_XMLDOC"),
             fieldNo(c, "D_DOCSIZE")};
    VdbHandle cur = nullptr;
    check(VdbSetCursor(&cur, c, 0, 0, 0), "VdbSetCursor");
    std::string buf;
    const char* props[][2] = {{"vornxmlversion", "3.0-1"}, {"vornxmlstyle", "SAX"}, {"xmlencoding", "UTF-8"},
                              {"xmlversion", "1.0"}};
    for (int i = 0; i < 4; ++i) {
        line(buf, f.propname, i + 1, props[i][0]);
        line(buf, f.propval, i + 1, props[i][1]);
    }
    line(buf, f.meta, 1, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    static const char* const types[] = {"", "ELEMENT", "ATTRIBUTE", "TEXT"};
    int part = 1;
    buf += "\n\n1G^\n";
    line(buf, f.id, 1, "1");
    line(buf, f.parent, 1, "0");
    line(buf, f.ntype, 1, "0");
    line(buf, f.type, 1, "XML_DECL");
    for (const Node& n : d.nodes) {
        ++part;
        buf += "\n\n" + std::to_string(part) + "G^\n";
        line(buf, f.id, part, std::to_string(part));
        line(buf, f.parent, part, std::to_string(n.parent + 1));
        if (!n.path.empty())
            line(buf, f.path, part, n.path);
        line(buf, f.name, part, n.name);
        line(buf, f.ntype, part, std::to_string(n.type));
        line(buf, f.type, part, types[n.type]);
        if (n.type != 3)
            line(buf, f.nspace, part, "");
        if (n.type != 1)
            block(buf, f.tvalue, n.value);
        piece(cur, buf, false);
    }
    piece(cur, buf, true);
    VdbHandle blob = nullptr;
    check(VdbSetCursor(&blob, c, f.xmldoc, 0, 0), "VdbSetCursor D_XMLDOC");
    for (size_t at = 0; at < d.xml.size(); at += 1023)
        check(VdbPutBlobBlock(blob, static_cast<int>(std::min<size_t>(1023, d.xml.size() - at)), d.xml.data() + at),
              "VdbPutBlobBlock");
    VdbDeleteCursor(blob);
    check(VdbPutRecord(c, rid), "VdbPutRecord");
    VdbDeleteCursor(cur);
    VdbDeleteRecordControl(c);
}

bool g_viaFilter = true;

int store(const Doc& d)
{
    int rid = 0;
    if (g_viaFilter && storeThroughFilter(d, &rid))
        return rid;
    g_viaFilter = false;
    storeDirect(d, &rid);
    return rid;
}

// ---- measuring ----

// Retrieves record rid into filter memory, or into the named file; the
// bytes delivered (memory only).
size_t retrieve(int rid, bool rebuild, const char* file = nullptr)
{
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "VdbCreateRecordControl");
    check(VdbSetBase(c, "DOCS", 2), "VdbSetBase");
    check(VdbGetRecordInBase(c, rid), "VdbGetRecordInBase");
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = c;
    strcpy(fd.filter_name, "vornxmlget");
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    if (file) {
        fd.vdb_options = IEOPT_FILENAME;
        fd.buffer = const_cast<char*>(file);
    }
    fd.filter_options = rebuild ? EXPORT_BLOCK : 0;
    int st = VdbExport(&fd);
    if (!(st & 1)) {
        fprintf(stderr, "vornxmlget failed: %s\n", fd.errortext);
        exit(1);
    }
    size_t n = file ? 0 : static_cast<size_t>(fd.buffer_length);
    if (!file)
        free(fd.buffer);
    if (fd.cursor)
        VdbDeleteCursor(fd.cursor);
    VdbDeleteRecordControl(c);
    return n;
}

// Only loads record rid into a record control (the kernel's share of a retrieval).
void load(int rid)
{
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "VdbCreateRecordControl");
    check(VdbSetBase(c, "DOCS", 2), "VdbSetBase");
    check(VdbGetRecordInBase(c, rid), "VdbGetRecordInBase");
    int parts = 0;
    VdbPartCount(c, &parts);
    VdbDeleteRecordControl(c);
}

class NullHandler : public DefaultHandler {};

void parse(SAX2XMLReader* reader, const std::string& xml)
{
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "bench", false);
    reader->parse(src);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds of one measurement: elapsed, and CPU (user + system) of this
// process, which other load on the machine disturbs less.
struct Timing {
    double wall = 0;
    double cpu = 0;
    Timing operator-(const Timing& o) const { return {wall - o.wall, cpu - o.cpu}; }
};

double cpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Medians of `runs` runs of fn.
Timing timed(int runs, const std::function<void()>& fn)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; ++i) {
        double t0 = now(), c0 = cpuNow();
        fn();
        cpu.push_back(cpuNow() - c0);
        wall.push_back(now() - t0);
    }
    return {median(wall), median(cpu)};
}

// The phases timed in turn, round after round, and the median of each: a
// ratio between phases then holds when the machine's speed drifts.
std::vector<Timing> timedInTurn(int runs, const std::vector<std::function<void()>>& phases)
{
    std::vector<std::vector<double>> wall(phases.size()), cpu(phases.size());
    for (int i = 0; i < runs; ++i)
        for (size_t k = 0; k < phases.size(); ++k) {
            double t0 = now(), c0 = cpuNow();
            phases[k]();
            cpu[k].push_back(cpuNow() - c0);
            wall[k].push_back(now() - t0);
        }
    std::vector<Timing> out;
    for (size_t k = 0; k < phases.size(); ++k)
        out.push_back({median(wall[k]), median(cpu[k])});
    return out;
}

void report(const char* what, size_t bytes, Timing t, Timing floor)
{
    double mb = static_cast<double>(bytes) / 1e6;
    printf("  %-28s %9.3f s  %8.1f MB/s", what, t.wall, mb / t.wall);
    if (floor.wall > 0)
        printf("  (%.2fx the parse time)", t.wall / floor.wall);
    printf("  cpu %.3f s", t.cpu);
    if (floor.cpu > 0)
        printf(" (%.2fx)", t.cpu / floor.cpu);
    printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    size_t bigMb = argc > 1 ? static_cast<size_t>(atol(argv[1])) : 100;
    int smallCount = argc > 2 ? atoi(argv[2]) : 10000;
    size_t smallKb = argc > 3 ? static_cast<size_t>(atol(argv[3])) : 10;
    int runs = argc > 4 ? atoi(argv[4]) : 3;

    const char* dirEnv = getenv("VDBS_BENCH_DIR");
    std::string dir = dirEnv && *dirEnv ? dirEnv : "/tmp/vx-export-bench";
    // What the directory holds: the sizes it was stored with.
    std::string stamp = dir + "/bench-sizes";
    char sizes[96];
    snprintf(sizes, sizeof sizes, "%zu %d %zu\n", bigMb, smallCount, smallKb);
    bool reuse = false;
    if (const char* r = getenv("VDBS_BENCH_REUSE"); r && *r == '1') {
        FILE* f = fopen(stamp.c_str(), "r");
        char held[96] = "";
        if (f) {
            if (!fgets(held, sizeof held, f))
                held[0] = 0;
            fclose(f);
        }
        reuse = strcmp(held, sizes) == 0;
        if (!reuse)
            printf("%s does not hold a store of these sizes: storing again\n", dir.c_str());
    }
    if (!reuse) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            return 1;
    }
    setenv("VDBS_DATA", dir.c_str(), 1);
    if (!getenv("VDBS_SYNC"))
        setenv("VDBS_SYNC", "normal", 1);
    setenv("VDBS_FILTERS", VORNXML_MODULE, 1);
    check(VdbStartVorn("warden", "", 9, 4096), "VdbStartVorn");
    if (!reuse)
        check(VdbCreateBase("DOCS", "xml"), "VdbCreateBase");
    check(VdbExecuteCcl("BASE DOCS", nullptr), "BASE DOCS");

    utsname u;
    uname(&u);
    printf("machine: %s %s %s, %ld cores\n", u.sysname, u.release, u.machine, sysconf(_SC_NPROCESSORS_ONLN));

    XMLPlatformUtils::Initialize();
    SAX2XMLReader* reader = XMLReaderFactory::createXMLReader();
    NullHandler handler;
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);

    // One large document.
    {
        Doc d = makeDocument(bigMb * 1000 * 1000, 1);
        printf("\none document: %.1f MB, %zu nodes\n", static_cast<double>(d.xml.size()) / 1e6, d.nodes.size() + 1);
        double t0 = now();
        // Records are numbered in the order they are stored: the large one first.
        int rid = reuse ? 1 : store(d);
        if (reuse)
            printf("  stored before (VDBS_BENCH_REUSE)\n");
        else
            printf("  stored in %.1f s (%s)\n", now() - t0, g_viaFilter ? "store filter" : "record text form");
        size_t rawOut = 0, out = 0;
        std::string file = dir + "/rebuilt.xml";
        std::vector<Timing> t = timedInTurn(runs, {[&] { parse(reader, d.xml); }, [&] { load(rid); },
                                                   [&] { rawOut = retrieve(rid, false); },
                                                   [&] { out = retrieve(rid, true); },
                                                   [&] { retrieve(rid, true, file.c_str()); }});
        const Timing& floor = t[0];
        report("parse floor (SAX, no-op)", d.xml.size(), floor, Timing());
        report("record load alone (kernel)", d.xml.size(), t[1], floor);
        report("raw text", rawOut, t[2], floor);
        report("rebuilt", d.xml.size(), t[3], floor);
        report("rebuilt minus record load", d.xml.size(), t[3] - t[1], floor);
        report("rebuilt to a file", d.xml.size(), t[4], floor);
        printf("  rebuilt text: %zu bytes; peak RSS of the process so far %ld MB\n", out, peakRssMb());
        peakOf("rebuilt to memory:", [&] { retrieve(rid, true); });
        peakOf("rebuilt to a file:", [&] { retrieve(rid, true, file.c_str()); });
        peakOf("raw text to a file:", [&] { retrieve(rid, false, file.c_str()); });
        unlink(file.c_str());
    }

    // Many small documents.
    if (smallCount > 0) {
        std::vector<std::string> texts;
        std::vector<int> rids;
        size_t total = 0;
        double t0 = now();
        for (int i = 0; i < smallCount; ++i) {
            Doc d = makeDocument(smallKb * 1000, static_cast<unsigned>(i + 7));
            rids.push_back(reuse ? i + 2 : store(d));
            total += d.xml.size();
            texts.push_back(std::move(d.xml));
        }
        printf("\n%d documents: %.1f MB in all, stored in %.1f s (%s)\n", smallCount, static_cast<double>(total) / 1e6,
               now() - t0, reuse ? "before" : g_viaFilter ? "store filter" : "record text form");
        // VDBS_BENCH_ONLY=rebuilt times the rebuild alone, for a profiler.
        const char* only = getenv("VDBS_BENCH_ONLY");
        bool all = !only || strcmp(only, "rebuilt") != 0;
        auto parseAll = [&] {
            for (const std::string& t : texts)
                parse(reader, t);
        };
        auto loadAll = [&] {
            for (int rid : rids)
                load(rid);
        };
        auto rawAll = [&] {
            for (int rid : rids)
                retrieve(rid, false);
        };
        auto rebuildAll = [&] {
            for (int rid : rids)
                retrieve(rid, true);
        };
        Timing floor, loadAlone, rebuilt;
        if (all) {
            std::vector<Timing> t = timedInTurn(runs, {parseAll, loadAll, rawAll, rebuildAll});
            floor = t[0];
            loadAlone = t[1];
            rebuilt = t[3];
            report("parse floor (SAX, no-op)", total, floor, Timing());
            report("record load alone (kernel)", total, loadAlone, floor);
            report("raw text", total, t[2], floor);
        } else {
            rebuilt = timed(runs, rebuildAll);
        }
        report("rebuilt", total, rebuilt, floor);
        if (all)
            report("rebuilt minus record load", total, rebuilt - loadAlone, floor);
    }

    delete reader;
    XMLPlatformUtils::Terminate();
    VdbStopVorn(0);
    if (!reuse) {
        FILE* f = fopen(stamp.c_str(), "w");
        if (f) {
            fputs(sizes, f);
            fclose(f);
        }
    }
    return 0;
}
