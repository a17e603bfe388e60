// A test filter module: the filter module's objects plus one entry point,
// vornxmlqueryprobe, that calls the fragment builder's pieces on the record
// the kernel hands it. Script lines (tab-separated): "text <part> <0|1>",
// "ns <part>", "hl <hex text> <offset> <chars>"; one hex-encoded output line
// each, handed back in buffer (malloc; the caller frees it).
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>

#include "VORNxml.h"

namespace {

std::string hex(const std::string& s)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string& h)
{
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(strtol(h.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

} // namespace

VX_EXPORT int vornxmlqueryprobe(char* pszArg1, int* pnArg2)
{
    filter_data* p = reinterpret_cast<filter_data*>(pszArg1);
    std::string script(static_cast<const char*>(p->buffer), static_cast<size_t>(p->buffer_length));
    std::string out;
    {
        CVORNxml req(p);
        req.loadFieldCatalogue();
        std::istringstream lines(script);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream f(line);
            std::string cmd, a, b, c;
            std::getline(f, cmd, '\t');
            std::getline(f, a, '\t');
            std::getline(f, b, '\t');
            std::getline(f, c, '\t');
            CStringBuffer v;
            if (cmd == "text") {
                int r = req.getPartTextValue(v, "N_TVALUE", atoi(a.c_str()), b == "1");
                out += std::to_string(r) + " " + hex(std::string(v, static_cast<size_t>(v.length()))) + "\n";
            } else if (cmd == "field") {
                int r = req.getPartTextValue(v, a.c_str(), atoi(b.c_str()), false);
                out += std::to_string(r) + "\n";
            } else if (cmd == "ns") {
                req.getFragmentNamsepaces(atoi(a.c_str()), v);
                out += hex(std::string(v, static_cast<size_t>(v.length()))) + "\n";
            } else if (cmd == "hl") {
                std::string t = unhex(a);
                out += std::to_string(req.getHighlightLength(&t[0], atoi(b.c_str()), atoi(c.c_str()))) + "\n";
            }
        }
    }
    char* mem = static_cast<char*>(malloc(out.size() + 1));
    memcpy(mem, out.data(), out.size() + 1);
    p->buffer = mem;
    p->buffer_length = static_cast<int>(out.size());
    p->errorcode = 1;
    return 1;
}
