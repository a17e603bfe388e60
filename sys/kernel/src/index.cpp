#include "index.h"

#include <algorithm>
#include <cstring>

#include "util.h"

namespace vdbs {
namespace {

constexpr size_t kLongExact = 1024;
constexpr size_t kChunkHits = 65536;
constexpr size_t kMergeFanIn = 8;

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
    while (i < hits.size()) {
        std::string data;
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

void addTrigrams(std::string_view v, int key, int part, Postings& out) {
    size_t n = std::min(v.size(), kTrigramLimit);
    if (n < 3) return;
    std::unordered_set<uint32_t> seen;
    for (size_t i = 0; i + 3 <= n; ++i) {
        uint32_t t = (static_cast<uint32_t>(static_cast<unsigned char>(v[i])) << 16) |
                     (static_cast<uint32_t>(static_cast<unsigned char>(v[i + 1])) << 8) |
                     static_cast<unsigned char>(v[i + 2]);
        if (!seen.insert(t).second) continue;
        out[{key, std::string(v.substr(i, 3))}].push_back(part);
    }
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
    for (int i = 0; i < 8; ++i) t[i] = static_cast<char>((bits >> (56 - 8 * i)) & 0xff);
    return t;
}

void buildPostings(Record& rec, Postings& out) {
    const Design& d = rec.design();
    // (field, part) -> first exact term seen, to find parts with several values
    std::map<std::pair<int, int>, std::string> firstTerm;
    std::set<std::pair<int, int>> multi;
    rec.forEachValue([&](int slot, const Value& v) {
        const FieldDef* f = d.field(v.field);
        if (!f || f->type == 20) return;
        int part = (v.flags & (kPart | kNode)) ? slot : 0;
        std::string term = exactTerm(v.data);
        out[{indexKey(v.field, kExact), term}].push_back(part);
        out[{indexKey(v.field, kAny), std::string()}].push_back(part);
        double num;
        if (parseXPathNumber(v.data, num)) out[{indexKey(v.field, kNum), numTerm(num)}].push_back(part);
        if (f->type == 1) {
            addTrigrams(v.data, indexKey(v.field, kTri), part, out);
            if (v.data.size() > kTrigramLimit) out[{indexKey(v.field, kLong), std::string()}].push_back(part);
        }
        auto key = std::make_pair(v.field, part);
        auto it = firstTerm.find(key);
        if (it == firstTerm.end())
            firstTerm.emplace(key, term);
        else if (it->second != term)
            multi.insert(key);
    });
    for (auto& m : multi) out[{indexKey(m.first, kMulti), std::string()}].push_back(m.second);
    for (auto& kv : out) {
        std::vector<int>& parts = kv.second;
        std::sort(parts.begin(), parts.end());
        parts.erase(std::unique(parts.begin(), parts.end()), parts.end());
    }
}

int64_t writeRun(Storage& st, int64_t base, int rid, const Postings& p) {
    int64_t run = st.createRun(base, 0);
    std::string data;
    for (auto& kv : p) {
        data.clear();
        putVarint(data, static_cast<uint64_t>(rid));
        putVarint(data, kv.second.size());
        uint64_t prev = 0;
        for (int part : kv.second) {
            putVarint(data, static_cast<uint64_t>(part) - prev);
            prev = static_cast<uint64_t>(part);
        }
        st.putPosting(base, run, kv.first.first, kv.first.second, rid, data);
    }
    return run;
}

IndexMetaPtr loadIndexMeta(Storage& st, int64_t base) {
    auto m = std::make_shared<IndexMeta>();
    m->runs = st.listRuns(base);
    st.listDead(base, [&](int64_t run, int rid) { m->dead[run].insert(rid); });
    return m;
}

void lookupTerm(Storage& st, int64_t base, const IndexMeta& meta, int key, const std::string& term,
                HitList& out) {
    std::string hi = term;
    hi.push_back('\0');  // the next possible term
    size_t before = out.size();
    bool sorted = true;
    for (const RunInfo& r : meta.runs) {
        auto d = meta.dead.find(r.run);
        const std::unordered_set<int>* dead = (d == meta.dead.end() || d->second.empty()) ? nullptr : &d->second;
        size_t start = out.size();
        st.scanPostings(base, r.run, key, term, hi, false,
                        [&](const unsigned char*, size_t, int, const unsigned char* data, size_t len) {
                            decodeInto(data, len, dead, out);
                            return true;
                        });
        if (start > before && start < out.size() && out[start - 1] >= out[start]) sorted = false;
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
        auto d = meta.dead.find(r.run);
        const std::unordered_set<int>* dead = (d == meta.dead.end() || d->second.empty()) ? nullptr : &d->second;
        st.scanPostings(base, r.run, key, lo, hi, hiOpen,
                        [&](const unsigned char* t, size_t tn, int, const unsigned char* data, size_t len) {
                            if (!accept || accept(std::string_view(reinterpret_cast<const char*>(t), tn)))
                                decodeInto(data, len, dead, out);
                            return true;
                        });
    }
    sortUnique(out);
}

bool mergeRuns(Storage& st, int64_t base) {
    bool merged = false;
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
        if (tier < 0) return merged;
        std::vector<int64_t> inputs(byTier[tier].begin(), byTier[tier].begin() + kMergeFanIn);

        st.begin();
        try {
            // Another process may have merged these runs meanwhile.
            std::vector<RunInfo> now = st.listRuns(base);
            size_t present = 0;
            for (const RunInfo& r : now)
                if (std::find(inputs.begin(), inputs.end(), r.run) != inputs.end()) ++present;
            if (present != inputs.size()) {
                st.commit();
                continue;
            }
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
                auto d = meta->dead.find(inputs[i]);
                if (d != meta->dead.end() && !d->second.empty()) in[i].dead = &d->second;
            }
            HitList hits;
            for (;;) {
                const PostingRow* min = nullptr;
                for (auto& x : in)
                    if (x.valid && (!min || x.row.key < min->key ||
                                    (x.row.key == min->key && x.row.term < min->term)))
                        min = &x.row;
                if (!min) break;
                int key = min->key;
                std::string term = min->term;
                hits.clear();
                for (auto& x : in) {
                    while (x.valid && x.row.key == key && x.row.term == term) {
                        decodeInto(reinterpret_cast<const unsigned char*>(x.row.data.data()), x.row.data.size(),
                                   x.dead, hits);
                        x.valid = x.cur->next(x.row);
                    }
                }
                if (hits.empty()) continue;
                sortUnique(hits);
                encodeChunks(hits, [&](int first, const std::string& data) {
                    st.putPosting(base, out, key, term, first, data);
                });
            }
            for (auto& x : in) x.cur.reset();
            for (int64_t r : inputs) {
                st.moveRecordsToRun(base, r, out);
                st.dropRun(base, r);
            }
            st.commit();
            merged = true;
        } catch (...) {
            st.rollback();
            throw;
        }
    }
}

}  // namespace vdbs

namespace vdbs {
void listTerms(Storage& st, int64_t base, const IndexMeta& meta, int key,
               const std::function<void(const std::string&)>& fn) {
    HitList scratch;
    for (const RunInfo& r : meta.runs) {
        auto d = meta.dead.find(r.run);
        const std::unordered_set<int>* dead = (d == meta.dead.end() || d->second.empty()) ? nullptr : &d->second;
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
}
}  // namespace vdbs
