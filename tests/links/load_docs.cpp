// vxlinks_load: stores files into a base of the data directory named by
// VDBS_DATA, for trying vxlinker and linktidy on a corpus by hand.
//   vxlinks_load BASE FILE[=URL]...
// The base is made (xml design) when missing, and so is the link database
// XML_LINK_DB. A file ending in .dtd is stored as a non-XML document. The
// URL defaults to the file name as given. The password is VX_PASSWORD.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "vornapi.h"

namespace {

std::string message(int status)
{
    char text[300];
    int len = static_cast<int>(sizeof text);
    VdbMessage(status, text, &len);
    return text;
}

bool endsWith(const std::string& s, const char* tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: vxlinks_load BASE FILE[=URL]...\n");
        return 2;
    }
    const char* password = getenv("VX_PASSWORD");
    int status = VdbStartVorn("warden", password ? password : "", 9, 4096);
    if (status != 1) {
        fprintf(stderr, "session: %s\n", message(status).c_str());
        return 1;
    }
    char design[256];
    int flag = 0;
    if (VdbBaseInfo(argv[1], 1, design, &flag) == VDB_NOBASE)
        VdbCreateBase(argv[1], "xml");
    if (VdbBaseInfo("XML_LINK_DB", 1, design, &flag) == VDB_NOBASE)
        VdbCreateBase("XML_LINK_DB", "link");

    int failed = 0, stored = 0;
    for (int i = 2; i < argc; ++i) {
        std::string item = argv[i];
        size_t eq = item.find('=');
        std::string file = item.substr(0, eq);
        std::string url = eq == std::string::npos ? file : item.substr(eq + 1);
        std::string args = "URL=" + url + "\n";
        VdbHandle control = nullptr;
        VdbCreateRecordControl(&control);
        VdbSetBase(control, argv[1], 2);
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        fd.record_control = control;
        snprintf(fd.filter_name, sizeof fd.filter_name, "%s", endsWith(file, ".dtd") ? "vornxmlputblob" : "vornxmlput");
        fd.buffer = const_cast<char*>(file.c_str());
        fd.vdb_options = IEOPT_FILENAME;
        fd.filter_arguments = const_cast<char*>(args.c_str());
        fd.arg_length = static_cast<int>(args.size());
        status = VdbImport(&fd);
        if (status & 1) {
            ++stored;
        } else {
            ++failed;
            fprintf(stderr, "%s: %s\n", file.c_str(), fd.errortext);
        }
        VdbDeleteRecordControl(control);
    }
    printf("%d stored, %d failed\n", stored, failed);
    VdbStopVorn(0);
    return failed ? 1 : 0;
}
