#include "config.h"

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "vornapi.h"

namespace vdbs {
namespace {

// Values handed out are interned and never freed, so callers may keep the
// pointer for the life of the process.
const char* intern(const std::string& s) {
    static std::set<std::string>* pool = new std::set<std::string>();
    return pool->insert(s).first->c_str();
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

struct FileCache {
    std::string path;
    bool loaded = false;
    std::map<std::string, std::string> values;
};

FileCache& fileCache() {
    static FileCache* c = new FileCache();
    return *c;
}

std::map<std::string, std::string>& overrides() {
    static auto* m = new std::map<std::string, std::string>();
    return *m;
}

std::string configFilePath() {
    const char* env = getenv("VORNRCS");
    if (env && *env) return env;
    // Looking for the files costs two opens, and values are asked for many
    // times per query: the answer is kept for a second.
    struct Probe {
        std::mutex lock;
        std::string found;
        int64_t at = -1;
    };
    static Probe* p = new Probe();  // never freed: asked for until exit
    std::lock_guard<std::mutex> hold(p->lock);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    if (p->at >= 0 && now - p->at < 1000000000) return p->found;
    p->at = now;
    p->found.clear();
    static const char* candidates[] = {"/usr/local/vorn/sys/conf/vdbs.conf", "/.VORNrcs"};
    for (const char* c : candidates) {
        std::ifstream f(c);
        if (f.good()) {
            p->found = c;
            break;
        }
    }
    return p->found;
}

// The file is read once per path: a changed VORNRCS is read anew.
const std::map<std::string, std::string>& fileValues() {
    FileCache& c = fileCache();
    std::string path = configFilePath();
    if (c.loaded && c.path == path) return c.values;
    c.values.clear();
    c.path = path;
    c.loaded = true;
    if (path.empty()) return c.values;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) continue;
        // The first definition of a key wins, as with a search through the file.
        c.values.emplace(key, trim(line.substr(eq + 1)));
    }
    return c.values;
}

}  // namespace

const char* configValue(const char* key) {
    if (!key || !*key) return nullptr;
    auto& ov = overrides();
    auto it = ov.find(key);
    if (it != ov.end()) return intern(it->second);
    const char* env = getenv(key);
    if (env) return intern(env);
    const auto& fv = fileValues();
    auto f = fv.find(key);
    if (f != fv.end()) return intern(f->second);
    return nullptr;
}

std::string configString(const char* key, const char* def) {
    const char* v = configValue(key);
    return v ? std::string(v) : std::string(def ? def : "");
}

void setConfigOverride(const char* key, const char* value) {
    if (!key || !*key) return;
    if (value)
        overrides()[key] = value;
    else
        overrides().erase(key);
}

}  // namespace vdbs

extern "C" const char* QueryRCS(const char* key, int) { return vdbs::configValue(key); }

extern "C" int UpdateRCS(const char* key, const char* value) {
    if (!key || !*key) return VDB_BADARG;
    vdbs::setConfigOverride(key, value);
    return VDB_OK;
}
