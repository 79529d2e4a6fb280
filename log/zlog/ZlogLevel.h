/* Level table of the zlog-format backend: the built-in levels and those a
 * configuration adds in its [levels] section. */
#ifndef BRIO_LOG_ZLOG_LEVEL_H
#define BRIO_LOG_ZLOG_LEVEL_H

#include <string>

namespace brio_zlog {

enum {
    ZLOG_LEVEL_ANY = 0, /* "*" in a rule */
    ZLOG_LEVEL_DEBUG = 20,
    ZLOG_LEVEL_INFO = 40,
    ZLOG_LEVEL_NOTICE = 60,
    ZLOG_LEVEL_WARN = 80,
    ZLOG_LEVEL_ERROR = 100,
    ZLOG_LEVEL_FATAL = 120,
    ZLOG_LEVEL_UNKNOWN = 254,
    ZLOG_LEVEL_MAX = 255
};

struct ZlogLevel {
    bool bDefined = false;
    std::string strName; /* upper case */
    int nSyslogLevel = 0;
};

class CZlogLevelTable {
public:
    CZlogLevelTable();
    /* Parses one [levels] line "NAME = number[, LOG_xxx]". */
    bool AddLine(const std::string &strLine, std::string *pstrError);
    /* Level number of a name (case-insensitive), -1 when unknown. */
    int Find(const std::string &strName) const;
    /* The level's entry; an undefined number reads as UNKNOWN. */
    const ZlogLevel &Get(int nLevel) const;

private:
    bool Define(const std::string &strName, int nLevel, int nSyslogLevel, std::string *pstrError);
    ZlogLevel m_aLevels[ZLOG_LEVEL_MAX + 1];
};

/* Syslog facility or level by its name ("LOG_LOCAL0", "LOG_ERR"); -1 unknown. */
int SyslogFacilityByName(const std::string &strName);
int SyslogLevelByName(const std::string &strName);

}  // namespace brio_zlog

#endif
