/* Small helpers of the key handle tests: byte strings, hex, fixed
 * patterns, public key records. */
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "skf/skf.h"
#include "skf/tests/SkfOpenSslOracle.h"

namespace keytest {

using Bytes = std::vector<unsigned char>;

inline Bytes Pattern(size_t n, unsigned int seed)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (unsigned char)(i * 31 + seed * 17 + 7);
    return v;
}

inline std::string Hex(const Bytes &v)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : v) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

inline Bytes FromHex(const std::string &s)
{
    Bytes v;
    for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back((unsigned char)std::stoi(s.substr(i, 2), nullptr, 16));
    return v;
}

/* A public key in the record of GM/T 0016: 256 bits, coordinates on the right. */
inline ECCPUBLICKEYBLOB PublicKeyBlob(const unsigned char *x, const unsigned char *y)
{
    return oracle::Sm2PublicKeyBlob(x, y);
}

}  // namespace keytest
