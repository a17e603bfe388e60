// Structural joins against a brute-force evaluation: generated trees are
// stored through the record text form, then every axis in both directions
// (and the position filter) is compared with the XPath definition of the
// axis computed directly from the trees.
#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"

using namespace kt;

namespace {

struct GenNode {
    int parent;  // 0: document level
    std::string type;
    std::string name;
};

struct Doc {
    int rid = 0;
    std::vector<GenNode> nodes;  // index = part; [0] is the document node
    std::vector<int> pre;        // document order rank of each part
};

// Document order: depth first, the children of a node in part order.
void rankNodes(Doc& d) {
    size_t n = d.nodes.size();
    std::vector<std::vector<int>> kids(n);
    for (size_t p = 1; p < n; ++p) kids[static_cast<size_t>(d.nodes[p].parent)].push_back(static_cast<int>(p));
    d.pre.assign(n, 0);
    int counter = 0;
    std::function<void(int)> visit = [&](int x) {
        d.pre[static_cast<size_t>(x)] = counter++;
        for (int k : kids[static_cast<size_t>(x)]) visit(k);
    };
    visit(0);
}

// The same tree numbered breadth first: parents still come before their
// children, but part order is no longer document order.
Doc breadthFirst(const Doc& d) {
    size_t n = d.nodes.size();
    std::vector<std::vector<int>> kids(n);
    for (size_t p = 1; p < n; ++p) kids[static_cast<size_t>(d.nodes[p].parent)].push_back(static_cast<int>(p));
    std::vector<int> order{0}, number(n, 0);
    for (size_t i = 0; i < order.size(); ++i)
        for (int k : kids[static_cast<size_t>(order[i])]) order.push_back(k);
    for (size_t i = 0; i < n; ++i) number[static_cast<size_t>(order[i])] = static_cast<int>(i);
    Doc b;
    for (int old : order) {
        GenNode g = d.nodes[static_cast<size_t>(old)];
        if (old != 0) g.parent = number[static_cast<size_t>(g.parent)];
        b.nodes.push_back(g);
    }
    return b;
}

// Nodes in document order, as a shredder numbers them: an element, its
// attributes, then its content.
void genElement(std::mt19937& rng, Doc& d, int parent, int depth) {
    static const char* names[] = {"a", "b", "c"};
    int me = static_cast<int>(d.nodes.size());
    d.nodes.push_back({parent, "ELEMENT", names[rng() % 3]});
    int attrs = static_cast<int>(rng() % 3);
    for (int i = 0; i < attrs; ++i) d.nodes.push_back({me, "ATTRIBUTE", names[rng() % 3]});
    int kids = depth > 3 ? 0 : static_cast<int>(rng() % 4);
    for (int i = 0; i < kids; ++i) {
        switch (rng() % 4) {
            case 0:
                d.nodes.push_back({me, "TEXT", d.nodes[static_cast<size_t>(me)].name});
                break;
            case 1:
                d.nodes.push_back({me, "COMMENT", ""});
                break;
            default:
                genElement(rng, d, me, depth + 1);
        }
    }
}

Doc genDoc(std::mt19937& rng) {
    Doc d;
    d.nodes.push_back({-1, "DOCUMENT", ""});
    if (rng() % 3 == 0) d.nodes.push_back({0, "COMMENT", ""});
    genElement(rng, d, 0, 0);
    if (rng() % 3 == 0) d.nodes.push_back({0, "COMMENT", ""});
    return d;
}

struct Cond {
    std::string ccl;
    std::function<bool(const GenNode&, int part)> match;
};

class XPathRandomTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, ccl("BASE docs"));
    }

    void storeDoc(Doc& d) {
        Control c;
        VdbSetBase(c, "docs", 2);
        auto f = [&](const char* n) { return std::to_string(field(c, n)); };
        std::string t;
        for (size_t p = 1; p < d.nodes.size(); ++p) {
            const GenNode& n = d.nodes[p];
            std::string ps = std::to_string(p);
            t += "\n\n" + ps + "G^\n" + f("N_ID") + "F^" + ps + "P" + ps + "^\n";
            t += f("N_PARENT") + "F^" + ps + "P" + std::to_string(n.parent) + "^\n";
            t += f("N_TYPE") + "F^" + ps + "P" + n.type + "^\n";
            if (!n.name.empty()) t += f("N_NAME") + "F^" + ps + "P" + n.name + "^\n";
        }
        d.rid = store("docs", t);
    }

    static std::set<std::pair<int, int>> kernelHits(const std::string& cond, int* setOut = nullptr) {
        int set = 0;
        std::set<std::pair<int, int>> out;
        int st = ccl("FIND " + cond, &set);
        EXPECT_EQ(1, st) << cond << ": " << message(st);
        if (setOut) *setOut = set;
        if (set == 0) return out;
        int recs = 0, hits = 0, n = set;
        VdbGetSearch(&n, &recs, &hits);
        Control c;
        // A set's hits come in order: the merges of later steps rely on it.
        std::pair<int, int> last{-1, -1};
        int unordered = 0;
        for (int pos = 1; pos <= recs; ++pos) {
            int rid = 0;
            char base[64];
            VdbGetRecordInSearchRis(c, set, pos, &rid, base);
            int part, r, position, part2, x, y;
            while (VdbGetNextHitWord(c, &part, &r, &position, &part2, &x, &y) == 1) {
                if (!(last < std::make_pair(r, part))) ++unordered;
                last = {r, part};
                out.insert({r, part});
            }
        }
        EXPECT_EQ(0, unordered) << cond << ": hits out of order";
        return out;
    }
};

bool isAttr(const Doc& d, int x) { return d.nodes[static_cast<size_t>(x)].type == "ATTRIBUTE"; }
bool ancestorOf(const Doc& d, int a, int x) {  // a is a proper ancestor of x
    for (int p = d.nodes[static_cast<size_t>(x)].parent; p >= 0; p = p == 0 ? -1 : d.nodes[static_cast<size_t>(p)].parent)
        if (p == a) return true;
    return false;
}

// The nodes on axis from x, straight from the XPath 1.0 definitions.
bool onAxis(const Doc& d, int axis, int x, int y) {
    int n = static_cast<int>(d.nodes.size());
    (void)n;
    int px = x == 0 ? -1 : d.nodes[static_cast<size_t>(x)].parent;
    auto after = [&](int a, int b) { return d.pre[static_cast<size_t>(a)] > d.pre[static_cast<size_t>(b)]; };
    int py = y == 0 ? -1 : d.nodes[static_cast<size_t>(y)].parent;
    switch (axis) {
        case 1: return y != 0 && py == x && !isAttr(d, y);
        case 2: return y != 0 && py == x && isAttr(d, y);
        case 3: return !isAttr(d, y) && ancestorOf(d, x, y);
        case 4: return ancestorOf(d, y, x);
        case 5: return y == x || ancestorOf(d, y, x);
        case 6: return y == x || (!isAttr(d, y) && ancestorOf(d, x, y));
        case 7: return y == x;
        case 8: return x != 0 && y != 0 && !isAttr(d, x) && !isAttr(d, y) && py == px && y > x;
        case 9: return x != 0 && y != 0 && !isAttr(d, x) && !isAttr(d, y) && py == px && y < x;
        case 10: return x != 0 && y == px;
        case 11: return !isAttr(d, y) && after(y, x) && !ancestorOf(d, x, y);
        case 12: return y != 0 && !isAttr(d, y) && after(x, y) && !ancestorOf(d, y, x);
        default: return false;
    }
}

// The hits of a position test over the nodes that match: their place
// among the matching nodes of the same parent, in document order.
std::set<std::pair<int, int>> positionsWant(const std::vector<Doc>& docs,
                                            const std::function<bool(const Doc&, int)>& match, int op, int k) {
    std::set<std::pair<int, int>> want;
    for (const Doc& d : docs) {
        int n = static_cast<int>(d.nodes.size());
        for (int x = 0; x < n; ++x) {
            if (!match(d, x)) continue;
            int parent = x == 0 ? -1 : d.nodes[static_cast<size_t>(x)].parent;
            int pos = 0, size = 0;
            for (int y = 0; y < n; ++y) {
                int py = y == 0 ? -1 : d.nodes[static_cast<size_t>(y)].parent;
                if (py != parent || !match(d, y)) continue;
                ++size;
                if (d.pre[static_cast<size_t>(y)] <= d.pre[static_cast<size_t>(x)]) ++pos;
            }
            int target = k < 0 ? size + 1 + k : k;
            bool ok = op == 0 ? pos == target : op == 1 ? pos != target : op == 2 ? pos > target
                    : op == 3 ? pos < target : op == 4 ? pos <= target : pos >= target;
            if (ok) want.insert({d.rid, x});
        }
    }
    return want;
}

const char* const kOps[] = {"EQ", "NE", "GT", "LT", "LE", "GE"};

const char* kAxes[] = {"", "child", "attribute", "descendant", "ancestor", "ancestor-or-self", "descendant-or-self",
                       "self", "following-sibling", "preceding-sibling", "parent", "following", "preceding",
                       "namespace"};

TEST_F(XPathRandomTest, EveryAxisBothDirectionsMatchesBruteForce) {
    std::mt19937 rng(20261209);
    std::vector<Doc> docs;
    for (int i = 0; i < 60; ++i) {
        // Every third document has its parts out of document order.
        docs.push_back(i % 3 == 2 ? breadthFirst(genDoc(rng)) : genDoc(rng));
        rankNodes(docs.back());
        storeDoc(docs.back());
    }
    std::vector<Cond> conds = {
        {"N_NAME=a", [](const GenNode& n, int) { return n.name == "a"; }},
        {"N_NAME=b AND.T N_TYPE=ELEMENT", [](const GenNode& n, int) { return n.name == "b" && n.type == "ELEMENT"; }},
        {"N_TYPE=TEXT OR N_TYPE=COMMENT", [](const GenNode& n, int) { return n.type == "TEXT" || n.type == "COMMENT"; }},
        {"N_TYPE=ATTRIBUTE", [](const GenNode& n, int) { return n.type == "ATTRIBUTE"; }},
        {"N_NAME=c OR ALL", [](const GenNode& n, int p) { return p == 0 || n.name == "c"; }},
    };
    std::vector<int> setNo;
    for (const Cond& c : conds) {
        int s = 0;
        auto got = kernelHits(c.ccl, &s);
        std::set<std::pair<int, int>> want;
        for (const Doc& d : docs)
            for (size_t p = 0; p < d.nodes.size(); ++p)
                if (c.match(d.nodes[p], static_cast<int>(p))) want.insert({d.rid, static_cast<int>(p)});
        ASSERT_EQ(want, got) << c.ccl;
        setNo.push_back(s);
    }
    auto member = [&](int which, const Doc& d, int p) {
        return which < 0 || conds[static_cast<size_t>(which)].match(d.nodes[static_cast<size_t>(p)], p);
    };
    int checked = 0;
    for (int axis = 1; axis <= 13; ++axis)
        for (int dir = 1; dir <= 2; ++dir)
            for (int pi = -1; pi < static_cast<int>(conds.size()); ++pi)
                for (int ci = -1; ci < static_cast<int>(conds.size()); ++ci) {
                    int P = pi < 0 ? 0 : setNo[static_cast<size_t>(pi)];
                    int C = ci < 0 ? 0 : setNo[static_cast<size_t>(ci)];
                    std::string q = "XPATH(" + std::string(kAxes[axis]) + "," + std::to_string(P) + "," +
                                    std::to_string(C) + "," + std::to_string(dir) + ")";
                    std::set<std::pair<int, int>> want;
                    for (const Doc& d : docs) {
                        int n = static_cast<int>(d.nodes.size());
                        for (int x = 0; x < n; ++x) {
                            bool keep = false;
                            if (dir == 2 && member(ci, d, x))
                                for (int p = 0; p < n && !keep; ++p) keep = member(pi, d, p) && onAxis(d, axis, p, x);
                            if (dir == 1 && member(pi, d, x))
                                for (int c = 0; c < n && !keep; ++c) keep = member(ci, d, c) && onAxis(d, axis, x, c);
                            if (keep) want.insert({d.rid, x});
                        }
                    }
                    int made = 0;
                    ASSERT_EQ(want, kernelHits(q, &made)) << q << " P=" << (pi < 0 ? "all" : conds[static_cast<size_t>(pi)].ccl)
                                                          << " C=" << (ci < 0 ? "all" : conds[static_cast<size_t>(ci)].ccl);
                    if (made) ccl("DELETE S=" + std::to_string(made));
                    ++checked;
                }
    EXPECT_EQ(13 * 2 * 6 * 6, checked);

    // Positions among the hits of a set with the same parent.
    for (size_t ci = 0; ci < conds.size(); ++ci)
        for (int op = 0; op < 6; ++op)
            for (int k : {-2, -1, 1, 2, 3}) {
                int S = setNo[ci];
                std::string q = "XPATH(SELF," + std::to_string(S) + "," + std::to_string(S) + ",1," + kOps[op] + "," +
                                std::to_string(k) + ")";
                auto want = positionsWant(docs, [&](const Doc& d, int x) { return member(static_cast<int>(ci), d, x); },
                                          op, k);
                int made = 0;
                ASSERT_EQ(want, kernelHits(q, &made)) << q << " over " << conds[ci].ccl;
                if (made) ccl("DELETE S=" + std::to_string(made));
            }
}

// Positions of a few nodes in a large tree are counted without arrays over
// the whole tree while none were made for it; once a test of many nodes has
// made them, the same test of the few counts in them. Both count alike.
// A root of 300 elements a, each with three b; x among them: every 30th
// child of the root, and two or one under some of the a; attributes b on
// every 20th a.
Doc wideDoc() {
    Doc d;
    d.nodes.push_back({-1, "DOCUMENT", ""});
    d.nodes.push_back({0, "ELEMENT", "r"});
    for (int i = 0; i < 300; ++i) {
        int a = static_cast<int>(d.nodes.size());
        d.nodes.push_back({1, "ELEMENT", i % 30 == 7 ? "x" : "a"});
        if (i % 20 == 5) d.nodes.push_back({a, "ATTRIBUTE", "b"});
        for (int j = 0; j < 3; ++j) d.nodes.push_back({a, "ELEMENT", "b"});
        for (int j = 0; j < (i % 50 == 3 ? 2 : i % 50 == 9 ? 1 : 0); ++j) d.nodes.push_back({a, "ELEMENT", "x"});
    }
    rankNodes(d);
    return d;
}

// The children (and attributes) of a few parents among many candidates of
// one record are found in the parents' ranges, nested parents among them.
TEST_F(XPathRandomTest, ChildrenOfFewParentsAmongManyCandidatesMatchBruteForce) {
    Doc d = wideDoc();
    storeDoc(d);
    struct {
        const char* ccl;
        std::function<bool(const GenNode&, int)> match;
    } parents[] = {
        {"N_NAME=r", [](const GenNode& n, int) { return n.name == "r"; }},
        {"N_NAME=x", [](const GenNode& n, int) { return n.name == "x"; }},
        {"N_NAME=x OR N_NAME=r", [](const GenNode& n, int) { return n.name == "x" || n.name == "r"; }},
        {"N_ID=$0", [](const GenNode&, int p) { return p > 0 && p % 10 == 0; }},
    };
    int b = 0;
    ASSERT_EQ(915u, kernelHits("N_NAME=b", &b).size());
    for (const auto& pc : parents) {
        int s = 0;
        kernelHits(pc.ccl, &s);
        for (int axis : {1, 2}) {
            std::string q = std::string("XPATH(") + kAxes[axis] + "," + std::to_string(s) + "," + std::to_string(b) + ",2)";
            std::set<std::pair<int, int>> want;
            for (int x = 1; x < static_cast<int>(d.nodes.size()); ++x) {
                if (d.nodes[static_cast<size_t>(x)].name != "b") continue;
                int p = d.nodes[static_cast<size_t>(x)].parent;
                if (pc.match(d.nodes[static_cast<size_t>(p)], p) && onAxis(d, axis, p, x)) want.insert({d.rid, x});
            }
            int made = 0;
            ASSERT_EQ(want, kernelHits(q, &made)) << q << " P=" << pc.ccl;
            if (made) ccl("DELETE S=" + std::to_string(made));
        }
    }
}

TEST_F(XPathRandomTest, PositionsOfFewNodesInALargeTreeCountAlikeEitherWay) {
    Doc d = wideDoc();
    storeDoc(d);
    std::vector<Doc> docs{d};
    auto named = [](const char* name) {
        return [name](const Doc& doc, int p) { return doc.nodes[static_cast<size_t>(p)].name == name; };
    };
    int few = 0, many = 0;
    ASSERT_EQ(28u, kernelHits("N_NAME=x", &few).size());
    ASSERT_EQ(915u, kernelHits("N_NAME=b", &many).size());
    auto check = [&](int S, const std::function<bool(const Doc&, int)>& match, const char* round) {
        for (int op = 0; op < 6; ++op)
            for (int k : {-2, -1, 1, 2, 3}) {
                std::string q = "XPATH(SELF," + std::to_string(S) + "," + std::to_string(S) + ",1," + kOps[op] + "," +
                                std::to_string(k) + ")";
                int made = 0;
                ASSERT_EQ(positionsWant(docs, match, op, k), kernelHits(q, &made)) << q << " " << round;
                if (made) ccl("DELETE S=" + std::to_string(made));
            }
    };
    check(few, named("x"), "before any arrays");
    check(many, named("b"), "many nodes");
    check(few, named("x"), "in the arrays");
}

}  // namespace
