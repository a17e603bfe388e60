// AND.T of hit lists of very different lengths (the skip-ahead path) against
// the plain merge.
#include <algorithm>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "../src/hits.h"

using namespace vdbs;

namespace {

HitList randomList(std::mt19937& rng, size_t n, int rids) {
    HitList l;
    for (size_t i = 0; i < n; ++i)
        l.push_back(mkHit(static_cast<int>(rng() % static_cast<unsigned>(rids)) + 1, static_cast<int>(rng() % 600)));
    sortUnique(l);
    return l;
}

TEST(HitListTest, IntersectionOfShortAndLongListsMatchesTheMerge) {
    std::mt19937 rng(7);
    for (size_t shortLen : {0, 1, 2, 5, 40, 300})
        for (size_t longLen : {0, 1, 100, 5000, 60000})
            for (int round = 0; round < 3; ++round) {
                HitList a = randomList(rng, shortLen, 50), b = randomList(rng, longLen, 50);
                // Some hits certainly shared, at the ends of the long list too.
                if (!b.empty()) {
                    a.push_back(b.front());
                    a.push_back(b.back());
                    a.push_back(b[b.size() / 2]);
                    sortUnique(a);
                }
                HitList want;
                std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(want));
                EXPECT_EQ(want, hitAnd(a, b)) << shortLen << " x " << longLen;
                EXPECT_EQ(want, hitAnd(b, a)) << longLen << " x " << shortLen;
            }
}

}  // namespace
