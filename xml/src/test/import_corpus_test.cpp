// Real documents: a sample of the Unicode CLDR data files (Debian package
// unicode-cldr-core) stores without error, with and without validation
// against their own DTDs. The whole collection is stored by the import
// benchmark's corpus run (bench/import).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "import_fixture.h"

namespace vxt {
namespace {

const char kCldr[] = "/usr/share/unicode/cldr/common";

class CorpusTest : public ImportTest {
protected:
    // The n smallest XML files of a CLDR directory, by name within a size.
    static std::vector<std::string> smallest(const std::string& dir, size_t n)
    {
        std::vector<std::pair<long long, std::string>> files;
        DIR* d = opendir(dir.c_str());
        if (!d)
            return {};
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".xml") != 0)
                continue;
            struct stat st;
            if (stat((dir + "/" + name).c_str(), &st) == 0)
                files.emplace_back(st.st_size, dir + "/" + name);
        }
        closedir(d);
        std::sort(files.begin(), files.end());
        std::vector<std::string> out;
        for (size_t i = 0; i < files.size() && i < n; ++i)
            out.push_back(files[i].second);
        return out;
    }
};

TEST_F(CorpusTest, ASampleOfCldrFilesStores)
{
    if (!fileExists(kCldr))
        GTEST_SKIP() << "unicode-cldr-core is not installed";
    std::vector<std::string> sample;
    for (const char* dir : {"main", "supplemental", "bcp47", "collation", "rbnf", "segments", "transforms",
                            "subdivisions", "casing", "validity", "annotations"})
        for (const std::string& f : smallest(std::string(kCldr) + "/" + dir, 2))
            sample.push_back(f);
    // Larger locales with many kinds of data.
    sample.push_back(std::string(kCldr) + "/main/de.xml");
    sample.push_back(std::string(kCldr) + "/main/ja.xml");
    ASSERT_GE(sample.size(), 20u);

    for (const std::string& path : sample) {
        for (bool validate : {false, true}) {
            SCOPED_TRACE(path + (validate ? " validated" : ""));
            Control c("DOCS");
            Call r = storeFrom(c, IEOPT_FILENAME, const_cast<char*>(path.c_str()), "", validate ? FO_VALIDATE : 0);
            ASSERT_EQ(1, r.status) << r.errortext;
            std::string raw = readFile(path);
            EXPECT_EQ(std::to_string(raw.size()), nodeValue(c, "D_DOCSIZE", 1));
            EXPECT_EQ(0u, partText(c, "D_DOCTYPE", 0).find("<!DOCTYPE ")) << partText(c, "D_DOCTYPE", 0);
            EXPECT_GT(partCount(c), 1);
            if (!validate) {
                EXPECT_EQ(raw, blob(c, "D_XMLDOC"));
            }
        }
    }
}

} // namespace
} // namespace vxt
