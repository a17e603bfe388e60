// Designs: the list of fields of a base.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace vdbs {

struct FieldDef {
    int num = 0;
    std::string name;
    int type = 2;
    bool part = false;     // part field
    bool recname = false;  // record name field
};

struct Design {
    std::string name;
    std::vector<FieldDef> fields;       // fields[num-1]
    std::map<std::string, int> byName;  // upper-case name (and aliases) -> number
    std::map<std::string, int> aliases; // upper-case alias -> number
    int recnameField = 0;
    bool isXml = false;

    const FieldDef* field(int num) const {
        return num >= 1 && num <= static_cast<int>(fields.size()) ? &fields[num - 1] : nullptr;
    }
    int find(const std::string& name) const;
    // Values of these fields live inside each part (part fields, text, blobs).
    bool partScoped(int num) const {
        const FieldDef* f = field(num);
        return f && (f->part || f->type == 1 || f->type == 20);
    }
    bool isBlob(int num) const {
        const FieldDef* f = field(num);
        return f && f->type == 20;
    }
    int fieldCount() const { return static_cast<int>(fields.size()); }

    std::string serialize() const;
    static bool parse(const std::string& text, const std::string& name, Design& out, std::string& err);
};

// The designs that ship with the kernel, or a design file.
bool makeDesign(const std::string& spec, Design& out, std::string& err);

}  // namespace vdbs
