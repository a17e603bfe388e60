// Fixture of the client library tests: a fresh data directory and kernel
// session per test with an XML base and a base without the document model,
// the real filter module (found beside the kernel) and the test's probe
// filters; helpers for files, records, descriptors and threads.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vornapi.h"
#include "vxapidefs.h"

namespace vxc {

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

inline void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

inline int countEntries(const char* dir)
{
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// Open descriptors and threads of this process.
struct Resources {
    int fds = 0;
    int threads = 0;
    static Resources now()
    {
        Resources r;
        r.fds = countEntries("/proc/self/fd") - 1; // the directory being read
        r.threads = countEntries("/proc/self/task");
        return r;
    }
    // Threads end a moment after they are joined in some libraries; give
    // them that moment before comparing.
    static Resources settled(const Resources& baseline)
    {
        Resources r = now();
        for (int i = 0; i < 200 && (r.fds > baseline.fds || r.threads > baseline.threads); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            r = now();
        }
        return r;
    }
};

// Owns a record control bound to a base.
struct Control {
    VdbHandle h = nullptr;
    explicit Control(const char* base = "DOCS")
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

// Collects what a logger receives (from any thread).
struct LogSink {
    static inline std::mutex mu;
    static inline std::vector<std::pair<int, std::string>> lines;
    static void write(EVXLogLevel level, const char* text)
    {
        std::lock_guard<std::mutex> lock(mu);
        lines.emplace_back(static_cast<int>(level), text);
    }
    static void clear()
    {
        std::lock_guard<std::mutex> lock(mu);
        lines.clear();
    }
    // Lines of exactly that level containing the text.
    static int count(int level, const std::string& part)
    {
        std::lock_guard<std::mutex> lock(mu);
        int n = 0;
        for (auto& l : lines)
            if (l.first == level && l.second.find(part) != std::string::npos)
                ++n;
        return n;
    }
    static std::string all()
    {
        std::lock_guard<std::mutex> lock(mu);
        std::string s;
        for (auto& l : lines)
            s += std::to_string(l.first) + " " + l.second;
        return s;
    }
};

// Collects what an export callback receives.
struct Collector {
    std::mutex mu;
    std::string data;
    int calls = 0;
    static int take(void* p, int n, void* self)
    {
        auto* c = static_cast<Collector*>(self);
        std::lock_guard<std::mutex> lock(c->mu);
        c->data.append(static_cast<const char*>(p), static_cast<size_t>(n));
        ++c->calls;
        return n;
    }
};

// Hands a text to an import callback in pieces of at most `piece` bytes.
struct Feeder {
    std::string text;
    size_t pos = 0;
    size_t piece = 8192;
    int calls = 0;
    static int give(void* p, int room, void* self)
    {
        auto* f = static_cast<Feeder*>(self);
        ++f->calls;
        size_t n = f->text.size() - f->pos;
        if (n > f->piece)
            n = f->piece;
        if (n > static_cast<size_t>(room))
            n = static_cast<size_t>(room);
        memcpy(p, f->text.data() + f->pos, n);
        f->pos += n;
        return static_cast<int>(n);
    }
};

class ClientTest : public ::testing::Test {
protected:
    std::string dir;  // data directory
    std::string work; // files of the test

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
        if (d.rfind("/tmp/vxc_", 0) == 0) {
            std::string cmd = "rm -rf '" + d + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }

    void SetUp() override
    {
        dir = makeTempDir("vxc_data_");
        work = makeTempDir("vxc_work_");
        ASSERT_FALSE(dir.empty());
        ASSERT_FALSE(work.empty());
        setenv("VDBS_DATA", dir.c_str(), 1);
        setenv("VDBS_SYNC", "normal", 1);
        setenv("VDBS_LOG", work.c_str(), 1);
        setenv("VDBS_FILTERS", VXCLIENT_PROBE, 1);
        for (const char* k : {"VDBS_LANGUAGE", "VDBS_CHARS", "XML_LOG", "XML_LINKS", "XML_NOLINKS", "XML_LINK_DB",
                              "XML_NAMESPACES", "XML_NOENTITYRESOLVER", "XML_STRICT_VALIDATION", "XML_SCHEMA",
                              "XML_STRICT_SCHEMA"}) {
            unsetenv(k);
            UpdateRCS(k, nullptr);
        }
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
        ASSERT_EQ(1, VdbCreateBase("DOCS", "xml")) << message(-1);
        std::string design = dir + "/plain.design";
        writeFile(design, "TITLE phrase\nBODY text\n");
        ASSERT_EQ(1, VdbCreateBase("PLAIN", design.c_str())) << message(-1);
        LogSink::clear();
    }

    void TearDown() override
    {
        VdbStopVorn(0);
        removeDir(dir);
        removeDir(work);
    }

    std::string file(const std::string& name, const std::string& data)
    {
        std::string path = work + "/" + name;
        writeFile(path, data);
        return path;
    }

    static int rid(VdbHandle control)
    {
        int r = 0;
        VdbRecordInfo(control, 1, nullptr, &r);
        return r;
    }

    static int fieldNumber(VdbHandle ctl, const char* name)
    {
        int num = 0, type = 0, flags = 0;
        VdbCheckField(ctl, name, &num, &type, &flags);
        return num;
    }

    // Item 1 of a record field, "" when it has none.
    static std::string value(VdbHandle ctl, const char* name)
    {
        VdbHandle cur = nullptr;
        int st = VdbSetCursor(&cur, ctl, fieldNumber(ctl, name), 0, 1);
        std::vector<char> buf(4096);
        int len = 0;
        if (st & 1)
            st = VdbGetLine(cur, buf.data(), &len, static_cast<int>(buf.size()));
        if (cur)
            VdbDeleteCursor(cur);
        return st == 1 ? std::string(buf.data(), static_cast<size_t>(len)) : std::string();
    }

    static std::string blob(VdbHandle ctl, const char* field)
    {
        VdbHandle cur = nullptr;
        std::string out;
        if (VdbSetCursor(&cur, ctl, fieldNumber(ctl, field), 0, 0) & 1) {
            std::vector<char> block(8192);
            int got = 0;
            for (int k = 1; (VdbGetBlobBlock(cur, k, static_cast<int>(block.size()), block.data(), &got) & 1) &&
                            got > 0;
                 ++k)
                out.append(block.data(), static_cast<size_t>(got));
        }
        if (cur)
            VdbDeleteCursor(cur);
        return out;
    }

    // Loads record r of DOCS into a fresh control.
    static void load(Control& c, int r) { ASSERT_EQ(1, VdbGetRecordInBase(c, r)) << message(-1); }

    static std::string lastError(int rc = 0)
    {
        char buf[512] = "";
        VXGetErrorMsg(rc, nullptr, buf);
        return buf;
    }
};

} // namespace vxc
