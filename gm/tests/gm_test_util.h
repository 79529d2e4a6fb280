// Small helpers shared by the GM algorithm tests.
#pragma once

#include <openssl/rand.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gmtest {

using Bytes = std::vector<unsigned char>;

inline Bytes FromHex(const std::string &hex)
{
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    int hi = -1;
    for (char c : hex) {
        int v = nibble(c);
        if (v < 0) continue;  // spaces between groups are allowed
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<unsigned char>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline std::string ToHex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string ToHex(const Bytes &b) { return ToHex(b.data(), b.size()); }

inline Bytes Random(size_t n)
{
    Bytes b(n);
    if (n > 0) RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

inline Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

}  // namespace gmtest
