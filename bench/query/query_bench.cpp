// XPath query benchmark: a dozen queries of different shapes over an
// auction-style corpus, warm, in this process, with and without fragments.
// Prints its figures; asserts nothing.
//
//   query_bench load <corpus-dir> [docs] [doc-KB] [big-MB]
//       generates the corpus (docs small documents and one big one), writes
//       the XML files to <corpus-dir>/small/ and <corpus-dir>/big.xml (for
//       the other engines) and stores them in the bases SMALL and BIG of the
//       data directory VDBS_DATA (emptied first).
//   query_bench run [runs] [base]
//       every query on both bases (or one): the median of `runs` warm runs
//       in ms.
//   query_bench one <base> <fragments 0|1> <xpath>
//       one query as a whole program would run it: session, query, output
//       to stdout, end (timed from outside by run_bench.sh).
//   query_bench repeat <base> <runs> <xpath>
//       one query, warm, `runs` times in this process: its median and each
//       run in ms (for profiling one query shape); with fragments when
//       VXQ_FRAGMENTS=1; with the other form of the query run untimed
//       before each run, as `run` alternates them, when VXQ_ALTERNATE=1.
//   query_bench queries
//       the queries, one per line.
//
// Documents are stored through the store filter when the module has it,
// otherwise as the shredder writes them (record text form) by this program.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vornapi.h"

namespace {

const char* const kQueries[] = {
    "/site/regions/europe/item/name",
    "//name",
    "//item[location='Germany']/name",
    "//openauction/bidder[1]/increase",
    "//item/description[contains(.,'gold')]",
    "//item[@featured='yes' and payment='Cash']",
    "//person/name | //category/name",
    "//bidder[personref/@person='person3']/following-sibling::bidder",
    "//person[@id='person4']",
    "//openauction[current>290]",
    "//openauction/bidder[position()=last()]",
    "//mail[from='person7']/ancestor::item",
};

// VXQ_CPU=1: the process's CPU time instead of wall time (steadier on a
// machine shared with other work).
double now()
{
    static const bool cpu = getenv("VXQ_CPU") && atoi(getenv("VXQ_CPU")) != 0;
    timespec ts;
    clock_gettime(cpu ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
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
    int type;  // 1 element, 2 attribute, 3 text
    int parent;
    std::string name;
    std::string value;
};

std::string escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

class Doc {
public:
    std::string xml;
    std::vector<Node> nodes;

    void open(const char* name, std::initializer_list<std::pair<const char*, std::string>> attrs = {})
    {
        xml += '<';
        xml += name;
        int parent = stack_.empty() ? 0 : stack_.back();
        nodes.push_back({1, parent, name, ""});
        int id = static_cast<int>(nodes.size());
        for (const auto& a : attrs) {
            xml += ' ';
            xml += a.first;
            xml += "=\"";
            xml += escape(a.second);
            xml += '"';
            nodes.push_back({2, id, a.first, a.second});
        }
        xml += '>';
        stack_.push_back(id);
    }
    void close()
    {
        xml += "</";
        xml += nodes[static_cast<size_t>(stack_.back() - 1)].name;
        xml += '>';
        stack_.pop_back();
    }
    // An element holding one text node.
    void leaf(const char* name, const std::string& text,
              std::initializer_list<std::pair<const char*, std::string>> attrs = {})
    {
        open(name, attrs);
        if (!text.empty()) {
            xml += escape(text);
            nodes.push_back({3, stack_.back(), name, text});
        }
        close();
    }
    size_t depth() const { return stack_.size(); }

private:
    std::vector<int> stack_;
};

class Rand {
public:
    explicit Rand(unsigned seed) : r_(seed) {}
    unsigned next()
    {
        r_ = r_ * 1103515245u + 12345u;
        return (r_ >> 16) & 0x7fff;
    }
    unsigned operator()(unsigned n) { return next() % n; }

private:
    unsigned r_;
};

const char* const kWords[] = {"auction", "bid",  "gold",   "silver", "rare",  "vintage", "lamp",   "chair",
                              "table",   "clock", "mirror", "book",   "print", "stamp",   "coin",   "vase",
                              "quilt",   "toy",   "radio",  "camera", "watch", "ring",    "bottle", "map"};
const char* const kCountries[] = {"Germany", "France", "Italy", "Spain", "Japan", "Kenya", "Chile", "Canada"};
const char* const kRegions[] = {"africa", "asia", "europe", "namerica", "samerica", "australia"};
const char* const kPayments[] = {"Cash", "Creditcard", "Money order", "Personal check"};

struct Counters {
    int item = 0, person = 0, auction = 0, category = 0;
};

std::string words(Rand& r, int n)
{
    std::string t;
    for (int i = 0; i < n; ++i) {
        if (i)
            t += ' ';
        t += kWords[r(24)];
    }
    return t;
}

void item(Doc& d, Rand& r, Counters& c)
{
    int id = c.item++;
    if (r(4) == 0)
        d.open("item", {{"id", "item" + std::to_string(id)}, {"featured", "yes"}});
    else
        d.open("item", {{"id", "item" + std::to_string(id)}});
    d.leaf("location", kCountries[r(8)]);
    d.leaf("quantity", std::to_string(1 + r(3)));
    d.leaf("name", words(r, 2) + " #" + std::to_string(id));
    d.leaf("payment", kPayments[r(4)]);
    d.open("description");
    d.leaf("text", words(r, 15 + static_cast<int>(r(30))));
    d.close();
    d.leaf("shipping", "Will ship internationally");
    d.leaf("incategory", "", {{"category", "category" + std::to_string(r(100))}});
    d.open("mailbox");
    for (unsigned m = r(3); m > 0; --m) {
        d.open("mail");
        d.leaf("from", "person" + std::to_string(r(50)));
        d.leaf("to", "person" + std::to_string(r(50)));
        d.leaf("date", std::to_string(1 + r(28)) + "/0" + std::to_string(1 + r(9)) + "/2001");
        d.leaf("text", words(r, 10 + static_cast<int>(r(20))));
        d.close();
    }
    d.close();
    d.close();
}

void person(Doc& d, Rand& r, Counters& c)
{
    int id = c.person++;
    d.open("person", {{"id", "person" + std::to_string(id)}});
    d.leaf("name", std::string(kWords[r(24)]) + " " + kWords[r(24)]);
    d.leaf("emailaddress", "mailto:p" + std::to_string(id) + "@example.com");
    d.leaf("city", kCountries[r(8)]);
    d.close();
}

void auction(Doc& d, Rand& r, Counters& c)
{
    int id = c.auction++;
    // Underscores are not name characters of the query language.
    d.open("openauction", {{"id", "auction" + std::to_string(id)}});
    int initial = 10 + static_cast<int>(r(200));
    d.leaf("initial", std::to_string(initial));
    int current = initial;
    for (unsigned b = 1 + r(5); b > 0; --b) {
        d.open("bidder");
        d.leaf("date", std::to_string(1 + r(28)) + "/0" + std::to_string(1 + r(9)) + "/2001");
        d.leaf("personref", "", {{"person", "person" + std::to_string(r(50))}});
        int inc = 1 + static_cast<int>(r(30));
        current += inc;
        d.leaf("increase", std::to_string(inc) + ".50");
        d.close();
    }
    d.leaf("current", std::to_string(current));
    d.leaf("itemref", "", {{"item", "item" + std::to_string(r(c.item + 1))}});
    d.leaf("seller", "", {{"person", "person" + std::to_string(r(50))}});
    d.close();
}

// One site: items in one region (or all regions), people, auctions, categories.
Doc site(Rand& r, Counters& c, size_t bytes)
{
    Doc d;
    d.open("site");
    d.open("regions");
    // Documents of at least 1 MB spread their items over every region.
    size_t regions = bytes >= (1u << 20) ? 6 : 1;
    size_t share = bytes * 6 / 10 / regions;
    size_t first = r(6);
    for (size_t g = 0; g < regions; ++g) {
        d.open(kRegions[(first + g) % 6]);
        size_t start = d.xml.size();
        do
            item(d, r, c);
        while (d.xml.size() - start < share);
        d.close();
    }
    d.close();
    d.open("categories");
    size_t start = d.xml.size();
    do {
        d.open("category", {{"id", "category" + std::to_string(c.category++)}});
        d.leaf("name", words(r, 2));
        d.open("description");
        d.leaf("text", words(r, 8));
        d.close();
        d.close();
    } while (d.xml.size() - start < bytes / 20);
    d.close();
    d.open("people");
    start = d.xml.size();
    do
        person(d, r, c);
    while (d.xml.size() - start < bytes / 10);
    d.close();
    d.open("openauctions");
    while (d.xml.size() < bytes)
        auction(d, r, c);
    d.close();
    d.close();
    return d;
}

// ---- storing ----

bool storeThroughFilter(const char* base, const Doc& d)
{
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "VdbCreateRecordControl");
    check(VdbSetBase(c, base, 2), "VdbSetBase");
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
    VdbDeleteRecordControl(c);
    if (!(st & 1) && strstr(fd.errortext, "not available"))
        return false;
    if (!(st & 1)) {
        fprintf(stderr, "vornxmlput failed: %s\n", fd.errortext);
        exit(1);
    }
    return true;
}

void storeDirect(const char* base, const Doc& d)
{
    VdbHandle c = nullptr;
    check(VdbCreateRecordControl(&c), "VdbCreateRecordControl");
    check(VdbSetBase(c, base, 2), "VdbSetBase");
    int fId = fieldNo(c, "N_ID"), fParent = fieldNo(c, "N_PARENT"), fType = fieldNo(c, "N_TYPE"),
        fNType = fieldNo(c, "N_NTYPE"), fName = fieldNo(c, "N_NAME"), fNs = fieldNo(c, "N_NSPACE"),
        fValue = fieldNo(c, "N_TVALUE"), fPropName = fieldNo(c, "D_PROPNAME"), fPropVal = fieldNo(c, "D_PROPVAL");
    VdbHandle cur = nullptr;
    check(VdbSetCursor(&cur, c, 0, 0, 0), "VdbSetCursor");
    std::string buf;
    auto line = [&buf](int f, int item, const std::string& v) {
        buf += std::to_string(f) + "F^" + std::to_string(item) + "P" + v + "^\n";
    };
    const char* props[][2] = {{"vornxmlversion", "3.0-1"}, {"vornxmlstyle", "SAX"}, {"xmlencoding", "UTF-8"},
                              {"xmlversion", "1.0"}};
    for (int i = 0; i < 4; ++i) {
        line(fPropName, i + 1, props[i][0]);
        line(fPropVal, i + 1, props[i][1]);
    }
    static const char* types[] = {"", "ELEMENT", "ATTRIBUTE", "TEXT"};
    for (size_t i = 0; i < d.nodes.size(); ++i) {
        const Node& n = d.nodes[i];
        int p = static_cast<int>(i) + 1;
        buf += "\n\n" + std::to_string(p) + "G^\n";
        line(fId, p, std::to_string(p));
        line(fParent, p, std::to_string(n.parent));
        line(fType, p, types[n.type]);
        line(fNType, p, std::to_string(n.type));
        line(fName, p, n.name);
        line(fNs, p, "");
        if (n.type != 1) {
            buf += std::to_string(fValue) + "F^\n" + std::to_string(n.value.size()) + "L" + n.value + "^\n";
        }
        if (buf.size() > 65536) {
            check(VdbPutRecordBuffer(cur, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr, nullptr),
                  "VdbPutRecordBuffer");
            buf.clear();
        }
    }
    check(VdbPutRecordBuffer(cur, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr, nullptr),
          "VdbPutRecordBuffer");
    check(VdbPutRecord(c, nullptr), "VdbPutRecord");
    VdbDeleteCursor(cur);
    VdbDeleteRecordControl(c);
}

void writeFile(const std::string& path, const std::string& text)
{
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp || fwrite(text.data(), 1, text.size(), fp) != text.size()) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    fclose(fp);
}

void session()
{
    check(VdbStartVorn("warden", "", 9, 4096), "VdbStartVorn");
}

int load(const std::string& corpus, int docs, int docKB, int bigMB)
{
    const char* data = getenv("VDBS_DATA");
    if (!data || strlen(data) < 5) {
        fprintf(stderr, "VDBS_DATA must name the benchmark's data directory\n");
        return 2;
    }
    std::string rm = std::string("rm -rf '") + data + "' '" + corpus + "'";
    if (system(rm.c_str()) != 0)
        return 1;
    std::string mk = "mkdir -p '" + corpus + "/small'";
    if (system(mk.c_str()) != 0)
        return 1;
    session();
    check(VdbCreateBase("SMALL", "xml"), "VdbCreateBase");
    check(VdbCreateBase("BIG", "xml"), "VdbCreateBase");

    Rand r(20240611);
    Counters c;
    bool filter = true;
    size_t total = 0;
    double t0 = now();
    for (int i = 0; i < docs; ++i) {
        // Each small document names its own people and items.
        Counters local;
        local.item = c.item;
        local.person = 0;
        Doc d = site(r, local, static_cast<size_t>(docKB) * 1024);
        c.item = local.item;
        char name[64];
        snprintf(name, sizeof name, "/small/doc%05d.xml", i);
        writeFile(corpus + name, d.xml);
        total += d.xml.size();
        if (!(filter && storeThroughFilter("SMALL", d))) {
            filter = false;
            storeDirect("SMALL", d);
        }
    }
    double t1 = now();
    printf("SMALL: %d documents, %.1f MB, stored in %.1f s (%s)\n", docs, static_cast<double>(total) / 1048576.0,
           (t1 - t0) / 1e3, filter ? "store filter" : "record text form");
    Counters bc;
    Doc big = site(r, bc, static_cast<size_t>(bigMB) << 20);
    writeFile(corpus + "/big.xml", big.xml);
    t0 = now();
    if (!(filter && storeThroughFilter("BIG", big)))
        storeDirect("BIG", big);
    t1 = now();
    printf("BIG: 1 document, %.1f MB, %zu nodes, stored in %.1f s\n", static_cast<double>(big.xml.size()) / 1048576.0,
           big.nodes.size(), (t1 - t0) / 1e3);
    VdbStopVorn(0);
    return 0;
}

struct Outcome {
    int status = 0;
    size_t bytes = 0;
    int records = 0;
    std::string error;
};

Outcome query(const std::string& xpath, bool fragments, std::string* text = nullptr)
{
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    strcpy(fd.filter_name, "vornxmlquery");
    std::string args = fragments ? "XPATHQUERY=/*\nXPATHFRAGMENTS=" + xpath + "\n" : "XPATHQUERY=" + xpath + "\n";
    fd.filter_arguments = &args[0];
    fd.arg_length = static_cast<int>(args.size());
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    Outcome o;
    o.status = VdbExport(&fd);
    o.error = fd.errortext;
    if (fd.buffer) {
        o.bytes = static_cast<size_t>(fd.buffer_length);
        const char* b = static_cast<const char*>(fd.buffer);
        const char* rc = strstr(b, "RECORDCOUNT=\"");
        o.records = rc ? atoi(rc + 13) : 0;
        if (text)
            text->assign(b, o.bytes);
        free(fd.buffer);
    }
    // The result set stays in the session; keep the session small.
    VdbExecuteCcl("DELETE S=0", nullptr);
    return o;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int run(int runs, const char* only)
{
    session();
    printf("%-66s %-5s %10s %10s %12s %12s\n", "query", "base", "ms", "ms+frag", "records", "frag bytes");
    for (const char* base : {"SMALL", "BIG"}) {
        if (only && strcmp(only, base) != 0)
            continue;
        check(VdbExecuteCcl((std::string("BASE ") + base).c_str(), nullptr), "BASE");
        for (const char* q : kQueries) {
            std::vector<double> plain, frag;
            Outcome a, b;
            for (int i = 0; i <= runs; ++i) {  // the first run warms up
                double t0 = now();
                a = query(q, false);
                double t1 = now();
                b = query(q, true);
                double t2 = now();
                if (i > 0) {
                    plain.push_back(t1 - t0);
                    frag.push_back(t2 - t1);
                }
            }
            if (a.status != 1 || b.status != 1)
                printf("%-66s %-5s failed: %s %s\n", q, base, a.error.c_str(), b.error.c_str());
            else
                printf("%-66s %-5s %10.1f %10.1f %12d %12zu\n", q, base, median(plain), median(frag), a.records,
                       b.bytes);
            fflush(stdout);
        }
    }
    VdbStopVorn(0);
    return 0;
}

int one(const char* base, bool fragments, const char* xpath)
{
    session();
    check(VdbExecuteCcl((std::string("BASE ") + base).c_str(), nullptr), "BASE");
    std::string text;
    Outcome o = query(xpath, fragments, &text);
    fwrite(text.data(), 1, text.size(), stdout);
    VdbStopVorn(0);
    return o.status == 1 ? 0 : 1;
}

int repeat(const char* base, int runs, const char* xpath)
{
    static const bool fragments = getenv("VXQ_FRAGMENTS") && atoi(getenv("VXQ_FRAGMENTS")) != 0;
    session();
    check(VdbExecuteCcl((std::string("BASE ") + base).c_str(), nullptr), "BASE");
    std::vector<double> times;
    Outcome o = query(xpath, fragments);  // warms up
    // VXQ_ALTERNATE=1: the other form of the query runs between the timed
    // ones, as in the table (what one leaves behind slows the other).
    static const bool alternate = getenv("VXQ_ALTERNATE") && atoi(getenv("VXQ_ALTERNATE")) != 0;
    for (int i = 0; i < runs && o.status == 1; ++i) {
        if (alternate)
            query(xpath, !fragments);
        double t0 = now();
        o = query(xpath, fragments);
        times.push_back(now() - t0);
    }
    if (o.status != 1) {
        fprintf(stderr, "%s failed: %s\n", xpath, o.error.c_str());
        VdbStopVorn(0);
        return 1;
    }
    printf("%s %s: median %.2f ms, %d records;", base, xpath, median(times), o.records);
    for (double t : times)
        printf(" %.2f", t);
    printf("\n");
    VdbStopVorn(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "load" && argc > 2)
        return load(argv[2], argc > 3 ? atoi(argv[3]) : 10000, argc > 4 ? atoi(argv[4]) : 10,
                    argc > 5 ? atoi(argv[5]) : 100);
    if (mode == "run")
        return run(argc > 2 ? atoi(argv[2]) : 5, argc > 3 ? argv[3] : nullptr);
    if (mode == "one" && argc > 4)
        return one(argv[2], atoi(argv[3]) != 0, argv[4]);
    if (mode == "repeat" && argc > 4)
        return repeat(argv[2], atoi(argv[3]), argv[4]);
    if (mode == "queries") {
        for (const char* q : kQueries)
            printf("%s\n", q);
        return 0;
    }
    fprintf(stderr, "usage: query_bench load <corpus-dir> [docs] [doc-KB] [big-MB] | run [runs] | "
                    "one <base> <0|1> <xpath> | repeat <base> <runs> <xpath> | queries\n");
    return 2;
}
