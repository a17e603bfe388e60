// The translator's node sets against libxml2's on generated documents and
// expressions: documents are stored as node parts in the order the shredder
// writes them, so every selected node (element, attribute, text, comment,
// processing instruction) is compared by its part number.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "VXProcessorMain.h"
#include "VfxMemory.h"
#include "XPathException.h"
#include "cases.h"
#include "store_fixture.h"

namespace {

class TranslateDiffTest : public qt::StoreTest {};

TEST_F(TranslateDiffTest, NodeSetsAgreeWithLibxml2)
{
    // VX_DIFF_SEED explores other corpora; the default one is fixed.
    const char* seed = getenv("VX_DIFF_SEED");
    qt::Cases cases = qt::generateCases(GEN_CASES, seed ? atoi(seed) : 20240611, 80, 1200);
    ASSERT_TRUE(cases.error.empty()) << cases.error;
    ASSERT_EQ(80u, cases.docs.size());

    std::map<int, int> docOfRid;
    std::set<int> namespaced;
    for (size_t i = 0; i < cases.docs.size(); ++i) {
        qt::Doc d;
        for (const qt::CaseNode& n : cases.docs[i].nodes)
            d.add({n.parent, n.type, n.name, n.ns, n.value});
        docOfRid[store(d)] = static_cast<int>(i);
        if (cases.docs[i].xml.find("xmlns:") != std::string::npos)
            namespaced.insert(static_cast<int>(i));
    }

    int pairs = 0, failures = 0, nonEmpty = 0;
    for (const qt::CaseQuery& q : cases.queries) {
        VXProcessorMain p(nullptr);
        ASSERT_TRUE(p.Begin());
        std::vector<std::pair<int, int>> got;
        std::string error;
        try {
            SearchSet* result = p.Query(q.xpath.c_str());
            p.End();
            int* tuples = nullptr;
            int n = result ? result->GetHitTuples(&tuples, 0) : 0;
            for (int i = 0; i < n; ++i) {
                int doc = docOfRid[tuples[1 + 2 * i]];
                if (!(q.skipNamespaced && namespaced.count(doc)))
                    got.emplace_back(doc, tuples[2 + 2 * i]);
            }
            VfxMemFree(tuples);
        } catch (XPathException* e) {
            char buf[512];
            e->GetErrorMessage(buf, sizeof buf);
            delete e;
            error = buf;
        }
        if (!q.hits.empty())
            ++nonEmpty;
        pairs += static_cast<int>(cases.docs.size() - (q.skipNamespaced ? namespaced.size() : 0));
        if (!error.empty() || got != q.hits) {
            ++failures;
            if (failures <= 20) {
                std::string exp, act;
                for (auto& h : q.hits)
                    exp += " " + std::to_string(h.first) + ":" + std::to_string(h.second);
                for (auto& h : got)
                    act += " " + std::to_string(h.first) + ":" + std::to_string(h.second);
                ADD_FAILURE() << q.xpath << (error.empty() ? "" : "\n  error: " + error) << "\n  libxml2:" << exp
                              << "\n  store:  " << act;
            }
        }
    }
    EXPECT_EQ(0, failures) << "of " << cases.queries.size() << " expressions";
    EXPECT_GE(pairs, 1000);
    // Most expressions must select something, or the comparison says little.
    EXPECT_GT(nonEmpty, static_cast<int>(cases.queries.size()) * 2 / 3);
    printf("%d expressions, %d with results, %d expression-document pairs\n", static_cast<int>(cases.queries.size()),
           nonEmpty, pairs);
}

}  // namespace
