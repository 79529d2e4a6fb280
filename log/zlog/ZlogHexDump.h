/* Text of a hex-dump record: a length line, then 16 bytes a line with their
 * offset, hexadecimal values and printable characters. */
#ifndef BRIO_LOG_ZLOG_HEX_DUMP_H
#define BRIO_LOG_ZLOG_HEX_DUMP_H

#include <stddef.h>

#include <string>

namespace brio_zlog {

/* Stops after the line that takes strOut to ulLimit characters (0: no
 * limit), so a huge dump costs no more than the record can hold. */
void AppendHexDump(std::string &strOut, const void *pData, size_t ulLen, size_t ulLimit = 0);

}  // namespace brio_zlog

#endif
