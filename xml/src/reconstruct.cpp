// Reconstruction: the node parts of the current record back into XML text,
// delivered to memory, an open FILE*, a named file or a transfer stream.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include "VORNxml.h"
#include "VfxPlatform.h"
#include "VfxStrings.h"
#include "filexmit.h"
#include "reconstruct.h"

using vxexport::CDocText;

// ---------------------------------------------------------------------------
// Shared pieces (reconstruct.h)

namespace vxexport {

void CDocText::add(const char* s)
{
    if (s)
        add(s, static_cast<int>(strlen(s)));
}

void CDocText::grow(size_t n)
{
    // Lengths are ints at the interfaces the text goes to.
    const size_t kMax = 0x7ffffff0;
    if (n > kMax - m_n)
        throw std::bad_alloc();
    size_t cap = m_cap < 4096 ? 4096 : m_cap;
    while (cap - m_n <= n)
        cap = cap > kMax / 2 ? kMax + 1 : cap * 2;
    char* p = static_cast<char*>(realloc(m_p, cap));
    if (!p)
        throw std::bad_alloc();
    m_p = p;
    m_cap = cap;
}

void CDocText::presize(size_t n)
{
    if (m_p || n == 0)
        return;
    size_t cap = (n + 16) & ~size_t(15);
    m_p = static_cast<char*>(malloc(cap));
    if (!m_p)
        throw std::bad_alloc();
    m_cap = cap;
}

char* CDocText::take(int* pnLength)
{
    if (m_cap - m_n < 1 || !m_p)
        grow(1);
    m_p[m_n] = 0;
    char* p = m_p;
    // A block that grew by doubling gives its unused half back.
    if (m_cap - m_n > 65536)
        if (char* q = static_cast<char*>(realloc(m_p, m_n + 1)))
            p = q;
    if (pnLength)
        *pnLength = static_cast<int>(m_n);
    m_p = nullptr;
    m_n = m_cap = 0;
    return p;
}

void CDocText::reset()
{
    m_n = 0;
    if (m_cap > 256 * 1024) {
        free(m_p);
        m_p = nullptr;
        m_cap = 0;
    }
}

namespace {

// Code points written as character references in UTF-8 text (as the text
// escape of the encoding code does).
bool isReferencedCodePoint(unsigned int cp)
{
    switch (cp) {
    case 0x2010:
    case 0x2012:
    case 0x2013:
    case 0x2014:
    case 0x2015:
    case 0x2026:
    case 0xFE60:
    case 0xFF06: return true;
    default: return false;
    }
}

// Length of a well-formed UTF-8 sequence at p (lead byte >= 0x80) and its
// code point; 0 when it is not one.
int utf8Sequence(const unsigned char* p, int n, unsigned int* cp)
{
    unsigned char c = p[0];
    int extra;
    unsigned int v;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (extra >= n)
        return 0;
    for (int k = 1; k <= extra; ++k) {
        if (p[k] < 0x80 || p[k] > 0xBF)
            return 0;
        v = (v << 6) | (p[k] & 0x3F);
    }
    *cp = v;
    return extra + 1;
}

} // namespace

namespace {

// Bytes the text escape stops at, as bits: always (kStop), in UTF-8 text
// as the lead byte of a character that may be written as a reference
// (kUtf8Lead), and when carriage returns become line feeds (kReturn).
enum : unsigned char { kStop = 1, kUtf8Lead = 2, kReturn = 4 };
struct CEscapeTable {
    unsigned char text[256];
    unsigned char attr[256];
    CEscapeTable() : text(), attr()
    {
        for (unsigned char c : {'<', '>', '&', '"', '\'', '\x1A'})
            text[c] = kStop;
        text[0xE2] = text[0xEF] = kUtf8Lead;
        text['\r'] = kReturn;
        for (unsigned char c : {'&', '<', '"', '\t', '\n', '\r', '\x1A'})
            attr[c] = 1;
    }
};
const CEscapeTable kEscapes;

} // namespace

// Index of the first byte from i on that the text escape stops at (n when
// there is none).
inline int nextStop(const unsigned char* p, int i, int n, const unsigned char* table, unsigned char stops)
{
#if defined(__SSE2__)
    // Sixteen bytes at a time while none of them is one of the few bytes the
    // escape can stop at.
    const __m128i always[] = {_mm_set1_epi8('<'), _mm_set1_epi8('>'), _mm_set1_epi8('&'),
                              _mm_set1_epi8('"'), _mm_set1_epi8('\''), _mm_set1_epi8(0x1A)};
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i e2 = _mm_set1_epi8(static_cast<char>(0xE2)), ef = _mm_set1_epi8(static_cast<char>(0xEF));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i m = _mm_cmpeq_epi8(v, always[0]);
        for (int k = 1; k < 6; ++k)
            m = _mm_or_si128(m, _mm_cmpeq_epi8(v, always[k]));
        if (stops & kReturn)
            m = _mm_or_si128(m, _mm_cmpeq_epi8(v, cr));
        if (stops & kUtf8Lead)
            m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(v, e2), _mm_cmpeq_epi8(v, ef)));
        if (_mm_movemask_epi8(m))
            break;
    }
#endif
    while (i < n && !(table[p[i]] & stops))
        ++i;
    return i;
}

void escapeText(const char* text, int n, bool bUtf8, CDocText& out, bool bLineFeeds)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* table = kEscapes.text;
    const unsigned char stops = static_cast<unsigned char>(kStop | (bUtf8 ? kUtf8Lead : 0) | (bLineFeeds ? kReturn : 0));
    int run = 0; // start of the bytes copied as they are
    int i = 0;
    while (i < n) {
        i = nextStop(p, i, n, table, stops);
        if (i >= n)
            break;
        unsigned char c = p[i];
        const char* rep = nullptr;
        int repLen = 0;
        int skip = 1;
        char ref[16];
        switch (c) {
        case '<': rep = "&lt;"; repLen = 4; break;
        case '>': rep = "&gt;"; repLen = 4; break;
        case '&': rep = "&amp;"; repLen = 5; break;
        case '"': rep = "&quot;"; repLen = 6; break;
        case '\'': rep = "&apos;"; repLen = 6; break;
        case 0x1A: rep = "&#x3F;"; repLen = 6; break;
        case '\r': rep = "\n"; repLen = 1; break;
        default: {
            // 0xE2 or 0xEF in UTF-8 text: the dash and ellipsis characters
            // (and their compatibility forms) become references.
            unsigned int cp = 0;
            int len = utf8Sequence(p + i, n - i, &cp);
            if (len > 0 && isReferencedCodePoint(cp)) {
                repLen = snprintf(ref, sizeof ref, "&#x%04X;", cp);
                rep = ref;
                skip = len;
            }
            break;
        }
        }
        if (!rep) {
            ++i;
            continue;
        }
        out.add(text + run, i - run);
        out.add(rep, repLen);
        i += skip;
        run = i;
    }
    out.add(text + run, n - run);
}

void escapeAttribute(const char* text, int n, CDocText& out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* table = kEscapes.attr;
    int run = 0;
    for (int i = 0; i < n; ++i) {
        if (!table[p[i]])
            continue;
        const char* rep;
        int repLen;
        switch (text[i]) {
        case '&': rep = "&amp;"; repLen = 5; break;
        case '<': rep = "&lt;"; repLen = 4; break;
        case '"': rep = "&quot;"; repLen = 6; break;
        case '\t': rep = "&#x9;"; repLen = 5; break;
        case '\n': rep = "&#xA;"; repLen = 5; break;
        case '\r': rep = "&#xD;"; repLen = 5; break;
        default: rep = "&#x3F;"; repLen = 6; break; // 0x1A
        }
        out.add(text + run, i - run);
        out.add(rep, repLen);
        run = i + 1;
    }
    out.add(text + run, n - run);
}

} // namespace vxexport

// ---------------------------------------------------------------------------

namespace {

const int kFlushSize = 8192;
const char kModule[] = "processRecord";

enum ENodeKind {
    NK_OTHER,
    NK_ELEMENT,
    NK_ATTRIBUTE,
    NK_TEXT,
    NK_COMMENT,
    NK_PI,
    NK_DOCTYPE,
    NK_XMLDECL,
    NK_ENTITYREF,
    NK_CDATA
};

ENodeKind kindOf(const char* type, int n)
{
    static const struct {
        const char* name;
        int len;
        ENodeKind kind;
    } kKinds[] = {{"ELEMENT", 7, NK_ELEMENT},
                  {"ATTRIBUTE", 9, NK_ATTRIBUTE},
                  {"TEXT", 4, NK_TEXT},
                  {"COMMENT", 7, NK_COMMENT},
                  {"PROCESSING_INSTRUCTION", 22, NK_PI},
                  {"DOCUMENT_TYPE", 13, NK_DOCTYPE},
                  {"XML_DECL", 8, NK_XMLDECL},
                  {"ENTITY_REFERENCE", 16, NK_ENTITYREF},
                  {"CDATA_SECTION", 13, NK_CDATA}};
    // As stored: the name exactly, compared in words of known length.
    switch (n) {
    case 4: if (memcmp(type, "TEXT", 4) == 0) return NK_TEXT; break;
    case 7:
        if (memcmp(type, "ELEMENT", 7) == 0) return NK_ELEMENT;
        if (memcmp(type, "COMMENT", 7) == 0) return NK_COMMENT;
        break;
    case 8: if (memcmp(type, "XML_DECL", 8) == 0) return NK_XMLDECL; break;
    case 9: if (memcmp(type, "ATTRIBUTE", 9) == 0) return NK_ATTRIBUTE; break;
    case 13:
        if (memcmp(type, "CDATA_SECTION", 13) == 0) return NK_CDATA;
        if (memcmp(type, "DOCUMENT_TYPE", 13) == 0) return NK_DOCTYPE;
        break;
    case 16: if (memcmp(type, "ENTITY_REFERENCE", 16) == 0) return NK_ENTITYREF; break;
    case 22: if (memcmp(type, "PROCESSING_INSTRUCTION", 22) == 0) return NK_PI; break;
    default: break;
    }
    // Compared as C strings, as the type was always read.
    if (const void* z = memchr(type, 0, static_cast<size_t>(n)))
        n = static_cast<int>(static_cast<const char*>(z) - type);
    for (const auto& k : kKinds)
        if (n == k.len && strncasecmp(type, k.name, static_cast<size_t>(n)) == 0)
            return k.kind;
    return NK_OTHER;
}

// True when text read from the database must be converted for output into
// target: the rule of the output conversion (encodeOutput), decided once per
// reconstruction instead of once per value.
// The name as a caller spells UTF-8 most often (exact bytes), before the
// comparison without case: every fragment of a request asks again.
bool namesUtf8(const char* name, const char* dashed, const char* plain)
{
    if (!name)
        name = "";
    return strcmp(name, dashed) == 0 || strcmp(name, plain) == 0 || VfxStrNoCaseEquals(name, dashed) ||
           VfxStrNoCaseEquals(name, plain);
}

bool conversionNeeded(const CVORNxml& x, const char* target)
{
    const char* session = x.getVornEncoding();
    bool sessionUtf = session[0] == 'U' || session[0] == 'u';
    bool baseUtf = x.getBaseEncoding()[0] == 'U' || x.getBaseEncoding()[0] == 'u';
    if (sessionUtf && namesUtf8(target, "UTF-8", "UTF8"))
        return false;
    if (!sessionUtf && !baseUtf)
        return false;
    if (VfxStrNoCaseEquals(target, session))
        return false;
    bool cp1252 = VfxStrNoCaseEquals(session, "Cp1252") || VfxStrNoCaseEquals(session, "windows-1252");
    bool target1252 = VfxStrNoCaseEquals(target, "Cp1252") || VfxStrNoCaseEquals(target, "windows-1252");
    return !(cp1252 && target1252);
}

// Reads what reconstruction needs of its nodes, a run of nodes per kernel
// call: type, name, prefix, parent, value and id, as stored. The values are
// views into the kernel's record, valid until the next kernel call (any
// call made between two reads must be followed by invalidate()); fields the
// design lacks read as missing.
class CNodeReader {
public:
    enum { F_TYPE, F_NAME, F_NSPACE, F_PARENT, F_VALUE, F_ID, F_COUNT };

    // known: the field numbers as an earlier reader of the same request
    // found them (-1: none), filled here when still 0.
    // firstRun: the nodes the first read takes (a fragment is often a few).
    // values, lengths: arrays an earlier reader of the request grew, reused
    // (null: the reader's own).
    CNodeReader(VdbHandle rc, int nLast, int* known = nullptr, int firstRun = 8,
                std::vector<const char*>* values = nullptr, std::vector<int>* lengths = nullptr)
        : m_rc(rc), m_nLast(nLast), m_values(values && lengths ? *values : m_ownValues),
          m_lengths(values && lengths ? *lengths : m_ownLengths), m_nNextRun(firstRun > 0 ? firstRun : 1)
    {
        static const char* const kNames[F_COUNT] = {"N_TYPE", "N_NAME", "N_NSPACE", "N_PARENT", "N_TVALUE", "N_ID"};
        for (int k = 0; k < F_COUNT; ++k) {
            int num = known ? known[k] : 0;
            if (num == 0) {
                CFieldInfo* f = CFieldInfo::getFieldInfo(kNames[k], rc);
                num = f && f->getNumber() > 0 ? f->getNumber() : -1;
                if (known)
                    known[k] = num;
            }
            m_slot[k] = -1;
            if (num > 0) {
                m_slot[k] = m_nAsked;
                m_fields[m_nAsked++] = num;
            }
        }
    }

    // Makes node `part` the current node.
    void read(int part)
    {
        if (!m_bStale && part >= m_nFirst && part < m_nFirst + m_nRun) {
            m_nAt = static_cast<size_t>(part - m_nFirst) * static_cast<size_t>(m_nAsked);
            return;
        }
        // Runs grow while the reader walks on, so a short subtree reads
        // little beyond its end.
        int run = m_nNextRun;
        if (m_nNextRun < kMaxRun)
            m_nNextRun *= 2;
        if (run > m_nLast - part + 1)
            run = m_nLast - part + 1;
        if (run < 1)
            run = 1;
        m_nFirst = part;
        m_nRun = run;
        m_nAt = 0;
        m_bStale = false;
        // The arrays grow with the runs: a fragment of a few nodes, set up
        // once per fragment, fills no more than it reads.
        const size_t need = static_cast<size_t>(run) * static_cast<size_t>(m_nAsked > 0 ? m_nAsked : 1);
        if (m_values.size() < need) {
            m_values.resize(need);
            m_lengths.resize(need);
        }
        if (m_nAsked > 0 &&
            (VdbGetNodeValues(m_rc, part, run, m_nAsked, m_fields, m_values.data(), m_lengths.data()) & 1))
            return;
        // Every value reads as missing when the kernel refuses.
        for (size_t i = 0; i < m_values.size(); ++i) {
            m_values[i] = nullptr;
            m_lengths[i] = -1;
        }
    }
    // Another kernel call was made: the views read so far are gone.
    void invalidate() { m_bStale = true; }

    // Field k of the current node: its bytes ("" when missing).
    const char* text(int k) const
    {
        int s = m_slot[k];
        const char* v = s >= 0 ? m_values[m_nAt + static_cast<size_t>(s)] : nullptr;
        return v ? v : "";
    }
    int length(int k) const
    {
        int s = m_slot[k];
        int n = s >= 0 ? m_lengths[m_nAt + static_cast<size_t>(s)] : 0;
        return n > 0 ? n : 0;
    }
    // Field k as a number, read as atol reads text; 0 when missing.
    long number(int k) const
    {
        const char* p = text(k);
        const char* e = p + length(k);
        while (p < e && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
            ++p;
        bool neg = false;
        if (p < e && (*p == '-' || *p == '+'))
            neg = *p++ == '-';
        long v = 0;
        for (; p < e && *p >= '0' && *p <= '9'; ++p)
            v = v * 10 + (*p - '0');
        return neg ? -v : v;
    }
    // The type of another node; the current node's views are gone after it.
    bool typeOf(int part, const char** pp, int* pn)
    {
        *pp = "";
        *pn = 0;
        if (m_slot[F_TYPE] < 0)
            return false;
        // A node of the run read already: the views stay.
        if (!m_bStale && part >= m_nFirst && part < m_nFirst + m_nRun) {
            const size_t at = static_cast<size_t>(part - m_nFirst) * static_cast<size_t>(m_nAsked) +
                              static_cast<size_t>(m_slot[F_TYPE]);
            if (!m_values[at] || m_lengths[at] < 0)
                return false;
            *pp = m_values[at];
            *pn = m_lengths[at];
            return true;
        }
        m_bStale = true;
        const char* v = nullptr;
        int n = -1;
        int field = m_fields[m_slot[F_TYPE]];
        if (!(VdbGetNodeValues(m_rc, part, 1, 1, &field, &v, &n) & 1) || !v || n < 0)
            return false;
        *pp = v;
        *pn = n;
        return true;
    }
    // The first value of a text field of a part, copied, carriage returns
    // made line feeds as text values are read for output.
    void partText(int field, int part, CStringBuffer& out)
    {
        out.clear();
        m_bStale = true;
        const char* v = nullptr;
        int n = -1;
        if (field < 1 || !(VdbGetNodeValues(m_rc, part, 1, 1, &field, &v, &n) & 1) || !v || n <= 0)
            return;
        out.set(v, n);
        if (memchr(v, '\r', static_cast<size_t>(n)))
            out.convertLinebreaks();
    }

private:
    enum { kMaxRun = 256 };
    VdbHandle m_rc;
    int m_nLast;
    int m_nAsked = 0;
    int m_slot[F_COUNT];
    int m_fields[F_COUNT];
    std::vector<const char*> m_ownValues;
    std::vector<int> m_ownLengths;
    std::vector<const char*>& m_values;
    std::vector<int>& m_lengths;
    int m_nFirst = 0;
    int m_nRun = 0;
    int m_nNextRun;
    size_t m_nAt = 0;
    bool m_bStale = true;
};

// Converts values from the session's encoding into the document's on their
// way into the text. A character the document's encoding lacks (it came
// from a character reference) becomes a character reference again where
// the syntax allows one: in text and attribute values, and in CDATA
// sections by leaving the section for it; in names, comments and
// processing instructions, where nothing can stand for it, a "?".
class COutputCoder {
public:
    enum EMode { SUBSTITUTE, REFERENCE, CDATA };

    COutputCoder(CVORNxml& x, const char* target)
        : m_x(x), m_target(target), m_bActive(conversionNeeded(x, target)), m_from(nullptr), m_to(nullptr),
          m_bOpened(false), m_mode(SUBSTITUTE)
    {
    }
    ~COutputCoder()
    {
        if (m_from)
            ucnv_close(m_from);
        if (m_to)
            ucnv_close(m_to);
    }
    COutputCoder(const COutputCoder&) = delete;
    COutputCoder& operator=(const COutputCoder&) = delete;

    bool active() const { return m_bActive; }

    void append(const char* p, int n, EMode mode, CDocText& out)
    {
        if (!m_bActive || n <= 0) {
            out.add(p, n);
            return;
        }
        if (!open()) {
            // As the plain output conversion does: converted, or as stored.
            CStringBuffer converted;
            m_x.encodeOutput(m_target, p, n, converted);
            out.add(converted);
            return;
        }
        UErrorCode err = U_ZERO_ERROR;
        ucnv_resetToUnicode(m_from);
        int32_t len = ucnv_toUChars(m_from, m_units.data(), static_cast<int32_t>(m_units.size()), p, n, &err);
        if (err == U_BUFFER_OVERFLOW_ERROR || err == U_STRING_NOT_TERMINATED_WARNING) {
            m_units.resize(static_cast<size_t>(len) + 1);
            err = U_ZERO_ERROR;
            ucnv_resetToUnicode(m_from);
            len = ucnv_toUChars(m_from, m_units.data(), static_cast<int32_t>(m_units.size()), p, n, &err);
        }
        if (U_FAILURE(err)) {
            out.add(p, n);
            return;
        }
        m_mode = mode;
        for (int attempt = 0; attempt < 2; ++attempt) {
            err = U_ZERO_ERROR;
            ucnv_resetFromUnicode(m_to);
            int32_t got = ucnv_fromUChars(m_to, m_bytes.data(), static_cast<int32_t>(m_bytes.size()), m_units.data(),
                                          len, &err);
            if (err == U_BUFFER_OVERFLOW_ERROR || err == U_STRING_NOT_TERMINATED_WARNING) {
                m_bytes.resize(static_cast<size_t>(got) + 1);
                continue;
            }
            if (U_SUCCESS(err))
                out.add(m_bytes.data(), got);
            else
                out.add(p, n);
            return;
        }
        out.add(p, n);
    }
    void convert(CStringBuffer& text, EMode mode)
    {
        if (!m_bActive || text.length() == 0)
            return;
        m_tmp.reset();
        append(text.getBufferPointer(), text.length(), mode, m_tmp);
        text.set(m_tmp.data(), m_tmp.length());
    }

private:
    bool open()
    {
        if (m_bOpened)
            return m_from && m_to;
        m_bOpened = true;
        UErrorCode err = U_ZERO_ERROR;
        m_from = ucnv_open(m_x.getVornEncoding(), &err);
        if (U_SUCCESS(err))
            m_to = ucnv_open(m_target, &err);
        if (U_SUCCESS(err))
            ucnv_setFromUCallBack(m_to, &COutputCoder::unmappable, &m_mode, nullptr, nullptr, &err);
        if (U_FAILURE(err)) {
            if (m_from)
                ucnv_close(m_from);
            if (m_to)
                ucnv_close(m_to);
            m_from = m_to = nullptr;
            return false;
        }
        m_x.logDebug(kModule, "Converting from %s to %s\n", m_x.getVornEncoding(), m_target);
        m_units.resize(4096);
        m_bytes.resize(16384);
        return true;
    }

    static void U_CALLCONV unmappable(const void* context, UConverterFromUnicodeArgs* args, const UChar*, int32_t,
                                      UChar32 codePoint, UConverterCallbackReason reason, UErrorCode* err)
    {
        if (reason > UCNV_IRREGULAR)
            return;
        EMode mode = *static_cast<const EMode*>(context);
        char text[48] = "?";
        if (reason == UCNV_UNASSIGNED && mode == REFERENCE)
            snprintf(text, sizeof text, "&#x%X;", static_cast<unsigned>(codePoint));
        else if (reason == UCNV_UNASSIGNED && mode == CDATA)
            snprintf(text, sizeof text, "]]>&#x%X;<![CDATA[", static_cast<unsigned>(codePoint));
        *err = U_ZERO_ERROR;
        ucnv_cbFromUWriteBytes(args, text, static_cast<int32_t>(strlen(text)), 0, err);
    }

    CVORNxml& m_x;
    const char* m_target;
    bool m_bActive;
    UConverter* m_from;
    UConverter* m_to;
    bool m_bOpened;
    EMode m_mode;
    std::vector<UChar> m_units;
    std::vector<char> m_bytes;
    CDocText m_tmp;
};

// Where encodings cannot carry markup as ASCII bytes (UTF-16, UTF-32), the
// text is built in UTF-8 and converted on its way to the sink.
bool isAsciiCompatible(const char* encoding)
{
    // The usual encoding, without opening a converter to find out.
    if (namesUtf8(encoding, "UTF-8", "UTF8"))
        return true;
    UErrorCode err = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(encoding, &err);
    if (U_FAILURE(err) || !cnv)
        return true; // unknown: values stay unconverted, which keeps them readable
    static const UChar probe[] = {'<', '?', 'x', '&', 0};
    char out[32];
    int32_t len = ucnv_fromUChars(cnv, out, sizeof out, probe, 4, &err);
    ucnv_close(cnv);
    return U_SUCCESS(err) && len == 4 && memcmp(out, "<?x&", 4) == 0;
}

// Converts UTF-8 text chunk by chunk into another encoding; a character split
// between two chunks is carried over.
class CChunkConverter {
public:
    CChunkConverter() : m_from(nullptr), m_to(nullptr) {}
    ~CChunkConverter()
    {
        if (m_from)
            ucnv_close(m_from);
        if (m_to)
            ucnv_close(m_to);
    }
    CChunkConverter(const CChunkConverter&) = delete;
    CChunkConverter& operator=(const CChunkConverter&) = delete;

    bool open(const char* target)
    {
        UErrorCode err = U_ZERO_ERROR;
        m_from = ucnv_open("UTF-8", &err);
        m_to = ucnv_open(target, &err);
        m_pivotSource = m_pivotTarget = m_pivot;
        return U_SUCCESS(err);
    }
    bool active() const { return m_to != nullptr; }

    // Replaces text by its conversion; false on a conversion error.
    bool convert(CDocText& text, bool bLast)
    {
        m_out.clear();
        const char* src = text.data();
        const char* srcEnd = src + text.length();
        char area[16384];
        UErrorCode err;
        do {
            err = U_ZERO_ERROR;
            char* dst = area;
            ucnv_convertEx(m_to, m_from, &dst, area + sizeof area, &src, srcEnd, m_pivot, &m_pivotSource,
                           &m_pivotTarget, m_pivot + kPivot, false, bLast, &err);
            m_out.add(area, static_cast<int>(dst - area));
        } while (err == U_BUFFER_OVERFLOW_ERROR);
        text.swap(m_out);
        return U_SUCCESS(err);
    }

private:
    enum { kPivot = 1024 };
    UConverter* m_from;
    UConverter* m_to;
    UChar m_pivot[kPivot];
    UChar* m_pivotSource;
    UChar* m_pivotTarget;
    CDocText m_out;
};

// The sink of one reconstruction: a stream, an open or named file, or memory.
class CDocSink {
public:
    enum EKind { NONE, STREAM, FILE_SINK, MEMORY };

    explicit CDocSink(CVORNxml& x) : m_x(x), m_kind(NONE), m_fp(nullptr), m_bOwnFile(false), m_sock(0),
                                     m_nAccWrite(0), m_bFailed(false) {}
    ~CDocSink()
    {
        if (m_bOwnFile && m_fp)
            fclose(m_fp);
        if (m_sock)
            VfxFTMWriteClose(m_sock);
    }
    CDocSink(const CDocSink&) = delete;
    CDocSink& operator=(const CDocSink&) = delete;

    EKind kind() const { return m_kind; }
    bool failed() const { return m_bFailed; }
    bool ownFile() const { return m_bOwnFile; }

    // Chooses and opens the sink; false when the request cannot be served
    // (errortext and errorcode set).
    bool open(bool bStream)
    {
        filter_data* fd = m_x.getFilterData();
        if ((fd->filter_options & FO_STREAM) && bStream) {
            CStringBuffer url;
            if (!m_x.getFilterArgument("FILEURL", url)) {
                static const char kMissing[] = "Required argument FILEURL missing for stream export.";
                m_x.setError(VX_FAILED, kMissing);
                m_x.logError(kModule, 0, "%s", kMissing);
                return false;
            }
            int r = VfxFTMWriteOpen(&m_sock, url);
            if (r != 0) {
                m_sock = 0;
                char text[256];
                VfxGetErrorText(r, text, sizeof text);
                m_x.setErrorText("Error E%04d opening stream: %s", r, text);
                fd->errorcode = VX_FAILED;
                m_x.logError(kModule, r, "Error E%04d opening stream: %s", r, text);
                return false;
            }
            m_kind = STREAM;
            return true;
        }
        if (fd->vdb_options & IEOPT_FILE) {
            m_fp = static_cast<FILE*>(fd->buffer);
            m_x.logDebug(kModule, "Writing document using provided filepointer %p\n", fd->buffer);
            if (!m_fp) {
                m_x.setError(VX_FAILED, "No open file provided for the export (FILE* option with a null buffer).");
                return false;
            }
            m_kind = FILE_SINK;
            return true;
        }
        if (fd->vdb_options & IEOPT_FILENAME) {
            const char* name = static_cast<const char*>(fd->buffer);
            m_x.logDebug(kModule, "Overwriting to provided file name \"%s\"\n", name ? name : "");
            m_fp = name && *name ? fopen(name, "wb") : nullptr;
            if (m_fp) {
                m_bOwnFile = true;
                m_kind = FILE_SINK;
                return true;
            }
            int e = errno;
            // Memory, when also asked for, still takes the text.
            if (!(fd->vdb_options & IEOPT_MEMORY)) {
                m_x.setErrorText("Could not open file \"%s\" for writing: %s", name ? name : "", strerror(e));
                fd->errorcode = VX_FAILED;
                m_x.logError(kModule, e, "%s", fd->errortext);
                return false;
            }
        }
        if (fd->vdb_options & IEOPT_MEMORY) {
            m_kind = MEMORY;
            return true;
        }
        m_x.setErrorText("No output for the document: vdb_options 0x%x names no file, open file or memory, "
                         "and no stream was asked for.",
                         static_cast<unsigned>(fd->vdb_options));
        fd->errorcode = VX_FAILED;
        return false;
    }

    // Hands text over when the sink takes it in pieces; memory keeps growing.
    void flush(CDocText& text, CChunkConverter& conv, bool bLast)
    {
        if (m_bFailed || m_kind == MEMORY || m_kind == NONE)
            return;
        if (!bLast && text.length() <= (m_kind == STREAM ? kFlushSize : 4 * kFlushSize))
            return;
        if (conv.active())
            conv.convert(text, bLast);
        if (text.length() > 0)
            write(text.data(), text.length());
        text.reset();
    }

    // Ends the output: terminator and close for a stream, close of a file
    // opened here; false when writing failed (errortext set).
    bool finish()
    {
        filter_data* fd = m_x.getFilterData();
        if (m_kind == STREAM) {
            if (!m_bFailed)
                write(FTM_TERMINATOR, FTM_TERMINATOR_LENGTH, false);
            // The reader closes once it has the terminator; wait for that.
            struct timeval tmvTimeout = {30, 0};
            int err = 0;
            VfxSocketReadSelect(m_sock, &tmvTimeout, &err);
            VfxFTMWriteClose(m_sock);
            m_sock = 0;
        } else if (m_kind == FILE_SINK) {
            if (fflush(m_fp) != 0 && !m_bFailed)
                fileError(errno);
            if (m_bOwnFile) {
                if (fclose(m_fp) != 0 && !m_bFailed)
                    fileError(errno);
                m_fp = nullptr;
            }
        }
        if (m_bFailed)
            fd->errorcode = VX_FAILED;
        return !m_bFailed;
    }

private:
    void write(const char* p, int n, bool bCount = true)
    {
        if (m_bFailed)
            return;
        if (m_kind == STREAM) {
            if (bCount) {
                m_nAccWrite += n;
                m_x.logDebug(kModule, "Writing %d bytes to socket. %d written.\n", n, m_nAccWrite);
            }
            int rc = VfxFTMWriteBlock(m_sock, p, n);
            if (rc != 0) {
                // The peer sees a missing terminator; the caller is told as well.
                char text[256];
                VfxGetErrorText(rc, text, sizeof text);
                m_x.setErrorText("Error E%04d writing to stream: %s", rc, text);
                m_x.logError(kModule, rc, "Error E%04d writing to stream: %s", rc, text);
                m_bFailed = true;
            }
        } else if (m_kind == FILE_SINK) {
            if (fwrite(p, 1, static_cast<size_t>(n), m_fp) != static_cast<size_t>(n))
                fileError(errno);
        }
    }

    void fileError(int e)
    {
        filter_data* fd = m_x.getFilterData();
        if (m_bOwnFile)
            m_x.setErrorText("Error writing to file \"%s\": %s", static_cast<const char*>(fd->buffer), strerror(e));
        else
            m_x.setErrorText("Error writing to the provided file: %s", strerror(e));
        m_x.logError(kModule, e, "%s", fd->errortext);
        m_bFailed = true;
    }

    CVORNxml& m_x;
    EKind m_kind;
    FILE* m_fp;
    bool m_bOwnFile;
    int m_sock;
    int m_nAccWrite;
    bool m_bFailed;
};

// snprintf(to, 64, "%s", name) without the formatting: set for every fragment.
void setDocEncoding(char (&to)[64], const char* name)
{
    size_t n = strnlen(name, sizeof to - 1);
    memmove(to, name, n);
    to[n] = 0;
}

// Restores the request's document encoding when reconstruction ends.
class CDocEncodingGuard {
public:
    CDocEncodingGuard(char (&target)[64], const char* pszReal) : m_target(target) { setDocEncoding(m_szReal, pszReal); }
    ~CDocEncodingGuard() { setDocEncoding(m_target, m_szReal); }
    CDocEncodingGuard(const CDocEncodingGuard&) = delete;
    CDocEncodingGuard& operator=(const CDocEncodingGuard&) = delete;

private:
    char (&m_target)[64];
    char m_szReal[64];
};

// Bytes of a value as they go into the text.
struct CPiece {
    const char* p;
    int n;
};

void appendName(CDocText& out, CPiece prefix, CPiece name)
{
    if (prefix.n > 0) {
        out.add(prefix.p, prefix.n);
        out.add(':');
    }
    out.add(name.p, name.n);
}

// Reads document properties as getProperty finds them (the value beside the
// lowest item of D_PROPNAME that has the name, case aside) without counting
// the items first: a document's properties are written first, so its first
// items hold them, and counting the items of a large record walks all of it.
void readProperties(CVORNxml& x, const char* const* names, CStringBuffer* const* values, int n)
{
    const int kFirstItems = 8;
    bool found[kFirstItems] = {};
    if (n > kFirstItems)
        n = kFirstItems;
    VdbHandle rc = x.getFilterData()->record_control;
    CFieldInfo* fName = CFieldInfo::getFieldInfo("D_PROPNAME", rc);
    CFieldInfo* fValue = CFieldInfo::getFieldInfo("D_PROPVAL", rc);
    const int fields[2] = {fName ? fName->getNumber() : 0, fValue ? fValue->getNumber() : 0};
    // The first items of both fields in one kernel call, copied before the
    // next one; each as a phrase value reads: cut to its area, converted.
    const char* v[kFirstItems * 2];
    int len[kFirstItems * 2];
    const bool scanned =
        fields[0] > 0 && fields[1] > 0 && (VdbGetNodeValues(rc, 1, kFirstItems, 2, fields, v, len) & 1);
    if (scanned) {
        std::string held[kFirstItems * 2];
        for (int i = 0; i < kFirstItems * 2; ++i)
            if (v[i] && len[i] >= 0)
                held[i].assign(v[i], static_cast<size_t>(len[i] > 250 ? 250 : len[i]));
        // Converted values are short: a small buffer, not a zeroed default block.
        CStringBuffer converted(64);
        auto phrase = [&x, &converted](const std::string& s, CStringBuffer& out) {
            converted.clear();
            if (x.encodeOutput(s.data(), static_cast<int>(s.size()), converted))
                out.set(converted.getBufferPointer(), converted.length() > 255 ? 255 : converted.length());
            else
                out.set(s.data(), static_cast<int>(s.size()));
        };
        CStringBuffer name(256);
        for (int item = 0; item < kFirstItems; ++item) {
            if (!v[item * 2] || len[item * 2] < 0)
                continue;
            phrase(held[item * 2], name);
            for (int k = 0; k < n; ++k)
                if (!found[k] && name.compareNoCase(names[k]) == 0) {
                    values[k]->clear();
                    if (v[item * 2 + 1] && len[item * 2 + 1] >= 0)
                        phrase(held[item * 2 + 1], *values[k]);
                    found[k] = true;
                }
        }
    }
    // Later items: the whole search, unless the record has no item past
    // those read (the kernel knows a record's item counts without a walk).
    bool all = true;
    for (int k = 0; k < n; ++k)
        all = all && found[k];
    if (all)
        return;
    if (scanned) {
        int count = -1;
        VdbHandle cursor = nullptr;
        if (VdbSetCursor(&cursor, rc, fields[0], 0, 0) & 1)
            VdbItemCount(cursor, &count);
        if (cursor)
            VdbDeleteCursor(cursor);
        if (count >= 0 && count <= kFirstItems)
            return;
    }
    for (int k = 0; k < n; ++k)
        if (!found[k])
            x.getProperty(names[k], *values[k]);
}

// A whole document rebuilt into memory takes about the size it was stored
// with: its text grows once instead of doubling from a few KB.
void reserveDocument(VdbHandle rc, CDocText& out)
{
    CFieldInfo* f = CFieldInfo::getFieldInfo("D_DOCSIZE", rc);
    int field = f ? f->getNumber() : 0;
    const char* v = nullptr;
    int n = -1;
    if (field < 1 || !(VdbGetNodeValues(rc, 1, 1, 1, &field, &v, &n) & 1) || !v || n <= 0 || n > 20)
        return;
    char digits[24];
    memcpy(digits, v, static_cast<size_t>(n));
    digits[n] = 0;
    long long size = atoll(digits);
    // Markup added on the way out (end tags of empty elements, line feeds)
    // fits the slack; a damaged size is not trusted beyond 256 MB.
    if (size > 0 && size < (256ll << 20))
        out.reserve(static_cast<size_t>(size + size / 8 + 256));
}

} // namespace

int CVORNxml::countNodes()
{
    if (!m_pData)
        return 0;
    VdbHandle rc = m_pData->record_control;
    int count = 0;
    CFieldInfo* f = CFieldInfo::getFieldInfo("N_ID", rc);
    if (f && f->getNumber() > 0) {
        VdbHandle cursor = nullptr;
        if (VdbSetCursor(&cursor, rc, f->getNumber(), 0, 0) & 1)
            VdbItemCount(cursor, &count);
        if (cursor)
            VdbDeleteCursor(cursor);
        logDebug(kModule, "There are %d items in the document.\n", count);
    } else {
        VdbPartCount(rc, &count);
        logDebug(kModule, "There are %d parts in the document.\n", count);
    }
    return count;
}

void CVORNxml::processRecord(int nSubTreeRootId, bool useNamespaces, bool bStream)
{
    if (!m_pData)
        return;
    filter_data* fd = m_pData;
    VdbHandle rc = fd->record_control;

    // Property values are read for output too: not into the encoding a
    // previous call (another fragment) left behind.
    setDocEncoding(m_szDocEncoding, "UTF-8");
    if (!(m_bReuseDocProps && m_bDocPropsRead)) {
        m_strDocEnc.clear();
        m_strDocVer.clear();
        m_strDocTxv.clear();
        static const char* const kNames[] = {"xmlencoding", "xmlversion", "vornxmlversion"};
        CStringBuffer* const values[] = {&m_strDocEnc, &m_strDocVer, &m_strDocTxv};
        readProperties(*this, kNames, values, 3);
        m_bDocPropsRead = true;
    }
    // A document without an XML declaration was read as UTF-8, so it is
    // written as UTF-8 (an empty name would leave the choice to ICU's default).
    setDocEncoding(m_szDocEncoding, m_strDocEnc.length() > 0 ? m_strDocEnc.getBufferPointer() : "UTF-8");
    const char* const pszVer = m_strDocVer.length() > 0 ? m_strDocVer.getBufferPointer() : "1.0";
    const bool bHighlight = (fd->filter_options & FO_HIGHLIGHT) != 0;
    const bool bEscape = m_strDocTxv.length() > 0;
    const bool bDebug = getLogLevel() >= IVfxLogger::LL_DEBUG && getLogging();

    logDebug(kModule, "Retrieving XML document parts.\n");
    // Fragments of one record share its node count.
    const int nCount = m_bReuseDocProps && m_nDocNodes >= 0 ? m_nDocNodes : countNodes();
    if (m_bReuseDocProps)
        m_nDocNodes = nCount;

    CDocSink sink(*this);
    if (!sink.open(bStream))
        return;

    // Markup is ASCII: an encoding that does not keep it so is produced from
    // UTF-8 at the sink, and the values are read into UTF-8 meanwhile.
    CChunkConverter conv;
    CDocEncodingGuard encodingGuard(m_szDocEncoding, m_szDocEncoding);
    if (!isAsciiCompatible(m_szDocEncoding)) {
        if (!conv.open(m_szDocEncoding)) {
            setErrorText("Cannot convert the document to its encoding \"%s\".", m_szDocEncoding);
            fd->errorcode = VX_FAILED;
            sink.finish();
            return;
        }
        setDocEncoding(m_szDocEncoding, "UTF-8");
    }
    const char* target = m_szDocEncoding;
    COutputCoder coder(*this, target);
    // The text escape looks at the bytes as stored when they are converted
    // after it, else at the bytes as written.
    const char* escaped = coder.active() ? getVornEncoding() : target;
    const bool bUtf8 = (escaped && strcmp(escaped, "UTF-8") == 0) || namesUtf8(escaped, "utf-8", "utf8") ||
                       VfxStrNoCaseEquals(escaped, "utf 8");

    // Fragments of one request look the document fields up once (-1: none).
    auto docField = [&](const char* name, int& known) {
        if (m_bReuseDocProps && known != 0)
            return known > 0 ? known : 0;
        CFieldInfo* f = CFieldInfo::getFieldInfo(name, rc);
        const int num = f ? f->getNumber() : 0;
        if (m_bReuseDocProps)
            known = num > 0 ? num : -1;
        return num;
    };
    const int fDoctype = docField("D_DOCTYPE", m_nDoctypeField);
    const int fMeta = docField("D_META", m_nMetaField);
    CDocText strDoc, strEscaped;
    if (sink.kind() == CDocSink::MEMORY && nSubTreeRootId <= 1)
        reserveDocument(rc, strDoc);
    else if (sink.kind() == CDocSink::MEMORY && m_bReuseDocProps)
        strDoc.presize(m_nFragmentBytes);
    // Each fragment of a request writes into the same buffers; every use
    // below sets a buffer before it reads it.
    std::unique_ptr<CRebuildBuffers> ownBuffers;
    CRebuildBuffers* buffers = m_bReuseDocProps ? m_pFragmentBuffers.get() : nullptr;
    if (!buffers) {
        ownBuffers.reset(new CRebuildBuffers);
        buffers = ownBuffers.get();
        if (m_bReuseDocProps)
            m_pFragmentBuffers = std::move(ownBuffers);
    }
    CStringBuffer& strType = buffers->type;
    CStringBuffer& strName = buffers->name;
    CStringBuffer& strNSpace = buffers->nspace;
    CStringBuffer& strValue = buffers->value;
    // A fragment's subtree ends at the first node after it whose parent is
    // outside it: short subtrees read little beyond that node.
    CNodeReader nodes(rc, nCount, m_bReuseDocProps ? m_aNodeFields : nullptr, nSubTreeRootId > 1 ? 4 : 8,
                      &buffers->nodeValues, &buffers->nodeLengths);
    // Parent ids of the open elements, innermost last.
    std::vector<int>& openParents = buffers->openParents;
    // Prefixed names of the open elements, one after another; nameEnds
    // beside the two stacks marks where each ends.
    std::string& openNames = buffers->openNames;
    std::vector<size_t>& nameEnds = buffers->nameEnds;
    openParents.clear();
    openNames.clear();
    nameEnds.clear();
    auto closeElement = [&](bool bLineFeed) {
        size_t start = nameEnds.size() > 1 ? nameEnds[nameEnds.size() - 2] : 0;
        strDoc.add("</", 2);
        strDoc.add(openNames.data() + start, static_cast<int>(openNames.size() - start));
        strDoc.add(bLineFeed ? ">\n" : ">", bLineFeed ? 2 : 1);
        if (bDebug && !bLineFeed)
            logDebug(kModule, "--end-of-element-- %s", openNames.c_str() + start);
        openParents.pop_back();
        nameEnds.pop_back();
        openNames.resize(start);
    };
    // A start tag (with the attributes written so far) waits for its ">"
    // until the next node shows whether another attribute follows.
    bool bTagOpen = false;
    bool bSubtreeEnd = false;

    if (nSubTreeRootId < 1)
        nSubTreeRootId = 1;
    for (int i = nSubTreeRootId; i <= nCount && !sink.failed(); ++i) {
        nodes.read(i);
        const ENodeKind kind = kindOf(nodes.text(CNodeReader::F_TYPE), nodes.length(CNodeReader::F_TYPE));
        if (bTagOpen && kind != NK_ATTRIBUTE)
            strDoc.add('>');
        bTagOpen = false;
        const long nParentId = nodes.number(CNodeReader::F_PARENT);
        if (bDebug || kind == NK_OTHER)
            strType.set(nodes.text(CNodeReader::F_TYPE), nodes.length(CNodeReader::F_TYPE));

        CPiece name = {"", 0}, prefix = {"", 0}, value = {"", 0};
        const bool bNamed = kind == NK_ELEMENT || kind == NK_ATTRIBUTE || kind == NK_PI || kind == NK_ENTITYREF;
        if (bDebug)
            strName.clear();
        if (bNamed) {
            name = {nodes.text(CNodeReader::F_NAME), nodes.length(CNodeReader::F_NAME)};
            if (coder.active() || bDebug) {
                strName.set(name.p, name.n);
                coder.convert(strName, COutputCoder::SUBSTITUTE);
                name = {strName.getBufferPointer(), strName.length()};
            }
            if (useNamespaces) {
                prefix = {nodes.text(CNodeReader::F_NSPACE), nodes.length(CNodeReader::F_NSPACE)};
                if (coder.active()) {
                    strNSpace.set(prefix.p, prefix.n);
                    coder.convert(strNSpace, COutputCoder::SUBSTITUTE);
                    prefix = {strNSpace.getBufferPointer(), strNSpace.length()};
                }
            }
        }
        if (nSubTreeRootId > 1 && i > nSubTreeRootId && nParentId < nSubTreeRootId) {
            bSubtreeEnd = true;
            break;
        }
        if (bDebug) {
            long nId = nodes.number(CNodeReader::F_ID);
            logDebug(kModule, "%s %s ID=%ld, P=%ld, TOP=%d\n", strType.getBufferPointer(), strName.getBufferPointer(),
                     nId, nParentId, openParents.empty() ? 0 : openParents.back());
        }
        const bool bValued = kind == NK_ATTRIBUTE || kind == NK_TEXT || kind == NK_COMMENT || kind == NK_PI ||
                             kind == NK_CDATA || (kind == NK_ENTITYREF && !bEscape);
        if (bValued) {
            if (bHighlight && kind == NK_TEXT) {
                // Reads through cursors: nothing of the node is needed after it.
                getPartTextValue(strValue, "N_TVALUE", i, true);
                nodes.invalidate();
                value = {strValue.getBufferPointer(), strValue.length()};
            } else {
                value = {nodes.text(CNodeReader::F_VALUE), nodes.length(CNodeReader::F_VALUE)};
                // Text values are read for output with carriage returns made line
                // feeds; escaped attribute values keep theirs (character references),
                // and the text escape makes them line feeds as it goes.
                const bool bEscapedAsIs = bEscape && (kind == NK_ATTRIBUTE || (kind == NK_TEXT && !coder.active()));
                if (!bEscapedAsIs && memchr(value.p, '\r', static_cast<size_t>(value.n))) {
                    strValue.set(value.p, value.n);
                    strValue.convertLinebreaks();
                    value = {strValue.getBufferPointer(), strValue.length()};
                }
            }
        }

        if (!openParents.empty()) {
            if (kind == NK_ATTRIBUTE) {
                strDoc.add(' ');
                appendName(strDoc, prefix, name);
                strDoc.add("=\"", 2);
                if (bEscape && coder.active()) {
                    strEscaped.clear();
                    vxexport::escapeAttribute(value.p, value.n, strEscaped);
                    coder.append(strEscaped.data(), strEscaped.length(), COutputCoder::REFERENCE, strDoc);
                } else if (bEscape) {
                    vxexport::escapeAttribute(value.p, value.n, strDoc);
                } else {
                    coder.append(value.p, value.n, COutputCoder::REFERENCE, strDoc);
                }
                strDoc.add('"');
                bTagOpen = true;
                if (openParents.back() >= nParentId) {
                    // Elements close after this attribute: its start tag ends
                    // first unless another attribute follows.
                    const char* next;
                    int nextLen;
                    bool bAttr = i + 1 <= nCount && nodes.typeOf(i + 1, &next, &nextLen) &&
                                 kindOf(next, nextLen) == NK_ATTRIBUTE;
                    if (!bAttr)
                        strDoc.add('>');
                    bTagOpen = false;
                }
            }
            while (!openParents.empty() && openParents.back() >= nParentId)
                closeElement(false);
        }

        switch (kind) {
        case NK_COMMENT:
            strDoc.add("<!--", 4);
            coder.append(value.p, value.n, COutputCoder::SUBSTITUTE, strDoc);
            strDoc.add("-->", 3);
            break;
        case NK_ELEMENT:
            openParents.push_back(static_cast<int>(nParentId));
            if (prefix.n > 0) {
                openNames.append(prefix.p, static_cast<size_t>(prefix.n));
                openNames += ':';
            }
            openNames.append(name.p, static_cast<size_t>(name.n));
            strDoc.add('<');
            strDoc.add(openNames.data() + (nameEnds.empty() ? 0 : nameEnds.back()),
                       static_cast<int>(openNames.size() - (nameEnds.empty() ? 0 : nameEnds.back())));
            nameEnds.push_back(openNames.size());
            bTagOpen = true;
            break;
        case NK_ATTRIBUTE: break;
        case NK_TEXT:
            if (bEscape) {
                if (bHighlight) {
                    // The hit markers pass the text escape.
                    if (value.p != strValue.getBufferPointer())
                        strValue.set(value.p, value.n);
                    escapeXml(strValue);
                    strDoc.add(strValue);
                } else if (coder.active()) {
                    strEscaped.clear();
                    vxexport::escapeText(value.p, value.n, bUtf8, strEscaped);
                    coder.append(strEscaped.data(), strEscaped.length(), COutputCoder::REFERENCE, strDoc);
                } else {
                    vxexport::escapeText(value.p, value.n, bUtf8, strDoc, true);
                }
            } else {
                coder.append(value.p, value.n, COutputCoder::REFERENCE, strDoc);
            }
            break;
        case NK_PI:
            strDoc.add("<?", 2);
            appendName(strDoc, prefix, name);
            if (value.n > 0) {
                strDoc.add(' ');
                coder.append(value.p, value.n, COutputCoder::SUBSTITUTE, strDoc);
            }
            strDoc.add("?>", 2);
            // Inside an element a line feed would be character data of the element.
            if (nParentId == 0)
                strDoc.add('\n');
            break;
        case NK_DOCTYPE:
            nodes.partText(fDoctype, 0, strValue);
            coder.append(strValue.getBufferPointer(), strValue.length(), COutputCoder::SUBSTITUTE, strDoc);
            strDoc.add('\n');
            break;
        case NK_XMLDECL: {
            nodes.partText(fMeta, 0, strValue);
            if (strValue.length() > 0) {
                coder.append(strValue.getBufferPointer(), strValue.length(), COutputCoder::SUBSTITUTE, strDoc);
            } else {
                strDoc.add("<?xml version=\"");
                strDoc.add(pszVer);
                strDoc.add("\" encoding=\"UTF-8\"?>");
            }
            strDoc.add('\n');
            break;
        }
        case NK_ENTITYREF:
            strDoc.add('&');
            if (bEscape)
                strDoc.add(name.p, name.n);
            else
                coder.append(value.p, value.n, COutputCoder::SUBSTITUTE, strDoc);
            strDoc.add(';');
            break;
        case NK_CDATA:
            strDoc.add("<![CDATA[", 9);
            coder.append(value.p, value.n, COutputCoder::CDATA, strDoc);
            strDoc.add("]]>", 3);
            break;
        case NK_OTHER:
            logWarning(kModule, 0, "Error in part No.%d: Bad node type \"%s\"\n", i, strType.getBufferPointer());
            break;
        }
        sink.flush(strDoc, conv, false);
    }
    if (bTagOpen && !bSubtreeEnd)
        strDoc.add('>');

    while (!openParents.empty())
        closeElement(true);
    logDebug(kModule, "Document structure recreated.\n");

    if (sink.kind() == CDocSink::MEMORY) {
        if (conv.active())
            conv.convert(strDoc, true);
        int len = 0;
        fd->buffer = strDoc.take(&len);
        fd->buffer_length = len;
        // The fragments of a request are mostly of a size: the next one's
        // block is sized by this one (large ones grow as usual).
        if (m_bReuseDocProps)
            m_nFragmentBytes = len < 2048 ? static_cast<size_t>(len) * 5 / 4 + 32 : 0;
        return;
    }
    sink.flush(strDoc, conv, true);
    sink.finish();
}
