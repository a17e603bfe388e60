// Test fixture: a fresh data directory and an open session per test.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vornapi.h"

namespace kt {

inline std::string message(int status) {
    char buf[512];
    int len = sizeof buf;
    VdbMessage(status, buf, &len);
    return std::string(buf, static_cast<size_t>(len));
}

inline std::string makeTempDir() {
    char tmpl[] = "/tmp/vdbs_test_XXXXXX";
    char* d = mkdtemp(tmpl);
    return d ? d : "";
}

inline void removeDir(const std::string& d) {
    if (d.size() > 15 && d.compare(0, 15, "/tmp/vdbs_test_") == 0) {
        std::string cmd = "rm -rf '" + d + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

// Record controls and cursors freed at scope end.
struct Control {
    VdbHandle h = nullptr;
    Control() { VdbCreateRecordControl(&h); }
    ~Control() {
        if (h) VdbDeleteRecordControl(h);
    }
    operator VdbHandle() const { return h; }
};

class KernelTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        dir = makeTempDir();
        ASSERT_FALSE(dir.empty());
        setenv("VDBS_DATA", dir.c_str(), 1);
        setenv("VDBS_SYNC", "normal", 1);
        unsetenv("VDBS_LANGUAGE");
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << message(-1);
    }
    void TearDown() override {
        VdbStopVorn(0);
        removeDir(dir);
    }

    static int ccl(const std::string& cmd, int* set = nullptr) {
        int code = 0;
        int st = VdbExecuteCcl(cmd.c_str(), &code);
        if (set) *set = code;
        return st;
    }

    static int field(VdbHandle ctl, const char* name) {
        int num = 0, type = 0, flags = 0;
        VdbCheckField(ctl, name, &num, &type, &flags);
        return num;
    }

    // Stores a record given in the record text form into base; returns its rid.
    static int store(const char* base, const std::string& text) {
        Control c;
        EXPECT_EQ(1, VdbSetBase(c, base, 2));
        VdbHandle cur = nullptr;
        EXPECT_EQ(1, VdbSetCursor(&cur, c, 0, 0, 0));
        int a, b, d;
        EXPECT_EQ(1, VdbPutRecordBuffer(cur, text.data(), static_cast<int>(text.size()), &a, &b, &d)) << message(-1);
        int rid = 0;
        EXPECT_EQ(1, VdbPutRecord(c, &rid)) << message(-1);
        return rid;
    }

    // Reads one value: item > 0 of a record field, or the first item of a
    // part-scoped field in part.
    static std::string get(VdbHandle ctl, const char* name, int part, int item, int* status = nullptr) {
        VdbHandle cur = nullptr;
        int f = field(ctl, name);
        int st;
        if (part > 0) {
            VdbSetRecordPart(&cur, ctl, part);
            st = VdbSetCursor(&cur, ctl, f, 0, item);
        } else {
            st = VdbSetCursor(&cur, ctl, f, 0, item);
        }
        char buf[65536];
        int len = 0;
        if (st & 1) st = VdbGetLine(cur, buf, &len, sizeof buf);
        if (cur) VdbDeleteCursor(cur);
        if (status) *status = st;
        return (st == 1) ? std::string(buf, static_cast<size_t>(len)) : std::string();
    }

    static int recordCount(const char* base) {
        int n = -1;
        char text[256];
        VdbBaseInfo(base, 2, text, &n);
        return n;
    }

    // Rids of the last search, in order.
    static std::vector<int> lastRids() {
        int set = 0, recs = 0, hits = 0;
        std::vector<int> out;
        if (!(VdbGetSearch(&set, &recs, &hits) & 1)) return out;
        Control c;
        for (int i = 1; i <= recs; ++i) {
            int rid = 0;
            char name[64];
            if (VdbGetRecordInSearchRis(c, set, i, &rid, name) & 1) out.push_back(rid);
        }
        return out;
    }
};

}  // namespace kt
