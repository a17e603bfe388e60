// The process's session: storage, caches, session state (open base, sets,
// settings, windows), the status stack, handles and transactions.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hits.h"
#include "index.h"
#include "record.h"
#include "storage.h"
#include "tree.h"
#include "vornapi_types.h"

namespace vdbs {

// A condition term kept with a set for hit spans in field values.
struct Term {
    enum Kind { Exact, Contains, Prefix, Suffix };
    int field = 0;
    Kind kind = Exact;
    std::string value;
};

struct SetData {
    int64_t base = 0;
    std::string baseName;
    HitList hits;
    std::vector<int> rids;         // distinct records, ascending
    std::vector<uint32_t> starts;  // index in hits of each record's first hit
    std::vector<Term> terms;
    bool noAttributes = false;  // known to hold no attribute node
    int records() const { return static_cast<int>(rids.size()); }
    int hitCount() const { return static_cast<int>(hits.size()); }
};
using SetPtr = std::shared_ptr<const SetData>;
SetPtr makeSet(int64_t base, const std::string& baseName, HitList&& hits, std::vector<Term>&& terms,
               bool noAttributes = false);

struct Window {
    int id = 0;
    int lines = 24, columns = 80;
    std::vector<std::string> pages;  // output split into pages
    size_t page = 0;
    std::string shown;  // lines * columns characters of the current page
    void setOutput(const std::vector<std::string>& words);
    void render();
};
using WindowPtr = std::shared_ptr<Window>;

struct MapDef {
    std::string name;    // upper-case
    std::string report;  // F: field of the mapped base reported
    std::string base;    // B
    std::string from;    // G: field of B
    std::string to;      // H: field of the open base
};

struct SessionState {
    BasePtr open;
    std::map<int, SetPtr> sets;
    int last = 0;  // number of the last search's set, 0 when it made none
    bool highlight = true;
    bool findMin0 = false;
    std::map<std::string, MapDef> maps;
    std::map<int, WindowPtr> windows;
    std::map<int, int> screens;  // screen -> window id
    int nextWindow = 1;
};

enum HandleKind : uint32_t { kControlHandle = 0x43544c31, kCursorHandle = 0x43555231, kAseHandle = 0x41534531 };

struct Control;

struct Cursor {
    uint32_t magic = kCursorHandle;
    Control* ctl = nullptr;
    int field = 0;
    int part = 0;  // selected part
    int item = 0;  // 0: the first item (resolved when used)
    bool fresh = true;
    bool blobFresh = true;
    bool explicitItem = false;  // placed on a numbered item
    bool advance = false;       // item was read: the cursor moves past it when next used
    TextFormState tf;
};

struct Control {
    uint32_t magic = kControlHandle;
    RecordPtr rec;  // null until bound
    SetPtr context;  // hit context of the loaded record
    size_t hitWalk = 0;
    std::set<Cursor*> cursors;
};

struct AseHandle {
    uint32_t magic = kAseHandle;
    int (*fn)(char*, int*) = nullptr;
    std::string name;
};

// The live handles. Every call looks its handles up, and a reader walking a
// record makes several calls per node on the same few handles: the handles
// found last are remembered, so such a call costs no hashing.
class HandleSet {
public:
    void insert(void* h) { set_.insert(h); }
    size_t erase(void* h) {
        for (void*& r : recent_)
            if (r == h) r = nullptr;
        return set_.erase(h);
    }
    void clear() {
        for (void*& r : recent_) r = nullptr;
        set_.clear();
    }
    size_t count(void* h) const {
        if (!h) return 0;
        for (void* r : recent_)
            if (r == h) return 1;
        if (!set_.count(h)) return 0;
        recent_[next_] = h;
        next_ = (next_ + 1) % kRecent;
        return 1;
    }
    size_t size() const { return set_.size(); }
    std::unordered_set<void*>::const_iterator begin() const { return set_.begin(); }
    std::unordered_set<void*>::const_iterator end() const { return set_.end(); }

private:
    static constexpr size_t kRecent = 8;
    std::unordered_set<void*> set_;
    mutable void* recent_[kRecent] = {};
    mutable size_t next_ = 0;
};

struct ActiveCall {
    filter_data* fd = nullptr;
    bool import = false;
    Control* control = nullptr;
};

// Decoded trees by base and record, in blocks of consecutive rids: a join
// over thousands of records (in rid order) finds a record's tree by an index
// into the block of the one before, hashing once per block; memory follows
// the rids cached, however large they are.
class TreeCache {
public:
    const Tree* find(int64_t base, int rid) {
        const TreePtr* p = slot(base, rid, false);
        return p ? p->get() : nullptr;
    }
    void put(int64_t base, int rid, TreePtr t);
    void erase(int64_t base, int rid);
    void clear() {
        blocks_.clear();
        lastKey_ = ~uint64_t{0};
        last_ = nullptr;
        bytes_ = 0;
    }
    size_t bytes() const { return bytes_; }

private:
    static constexpr int kBlockBits = 10;
    using Block = std::vector<TreePtr>;
    TreePtr* slot(int64_t base, int rid, bool make);
    std::unordered_map<uint64_t, Block> blocks_;
    uint64_t lastKey_ = ~uint64_t{0};
    Block* last_ = nullptr;
    size_t bytes_ = 0;
};

class Kernel {
public:
    std::unique_ptr<Storage> st;
    std::string user;
    std::string dir;
    int charset = 16;
    std::string charsetName = "UTF-8";
    uint64_t epoch = 1;

    SessionState state;
    std::vector<SessionState> stack;
    shell_dao_rec dao{};

    HandleSet handles;
    std::vector<RecordPtr> dirty;
    std::vector<ActiveCall> calls;
    Control* lastLoaded = nullptr;

    // Caches, dropped when another process commits.
    std::map<std::string, BasePtr> bases;  // upper-case name
    std::map<std::pair<int64_t, int>, std::weak_ptr<Record>> records;
    std::map<int64_t, IndexMetaPtr> metas;
    // Trees stay while a join uses them: the cache is trimmed only when the
    // next join begins (trimTrees).
    TreeCache trees;
    // Highest item of each record field of stored records (by treeKey),
    // kept while nothing writes them: a large record need not be walked
    // whole again to count the items of a field.
    std::unordered_map<uint64_t, std::vector<int>> itemMaxima;
    std::set<int64_t> touchedBases;
    int64_t lastCheckNs = 0;

    // Drops caches when another connection committed (force: always ask;
    // otherwise at most every few milliseconds).
    void checkVersion(bool force);
    // The same at once inside a transaction just begun: caches are checked
    // against the snapshot it reads.
    void checkVersionInTxn();
    // Runs fn, which only reads, in one read transaction at the outermost
    // level: the version check and fn's statements take SQLite's locks once
    // instead of once each. Inside a transaction fn just runs.
    int readOnce(const std::function<int()>& fn);
    void dropCaches();

    BasePtr findBase(const std::string& name);  // null when missing
    IndexMetaPtr meta(int64_t base);
    // The trees of rids (ascending), null where a record has none; those not
    // cached are read together. Valid until the next call.
    void treesFor(int64_t base, const std::vector<int>& rids, std::vector<const Tree*>& out);
    RecordPtr loadRecord(const BasePtr& base, int rid);  // null when missing

    Control* control(VdbHandle h);
    Cursor* cursor(VdbHandle h);
    // The control's record, binding it to the open base on first use.
    Record* bound(Control* c, int& status);
    void refresh(Control* c);

    uint64_t writeSeq = 0;
    std::vector<uint64_t> savepoints;  // writeSeq when each open transaction level began
    // Transaction levels: the outermost is a transaction, inner ones savepoints.
    void beginTxn(bool deferred = false);
    void commitTxn();
    void rollbackTxn();
    std::vector<RecordPtr> liveRecords();
    // After the outermost commit nothing is undone any more.
    void clearBackedDepths();
    // Some record became backed inside a transaction since the last
    // clearBackedDepths(): without one, there is nothing to clear (a walk of
    // every live record after each commit would grow with the records cached).
    bool backedInTxn = false;

    // Runs fn as one atomic write: a transaction, or a savepoint inside one.
    // Stored records changed in it are re-indexed before it commits.
    int write(const std::function<int()>& fn);
    // Re-indexes the stored records changed in the current transaction.
    int finalizeDirty();
    // After a rollback to the level that began at writeSeq seq: records
    // changed since read storage again, records that became live in the
    // rolled-back part are new again.
    void afterRollback(uint64_t seq);
    void mergeTouched();

    int importDepth() const;
    bool isImportRecord(const Record* r) const;
};

// The session; null when none is open.
Kernel* kernel();
void setKernel(std::unique_ptr<Kernel> k);

// Status of a call that found no session, or whose work threw: storage
// errors and any other exception become VDB_STORAGE with their message.
int noSession();
int callFailed(const std::exception* e, bool storage);

// Guard for C entry points: a session must exist; no exception leaves the
// kernel. A template, so that the calls a reader makes per node pay for no
// std::function.
template <class Fn>
int guarded(Fn&& fn) {
    Kernel* k = kernel();
    if (!k) return noSession();
    try {
        return fn(*k);
    } catch (const StorageError& e) {
        return callFailed(&e, true);
    } catch (const std::bad_alloc&) {
        return callFailed(nullptr, true);
    } catch (const std::exception& e) {
        return callFailed(&e, false);
    } catch (...) {
        return callFailed(nullptr, false);
    }
}

int64_t monotonicNs();

}  // namespace vdbs
