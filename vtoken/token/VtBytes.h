// Byte strings of the virtual token and the conversions it needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtoken {

using VtBytes = std::vector<uint8_t>;

std::string VtHex(const VtBytes& v);
// Parses hexadecimal digits (upper or lower case, even count); false on anything else.
bool VtUnhex(const std::string& s, VtBytes& vOut);

inline VtBytes VtBytesOf(const std::string& s) { return VtBytes(s.begin(), s.end()); }
inline std::string VtStringOf(const VtBytes& v) { return std::string(v.begin(), v.end()); }

inline void VtPutBE16(VtBytes& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
inline void VtPutBE32(VtBytes& v, uint32_t x)
{
    VtPutBE16(v, x >> 16);
    VtPutBE16(v, x);
}
inline uint32_t VtGetBE16(const uint8_t* p) { return (static_cast<uint32_t>(p[0]) << 8) | p[1]; }
inline uint32_t VtGetBE32(const uint8_t* p) { return (VtGetBE16(p) << 16) | VtGetBE16(p + 2); }
inline void VtPutLE32(uint8_t* p, uint32_t x)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(x >> (8 * i));
    }
}
inline uint32_t VtGetLE32(const uint8_t* p)
{
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void VtAppend(VtBytes& v, const VtBytes& w) { v.insert(v.end(), w.begin(), w.end()); }

// Overwrites a secret before it is released.
void VtWipe(VtBytes& v);

}  // namespace vtoken
