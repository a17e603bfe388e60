// Session, users, administration, status stack, screen windows.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "config.h"
#include "kernel.h"
#include "status.h"
#include "util.h"
#include "vornapi.h"

using namespace vdbs;

namespace {

constexpr int kHashRounds = 2000;

std::string passwordHash(const std::string& salt, const std::string& password) {
    std::string h = sha256Hex(salt + ":" + password);
    for (int i = 0; i < kHashRounds; ++i) h = sha256Hex(salt + h);
    return h;
}

std::string newSalt() {
    unsigned char buf[16];
    int fd = open("/dev/urandom", O_RDONLY);
    ssize_t got = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
    if (fd >= 0) close(fd);
    if (got != static_cast<ssize_t>(sizeof buf)) {
        uint64_t x = static_cast<uint64_t>(monotonicNs()) ^ (static_cast<uint64_t>(getpid()) << 32);
        for (size_t i = 0; i < sizeof buf; ++i) buf[i] = static_cast<unsigned char>(x >> ((i % 8) * 8));
    }
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (unsigned char c : buf) {
        s.push_back(hex[c >> 4]);
        s.push_back(hex[c & 15]);
    }
    return s;
}

std::string dataDir(const char* dir) {
    if (dir && *dir) return dir;
    return configString("VDBS_DATA", "./vdbs-data");
}

std::unique_ptr<Storage> openStore(const std::string& dir) {
    std::string sync = configString("VDBS_SYNC", "full");
    int cache = atoi(configString("VDBS_CACHE_MB", "64").c_str());
    int busy = atoi(configString("VDBS_BUSY_MS", "60000").c_str());
    int mmap = atoi(configString("VDBS_MMAP_MB", "0").c_str());
    // Exports read the file through a map (a fragment set reads many records
    // whole); 0 turns it off.
    int readMmap = atoi(configString("VDBS_READ_MMAP_MB", "4096").c_str());
    return openSqliteStorage(dir, sync, cache > 0 ? cache : 64, busy > 0 ? busy : 60000, mmap > 0 ? mmap : 0,
                             readMmap > 0 ? readMmap : 0);
}

// A fresh data directory gets user warden with an empty password.
void ensureWarden(Storage& st) {
    std::string salt, hash;
    if (st.getUser("warden", salt, hash)) return;
    st.begin();
    try {
        if (!st.getUser("warden", salt, hash)) {
            std::string s = newSalt();
            st.putUser("warden", s, passwordHash(s, ""));
        }
        st.commit();
    } catch (...) {
        st.rollback();
        throw;
    }
}

void charsetFromConfig(int& code, std::string& name) {
    const char* v = configValue("VDBS_CHARS");
    if (!v) {
        code = 16;
        name = "UTF-8";
        return;
    }
    std::string s = v;
    if (s == "CHI") code = 17, name = "GB-2312";
    else if (s == "GBK") code = 18, name = "GBK";
    else if (s == "EUC") code = 19, name = "EUC-JP";
    else if (s.compare(0, 3, "SJI") == 0 || s == "JIS" || s == "SHIFT-JIS") code = 20, name = "SHIFT-JIS";
    else if (s == "UTF") code = 16, name = "UTF-8";
    else if (s == "LA2") code = 2, name = "LATIN-2";
    else if (s == "LA3") code = 3, name = "LATIN-3";
    else code = 1, name = "Cp1252";
}

bool validBaseName(const std::string& n) {
    if (n.empty() || n.size() > 63) return false;
    for (char c : n)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '.'))
            return false;
    return true;
}

void freeHandles(Kernel& k) {
    for (void* h : k.handles) {
        uint32_t magic = *static_cast<uint32_t*>(h);
        if (magic == kControlHandle)
            delete static_cast<Control*>(h);
        else if (magic == kCursorHandle)
            delete static_cast<Cursor*>(h);
        else if (magic == kAseHandle)
            delete static_cast<AseHandle*>(h);
    }
    k.handles.clear();
}

WindowPtr currentWindow(Kernel& k, int screen) {
    auto s = k.state.screens.find(screen < 0 ? -screen : screen);
    if (s == k.state.screens.end()) return nullptr;
    auto w = k.state.windows.find(s->second);
    return w == k.state.windows.end() ? nullptr : w->second;
}

std::map<int, WindowPtr> copyWindows(const std::map<int, WindowPtr>& in) {
    std::map<int, WindowPtr> out;
    for (auto& kv : in) out[kv.first] = std::make_shared<Window>(*kv.second);
    return out;
}

}  // namespace

extern "C" int VdbStartVorn(const char* user, const char* password, int, int) {
    if (kernel()) return fail(VDB_NOTAVAILABLE, "a session is open already in this process");
    std::string u = user ? user : "";
    std::string p = password ? password : "";
    std::string dir = dataDir(nullptr);
    std::unique_ptr<Storage> st;
    try {
        st = openStore(dir);
        ensureWarden(*st);
        std::string salt, hash;
        if (u.empty() || !st->getUser(u, salt, hash) || passwordHash(salt, p) != hash)
            return fail(VDB_LOGIN, "user '%s' does not exist or the password is wrong", u.c_str());
    } catch (const StorageError& e) {
        return fail(VDB_DATADIR, "%s", e.what());
    }
    auto k = std::make_unique<Kernel>();
    k->st = std::move(st);
    k->user = u;
    k->dir = dir;
    charsetFromConfig(k->charset, k->charsetName);
    k->dao.shinlen = sizeof k->dao.shin;
    setKernel(std::move(k));
    return VDB_OK;
}

extern "C" int VdbStopVorn(int) {
    Kernel* k = kernel();
    if (!k) return fail(VDB_NOSESSION, "no session is open");
    try {
        while (k->st->depth() > 0) k->st->rollback();
    } catch (const StorageError&) {
    }
    freeHandles(*k);
    setKernel(nullptr);
    return VDB_OK;
}

extern "C" int VdbInitData(const char* dir, const char* password) {
    std::string d = dataDir(dir);
    try {
        std::unique_ptr<Storage> st = openStore(d);
        ensureWarden(*st);
        std::string salt, hash;
        st->getUser("warden", salt, hash);
        if (passwordHash(salt, "") != hash)
            return fail(VDB_INITDONE, "user warden of %s has a password already", d.c_str());
        std::string s = newSalt();
        st->begin();
        st->putUser("warden", s, passwordHash(s, password ? password : ""));
        st->commit();
    } catch (const StorageError& e) {
        return fail(VDB_DATADIR, "%s", e.what());
    }
    return VDB_OK;
}

extern "C" int VdbSetPassword(const char* user, const char* password) {
    return guarded([&](Kernel& k) {
        std::string u = user && *user ? user : k.user;
        if (!iequals(u, k.user))
            return fail(VDB_LOGIN, "only user '%s' may change its own password in this session", k.user.c_str());
        std::string s = newSalt();
        return k.write([&] {
            k.st->putUser(k.user, s, passwordHash(s, password ? password : ""));
            return VDB_OK;
        });
    });
}

extern "C" int VdbSessionInfo(int kind, char* text, int* value) {
    return guarded([&](Kernel& k) {
        switch (kind) {
            case 10:
                if (value) *value = k.charset;
                copyCString(text, 256, k.charsetName);
                return VDB_OK;
            case 1:
                copyCString(text, 256, k.user);
                if (value) *value = static_cast<int>(k.user.size());
                return VDB_OK;
            case 2:
                copyCString(text, 256, k.dir);
                if (value) *value = static_cast<int>(k.dir.size());
                return VDB_OK;
            case 3:
                if (value) *value = static_cast<int>(k.state.sets.size());
                return VDB_OK;
            default:
                return fail(VDB_BADARG, "VdbSessionInfo: unknown kind %d", kind);
        }
    });
}

extern "C" int VdbCreateBase(const char* name, const char* design) {
    return guarded([&](Kernel& k) {
        std::string n = name ? name : "";
        if (!validBaseName(n))
            return fail(VDB_BADNAME, "'%s': a base name has 1 to 63 letters, digits, '_', '-' or '.'", n.c_str());
        Design d;
        std::string err;
        if (!makeDesign(design ? design : "", d, err)) return fail(VDB_BADDESIGN, "%s", err.c_str());
        k.checkVersion(true);
        return k.write([&] {
            BaseRow existing;
            if (k.st->getBase(n, existing)) return fail(VDB_BASEEXISTS, "base %s exists already", existing.name.c_str());
            BaseRow row;
            row.name = n;
            row.designName = d.name;
            row.designText = d.serialize();
            row.charset = 16;
            k.st->createBase(row);
            k.bases.erase(upper(n));
            return VDB_OK;
        });
    });
}

extern "C" int VdbDropBase(const char* name) {
    return guarded([&](Kernel& k) {
        k.checkVersion(true);
        BasePtr b = k.findBase(name ? name : "");
        if (!b) return fail(VDB_NOBASE, "no base named '%s'", name ? name : "");
        int rc = k.write([&] {
            k.st->dropBase(b->id);
            return VDB_OK;
        });
        if (!(rc & 1)) return rc;
        k.bases.erase(upper(b->name));
        k.metas.erase(b->id);
        k.trees.clear();
        k.itemMaxima.clear();
        for (auto it = k.state.sets.begin(); it != k.state.sets.end();)
            it = it->second->base == b->id ? k.state.sets.erase(it) : std::next(it);
        if (!k.state.sets.count(k.state.last)) k.state.last = 0;
        if (k.state.open && k.state.open->id == b->id) k.state.open = nullptr;
        for (void* h : k.handles) {
            auto* c = static_cast<Control*>(h);
            if (c->magic == kControlHandle && c->rec && c->rec->base()->id == b->id) {
                c->rec.reset();
                c->context.reset();
            }
        }
        return VDB_OK;
    });
}

extern "C" int VdbListBases(int index, char* name, char* design, int* records) {
    return guarded([&](Kernel& k) {
        k.checkVersion(true);
        std::vector<BaseRow> all = k.st->listBases();
        if (index < 0 || index >= static_cast<int>(all.size())) return VDB_EOF;
        const BaseRow& b = all[static_cast<size_t>(index)];
        copyCString(name, 64, b.name);
        copyCString(design, 64, b.designName);
        if (records) *records = k.st->recordCount(b.id);
        return VDB_OK;
    });
}

extern "C" int VdbBaseInfo(const char* base, int kind, char* text, int* value) {
    return guarded([&](Kernel& k) {
        k.checkVersion(false);
        BasePtr b = k.findBase(base ? base : "");
        if (!b) return fail(VDB_NOBASE, "no base named '%s'", base ? base : "");
        switch (kind) {
            case 1:
                if (value) *value = b->design.isXml ? 1 : 0;
                copyCString(text, 256, b->design.name);
                return VDB_OK;
            case 2:
                if (value) *value = k.st->recordCount(b->id);
                return VDB_OK;
            case 7:
                if (value) *value = b->charset;
                copyCString(text, 256, b->charset == 16 ? "UTF-8" : "Cp1252");
                return VDB_OK;
            default:
                return fail(VDB_BADARG, "VdbBaseInfo: unknown kind %d", kind);
        }
    });
}

extern "C" int VdbBatchLoadIndex(int, const char* base, const char*) {
    return guarded([&](Kernel& k) {
        if (base && *base && !k.findBase(base)) return fail(VDB_NOBASE, "no base named '%s'", base);
        return VDB_OK;
    });
}

extern "C" int VdbSaveStatus(void) {
    return guarded([&](Kernel& k) {
        SessionState s = k.state;
        s.windows = copyWindows(k.state.windows);
        k.stack.push_back(std::move(s));
        return VDB_OK;
    });
}

extern "C" int VdbLoadStatus(int mode) {
    return guarded([&](Kernel& k) {
        if (k.stack.empty()) return fail(VDB_STACKEMPTY, "VdbLoadStatus(%d) without a saved status", mode);
        SessionState s = std::move(k.stack.back());
        k.stack.pop_back();
        if (mode == 1) {
            s.sets = std::move(k.state.sets);
            s.last = k.state.last;
        }
        k.state = std::move(s);
        // The saved open base may have been dropped meanwhile.
        if (k.state.open) {
            k.checkVersion(true);
            BasePtr b = k.findBase(k.state.open->name);
            k.state.open = (b && b->id == k.state.open->id) ? b : nullptr;
        }
        return VDB_OK;
    });
}

extern "C" int VdbCheckScreenWindow(int screen, int* window) {
    return guarded([&](Kernel& k) {
        auto s = k.state.screens.find(screen < 0 ? -screen : screen);
        if (window) *window = (s == k.state.screens.end()) ? 0 : s->second;
        return VDB_OK;
    });
}

extern "C" int VdbDefineWindow(int screen, int lines, int columns) {
    return guarded([&](Kernel& k) {
        if (lines < 1 || columns < 1 || static_cast<int64_t>(lines) * columns > (64 << 20))
            return fail(VDB_BADARG, "window of %d lines and %d columns", lines, columns);
        auto w = std::make_shared<Window>();
        w->id = k.state.nextWindow++;
        w->lines = lines;
        w->columns = columns;
        w->render();
        k.state.windows[w->id] = w;
        k.state.screens[screen < 0 ? -screen : screen] = w->id;
        return VDB_OK;
    });
}

extern "C" int VdbSetScreenWindow(int screen, int window) {
    return guarded([&](Kernel& k) {
        int sc = screen < 0 ? -screen : screen;
        if (window == 0) {
            k.state.screens.erase(sc);
            return VDB_OK;
        }
        if (!k.state.windows.count(window)) return fail(VDB_NOWINDOW, "no window %d", window);
        k.state.screens[sc] = window;
        return VDB_OK;
    });
}

extern "C" int VdbGetWindowInfo(int screen, char** text, int* lines, int* columns, int* length, int* more) {
    return guarded([&](Kernel& k) {
        WindowPtr w = currentWindow(k, screen);
        if (!w) return fail(VDB_NOWINDOW, "no window on screen %d", screen < 0 ? -screen : screen);
        if (text) *text = w->shown.data();
        if (lines) *lines = w->lines;
        if (columns) *columns = w->columns;
        if (length) *length = w->page < w->pages.size() ? static_cast<int>(w->pages[w->page].size()) : 0;
        if (more) *more = w->page + 1 < w->pages.size() ? 1 : 0;
        return VDB_OK;
    });
}

extern "C" int VdbDeleteWindow(int window) {
    return guarded([&](Kernel& k) {
        if (!k.state.windows.erase(window)) return fail(VDB_NOWINDOW, "no window %d", window);
        for (auto it = k.state.screens.begin(); it != k.state.screens.end();)
            it = it->second == window ? k.state.screens.erase(it) : std::next(it);
        return VDB_OK;
    });
}
