// Transfer rate of the file streamer over 127.0.0.1 with a 100 MB file:
// a GET served by a listener and fetched with VfxFTMRead, and a POST written
// with the write calls into a reader (ended by the terminator, and sized by
// Content-Length). Prints MB/s (1 MB = 2^20 bytes), best and median of runs.
#include "filexmit.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

const long long kSize = 100LL << 20;
const int kRuns = 5;

std::atomic<long long> g_received{0};

int countBytes(void*, int n, void*)
{
    g_received += n;
    return n;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

void report(const char* what, std::vector<double> rates)
{
    std::sort(rates.begin(), rates.end());
    printf("%-34s best %8.1f MB/s   median %8.1f MB/s   (%d runs)\n", what, rates.back(), rates[rates.size() / 2],
           static_cast<int>(rates.size()));
}

bool runGet(const std::string& file, double* rate)
{
    FTMContext* l = nullptr;
    if (VfxFTMCreateListener(&l, 0, nullptr, 0, "localhost", file.c_str()) != 0)
        return false;
    std::string url = "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(l)) + "/";
    g_received = 0;
    auto t0 = std::chrono::steady_clock::now();
    int rc = VfxFTMRead(url.c_str(), countBytes, nullptr);
    auto t1 = std::chrono::steady_clock::now();
    VfxFTMCloseListener(l);
    *rate = static_cast<double>(kSize) / (1 << 20) / seconds(t0, t1);
    return rc == 0 && g_received == kSize;
}

bool runPost(const std::string& data, int block, bool sized, double* rate)
{
    FTMContext* r = nullptr;
    if (VfxFTMCreateReader(&r, 0, nullptr, countBytes, nullptr, 0) != 0)
        return false;
    std::string url = "http://127.0.0.1:" + std::to_string(VfxFTMGetListenerPort(r)) + "/";
    g_received = 0;
    auto t0 = std::chrono::steady_clock::now();
    int sock = 0;
    int rc = sized ? VfxFTMWriteOpenEx(&sock, url.c_str(), static_cast<int>(data.size()))
                   : VfxFTMWriteOpen(&sock, url.c_str());
    for (size_t off = 0; rc == 0 && off < data.size(); off += static_cast<size_t>(block))
        rc = VfxFTMWriteBlock(sock, data.data() + off,
                              static_cast<int>(std::min<size_t>(static_cast<size_t>(block), data.size() - off)));
    if (rc == 0 && !sized)
        rc = VfxFTMWriteBlock(sock, FTM_TERMINATOR, FTM_TERMINATOR_LENGTH);
    // As the filter does: wait for the reader to close, then close.
    struct timeval wait = {30, 0};
    int err = 0;
    VfxSocketReadSelect(sock, &wait, &err);
    VfxFTMWriteClose(sock);
    auto t1 = std::chrono::steady_clock::now();
    int status = VfxFTMGetTransferStatus(r, nullptr);
    VfxFTMCloseListener(r);
    *rate = static_cast<double>(kSize) / (1 << 20) / seconds(t0, t1);
    return rc == 0 && status == 0 && g_received == kSize;
}

} // namespace

int main()
{
    const char* base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/vxbench_streamer.XXXXXX";
    if (!mkdtemp(&dir[0])) {
        perror("mkdtemp");
        return 1;
    }
    std::string file = dir + "/doc.bin";
    std::string data(static_cast<size_t>(kSize), '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>("<doc><a>text</a></doc>\n"[i % 23]);
    FILE* f = fopen(file.c_str(), "wb");
    if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
        perror(file.c_str());
        return 1;
    }

    printf("file streamer over 127.0.0.1, %lld MB per transfer, %u cores\n", kSize >> 20,
           std::thread::hardware_concurrency());
    bool ok = true;
    std::vector<double> get, postTerm, postSized, post8k;
    for (int i = 0; i < kRuns && ok; ++i) {
        double r;
        ok = ok && runGet(file, &r);
        get.push_back(r);
        ok = ok && runPost(data, FTM_BLOCK_SIZE, false, &r);
        postTerm.push_back(r);
        ok = ok && runPost(data, FTM_BLOCK_SIZE, true, &r);
        postSized.push_back(r);
        ok = ok && runPost(data, 8192 + 100, false, &r);
        post8k.push_back(r);
    }
    unlink(file.c_str());
    rmdir(dir.c_str());
    if (!ok) {
        fprintf(stderr, "a transfer failed or was incomplete\n");
        return 1;
    }
    report("GET  (listener -> VfxFTMRead)", get);
    report("POST 16 KB blocks, terminator", postTerm);
    report("POST 16 KB blocks, Content-Length", postSized);
    report("POST ~8 KB blocks, terminator", post8k);
    return 0;
}
