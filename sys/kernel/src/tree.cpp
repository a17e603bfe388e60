#include "tree.h"

#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "record.h"
#include "util.h"

namespace vdbs {
namespace {

const char* kAxisNames[] = {"",          "child",     "attribute",         "descendant",        "ancestor",
                            "ancestor-or-self", "descendant-or-self", "self", "following-sibling",
                            "preceding-sibling", "parent", "following", "preceding", "namespace"};

// Scratch arrays indexed by pre rank, reused across records; a generation
// number tells set entries from stale ones without clearing. The arrays are
// taken from the system unwritten (the generations zeroed by it), so that a
// join that marks a few nodes of a very large tree touches a few pages only.
struct Scratch {
    uint32_t* gen = nullptr;
    int32_t* val = nullptr;
    int32_t* seen = nullptr;  // a second value per entry (positions)
    size_t size = 0;
    uint32_t cur = 0;
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { release(); }
    void release() {
        free(gen);
        free(val);
        free(seen);
        gen = nullptr;
        val = seen = nullptr;
        size = 0;
    }
    // Marks for n entries, and a value per entry when values: each array is
    // made on first need (a large tree's would be tens of MB to clear).
    void prepare(size_t n, bool values) {
        if (size < n) {
            release();
            gen = static_cast<uint32_t*>(calloc(n, sizeof(uint32_t)));
            if (!gen) throw std::bad_alloc();
            size = n;
            cur = 0;
        }
        if (values && !val) {
            val = static_cast<int32_t*>(malloc(size * sizeof(int32_t)));
            seen = static_cast<int32_t*>(malloc(size * sizeof(int32_t)));
            if (!val || !seen) {
                release();
                throw std::bad_alloc();
            }
        }
        if (++cur == 0) {
            std::fill(gen, gen + size, 0u);
            cur = 1;
        }
    }
    bool has(int i) const { return gen[static_cast<size_t>(i)] == cur; }
    void mark(int i) { gen[static_cast<size_t>(i)] = cur; }
    void setMin(int i, int v) {
        size_t k = static_cast<size_t>(i);
        if (gen[k] != cur || v < val[k]) {
            gen[k] = cur;
            val[k] = v;
        }
    }
    void setMax(int i, int v) {
        size_t k = static_cast<size_t>(i);
        if (gen[k] != cur || v > val[k]) {
            gen[k] = cur;
            val[k] = v;
        }
    }
    int get(int i) const { return val[static_cast<size_t>(i)]; }
};

// Kernel calls come from one thread at a time: plain statics serve as scratch.
Scratch g_scratch;

struct Span {
    const int* p = nullptr;
    size_t n = 0;
    const int* begin() const { return p; }
    const int* end() const { return p + n; }
    bool empty() const { return n == 0; }
    int back() const { return p[n - 1]; }
    int operator[](size_t i) const { return p[i]; }
    size_t size() const { return n; }
};

std::vector<int> g_identity, g_p, g_c, g_r, g_tmp;

// Part numbers as sorted pre ranks; for a tree in document order the input
// is used as it is, and "every node" is a shared 0..n sequence.
Span toPre(const Tree& t, const std::vector<int>* parts, std::vector<int>& buf) {
    if (!parts) {
        if (g_identity.size() < static_cast<size_t>(t.n) + 1) {
            size_t old = g_identity.size();
            g_identity.resize(static_cast<size_t>(t.n) + 1);
            for (size_t i = old; i < g_identity.size(); ++i) g_identity[i] = static_cast<int>(i);
        }
        return Span{g_identity.data(), static_cast<size_t>(t.n) + 1};
    }
    if (t.pre.empty()) {
        // Parts beyond the tree (none in a consistent record) are dropped.
        size_t n = parts->size();
        while (n > 0 && (*parts)[n - 1] > t.n) --n;
        size_t b = 0;
        while (b < n && (*parts)[b] < 0) ++b;
        return Span{parts->data() + b, n - b};
    }
    buf.clear();
    for (int p : *parts)
        if (p >= 0 && p <= t.n) buf.push_back(t.pre[static_cast<size_t>(p)]);
    std::sort(buf.begin(), buf.end());
    return Span{buf.data(), buf.size()};
}

void toParts(const Tree& t, std::vector<int>& pres, std::vector<int>& out) {
    out.clear();
    if (t.part.empty()) {
        out.swap(pres);
        return;
    }
    out.reserve(pres.size());
    for (int x : pres) out.push_back(t.part[static_cast<size_t>(x)]);
    std::sort(out.begin(), out.end());
}

bool contains(const Span& sorted, int v) { return std::binary_search(sorted.begin(), sorted.end(), v); }

// A child of p lies in p's subtree range. With few parents among many
// candidates (the items of one region among every name of a large
// document), fn(p, lo, hi) gets the candidates in each parent's range, found
// by binary search, instead of every candidate being tested. False (having
// called fn for some parents, perhaps) when that would read more candidates
// than testing each once: parents nested in one another see the same
// candidates again.
template <class End, class Fn>
bool childrenInRanges(const Span& P, const Span& C, const End& END, Fn&& fn) {
    if (P.size() * 4 >= C.size()) return false;
    size_t budget = C.size();
    const int* from = C.begin();
    for (int p : P) {
        // P ascends: each range starts at or after the one before.
        const int* lo = upperFrom(from, C.end(), p);
        const int* hi = upperFrom(lo, C.end(), END(p));
        from = lo;
        size_t n = static_cast<size_t>(hi - lo);
        if (n > budget) return false;
        budget -= n;
        fn(p, lo, hi);
    }
    return true;
}

}  // namespace

int axisByName(const std::string& name) {
    for (int i = 1; i <= 13; ++i)
        if (iequals(name, kAxisNames[i])) return i;
    return 0;
}

TreeBuilder::TreeBuilder(int n, int parentField, int typeField)
    : n_(n), parentField_(parentField), typeField_(typeField), parent_(static_cast<size_t>(n) + 1, 0),
      attr_(static_cast<size_t>(n) + 1, 0) {}

void TreeBuilder::add(int slot, const Value& v) {
    if (slot < 1 || slot > n_ || (v.flags & kPart) || v.item != slot) return;
    if (v.field == parentField_ && parentField_) {
        char* endp = nullptr;
        long x = strtol(v.data.c_str(), &endp, 10);
        // Only an earlier part can be a parent; anything else hangs on the document.
        parent_[static_cast<size_t>(slot)] = (endp != v.data.c_str() && x > 0 && x < slot) ? static_cast<int32_t>(x) : 0;
    } else if (v.field == typeField_ && typeField_) {
        attr_[static_cast<size_t>(slot)] = v.data == "ATTRIBUTE" ? 1 : 0;
    }
}

std::string TreeBuilder::encode() const {
    std::string out;
    putVarint(out, static_cast<uint64_t>(n_));
    for (int p = 1; p <= n_; ++p) {
        putVarint(out, static_cast<uint64_t>(parent_[static_cast<size_t>(p)]));
        out.push_back(static_cast<char>(attr_[static_cast<size_t>(p)]));
    }
    return out;
}

std::string encodeTree(Record& rec, int parentField, int typeField) {
    TreeBuilder b(rec.partCount(), parentField, typeField);
    // One pass over the values: a record being imported need not be in memory.
    rec.forEachValue([&](int slot, const Value& v) { b.add(slot, v); });
    return b.encode();
}

namespace {

// Blocks of small trees come from large chunks backed by huge pages where
// the system gives them: a query over ten thousand records decodes as many
// trees, and page faults on fresh memory cost more than the decoding.
struct Chunk {
    void* map = nullptr;
    size_t mapLength = 0;
    unsigned char* base = nullptr;
    size_t used = 0;
    ~Chunk() {
        if (map) munmap(map, mapLength);
    }
};
constexpr size_t kHugePage = 2u << 20;
constexpr size_t kChunkBytes = 8u << 20;
std::shared_ptr<Chunk> g_chunk;

// A chunk of at least n bytes whose base is aligned to a huge page; null
// when the system refuses the mapping.
std::shared_ptr<Chunk> newChunk(size_t n) {
    size_t len = n + kHugePage;
    void* m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    auto c = std::make_shared<Chunk>();
    c->map = m;
    c->mapLength = len;
    uintptr_t a = (reinterpret_cast<uintptr_t>(m) + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
    c->base = reinterpret_cast<unsigned char*>(a);
    madvise(c->base, n, MADV_HUGEPAGE);  // advice only: no error to handle
    return c;
}

unsigned char* chunkAlloc(size_t n, std::shared_ptr<void>& owner) {
    n = (n + 15) & ~static_cast<size_t>(15);
    if (n > kChunkBytes / 16) {
        // A large tree (one big document) has a chunk of its own.
        if (n < kHugePage) return nullptr;
        auto c = newChunk(n);
        if (!c) return nullptr;
        owner = c;
        return c->base;
    }
    if (!g_chunk || g_chunk->used + n > kChunkBytes) {
        auto c = newChunk(kChunkBytes);
        if (!c) return nullptr;
        g_chunk = std::move(c);
    }
    unsigned char* p = g_chunk->base + g_chunk->used;
    g_chunk->used += n;
    owner = g_chunk;
    return p;
}

}  // namespace

void Tree::allocate(int nodes) {
    n = nodes;
    size_t count = static_cast<size_t>(nodes) + 1;
    // Not value-initialised: the decoder writes every entry.
    block_ = chunkAlloc(count * 9, chunk_);
    if (!block_) {
        own_.reset(new unsigned char[count * 9]);
        block_ = own_.get();
    }
    parent = parentData();
    end = endData();
    attr = attrData();
}

namespace {

// Parts not in document order: pre ranks from an explicit depth-first walk.
void decodeUnordered(Tree& t, const std::vector<int32_t>& par, const std::vector<uint8_t>& at) {
    size_t n = static_cast<size_t>(t.n);
    bool identity = true;
    // Children in part order; pre-order by an explicit stack.
    std::vector<int32_t> firstChild(n + 1, -1), nextSib(n + 1, -1), lastChild(n + 1, -1);
    for (size_t i = 1; i <= n; ++i) {
        int32_t pa = par[i];
        if (lastChild[static_cast<size_t>(pa)] < 0)
            firstChild[static_cast<size_t>(pa)] = static_cast<int32_t>(i);
        else
            nextSib[static_cast<size_t>(lastChild[static_cast<size_t>(pa)])] = static_cast<int32_t>(i);
        lastChild[static_cast<size_t>(pa)] = static_cast<int32_t>(i);
    }
    std::vector<int32_t> pre(n + 1, 0), partAt(n + 1, 0), endPart(n + 1, 0);
    int32_t counter = 0;
    std::vector<int32_t> stack;
    stack.push_back(0);
    std::vector<int32_t> cursor(n + 1, -2);
    while (!stack.empty()) {
        int32_t v = stack.back();
        size_t vi = static_cast<size_t>(v);
        int32_t next = cursor[vi] == -2 ? firstChild[vi] : nextSib[static_cast<size_t>(cursor[vi])];
        if (next < 0) {
            endPart[vi] = counter;
            stack.pop_back();
            continue;
        }
        cursor[vi] = next;
        ++counter;
        pre[static_cast<size_t>(next)] = counter;
        partAt[static_cast<size_t>(counter)] = next;
        if (counter != next) identity = false;
        stack.push_back(next);
    }
    int32_t* parent = t.parentData();
    int32_t* end = t.endData();
    uint8_t* attr = t.attrData();
    for (size_t x = 0; x <= n; ++x) {
        int32_t part = partAt[x];
        size_t pi = static_cast<size_t>(part);
        parent[x] = part == 0 ? -1 : pre[static_cast<size_t>(par[pi])];
        end[x] = endPart[pi];
        attr[x] = at[pi];
    }
    if (!identity) {
        t.pre = std::move(pre);
        t.part = std::move(partAt);
    }
}

}  // namespace

TreeDecoder::TreeDecoder(int64_t length) : remaining_(length) {}

size_t TreeDecoder::feed(const unsigned char* data, size_t length, bool last) {
    const unsigned char* p = data;
    const unsigned char* e = p + length;
    if (!t_) {
        // The count comes first; wait for enough bytes to hold it.
        if (!last && length < 10) return 0;
        uint64_t n = 0;
        if (!getVarint(p, e, n)) n = 0;
        // Each part takes at least two bytes: a count beyond that is damage.
        int64_t rest = remaining_ >= 0 ? remaining_ - (p - data) : e - p;
        n = std::min<uint64_t>(n, static_cast<uint64_t>(std::max<int64_t>(rest, 0)) / 2);
        t_ = std::make_shared<Tree>();
        t_->allocate(static_cast<int>(n));
        n_ = n;
        t_->parentData()[0] = -1;
        t_->attrData()[0] = 0;
        path_.assign(64, 0);
        depth_ = 0;
        path_[depth_++] = 0;
    }
    int32_t* par = t_->parentData();
    int32_t* end = t_->endData();
    uint8_t* at = t_->attrData();
    // Members in locals: the stores into the tree's arrays (bytes among
    // them) would otherwise make the compiler read them again per part.
    int32_t* path = path_.data();
    size_t depth = depth_, room = path_.size();
    uint64_t i = next_;
    const uint64_t n = n_;
    bool inOrder = inOrder_;
    // Parts numbered in document order (what the shredder writes) have the
    // part number as pre rank: every parent lies on the path to the part
    // before. Subtree ends come from that path as parts leave it, in the
    // same pass that reads the parts. A part cut off at the end of a piece
    // waits for the next one (an entry is at most eleven bytes).
    const unsigned char* safe = last ? e : (e - p > 11 ? e - 11 : p);
    for (; i <= n && (last || p < safe); ++i) {
        uint64_t x = 0;
        // Parents below 16384 (one or two bytes) take the short way.
        if (e - p >= 3 && p[0] < 0x80) {
            x = p[0];
            at[i] = p[1];
            p += 2;
        } else if (e - p >= 3 && p[1] < 0x80) {
            x = (p[0] & 0x7fu) | (static_cast<uint64_t>(p[1]) << 7);
            at[i] = p[2];
            p += 3;
        } else if (e - p >= 5 && p[2] < 0x80) {
            // Parents of a large document's parts take three or four bytes.
            x = (p[0] & 0x7fu) | (static_cast<uint64_t>(p[1] & 0x7fu) << 7) | (static_cast<uint64_t>(p[2]) << 14);
            at[i] = p[3];
            p += 4;
        } else if (e - p >= 5 && p[3] < 0x80) {
            x = (p[0] & 0x7fu) | (static_cast<uint64_t>(p[1] & 0x7fu) << 7) |
                (static_cast<uint64_t>(p[2] & 0x7fu) << 14) | (static_cast<uint64_t>(p[3]) << 21);
            at[i] = p[4];
            p += 5;
        } else {
            if (!getVarint(p, e, x) || p >= e) x = 0;
            at[i] = (p < e) ? *p++ : 0;
        }
        int32_t pa = static_cast<int32_t>(x < i ? x : 0);
        par[i] = pa;
        if (inOrder) {
            while (depth > 0 && path[depth - 1] != pa) end[path[--depth]] = static_cast<int32_t>(i - 1);
            if (depth == 0) {
                inOrder = false;
            } else {
                if (depth == room) {
                    path_.resize(depth * 2);
                    path = path_.data();
                    room = path_.size();
                }
                path[depth++] = static_cast<int32_t>(i);
            }
        }
    }
    next_ = i;
    depth_ = depth;
    inOrder_ = inOrder;
    return static_cast<size_t>(p - data);
}

TreePtr TreeDecoder::finish() {
    if (!t_) feed(nullptr, 0, true);
    // Parts the stored form lacks (damage) hang on the document node.
    for (; next_ <= n_; ++next_) {
        t_->parentData()[next_] = 0;
        t_->attrData()[next_] = 0;
        if (inOrder_) {
            while (depth_ > 0 && path_[depth_ - 1] != 0) t_->endData()[path_[--depth_]] = static_cast<int32_t>(next_ - 1);
            path_[depth_++] = static_cast<int32_t>(next_);
        }
    }
    if (inOrder_) {
        while (depth_ > 0) t_->endData()[path_[--depth_]] = static_cast<int32_t>(n_);
        return std::move(t_);
    }
    const int32_t* par = t_->parentData();
    const uint8_t* at = t_->attrData();
    std::vector<int32_t> parts(par, par + n_ + 1);
    std::vector<uint8_t> attrs(at, at + n_ + 1);
    decodeUnordered(*t_, parts, attrs);
    return std::move(t_);
}

TreePtr decodeTree(const std::string& data) {
    return decodeTree(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

TreePtr decodeTree(const unsigned char* data, size_t length) {
    TreeDecoder d(static_cast<int64_t>(length));
    d.feed(data, length, true);
    return d.finish();
}

void axisJoin(const Tree& t, int axis, const std::vector<int>* ps, const std::vector<int>* cs, int direction,
              std::vector<int>& out, int plain) {
    out.clear();
    Span P = toPre(t, ps, g_p);
    Span C = toPre(t, cs, g_c);
    std::vector<int>& R = g_r;
    R.clear();
    if (P.empty() || C.empty() || axis == AxisNamespace) return;
    const auto& parent = t.parent;
    const auto& end = t.end;
    const auto& attr = t.attr;
    auto A = [&](int x) { return attr[static_cast<size_t>(x)] != 0; };
    // A side known to hold no attribute leaves its nodes' flags unread.
    const bool plainP = (plain & kPlainP) != 0, plainC = (plain & kPlainC) != 0;
    auto AP = [&](int x) { return !plainP && A(x); };
    auto AC = [&](int x) { return !plainC && A(x); };
    auto PAR = [&](int x) { return parent[static_cast<size_t>(x)]; };
    auto END = [&](int x) { return end[static_cast<size_t>(x)]; };
    Scratch& s = g_scratch;
    // The marks are prepared by the joins that use them.
    const size_t marks = static_cast<size_t>(t.n) + 1;

    // Every node on one side: most axes reduce to a test of the other side's nodes.
    if (direction == 2 && !ps) {
        bool done = true;
        for (int c : C) {
            bool keep;
            switch (axis) {
                case AxisChild:
                case AxisDescendant: keep = c != 0 && !AC(c); break;
                case AxisAttribute: keep = AC(c); break;
                case AxisSelf:
                case AxisDescendantOrSelf:
                case AxisAncestorOrSelf: keep = true; break;
                case AxisParent:
                case AxisAncestor: keep = END(c) > c; break;
                default: keep = false; done = false; break;
            }
            if (!done) break;
            if (keep) R.push_back(c);
        }
        if (done) {
            toParts(t, R, out);
            return;
        }
        R.clear();
    }
    if (direction == 1 && !cs) {
        bool done = true;
        for (int p : P) {
            bool keep;
            switch (axis) {
                case AxisSelf:
                case AxisDescendantOrSelf:
                case AxisAncestorOrSelf: keep = true; break;
                case AxisParent:
                case AxisAncestor: keep = p != 0; break;
                default: keep = false; done = false; break;
            }
            if (!done) break;
            if (keep) R.push_back(p);
        }
        if (done) {
            toParts(t, R, out);
            return;
        }
        R.clear();
    }

    if (direction == 2) {
        switch (axis) {
            case AxisChild:
            case AxisAttribute: {
                bool wantAttr = axis == AxisAttribute;
                if (childrenInRanges(P, C, END, [&](int p, const int* lo, const int* hi) {
                        for (const int* c = lo; c < hi; ++c)
                            if (AC(*c) == wantAttr && PAR(*c) == p) R.push_back(*c);
                    })) {
                    // Parents nested in others give their children out of order.
                    if (!std::is_sorted(R.begin(), R.end())) std::sort(R.begin(), R.end());
                    break;
                }
                R.clear();
                s.prepare(marks, false);
                for (int p : P) s.mark(p);
                // In a large tree the candidates' parents and their marks lie
                // far apart: both are asked for some candidates ahead.
                for (size_t i = 0; i < C.size(); ++i) {
                    if (i + 16 < C.size()) __builtin_prefetch(&parent[static_cast<size_t>(C[i + 16])]);
                    if (i + 8 < C.size() && PAR(C[i + 8]) >= 0)
                        __builtin_prefetch(&s.gen[static_cast<size_t>(PAR(C[i + 8]))]);
                    int c = C[i];
                    if (c != 0 && AC(c) == wantAttr && s.has(PAR(c))) R.push_back(c);
                }
                break;
            }
            case AxisParent:
                s.prepare(marks, false);
                for (int p : P)
                    if (p != 0) s.mark(PAR(p));
                for (int c : C)
                    if (s.has(c)) R.push_back(c);
                break;
            case AxisSelf:
                std::set_intersection(P.begin(), P.end(), C.begin(), C.end(), std::back_inserter(R));
                break;
            case AxisDescendant:
            case AxisDescendantOrSelf: {
                bool orSelf = axis == AxisDescendantOrSelf;
                size_t j = 0;
                int maxEnd = -1;
                for (int c : C) {
                    while (j < P.size() && P[j] < c) maxEnd = std::max(maxEnd, END(P[j++]));
                    bool self = orSelf && j < P.size() && P[j] == c;
                    if (self || (!AC(c) && maxEnd >= c)) R.push_back(c);
                }
                break;
            }
            case AxisAncestor:
            case AxisAncestorOrSelf: {
                bool orSelf = axis == AxisAncestorOrSelf;
                size_t j = 0;
                for (int c : C) {
                    while (j < P.size() && (orSelf ? P[j] < c : P[j] <= c)) ++j;
                    if (j < P.size() && P[j] <= END(c)) R.push_back(c);
                }
                break;
            }
            case AxisFollowingSibling:
            case AxisPrecedingSibling: {
                bool following = axis == AxisFollowingSibling;
                s.prepare(marks, true);
                for (int p : P)
                    if (p != 0 && !AP(p)) {
                        if (following)
                            s.setMin(PAR(p), p);
                        else
                            s.setMax(PAR(p), p);
                    }
                for (int c : C) {
                    if (c == 0 || AC(c) || !s.has(PAR(c))) continue;
                    int v = s.get(PAR(c));
                    if (following ? v < c : v > c) R.push_back(c);
                }
                break;
            }
            case AxisFollowing: {
                int minEnd = INT_MAX;
                for (int p : P) minEnd = std::min(minEnd, END(p));
                for (int c : C)
                    if (!AC(c) && c > minEnd) R.push_back(c);
                break;
            }
            case AxisPreceding: {
                int maxPre = P.back();
                for (int c : C)
                    if (c != 0 && !AC(c) && END(c) < maxPre) R.push_back(c);
                break;
            }
            default:
                break;
        }
    } else {
        switch (axis) {
            case AxisChild:
            case AxisAttribute: {
                bool wantAttr = axis == AxisAttribute;
                if (childrenInRanges(P, C, END, [&](int p, const int* lo, const int* hi) {
                        for (const int* c = lo; c < hi; ++c)
                            if (AC(*c) == wantAttr && PAR(*c) == p) {
                                R.push_back(p);
                                break;
                            }
                    }))
                    break;
                R.clear();
                s.prepare(marks, false);
                for (int c : C)
                    if (c != 0 && AC(c) == wantAttr) s.mark(PAR(c));
                for (int p : P)
                    if (s.has(p)) R.push_back(p);
                break;
            }
            case AxisParent:
                s.prepare(marks, false);
                for (int c : C) s.mark(c);
                for (int p : P)
                    if (p != 0 && s.has(PAR(p))) R.push_back(p);
                break;
            case AxisSelf:
                std::set_intersection(P.begin(), P.end(), C.begin(), C.end(), std::back_inserter(R));
                break;
            case AxisDescendant:
            case AxisDescendantOrSelf: {
                bool orSelf = axis == AxisDescendantOrSelf;
                std::vector<int>& nonAttr = g_tmp;
                nonAttr.clear();
                for (int c : C)
                    if (!AC(c)) nonAttr.push_back(c);
                size_t j = 0;
                for (int p : P) {
                    while (j < nonAttr.size() && nonAttr[j] <= p) ++j;
                    bool self = orSelf && contains(C, p);
                    if (self || (j < nonAttr.size() && nonAttr[j] <= END(p))) R.push_back(p);
                }
                break;
            }
            case AxisAncestor:
            case AxisAncestorOrSelf: {
                bool orSelf = axis == AxisAncestorOrSelf;
                size_t j = 0;
                int maxEnd = -1;
                for (int p : P) {
                    while (j < C.size() && C[j] < p) maxEnd = std::max(maxEnd, END(C[j++]));
                    bool self = orSelf && j < C.size() && C[j] == p;
                    if (self || maxEnd >= p) R.push_back(p);
                }
                break;
            }
            case AxisFollowingSibling:
            case AxisPrecedingSibling: {
                bool following = axis == AxisFollowingSibling;
                s.prepare(marks, true);
                for (int c : C)
                    if (c != 0 && !AC(c)) {
                        if (following)
                            s.setMax(PAR(c), c);
                        else
                            s.setMin(PAR(c), c);
                    }
                for (int p : P) {
                    if (p == 0 || AP(p) || !s.has(PAR(p))) continue;
                    int v = s.get(PAR(p));
                    if (following ? v > p : v < p) R.push_back(p);
                }
                break;
            }
            case AxisFollowing: {
                int maxC = -1;
                for (int c : C)
                    if (!AC(c)) maxC = std::max(maxC, c);
                for (int p : P)
                    if (maxC > END(p)) R.push_back(p);
                break;
            }
            case AxisPreceding: {
                int minEnd = INT_MAX;
                for (int c : C)
                    if (c != 0 && !AC(c)) minEnd = std::min(minEnd, END(c));
                for (int p : P)
                    if (minEnd < p) R.push_back(p);
                break;
            }
            default:
                break;
        }
    }
    toParts(t, R, out);
}

void positionFilter(const Tree& t, const std::vector<int>& ps, int op, int k, std::vector<int>& out) {
    out.clear();
    Scratch& s = g_scratch;
    // Group by parent pre rank (+1 so the document node's group has a slot).
    auto groupOf = [&](int part) {
        int pre = t.pre.empty() ? part : t.pre[static_cast<size_t>(part)];
        return t.parent[static_cast<size_t>(pre)] + 1;
    };
    auto holds = [op](int pos, int target) {
        switch (op) {
            case 0: return pos == target;
            case 1: return pos != target;
            case 2: return pos > target;
            case 3: return pos < target;
            case 4: return pos <= target;
            case 5: return pos >= target;
        }
        return false;
    };
    // A parent precedes its children, so a group (parent + 1) is at most n:
    // the joins' marks of n + 1 entries serve here too once a join made them.
    const size_t need = static_cast<size_t>(t.n) + 1;
    if (s.size < need && ps.size() * 8 < need) {
        // Few candidates in a large tree with no arrays made for it yet:
        // they are grouped by sorting, not in arrays over the whole tree
        // that a fresh process would first have to clear.
        std::vector<std::pair<int, size_t>> byGroup;  // (group, place in ps)
        byGroup.reserve(ps.size());
        for (size_t i = 0; i < ps.size(); ++i)
            if (ps[i] >= 0 && ps[i] <= t.n) byGroup.emplace_back(groupOf(ps[i]), i);
        std::sort(byGroup.begin(), byGroup.end());
        std::vector<size_t> kept;
        for (size_t b = 0; b < byGroup.size();) {
            size_t e = b;
            while (e < byGroup.size() && byGroup[e].first == byGroup[b].first) ++e;
            const int count = static_cast<int>(e - b);
            const int target = k < 0 ? count + 1 + k : k;
            for (size_t j = b; j < e; ++j)
                if (holds(static_cast<int>(j - b) + 1, target)) kept.push_back(byGroup[j].second);
            b = e;
        }
        std::sort(kept.begin(), kept.end());
        for (size_t i : kept) out.push_back(ps[i]);
        return;
    }
    s.prepare(need, true);
    int32_t* seen = s.seen;  // running position per group, valid where s marks the group
    // The parents are scattered over the tree: ask for all of them at once.
    for (int p : ps)
        if (p >= 0 && p <= t.n) __builtin_prefetch(&t.parent[static_cast<size_t>(t.pre.empty() ? p : t.pre[static_cast<size_t>(p)])]);
    for (int p : ps) {
        if (p < 0 || p > t.n) continue;
        int g = groupOf(p);
        if (s.has(g)) {
            s.val[static_cast<size_t>(g)]++;
        } else {
            s.mark(g);
            s.val[static_cast<size_t>(g)] = 1;
            seen[static_cast<size_t>(g)] = 0;
        }
    }
    for (int p : ps) {
        if (p < 0 || p > t.n) continue;
        int g = groupOf(p);
        int pos = ++seen[static_cast<size_t>(g)];
        int target = k < 0 ? s.val[static_cast<size_t>(g)] + 1 + k : k;
        if (holds(pos, target)) out.push_back(p);
    }
}

}  // namespace vdbs
