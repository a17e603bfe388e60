// The inverted index. A stored record's index entries first go into one
// pending row (cheap to write and to replace); pending rows are folded in
// batches into posting runs, and runs of one tier are merged into the next
// (log-structured). A posting row maps (field, kind, term) to the (rid, part)
// pairs of its run's records; rows of records stored again or deleted are
// masked by "dead" entries until the next merge drops them.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hits.h"
#include "record.h"
#include "storage.h"

namespace vdbs {

enum IndexKind {
    kExact = 0,  // the value
    kNum = 1,    // the value as a number (order-preserving key; text and phrase fields)
    kTri = 2,    // trigrams of text values
    kAny = 3,    // the part has a value of the field
    kMulti = 4,  // the part has two or more different values of the field
    kLong = 5,   // a text value too long for full trigram indexing
};

inline int indexKey(int field, int kind) { return field * 8 + kind; }
// Fields whose numeric values get their own keys; others are compared by
// reading their (few) distinct values.
inline bool numericKeys(int type) { return type == 1 || type == 2; }

std::string exactTerm(std::string_view v);
std::string numTerm(double d);
constexpr size_t kTrigramLimit = 65536;

// Index entries of one record, handed over as pending rows (encoded groups
// sorted by key and term) in chunks of parts, so that a large record never
// has all of its entries in memory. also, when given, sees every value of
// the pass too.
void buildPostings(Record& rec, const std::function<void(const std::string&)>& emit,
                   const std::function<void(int slot, const Value&)>& also = nullptr);

// Writes the index entries of a record being stored (inside the store's
// transaction): a record of one chunk goes pending; a larger one gets a run
// of its own at once. Returns that run, 0 when pending.
int64_t writeRecordIndex(Storage& st, int64_t base, int rid, Record& rec,
                         const std::function<void(int slot, const Value&)>& also);

// Runs, dead entries and the pending entries of a base, read once and kept
// until the base changes.
// A pending row with an index of its entries (sorted by key and term).
struct PendingRecord {
    struct Group {
        int key;
        std::string_view term;
        const unsigned char* parts;
        uint32_t count;
    };
    int rid = 0;
    std::string data;
    std::string terms;  // whole terms of a row whose terms share prefixes
    std::vector<Group> groups;
};

struct IndexMeta {
    std::vector<RunInfo> runs;
    std::unordered_map<int64_t, std::unordered_set<int>> dead;
    std::vector<std::unique_ptr<PendingRecord>> pending;  // by rid
};
using IndexMetaPtr = std::shared_ptr<const IndexMeta>;
IndexMetaPtr loadIndexMeta(Storage& st, int64_t base);

// Hits of one term (exact key), across runs.
void lookupTerm(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& term,
                HitList& out);
// The stored entries of one term as read, still encoded: a term that most
// parts share (N_TYPE=ELEMENT) is then decoded only as far as a query needs
// it, and never held as a list when it is intersected with a shorter one.
// Refers to the dead entries of the IndexMeta it was read with, which must
// outlive it.
struct TermPostings {
    struct Segment {
        size_t offset, length;
        const std::unordered_set<int>* dead;
    };
    std::string bytes;
    std::vector<Segment> segments;  // one per entry, in run order
    HitList pending;                // hits of records not yet in a run, sorted
    // An upper bound of the hit count (every hit takes a byte at least).
    size_t estimate() const { return bytes.size() + pending.size(); }
};
void readTerm(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& term,
              TermPostings& out);
// The hits: what lookupTerm gives into an empty list.
void decodeTerm(const TermPostings& tp, HitList& out);
// The hits that are also in the sorted list with: hitAnd(decodeTerm(tp), with).
void intersectTerm(const TermPostings& tp, const HitList& with, HitList& out);

// Hits of every term t of key with lo <= t < hi (hiOpen: no upper bound) that
// accept(t) takes; out is sorted and unique afterwards.
void lookupRange(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& lo,
                 const std::string& hi, bool hiOpen, const std::function<bool(std::string_view)>& accept,
                 HitList& out);
// Calls fn for every term of key that still has live hits (a term may be
// reported more than once).
void listTerms(Storage& st, int64_t base, const IndexMeta& meta, int key,
               const std::function<void(const std::string&)>& fn);

// Folds pending entries into a run when there are enough of them, and merges
// runs while a tier holds enough. Runs its own transactions. True when it
// changed anything.
bool mergeRuns(Storage& st, int64_t base);

}  // namespace vdbs
