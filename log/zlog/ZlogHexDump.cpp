#include "log/zlog/ZlogHexDump.h"

#include <stdio.h>

namespace brio_zlog {

void AppendHexDump(std::string &strOut, const void *pData, size_t ulLen, size_t ulLimit)
{
    static const char kDigits[] = "0123456789abcdef";
    const unsigned char *p = static_cast<const unsigned char *>(pData);
    char szHead[64];
    snprintf(szHead, sizeof szHead, "hex_buf_len=[%zu]", ulLen);
    strOut += szHead;
    for (size_t off = 0; off < ulLen && (ulLimit == 0 || strOut.size() < ulLimit); off += 16) {
        snprintf(szHead, sizeof szHead, "\n%08zx  ", off);
        strOut += szHead;
        std::string strChars;
        for (size_t i = off; i < off + 16; ++i) {
            if (i < ulLen) {
                strOut += kDigits[p[i] >> 4];
                strOut += kDigits[p[i] & 0x0f];
                strOut += ' ';
                strChars += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '.';
            } else {
                strOut += "   ";
            }
            if (i == off + 7) strOut += ' ';
        }
        strOut += ' ';
        strOut += strChars;
    }
}

}  // namespace brio_zlog
