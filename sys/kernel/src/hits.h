// Hit lists: sorted, unique (rid, part) pairs packed into 64 bits.
#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

namespace vdbs {

using Hit = uint64_t;
inline Hit mkHit(int rid, int part) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(rid)) << 32) | static_cast<uint32_t>(part);
}
inline int hitRid(Hit h) { return static_cast<int>(h >> 32); }
inline int hitPart(Hit h) { return static_cast<int>(h & 0xffffffffu); }

using HitList = std::vector<Hit>;

inline void sortUnique(HitList& v) {
    if (!std::is_sorted(v.begin(), v.end())) std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// AND.T: present in both. When one list is much shorter, each of its hits
// is looked for in the other by galloping (doubling steps, then a binary
// search), so the cost follows the short list rather than the long one.
inline HitList hitAnd(const HitList& a, const HitList& b) {
    HitList r;
    const HitList& s = a.size() <= b.size() ? a : b;
    const HitList& l = a.size() <= b.size() ? b : a;
    r.reserve(s.size());
    if (s.size() * 16 >= l.size()) {
        std::set_intersection(s.begin(), s.end(), l.begin(), l.end(), std::back_inserter(r));
        return r;
    }
    auto lo = l.begin();
    const auto end = l.end();
    for (Hit h : s) {
        size_t step = 1;
        auto hi = lo;
        while (hi != end && *hi < h) {
            lo = hi + 1;
            hi = static_cast<size_t>(end - hi) > step ? hi + static_cast<long>(step) : end;
            step *= 2;
        }
        lo = std::lower_bound(lo, hi, h);
        if (lo == end) break;
        if (*lo == h) r.push_back(*lo++);
    }
    return r;
}

// OR: in either.
inline HitList hitOr(const HitList& a, const HitList& b) {
    HitList r;
    r.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(r));
    return r;
}

// NOT.T: in a and not in b.
inline HitList hitNot(const HitList& a, const HitList& b) {
    HitList r;
    r.reserve(a.size());
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(r));
    return r;
}

// AND / AND.R: hits of b in the records that a selects.
inline HitList hitAndRecords(const HitList& a, const HitList& b) {
    HitList r;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        uint32_t ra = static_cast<uint32_t>(a[i] >> 32), rb = static_cast<uint32_t>(b[j] >> 32);
        if (ra < rb) {
            ++i;
        } else if (rb < ra) {
            ++j;
        } else {
            while (j < b.size() && static_cast<uint32_t>(b[j] >> 32) == ra) r.push_back(b[j++]);
            while (i < a.size() && static_cast<uint32_t>(a[i] >> 32) == ra) ++i;
        }
    }
    return r;
}

// NOT: hits of a in the records that b does not select.
inline HitList hitNotRecords(const HitList& a, const HitList& b) {
    HitList r;
    r.reserve(a.size());
    size_t j = 0;
    for (size_t i = 0; i < a.size();) {
        uint32_t ra = static_cast<uint32_t>(a[i] >> 32);
        while (j < b.size() && static_cast<uint32_t>(b[j] >> 32) < ra) ++j;
        bool drop = j < b.size() && static_cast<uint32_t>(b[j] >> 32) == ra;
        while (i < a.size() && static_cast<uint32_t>(a[i] >> 32) == ra) {
            if (!drop) r.push_back(a[i]);
            ++i;
        }
    }
    return r;
}

}  // namespace vdbs
