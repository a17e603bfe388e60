#include "index.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "util.h"

namespace vdbs {
namespace {

constexpr size_t kLongExact = 1024;
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


// One index entry while a record's postings are built: the term points into
// the record's values or into the numeric/long-term arena.
struct Entry {
    int key;
    int part;
    const char* p;
    uint32_t len;
    uint64_t pre;  // key and the first four term bytes: most comparisons end here
};

Entry mkEntry(int key, int part, const char* p, uint32_t len) {
    uint64_t pre = static_cast<uint64_t>(static_cast<uint32_t>(key)) << 32;
    for (uint32_t i = 0; i < 4 && i < len; ++i)
        pre |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (24 - 8 * i);
    return Entry{key, part, p, len, pre};
}

bool entryLess(const Entry& a, const Entry& b) {
    if (a.pre != b.pre) return a.pre < b.pre;
    size_t n = std::min(a.len, b.len);
    int c = n > 4 ? memcmp(a.p + 4, b.p + 4, n - 4) : 0;
    if (c != 0) return c < 0;
    if (a.len != b.len) return a.len < b.len;
    return a.part < b.part;
}

bool sameTerm(const Entry& a, const Entry& b) {
    return a.key == b.key && a.len == b.len && (a.len == 0 || memcmp(a.p, b.p, a.len) == 0);
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

// Entries of one chunk of slots, turned into sorted groups.
struct ChunkBuilder {
    const Design& d;
    std::vector<Entry> entries;
    std::vector<std::unique_ptr<std::string>> arena;  // generated terms; stable addresses
    std::vector<std::unique_ptr<std::string>> kept;   // values of slots read from storage
    std::vector<Entry> exactSeen;  // (field, part) exact terms, for the "several values" marker
    // Trigrams are most of a text's entries: kept as plain integers (trigram, part).
    std::map<int, std::vector<uint64_t>> trigrams;
    // Parts with a value of a field, in slot order (part 0 anywhere): they
    // need no sort.
    std::map<int, std::vector<int>> any;
    // Part 0 values may come from any slot: their marker is decided at the end.
    std::map<int, std::set<std::string>> part0;
    size_t slots = 0;
    int lastSlot = -1;
    static constexpr char kEmpty = 0;

    explicit ChunkBuilder(const Design& design) : d(design) {}

    void add(int slot, const Value& vRef, bool stable) {
        const FieldDef* f = d.field(vRef.field);
        if (!f || f->type == 20) return;
        if (slot != lastSlot) {
            ++slots;
            lastSlot = slot;
        }
        if (!stable) kept.push_back(std::make_unique<std::string>(vRef.data));
        const std::string& v = stable ? vRef.data : *kept.back();
        int part = (vRef.flags & (kPart | kNode)) ? slot : 0;
        int fk = vRef.field;
        if (v.size() <= kLongExact) {
            entries.push_back(mkEntry(indexKey(fk, kExact), part, v.data(), static_cast<uint32_t>(v.size())));
        } else {
            arena.push_back(std::make_unique<std::string>(exactTerm(v)));
            entries.push_back(mkEntry(indexKey(fk, kExact), part, arena.back()->data(),
                                      static_cast<uint32_t>(arena.back()->size())));
        }
        if (part == 0)
            part0[fk].insert(std::string(entries.back().p, entries.back().len));
        else
            exactSeen.push_back(mkEntry(fk, part, entries.back().p, entries.back().len));
        any[fk].push_back(part);
        double num;
        if (numericKeys(f->type) && parseXPathNumber(v, num)) {
            arena.push_back(std::make_unique<std::string>(numTerm(num)));
            entries.push_back(mkEntry(indexKey(fk, kNum), part, arena.back()->data(), 8));
        }
        if (f->type == 1) {
            size_t n = std::min(v.size(), kTrigramLimit);
            std::vector<uint64_t>& tv = trigrams[fk];
            for (size_t i = 0; i + 3 <= n; ++i) {
                uint64_t tri = (static_cast<uint64_t>(static_cast<unsigned char>(v[i])) << 16) |
                               (static_cast<uint64_t>(static_cast<unsigned char>(v[i + 1])) << 8) |
                               static_cast<unsigned char>(v[i + 2]);
                tv.push_back((tri << 32) | static_cast<uint32_t>(part));
            }
            if (v.size() > kTrigramLimit) entries.push_back(mkEntry(indexKey(fk, kLong), part, &kEmpty, 0));
        }
    }

    void finish(RecordPostings& out, bool last) {
        out.clear();
        // Parts with two different values of a field (a part's values share its slot).
        std::sort(exactSeen.begin(), exactSeen.end(), [](const Entry& a, const Entry& b) {
            return a.key != b.key ? a.key < b.key : a.part < b.part;
        });
        for (size_t i = 0; i < exactSeen.size();) {
            size_t j = i + 1;
            bool multi = false;
            while (j < exactSeen.size() && exactSeen[j].key == exactSeen[i].key &&
                   exactSeen[j].part == exactSeen[i].part) {
                if (exactSeen[j].len != exactSeen[i].len ||
                    memcmp(exactSeen[j].p, exactSeen[i].p, exactSeen[i].len) != 0)
                    multi = true;
                ++j;
            }
            if (multi) entries.push_back(mkEntry(indexKey(exactSeen[i].key, kMulti), exactSeen[i].part, &kEmpty, 0));
            i = j;
        }
        if (last)
            for (auto& kv : part0)
                if (kv.second.size() > 1) entries.push_back(mkEntry(indexKey(kv.first, kMulti), 0, &kEmpty, 0));
        std::sort(entries.begin(), entries.end(), entryLess);
        for (size_t i = 0; i < entries.size();) {
            PostingGroup g;
            g.key = entries[i].key;
            g.term.assign(entries[i].p, entries[i].len);
            size_t j = i;
            while (j < entries.size() && sameTerm(entries[j], entries[i])) {
                if (g.parts.empty() || g.parts.back() != entries[j].part) g.parts.push_back(entries[j].part);
                ++j;
            }
            out.push_back(std::move(g));
            i = j;
        }
        for (auto& kv : any) {
            PostingGroup g;
            g.key = indexKey(kv.first, kAny);
            bool main = false;
            for (int part : kv.second) main = main || part == 0;
            if (main) g.parts.push_back(0);
            for (int part : kv.second)
                if (part != 0 && (g.parts.empty() || g.parts.back() != part)) g.parts.push_back(part);
            out.push_back(std::move(g));
        }
        for (auto& kv : trigrams) {
            std::vector<uint64_t>& tv = kv.second;
            std::sort(tv.begin(), tv.end());
            for (size_t i = 0; i < tv.size();) {
                uint32_t tri = static_cast<uint32_t>(tv[i] >> 32);
                PostingGroup g;
                g.key = indexKey(kv.first, kTri);
                g.term = {static_cast<char>(tri >> 16), static_cast<char>((tri >> 8) & 0xff),
                          static_cast<char>(tri & 0xff)};
                size_t j = i;
                while (j < tv.size() && static_cast<uint32_t>(tv[j] >> 32) == tri) {
                    int part = static_cast<int>(tv[j] & 0xffffffffu);
                    if (g.parts.empty() || g.parts.back() != part) g.parts.push_back(part);
                    ++j;
                }
                out.push_back(std::move(g));
                i = j;
            }
        }
        // Sorted groups let the fold into a run merge records without a map.
        std::sort(out.begin(), out.end(), [](const PostingGroup& a, const PostingGroup& b) {
            return a.key != b.key ? a.key < b.key : a.term < b.term;
        });
        entries.clear();
        arena.clear();
        kept.clear();
        exactSeen.clear();
        trigrams.clear();
        any.clear();
        slots = 0;
    }
};

constexpr size_t kChunkSlots = 16384;

}  // namespace

void buildPostings(Record& rec, const std::function<void(RecordPostings&)>& emit,
                   const std::function<void(int, const Value&)>& also) {
    ChunkBuilder b(rec.design());
    RecordPostings out;
    // Flushing may drop slots of a streamed record from memory: only after it
    // is it known whether values stay put while they are read.
    rec.flush();
    bool stable = rec.inMemory();
    bool any = false;
    rec.forEachValue([&](int slot, const Value& v) {
        // A chunk ends between slots, so every value of a part stays in one chunk.
        if (b.slots >= kChunkSlots && slot != b.lastSlot) {
            b.finish(out, false);
            emit(out);
            any = true;
        }
        b.add(slot, v, stable);
        if (also) also(slot, v);
    });
    b.finish(out, true);
    if (!out.empty() || !any) emit(out);
}

std::string encodePending(const RecordPostings& p) {
    std::string out;
    for (const PostingGroup& g : p) {
        putVarint(out, static_cast<uint64_t>(g.key));
        putVarint(out, g.term.size());
        out.append(g.term);
        putVarint(out, g.parts.size());
        uint64_t prev = 0;
        for (int part : g.parts) {
            putVarint(out, static_cast<uint64_t>(part) - prev);
            prev = static_cast<uint64_t>(part);
        }
    }
    return out;
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
        while (q < e) {
            uint64_t key, tl, cnt;
            if (!getVarint(q, e, key) || !getVarint(q, e, tl) || tl > static_cast<uint64_t>(e - q)) break;
            std::string_view term(reinterpret_cast<const char*>(q), tl);
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
        st.scanPostings(base, r.run, key, term, hi, false,
                        [&](const unsigned char*, size_t, int, const unsigned char* data, size_t len) {
                            decodeInto(data, len, dead, out);
                            return true;
                        });
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

void lookupRange(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& lo,
                 const std::string& hi, bool hiOpen, const std::function<bool(std::string_view)>& accept,
                 HitList& out) {
    for (const RunInfo& r : meta.runs) {
        const std::unordered_set<int>* dead = deadOf(meta, r.run);
        st.scanPostings(base, r.run, key, lo, hi, hiOpen,
                        [&](const unsigned char* t, size_t tn, int, const unsigned char* data, size_t len) {
                            if (!accept || accept(std::string_view(reinterpret_cast<const char*>(t), tn)))
                                decodeInto(data, len, dead, out);
                            return true;
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
        st.scanPostings(base, r.run, key, std::string(), std::string(), true,
                        [&](const unsigned char* t, size_t tn, int, const unsigned char* data, size_t len) {
                            if (dead) {
                                scratch.clear();
                                decodeInto(data, len, dead, scratch);
                                if (scratch.empty()) return true;
                            }
                            fn(std::string(reinterpret_cast<const char*>(t), tn));
                            return true;
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
        v = 0;
        for (int shift = 0; shift <= 63; shift += 7) {
            unsigned char c;
            if (!byte(c)) return false;
            v |= static_cast<uint64_t>(c & 0x7f) << shift;
            if (!(c & 0x80)) return true;
        }
        return false;
    }
    bool next() {
        uint64_t d, k, tl;
        for (; left > 0; --left)
            if (!varint(d)) return false;
        if (!varint(k) || !varint(tl) || tl > static_cast<uint64_t>(size)) return false;
        key = static_cast<int>(k);
        term.resize(static_cast<size_t>(tl));
        for (size_t i = 0; i < term.size(); ++i) {
            unsigned char c;
            if (!byte(c)) return false;
            term[i] = static_cast<char>(c);
        }
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
void foldPending(Storage& st, int64_t base) {
    std::vector<PendingRef> refs;
    st.listPending(base, refs);
    if (refs.empty()) return;
    std::vector<PendingCursor> cur(refs.size());
    std::vector<size_t> live;
    for (size_t i = 0; i < refs.size(); ++i) {
        PendingCursor& c = cur[i];
        c.rid = refs[i].rid;
        c.size = refs[i].size;
        c.src = st.openPending(refs[i].id);
        if (c.next()) live.push_back(i);
    }
    auto later = [&](size_t a, size_t b) {  // heap order: smallest (key, term, rid) on top
        const PendingCursor &x = cur[a], &y = cur[b];
        if (x.key != y.key) return x.key > y.key;
        if (x.term != y.term) return x.term > y.term;
        return a > b;  // cursors are in (rid, chunk) order
    };
    std::make_heap(live.begin(), live.end(), later);
    int64_t run = st.createRun(base, 1);
    std::string term;
    while (!live.empty()) {
        const PendingCursor& top = cur[live.front()];
        int key = top.key;
        term = top.term;
        RowWriter rows;
        while (!live.empty() && cur[live.front()].key == key && cur[live.front()].term == term) {
            std::pop_heap(live.begin(), live.end(), later);
            size_t i = live.back();
            live.pop_back();
            cur[i].addHits(rows);
            if (cur[i].next()) {
                live.push_back(i);
                std::push_heap(live.begin(), live.end(), later);
            }
        }
        rows.finish([&](int first, const std::string& data) { st.putPosting(base, run, key, term, first, data); });
    }
    cur.clear();
    st.moveRecordsToRun(base, 0, run);
    st.clearPending(base);
}

void mergeTier(Storage& st, int64_t base, int tier, const std::vector<int64_t>& inputs) {
    IndexMetaPtr meta = loadIndexMeta(st, base);
    int64_t out = st.createRun(base, tier + 1);
    struct Input {
        std::unique_ptr<RunCursor> cur;
        PostingRow row;
        bool valid = false;
        const std::unordered_set<int>* dead = nullptr;
    };
    std::vector<Input> in(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        in[i].cur = st.openRun(base, inputs[i]);
        in[i].valid = in[i].cur->next(in[i].row);
        in[i].dead = deadOf(*meta, inputs[i]);
    }
    HitList hits;
    for (;;) {
        const PostingRow* min = nullptr;
        for (auto& x : in)
            if (x.valid && (!min || x.row.key < min->key || (x.row.key == min->key && x.row.term < min->term)))
                min = &x.row;
        if (!min) break;
        int key = min->key;
        std::string term = min->term;
        hits.clear();
        bool sorted = true;
        for (auto& x : in) {
            while (x.valid && x.row.key == key && x.row.term == term) {
                size_t start = hits.size();
                decodeInto(reinterpret_cast<const unsigned char*>(x.row.data.data()), x.row.data.size(), x.dead, hits);
                if (start > 0 && start < hits.size() && hits[start - 1] >= hits[start]) sorted = false;
                x.valid = x.cur->next(x.row);
            }
        }
        if (hits.empty()) continue;
        if (!sorted) sortUnique(hits);
        encodeChunks(hits, [&](int first, const std::string& data) { st.putPosting(base, out, key, term, first, data); });
    }
    for (auto& x : in) x.cur.reset();
    for (int64_t r : inputs) {
        st.moveRecordsToRun(base, r, out);
        st.dropRun(base, r);
    }
}

}  // namespace

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
