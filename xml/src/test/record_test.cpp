// The field catalogue and the record writer, as the kernel reads the record
// back; the request's record tests (XML base, XML document) and URL parts.
#include <algorithm>

#include "fixture.h"

namespace vxt {
namespace {

class RecordTest : public FilterTest {};

TEST_F(RecordTest, CatalogueOfTheDocumentModel)
{
    Control doc("DOCS");
    Call r = probe(doc, "catalogue\tinit\ngetat\t-1\ngetat\tcount\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(3u, l.size());
    // 27 model fields, the default entry, and the three looked up for every call.
    std::stringstream entries(l[0]);
    std::vector<std::string> tokens;
    for (std::string t; entries >> t;)
        tokens.push_back(t);
    EXPECT_EQ("31", tokens.at(0));
    auto has = [&](const std::string& e) { return std::find(tokens.begin(), tokens.end(), e) != tokens.end(); };
    EXPECT_TRUE(has("=0")) << l[0]; // the default entry
    EXPECT_TRUE(has("N_TVALUE=" + std::to_string(fieldNumber(doc, "N_TVALUE")) + "PT")) << l[0];
    EXPECT_TRUE(has("N_ID=" + std::to_string(fieldNumber(doc, "N_ID")) + "I")) << l[0];
    EXPECT_TRUE(has("D_DOCTYPE=" + std::to_string(fieldNumber(doc, "D_DOCTYPE")) + "T")) << l[0];
    EXPECT_TRUE(has("D_DOCTEXT=" + std::to_string(fieldNumber(doc, "D_DOCTEXT")) + "T")) << l[0];
    EXPECT_TRUE(has("N_CVALUE=" + std::to_string(fieldNumber(doc, "N_CVALUE")) + "P")) << l[0];
    EXPECT_TRUE(has("D_ID=" + std::to_string(fieldNumber(doc, "D_ID")))) << l[0];
    EXPECT_EQ("null", l[1]);
    EXPECT_EQ("null", l[2]);
}

TEST_F(RecordTest, ACatalogueFilledLaterKeepsTheModelFlags)
{
    // A store into a new record loads the catalogue before it has a record
    // control; the first lookup with one loads it all.
    Control doc("DOCS");
    Call r = probe(doc, "initnull\nfield\tN_TVALUE\nfield\tN_TVALUE\tkernel\nfield\tD_DOCTEXT\tkernel\ncatalogue\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(5u, l.size()) << r.output;
    EXPECT_EQ("0", l[0]);
    EXPECT_EQ("absent", l[1]);
    EXPECT_EQ(0u, l[4].rfind("29 ", 0)) << l[4];
    std::string n = std::to_string(fieldNumber(doc, "N_TVALUE"));
    EXPECT_NE(std::string::npos, l[4].find(" N_TVALUE=" + n + "PT")) << l[4];
    // Looked up without its flag, the extracted-text field is still a text field.
    n = std::to_string(fieldNumber(doc, "D_DOCTEXT"));
    EXPECT_NE(std::string::npos, l[4].find(" D_DOCTEXT=" + n + "T")) << l[4];
}

TEST_F(RecordTest, ReloadingForAnotherBaseDropsItsFieldsAndTheWriterSkipsThem)
{
    Control small("SMALL");
    Call r = probe(small, "initfor\tDOCS\nfield\tN_CVALUE\ninitfor\tSMALL\nfield\tN_CVALUE\nfield\tN_CVALUE\tkernel\n"
                          "part\t1\nput\tN_CVALUE\t1\tlost\nput\tN_NAME\t1\tkept\n",
                   true);
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(8u, l.size()) << r.output;
    EXPECT_EQ("28", l[0]); // the default entry and the 27 model fields
    EXPECT_NE("absent", l[1]);
    EXPECT_EQ("5", l[2]); // the default entry and the four model fields SMALL has
    EXPECT_EQ("absent", l[3]);
    EXPECT_EQ("absent", l[4]);
    // Anything sent for N_CVALUE would have been a field SMALL lacks.
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("kept", value(small, "N_NAME", 0, 1));
}

TEST_F(RecordTest, ACallInsideACallKeepsTheOuterCatalogue)
{
    int docRid = storeWith("DOCS", "setfield\tD_DOCNAME\t1\tdoc.xml\n");
    Control small("SMALL");
    Call r = probe(small, "catalogue\tinit\nnested\tDOCS\t" + std::to_string(docRid) +
                              "\tcatalogue\\tinit\ncatalogue\npart\t1\nput\tN_NAME\t1\tstill SMALL\n",
                   true);
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(5u, l.size()) << r.output;
    EXPECT_EQ(0u, l[0].rfind("6 ", 0)) << l[0];
    EXPECT_EQ(0u, l[1].rfind("31 ", 0)) << l[1]; // the inner call saw its own base
    EXPECT_EQ(l[0], l[2]);
    ASSERT_EQ(1, r.status) << r.errortext;
    EXPECT_EQ("still SMALL", value(small, "N_NAME", 0, 1));
}

TEST_F(RecordTest, TheCatalogueFollowsABaseMadeAgainWithAnotherDesign)
{
    auto catalogue = [&](const char* base) {
        Control c(base);
        Call r = probe(c, "catalogue\tinit\n");
        EXPECT_EQ(1, r.status) << r.errortext;
        return r.lines().at(0);
    };
    std::string first = catalogue("SMALL");
    EXPECT_EQ(0u, first.rfind("6 ", 0)) << first;
    EXPECT_NE(std::string::npos, first.find(" N_NAME=1 ")) << first;
    EXPECT_EQ(first, catalogue("SMALL")); // learnt once, the same again
    EXPECT_NE(first, catalogue("DOCS"));

    ASSERT_EQ(1, VdbDropBase("SMALL"));
    ASSERT_EQ(1, VdbCreateBase("SMALL", design("small2", "N_TYPE phrase\nN_ID integer\nN_NAME phrase\n").c_str()))
        << message(-1);
    std::string again = catalogue("SMALL");
    EXPECT_EQ(0u, again.rfind("4 ", 0)) << again;
    for (const char* f : {" N_TYPE=1", " N_ID=2I", " N_NAME=3"})
        EXPECT_NE(std::string::npos, (again + " ").find(std::string(f) + " ")) << f << " in " << again;
    EXPECT_EQ(std::string::npos, again.find("D_PROPNAME")) << again;
}

TEST_F(RecordTest, WrittenPartsAndFieldsReadBackByPartAndItem)
{
    std::string bytes;
    for (int i = 0; i < 10000; ++i)
        bytes += static_cast<char>(i % 256);
    int rid = storeWith("DOCS", "put\tD_DOCNAME\t0\tdoc.xml\n"
                                "part\t1\nputint\tN_ID\t1\t1\nput\tN_NAME\t1\troot\nput\tN_TYPE\t1\tELEMENT\n"
                                "part\t9\nputint\tN_ID\t9\t9\nput\tN_NAME\t9\tnine\nput\tN_CVALUE\t9\tcv\n"
                                "putblock\tN_TVALUE\t9\t@bytes:10000\n"
                                "part\t10\nput\tN_TVALUE\t10\tabc\nputblock\tN_TVALUE\t0\tdef\n"
                                "put\tN_NAME\t10\ta^b^^c\n");
    Control c;
    load(c, "DOCS", rid);
    EXPECT_EQ("doc.xml", value(c, "D_DOCNAME", 0, 1)); // part 0: item 1
    EXPECT_EQ("root", value(c, "N_NAME", 0, 1));
    EXPECT_EQ("nine", value(c, "N_NAME", 0, 9)); // a record field of part 9: item 9
    EXPECT_EQ("cv", value(c, "N_CVALUE", 9, 1)); // a part field: item 1 of part 9
    EXPECT_EQ("9", value(c, "N_ID", 0, 9));
    EXPECT_EQ(9, itemCount(c, "N_ID"));
    // 10000 bytes of every value, in pieces of 4096, 4096 and 1808.
    std::string got = text(c, "N_TVALUE", 9);
    EXPECT_TRUE(bytes == got) << "read back " << got.size() << " bytes";
    EXPECT_EQ("abcdef", text(c, "N_TVALUE", 10));
    EXPECT_EQ("a^b^^c", value(c, "N_NAME", 0, 10));
}

TEST_F(RecordTest, APlainValueCannotEndItsLineEarly)
{
    // Without care the kernel would read the rest as a second field line.
    int rid = storeWith("DOCS", "put\tD_URLBASE\t0\tx^\\n3F^1Pinjected^\n");
    Control c;
    load(c, "DOCS", rid);
    EXPECT_EQ("x^\n3F^1Pinjected^", value(c, "D_URLBASE", 0, 1));
    EXPECT_EQ(0, itemCount(c, "D_PROPVAL"));
}

TEST_F(RecordTest, XmlBaseAndXmlDocument)
{
    Control doc("DOCS");
    Call r = probe(doc, "isxml\nblob\tDAV_NONXMLBLOB\tnot xml\nisxml\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(3u, l.size());
    EXPECT_EQ("db\tdoc", l[0]);
    EXPECT_EQ("db\tnodoc", l[2]);

    Control plain("PLAIN");
    EXPECT_EQ("nodb\tdoc\n", probe(plain, "isxml\n").output);
    EXPECT_EQ("nodb\tdoc\n", probe(nullptr, "isxml\n").output);
}

TEST_F(RecordTest, UrlPartsFromTheArgumentTheFileOrTheRecord)
{
    struct Case {
        const char* url;
        const char* parts; // base|file|alias
    } cases[] = {
        {"/data/dir/doc.xml", "/data/dir|doc.xml|/data/dir/doc.xml"},
        {"C:\\dir\\doc.xml", "C:\\\\dir|doc.xml|C:\\\\dir\\\\doc.xml"},
        {"/data/dir/doc", "/data/dir||/data/dir/"},
        {"/data//doc.xml", "/data|doc.xml|/data/doc.xml"},
        {"doc.xml", "|doc.xml|/doc.xml"},
        {"a.b/c", "a.b||a.b/"},
    };
    Control doc("DOCS");
    for (const Case& c : cases) {
        Call r = run(false, "vornxmlprobe", doc, "", std::string("URL=") + c.url + "\nSCRIPT=parseurl\t(null)\n");
        EXPECT_EQ(std::string(c.parts) + "\n", r.output) << c.url;
    }

    // A URL given by the caller wins over the argument.
    Call r = run(false, "vornxmlprobe", doc, "", "URL=/x/y.xml\nSCRIPT=parseurl\t/a/b.xml\n");
    EXPECT_EQ("/a|b.xml|/a/b.xml\n", r.output);

    // A named file without a URL: its name only.
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = doc;
    strcpy(fd.filter_name, "vornxmlprobe");
    char file[] = "/some/where/doc.xml";
    fd.buffer = file;
    fd.vdb_options = IEOPT_FILENAME;
    char args[] = "SCRIPT=parseurl\t(null)\n";
    fd.filter_arguments = args;
    fd.arg_length = static_cast<int>(strlen(args));
    VdbExport(&fd);
    ASSERT_NE(static_cast<void*>(file), fd.buffer);
    EXPECT_EQ("|doc.xml|/doc.xml\n", std::string(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)));
    free(fd.buffer);

    // Otherwise the stored name and base; a stored alias is kept as it is.
    int rid = storeWith("DOCS", "setfield\tD_DOCNAME\t1\tstored.xml\nsetfield\tD_URLBASE\t1\t/stored/base\n");
    Control c1;
    load(c1, "DOCS", rid);
    EXPECT_EQ("/stored/base|stored.xml|/stored/base/stored.xml\n",
              run(false, "vornxmlprobe", c1, "", "SCRIPT=parseurl\t(null)\n").output);
    rid = storeWith("DOCS", "setfield\tD_URLALIAS\t1\thttp://h/alias.xml\n");
    Control c2;
    load(c2, "DOCS", rid);
    EXPECT_EQ("/p|q.xml|http://h/alias.xml\n",
              run(false, "vornxmlprobe", c2, "", "URL=/p/q.xml\nSCRIPT=parseurl\t(null)\n").output);
}

} // namespace
} // namespace vxt
