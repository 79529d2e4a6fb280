/* Text of a hex-dump record: a length line, then 16 bytes a line with their
 * offset, hexadecimal values and printable characters. */
#ifndef BRIO_LOG_ZLOG_HEX_DUMP_H
#define BRIO_LOG_ZLOG_HEX_DUMP_H

#include <stddef.h>

#include <string>

namespace brio_zlog {

void AppendHexDump(std::string &strOut, const void *pData, size_t ulLen);

}  // namespace brio_zlog

#endif
