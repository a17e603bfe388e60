// Helpers of the document import tests: store a document through the kernel
// with the real filter module and read the stored parts back as lines.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "fixture.h"

namespace vxt {

class ImportTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        for (const char* k : {"XML_NAMESPACES", "XML_NOENTITYRESOLVER", "XML_STRICT_VALIDATION", "XML_SCHEMA",
                              "XML_STRICT_SCHEMA"}) {
            unsetenv(k);
            UpdateRCS(k, nullptr);
        }
    }

    // Stores doc from memory into the record of control (a new record when
    // the control holds none yet).
    static Call store(VdbHandle control, const std::string& doc, const std::string& args = "", int options = 0)
    {
        return run(true, "vornxmlput", control, doc, args, options);
    }

    // Stores with the source given some other way than memory.
    static Call storeFrom(VdbHandle control, int vdbOptions, void* buffer, const std::string& args = "",
                          int options = 0)
    {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlput");
        fd.buffer = buffer;
        std::string a = args;
        fd.filter_arguments = a.empty() ? nullptr : const_cast<char*>(a.data());
        fd.arg_length = static_cast<int>(a.size());
        fd.vdb_options = vdbOptions;
        fd.filter_options = options;
        Call c;
        c.status = VdbImport(&fd);
        c.errorcode = fd.errorcode;
        c.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        if (fd.cursor && control)
            VdbDeleteCursor(fd.cursor);
        return c;
    }

    static int rid(VdbHandle control)
    {
        int r = 0;
        VdbRecordInfo(control, 1, nullptr, &r);
        return r;
    }

    static int partCount(VdbHandle control)
    {
        int n = 0;
        VdbRecordInfo(control, 3, nullptr, &n);
        return n;
    }

    // Item p of a record field, or "-" when the node has none.
    static std::string nodeValue(VdbHandle ctl, const char* field, int p)
    {
        int st = 0;
        std::string v = value(ctl, field, 0, p, &st);
        return st == 1 ? v : "-";
    }

    // One line per node part: id|type|ntype|parent|name|nspace|path|value,
    // "-" for a field the part does not have.
    static std::vector<std::string> parts(VdbHandle ctl)
    {
        std::vector<std::string> out;
        int n = partCount(ctl);
        for (int p = 1; p <= n; ++p) {
            std::string line = nodeValue(ctl, "N_ID", p) + "|" + nodeValue(ctl, "N_TYPE", p) + "|" +
                               nodeValue(ctl, "N_NTYPE", p) + "|" + nodeValue(ctl, "N_PARENT", p) + "|" +
                               nodeValue(ctl, "N_NAME", p) + "|" + nodeValue(ctl, "N_NSPACE", p) + "|" +
                               nodeValue(ctl, "N_PATH", p) + "|" + partText(ctl, "N_TVALUE", p);
            out.push_back(line);
        }
        return out;
    }

    // A part's text field, "-" when it has none.
    static std::string partText(VdbHandle ctl, const char* field, int part)
    {
        VdbHandle cur = nullptr;
        std::string out = "-";
        VdbSetRecordPart(&cur, ctl, part);
        if (VdbSetCursor(&cur, ctl, fieldNumber(ctl, field), 0, 0) & 1) {
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

    static std::string property(VdbHandle ctl, const std::string& name)
    {
        int n = itemCount(ctl, "D_PROPNAME");
        for (int i = 1; i <= n; ++i)
            if (value(ctl, "D_PROPNAME", 0, i) == name)
                return value(ctl, "D_PROPVAL", 0, i);
        return "-";
    }

    static std::string blob(VdbHandle ctl, const char* field)
    {
        VdbHandle cur = nullptr;
        std::string out;
        if (VdbSetCursor(&cur, ctl, fieldNumber(ctl, field), 0, 0) & 1) {
            char block[4096];
            int got = 0;
            for (int k = 1; (VdbGetBlobBlock(cur, k, sizeof block, block, &got) & 1) && got > 0; ++k)
                out.append(block, static_cast<size_t>(got));
        }
        if (cur)
            VdbDeleteCursor(cur);
        return out;
    }

    static std::string join(const std::vector<std::string>& lines)
    {
        std::string s;
        for (const std::string& l : lines)
            s += l + "\n";
        return s;
    }
};

} // namespace vxt
