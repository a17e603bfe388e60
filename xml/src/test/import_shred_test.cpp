// The node parts, declarations and properties a stored document becomes.
#include "import_fixture.h"

namespace vxt {
namespace {

class ShredTest : public ImportTest {
protected:
    // Stores doc into a new record of DOCS and returns its part lines.
    std::vector<std::string> shred(const std::string& doc, Control& c, int options = 0)
    {
        Call r = store(c, doc, "", options);
        EXPECT_EQ(1, r.status) << r.errortext << "\n" << doc;
        return parts(c);
    }
};

TEST_F(ShredTest, DeclarationElementAttributeTextAndComment)
{
    Control c("DOCS");
    std::vector<std::string> expected = {
        "1|XML_DECL|0|0|-|-|-|-",       "2|ELEMENT|1|0|r||-|-",   "3|ATTRIBUTE|2|2|a||/r/a|1",
        "4|TEXT|3|2|r||/r|x",           "5|COMMENT|8|2|r||/r|c",  "6|TEXT|3|2|r||/r|y",
    };
    EXPECT_EQ(join(expected), join(shred("<?xml version=\"1.0\"?><r a=\"1\">x<!--c-->y</r>", c)));
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", partText(c, "D_META", 0));
    EXPECT_EQ("1.0", property(c, "xmlversion"));
    EXPECT_EQ("UTF-8", property(c, "xmlencoding"));
    EXPECT_EQ("3.0-1", property(c, "vornxmlversion"));
    EXPECT_EQ("SAX", property(c, "vornxmlstyle"));
    // Document fields are values of the main part, not of the last node.
    for (int p = 1; p <= 6; ++p)
        EXPECT_EQ("-", partText(c, "D_META", p)) << p;
}

TEST_F(ShredTest, PartListsOfSmallDocuments)
{
    struct Case {
        const char* what;
        const char* doc;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {"no declaration, whitespace between elements",
         "<r>\n <a/>\n</r>",
         {"1|ELEMENT|1|0|r||-|-", "2|TEXT|3|1|r||/r|\n ", "3|ELEMENT|1|1|a||-|-", "4|TEXT|3|1|r||/r|\n"}},
        {"prefixed names",
         "<a:b xmlns:a=\"u\" a:c=\"v\">t</a:b>",
         {"1|ELEMENT|1|0|b|a|-|-", "2|ATTRIBUTE|2|1|a|xmlns|/b/a|u", "3|ATTRIBUTE|2|1|c|a|/b/c|v",
          "4|TEXT|3|1|b||/b|t"}},
        {"comment and instructions outside the root",
         "<!--c--><?pi one?><r><?x:t two?></r>",
         {"1|COMMENT|8|-|-|-||c", "2|PROCESSING_INSTRUCTION|7|0|pi|||one", "3|ELEMENT|1|0|r||-|-",
          "4|PROCESSING_INSTRUCTION|7|3|t|x|/r|two"}},
        {"attributes of an empty element belong to it",
         "<r><e b=\"2\"/><f/></r>",
         {"1|ELEMENT|1|0|r||-|-", "2|ELEMENT|1|1|e||-|-", "3|ATTRIBUTE|2|2|b||/r/e/b|2", "4|ELEMENT|1|1|f||-|-"}},
        {"a CDATA section is one part",
         "<r>a<![CDATA[<x>&]]>b</r>",
         {"1|ELEMENT|1|0|r||-|-", "2|TEXT|3|1|r||/r|a", "3|CDATA_SECTION|4|1|r||/r|<x>&", "4|TEXT|3|1|r||/r|b"}},
        {"character references and predefined entities are text",
         "<r>&lt;&#65;&amp;</r>",
         {"1|ELEMENT|1|0|r||-|-", "2|TEXT|3|1|r||/r|<A&"}},
        {"an entity reference holds its replacement text",
         "<!DOCTYPE r [<!ENTITY e \"v\">]><r>a&e;b</r>",
         {"1|DOCUMENT_TYPE|10|0|-|-|-|-", "2|ELEMENT|1|0|r||-|-", "3|TEXT|3|2|r||/r|a",
          "4|ENTITY_REFERENCE|5|2|e|-|/r|v", "5|TEXT|3|2|r||/r|b"}},
        {"elements inside an entity come before the reference",
         "<!DOCTYPE r [<!ENTITY e \"v<b>w</b>\">]><r>&e;</r>",
         {"1|DOCUMENT_TYPE|10|0|-|-|-|-", "2|ELEMENT|1|0|r||-|-", "3|ELEMENT|1|2|b||-|-",
          "4|ENTITY_REFERENCE|5|2|e|-|/r|vw"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Control c("DOCS");
        EXPECT_EQ(join(k.parts), join(shred(k.doc, c)));
        EXPECT_EQ("-", property(c, "xmlversion"));
        EXPECT_EQ("-", partText(c, "D_META", 0));
    }
}

TEST_F(ShredTest, SequenceNumbersCountOnFromTheLastClosedElement)
{
    Control c("DOCS");
    shred("<r><a/><b/><c><d/></c></r>", c);
    std::vector<std::string> got;
    for (int p = 1; p <= 5; ++p)
        got.push_back(nodeValue(c, "N_NAME", p) + " " + nodeValue(c, "N_SEQNO", p) + " " +
                      nodeValue(c, "N_SIBNO", p) + " " + nodeValue(c, "N_SEQPATH", p));
    EXPECT_EQ(join({"r 1 1 /1/1", "a 1 1 /1/1/1", "b 2 2 /1/2/2", "c 3 3 /1/3/3", "d 3 3 /1/3/3/3"}), join(got));
}

TEST_F(ShredTest, DocumentTypeDeclarationIsRebuiltWithItsInternalSubset)
{
    Control c("DOCS");
    shred("<!DOCTYPE r SYSTEM \"r.dtd\" [<!ENTITY e \"v\">]><r/>", c);
    EXPECT_EQ("<!DOCTYPE r SYSTEM \"r.dtd\" [\n<!ENTITY e \"v\">\r\n]>", partText(c, "D_DOCTYPE", 0));
    EXPECT_EQ("1|DOCUMENT_TYPE|10|0|-|-|-|-", parts(c).at(0));

    Control d("DOCS");
    shred("<!DOCTYPE r PUBLIC \"-//X//Y\" \"y.dtd\" [\n"
          "<!ELEMENT r (a|b)*>\n"
          "<!ATTLIST r x CDATA #IMPLIED y (p|q) \"p\" z CDATA #FIXED 'say \"hi\" &amp; &#60;'>\n"
          "<!--note-->\n"
          "<!ENTITY % pe \"pv\">\n"
          "<!ENTITY ext SYSTEM \"ext.xml\">\n"
          "<!ENTITY pub PUBLIC \"-//P\" \"pub.xml\">\n"
          "<!ENTITY q '\"' >\n"
          "<!ENTITY pct \"&#37;\">\n"
          "]><r/>",
          d);
    EXPECT_EQ("<!DOCTYPE r PUBLIC \"-//X//Y\" \"y.dtd\" [\n"
              "<!ELEMENT r (a|b)*>\r\n"
              "<!ATTLIST r x CDATA #IMPLIED>\r\n"
              "<!ATTLIST r y (p|q) \"p\">\r\n"
              "<!ATTLIST r z CDATA #FIXED 'say \"hi\" &amp; &lt;'>\r\n"
              "<!-- note-->\r\n"
              "<!ENTITY % pe \"pv\">\r\n"
              "<!ENTITY ext SYSTEM \"ext.xml\">\r\n"
              "<!ENTITY pub PUBLIC \"-//P\" \"pub.xml\">\r\n"
              "<!ENTITY q '\"'>\r\n"
              "<!ENTITY pct \"&#37;\">\r\n"
              "]>",
              partText(d, "D_DOCTYPE", 0));
}

TEST_F(ShredTest, WhatFollowsAnUnreadExternalSubsetIsNotPartOfTheDoctype)
{
    // Without validation the external subset is not read, and the parser
    // never says that the DTD ended: the comment and the instruction after
    // it are still the document's.
    Control c("DOCS");
    std::vector<std::string> got = shred("<!DOCTYPE r SYSTEM \"none.dtd\" [<!--in-->]><!--after--><?pi x?><r/>", c);
    EXPECT_EQ("<!DOCTYPE r SYSTEM \"none.dtd\" [\n<!-- in-->\r\n]>", partText(c, "D_DOCTYPE", 0));
    EXPECT_EQ(join({"1|DOCUMENT_TYPE|10|0|-|-|-|-", "2|COMMENT|8|-|-|-||after", "3|PROCESSING_INSTRUCTION|7|0|pi|||x",
                    "4|ELEMENT|1|0|r||-|-"}),
              join(got));
}

TEST_F(ShredTest, DeclarationsOfTheExternalSubsetStayInTheDtdFile)
{
    std::string name = "vx_import_ext_" + std::to_string(getpid()) + ".dtd";
    std::string path = "/tmp/" + name;
    { std::ofstream(path) << "<!ELEMENT r (#PCDATA)>\n<!ENTITY ext \"from the file\">\n"; }
    UpdateRCS("XML_STRICT_VALIDATION", "1");
    Control c("DOCS");
    std::vector<std::string> got =
        shred("<!DOCTYPE r SYSTEM \"" + name + "\" [<!ENTITY in \"x\">]><r>&ext;</r>", c, FO_VALIDATE);
    unlink(path.c_str());
    EXPECT_EQ("<!DOCTYPE r SYSTEM \"" + name + "\" [\n<!ENTITY in \"x\">\r\n]>", partText(c, "D_DOCTYPE", 0));
    EXPECT_EQ(join({"1|DOCUMENT_TYPE|10|0|-|-|-|-", "2|ELEMENT|1|0|r||-|-",
                    "3|ENTITY_REFERENCE|5|2|ext|-|/r|from the file"}),
              join(got));
}

TEST_F(ShredTest, TextIsStoredInUtf8WhateverTheDocumentEncoding)
{
    struct Case {
        const char* what;
        std::string doc;
        const char* encoding;
    };
    std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"\xe9\">caf\xe9</r>";
    // The same document in UTF-16 with a byte order mark.
    std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><r a=\"\xc3\xa9\">caf\xc3\xa9</r>";
    std::string utf16 = "\xff\xfe";
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(utf8[i]);
        if (ch == 0xc3) {
            utf16 += static_cast<char>(0xe9);
            ++i;
        } else {
            utf16 += static_cast<char>(ch);
        }
        utf16 += '\0';
    }
    const Case cases[] = {{"ISO-8859-1", latin1, "ISO-8859-1"}, {"UTF-16", utf16, "UTF-16"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Control c("DOCS");
        std::vector<std::string> got = shred(k.doc, c);
        EXPECT_EQ(join({"1|XML_DECL|0|0|-|-|-|-", "2|ELEMENT|1|0|r||-|-", "3|ATTRIBUTE|2|2|a||/r/a|\xc3\xa9",
                        "4|TEXT|3|2|r||/r|caf\xc3\xa9"}),
                  join(got));
        EXPECT_EQ(k.encoding, property(c, "xmlencoding"));
        EXPECT_EQ(std::string("<?xml version=\"1.0\" encoding=\"") + k.encoding + "\"?>", partText(c, "D_META", 0));
        // The raw text is kept byte for byte.
        EXPECT_EQ(k.doc, blob(c, "D_XMLDOC"));
    }
}

TEST_F(ShredTest, StandaloneAndDetectedEncodingInTheRebuiltDeclaration)
{
    Control c("DOCS");
    shred("<?xml version=\"1.1\" standalone=\"yes\"?><r/>", c);
    EXPECT_EQ("<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"yes\"?>", partText(c, "D_META", 0));
    EXPECT_EQ("1.1", property(c, "xmlversion"));
}

TEST_F(ShredTest, ALatinSessionStoresTextInItsOwnCharacterSet)
{
    // The session's character set is fixed when the session starts.
    VdbStopVorn(0);
    UpdateRCS("VDBS_CHARS", "LA2");
    ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    Control c("DOCS");
    // U+0159 (r with caron) is 0xF8 in ISO-8859-2.
    std::vector<std::string> got = shred("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>\xc5\x99</r>", c);
    UpdateRCS("VDBS_CHARS", nullptr);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ("3|TEXT|3|2|r||/r|\xf8", got[2]);
    // The database is UTF-8: the document's own encoding is what it declares.
    EXPECT_EQ("UTF-8", property(c, "xmlencoding"));
}

} // namespace
} // namespace vxt
