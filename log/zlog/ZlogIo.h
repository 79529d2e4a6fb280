/* File helpers of the outputs: whole writes, directory creation. */
#ifndef BRIO_LOG_ZLOG_IO_H
#define BRIO_LOG_ZLOG_IO_H

#include <stddef.h>
#include <sys/types.h>

#include <string>

namespace brio_zlog {

/* Writes all n bytes, going on after short writes and EINTR.  Returns 0, or
 * the errno of the failure; *pulWritten (may be null) tells how many bytes
 * made it in either case. */
int WriteAll(int fd, const void *p, size_t n, size_t *pulWritten);

/* Opens a log file for appending (created with nPerms, close-on-exec);
 * -1 with errno on failure. */
int OpenLogFile(const std::string &strPath, mode_t nPerms);

/* Creates the missing directories above a file path. */
bool MakeParentDirs(const std::string &strFilePath);

/* The write(2) the helpers call; tests replace it to make short writes. */
using WriteFn = ssize_t (*)(int, const void *, size_t);
void SetWriteFunction(WriteFn pfnWrite);

}  // namespace brio_zlog

#endif
