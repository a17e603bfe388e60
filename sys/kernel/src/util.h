// Small helpers shared by the kernel: varints, text, hashing.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vdbs {

inline void putVarint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

// Reads a varint at p (bounded by end); returns false on a truncated value.
inline bool getVarint(const unsigned char*& p, const unsigned char* end, uint64_t& v) {
    v = 0;
    int shift = 0;
    while (p < end) {
        unsigned char b = *p++;
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) return true;
        shift += 7;
        if (shift > 63) return false;
    }
    return false;
}

inline std::string upper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

inline uint64_t hash64(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 32;
    return h;
}

// Copies s into a caller buffer of capacity cap (cap bytes at most, a NUL
// when there is room); returns the number of bytes copied.
inline int copyOut(char* dst, int cap, std::string_view s) {
    if (!dst || cap <= 0) return 0;
    size_t n = s.size() < static_cast<size_t>(cap) ? s.size() : static_cast<size_t>(cap);
    memcpy(dst, s.data(), n);
    if (n < static_cast<size_t>(cap)) dst[n] = 0;
    return static_cast<int>(n);
}

// Copies s as a C string into dst of size cap (always NUL-terminated, cut).
inline int copyCString(char* dst, int cap, std::string_view s) {
    if (!dst || cap <= 0) return 0;
    size_t n = s.size() < static_cast<size_t>(cap - 1) ? s.size() : static_cast<size_t>(cap - 1);
    memcpy(dst, s.data(), n);
    dst[n] = 0;
    return static_cast<int>(n);
}

std::string sha256Hex(std::string_view data);

// XPath 1.0 number(): optional blanks, optional '-', digits with an optional
// fraction, optional blanks. Returns false for anything else.
bool parseXPathNumber(std::string_view s, double& out);

}  // namespace vdbs
