// CCL: commands, conditions, sets and the structural XPATH function.
#include <algorithm>
#include <cstring>
#include <functional>
#include <tuple>

#include "config.h"
#include "index.h"
#include "kernel.h"
#include "status.h"
#include "tree.h"
#include "util.h"
#include "vornapi.h"

using namespace vdbs;

namespace {

// ---------------------------------------------------------------------------
// Command words

struct Word {
    const char* canon;
    const char* english;
    const char* test;
};

// The default language is English; the test language spells every word
// differently so that a caller writing a canonical word shows up at once.
const Word kWords[] = {
    {"BAS", "BASE", "BASIS"},         {"FIN", "FIND", "SUCHE"},      {"DEL", "DELETE", "LOESCHE"},
    {"DEF", "DEFINE", "DEFINIERE"},   {"MIN", "MIN", "MINI"},        {"SHO", "SHOW", "ZEIGE"},
    {"SXX", "S", "M"},                {"ORX", "OR", "ODER"},         {"ANT", "AND.T", "UND.T"},
    {"HIL", "HIGHLIGHT", "HERVOR"},   {"REN", "RENUMBER", "NEUNUMMER"}, {"LIS", "LIST", "LISTE"},
    {"SCF", "SCROLL", "BLAETTERN"},   {"CLO", "CLOSE", "SCHLIESSE"},
};

// The session's language, asked once per command: a look-up in the
// configuration probes its files, and a command checks many words.
int g_testLanguage = -1;  // -1: not asked during this command

bool testLanguage() {
    if (g_testLanguage >= 0) return g_testLanguage != 0;
    const char* v = configValue("VDBS_LANGUAGE");
    return v && iequals(v, "test");
}

class LanguageForCommand {
public:
    LanguageForCommand() : saved_(g_testLanguage) {
        g_testLanguage = -1;
        g_testLanguage = testLanguage() ? 1 : 0;
    }
    ~LanguageForCommand() { g_testLanguage = saved_; }
    LanguageForCommand(const LanguageForCommand&) = delete;
    LanguageForCommand& operator=(const LanguageForCommand&) = delete;

private:
    int saved_;
};

const Word* wordByCanon(const std::string& c) {
    for (const Word& w : kWords)
        if (c == w.canon) return &w;
    return nullptr;
}

const char* localWord(const Word& w) { return testLanguage() ? w.test : w.english; }

// The token is the word canon in the session's language or in English.
bool isWord(const std::string& token, const char* canon) {
    const Word* w = wordByCanon(canon);
    if (!w) return false;
    std::string u = upper(token);
    return u == w->english || u == localWord(*w);
}

// ---------------------------------------------------------------------------
// Parsing

struct CclError {
    int status;
    std::string message;
};

// Hits of an operand: its own list, or a list shared with the term cache or
// a set (read-only, never copied unless taken).
struct Result {
    HitList own;
    mutable std::shared_ptr<const HitList> ref;
    // The hits are those of this search set as they are (an XPATH step that
    // keeps all of its one operand): a FIND of it takes the set itself.
    SetPtr same;
    std::vector<Term> terms;
    // Non-empty when the hits follow from index terms alone (a term, or
    // AND.T of such operands): names them for the term cache.
    std::string origin;
    // A term not read yet (lazyKey >= 0): load gives its hits when they are
    // first needed, so that AND.T of two terms can avoid decoding the longer.
    int lazyKey = -1;
    std::string lazyTerm;
    mutable std::function<std::shared_ptr<const HitList>()> load;
    // Known to hold no attribute node (a condition on the node type that
    // takes no attribute): such hits need no structure to be children.
    bool noAttr = false;
    bool lazy() const { return static_cast<bool>(load); }
    const HitList& hits() const {
        if (load) {
            ref = load();
            load = nullptr;
        }
        return ref ? *ref : own;
    }
    void set(HitList&& h) {
        own = std::move(h);
        ref.reset();
        same.reset();
        load = nullptr;
        lazyKey = -1;
        origin.clear();
    }
    HitList take() {
        hits();
        if (ref) {
            HitList copy(*ref);
            ref.reset();
            return copy;
        }
        return std::move(own);
    }
};

// Hit lists of exact-term look-ups, kept while the index of their base stays
// as it was: every step of a query asks for N_TYPE=ELEMENT again. An entry
// holds the index state it was read from, so a changed index (a new state)
// or another session never sees it.
struct TermCache {
    struct PerBase {
        IndexMetaPtr meta;
        std::map<std::pair<int, std::string>, std::shared_ptr<const HitList>> lists;
        std::map<std::pair<int, std::string>, std::shared_ptr<const TermPostings>> raw;
        // Search sets made from a kept list as it is: the next FIND of the
        // same terms takes the set, not a copy of its hits indexed again.
        std::map<std::string, SetPtr> sets;
    };
    std::map<int64_t, PerBase> bases;
    size_t bytes = 0;
    static constexpr size_t kBudget = 128u << 20;

    std::shared_ptr<const HitList> find(int64_t base, const IndexMetaPtr& meta, int key, const std::string& term) {
        auto b = bases.find(base);
        if (b == bases.end() || b->second.meta != meta) return nullptr;
        auto it = b->second.lists.find({key, term});
        return it == b->second.lists.end() ? nullptr : it->second;
    }
    SetPtr findSet(int64_t base, const IndexMetaPtr& meta, const std::string& key) {
        auto b = bases.find(base);
        if (b == bases.end() || b->second.meta != meta) return nullptr;
        auto it = b->second.sets.find(key);
        return it == b->second.sets.end() ? nullptr : it->second;
    }
    void addSet(int64_t base, const IndexMetaPtr& meta, const std::string& key, const SetPtr& set) {
        size_t n = sizeOf(*set, key);
        PerBase* b = room(base, meta, n);
        if (!b) return;
        auto& slot = b->sets[key];
        if (slot) bytes -= std::min(bytes, sizeOf(*slot, key));
        slot = set;
        bytes += n;
    }
    std::shared_ptr<const TermPostings> findRaw(int64_t base, const IndexMetaPtr& meta, int key,
                                                const std::string& term) {
        auto b = bases.find(base);
        if (b == bases.end() || b->second.meta != meta) return nullptr;
        auto it = b->second.raw.find({key, term});
        return it == b->second.raw.end() ? nullptr : it->second;
    }
    static size_t sizeOf(const HitList& l, const std::string& term) { return l.size() * sizeof(Hit) + term.size() + 64; }
    static size_t sizeOf(const SetData& d, const std::string& key) {
        return d.hits.size() * sizeof(Hit) + (d.rids.size() + d.starts.size()) * 4 + key.size() + 128;
    }
    static size_t sizeOf(const TermPostings& t, const std::string& term) {
        return t.bytes.size() + t.segments.size() * sizeof(TermPostings::Segment) + t.pending.size() * sizeof(Hit) +
               term.size() + 64;
    }
    // The entry of base, emptied when its index state changed; room for n
    // more bytes made.
    PerBase* room(int64_t base, const IndexMetaPtr& meta, size_t n) {
        if (n > kBudget) return nullptr;
        PerBase& b = bases[base];
        if (b.meta != meta) {
            for (const auto& kv : b.lists) bytes -= std::min(bytes, sizeOf(*kv.second, kv.first.second));
            for (const auto& kv : b.raw) bytes -= std::min(bytes, sizeOf(*kv.second, kv.first.second));
            for (const auto& kv : b.sets) bytes -= std::min(bytes, sizeOf(*kv.second, kv.first));
            b.lists.clear();
            b.raw.clear();
            b.sets.clear();
            b.meta = meta;
        }
        if (bytes + n > kBudget) {
            for (auto& kv : bases) {
                kv.second.lists.clear();
                kv.second.raw.clear();
                kv.second.sets.clear();
            }
            bytes = 0;
        }
        return &b;
    }
    void add(int64_t base, const IndexMetaPtr& meta, int key, const std::string& term,
             const std::shared_ptr<const HitList>& list) {
        size_t n = sizeOf(*list, term);
        PerBase* b = room(base, meta, n);
        if (!b) return;
        auto& slot = b->lists[{key, term}];
        if (slot) bytes -= std::min(bytes, sizeOf(*slot, term));
        slot = list;
        bytes += n;
    }
    void addRaw(int64_t base, const IndexMetaPtr& meta, int key, const std::string& term,
                const std::shared_ptr<const TermPostings>& raw) {
        size_t n = sizeOf(*raw, term);
        PerBase* b = room(base, meta, n);
        if (!b) return;
        auto& slot = b->raw[{key, term}];
        if (slot) bytes -= std::min(bytes, sizeOf(*slot, term));
        slot = raw;
        bytes += n;
    }
};
// Kernel calls come from one thread at a time.
TermCache g_termCache;

bool wordChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || static_cast<unsigned char>(c) >= 0x80;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class Parser {
public:
    Parser(Kernel& k, const std::string& text) : k_(k), s_(text) {}

    [[noreturn]] void syntax(const std::string& what, size_t at) {
        throw CclError{VDB_SYNTAX, what + " at position " + std::to_string(at + 1) + " in: " + s_};
    }
    [[noreturn]] void syntax(const std::string& what) { syntax(what, pos_); }

    void ws() {
        while (pos_ < s_.size() && blank(s_[pos_])) ++pos_;
    }
    bool atEnd() {
        ws();
        return pos_ >= s_.size();
    }
    // The word at the current position (no advance); empty when none.
    std::string peekWord(size_t* endOut = nullptr) {
        ws();
        size_t e = pos_;
        while (e < s_.size() && wordChar(s_[e])) ++e;
        if (endOut) *endOut = e;
        return s_.substr(pos_, e - pos_);
    }
    std::string word() {
        size_t e;
        std::string w = peekWord(&e);
        pos_ = e;
        return w;
    }
    bool peekChar(char c) {
        ws();
        return pos_ < s_.size() && s_[pos_] == c;
    }
    void expect(char c) {
        if (!peekChar(c)) syntax(std::string("expected '") + c + "'");
        ++pos_;
    }
    int integer() {
        ws();
        size_t start = pos_;
        if (pos_ < s_.size() && (s_[pos_] == '-' || s_[pos_] == '+')) ++pos_;
        size_t d = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        if (pos_ == d || pos_ - d > 9) syntax("expected a number", start);
        return atoi(s_.substr(start, pos_ - start).c_str());
    }
    std::string rest() {
        ws();
        std::string r = s_.substr(pos_);
        pos_ = s_.size();
        while (!r.empty() && blank(r.back())) r.pop_back();
        return r;
    }
    size_t pos() const { return pos_; }

    // ----- conditions -----
    // The search set of a condition's result: a result that is a kept
    // list as it is (a term, or an intersection of terms) takes the set
    // made from that list before, while the index stays as it was.
    SetPtr keptSet(const BasePtr& base, Result& r) {
        const bool noAttr = r.noAttr;
        if (r.same && r.same->noAttributes == noAttr && r.same->terms.size() == r.terms.size() &&
            std::equal(r.terms.begin(), r.terms.end(), r.same->terms.begin(), [](const Term& a, const Term& b) {
                return a.field == b.field && a.kind == b.kind && a.value == b.value;
            }))
            return r.same;
        r.hits();
        if (!r.ref || r.origin.empty() || !meta_) return makeSet(base->id, base->name, r.take(), std::move(r.terms), noAttr);
        std::string key = r.origin + (noAttr ? "|e|" : "|a|") + base->name;
        for (const Term& t : r.terms)
            key += "|" + std::to_string(t.field) + ":" + std::to_string(static_cast<int>(t.kind)) + ":" +
                   std::to_string(t.value.size()) + ":" + t.value;
        if (SetPtr s = g_termCache.findSet(base->id, meta_, key)) return s;
        SetPtr s = makeSet(base->id, base->name, r.take(), std::move(r.terms), noAttr);
        g_termCache.addSet(base->id, meta_, key, s);
        return s;
    }

    Result condition(const BasePtr& base) {
        base_ = base;
        meta_ = k_.meta(base->id);
        depth_ = 0;
        Result r = orExpr();
        if (!atEnd()) syntax("unexpected text");
        return r;
    }

private:
    bool isOperatorWord(const std::string& w) {
        std::string u = upper(w);
        return u == "AND" || u == "AND.R" || u == "NOT" || u == "AND.T" || u == "NOT.T" || u == "OR" ||
               isWord(w, "ORX") || isWord(w, "ANT");
    }

    Result orExpr() {
        Result l = antExpr();
        for (;;) {
            size_t e;
            std::string w = peekWord(&e);
            if (w.empty() || !(upper(w) == "OR" || isWord(w, "ORX"))) return l;
            pos_ = e;
            Result r = antExpr();
            l.set(hitOr(l.hits(), r.hits()));
            l.noAttr = l.noAttr && r.noAttr;
            merge(l.terms, r.terms);
        }
    }
    Result antExpr() {
        Result l = andExpr();
        for (;;) {
            size_t e;
            std::string w = peekWord(&e);
            std::string u = upper(w);
            if (u == "AND.T" || isWord(w, "ANT")) {
                pos_ = e;
                Result r = andExpr();
                andTerms(l, r);
                l.noAttr = l.noAttr || r.noAttr;
                merge(l.terms, r.terms);
            } else if (u == "NOT.T") {
                pos_ = e;
                Result r = andExpr();
                l.set(hitNot(l.hits(), r.hits()));
            } else {
                return l;
            }
        }
    }
    Result andExpr() {
        Result l = primary();
        for (;;) {
            size_t e;
            std::string w = peekWord(&e);
            std::string u = upper(w);
            if (u == "AND" || u == "AND.R") {
                pos_ = e;
                Result r = primary();
                l.set(hitAndRecords(l.hits(), r.hits()));
                l.noAttr = r.noAttr;
                merge(l.terms, r.terms);
            } else if (u == "NOT") {
                pos_ = e;
                Result r = primary();
                l.set(hitNotRecords(l.hits(), r.hits()));
            } else {
                return l;
            }
        }
    }
    static void merge(std::vector<Term>& a, const std::vector<Term>& b) { a.insert(a.end(), b.begin(), b.end()); }

    // AND.T. Of two operands made of index terms alone the intersection
    // depends on the index state only, so it is kept beside the terms: every
    // step of a query asks for the elements of a name (N_TYPE=ELEMENT AND.T
    // N_NAME="x"), two long lists whose merge would cost more than the rest.
    void andTerms(Result& l, Result& r) {
        if (l.origin.empty() || r.origin.empty()) {
            l.set(hitAnd(l.hits(), r.hits()));
            return;
        }
        bool swap = r.origin < l.origin;
        std::string key = "(" + (swap ? r.origin : l.origin) + "&" + (swap ? l.origin : r.origin) + ")";
        std::shared_ptr<const HitList> list = g_termCache.find(base_->id, meta_, kDerivedKey, key);
        if (!list) {
            auto made = std::make_shared<HitList>();
            if (l.lazy() || r.lazy())
                andLazy(l, r, *made);
            else
                *made = hitAnd(l.hits(), r.hits());
            g_termCache.add(base_->id, meta_, kDerivedKey, key, made);
            list = std::move(made);
        }
        l.own.clear();
        l.load = nullptr;
        l.lazyKey = -1;
        l.ref = std::move(list);
        l.origin = std::move(key);
    }
    // AND.T where a side is a term not read yet: the shorter side as a
    // list, the longer one intersected with it as it is decoded.
    void andLazy(Result& l, Result& r, HitList& out) {
        for (Result* x : {&l, &r})
            if (x->lazy())
                if (auto h = g_termCache.find(base_->id, meta_, x->lazyKey, x->lazyTerm)) {
                    x->ref = std::move(h);
                    x->load = nullptr;
                }
        if (!l.lazy() && !r.lazy()) {
            out = hitAnd(l.hits(), r.hits());
            return;
        }
        if (l.lazy() && r.lazy()) {
            auto pl = raw(l.lazyKey, l.lazyTerm);
            auto pr = raw(r.lazyKey, r.lazyTerm);
            bool leftShort = pl->estimate() <= pr->estimate();
            const Result& s = leftShort ? l : r;
            intersectTerm(leftShort ? *pr : *pl, s.hits(), out);
            return;
        }
        const Result& lazySide = l.lazy() ? l : r;
        const Result& known = l.lazy() ? r : l;
        intersectTerm(*raw(lazySide.lazyKey, lazySide.lazyTerm), known.hits(), out);
    }
    // A term's list from the cache, named as an operand; read when used.
    void useTerm(Result& r, int key, const std::string& t) {
        r.lazyKey = key;
        r.lazyTerm = t;
        r.load = [this, key, t] { return shared(key, t); };
        r.origin = std::to_string(key) + ":" + std::to_string(t.size()) + ":" + t;
    }
    static constexpr int kDerivedKey = -1;

    Result primary() {
        ws();
        if (pos_ >= s_.size()) syntax("condition missing");
        if (s_[pos_] == '(') {
            ++pos_;
            ++depth_;
            Result r = orExpr();
            if (!peekChar(')')) syntax("expected ')'");
            ++pos_;
            --depth_;
            return r;
        }
        size_t start = pos_;
        size_t e;
        std::string w = peekWord(&e);
        if (w.empty()) syntax("expected a condition");
        if (isOperatorWord(w)) syntax("expected a condition, found " + w);
        std::string u = upper(w);
        pos_ = e;
        if (u == "ALL" && !nextIsOperatorChar()) return all();
        if (u == "XPATH" && peekChar('(')) return xpath(start);
        if (isWord(w, "SXX") && peekChar('=')) {
            ++pos_;
            int n = integer();
            return setHits(n, start);
        }
        if (peekChar('(')) {
            size_t save = pos_;
            ++pos_;
            if (peekChar('$')) {
                ++pos_;
                if (peekChar(')')) {
                    ++pos_;
                    return mapHits(w, start);
                }
            }
            pos_ = save;
        }
        return fieldCondition(w, start);
    }

    bool nextIsOperatorChar() {
        size_t p = pos_;
        while (p < s_.size() && blank(s_[p])) ++p;
        return p < s_.size() && (s_[p] == '=' || s_[p] == '<' || s_[p] == '>');
    }

    Result all() {
        std::vector<int> rids;
        k_.st->allRecords(base_->id, rids);
        Result r;
        r.own.reserve(rids.size());
        for (int rid : rids) r.own.push_back(mkHit(rid, 0));
        return r;
    }

    Result setHits(int n, size_t at) {
        auto it = k_.state.sets.find(n);
        if (it == k_.state.sets.end()) throw CclError{VDB_NOSET, "set " + std::to_string(n) + " does not exist"};
        if (it->second->base != base_->id)
            throw CclError{VDB_NOSET, "set " + std::to_string(n) + " belongs to base " + it->second->baseName +
                                          ", not to the open base " + base_->name};
        (void)at;
        Result r;
        r.ref = std::shared_ptr<const HitList>(it->second, &it->second->hits);
        r.terms = it->second->terms;
        r.noAttr = it->second->noAttributes;
        return r;
    }

    const SetData* setArg(int n) {
        if (n == 0) return nullptr;
        auto it = k_.state.sets.find(n);
        if (it == k_.state.sets.end()) throw CclError{VDB_NOSET, "set " + std::to_string(n) + " does not exist"};
        if (it->second->base != base_->id)
            throw CclError{VDB_NOSET, "set " + std::to_string(n) + " belongs to base " + it->second->baseName};
        return it->second.get();
    }

    Result xpath(size_t at) {
        expect('(');
        size_t axisAt = pos_;
        std::string axisName = word();
        // Axis names carry '-', which the word scanner keeps.
        int axis = axisByName(axisName);
        if (axisName.empty()) syntax("expected an axis name", axisAt);
        if (!axis) throw CclError{VDB_AXIS, "unknown axis '" + axisName + "' in XPATH at position " +
                                                std::to_string(axisAt + 1) + " in: " + s_};
        expect(',');
        int p = integer();
        expect(',');
        int c = integer();
        expect(',');
        size_t dirAt = pos_;
        int dir = integer();
        if (dir != 1 && dir != 2) syntax("direction must be 1 or 2", dirAt);
        bool position = false;
        int op = 0, kk = 0;
        if (peekChar(',')) {
            ++pos_;
            size_t opAt = pos_;
            std::string o = upper(word());
            static const char* ops[] = {"EQ", "NE", "GT", "LT", "LE", "GE"};
            op = -1;
            for (int i = 0; i < 6; ++i)
                if (o == ops[i]) op = i;
            if (op < 0) syntax("expected EQ, NE, GT, LT, LE or GE", opAt);
            expect(',');
            kk = integer();
            position = true;
            if (axis != AxisSelf || dir != 1) syntax("a position test needs XPATH(SELF,set,set,1,...)", at);
        }
        expect(')');
        if (!base_->design.isXml)
            throw CclError{VDB_FIELDKIND, "XPATH needs a base of the xml design; " + base_->name + " is not one"};
        const SetData* P = setArg(p);
        const SetData* C = setArg(c);
        Result r;
        if (P) r.terms = P->terms;
        if (C) merge(r.terms, C->terms);
        if (position) {
            positionJoin(P, C, op, kk, r.own);
            r.noAttr = (P && P->noAttributes) || (C && C->noAttributes);
        } else {
            const SetData* kept = dir == 2 ? C : P;
            bool all = false;
            if (withoutTrees(axis, P, C, dir, r.own, all)) {
                if (all || (kept && r.own.size() == kept->hits.size())) r.same = k_.state.sets[dir == 2 ? c : p];
                // Every hit kept: the operand's own list, not a copy.
                if (all) r.ref = std::shared_ptr<const HitList>(r.same, &r.same->hits);
            } else {
                structuralJoin(axis, P, C, dir, r.own);
            }
            r.noAttr = kept && kept->noAttributes;
        }
        return r;
    }

    // Joins against every node whose result follows without the records'
    // structure: axes every node has, or hits known to be no attributes
    // (the first step of //name). Every record of an XML base has its tree,
    // so this keeps what the join over the trees gives.
    // all: every hit of the operand is kept (out is left empty).
    static bool withoutTrees(int axis, const SetData* P, const SetData* C, int dir, HitList& out, bool& all) {
        auto notDocument = [&out, &all](const HitList& in) {
            out.clear();
            if (std::none_of(in.begin(), in.end(), [](Hit h) { return hitPart(h) == 0; })) {
                all = true;
                return;
            }
            out.reserve(in.size());
            for (Hit h : in)
                if (hitPart(h) != 0) out.push_back(h);
        };
        if (dir == 2 && !P && C) {
            switch (axis) {
                case AxisSelf:
                case AxisDescendantOrSelf:
                case AxisAncestorOrSelf: all = true; return true;
                case AxisChild:
                case AxisDescendant:
                    if (!C->noAttributes) return false;
                    notDocument(C->hits);
                    return true;
                case AxisAttribute:
                    if (!C->noAttributes) return false;
                    out.clear();
                    return true;
                default: return false;
            }
        }
        if (dir == 1 && !C && P) {
            switch (axis) {
                case AxisSelf:
                case AxisDescendantOrSelf:
                case AxisAncestorOrSelf: all = true; return true;
                case AxisParent:
                case AxisAncestor: notDocument(P->hits); return true;
                default: return false;
            }
        }
        return false;
    }

    // Records an XPATH operation visits: those of the operand sets.
    void recordsFor(const SetData* P, const SetData* C, int dir, std::vector<int>& rids) {
        if (P && C) {
            std::set_intersection(P->rids.begin(), P->rids.end(), C->rids.begin(), C->rids.end(),
                                  std::back_inserter(rids));
        } else if (P) {
            rids = P->rids;
        } else if (C) {
            rids = C->rids;
        } else {
            k_.st->allRecords(base_->id, rids);
        }
        (void)dir;
    }

    // The hits [b, e) of record rid in s; cursor only moves forward.
    static void rangeOf(const SetData* s, int rid, size_t& cursor, size_t& b, size_t& e) {
        while (cursor < s->rids.size() && s->rids[cursor] < rid) ++cursor;
        if (cursor >= s->rids.size() || s->rids[cursor] != rid) {
            b = e = 0;
            return;
        }
        b = s->starts[cursor];
        e = cursor + 1 < s->starts.size() ? s->starts[cursor + 1] : s->hits.size();
    }
    static void partsOf(const SetData* s, int rid, size_t& cursor, std::vector<int>& out) {
        out.clear();
        size_t b, e;
        rangeOf(s, rid, cursor, b, e);
        out.reserve(e - b);
        for (size_t i = b; i < e; ++i) out.push_back(hitPart(s->hits[i]));
    }

    void structuralJoin(int axis, const SetData* P, const SetData* C, int dir, HitList& out) {
        std::vector<int> rids;
        recordsFor(P, C, dir, rids);
        std::vector<const Tree*> trees;
        k_.treesFor(base_->id, rids, trees);
        // The result is part of the side it keeps: room for that at once.
        if (const SetData* kept = dir == 2 ? C : P) out.reserve(kept->hits.size());
        std::vector<int> ps, cs, res;
        size_t pc = 0, cc = 0;
        const int plain = (P && P->noAttributes ? kPlainP : 0) | (C && C->noAttributes ? kPlainC : 0);
        // The trees lie scattered over memory and a record's join touches a
        // few of its nodes: the nodes of records some way ahead are asked
        // for early, so that their reads overlap instead of waiting in turn.
        constexpr size_t kAhead = 8;
        size_t pa = 0, ca = 0;
        auto prefetch = [&](size_t r) {
            if (r + 2 * kAhead < trees.size() && trees[r + 2 * kAhead]) __builtin_prefetch(trees[r + 2 * kAhead]);
            if (r + kAhead >= trees.size() || !trees[r + kAhead]) return;
            const Tree& t = *trees[r + kAhead];
            if (!t.pre.empty()) return;
            for (auto [s, cur, most] : {std::make_tuple(P, &pa, size_t{4}), std::make_tuple(C, &ca, size_t{32})}) {
                if (!s) continue;
                size_t& k = *cur;
                while (k < s->rids.size() && s->rids[k] < rids[r + kAhead]) ++k;
                if (k == s->rids.size() || s->rids[k] != rids[r + kAhead]) continue;
                size_t b = s->starts[k], e = k + 1 < s->starts.size() ? s->starts[k + 1] : s->hits.size();
                for (size_t i = b; i < e && i < b + most; ++i) {
                    int part = hitPart(s->hits[i]);
                    if (part >= 0 && part <= t.n) __builtin_prefetch(&t.parent[part]);
                }
            }
        };
        // A path step (the children of P in C) over records with few hits
        // of P each tests C's hits where they lie: no lists per record.
        const bool direct = (axis == AxisChild || axis == AxisAttribute) && dir == 2 && P && C;
        const bool wantAttr = axis == AxisAttribute;
        for (size_t r = 0; r < rids.size(); ++r) {
            prefetch(r);
            const Tree* t = trees[r];
            int rid = rids[r];
            if (!t) continue;
            if (direct && t->pre.empty()) {
                size_t pb, pe, cb, ce;
                rangeOf(P, rid, pc, pb, pe);
                rangeOf(C, rid, cc, cb, ce);
                // Few parents among many candidates (the items of one region
                // among those of a large document): each parent's children
                // lie in its subtree's range of the candidates.
                if ((pe - pb) * 4 < ce - cb && ce - cb > 64 && childrenInRanges(*t, rid, P, pb, pe, C, cb, ce, wantAttr, plain, out))
                    continue;
                if (pe - pb <= 64) {
                    const Hit* ph = P->hits.data();
                    for (size_t i = cb; i < ce; ++i) {
                        int c = hitPart(C->hits[i]);
                        if (c <= 0 || c > t->n) continue;
                        if ((plain & kPlainC) ? wantAttr : (t->attr[c] != 0) != wantAttr) continue;
                        Hit parent = mkHit(rid, t->parent[c]);
                        bool found = false;
                        if (pe - pb <= 8) {
                            for (size_t k = pb; k < pe && !found; ++k) found = ph[k] == parent;
                        } else {
                            found = std::binary_search(ph + pb, ph + pe, parent);
                        }
                        if (found) out.push_back(C->hits[i]);
                    }
                    continue;
                }
            }
            if (P) partsOf(P, rid, pc, ps);
            if (C) partsOf(C, rid, cc, cs);
            axisJoin(*t, axis, P ? &ps : nullptr, C ? &cs : nullptr, dir, res, plain);
            for (int part : res) out.push_back(mkHit(rid, part));
        }
    }

    // The children of P's hits [pb, pe) among C's hits [cb, ce) of record
    // rid, appended to out; false (out as it was) when parents nested in
    // one another would read more candidates than testing each once.
    static bool childrenInRanges(const Tree& t, int rid, const SetData* P, size_t pb, size_t pe, const SetData* C,
                                 size_t cb, size_t ce, bool wantAttr, int plain, HitList& out) {
        const size_t before = out.size();
        const Hit* c0 = C->hits.data() + cb;
        const Hit* c1 = C->hits.data() + ce;
        const Hit* from = c0;
        size_t budget = ce - cb;
        for (size_t k = pb; k < pe; ++k) {
            const int p = hitPart(P->hits[k]);
            if (p < 0 || p > t.n) continue;
            const Hit* lo = upperFrom(from, c1, mkHit(rid, p));
            const Hit* hi = upperFrom(lo, c1, mkHit(rid, t.end[p]));
            from = lo;
            if (static_cast<size_t>(hi - lo) > budget) {
                out.resize(before);
                return false;
            }
            budget -= static_cast<size_t>(hi - lo);
            for (const Hit* h = lo; h < hi; ++h) {
                const int c = hitPart(*h);
                if (c <= 0 || c > t.n || t.parent[c] != p) continue;
                if ((plain & kPlainC) ? wantAttr : (t.attr[c] != 0) != wantAttr) continue;
                out.push_back(*h);
            }
        }
        // Parents nested in others give their children out of order.
        if (!std::is_sorted(out.begin() + static_cast<long>(before), out.end()))
            std::sort(out.begin() + static_cast<long>(before), out.end());
        return true;
    }

    void positionJoin(const SetData* P, const SetData* C, int op, int kk, HitList& out) {
        std::vector<int> rids;
        recordsFor(P, nullptr, 1, rids);
        std::vector<const Tree*> trees;
        k_.treesFor(base_->id, rids, trees);
        std::vector<int> ps, cs, res, all;
        size_t pc = 0, cc = 0;
        for (size_t r = 0; r < rids.size(); ++r) {
            const Tree* t = trees[r];
            int rid = rids[r];
            if (!t) continue;
            if (P) {
                partsOf(P, rid, pc, ps);
            } else {
                ps.resize(static_cast<size_t>(t->n) + 1);
                for (int i = 0; i <= t->n; ++i) ps[static_cast<size_t>(i)] = i;
            }
            positionFilter(*t, ps, op, kk, res);
            if (C && C != P) {
                partsOf(C, rid, cc, cs);
                all.clear();
                std::set_intersection(res.begin(), res.end(), cs.begin(), cs.end(), std::back_inserter(all));
                res.swap(all);
            }
            for (int part : res) out.push_back(mkHit(rid, part));
        }
    }

    Result mapHits(const std::string& name, size_t at) {
        auto it = k_.state.maps.find(upper(name));
        if (it == k_.state.maps.end())
            throw CclError{VDB_BADFIELD, "'" + name + "' is neither a field nor a defined map (position " +
                                             std::to_string(at + 1) + " in: " + s_ + ")"};
        const MapDef& m = it->second;
        BasePtr mb = k_.findBase(m.base);
        if (!mb) throw CclError{VDB_NOBASE, "map " + name + ": no base named '" + m.base + "'"};
        int g = mb->design.find(m.from);
        int h = base_->design.find(m.to);
        if (!g) throw CclError{VDB_BADFIELD, "map " + name + ": field " + m.from + " is not in base " + mb->name};
        if (!h) throw CclError{VDB_BADFIELD, "map " + name + ": field " + m.to + " is not in base " + base_->name};
        IndexMetaPtr mm = k_.meta(mb->id);
        std::vector<std::string> values;
        listTerms(*k_.st, mb->id, *mm, indexKey(g, kExact), [&](const std::string& t) { values.push_back(t); });
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        HitList found;
        for (const std::string& v : values) lookupTerm(*k_.st, base_->id, *meta_, indexKey(h, kExact), v, found);
        Result r;
        int prev = -1;
        sortUnique(found);
        for (Hit x : found)
            if (hitRid(x) != prev) {
                prev = hitRid(x);
                r.own.push_back(mkHit(prev, 0));
            }
        return r;
    }

    // ----- field conditions -----
    enum Quote { None, Quoted, Dollars };

    std::string value(Quote& q) {
        ws();
        if (pos_ >= s_.size()) syntax("value missing");
        char c = s_[pos_];
        if (c == '"' || c == '\'' || c == '&') {
            size_t start = pos_ + 1;
            for (size_t i = start; i < s_.size(); ++i) {
                if (s_[i] != c) continue;
                if (i + 1 == s_.size() || blank(s_[i + 1]) || s_[i + 1] == ')') {
                    pos_ = i + 1;
                    q = Quoted;
                    return s_.substr(start, i - start);
                }
            }
            syntax(std::string("unterminated value opened with ") + c);
        }
        // "$...$": a substring; it may hold blanks, parentheses and operator words.
        if (c == '$') {
            for (size_t i = pos_ + 1; i < s_.size(); ++i) {
                if (s_[i] != '$') continue;
                if (i + 1 == s_.size() || blank(s_[i + 1]) || s_[i + 1] == ')') {
                    std::string inner = s_.substr(pos_ + 1, i - pos_ - 1);
                    pos_ = i + 1;
                    q = Dollars;
                    return inner;
                }
            }
        }
        q = None;
        size_t start = pos_;
        size_t end = start;
        for (;;) {
            size_t p = end == start ? start : end;
            // one blank-free piece
            while (p < s_.size() && !blank(s_[p]) && !(s_[p] == ')' && depth_ > 0)) ++p;
            end = p;
            // further words belong to the value unless an operator or the end follows
            size_t q2 = p;
            while (q2 < s_.size() && blank(s_[q2])) ++q2;
            if (q2 >= s_.size() || q2 == p || (s_[q2] == ')' && depth_ > 0)) break;
            size_t we = q2;
            while (we < s_.size() && wordChar(s_[we])) ++we;
            if (we > q2 && isOperatorWord(s_.substr(q2, we - q2))) break;
            if (s_[q2] == '(') break;
            end = q2;
            while (end < s_.size() && !blank(s_[end]) && !(s_[end] == ')' && depth_ > 0)) ++end;
        }
        if (end == start) syntax("value missing");
        pos_ = end;
        return s_.substr(start, end - start);
    }

    Result fieldCondition(const std::string& name, size_t at) {
        int f = base_->design.find(name);
        if (!f) throw CclError{VDB_BADFIELD, "field " + name + " is not in base " + base_->name + " (position " +
                                                 std::to_string(at + 1) + " in: " + s_ + ")"};
        ws();
        std::string op;
        if (s_.compare(pos_, 2, "<>") == 0 || s_.compare(pos_, 2, "<=") == 0 || s_.compare(pos_, 2, ">=") == 0) {
            op = s_.substr(pos_, 2);
            pos_ += 2;
        } else if (pos_ < s_.size() && (s_[pos_] == '=' || s_[pos_] == '<' || s_[pos_] == '>')) {
            op = s_.substr(pos_, 1);
            ++pos_;
        } else {
            syntax("expected =, <>, <, >, <= or >= after field " + name);
        }
        Quote q;
        std::string v = value(q);
        Result r;
        const FieldDef* fd = base_->design.field(f);
        if (fd->type == 20) throw CclError{VDB_FIELDKIND, "field " + fd->name + " is a blob and cannot be searched"};
        if (op == "=" && q == Dollars) {
            if (v.empty())
                useTerm(r, indexKey(f, kAny), std::string());
            else
                substring(f, v, false, r.own);
            r.terms.push_back(Term{f, Term::Contains, v});
        } else if (op == "=") {
            if (q == None && v == "$") {
                useTerm(r, indexKey(f, kAny), std::string());
            } else if (q == None && v.size() >= 2 && v.front() == '$' && v.back() == '$') {
                std::string needle = v.substr(1, v.size() - 2);
                if (needle.empty())
                    useTerm(r, indexKey(f, kAny), std::string());
                else
                    substring(f, needle, false, r.own);
                r.terms.push_back(Term{f, Term::Contains, needle});
            } else if (q == None && v.size() >= 2 && v.back() == '$') {
                std::string pre = v.substr(0, v.size() - 1);
                prefix(f, pre, r.own);
                r.terms.push_back(Term{f, Term::Prefix, pre});
            } else if (q == None && v.size() >= 2 && v.front() == '$') {
                std::string suf = v.substr(1);
                substring(f, suf, true, r.own);
                r.terms.push_back(Term{f, Term::Suffix, suf});
            } else {
                useTerm(r, indexKey(f, kExact), exactTerm(v));
                r.terms.push_back(Term{f, Term::Exact, v});
                r.noAttr = base_->design.isXml && f == base_->design.find("N_TYPE") && v != "ATTRIBUTE";
            }
        } else if (op == "<>" && v.empty()) {
            // Parts with a value other than the empty one: every exact term
            // after it, without reading the empty value's hits, which most
            // parts of a field such as N_NSPACE share.
            lookupRange(*k_.st, base_->id, *meta_, indexKey(f, kExact), std::string(1, '\0'), std::string(), true,
                        nullptr, r.own);
        } else if (op == "<>") {
            HitList any, eq, multi;
            term(indexKey(f, kAny), std::string(), any);
            term(indexKey(f, kExact), exactTerm(v), eq);
            term(indexKey(f, kMulti), std::string(), multi);
            r.own = hitOr(hitNot(any, eq), hitAnd(multi, eq));
        } else {
            double num;
            if (parseXPathNumber(v, num) && !numericKeys(fd->type)) {
                // Few distinct values: compare each of them.
                auto cmp = [op, num](std::string_view t) {
                    double x;
                    if (!parseXPathNumber(t, x)) return false;
                    if (op == ">") return x > num;
                    if (op == ">=") return x >= num;
                    if (op == "<") return x < num;
                    return x <= num;
                };
                lookupRange(*k_.st, base_->id, *meta_, indexKey(f, kExact), std::string(), std::string(), true, cmp,
                            r.own);
            } else if (parseXPathNumber(v, num)) {
                std::string t = numTerm(num);
                std::string lo, hi;
                bool open = false;
                std::function<bool(std::string_view)> accept;
                if (op == ">") {
                    lo = t;
                    open = true;
                    accept = [t](std::string_view x) { return x != t; };
                } else if (op == ">=") {
                    lo = t;
                    open = true;
                } else if (op == "<") {
                    hi = t;
                } else {
                    hi = t + std::string(1, '\0');
                }
                lookupRange(*k_.st, base_->id, *meta_, indexKey(f, kNum), lo, hi, open, accept, r.own);
            }
        }
        return r;
    }

    // The hits of one term, from the cache when the index is as it was.
    std::shared_ptr<const HitList> shared(int key, const std::string& t) {
        if (auto hit = g_termCache.find(base_->id, meta_, key, t)) return hit;
        auto list = std::make_shared<HitList>();
        if (auto rw = g_termCache.findRaw(base_->id, meta_, key, t))
            decodeTerm(*rw, *list);
        else
            lookupTerm(*k_.st, base_->id, *meta_, key, t, *list);
        g_termCache.add(base_->id, meta_, key, t, list);
        return list;
    }
    // A term's stored entries, still encoded, from the cache when the index is as it was.
    std::shared_ptr<const TermPostings> raw(int key, const std::string& t) {
        if (auto hit = g_termCache.findRaw(base_->id, meta_, key, t)) return hit;
        auto tp = std::make_shared<TermPostings>();
        readTerm(*k_.st, base_->id, *meta_, key, t, *tp);
        g_termCache.addRaw(base_->id, meta_, key, t, tp);
        return tp;
    }
    void term(int key, const std::string& t, HitList& out) {
        if (!out.empty()) {
            lookupTerm(*k_.st, base_->id, *meta_, key, t, out);
            return;
        }
        out = *shared(key, t);
    }

    void prefix(int f, const std::string& pre, HitList& out) {
        std::string hi = pre;
        while (!hi.empty() && static_cast<unsigned char>(hi.back()) == 0xff) hi.pop_back();
        bool open = hi.empty();
        if (!open) hi.back() = static_cast<char>(static_cast<unsigned char>(hi.back()) + 1);
        lookupRange(*k_.st, base_->id, *meta_, indexKey(f, kExact), pre, hi, open,
                    [&](std::string_view t) { return t.substr(0, pre.size()) == pre; }, out);
    }

    // Checks the candidates [i, j) of record rid in the pages that hold
    // them, each read once; the others (a third of a large document's for a
    // common word) are not read. False, with kept as it was, when a page was
    // written again since it was listed.
    template <class Matches>
    bool checkInPages(int rid, const HitList& cand, size_t i, size_t j, Matches& matches, HitList& kept) {
        const size_t keptBefore = kept.size();
        std::vector<SlotPageRef> refs;
        k_.st->listSlotPages(base_->id, rid, refs);
        size_t next = i;
        for (size_t k = 0; k < refs.size() && next < j; ++k) {
            while (next < j && hitPart(cand[next]) < refs[k].first) ++next;
            if (next == j || (k + 1 < refs.size() && hitPart(cand[next]) >= refs[k + 1].first)) continue;
            // The page is read and walked as far as its last candidate: by
            // the share of its slots before it, then on if that falls short.
            size_t last = next;
            while (last + 1 < j && (k + 1 == refs.size() || hitPart(cand[last + 1]) < refs[k + 1].first)) ++last;
            const size_t share = static_cast<size_t>(hitPart(cand[last]) - refs[k].first) + 1;
            pageBytes_.clear();
            size_t total = 0, want = 0;
            auto read = [&](size_t upTo) {
                return k_.st->readListedSlotPageBytes(base_->id, rid, refs[k], pageBytes_, upTo, total);
            };
            if (!read(0) || !read(want = share >= kSlotsPerPage ? total : total * share / kSlotsPerPage + 1024)) {
                kept.resize(keptBefore);
                return false;
            }
            size_t at = 0;
            while (next <= last && at < total) {
                const unsigned char* b = reinterpret_cast<const unsigned char*>(pageBytes_.data());
                uint32_t off, len;
                const unsigned char* d;
                const SlotHeader h = readSlotHeader(b + at, b + pageBytes_.size(), off, d, len);
                if (h == SlotHeader::cut && pageBytes_.size() < total) {
                    if (!read(want = std::max(want * 2, pageBytes_.size() + 1))) {
                        kept.resize(keptBefore);
                        return false;
                    }
                    continue;
                }
                if (h != SlotHeader::ok)
                    throw slotPagesDamaged(rid);
                const int slot = refs[k].first + static_cast<int>(off);
                while (next <= last && hitPart(cand[next]) < slot) ++next;
                if (next <= last && hitPart(cand[next]) == slot && matches(d, len)) kept.push_back(cand[next++]);
                at = static_cast<size_t>(d + len - b);
            }
            next = last + 1;
        }
        return true;
    }

    // Values of field f at (rid, part) satisfy pred: read from storage.
    void verify(int f, HitList& cand, const std::function<bool(std::string_view)>& pred) {
        HitList kept;
        std::string data;
        const bool ps = base_->design.partScoped(f);
        // The values are tested where they lie in the page, none copied.
        auto matches = [&](const unsigned char* p, size_t n) {
            bool found = false;
            bool whole = walkSlot(p, p + n, [&](uint64_t field, uint64_t, uint8_t flags, const unsigned char* d,
                                                size_t len) {
                if (!found && static_cast<int>(field) == f && ((flags & kPart) != 0) == ps &&
                    pred(std::string_view(reinterpret_cast<const char*>(d), len)))
                    found = true;
            });
            return whole && found;
        };
        for (size_t i = 0; i < cand.size();) {
            int rid = hitRid(cand[i]);
            size_t j = i;
            while (j < cand.size() && hitRid(cand[j]) == rid) ++j;
            // Storage keeps slots in pages: reading one slot reads its page.
            // Candidates in most of a record's pages read those pages once,
            // each as far as its last candidate; a few candidates in a large
            // record are read one by one.
            // The record's size from its tree when a join read it already,
            // else from its row.
            size_t pages = 0;
            if (const Tree* t = k_.trees.find(base_->id, rid)) {
                pages = static_cast<size_t>(t->n) / 256 + 1;
            } else {
                RecordRow row;
                if (k_.st->getRecord(base_->id, rid, row)) pages = static_cast<size_t>(row.nparts) / 256 + 1;
            }
            // Every page of the record in one pass.
            auto readWhole = [&] {
                size_t next = i;
                k_.st->readSlots(base_->id, rid, [&](int slot, const unsigned char* d, size_t len) {
                    while (next < j && hitPart(cand[next]) < slot) ++next;
                    if (next < j && hitPart(cand[next]) == slot && matches(d, len)) kept.push_back(cand[next++]);
                });
            };
            if (j - i >= 2 && (j - i) * 2 >= pages) {
                if (!checkInPages(rid, cand, i, j, matches, kept)) {
                    // A page written again since it was listed: the record
                    // is read as it is now, all of it.
                    readWhole();
                }
            } else {
                for (size_t c = i; c < j; ++c)
                    if (k_.st->readSlot(base_->id, rid, hitPart(cand[c]), data) &&
                        matches(reinterpret_cast<const unsigned char*>(data.data()), data.size()))
                        kept.push_back(cand[c]);
            }
            i = j;
        }
        cand.swap(kept);
    }

    void substring(int f, const std::string& needle, bool suffixOnly, HitList& out) {
        auto pred = [&](std::string_view v) {
            if (suffixOnly)
                return v.size() >= needle.size() && v.compare(v.size() - needle.size(), needle.size(), needle) == 0;
            return v.find(needle) != std::string::npos;
        };
        const FieldDef* fd = base_->design.field(f);
        if (fd->type == 1 && needle.size() >= 3) {
            std::vector<std::string> tris;
            for (size_t i = 0; i + 3 <= needle.size(); ++i) tris.push_back(needle.substr(i, 3));
            std::sort(tris.begin(), tris.end());
            tris.erase(std::unique(tris.begin(), tris.end()), tris.end());
            HitList cand;
            bool firstList = true;
            for (const std::string& t : tris) {
                HitList l;
                term(indexKey(f, kTri), t, l);
                cand = firstList ? std::move(l) : hitAnd(cand, l);
                firstList = false;
                if (cand.empty()) break;
            }
            HitList longParts;
            term(indexKey(f, kLong), std::string(), longParts);
            bool exact = !suffixOnly && needle.size() == 3;
            if (exact) {
                HitList sure = hitNot(cand, longParts);
                HitList check = hitOr(hitAnd(cand, longParts), longParts);
                verify(f, check, pred);
                out = hitOr(sure, check);
            } else {
                cand = hitOr(cand, longParts);
                verify(f, cand, pred);
                out = std::move(cand);
            }
            return;
        }
        // Short needles and fields without trigrams: the distinct values of the field.
        lookupRange(*k_.st, base_->id, *meta_, indexKey(f, kExact), std::string(), std::string(), true,
                    [&](std::string_view t) { return pred(t); }, out);
    }

    Kernel& k_;
    const std::string& s_;
    size_t pos_ = 0;
    int depth_ = 0;
    BasePtr base_;
    IndexMetaPtr meta_;
    // A page's bytes while candidates in it are checked.
    ByteBuffer pageBytes_;
};

// ---------------------------------------------------------------------------
// Commands

int newSetNumber(Kernel& k) { return k.state.sets.empty() ? 1 : k.state.sets.rbegin()->first + 1; }

WindowPtr captureWindow(Kernel& k) {
    auto s = k.state.screens.find(5);
    if (s != k.state.screens.end()) {
        auto w = k.state.windows.find(s->second);
        if (w != k.state.windows.end()) return w->second;
    }
    auto w = std::make_shared<Window>();
    w->id = k.state.nextWindow++;
    k.state.windows[w->id] = w;
    k.state.screens[5] = w->id;
    return w;
}

int runCommand(Kernel& k, const std::string& text, int* setOut) {
    if (setOut) *setOut = 0;
    Parser p(k, text);
    size_t at = p.pos();
    std::string cmd = p.word();
    if (cmd.empty()) p.syntax("expected a command word", at);

    if (isWord(cmd, "BAS")) {
        std::string name = p.word();
        if (name.empty()) p.syntax("expected a base name");
        if (!p.atEnd()) p.syntax("unexpected text after the base name");
        k.checkVersion(true);
        BasePtr b = k.findBase(name);
        if (!b) return fail(VDB_NOBASE, "no base named '%s'", name.c_str());
        k.state.open = b;
        return VDB_OK;
    }
    if (isWord(cmd, "CLO")) {
        if (!p.atEnd()) p.syntax("unexpected text after CLOSE");
        k.state.open = nullptr;
        return VDB_OK;
    }
    if (isWord(cmd, "FIN")) {
        if (!k.state.open) return fail(VDB_NOBASEOPEN, "FIND needs an open base: %s", text.c_str());
        k.checkVersion(true);
        BasePtr b = k.findBase(k.state.open->name);
        if (!b || b->id != k.state.open->id) {
            k.state.open = nullptr;
            return fail(VDB_NOBASE, "the open base no longer exists");
        }
        k.state.open = b;
        if (k.st->depth() > 0) {
            int f = k.finalizeDirty();
            if (!(f & 1)) return f;
        }
        Result r = p.condition(b);
        if (r.hits().empty() && !k.state.findMin0) {
            k.state.last = 0;
            return VDB_OK;
        }
        if (!k.state.highlight) r.terms.clear();
        int n = newSetNumber(k);
        k.state.sets[n] = p.keptSet(b, r);
        k.state.last = n;
        if (setOut) *setOut = n;
        return VDB_OK;
    }
    if (isWord(cmd, "DEL")) {
        size_t sAt = p.pos();
        std::string s = p.word();
        if (!isWord(s, "SXX")) p.syntax("expected S=n", sAt);
        p.expect('=');
        int n = p.integer();
        if (!p.atEnd()) p.syntax("unexpected text after the set number");
        if (n == 0) {
            k.state.sets.clear();
            k.state.last = 0;
            return VDB_OK;
        }
        if (!k.state.sets.erase(n)) return fail(VDB_NOSET, "set %d does not exist", n);
        if (k.state.last == n) k.state.last = 0;
        return VDB_OK;
    }
    if (isWord(cmd, "REN")) {
        if (!p.atEnd()) p.syntax("unexpected text after RENUMBER");
        std::map<int, SetPtr> renumbered;
        int n = 0, last = 0;
        for (auto& kv : k.state.sets) {
            renumbered[++n] = kv.second;
            if (kv.first == k.state.last) last = n;
        }
        k.state.sets.swap(renumbered);
        k.state.last = last;
        return VDB_OK;
    }
    if (isWord(cmd, "DEF")) {
        size_t wAt = p.pos();
        std::string what = p.word();
        if (isWord(what, "HIL")) {
            std::string onoff = upper(p.word());
            if (!onoff.empty() && onoff != "ON" && onoff != "OFF") p.syntax("expected ON or OFF");
            if (!p.atEnd()) p.syntax("unexpected text");
            k.state.highlight = onoff != "OFF";
            return VDB_OK;
        }
        if (isWord(what, "FIN")) {
            size_t mAt = p.pos();
            std::string m = p.word();
            if (!isWord(m, "MIN")) p.syntax("expected MIN=n", mAt);
            p.expect('=');
            int n = p.integer();
            if (!p.atEnd()) p.syntax("unexpected text");
            k.state.findMin0 = n == 0;
            return VDB_OK;
        }
        if (upper(what) == "MAP") {
            // name=F:B.G:H
            size_t nAt = p.pos();
            std::string name = p.word();
            if (name.empty()) p.syntax("expected a map name", nAt);
            p.expect('=');
            std::string spec = p.rest();
            size_t c1 = spec.find(':'), dot = spec.find('.', c1 == std::string::npos ? 0 : c1);
            size_t c2 = spec.find(':', dot == std::string::npos ? 0 : dot);
            if (c1 == std::string::npos || dot == std::string::npos || c2 == std::string::npos)
                p.syntax("expected name=F:BASE.G:H", nAt);
            MapDef m;
            m.name = upper(name);
            m.report = spec.substr(0, c1);
            m.base = spec.substr(c1 + 1, dot - c1 - 1);
            m.from = spec.substr(dot + 1, c2 - dot - 1);
            m.to = spec.substr(c2 + 1);
            if (!k.state.open) return fail(VDB_NOBASEOPEN, "DEFINE MAP needs an open base");
            k.checkVersion(true);
            BasePtr mb = k.findBase(m.base);
            if (!mb) return fail(VDB_NOBASE, "DEFINE MAP %s: no base named '%s'", name.c_str(), m.base.c_str());
            if (!mb->design.find(m.report))
                return fail(VDB_BADFIELD, "DEFINE MAP %s: field %s is not in base %s", name.c_str(), m.report.c_str(),
                            mb->name.c_str());
            if (!mb->design.find(m.from))
                return fail(VDB_BADFIELD, "DEFINE MAP %s: field %s is not in base %s", name.c_str(), m.from.c_str(),
                            mb->name.c_str());
            if (!k.state.open->design.find(m.to))
                return fail(VDB_BADFIELD, "DEFINE MAP %s: field %s is not in base %s", name.c_str(), m.to.c_str(),
                            k.state.open->name.c_str());
            k.state.maps[m.name] = m;
            if (k.st->recordCount(mb->id) == 0) {
                // Every record is unmapped: the last search holds all of them.
                std::vector<int> rids;
                k.st->allRecords(k.state.open->id, rids);
                HitList hits;
                for (int rid : rids) hits.push_back(mkHit(rid, 0));
                if (!hits.empty() || k.state.findMin0) {
                    int n = newSetNumber(k);
                    k.state.sets[n] = makeSet(k.state.open->id, k.state.open->name, std::move(hits), {});
                    k.state.last = n;
                } else {
                    k.state.last = 0;
                }
                return fail(VDB_MAPEMPTY, "DEFINE MAP %s: base %s holds no records", name.c_str(), mb->name.c_str());
            }
            return VDB_OK;
        }
        p.syntax("expected HIGHLIGHT, FIND MIN=n or MAP", wAt);
    }
    if (isWord(cmd, "SHO")) {
        size_t bAt = p.pos();
        if (!isWord(p.word(), "BAS")) p.syntax("expected BASE", bAt);
        size_t lAt = p.pos();
        if (!isWord(p.word(), "LIS")) p.syntax("expected LIST", lAt);
        size_t fAt = p.pos();
        if (!p.atEnd()) {
            std::string f = p.word();
            if (upper(f) != "F") p.syntax("expected F=CLIENT_BASE", fAt);
            p.expect('=');
            std::string what = p.word();
            if (upper(what) != "CLIENT_BASE") p.syntax("expected CLIENT_BASE", fAt);
            if (!p.atEnd()) p.syntax("unexpected text");
        }
        k.checkVersion(true);
        std::vector<std::string> names;
        for (const BaseRow& b : k.st->listBases()) names.push_back(b.name);
        captureWindow(k)->setOutput(names);
        return VDB_OK;
    }
    if (isWord(cmd, "SCF")) {
        if (!p.atEnd()) p.syntax("unexpected text after SCROLL");
        WindowPtr w = captureWindow(k);
        if (w->page + 1 >= w->pages.size()) return fail(VDB_SCROLLEND, "no further page");
        ++w->page;
        w->render();
        return VDB_OK;
    }
    p.syntax("unknown command '" + cmd + "'", at);
}

int execute(Kernel& k, const std::string& text, int* setOut) {
    LanguageForCommand language;
    try {
        return runCommand(k, text, setOut);
    } catch (const CclError& e) {
        return fail(e.status, e.message);
    }
}

}  // namespace

extern "C" int VdbExecuteCcl(const char* text, int* code) {
    return guarded([&](Kernel& k) {
        if (code) *code = 0;
        if (!text) return fail(VDB_BADARG, "VdbExecuteCcl: no command");
        return execute(k, text, code);
    });
}

extern "C" int VdbShellDaoPtr(shell_dao_rec** rec) {
    return guarded([&](Kernel& k) {
        if (!rec) return fail(VDB_BADARG, "VdbShellDaoPtr: no place for the pointer");
        *rec = &k.dao;
        return VDB_OK;
    });
}

extern "C" int VdbShellToDao(shell_dao_rec* rec) {
    return guarded([&](Kernel& k) {
        shell_dao_rec* r = rec ? rec : &k.dao;
        size_t n = strnlen(r->shin, sizeof r->shin);
        if (r->shinlen > 0 && static_cast<size_t>(r->shinlen) < n) n = static_cast<size_t>(r->shinlen);
        if (n >= sizeof r->dao) n = sizeof r->dao - 1;
        memcpy(r->dao, r->shin, n);
        r->dao[n] = 0;
        r->daolen = static_cast<int>(n);
        return VDB_OK;
    });
}

extern "C" int VdbDaoOrder(shell_dao_rec* rec) {
    return guarded([&](Kernel& k) {
        shell_dao_rec* r = rec ? rec : &k.dao;
        std::string cmd(r->dao, strnlen(r->dao, sizeof r->dao));
        int set = 0;
        int rc = execute(k, cmd, &set);
        r->shdind = set;
        std::string msg = (rc & 1) ? "OK" : lastMessage();
        r->shoutlen = copyCString(r->shout, sizeof r->shout, msg);
        return rc;
    });
}

extern "C" int VdbShellSymbol(char* word, int* length) {
    if (!word) return fail(VDB_BADARG, "VdbShellSymbol: no word");
    int cap = (length && *length > 0) ? *length : 17;
    std::string w(word, strnlen(word, static_cast<size_t>(cap)));
    while (!w.empty() && blank(w.back())) w.pop_back();
    size_t b = 0;
    while (b < w.size() && blank(w[b])) ++b;
    w = upper(w.substr(b));
    const Word* found = wordByCanon(w);
    if (!found) return fail(VDB_NOSYMBOL, "'%s' is not a canonical command word", w.c_str());
    int n = copyCString(word, cap, localWord(*found));
    if (length) *length = n;
    return VDB_OK;
}

extern "C" int VdbGetSearch(int* set, int* records, int* hits) {
    return guarded([&](Kernel& k) {
        int n = set ? *set : 0;
        if (records) *records = 0;
        if (hits) *hits = 0;
        if (n == 0) n = k.state.last;
        if (n == 0) {
            if (set) *set = 0;
            return VDB_OK;
        }
        auto it = k.state.sets.find(n);
        if (it == k.state.sets.end()) return fail(VDB_NOSET, "set %d does not exist", n);
        if (set) *set = n;
        if (records) *records = it->second->records();
        if (hits) *hits = it->second->hitCount();
        return VDB_OK;
    });
}

namespace {

int loadFromSet(Kernel& k, Control* c, const SetPtr& s, int index) {
    k.checkVersion(true);
    BasePtr b = k.findBase(s->baseName);
    if (!b || b->id != s->base) return fail(VDB_NOBASE, "base %s of the set no longer exists", s->baseName.c_str());
    int rid = s->rids[static_cast<size_t>(index)];
    k.st->readAhead(b->id, &s->rids[static_cast<size_t>(index)], s->rids.size() - static_cast<size_t>(index));
    RecordPtr r = k.loadRecord(b, rid);
    if (!r) return fail(VDB_NORECORD, "record %d of base %s no longer exists", rid, b->name.c_str());
    c->rec = r;
    c->context = s;
    c->hitWalk = 0;
    for (Cursor* cu : c->cursors) cu->tf = TextFormState();
    k.lastLoaded = c;
    return VDB_OK;
}

SetPtr setByNumber(Kernel& k, int n, int& status) {
    status = VDB_OK;
    int num = n == 0 ? k.state.last : n;
    auto it = k.state.sets.find(num);
    if (num == 0 || it == k.state.sets.end()) {
        status = n == 0 ? fail(VDB_NOSET, "the last search made no set") : fail(VDB_NOSET, "set %d does not exist", n);
        return nullptr;
    }
    return it->second;
}

}  // namespace

extern "C" int VdbGetRecordInSearchRis(VdbHandle control, int set, int pos, int* rid, char* base) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return fail(VDB_BADHANDLE, "record control %p is not a live handle", control);
        int st;
        SetPtr s = setByNumber(k, set, st);
        if (!s) return st;
        if (pos < 1 || pos > s->records())
            return fail(VDB_NORECORD, "set %d has %d records, no position %d", set, s->records(), pos);
        int rc = loadFromSet(k, c, s, pos - 1);
        if (!(rc & 1)) return rc;
        if (rid) *rid = c->rec->rid();
        copyCString(base, 64, s->baseName);
        return VDB_OK;
    });
}

extern "C" int VdbGetRecordInSearch(VdbHandle control, int set, int after) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return fail(VDB_BADHANDLE, "record control %p is not a live handle", control);
        int st;
        SetPtr s = setByNumber(k, set, st);
        if (!s) return st;
        auto it = std::upper_bound(s->rids.begin(), s->rids.end(), after);
        if (it == s->rids.end()) return fail(VDB_NORECORD, "set %d has no record after %d", set, after);
        return loadFromSet(k, c, s, static_cast<int>(it - s->rids.begin()));
    });
}

extern "C" int VdbGetNextHitWord(VdbHandle control, int* part, int* rid, int* position, int* part2, int* r1,
                                 int* r2) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return fail(VDB_BADHANDLE, "record control %p is not a live handle", control);
        if (!c->context || !c->rec || !c->rec->stored())
            return fail(VDB_NOCONTEXT, "the record was not loaded from a set");
        const SetData& s = *c->context;
        auto it = std::lower_bound(s.rids.begin(), s.rids.end(), c->rec->rid());
        if (it == s.rids.end() || *it != c->rec->rid()) return VDB_EOF;
        size_t idx = static_cast<size_t>(it - s.rids.begin());
        size_t b = s.starts[idx];
        size_t e = idx + 1 < s.starts.size() ? s.starts[idx + 1] : s.hits.size();
        if (b + c->hitWalk >= e) return VDB_EOF;
        Hit h = s.hits[b + c->hitWalk];
        ++c->hitWalk;
        if (part) *part = hitPart(h);
        if (rid) *rid = hitRid(h);
        if (position) *position = static_cast<int>(c->hitWalk);
        if (part2) *part2 = hitPart(h);
        if (r1) *r1 = 0;
        if (r2) *r2 = 0;
        return VDB_OK;
    });
}
