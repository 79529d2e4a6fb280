/* The backend's configuration, parsed once from a zlog-format file (or from
 * one rule) and never changed afterwards:
 *
 *   [global]   strict init, buffer min/max, rotate lock file, default format,
 *              file perms, reload conf period, fsync period
 *   [levels]   NAME = number[, LOG_xxx]
 *   [formats]  name = "pattern"
 *   [rules]    category.level output[; format]
 */
#ifndef BRIO_LOG_ZLOG_CONF_H
#define BRIO_LOG_ZLOG_CONF_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/zlog/ZlogFormat.h"
#include "log/zlog/ZlogLevel.h"
#include "log/zlog/ZlogRule.h"

namespace brio_zlog {

/* Variable naming the configuration file when none is given. */
#define ZLOG_CONF_ENV "VEXA_LOG_CONF_PATH"
#define ZLOG_DEFAULT_FORMAT "%D %V [%p:%F:%L] %m%n"
#define ZLOG_DEFAULT_RULE "*.*        >stdout"

struct ZlogConf {
    std::string strFile; /* empty for a configuration without file */
    bool bStrictInit = true;
    size_t ulBufMin = 1024;
    size_t ulBufMax = 2 * 1024 * 1024; /* 0: no limit */
    std::string strRotateLockFile = "/tmp/zlog.lock";
    std::shared_ptr<const CZlogFormat> pDefaultFormat;
    mode_t filePerms = 0600;
    size_t ulReloadPeriod = 0;
    size_t ulFsyncPeriod = 0;
    CZlogLevelTable levels;
    std::map<std::string, std::shared_ptr<const CZlogFormat>> mapFormats;
    std::vector<ZlogRuleSpec> vecRules;
    std::vector<std::string> vecSkipped; /* rules refused without strict init */
};

using ZlogConfPtr = std::shared_ptr<const ZlogConf>;

/* Parses configuration text; strFile only names it in diagnostics. */
ZlogConfPtr ZlogConfFromText(const std::string &strText, const std::string &strFile,
                             std::string *pstrError);

/* A configuration file is used only when it is a regular file owned by the
 * effective user or by root and writable by nobody else. */
bool ConfigFileTrusted(const struct stat &st, std::string *pstrWhy);

/* Reads and parses a file, refusing one that is not trusted. */
ZlogConfPtr ZlogConfFromFile(const std::string &strPath, std::string *pstrError);

/* A null or empty path takes the file named by VEXA_LOG_CONF_PATH; with that
 * unset too, the configuration has no file and the rule "*.* >stdout". */
ZlogConfPtr zlog_conf_new(const char *pszPath, std::string *pstrError);

/* Configuration without file holding the one rule given (the stdout rule when
 * null or empty). */
ZlogConfPtr zlog_conf_new_with_rule(const char *pszRule, std::string *pstrError);

}  // namespace brio_zlog

#endif
