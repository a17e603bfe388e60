// get, delete, links: one stored document found by identity or URL.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vxsh.h"

namespace vxsh {

namespace {

// Where get writes: standard output, or a file that appears only when the
// whole document was written (a temporary beside it is renamed at the end).
class Sink {
public:
    explicit Sink(const std::string& path) : m_path(path)
    {
        if (m_path.empty() || m_path == "-") {
            m_file = stdout;
            return;
        }
        m_tmp = m_path + ".vxsh-XXXXXX";
        int fd = mkstemp(&m_tmp[0]);
        if (fd < 0)
            throw Failure("cannot write " + m_path + ": " + strerror(errno));
        m_file = fdopen(fd, "wb");
        if (!m_file) {
            int e = errno;
            close(fd);
            unlink(m_tmp.c_str());
            throw Failure("cannot write " + m_path + ": " + strerror(e));
        }
    }
    ~Sink() { discard(); }
    FILE* file() const { return m_file; }
    void commit()
    {
        if (m_file == stdout) {
            if (fflush(stdout) != 0 || ferror(stdout))
                throw Failure(std::string("cannot write to standard output: ") + strerror(errno));
            m_file = nullptr;
            return;
        }
        bool bad = ferror(m_file) != 0;
        int e = errno;
        if (fclose(m_file) != 0 && !bad) {
            bad = true;
            e = errno;
        }
        m_file = nullptr;
        if (bad || rename(m_tmp.c_str(), m_path.c_str()) != 0) {
            if (!bad)
                e = errno;
            unlink(m_tmp.c_str());
            throw Failure("cannot write " + m_path + ": " + strerror(e));
        }
        m_tmp.clear();
    }
    void discard()
    {
        if (m_file && m_file != stdout)
            fclose(m_file);
        if (m_file == stdout)
            fflush(stdout);
        m_file = nullptr;
        if (!m_tmp.empty())
            unlink(m_tmp.c_str());
        m_tmp.clear();
    }

private:
    std::string m_path;
    std::string m_tmp;
    FILE* m_file = nullptr;
};

// Copies the non-XML document's bytes to out.
void copyBlob(Record& r, FILE* out, const DocRef& d)
{
    int number = 0;
    VdbCheckField(r.handle(), "DAV_NONXMLBLOB", &number, nullptr, nullptr);
    VdbHandle cur = nullptr;
    int rc = VdbSetCursor(&cur, r.handle(), number, 0, 0);
    if (!(rc & 1))
        throw Failure("cannot read " + d.describe() + ": " + message(rc));
    static char block[65536];
    int len = 0;
    for (int k = 1;; ++k) {
        rc = VdbGetBlobBlock(cur, k, sizeof block, block, &len);
        if (rc == VDB_EOF || len <= 0)
            break;
        if (!(rc & 1)) {
            VdbDeleteCursor(cur);
            throw Failure("cannot read " + d.describe() + ": " + message(rc));
        }
        if (fwrite(block, 1, static_cast<size_t>(len), out) != static_cast<size_t>(len))
            break;  // reported by the sink
    }
    VdbDeleteCursor(cur);
}

}  // namespace

int cmdGet(Context& ctx, const Args& a)
{
    const std::string& base = a.positional[0];
    if (a.has("output") && a.get("output").empty())
        throw UsageError("-o needs a file name");
    checkDocumentArgs(a);
    ctx.open();
    DocRef d = findDocument(ctx, base, a, "get");
    Record r;
    r.load(base, d.rid);
    bool nonXml = r.blobSize("DAV_NONXMLBLOB") > 0;
    if (nonXml && a.has("rebuild"))
        throw Failure("cannot rebuild the " + d.describe() + ": it is a non-XML document");
    Sink out(a.get("output"));
    if (nonXml) {
        copyBlob(r, out.file(), d);
    } else {
        FilterCall c = runExport("vornxmlget", r.handle(), "", a.has("rebuild") ? EXPORT_BLOCK : 0, out.file());
        if (!c.ok()) {
            out.discard();
            throw Failure("cannot retrieve the " + d.describe() + ": " + c.reason());
        }
    }
    out.commit();
    return 0;
}

int cmdDelete(Context& ctx, const Args& a)
{
    const std::string& base = a.positional[0];
    checkDocumentArgs(a);
    ctx.open();
    DocRef d = findDocument(ctx, base, a, "delete");
    Record r;
    r.load(base, d.rid);
    std::string id = r.field("D_ID");
    std::string url = r.field("D_URLALIAS");
    int rc = VdbDeleteRecordInBase(r.handle(), nullptr);
    if (!(rc & 1))
        throw Failure("cannot delete the " + d.describe() + ": " + message(rc));
    std::string what = url.empty() ? "record " + std::to_string(d.rid) : url;
    printf("Deleted %s from base %s", what.c_str(), base.c_str());
    // Its link record would otherwise linger until vxlinker or linktidy
    // notice that the document is gone.
    std::string links = ctx.linkBase();
    bool linkBaseExists = !links.empty() && (VdbBaseInfo(links.c_str(), 1, nullptr, nullptr) & 1);
    if (linkBaseExists && !id.empty()) {
        int lrid = findRecord(ctx, links, "ID", id);
        if (lrid) {
            Record lr;
            lr.load(links, lrid);
            rc = VdbDeleteRecordInBase(lr.handle(), nullptr);
            if (!(rc & 1)) {
                printf("\n");
                throw Failure("the document is deleted, but its link record in " + links +
                              " is not: " + message(rc));
            }
            printf(", and its link record from %s", links.c_str());
        }
    }
    printf("\n");
    return 0;
}

int cmdLinks(Context& ctx, const Args& a)
{
    const std::string& base = a.positional[0];
    checkDocumentArgs(a);
    ctx.open();
    DocRef d = findDocument(ctx, base, a, "links");
    Record r;
    r.load(base, d.rid);
    std::string id = r.field("D_ID");
    FilterCall c = runExport("vornxmlgetlinks", r.handle(), "");
    if ((c.status & 1) && c.errorcode == 3)
        throw Failure("links are not recorded in this setup: set XML_LINKS=1 (XML_LINK_DB names the link base)");
    if (!c.ok())
        throw Failure("cannot read the links of the " + d.describe() + ": " + c.reason());
    // "n\n" and n lines "TO_DB\tTO_NAME\tTO_URL\n".
    std::vector<std::vector<std::string>> rows;
    size_t p = c.output.find('\n');
    size_t pos = p == std::string::npos ? c.output.size() : p + 1;
    while (pos < c.output.size()) {
        size_t e = c.output.find('\n', pos);
        std::string line = c.output.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? c.output.size() : e + 1;
        std::vector<std::string> cells;
        size_t s = 0;
        for (;;) {
            size_t t = line.find('\t', s);
            cells.push_back(line.substr(s, t == std::string::npos ? std::string::npos : t - s));
            if (t == std::string::npos)
                break;
            s = t + 1;
        }
        cells.resize(3);
        rows.push_back({cells[2], cells[0], cells[1]});
    }
    // A link record still marked for checking has links vxlinker has not seen.
    bool pending = false;
    std::string links = ctx.linkBase();
    if (!links.empty() && !id.empty() && (VdbBaseInfo(links.c_str(), 1, nullptr, nullptr) & 1)) {
        int lrid = findRecord(ctx, links, "ID", id);
        if (lrid) {
            Record lr;
            lr.load(links, lrid);
            pending = lr.field("CHECKTHIS") == "1";
        }
    }
    if (rows.empty())
        printf("No link targets recorded for the %s\n", d.describe().c_str());
    else
        printTable(stdout, {"TARGET URL", "BASE", "IDENTITY"}, rows);
    if (pending)
        fprintf(stderr, "vxsh links: note: this document was stored after vxlinker last ran; run vxlinker to "
                        "resolve its links\n");
    return 0;
}

}  // namespace vxsh
