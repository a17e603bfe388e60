// Text values with highlighted hits and the namespace declarations of
// fragments, on records stored in a real kernel and read by a request object
// of the filter module built into this test.
#include <string.h>

#include <string>
#include <vector>

#include "VXProcessorMain.h"
#include "XPathException.h"
#include "query.h"
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
    return out;
}

std::string unhex(const std::string& h)
{
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(strtol(h.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

class FragmentTest : public qt::StoreTest {
protected:
    void SetUp() override
    {
        qt::StoreTest::SetUp();
        setenv("VDBS_FILTERS", QUERY_PROBE, 1);
    }

    // The probe's answers to a script, run on record rid loaded within set
    // (0: loaded plainly by rid).
    std::vector<std::string> probe(int rid, int set, const std::string& script)
    {
        VdbHandle control = nullptr;
        VdbCreateRecordControl(&control);
        VdbSetBase(control, base, 2);
        if (set > 0) {
            int r = 0;
            char b[64];
            for (int pos = 1; VdbGetRecordInSearchRis(control, set, pos, &r, b) & 1; ++pos)
                if (r == rid)
                    break;
        } else if (rid > 0) {
            VdbGetRecordInBase(control, rid);
        }
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        snprintf(fd.filter_name, sizeof fd.filter_name, "vornxmlqueryprobe");
        std::string in = script;
        fd.buffer = &in[0];
        fd.buffer_length = static_cast<int>(in.size());
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        EXPECT_EQ(1, VdbExport(&fd)) << fd.errortext;
        std::vector<std::string> lines;
        if (fd.buffer && fd.buffer != in.data()) {
            std::string out(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
            free(fd.buffer);
            size_t b = 0;
            for (size_t e; (e = out.find('\n', b)) != std::string::npos; b = e + 1)
                lines.push_back(out.substr(b, e - b));
        }
        VdbDeleteRecordControl(control);
        return lines;
    }

    std::string text(int rid, int set, int part, bool highlight)
    {
        auto l = probe(rid, set, "text\t" + std::to_string(part) + "\t" + (highlight ? "1" : "0") + "\n");
        if (l.size() != 1 || l[0].compare(0, 2, "1 ") != 0)
            return "(failed: " + (l.empty() ? std::string() : l[0]) + ")";
        return unhex(l[0].substr(2));
    }

    std::string namespaces(int rid, int part)
    {
        auto l = probe(rid, 0, "ns\t" + std::to_string(part) + "\n");
        return l.size() == 1 ? unhex(l[0]) : "(failed)";
    }

    // The result set of a query, kept in the session.
    int query(const char* xpath)
    {
        VXProcessorMain p(nullptr);
        p.Begin();
        SearchSet* s = nullptr;
        try {
            s = p.Query(xpath);
        } catch (XPathException* e) {
            char buf[256];
            e->GetErrorMessage(buf, sizeof buf);
            delete e;
            ADD_FAILURE() << xpath << ": " << buf;
        }
        p.End();
        return s ? s->GetNumber() : 0;
    }
};

TEST_F(FragmentTest, HighlightLengthInStoredBytes)
{
    struct Case {
        const char* text;
        int offset, chars, bytes;
    } cases[] = {
        {"hello world", 6, 5, 5},
        {"exam-\n   ple", 0, 7, 12},  // hyphenated at a line break
        {"exam-\r\n ple and more", 0, 7, 11},
        {"exam- ple", 0, 7, 7},  // a hyphen without a line break stays
        {"x-\ny", 0, 1, 1},      // the hyphen lies outside the hit
        {"Gr\xc3\xbc\xc3\x9f" "e", 0, 4, 6},  // characters, not bytes
        {"\xc3\xa9t\xc3\xa9", 2, 2, 3},
        {"short", 3, 10, 2},  // never beyond the text
        {"short", 9, 1, 0},
    };
    std::string script;
    for (const Case& k : cases)
        script += "hl\t" + hex(k.text) + "\t" + std::to_string(k.offset) + "\t" + std::to_string(k.chars) + "\n";
    auto lines = probe(0, 0, script);
    ASSERT_EQ(sizeof cases / sizeof cases[0], lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(std::to_string(cases[i].bytes), lines[i]) << cases[i].text;
}

TEST_F(FragmentTest, TextValuesWithAndWithoutHighlighting)
{
    qt::Doc d;
    int r = d.elem(0, "r");
    int a = d.elem(r, "a");
    int t1 = d.text(a, "hello world");
    int b = d.elem(r, "b");
    int t2 = d.text(b, "world & world");
    int c = d.elem(r, "c");
    int t3 = d.text(c, "line\r\nbreak");
    int rid = store(d);

    const std::string begin = VORNXML_HIGHLIGHT_BEGIN, end = VORNXML_HIGHLIGHT_END;
    EXPECT_EQ(std::string("<VORNHLBEGIN xmlns=\"") + "urn:vorn:vornxml:3.0" + "\"/>", begin);
    int set = query("//*[contains(.,'world')]");
    ASSERT_GE(set, 1);
    EXPECT_EQ("hello " + begin + "world" + end, text(rid, set, t1, true));
    EXPECT_EQ(begin + "world" + end + " & " + begin + "world" + end, text(rid, set, t2, true));
    EXPECT_EQ("hello world", text(rid, set, t1, false));
    // Carriage returns come back as line feeds.
    EXPECT_EQ("line\n\nbreak", text(rid, set, t3, true));
    // An unknown field, and a field that is not a text field.
    EXPECT_EQ((std::vector<std::string>{"0", "0"}),
              probe(rid, set, "field\tNO_SUCH_FIELD\t" + std::to_string(t1) + "\nfield\tN_NAME\t1\n"));
    // Outside a search there is nothing to mark.
    EXPECT_EQ("hello world", text(rid, 0, t1, true));
}

TEST_F(FragmentTest, NamespaceDeclarationsAFragmentNeeds)
{
    // <r xmlns:a="URI-a" xmlns:b="URI-b" xmlns:c="URI-c">
    //   <s xmlns:p="sibling"/>
    //   <a:item xml:lang="en"><b:note/><c:x/><p:y/><q:z/></a:item>
    //   <a:box xmlns:a="inner"><a:in/></a:box>
    //   <dflt xmlns="urn:d"><in2/><un xmlns=""/></dflt>
    // </r>
    qt::Doc d;
    int r = d.elem(0, "r");
    d.attr(r, "a", "URI-a", "xmlns");
    d.attr(r, "b", "URI-b", "xmlns");
    d.attr(r, "c", "URI-c", "xmlns");
    int s = d.elem(r, "s");
    d.attr(s, "p", "sibling", "xmlns");
    int item = d.elem(r, "item", "a");
    d.attr(item, "lang", "en", "xml");
    int note = d.elem(item, "note", "b");
    d.elem(item, "x", "c");
    d.elem(item, "y", "p");
    d.elem(item, "z", "q");
    int box = d.elem(r, "box", "a");
    d.attr(box, "a", "inner", "xmlns");
    d.elem(box, "in", "a");
    int dflt = d.elem(r, "dflt");  // <dflt xmlns="urn:d"><in2/><un xmlns=""/></dflt>
    d.attr(dflt, "xmlns", "urn:d");
    int in2 = d.elem(dflt, "in2");
    int un = d.elem(dflt, "un");
    d.attr(un, "xmlns", "");
    int rid = store(d);

    const std::string ph = VORNXML_UNDECLARED_PREFIX_URI;
    // The first prefix heads the chain, later ones follow it newest first; a
    // declaration on a sibling is not in scope; "xml" needs none.
    EXPECT_EQ(" xmlns:a=\"URI-a\" xmlns:q=\"" + ph + "1\" xmlns:p=\"" + ph + "2\" xmlns:c=\"URI-c\" xmlns:b=\"URI-b\"",
              namespaces(rid, item));
    EXPECT_EQ(" xmlns:b=\"URI-b\"", namespaces(rid, note));
    // Declared inside the fragment: taken from there.
    EXPECT_EQ(" xmlns:a=\"inner\"", namespaces(rid, box));
    EXPECT_EQ(" xmlns:p=\"sibling\"", namespaces(rid, s));
    // The default namespace: from an ancestor, or undeclared again inside.
    EXPECT_EQ(" xmlns=\"urn:d\"", namespaces(rid, in2));
    EXPECT_EQ(" xmlns=\"urn:d\"", namespaces(rid, dflt));
    EXPECT_EQ("", namespaces(rid, un));
    // A declaration below the root does not bind the root's own uses of the
    // prefix: r's children use a from r, box redeclares it for itself.
    std::string all = namespaces(rid, r);
    EXPECT_NE(std::string::npos, all.find(" xmlns:a=\"URI-a\"")) << all;
    EXPECT_EQ(std::string::npos, all.find("inner")) << all;
    EXPECT_EQ(std::string::npos, all.find(" xmlns=")) << all;  // r is in no namespace
}

}  // namespace
