// The module's entry points: loaded and called by the kernel, each answers,
// none pretends to succeed, none lets bad input through.
#include <dlfcn.h>

#include "fixture.h"

namespace vxt {
namespace {

using Entry = int (*)(char*, int*);

const char* const kEntries[] = {"vornxmlput",      "vornxmlget",   "vornxmlrelink", "vornxmlputblob",
                                "vornxmlgetlinks", "vornxmlquery", "vornxmlupdate"};

// Entries whose operation is built; their own tests cover them.
bool isBuilt(const std::string& name)
{
    return name == "vornxmlget" || name == "vornxmlputblob" || name == "vornxmlquery" || name == "vornxmlupdate" ||
           name == "vornxmlput" || name == "vornxmlrelink" || name == "vornxmlgetlinks";
}

class EntryTest : public FilterTest {};

TEST_F(EntryTest, NullFilterDataAndPlainEntriesAnswerWithoutTouchingAnything)
{
    // The kernel refuses a null filter_data itself, so the module is called
    // directly here: the same file the kernel loads.
    void* h = dlopen(VORNXML_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h) << dlerror();
    for (const char* name : kEntries) {
        auto fn = reinterpret_cast<Entry>(dlsym(h, name));
        ASSERT_NE(nullptr, fn) << name;
        EXPECT_EQ(0, fn(nullptr, nullptr)) << name;
    }
    auto ase = reinterpret_cast<int (*)()>(dlsym(h, "AseMain"));
    auto mainFn = reinterpret_cast<int (*)()>(dlsym(h, "main"));
    ASSERT_NE(nullptr, ase);
    ASSERT_NE(nullptr, mainFn);
    EXPECT_EQ(26, ase());
    EXPECT_EQ(0, mainFn());
    // Nothing of the module's own is exported besides the entry points.
    EXPECT_EQ(nullptr, dlsym(h, "_ZN10CFieldInfo4initEPv"));
    // The module stays loaded, as the kernel keeps it: unloading it would drop
    // the parser library's process-wide state, which the leak checker reports.
}

TEST_F(EntryTest, OperationsNotBuiltYetRefuseAndNameWhatIsMissing)
{
    for (const char* name : kEntries) {
        if (isBuilt(name))
            continue;
        SCOPED_TRACE(name);
        for (bool import : {true, false}) {
            Control c("DOCS");
            Call r = run(import, name, c, "<a/>", "URL=/x/a.xml\n");
            EXPECT_EQ(0, r.status);
            EXPECT_EQ(0, r.errorcode);
            EXPECT_NE(std::string::npos, r.errortext.find(std::string(name) + " is not available yet"))
                << r.errortext;
            EXPECT_NE(std::string::npos, r.errortext.find("not built")) << r.errortext;
            int rid = -1;
            VdbRecordInfo(c, 1, nullptr, &rid);
            EXPECT_EQ(0, rid) << "a refused import stored a record";
        }
    }
}

TEST_F(EntryTest, OperationsOnABaseThatIsNotXmlOrWithoutRecordSaySo)
{
    const char* needXml[] = {"vornxmlget", "vornxmlrelink", "vornxmlputblob", "vornxmlgetlinks"};
    for (const char* name : needXml) {
        SCOPED_TRACE(name);
        Control plain("PLAIN");
        Call r = run(false, name, plain, "");
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("No XML database or no database opened.", r.errortext);
        // No record control at all.
        Call none = run(false, name, nullptr, "");
        EXPECT_EQ(0, none.status);
        EXPECT_EQ("No XML database or no database opened.", none.errortext);
    }
}

} // namespace
} // namespace vxt
