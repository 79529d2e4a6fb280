#include "log/zlog/ZlogText.h"

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <strings.h>

namespace brio_zlog {

std::string Trim(const std::string &str)
{
    size_t b = 0, e = str.size();
    while (b < e && isspace(static_cast<unsigned char>(str[b]))) ++b;
    while (e > b && isspace(static_cast<unsigned char>(str[e - 1]))) --e;
    return str.substr(b, e - b);
}

std::string ToUpper(std::string str)
{
    for (char &c : str) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return str;
}

bool EqualsNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool ParseInt(const std::string &strText, long nMin, long nMax, long *plValue)
{
    std::string s = Trim(strText);
    if (s.empty()) return false;
    errno = 0;
    char *pEnd = nullptr;
    long v = strtol(s.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || v < nMin || v > nMax) return false;
    *plValue = v;
    return true;
}

bool ParseSize(const std::string &strText, size_t *pulValue)
{
    std::string s = Trim(strText);
    size_t i = 0;
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i == 0 || i > 18) return false;
    unsigned long long v = strtoull(s.substr(0, i).c_str(), nullptr, 10);
    std::string unit = ToUpper(Trim(s.substr(i)));
    unsigned long long mul = 1;
    if (unit.empty()) mul = 1;
    else if (unit == "K") mul = 1000ull;
    else if (unit == "KB") mul = 1024ull;
    else if (unit == "M") mul = 1000ull * 1000;
    else if (unit == "MB") mul = 1024ull * 1024;
    else if (unit == "G") mul = 1000ull * 1000 * 1000;
    else if (unit == "GB") mul = 1024ull * 1024 * 1024;
    else return false;
    if (v > SIZE_MAX / mul) return false;
    *pulValue = static_cast<size_t>(v * mul);
    return true;
}

}  // namespace brio_zlog
