// Reading runs of node parts in one call (VdbGetNodeValues) gives what
// cursors give, whatever state the record's values are in; handles that are
// gone are refused however recently they were used.
#include <string>
#include <vector>

#include "fixture.h"

using namespace kt;

namespace {

class NodeValuesTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(1, VdbCreateBase("docs", "xml"));
        ASSERT_EQ(1, ccl("BASE docs"));
    }

    // Five node parts; names missing in part 3, text values only in even
    // parts (one holding a NUL and a line feed), a record name in item 1.
    int storeSample() {
        Control c;
        VdbSetBase(c, "docs", 2);
        std::string t = std::to_string(field(c, "D_ID")) + "F^1Pdoc-1^\n";
        for (int p = 1; p <= 5; ++p) {
            t += "\n\n" + std::to_string(p) + "G^\n";
            t += std::to_string(field(c, "N_ID")) + "F^" + std::to_string(p) + "P" + std::to_string(p) + "^\n";
            t += std::to_string(field(c, "N_TYPE")) + "F^" + std::to_string(p) + "P" + (p % 2 ? "ELEMENT" : "TEXT") +
                 "^\n";
            if (p != 3) t += std::to_string(field(c, "N_NAME")) + "F^" + std::to_string(p) + "Pn" + std::to_string(p) + "^\n";
            if (p % 2 == 0) {
                std::string v = "text " + std::to_string(p) + std::string(1, '\0') + "\nend";
                t += std::to_string(field(c, "N_TVALUE")) + "F^\n" + std::to_string(v.size()) + "L" + v + "^\n";
            }
        }
        return store("docs", t);
    }

    // What a cursor reads: a record field's item `part`, a part field's
    // first item in the part; status 1 when there is a value.
    static std::string viaCursor(VdbHandle ctl, int f, bool partField, int part, int* status) {
        VdbHandle cur = nullptr;
        *status = partField ? VdbSetCursor(&cur, ctl, f, part, 0) : VdbSetCursor(&cur, ctl, f, 0, part);
        if (!partField && part == 0) *status = 0;  // no item 0
        char buf[4096];
        int len = 0;
        if (*status & 1) *status = VdbGetLine(cur, buf, &len, sizeof buf);
        if (cur) VdbDeleteCursor(cur);
        return *status == 1 ? std::string(buf, static_cast<size_t>(len)) : std::string();
    }

    // Every field of every part from 0 to past the end, read in runs of
    // `run` parts, against the cursor reads.
    void expectSameAsCursors(VdbHandle ctl, int run, const char* state) {
        const char* names[] = {"N_TYPE", "N_NAME", "N_TVALUE", "N_ID", "D_ID"};
        const bool partField[] = {false, false, true, false, false};
        const int n = 5, last = 7;
        int fields[n];
        for (int k = 0; k < n; ++k) fields[k] = field(ctl, names[k]);
        for (int first = 0; first <= last; first += run) {
            std::vector<const char*> values(static_cast<size_t>(run * n), nullptr);
            std::vector<int> lengths(values.size(), 0);
            ASSERT_EQ(1, VdbGetNodeValues(ctl, first, run, n, fields, values.data(), lengths.data())) << message(-1);
            // Copied at once: the views last until the next kernel call only.
            std::vector<std::string> got;
            for (size_t i = 0; i < values.size(); ++i)
                got.push_back(values[i] ? std::string(values[i], static_cast<size_t>(lengths[i])) : "<none>");
            for (int p = first; p < first + run; ++p)
                for (int k = 0; k < n; ++k) {
                    int st = 0;
                    std::string want = viaCursor(ctl, fields[k], partField[k], p, &st);
                    size_t at = static_cast<size_t>((p - first) * n + k);
                    EXPECT_EQ(st == 1 ? want : "<none>", got[at])
                        << state << ": part " << p << ", " << names[k] << ", runs of " << run;
                    if (st != 1) {
                        EXPECT_EQ(-1, lengths[at]);
                    }
                }
        }
    }
};

TEST_F(NodeValuesTest, RunsOfPartsReadWhatCursorsRead) {
    int rid = storeSample();
    for (int run : {1, 3, 8}) {
        Control c;
        VdbSetBase(c, "docs", 2);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
        // Slots still encoded as loaded, then decoded by cursor reads.
        expectSameAsCursors(c, run, "as loaded");
        expectSameAsCursors(c, run, "after cursor reads");
    }
    // A value changed in place, and a second item of a part field: the
    // first item still answers.
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    VdbHandle cur = nullptr;
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_TVALUE"), 4, 0));
    ASSERT_EQ(1, VdbPutLine(cur, "changed", -1));
    ASSERT_EQ(1, VdbPutLine(cur, "second", -1));
    ASSERT_EQ(1, VdbSetCursor(&cur, c, field(c, "N_NAME"), 0, 3));
    ASSERT_EQ(1, VdbPutLine(cur, "n3", -1));
    VdbDeleteCursor(cur);
    expectSameAsCursors(c, 8, "after changes");
    int f = field(c, "N_TVALUE");
    const char* v = nullptr;
    int len = 0;
    ASSERT_EQ(1, VdbGetNodeValues(c, 4, 1, 1, &f, &v, &len));
    EXPECT_EQ("changed", std::string(v, static_cast<size_t>(len)));
}

TEST_F(NodeValuesTest, BadRequestsGetTheirStatusAndNoValues) {
    int rid = storeSample();
    Control c;
    VdbSetBase(c, "docs", 2);
    ASSERT_EQ(1, VdbGetRecordInBase(c, rid));
    int type = field(c, "N_TYPE"), blob = field(c, "D_XMLDOC");
    VdbHandle gone = nullptr;
    VdbCreateRecordControl(&gone);
    VdbDeleteRecordControl(gone);
    std::vector<int> many(65, type);
    struct Case {
        const char* what;
        VdbHandle ctl;
        int part, parts, count;
        const int* fields;
        int status;
        const char* says;
    } cases[] = {
        {"deleted control", gone, 1, 1, 1, &type, VDB_BADHANDLE, "not a live handle"},
        {"unknown field", c, 1, 1, 1, &many[0], VDB_OK, ""},
        {"negative part", c, -1, 1, 1, &type, VDB_BADARG, "part -1"},
        {"negative run", c, 1, -2, 1, &type, VDB_BADARG, "-2 parts"},
        {"blob field", c, 1, 1, 1, &blob, VDB_FIELDKIND, "D_XMLDOC"},
        {"too many fields", c, 1, 1, 65, many.data(), VDB_BADARG, "at most 64"},
    };
    int unknown = 999;
    cases[1].fields = &unknown;
    cases[1].status = VDB_BADFIELD;
    cases[1].says = "999";
    for (const Case& k : cases) {
        std::vector<const char*> values(65, "stale");
        std::vector<int> lengths(65, 7);
        EXPECT_EQ(k.status, VdbGetNodeValues(k.ctl, k.part, k.parts, k.count, k.fields, values.data(), lengths.data()))
            << k.what;
        EXPECT_NE(std::string::npos, message(k.status).find(k.says)) << k.what << ": " << message(k.status);
        if (k.parts > 0)
            for (int i = 0; i < k.count * k.parts; ++i) {
                EXPECT_EQ(nullptr, values[static_cast<size_t>(i)]) << k.what;
                EXPECT_EQ(-1, lengths[static_cast<size_t>(i)]) << k.what;
            }
    }
}

TEST_F(NodeValuesTest, HandlesUsedJustBeforeTheyWereDeletedAreRefused) {
    int rid = storeSample();
    VdbHandle ctl = nullptr, cur = nullptr;
    ASSERT_EQ(1, VdbCreateRecordControl(&ctl));
    ASSERT_EQ(1, VdbSetBase(ctl, "docs", 2));
    ASSERT_EQ(1, VdbGetRecordInBase(ctl, rid));
    char buf[64];
    int len = 0;
    // Used over and over, as a reader walking a record does.
    for (int i = 1; i <= 5; ++i) {
        ASSERT_EQ(1, VdbSetCursor(&cur, ctl, field(ctl, "N_ID"), 0, i));
        ASSERT_EQ(1, VdbGetLine(cur, buf, &len, sizeof buf));
    }
    ASSERT_EQ(1, VdbDeleteCursor(cur));
    EXPECT_EQ(VDB_BADHANDLE, VdbGetLine(cur, buf, &len, sizeof buf));
    EXPECT_EQ(VDB_BADHANDLE, VdbDeleteCursor(cur));
    ASSERT_EQ(1, VdbDeleteRecordControl(ctl));
    int f = 1;
    const char* v = nullptr;
    EXPECT_EQ(VDB_BADHANDLE, VdbGetNodeValues(ctl, 1, 1, 1, &f, &v, &len));
    EXPECT_EQ(VDB_BADHANDLE, VdbPartCount(ctl, &len));
}

}  // namespace
