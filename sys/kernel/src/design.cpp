#include "design.h"

#include <fstream>
#include <sstream>

#include "util.h"

namespace vdbs {
namespace {

// The document record model: main part fields, node fields, properties.
const char* kXmlDesign =
    "D_RECNAME phrase\n"
    "D_PROPNAME phrase\n"
    "D_PROPVAL phrase\n"
    "D_XMLDOC blob\n"
    "N_ID integer\n"
    "N_PARENT integer\n"
    "N_SEQPATH phrase\n"
    "N_PATH phrase\n"
    "N_SEQNO integer\n"
    "N_NSPACE phrase\n"
    "N_NAME phrase\n"
    "N_TYPE phrase\n"
    "N_MIME phrase\n"
    "N_ENCODING phrase part\n"
    "N_CVALUE phrase part\n"
    "N_TVALUE text part\n"
    "N_NVALUE phrase part\n"
    "N_DVALUE text part\n"
    "D_META text\n"
    "D_DOCTYPE text\n"
    "D_DOCSIZE integer\n"
    "D_DOCNAME phrase\n"
    "D_URLBASE phrase\n"
    "D_URLALIAS phrase\n"
    "N_NTYPE integer\n"
    "N_SIBNO integer\n"
    "A_ITEM text\n"
    "D_ID phrase recname\n"
    "DAV_NONXMLBLOB blob\n"
    "D_DOCTEXT text\n"
    "alias N_NAMESPACE N_NSPACE\n";

const char* kLinkDesign =
    "ID phrase recname\n"
    "CHECKTHIS phrase\n"
    "DB phrase\n"
    "URL phrase\n"
    "TO_DB phrase part\n"
    "TO_NAME phrase part\n"
    "TO_URL phrase part\n";

bool typeFromWord(const std::string& w, int& type) {
    static const std::pair<const char*, int> names[] = {
        {"TEXT", 1}, {"PHRASE", 2}, {"INTEGER", 9}, {"NUMBER", 10}, {"DATE", 11}, {"TIME", 12}, {"BLOB", 20}};
    std::string u = upper(w);
    for (auto& n : names)
        if (u == n.first) {
            type = n.second;
            return true;
        }
    char* end = nullptr;
    long v = strtol(w.c_str(), &end, 10);
    if (end && *end == 0 && !w.empty()) {
        if (v == 1 || v == 2 || (v >= 9 && v <= 12) || v == 20) {
            type = static_cast<int>(v);
            return true;
        }
    }
    return false;
}

const char* typeWord(int t) {
    switch (t) {
        case 1: return "text";
        case 9: return "integer";
        case 10: return "number";
        case 11: return "date";
        case 12: return "time";
        case 20: return "blob";
        default: return "phrase";
    }
}

bool validFieldName(const std::string& n) {
    if (n.empty() || n.size() > 63) return false;
    if (!((n[0] >= 'A' && n[0] <= 'Z') || (n[0] >= 'a' && n[0] <= 'z') || n[0] == '_')) return false;
    for (char c : n)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

}  // namespace

int Design::find(const std::string& n) const {
    auto it = byName.find(upper(n));
    return it == byName.end() ? 0 : it->second;
}

std::string Design::serialize() const {
    std::string out;
    for (const FieldDef& f : fields) {
        out += f.name + " " + typeWord(f.type);
        if (f.part) out += " part";
        if (f.recname) out += " recname";
        out += "\n";
    }
    for (auto& a : aliases) out += "alias " + a.first + " " + fields[a.second - 1].name + "\n";
    return out;
}

bool Design::parse(const std::string& text, const std::string& name, Design& out, std::string& err) {
    out = Design();
    out.name = name;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    std::vector<std::pair<std::string, std::string>> aliases;
    while (std::getline(in, line)) {
        ++lineNo;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream ls(line);
        std::vector<std::string> words;
        std::string w;
        while (ls >> w) words.push_back(w);
        if (words.empty()) continue;
        if (iequals(words[0], "alias")) {
            if (words.size() != 3) {
                err = "line " + std::to_string(lineNo) + ": alias needs a name and a field";
                return false;
            }
            aliases.emplace_back(words[1], words[2]);
            continue;
        }
        FieldDef f;
        f.name = words[0];
        if (!validFieldName(f.name)) {
            err = "line " + std::to_string(lineNo) + ": invalid field name '" + f.name + "'";
            return false;
        }
        if (words.size() < 2 || !typeFromWord(words[1], f.type)) {
            err = "line " + std::to_string(lineNo) + ": missing or unknown type for field " + f.name;
            return false;
        }
        for (size_t i = 2; i < words.size(); ++i) {
            if (iequals(words[i], "part"))
                f.part = true;
            else if (iequals(words[i], "recname"))
                f.recname = true;
            else {
                err = "line " + std::to_string(lineNo) + ": unknown flag '" + words[i] + "'";
                return false;
            }
        }
        if (out.byName.count(upper(f.name))) {
            err = "line " + std::to_string(lineNo) + ": field " + f.name + " defined twice";
            return false;
        }
        if (f.recname) {
            if (out.recnameField) {
                err = "line " + std::to_string(lineNo) + ": a second record name field";
                return false;
            }
            if (f.type == 20 || f.type == 1 || f.part) {
                err = "line " + std::to_string(lineNo) + ": the record name field must be a record field";
                return false;
            }
        }
        f.num = static_cast<int>(out.fields.size()) + 1;
        if (f.recname) out.recnameField = f.num;
        out.byName[upper(f.name)] = f.num;
        out.fields.push_back(f);
    }
    for (auto& a : aliases) {
        int num = out.find(a.second);
        if (!num || !validFieldName(a.first) || out.byName.count(upper(a.first))) {
            err = "alias " + a.first + " for " + a.second + " is not usable";
            return false;
        }
        out.byName[upper(a.first)] = num;
        out.aliases[upper(a.first)] = num;
    }
    if (out.fields.empty()) {
        err = "the design has no fields";
        return false;
    }
    if (out.fields.size() > 4000) {
        err = "the design has too many fields";
        return false;
    }
    out.isXml = (name == "xml");
    return true;
}

bool makeDesign(const std::string& spec, Design& out, std::string& err) {
    if (iequals(spec, "xml")) return Design::parse(kXmlDesign, "xml", out, err);
    if (iequals(spec, "link")) return Design::parse(kLinkDesign, "link", out, err);
    std::ifstream f(spec);
    if (!f.good()) {
        err = "design '" + spec + "' is neither xml, link nor a readable design file";
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    std::string name = spec;
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (iequals(name, "xml") || iequals(name, "link")) name = "file:" + name;
    if (!Design::parse(ss.str(), name, out, err)) {
        err = "design file " + spec + ": " + err;
        return false;
    }
    return true;
}

}  // namespace vdbs
