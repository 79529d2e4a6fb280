/* Small text helpers shared by the backend's parsers. */
#ifndef BRIO_LOG_ZLOG_TEXT_H
#define BRIO_LOG_ZLOG_TEXT_H

#include <stddef.h>

#include <string>

namespace brio_zlog {

std::string Trim(const std::string &str);
std::string ToUpper(std::string str);
bool EqualsNoCase(const std::string &a, const std::string &b);
/* "1024", "10k", "2MB" ... (k=1000, kb=1024, m, mb, g, gb; any case). */
bool ParseSize(const std::string &strText, size_t *pulValue);
/* Base-10 integer within [nMin, nMax]. */
bool ParseInt(const std::string &strText, long nMin, long nMax, long *plValue);

}  // namespace brio_zlog

#endif
