// Fragment sets: the subtrees a fragment expression selects in the records
// of a query's result, each with the namespace declarations it needs; text
// values with highlighted search hits.
#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <map>
#include <new>
#include <memory>
#include <string>

#include "VORNxml.h"
#include "VXParserMain.h"
#include "VXProcessorMain.h"
#include "VfxMemory.h"
#include "XPathException.h"
#include "query.h"

namespace {

// One prefix of a fragment and its URI (empty while unknown), in a singly
// linked chain.
struct __NSDef {
    explicit __NSDef(CStringBuffer& p) : prefix(p), declared(false), next(nullptr) {}
    virtual ~__NSDef() { DeleteChain(); }
    __NSDef(const __NSDef&) = delete;
    __NSDef& operator=(const __NSDef&) = delete;

    // Inserts p directly after this node.
    void SetNext(__NSDef* p)
    {
        p->next = next;
        next = p;
    }
    __NSDef* Find(CStringBuffer& p)
    {
        for (__NSDef* d = this; d; d = d->next)
            if (d->prefix.compareNoCase(p) == 0)
                return d;
        return nullptr;
    }
    void DeleteChain()
    {
        __NSDef* d = next;
        next = nullptr;
        while (d) {
            __NSDef* n = d->next;
            d->next = nullptr;
            delete d;
            d = n;
        }
    }

    // The declaration was found: an empty prefix may be bound to no namespace.
    void Declare(CStringBuffer& u)
    {
        uri.set(u);
        declared = true;
    }

    CStringBuffer prefix;  // empty: the default namespace
    CStringBuffer uri;
    bool declared;
    // A declaration on an element inside the fragment: used when neither the
    // fragment's root nor its ancestors declare the prefix.
    CStringBuffer inner;
    bool hasInner = false;
    __NSDef* next;
};

// Raw values of record fields through one cursor per field, kept for the
// record: two kernel calls per value instead of a cursor made and deleted.
class CFieldReader {
public:
    explicit CFieldReader(VdbHandle rc) : m_rc(rc) {}
    ~CFieldReader()
    {
        for (auto& c : m_cursors)
            if (c.second)
                VdbDeleteCursor(c.second);
    }
    CFieldReader(const CFieldReader&) = delete;
    CFieldReader& operator=(const CFieldReader&) = delete;

    // Item `item` of the field as stored, cut at the scratch area (the
    // values read here are numbers, node types and prefixes); empty when
    // there is none.
    const char* raw(const char* pszField, int item, int* pnLength)
    {
        *pnLength = 0;
        m_area[0] = 0;
        CFieldInfo* f = CFieldInfo::getFieldInfo(pszField, m_rc);
        if (!f || f->getNumber() < 1)
            return m_area;
        VdbHandle& cur = m_cursors[f->getNumber()];
        int len = 0;
        if (!(VdbSetCursor(&cur, m_rc, f->getNumber(), 0, item) & 1) ||
            VdbGetLine(cur, m_area, &len, kCapacity) != 1)
            return m_area;
        if (len < 0)
            len = 0;
        if (len > kCapacity)
            len = kCapacity;
        m_area[len] = 0;
        *pnLength = len;
        return m_area;
    }
    void text(const char* pszField, int item, CStringBuffer& out)
    {
        int n = 0;
        const char* p = raw(pszField, item, &n);
        out.set(p, n);
    }
    long number(const char* pszField, int item)
    {
        int n = 0;
        return atol(raw(pszField, item, &n));
    }
    VdbHandle control() const { return m_rc; }

private:
    static const int kCapacity = 250;
    VdbHandle m_rc;
    std::map<int, VdbHandle> m_cursors;
    char m_area[kCapacity + 1];
};

// What getFragments knows of the record whose fragments are being built, so
// that the namespace declarations of each fragment need not find it again.
struct CNamespaceContext {
    VdbHandle rc = nullptr;
    int count = -1;  // nodes of the record; -1 until counted
    // Some node of the record has a prefix; some attribute declares a
    // default namespace. Neither: no fragment of it needs a declaration.
    bool prefixes = true;
    bool defaults = true;
    std::unique_ptr<CFieldReader> reader;
};
thread_local CNamespaceContext* t_pNamespaces = nullptr;

// Makes a record's context current while its fragments are built.
class CNamespaceScope {
public:
    explicit CNamespaceScope(CNamespaceContext& ctx) : m_saved(t_pNamespaces) { t_pNamespaces = &ctx; }
    ~CNamespaceScope() { t_pNamespaces = m_saved; }
    CNamespaceScope(const CNamespaceScope&) = delete;
    CNamespaceScope& operator=(const CNamespaceScope&) = delete;

private:
    CNamespaceContext* m_saved;
};

// Follows the records of a search alongside the ascending records of a
// fragment search, telling which of them belong to it. Its records are
// records of the fragment search, loaded again there right after.
class CSearchMembers {
public:
    explicit CSearchMembers(int nSet) : m_nSet(nSet)
    {
        if (m_nSet > 0)
            VdbCreateRecordControl(&m_rc);
    }
    ~CSearchMembers()
    {
        if (m_rc)
            VdbDeleteRecordControl(m_rc);
    }
    CSearchMembers(const CSearchMembers&) = delete;
    CSearchMembers& operator=(const CSearchMembers&) = delete;

    bool contains(int rid)
    {
        if (m_nSet <= 0 || !m_rc)
            return false;
        while (m_rid < rid) {
            char db[64] = "";
            if (!(VdbGetRecordInSearchRis(m_rc, m_nSet, ++m_pos, &m_rid, db) & 1)) {
                m_nSet = 0;
                return false;
            }
        }
        return m_rid == rid;
    }

private:
    int m_nSet;
    VdbHandle m_rc = nullptr;
    int m_pos = 0;
    int m_rid = 0;
};

// The number of the search a command makes within the fragment search, 0
// when it fails or finds nothing.
int searchWithin(int nSet, const char* pszCondition)
{
    int code = 0;
    CStringBuffer ccl, fin;
    SearchSet::LocalWord("FIN", fin);
    ccl.format("%s S=%d AND.R (%s)", (const char*)fin, nSet, pszCondition);
    int records = 0, hits = 0, set = 0;
    if (!(VdbExecuteCcl(ccl, &code) & 1) || !(VdbGetSearch(&set, &records, &hits) & 1))
        return -1;
    return records > 0 ? set : 0;
}

// Bytes of a UTF-8 sequence led by c (1 for a stray continuation byte).
int sequenceLength(unsigned char c)
{
    if (c >= 0xf0 && c < 0xf8)
        return 4;
    if (c >= 0xe0)
        return 3;
    if (c >= 0xc0)
        return 2;
    return 1;
}

// Text built by appending, grown by doubling with realloc, which moves a
// large block's pages instead of copying them; handed to a CStringBuffer
// without a copy.
class COutText {
public:
    COutText() { grow(4096); }
    ~COutText() { free(m_p); }
    COutText(const COutText&) = delete;
    COutText& operator=(const COutText&) = delete;

    void append(const char* s, size_t n)
    {
        if (m_n + n + 1 > m_cap)
            grow(m_n + n + 1);
        memcpy(m_p + m_n, s, n);
        m_n += n;
    }
    COutText& operator+=(const std::string& s)
    {
        append(s.data(), s.size());
        return *this;
    }
    COutText& operator+=(const char* s)
    {
        append(s, strlen(s));
        return *this;
    }
    void handTo(CStringBuffer& to)
    {
        if (to.length() > 0 || m_n == 0 || m_n >= static_cast<size_t>(INT_MAX - 8)) {
            to.append(m_p, static_cast<int>(m_n));
            return;
        }
        m_p[m_n] = 0;
        to.attach(m_p, static_cast<int>(m_n), static_cast<int>(m_cap));
        m_p = nullptr;
        m_n = m_cap = 0;
    }

private:
    void grow(size_t need)
    {
        size_t cap = m_cap ? m_cap : 4096;
        while (cap < need)
            cap *= 2;
        char* q = static_cast<char*>(realloc(m_p, cap));
        if (!q)
            throw std::bad_alloc();
        m_p = q;
        m_cap = cap;
    }

    char* m_p = nullptr;
    size_t m_n = 0;
    size_t m_cap = 0;
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

} // namespace

// ---------------------------------------------------------------- text values

int CVORNxml::getHighlightLength(char* pszText, int nOffset, int nLen)
{
    if (!pszText || nOffset < 0 || nLen <= 0)
        return nLen > 0 ? nLen : 0;
    int total = static_cast<int>(strlen(pszText));
    if (nOffset >= total)
        return 0;
    // The kernel counts the hit in characters; the stored text is UTF-8.
    int bytes = 0;
    for (int chars = 0; chars < nLen && nOffset + bytes < total; ++chars)
        bytes += sequenceLength(static_cast<unsigned char>(pszText[nOffset + bytes]));
    if (nOffset + bytes > total)
        bytes = total - nOffset;

    // A word hyphenated at a line break: the hit runs on over the hyphen and
    // the white space up to the rest of the word.
    const char* start = pszText + nOffset;
    const char* hyphen = strchr(start, '-');
    if (hyphen && hyphen > start && hyphen < start + bytes && isalpha(static_cast<unsigned char>(hyphen[-1]))) {
        const char* p = hyphen + 1;
        while (*p && isSpace(*p) && *p != '\r' && *p != '\n')
            ++p;
        if (*p == '\r' || *p == '\n') {
            while (*p && isSpace(*p))
                ++p;
            bytes += static_cast<int>(p - hyphen);
            if (nOffset + bytes > total)
                bytes = total - nOffset;
        }
    }
    return bytes;
}

int CVORNxml::getPartTextValue(CStringBuffer& textVal, const char* pszFieldName, long nPartNo, bool bHighlight)
{
    CFieldInfo* field = CFieldInfo::getFieldInfo(pszFieldName);
    if (!field)
        return 0;
    if (field->getType() != 1) {
        logError("getPartTextValue", 0, "Internal error - field type number must be 1.\n");
        return 0;
    }
    VdbHandle rc = m_pData ? m_pData->record_control : nullptr;
    VdbHandle cursor = nullptr;
    int status = VdbSetRecordPart(&cursor, rc, static_cast<int>(nPartNo));
    if (!(status & 1)) {
        if (cursor)
            VdbDeleteCursor(cursor);
        return logVornError(status, "CVORNxml::getPartTextValue/VdbSetRecordPart");
    }
    status = VdbSetCursor(&cursor, rc, field->getNumber(), 0, 0);
    if (!(status & 1)) {
        if (cursor)
            VdbDeleteCursor(cursor);
        return logVornError(status, "CVORNxml::getPartTextValue/VdbSetCursor");
    }
    int length = 0, hitCount = 0, paragraphs = 0;
    char* text = nullptr;
    int* hits = nullptr;
    status = VdbGetFieldInfo(cursor, &length, &text, &hitCount, bHighlight ? &hits : nullptr, &paragraphs);
    if (!(status & 1)) {
        VdbDeleteCursor(cursor);
        if (text)
            VdbDeallocate(text);
        return vornError(status, "CVORNxml::getPartTextValue/VdbGetFieldInfo");
    }

    bool ownText = false;  // the marked copy is ours, the kernel's text is not
    if (bHighlight && text && hits && hitCount > 0 && length > 0) {
        static const int kBegin = static_cast<int>(strlen(VORNXML_HIGHLIGHT_BEGIN));
        static const int kEnd = static_cast<int>(strlen(VORNXML_HIGHLIGHT_END));
        CStringBuffer marked(length + hitCount * (kBegin + kEnd) + 1);
        int done = 0;
        for (int h = 0; h < hitCount; ++h) {
            int start = hits[2 * h] - 1;
            // Hits out of order or beyond the text are left unmarked.
            if (start < done || start >= length)
                continue;
            int n = getHighlightLength(text, start, hits[2 * h + 1]);
            logDebug("getPartTextValue", "Highlighting %d chars at postion %d: \"%.*s\"\n", hits[2 * h + 1],
                     hits[2 * h], n, text + start);
            marked.append(text + done, start - done);
            marked.append(VORNXML_HIGHLIGHT_BEGIN, kBegin);
            marked.append(text + start, n);
            marked.append(VORNXML_HIGHLIGHT_END, kEnd);
            done = start + n;
        }
        marked.append(text + done, length - done);
        VdbDeallocate(text);
        length = marked.length();
        text = marked.detach();
        ownText = true;
    }
    if (hits)
        VdbDeallocate(hits);
    VdbDeleteCursor(cursor);

    if (length < 1 && text && *text)
        logDebug("getPartTextValue", "Text value length %d with non-NULL content!\n", length);
    if (!text || length < 1) {
        textVal.clear();
    } else {
        encodeOutput(text, length, textVal);
        textVal.convertLinebreaks();
    }
    if (text) {
        if (ownText)
            free(text);
        else
            VdbDeallocate(text);
    }
    return 1;
}

// ---------------------------------------------------------------- namespaces

void CVORNxml::getFragmentNamsepaces(int nSubTreeRootId, CStringBuffer& strDefs)
{
    strDefs.clear();
    VdbHandle rc = m_pData ? m_pData->record_control : nullptr;
    // Called for one fragment on its own, or by getFragments, which knows the
    // record already.
    CNamespaceContext own;
    CNamespaceContext* ctx = t_pNamespaces && t_pNamespaces->rc == rc ? t_pNamespaces : &own;
    if (!ctx->prefixes && !ctx->defaults)
        return;
    if (ctx->count < 0) {
        ctx->count = 0;
        CFieldInfo* idField = CFieldInfo::getFieldInfo("N_ID", rc);
        if (idField && idField->getNumber() > 0) {
            VdbHandle cursor = nullptr;
            if (VdbSetCursor(&cursor, rc, idField->getNumber(), 0, 0) & 1)
                VdbItemCount(cursor, &ctx->count);
            if (cursor)
                VdbDeleteCursor(cursor);
        } else {
            VdbPartCount(rc, &ctx->count);
        }
    }
    if (!ctx->reader)
        ctx->reader.reset(new CFieldReader(rc));
    CFieldReader& fields = *ctx->reader;
    const int count = ctx->count;
    const bool defaults = ctx->defaults;

    std::unique_ptr<__NSDef> head;
    auto add = [&head](CStringBuffer& prefix) -> __NSDef* {
        __NSDef* d = head ? head->Find(prefix) : nullptr;
        if (d)
            return d;
        d = new __NSDef(prefix);
        if (!head)
            head.reset(d);
        else
            head->SetNext(d);
        return d;
    };

    // A declaration binds the fragment's wrapper only when it sits on the
    // fragment's root: elements below carry their own declarations.
    auto declare = [](__NSDef* d, bool onRoot, CStringBuffer& uri) {
        if (onRoot) {
            d->Declare(uri);
        } else if (!d->hasInner) {
            d->inner.set(uri);
            d->hasInner = true;
        }
    };
    CStringBuffer type(64), nspace(64), name(64), value(256), empty;
    int n = 0;
    for (int i = nSubTreeRootId; i <= count; ++i) {
        long parent = 0;
        if (i > nSubTreeRootId) {
            parent = fields.number("N_PARENT", i);
            if (nSubTreeRootId > 1 && parent < nSubTreeRootId)
                break;
        }
        bool onRoot = parent == nSubTreeRootId;
        // Most nodes have no prefix: the stored bytes tell, unconverted.
        fields.raw("N_NSPACE", i, &n);
        nspace.clear();
        if (n > 0)
            getPhraseValue("N_NSPACE", i, nspace);
        if (nspace.length() == 0 && !defaults)
            continue;
        fields.text("N_TYPE", i, type);
        bool attribute = type.compareNoCase("ATTRIBUTE") == 0;
        if (nspace.length() == 0) {
            // Unprefixed: elements are in the default namespace, and an
            // attribute named xmlns declares it.
            name.clear();
            if (attribute)
                getPhraseValue("N_NAME", i, name);
            if (attribute && name == "xmlns") {
                getPartTextValue(value, "N_TVALUE", i, false);
                declare(add(empty), onRoot, value);
            } else if (type.compareNoCase("ELEMENT") == 0) {
                add(empty);
            }
        } else if (attribute && nspace.compareNoCase("xmlns") == 0) {
            name.clear();
            getPhraseValue("N_NAME", i, name);
            getPartTextValue(value, "N_TVALUE", i, false);
            declare(add(name), onRoot, value);
        } else if (nspace != "xml") {
            // "xml" is bound by XML itself and is never declared.
            add(nspace);
        }
    }

    int unknown = 0;
    for (__NSDef* d = head.get(); d; d = d->next)
        if (!d->declared)
            ++unknown;
    // Declarations in scope come from the ancestors of the fragment's root,
    // the nearest first; an element's attributes directly follow its part.
    long node = nSubTreeRootId;
    while (unknown > 0 && node > 1) {
        long parent = fields.number("N_PARENT", static_cast<int>(node));
        if (parent < 1 || parent >= node)
            break;
        for (int a = static_cast<int>(parent) + 1; a < node && unknown > 0; ++a) {
            fields.text("N_TYPE", a, type);
            if (type.compareNoCase("ATTRIBUTE") != 0)
                break;
            nspace.clear();
            getPhraseValue("N_NSPACE", a, nspace);
            name.clear();
            getPhraseValue("N_NAME", a, name);
            __NSDef* d = nullptr;
            if (nspace.compareNoCase("xmlns") == 0)
                d = head ? head->Find(name) : nullptr;
            else if (nspace.length() == 0 && name == "xmlns")
                d = head ? head->Find(empty) : nullptr;
            if (d && !d->declared) {
                getPartTextValue(value, "N_TVALUE", a, false);
                d->Declare(value);
                --unknown;
            }
        }
        node = parent;
    }

    // An unprefixed name without a default namespace in scope is in no
    // namespace; only prefixes fall back on a declaration further in.
    for (__NSDef* d = head.get(); d; d = d->next)
        if (!d->declared && d->hasInner && d->prefix.length() > 0)
            d->Declare(d->inner);

    int placeholder = 0;
    for (__NSDef* d = head.get(); d; d = d->next) {
        if (d->prefix.length() == 0) {
            // No default namespace in scope needs no declaration.
            if (d->uri.length() > 0)
                strDefs << " xmlns=\"" << d->uri << "\"";
            continue;
        }
        strDefs << " xmlns:" << d->prefix << "=\"";
        if (d->uri.length() > 0) {
            strDefs << d->uri;
        } else {
            strDefs << VORNXML_UNDECLARED_PREFIX_URI;
            strDefs.append(++placeholder);
        }
        strDefs << "\"";
    }
}

// ---------------------------------------------------------------- fragment sets

int CVORNxml::getFragments(int nSearch, int nRecords, const char* xpathFragmentExpression, CStringBuffer& strOut,
                           int nFrom, int nTo, bool bHighlight)
{
    // Taken once: it speaks of this call only.
    const int nHitsSet = m_nFragmentHitsSet;
    m_nFragmentHitsSet = -1;
    filter_data* p = m_pData;
    if (!p)
        return 0;
    VdbHandle savedControl = p->record_control;
    int savedOptions = p->vdb_options;
    void* savedBuffer = p->buffer;
    int savedLength = p->buffer_length;

    VXParserMain parser;
    CStringBuffer msg;
    std::unique_ptr<XPathStatement> tree(parser.Parse(xpathFragmentExpression ? xpathFragmentExpression : "", &msg));
    if (!tree)
        throw new XPathException(msg);

    VdbSaveStatus();
    int nFragments = 0, nFragmentSet = 0;
    if (nHitsSet > 0 && nHitsSet == nSearch) {
        nFragmentSet = nSearch;
        nFragments = nRecords;
    } else {
        VXProcessorMain xpath(getLogger());
        xpath.Begin();
        SearchSet* last = nullptr;
        try {
            xpath.ProcessNode(tree.get(), nSearch);
            last = xpath.ExecuteAll();
        } catch (XPathException*) {
            xpath.End();
            VdbLoadStatus(3);
            throw;
        }
        xpath.End();
        if (!last) {
            VdbLoadStatus(3);
            return 0;
        }
        nFragmentSet = last->GetNumber();
        nFragments = last->GetRecordCount();
    }

    // Records with a prefixed node, and records declaring a default
    // namespace: only their fragments may need namespace declarations. A
    // search that fails (-1) leaves every record to be looked at.
    const int nPrefixSet = searchWithin(nFragmentSet, "N_NSPACE<>\"\"");
    const int nDefaultSet = searchWithin(nFragmentSet, "N_TYPE=ATTRIBUTE AND.T N_NAME=\"xmlns\"");
    CSearchMembers prefixed(nPrefixSet), defaulted(nDefaultSet);

    // The node fields are looked up for the first fragment only.
    for (int& f : m_aNodeFields)
        f = 0;
    m_nFragmentBytes = 0;
    m_nDoctypeField = m_nMetaField = 0;

    // Each fragment is rebuilt into memory, whatever sink the request names.
    p->vdb_options = IEOPT_MEMORY;
    p->buffer = nullptr;
    p->buffer_length = 0;

    // Collected here and handed over once: the text buffer grows in fixed
    // blocks, which would make a large fragment set quadratic to build.
    COutText out;
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?><vornxml:FRAGMENTSET xmlns:vornxml=\"" VORNXML_NAMESPACE_URI
           "\" vornxml:SEARCHSET=\"";
    out += std::to_string(nSearch);
    out += "\" vornxml:RECORDCOUNT=\"";
    out += std::to_string(nRecords);
    out += "\" vornxml:FRAGMENTCOUNT=\"";
    out += std::to_string(nFragments);
    out += "\" >\n";
    // FROM and TO are positions in the query's result; without TO the range
    // runs to its last record (the fragment search may hold fewer records).
    if (nFrom < 1)
        nFrom = 1;

    p->record_control = nullptr;
    VdbCreateRecordControl(&p->record_control);
    VdbHandle rc = p->record_control;
    char base[64] = "";
    int startRid = 0, endRid = 0;
    if (!(VdbGetRecordInSearchRis(rc, nSearch, nFrom, &startRid, base) & 1))
        startRid = 1;
    int set = nSearch, records = 0, hits = 0;
    if ((VdbGetSearch(&set, &records, &hits) & 1) && (nTo < 1 || records < nTo))
        nTo = records;
    bool bAny = (VdbGetRecordInSearchRis(rc, nSearch, nTo, &endRid, base) & 1) != 0;
    logInformation("getFragments", "Fragment set size is %d. Fetching RIS %d..%d\n", nFragments, nFrom, nTo);

    // Records of the fragment search before the range are not loaded: the
    // first one in it is found by bisection (a page far into a large result
    // would otherwise load every record before it).
    int firstPos = 1;
    if (bAny && nFrom > 1 && nFragments > 1) {
        VdbHandle probe = nullptr;
        VdbCreateRecordControl(&probe);
        int lo = 1, hi = nFragments + 1;  // the answer lies in [lo, hi]
        while (lo < hi) {
            int mid = lo + (hi - lo) / 2;
            int rid = 0;
            char db[64] = "";
            if (!(VdbGetRecordInSearchRis(probe, nFragmentSet, mid, &rid, db) & 1))
                break;  // the loop below skips what it cannot load
            if (rid < startRid)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == hi)
            firstPos = lo;
        VdbDeleteRecordControl(probe);
    }

    for (int pos = firstPos; bAny && pos <= nFragments; ++pos) {
        int rid = 0;
        char db[64] = "";
        if (!(VdbGetRecordInSearchRis(rc, nFragmentSet, pos, &rid, db) & 1))
            continue;
        if (rid < startRid)
            continue;
        if (rid > endRid)
            break;
        int* parts = nullptr;
        int n = SearchSet::GetHitTuplesFromRecord(rc, &parts);
        std::string head = "<vornxml:FRAGMENT vornxml:RID=\"" + std::to_string(rid) + "\" vornxml:RIS=\"" +
                           std::to_string(pos) + "\" vornxml:DATABASE=\"" + db + "\"";
        if (n == 0) {
            out += head + "/>\n";
            VfxMemFree(parts);
            continue;
        }
        // The query's search is the hit context, so its hits are highlighted.
        // The record is loaded already and stays cached while the control
        // holds it: it is not swapped for the set's first record in between.
        // Without highlighting no hit is read, and the record is one of the
        // query's search, as the fragment search ran within it.
        if (bHighlight || (p->filter_options & FO_HIGHLIGHT)) {
            int status = VdbGetRecordInSearch(rc, nSearch, rid - 1);
            if (!(status & 1)) {
                logVornError(status, "getFragments/VdbGetRecordInSearch");
                VfxMemFree(parts);
                continue;
            }
        }
        m_bDocPropsRead = false;
        m_nDocNodes = -1;
        m_bReuseDocProps = true;
        CNamespaceContext ns;
        ns.rc = rc;
        ns.prefixes = nPrefixSet < 0 || prefixed.contains(rid);
        ns.defaults = nDefaultSet < 0 || defaulted.contains(rid);
        CNamespaceScope scope(ns);
        for (int k = 0; k < n; ++k) {
            processRecord(parts[k], true);
            if (p->errorcode == VX_OK) {
                char* data = static_cast<char*>(p->buffer);
                int len = p->buffer_length;
                if (strcmp(m_szDocEncoding, "UTF-8") != 0 && data)
                    reEncode(m_szDocEncoding, "UTF-8", &data, &len);
                out += head;
                if (ns.prefixes || ns.defaults) {
                    CStringBuffer defs(256);
                    getFragmentNamsepaces(parts[k], defs);
                    out.append(defs, static_cast<size_t>(defs.length()));
                }
                out += ">\n";
                if (data && len > 0)
                    out.append(data, static_cast<size_t>(len));
                out += "</vornxml:FRAGMENT>\n";
                p->buffer = data;
            }
            free(p->buffer);
            p->buffer = nullptr;
            p->buffer_length = 0;
        }
        m_bReuseDocProps = false;
        VfxMemFree(parts);
    }

    VdbDeleteRecordControl(p->record_control);
    p->record_control = savedControl;
    p->vdb_options = savedOptions;
    p->buffer = savedBuffer;
    p->buffer_length = savedLength;
    out += "</vornxml:FRAGMENTSET>";
    out.handTo(strOut);
    VdbLoadStatus(3);
    return 1;
}
