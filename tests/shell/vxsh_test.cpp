// vxsh run as a program: wrong usage, help, the data directory and login,
// bases.
#include "vxsh_fixture.h"

namespace vxsht {
namespace {

class Vxsh : public VxshTest {};

TEST_F(Vxsh, WrongUsageExitsWithTwoAndSaysWhatWasWrongInOneLine)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"frobnicate"}, "vxsh: unknown command 'frobnicate' (see 'vxsh --help')\n"},
        {{"--frob", "bases"}, "vxsh: unknown option '--frob'"},
        {{"--data"}, "vxsh: option --data needs a value"},
        {{"query", "docs"}, "vxsh query: missing XPATH (see 'vxsh query --help')\n"},
        {{"store", "docs"}, "vxsh store: missing PATH"},
        {{"create"}, "vxsh create: missing NAME"},
        {{"bases", "extra"}, "vxsh bases: unexpected argument 'extra'"},
        {{"get", "docs"}, "vxsh get: missing --id ID or --url URL"},
        {{"get", "docs", "--id", "a", "--url", "b"}, "vxsh get: give either --id or --url, not both"},
        {{"get", "docs", "--url"}, "vxsh get: option --url needs a value (URL)"},
        {{"get", "docs", "--url", "x", "--rebuild=yes"}, "vxsh get: option --rebuild takes no value"},
        {{"store", "docs", "dir", "--bogus"}, "vxsh store: unknown option '--bogus'"},
        {{"query", "docs", "//a", "--highlight"}, "vxsh query: --highlight works on fragments"},
        {{"query", "docs", "//a", "--fragments", "//a", "--from", "0"}, "vxsh query: --from needs a number of 1 or more"},
        {{"query", "docs", "//a", "--fragments", "//a", "--from", "3", "--to", "2"}, "--to 2 comes before --from 3"},
        {{"query", "docs", "//a", "--fragments", "//a", "--count"}, "--count and --fragments do not go together"},
        {{"update", "docs", "//a/text()"}, "vxsh update: missing VALUE"},
    };
    for (const Case& k : cases) {
        std::string shown;
        for (const std::string& a : k.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        Outcome r = vxsh(k.args);
        EXPECT_EQ(2, r.status);
        EXPECT_NE(std::string::npos, r.err.find(k.message)) << r.err;
        EXPECT_EQ(1, lineCount(r.err)) << r.err;
        EXPECT_EQ("", r.out);
    }
    // No command at all: the usage, on standard error.
    Outcome r = vxsh({});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("Usage: vxsh"));
}

TEST_F(Vxsh, HelpForTheProgramAndEveryCommand)
{
    Outcome r = vxsh({"--help"});
    ASSERT_EQ(0, r.status);
    const char* commands[] = {"init",   "create", "drop",   "bases", "store", "store-blob", "get",
                              "query",  "update", "delete", "links", "ccl",   "shell"};
    for (const char* c : commands) {
        SCOPED_TRACE(c);
        EXPECT_NE(std::string::npos, r.out.find(std::string("\n  ") + c + " ")) << "not listed";
        for (auto form : {std::vector<std::string>{c, "--help"}, std::vector<std::string>{"help", c}}) {
            Outcome h = vxsh(form);
            EXPECT_EQ(0, h.status);
            EXPECT_EQ(0u, h.out.find(std::string("Usage: vxsh ") + c)) << h.out;
            EXPECT_EQ("", h.err);
        }
    }
    // Help never needs a data directory.
    EXPECT_NE(0, access(data.c_str(), F_OK));
}

TEST_F(Vxsh, InitOnceThenLogInWithThePassword)
{
    // Nothing there yet: no store is made behind the user's back.
    Outcome r = vxsh({"bases"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("vxsh bases: no data directory at " + data + " (make one with 'vxsh init', or name it with --data DIR)\n",
              r.err);
    EXPECT_NE(0, access(data.c_str(), F_OK));

    // Without a password and without a terminal init refuses.
    env.erase("VDBS_PASSWORD");
    r = vxsh({"init"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no password: set VDBS_PASSWORD")) << r.err;
    env["VDBS_PASSWORD"] = "";
    r = vxsh({"init"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("must not be empty")) << r.err;

    env["VDBS_PASSWORD"] = "s3cret";
    r = vxsh({"init"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(data)) << r.out;
    r = vxsh({"init"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("initialised already")) << r.err;

    r = vxsh({"bases"});
    EXPECT_EQ(0, r.status) << r.err;
    env["VDBS_PASSWORD"] = "wrong";
    r = vxsh({"bases"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("vxsh bases: login as warden to " + data +
                  " failed: wrong user or password (from VDBS_PASSWORD)\n",
              r.err);

    // --data names another directory, relative ones from the current one.
    env["VDBS_PASSWORD"] = "s3cret";
    env.erase("VDBS_DATA");
    r = vxsh({"--data", data, "bases"});
    EXPECT_EQ(0, r.status) << r.err;
    r = vxsh({"bases", "--data=" + scratch + "/elsewhere"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no data directory at " + scratch + "/elsewhere")) << r.err;
}

TEST_F(Vxsh, CreateListAndDropBases)
{
    initWith({});
    Outcome r = vxsh({"bases"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("No bases")) << r.out;

    ASSERT_EQ(0, vxsh({"create", "docs"}).status);
    ASSERT_EQ(0, vxsh({"create", "links", "--design", "link"}).status);
    std::string design = file("notes.design", "TITLE text\nBODY text\nD_ID phrase recname\n");
    r = vxsh({"create", "notes", "--design", design});
    ASSERT_EQ(0, r.status) << r.err;

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    } bad[] = {
        {{"create", "DOCS"}, "vxsh create: a base named 'DOCS' exists already\n"},
        {{"create", "no/slash"}, "vxsh create: cannot create base 'no/slash' with design xml: "},
        {{"create", "x", "--design", "nosuch"}, "vxsh create: design 'nosuch' is neither xml, link nor a readable file"},
        {{"drop", "nosuch"}, "vxsh drop: no base named 'nosuch' (see 'vxsh bases')\n"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.args[1]);
        r = vxsh(b.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.err.find(b.message)) << r.err;
        EXPECT_EQ(1, lineCount(r.err));
    }

    r = vxsh({"bases"});
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(0u, squeezed(r.out).find("NAME DESIGN RECORDS\n")) << r.out;
    EXPECT_TRUE(hasRow(r.out, "docs xml 0")) << r.out;
    EXPECT_TRUE(hasRow(r.out, "links link 0")) << r.out;
    EXPECT_TRUE(hasRow(r.out, "notes notes.design 0")) << r.out;

    r = vxsh({"drop", "notes"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Dropped base notes with 0 records\n", r.out);
    EXPECT_EQ(std::string::npos, vxsh({"bases"}).out.find("notes"));
}

}  // namespace
}  // namespace vxsht
