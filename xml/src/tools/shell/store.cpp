// store and store-blob: files and folders into a base through the client
// library, one document per record, replacing a document of the same URL.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "vxapidefs.h"
#include "vxsh.h"

namespace vxsh {

namespace {

struct Item {
    std::string path;  // as found, for messages
    std::string file;  // absolute, for the client library
    std::string url;
    long long size = 0;
};

struct Walk {
    bool all = false;
    std::string urlBase;
    std::vector<Item> items;
    std::vector<std::pair<std::string, std::string>> problems;  // path, reason
    std::set<std::pair<dev_t, ino_t>> seenDirs;
};

bool endsWithXml(const std::string& name)
{
    if (name.size() < 4)
        return false;
    return strcasecmp(name.c_str() + name.size() - 4, ".xml") == 0;
}

std::string joinUrl(const std::string& base, const std::string& rel)
{
    if (base.empty())
        return rel;
    if (base.back() == '/')
        return base + rel;
    return base + "/" + rel;
}

std::string baseName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t s = p.rfind('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}

void walkDir(Walk& w, const std::string& dir, const std::string& rel, const std::string& shown)
{
    DIR* d = opendir(dir.c_str());
    if (!d) {
        w.problems.push_back({shown, strerror(errno)});
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        // Hidden files and folders (.git, editor files) are not documents.
        if (e->d_name[0] == '.')
            continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string full = dir + "/" + n;
        std::string r = rel.empty() ? n : rel + "/" + n;
        std::string s = shown.empty() || shown.back() == '/' ? shown + n : shown + "/" + n;
        struct stat st;
        if (stat(full.c_str(), &st) != 0) {
            w.problems.push_back({s, strerror(errno)});
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!w.seenDirs.insert({st.st_dev, st.st_ino}).second)
                continue;  // a link back to a folder already walked
            walkDir(w, full, r, s);
        } else if (S_ISREG(st.st_mode) && (w.all || endsWithXml(n))) {
            w.items.push_back({s, full, joinUrl(w.urlBase, r), static_cast<long long>(st.st_size)});
        }
    }
}

void collect(Walk& w, const std::vector<std::string>& paths)
{
    for (const std::string& p : paths) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0) {
            w.problems.push_back({p, strerror(errno)});
            continue;
        }
        std::string abs = absolutePath(p);
        if (S_ISDIR(st.st_mode)) {
            w.seenDirs.insert({st.st_dev, st.st_ino});
            while (abs.size() > 1 && abs.back() == '/')
                abs.pop_back();
            walkDir(w, abs, "", p);
        } else if (S_ISREG(st.st_mode)) {
            w.items.push_back({p, abs, joinUrl(w.urlBase, baseName(p)), static_cast<long long>(st.st_size)});
        } else {
            w.problems.push_back({p, "not a file or folder"});
        }
    }
}

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string amount(long long bytes)
{
    char b[32];
    if (bytes < 1000)
        snprintf(b, sizeof b, "%lld bytes", bytes);
    else if (bytes < 1000000)
        snprintf(b, sizeof b, "%.1f KB", static_cast<double>(bytes) / 1e3);
    else
        snprintf(b, sizeof b, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return b;
}

// One line on the terminal, rewritten as documents are stored.
class Progress {
public:
    Progress(size_t total, long long bytes) : m_total(total), m_bytes(bytes), m_on(stderrIsTerminal())
    {
        m_start = now();
    }
    void update(size_t done, long long bytes, bool force = false)
    {
        if (!m_on)
            return;
        double t = now();
        if (!force && t - m_last < 0.1)
            return;
        m_last = t;
        double elapsed = t - m_start;
        double rate = elapsed > 0 ? static_cast<double>(bytes) / 1e6 / elapsed : 0;
        char eta[32] = "";
        if (bytes > 0 && elapsed > 0.5 && bytes < m_bytes) {
            long s = static_cast<long>(static_cast<double>(m_bytes - bytes) / (static_cast<double>(bytes) / elapsed));
            snprintf(eta, sizeof eta, "  ETA %ld:%02ld", s / 60, s % 60);
        }
        fprintf(stderr, "\r\033[K%zu/%zu documents  %.1f/%.1f MB  %.1f MB/s%s", done, m_total,
                static_cast<double>(bytes) / 1e6, static_cast<double>(m_bytes) / 1e6, rate, eta);
        m_shown = true;
    }
    void clear()
    {
        if (m_on && m_shown) {
            fputs("\r\033[K", stderr);
            m_shown = false;
        }
    }
    double elapsed() const { return now() - m_start; }

private:
    size_t m_total;
    long long m_bytes;
    bool m_on;
    bool m_shown = false;
    double m_start = 0;
    double m_last = 0;
};

std::string clientError(int rc)
{
    char buf[512] = "";
    VXGetErrorMsg(rc, nullptr, buf);
    std::string m(buf, strnlen(buf, sizeof buf));
    // One line per failed document, whatever the parser wrote.
    for (char& c : m)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!m.empty() && (m.back() == '\n' || m.back() == ' '))
        m.pop_back();
    if (m.empty())
        m = rc < 0 ? strerror(-rc) : message(rc);
    return m;
}

int storeFiles(Context& ctx, const Args& a, bool blob, const char* cmd)
{
    const std::string& base = a.positional[0];
    std::vector<std::string> paths(a.positional.begin() + 1, a.positional.end());
    if (a.has("url-base") && a.get("url-base").empty())
        throw UsageError("--url-base needs a URL");
    ctx.open();
    ctx.requireXmlBase(base);
    // Messages carry the program's name except in the shell, as other failures do.
    const std::string who = ctx.inShell ? std::string(cmd) : "vxsh " + std::string(cmd);

    std::string links = ctx.linkBase();
    if (!links.empty() && !(VdbBaseInfo(links.c_str(), 1, nullptr, nullptr) & 1))
        fprintf(stderr,
                "%s: warning: links are recorded in base %s, which does not exist; make it with "
                "'vxsh create %s --design link'\n",
                who.c_str(), links.c_str(), links.c_str());

    Walk w;
    w.all = blob || a.has("all");
    w.urlBase = a.get("url-base");
    collect(w, paths);

    int failed = 0;
    for (const auto& p : w.problems) {
        fprintf(stderr, "%s: %s: %s\n", who.c_str(), p.first.c_str(), p.second.c_str());
        ++failed;
    }
    if (w.items.empty()) {
        if (!failed)
            throw Failure("found nothing to store in " + paths[0] + (paths.size() > 1 ? " and the others" : "") +
                          (blob || w.all ? "" : ": folders are searched for *.xml files (--all stores every file)"));
        return 1;
    }

    long long total = 0;
    for (const Item& it : w.items)
        total += it.size;
    Progress progress(w.items.size(), total);
    std::map<std::string, std::string> urlsSeen;  // URL -> path stored under it in this run
    std::set<std::string> filesSeen;
    size_t done = 0;
    int added = 0, replaced = 0;
    long long bytes = 0;  // of the documents stored
    long long dealt = 0;  // of the files dealt with, stored or not, for the progress line
    int validate = a.has("validate") ? 1 : 0;
    int keepRaw = a.has("no-raw") ? 0 : 1;
    int stream = a.has("stream") ? 1 : 0;
    auto fail = [&](const Item& it, const std::string& why) {
        progress.clear();
        fprintf(stderr, "%s: %s: %s\n", who.c_str(), it.path.c_str(), why.c_str());
        ++failed;
    };
    for (const Item& it : w.items) {
        ++done;
        dealt += it.size;
        char real[PATH_MAX];
        std::string key = realpath(it.file.c_str(), real) ? real : it.file;
        if (!filesSeen.insert(key).second) {
            progress.update(done, dealt);
            continue;  // the same file named twice
        }
        auto seen = urlsSeen.find(it.url);
        if (seen != urlsSeen.end()) {
            fail(it, "its URL " + quoted(it.url) + " is the URL of " + seen->second +
                         ", stored just before; store them with different --url-base values");
            continue;
        }
        urlsSeen[it.url] = it.path;
        try {
            int count = 0;
            int rid = findRecord(ctx, base, "D_URLALIAS", it.url, &count);
            Record r;
            if (rid)
                r.load(base, rid);
            else
                r.bindNew(base);
            // A non-XML store writes the blob but leaves the node parts of an
            // XML document in place, where queries would still find them.
            int parts = 0;
            if (blob && rid && (VdbRecordInfo(r.handle(), 3, nullptr, &parts) & 1) && parts > 0) {
                fail(it, "its URL " + quoted(it.url) + " names an XML document in base " + base +
                             ", which a non-XML document does not replace; delete it first ('vxsh delete " + base +
                             " --url " + it.url + "')");
                progress.update(done, dealt);
                continue;
            }
            int rc = blob ? VXImportNXFile(r.handle(), it.file.c_str(), it.url.c_str(), stream, 0, nullptr)
                          : VXImportXMLFile(r.handle(), it.file.c_str(), it.url.c_str(), validate, keepRaw, stream,
                                            0, nullptr);
            if (rc <= 0 || !(rc & 1)) {
                fail(it, clientError(rc));
            } else {
                rid ? ++replaced : ++added;
                bytes += it.size;
            }
        } catch (const Failure& f) {
            fail(it, f.what());
        }
        progress.update(done, dealt);
    }
    progress.update(done, dealt, true);
    progress.clear();
    int stored = added + replaced;
    char secs[32];
    snprintf(secs, sizeof secs, "%.2f s", progress.elapsed());
    printf("Stored %s into base %s (%d new, %d replaced), %s in %s", plural(stored, "document", "documents").c_str(),
           base.c_str(), added, replaced, amount(bytes).c_str(), secs);
    if (failed)
        printf("; %d failed", failed);
    printf("\n");
    return failed ? 1 : 0;
}

}  // namespace

int cmdStore(Context& ctx, const Args& a)
{
    return storeFiles(ctx, a, false, "store");
}

int cmdStoreBlob(Context& ctx, const Args& a)
{
    return storeFiles(ctx, a, true, "store-blob");
}

}  // namespace vxsh
