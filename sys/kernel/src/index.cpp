#include "index.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

#include "util.h"

namespace vdbs {
namespace {

constexpr size_t kLongExact = 1024;
// First byte of a pending row whose terms share prefixes with the group
// before. Rows of the earlier form start with a key (never 0) and hold
// whole terms.
constexpr char kPendingShared = 0;
constexpr size_t kChunkHits = 65536;
constexpr size_t kMergeFanIn = 8;
constexpr int kPendingRecords = 64;
constexpr int64_t kPendingBytes = 8 << 20;

void decodeInto(const unsigned char* p, size_t n, const std::unordered_set<int>* dead, HitList& out) {
    const unsigned char* end = p + n;
    uint64_t rid = 0;
    while (p < end) {
        uint64_t d, cnt;
        if (!getVarint(p, end, d) || !getVarint(p, end, cnt)) return;
        rid += d;
        bool skip = dead && dead->count(static_cast<int>(rid));
        uint64_t part = 0;
        for (uint64_t i = 0; i < cnt; ++i) {
            uint64_t dp;
            if (!getVarint(p, end, dp)) return;
            part += dp;
            if (!skip) out.push_back(mkHit(static_cast<int>(rid), static_cast<int>(part)));
        }
    }
}

// Encodes sorted hits as rows of at most kChunkHits hits, never splitting a
// record across rows. Calls emit(first rid, data).
template <typename Emit>
void encodeChunks(const HitList& hits, Emit emit) {
    size_t i = 0;
    std::string data;
    while (i < hits.size()) {
        data.clear();
        int first = hitRid(hits[i]);
        uint64_t prevRid = 0;
        size_t inChunk = 0;
        while (i < hits.size()) {
            int rid = hitRid(hits[i]);
            size_t j = i;
            while (j < hits.size() && hitRid(hits[j]) == rid) ++j;
            if (inChunk > 0 && inChunk + (j - i) > kChunkHits) break;
            putVarint(data, static_cast<uint64_t>(rid) - prevRid);
            prevRid = static_cast<uint64_t>(rid);
            putVarint(data, j - i);
            uint64_t prevPart = 0;
            for (size_t k = i; k < j; ++k) {
                uint64_t part = static_cast<uint32_t>(hitPart(hits[k]));
                putVarint(data, part - prevPart);
                prevPart = part;
            }
            inChunk += j - i;
            i = j;
        }
        emit(first, data);
    }
}

// A run's posting rows are blocks: the entries of consecutive terms of one
// key, each term written as the bytes it shares with the one before and the
// rest, followed by its hits. A row's term is the term of its first entry;
// a term with many hits is split into entries at record boundaries and may
// go on in the next rows. Block rows have first = (first rid) - kBlockFirst
// (always negative); rows of the earlier form (first > 0) hold one term's
// hits each and are still read as they are.
constexpr int64_t kBlockFirst = int64_t(1) << 40;
constexpr size_t kBlockBytes = 3500;  // a block fits a page of the table with its key

class BlockWriter {
public:
    BlockWriter(Storage& st, int64_t base, int64_t run) : st_(st), base_(base), run_(run) {}
    void add(int key, const std::string& term, int first, const std::string& hits) {
        size_t shared = 0;
        if (open_ && key == key_) {
            size_t n = std::min(prev_.size(), term.size());
            while (shared < n && prev_[shared] == term[shared]) ++shared;
            if (data_.size() + (term.size() - shared) + hits.size() + 12 > kBlockBytes) flush();
        } else {
            flush();
        }
        if (!open_) {
            open_ = true;
            key_ = key;
            rowTerm_ = term;
            first_ = static_cast<int64_t>(first) - kBlockFirst;
            shared = term.size();
        }
        putVarint(data_, shared);
        putVarint(data_, term.size() - shared);
        data_.append(term, shared, std::string::npos);
        putVarint(data_, hits.size());
        data_.append(hits);
        prev_ = term;
    }
    void flush() {
        if (!open_) return;
        st_.putPosting(base_, run_, key_, rowTerm_, first_, data_);
        data_.clear();
        open_ = false;
    }

private:
    Storage& st_;
    int64_t base_, run_;
    bool open_ = false;
    int key_ = 0;
    int64_t first_ = 0;
    std::string rowTerm_, prev_, data_;
};

// Reads the entry of a block row at p (the term as the bytes it shares with
// the term before and the rest, then its hits) into term, hits and len.
// False at the end of the row or where it is damaged.
inline bool readBlockEntry(const unsigned char*& p, const unsigned char* end, std::string& term,
                           const unsigned char*& hits, size_t& len) {
    uint64_t shared, rest, n;
    if (p >= end || !getVarint(p, end, shared) || !getVarint(p, end, rest) || shared > term.size() ||
        rest > static_cast<uint64_t>(end - p))
        return false;
    term.resize(static_cast<size_t>(shared));
    term.append(reinterpret_cast<const char*>(p), static_cast<size_t>(rest));
    p += rest;
    if (!getVarint(p, end, n) || n > static_cast<uint64_t>(end - p)) return false;
    hits = p;
    len = static_cast<size_t>(n);
    p += n;
    return true;
}

// Calls fn(term, hits, length) for each entry of a posting row in term
// order; fn returns false to stop. Returns false when fn stopped.
template <typename Fn>
bool forEntries(const unsigned char* t, size_t tn, int64_t first, const unsigned char* p, size_t n,
                std::string& term, Fn fn) {
    term.assign(reinterpret_cast<const char*>(t), tn);
    if (first > 0) return fn(std::string_view(term), p, n);
    const unsigned char* end = p + n;
    const unsigned char* hits;
    size_t len;
    while (readBlockEntry(p, end, term, hits, len))
        if (!fn(std::string_view(term), hits, len)) return false;
    return true;
}

// Calls fn(term, hits, length) for each entry of run r whose term lies from
// lo up to hi (hi excluded; no upper bound when hiOpen), in term order.
template <typename Fn>
void forRunEntries(Storage& st, int64_t base, const RunInfo& r, int key, const std::string& lo, const std::string& hi,
                   bool hiOpen, Fn fn) {
    std::string cur;
    st.scanPostings(base, r.run, key, lo, hi, hiOpen,
                    [&](const unsigned char* t, size_t tn, int64_t first, const unsigned char* data, size_t len) {
                        return forEntries(t, tn, first, data, len, cur,
                                          [&](std::string_view e, const unsigned char* h, size_t hn) {
                                              if (e < lo) return true;
                                              if (!hiOpen && e >= hi) return false;
                                              fn(e, h, hn);
                                              return true;
                                          });
                    });
}

}  // namespace

std::string exactTerm(std::string_view v) {
    if (v.size() <= kLongExact) return std::string(v);
    std::string t(v.substr(0, 1000));
    t.push_back('\0');
    uint64_t h = hash64(v);
    for (int i = 7; i >= 0; --i) t.push_back(static_cast<char>((h >> (i * 8)) & 0xff));
    return t;
}

std::string numTerm(double d) {
    if (d == 0) d = 0;  // -0 and 0 are one key
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
    std::string t(8, '\0');
    for (int i = 0; i < 8; ++i) t[static_cast<size_t>(i)] = static_cast<char>((bits >> (56 - 8 * i)) & 0xff);
    return t;
}

namespace {

// Bytes copied once and kept at a stable address until cleared.
class Arena {
public:
    const char* copy(const char* p, size_t n) {
        if (n > kBlock / 4) {
            big_.emplace_back(new char[n ? n : 1]);
            memcpy(big_.back().get(), p, n);
            return big_.back().get();
        }
        if (blocks_.empty() || used_ + n > kBlock) {
            if (next_ < blocks_.size()) {
                ++next_;
            } else {
                blocks_.emplace_back(new char[kBlock]);
                next_ = blocks_.size();
            }
            used_ = 0;
        }
        char* at = blocks_[next_ - 1].get() + used_;
        memcpy(at, p, n);
        used_ += n;
        return at;
    }
    void clear() {
        big_.clear();
        next_ = 0;
        used_ = kBlock;  // the next copy starts the first block again
    }

private:
    static constexpr size_t kBlock = 1 << 20;
    std::vector<std::unique_ptr<char[]>> blocks_, big_;
    size_t next_ = 0, used_ = kBlock;
};

uint64_t load64(const char* p, size_t n) {  // up to 8 bytes, big-endian, zero padded
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = (v << 8) | (i < n ? static_cast<unsigned char>(p[i]) : 0u);
    return v;
}

uint64_t termHash(int key, const char* p, size_t n) {
    uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(key)) + n) * 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xbf58476d1ce4e5b9ull;
        h ^= h >> 31;
    }
    uint64_t w = 0;
    for (; i < n; ++i) w = (w << 8) | static_cast<unsigned char>(p[i]);
    h = (h ^ w) * 0x94d049bb133111ebull;
    return h ^ (h >> 29);
}

// Index entries of one chunk of slots. Each distinct (key, term) is kept
// once (its bytes copied when first seen); entries are (term, part) pairs in
// slot order, so a term's parts come out ascending without sorting them.
// Only the distinct terms are sorted.
struct ChunkBuilder {
    struct Term {
        int key;
        uint32_t len;
        const char* p;
        uint64_t pre, pre2;  // the first 16 term bytes: most comparisons end here
    };
    struct FieldState {
        std::vector<uint64_t> trigrams;  // (trigram << 32) | part
        std::vector<int> any;            // parts with a value, in slot order
        std::set<std::string> part0;     // values of the main part (any slot)
        int lastPart = -1;               // the part of the last value, and its term
        uint32_t lastTerm = 0;
        bool multiMarked = false;
        bool used = false;
    };

    const Design& d;
    Arena arena;
    std::vector<Term> terms;
    // Open addressing: (hash tag << 32) | (term index + 1), 0 free. The tag
    // (high hash bits) settles most probes without touching the term.
    std::vector<uint64_t> table;
    std::vector<uint64_t> hashes;  // hash of each term, for growing the table
    std::vector<std::pair<uint32_t, int>> entries;
    std::vector<FieldState> fields;
    size_t slots = 0;
    int lastSlot = -1;
    std::string scratch;
    std::vector<uint64_t> scratchTri;
    std::string prevTerm;

    explicit ChunkBuilder(const Design& design) : d(design) { table.assign(1 << 12, 0); }

    FieldState& field(int f) {
        if (fields.size() <= static_cast<size_t>(f)) fields.resize(static_cast<size_t>(f) + 1);
        FieldState& s = fields[static_cast<size_t>(f)];
        s.used = true;
        return s;
    }

    uint32_t termId(int key, const char* p, size_t n) {
        if (terms.size() * 2 >= table.size()) grow();
        size_t mask = table.size() - 1;
        uint64_t h = termHash(key, p, n);
        uint64_t tag = (h >> 32) | 1;  // never 0
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            uint64_t t = table[i];
            if (t == 0) {
                Term nt{key, static_cast<uint32_t>(n), n ? arena.copy(p, n) : "", load64(p, n),
                        n > 8 ? load64(p + 8, n - 8) : 0};
                terms.push_back(nt);
                hashes.push_back(h);
                table[i] = (tag << 32) | terms.size();
                return static_cast<uint32_t>(terms.size() - 1);
            }
            if ((t >> 32) != tag) continue;
            const Term& x = terms[static_cast<uint32_t>(t) - 1];
            if (x.key == key && x.len == n && (n == 0 || memcmp(x.p, p, n) == 0))
                return static_cast<uint32_t>(t) - 1;
        }
    }
    void grow() {
        std::vector<uint64_t> next(table.size() * 2, 0);
        size_t mask = next.size() - 1;
        for (size_t id = 0; id < terms.size(); ++id) {
            uint64_t h = hashes[id];
            size_t i = h & mask;
            while (next[i]) i = (i + 1) & mask;
            next[i] = (((h >> 32) | 1) << 32) | (id + 1);
        }
        table.swap(next);
    }
    void addEntry(int key, int part, const char* p, size_t n) { entries.emplace_back(termId(key, p, n), part); }

    void add(int slot, const Value& v) {
        const FieldDef* f = d.field(v.field);
        if (!f || f->type == 20) return;
        if (slot != lastSlot) {
            ++slots;
            lastSlot = slot;
        }
        int part = (v.flags & (kPart | kNode)) ? slot : 0;
        int fk = v.field;
        FieldState& fs = field(fk);
        const char* tp = v.data.data();
        size_t tn = v.data.size();
        if (tn > kLongExact) {
            scratch = exactTerm(v.data);
            tp = scratch.data();
            tn = scratch.size();
        }
        uint32_t id = termId(indexKey(fk, kExact), tp, tn);
        entries.emplace_back(id, part);
        if (part == 0) {
            fs.part0.insert(std::string(tp, tn));
        } else {
            // A part's values of a field come together (they share its slot).
            if (fs.lastPart != part) {
                fs.lastPart = part;
                fs.multiMarked = false;
            } else if (fs.lastTerm != id && !fs.multiMarked) {
                addEntry(indexKey(fk, kMulti), part, "", 0);
                fs.multiMarked = true;
            }
            fs.lastTerm = id;
        }
        fs.any.push_back(part);
        double num;
        if (numericKeys(f->type) && parseXPathNumber(v.data, num)) {
            std::string t = numTerm(num);
            addEntry(indexKey(fk, kNum), part, t.data(), t.size());
        }
        if (f->type == 1) {
            const std::string& s = v.data;
            size_t n = std::min(s.size(), kTrigramLimit);
            std::vector<uint64_t>& tv = fs.trigrams;
            for (size_t i = 0; i + 3 <= n; ++i) {
                uint64_t tri = (static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << 16) |
                               (static_cast<uint64_t>(static_cast<unsigned char>(s[i + 1])) << 8) |
                               static_cast<unsigned char>(s[i + 2]);
                tv.push_back((tri << 32) | static_cast<uint32_t>(part));
            }
            if (s.size() > kTrigramLimit) addEntry(indexKey(fk, kLong), part, "", 0);
        }
    }

    // Sorts (trigram << 32 | part) by trigram alone, keeping the slot order
    // of the parts (ascending but for the main part): three stable counting
    // passes over the trigram's bytes.
    static void sortTrigrams(std::vector<uint64_t>& v, std::vector<uint64_t>& tmp) {
        if (v.size() < 2) return;
        tmp.resize(v.size());
        for (int shift = 32; shift <= 48; shift += 8) {
            size_t count[257] = {0};
            for (uint64_t x : v) ++count[((x >> shift) & 0xff) + 1];
            for (size_t i = 1; i < 257; ++i) count[i] += count[i - 1];
            for (uint64_t x : v) tmp[count[(x >> shift) & 0xff]++] = x;
            v.swap(tmp);
        }
    }

    static bool termLess(const Term& a, const Term& b) {
        if (a.key != b.key) return a.key < b.key;
        if (a.pre != b.pre) return a.pre < b.pre;
        if (a.pre2 != b.pre2) return a.pre2 < b.pre2;
        size_t n = std::min(a.len, b.len);
        int c = n > 16 ? memcmp(a.p + 16, b.p + 16, n - 16) : 0;
        if (c != 0) return c < 0;
        return a.len < b.len;
    }

    // A group of the pending row: its term as the bytes it shares with the
    // group before and the rest.
    void putGroup(std::string& out, int key, const char* term, size_t n, const std::vector<int>& parts) {
        size_t shared = 0, m = std::min(n, prevTerm.size());
        while (shared < m && prevTerm[shared] == term[shared]) ++shared;
        putVarint(out, static_cast<uint64_t>(key));
        putVarint(out, shared);
        putVarint(out, n - shared);
        out.append(term + shared, n - shared);
        prevTerm.assign(term, n);
        putVarint(out, parts.size());
        uint64_t prev = 0;
        for (int part : parts) {
            putVarint(out, static_cast<uint64_t>(part) - prev);
            prev = static_cast<uint64_t>(part);
        }
    }

    // The chunk's entries as a pending row: groups sorted by (key, term),
    // each with its parts ascending.
    void finish(std::string& out, bool last) {
        out.assign(1, kPendingShared);
        prevTerm.clear();
        if (last)
            for (size_t f = 0; f < fields.size(); ++f)
                if (fields[f].part0.size() > 1) addEntry(indexKey(static_cast<int>(f), kMulti), 0, "", 0);
        // Parts of each term, grouped by a counting sort that keeps slot order.
        std::vector<uint32_t> start(terms.size() + 1, 0);
        for (const auto& e : entries) ++start[e.first + 1];
        for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
        std::vector<int> byTerm(entries.size());
        {
            std::vector<uint32_t> at(start.begin(), start.end() - 1);
            for (const auto& e : entries) byTerm[at[e.first]++] = e.second;
        }
        // Sorted as small keys side by side (the term's first 16 bytes settle
        // most comparisons) rather than as numbers pointing at the terms.
        struct SortKey {
            int key;
            uint32_t id;
            uint64_t pre, pre2;
        };
        std::vector<SortKey> keys(terms.size());
        for (size_t i = 0; i < keys.size(); ++i)
            keys[i] = SortKey{terms[i].key, static_cast<uint32_t>(i), terms[i].pre, terms[i].pre2};
        std::sort(keys.begin(), keys.end(), [&](const SortKey& a, const SortKey& b) {
            if (a.key != b.key) return a.key < b.key;
            if (a.pre != b.pre) return a.pre < b.pre;
            if (a.pre2 != b.pre2) return a.pre2 < b.pre2;
            return termLess(terms[a.id], terms[b.id]);
        });
        std::vector<uint32_t> order(terms.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = keys[i].id;

        std::vector<int> parts;
        auto addPart = [&](int part) {
            if (parts.empty() || parts.back() != part) parts.push_back(part);
        };
        size_t ti = 0;
        // Keys ascending: a field's exact, numeric, trigram, any, several and
        // long entries in kind order.
        auto emitTermsBelow = [&](int key) {
            for (; ti < order.size() && terms[order[ti]].key < key; ++ti) {
                uint32_t id = order[ti];
                parts.clear();
                bool zero = false;
                for (uint32_t k = start[id]; k < start[id + 1]; ++k) zero = zero || byTerm[k] == 0;
                if (zero) parts.push_back(0);
                for (uint32_t k = start[id]; k < start[id + 1]; ++k)
                    if (byTerm[k] != 0) addPart(byTerm[k]);
                putGroup(out, terms[id].key, terms[id].p, terms[id].len, parts);
            }
        };
        for (size_t f = 0; f < fields.size(); ++f) {
            FieldState& fs = fields[f];
            if (!fs.used) continue;
            int fk = static_cast<int>(f);
            emitTermsBelow(indexKey(fk, kTri));
            std::vector<uint64_t>& tv = fs.trigrams;
            sortTrigrams(tv, scratchTri);
            for (size_t i = 0; i < tv.size();) {
                uint32_t tri = static_cast<uint32_t>(tv[i] >> 32);
                const char t[3] = {static_cast<char>(tri >> 16), static_cast<char>((tri >> 8) & 0xff),
                                   static_cast<char>(tri & 0xff)};
                parts.clear();
                size_t j = i;
                bool zero = false;
                for (; j < tv.size() && static_cast<uint32_t>(tv[j] >> 32) == tri; ++j) zero = zero || (tv[j] & 0xffffffffu) == 0;
                if (zero) parts.push_back(0);
                for (size_t k = i; k < j; ++k)
                    if ((tv[k] & 0xffffffffu) != 0) addPart(static_cast<int>(tv[k] & 0xffffffffu));
                putGroup(out, indexKey(fk, kTri), t, 3, parts);
                i = j;
            }
            emitTermsBelow(indexKey(fk, kAny));
            if (!fs.any.empty()) {
                parts.clear();
                bool zero = false;
                for (int part : fs.any) zero = zero || part == 0;
                if (zero) parts.push_back(0);
                for (int part : fs.any)
                    if (part != 0) addPart(part);
                putGroup(out, indexKey(fk, kAny), "", 0, parts);
            }
        }
        emitTermsBelow(std::numeric_limits<int>::max());
        entries.clear();
        terms.clear();
        hashes.clear();
        std::fill(table.begin(), table.end(), 0);
        arena.clear();
        for (FieldState& fs : fields) {
            fs.trigrams.clear();
            fs.any.clear();
            fs.lastPart = -1;
            fs.multiMarked = false;
            fs.used = false;
            if (last) fs.part0.clear();
        }
        slots = 0;
    }
};

constexpr size_t kChunkSlots = 16384;

}  // namespace

void buildPostings(Record& rec, const std::function<void(const std::string&)>& emit,
                   const std::function<void(int, const Value&)>& also) {
    ChunkBuilder b(rec.design());
    std::string out;
    bool any = false;
    rec.forEachValue([&](int slot, const Value& v) {
        // A chunk ends between slots, so every value of a part stays in one chunk.
        if (b.slots >= kChunkSlots && slot != b.lastSlot) {
            b.finish(out, false);
            emit(out);
            any = true;
        }
        b.add(slot, v);
        if (also) also(slot, v);
    });
    b.finish(out, true);
    if (out.size() > 1 || !any) emit(out);
}

namespace {

const std::unordered_set<int>* deadOf(const IndexMeta& meta, int64_t run) {
    auto d = meta.dead.find(run);
    return (d == meta.dead.end() || d->second.empty()) ? nullptr : &d->second;
}

}  // namespace

IndexMetaPtr loadIndexMeta(Storage& st, int64_t base) {
    auto m = std::make_shared<IndexMeta>();
    m->runs = st.listRuns(base);
    st.listDead(base, [&](int64_t run, int rid) { m->dead[run].insert(rid); });
    st.readPending(base, [&](int rid, const unsigned char* p, size_t n) {
        auto r = std::make_unique<PendingRecord>();
        r->rid = rid;
        r->data.assign(reinterpret_cast<const char*>(p), n);
        const unsigned char* q = reinterpret_cast<const unsigned char*>(r->data.data());
        const unsigned char* e = q + r->data.size();
        bool shared = q < e && *q == kPendingShared;
        if (shared) {
            ++q;
            // Whole terms are rebuilt into a buffer of their own, sized
            // first so that views into it stay valid.
            size_t total = 0;
            uint64_t prevLen = 0;
            const unsigned char* x = q;
            while (x < e) {
                uint64_t key, sh, tl, cnt, d;
                if (!getVarint(x, e, key) || !getVarint(x, e, sh) || !getVarint(x, e, tl) ||
                    tl > static_cast<uint64_t>(e - x) || sh > prevLen)
                    break;
                x += tl;
                prevLen = sh + tl;
                total += static_cast<size_t>(prevLen);
                if (!getVarint(x, e, cnt)) break;
                for (uint64_t i = 0; i < cnt && getVarint(x, e, d); ++i) {
                }
            }
            r->terms.reserve(total);
        }
        std::string_view prev;
        while (q < e) {
            uint64_t key, sh = 0, tl, cnt;
            if (!getVarint(q, e, key) || (shared && !getVarint(q, e, sh)) || !getVarint(q, e, tl) ||
                tl > static_cast<uint64_t>(e - q) || sh > prev.size())
                break;
            std::string_view term(reinterpret_cast<const char*>(q), tl);
            if (shared) {
                size_t at = r->terms.size();
                r->terms.append(prev.data(), static_cast<size_t>(sh));
                r->terms.append(reinterpret_cast<const char*>(q), static_cast<size_t>(tl));
                term = std::string_view(r->terms.data() + at, static_cast<size_t>(sh + tl));
                prev = term;
            }
            q += tl;
            if (!getVarint(q, e, cnt)) break;
            const unsigned char* parts = q;
            uint64_t d;
            for (uint64_t i = 0; i < cnt && getVarint(q, e, d); ++i) {
            }
            r->groups.push_back(PendingRecord::Group{static_cast<int>(key), term, parts, static_cast<uint32_t>(cnt)});
        }
        m->pending.push_back(std::move(r));
    });
    return m;
}

namespace {

bool groupBefore(const PendingRecord::Group& g, int key, std::string_view term) {
    return g.key != key ? g.key < key : g.term < term;
}

void addGroupHits(const PendingRecord& r, const PendingRecord::Group& g, HitList& out) {
    const unsigned char* q = g.parts;
    const unsigned char* e = reinterpret_cast<const unsigned char*>(r.data.data()) + r.data.size();
    uint64_t part = 0;
    for (uint32_t i = 0; i < g.count; ++i) {
        uint64_t d;
        if (!getVarint(q, e, d)) return;
        part += d;
        out.push_back(mkHit(r.rid, static_cast<int>(part)));
    }
}

// Pending entries of key with lo <= term < hi (hiOpen: no bound), record by record.
template <typename Fn>
void scanPending(const IndexMeta& meta, int key, std::string_view lo, std::string_view hi, bool hiOpen, Fn fn) {
    for (const auto& r : meta.pending) {
        auto it = std::lower_bound(r->groups.begin(), r->groups.end(), 0,
                                   [&](const PendingRecord::Group& g, int) { return groupBefore(g, key, lo); });
        for (; it != r->groups.end() && it->key == key && (hiOpen || it->term < hi); ++it) fn(*r, *it);
    }
}

}  // namespace

void lookupTerm(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& term,
                HitList& out) {
    std::string hi = term;
    hi.push_back('\0');  // the next possible term
    size_t before = out.size();
    bool sorted = true;
    auto note = [&](size_t start) {
        if (start > before && start < out.size() && out[start - 1] >= out[start]) sorted = false;
    };
    for (const RunInfo& r : meta.runs) {
        const std::unordered_set<int>* dead = deadOf(meta, r.run);
        size_t start = out.size();
        forRunEntries(st, base, r, key, term, hi, false,
                      [&](std::string_view, const unsigned char* h, size_t hn) { decodeInto(h, hn, dead, out); });
        note(start);
    }
    {
        size_t start = out.size();
        scanPending(meta, key, term, hi, false,
                    [&](const PendingRecord& r, const PendingRecord::Group& g) { addGroupHits(r, g, out); });
        // A large record's entries are pending in several chunks, and values
        // of its main part may be in any of them.
        if (sorted && std::adjacent_find(out.begin() + static_cast<long>(start), out.end(),
                                         [](Hit a, Hit b) { return a >= b; }) != out.end())
            sorted = false;
        note(start);
    }
    if (!sorted) {
        HitList tail(out.begin() + static_cast<long>(before), out.end());
        sortUnique(tail);
        out.resize(before);
        out.insert(out.end(), tail.begin(), tail.end());
    }
}

void readTerm(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& term,
              TermPostings& out) {
    out.bytes.clear();
    out.segments.clear();
    out.pending.clear();
    std::string hi = term;
    hi.push_back('\0');
    for (const RunInfo& r : meta.runs) {
        const std::unordered_set<int>* dead = deadOf(meta, r.run);
        forRunEntries(st, base, r, key, term, hi, false, [&](std::string_view, const unsigned char* h, size_t hn) {
            out.segments.push_back({out.bytes.size(), hn, dead});
            out.bytes.append(reinterpret_cast<const char*>(h), hn);
        });
    }
    scanPending(meta, key, term, hi, false,
                [&](const PendingRecord& r, const PendingRecord::Group& g) { addGroupHits(r, g, out.pending); });
    sortUnique(out.pending);
}

void decodeTerm(const TermPostings& tp, HitList& out) {
    out.clear();
    out.reserve(tp.estimate());
    const unsigned char* base = reinterpret_cast<const unsigned char*>(tp.bytes.data());
    for (const auto& s : tp.segments) decodeInto(base + s.offset, s.length, s.dead, out);
    out.insert(out.end(), tp.pending.begin(), tp.pending.end());
    sortUnique(out);
}

namespace {

// Past n varints without decoding them: each byte without its high bit ends
// one, so eight bytes at a time while more than eight are left (the last end
// then lies past the word).
const unsigned char* skipVarints(const unsigned char* p, const unsigned char* end, uint64_t n) {
    while (n > 8 && end - p >= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        n -= static_cast<uint64_t>(__builtin_popcountll(~w & 0x8080808080808080ull));
        p += 8;
    }
    while (n > 0 && p < end)
        if (!(*p++ & 0x80)) --n;
    return p;
}

}  // namespace

void intersectTerm(const TermPostings& tp, const HitList& with, HitList& out) {
    out.clear();
    if (with.empty()) return;
    const unsigned char* base = reinterpret_cast<const unsigned char*>(tp.bytes.data());
    const Hit* wb = with.data();
    const Hit* we = wb + with.size();
    for (const auto& s : tp.segments) {
        const unsigned char* p = base + s.offset;
        const unsigned char* end = p + s.length;
        const Hit* w = wb;
        uint64_t rid = 0;
        bool first = true;
        while (p < end) {
            uint64_t d, cnt;
            if (!getVarint(p, end, d) || !getVarint(p, end, cnt)) break;
            rid += d;
            Hit lo = mkHit(static_cast<int>(rid), 0);
            // Forward to the record in with: a search for a segment's first
            // record, then steps that double.
            if (first) {
                w = std::lower_bound(wb, we, lo);
                first = false;
            } else if (w < we && *w < lo) {
                size_t step = 1;
                const Hit* hi = w;
                while (hi < we && *hi < lo) {
                    w = hi + 1;
                    hi = static_cast<size_t>(we - hi) > step ? hi + step : we;
                    step *= 2;
                }
                w = std::lower_bound(w, hi, lo);
            }
            bool keep = w < we && hitRid(*w) == static_cast<int>(rid) &&
                        !(s.dead && s.dead->count(static_cast<int>(rid)));
            if (!keep) {
                // Past the parts of this record without decoding them.
                p = skipVarints(p, end, cnt);
                continue;
            }
            // The parts are decoded as far as the last one of this record
            // that with holds; the rest are skipped.
            const int r = static_cast<int>(rid);
            uint64_t part = 0, i = 0;
            bool damaged = false;
            while (w < we && hitRid(*w) == r) {
                const uint64_t want = static_cast<uint64_t>(hitPart(*w));
                while (i < cnt && (i == 0 || part < want)) {
                    uint64_t dp;
                    if (p < end && *p < 0x80) {
                        dp = *p++;
                    } else if (!getVarint(p, end, dp)) {
                        damaged = true;
                        break;
                    }
                    part += dp;
                    ++i;
                }
                if (damaged || i == 0 || part < want) break;  // this record has no part as high
                if (part == want) out.push_back(*w);
                ++w;
            }
            if (damaged) break;
            p = skipVarints(p, end, cnt - i);
            // Nothing of with is left for the rest of this run.
            if (w == we) break;
        }
    }
    if (!tp.pending.empty()) {
        HitList p = hitAnd(tp.pending, with);
        out.insert(out.end(), p.begin(), p.end());
    }
    sortUnique(out);
}

void lookupRange(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& lo,
                 const std::string& hi, bool hiOpen, const std::function<bool(std::string_view)>& accept,
                 HitList& out) {
    for (const RunInfo& r : meta.runs) {
        const std::unordered_set<int>* dead = deadOf(meta, r.run);
        forRunEntries(st, base, r, key, lo, hi, hiOpen, [&](std::string_view e, const unsigned char* h, size_t hn) {
            if (!accept || accept(e)) decodeInto(h, hn, dead, out);
        });
    }
    scanPending(meta, key, lo, hi, hiOpen, [&](const PendingRecord& r, const PendingRecord::Group& g) {
        if (!accept || accept(g.term)) addGroupHits(r, g, out);
    });
    sortUnique(out);
}

void listTerms(Storage& st, int64_t base, const IndexMeta& meta, int key,
               const std::function<void(const std::string&)>& fn) {
    HitList scratch;
    for (const RunInfo& r : meta.runs) {
        const std::unordered_set<int>* dead = deadOf(meta, r.run);
        std::string cur;
        st.scanPostings(base, r.run, key, std::string(), std::string(), true,
                        [&](const unsigned char* t, size_t tn, int64_t first, const unsigned char* data,
                            size_t len) {
                            return forEntries(t, tn, first, data, len, cur,
                                              [&](std::string_view e, const unsigned char* h, size_t hn) {
                                                  if (dead) {
                                                      scratch.clear();
                                                      decodeInto(h, hn, dead, scratch);
                                                      if (scratch.empty()) return true;
                                                  }
                                                  fn(std::string(e));
                                                  return true;
                                              });
                        });
    }
    scanPending(meta, key, std::string_view(), std::string_view(), true,
                [&](const PendingRecord&, const PendingRecord::Group& g) { fn(std::string(g.term)); });
}

namespace {

// Hits of one term, encoded as they come in the rows encodeChunks makes, so
// that a term with millions of hits is held in its compact form only. Hits
// out of order (values of a record's main part from a later chunk) make it
// sort everything at the end instead.
struct RowWriter {
    std::vector<std::pair<int, std::string>> rows;
    std::string data, parts;
    int first = 0, rid = -1;
    uint64_t prevRid = 0, count = 0, prevPart = 0;
    size_t inChunk = 0;
    Hit last = 0;
    bool any = false, sorted = true;
    HitList rest;  // hits after the first one out of order

    void reset() {
        rows.clear();
        data.clear();
        parts.clear();
        first = 0;
        rid = -1;
        prevRid = count = prevPart = 0;
        inChunk = 0;
        last = 0;
        any = false;
        sorted = true;
        rest.clear();
    }

    void add(Hit h) {
        if (sorted && any && h <= last) sorted = false;
        last = h;
        any = true;
        if (!sorted) {
            rest.push_back(h);
            return;
        }
        if (hitRid(h) != rid) closeRecord();
        rid = hitRid(h);
        uint64_t part = static_cast<uint32_t>(hitPart(h));
        putVarint(parts, part - prevPart);
        prevPart = part;
        ++count;
    }
    void closeRecord() {
        if (count == 0) return;
        if (inChunk > 0 && inChunk + count > kChunkHits) closeRow();
        if (data.empty()) {
            first = rid;
            prevRid = 0;
        }
        putVarint(data, static_cast<uint64_t>(rid) - prevRid);
        prevRid = static_cast<uint64_t>(rid);
        putVarint(data, count);
        data += parts;
        inChunk += count;
        parts.clear();
        count = 0;
        prevPart = 0;
    }
    void closeRow() {
        if (!data.empty()) rows.emplace_back(first, std::move(data));
        data.clear();
        inChunk = 0;
        prevRid = 0;
    }
    template <typename Emit>
    void finish(Emit emit) {
        closeRecord();
        closeRow();
        if (sorted) {
            for (auto& r : rows) emit(r.first, r.second);
        } else {
            HitList all;
            for (auto& r : rows)
                decodeInto(reinterpret_cast<const unsigned char*>(r.second.data()), r.second.size(), nullptr, all);
            all.insert(all.end(), rest.begin(), rest.end());
            sortUnique(all);
            encodeChunks(all, emit);
        }
    }
};

// Reads one pending row group by group through a small window; rows are
// sorted by (key, term).
struct PendingCursor {
    static constexpr size_t kWindow = 16384;
    int rid = 0;
    std::unique_ptr<ByteSource> src;
    int64_t size = 0, off = 0;  // off: stream offset of buf's end
    std::vector<unsigned char> buf;
    size_t pos = 0;
    int key = 0;
    std::string term;
    uint64_t left = 0;  // parts of the current group not read yet
    bool started = false, shared = false;
    uint64_t pre = 0;  // the term's first eight bytes: most comparisons end here

    bool byte(unsigned char& c) {
        if (pos == buf.size()) {
            if (off >= size) return false;
            buf.resize(kWindow);
            size_t n = src->read(off, kWindow, buf.data());
            buf.resize(n);
            off += static_cast<int64_t>(n);
            pos = 0;
            if (n == 0) return false;
        }
        c = buf[pos++];
        return true;
    }
    bool varint(uint64_t& v) {
        // Most numbers are one byte, and most lie whole in the window.
        if (pos < buf.size() && buf[pos] < 0x80) {
            v = buf[pos++];
            return true;
        }
        if (buf.size() - pos >= 10) {
            const unsigned char* q = buf.data() + pos;
            const unsigned char* e = buf.data() + buf.size();
            if (!getVarint(q, e, v)) return false;
            pos = static_cast<size_t>(q - buf.data());
            return true;
        }
        v = 0;
        for (int shift = 0; shift <= 63; shift += 7) {
            unsigned char c;
            if (!byte(c)) return false;
            v |= static_cast<uint64_t>(c & 0x7f) << shift;
            if (!(c & 0x80)) return true;
        }
        return false;
    }
    // n bytes into out.
    bool bytes(char* out, size_t n) {
        while (n > 0) {
            if (pos == buf.size()) {
                unsigned char c;
                if (!byte(c)) return false;
                *out++ = static_cast<char>(c);
                --n;
                continue;
            }
            size_t take = std::min(n, buf.size() - pos);
            memcpy(out, buf.data() + pos, take);
            pos += take;
            out += take;
            n -= take;
        }
        return true;
    }
    bool next() {
        uint64_t d, k, sh = 0, tl;
        if (!started) {
            started = true;
            if (size > 0) {
                unsigned char c;
                if (!byte(c)) return false;
                if (c == static_cast<unsigned char>(kPendingShared))
                    shared = true;
                else
                    --pos;  // a row of the earlier form: the byte starts its first key
            }
        }
        for (; left > 0; --left)
            if (!varint(d)) return false;
        if (!varint(k) || (shared && !varint(sh)) || !varint(tl) || tl > static_cast<uint64_t>(size) ||
            sh > term.size())
            return false;
        key = static_cast<int>(k);
        size_t at = shared ? static_cast<size_t>(sh) : 0;
        term.resize(at + static_cast<size_t>(tl));
        if (tl > 0 && !bytes(&term[at], static_cast<size_t>(tl))) return false;
        pre = load64(term.data(), term.size());
        return varint(left);
    }
    void addHits(RowWriter& out) {
        uint64_t part = 0, d;
        for (; left > 0; --left) {
            if (!varint(d)) {
                left = 0;
                return;
            }
            part += d;
            out.add(mkHit(rid, static_cast<int>(part)));
        }
    }
};

// Folds every pending row of the base into one new run (tier 1): a merge of
// the records' sorted entries, each row read as a stream.
// Merges the sorted entries of the cursors into blocks of a run: hits of
// one term from several cursors are combined in cursor order.
void mergeCursors(std::vector<PendingCursor>& cur, BlockWriter& blocks) {
    std::vector<size_t> live;
    for (size_t i = 0; i < cur.size(); ++i)
        if (cur[i].next()) live.push_back(i);
    auto later = [&](size_t a, size_t b) {  // heap order: smallest (key, term, cursor) on top
        const PendingCursor &x = cur[a], &y = cur[b];
        if (x.key != y.key) return x.key > y.key;
        if (x.pre != y.pre) return x.pre > y.pre;
        int c = x.term.compare(y.term);
        if (c != 0) return c > 0;
        return a > b;
    };
    std::make_heap(live.begin(), live.end(), later);
    std::string term;
    RowWriter rows;
    while (!live.empty()) {
        const PendingCursor& top = cur[live.front()];
        int key = top.key;
        term = top.term;
        rows.reset();
        uint64_t pre = top.pre;
        while (!live.empty() && cur[live.front()].key == key && cur[live.front()].pre == pre &&
               cur[live.front()].term == term) {
            std::pop_heap(live.begin(), live.end(), later);
            size_t i = live.back();
            live.pop_back();
            cur[i].addHits(rows);
            if (cur[i].next()) {
                live.push_back(i);
                std::push_heap(live.begin(), live.end(), later);
            }
        }
        rows.finish([&](int first, const std::string& data) { blocks.add(key, term, first, data); });
    }
    blocks.flush();
}

// Folds every pending row of the base into one new run (tier 1): a merge of
// the records' sorted entries, each row read as a stream.
void foldPending(Storage& st, int64_t base) {
    std::vector<PendingRef> refs;
    st.listPending(base, refs);
    if (refs.empty()) return;
    std::vector<PendingCursor> cur(refs.size());
    for (size_t i = 0; i < refs.size(); ++i) {  // in (rid, chunk) order
        PendingCursor& c = cur[i];
        c.rid = refs[i].rid;
        c.size = refs[i].size;
        c.src = st.openPending(refs[i].id);
    }
    int64_t run = st.createRun(base, 1);
    BlockWriter blocks(st, base, run);
    mergeCursors(cur, blocks);
    cur.clear();
    st.moveRecordsToRun(base, 0, run);
    st.clearPending(base);
}

// Chunks of one record's entries kept in an unnamed temporary file until
// they are merged.
class ScratchFile {
public:
    ScratchFile() : fp_(tmpfile()) {
        if (!fp_) throw StorageError(std::string("cannot create a temporary file for index entries: ") + strerror(errno));
    }
    ~ScratchFile() { fclose(fp_); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    int64_t append(const std::string& data) {
        int64_t at = size_;
        if (!data.empty() && fwrite(data.data(), 1, data.size(), fp_) != data.size())
            throw StorageError(std::string("cannot write index entries to a temporary file: ") + strerror(errno));
        size_ += static_cast<int64_t>(data.size());
        return at;
    }
    void done() {
        if (fflush(fp_) != 0)
            throw StorageError(std::string("cannot write index entries to a temporary file: ") + strerror(errno));
    }
    int fd() const { return fileno(fp_); }

private:
    FILE* fp_;
    int64_t size_ = 0;
};

class ScratchSource : public ByteSource {
public:
    ScratchSource(const ScratchFile& f, int64_t start) : f_(f), start_(start) {}
    size_t read(int64_t offset, size_t n, unsigned char* out) override {
        ssize_t r = pread(f_.fd(), out, n, start_ + offset);
        if (r < 0) throw StorageError(std::string("cannot read index entries from a temporary file: ") + strerror(errno));
        return static_cast<size_t>(r);
    }

private:
    const ScratchFile& f_;
    int64_t start_;
};

// The entries of a run in (key, term) order, row by row.
struct EntryCursor {
    std::unique_ptr<RunCursor> cur;
    PostingRow row;
    const std::unordered_set<int>* dead = nullptr;
    bool valid = false;
    int key = 0;
    std::string term;
    const unsigned char* hits = nullptr;
    size_t hitLen = 0;
    const unsigned char* p = nullptr;  // next entry of the row
    const unsigned char* end = nullptr;

    bool nextRow() {
        for (;;) {
            if (!cur->next(row)) return valid = false;
            key = row.key;
            term = row.term;
            p = reinterpret_cast<const unsigned char*>(row.data.data());
            end = p + row.data.size();
            if (row.first > 0) {  // a row of the earlier form: one entry
                hits = p;
                hitLen = row.data.size();
                p = end;
                return valid = true;
            }
            if (entry()) return valid = true;
        }
    }
    bool entry() { return readBlockEntry(p, end, term, hits, hitLen); }
    void next() {
        if (!entry()) nextRow();
    }
};

void mergeTier(Storage& st, int64_t base, int tier, const std::vector<int64_t>& inputs) {
    IndexMetaPtr meta = loadIndexMeta(st, base);
    int64_t out = st.createRun(base, tier + 1);
    BlockWriter blocks(st, base, out);
    std::vector<EntryCursor> in(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        in[i].cur = st.openRun(base, inputs[i]);
        in[i].dead = deadOf(*meta, inputs[i]);
        in[i].nextRow();
    }
    HitList hits;
    std::string term;
    for (;;) {
        const EntryCursor* min = nullptr;
        for (auto& x : in)
            if (x.valid && (!min || x.key < min->key || (x.key == min->key && x.term < min->term))) min = &x;
        if (!min) break;
        int key = min->key;
        term = min->term;
        hits.clear();
        bool sorted = true;
        for (auto& x : in) {
            while (x.valid && x.key == key && x.term == term) {
                size_t start = hits.size();
                decodeInto(x.hits, x.hitLen, x.dead, hits);
                if (start > 0 && start < hits.size() && hits[start - 1] >= hits[start]) sorted = false;
                x.next();
            }
        }
        if (hits.empty()) continue;
        if (!sorted) sortUnique(hits);
        encodeChunks(hits, [&](int first, const std::string& data) { blocks.add(key, term, first, data); });
    }
    blocks.flush();
    for (auto& x : in) x.cur.reset();
    for (int64_t r : inputs) {
        st.moveRecordsToRun(base, r, out);
        st.dropRun(base, r);
    }
}

}  // namespace

int64_t writeRecordIndex(Storage& st, int64_t base, int rid, Record& rec,
                         const std::function<void(int, const Value&)>& also) {
    std::string first;
    std::unique_ptr<ScratchFile> file;
    std::vector<std::pair<int64_t, int64_t>> chunks;  // (offset, size) in file
    int n = 0;
    buildPostings(
        rec,
        [&](const std::string& data) {
            if (n++ == 0) {
                first = data;
                return;
            }
            if (!file) {
                file = std::make_unique<ScratchFile>();
                chunks.emplace_back(file->append(first), static_cast<int64_t>(first.size()));
                std::string().swap(first);
            }
            chunks.emplace_back(file->append(data), static_cast<int64_t>(data.size()));
        },
        also);
    if (!file) {
        st.putPending(base, rid, 0, first);
        return 0;
    }
    // A record of many parts gets a run of its own at once: its entries are
    // never written as pending rows only to be read back and deleted.
    file->done();
    std::vector<PendingCursor> cur(chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
        cur[i].rid = rid;
        cur[i].size = chunks[i].second;
        cur[i].src = std::make_unique<ScratchSource>(*file, chunks[i].first);
    }
    int64_t run = st.createRun(base, 1);
    BlockWriter blocks(st, base, run);
    mergeCursors(cur, blocks);
    return run;
}

bool mergeRuns(Storage& st, int64_t base) {
    bool changed = false;
    int pendingRecords = 0;
    int64_t pendingBytes = 0;
    st.pendingSize(base, pendingRecords, pendingBytes);
    if (pendingRecords >= kPendingRecords || pendingBytes >= kPendingBytes) {
        st.begin();
        try {
            foldPending(st, base);
            st.commit();
        } catch (...) {
            st.rollback();
            throw;
        }
        changed = true;
    }
    for (;;) {
        std::vector<RunInfo> runs = st.listRuns(base);
        std::map<int, std::vector<int64_t>> byTier;
        for (const RunInfo& r : runs) byTier[r.tier].push_back(r.run);
        int tier = -1;
        for (auto& kv : byTier)
            if (kv.second.size() >= kMergeFanIn) {
                tier = kv.first;
                break;
            }
        if (tier < 0) return changed;
        std::vector<int64_t> inputs(byTier[tier].begin(), byTier[tier].begin() + kMergeFanIn);
        st.begin();
        try {
            // Another process may have merged these runs meanwhile.
            std::vector<RunInfo> now = st.listRuns(base);
            size_t present = 0;
            for (const RunInfo& r : now)
                if (std::find(inputs.begin(), inputs.end(), r.run) != inputs.end()) ++present;
            if (present == inputs.size()) mergeTier(st, base, tier, inputs);
            st.commit();
        } catch (...) {
            st.rollback();
            throw;
        }
        changed = true;
    }
}

}  // namespace vdbs
