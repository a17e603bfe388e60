// Fixture of the export tests: records written in the shape the shredder
// gives them (node parts through the record writer), and calls of the
// retrieve filter and of the rebuild probe with every kind of sink.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fixture.h"

namespace vxt {

// One node part. parent -1 leaves N_PARENT out (as for nodes outside any
// element); an empty ns or value is not written.
struct XNode {
    std::string type;
    std::string name;
    std::string ns;
    int parent;
    std::string value;
};

// A document record: properties, declarations, raw text, identity, nodes.
struct XDoc {
    std::vector<std::pair<std::string, std::string>> props{{"vornxmlversion", "3.0-1"}};
    std::string meta;    // D_META
    std::string doctype; // D_DOCTYPE
    std::string raw;     // D_XMLDOC
    std::string alias;   // D_URLALIAS
    std::string id;      // D_ID
    std::vector<XNode> nodes;
};

// Escapes a value for a probe script line.
inline std::string scriptValue(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == ';') {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

class ExportTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        setenv("VDBS_FILTERS",
               (std::string(VORNXML_MODULE) + ":" + VORNXML_PROBE + ":" + VORNXML_EXPORT_PROBE).c_str(), 1);
        ASSERT_EQ(1, VdbExecuteCcl("BASE DOCS", nullptr)) << message(-1);
    }

    // The script that writes doc into a record, in the order the store
    // writes it: properties, declarations before the first part header, then
    // one part per node, then names and raw text.
    static std::string script(const XDoc& doc)
    {
        std::string s;
        for (const auto& p : doc.props)
            s += "setprop\t" + scriptValue(p.first) + "\t" + scriptValue(p.second) + "\n";
        if (!doc.meta.empty())
            s += "put\tD_META\t1\t" + scriptValue(doc.meta) + "\n";
        if (!doc.doctype.empty())
            s += "putblock\tD_DOCTYPE\t1\t" + scriptValue(doc.doctype) + "\n";
        for (size_t k = 0; k < doc.nodes.size(); ++k) {
            const XNode& n = doc.nodes[k];
            std::string i = std::to_string(k + 1);
            s += "part\t" + i + "\n";
            s += "putint\tN_ID\t" + i + "\t" + i + "\n";
            if (n.parent >= 0)
                s += "putint\tN_PARENT\t" + i + "\t" + std::to_string(n.parent) + "\n";
            s += "put\tN_TYPE\t" + i + "\t" + n.type + "\n";
            if (!n.name.empty())
                s += "put\tN_NAME\t" + i + "\t" + scriptValue(n.name) + "\n";
            if (!n.ns.empty())
                s += "put\tN_NSPACE\t" + i + "\t" + scriptValue(n.ns) + "\n";
            if (!n.value.empty())
                s += "put\tN_TVALUE\t" + i + "\t" + scriptValue(n.value) + "\n";
        }
        if (!doc.alias.empty())
            s += "setfield\tD_URLALIAS\t1\t" + scriptValue(doc.alias) + "\n";
        if (!doc.id.empty())
            s += "setfield\tD_ID\t1\t" + scriptValue(doc.id) + "\n";
        if (!doc.raw.empty())
            s += "blob\tD_XMLDOC\t" + scriptValue(doc.raw) + "\n";
        return s;
    }

    static int store(const XDoc& doc) { return storeWith("DOCS", script(doc)); }

    struct Get {
        int status = 0;
        int errorcode = 0;
        std::string errortext;
        std::string output;
        int bufferLength = 0;
        bool sameBuffer = false; // buffer still the caller's
        bool terminated = false; // a zero byte follows the text in a block the filter allocated
        int filterOptions = 0;
    };

    // Runs `filter` as an export on record rid of DOCS (rid 0: a control of
    // the open base without a record; rid -1: no record control).
    static Get exportCall(const char* filter, int rid, const std::string& args, int filterOptions, int vdbOptions,
                          void* buffer = nullptr, int bufferLength = 0)
    {
        Control c;
        VdbHandle rc = nullptr;
        if (rid >= 0) {
            VdbSetBase(c, "DOCS", 2);
            if (rid > 0) {
                EXPECT_EQ(1, VdbGetRecordInBase(c, rid)) << message(-1);
            }
            rc = c;
        }
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = rc;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", filter);
        std::string a = args;
        fd.filter_arguments = a.empty() ? nullptr : const_cast<char*>(a.data());
        fd.arg_length = static_cast<int>(a.size());
        fd.filter_options = filterOptions;
        fd.vdb_options = vdbOptions;
        fd.buffer = buffer;
        fd.buffer_length = bufferLength;
        Get g;
        g.status = VdbExport(&fd);
        g.errorcode = fd.errorcode;
        g.errortext.assign(fd.errortext, strnlen(fd.errortext, sizeof fd.errortext));
        g.bufferLength = fd.buffer_length;
        g.sameBuffer = fd.buffer == buffer;
        g.filterOptions = fd.filter_options;
        if (fd.buffer && (vdbOptions & IEOPT_MEMORY) && !(vdbOptions & (IEOPT_FILENAME | IEOPT_FILE)) &&
            fd.buffer_length > 0)
            g.output.assign(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length));
        if (fd.buffer && fd.buffer != buffer) {
            g.terminated = fd.buffer_length >= 0 && static_cast<const char*>(fd.buffer)[fd.buffer_length] == 0;
            free(fd.buffer);
        }
        if (fd.cursor && rc)
            VdbDeleteCursor(fd.cursor);
        return g;
    }

    // vornxmlget into memory the filter allocates.
    static Get get(int rid, int filterOptions = 0, const std::string& args = "")
    {
        return exportCall("vornxmlget", rid, args, filterOptions, IEOPT_MEMORY | EXPORT_ALLOC);
    }

    // The document rebuilt from its parts, into filter memory.
    static std::string rebuilt(int rid)
    {
        Get g = get(rid, EXPORT_BLOCK);
        EXPECT_EQ(1, g.status) << g.errortext;
        return g.output;
    }

    // The rebuild probe (reconstruction as the fragment builder calls it).
    static Get rebuild(int rid, const std::string& args, int filterOptions = 0, int vdbOptions = IEOPT_MEMORY)
    {
        return exportCall("vornxmlrebuild", rid, args, filterOptions, vdbOptions);
    }
};

} // namespace vxt
