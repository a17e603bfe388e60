// The base listing read through a screen window, shared by the filter module
// (link resolution) and the link tools: both need the XML databases in the
// order the listing gives them.
#ifndef XMLBASELIST_H
#define XMLBASELIST_H

#include <ctype.h>
#include <stddef.h>

#include <string>
#include <vector>

#include "vornapi.h"

// Fills names with the XML databases among the client's databases. The words
// are the local command words for SHO, BAS, LIS and SCF; run executes one CCL
// command and returns its status. The listing is captured in a window of its
// own and the window current before is put back. Returns the status of the
// listing command.
template <class Run>
int vxListXmlDatabases(const char* sho, const char* bas, const char* lis, const char* scf, Run run,
                       std::vector<std::string>& names)
{
    names.clear();
    int saved = 0, capture = 0;
    VdbCheckScreenWindow(5, &saved);
    VdbDefineWindow(-5, 1000, 16);
    VdbCheckScreenWindow(5, &capture);
    VdbSetScreenWindow(-5, capture);

    std::string listing = std::string(sho) + " " + bas + " " + lis + " F=CLIENT_BASE";
    int status = run(listing.c_str());
    if (status & 1) {
        for (;;) {
            char* text = nullptr;
            int lines = 0, columns = 0, length = 0, more = 0;
            if ((VdbGetWindowInfo(5, &text, &lines, &columns, &length, &more) & 1) && length > 0 && text) {
                size_t size = static_cast<size_t>(lines) * static_cast<size_t>(columns);
                std::string name;
                for (size_t i = 0; i <= size; ++i) {
                    unsigned char c = i < size ? static_cast<unsigned char>(text[i]) : ' ';
                    if (c && !isspace(c)) {
                        name += static_cast<char>(c);
                        continue;
                    }
                    if (!name.empty()) {
                        char info[256] = "";
                        int flag = 0;
                        if ((VdbBaseInfo(name.c_str(), 1, info, &flag) & 1) && flag == 1)
                            names.push_back(name);
                        name.clear();
                    }
                    if (!c)
                        break;
                }
            }
            if (!(run(scf) & 1))
                break;
        }
    }
    VdbSetScreenWindow(-5, saved);
    VdbDeleteWindow(capture);
    return status;
}

#endif
