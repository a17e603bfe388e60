// Helper process for the kernel's multi-process tests: stores records into
// the data directory named by VDBS_DATA, or changes one value.
//   vdbs_writer store <base> <first> <count> <parts>   records named rec-<n>
//   vdbs_writer loop <base> <parts>                     stores until killed
//   vdbs_writer set <base> <rid> <field> <value> [item]  replaces item 1 (or item)
// Records alternate between a plain store and an import through the test
// filter (VDBS_FILTERS), so a kill can land inside either.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "vornapi.h"

namespace {

int fieldNo(VdbHandle c, const char* name) {
    int n = 0, t = 0, f = 0;
    VdbCheckField(c, name, &n, &t, &f);
    return n;
}

std::string recordText(VdbHandle c, int n, int parts) {
    std::string t;
    auto line = [&](const char* f, int item, const std::string& v) {
        t += std::to_string(fieldNo(c, f)) + "F^" + std::to_string(item) + "P" + v + "^\n";
    };
    line("D_DOCNAME", 1, "rec-" + std::to_string(n));
    line("D_DOCSIZE", 1, std::to_string(parts));
    for (int p = 1; p <= parts; ++p) {
        t += "\n\n" + std::to_string(p) + "G^\n";
        line("N_ID", p, std::to_string(p));
        line("N_PARENT", p, std::to_string(p > 1 ? 1 : 0));
        line("N_TYPE", p, "ELEMENT");
        line("N_NAME", p, "x");
        std::string text = "value " + std::to_string(n) + "." + std::to_string(p) + " ";
        while (text.size() < 200) text += "lorem ipsum ";
        t += std::to_string(fieldNo(c, "N_TVALUE")) + "F^\n" + std::to_string(text.size()) + "L" + text + "^\n";
    }
    return t;
}

int storeOne(const char* base, int n, int parts) {
    VdbHandle c = nullptr;
    VdbCreateRecordControl(&c);
    int st = VdbSetBase(c, base, 2);
    std::string text = recordText(c, n, parts);
    if ((st & 1) && n % 2 == 0) {
        VdbHandle cur = nullptr;
        st = VdbSetCursor(&cur, c, 0, 0, 0);
        // Pieces of 1000 bytes, as a streaming writer hands them over.
        for (size_t off = 0; (st & 1) && off < text.size(); off += 1000) {
            int a, b, d;
            int len = static_cast<int>(std::min<size_t>(1000, text.size() - off));
            st = VdbPutRecordBuffer(cur, text.data() + off, len, &a, &b, &d);
        }
        int rid = 0;
        if (st & 1) st = VdbPutRecord(c, &rid);
    } else if (st & 1) {
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = c;
        strcpy(fd.filter_name, "tf_put");
        fd.vdb_options = IEOPT_MEMORY;
        fd.buffer = &text[0];
        fd.buffer_length = static_cast<int>(text.size());
        st = VdbImport(&fd);
    }
    VdbDeleteRecordControl(c);
    return st;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1];
    if (!(VdbStartVorn("warden", "", 9, 4096) & 1)) return 3;
    int st = 1;
    if (mode == "store" && argc == 6) {
        int first = atoi(argv[3]), count = atoi(argv[4]), parts = atoi(argv[5]);
        for (int i = 0; i < count && (st & 1); ++i) st = storeOne(argv[2], first + i, parts);
    } else if (mode == "loop" && argc == 4) {
        int parts = atoi(argv[3]);
        for (int n = 1; st & 1; ++n) {
            st = storeOne(argv[2], n, parts);
            if (n == 1) {
                printf("stored\n");
                fflush(stdout);
            }
        }
    } else if (mode == "set" && (argc == 6 || argc == 7)) {
        VdbHandle c = nullptr, cur = nullptr;
        VdbCreateRecordControl(&c);
        st = VdbSetBase(c, argv[2], 2);
        if (st & 1) st = VdbGetRecordInBase(c, atoi(argv[3]));
        if (st & 1) st = VdbSetCursor(&cur, c, fieldNo(c, argv[4]), 0, argc == 7 ? atoi(argv[6]) : 1);
        if (st & 1) st = VdbReplaceItem(cur, argv[5], -1);
        VdbDeleteRecordControl(c);
    } else {
        st = 0;
    }
    VdbStopVorn(0);
    return (st & 1) ? 0 : 1;
}
