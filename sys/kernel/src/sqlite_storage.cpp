// SQLite backend of the storage interface: one database file in WAL mode.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "storage.h"
#include "util.h"

namespace vdbs {
namespace {

const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT)",
    "CREATE TABLE IF NOT EXISTS users(name TEXT PRIMARY KEY COLLATE NOCASE, salt TEXT, hash TEXT)",
    "CREATE TABLE IF NOT EXISTS bases(id INTEGER PRIMARY KEY, name TEXT UNIQUE COLLATE NOCASE, "
    "design_name TEXT, design TEXT, charset INT, next_rid INT, next_run INT)",
    "CREATE TABLE IF NOT EXISTS records(base INT, rid INT, name BLOB, nparts INT, run INT, maxima BLOB, "
    "PRIMARY KEY(base, rid)) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS records_name ON records(base, name) WHERE name IS NOT NULL",
    "CREATE INDEX IF NOT EXISTS records_run ON records(base, run)",
    // A record's slots are packed by pages of kPageSlots consecutive slots
    // (first = the page's first slot), so a load reads a few rows per
    // thousand slots.
    "CREATE TABLE IF NOT EXISTS slotpages(base INT, rid INT, first INT, data BLOB)",
    "CREATE UNIQUE INDEX IF NOT EXISTS slotpages_key ON slotpages(base, rid, first)",
    // Tables of large values keep them out of the key: SQLite reads a whole
    // overflowing cell for every key comparison, so a table whose rows are
    // kilobytes long has its key in an index of its own.
    "CREATE TABLE IF NOT EXISTS blobs(base INT, rid INT, part INT, field INT, seq INT, data BLOB)",
    "CREATE UNIQUE INDEX IF NOT EXISTS blobs_key ON blobs(base, rid, part, field, seq)",
    "CREATE TABLE IF NOT EXISTS trees(base INT, rid INT, data BLOB)",
    "CREATE UNIQUE INDEX IF NOT EXISTS trees_key ON trees(base, rid)",
    "CREATE TABLE IF NOT EXISTS runs(base INT, run INT, tier INT, PRIMARY KEY(base, run)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS postings(base INT, run INT, key INT, term BLOB, first INT, data BLOB)",
    "CREATE UNIQUE INDEX IF NOT EXISTS postings_key ON postings(base, run, key, term, first)",
    "CREATE TABLE IF NOT EXISTS pending(base INT, rid INT, chunk INT, data BLOB)",
    "CREATE UNIQUE INDEX IF NOT EXISTS pending_key ON pending(base, rid, chunk)",
    "CREATE TABLE IF NOT EXISTS dead(base INT, run INT, rid INT, PRIMARY KEY(base, run, rid)) WITHOUT ROWID",
};

// Tables that data directories of the first format keep with their large
// values inside the key; they are moved into the form above when opened.
const char* kKeyedTables[] = {"blobs", "trees", "postings", "pending"};

constexpr int kPageSlots = kSlotsPerPage;
const char* kFormat = "3";

int pageOf(int slot) { return slot - slot % kPageSlots; }

// Calls fn(slot, data, len) for each slot of the page; false when the page is damaged.
template <typename Fn>
bool forEachInPage(int first, const unsigned char* p, size_t n, Fn&& fn) {
    const unsigned char* e = p + n;
    while (p < e) {
        uint32_t off, len;
        const unsigned char* d;
        if (readSlotHeader(p, e, off, d, len) != SlotHeader::ok) return false;
        fn(first + static_cast<int>(off), d, static_cast<size_t>(len));
        p = d + len;
    }
    return true;
}

class Stmt {
public:
    Stmt(sqlite3* db, sqlite3_stmt* s) : db_(db), s_(s) {}
    ~Stmt() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    Stmt& i(int idx, int64_t v) {
        sqlite3_bind_int64(s_, idx, v);
        return *this;
    }
    Stmt& t(int idx, const std::string& v) {
        sqlite3_bind_text(s_, idx, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
        return *this;
    }
    Stmt& b(int idx, const void* p, size_t n) {
        sqlite3_bind_blob(s_, idx, n ? p : "", static_cast<int>(n), SQLITE_STATIC);
        return *this;
    }
    Stmt& null(int idx) {
        sqlite3_bind_null(s_, idx);
        return *this;
    }
    // True while a row is available.
    bool row() {
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        // A write in a transaction that has only read so far needs the write
        // lock; SQLite refuses it, without waiting, when another connection
        // holds the lock or committed after this transaction's snapshot.
        if ((rc & 0xff) == SQLITE_BUSY && !sqlite3_stmt_readonly(s_) &&
            sqlite3_txn_state(db_, "main") == SQLITE_TXN_READ)
            throw StorageError("storage: another process wrote to the data directory, or is writing to it, since "
                               "this transaction began to read it; nothing of this transaction was written (try again)");
        throw StorageError(std::string("storage: ") + sqlite3_errmsg(db_));
    }
    void run() {
        while (row()) {
        }
    }
    // One step, its result code as SQLite gives it.
    int step() { return sqlite3_step(s_); }
    int64_t col(int c) { return sqlite3_column_int64(s_, c); }
    std::string str(int c) {
        const void* p = sqlite3_column_blob(s_, c);
        int n = sqlite3_column_bytes(s_, c);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
    const unsigned char* blob(int c, size_t& n) {
        const void* p = sqlite3_column_blob(s_, c);
        n = static_cast<size_t>(sqlite3_column_bytes(s_, c));
        return static_cast<const unsigned char*>(p ? p : "");
    }
    bool isNull(int c) { return sqlite3_column_type(s_, c) == SQLITE_NULL; }

private:
    sqlite3* db_;
    sqlite3_stmt* s_;
};

// A merge reads several runs at once, so each cursor has its own statement.
class SqliteRunCursor : public RunCursor {
public:
    SqliteRunCursor(sqlite3* db, sqlite3_stmt* st) : db_(db), st_(st) {}
    ~SqliteRunCursor() override { sqlite3_finalize(st_); }
    bool next(PostingRow& r) override {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_DONE) return false;
        if (rc != SQLITE_ROW) throw StorageError(std::string("storage: ") + sqlite3_errmsg(db_));
        r.key = sqlite3_column_int(st_, 0);
        const void* t = sqlite3_column_blob(st_, 1);
        r.term.assign(t ? static_cast<const char*>(t) : "", static_cast<size_t>(sqlite3_column_bytes(st_, 1)));
        r.first = sqlite3_column_int64(st_, 2);
        const void* d = sqlite3_column_blob(st_, 3);
        r.data.assign(d ? static_cast<const char*>(d) : "", static_cast<size_t>(sqlite3_column_bytes(st_, 3)));
        return true;
    }

private:
    sqlite3* db_;
    sqlite3_stmt* st_;
};

class SqliteBlobSource : public ByteSource {
public:
    SqliteBlobSource(sqlite3* db, sqlite3_blob* b) : db_(db), b_(b) {}
    ~SqliteBlobSource() override { sqlite3_blob_close(b_); }
    size_t read(int64_t offset, size_t n, unsigned char* out) override {
        int64_t size = sqlite3_blob_bytes(b_);
        if (offset >= size) return 0;
        size_t take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), size - offset));
        if (sqlite3_blob_read(b_, out, static_cast<int>(take), static_cast<int>(offset)) != SQLITE_OK)
            throw StorageError(std::string("storage: ") + sqlite3_errmsg(db_));
        return take;
    }

private:
    sqlite3* db_;
    sqlite3_blob* b_;
};

class SqliteStorage : public Storage {
public:
    SqliteStorage(const std::string& dir, const std::string& syncMode, int cacheMb, int busyMs, int mmapMb,
                  int readMmapMb)
        : mmapBytes_(static_cast<int64_t>(mmapMb) << 20),
          readMmapBytes_(std::max(mmapBytes_, static_cast<int64_t>(readMmapMb) << 20)),
          mappedBytes_(mmapBytes_) {
        std::string path = dir + "/vdbs.db";
        int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                                         SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            std::string m = db_ ? sqlite3_errmsg(db_) : "out of memory";
            if (db_) sqlite3_close(db_);
            db_ = nullptr;
            throw StorageError("cannot open " + path + ": " + m);
        }
        sqlite3_busy_timeout(db_, busyMs);
        try {
            exec("PRAGMA journal_mode=WAL");
            // "off" leaves flushing to the system: safe when the process dies, not when the machine does.
            exec(std::string("PRAGMA synchronous=") +
                 (syncMode == "normal" ? "NORMAL" : syncMode == "off" ? "OFF" : "FULL"));
            exec("PRAGMA cache_size=-" + std::to_string(cacheMb * 1024));
            exec("PRAGMA mmap_size=" + std::to_string(mmapBytes_));
            exec("PRAGMA temp_store=MEMORY");
            // A data directory already in the current form is only read here:
            // a write transaction at every open would make each reader wait
            // for any writer of the directory.
            if (!schemaCurrent()) {
                begin(false);
                upgrade();
                for (const char* sql : kSchema) exec(sql);
                packSlots();
                addMaximaColumn();
                exec(std::string("INSERT OR IGNORE INTO meta VALUES('format','") + kFormat + "')");
                commit();
            }
            keepsMaxima_ = hasMaximaColumn();
        } catch (const StorageError& e) {
            if (depth_ > 0) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                depth_ = 0;
            }
            closeAll();
            throw StorageError("cannot use " + path + ": " + e.what());
        }
        dataVersion_ = readDataVersion();
    }
    ~SqliteStorage() override { closeAll(); }

    void begin(bool deferred) override {
        flushPage();
        flushBlob();
        if (depth_ == 0 && !reading_) setMapSize(mmapBytes_);
        if (depth_ == 0) {
            ++snapshot_;
            // Kept prepared: a retrieval of a small document begins and ends
            // several transactions.
            q(deferred ? "BEGIN" : "BEGIN IMMEDIATE").run();
            // What was cached before the transaction may have been changed by
            // others (read inside it: the version of what it sees).
            try {
                if (page_.first >= 0) {
                    const int64_t v = readDataVersion();
                    versionSnapshot_ = snapshot_;
                    versionInTxn_ = v;
                    if (v != page_.version) dropPage();
                }
            } catch (const StorageError&) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        } else {
            exec("SAVEPOINT s" + std::to_string(depth_));
        }
        ++depth_;
    }
    void commit() override {
        if (depth_ <= 0) return;
        try {
            flushPage();
            flushBlob();
        } catch (const StorageError&) {
            // The level ends either way: what it buffered could not be written.
            rollback();
            throw;
        }
        --depth_;
        if (depth_ == 0) {
            closeSlotBlob();
            // A transaction that only read leaves the version as it was.
            bool wrote = sqlite3_txn_state(db_, "main") == SQLITE_TXN_WRITE;
            std::string m;
            bool committed;
            {
                Stmt s = q("COMMIT");
                committed = s.step() == SQLITE_DONE;
                if (!committed) m = sqlite3_errmsg(db_);
            }
            if (!committed) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                dropPage();
                blob_.valid = false;
                throw StorageError("storage: commit failed: " + m);
            }
            if (wrote || (page_.first >= 0 && page_.version == 0)) page_.version = readDataVersion();
            blob_.valid = false;
        } else {
            exec("RELEASE s" + std::to_string(depth_));
        }
    }
    void rollback() override {
        if (depth_ <= 0) return;
        // Every change still buffered was made inside the part rolled back
        // (begin() writes the buffer), and a cached page may hold such changes.
        dropPage();
        blob_.valid = false;
        closeSlotBlob();
        dirs_.clear();
        --depth_;
        if (depth_ == 0) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        } else {
            std::string n = "s" + std::to_string(depth_);
            sqlite3_exec(db_, ("ROLLBACK TO " + n).c_str(), nullptr, nullptr, nullptr);
            sqlite3_exec(db_, ("RELEASE " + n).c_str(), nullptr, nullptr, nullptr);
        }
    }
    int depth() const override { return depth_; }

    void mapForReading(bool on) override {
        // The map outlives the operation, so that the pages a run of
        // exports touches are mapped once; the next transaction begun
        // outside one drops it.
        reading_ = on;
        if (on) setMapSize(readMmapBytes_);
    }

    bool changedByOthers() override {
        int64_t v = readDataVersion();
        if (v == dataVersion_) return false;
        dataVersion_ = v;
        if (!page_.dirty) dropPage();
        return true;
    }

    bool getUser(const std::string& name, std::string& salt, std::string& hash) override {
        Stmt s = q("SELECT salt, hash FROM users WHERE name=?");
        s.t(1, name);
        if (!s.row()) return false;
        salt = s.str(0);
        hash = s.str(1);
        return true;
    }
    void putUser(const std::string& name, const std::string& salt, const std::string& hash) override {
        q("INSERT OR REPLACE INTO users VALUES(?,?,?)").t(1, name).t(2, salt).t(3, hash).run();
    }

    std::vector<BaseRow> listBases() override {
        std::vector<BaseRow> out;
        Stmt s = q("SELECT id, name, design_name, design, charset FROM bases ORDER BY name COLLATE NOCASE");
        while (s.row()) out.push_back(baseFrom(s));
        return out;
    }
    bool getBase(const std::string& name, BaseRow& out) override {
        Stmt s = q("SELECT id, name, design_name, design, charset FROM bases WHERE name=?");
        s.t(1, name);
        if (!s.row()) return false;
        out = baseFrom(s);
        return true;
    }
    int64_t createBase(const BaseRow& r) override {
        q("INSERT INTO bases(name, design_name, design, charset, next_rid, next_run) VALUES(?,?,?,?,1,1)")
            .t(1, r.name).t(2, r.designName).t(3, r.designText).i(4, r.charset).run();
        return sqlite3_last_insert_rowid(db_);
    }
    void dropBase(int64_t base) override {
        if (page_.first >= 0 && page_.base == base) dropPage();
        if (blob_.valid && blob_.base == base) blob_.valid = false;
        static const char* tables[] = {"records", "slotpages", "blobs", "trees", "runs", "postings", "dead", "pending"};
        for (const char* t : tables)
            q(std::string("DELETE FROM ") + t + " WHERE base=?").i(1, base).run();
        q("DELETE FROM bases WHERE id=?").i(1, base).run();
    }
    int allocateRid(int64_t base) override {
        Stmt s = q("UPDATE bases SET next_rid=next_rid+1 WHERE id=? RETURNING next_rid-1");
        s.i(1, base);
        if (!s.row()) throw StorageError("storage: base vanished while storing");
        return static_cast<int>(s.col(0));
    }

    bool getRecord(int64_t base, int rid, RecordRow& out) override {
        if (const Dir* d = dirOf(base, rid, false); d && d->hasRow) {
            out = d->row;
            return true;
        }
        if (!readRecord(base, rid, out)) return false;
        if (Dir* d = dirOf(base, rid, true)) {
            d->row = out;
            d->hasRow = true;
        }
        return true;
    }
    bool readRecord(int64_t base, int rid, RecordRow& out) {
        Stmt s = q(keepsMaxima_ ? "SELECT name, nparts, run, maxima FROM records WHERE base=? AND rid=?"
                                : "SELECT name, nparts, run FROM records WHERE base=? AND rid=?");
        s.i(1, base).i(2, rid);
        if (!s.row()) return false;
        recordFrom(s, 0, rid, out);
        return true;
    }
    void recordFrom(Stmt& s, int at, int rid, RecordRow& out) {
        out.rid = rid;
        out.name = s.isNull(at) ? std::string() : s.str(at);
        out.nparts = static_cast<int>(s.col(at + 1));
        out.run = s.col(at + 2);
        out.maxima = !keepsMaxima_ || s.isNull(at + 3) ? std::string() : s.str(at + 3);
    }
    void readAhead(int64_t base, const int* rids, size_t n) override {
        // A range scan costs a fraction of a seek per row, so a run of records
        // that fills most of its range of ids is read in two scans.
        constexpr size_t kAhead = 512;
        n = std::min(n, kAhead);
        if (n < 16 || static_cast<int64_t>(rids[n - 1]) - rids[0] >= static_cast<int64_t>(2 * n)) return;
        if (dirOf(base, rids[0], false)) return;  // read before (and kept), or not kept at all
        if (!dirOf(base, rids[0], true)) return;
        Stmt s = q(keepsMaxima_ ? "SELECT rid, name, nparts, run, maxima FROM records WHERE base=? AND rid BETWEEN ? AND ?"
                                : "SELECT rid, name, nparts, run FROM records WHERE base=? AND rid BETWEEN ? AND ?");
        s.i(1, base).i(2, rids[0]).i(3, rids[n - 1]);
        while (s.row()) {
            const int rid = static_cast<int>(s.col(0));
            Dir* d = dirOf(base, rid, true);
            if (!d) return;
            recordFrom(s, 1, rid, d->row);
            d->hasRow = true;
        }
        Stmt p = q("SELECT rid, first, rowid FROM slotpages WHERE base=? AND rid BETWEEN ? AND ? ORDER BY rid, first");
        p.i(1, base).i(2, rids[0]).i(3, rids[n - 1]);
        Dir* d = nullptr;
        int at = 0;
        while (p.row()) {
            const int rid = static_cast<int>(p.col(0));
            if (!d || rid != at) {
                if (!(d = dirOf(base, rid, true))) return;
                at = rid;
                d->pages.clear();
                d->listed = true;
            }
            d->pages.emplace_back(static_cast<int>(p.col(1)), p.col(2));
        }
    }
    void putRecord(int64_t base, const RecordRow& r) override {
        Stmt s = q(keepsMaxima_ ? "INSERT OR REPLACE INTO records(base, rid, name, nparts, run, maxima) VALUES(?,?,?,?,?,?)"
                                : "INSERT OR REPLACE INTO records(base, rid, name, nparts, run) VALUES(?,?,?,?,?)");
        s.i(1, base).i(2, r.rid);
        if (r.name.empty())
            s.null(3);
        else
            s.b(3, r.name.data(), r.name.size());
        s.i(4, r.nparts).i(5, r.run);
        if (keepsMaxima_) {
            if (r.maxima.empty())
                s.null(6);
            else
                s.b(6, r.maxima.data(), r.maxima.size());
        }
        s.run();
    }
    void deleteRecord(int64_t base, int rid) override {
        if (page_.first >= 0 && page_.base == base && page_.rid == rid) dropPage();
        if (blob_.valid && blob_.base == base && blob_.rid == rid) blob_.valid = false;
        static const char* tables[] = {"records", "slotpages", "blobs", "trees", "pending"};
        for (const char* t : tables)
            q(std::string("DELETE FROM ") + t + " WHERE base=? AND rid=?").i(1, base).i(2, rid).run();
    }
    int findRecordByName(int64_t base, const std::string& name) override {
        Stmt s = q("SELECT rid FROM records WHERE base=? AND name=?");
        s.i(1, base).b(2, name.data(), name.size());
        return s.row() ? static_cast<int>(s.col(0)) : 0;
    }
    int recordCount(int64_t base) override {
        Stmt s = q("SELECT count(*) FROM records WHERE base=?");
        s.i(1, base);
        return s.row() ? static_cast<int>(s.col(0)) : 0;
    }
    void allRecords(int64_t base, std::vector<int>& rids) override {
        Stmt s = q("SELECT rid FROM records WHERE base=? ORDER BY rid");
        s.i(1, base);
        while (s.row()) rids.push_back(static_cast<int>(s.col(0)));
    }

    void readSlots(int64_t base, int rid, const SlotFn& fn) override {
        flushPage();
        if (depth_ > 0) {
            // Inside a transaction each page is read straight into a buffer
            // through the kept handle: a statement has SQLite assemble a row
            // of many overflow pages first, and it is copied again after.
            // The list is local: fn may read other records meanwhile.
            std::vector<SlotPageRef> pages;
            listSlotPages(base, rid, pages);
            ByteBuffer page;
            for (const SlotPageRef& pg : pages) {
                page.clear();
                appendSlotRow(pg.id, page, 0);
                if (!forEachInPage(pg.first, reinterpret_cast<const unsigned char*>(page.data()), page.size(), fn))
                    throw slotPagesDamaged(rid);
            }
            return;
        }
        Stmt s = q("SELECT first, data FROM slotpages WHERE base=? AND rid=? ORDER BY first");
        s.i(1, base).i(2, rid);
        while (s.row()) {
            size_t n;
            const unsigned char* p = s.blob(1, n);
            if (!forEachInPage(static_cast<int>(s.col(0)), p, n, fn)) throw slotPagesDamaged(rid);
        }
    }
    void readSlotPages(int64_t base, int rid, const SlotPageFn& fn) override {
        flushPage();
        Stmt s = q("SELECT first, data FROM slotpages WHERE base=? AND rid=? ORDER BY first");
        s.i(1, base).i(2, rid);
        std::vector<SlotRef> refs;
        while (s.row()) {
            size_t n;
            const unsigned char* p = s.blob(1, n);
            refs.clear();
            if (!forEachInPage(static_cast<int>(s.col(0)), p, n, [&](int slot, const unsigned char* d, size_t len) {
                    refs.push_back(SlotRef{slot, static_cast<uint32_t>(d - p), static_cast<uint32_t>(len)});
                }))
                throw slotPagesDamaged(rid);
            fn(p, n, refs.data(), refs.size());
        }
    }
    void readSlotPagesInto(int64_t base, int rid, ByteBuffer& data, std::vector<SlotRef>& slots) override {
        // Outside a transaction a kept blob handle would hold a read
        // snapshot open; the rows are read through the statement then.
        if (depth_ == 0) {
            Storage::readSlotPagesInto(base, rid, data, slots);
            return;
        }
        flushPage();
        data.clear();
        slots.clear();
        // The pages' rowids from the index alone, then each page's bytes
        // straight into data through the kept handle: a row read through a
        // statement is assembled by SQLite first and copied again after.
        listSlotPages(base, rid, rows_);
        for (const SlotPageRef& pg : rows_) readSlotRow(pg.id, pg.first, rid, data, rows_.size(), slots);
    }
    // Appends the bytes of slot page `rowid` to data through the kept handle;
    // returns how many. rows: the pages still to come with it, for room taken
    // at once.
    size_t appendSlotRow(int64_t rowid, ByteBuffer& data, size_t rows) {
        slotBlobAt(rowid);
        const int n = sqlite3_blob_bytes(slotBlob_);
        if (n <= 0) return 0;
        const size_t at = data.size();
        // Pages are of about one size: room for all of them at the first.
        if (at == 0 && rows > 1) data.reserve(static_cast<size_t>(n) * rows + 64);
        data.resizeForOverwrite(at + static_cast<size_t>(n));
        if (sqlite3_blob_read(slotBlob_, data.data() + at, n, 0) != SQLITE_OK) {
            data.resizeForOverwrite(at);
            std::string m = sqlite3_errmsg(db_);
            closeSlotBlob();
            throw StorageError("storage: " + m);
        }
        return static_cast<size_t>(n);
    }
    // Appends the bytes of slot page `rowid` (first slot `first`) to data
    // through the kept handle, and the place of each of its slots to slots.
    // rows: the pages still to come with it, for room taken at once.
    void readSlotRow(int64_t rowid, int first, int rid, ByteBuffer& data, size_t rows, std::vector<SlotRef>& slots) {
        const size_t at = data.size();
        const size_t n = appendSlotRow(rowid, data, rows);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + at;
        if (!forEachInPage(first, p, n, [&](int slot, const unsigned char* d, size_t len) {
                slots.push_back(
                    SlotRef{slot, static_cast<uint32_t>(at + static_cast<size_t>(d - p)), static_cast<uint32_t>(len)});
            }))
            throw slotPagesDamaged(rid);
    }
    void listSlotPages(int64_t base, int rid, std::vector<SlotPageRef>& out) override {
        flushPage();
        out.clear();
        // A page written again gets a new rowid (INSERT OR REPLACE takes the
        // next one before removing the old row), so the rowid tells it.
        const uint64_t snap = unchangedSnapshot();
        Dir* d = dirOf(base, rid, false);
        if (d && d->listed) {
            for (const auto& pg : d->pages) out.push_back(SlotPageRef{pg.first, pg.second, snap});
            return;
        }
        Stmt s = q("SELECT first, rowid FROM slotpages WHERE base=? AND rid=? ORDER BY first");
        s.i(1, base).i(2, rid);
        while (s.row()) out.push_back(SlotPageRef{static_cast<int>(s.col(0)), s.col(1), snap});
        if (!d) d = dirOf(base, rid, true);
        if (d) {
            d->pages.clear();
            for (const SlotPageRef& r : out) d->pages.emplace_back(r.first, r.id);
            d->listed = true;
        }
    }
    bool readListedSlotPage(int64_t base, int rid, const SlotPageRef& page, const SlotPageFn& fn) override {
        flushPage();
        Stmt s = q("SELECT base, rid, first, data FROM slotpages WHERE rowid=?");
        s.i(1, page.id);
        if (!s.row() || s.col(0) != base || s.col(1) != rid || s.col(2) != page.first) return false;
        size_t n;
        const unsigned char* p = s.blob(3, n);
        std::vector<SlotRef> refs;
        if (!forEachInPage(page.first, p, n, [&](int slot, const unsigned char* d, size_t len) {
                refs.push_back(SlotRef{slot, static_cast<uint32_t>(d - p), static_cast<uint32_t>(len)});
            }))
            throw slotPagesDamaged(rid);
        fn(p, n, refs.data(), refs.size());
        return true;
    }
    // Whether a listed page is still the one stored (rewritten, it has a new rowid).
    bool stillListed(int64_t base, int rid, const SlotPageRef& page) {
        if (page.snapshot != 0 && page.snapshot == unchangedSnapshot()) return true;
        // The row's key columns lie in its cell: read without its data.
        Stmt s = q("SELECT base, rid, first FROM slotpages WHERE rowid=?");
        s.i(1, page.id);
        return s.row() && s.col(0) == base && s.col(1) == rid && s.col(2) == page.first;
    }
    bool readListedSlotPageBytes(int64_t base, int rid, const SlotPageRef& page, ByteBuffer& data, size_t upTo,
                                 size_t& total) override {
        if (depth_ == 0) return Storage::readListedSlotPageBytes(base, rid, page, data, upTo, total);
        flushPage();
        if (!stillListed(base, rid, page)) return false;
        slotBlobAt(page.id);
        const int n = sqlite3_blob_bytes(slotBlob_);
        const size_t have = data.size();
        if (have == 0) {
            total = n > 0 ? static_cast<size_t>(n) : 0;
            data.reserve(total);
        } else if (static_cast<size_t>(n) != total) {
            return false;
        }
        // Only a read-only transaction reads a page in pieces: a write could
        // give the page a new row before the rest is read.
        const size_t to = unchangedSnapshot() != 0 ? std::min(upTo, total) : total;
        if (to <= have) return true;
        data.resizeForOverwrite(to);
        if (sqlite3_blob_read(slotBlob_, data.data() + have, static_cast<int>(to - have), static_cast<int>(have)) !=
            SQLITE_OK) {
            data.resizeForOverwrite(have);
            std::string m = sqlite3_errmsg(db_);
            closeSlotBlob();
            throw StorageError("storage: " + m);
        }
        return true;
    }
    bool readSlot(int64_t base, int rid, int slot, std::string& out) override {
        if (slot < 0) return false;
        int first = pageOf(slot);
        if (!(page_.first == first && page_.base == base && page_.rid == rid)) {
            // A page not being written: the slot alone is taken from the row
            // (a search checks values of many records, a slot of each).
            Stmt s = q("SELECT data FROM slotpages WHERE base=? AND rid=? AND first=?");
            s.i(1, base).i(2, rid).i(3, first);
            if (!s.row()) return false;
            size_t n;
            const unsigned char* p = s.blob(0, n);
            bool found = false;
            if (!forEachInPage(first, p, n, [&](int at, const unsigned char* d, size_t len) {
                    if (at != slot) return;
                    out.assign(reinterpret_cast<const char*>(d), len);
                    found = true;
                }))
                throw slotPagesDamaged(rid);
            return found;
        }
        Page& pg = pageFor(base, rid, slot);
        size_t k = static_cast<size_t>(slot - pg.first);
        if (!pg.has[k]) return false;
        out = pg.data[k];
        return true;
    }
    void writeSlot(int64_t base, int rid, int slot, const std::string& data) override {
        if (slot < 0) throw StorageError("storage: negative slot number");
        Page& pg = pageFor(base, rid, slot);
        size_t k = static_cast<size_t>(slot - pg.first);
        pg.data[k] = data;
        pg.has[k] = 1;
        pg.dirty = true;
        if (depth_ == 0) flushPage();
    }
    void deleteSlot(int64_t base, int rid, int slot) override {
        if (slot < 0) return;
        Page& pg = pageFor(base, rid, slot);
        size_t k = static_cast<size_t>(slot - pg.first);
        if (!pg.has[k]) return;
        pg.has[k] = 0;
        pg.data[k].clear();
        pg.dirty = true;
        if (depth_ == 0) flushPage();
    }

    bool readBlobChunk(int64_t base, int rid, int part, int field, int seq, std::string& out) override {
        if (blob_.valid && blob_.is(base, rid, part, field, seq)) {
            out = blob_.data;
            return true;
        }
        Stmt s = q("SELECT data FROM blobs WHERE base=? AND rid=? AND part=? AND field=? AND seq=?");
        s.i(1, base).i(2, rid).i(3, part).i(4, field).i(5, seq);
        if (!s.row()) return false;
        out = s.str(0);
        return true;
    }
    void writeBlobChunk(int64_t base, int rid, int part, int field, int seq,
                        const std::string& data) override {
        if (blob_.valid && blob_.is(base, rid, part, field, seq)) blob_.valid = false;
        q("INSERT OR REPLACE INTO blobs VALUES(?,?,?,?,?,?)").i(1, base).i(2, rid).i(3, part).i(4, field)
            .i(5, seq).b(6, data.data(), data.size()).run();
    }
    void appendBlobChunk(int64_t base, int rid, int part, int field, int seq, size_t at, const char* data,
                         size_t n) override {
        if (!(blob_.valid && blob_.is(base, rid, part, field, seq))) {
            flushBlob();
            blob_.valid = false;
            std::string cur;
            readBlobChunk(base, rid, part, field, seq, cur);
            blob_.data.swap(cur);
            blob_.base = base;
            blob_.rid = rid;
            blob_.part = part;
            blob_.field = field;
            blob_.seq = seq;
            blob_.valid = true;
        }
        blob_.data.resize(at);
        blob_.data.append(data, n);
        blob_.dirty = true;
        if (depth_ == 0) {
            // Others may change the blob once no transaction holds the lock.
            flushBlob();
            blob_.valid = false;
        }
    }
    void deleteBlob(int64_t base, int rid, int part, int field) override {
        if (blob_.valid && blob_.base == base && blob_.rid == rid && blob_.part == part && blob_.field == field)
            blob_.valid = false;
        q("DELETE FROM blobs WHERE base=? AND rid=? AND part=? AND field=?").i(1, base).i(2, rid)
            .i(3, part).i(4, field).run();
    }

    bool readTree(int64_t base, int rid, std::string& out) override {
        Stmt s = q("SELECT data FROM trees WHERE base=? AND rid=?");
        s.i(1, base).i(2, rid);
        if (!s.row()) return false;
        size_t n = 0;
        const unsigned char* d = s.blob(0, n);
        out.assign(reinterpret_cast<const char*>(d), n);  // keeps the buffer of the caller
        return true;
    }
    // The data column of a row, read in pieces without copying it whole.
    std::unique_ptr<ByteSource> openBlob(const char* table, int64_t row) {
        sqlite3_blob* b = nullptr;
        if (sqlite3_blob_open(db_, "main", table, "data", row, 0, &b) != SQLITE_OK) {
            std::string m = sqlite3_errmsg(db_);
            if (b) sqlite3_blob_close(b);
            throw StorageError("storage: " + m);
        }
        return std::make_unique<SqliteBlobSource>(db_, b);
    }
    std::unique_ptr<ByteSource> openTree(int64_t base, int rid, int64_t& size) override {
        Stmt s = q("SELECT rowid, length(data) FROM trees WHERE base=? AND rid=?");
        s.i(1, base).i(2, rid);
        if (!s.row()) return nullptr;
        int64_t row = s.col(0);
        size = s.col(1);
        return openBlob("trees", row);
    }
    void readTrees(int64_t base, const std::vector<int>& rids,
                   const std::function<void(int, const unsigned char*, size_t)>& fn) override {
        if (rids.empty()) return;
        int64_t span = static_cast<int64_t>(rids.back()) - rids.front() + 1;
        if (static_cast<int64_t>(rids.size()) * 4 < span) {
            // Scattered records: one look-up each.
            Storage::readTrees(base, rids, fn);
            return;
        }
        // Most records of a range: one pass over it instead of a descent per record.
        Stmt s = q("SELECT rid, data FROM trees WHERE base=? AND rid>=? AND rid<=? ORDER BY rid");
        s.i(1, base).i(2, rids.front()).i(3, rids.back());
        size_t i = 0;
        while (i < rids.size() && s.row()) {
            int rid = static_cast<int>(s.col(0));
            while (i < rids.size() && rids[i] < rid) ++i;
            if (i == rids.size() || rids[i] != rid) continue;
            size_t n = 0;
            const unsigned char* d = s.blob(1, n);
            fn(rid, d, n);
            ++i;
        }
    }
    void writeTree(int64_t base, int rid, const std::string& data) override {
        q("INSERT OR REPLACE INTO trees VALUES(?,?,?)").i(1, base).i(2, rid).b(3, data.data(), data.size())
            .run();
    }

    std::vector<RunInfo> listRuns(int64_t base) override {
        std::vector<RunInfo> out;
        Stmt s = q("SELECT run, tier FROM runs WHERE base=? ORDER BY run");
        s.i(1, base);
        while (s.row()) out.push_back(RunInfo{s.col(0), static_cast<int>(s.col(1))});
        return out;
    }
    int64_t createRun(int64_t base, int tier) override {
        Stmt s = q("UPDATE bases SET next_run=next_run+1 WHERE id=? RETURNING next_run-1");
        s.i(1, base);
        if (!s.row()) throw StorageError("storage: base vanished while indexing");
        int64_t run = s.col(0);
        q("INSERT INTO runs VALUES(?,?,?)").i(1, base).i(2, run).i(3, tier).run();
        return run;
    }
    void dropRun(int64_t base, int64_t run) override {
        q("DELETE FROM postings WHERE base=? AND run=?").i(1, base).i(2, run).run();
        q("DELETE FROM dead WHERE base=? AND run=?").i(1, base).i(2, run).run();
        q("DELETE FROM runs WHERE base=? AND run=?").i(1, base).i(2, run).run();
    }
    void putPosting(int64_t base, int64_t run, int key, const std::string& term, int64_t first,
                    const std::string& data) override {
        q("INSERT OR REPLACE INTO postings VALUES(?,?,?,?,?,?)").i(1, base).i(2, run).i(3, key)
            .b(4, term.data(), term.size()).i(5, first).b(6, data.data(), data.size()).run();
    }
    void scanPostings(int64_t base, int64_t run, int key, const std::string& lo, const std::string& hi,
                      bool hiOpen, const PostingFn& fn) override {
        {
            Stmt p = q("SELECT term, first, data FROM postings WHERE base=? AND run=? AND key=? AND term<? "
                       "ORDER BY term DESC, first DESC LIMIT 1");
            p.i(1, base).i(2, run).i(3, key).b(4, lo.data(), lo.size());
            if (p.row()) {
                size_t tn, dn;
                const unsigned char* t = p.blob(0, tn);
                const unsigned char* d = p.blob(2, dn);
                if (!fn(t, tn, p.col(1), d, dn)) return;
            }
        }
        Stmt s = hiOpen ? q("SELECT term, first, data FROM postings WHERE base=? AND run=? AND key=? "
                            "AND term>=? ORDER BY term, first")
                        : q("SELECT term, first, data FROM postings WHERE base=? AND run=? AND key=? "
                            "AND term>=? AND term<? ORDER BY term, first");
        s.i(1, base).i(2, run).i(3, key).b(4, lo.data(), lo.size());
        if (!hiOpen) s.b(5, hi.data(), hi.size());
        while (s.row()) {
            size_t tn, dn;
            const unsigned char* t = s.blob(0, tn);
            const unsigned char* d = s.blob(2, dn);
            if (!fn(t, tn, s.col(1), d, dn)) break;
        }
    }
    std::unique_ptr<RunCursor> openRun(int64_t base, int64_t run) override {
        sqlite3_stmt* st = nullptr;
        const char* sql = "SELECT key, term, first, data FROM postings WHERE base=? AND run=? "
                          "ORDER BY key, term, first";
        if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK)
            throw StorageError(std::string("storage: ") + sqlite3_errmsg(db_));
        sqlite3_bind_int64(st, 1, base);
        sqlite3_bind_int64(st, 2, run);
        return std::make_unique<SqliteRunCursor>(db_, st);
    }
    void putPending(int64_t base, int rid, int chunk, const std::string& data) override {
        q("INSERT OR REPLACE INTO pending VALUES(?,?,?,?)").i(1, base).i(2, rid).i(3, chunk)
            .b(4, data.data(), data.size()).run();
    }
    void deletePending(int64_t base, int rid) override {
        q("DELETE FROM pending WHERE base=? AND rid=?").i(1, base).i(2, rid).run();
    }
    void readPending(int64_t base,
                     const std::function<void(int, const unsigned char*, size_t)>& fn) override {
        Stmt s = q("SELECT rid, data FROM pending WHERE base=? ORDER BY rid, chunk");
        s.i(1, base);
        while (s.row()) {
            size_t n;
            const unsigned char* p = s.blob(1, n);
            fn(static_cast<int>(s.col(0)), p, n);
        }
    }
    void listPending(int64_t base, std::vector<PendingRef>& out) override {
        Stmt s = q("SELECT rid, rowid, length(data) FROM pending WHERE base=? ORDER BY rid, chunk");
        s.i(1, base);
        while (s.row()) out.push_back(PendingRef{static_cast<int>(s.col(0)), s.col(1), s.col(2)});
    }
    std::unique_ptr<ByteSource> openPending(int64_t id) override { return openBlob("pending", id); }
    void pendingSize(int64_t base, int& records, int64_t& bytes) override {
        Stmt s = q("SELECT count(*), coalesce(sum(length(data)),0) FROM pending WHERE base=?");
        s.i(1, base);
        records = 0;
        bytes = 0;
        if (s.row()) {
            records = static_cast<int>(s.col(0));
            bytes = s.col(1);
        }
    }
    void clearPending(int64_t base) override { q("DELETE FROM pending WHERE base=?").i(1, base).run(); }
    void addDead(int64_t base, int64_t run, int rid) override {
        q("INSERT OR IGNORE INTO dead VALUES(?,?,?)").i(1, base).i(2, run).i(3, rid).run();
    }
    void listDead(int64_t base, const std::function<void(int64_t, int)>& fn) override {
        Stmt s = q("SELECT run, rid FROM dead WHERE base=?");
        s.i(1, base);
        while (s.row()) fn(s.col(0), static_cast<int>(s.col(1)));
    }
    void moveRecordsToRun(int64_t base, int64_t fromRun, int64_t toRun) override {
        q("UPDATE records SET run=? WHERE base=? AND run=?").i(1, toRun).i(2, base).i(3, fromRun).run();
    }

private:
    // The one slot page kept in memory: writes to it are buffered until
    // another page is needed or the transaction level changes, so that a
    // record streamed into storage writes each page once; reads of its
    // slots are served from it. Outside a transaction every write goes
    // straight through and a read checks that no other connection committed.
    struct Page {
        int64_t base = 0;
        int rid = 0;
        int first = -1;  // -1: no page
        bool dirty = false;
        int64_t version = 0;  // data version when read outside a transaction
        std::vector<std::string> data = std::vector<std::string>(kPageSlots);
        std::vector<char> has = std::vector<char>(kPageSlots, 0);
    };

    // The blob chunk being appended to: written when another chunk is
    // appended to, when the transaction level ends, and at once outside a
    // transaction; dropped by a rollback, as every change in it was made
    // inside the part rolled back.
    struct BlobTail {
        int64_t base = 0;
        int rid = 0, part = 0, field = 0, seq = 0;
        bool valid = false, dirty = false;
        std::string data;
        bool is(int64_t b, int r, int p, int f, int s) const {
            return base == b && rid == r && part == p && field == f && seq == s;
        }
    };

    void flushBlob() {
        if (!blob_.valid || !blob_.dirty) return;
        q("INSERT OR REPLACE INTO blobs VALUES(?,?,?,?,?,?)").i(1, blob_.base).i(2, blob_.rid).i(3, blob_.part)
            .i(4, blob_.field).i(5, blob_.seq).b(6, blob_.data.data(), blob_.data.size()).run();
        blob_.dirty = false;
    }

    // The kept handle on the data of slot page `row`: moved there when open
    // (a fresh handle compiles a statement, a move only seeks), made when
    // not or when a write to its row ended it.
    void slotBlobAt(int64_t row) {
        // Rows cannot change under a read-only transaction: a page read in
        // pieces keeps its handle.
        if (slotBlob_ && row == slotBlobRow_ && unchangedSnapshot() != 0) return;
        slotBlobRow_ = 0;
        if (slotBlob_ && sqlite3_blob_reopen(slotBlob_, row) == SQLITE_OK) {
            slotBlobRow_ = row;
            return;
        }
        closeSlotBlob();
        if (sqlite3_blob_open(db_, "main", "slotpages", "data", row, 0, &slotBlob_) != SQLITE_OK) {
            std::string m = sqlite3_errmsg(db_);
            closeSlotBlob();
            throw StorageError("storage: " + m);
        }
        slotBlobRow_ = row;
    }
    void closeSlotBlob() {
        if (slotBlob_) sqlite3_blob_close(slotBlob_);
        slotBlob_ = nullptr;
        slotBlobRow_ = 0;
    }

    void setMapSize(int64_t bytes) {
        if (bytes == mappedBytes_) return;
        // SQLite maps or unmaps the file at once when no statement holds a
        // mapped page (none does between calls), else at its next read. Only
        // a speed-up: a refusal leaves the file read as before.
        std::string sql = "PRAGMA mmap_size=" + std::to_string(bytes);
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) mappedBytes_ = bytes;
    }

    Page& pageFor(int64_t base, int rid, int slot) {
        int first = pageOf(slot);
        if (page_.first == first && page_.base == base && page_.rid == rid) {
            if (depth_ > 0 || readDataVersion() == page_.version) return page_;
            dropPage();
        }
        flushPage();
        dropPage();
        Stmt s = q("SELECT data FROM slotpages WHERE base=? AND rid=? AND first=?");
        s.i(1, base).i(2, rid).i(3, first);
        if (s.row()) {
            size_t n;
            const unsigned char* p = s.blob(0, n);
            bool ok = forEachInPage(first, p, n, [&](int slot, const unsigned char* d, size_t len) {
                size_t k = static_cast<size_t>(slot - first);
                page_.data[k].assign(reinterpret_cast<const char*>(d), len);
                page_.has[k] = 1;
            });
            if (!ok) {
                dropPage();
                throw slotPagesDamaged(rid);
            }
        }
        page_.base = base;
        page_.rid = rid;
        page_.first = first;
        page_.version = depth_ > 0 ? 0 : readDataVersion();
        return page_;
    }

    void flushPage() {
        if (page_.first < 0 || !page_.dirty) return;
        std::string out;
        size_t size = 0;
        for (size_t k = 0; k < page_.data.size(); ++k)
            if (page_.has[k]) size += page_.data[k].size() + 8;
        out.reserve(size);
        for (size_t k = 0; k < page_.data.size(); ++k) {
            if (!page_.has[k]) continue;
            putVarint(out, k);
            putVarint(out, page_.data[k].size());
            out.append(page_.data[k]);
        }
        if (out.empty())
            q("DELETE FROM slotpages WHERE base=? AND rid=? AND first=?").i(1, page_.base).i(2, page_.rid)
                .i(3, page_.first).run();
        else
            q("INSERT OR REPLACE INTO slotpages VALUES(?,?,?,?)").i(1, page_.base).i(2, page_.rid)
                .i(3, page_.first).b(4, out.data(), out.size()).run();
        page_.dirty = false;
    }

    void dropPage() {
        if (page_.first < 0) return;
        for (size_t k = 0; k < page_.data.size(); ++k)
            if (page_.has[k]) {
                page_.has[k] = 0;
                page_.data[k].clear();
            }
        page_.first = -1;
        page_.dirty = false;
    }

    static BaseRow baseFrom(Stmt& s) {
        BaseRow r;
        r.id = s.col(0);
        r.name = s.str(1);
        r.designName = s.str(2);
        r.designText = s.str(3);
        r.charset = static_cast<int>(s.col(4));
        return r;
    }

    Stmt q(const std::string& sql) {
        auto it = stmts_.find(sql);
        sqlite3_stmt* st;
        if (it == stmts_.end()) {
            if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK)
                throw StorageError(std::string("storage: ") + sqlite3_errmsg(db_));
            stmts_.emplace(sql, st);
        } else {
            st = it->second;
        }
        return Stmt(db_, st);
    }

    void exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string m = err ? err : sqlite3_errmsg(db_);
            sqlite3_free(err);
            throw StorageError("storage: " + m);
        }
    }

    // Renames the tables of the first format out of the way; the schema then
    // creates their new form and the rows are copied over.
    void upgrade() {
        bool any = false;
        for (const char* t : kKeyedTables) {
            std::string name = t;  // bound without a copy: must outlive the statement
            Stmt s = q("SELECT sql FROM sqlite_schema WHERE type='table' AND name=?");
            s.t(1, name);
            if (!s.row() || s.str(0).find("WITHOUT ROWID") == std::string::npos) continue;
            any = true;
        }
        if (!any) return;
        for (const char* t : kKeyedTables) exec(std::string("ALTER TABLE ") + t + " RENAME TO old_" + t);
        for (const char* sql : kSchema) exec(sql);
        for (const char* t : kKeyedTables) {
            exec(std::string("INSERT INTO ") + t + " SELECT * FROM old_" + t);
            exec(std::string("DROP TABLE old_") + t);
        }
        exec("INSERT OR REPLACE INTO meta VALUES('format','2')");
    }

    // Records stored before the item maxima were kept have none (NULL): a
    // reader finds them by walking the record, as it always did. A directory
    // upgraded for another reason gets the column; one otherwise current is
    // left without it (an open only reads) and keeps no maxima.
    bool hasMaximaColumn() {
        std::string name = "records";
        Stmt s = q("SELECT sql FROM sqlite_schema WHERE type='table' AND name=?");
        s.t(1, name);
        return s.row() && s.str(0).find("maxima") != std::string::npos;
    }
    void addMaximaColumn() {
        if (!hasMaximaColumn()) exec("ALTER TABLE records ADD COLUMN maxima BLOB");
    }

    // Data directories of the second format keep one row per slot in table
    // slots; their rows are packed into pages once, when opened.
    void packSlots() {
        std::string name = "slots";
        {
            Stmt s = q("SELECT 1 FROM sqlite_schema WHERE type='table' AND name=?");
            s.t(1, name);
            if (!s.row()) return;
        }
        {
            Stmt s = q("SELECT base, rid, slot, data FROM slots ORDER BY base, rid, slot");
            while (s.row()) {
                std::string data = s.str(3);
                writeSlot(s.col(0), static_cast<int>(s.col(1)), static_cast<int>(s.col(2)), data);
            }
        }
        flushPage();
        dropPage();
        // The statements cached on the old table go before it is dropped.
        for (auto it = stmts_.begin(); it != stmts_.end();) {
            if (it->first.find("FROM slots ") != std::string::npos) {
                sqlite3_finalize(it->second);
                it = stmts_.erase(it);
            } else {
                ++it;
            }
        }
        exec("DROP TABLE slots");
        exec(std::string("INSERT OR REPLACE INTO meta VALUES('format','") + kFormat + "')");
    }

    // True when every table and index of the schema exists, none is of an
    // earlier form and the format stamp is the current one.
    bool schemaCurrent() {
        std::unordered_map<std::string, std::string> objects;  // name -> sql
        {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db_, "SELECT name, sql FROM sqlite_schema", -1, &st, nullptr) != SQLITE_OK)
                return false;
            while (sqlite3_step(st) == SQLITE_ROW) {
                const unsigned char* n = sqlite3_column_text(st, 0);
                const unsigned char* q = sqlite3_column_text(st, 1);
                objects[n ? reinterpret_cast<const char*>(n) : ""] = q ? reinterpret_cast<const char*>(q) : "";
            }
            sqlite3_finalize(st);
        }
        for (const char* sql : kSchema) {
            std::string text = sql;
            size_t at = text.find(" EXISTS ");
            if (at == std::string::npos) return false;
            at += 8;
            size_t end = text.find_first_of("( ", at);
            if (!objects.count(text.substr(at, end == std::string::npos ? std::string::npos : end - at))) return false;
        }
        for (const char* t : kKeyedTables)
            if (objects[t].find("WITHOUT ROWID") != std::string::npos) return false;
        if (objects.count("slots")) return false;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE key='format'", -1, &st, nullptr) != SQLITE_OK)
            return false;
        bool current = false;
        if (sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* v = sqlite3_column_text(st, 0);
            current = v && std::string(reinterpret_cast<const char*>(v)) == kFormat;
        }
        sqlite3_finalize(st);
        return current;
    }

    int64_t readDataVersion() {
        // A transaction sees one version: asked again inside it, the first answer holds.
        if (depth_ > 0 && versionSnapshot_ == snapshot_) return versionInTxn_;
        Stmt s = q("PRAGMA data_version");
        const int64_t v = s.row() ? s.col(0) : 0;
        if (depth_ > 0) {
            versionSnapshot_ = snapshot_;
            versionInTxn_ = v;
        }
        return v;
    }

    void closeAll() {
        closeSlotBlob();
        for (auto& kv : stmts_) sqlite3_finalize(kv.second);
        stmts_.clear();
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }

    // The current transaction while it has written nothing, else 0: rows
    // listed in it are still as listed.
    uint64_t unchangedSnapshot() {
        return depth_ > 0 && sqlite3_txn_state(db_, "main") != SQLITE_TXN_WRITE ? snapshot_ : 0;
    }

    // Rows of records and the lists of their pages as read in read-only
    // transactions, kept while this connection wrote nothing and nobody else
    // committed: a query that returns fragments of thousands of records
    // loads each of them again in its next run.
    struct Dir {
        bool hasRow = false;
        bool listed = false;
        RecordRow row;
        std::vector<std::pair<int, int64_t>> pages;  // first slot, rowid
    };
    static constexpr size_t kMaxDirs = 1 << 17;
    std::unordered_map<uint64_t, Dir> dirs_;
    int64_t dirsChanges_ = -1;  // this connection's count of changed rows when they were read
    int64_t dirsVersion_ = 0;   // the data version they were read in
    uint64_t dirsChecked_ = 0;  // the transaction that last compared it
    // The kept entry of a record (made when `make`), null outside a
    // read-only transaction.
    Dir* dirOf(int64_t base, int rid, bool make) {
        const uint64_t snap = unchangedSnapshot();
        if (snap == 0) return nullptr;
        const int64_t changes = sqlite3_total_changes64(db_);
        if (changes != dirsChanges_) {
            dirs_.clear();
            dirsChanges_ = changes;
        }
        if (dirsChecked_ != snap) {
            // Once per transaction: what others committed since.
            if (!dirs_.empty() && readDataVersion() != dirsVersion_) dirs_.clear();
            dirsChecked_ = snap;
        }
        const uint64_t key = (static_cast<uint64_t>(base) << 32) | static_cast<uint32_t>(rid);
        auto it = dirs_.find(key);
        if (it != dirs_.end()) return &it->second;
        if (!make) return nullptr;
        if (dirs_.size() >= kMaxDirs) dirs_.clear();
        if (dirs_.empty()) dirsVersion_ = readDataVersion();
        return &dirs_[key];
    }

    sqlite3* db_ = nullptr;
    int depth_ = 0;
    uint64_t snapshot_ = 0;  // counts outermost transactions
    uint64_t versionSnapshot_ = 0;  // the transaction whose data version is versionInTxn_
    int64_t versionInTxn_ = 0;
    int64_t dataVersion_ = 0;
    const int64_t mmapBytes_;
    const int64_t readMmapBytes_;
    int64_t mappedBytes_;
    bool reading_ = false;
    bool keepsMaxima_ = true;  // the records table has the maxima column
    std::unordered_map<std::string, sqlite3_stmt*> stmts_;
    Page page_;
    BlobTail blob_;
    // Open only inside a transaction (it is a running statement).
    sqlite3_blob* slotBlob_ = nullptr;
    int64_t slotBlobRow_ = 0;  // the row it is on (0: none known)
    std::vector<SlotPageRef> rows_;  // a record's pages, in order
};

bool makeDirs(const std::string& dir, std::string& err) {
    std::string cur;
    size_t i = 0;
    while (i <= dir.size()) {
        size_t j = dir.find('/', i);
        if (j == std::string::npos) j = dir.size();
        cur = dir.substr(0, j);
        if (!cur.empty() && mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) {
            err = strerror(errno);
            return false;
        }
        i = j + 1;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = "not a directory";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Storage> openSqliteStorage(const std::string& dir, const std::string& syncMode, int cacheMb,
                                           int busyMs, int mmapMb, int readMmapMb) {
    std::string err;
    if (dir.empty()) throw StorageError("no data directory given");
    if (!makeDirs(dir, err)) throw StorageError("cannot create data directory " + dir + ": " + err);
    return std::make_unique<SqliteStorage>(dir, syncMode, cacheMb, busyMs, mmapMb, readMmapMb);
}

}  // namespace vdbs
