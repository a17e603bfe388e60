// The record text form: parts, plain fields, text pieces, any split of the
// input, and malformed input that must not reach the base.
#include <string>

#include "fixture.h"

using namespace kt;

namespace {

class TextFormTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        Control c;
        VdbSetBase(c, "docs", 2);
        for (const char* n : {"D_DOCNAME", "D_DOCTYPE", "N_ID", "N_PARENT", "N_TYPE", "N_NAME", "N_TVALUE", "N_ENCODING"})
            f[n] = std::to_string(field(c, n));
    }
    std::string line(const char* name, int item, const std::string& v) {
        return f[name] + "F^" + std::to_string(item) + "P" + v + "^\n";
    }
    std::string block(const char* name, const std::string& text, size_t piece = 4096) {
        std::string out = f[name] + "F^\n";
        size_t off = 0;
        do {
            std::string p = text.substr(off, piece);
            out += std::to_string(p.size()) + "L" + p + "^\n";
            off += piece;
        } while (off < text.size());
        return out;
    }
    static std::string part(int p) { return "\n\n" + std::to_string(p) + "G^\n"; }

    // <?xml ...?><r a="1">x<!--c-->y</r> as the shredder writes it.
    std::string sampleDocument() {
        std::string t = line("D_DOCNAME", 1, "doc.xml");
        t += f["D_DOCTYPE"] + "F^\n0L^\n";
        t += part(1) + line("N_ID", 1, "1") + line("N_TYPE", 1, "XML_DECL");
        t += part(2) + line("N_ID", 2, "2") + line("N_TYPE", 2, "ELEMENT") + line("N_NAME", 2, "r");
        t += part(3) + line("N_ID", 3, "3") + line("N_PARENT", 3, "2") + line("N_TYPE", 3, "ATTRIBUTE") +
             line("N_NAME", 3, "a") + block("N_TVALUE", "1") + line("N_ENCODING", 3, "utf-8");
        t += part(4) + line("N_ID", 4, "4") + line("N_PARENT", 4, "2") + line("N_TYPE", 4, "TEXT") +
             block("N_TVALUE", "x^\nwith caret^ and 7L^ inside");
        t += part(5) + line("N_ID", 5, "5") + line("N_PARENT", 5, "2") + line("N_TYPE", 5, "COMMENT") +
             block("N_TVALUE", "c");
        return t;
    }

    void expectSample(VdbHandle c) {
        EXPECT_EQ("doc.xml", get(c, "D_DOCNAME", 0, 1));
        EXPECT_EQ("ELEMENT", get(c, "N_TYPE", 0, 2));
        EXPECT_EQ("ATTRIBUTE", get(c, "N_TYPE", 0, 3));
        EXPECT_EQ("2", get(c, "N_PARENT", 0, 4));
        EXPECT_EQ("1", get(c, "N_TVALUE", 3, 0));
        EXPECT_EQ("utf-8", get(c, "N_ENCODING", 3, 0));
        EXPECT_EQ("x^\nwith caret^ and 7L^ inside", get(c, "N_TVALUE", 4, 0));
        EXPECT_EQ("c", get(c, "N_TVALUE", 5, 0));
        int parts = 0, items = 0;
        VdbPartCount(c, &parts);
        EXPECT_EQ(5, parts);
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, c, atoi(f["N_ID"].c_str()), 0, 0);
        VdbItemCount(cur, &items);
        VdbDeleteCursor(cur);
        EXPECT_EQ(5, items);
    }

    std::map<std::string, std::string> f;
};

TEST_F(TextFormTest, DocumentRecordStoresAndReadsBackByItemAndPart) {
    int rid = store("docs", sampleDocument());
    ASSERT_GT(rid, 0);
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    expectSample(c);
    // An empty text field is a value of length 0, not a missing one.
    int st = 0;
    EXPECT_EQ("", get(c, "D_DOCTYPE", 0, 0, &st));
    EXPECT_EQ(1, st);
}

TEST_F(TextFormTest, LongTextInPiecesOf4096) {
    std::string text;
    for (int i = 0; i < 10000; ++i) text.push_back(static_cast<char>(i % 251));  // every byte, '\0' and '^' too
    std::string t = part(1) + line("N_ID", 1, "1") + line("N_TYPE", 1, "TEXT") + block("N_TVALUE", text);
    ASSERT_NE(std::string::npos, t.find("4096L"));
    ASSERT_NE(std::string::npos, t.find("1808L"));
    int rid = store("docs", t);
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    EXPECT_EQ(text, get(c, "N_TVALUE", 1, 0));
}

TEST_F(TextFormTest, AnySplitOfTheInputGivesTheSameRecord) {
    std::string t = sampleDocument();
    for (size_t cut = 0; cut <= t.size(); ++cut) {
        Control c;
        VdbSetBase(c, "docs", 2);
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, c, 0, 0, 0);
        int a, b, d;
        ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(cut), &a, &b, &d)) << cut;
        ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data() + cut, static_cast<int>(t.size() - cut), &a, &b, &d)) << cut;
        SCOPED_TRACE("split at " + std::to_string(cut));
        expectSample(c);
    }
    // And one byte at a time, then stored.
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbHandle cur = nullptr;
    VdbSetCursor(&cur, c, 0, 0, 0);
    int a, b, d;
    for (char ch : t) ASSERT_EQ(1, VdbPutRecordBuffer(cur, &ch, 1, &a, &b, &d));
    int rid = 0;
    ASSERT_EQ(1, VdbPutRecord(c, &rid));
    Control r;
    VdbSetBase(r, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(r, rid));
    expectSample(r);
}

TEST_F(TextFormTest, ItemNumbersOfPartAndRecordFields) {
    // A part field written in part 9 carries item 1; a record field carries 9.
    std::string t = part(9) + line("N_TYPE", 9, "TEXT") + line("N_ENCODING", 9, "latin1");
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbHandle cur = nullptr;
    VdbSetCursor(&cur, c, 0, 0, 0);
    int a, b, d;
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d));
    EXPECT_EQ(9, a);
    EXPECT_EQ("TEXT", get(c, "N_TYPE", 0, 9));
    EXPECT_EQ("latin1", get(c, "N_ENCODING", 9, 0));
    int st = 0;
    get(c, "N_TYPE", 0, 1, &st);
    EXPECT_EQ(VDB_NOITEM, st);
}

TEST_F(TextFormTest, RecordTextFieldsWrittenInANodePartGoToTheMainPart) {
    // D_DOCTYPE arrives when the DTD ends, after the first node part; A_ITEM
    // and D_DOCTEXT may follow any part. A part field stays in its part.
    Control c;
    VdbSetBase(c, "docs", 2);
    for (const char* n : {"A_ITEM", "D_DOCTEXT", "D_META"}) f[n] = std::to_string(field(c, n));
    std::string t = part(1) + line("N_ID", 1, "1") + line("N_TYPE", 1, "XML_DECL") +
                    block("D_DOCTYPE", "<!DOCTYPE r>") + part(2) + line("N_ID", 2, "2") +
                    line("N_TYPE", 2, "ELEMENT") + block("N_TVALUE", "two") + line("A_ITEM", 1, "first") +
                    line("A_ITEM", 2, "second") + block("D_DOCTEXT", std::string(5000, 'x'), 1000) + part(3) +
                    block("D_META", "meta");
    int rid = store("docs", t);
    ASSERT_GT(rid, 0);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    // Read as the reconstruction reads it: part 0 selected, then (f, 0, 0).
    VdbHandle part0 = nullptr, cur = nullptr;
    ASSERT_EQ(1, VdbSetRecordPart(&part0, c, 0));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "D_DOCTYPE"), 0, 0));
    char buf[64];
    int len = 0;
    ASSERT_EQ(1, VdbGetLine(cur, buf, &len, sizeof buf));
    EXPECT_EQ("<!DOCTYPE r>", std::string(buf, static_cast<size_t>(len)));
    VdbDeleteCursor(cur);
    VdbDeleteCursor(part0);
    EXPECT_EQ("<!DOCTYPE r>", get(c, "D_DOCTYPE", 0, 0));
    EXPECT_EQ("first", get(c, "A_ITEM", 0, 1));
    EXPECT_EQ("second", get(c, "A_ITEM", 0, 2));
    EXPECT_EQ(std::string(5000, 'x'), get(c, "D_DOCTEXT", 0, 0));
    EXPECT_EQ("meta", get(c, "D_META", 0, 0));
    EXPECT_EQ("two", get(c, "N_TVALUE", 2, 0));
    int st = 0;
    EXPECT_EQ("", get(c, "D_DOCTYPE", 1, 0, &st));
    EXPECT_EQ(VDB_EOF, st);
    EXPECT_EQ("", get(c, "A_ITEM", 2, 1, &st));
    EXPECT_EQ(VDB_NOITEM, st);
    // Part 3 got nothing of its own, so the record ends with part 2.
    int parts = 0;
    VdbPartCount(c, &parts);
    EXPECT_EQ(2, parts);
    // A search finds the values as hits of the main part.
    ASSERT_EQ(1, ccl("BASE docs"));
    for (const char* cond : {"D_DOCTYPE=$DOCTYPE$", "A_ITEM=second", "D_META=meta"}) {
        SCOPED_TRACE(cond);
        int set = 0;
        ASSERT_EQ(1, ccl(std::string("FIND ") + cond, &set));
        ASSERT_GT(set, 0);
        Control h;
        int r = 0, p = -1, pos, p2, x, y;
        char base[64];
        ASSERT_EQ(1, VdbGetRecordInSearchRis(h, set, 1, &r, base));
        ASSERT_EQ(1, VdbGetNextHitWord(h, &p, &r, &pos, &p2, &x, &y));
        EXPECT_EQ(0, p);
        EXPECT_EQ(VDB_EOF, VdbGetNextHitWord(h, &p, &r, &pos, &p2, &x, &y));
    }
}

TEST_F(TextFormTest, MalformedInputIsRefusedAndNothingIsStored) {
    ASSERT_GT(store("docs", sampleDocument()), 0);
    struct Case {
        std::string text;
        std::string says;
    } cases[] = {
        {part(1) + "999F^1Px^\n", "bad field number 999"},
        {part(1) + f["N_TVALUE"] + "F^\n5Labc^\n2G^\n", "runs past its data"},
        {f["D_DOCNAME"] + "F^1Pdoc.xml\n" + line("N_TYPE", 1, "TEXT"), "missing '^'"},
        {part(1) + "N_TYPE F^1PTEXT^\n", "expected a number"},
        {"3X^\n", "expected G, F or L"},
        {f["N_TYPE"] + "F^1Xa^\n", "expected 'P'"},
        {"12L" + std::string("abc"), "without a field header"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        Control c;
        VdbSetBase(c, "docs", 2);
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, c, 0, 0, 0);
        int a, b, d;
        int st = VdbPutRecordBuffer(cur, k.text.data(), static_cast<int>(k.text.size()), &a, &b, &d);
        int rid = 0;
        int put = VdbPutRecord(c, &rid);
        EXPECT_EQ(VDB_TEXTFORM, put);
        EXPECT_TRUE(st == VDB_TEXTFORM || st == 1);
        EXPECT_NE(std::string::npos, message(put).find(k.says)) << message(put);
        EXPECT_EQ(1, recordCount("docs"));
    }
}

TEST_F(TextFormTest, ValueCutOffAtTheEndIsRefusedAtStore) {
    std::string t = line("D_DOCNAME", 1, "doc.xml");
    t.resize(t.size() - 2);  // no "^\n"
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbHandle cur = nullptr;
    VdbSetCursor(&cur, c, 0, 0, 0);
    int a, b, d;
    EXPECT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d));
    int rid = 0;
    EXPECT_EQ(VDB_TEXTFORM, VdbPutRecord(c, &rid));
    EXPECT_NE(std::string::npos, message(VDB_TEXTFORM).find("missing '^'"));
    EXPECT_EQ(0, recordCount("docs"));
}


// Values handed over directly (VdbPutPartValues) make the record that the
// text form makes of the same values, and a text form written afterwards
// continues in the last part.
class PartValuesTest : public TextFormTest {
protected:
    struct Entry {
        int part;
        const char* field;
        std::string value;
    };

    // The text form of the entries: a part header whenever the part
    // changes, a text, blob or part field as a block, any other as a line.
    std::string textFormOf(VdbHandle c, const std::vector<Entry>& es) {
        std::string t;
        int current = -1;
        for (const Entry& e : es) {
            if (e.part != current) t += part(e.part);
            current = e.part;
            int num = 0, type = 0, flags = 0;
            VdbCheckField(c, e.field, &num, &type, &flags);
            f[e.field] = std::to_string(num);
            bool partField = (flags & VDB_FF_PART) != 0;
            if (type == VDB_FT_TEXT || type == VDB_FT_BLOB || partField)
                t += block(e.field, e.value);
            else
                t += line(e.field, e.part > 0 ? e.part : 1, e.value);
        }
        return t;
    }

    // target: a record control, or a cursor of ctl.
    int putValues(VdbHandle target, const std::vector<Entry>& es, VdbHandle ctl = nullptr) {
        std::vector<int> parts, fields, lengths;
        std::vector<const char*> values;
        for (const Entry& e : es) {
            parts.push_back(e.part);
            fields.push_back(field(ctl ? ctl : target, e.field));
            values.push_back(e.value.data());
            lengths.push_back(static_cast<int>(e.value.size()));
        }
        return VdbPutPartValues(target, static_cast<int>(es.size()), parts.data(), fields.data(), values.data(),
                                lengths.data());
    }

    // Every value of every field in parts 0 to 9, the part count and the blob.
    std::string dump(VdbHandle c) {
        std::vector<int> fields;
        for (const char* n : {"D_DOCNAME", "D_DOCTYPE", "D_META", "A_ITEM", "N_ID", "N_PARENT", "N_TYPE", "N_NAME",
                              "N_TVALUE", "N_ENCODING"})
            fields.push_back(field(c, n));
        const int parts = 10, n = static_cast<int>(fields.size());
        std::vector<const char*> values(static_cast<size_t>(parts * n));
        std::vector<int> lengths(values.size());
        EXPECT_EQ(1, VdbGetNodeValues(c, 0, parts, n, fields.data(), values.data(), lengths.data())) << message(-1);
        std::string out;
        for (size_t i = 0; i < values.size(); ++i) {
            out += std::to_string(i) + "=";
            out += values[i] ? std::string(values[i], static_cast<size_t>(lengths[i])) : "<none>";
            out += "\n";
        }
        int count = 0;
        VdbPartCount(c, &count);
        out += "parts " + std::to_string(count) + "\n";
        VdbHandle blob = nullptr;
        VdbSetCursor(&blob, c, field(c, "D_XMLDOC"), 0, 0);
        char area[256];
        int len = 0;
        if (VdbGetBlobBlock(blob, 1, sizeof area, area, &len) == 1) out += "blob " + std::string(area, static_cast<size_t>(len));
        VdbDeleteCursor(blob);
        return out;
    }

    std::vector<Entry> sample() {
        std::string odd("x^\nwith caret^ and 7L^\n3G^\n", 26);
        odd.push_back('\0');
        odd += std::string(9000, 'l');
        return {{0, "D_DOCNAME", "doc.xml"},
                {0, "D_XMLDOC", "<r a='1'>x</r>"},
                {1, "N_ID", "1"},
                {1, "N_TYPE", "XML_DECL"},
                {1, "D_DOCTYPE", "<!DOCTYPE r>"},  // a record text field: the main part
                {2, "N_ID", "2"},
                {2, "N_TYPE", "ELEMENT"},
                {2, "N_NAME", "r"},
                {2, "N_NAME", "r2"},  // written again: replaced
                {3, "N_ID", "3"},
                {3, "N_PARENT", "2"},
                {3, "N_TYPE", "TEXT"},
                {3, "N_TVALUE", odd},
                {3, "N_ENCODING", "latin1"},
                {3, "A_ITEM", "an item"},
                {5, "N_ID", "5"},
                {5, "N_NAME", ""},
                {0, "D_META", "<?xml version=\"1.0\"?>"}};
    }
};

TEST_F(PartValuesTest, SameRecordAsTheTextFormBeforeAndAfterStoring) {
    std::vector<Entry> es = sample();
    Control viaText, viaValues;
    VdbSetBase(viaText, "docs", 2);
    VdbSetBase(viaValues, "docs", 2);
    std::string t = textFormOf(viaText, es);
    VdbHandle cur = nullptr;
    VdbSetCursor(&cur, viaText, 0, 0, 0);
    int a, b, d;
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d)) << message(-1);
    // In pieces of every size through the record control, as the shredder sends them.
    ASSERT_EQ(1, putValues(viaValues, std::vector<Entry>(es.begin(), es.begin() + 3))) << message(-1);
    ASSERT_EQ(1, putValues(viaValues, std::vector<Entry>(es.begin() + 3, es.begin() + 4))) << message(-1);
    ASSERT_EQ(1, putValues(viaValues, std::vector<Entry>(es.begin() + 4, es.end()))) << message(-1);
    std::string want = dump(viaText);
    EXPECT_NE(std::string::npos, want.find("r2"));
    EXPECT_NE(std::string::npos, want.find("blob <r a='1'>"));
    EXPECT_EQ(want, dump(viaValues));

    int r1 = 0, r2 = 0;
    ASSERT_EQ(1, VdbPutRecord(viaText, &r1)) << message(-1);
    ASSERT_EQ(1, VdbPutRecord(viaValues, &r2)) << message(-1);
    Control s1, s2;
    VdbSetBase(s1, "docs", 2);
    VdbSetBase(s2, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(s1, r1));
    ASSERT_EQ(1, VdbGetRecordInBase(s2, r2));
    EXPECT_EQ(dump(s1), dump(s2));
    EXPECT_EQ(want, dump(s2));
    // Both are found as the same hits: a node field of part 3, a text
    // field's word, a record text field in the main part.
    ASSERT_EQ(1, ccl("BASE docs"));
    const std::pair<const char*, int> finds[] = {{"N_TYPE=TEXT", 3},          {"N_TVALUE=$caret$", 3},
                                                  {"D_DOCTYPE=$DOCTYPE$", 0}, {"N_NAME=r2", 2},
                                                  {"N_ENCODING=latin1", 3}};
    for (const auto& k : finds) {
        SCOPED_TRACE(k.first);
        ASSERT_EQ(1, ccl(std::string("FIND ") + k.first));
        EXPECT_EQ((std::vector<int>{r1, r2}), lastRids());
        for (int pos = 1; pos <= 2; ++pos) {
            Control h;
            int r = 0, p = -1, at, p2, x, y;
            char base[64];
            ASSERT_EQ(1, VdbGetRecordInSearchRis(h, 0, pos, &r, base));
            ASSERT_EQ(1, VdbGetNextHitWord(h, &p, &r, &at, &p2, &x, &y));
            EXPECT_EQ(k.second, p);
        }
    }
}

TEST_F(PartValuesTest, TextFormContinuesInTheLastPart) {
    Control c;
    VdbSetBase(c, "docs", 2);
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, 0, 0, 0));
    ASSERT_EQ(1, putValues(cur, {{4, "N_ID", "4"}, {4, "N_TYPE", "ELEMENT"}}, c));
    std::string t = line("N_NAME", 4, "four") + block("N_TVALUE", "text of four");
    int a = -1, b, d;
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, t.data(), static_cast<int>(t.size()), &a, &b, &d)) << message(-1);
    EXPECT_EQ(4, a);
    EXPECT_EQ("four", get(c, "N_NAME", 0, 4));
    EXPECT_EQ("text of four", get(c, "N_TVALUE", 4, 0));
    int parts = 0;
    VdbPartCount(c, &parts);
    EXPECT_EQ(4, parts);
}

TEST_F(PartValuesTest, RefusedRequestsWriteNothingAndStickToNothing) {
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, putValues(c, {{1, "N_ID", "1"}, {1, "N_TYPE", "TEXT"}}));
    const std::string before = dump(c);
    int ok[] = {1, 1}, nid = field(c, "N_ID"), ntype = field(c, "N_TYPE");
    int fields[] = {nid, ntype};
    const char* values[] = {"9", "PI"};
    int lengths[] = {1, 2};
    struct Case {
        const char* what;
        int count;
        const int* parts;
        std::vector<int> p, f, l;
        std::vector<const char*> v;
        int status;
    };
    std::vector<Case> cases = {
        {"negative count", -1, ok, {9, 9}, {nid, ntype}, {1, 2}, {"9", "PI"}, VDB_BADARG},
        {"negative part", 2, nullptr, {9, -1}, {nid, ntype}, {1, 2}, {"9", "PI"}, VDB_BADARG},
        {"negative length", 2, nullptr, {9, 9}, {nid, ntype}, {1, -2}, {"9", "PI"}, VDB_BADARG},
        {"bytes without a pointer", 2, nullptr, {9, 9}, {nid, ntype}, {1, 2}, {"9", nullptr}, VDB_BADARG},
        {"field 0", 2, nullptr, {9, 9}, {nid, 0}, {1, 2}, {"9", "PI"}, VDB_BADFIELD},
        {"field past the design", 2, nullptr, {9, 9}, {nid, 999}, {1, 2}, {"9", "PI"}, VDB_BADFIELD},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(k.status, VdbPutPartValues(c, k.count, k.parts ? k.parts : k.p.data(), k.f.data(), k.v.data(),
                                             k.l.data()))
            << message(-1);
        EXPECT_EQ(before, dump(c));
    }
    EXPECT_EQ(VDB_BADARG, VdbPutPartValues(c, 2, ok, nullptr, values, lengths));
    EXPECT_EQ(VDB_BADARG, VdbPutPartValues(c, 2, ok, fields, nullptr, lengths));
    EXPECT_EQ(1, VdbPutPartValues(c, 0, nullptr, nullptr, nullptr, nullptr));
    // A text form line left unfinished on the record's cursor.
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, 0, 0, 0));
    std::string half = f["N_NAME"] + "F^1Pna";
    int a, b, d;
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, half.data(), static_cast<int>(half.size()), &a, &b, &d));
    EXPECT_EQ(VDB_BADARG, VdbPutPartValues(cur, 2, ok, fields, values, lengths));
    EXPECT_NE(std::string::npos, message(-1).find("unfinished")) << message(-1);
    std::string rest = "me^\n";
    ASSERT_EQ(1, VdbPutRecordBuffer(cur, rest.data(), static_cast<int>(rest.size()), &a, &b, &d));
    // None of the refusals sticks: the record stores with what was written.
    int rid = 0;
    ASSERT_EQ(1, VdbPutRecord(c, &rid)) << message(-1);
    Control s;
    VdbSetBase(s, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(s, rid));
    EXPECT_EQ("1", get(s, "N_ID", 0, 1));
    EXPECT_EQ("TEXT", get(s, "N_TYPE", 0, 1));
    EXPECT_EQ("name", get(s, "N_NAME", 0, 1));
    int parts = 0;
    VdbPartCount(s, &parts);
    EXPECT_EQ(1, parts);
    // A record whose text form failed keeps that error.
    Control bad;
    VdbSetBase(bad, "docs", 2);
    std::string broken = part(1) + "999F^1Px^\n";
    EXPECT_EQ(VDB_TEXTFORM, VdbPutRecordBuffer(bad, broken.data(), static_cast<int>(broken.size()), &a, &b, &d));
    EXPECT_EQ(VDB_TEXTFORM, VdbPutPartValues(bad, 2, ok, fields, values, lengths));
    // Handles that are not live.
    EXPECT_EQ(VDB_BADHANDLE, VdbPutPartValues(nullptr, 2, ok, fields, values, lengths));
    VdbHandle gone = nullptr;
    VdbCreateRecordControl(&gone);
    VdbDeleteRecordControl(gone);
    EXPECT_EQ(VDB_BADHANDLE, VdbPutPartValues(gone, 2, ok, fields, values, lengths));
}

}  // namespace
