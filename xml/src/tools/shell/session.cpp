// The kernel session of a vxsh run: data directory, login, CCL, bases and
// documents found by identity or URL.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "vxsh.h"

namespace vxsh {

std::string message(int status)
{
    char buf[512];
    int len = sizeof buf;
    VdbMessage(status, buf, &len);
    std::string m(buf, static_cast<size_t>(len > 0 ? len : 0));
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ' || m.back() == '.'))
        m.pop_back();
    return m;
}

std::string quoted(const std::string& value)
{
    std::string v = value.size() > 200 ? value.substr(0, 200) + "..." : value;
    for (char& c : v)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    return "'" + v + "'";
}

std::string plural(long long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string absolutePath(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    std::string p = path;
    while (p.compare(0, 2, "./") == 0)
        p.erase(0, 2);
    return std::string(cwd) + (p.empty() || p == "." ? "" : "/" + p);
}

// A CCL value ends at its closing quote when a blank, ')' or the end follows;
// take the first quote character for which no such place lies inside.
std::string cclValue(const std::string& value)
{
    for (char q : {'\'', '"', '&'}) {
        bool fits = true;
        for (size_t i = 0; i < value.size() && fits; ++i) {
            if (value[i] != q)
                continue;
            char next = i + 1 < value.size() ? value[i + 1] : 0;
            if (next == 0 || next == ' ' || next == '\t' || next == '\r' || next == '\n' || next == ')')
                fits = false;
        }
        if (fits)
            return q + value + q;
    }
    throw Failure("the value " + quoted(value) + " cannot be searched for: it holds every CCL quote followed by a blank");
}

// ---------------------------------------------------------------- Context

namespace {

bool envSet(const char* name)
{
    const char* v = getenv(name);
    return v != nullptr;
}

}  // namespace

bool askSecret(const std::string& prompt, std::string& out)
{
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct termios old;
    bool restore = tcgetattr(fd, &old) == 0;
    if (restore) {
        struct termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    if (write(fd, prompt.data(), prompt.size()) < 0) {
    }
    out.clear();
    char c;
    bool got = false;
    while (read(fd, &c, 1) == 1) {
        got = true;
        if (c == '\n' || c == '\r')
            break;
        out += c;
    }
    if (restore)
        tcsetattr(fd, TCSAFLUSH, &old);
    if (write(fd, "\n", 1) < 0) {
    }
    close(fd);
    return got;
}

namespace {

bool haveTerminal()
{
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return isatty(STDIN_FILENO) || isatty(STDERR_FILENO);
}

}  // namespace

Context::~Context()
{
    close();
}

void Context::open()
{
    if (m_open)
        return;
    struct stat st;
    std::string file = dataDir + "/vdbs.db";
    if (stat(dataDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Failure("no data directory at " + dataDir + " (make one with 'vxsh init', or name it with --data DIR)");
    if (stat(file.c_str(), &st) != 0)
        throw Failure(dataDir + " is not a data directory: it has no vdbs.db (make one with 'vxsh init')");
    // The kernel, and the filter it runs, read the directory from here.
    UpdateRCS("VDBS_DATA", dataDir.c_str());
    const char* pw = getenv("VDBS_PASSWORD");
    std::string password = pw ? pw : "";
    int rc = VdbStartVorn(user.c_str(), password.c_str(), 9, 4096);
    if (rc == VDB_LOGIN && !envSet("VDBS_PASSWORD") && haveTerminal()) {
        if (askSecret("Password for " + user + ": ", password))
            rc = VdbStartVorn(user.c_str(), password.c_str(), 9, 4096);
    }
    if (rc == VDB_LOGIN)
        throw Failure("login as " + user + " to " + dataDir + " failed: wrong user or password" +
                      (envSet("VDBS_PASSWORD") ? " (from VDBS_PASSWORD)" : " (set VDBS_PASSWORD)"));
    if (!(rc & 1))
        throw Failure("cannot open the data directory " + dataDir + ": " + message(rc));
    m_open = true;
}

void Context::close()
{
    if (m_open) {
        VdbStopVorn(0);
        m_open = false;
    }
}

int Context::ccl(const std::string& command, int* set)
{
    int code = 0;
    int rc = VdbExecuteCcl(command.c_str(), &code);
    if (set)
        *set = code;
    return rc;
}

int Context::cclOrThrow(const std::string& command, const std::string& what)
{
    int set = 0;
    int rc = ccl(command, &set);
    if (!(rc & 1))
        throw Failure(what + ": " + message(rc));
    return set;
}

std::string Context::word(const char* canonical)
{
    char w[17];
    snprintf(w, sizeof w, "%-16s", canonical);
    int len = sizeof w;
    if (!(VdbShellSymbol(w, &len) & 1))
        return canonical;
    return std::string(w, static_cast<size_t>(len));
}

std::string Context::baseDesign(const std::string& name, bool* isXml)
{
    char text[256] = "";
    int flag = 0;
    int rc = VdbBaseInfo(name.c_str(), 1, text, &flag);
    if (rc == VDB_NOBASE)
        throw Failure("no base named " + quoted(name) + " (see 'vxsh bases')");
    if (!(rc & 1))
        throw Failure("cannot read base " + quoted(name) + ": " + message(rc));
    if (isXml)
        *isXml = flag == 1;
    return text;
}

void Context::requireXmlBase(const std::string& name)
{
    bool xml = false;
    std::string design = baseDesign(name, &xml);
    if (!xml)
        throw Failure("base " + name + " holds no XML documents: its design is " + design);
}

void Context::openBase(const std::string& name)
{
    baseDesign(name);
    cclOrThrow(word("BAS") + " " + name, "cannot open base " + name);
    currentBase = name;
}

std::string Context::linkBase() const
{
    const char* no = QueryRCS("XML_NOLINKS", 7);
    const char* yes = QueryRCS("XML_LINKS", 7);
    if ((no && atoi(no) != 0) || !yes || atoi(yes) == 0)
        return "";
    const char* db = QueryRCS("XML_LINK_DB", 7);
    return db && *db ? db : "XML_LINK_DB";
}

// ---------------------------------------------------------------- documents

std::string DocRef::describe() const
{
    return "document with " + by + " " + quoted(value) + " in base " + base;
}

int findRecord(Context& ctx, const std::string& base, const char* field, const std::string& value, int* count)
{
    if (count)
        *count = 0;
    std::string cond = std::string(field) + "=" + cclValue(value);
    VdbSaveStatus();
    int rid = 0;
    std::string failure;
    int rc = ctx.ccl(ctx.word("BAS") + " " + base);
    int set = 0;
    if (rc & 1)
        rc = ctx.ccl(ctx.word("FIN") + " " + cond, &set);
    if (!(rc & 1)) {
        failure = message(rc);
    } else if (set > 0) {
        int records = 0, hits = 0;
        if (VdbGetSearch(&set, &records, &hits) & 1) {
            if (count)
                *count = records;
            if (records > 0) {
                VdbHandle ctl = nullptr;
                VdbCreateRecordControl(&ctl);
                rc = VdbGetRecordInSearchRis(ctl, set, 1, &rid, nullptr);
                if (!(rc & 1)) {
                    failure = message(rc);
                    rid = 0;
                }
                VdbDeleteRecordControl(ctl);
            }
        }
    }
    VdbLoadStatus(3);
    if (!failure.empty())
        throw Failure("cannot search base " + base + " for " + field + " " + quoted(value) + ": " + failure);
    return rid;
}

void checkDocumentArgs(const Args& args)
{
    bool byId = args.has("id"), byUrl = args.has("url");
    if (byId == byUrl)
        throw UsageError(byId ? "give either --id or --url, not both" : "missing --id ID or --url URL");
    if (args.get(byId ? "id" : "url").empty())
        throw UsageError(std::string("--") + (byId ? "id" : "url") + " needs a value");
}

DocRef findDocument(Context& ctx, const std::string& base, const Args& args, const char* cmd)
{
    checkDocumentArgs(args);
    bool byId = args.has("id");
    DocRef d;
    d.base = base;
    d.by = byId ? "identity" : "URL";
    d.value = args.get(byId ? "id" : "url");
    ctx.requireXmlBase(base);
    int count = 0;
    d.rid = findRecord(ctx, base, byId ? "D_ID" : "D_URLALIAS", d.value, &count);
    if (!d.rid)
        throw Failure("no " + d.describe());
    if (count > 1)
        fprintf(stderr, "vxsh %s: warning: %d documents have %s %s in base %s; taking record %d\n", cmd, count,
                d.by.c_str(), quoted(d.value).c_str(), base.c_str(), d.rid);
    return d;
}

// ---------------------------------------------------------------- Record

Record::Record()
{
    int rc = VdbCreateRecordControl(&m_ctl);
    if (!(rc & 1))
        throw Failure("cannot make a record control: " + message(rc));
}

Record::~Record()
{
    if (m_ctl)
        VdbDeleteRecordControl(m_ctl);
}

void Record::bindNew(const std::string& base)
{
    int rc = VdbSetBase(m_ctl, base.c_str(), 2);
    if (!(rc & 1))
        throw Failure("cannot use base " + base + ": " + message(rc));
}

void Record::load(const std::string& base, int rid)
{
    bindNew(base);
    int rc = VdbGetRecordInBase(m_ctl, rid);
    if (!(rc & 1))
        throw Failure("cannot load record " + std::to_string(rid) + " of base " + base + ": " + message(rc));
}

std::string Record::field(const char* name, int item)
{
    int number = 0;
    if (!(VdbCheckField(m_ctl, name, &number, nullptr, nullptr) & 1))
        return "";
    VdbHandle cur = nullptr;
    std::string out;
    if (VdbSetCursor(&cur, m_ctl, number, 0, item) & 1) {
        char buf[4096];
        int len = 0;
        if (VdbGetLine(cur, buf, &len, sizeof buf) == 1)
            out.assign(buf, static_cast<size_t>(len));
    }
    if (cur)
        VdbDeleteCursor(cur);
    return out;
}

long long Record::blobSize(const char* name)
{
    int number = 0;
    if (!(VdbCheckField(m_ctl, name, &number, nullptr, nullptr) & 1))
        return 0;
    VdbHandle cur = nullptr;
    int size = 0;
    if (VdbSetCursor(&cur, m_ctl, number, 0, 0) & 1)
        VdbGetBlobSize(cur, &size);
    if (cur)
        VdbDeleteCursor(cur);
    return size;
}

// ---------------------------------------------------------------- filters

std::string FilterCall::reason() const
{
    if (!errortext.empty())
        return errortext;
    int s = (status & 1) ? errorcode : status;
    return message(s);
}

FilterCall runExport(const char* name, VdbHandle control, const std::string& args, int filterOptions, FILE* file,
                     const char* input)
{
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    fd.record_control = control;
    snprintf(fd.filter_name, sizeof fd.filter_name, "%s", name);
    std::string a = args;
    fd.filter_arguments = a.empty() ? nullptr : &a[0];
    fd.arg_length = static_cast<int>(a.size());
    fd.filter_options = filterOptions;
    if (file) {
        fd.vdb_options = IEOPT_FILE;
        fd.buffer = file;
    } else if (input) {
        fd.vdb_options = IEOPT_MEMORY;
        fd.buffer = const_cast<char*>(input);
        fd.buffer_length = static_cast<int>(strlen(input));
    } else {
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    }
    FilterCall c;
    c.status = VdbExport(&fd);
    c.errorcode = fd.errorcode;
    c.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
    while (!c.errortext.empty() && (c.errortext.back() == '\n' || c.errortext.back() == ' '))
        c.errortext.pop_back();
    if (!file && !input && (fd.vdb_options & IEOPT_MEMORY) && fd.buffer) {
        if (fd.buffer_length > 0)
            c.output.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
        free(fd.buffer);
    }
    if (fd.cursor)
        VdbDeleteCursor(fd.cursor);
    return c;
}

// ---------------------------------------------------------------- output

bool stderrIsTerminal()
{
    static int tty = isatty(STDERR_FILENO) ? 1 : 0;
    return tty == 1;
}

void printTable(FILE* out, const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                const std::vector<bool>& numeric)
{
    std::vector<size_t> width(header.size(), 0);
    for (size_t i = 0; i < header.size(); ++i)
        width[i] = header[i].size();
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], r[i].size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string s;
        for (size_t i = 0; i < cells.size() && i < width.size(); ++i) {
            bool right = i < numeric.size() && numeric[i];
            bool last = i + 1 == cells.size();
            std::string pad(width[i] - cells[i].size(), ' ');
            s += right ? pad + cells[i] : cells[i] + (last ? "" : pad);
            if (!last)
                s += "  ";
        }
        fprintf(out, "%s\n", s.c_str());
    };
    line(header);
    for (const auto& r : rows)
        line(r);
}

}  // namespace vxsh
