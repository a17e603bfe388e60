// Output encoding with ICU, XML escapes, and the UTF-16 transcoder.
#include "fixture.h"

namespace vxt {
namespace {

class EncodingTest : public FilterTest {};

TEST_F(EncodingTest, ConversionOnlyWhenSessionDatabaseAndTargetDiffer)
{
    struct Case {
        const char* session;
        const char* base;
        const char* target;
        const char* in;
        const char* out;
        bool converted;
    } cases[] = {
        {"UTF-8", "UTF-8", "UTF-8", "\\xc3\\xa9", "1\\t\\xc3\\xa9", false},
        {"UTF-8", "UTF-8", "utf8", "\\xc3\\xa9", "1\\t\\xc3\\xa9", false},
        {"Cp1252", "Cp1252", "ISO-8859-1", "\\xe9", "1\\t\\xe9", false},
        {"Cp1252", "UTF-8", "windows-1252", "\\xe9", "1\\t\\xe9", false},
        {"Cp1252", "UTF-8", "cp1252", "\\xe9", "1\\t\\xe9", false},
        {"UTF-8", "Cp1252", "ISO-8859-1", "caf\\xc3\\xa9", "1\\tcaf\\xe9", true},
        {"Cp1252", "UTF-8", "UTF-8", "\\x80", "1\\t\\xe2\\x82\\xac", true},
        // More than three bytes per input byte: the size ICU asks for.
        {"UTF-8", "Cp1252", "UTF-16", "a", "1\\t\\xff\\xfea\\x00", true},
        // A name ICU does not know: the data as it came.
        {"UTF-8", "Cp1252", "NO-SUCH-ENC", "caf\\xc3\\xa9", "0\\tcaf\\xc3\\xa9", true},
    };
    UpdateRCS("XML_LOG", "5");
    std::string logPath = logFile(logDir, "vornxmlprobe.log");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.session) + " " + c.base + " -> " + c.target);
        unlink(logPath.c_str());
        Call r = probe(nullptr, std::string("log\tvornxmlprobe.log\nsetenc\t") + c.session + "\t" + c.base +
                                    "\tUTF-8\nencode\t" + c.target + "\t" + c.in + "\n");
        std::vector<std::string> l = r.lines();
        ASSERT_EQ(3u, l.size()) << r.output;
        // The probe escapes its output the way the cases are written.
        std::string expected = c.out;
        for (size_t p; (p = expected.find("\\t")) != std::string::npos;)
            expected.replace(p, 2, "\t");
        EXPECT_EQ(expected, l[2]);
        std::string line = std::string("Converting from ") + c.session + " to " + c.target + "\n";
        EXPECT_EQ(c.converted, readFile(logPath).find(line) != std::string::npos);
    }
}

TEST_F(EncodingTest, InPlaceConversionNeedsADocumentEncoding)
{
    Call r = probe(nullptr, "setenc\tUTF-8\tCp1252\t\nencodebuf\tcaf\\xc3\\xa9\n"
                            "setenc\tUTF-8\tCp1252\tISO-8859-1\nencodebuf\tcaf\\xc3\\xa9\n");
    EXPECT_EQ("\n0\tcaf\\xc3\\xa9\n\n1\tcaf\\xe9\n", r.output);
}

TEST_F(EncodingTest, ReEncodeReplacesTheBlockOrLeavesIt)
{
    Call r = probe(nullptr, "reencode\tISO-8859-1\tUTF-8\tcaf\\xe9\nreencode\tISO-8859-1\tNO-SUCH-ENC\tcaf\\xe9\n"
                            "reencode\tUTF-8\tUTF-32\t\\xe4\\xb8\\xad\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(3u, l.size());
    EXPECT_EQ("1\tcaf\\xc3\\xa9", l[0]);
    EXPECT_EQ("0\tcaf\\xe9", l[1]);
    EXPECT_EQ("1\t\\xff\\xfe\\x00\\x00-N\\x00\\x00", l[2]); // BOM and U+4E2D: 8 bytes from 3
}

TEST_F(EncodingTest, EscapesMarkupAndTheListedCodePoints)
{
    struct Case {
        const char* docEncoding;
        const char* in;
        const char* out;
    } cases[] = {
        {"UTF-8", "x<y & \\\"z\\\"", "x&lt;y &amp; &quot;z&quot;"},
        {"UTF-8", "it's >", "it&apos;s &gt;"},
        {"UTF-8", "a\\xe2\\x80\\x93b", "a&#x2013;b"},
        {"utf8", "\\xe2\\x80\\xa6 \\xef\\xbc\\x86 \\xef\\xb9\\xa0 \\xe2\\x80\\x90", "&#x2026; &#xFF06; &#xFE60; &#x2010;"},
        {"UTF-8", "caf\\xc3\\xa9 \\xf0\\x9d\\x84\\x9e", "caf\\xc3\\xa9 \\xf0\\x9d\\x84\\x9e"},
        {"UTF-8", "sub\\x1a", "sub&#x3F;"},
        {"UTF-8", "a<b <VORNHLBEGIN/>h&t<VORNHLEND/> c>d", "a&lt;b <VORNHLBEGIN/>h&amp;t<VORNHLEND/> c&gt;d"},
        {"UTF-8", "a< <VORNHL unterminated <&", "a&lt; <VORNHL unterminated <&"},
        // Broken sequences pass byte by byte.
        {"UTF-8", "end\\xe2", "end\\xe2"},
        {"UTF-8", "\\xe2\\x80<", "\\xe2\\x80&lt;"},
        {"UTF-8", "\\xc0\\xaf", "\\xc0\\xaf"},
        // Not UTF-8: only the markup characters change.
        {"ISO-8859-1", "a\\xe2\\x80\\x93<\\x1a", "a\\xe2\\x80\\x93&lt;&#x3F;"},
        {"", "\\xe2\\x80\\x93&", "\\xe2\\x80\\x93&amp;"},
    };
    for (const Case& c : cases) {
        Call r = probe(nullptr, std::string("setenc\tUTF-8\tUTF-8\t") + c.docEncoding + "\nescape\t" + c.in + "\n");
        EXPECT_EQ(std::string("\n") + c.out + "\n", r.output) << c.in;
    }
}

TEST_F(EncodingTest, TranscoderFromUtf16AndFromUtf8)
{
    struct Case {
        const char* command;
        const char* encoding;
        const char* in;
        const char* out;
    } cases[] = {
        {"transcode16", "UTF-8", "caf\\xc3\\xa9 \\xf0\\x9d\\x84\\x9e", "1\tcaf\\xc3\\xa9 \\xf0\\x9d\\x84\\x9e\tutf8"},
        {"transcode16", "ISO-8859-1", "caf\\xc3\\xa9", "1\tcaf\\xe9\tother"},
        {"transcode16", "UTF-32", "\\xe4\\xb8\\xad", "1\t\\xff\\xfe\\x00\\x00-N\\x00\\x00\tother"},
        {"transcode16", "utf 8", "x", "1\tx\tutf8"},
        {"transcode16", "NO-SUCH-ENC", "x", "0\tprevious\tother"},
        {"transcode16", "UTF-8", "", "1\t\tutf8"},
        {"transcode", "ISO-8859-1", "caf\\xc3\\xa9", "1\tcaf\\xe9\tother"},
        {"transcode", "GB18030", "\\xe4\\xb8\\xad", "1\t\\xd6\\xd0\tother"},
        {"transcode", "NO-SUCH-ENC", "x", "0\tprevious\tother"},
    };
    for (const Case& c : cases) {
        Call r = probe(nullptr, std::string(c.command) + "\t" + c.encoding + "\t" + c.in + "\n");
        EXPECT_EQ(std::string(c.out) + "\n", r.output) << c.command << " " << c.encoding << " " << c.in;
    }
}

} // namespace
} // namespace vxt
