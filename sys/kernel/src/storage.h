// The kernel's one storage interface: users, bases, records, slots (the
// values of a record, one per part), blobs, the structural index, the
// posting runs of the inverted index, and transactions. Everything above it
// (records, CCL, sets) works through these calls only, so another backend can
// replace SQLite here.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vdbs {

struct StorageError : std::runtime_error {
    explicit StorageError(const std::string& m) : std::runtime_error(m) {}
};

// Bytes read from storage. It grows without zero-filling what the read then
// overwrites (a std::string would fill every page read twice); its bytes do
// not move while it grows within what was reserved.
class ByteBuffer {
public:
    ByteBuffer() = default;
    // A copy reserves as much as the original, so that it too can grow
    // to that without moving.
    ByteBuffer(const ByteBuffer& o) {
        reserve(o.cap_);
        append(o.data(), o.size());
    }
    ByteBuffer& operator=(const ByteBuffer& o) {
        if (this != &o) {
            clear();
            reserve(o.cap_);
            append(o.data(), o.size());
        }
        return *this;
    }
    ByteBuffer(ByteBuffer&&) noexcept = default;
    ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

    const char* data() const { return p_.get(); }
    char* data() { return p_.get(); }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    void reserve(size_t n) {
        if (n <= cap_) return;
        std::unique_ptr<char[]> q(new char[n]);
        if (size_) memcpy(q.get(), p_.get(), size_);
        p_ = std::move(q);
        cap_ = n;
    }
    // Makes the size n; the bytes past the old size are the caller's to write.
    void resizeForOverwrite(size_t n) {
        if (n > cap_) reserve(n > 2 * cap_ ? n : 2 * cap_);
        size_ = n;
    }
    void append(const char* d, size_t n) {
        if (!n) return;
        size_t at = size_;
        resizeForOverwrite(at + n);
        memcpy(p_.get() + at, d, n);
    }
    void assign(const char* d, size_t n) {
        clear();
        append(d, n);
    }
    // Gives the memory back.
    void release() {
        p_.reset();
        size_ = cap_ = 0;
    }

private:
    std::unique_ptr<char[]> p_;
    size_t size_ = 0;
    size_t cap_ = 0;
};

struct BaseRow {
    int64_t id = 0;
    std::string name;
    std::string designName;
    std::string designText;  // serialized design
    int charset = 16;
};

struct RecordRow {
    int rid = 0;
    std::string name;  // empty: no record name
    int nparts = 0;
    int64_t run = 0;  // posting run holding the record's index entries; 0: pending
    // The highest item of each record field as stored (the record's own
    // encoding); empty when not kept, as for records stored before it was.
    std::string maxima;
};

struct RunInfo {
    int64_t run = 0;
    int tier = 0;
};

struct PostingRow {
    int key = 0;
    std::string term;
    int64_t first = 0;
    std::string data;
};

class RunCursor {
public:
    virtual ~RunCursor() = default;
    virtual bool next(PostingRow& row) = 0;
};

struct PendingRef {
    int rid = 0;
    int64_t id = 0;  // opens the row
    int64_t size = 0;
};

// Bytes of a stored value read piece by piece.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes at offset into out; returns the number read.
    virtual size_t read(int64_t offset, size_t n, unsigned char* out) = 0;
};

using SlotFn = std::function<void(int slot, const unsigned char* data, size_t len)>;
// Where one slot lies in the bytes of a page of slots.
struct SlotRef {
    int slot = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
};
using SlotPageFn =
    std::function<void(const unsigned char* data, size_t len, const SlotRef* slots, size_t count)>;
// A stored page of slots as listed: its first slot, and an id that a page
// written again (or removed) no longer has.
struct SlotPageRef {
    int first = 0;
    int64_t id = 0;
    // The read-only transaction it was listed in (0: none): inside the same
    // one the page cannot have changed since.
    uint64_t snapshot = 0;
};
// A page of slots holds, in slot order, for each slot that has a value:
// varint(slot - first), varint(length), the encoded slot; slot - first is
// below kSlotsPerPage.
constexpr int kSlotsPerPage = 256;
enum class SlotHeader { ok, cut, damaged };
// What a reader of record rid's pages reports when they do not follow that format.
inline StorageError slotPagesDamaged(int rid) {
    return StorageError("storage: the slot pages of record " + std::to_string(rid) + " are damaged");
}
// Reads the header of the slot at p (bytes up to e): its offset in the page,
// where its bytes start and their length. cut: the header or the bytes go
// past e.
inline SlotHeader readSlotHeader(const unsigned char* p, const unsigned char* e, uint32_t& off,
                                 const unsigned char*& bytes, uint32_t& len) {
    uint64_t v[2];
    // Offsets and most lengths take one byte each.
    if (e - p >= 2 && !((p[0] | p[1]) & 0x80)) {
        v[0] = p[0];
        v[1] = p[1];
        p += 2;
    } else {
        for (uint64_t& x : v) {
            x = 0;
            for (int shift = 0;; shift += 7) {
                if (p >= e) return SlotHeader::cut;
                if (shift > 63) return SlotHeader::damaged;
                const unsigned char b = *p++;
                x |= static_cast<uint64_t>(b & 0x7f) << shift;
                if (!(b & 0x80)) break;
            }
        }
    }
    if (v[0] >= static_cast<uint64_t>(kSlotsPerPage) || v[1] > UINT32_MAX) return SlotHeader::damaged;
    if (v[1] > static_cast<uint64_t>(e - p)) return SlotHeader::cut;
    off = static_cast<uint32_t>(v[0]);
    len = static_cast<uint32_t>(v[1]);
    bytes = p;
    return SlotHeader::ok;
}
// Posting row callback: return false to stop the scan.
using PostingFn = std::function<bool(const unsigned char* term, size_t termLen, int64_t first,
                                     const unsigned char* data, size_t len)>;

class Storage {
public:
    virtual ~Storage() = default;

    // Transactions nest: the outermost begin starts a write transaction, inner
    // ones are savepoints. An outermost level begun `deferred` reads one
    // snapshot and takes the write lock at its first write; when another
    // connection committed since the snapshot was taken, that write fails
    // (StorageError) and nothing of the transaction is written.
    virtual void begin(bool deferred = false) = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual int depth() const = 0;
    // An operation that mostly reads (an export) runs between
    // mapForReading(true) and mapForReading(false): the backend may map its
    // file for it. Mapped pages count as resident memory, so a transaction
    // begun outside such an operation (a store, which must stay small) reads
    // without the map.
    virtual void mapForReading(bool) {}
    // True when another connection committed since the last call.
    virtual bool changedByOthers() = 0;

    virtual bool getUser(const std::string& name, std::string& salt, std::string& hash) = 0;
    virtual void putUser(const std::string& name, const std::string& salt, const std::string& hash) = 0;

    virtual std::vector<BaseRow> listBases() = 0;
    virtual bool getBase(const std::string& name, BaseRow& out) = 0;
    virtual int64_t createBase(const BaseRow& row) = 0;
    virtual void dropBase(int64_t base) = 0;
    // A fresh record id of the base (never handed out before).
    virtual int allocateRid(int64_t base) = 0;

    virtual bool getRecord(int64_t base, int rid, RecordRow& out) = 0;
    virtual void putRecord(int64_t base, const RecordRow& row) = 0;
    // Removes the record row, its slots, blobs and structure.
    virtual void deleteRecord(int64_t base, int rid) = 0;
    virtual int findRecordByName(int64_t base, const std::string& name) = 0;
    virtual int recordCount(int64_t base) = 0;
    virtual void allRecords(int64_t base, std::vector<int>& rids) = 0;

    // Slots are read and written one by one; the backend may keep several
    // consecutive slots in one stored row.
    virtual void readSlots(int64_t base, int rid, const SlotFn& fn) = 0;
    // Every slot of a record, a stored page at a time: the page's bytes and
    // the place of each of its slots in them (slot order), so that a reader
    // copies a page whole and decodes its slots later.
    virtual void readSlotPages(int64_t base, int rid, const SlotPageFn& fn) = 0;
    // The same into one buffer the caller keeps: data becomes the pages one
    // after another, slots the place of each slot in data (slot order). A
    // backend reads each page straight into data where it can, so that a
    // record's bytes are copied once.
    virtual void readSlotPagesInto(int64_t base, int rid, ByteBuffer& data, std::vector<SlotRef>& slots) {
        data.clear();
        slots.clear();
        readSlotPages(base, rid, [&](const unsigned char* p, size_t n, const SlotRef* at, size_t count) {
            const uint32_t shift = static_cast<uint32_t>(data.size());
            data.append(reinterpret_cast<const char*>(p), n);
            for (size_t k = 0; k < count; ++k) slots.push_back(SlotRef{at[k].slot, at[k].offset + shift, at[k].length});
        });
    }
    // The pages of a record's slots, in slot order, without their bytes.
    virtual void listSlotPages(int64_t base, int rid, std::vector<SlotPageRef>& out) = 0;
    // Records (ascending) about to be loaded one after another: a backend
    // may read their rows and page lists in one pass beforehand.
    virtual void readAhead(int64_t base, const int* rids, size_t n) {
        (void)base;
        (void)rids;
        (void)n;
    }
    // One listed page (as readSlotPages gives it); false when it was written
    // again or removed since it was listed.
    virtual bool readListedSlotPage(int64_t base, int rid, const SlotPageRef& page, const SlotPageFn& fn) = 0;
    // The bytes of a listed page up to upTo (a backend may read more) after
    // the data.size() bytes of it already in data; total becomes the page's
    // size. The whole page is reserved at the first read, so bytes read
    // never move. False as readListedSlotPage.
    virtual bool readListedSlotPageBytes(int64_t base, int rid, const SlotPageRef& page, ByteBuffer& data,
                                         size_t upTo, size_t& total) {
        const size_t have = data.size();
        bool same = true;
        const bool ok = readListedSlotPage(base, rid, page, [&](const unsigned char* p, size_t n, const SlotRef*, size_t) {
            if (have == 0) {
                total = n;
                data.reserve(n);
            } else if (n != total) {
                same = false;
                return;
            }
            data.append(reinterpret_cast<const char*>(p) + have, n - have);
        });
        (void)upTo;
        return ok && same;
    }
    virtual bool readSlot(int64_t base, int rid, int slot, std::string& out) = 0;
    virtual void writeSlot(int64_t base, int rid, int slot, const std::string& data) = 0;
    virtual void deleteSlot(int64_t base, int rid, int slot) = 0;

    virtual bool readBlobChunk(int64_t base, int rid, int part, int field, int seq, std::string& out) = 0;
    virtual void writeBlobChunk(int64_t base, int rid, int part, int field, int seq,
                                const std::string& data) = 0;
    // Writes n bytes into chunk seq at offset at, which becomes its end (the
    // chunk is made when missing, cut or padded with zero bytes to at
    // first). Inside a transaction
    // the backend may hold the chunk being appended to until the transaction
    // level ends or another chunk is written, so that a blob written in small
    // pieces writes each chunk once.
    virtual void appendBlobChunk(int64_t base, int rid, int part, int field, int seq, size_t at, const char* data,
                                 size_t n) = 0;
    virtual void deleteBlob(int64_t base, int rid, int part, int field) = 0;

    virtual bool readTree(int64_t base, int rid, std::string& out) = 0;
    // The stored structure of a record to be read piece by piece (a large
    // tree then never sits in memory in its stored form); null when the
    // record has none. size: its length in bytes.
    virtual std::unique_ptr<ByteSource> openTree(int64_t base, int rid, int64_t& size) = 0;
    // The stored structures of rids (ascending): fn(rid, data, length) for
    // each that has one, in rid order; data is valid during the call only.
    virtual void readTrees(int64_t base, const std::vector<int>& rids,
                           const std::function<void(int, const unsigned char*, size_t)>& fn) {
        std::string data;
        for (int rid : rids)
            if (readTree(base, rid, data)) fn(rid, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    }
    virtual void writeTree(int64_t base, int rid, const std::string& data) = 0;

    virtual std::vector<RunInfo> listRuns(int64_t base) = 0;
    virtual int64_t createRun(int64_t base, int tier) = 0;
    virtual void dropRun(int64_t base, int64_t run) = 0;
    virtual void putPosting(int64_t base, int64_t run, int key, const std::string& term, int64_t first,
                            const std::string& data) = 0;
    // Rows of (run, key) with lo <= term < hi (hi empty and hiOpen: no upper bound),
    // in (term, first) order, after the last row whose term is below lo (a
    // row may hold the entries of several terms from its own on).
    virtual void scanPostings(int64_t base, int64_t run, int key, const std::string& lo,
                              const std::string& hi, bool hiOpen, const PostingFn& fn) = 0;
    // Every row of a run in (key, term, first) order, pulled one at a time.
    virtual std::unique_ptr<RunCursor> openRun(int64_t base, int64_t run) = 0;
    // Index entries of records not yet folded into a run: rows per record
    // (a large record writes several chunks, each sorted on its own).
    virtual void putPending(int64_t base, int rid, int chunk, const std::string& data) = 0;
    virtual void deletePending(int64_t base, int rid) = 0;
    virtual void readPending(int64_t base, const std::function<void(int rid, const unsigned char* data, size_t len)>& fn) = 0;
    // The pending rows of a base in (rid, chunk) order, each opened as a
    // stream so that a fold holds only a window of every row.
    virtual void listPending(int64_t base, std::vector<PendingRef>& out) = 0;
    virtual std::unique_ptr<ByteSource> openPending(int64_t id) = 0;
    virtual void pendingSize(int64_t base, int& records, int64_t& bytes) = 0;
    virtual void clearPending(int64_t base) = 0;
    virtual void addDead(int64_t base, int64_t run, int rid) = 0;
    virtual void listDead(int64_t base, const std::function<void(int64_t run, int rid)>& fn) = 0;
    virtual void moveRecordsToRun(int64_t base, int64_t fromRun, int64_t toRun) = 0;
};

// Opens (creating when missing) the data directory dir. Throws StorageError
// with a message naming the path. mmapMb of the file are mapped always,
// readMmapMb (when larger) during mapForReading.
std::unique_ptr<Storage> openSqliteStorage(const std::string& dir, const std::string& syncMode,
                                           int cacheMb, int busyMs, int mmapMb, int readMmapMb = 0);

}  // namespace vdbs
