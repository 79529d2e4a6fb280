#include "log/zlog/ZlogLevel.h"

#include <ctype.h>
#include <syslog.h>

#include "log/zlog/ZlogText.h"

namespace brio_zlog {

namespace {

struct NamedValue {
    const char *pszName;
    int nValue;
};

const NamedValue kSyslogLevels[] = {
    {"LOG_EMERG", LOG_EMERG},   {"LOG_ALERT", LOG_ALERT},   {"LOG_CRIT", LOG_CRIT},
    {"LOG_ERR", LOG_ERR},       {"LOG_WARNING", LOG_WARNING}, {"LOG_NOTICE", LOG_NOTICE},
    {"LOG_INFO", LOG_INFO},     {"LOG_DEBUG", LOG_DEBUG},
};

const NamedValue kSyslogFacilities[] = {
    {"LOG_USER", LOG_USER},     {"LOG_DAEMON", LOG_DAEMON}, {"LOG_AUTHPRIV", LOG_AUTHPRIV},
    {"LOG_LOCAL0", LOG_LOCAL0}, {"LOG_LOCAL1", LOG_LOCAL1}, {"LOG_LOCAL2", LOG_LOCAL2},
    {"LOG_LOCAL3", LOG_LOCAL3}, {"LOG_LOCAL4", LOG_LOCAL4}, {"LOG_LOCAL5", LOG_LOCAL5},
    {"LOG_LOCAL6", LOG_LOCAL6}, {"LOG_LOCAL7", LOG_LOCAL7},
};

template <size_t N>
int FindNamed(const NamedValue (&aTable)[N], const std::string &strName)
{
    std::string s = Trim(strName);
    for (const NamedValue &e : aTable)
        if (EqualsNoCase(s, e.pszName)) return e.nValue;
    return -1;
}

bool IsLevelName(const std::string &s)
{
    if (s.empty() || s.size() > 32) return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

}  // namespace

int SyslogFacilityByName(const std::string &strName) { return FindNamed(kSyslogFacilities, strName); }
int SyslogLevelByName(const std::string &strName) { return FindNamed(kSyslogLevels, strName); }

CZlogLevelTable::CZlogLevelTable()
{
    Define("DEBUG", ZLOG_LEVEL_DEBUG, LOG_DEBUG, nullptr);
    Define("INFO", ZLOG_LEVEL_INFO, LOG_INFO, nullptr);
    Define("NOTICE", ZLOG_LEVEL_NOTICE, LOG_NOTICE, nullptr);
    Define("WARN", ZLOG_LEVEL_WARN, LOG_WARNING, nullptr);
    Define("ERROR", ZLOG_LEVEL_ERROR, LOG_ERR, nullptr);
    Define("FATAL", ZLOG_LEVEL_FATAL, LOG_ALERT, nullptr);
    Define("UNKNOWN", ZLOG_LEVEL_UNKNOWN, LOG_ERR, nullptr);
}

bool CZlogLevelTable::Define(const std::string &strName, int nLevel, int nSyslogLevel,
                             std::string *pstrError)
{
    if (!IsLevelName(strName)) {
        if (pstrError) *pstrError = "bad level name [" + strName + "]";
        return false;
    }
    if (nLevel < 1 || nLevel > ZLOG_LEVEL_UNKNOWN) {
        if (pstrError) *pstrError = "level number of [" + strName + "] must be within 1..254";
        return false;
    }
    int nOld = Find(strName);
    if (nOld >= 0) m_aLevels[nOld] = ZlogLevel();
    ZlogLevel &l = m_aLevels[nLevel];
    l.bDefined = true;
    l.strName = ToUpper(strName);
    l.nSyslogLevel = nSyslogLevel;
    return true;
}

bool CZlogLevelTable::AddLine(const std::string &strLine, std::string *pstrError)
{
    size_t eq = strLine.find('=');
    if (eq == std::string::npos) {
        *pstrError = "level line [" + strLine + "] has no '='";
        return false;
    }
    std::string strName = Trim(strLine.substr(0, eq));
    std::string strValue = strLine.substr(eq + 1);
    std::string strSyslog = "LOG_DEBUG";
    size_t comma = strValue.find(',');
    if (comma != std::string::npos) {
        strSyslog = Trim(strValue.substr(comma + 1));
        strValue = strValue.substr(0, comma);
    }
    long lLevel = 0;
    if (!ParseInt(strValue, 1, ZLOG_LEVEL_UNKNOWN, &lLevel)) {
        *pstrError = "level line [" + strLine + "]: the number must be within 1..254";
        return false;
    }
    int nSyslog = SyslogLevelByName(strSyslog);
    if (nSyslog < 0) {
        *pstrError = "level line [" + strLine + "]: unknown syslog level [" + strSyslog + "]";
        return false;
    }
    return Define(strName, static_cast<int>(lLevel), nSyslog, pstrError);
}

int CZlogLevelTable::Find(const std::string &strName) const
{
    for (int i = 1; i <= ZLOG_LEVEL_UNKNOWN; ++i)
        if (m_aLevels[i].bDefined && EqualsNoCase(m_aLevels[i].strName, strName)) return i;
    return -1;
}

const ZlogLevel &CZlogLevelTable::Get(int nLevel) const
{
    if (nLevel >= 0 && nLevel <= ZLOG_LEVEL_MAX && m_aLevels[nLevel].bDefined) return m_aLevels[nLevel];
    return m_aLevels[ZLOG_LEVEL_UNKNOWN];
}

}  // namespace brio_zlog
