// Fixture of the link tests: a fresh data directory with two XML databases,
// a link database and a plain one; documents stored through the real filter
// module; the link filters called through the kernel; vxlinker and linktidy
// run as programs on the same data directory.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vornapi.h"

namespace vxl {

inline std::string message(int status)
{
    char buf[512];
    int len = sizeof buf;
    VdbMessage(status, buf, &len);
    return std::string(buf, static_cast<size_t>(len > 0 ? len : 0));
}

inline std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Control {
    VdbHandle h = nullptr;
    explicit Control(const char* base = nullptr)
    {
        VdbCreateRecordControl(&h);
        if (base)
            VdbSetBase(h, base, 2);
    }
    ~Control()
    {
        if (h)
            VdbDeleteRecordControl(h);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    operator VdbHandle() const { return h; }
};

struct Call {
    int status = 0;
    int errorcode = 0;
    std::string errortext;
    std::string output;
};

struct Ran {
    int exitCode = -1;
    std::string out;
};

// One target part of a link record.
struct Target {
    std::string db, name, url;
    bool operator==(const Target& o) const { return db == o.db && name == o.name && url == o.url; }
};
inline std::ostream& operator<<(std::ostream& os, const Target& t)
{
    return os << "{" << t.db << "," << t.name << "," << t.url << "}";
}

class LinkTest : public ::testing::Test {
protected:
    std::string dir;

    static std::string makeTempDir(const char* prefix)
    {
        std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        char* d = mkdtemp(buf.data());
        return d ? d : "";
    }

    static void removeDir(const std::string& d)
    {
        if (d.rfind("/tmp/vxl_", 0) == 0) {
            std::string cmd = "rm -rf '" + d + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }

    void SetUp() override
    {
        dir = makeTempDir("vxl_data_");
        ASSERT_FALSE(dir.empty());
        setenv("VDBS_DATA", dir.c_str(), 1);
        setenv("VDBS_SYNC", "off", 1);
        setenv("VDBS_SIF", dir.c_str(), 1);
        for (const char* k : {"VDBS_LANGUAGE", "VDBS_CHARS", "XML_LOG", "XML_NOLINKS", "XML_LINK_DB", "VDBS_FILTERS",
                              "VORNRCS"}) {
            unsetenv(k);
            UpdateRCS(k, nullptr);
        }
        setLinks(true);
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
        ASSERT_EQ(1, VdbCreateBase("DOCS", "xml")) << message(-1);
        ASSERT_EQ(1, VdbCreateBase("OTHER", "xml")) << message(-1);
        ASSERT_EQ(1, VdbCreateBase("XML_LINK_DB", "link")) << message(-1);
        std::string design = dir + "/plain.design";
        std::ofstream(design) << "TITLE phrase\nBODY text\n";
        ASSERT_EQ(1, VdbCreateBase("PLAIN", design.c_str())) << message(-1);
    }

    void TearDown() override
    {
        VdbStopVorn(0);
        removeDir(dir);
        for (const char* k : {"XML_LINKS", "XML_NOLINKS", "XML_LINK_DB", "VDBS_LANGUAGE"})
            unsetenv(k);
    }

    // Links on: XML_LINKS=1 without XML_NOLINKS, as the module, vxlinker and
    // linktidy all read it.
    static void setLinks(bool on)
    {
        unsetenv("XML_NOLINKS");
        if (on)
            setenv("XML_LINKS", "1", 1);
        else
            unsetenv("XML_LINKS");
    }

    static Call run(bool import, const char* filter, VdbHandle control, const std::string& input,
                    const std::string& args = "", int vdbOptions = IEOPT_MEMORY | EXPORT_ALLOC)
    {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", filter);
        std::string in = input;
        fd.buffer = in.empty() ? nullptr : const_cast<char*>(in.data());
        fd.buffer_length = static_cast<int>(in.size());
        std::string a = args;
        fd.filter_arguments = a.empty() ? nullptr : const_cast<char*>(a.data());
        fd.arg_length = static_cast<int>(a.size());
        fd.vdb_options = vdbOptions;
        Call c;
        c.status = import ? VdbImport(&fd) : VdbExport(&fd);
        c.errorcode = fd.errorcode;
        c.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        if (fd.buffer && fd.buffer != in.data()) {
            c.output.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
            free(fd.buffer);
        }
        return c;
    }

    // Stores an XML document as a new record; identity "" lets the store
    // make one. Returns the record's rid.
    static int store(const char* base, const std::string& url, const std::string& xml, const std::string& identity = "")
    {
        Control c(base);
        std::string args = "URL=" + url + "\n";
        if (!identity.empty())
            args += "IDENTITY=" + identity + "\n";
        Call r = run(true, "vornxmlput", c, xml, args, IEOPT_MEMORY);
        EXPECT_EQ(1, r.status) << url << ": " << r.errortext;
        int rid = 0;
        VdbRecordInfo(c, 1, nullptr, &rid);
        return rid;
    }

    static int storeBlob(const char* base, const std::string& url, const std::string& data)
    {
        Control c(base);
        Call r = run(true, "vornxmlputblob", c, data, "URL=" + url + "\n", IEOPT_MEMORY);
        EXPECT_EQ(1, r.status) << url << ": " << r.errortext;
        int rid = 0;
        VdbRecordInfo(c, 1, nullptr, &rid);
        return rid;
    }

    static Call onRecord(const char* filter, const char* base, int rid, int vdbOptions = IEOPT_MEMORY | EXPORT_ALLOC)
    {
        Control c(base);
        EXPECT_EQ(1, VdbGetRecordInBase(c, rid)) << message(-1);
        return run(false, filter, c, "", "", vdbOptions);
    }

    static Call relink(const char* base, int rid) { return onRecord("vornxmlrelink", base, rid, 0); }
    static Call getLinks(const char* base, int rid) { return onRecord("vornxmlgetlinks", base, rid); }

    static int fieldNumber(VdbHandle ctl, const char* name)
    {
        int num = 0, type = 0, flags = 0;
        VdbCheckField(ctl, name, &num, &type, &flags);
        return num;
    }

    // A value of a field, in part `part` (0: the main part).
    static std::string value(VdbHandle ctl, const char* name, int part = 0)
    {
        VdbHandle cur = nullptr;
        int st = 1;
        if (part > 0)
            st = VdbSetRecordPart(&cur, ctl, part);
        if (st & 1)
            st = VdbSetCursor(&cur, ctl, fieldNumber(ctl, name), 0, 0);
        char buf[1024];
        int len = 0;
        if (st & 1)
            st = VdbGetLine(cur, buf, &len, sizeof buf - 1);
        if (cur)
            VdbDeleteCursor(cur);
        return st == 1 ? std::string(buf, static_cast<size_t>(len)) : std::string();
    }

    static std::string identityOf(const char* base, int rid)
    {
        Control c(base);
        if (!(VdbGetRecordInBase(c, rid) & 1))
            return "";
        return value(c, "D_ID");
    }

    // The link record of an identity: exists, CHECKTHIS, DB, URL, targets.
    struct LinkRecord {
        bool exists = false;
        std::string checkThis, db, url;
        std::vector<Target> targets;
    };
    static LinkRecord linkRecord(const std::string& identity, const char* linkDb = "XML_LINK_DB")
    {
        LinkRecord out;
        Control c(linkDb);
        int rid = 0;
        if (VdbCheckRecordName(c, &rid, identity.c_str()) != VDB_NAMEEXISTS)
            return out;
        out.exists = true;
        out.checkThis = value(c, "CHECKTHIS");
        out.db = value(c, "DB");
        out.url = value(c, "URL");
        int parts = 0;
        VdbPartCount(c, &parts);
        for (int p = 1; p <= parts; ++p)
            out.targets.push_back({value(c, "TO_DB", p), value(c, "TO_NAME", p), value(c, "TO_URL", p)});
        return out;
    }

    static int recordCount(const char* base)
    {
        int n = -1;
        VdbBaseInfo(base, 2, nullptr, &n);
        return n;
    }

    static void deleteRecord(const char* base, int rid)
    {
        Control c(base);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid)) << message(-1);
        ASSERT_EQ(1, VdbDeleteRecordInBase(c, nullptr)) << message(-1);
    }

    // Runs a program with the test's environment and collects its standard
    // output (standard error goes along).
    static Ran program(const std::string& path, const std::vector<std::string>& args)
    {
        Ran r;
        int pipefd[2];
        if (pipe(pipefd) != 0)
            return r;
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipefd[1], 1);
            dup2(pipefd[1], 2);
            close(pipefd[0]);
            close(pipefd[1]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(path.c_str()));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(pipefd[1]);
        char buf[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
            r.out.append(buf, static_cast<size_t>(n));
        close(pipefd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    static Ran vxlinker(const std::vector<std::string>& args) { return program(VXLINKER, args); }
    static Ran linktidy(const std::vector<std::string>& args) { return program(LINKTIDY, args); }
};

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string l;
    while (std::getline(s, l))
        out.push_back(l);
    return out;
}

inline bool contains(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

} // namespace vxl
