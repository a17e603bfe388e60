// Fragment sets against libxml2: generated documents are stored through the
// store filter, every
// generated expression is asked as the fragment expression of a query over
// all of them through vornxmlquery, and gen_cases.py compares each returned
// subtree, canonicalised, with what libxml2 selects. Each expression is also
// asked as its own query, whose fragment set must be the same.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>

#include "cases.h"
#include "store_fixture.h"

namespace {

std::string hex(const std::string& s)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

class FragmentDiffTest : public qt::StoreTest {};

TEST_F(FragmentDiffTest, FragmentsAgreeWithLibxml2)
{
    const char* seedText = getenv("VX_DIFF_SEED");
    int seed = seedText ? atoi(seedText) : 7301, docs = 40, exprs = 400;
    qt::Cases cases = qt::generateCases(GEN_CASES, seed, docs, exprs);
    ASSERT_TRUE(cases.error.empty()) << cases.error;
    // The documents go through the store filter: the parser and shredder
    // make the node parts.
    for (size_t i = 0; i < cases.docs.size(); ++i) {
        std::string error;
        ASSERT_EQ(static_cast<int>(i) + 1, storeXml(cases.docs[i].xml, "/corpus/doc" + std::to_string(i) + ".xml", &error))
            << error;
    }

    const char* keep = getenv("VX_DIFF_RESULTS");  // keeps the fragment sets for a look
    std::string results = keep ? keep : dir + "/fragments.txt";
    {
        std::ofstream out(results);
        // The fragment set, or the error text.
        auto ask = [&](const std::string& args) {
            filter_data fd;
            memset(&fd, 0, sizeof fd);
            snprintf(fd.filter_name, sizeof fd.filter_name, "vornxmlquery");
            std::string a = args;
            fd.filter_arguments = &a[0];
            fd.arg_length = static_cast<int>(a.size());
            fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
            int status = VdbExport(&fd);
            std::string text = fd.errortext;
            if (fd.buffer) {
                if (status == 1)
                    text.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
                free(fd.buffer);
            }
            // Each query leaves its result set; start afresh.
            ccl("DELETE S=0");
            return text;
        };
        // The set from its fragment count on (the query's counts differ).
        auto body = [](const std::string& text) {
            size_t at = text.find("FRAGMENTCOUNT=");
            return at == std::string::npos ? text : text.substr(at);
        };
        int sameExpression = 0;
        for (size_t n = 0; n < cases.queries.size(); ++n) {
            const std::string& x = cases.queries[n].xpath;
            std::string text = ask("XPATHQUERY=/*\nXPATHFRAGMENTS=" + x + "\n");
            out << n << "\t" << hex(text) << "\n";
            // The expression asked as the query too: its own result holds the
            // fragments, and they are the same ones.
            if (text.compare(0, 5, "<?xml") == 0) {
                EXPECT_EQ(body(text), body(ask("XPATHQUERY=" + x + "\nXPATHFRAGMENTS=" + x + "\n"))) << x;
                ++sameExpression;
            }
        }
        EXPECT_GT(sameExpression, exprs / 2);
    }
    std::string cmd = std::string("/usr/bin/python3 '") + GEN_CASES + "' " + std::to_string(seed) + " " +
                      std::to_string(docs) + " " + std::to_string(exprs) + " --check '" + results + "'";
    FILE* fp = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, fp);
    std::string report;
    char buf[4096];
    while (fgets(buf, sizeof buf, fp))
        report += buf;
    int rc = pclose(fp);
    printf("%s", report.c_str());
    EXPECT_EQ(0, rc) << report;
}

}  // namespace
