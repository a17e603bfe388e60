// The inverted index: per base, a set of posting runs (log-structured: every
// store writes a small run, runs of one tier are merged into the next tier).
// A posting row maps (field, kind, term) to the (rid, part) pairs of the run's
// records; rows of records stored again later are masked by "dead" entries
// until the next merge drops them.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
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
    kNum = 1,    // the value as a number (order-preserving key)
    kTri = 2,    // trigrams of text values
    kAny = 3,    // the part has a value of the field
    kMulti = 4,  // the part has two or more different values of the field
    kLong = 5,   // a text value too long for full trigram indexing
};

inline int indexKey(int field, int kind) { return field * 8 + kind; }

std::string exactTerm(std::string_view v);
std::string numTerm(double d);
// The part of a text value covered by trigrams.
constexpr size_t kTrigramLimit = 65536;

using Postings = std::map<std::pair<int, std::string>, std::vector<int>>;

// Index entries of one record.
void buildPostings(Record& rec, Postings& out);
// Writes them as a new run of the base; returns the run.
int64_t writeRun(Storage& st, int64_t base, int rid, const Postings& p);

// Runs and dead entries of a base, read once and kept until the base changes.
struct IndexMeta {
    std::vector<RunInfo> runs;
    std::unordered_map<int64_t, std::unordered_set<int>> dead;
};
using IndexMetaPtr = std::shared_ptr<const IndexMeta>;
IndexMetaPtr loadIndexMeta(Storage& st, int64_t base);

// Hits of one term (exact key), across runs.
void lookupTerm(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& term,
                HitList& out);
// Hits of every term t of key with lo <= t < hi (hiOpen: no upper bound) that
// accept(t) takes; out is sorted and unique afterwards.
void lookupRange(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& lo,
                 const std::string& hi, bool hiOpen,
                 const std::function<bool(std::string_view)>& accept, HitList& out);

// Merges runs while a tier holds enough of them. Runs its own transactions.
// Returns true when it merged anything.
bool mergeRuns(Storage& st, int64_t base);

}  // namespace vdbs

namespace vdbs {
// Calls fn for every term of key that still has live hits, in term order
// (a term present in several runs is reported once per run).
void listTerms(Storage& st, int64_t base, const IndexMeta& meta, int key,
               const std::function<void(const std::string&)>& fn);
}  // namespace vdbs
