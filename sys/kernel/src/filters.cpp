// Import and export through filter modules, and kernel extensions.
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "config.h"
#include "kernel.h"
#include "status.h"
#include "textform.h"
#include "util.h"
#include "vornapi.h"

using namespace vdbs;

namespace {

using FilterFn = int (*)(char*, int*);

struct Module {
    std::string path;
    void* handle = nullptr;
};

// Modules stay open for the life of the process: filters may keep state.
std::vector<Module>& openModules() {
    static auto* m = new std::vector<Module>();
    return *m;
}

bool fileExists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

void* openModule(const std::string& path, std::string& err) {
    for (const Module& m : openModules())
        if (m.path == path) return m.handle;
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        err = "cannot load filter module " + path + ": " + (e ? e : "unknown error");
        return nullptr;
    }
    openModules().push_back(Module{path, h});
    return h;
}

// The modules a filter name is looked up in, in order: VORNxml.so beside
// the kernel library, the modules listed in VDBS_FILTERS (paths separated by
// ':'), and VORNxml.so on the library path when it is not beside the kernel.
std::vector<std::string> modulePaths() {
    std::vector<std::string> out;
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&VdbImport), &info) && info.dli_fname) {
        std::string self = info.dli_fname;
        size_t slash = self.find_last_of('/');
        std::string beside = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/VORNxml.so";
        if (fileExists(beside)) out.push_back(beside);
    }
    bool besideFound = !out.empty();
    std::string list = configString("VDBS_FILTERS", "");
    size_t i = 0;
    while (!list.empty() && i <= list.size()) {
        size_t j = list.find(':', i);
        if (j == std::string::npos) j = list.size();
        std::string path = list.substr(i, j - i);
        if (!path.empty() && std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
        i = j + 1;
    }
    if (!besideFound) out.push_back("VORNxml.so");
    return out;
}

// Filters found, by name and the module list they were looked up with: a
// module stays open, so its function does too, and a retrieval of many small
// documents does not look for the modules again each time.
struct Resolved {
    void* sym;
    std::string lib;
    bool readsOnly;
};

std::map<std::string, Resolved>& resolvedFilters() {
    static auto* m = new std::map<std::string, Resolved>();
    return *m;
}

// A module may say which of its filters never write (the optional function
// VdbFilterReadsOnly): an export through one of those runs on a read snapshot;
// every other export takes the write lock at once, so that two updates wait
// for each other instead of one failing.
bool declaredReadsOnly(void* module, const std::string& name) {
    using ReadsOnlyFn = int (*)(const char*);
    auto fn = reinterpret_cast<ReadsOnlyFn>(dlsym(module, "VdbFilterReadsOnly"));
    return fn && fn(name.c_str()) == 1;
}

int resolveFilter(filter_data* fd, FilterFn& fn, bool& readsOnly) {
    std::string name(fd->filter_name, strnlen(fd->filter_name, sizeof fd->filter_name));
    if (name.empty()) return fail(VDB_NOFILTER, "no filter name given");
    std::string key = name + '\0' + configString("VDBS_FILTERS", "");
    auto known = resolvedFilters().find(key);
    if (known != resolvedFilters().end()) {
        fn = reinterpret_cast<FilterFn>(known->second.sym);
        readsOnly = known->second.readsOnly;
        fd->filter_address = known->second.sym;
        copyCString(fd->filter_lib_env, sizeof fd->filter_lib_env, known->second.lib);
        return VDB_OK;
    }
    std::string errors, tried;
    for (const std::string& path : modulePaths()) {
        std::string err;
        void* h = openModule(path, err);
        if (!h) {
            errors += (errors.empty() ? "" : "; ") + err;
            continue;
        }
        tried += (tried.empty() ? "" : ", ") + path;
        void* sym = dlsym(h, name.c_str());
        if (sym) {
            fn = reinterpret_cast<FilterFn>(sym);
            readsOnly = declaredReadsOnly(h, name);
            fd->filter_address = sym;
            std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
            copyCString(fd->filter_lib_env, sizeof fd->filter_lib_env, base);
            resolvedFilters()[key] = Resolved{sym, base, readsOnly};
            return VDB_OK;
        }
    }
    // A module that did not load may be the one that holds the filter.
    if (!errors.empty())
        return fail(VDB_FILTERLOAD, "no filter '%s'%s%s; %s", name.c_str(), tried.empty() ? "" : " in ",
                    tried.c_str(), errors.c_str());
    return fail(VDB_NOFILTER, "no filter '%s' in %s", name.c_str(), tried.c_str());
}

void report(filter_data* fd, int status) {
    fd->errorcode = status;
    copyCString(fd->errortext, sizeof fd->errortext, lastMessage());
}

// The text forms written through the control's cursors are complete.
int finishForms(Control* c) {
    if (!c || !c->rec) return VDB_OK;
    for (Cursor* cu : c->cursors) {
        int s = finishTextForm(*c->rec, cu->tf);
        if (!(s & 1)) return s;
    }
    return VDB_OK;
}

// Marks an operation that mostly reads, until end() or the end of the scope.
class ReadingMap {
public:
    explicit ReadingMap(Storage* st) : st_(st) {
        if (st_) st_->mapForReading(true);
    }
    ~ReadingMap() { end(); }
    ReadingMap(const ReadingMap&) = delete;
    ReadingMap& operator=(const ReadingMap&) = delete;
    void end() {
        if (st_) st_->mapForReading(false);
        st_ = nullptr;
    }

private:
    Storage* st_;
};

int runFilter(Kernel& k, filter_data* fd, bool import) {
    if (!fd) return fail(VDB_BADARG, "no filter_data");
    FilterFn fn = nullptr;
    bool readsOnly = false;
    int rc = resolveFilter(fd, fn, readsOnly);
    if (!(rc & 1)) {
        report(fd, rc);
        return rc;
    }
    VdbHandle origControl = fd->record_control;
    VdbHandle origCursor = fd->cursor;
    Control* ctl = k.control(origControl);
    std::unique_ptr<Record> snap;
    if (import && ctl && ctl->rec && !ctl->rec->backed()) snap = ctl->rec->snapshot();

    bool outer = k.st->depth() == 0;
    // An export reads through the map while its filter runs; what a store
    // writes after it is written without.
    ReadingMap readMap(outer && !import ? k.st.get() : nullptr);
    if (outer && !import && readsOnly) {
        // A filter that only reads neither waits for writers nor makes them
        // wait, and pays for no write transaction. Should it write after all,
        // SQLite takes the write lock then, or refuses the write when another
        // process wrote since the snapshot was taken.
        k.beginTxn(true);
        try {
            k.checkVersionInTxn();
        } catch (...) {
            k.rollbackTxn();
            throw;
        }
    } else {
        if (outer) k.checkVersion(true);
        k.beginTxn();
    }
    bool levelOpen = true;
    k.calls.push_back(ActiveCall{fd, import, ctl});
    int dummy = 0;
    int status;
    try {
        status = fn(reinterpret_cast<char*>(fd), &dummy);
    } catch (...) {
        // A filter must not throw; its work is taken back.
        status = fail(VDB_FILTERERROR, "filter %s ended with an exception", fd->filter_name);
        report(fd, status);
    }
    readMap.end();
    k.calls.pop_back();

    try {
        if (import && (status & 1)) {
            Control* c = k.control(fd->record_control);
            int s = finishForms(c);
            if ((s & 1) && c) {
                int st2;
                Record* r = k.bound(c, st2);
                s = r ? r->finalize() : st2;
                if ((s & 1) && r) k.records[{r->base()->id, r->rid()}] = c->rec;
            }
            if (!(s & 1)) {
                status = s;
                report(fd, s);
            }
        }
        if ((status & 1) || !import) {
            if (outer) {
                int s = k.finalizeDirty();
                if (!(s & 1)) {
                    // A record the filter changed cannot be stored: nothing is kept.
                    status = s;
                    report(fd, s);
                    levelOpen = false;
                    k.rollbackTxn();
                    if (snap && ctl && k.handles.count(ctl) && ctl->rec) ctl->rec->restoreFrom(*snap);
                    return status;
                }
            }
            levelOpen = false;
            k.commitTxn();
            if (outer) {
                k.clearBackedDepths();
                k.mergeTouched();
            }
        } else {
            levelOpen = false;
            k.rollbackTxn();
            if (snap && ctl && k.handles.count(ctl) && ctl->rec) ctl->rec->restoreFrom(*snap);
        }
    } catch (const StorageError& e) {
        // The caller reads why in the filter data too.
        if (levelOpen) k.rollbackTxn();
        if (snap && ctl && k.handles.count(ctl) && ctl->rec) ctl->rec->restoreFrom(*snap);
        status = fail(VDB_STORAGE, "%s", e.what());
        report(fd, status);
    } catch (...) {
        if (levelOpen) k.rollbackTxn();
        if (snap && ctl && k.handles.count(ctl) && ctl->rec) ctl->rec->restoreFrom(*snap);
        throw;
    }

    if (!import && fd->record_control != origControl) {
        // A control the filter made in place of the caller's is the kernel's to free.
        if (Control* made = k.control(fd->record_control)) {
            if (made != ctl) {
                bool cursorGone = made->cursors.count(static_cast<Cursor*>(fd->cursor)) > 0;
                VdbDeleteRecordControl(made);
                if (cursorGone) fd->cursor = origCursor;
            }
        }
        fd->record_control = origControl;
    }
    return status;
}

}  // namespace

extern "C" int VdbImport(filter_data* fd) {
    return guarded([&](Kernel& k) { return runFilter(k, fd, true); });
}

extern "C" int VdbExport(filter_data* fd) {
    return guarded([&](Kernel& k) { return runFilter(k, fd, false); });
}

extern "C" int VdbLoadAse(const char* name, VdbHandle* handle, char*) {
    return guarded([&](Kernel& k) {
        if (!name || !*name || !handle) return fail(VDB_BADARG, "VdbLoadAse: no name or handle");
        *handle = nullptr;
        std::string key = std::string("VDBS_ASE_") + name;
        const char* v = configValue(key.c_str());
        if (!v || !*v) return fail(VDB_NOASE, "kernel extension %s: %s is not set", name, key.c_str());
        std::string spec = v, path = spec, func = name;
        size_t colon = spec.find_last_of(':');
        if (colon != std::string::npos && spec.find('/', colon) == std::string::npos) {
            path = spec.substr(0, colon);
            func = spec.substr(colon + 1);
        }
        std::string err;
        void* h = openModule(path, err);
        if (!h) return fail(VDB_NOASE, "kernel extension %s: %s", name, err.c_str());
        void* sym = dlsym(h, func.c_str());
        if (!sym) return fail(VDB_NOASE, "kernel extension %s: no function %s in %s", name, func.c_str(), path.c_str());
        auto* a = new AseHandle();
        a->fn = reinterpret_cast<int (*)(char*, int*)>(sym);
        a->name = name;
        k.handles.insert(a);
        *handle = a;
        return VDB_OK;
    });
}

extern "C" int VdbCallAse(VdbHandle handle, char* arg, int* result) {
    return guarded([&](Kernel& k) {
        if (!handle || !k.handles.count(handle) || static_cast<AseHandle*>(handle)->magic != kAseHandle)
            return fail(VDB_BADHANDLE, "extension handle %p is not a live handle", handle);
        int local = 0;
        return static_cast<AseHandle*>(handle)->fn(arg, result ? result : &local);
    });
}
