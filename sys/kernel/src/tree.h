// The structural index of an XML record: its node parts as a pre-order tree
// (subtree end, parent, attribute flag), so every XPath axis is a range or
// parent test and a join of two sorted hit lists is one sweep.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vdbs {

class Record;

enum Axis {
    AxisChild = 1,
    AxisAttribute,
    AxisDescendant,
    AxisAncestor,
    AxisAncestorOrSelf,
    AxisDescendantOrSelf,
    AxisSelf,
    AxisFollowingSibling,
    AxisPrecedingSibling,
    AxisParent,
    AxisFollowing,
    AxisPreceding,
    AxisNamespace,
};
// Axis by name (without case); 0 when unknown.
int axisByName(const std::string& name);

// The first of [b, e) (sorted) above v, by steps that double from b: the
// ranges of parents in order lie a little after one another.
template <class T>
const T* upperFrom(const T* b, const T* e, const T& v) {
    const T* lo = b;
    const T* hi = b;
    for (size_t step = 1; hi < e && !(v < *hi); step *= 2) {
        lo = hi + 1;
        hi = static_cast<size_t>(e - hi) > step ? hi + step : e;
    }
    return std::upper_bound(lo, hi, v);
}

struct Tree {
    int n = 0;                        // node parts 1..n; 0 is the document node
    const int32_t* parent = nullptr;  // by pre rank; -1 for the document node
    const int32_t* end = nullptr;     // by pre rank: last pre rank of the subtree
    const uint8_t* attr = nullptr;    // by pre rank
    std::vector<int32_t> pre;         // pre rank of a part (empty: identity)
    std::vector<int32_t> part;        // part at a pre rank (empty: identity)
    size_t bytes() const { return (static_cast<size_t>(n) + 1) * 9 + (pre.size() + part.size()) * 4; }

    Tree() = default;
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    // The three arrays of n + 1 entries in one block.
    void allocate(int nodes);
    int32_t* parentData() { return reinterpret_cast<int32_t*>(block_); }
    int32_t* endData() { return parentData() + n + 1; }
    uint8_t* attrData() { return reinterpret_cast<uint8_t*>(endData() + n + 1); }

private:
    unsigned char* block_ = nullptr;
    std::unique_ptr<unsigned char[]> own_;  // a large tree's block
    std::shared_ptr<void> chunk_;           // the shared chunk holding a small tree's block
};
using TreePtr = std::shared_ptr<const Tree>;

// Serialized structure of a record: parents and attribute flags of its parts.
std::string encodeTree(Record& rec, int parentField, int typeField);

// The same, fed value by value by a pass over the record made anyway.
struct Value;
class TreeBuilder {
public:
    TreeBuilder(int n, int parentField, int typeField);
    void add(int slot, const Value& v);
    std::string encode() const;

private:
    int n_, parentField_, typeField_;
    std::vector<int32_t> parent_;
    std::vector<uint8_t> attr_;
};
TreePtr decodeTree(const std::string& data);
// Decodes the stored form as it is read, piece by piece, so that a large
// tree never has its stored form in memory whole. length: the whole stored
// form's size (-1: unknown).
class TreeDecoder {
public:
    explicit TreeDecoder(int64_t length);
    // Decodes what it can of data; returns the bytes used. The rest (less
    // than an entry) must come again at the start of the next piece. last:
    // no piece follows.
    size_t feed(const unsigned char* data, size_t length, bool last);
    TreePtr finish();

private:
    int64_t remaining_;
    std::shared_ptr<Tree> t_;
    uint64_t n_ = 0, next_ = 1;
    std::vector<int32_t> path_;  // ancestors of the part being decoded
    size_t depth_ = 0;
    bool inOrder_ = true;
};
TreePtr decodeTree(const unsigned char* data, size_t length);

// Structural join inside one record. ps, cs: sorted part numbers, or null for
// every node (the document node included). direction 2 keeps the nodes of C
// that lie on the axis of some node of P; direction 1 keeps the nodes of P
// that have some node of C on their axis. out: sorted part numbers.
// plain: kPlainP / kPlainC when that side is known to hold no attribute node.
enum { kPlainP = 1, kPlainC = 2 };
void axisJoin(const Tree& t, int axis, const std::vector<int>* ps, const std::vector<int>* cs, int direction,
              std::vector<int>& out, int plain = 0);

// Position filter: the nodes of ps whose rank (from 1, in part order) among
// the nodes of ps with the same parent satisfies op against k (k < 0 counts
// from the end of the group). op: 0 EQ, 1 NE, 2 GT, 3 LT, 4 LE, 5 GE.
void positionFilter(const Tree& t, const std::vector<int>& ps, int op, int k, std::vector<int>& out);

}  // namespace vdbs
