#include <cstdio>
#include <cstring>

#include "status.h"
#include "vornapi.h"

extern "C" int VdbMessage(int status, char* text, int* length) {
    if (!text || !length || *length < 1) return VDB_BADARG;
    std::string msg;
    if (status == -1 || (status == vdbs::lastStatus() && !vdbs::lastMessage().empty())) {
        msg = vdbs::lastMessage();
    } else if (const char* t = vdbs::catalogueText(status)) {
        msg = t;
    } else {
        char buf[64];
        snprintf(buf, sizeof buf, "Unknown status %d", status);
        msg = buf;
    }
    size_t n = msg.size();
    if (n > static_cast<size_t>(*length - 1)) n = static_cast<size_t>(*length - 1);
    memcpy(text, msg.data(), n);
    text[n] = 0;
    *length = static_cast<int>(n);
    return VDB_OK;
}
