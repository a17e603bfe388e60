#include "record.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "index.h"
#include "kernel_hooks.h"
#include "status.h"
#include "storage.h"
#include "tree.h"
#include "util.h"
#include "vornapi_types.h"

namespace vdbs {
namespace {

constexpr size_t kBlobChunk = 65536;
// A record being imported keeps at most this many slots in memory.
constexpr size_t kMaxCachedSlots = 16384;
// A stored record of more parts (more than one slot page) reads its pages as
// they are needed: a fragment of a small document needs one or two of three.
constexpr int kLazyParts = 256;

Value* findValue(Slot& s, int field, bool part, int item) {
    for (Value& v : s.values)
        if (v.field == field && v.item == item && ((v.flags & kPart) != 0) == part) return &v;
    return nullptr;
}

// A node part gets about ten values, one at a time: room for them at once.
void addValue(Slot& s, Value&& v) {
    if (s.values.capacity() == 0) s.values.reserve(12);
    s.values.push_back(std::move(v));
}

bool eraseValue(Slot& s, int field, bool part, int item) {
    for (size_t i = 0; i < s.values.size(); ++i) {
        Value& v = s.values[i];
        if (v.field == field && v.item == item && ((v.flags & kPart) != 0) == part) {
            s.values.erase(s.values.begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
}

std::string sizeValue(int64_t n) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xff);
    return s;
}

int64_t sizeFrom(const std::string& s) {
    if (s.size() != 8) return 0;
    int64_t n = 0;
    for (int i = 7; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(s[static_cast<size_t>(i)]);
    return n;
}

// Field numbers index the table of item maxima directly; a damaged slot
// with a huge one leaves the answer to the bitmaps.
constexpr uint64_t kMaxField = 4096;

// The highest item by record field number (0: none).
struct ItemMaxima {
    std::vector<int> top;
    bool ok = true;
    void note(uint64_t field, uint64_t item) {
        if (item == 0 || item > static_cast<uint64_t>(INT32_MAX)) return;
        if (field >= kMaxField) {
            ok = false;
            return;
        }
        size_t f = static_cast<size_t>(field);
        if (f >= top.size()) top.resize(f + 1, 0);
        if (top[f] < static_cast<int>(item)) top[f] = static_cast<int>(item);
    }
};

// The maxima kept with a stored record: a form byte, then (field, highest
// item) for each field that has items.
constexpr char kMaximaForm = 1;

std::string encodeMaxima(const std::vector<int>& top) {
    std::string out(1, kMaximaForm);
    for (size_t f = 0; f < top.size(); ++f)
        if (top[f] > 0) {
            putVarint(out, f);
            putVarint(out, static_cast<uint64_t>(top[f]));
        }
    return out;
}

// False (and nothing in top) when there are none or they are not of a form
// read here: the record is then walked.
bool decodeMaxima(const std::string& s, std::vector<int>& top) {
    top.clear();
    if (s.empty() || s[0] != kMaximaForm) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data()) + 1;
    const unsigned char* e = reinterpret_cast<const unsigned char*>(s.data()) + s.size();
    ItemMaxima m;
    while (p < e) {
        uint64_t field, item;
        if (!getVarint(p, e, field) || !getVarint(p, e, item)) return false;
        if (field >= kMaxField || item == 0 || item > static_cast<uint64_t>(INT32_MAX)) return false;
        m.note(field, item);
    }
    top.swap(m.top);
    return true;
}

}  // namespace

uint64_t newDesignStamp() {
    static std::atomic<uint64_t> next{1};
    return next++;
}

std::string encodeSlot(const Slot& s) {
    std::string out;
    size_t size = 10;
    for (const Value& v : s.values) size += 16 + v.data.size();
    out.reserve(size);
    putVarint(out, s.values.size());
    for (const Value& v : s.values) {
        putVarint(out, static_cast<uint64_t>(v.field));
        out.push_back(static_cast<char>(v.flags));
        putVarint(out, static_cast<uint64_t>(v.item));
        putVarint(out, v.data.size());
        out.append(v.data);
    }
    return out;
}

bool decodeSlot(const unsigned char* p, size_t n, Slot& out) {
    out.values.clear();
    if (n == 0) return true;
    return walkSlot(p, p + n, [&](uint64_t field, uint64_t item, uint8_t flags, const unsigned char* d, size_t len) {
        Value v;
        v.field = static_cast<int>(field);
        v.item = static_cast<int>(item);
        v.flags = flags;
        v.data.assign(reinterpret_cast<const char*>(d), len);
        out.values.push_back(std::move(v));
    });
}

bool Record::load(int rid) {
    RecordRow row;
    dropChunk();
    if (!store().getRecord(base_->id, rid, row)) return false;
    slots_.clear();
    behind_.clear();
    winBase_ = 0;
    items_.clear();
    memBlobs_.clear();
    dropRaw();
    if (row.nparts > kLazyParts) {
        // Only the list of pages now; each is read when a slot of it is.
        std::vector<SlotPageRef> refs;
        store().listSlotPages(base_->id, rid, refs);
        pages_.resize(refs.size());
        for (size_t k = 0; k < refs.size(); ++k) pages_[k].ref = refs[k];
        pagesLeft_ = refs.size();
        releaseFrom_ = 1;
        // Page bytes never move once read: views into them stay valid.
        raw_.reserve(refs.size());
        slots_.resize(1);
        storedTop_ = SIZE_MAX;
    } else {
        // The slots stay encoded until asked for (slot()); item bitmaps are
        // built when a reader first needs them (ensureItems()). The pages
        // are read into one buffer of the record's own.
        static thread_local std::vector<SlotRef> at;
        raw_.emplace_back();
        store().readSlotPagesInto(base_->id, rid, raw_.back(), at);
        // Slots come in order: the last one sizes the table once.
        if (!at.empty() && at.back().slot >= 0) rawAt_.resize(static_cast<size_t>(at.back().slot) + 1);
        for (const SlotRef& r : at) {
            if (r.slot < 0) continue;
            size_t i = static_cast<size_t>(r.slot);
            if (rawAt_.size() <= i) rawAt_.resize(i + 1);
            rawAt_[i] = RawRef{0, r.offset, r.length};
        }
        slots_.resize(rawAt_.size());
        storedTop_ = rawAt_.size();
    }
    itemsBuilt_ = false;
    rid_ = rid;
    backed_ = stored_ = true;
    complete_ = true;
    nparts_ = row.nparts;
    run_ = row.run;
    storedName_ = row.name;
    tfStatus_ = 1;
    tfMessage_.clear();
    batchSlot_ = -1;
    modified_ = false;
    // Kept with the record when it was stored: no walk to find them.
    maxItemsKnown_ = decodeMaxima(row.maxima, maxItems_);
    return true;
}

Record::RawRef* Record::pagedRef(size_t s) {
    // The page holding s is the last one starting at or before it.
    size_t k = pageHint_;
    auto starts = [&](size_t j) { return static_cast<size_t>(pages_[j].ref.first); };
    if (!(k < pages_.size() && starts(k) <= s && (k + 1 == pages_.size() || s < starts(k + 1)))) {
        auto it = std::upper_bound(pages_.begin(), pages_.end(), s, [](size_t v, const RawPage& pg) {
            return v < static_cast<size_t>(pg.ref.first);
        });
        if (it == pages_.begin()) return nullptr;
        k = static_cast<size_t>(it - pages_.begin()) - 1;
        pageHint_ = k;
    }
    RawPage& pg = pages_[k];
    size_t i = s - starts(k);
    if (i >= pg.at.size() && (!pg.fetched || pg.parsed < pg.size)) fetchPage(k, s);
    return i < pg.at.size() && pg.at[i].length != kNoRaw ? &pg.at[i] : nullptr;
}

size_t Record::rawExtent() {
    if (pages_.empty()) return rawAt_.size();
    fetchPage(pages_.size() - 1);
    return static_cast<size_t>(pages_.back().ref.first) + pages_.back().at.size();
}

void Record::fetchPage(size_t k, size_t upTo) {
    RawPage& pg = pages_[k];
    const size_t first = static_cast<size_t>(pg.ref.first);
    // How far slot s probably ends, by the sizes of the slots seen so far.
    auto reach = [&](size_t s) {
        const size_t slots = s == SIZE_MAX ? SIZE_MAX : s - first + 1;
        return slots > kSlotsPerPage ? SIZE_MAX : slots * (bytesPerSlot_ ? bytesPerSlot_ : 96) * 5 / 4 + 512;
    };
    auto read = [&](size_t bytes) {
        size_t total = pg.size;
        if (!store().readListedSlotPageBytes(base_->id, rid_, pg.ref, raw_[pg.raw], bytes, total)) pageChanged();
        pg.size = static_cast<uint32_t>(total);
    };
    if (!pg.fetched) {
        // A page given back and read again takes its old entry: raw_ never
        // grows past one entry per page, so entries never move.
        if (pg.raw == kNoRaw) {
            pg.raw = static_cast<uint32_t>(raw_.size());
            raw_.emplace_back();
        }
        raw_[pg.raw].clear();
        pg.parsed = pg.size = 0;
        // A look-up reads about as far as its slot lies, by the sizes of the
        // slots seen so far; a walk (from the page's first slot, or on from
        // the whole page before) the whole page at once.
        const bool walk = upTo == first || (k > 0 && pages_[k - 1].fetched && pages_[k - 1].parsed == pages_[k - 1].size);
        read(walk ? SIZE_MAX : reach(upTo));
        pg.fetched = true;
        pg.at.reserve(kSlotsPerPage);
        --pagesLeft_;
        if (k > 0 && k < releaseFrom_) releaseFrom_ = k;
    }
    // Slots past the one asked for are found while their bytes are at hand:
    // a walk asks for each slot in turn.
    const size_t need = upTo == SIZE_MAX ? SIZE_MAX : upTo - first;
    const size_t ahead = need == SIZE_MAX ? SIZE_MAX : need + 64;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(raw_[pg.raw].data());
    size_t have = raw_[pg.raw].size();
    size_t at = pg.parsed;
    while (at < pg.size && pg.at.size() <= ahead) {
        uint32_t off, len;
        const unsigned char* d;
        const SlotHeader h = readSlotHeader(b + at, b + have, off, d, len);
        if (h == SlotHeader::cut && have < pg.size) {
            if (pg.at.size() > need) break;
            // As far as the slot asked for probably lies, and at least twice
            // as much as read so far (fragments further on read on again).
            if (pg.at.size() >= 16) bytesPerSlot_ = at / pg.at.size();
            const size_t more = std::max(reach(upTo), have * 2);
            read(more > have + 256 ? more : SIZE_MAX);
            b = reinterpret_cast<const unsigned char*>(raw_[pg.raw].data());
            have = raw_[pg.raw].size();
            continue;
        }
        if (h != SlotHeader::ok || off < pg.at.size()) {
            epoch_ = ~uint64_t(0);
            throw slotPagesDamaged(rid_);
        }
        if (off > pg.at.size()) pg.at.resize(off);
        pg.at.push_back(RawRef{pg.raw, static_cast<uint32_t>(d - b), len});
        at = static_cast<size_t>(d + len - b);
    }
    pg.parsed = static_cast<uint32_t>(at);
    if (pg.at.size() >= 16) bytesPerSlot_ = pg.parsed / pg.at.size();
}

size_t Record::pageIndexOf(size_t s) {
    auto it = std::upper_bound(pages_.begin(), pages_.end(), s, [](size_t v, const RawPage& pg) {
        return v < static_cast<size_t>(pg.ref.first);
    });
    return it == pages_.begin() ? pages_.size() : static_cast<size_t>(it - pages_.begin()) - 1;
}

void Record::releasePagesBefore(size_t s) {
    // Pages read back after a change would not be the pages changed.
    if (pages_.empty() || modified_ || !stored_) return;
    size_t k = pageIndexOf(s);
    if (k >= pages_.size() || k < releaseFrom_ + 2) return;
    for (size_t j = releaseFrom_; j + 1 < k; ++j) {
        RawPage& pg = pages_[j];
        if (!pg.fetched) continue;
        raw_[pg.raw].release();
        std::vector<RawRef>().swap(pg.at);
        pg.fetched = false;
        pg.parsed = pg.size = 0;
        ++pagesLeft_;
    }
    releaseFrom_ = k - 1;
}

void Record::pageChanged() {
    // Another process stored the record again after it was loaded: the
    // pages read so far and this one would not fit together. The next use
    // loads the record afresh.
    epoch_ = ~uint64_t(0);
    throw StorageError("record " + std::to_string(rid_) + " of base " + base_->name +
                       " was changed by another process while it was being read");
}

void Record::streamPage(size_t k, const std::function<void(const unsigned char*, size_t)>& fn) {
    bool ok = store().readListedSlotPage(base_->id, rid_, pages_[k].ref,
                                         [&](const unsigned char* p, size_t, const SlotRef* at, size_t count) {
                                             for (size_t j = 0; j < count; ++j)
                                                 if (at[j].slot >= pages_[k].ref.first) fn(p + at[j].offset, at[j].length);
                                         });
    if (!ok) pageChanged();
}

void Record::fetchAllPages() {
    for (size_t k = 0; k < pages_.size(); ++k) fetchPage(k);
}

void Record::invalidate() {
    if (!backed_ || !stored_) return;
    if (!load(rid_)) resetToNew();
}

void Record::reloadSlots() {
    dropChunk();
    if (!backed_) return;
    if (stored_) {
        invalidate();
        return;
    }
    // A record being imported: its values are in storage; keep none in memory.
    slots_.clear();
    behind_.clear();
    items_.clear();
    dropRaw();
    itemsBuilt_ = true;
    nparts_ = 0;
    int maxPart = 0;
    store().readSlots(base_->id, rid_, [&](int s, const unsigned char* p, size_t n) {
        Slot tmp;
        if (!decodeSlot(p, n, tmp)) return;
        for (const Value& v : tmp.values) {
            if (!(v.flags & kPart)) noteItem(v.field, v.item, true);
            if (v.flags & (kPart | kNode)) maxPart = std::max(maxPart, s);
        }
        winBase_ = std::max(winBase_, static_cast<size_t>(s));
    });
    slots_.resize(1);
    storedTop_ = winBase_;
    nparts_ = maxPart;
    complete_ = false;
    batchSlot_ = -1;
}

Slot* Record::cached(size_t s, bool grow) {
    if (s == 0 || s > winBase_) {
        size_t k = s == 0 ? 0 : s - winBase_;
        if (k >= slots_.size()) {
            if (!grow) return nullptr;
            slots_.resize(k + 1);
        }
        return &slots_[k];
    }
    auto it = behind_.find(s);
    if (it != behind_.end()) return &it->second;
    return grow ? &behind_[s] : nullptr;
}

Slot* Record::slot(int s, bool create) {
    if (s < 0) return nullptr;
    size_t i = static_cast<size_t>(s);
    if (Slot* c = cached(i, false); c && c->loaded) return c;
    if (RawRef* r = rawRef(i)) {
        if (slots_.size() <= i) slots_.resize(i + 1);
        Slot& sl = slots_[i];
        decodeSlot(rawData(*r), r->length, sl);
        sl.loaded = true;
        r->length = kNoRaw;
        return &sl;
    }
    if (!complete_ && backed_) {
        Slot& sl = *cached(i, true);
        std::string data;
        sl.values.clear();
        // A slot after every one written so far is not in storage yet.
        if (i <= storedTop_ && store().readSlot(base_->id, rid_, s, data))
            decodeSlot(reinterpret_cast<const unsigned char*>(data.data()), data.size(), sl);
        sl.loaded = true;
        return &sl;
    }
    if (!create) return nullptr;
    Slot* c = cached(i, true);
    c->loaded = true;
    return c;
}

void Record::viewSlot(int s, std::vector<ValueView>& out) {
    out.clear();
    visitSlot(s, [&](int field, int item, uint8_t flags, const char* d, size_t len) {
        out.push_back({field, item, flags, d, len});
    });
}

void Record::markModified() {
    maxItemsKnown_ = false;
    modified_ = true;
    ++changeSeq_;
    lastWrite_ = nextWriteSeq();
    if (stored_) noteRecordModified(this);
}

void Record::slotChanged(int s, Slot* sl) {
    markModified();
    if (!backed_) return;
    if (s == batchSlot_) {
        sl->dirty = true;
        return;
    }
    if (sl->values.empty())
        store().deleteSlot(base_->id, rid_, s);
    else
        store().writeSlot(base_->id, rid_, s, encodeSlot(*sl));
    storedTop_ = std::max(storedTop_, static_cast<size_t>(s));
    sl->dirty = false;
}

void Record::flush() {
    if (!backed_ || batchSlot_ < 0) return;
    Slot* b = cached(static_cast<size_t>(batchSlot_), false);
    if (b && b->loaded && b->dirty) {
        Slot& sl = *b;
        if (sl.values.empty())
            store().deleteSlot(base_->id, rid_, batchSlot_);
        else
            store().writeSlot(base_->id, rid_, batchSlot_, encodeSlot(sl));
        storedTop_ = std::max(storedTop_, static_cast<size_t>(batchSlot_));
        sl.dirty = false;
    }
    // A record streamed into storage keeps only a window of its parts in
    // memory: slot 0 and the slots after winBase_; parts before it are read
    // back from storage when asked for.
    if (slots_.size() + behind_.size() > kMaxCachedSlots) {
        ensureItems();
        size_t top = winBase_ + slots_.size() - 1;
        Slot keep;
        bool kept = false;
        if (batchSlot_ > 0)
            if (Slot* c = cached(static_cast<size_t>(batchSlot_), false)) {
                keep = std::move(*c);
                kept = true;
            }
        slots_.resize(1);
        slots_.shrink_to_fit();
        behind_.clear();
        winBase_ = std::max(top, batchSlot_ > 0 ? static_cast<size_t>(batchSlot_) : size_t(0));
        if (kept) {
            winBase_ = static_cast<size_t>(batchSlot_) - 1;
            *cached(static_cast<size_t>(batchSlot_), true) = std::move(keep);
        }
        dropRaw();
        complete_ = false;
    }
}

void Record::dropRaw() {
    maxItemsKnown_ = false;
    raw_.clear();
    raw_.shrink_to_fit();
    rawAt_.clear();
    rawAt_.shrink_to_fit();
    pages_.clear();
    pages_.shrink_to_fit();
    pagesLeft_ = 0;
    pageHint_ = 0;
    releaseFrom_ = 1;
}

void Record::ensureItems() {
    if (itemsBuilt_) return;
    itemsBuilt_ = true;
    items_.clear();
    // Bitmaps by field number: a map look-up per value would cost more than the scan.
    std::vector<std::vector<uint64_t>*> byField;
    auto mark = [&](uint64_t field, uint64_t item) {
        if (item == 0 || item > static_cast<uint64_t>(INT32_MAX) || field > static_cast<uint64_t>(INT32_MAX)) return;
        size_t f = static_cast<size_t>(field);
        if (f >= byField.size()) byField.resize(f + 1, nullptr);
        if (!byField[f]) byField[f] = &items_[static_cast<int>(field)];
        std::vector<uint64_t>& bits = *byField[f];
        size_t w = static_cast<size_t>(item) / 64;
        if (bits.size() <= w) bits.resize(w + 1, 0);
        bits[w] |= 1ull << (item % 64);
    };
    // Pages are read as the walk reaches them and given back behind it.
    const size_t top = std::max(slots_.size(), rawExtent());
    for (size_t s = 0; s < top; ++s) {
        if (s % 256 == 0) releasePagesBefore(s);
        if (s < slots_.size() && slots_[s].loaded) {
            for (const Value& v : slots_[s].values)
                if (!(v.flags & kPart) && v.field >= 0 && v.item > 0)
                    mark(static_cast<uint64_t>(v.field), static_cast<uint64_t>(v.item));
            continue;
        }
        const RawRef* r = rawRef(s);
        if (!r) continue;
        // The value headers of the encoded slot, data skipped.
        const unsigned char* p = rawData(*r);
        walkSlot(p, p + r->length, [&](uint64_t field, uint64_t item, uint8_t flags, const unsigned char*, size_t) {
            if (!(flags & kPart)) mark(field, item);
        });
    }
}

bool Record::ensureMaxItems() {
    if (maxItemsKnown_) return true;
    ItemMaxima m;
    bool& ok = m.ok;
    auto note = [&m](uint64_t field, uint64_t item) { m.note(field, item); };
    auto walkRaw = [&](const unsigned char* p, size_t n) {
        walkSlot(p, p + n, [&](uint64_t field, uint64_t item, uint8_t flags, const unsigned char*, size_t) {
            if (!(flags & kPart)) note(field, item);
        });
    };
    // Decoded slots give their values; the others their stored bytes.
    for (size_t s = 0; s < slots_.size() && ok; ++s)
        if (slots_[s].loaded)
            for (const Value& v : slots_[s].values)
                if (!(v.flags & kPart) && v.field >= 0 && v.item > 0)
                    note(static_cast<uint64_t>(v.field), static_cast<uint64_t>(v.item));
    for (size_t s = 0; s < rawAt_.size() && ok; ++s)
        if (rawAt_[s].length != kNoRaw) walkRaw(rawData(rawAt_[s]), rawAt_[s].length);
    // The pages of a large record not read yet are walked as they stream by,
    // not kept: the maxima need every value's header but no value.
    for (size_t k = 0; k < pages_.size() && ok; ++k) {
        if (!pages_[k].fetched) {
            streamPage(k, walkRaw);
            continue;
        }
        fetchPage(k);
        for (const RawRef& r : pages_[k].at)
            if (r.length != kNoRaw) walkRaw(rawData(r), r.length);
    }
    if (!ok) return false;
    maxItems_.swap(m.top);
    maxItemsKnown_ = true;
    return true;
}

bool Record::takeKeptMaxItems() {
    // The session keeps what a walk found while the record is as stored.
    const std::vector<int>* kept = stored_ && !modified_ ? knownItemMaxima(base_->id, rid_) : nullptr;
    if (!kept) return false;
    maxItems_ = *kept;
    maxItemsKnown_ = true;
    return true;
}

bool Record::knowMaxItems() {
    if (maxItemsKnown_ || takeKeptMaxItems()) return true;
    if (!ensureMaxItems()) return false;
    // A rollback drops what the session keeps.
    if (stored_ && !modified_) keepItemMaxima(base_->id, rid_, maxItems_);
    return true;
}

bool Record::slotHasRecordItem(size_t s, int field) {
    if (s < slots_.size() && slots_[s].loaded)
        return findValue(slots_[s], field, false, static_cast<int>(s)) != nullptr;
    const RawRef* r = rawRef(s);
    if (!r) return false;
    bool found = false;
    const unsigned char* p = rawData(*r);
    walkSlot(p, p + r->length, [&](uint64_t f, uint64_t item, uint8_t flags, const unsigned char*, size_t) {
        if (!(flags & kPart) && f == static_cast<uint64_t>(field) && item == s) found = true;
    });
    return found;
}

void Record::noteItem(int field, int item, bool present) {
    maxItemsKnown_ = false;
    // Bitmaps not built yet will be built from the slots as they are then.
    if (item <= 0 || !itemsBuilt_) return;
    std::vector<uint64_t>& bits = items_[field];
    size_t w = static_cast<size_t>(item) / 64;
    if (present) {
        if (bits.size() <= w) bits.resize(w + 1, 0);
        bits[w] |= 1ull << (item % 64);
    } else if (w < bits.size()) {
        bits[w] &= ~(1ull << (item % 64));
    }
}

const Value* Record::recordItem(int field, int item) {
    if (item <= 0) return nullptr;
    if (!itemsBuilt_) {
        // Item n of a record field lives in slot n.
        Slot* s = slot(item, false);
        return s ? findValue(*s, field, false, item) : nullptr;
    }
    auto it = items_.find(field);
    if (it == items_.end()) return nullptr;
    size_t w = static_cast<size_t>(item) / 64;
    if (w >= it->second.size() || !(it->second[w] & (1ull << (item % 64)))) return nullptr;
    Slot* s = slot(item, false);
    return s ? findValue(*s, field, false, item) : nullptr;
}

int Record::nextRecordItem(int field, int after) {
    if (!itemsBuilt_ && complete_ && knowMaxItems()) {
        // Item n lives in slot n: a few slots after `after` hold the next
        // item of a dense field, and none is past the field's highest.
        constexpr int kNear = 64;
        int top = maxItemOf(field);
        int start = after < 1 ? 1 : after + 1;
        for (int s = start; s <= top; ++s) {
            if (slotHasRecordItem(static_cast<size_t>(s), field)) return s;
            if (s - start >= kNear) break;
        }
        if (start > top) return 0;
    }
    ensureItems();
    auto it = items_.find(field);
    if (it == items_.end()) return 0;
    const std::vector<uint64_t>& bits = it->second;
    int start = after < 0 ? 0 : after + 1;
    size_t w = static_cast<size_t>(start) / 64;
    if (w >= bits.size()) return 0;
    uint64_t cur = bits[w] & (~0ull << (start % 64));
    while (true) {
        if (cur) return static_cast<int>(w * 64) + __builtin_ctzll(cur);
        if (++w >= bits.size()) return 0;
        cur = bits[w];
    }
}

int Record::firstRecordItem(int field) { return nextRecordItem(field, 0); }

int Record::maxRecordItem(int field) {
    if (!itemsBuilt_ && complete_) {
        if (!maxItemsKnown_ && !takeKeptMaxItems()) {
            // Item n lives in slot n: a field of every node has its highest
            // item in the last slot, found without walking the record.
            constexpr size_t kNear = 64;
            size_t top = std::max(slots_.size(), rawExtent());
            for (size_t s = top; s-- > 1 && top - s <= kNear;)
                if (slotHasRecordItem(s, field)) return static_cast<int>(s);
        }
        if (knowMaxItems()) return maxItemOf(field);
    }
    ensureItems();
    auto it = items_.find(field);
    if (it == items_.end()) return 0;
    const std::vector<uint64_t>& bits = it->second;
    for (size_t w = bits.size(); w-- > 0;)
        if (bits[w]) return static_cast<int>(w * 64) + 63 - __builtin_clzll(bits[w]);
    return 0;
}

void Record::setRecordItem(int field, int item, std::string data, int curPart) {
    if (item <= 0) return;
    Slot* s = slot(item, true);
    uint8_t node = (curPart > 0 && item == curPart) ? kNode : 0;
    if (Value* v = findValue(*s, field, false, item)) {
        v->data = std::move(data);
        v->flags = static_cast<uint8_t>(v->flags | node);
    } else {
        Value nv;
        nv.field = field;
        nv.item = item;
        nv.flags = node;
        nv.data = std::move(data);
        addValue(*s, std::move(nv));
    }
    noteItem(field, item, true);
    if (node) nparts_ = std::max(nparts_, item);
    slotChanged(item, s);
}

void Record::deleteRecordItem(int field, int item) {
    if (!recordItem(field, item)) return;
    Slot* s = slot(item, false);
    if (s && eraseValue(*s, field, false, item)) {
        noteItem(field, item, false);
        slotChanged(item, s);
    }
}

const Value* Record::partItem(int field, int part, int item) {
    Slot* s = slot(part, false);
    return s ? findValue(*s, field, true, item) : nullptr;
}

int Record::nextPartItem(int field, int part, int after) {
    Slot* s = slot(part, false);
    if (!s) return 0;
    int best = 0;
    for (const Value& v : s->values)
        if (v.field == field && (v.flags & kPart) && v.item > after && (!best || v.item < best)) best = v.item;
    return best;
}

int Record::firstPartItem(int field, int part) { return nextPartItem(field, part, 0); }

int Record::maxPartItem(int field, int part) {
    Slot* s = slot(part, false);
    if (!s) return 0;
    int best = 0;
    for (const Value& v : s->values)
        if (v.field == field && (v.flags & kPart)) best = std::max(best, v.item);
    return best;
}

void Record::setPartItem(int field, int part, int item, std::string data) {
    if (part < 0 || item <= 0) return;
    Slot* s = slot(part, true);
    if (Value* v = findValue(*s, field, true, item)) {
        v->data = std::move(data);
    } else {
        Value nv;
        nv.field = field;
        nv.item = item;
        nv.flags = kPart;
        nv.data = std::move(data);
        addValue(*s, std::move(nv));
    }
    nparts_ = std::max(nparts_, part);
    slotChanged(part, s);
}

void Record::appendPartItem(int field, int part, int item, const char* data, size_t n) {
    if (part < 0 || item <= 0) return;
    Slot* s = slot(part, true);
    if (Value* v = findValue(*s, field, true, item)) {
        v->data.append(data, n);
    } else {
        Value nv;
        nv.field = field;
        nv.item = item;
        nv.flags = kPart;
        nv.data.assign(data, n);
        addValue(*s, std::move(nv));
    }
    nparts_ = std::max(nparts_, part);
    slotChanged(part, s);
}

void Record::deletePartItem(int field, int part, int item) {
    Slot* s = slot(part, false);
    if (s && eraseValue(*s, field, true, item)) slotChanged(part, s);
}

void Record::touchPart(int part) {
    if (part > nparts_) {
        nparts_ = part;
        markModified();
    }
}

int64_t Record::blobSize(int field, int part) {
    const Value* v = partItem(field, part, 1);
    return v ? sizeFrom(v->data) : 0;
}

void Record::blobRead(int field, int part, int64_t offset, int64_t n, std::string& out) {
    out.clear();
    int64_t size = blobSize(field, part);
    if (offset >= size || n <= 0) return;
    n = std::min(n, size - offset);
    if (!backed_) {
        auto it = memBlobs_.find({part, field});
        if (it != memBlobs_.end()) out = it->second.substr(static_cast<size_t>(offset), static_cast<size_t>(n));
        return;
    }
    int64_t pos = offset, endPos = offset + n;
    BlobChunk& c = lastChunk_;
    const std::string& chunk = c.data;
    while (pos < endPos) {
        int seq = static_cast<int>(pos / static_cast<int64_t>(kBlobChunk));
        int64_t within = pos % static_cast<int64_t>(kBlobChunk);
        // Blocks smaller than a chunk: the chunk is read once for all of them.
        if (!(c.field == field && c.part == part && c.seq == seq)) {
            c.field = -1;
            if (!store().readBlobChunk(base_->id, rid_, part, field, seq, c.data)) break;
            c.field = field;
            c.part = part;
            c.seq = seq;
        }
        if (static_cast<int64_t>(chunk.size()) <= within) break;
        int64_t take = std::min(endPos - pos, static_cast<int64_t>(chunk.size()) - within);
        out.append(chunk, static_cast<size_t>(within), static_cast<size_t>(take));
        pos += take;
    }
}

void Record::blobAppend(int field, int part, const char* data, size_t n) {
    dropChunk();
    int64_t size = blobSize(field, part);
    if (!backed_) {
        memBlobs_[{part, field}].append(data, n);
    } else {
        // Appended where the blob ends, a chunk at a time: a blob written in
        // small pieces is not read back and written whole for every piece.
        size_t done = 0;
        int64_t pos = size;
        while (done < n) {
            int seq = static_cast<int>(pos / static_cast<int64_t>(kBlobChunk));
            size_t within = static_cast<size_t>(pos % static_cast<int64_t>(kBlobChunk));
            size_t take = std::min(n - done, kBlobChunk - within);
            store().appendBlobChunk(base_->id, rid_, part, field, seq, within, data + done, take);
            done += take;
            pos += static_cast<int64_t>(take);
        }
    }
    setPartItem(field, part, 1, sizeValue(size + static_cast<int64_t>(n)));
}

void Record::blobClear(int field, int part) {
    dropChunk();
    if (backed_) store().deleteBlob(base_->id, rid_, part, field);
    memBlobs_.erase({part, field});
    deletePartItem(field, part, 1);
}

void Record::forEachValue(const std::function<void(int, const Value&)>& fn) {
    flush();
    if (complete_ || !backed_) {
        fetchAllPages();
        const size_t top = rawExtent();
        for (size_t s = 0; s < top; ++s) slot(static_cast<int>(s), false);
        for (size_t s = 0; s < slots_.size(); ++s)
            if (slots_[s].loaded)
                for (const Value& v : slots_[s].values) fn(static_cast<int>(s), v);
        return;
    }
    // The values are decoded into the same few Value objects slot after
    // slot: a large record has millions of them.
    std::vector<Value> tmp;
    store().readSlots(base_->id, rid_, [&](int s, const unsigned char* p, size_t n) {
        size_t used = 0;
        bool ok = walkSlot(p, p + n, [&](uint64_t field, uint64_t item, uint8_t flags, const unsigned char* d, size_t len) {
            if (used == tmp.size()) tmp.emplace_back();
            Value& v = tmp[used++];
            v.field = static_cast<int>(field);
            v.item = static_cast<int>(item);
            v.flags = flags;
            v.data.assign(reinterpret_cast<const char*>(d), len);
        });
        if (ok)
            for (size_t i = 0; i < used; ++i) fn(s, tmp[i]);
    });
}

void Record::back() {
    if (backed_) return;
    rid_ = store().allocateRid(base_->id);
    backed_ = true;
    backedDepth = store().depth();
    if (backedDepth > 0) noteBackedInTransaction();
    for (size_t s = 0; s < slots_.size(); ++s)
        if (slots_[s].loaded && !slots_[s].values.empty()) {
            store().writeSlot(base_->id, rid_, static_cast<int>(s), encodeSlot(slots_[s]));
            storedTop_ = std::max(storedTop_, s);
            slots_[s].dirty = false;
        }
    for (auto& kv : memBlobs_) {
        const std::string& b = kv.second;
        for (size_t off = 0, seq = 0; off < b.size(); off += kBlobChunk, ++seq)
            store().writeBlobChunk(base_->id, rid_, kv.first.first, kv.first.second, static_cast<int>(seq),
                                   b.substr(off, kBlobChunk));
    }
    memBlobs_.clear();
}

int Record::finalize() {
    flush();
    if (!(tfStatus_ & 1)) return fail(tfStatus_, tfMessage_);
    const Design& d = design();
    if (!backed_) back();
    // Parts left without any value at the end of the record are not parts.
    while (nparts_ > 0) {
        Slot* s = slot(nparts_, false);
        bool empty = true;
        if (s)
            for (const Value& v : s->values)
                if (v.flags & (kPart | kNode)) empty = false;
        if (!empty) break;
        --nparts_;
    }
    std::string name;
    if (d.recnameField) {
        int first = firstRecordItem(d.recnameField);
        if (const Value* v = first ? recordItem(d.recnameField, first) : nullptr) name = v->data;
    }
    if (!name.empty()) {
        int other = store().findRecordByName(base_->id, name);
        if (other && other != rid_)
            return fail(VDB_NAMETAKEN, "record name '%s' belongs to record %d of base %s", name.c_str(), other,
                        base_->name.c_str());
    }
    // Entries already folded into a run are masked there; pending ones are replaced.
    // The run is read from storage: a fold after this record was loaded (by
    // an earlier write-through, or by another process) moved its entries.
    maskStoredEntries();
    store().deletePending(base_->id, rid_);
    // Index entries and structure come from one pass over the values.
    // The same pass finds the highest item of every record field, kept with
    // the record so that a reader never walks it for them.
    std::unique_ptr<TreeBuilder> tree;
    if (d.isXml) tree = std::make_unique<TreeBuilder>(nparts_, d.find("N_PARENT"), d.find("N_TYPE"));
    ItemMaxima maxima;
    run_ = writeRecordIndex(store(), base_->id, rid_, *this, [&](int s, const Value& v) {
        if (!(v.flags & kPart) && v.field >= 0 && v.item > 0)
            maxima.note(static_cast<uint64_t>(v.field), static_cast<uint64_t>(v.item));
        if (tree) tree->add(s, v);
    });
    if (tree) store().writeTree(base_->id, rid_, tree->encode());
    RecordRow row;
    row.rid = rid_;
    row.name = name;
    row.nparts = nparts_;
    row.run = run_;
    if (maxima.ok) row.maxima = encodeMaxima(maxima.top);
    store().putRecord(base_->id, row);
    lastWrite_ = nextWriteSeq();
    stored_ = true;
    storedName_ = name;
    modified_ = false;
    noteIndexChanged(base_->id, rid_);
    maxItems_.swap(maxima.top);
    maxItemsKnown_ = maxima.ok;
    return VDB_OK;
}

void Record::maskStoredEntries() {
    RecordRow row;
    run_ = store().getRecord(base_->id, rid_, row) ? row.run : 0;
    if (run_) store().addDead(base_->id, run_, rid_);
}

void Record::removeFromBase() {
    if (!backed_) return;
    maskStoredEntries();
    store().deleteRecord(base_->id, rid_);
    noteIndexChanged(base_->id, rid_);
    resetToNew();
}

void Record::resetToNew() {
    dropChunk();
    rid_ = 0;
    backed_ = stored_ = false;
    complete_ = true;
    nparts_ = 0;
    run_ = 0;
    storedName_.clear();
    slots_.clear();
    behind_.clear();
    winBase_ = 0;
    storedTop_ = 0;
    items_.clear();
    itemsBuilt_ = true;
    dropRaw();
    memBlobs_.clear();
    tfStatus_ = 1;
    tfMessage_.clear();
    batchSlot_ = -1;
    modified_ = false;
    backedDepth = 0;
}

std::unique_ptr<Record> Record::snapshot() const {
    auto r = std::make_unique<Record>(base_);
    r->restoreFrom(*this);
    return r;
}

void Record::restoreFrom(const Record& o) {
    dropChunk();
    base_ = o.base_;
    rid_ = o.rid_;
    backed_ = o.backed_;
    stored_ = o.stored_;
    complete_ = o.complete_;
    nparts_ = o.nparts_;
    run_ = o.run_;
    storedName_ = o.storedName_;
    slots_ = o.slots_;
    behind_ = o.behind_;
    winBase_ = o.winBase_;
    storedTop_ = o.storedTop_;
    raw_.clear();
    raw_.reserve(o.raw_.size() + o.pagesLeft_);  // fetched pages never move
    raw_.insert(raw_.end(), o.raw_.begin(), o.raw_.end());
    rawAt_ = o.rawAt_;
    pages_ = o.pages_;
    pagesLeft_ = o.pagesLeft_;
    pageHint_ = o.pageHint_;
    releaseFrom_ = o.releaseFrom_;
    items_ = o.items_;
    itemsBuilt_ = o.itemsBuilt_;
    maxItemsKnown_ = false;
    memBlobs_ = o.memBlobs_;
    tfStatus_ = o.tfStatus_;
    tfMessage_ = o.tfMessage_;
    batchSlot_ = -1;
    modified_ = o.modified_;
    backedDepth = o.backedDepth;
    if (backedDepth > 0) noteBackedInTransaction();
}

}  // namespace vdbs
