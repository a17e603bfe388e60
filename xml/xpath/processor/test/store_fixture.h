// A fresh kernel data directory with an open base of the xml design, and
// small node trees stored through the record text form.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vornapi.h"

namespace qt {

inline std::string kernelMessage(int status)
{
    char buf[512];
    int len = sizeof buf;
    VdbMessage(status, buf, &len);
    return std::string(buf, static_cast<size_t>(len > 0 ? len : 0));
}

// One node part: parent part (0 for the document level), type name, local
// name, prefix and text value.
struct Node {
    int parent;
    std::string type;
    std::string name;
    std::string nspace;
    std::string value;
};

// Nodes in document order; part numbers are positions from 1.
class Doc {
public:
    int elem(int parent, const std::string& name, const std::string& ns = "")
    {
        return add({parent, "ELEMENT", name, ns, ""});
    }
    int attr(int parent, const std::string& name, const std::string& value, const std::string& ns = "")
    {
        return add({parent, "ATTRIBUTE", name, ns, value});
    }
    int text(int parent, const std::string& value)
    {
        return add({parent, "TEXT", parent > 0 ? nodes[static_cast<size_t>(parent - 1)].name : "", "", value});
    }
    int comment(int parent, const std::string& value) { return add({parent, "COMMENT", "", "", value}); }
    int pi(int parent, const std::string& target, const std::string& data)
    {
        return add({parent, "PROCESSING_INSTRUCTION", target, "", data});
    }
    int add(const Node& n)
    {
        nodes.push_back(n);
        return static_cast<int>(nodes.size());
    }
    std::vector<Node> nodes;
    // Document properties (D_PROPNAME, D_PROPVAL), as the store sets them.
    std::vector<std::pair<std::string, std::string>> properties = {{"vornxmlversion", "3.0-1"},
                                                                    {"xmlencoding", "UTF-8"}};
};

inline int typeNumber(const std::string& type)
{
    static const std::map<std::string, int> numbers = {
        {"ELEMENT", 1}, {"ATTRIBUTE", 2}, {"TEXT", 3}, {"CDATA_SECTION", 4}, {"ENTITY_REFERENCE", 5},
        {"PROCESSING_INSTRUCTION", 7}, {"COMMENT", 8}, {"DOCUMENT_TYPE", 10}, {"XML_DECL", 0}};
    auto it = numbers.find(type);
    return it == numbers.end() ? 0 : it->second;
}

class StoreTest : public ::testing::Test {
protected:
    std::string dir;
    const char* base = "xdb";

    static std::string makeTempDir()
    {
        char tmpl[] = "/tmp/vdbs_test_XXXXXX";
        char* d = mkdtemp(tmpl);
        return d ? d : "";
    }

    void SetUp() override
    {
        dir = makeTempDir();
        ASSERT_FALSE(dir.empty());
        setenv("VDBS_DATA", dir.c_str(), 1);
        setenv("VDBS_SYNC", "off", 1);
        unsetenv("VDBS_FILTERS");
        unsetenv("VDBS_LANGUAGE");
        unsetenv("VDBS_CHARS");
        ASSERT_EQ(1, VdbStartVorn("warden", "", 9, 4096)) << kernelMessage(-1);
        ASSERT_EQ(1, VdbCreateBase(base, "xml")) << kernelMessage(-1);
        ASSERT_EQ(1, ccl(std::string("BASE ") + base)) << kernelMessage(-1);
    }
    void TearDown() override
    {
        VdbStopVorn(0);
        if (dir.compare(0, 15, "/tmp/vdbs_test_") == 0) {
            std::string cmd = "rm -rf '" + dir + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }

    static int ccl(const std::string& cmd, int* set = nullptr)
    {
        int code = 0;
        int st = VdbExecuteCcl(cmd.c_str(), &code);
        if (set)
            *set = code;
        return st;
    }

    static int fieldNumber(VdbHandle ctl, const char* name)
    {
        int num = 0, type = 0, flags = 0;
        VdbCheckField(ctl, name, &num, &type, &flags);
        return num;
    }

    // Stores an XML document through the store filter as a new record;
    // returns its rid (0 when the store failed, with the reason in error).
    int storeXml(const std::string& xml, const std::string& url, std::string* error = nullptr)
    {
        VdbHandle ctl = nullptr;
        VdbCreateRecordControl(&ctl);
        VdbSetBase(ctl, base, 2);
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = ctl;
        snprintf(fd.filter_name, sizeof fd.filter_name, "vornxmlput");
        std::string doc = xml, args = "URL=" + url + "\n";
        fd.buffer = &doc[0];
        fd.buffer_length = static_cast<int>(doc.size());
        fd.filter_arguments = &args[0];
        fd.arg_length = static_cast<int>(args.size());
        fd.vdb_options = IEOPT_MEMORY;
        fd.filter_options = FO_NEWRECORD;
        int st = VdbImport(&fd);
        int rid = 0;
        if (st == 1)
            VdbRecordInfo(ctl, 1, nullptr, &rid);
        else if (error)
            *error = fd.errortext;
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
        VdbDeleteRecordControl(ctl);
        return rid;
    }

    // Stores the nodes as one record; returns its rid.
    int store(const Doc& doc)
    {
        VdbHandle ctl = nullptr;
        EXPECT_EQ(1, VdbCreateRecordControl(&ctl));
        EXPECT_EQ(1, VdbSetBase(ctl, base, 2));
        int fId = fieldNumber(ctl, "N_ID"), fParent = fieldNumber(ctl, "N_PARENT"),
            fType = fieldNumber(ctl, "N_TYPE"), fNType = fieldNumber(ctl, "N_NTYPE"),
            fName = fieldNumber(ctl, "N_NAME"), fNs = fieldNumber(ctl, "N_NSPACE"),
            fValue = fieldNumber(ctl, "N_TVALUE");
        std::string text;
        int fPropName = fieldNumber(ctl, "D_PROPNAME"), fPropVal = fieldNumber(ctl, "D_PROPVAL");
        for (size_t i = 0; i < doc.properties.size(); ++i) {
            std::string item = std::to_string(i + 1);
            text += std::to_string(fPropName) + "F^" + item + "P" + doc.properties[i].first + "^\n";
            text += std::to_string(fPropVal) + "F^" + item + "P" + doc.properties[i].second + "^\n";
        }
        int part = 0;
        for (const Node& n : doc.nodes) {
            ++part;
            std::string p = std::to_string(part);
            text += "\n\n" + p + "G^\n";
            auto line = [&](int f, const std::string& v) {
                text += std::to_string(f) + "F^" + p + "P" + v + "^\n";
            };
            line(fId, p);
            if (n.parent > 0 || n.type == "ELEMENT")
                line(fParent, std::to_string(n.parent));
            line(fType, n.type);
            line(fNType, std::to_string(typeNumber(n.type)));
            if (!n.name.empty())
                line(fName, n.name);
            line(fNs, n.nspace);
            if (n.type != "ELEMENT") {
                text += std::to_string(fValue) + "F^\n";
                text += std::to_string(n.value.size()) + "L" + n.value + "^\n";
            }
        }
        VdbHandle cur = nullptr;
        EXPECT_EQ(1, VdbSetCursor(&cur, ctl, 0, 0, 0));
        int a, b, c;
        EXPECT_EQ(1, VdbPutRecordBuffer(cur, text.data(), static_cast<int>(text.size()), &a, &b, &c))
            << kernelMessage(-1);
        int rid = 0;
        EXPECT_EQ(1, VdbPutRecord(ctl, &rid)) << kernelMessage(-1);
        VdbDeleteCursor(cur);
        VdbDeleteRecordControl(ctl);
        return rid;
    }
};

}  // namespace qt
