// Reads the documents and expressions gen_cases.py writes.
#pragma once
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

namespace qt {

inline std::string unhex(const std::string& h)
{
    if (h == "-")
        return "";
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<char>(strtol(h.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

inline std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    size_t b = 0;
    for (;;) {
        size_t e = s.find(sep, b);
        out.push_back(s.substr(b, e == std::string::npos ? std::string::npos : e - b));
        if (e == std::string::npos)
            return out;
        b = e + 1;
    }
}

struct CaseNode {
    int parent;
    std::string type, name, ns, value;
};

struct CaseDoc {
    std::string xml;
    std::vector<CaseNode> nodes;
};

struct CaseQuery {
    std::string xpath;
    bool skipNamespaced = false;
    // (document index, part) in document then part order.
    std::vector<std::pair<int, int>> hits;
};

struct Cases {
    std::vector<CaseDoc> docs;
    std::vector<CaseQuery> queries;
    std::string error;
};

inline Cases generateCases(const std::string& script, int seed, int docs, int exprs)
{
    Cases c;
    std::string cmd = "/usr/bin/python3 '" + script + "' " + std::to_string(seed) + " " + std::to_string(docs) +
                      " " + std::to_string(exprs);
    FILE* fp = popen(cmd.c_str(), "r");
    if (!fp) {
        c.error = "cannot run " + cmd;
        return c;
    }
    std::string line;
    char buf[65536];
    while (fgets(buf, sizeof buf, fp)) {
        line += buf;
        if (line.empty() || line.back() != '\n')
            continue;
        line.pop_back();
        std::vector<std::string> f = split(line, '\t');
        line.clear();
        if (f[0] == "D" && f.size() >= 3) {
            c.docs.push_back(CaseDoc{unhex(f[2]), {}});
        } else if (f[0] == "N" && f.size() >= 6 && !c.docs.empty()) {
            c.docs.back().nodes.push_back(CaseNode{atoi(f[1].c_str()), f[2], unhex(f[3]), unhex(f[4]), unhex(f[5])});
        } else if (f[0] == "Q" && f.size() >= 4) {
            CaseQuery q;
            q.xpath = unhex(f[1]);
            q.skipNamespaced = f[2] == "ns";
            for (const std::string& h : split(f[3], ' ')) {
                if (h.empty())
                    continue;
                size_t colon = h.find(':');
                q.hits.emplace_back(atoi(h.substr(0, colon).c_str()), atoi(h.substr(colon + 1).c_str()));
            }
            c.queries.push_back(q);
        }
    }
    int rc = pclose(fp);
    if (rc != 0)
        c.error = cmd + " failed with status " + std::to_string(rc);
    return c;
}

}  // namespace qt
