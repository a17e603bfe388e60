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
//   least  a lean model of the least a store of this design must do on top
//          of the parse, to show how close the store is: the same SAX parse with a
//          handler that keeps each node (name, parent, value in UTF-8) in a
//          compact buffer and collects one index entry per node for its name,
//          its type and its parent and one per word of text, the entries
//          grouped by term in linear time, the raw text, the nodes and the
//          posting lists written into a fresh SQLite file as 64 KB rows, one
//          transaction per document (no compression, no checkpoint);
//   hostile documents (a billion laughs, one large entity referenced many
//          times, 100,000 nested elements, a 50 MB text node): the time and
//          peak memory until the store gives up (or stores).
// The data directory is VX_BENCH_DIR (default /tmp/vxbench-import), emptied
// first and removed at the end.
#include <ctype.h>
#include <stdint.h>
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
#include <unordered_map>
#include <vector>

#include <sqlite3.h>

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/sax2/Attributes.hpp>
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
    // Only the least-work phase: its processor time in SQLite and in grouping
    // index entries, and the megabytes it wrote.
    double sqliteCpu = 0, groupCpu = 0, writtenMb = 0;
};

// Filled in by a phase running in a child, sent back with its timing.
Result g_detail;

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
        r.sqliteCpu = g_detail.sqliteCpu;
        r.groupCpu = g_detail.groupCpu;
        r.writtenMb = g_detail.writtenMb;
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

// ---- the least work of a store ----

double cpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void appendVarint(std::string& out, uint32_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void appendUtf8(std::string& out, const XMLCh* s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
            uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

// A SQLite file set up as the kernel sets up its own (WAL, same page size,
// page cache and synchronous mode), with one table of 64 KB rows.
class RowWriter {
  public:
    explicit RowWriter(const std::string& path)
    {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
            die("open");
        const char* sync = getenv("VDBS_SYNC");
        std::string setup = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                            (sync && *sync ? sync : "full") +
                            "; PRAGMA cache_size=-65536;"
                            " CREATE TABLE IF NOT EXISTS rows(id INTEGER PRIMARY KEY, kind INTEGER, v BLOB);";
        if (sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            die("set-up");
        if (sqlite3_prepare_v2(db_, "INSERT INTO rows(kind, v) VALUES(?, ?)", -1, &insert_, nullptr) != SQLITE_OK)
            die("prepare");
    }
    ~RowWriter()
    {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }
    void exec(const char* sql)
    {
        double c0 = cpuNow();
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            die(sql);
        cpu += cpuNow() - c0;
    }
    // Writes bytes as rows of at most 64 KB.
    void write(int kind, const char* p, size_t n)
    {
        double c0 = cpuNow();
        for (size_t off = 0; off < n; off += kRow) {
            size_t len = std::min(kRow, n - off);
            bytes += len;
            sqlite3_bind_int(insert_, 1, kind);
            sqlite3_bind_blob(insert_, 2, p + off, static_cast<int>(len), SQLITE_STATIC);
            if (sqlite3_step(insert_) != SQLITE_DONE)
                die("insert");
            sqlite3_reset(insert_);
        }
        cpu += cpuNow() - c0;
    }
    static constexpr size_t kRow = 65536;
    double cpu = 0;  // processor seconds spent in SQLite
    size_t bytes = 0;

  private:
    void die(const char* what)
    {
        fprintf(stderr, "least work: sqlite %s: %s\n", what, sqlite3_errmsg(db_));
        exit(1);
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

class LeastWorkHandler : public DefaultHandler {
  public:
    explicit LeastWorkHandler(RowWriter& out) : out_(out) {}

    void startDocument() override
    {
        names_.clear();  // the parser's name pool lives per document
        node_ = 0;
        stack_.assign(1, 0);
        entries_.clear();
        parents_.clear();
        parts_.clear();
    }
    void startElement(const XMLCh* const, const XMLCh* const localname, const XMLCh* const,
                      const Attributes& attrs) override
    {
        uint32_t element = addNode(kElement, localname);
        stack_.push_back(element);
        for (XMLSize_t i = 0; i < attrs.getLength(); ++i) {
            addNode(kAttribute, attrs.getLocalName(i));
            const XMLCh* v = attrs.getValue(i);
            addValue(v, XMLString::stringLen(v));
        }
    }
    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override { stack_.pop_back(); }
    void characters(const XMLCh* const chars, const XMLSize_t length) override
    {
        addNode(kText, nullptr);
        addValue(chars, length);
    }
    // Groups the entries by term, and the nodes by parent, in linear passes
    // and writes the nodes and the posting lists.
    void finish()
    {
        flushParts(true);
        double c0 = cpuNow(), w0 = out_.cpu;
        writeGrouped(entries_, kTermBase + termAt_.size());
        writeGrouped(parents_, node_ + 1);
        groupCpu += cpuNow() - c0 - (out_.cpu - w0);
    }
    double groupCpu = 0;

  private:
    enum : uint32_t { kElement = 1, kAttribute = 2, kText = 3, kTermBase = 4 };
    struct Entry {
        uint32_t term;
        uint32_t node;
    };

    // The term table: open addressing over term numbers, the terms' bytes
    // side by side in one string.
    uint32_t term(const char* p, size_t n)
    {
        uint64_t h = 1469598103934665603ull;
        for (size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
        if (termAt_.size() * 3 >= slots_.size() * 2)
            grow();
        size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            uint32_t t = slots_[i];
            if (t == 0) {
                slots_[i] = static_cast<uint32_t>(termAt_.size()) + 1;
                termAt_.push_back({h, bytes_.size(), n});
                bytes_.append(p, n);
                return kTermBase + static_cast<uint32_t>(termAt_.size()) - 1;
            }
            const Term& k = termAt_[t - 1];
            if (k.hash == h && k.len == n && memcmp(bytes_.data() + k.at, p, n) == 0)
                return kTermBase + t - 1;
        }
    }
    void grow()
    {
        std::vector<uint32_t> slots(slots_.empty() ? 1024 : slots_.size() * 2, 0);
        size_t mask = slots.size() - 1;
        for (uint32_t t = 0; t < termAt_.size(); ++t) {
            size_t i = termAt_[t].hash & mask;
            while (slots[i])
                i = (i + 1) & mask;
            slots[i] = t + 1;
        }
        slots_.swap(slots);
    }
    // Name and type entries, and the node under its parent. The parser hands
    // the same pointer for every occurrence of an element name (attribute
    // names come from reused buffers), so element names are looked up by
    // pointer first; the node keeps the name's number, not its text.
    uint32_t addNode(uint32_t type, const XMLCh* name)
    {
        uint32_t n = ++node_;
        uint32_t parent = stack_.back();
        parts_.push_back(static_cast<char>(type));
        appendVarint(parts_, parent);
        entries_.push_back({type, n});
        parents_.push_back({parent, n});
        if (name) {
            auto known = type == kElement ? names_.find(name) : names_.end();
            uint32_t t;
            if (known != names_.end()) {
                t = known->second;
            } else {
                scratch_.clear();
                appendUtf8(scratch_, name, XMLString::stringLen(name));
                t = term(scratch_.data(), scratch_.size());
                if (type == kElement)
                    names_.emplace(name, t);
            }
            appendVarint(parts_, t);
            entries_.push_back({t, n});
        }
        return n;
    }
    void addValue(const XMLCh* v, size_t len)
    {
        scratch_.clear();
        appendUtf8(scratch_, v, len);
        appendVarint(parts_, static_cast<uint32_t>(scratch_.size()));
        parts_ += scratch_;
        size_t i = 0;
        while (i < scratch_.size()) {
            while (i < scratch_.size() && !isalnum(static_cast<unsigned char>(scratch_[i])))
                ++i;
            size_t b = i;
            while (i < scratch_.size() && isalnum(static_cast<unsigned char>(scratch_[i])))
                ++i;
            if (i > b) {
                entries_.push_back({term(scratch_.data() + b, i - b), node_});
            }
        }
        flushParts(false);
    }
    void flushParts(bool all)
    {
        if (parts_.size() >= RowWriter::kRow || (all && !parts_.empty())) {
            size_t n = all ? parts_.size() : parts_.size() / RowWriter::kRow * RowWriter::kRow;
            out_.write(2, parts_.data(), n);
            parts_.erase(0, n);
        }
    }
    // Terms are numbered afresh per document, so that a small document
    // against a large vocabulary groups its entries in time of its own size.
    void writeGrouped(std::vector<Entry>& entries, size_t terms)
    {
        if (local_.size() < terms) {
            local_.resize(terms, 0);
            seen_.resize(terms, 0);
        }
        ++generation_;
        uint32_t used = 0;
        for (Entry& e : entries) {
            if (seen_[e.term] != generation_) {
                seen_[e.term] = generation_;
                local_[e.term] = used++;
            }
            e.term = local_[e.term];
        }
        std::vector<uint32_t> start(used + 1, 0), postings(entries.size());
        for (const Entry& e : entries)
            ++start[e.term + 1];
        for (size_t i = 1; i < start.size(); ++i)
            start[i] += start[i - 1];
        for (const Entry& e : entries)
            postings[start[e.term]++] = e.node;
        out_.write(3, reinterpret_cast<const char*>(postings.data()), postings.size() * sizeof(uint32_t));
    }

    RowWriter& out_;
    struct Term {
        uint64_t hash;
        size_t at, len;
    };
    std::vector<uint32_t> slots_, local_, seen_;
    uint32_t generation_ = 0;
    std::vector<Term> termAt_;
    std::string bytes_;
    std::unordered_map<const XMLCh*, uint32_t> names_;
    std::vector<Entry> entries_, parents_;
    std::vector<uint32_t> stack_;
    std::string parts_, scratch_;
    uint32_t node_ = 0;
};

int leastWork(const std::vector<std::string>& files)
{
    XMLPlatformUtils::Initialize();
    int failures = 0;
    {
        RowWriter out(g_dir + "/least.db");
        SAX2XMLReader* reader = XMLReaderFactory::createXMLReader();
        LeastWorkHandler handler(out);
        reader->setContentHandler(&handler);
        reader->setErrorHandler(&handler);
        std::vector<char> raw(RowWriter::kRow);
        for (const std::string& f : files) {
            out.exec("BEGIN IMMEDIATE");
            FILE* fp = fopen(f.c_str(), "rb");
            size_t n = 0;
            while (fp && (n = fread(raw.data(), 1, raw.size(), fp)) > 0)
                out.write(1, raw.data(), n);
            if (fp)
                fclose(fp);
            XMLCh* path = XMLString::transcode(f.c_str());
            try {
                LocalFileInputSource source(path);
                reader->parse(source);
                handler.finish();
            } catch (...) {
                ++failures;
            }
            XMLString::release(&path);
            out.exec("COMMIT");
        }
        delete reader;
        g_detail.sqliteCpu = out.cpu;
        g_detail.groupCpu = handler.groupCpu;
        g_detail.writtenMb = static_cast<double>(out.bytes) / 1048576.0;
    }
    XMLPlatformUtils::Terminate();
    unlink((g_dir + "/least.db").c_str());
    unlink((g_dir + "/least.db-wal").c_str());
    unlink((g_dir + "/least.db-shm").c_str());
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

void report(const char* what, long long bytes, size_t docs, const Result& floor, const Result& least,
            const Result& store)
{
    double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
    printf("%s: %zu document(s), %.1f MB\n", what, docs, mb);
    printf("  parse floor  %8.2f s  %8.1f MB/s  peak %5ld MB  cpu %.2f s%s\n", floor.seconds, mb / floor.seconds,
           floor.peakMb, floor.cpu, floor.failures ? "  (parse failures!)" : "");
    printf("  least work   %8.2f s  %8.1f MB/s  peak %5ld MB  cpu %.2f s  (cpu %.2f times the floor)%s\n",
           least.seconds, mb / least.seconds, least.peakMb, least.cpu, floor.cpu > 0 ? least.cpu / floor.cpu : 0.0,
           least.failures ? "  (failures!)" : "");
    printf("    of which %.2f s cpu in SQLite (%.1f MB written), %.2f s grouping index entries, the rest parsing and "
           "taking nodes apart\n",
           least.sqliteCpu, least.writtenMb, least.groupCpu);
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
        Result least = inChild([&] { return leastWork(big); });
        Result store = getenv("NOSTORE") ? Result{} : inChild([&] { return storeAll(big, "BIG"); });
        report("one large document", bytes, 1, floor, least, store);
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
        Result least = inChild([&] { return leastWork(small); });
        Result store = inChild([&] { return storeAll(small, "SMALL"); });
        report("many small documents", bytes, small.size(), floor, least, store);
    }
    if (argc <= 1 || getenv("VX_BENCH_HOSTILE"))
        hostile();
    if (system(rm.c_str()) != 0)
        return 1;
    return 0;
}
