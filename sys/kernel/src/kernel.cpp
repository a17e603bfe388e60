#include "kernel.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "config.h"
#include "kernel_hooks.h"
#include "status.h"
#include "util.h"
#include "vornapi.h"

namespace vdbs {
namespace {

std::unique_ptr<Kernel>& slot() {
    static std::unique_ptr<Kernel>* k = new std::unique_ptr<Kernel>();
    return *k;
}

constexpr size_t kTreeCacheBytes = 256u << 20;
constexpr int64_t kVersionCheckNs = 5 * 1000 * 1000;

uint64_t treeKey(int64_t base, int rid) {
    return (static_cast<uint64_t>(base) << 32) ^ static_cast<uint32_t>(rid);
}

}  // namespace

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Kernel* kernel() { return slot().get(); }
void setKernel(std::unique_ptr<Kernel> k) { slot() = std::move(k); }

Storage& store() { return *kernel()->st; }

void noteRecordModified(Record* rec) {
    Kernel* k = kernel();
    if (!k) return;
    for (const RecordPtr& r : k->dirty)
        if (r.get() == rec) return;
    k->dirty.push_back(rec->shared_from_this());
}

uint64_t nextWriteSeq() {
    Kernel* k = kernel();
    return k ? ++k->writeSeq : 0;
}

const std::vector<int>* knownItemMaxima(int64_t base, int rid) {
    Kernel* k = kernel();
    if (!k) return nullptr;
    auto it = k->itemMaxima.find(treeKey(base, rid));
    return it == k->itemMaxima.end() ? nullptr : &it->second;
}

void keepItemMaxima(int64_t base, int rid, const std::vector<int>& maxima) {
    Kernel* k = kernel();
    if (!k) return;
    if (k->itemMaxima.size() >= 65536) k->itemMaxima.clear();
    k->itemMaxima[treeKey(base, rid)] = maxima;
}

void noteBackedInTransaction() {
    if (Kernel* k = kernel()) k->backedInTxn = true;
}

void noteIndexChanged(int64_t base, int rid) {
    Kernel* k = kernel();
    if (!k) return;
    k->metas.erase(base);
    k->itemMaxima.erase(treeKey(base, rid));
    k->trees.erase(base, rid);
    k->touchedBases.insert(base);
}

SetPtr makeSet(int64_t base, const std::string& baseName, HitList&& hits, std::vector<Term>&& terms,
               bool noAttributes) {
    auto s = std::make_shared<SetData>();
    s->noAttributes = noAttributes;
    s->base = base;
    s->baseName = baseName;
    s->hits = std::move(hits);
    s->terms = std::move(terms);
    // Each record's run of hits is skipped by steps that double, then a
    // binary search: a record of many hits costs a few comparisons.
    const HitList& h = s->hits;
    const size_t n = h.size();
    for (size_t i = 0; i < n;) {
        uint64_t rid = h[i] >> 32;
        s->rids.push_back(static_cast<int>(rid));
        s->starts.push_back(static_cast<uint32_t>(i));
        if (rid == 0xffffffffu) break;
        const Hit next = (rid + 1) << 32;
        size_t lo = i + 1, step = 1;
        while (lo + step < n && h[lo + step] < next) {
            lo += step;
            step *= 2;
        }
        size_t hi = std::min(n, lo + step);
        i = static_cast<size_t>(std::lower_bound(h.begin() + static_cast<long>(std::min(lo, n)),
                                                 h.begin() + static_cast<long>(hi), next) -
                                h.begin());
    }
    return s;
}

void Window::setOutput(const std::vector<std::string>& words) {
    pages.clear();
    page = 0;
    size_t cap = static_cast<size_t>(lines) * static_cast<size_t>(columns);
    std::string cur;
    for (const std::string& w : words) {
        std::string item = w.substr(0, cap > 0 ? cap - 1 : 0) + " ";
        if (!cur.empty() && cur.size() + item.size() > cap) {
            pages.push_back(cur);
            cur.clear();
        }
        cur += item;
    }
    if (!cur.empty()) pages.push_back(cur);
    render();
}

void Window::render() {
    size_t cap = static_cast<size_t>(lines) * static_cast<size_t>(columns);
    shown.assign(cap, ' ');
    if (page < pages.size()) shown.replace(0, pages[page].size(), pages[page]);
}

void Kernel::dropCaches() {
    bases.clear();
    metas.clear();
    trees.clear();
    itemMaxima.clear();
}

void Kernel::checkVersion(bool force) {
    if (st->depth() > 0) return;  // our own write lock: nobody else commits
    int64_t now = monotonicNs();
    if (!force && now - lastCheckNs < kVersionCheckNs) return;
    lastCheckNs = now;
    if (st->changedByOthers()) {
        ++epoch;
        dropCaches();
    }
}

void Kernel::checkVersionInTxn() {
    lastCheckNs = monotonicNs();
    if (st->changedByOthers()) {
        ++epoch;
        dropCaches();
    }
}

int Kernel::readOnce(const std::function<int()>& fn) {
    if (st->depth() > 0) return fn();
    // A read, as an export is: through the map when the storage has one.
    st->mapForReading(true);
    st->begin(true);
    int rc;
    try {
        checkVersionInTxn();
        rc = fn();
        st->commit();
    } catch (...) {
        if (st->depth() > 0) st->rollback();
        st->mapForReading(false);
        throw;
    }
    st->mapForReading(false);
    return rc;
}

BasePtr Kernel::findBase(const std::string& name) {
    std::string key = upper(name);
    auto it = bases.find(key);
    if (it != bases.end()) return it->second;
    BaseRow row;
    if (!st->getBase(name, row)) return nullptr;
    auto b = std::make_shared<BaseInfo>();
    b->id = row.id;
    b->name = row.name;
    b->charset = row.charset;
    std::string err;
    if (!Design::parse(row.designText, row.designName, b->design, err))
        throw StorageError("design of base " + row.name + " is damaged: " + err);
    bases[key] = b;
    return b;
}

IndexMetaPtr Kernel::meta(int64_t base) {
    auto it = metas.find(base);
    if (it != metas.end()) return it->second;
    IndexMetaPtr m = loadIndexMeta(*st, base);
    metas[base] = m;
    return m;
}

TreePtr* TreeCache::slot(int64_t base, int rid, bool make) {
    uint32_t r = static_cast<uint32_t>(rid);
    uint64_t key = (static_cast<uint64_t>(base) << 32) ^ (r >> kBlockBits);
    if (key != lastKey_ || !last_) {
        auto b = blocks_.find(key);
        if (b == blocks_.end()) {
            if (!make) return nullptr;
            b = blocks_.emplace(key, Block(size_t{1} << kBlockBits)).first;
        }
        lastKey_ = key;
        last_ = &b->second;  // element addresses of an unordered_map stay put
    }
    return &(*last_)[r & ((1u << kBlockBits) - 1)];
}

void TreeCache::put(int64_t base, int rid, TreePtr t) {
    TreePtr* p = slot(base, rid, true);
    if (*p) bytes_ -= std::min(bytes_, (*p)->bytes());
    bytes_ += t->bytes();
    *p = std::move(t);
}

void TreeCache::erase(int64_t base, int rid) {
    TreePtr* p = slot(base, rid, false);
    if (!p || !*p) return;
    bytes_ -= std::min(bytes_, (*p)->bytes());
    p->reset();
}

namespace {

// One record's stored tree, read in pieces into one buffer kept for the
// next: a large tree's stored form is decoded as it arrives instead of being
// copied whole.
TreePtr readTree(Storage& st, int64_t base, int rid) {
    int64_t size = 0;
    std::unique_ptr<ByteSource> src = st.openTree(base, rid, size);
    if (!src) return nullptr;
    static std::vector<unsigned char> buf(64u << 10);
    TreeDecoder dec(size);
    size_t have = 0;
    int64_t at = 0;
    for (;;) {
        size_t got = src->read(at, buf.size() - have, buf.data() + have);
        at += static_cast<int64_t>(got);
        have += got;
        bool last = got == 0 || at >= size;
        size_t used = dec.feed(buf.data(), have, last);
        if (last) break;
        have -= used;
        std::memmove(buf.data(), buf.data() + used, have);
    }
    return dec.finish();
}

}  // namespace

void Kernel::treesFor(int64_t base, const std::vector<int>& rids, std::vector<const Tree*>& out) {
    // Trees of earlier joins go when there are too many; those of this one
    // stay until it is done.
    if (trees.bytes() > kTreeCacheBytes) trees.clear();
    out.resize(rids.size());
    std::vector<int> missing;
    for (size_t i = 0; i < rids.size(); ++i)
        if (!(out[i] = trees.find(base, rids[i]))) missing.push_back(rids[i]);
    if (missing.empty()) return;
    if (missing.size() == 1) {
        if (TreePtr t = readTree(*st, base, missing[0])) trees.put(base, missing[0], std::move(t));
    } else {
        st->readTrees(base, missing, [&](int rid, const unsigned char* data, size_t n) {
            trees.put(base, rid, decodeTree(data, n));
        });
    }
    for (size_t i = 0; i < rids.size(); ++i)
        if (!out[i]) out[i] = trees.find(base, rids[i]);
}

RecordPtr Kernel::loadRecord(const BasePtr& base, int rid) {
    auto key = std::make_pair(base->id, rid);
    auto it = records.find(key);
    if (it != records.end()) {
        if (RecordPtr r = it->second.lock()) {
            if (r->stored() && r->rid() == rid && r->base()->id == base->id) {
                if (r->stale(epoch) && !r->modified()) r->invalidate();
                r->setEpoch(epoch);
                if (r->stored()) return r;
            }
        }
        records.erase(it);
    }
    auto r = std::make_shared<Record>(base);
    if (!r->load(rid)) return nullptr;
    r->setEpoch(epoch);
    records[key] = r;
    if (records.size() > 4096) {
        for (auto i = records.begin(); i != records.end();)
            i = i->second.expired() ? records.erase(i) : std::next(i);
    }
    return r;
}

Control* Kernel::control(VdbHandle h) {
    if (!h || !handles.count(h)) return nullptr;
    auto* c = static_cast<Control*>(h);
    return c->magic == kControlHandle ? c : nullptr;
}

Cursor* Kernel::cursor(VdbHandle h) {
    if (!h || !handles.count(h)) return nullptr;
    auto* c = static_cast<Cursor*>(h);
    return c->magic == kCursorHandle ? c : nullptr;
}

Record* Kernel::bound(Control* c, int& status) {
    status = VDB_OK;
    if (!c->rec) {
        if (!state.open) {
            status = fail(VDB_NOBASEOPEN, "the record control is not bound to a base and no base is open");
            return nullptr;
        }
        c->rec = std::make_shared<Record>(state.open);
    }
    refresh(c);
    return c->rec.get();
}

void Kernel::refresh(Control* c) {
    if (!c->rec) return;
    checkVersion(false);
    Record* r = c->rec.get();
    if (r->stale(epoch) && !r->modified()) r->invalidate();
    r->setEpoch(epoch);
}

int Kernel::finalizeDirty() {
    while (!dirty.empty()) {
        std::vector<RecordPtr> work;
        work.swap(dirty);
        for (const RecordPtr& r : work) {
            if (!r->stored() || !r->modified() || isImportRecord(r.get())) continue;
            int rc = r->finalize();
            if (!(rc & 1)) return rc;
        }
    }
    return VDB_OK;
}

std::vector<RecordPtr> Kernel::liveRecords() {
    std::vector<RecordPtr> live;
    for (void* h : handles) {
        auto* c = static_cast<Control*>(h);
        if (c->magic == kControlHandle && c->rec) live.push_back(c->rec);
    }
    for (auto& kv : records)
        if (RecordPtr r = kv.second.lock()) live.push_back(r);
    for (const RecordPtr& r : dirty) live.push_back(r);
    std::sort(live.begin(), live.end());
    live.erase(std::unique(live.begin(), live.end()), live.end());
    return live;
}

void Kernel::beginTxn(bool deferred) {
    // Values held back for a part being written go to storage first, so that
    // undoing the new level cannot take them along.
    if (st->depth() > 0)
        for (const RecordPtr& r : liveRecords()) r->flush();
    st->begin(deferred);
    savepoints.push_back(writeSeq);
}

void Kernel::commitTxn() {
    uint64_t seq = savepoints.empty() ? 0 : savepoints.back();
    try {
        st->commit();
    } catch (...) {
        if (!savepoints.empty()) savepoints.pop_back();
        afterRollback(seq);
        throw;
    }
    if (!savepoints.empty()) savepoints.pop_back();
}

void Kernel::rollbackTxn() {
    uint64_t seq = savepoints.empty() ? 0 : savepoints.back();
    if (!savepoints.empty()) savepoints.pop_back();
    st->rollback();
    afterRollback(seq);
}

void Kernel::afterRollback(uint64_t seq) {
    int depth = st->depth();
    std::set<Record*> affected;
    for (const RecordPtr& r : liveRecords()) {
        if (!r->backed()) continue;
        if (r->backedDepth > depth) {
            r->resetToNew();
            affected.insert(r.get());
        } else if (r->lastWrite() > seq) {
            r->reloadSlots();
            affected.insert(r.get());
            if (depth > 0 && std::find(dirty.begin(), dirty.end(), r) != dirty.end()) r->markNeedsIndex();
        }
    }
    for (void* h : handles) {
        auto* c = static_cast<Cursor*>(h);
        if (c->magic == kCursorHandle && c->ctl && c->ctl->rec && affected.count(c->ctl->rec.get()))
            c->tf = TextFormState();
    }
    if (depth == 0) dirty.clear();
    metas.clear();
    trees.clear();
    itemMaxima.clear();
    bases.clear();
}

void Kernel::mergeTouched() {
    if (st->depth() > 0) return;
    std::set<int64_t> work;
    work.swap(touchedBases);
    // Merging is housekeeping after a commit: when it cannot run now (another
    // process holds the lock too long), a later commit does it.
    for (int64_t b : work) {
        try {
            if (mergeRuns(*st, b)) metas.erase(b);
        } catch (const StorageError&) {
            metas.erase(b);
        }
    }
}

void Kernel::clearBackedDepths() {
    if (!backedInTxn) return;
    backedInTxn = false;
    for (const RecordPtr& r : liveRecords()) r->backedDepth = 0;
}

int Kernel::write(const std::function<int()>& fn) {
    bool outer = st->depth() == 0;
    if (outer) checkVersion(true);
    beginTxn();
    int rc;
    try {
        rc = fn();
        if ((rc & 1) && outer) rc = finalizeDirty();
    } catch (...) {
        rollbackTxn();
        throw;
    }
    if (rc & 1) {
        commitTxn();
        if (outer) {
            clearBackedDepths();
            mergeTouched();
        }
    } else {
        rollbackTxn();
    }
    return rc;
}

int Kernel::importDepth() const {
    int n = 0;
    for (const ActiveCall& c : calls)
        if (c.import) ++n;
    return n;
}

bool Kernel::isImportRecord(const Record* r) const {
    for (const ActiveCall& c : calls) {
        if (!c.import || !c.fd) continue;
        VdbHandle h = c.fd->record_control;
        if (!h || !handles.count(h)) continue;
        auto* ctl = static_cast<Control*>(h);
        if (ctl->magic == kControlHandle && ctl->rec.get() == r) return true;
    }
    return false;
}

int noSession() { return fail(VDB_NOSESSION, "VdbStartVorn has not opened a session"); }

int callFailed(const std::exception* e, bool storage) {
    if (storage) return fail(VDB_STORAGE, "%s", e ? e->what() : "out of memory");
    return fail(VDB_STORAGE, "internal failure: %s", e ? e->what() : "unknown exception");
}

}  // namespace vdbs
