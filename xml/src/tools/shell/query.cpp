// query and update: XPath through the filter module's query operations.
#include <stdlib.h>
#include <string.h>

#include <set>

#include "vxsh.h"

namespace vxsh {

namespace {

// Filter arguments are lines: a line break inside an expression would start
// another argument, and is white space to XPath anyway.
std::string oneLine(const std::string& s)
{
    std::string o = s;
    for (char& c : o)
        if (c == '\n' || c == '\r')
            c = ' ';
    return o;
}

int positiveNumber(const Args& a, const char* name)
{
    std::string v = a.get(name);
    char* end = nullptr;
    long n = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || n < 1 || n > 1000000000)
        throw UsageError(std::string("--") + name + " needs a number of 1 or more, not " + quoted(v));
    return static_cast<int>(n);
}

// The set number a result element or fragment set names.
int setOf(const std::string& out)
{
    size_t p = out.find("SEARCHSET=\"");
    return p == std::string::npos ? 0 : atoi(out.c_str() + p + 11);
}

struct Counts {
    int set = 0;
    int records = 0;
    int hits = 0;
};

Counts countsOf(int set)
{
    Counts c;
    c.set = set;
    if (set > 0 && !(VdbGetSearch(&c.set, &c.records, &c.hits) & 1))
        c.records = c.hits = 0;
    return c;
}

// The shell's line after a search, as for CCL's FIND.
void printSetLine(const Counts& c)
{
    printf("set %d: %s, %s\n", c.set, plural(c.records, "record", "records").c_str(),
           plural(c.hits, "hit", "hits").c_str());
}

std::string runQuery(const std::string& xpath, int* set)
{
    FilterCall q = runExport("vornxmlquery", nullptr, "XPATHQUERY=" + oneLine(xpath) + "\n");
    if (!q.ok())
        throw Failure("XPath " + quoted(xpath) + ": " + q.reason());
    *set = setOf(q.output);
    return q.output;
}

}  // namespace

int cmdQuery(Context& ctx, const Args& a)
{
    const std::string& base = a.positional[0];
    const std::string& xpath = a.positional[1];
    bool frags = a.has("fragments");
    for (const char* o : {"from", "to", "highlight"})
        if (a.has(o) && !frags)
            throw UsageError(std::string("--") + o + " works on fragments: give --fragments XPATH as well");
    if (frags && a.has("count"))
        throw UsageError("--count and --fragments do not go together");
    if (frags && a.get("fragments").empty())
        throw UsageError("--fragments needs an XPath expression");
    if (xpath.empty())
        throw UsageError("the XPath expression is empty");
    int from = a.has("from") ? positiveNumber(a, "from") : 0;
    int to = a.has("to") ? positiveNumber(a, "to") : 0;
    if (from && to && to < from)
        throw UsageError("--to " + std::to_string(to) + " comes before --from " + std::to_string(from));

    ctx.open();
    ctx.requireXmlBase(base);
    ctx.openBase(base);
    std::string args = "XPATHQUERY=" + oneLine(xpath) + "\n";
    if (frags) {
        args += "XPATHFRAGMENTS=" + oneLine(a.get("fragments")) + "\n";
        if (from)
            args += "FROM=" + std::to_string(from) + "\n";
        if (to)
            args += "TO=" + std::to_string(to) + "\n";
    }
    FilterCall c = runExport("vornxmlquery", nullptr, args, a.has("highlight") ? FO_HIGHLIGHT : 0);
    if (!c.ok()) {
        // Say which of the two expressions failed: the query alone tells.
        if (frags && runExport("vornxmlquery", nullptr, "XPATHQUERY=" + oneLine(xpath) + "\n").ok())
            throw Failure("--fragments " + quoted(a.get("fragments")) + ": " + c.reason());
        throw Failure("XPath " + quoted(xpath) + ": " + c.reason());
    }
    // A fragment expression that fails leaves the query itself successful.
    if (frags && !c.errortext.empty())
        throw Failure("--fragments " + quoted(a.get("fragments")) + ": " + c.errortext);
    Counts n = countsOf(setOf(c.output));
    if (a.has("count")) {
        printf("%s in %s\n", plural(n.hits, "node", "nodes").c_str(),
               plural(n.records, "document", "documents").c_str());
        if (ctx.inShell)
            printSetLine(n);
        return 0;
    }
    fwrite(c.output.data(), 1, c.output.size(), stdout);
    if (c.output.empty() || c.output.back() != '\n')
        fputc('\n', stdout);
    if (ctx.inShell)
        printSetLine(n);
    return 0;
}

int cmdUpdate(Context& ctx, const Args& a)
{
    const std::string& base = a.positional[0];
    const std::string& xpath = a.positional[1];
    const std::string& value = a.positional[2];
    if (xpath.empty())
        throw UsageError("the XPath expression is empty");
    if (value.find('\0') != std::string::npos)
        throw UsageError("VALUE holds a NUL character");
    ctx.open();
    ctx.requireXmlBase(base);
    ctx.openBase(base);

    // The sets made here are the command's own: the session's are put back.
    struct StatusGuard {
        StatusGuard() { VdbSaveStatus(); }
        ~StatusGuard() { VdbLoadStatus(3); }
    } guard;

    // Which of the nodes selected can take a value: text and attributes.
    int set = 0;
    runQuery(xpath, &set);
    Counts n = countsOf(set);
    int eligible = 0, others = 0;
    std::set<int> changed;
    std::set<std::string> otherTypes;
    {
        Record r;
        int fType = 0;
        for (int i = 1; i <= n.records; ++i) {
            int rid = 0;
            if (!(VdbGetRecordInSearchRis(r.handle(), set, i, &rid, nullptr) & 1))
                continue;
            if (!fType)
                VdbCheckField(r.handle(), "N_TYPE", &fType, nullptr, nullptr);
            int part = 0;
            while (VdbGetNextHitWord(r.handle(), &part, nullptr, nullptr, nullptr, nullptr, nullptr) == VDB_OK) {
                std::string type;
                VdbHandle cur = nullptr;
                if (part > 0 && (VdbSetCursor(&cur, r.handle(), fType, 0, part) & 1)) {
                    char buf[64];
                    int len = 0;
                    if (VdbGetLine(cur, buf, &len, sizeof buf - 1) == 1)
                        type.assign(buf, static_cast<size_t>(len));
                }
                if (cur)
                    VdbDeleteCursor(cur);
                if (strcasecmp(type.c_str(), "TEXT") == 0 || strcasecmp(type.c_str(), "ATTRIBUTE") == 0) {
                    ++eligible;
                    changed.insert(rid);
                } else {
                    ++others;
                    for (char& ch : type)
                        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
                    otherTypes.insert(type.empty() ? "document" : type);
                }
            }
        }
    }
    if (eligible == 0) {
        if (others == 0) {
            printf("No node matches %s; nothing was changed\n", quoted(xpath).c_str());
            return 0;
        }
        std::string what;
        if (otherTypes.size() == 1) {
            const std::string& t = *otherTypes.begin();
            what = plural(others, (t + " node").c_str(), (t + " nodes").c_str());
        } else {
            std::string list;
            for (const std::string& t : otherTypes)
                list += (list.empty() ? "" : ", ") + t;
            what = plural(others, "node", "nodes") + " (" + list + ")";
        }
        throw Failure("XPath " + quoted(xpath) + " selects " + what +
                      " but no text or attribute node; select the text, as in " + xpath + "/text()");
    }

    FilterCall u = runExport("vornxmlupdate", nullptr, "XPATHQUERY=" + oneLine(xpath) + "\n", 0, nullptr,
                             value.c_str());
    if (!u.ok())
        throw Failure("update of " + quoted(xpath) + " failed: " + u.reason());

    // The text a changed document was stored with no longer says what its
    // nodes say: drop it, so that get rebuilds the document from the nodes.
    for (int rid : changed) {
        Record r;
        r.load(base, rid);
        int f = 0;
        if (!(VdbCheckField(r.handle(), "D_XMLDOC", &f, nullptr, nullptr) & 1) || r.blobSize("D_XMLDOC") <= 0)
            continue;
        VdbHandle cur = nullptr;
        int rc = VdbSetCursor(&cur, r.handle(), f, 0, 0);
        if (rc & 1)
            rc = VdbDeleteItem(cur);
        if (cur)
            VdbDeleteCursor(cur);
        if (!(rc & 1))
            throw Failure("the values are updated, but the stored text of record " + std::to_string(rid) +
                          " could not be dropped: " + message(rc));
    }
    printf("Updated %s in %s", plural(eligible, "value", "values").c_str(),
           plural(static_cast<long long>(changed.size()), "document", "documents").c_str());
    if (others)
        printf(" (%s left alone: only text and attribute nodes take a value)",
               plural(others, "other node", "other nodes").c_str());
    printf("\n");
    return 0;
}

}  // namespace vxsh
