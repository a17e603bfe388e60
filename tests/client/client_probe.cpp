// Filters that misbehave on purpose, loaded by the kernel from VDBS_FILTERS,
// so that the client library meets the peers a real filter must never be:
// one that stops posting half-way, one that never ends its post, one that
// stops reading a served file, and one whose status and errorcode disagree.
//
// Arguments (lines KEY=value): FILEURL (the stream), BYTES (how much to send
// or read), SIZED=1 (announce BYTES*2 with Content-Length).
#include <stdlib.h>
#include <string.h>

#include <string>

#include "filexmit.h"
#include "vornapi_types.h"

namespace {

// The socket vxprobe_hold leaves open, closed by vxprobe_release.
int g_heldSocket = 0;

std::string argument(const filter_data* fd, const char* key)
{
    if (!fd->filter_arguments || fd->arg_length < 1)
        return std::string();
    std::string text(fd->filter_arguments, strnlen(fd->filter_arguments, static_cast<size_t>(fd->arg_length)));
    std::string k = std::string(key) + "=";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, k.size(), k) == 0)
            return text.substr(at + k.size(), end - at - k.size());
        at = end + 1;
    }
    return std::string();
}

int fail(filter_data* fd, const char* text)
{
    fd->errorcode = 0;
    snprintf(fd->errortext, sizeof fd->errortext, "%s", text);
    return 0;
}

// Opens the post and sends BYTES bytes of 'x'; the socket, or 0.
int startPost(filter_data* fd)
{
    int bytes = atoi(argument(fd, "BYTES").c_str());
    int sock = 0;
    int r = argument(fd, "SIZED") == "1" ? VfxFTMWriteOpenEx(&sock, argument(fd, "FILEURL").c_str(), bytes * 2)
                                         : VfxFTMWriteOpen(&sock, argument(fd, "FILEURL").c_str());
    if (r != 0)
        return 0;
    std::string data(static_cast<size_t>(bytes), 'x');
    if (VfxFTMWriteBlock(sock, data.data(), bytes) != 0) {
        VfxFTMWriteClose(sock);
        return 0;
    }
    return sock;
}

int countBytes(void*, int n, void* total)
{
    *static_cast<long long*>(total) += n;
    return n;
}

} // namespace

extern "C" {

// Posts part of a document, closes and reports success.
__attribute__((visibility("default"))) int vxprobe_cut(char* arg, int*)
{
    filter_data* fd = reinterpret_cast<filter_data*>(arg);
    int sock = startPost(fd);
    if (!sock)
        return fail(fd, "vxprobe_cut: could not post");
    VfxFTMWriteClose(sock);
    fd->errorcode = 1;
    return 1;
}

// Posts part of a document and keeps the connection open without ever
// sending the terminator; reports success.
__attribute__((visibility("default"))) int vxprobe_hold(char* arg, int*)
{
    filter_data* fd = reinterpret_cast<filter_data*>(arg);
    int sock = startPost(fd);
    if (!sock)
        return fail(fd, "vxprobe_hold: could not post");
    g_heldSocket = sock;
    fd->errorcode = 1;
    return 1;
}

__attribute__((visibility("default"))) int vxprobe_release(char* arg, int*)
{
    filter_data* fd = reinterpret_cast<filter_data*>(arg);
    VfxFTMWriteClose(g_heldSocket);
    g_heldSocket = 0;
    fd->errorcode = 1;
    return 1;
}

// Fetches the served file over a plain socket and hangs up after BYTES
// bytes, in the middle of the transfer.
__attribute__((visibility("default"))) int vxprobe_partget(char* arg, int*)
{
    filter_data* fd = reinterpret_cast<filter_data*>(arg);
    char host[FTM_HOST_SIZE], path[FTM_PATH_SIZE];
    int port = 0;
    if (xmit_parseurl(argument(fd, "FILEURL").c_str(), host, path, &port) != 0)
        return fail(fd, "vxprobe_partget: bad FILEURL");
    int sock = 0;
    if (VfxCreateClientSocket(host, port, &sock) != 0)
        return fail(fd, "vxprobe_partget: cannot connect");
    char request[FTM_REQUEST_SIZE] = {0};
    snprintf(request, sizeof request, "GET %s HTTP/1.0\r\n\r\n", path);
    VfxSocketWrite(sock, request, sizeof request);
    long long want = atoll(argument(fd, "BYTES").c_str()), got = 0;
    char buf[4096];
    while (got < want) {
        int n = VfxSocketRead(sock, buf, sizeof buf);
        if (n <= 0)
            break;
        got += n;
    }
    VfxCloseSocket(sock);
    fd->errorcode = 1;
    return 1;
}

// Reads the whole served file and reports how many bytes came in errortext.
__attribute__((visibility("default"))) int vxprobe_get(char* arg, int*)
{
    filter_data* fd = reinterpret_cast<filter_data*>(arg);
    long long total = 0;
    int r = VfxFTMRead(argument(fd, "FILEURL").c_str(), countBytes, &total);
    snprintf(fd->errortext, sizeof fd->errortext, "read %d, %lld bytes", r, total);
    fd->errorcode = r == 0 ? 1 : 0;
    return fd->errorcode;
}

// Returns an odd status while its errorcode says it failed.
__attribute__((visibility("default"))) int vxprobe_mixed(char* arg, int*)
{
    filter_data* fd = reinterpret_cast<filter_data*>(arg);
    fd->errorcode = 0;
    snprintf(fd->errortext, sizeof fd->errortext, "%s", "probe: the status says yes, the errorcode says no");
    return 1;
}

} // extern "C"
