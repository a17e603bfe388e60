// CCL conditions as the XPath translator writes them, run against small
// stored trees; sets, maps, hit walks, hit spans and command errors.
#include <map>
#include <string>
#include <vector>

#include "fixture.h"

using namespace kt;

namespace {

struct Node {
    int parent;
    const char* type;
    const char* name;
    const char* value;
};

// Hits of a FIND as "rid:part" words, read back through the set calls.
std::string hitsText(int set) {
    int recs = 0, hits = 0, n = set;
    if (VdbGetSearch(&n, &recs, &hits) != 1) return "<no set>";
    std::string out;
    Control c;
    for (int pos = 1; pos <= recs; ++pos) {
        int rid = 0;
        char base[64];
        if (VdbGetRecordInSearchRis(c, n, pos, &rid, base) != 1) return "<load failed>";
        int part, r, position, part2, x, y;
        while (VdbGetNextHitWord(c, &part, &r, &position, &part2, &x, &y) == 1)
            out += (out.empty() ? "" : " ") + std::to_string(r) + ":" + std::to_string(part);
    }
    return out;
}

class CclTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, ccl("BASE docs"));
    }
    void TearDown() override {
        unsetenv("VDBS_LANGUAGE");
        KernelTest::TearDown();
    }
    static int storeTree(const std::vector<Node>& nodes, const std::string& docid = "") {
        Control c;
        VdbSetBase(c, "docs", 2);
        auto f = [&](const char* n) { return std::to_string(field(c, n)); };
        std::string t;
        if (!docid.empty()) t += f("D_ID") + "F^1P" + docid + "^\n";
        for (size_t i = 0; i < nodes.size(); ++i) {
            std::string p = std::to_string(i + 1);
            const Node& n = nodes[i];
            t += "\n\n" + p + "G^\n" + f("N_ID") + "F^" + p + "P" + p + "^\n";
            t += f("N_PARENT") + "F^" + p + "P" + std::to_string(n.parent) + "^\n";
            t += f("N_TYPE") + "F^" + p + "P" + n.type + "^\n";
            if (*n.name) t += f("N_NAME") + "F^" + p + "P" + n.name + "^\n";
            if (*n.value) {
                std::string v = n.value;
                t += f("N_TVALUE") + "F^\n" + std::to_string(v.size()) + "L" + v + "^\n";
            }
        }
        return store("docs", t);
    }
    // FIND cond; the hits, or "<status>" when it failed.
    static std::string find(const std::string& cond) {
        int set = 0;
        int st = ccl("FIND " + cond, &set);
        if (st != 1) return "<" + std::to_string(st) + ">";
        if (set == 0) return "";
        return hitsText(set);
    }
    static int sets() {
        int n = 0;
        VdbSessionInfo(3, nullptr, &n);
        return n;
    }
};

// <a x="1"><b>hello world</b><b>7</b><c>x</c></a><!--c-->
const std::vector<Node> kDoc1 = {{0, "ELEMENT", "a", ""},   {1, "ATTRIBUTE", "x", "1"}, {1, "ELEMENT", "b", ""},
                                  {3, "TEXT", "b", "hello world"}, {1, "ELEMENT", "b", ""}, {5, "TEXT", "b", "7"},
                                  {1, "ELEMENT", "c", ""},   {7, "TEXT", "c", "x"},      {0, "COMMENT", "", "c"}};
// <a><b>hello<a>12</a></b></a>
const std::vector<Node> kDoc2 = {{0, "ELEMENT", "a", ""}, {1, "ELEMENT", "b", ""}, {2, "TEXT", "b", "hello"},
                                  {2, "ELEMENT", "a", ""}, {4, "TEXT", "a", "12"}};

std::string fill(std::string s, const std::map<std::string, int>& vars) {
    for (auto& v : vars) {
        std::string key = "{" + v.first + "}";
        for (size_t p; (p = s.find(key)) != std::string::npos;) s.replace(p, key.size(), std::to_string(v.second));
    }
    return s;
}

TEST_F(CclTest, TranslatorConditionsOnSmallTrees) {
    ASSERT_EQ(1, storeTree(kDoc1));
    ASSERT_EQ(2, storeTree(kDoc2));
    std::map<std::string, int> v;
    ASSERT_EQ(1, ccl("FIND N_TYPE=ELEMENT AND.T N_NAME=\"a\"", &v["A"]));
    ASSERT_EQ(1, ccl("FIND N_TYPE=ELEMENT AND.T N_NAME=\"b\"", &v["B"]));
    struct Case {
        const char* cond;
        const char* hits;
    } cases[] = {
        {"N_PARENT=0 AND.T N_TYPE=ELEMENT AND.T N_NAME=\"a\"", "1:1 2:1"},
        {"XPATH(child,0,{B},2)", "1:3 1:5 2:2"},
        {"XPATH(child,{A},{B},2)", "1:3 1:5 2:2"},
        {"XPATH(child,{B},{A},2)", "2:4"},
        {"XPATH(descendant,{A},{B},1)", "1:1 2:1"},
        {"XPATH(ancestor,0,{B},1)", "1:4 1:6 2:3 2:4 2:5"},
        {"XPATH(ancestor,{B},0,1)", "1:3 1:5 2:2"},
        {"XPATH(parent,{B},0,2)", "1:1 2:1"},
        {"XPATH(attribute,{A},0,2)", "1:2"},
        {"XPATH(following-sibling,{B},0,2)", "1:5 1:7"},
        {"XPATH(SELF,{B},{B},1,EQ,-1)", "1:5 2:2"},
        {"XPATH(SELF,{B},{B},1,EQ,1)", "1:3 2:2"},
        {"XPATH(self,{B},{B},1,GT,1)", "1:5"},
        {"S={A} AND (N_TYPE=TEXT)", "1:4 1:6 1:8 2:3 2:5"},
        {"N_ID=$ NOT.T S={B}", "1:1 1:2 1:4 1:6 1:7 1:8 1:9 2:1 2:3 2:4 2:5"},
        {"(S={A} OR S={B})", "1:1 1:3 1:5 2:1 2:2 2:4"},
        {"N_TYPE=TEXT AND.T N_TVALUE=&hello world&", "1:4"},
        {"N_TYPE=TEXT AND.T N_TVALUE=$llo$", "1:4 2:3"},
        {"N_TYPE=TEXT AND.T N_TVALUE=$o w$", "1:4"},
        {"N_TVALUE=$lo wor$", "1:4"},
        {"N_TYPE=TEXT AND.T N_TVALUE<>\"x\"", "1:4 1:6 2:3 2:5"},
        {"N_TVALUE<>\"\"", "1:2 1:4 1:6 1:8 1:9 2:3 2:5"},
        {"N_TYPE=TEXT AND.T N_TVALUE>\"5\"", "1:6 2:5"},
        {"N_TVALUE<=\"7\"", "1:2 1:6"},
        {"N_TVALUE>=\"abc\"", ""},
        {"N_PARENT=0 AND.T S={A} AND (N_TYPE=ELEMENT AND.T N_NAME=\"a\")", "1:1 2:1"},
        {"N_NAME=a$", "1:1 2:1 2:4 2:5"},
        {"N_TVALUE=$ld", "1:4"},
        {"N_TVALUE=$", "1:2 1:4 1:6 1:8 1:9 2:3 2:5"},
        {"ALL", "1:0 2:0"},
        {"ALL AND N_TYPE=COMMENT", "1:9"},
        {"ALL NOT N_TYPE=COMMENT", "2:0"},
        {"N_TYPE=TEXT AND.R N_NAME=b", "1:3 1:4 1:5 1:6 2:2 2:3"},
        {"N_TYPE=ELEMENT AND.T NOT.T N_NAME=a", "<64>"},
        {"N_NAMESPACE=\"\"", ""},
        {"N_PARENT=7 OR N_PARENT=4 AND.T N_TYPE=TEXT", "1:8 2:5"},
    };
    for (const Case& c : cases) {
        std::string cond = fill(c.cond, v);
        EXPECT_EQ(c.hits, find(cond)) << cond;
    }
    // The same with the words of the test language; English is still understood.
    setenv("VDBS_LANGUAGE", "test", 1);
    char word[17] = "SXX             ";
    int len = 17;
    ASSERT_EQ(1, VdbShellSymbol(word, &len));
    EXPECT_EQ("M", std::string(word, static_cast<size_t>(len)));
    int set = 0;
    ASSERT_EQ(1, ccl(fill("SUCHE (M={A} ODER M={B}) UND.T N_PARENT=0", v), &set));
    EXPECT_EQ("1:1 2:1", hitsText(set));
    EXPECT_EQ("1:1 2:1", find(fill("S={A} AND.T N_PARENT=0", v)));
    ASSERT_EQ(1, ccl("LOESCHE M=0"));
    EXPECT_EQ(0, sets());
    strcpy(word, "FIN             ");
    len = 17;
    ASSERT_EQ(1, VdbShellSymbol(word, &len));
    EXPECT_STREQ("SUCHE", word);
    strcpy(word, "XYZ             ");
    EXPECT_EQ(VDB_NOSYMBOL, VdbShellSymbol(word, &len));
}

TEST_F(CclTest, BadCommandsFailAndLeaveTheSetsAlone) {
    storeTree(kDoc1);
    int a = 0;
    ASSERT_EQ(1, ccl("FIND N_NAME=a", &a));
    struct Case {
        std::string cmd;
        int status;
        const char* says;
    } cases[] = {
        {"FIND N_TYPE=ELEMENT AND.T (N_NAME=\"a\"", VDB_SYNTAX, "position 38"},
        {"FIND N_TYPE=", VDB_SYNTAX, "value missing"},
        {"FIND N_FOO=1", VDB_BADFIELD, "N_FOO"},
        {"FIND S=99", VDB_NOSET, "set 99"},
        {"FIND XPATH(sideways,0," + std::to_string(a) + ",2)", VDB_AXIS, "sideways"},
        {"FIND XPATH(child,0,1,3)", VDB_SYNTAX, "direction"},
        {"FIND XPATH(child,1,1,1,EQ,1)", VDB_SYNTAX, "SELF"},
        {"FIND D_XMLDOC=x", VDB_FIELDKIND, "blob"},
        {"DEFINE MAP m=ID:nobase.ID:D_ID", VDB_NOBASE, "nobase"},
        {"DELETE S=42", VDB_NOSET, "42"},
        {"FROB x", VDB_SYNTAX, "unknown command"},
        {"BASE", VDB_SYNTAX, "base name"},
        {"SCROLL", VDB_SCROLLEND, "page"},
    };
    for (const Case& c : cases) {
        int st = ccl(c.cmd);
        EXPECT_EQ(c.status, st) << c.cmd;
        std::string m = message(st);
        EXPECT_NE(std::string::npos, m.find(c.says)) << c.cmd << ": " << m;
        int set = 0, recs = 0, hits = 0;
        VdbGetSearch(&set, &recs, &hits);
        EXPECT_EQ(a, set) << c.cmd;
        EXPECT_EQ(1, sets()) << c.cmd;
    }
}

TEST_F(CclTest, SetsAreNumberedDeletedAndRenumbered) {
    storeTree(kDoc1);
    storeTree(kDoc2);
    int s1, s2, s3, s4, empty = -1;
    ASSERT_EQ(1, ccl("FIND N_NAME=a", &s1));
    ASSERT_EQ(1, ccl("FIND N_NAME=b", &s2));
    ASSERT_EQ(1, ccl("FIND N_NAME=c", &s3));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), (std::vector<int>{s1, s2, s3}));
    ASSERT_EQ(1, ccl("DELETE S=2"));
    ASSERT_EQ(1, ccl("FIND N_TYPE=TEXT", &s4));
    EXPECT_EQ(4, s4);
    // no hits: the search succeeds, makes no set and leaves the last search empty
    ASSERT_EQ(1, ccl("FIND N_NAME=zzz", &empty));
    EXPECT_EQ(0, empty);
    int set = 0, recs = -1, hits = -1;
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(0, set);
    EXPECT_EQ(0, recs);
    ASSERT_EQ(1, ccl("DEFINE FIND MIN=0"));
    ASSERT_EQ(1, ccl("FIND N_NAME=zzz", &empty));
    EXPECT_EQ(5, empty);
    set = 0;
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(5, set);
    EXPECT_EQ(0, recs);
    ASSERT_EQ(1, ccl("RENUMBER"));
    set = 0;
    VdbGetSearch(&set, &recs, &hits);
    EXPECT_EQ(4, set);  // 1, 3, 4, 5 became 1, 2, 3, 4; the newest stays the last search
    set = 2;
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(2, hits);  // N_NAME=c: the element and its text
    // within a set, records by rid; load the first record after a given rid
    Control c;
    ASSERT_EQ(1, VdbGetRecordInSearch(c, 1, -1));
    char text[64];
    int rid = 0;
    VdbRecordInfo(c, 1, text, &rid);
    EXPECT_EQ(1, rid);
    ASSERT_EQ(1, VdbGetRecordInSearch(c, 1, 1));
    VdbRecordInfo(c, 1, text, &rid);
    EXPECT_EQ(2, rid);
    EXPECT_EQ(VDB_NORECORD, VdbGetRecordInSearch(c, 1, 2));
    EXPECT_EQ(VDB_NORECORD, VdbGetRecordInSearchRis(c, 1, 3, &rid, text));
}

// The same condition asked again after each kind of change: a search never
// answers from the index as it was before.
TEST_F(CclTest, RepeatedSearchesFollowStoresUpdatesAndDeletions) {
    int r1 = storeTree(kDoc1);
    EXPECT_EQ("1:3 1:4 1:5 1:6", find("N_NAME=b"));
    EXPECT_EQ("1:3 1:5", find("N_TYPE=ELEMENT AND.T N_NAME=b"));
    int r2 = storeTree(kDoc2);
    EXPECT_EQ("1:3 1:4 1:5 1:6 2:2 2:3", find("N_NAME=b"));
    EXPECT_EQ("1:3 1:5 2:2", find("N_TYPE=ELEMENT AND.T N_NAME=b"));
    // Intersections of terms are kept with the terms: in either order, and
    // chained, they follow the index too.
    EXPECT_EQ("1:3 1:5 2:2", find("N_NAME=b AND.T N_TYPE=ELEMENT"));
    EXPECT_EQ("1:3 1:5 2:2", find("N_PARENT=1 AND.T N_TYPE=ELEMENT AND.T N_NAME=b"));
    {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, r1));
        VdbHandle cur = nullptr;
        ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_NAME"), 0, 3));
        ASSERT_EQ(1, VdbReplaceItem(cur, "z", -1));
        VdbDeleteCursor(cur);
        ASSERT_EQ(1, VdbPutRecord(c, &r1));
    }
    EXPECT_EQ("1:4 1:5 1:6 2:2 2:3", find("N_NAME=b"));
    EXPECT_EQ("1:3", find("N_NAME=z"));
    EXPECT_EQ("1:5 2:2", find("N_NAME=b AND.T N_TYPE=ELEMENT"));
    {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, r2));
        int gone = 0;
        ASSERT_EQ(1, VdbDeleteRecordInBase(c, &gone));
    }
    EXPECT_EQ("1:4 1:5 1:6", find("N_NAME=b"));
    EXPECT_EQ("1:5", find("N_TYPE=ELEMENT AND.T N_NAME=b"));
    EXPECT_EQ("1:5", find("N_PARENT=1 AND.T N_TYPE=ELEMENT AND.T N_NAME=b"));
}

TEST_F(CclTest, HitSpansInFieldValues) {
    std::vector<Node> doc = {{0, "ELEMENT", "p", ""}, {1, "TEXT", "p", "hello world, hello"},
                             {1, "TEXT", "p", "h\xc3\xa9llo w\xc3\xb6rld"}, {1, "TEXT", "p", "exact"}};
    storeTree(doc);
    int set = 0;
    ASSERT_EQ(1, ccl("FIND N_TVALUE=$hello$ OR N_TVALUE=$w\xc3\xb6r$ OR N_TVALUE=exact", &set));
    Control c;
    int rid = 0;
    char base[64];
    ASSERT_EQ(1, VdbGetRecordInSearchRis(c, set, 1, &rid, base));
    int tv = field(c, "N_TVALUE");
    auto spans = [&](int part) {
        VdbHandle cur = nullptr;
        VdbSetRecordPart(&cur, c, part);
        VdbSetCursor(&cur, c, tv, 0, 0);
        int len = 0, count = 0, paragraphs = 0;
        char* text = nullptr;
        int* hv = nullptr;
        EXPECT_EQ(1, VdbGetFieldInfo(cur, &len, &text, &count, &hv, &paragraphs));
        std::string out;
        for (int i = 0; i < count; ++i)
            out += (i ? " " : "") + std::to_string(hv[2 * i]) + "/" + std::to_string(hv[2 * i + 1]);
        EXPECT_EQ(static_cast<int>(strlen(text)), len);
        VdbDeallocate(text);
        VdbDeallocate(hv);
        VdbDeleteCursor(cur);
        return out;
    };
    EXPECT_EQ("1/5 14/5", spans(2));
    EXPECT_EQ("8/3", spans(3));  // byte offset, length in characters
    EXPECT_EQ("1/5", spans(4));
    ASSERT_EQ(1, ccl("DEFINE HIGHLIGHT OFF"));
    ASSERT_EQ(1, ccl("FIND N_TVALUE=exact", &set));
    ASSERT_EQ(1, VdbGetRecordInSearchRis(c, set, 1, &rid, base));
    EXPECT_EQ("", spans(4));
}

TEST_F(CclTest, MapsSelectRecordsByTheValuesOfAnotherBase) {
    ASSERT_EQ(1, VdbCreateBase("links", "link"));
    storeTree(kDoc2, "doc-1");
    storeTree(kDoc2, "doc-2");
    storeTree(kDoc2, "doc-3");
    EXPECT_EQ(VDB_MAPEMPTY, ccl("DEFINE MAP maplinks=ID:links.ID:D_ID"));
    // an empty mapped base: every record is unmapped and the last search holds them all
    int set = 0, recs = 0, hits = 0;
    ASSERT_EQ(1, VdbGetSearch(&set, &recs, &hits));
    EXPECT_EQ(3, recs);
    store("links", "1F^1Pdoc-1^\n");
    store("links", "1F^1Pdoc-3^\n");
    ASSERT_EQ(1, ccl("BASE docs"));
    ASSERT_EQ(1, ccl("DEFINE MAP maplinks=ID:links.ID:D_ID"));
    EXPECT_EQ("2:0", find("ALL NOT maplinks($)"));
    EXPECT_EQ("1:0 3:0", find("maplinks($)"));
    EXPECT_EQ(VDB_BADFIELD, ccl("DEFINE MAP m2=ID:links.NOPE:D_ID"));
    EXPECT_EQ(VDB_BADFIELD, ccl("DEFINE MAP m2=ID:links.ID:NOPE"));
    // the link side: link records whose document is gone
    ASSERT_EQ(1, ccl("BASE links"));
    ASSERT_EQ(1, ccl("DEFINE MAP mapdocs=D_ID:docs.D_ID:ID"));
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbGetRecordInBase(c, 3);
    ASSERT_EQ(1, VdbDeleteRecordInBase(c, nullptr));
    EXPECT_EQ("2:0", find("ALL NOT mapdocs($) AND ID=$"));
}


TEST_F(CclTest, CommandRecordRouteAndCurrentRecord) {
    storeTree(kDoc1);
    shell_dao_rec* rec = nullptr;
    ASSERT_EQ(1, VdbShellDaoPtr(&rec));
    ASSERT_NE(nullptr, rec);
    rec->shinlen = 400;
    memset(rec->shin, 0, sizeof rec->shin);
    snprintf(rec->shin, sizeof rec->shin, "%s %s", "FIND", "N_NAME=b");
    ASSERT_EQ(1, VdbShellToDao());
    ASSERT_EQ(1, VdbDaoOrder());
    EXPECT_EQ(1, rec->shdind);
    EXPECT_EQ("1:3 1:4 1:5 1:6", hitsText(rec->shdind));
    snprintf(rec->shin, sizeof rec->shin, "FIND N_BAD=1");
    VdbShellToDao(rec);
    EXPECT_EQ(VDB_BADFIELD, VdbDaoOrder(rec));
    EXPECT_NE(nullptr, strstr(rec->shout, "N_BAD"));

    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, 1));
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbCurrentItem(&cur));
    EXPECT_EQ(c.h, cur);

    char text[32] = "  book \t /title\n ";
    int len = -1;
    ASSERT_EQ(1, VdbStrNormalize(text, &len, 1));
    EXPECT_STREQ("book /title", text);
    EXPECT_EQ(11, len);
}

}  // namespace
