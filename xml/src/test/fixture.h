// Fixture of the filter tests: a fresh data directory and kernel session per
// test, bases of three designs, the filter module and the probe module
// loaded by the kernel, and helpers that call filters and read records back.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vornapi.h"

namespace vxt {

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

inline bool fileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Owns a record control.
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

// Outcome of one filter call.
struct Call {
    int status = 0;
    int errorcode = 0;
    std::string errortext;
    std::string output; // what the filter handed back in buffer
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::stringstream s(output);
        std::string l;
        while (std::getline(s, l))
            out.push_back(l);
        return out;
    }
};

class FilterTest : public ::testing::Test {
protected:
    std::string dir;    // data directory
    std::string logDir; // VDBS_LOG

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
        if (d.rfind("/tmp/vxf_", 0) == 0) {
            std::string cmd = "rm -rf '" + d + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }

    void SetUp() override
    {
        dir = makeTempDir("vxf_data_");
        logDir = makeTempDir("vxf_log_");
        ASSERT_FALSE(dir.empty());
        ASSERT_FALSE(logDir.empty());
        setenv("VDBS_DATA", dir.c_str(), 1);
        setenv("VDBS_SYNC", "normal", 1);
        setenv("VDBS_LOG", logDir.c_str(), 1);
        setenv("VDBS_FILTERS", (std::string(VORNXML_MODULE) + ":" + VORNXML_PROBE).c_str(), 1);
        for (const char* k : {"VDBS_LANGUAGE", "VDBS_CHARS", "XML_LOG", "XML_LINKS", "XML_NOLINKS", "XML_LINK_DB"}) {
            unsetenv(k);
            UpdateRCS(k, nullptr);
        }
        UpdateRCS("VDBS_LOG", nullptr);
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
        ASSERT_EQ(1, VdbCreateBase("DOCS", "xml")) << message(-1);
        ASSERT_EQ(1, VdbCreateBase("PLAIN", design("plain", "TITLE phrase\nBODY text\n").c_str())) << message(-1);
        // Not the document model: fewer fields, other numbers.
        ASSERT_EQ(1, VdbCreateBase("SMALL", design("small", "N_NAME phrase\nD_PROPVAL phrase\nD_PROPNAME phrase\n"
                                                            "N_TYPE phrase\nD_ID phrase recname\n")
                                                 .c_str()))
            << message(-1);
    }

    void TearDown() override
    {
        VdbStopVorn(0);
        removeDir(dir);
        removeDir(logDir);
    }

    std::string design(const std::string& name, const std::string& text)
    {
        std::string path = dir + "/" + name + ".design";
        std::ofstream(path) << text;
        return path;
    }

    static int fieldNumber(VdbHandle ctl, const char* name)
    {
        int num = 0, type = 0, flags = 0;
        VdbCheckField(ctl, name, &num, &type, &flags);
        return num;
    }

    // Runs a filter through the kernel on the record in `control` (which may
    // be null). The input is handed over in memory; extra filter arguments
    // are appended to the argument text as given.
    static Call run(bool import, const char* filter, VdbHandle control, const std::string& input,
                    const std::string& args = "", int filterOptions = 0)
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
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        fd.filter_options = filterOptions;
        Call c;
        c.status = import ? VdbImport(&fd) : VdbExport(&fd);
        c.errorcode = fd.errorcode;
        c.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        if (fd.buffer && fd.buffer != in.data()) {
            c.output.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
            free(fd.buffer);
        }
        if (fd.cursor && control)
            VdbDeleteCursor(fd.cursor);
        return c;
    }

    static Call probe(VdbHandle control, const std::string& script, bool import = false, const std::string& args = "")
    {
        return run(import, "vornxmlprobe", control, script, args);
    }

    // A new record of base filled by the probe script and stored; its rid.
    static int storeWith(const char* base, const std::string& script)
    {
        Control c(base);
        // Lookups in the script may fail; what was written is checked by reading it back.
        Call r = probe(c, "status\t1\n" + script, true);
        EXPECT_EQ(1, r.status) << r.errortext << " / " << r.output;
        int rid = 0;
        VdbRecordInfo(c, 1, nullptr, &rid);
        return rid;
    }

    // Loads record rid of base into a control the caller owns.
    static void load(Control& c, const char* base, int rid)
    {
        ASSERT_EQ(1, VdbSetBase(c, base, 2)) << message(-1);
        ASSERT_EQ(1, VdbGetRecordInBase(c, rid)) << message(-1);
    }

    // Item `item` of a record field (part 0), or with part > 0 item `item`
    // of a part-scoped field in that part. Status in *status.
    static std::string value(VdbHandle ctl, const char* name, int part, int item, int* status = nullptr)
    {
        VdbHandle cur = nullptr;
        int st = 1;
        if (part > 0)
            st = VdbSetRecordPart(&cur, ctl, part);
        if (st & 1)
            st = VdbSetCursor(&cur, ctl, fieldNumber(ctl, name), 0, item);
        std::vector<char> buf(70000);
        int len = 0;
        if (st & 1)
            st = VdbGetLine(cur, buf.data(), &len, static_cast<int>(buf.size()));
        if (cur)
            VdbDeleteCursor(cur);
        if (status)
            *status = st;
        return st == 1 ? std::string(buf.data(), static_cast<size_t>(len)) : std::string();
    }

    // The whole text value of a text field in a part, as reconstruction reads it.
    static std::string text(VdbHandle ctl, const char* name, int part)
    {
        VdbHandle cur = nullptr;
        VdbSetRecordPart(&cur, ctl, part);
        std::string out;
        if (VdbSetCursor(&cur, ctl, fieldNumber(ctl, name), 0, 0) & 1) {
            int len = 0;
            char* t = nullptr;
            if ((VdbGetFieldInfo(cur, &len, &t, nullptr, nullptr, nullptr) & 1) && t) {
                out.assign(t, static_cast<size_t>(len));
                VdbDeallocate(t);
            }
        }
        if (cur)
            VdbDeleteCursor(cur);
        return out;
    }

    static int itemCount(VdbHandle ctl, const char* name)
    {
        VdbHandle cur = nullptr;
        int n = -1;
        if (VdbSetCursor(&cur, ctl, fieldNumber(ctl, name), 0, 0) & 1)
            VdbItemCount(cur, &n);
        if (cur)
            VdbDeleteCursor(cur);
        return n;
    }

    static int blobSize(VdbHandle ctl, const char* name)
    {
        VdbHandle cur = nullptr;
        int n = -1;
        if (VdbSetCursor(&cur, ctl, fieldNumber(ctl, name), 0, 0) & 1)
            VdbGetBlobSize(cur, &n);
        if (cur)
            VdbDeleteCursor(cur);
        return n;
    }

    static std::string logFile(const std::string& d, const std::string& name)
    {
        return d + "/" + name + "_" + std::to_string(getpid()) + ".log";
    }
};

} // namespace vxt
