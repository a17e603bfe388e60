// Records in memory: the values of one record, kept as slots. Slot n holds
// the values of part n (part fields, text, blobs) and item n of every record
// field, so item and part look-ups are direct. A record loaded from a base
// reads its stored slot pages at once, or each when first needed (records of
// several pages); a record being imported writes its
// slots through to storage and may drop them from memory again.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "design.h"
#include "storage.h"

namespace vdbs {

// A number never given out before in this process (design stamps).
uint64_t newDesignStamp();

struct BaseInfo {
    int64_t id = 0;
    std::string name;
    Design design;
    int charset = 16;
    // Identifies this reading of the base's design (VdbRecordInfo kind 5).
    uint64_t stamp = newDesignStamp();
};
using BasePtr = std::shared_ptr<const BaseInfo>;

enum ValueFlags : uint8_t {
    kNode = 1,  // record field item whose hit part is its slot
    kPart = 2,  // value of a part-scoped field (slot = part)
};

struct Value {
    int field = 0;
    int item = 0;
    uint8_t flags = 0;
    std::string data;
};

// A value read in place, for a reader that walks a record once.
struct ValueView {
    int field = 0;
    int item = 0;
    uint8_t flags = 0;
    const char* data = nullptr;
    size_t size = 0;
};

struct Slot {
    std::vector<Value> values;
    bool dirty = false;   // changed in memory, not yet written
    bool loaded = false;  // contents known
};

// Walks the values of an encoded slot where they lie: fn(field, item, flags,
// bytes, length) for each. False when the encoding is damaged (values up to
// the damage have been passed).
template <class Fn>
bool walkSlot(const unsigned char* p, const unsigned char* e, Fn&& fn) {
    // Most numbers of a slot fit one byte.
    auto get = [&e](const unsigned char*& q, uint64_t& v) {
        if (q < e && *q < 0x80) {
            v = *q++;
            return true;
        }
        v = 0;
        for (int shift = 0; q < e && shift <= 63; shift += 7) {
            unsigned char b = *q++;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    };
    // The same, where the longest header (three numbers of ten bytes and the
    // flags) is known to lie before e: no end to test byte by byte.
    auto getNear = [](const unsigned char*& q, uint64_t& v) {
        if (*q < 0x80) {
            v = *q++;
            return true;
        }
        v = 0;
        for (int shift = 0; shift <= 63; shift += 7) {
            unsigned char b = *q++;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    };
    constexpr ptrdiff_t kLongestHeader = 31;
    uint64_t count;
    if (!get(p, count)) return false;
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t field, item, len;
        if (e - p >= kLongestHeader) {
            if (!getNear(p, field)) return false;
            uint8_t flags = *p++;
            if (!getNear(p, item) || !getNear(p, len) || len > static_cast<uint64_t>(e - p)) return false;
            fn(field, item, flags, p, static_cast<size_t>(len));
            p += len;
            continue;
        }
        if (!get(p, field) || p >= e) return false;
        uint8_t flags = *p++;
        if (!get(p, item) || !get(p, len) || len > static_cast<uint64_t>(e - p)) return false;
        fn(field, item, flags, p, static_cast<size_t>(len));
        p += len;
    }
    return true;
}

// Incremental parser of the record text form; one per cursor.
struct TextFormState {
    enum Phase {
        LineStart,
        Number,      // digits of the leading number
        AfterG,      // "<n>G" seen, expecting '^'
        AfterF,      // "<n>F" seen, expecting '^'
        AfterFCaret, // "<n>F^": '\n' (block header) or item digits
        Item,        // item digits
        Value,       // plain value up to "^\n"
        ValueCaret,  // '^' seen inside a value
        Piece,       // n bytes of a block piece
        PieceEnd,    // expecting '^' after a piece
        LineEnd,     // expecting '\n'
    };
    Phase phase = LineStart;
    std::string num;
    int first = 0;         // leading number of the line
    std::string itemNum;
    std::string value;
    int64_t pieceLeft = 0;
    int blockField = 0;    // field of the open text block, 0 when none
    bool blockStarted = false;
    int part = 0;          // current part
    int64_t offset = 0;    // bytes consumed in total (for messages)
};

class Record : public std::enable_shared_from_this<Record> {
public:
    explicit Record(BasePtr base) : base_(std::move(base)) {}

    const BasePtr& base() const { return base_; }
    const Design& design() const { return base_->design; }
    int rid() const { return rid_; }
    bool backed() const { return backed_; }
    bool stored() const { return stored_; }
    int partCount() const { return nparts_; }
    const std::string& storedName() const { return storedName_; }
    int64_t run() const { return run_; }
    // A new record nothing was written to.
    bool empty() const {
        if (backed_ || nparts_ > 0 || !memBlobs_.empty()) return false;
        for (const Slot& s : slots_)
            if (!s.values.empty()) return false;
        return true;
    }

    // Loads record rid of the base from storage (all slots). False when missing.
    bool load(int rid);
    // Drops what is cached; the next access reads storage again.
    void invalidate();
    bool stale(uint64_t epoch) const { return backed_ && stored_ && epoch_ != epoch; }
    void setEpoch(uint64_t e) { epoch_ = e; }

    // Record fields: item numbers across the record.
    const Value* recordItem(int field, int item);
    int firstRecordItem(int field);            // 0 when none
    int nextRecordItem(int field, int after);  // 0 when none
    int maxRecordItem(int field);
    void setRecordItem(int field, int item, std::string data, int curPart);
    void deleteRecordItem(int field, int item);

    // Part-scoped fields: items inside a part.
    const Value* partItem(int field, int part, int item);
    int firstPartItem(int field, int part);
    int nextPartItem(int field, int part, int after);
    int maxPartItem(int field, int part);
    void setPartItem(int field, int part, int item, std::string data);
    void appendPartItem(int field, int part, int item, const char* data, size_t n);
    void deletePartItem(int field, int part, int item);
    void touchPart(int part);  // a part header: the part exists

    // The values of slot s in place, without keeping a decoded copy of a slot
    // that is still encoded (a whole-record reader would otherwise hold every
    // value twice). Valid until the record is next changed or reloaded.
    void viewSlot(int s, std::vector<ValueView>& out);
    // The same without a list: fn(field, item, flags, bytes, length) for
    // each value of slot s, in place.
    template <class Fn>
    void visitSlot(int s, Fn&& fn);
    // A reader about to visit slots first..last: a page read for them is
    // read as far as the last at once.
    void willVisit(int first, int last) {
        if (pages_.empty() || first < 0 || last <= first) return;
        const size_t k = pageIndexOf(static_cast<size_t>(first));
        if (k < pages_.size() && !pages_[k].fetched) {
            const size_t end = k + 1 < pages_.size() ? static_cast<size_t>(pages_[k + 1].ref.first) - 1 : SIZE_MAX;
            fetchPage(k, std::min(static_cast<size_t>(last), end));
        }
    }
    // A reader walking a large stored record forward is past every slot
    // before s: the pages it read before the one holding s (but the first,
    // which holds the record's own values, and the one just before) are given
    // back, so that a walk holds a few pages rather than the whole record. A
    // later look at one of their slots reads its page again. Views into those
    // pages end here.
    void releasePagesBefore(size_t s);

    // Blobs (field of type 20, in a part).
    int64_t blobSize(int field, int part);
    void blobRead(int field, int part, int64_t offset, int64_t n, std::string& out);
    void blobAppend(int field, int part, const char* data, size_t n);
    void blobClear(int field, int part);

    // Every slot is in memory: values stay put while they are read.
    bool inMemory() const { return complete_ || !backed_; }
    // Every value, slot by slot (for indexing and structure).
    void forEachValue(const std::function<void(int slot, const Value&)>& fn);

    // Text form errors stick to the record until it is reset.
    int textFormStatus() const { return tfStatus_; }
    const std::string& textFormMessage() const { return tfMessage_; }
    void setTextFormError(int st, const std::string& m) {
        if (tfStatus_ & 1) {
            tfStatus_ = st;
            tfMessage_ = m;
        }
    }

    // Writes pending slot changes to storage (backed records).
    void flush();
    // Parser batching: writes to this slot stay in memory until flush.
    void setBatchSlot(int s) {
        if (batchSlot_ != s) {
            flush();
            batchSlot_ = s;
        }
    }

    // Makes the record live in storage: allocates its rid and writes every
    // slot and blob. Must run inside a transaction.
    void back();
    // Makes the record a stored record of the base: trims empty trailing
    // parts, checks the record name, rewrites index entries and structure.
    // Returns a status (odd on success).
    int finalize();
    // Removes the stored record from the base (inside a transaction).
    void removeFromBase();
    // Turns the control's record into an empty new record of the same base.
    void resetToNew();
    void setBase(BasePtr b) { base_ = std::move(b); }

    bool modified() const { return modified_; }
    uint64_t lastWrite() const { return lastWrite_; }
    // Reads the record's values again from storage (after a partial rollback).
    void reloadSlots();
    // After a partial rollback the record is read again but its earlier
    // changes in the transaction still need index entries.
    void markNeedsIndex() { modified_ = true; }
    uint64_t changeSeq() const { return changeSeq_; }

    // A copy of an in-memory (not backed) record, for restoring after a
    // failed import.
    std::unique_ptr<Record> snapshot() const;
    void restoreFrom(const Record& snap);

    int64_t backedDepth = 0;  // storage depth at which back() ran

private:
    Slot* slot(int s, bool create);
    // The cached slot s, made when grow; null when not cached.
    Slot* cached(size_t s, bool grow);
    void slotChanged(int s, Slot* sl);
    void noteItem(int field, int item, bool present);
    // Builds the item bitmaps of a loaded record from its slots on first need.
    void ensureItems();
    // Before the bitmaps are built: the highest item of every record field,
    // from one walk over the value headers (false when the record holds field
    // numbers too large to index; the bitmaps are then needed).
    bool ensureMaxItems();
    // The same, taken from the session while the record is as stored and
    // left there for the next load of it.
    bool knowMaxItems();
    bool takeKeptMaxItems();
    // Slot s holds item s of the record field (read in place when encoded).
    bool slotHasRecordItem(size_t s, int field);
    int maxItemOf(int field) const {
        return field >= 0 && static_cast<size_t>(field) < maxItems_.size() ? maxItems_[static_cast<size_t>(field)] : 0;
    }
    void dropRaw();
    void recomputeParts();
    // Masks the index entries of the record's run as it is in storage now.
    void maskStoredEntries();
    void markModified();

    BasePtr base_;
    int rid_ = 0;
    bool backed_ = false;
    bool stored_ = false;
    bool complete_ = true;  // every slot that exists is in memory
    int nparts_ = 0;
    int64_t run_ = 0;
    std::string storedName_;
    uint64_t epoch_ = 0;
    std::vector<Slot> slots_;
    // A loaded record keeps its slots as stored and decodes each on first
    // use: a reader that needs a few parts pays for those only. raw_ holds
    // the stored pages as read (each copied once, none moved after), and
    // rawAt_[s] the place of slot s in them; length kNoRaw when it has none.
    static constexpr uint32_t kNoRaw = UINT32_MAX;
    struct RawRef {
        uint32_t page = 0;
        uint32_t offset = 0;
        uint32_t length = kNoRaw;
    };
    const unsigned char* rawData(const RawRef& r) const {
        return reinterpret_cast<const unsigned char*>(raw_[r.page].data()) + r.offset;
    }
    std::vector<ByteBuffer> raw_;
    std::vector<RawRef> rawAt_;
    // A record of several pages reads each when a slot of it is first needed
    // (a fragment needs a few of them): pages_ lists
    // them in slot order; the slots of a fetched page are in its own at,
    // rawAt_ stays empty.
    // A fetched page's slots are found as far as a look-up needs (a
    // fragment needs a few of 256): at covers the slots before byte parsed.
    struct RawPage {
        SlotPageRef ref;
        bool fetched = false;
        std::vector<RawRef> at;  // slot ref.first + k
        uint32_t raw = kNoRaw;   // its entry in raw_ once read (kept when given back)
        uint32_t parsed = 0;
        uint32_t size = 0;       // of the whole page
    };
    std::vector<RawPage> pages_;
    size_t pagesLeft_ = 0;  // not fetched yet
    size_t pageHint_ = 0;   // the page of the last slot looked up
    size_t bytesPerSlot_ = 0;  // in the pages parsed so far
    size_t releaseFrom_ = 1;  // no page before it (but the first) is held
    size_t pageIndexOf(size_t s);  // pages_.size() when before the first
    // The stored place of slot s (fetching its page), null when it has none.
    RawRef* rawRef(size_t s) {
        if (pages_.empty()) return s < rawAt_.size() && rawAt_[s].length != kNoRaw ? &rawAt_[s] : nullptr;
        // Most look-ups fall in the page of the one before.
        if (pageHint_ < pages_.size()) {
            RawPage& h = pages_[pageHint_];
            const size_t i = s - static_cast<size_t>(h.ref.first);  // wraps when s is before the page
            if (h.fetched && i < h.at.size() &&
                (pageHint_ + 1 == pages_.size() || s < static_cast<size_t>(pages_[pageHint_ + 1].ref.first)))
                return h.at[i].length != kNoRaw ? &h.at[i] : nullptr;
        }
        return pagedRef(s);
    }
    RawRef* pagedRef(size_t s);
    // One past the highest slot with a stored place.
    size_t rawExtent();
    // Reads page k if needed and finds its slots up to slot `upTo` (all of them by default).
    void fetchPage(size_t k, size_t upTo = SIZE_MAX);
    void fetchAllPages();
    // Hands each stored slot of page k, not fetched yet, to fn without
    // keeping the page.
    void streamPage(size_t k, const std::function<void(const unsigned char*, size_t)>& fn);
    void pageChanged();
    // Record fields: bit i set when item i exists (valid when itemsBuilt_).
    std::map<int, std::vector<uint64_t>> items_;
    bool itemsBuilt_ = true;
    // Highest item by field number while the bitmaps are not built (valid
    // when maxItemsKnown_; dropped by any change and by a reload).
    std::vector<int> maxItems_;
    bool maxItemsKnown_ = false;
    // Blobs of a record that is not backed yet.
    std::map<std::pair<int, int>, std::string> memBlobs_;
    // The stored blob chunk read last (blocks are read a few to a chunk);
    // dropped by any write of a blob and whenever the slots are read again.
    struct BlobChunk {
        int field = -1, part = -1, seq = -1;
        std::string data;
    } lastChunk_;
    void dropChunk() {
        lastChunk_.field = -1;
        std::string().swap(lastChunk_.data);
    }
    int tfStatus_ = 1;
    std::string tfMessage_;
    int batchSlot_ = -1;
    // Slots of a record streamed into storage: slots_[0] is slot 0 and
    // slots_[k] slot winBase_ + k; slots up to winBase_ read back meanwhile
    // are in behind_. winBase_ is 0 while every slot is in memory.
    size_t winBase_ = 0;
    size_t storedTop_ = 0;  // no slot after it is in storage
    std::map<int, Slot> behind_;
    uint64_t lastWrite_ = 0;
    bool modified_ = false;
    uint64_t changeSeq_ = 0;
};

template <class Fn>
void Record::visitSlot(int s, Fn&& fn) {
    if (s < 0) return;
    size_t i = static_cast<size_t>(s);
    // Every slot in slots_ (no window): slot i is slots_[i].
    Slot* c = winBase_ == 0 ? (i < slots_.size() ? &slots_[i] : nullptr) : cached(i, false);
    const RawRef* r = c && c->loaded ? nullptr : rawRef(i);
    if (r) {
        // The encoding of decodeSlot, read where it lies.
        const unsigned char* p = rawData(*r);
        walkSlot(p, p + r->length,
                 [&](uint64_t field, uint64_t item, uint8_t flags, const unsigned char* d, size_t len) {
                     fn(static_cast<int>(field), static_cast<int>(item), flags, reinterpret_cast<const char*>(d), len);
                 });
        return;
    }
    Slot* sl = slot(s, false);
    if (!sl) return;
    for (const Value& v : sl->values) fn(v.field, v.item, v.flags, v.data.data(), v.data.size());
}

using RecordPtr = std::shared_ptr<Record>;

std::string encodeSlot(const Slot& s);
bool decodeSlot(const unsigned char* p, size_t n, Slot& out);

}  // namespace vdbs
