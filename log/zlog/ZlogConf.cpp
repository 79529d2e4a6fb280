#include "log/zlog/ZlogConf.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "log/zlog/ZlogText.h"

namespace brio_zlog {

namespace {

const size_t kMaxConfFile = 1024 * 1024;

enum Section { kNone, kGlobal, kLevels, kFormats, kRules };

std::string CollapseSpaces(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (isspace(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    return Trim(out);
}

bool Unquote(const std::string &strValue, std::string *pstrOut)
{
    std::string s = Trim(strValue);
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
    *pstrOut = s.substr(1, s.size() - 2);
    return true;
}

class CConfParser {
public:
    explicit CConfParser(ZlogConf *pConf) : m_pConf(pConf) {}

    bool Line(const std::string &strLine, int nLine, std::string *pstrError)
    {
        std::string strWhy;
        bool bOk = Dispatch(strLine, &strWhy);
        if (!bOk) {
            std::ostringstream os;
            os << (m_pConf->strFile.empty() ? std::string("(rule)") : m_pConf->strFile) << ":" << nLine
               << ": " << strWhy;
            *pstrError = os.str();
        }
        return bOk;
    }

    bool Finish(std::string *pstrError)
    {
        if (m_pConf->ulBufMax != 0 && m_pConf->ulBufMin > m_pConf->ulBufMax) {
            *pstrError = "buffer min is above buffer max";
            return false;
        }
        return true;
    }

private:
    bool Dispatch(const std::string &strLine, std::string *pstrWhy)
    {
        if (strLine[0] == '[') return EnterSection(strLine, pstrWhy);
        switch (m_eSection) {
        case kNone: *pstrWhy = "line outside any section"; return false;
        case kGlobal: return GlobalLine(strLine, pstrWhy);
        case kLevels: return m_pConf->levels.AddLine(strLine, pstrWhy);
        case kFormats: return FormatLine(strLine, pstrWhy);
        case kRules: return RuleLine(strLine, pstrWhy);
        }
        return false;
    }

    bool EnterSection(const std::string &strLine, std::string *pstrWhy)
    {
        static const char *const kNames[] = {"", "global", "levels", "formats", "rules"};
        if (strLine.back() != ']') {
            *pstrWhy = "bad section line [" + strLine + "]";
            return false;
        }
        std::string strName = Trim(strLine.substr(1, strLine.size() - 2));
        for (int i = kGlobal; i <= kRules; ++i) {
            if (strName != kNames[i]) continue;
            if (i <= m_eSection) {
                *pstrWhy = "section [" + strName + "] repeated or out of order "
                           "(global, levels, formats, rules)";
                return false;
            }
            m_eSection = static_cast<Section>(i);
            return true;
        }
        *pstrWhy = "unknown section [" + strName + "]";
        return false;
    }

    bool GlobalLine(const std::string &strLine, std::string *pstrWhy)
    {
        size_t eq = strLine.find('=');
        if (eq == std::string::npos) {
            *pstrWhy = "global line [" + strLine + "] has no '='";
            return false;
        }
        std::string strKey = CollapseSpaces(strLine.substr(0, eq));
        std::string strValue = Trim(strLine.substr(eq + 1));
        bool bOk = false;
        if (strKey == "strict init") {
            bOk = EqualsNoCase(strValue, "true") || EqualsNoCase(strValue, "false");
            m_pConf->bStrictInit = EqualsNoCase(strValue, "true");
        } else if (strKey == "buffer min") {
            bOk = ParseSize(strValue, &m_pConf->ulBufMin) && m_pConf->ulBufMin > 0;
        } else if (strKey == "buffer max") {
            bOk = ParseSize(strValue, &m_pConf->ulBufMax);
        } else if (strKey == "rotate lock file") {
            std::string strPath = strValue;
            Unquote(strValue, &strPath);
            m_pConf->strRotateLockFile = strPath;
            bOk = !strPath.empty() && strPath.size() <= kMaxRulePath;
        } else if (strKey == "default format") {
            std::string strPattern;
            if (!Unquote(strValue, &strPattern)) {
                *pstrWhy = "default format must be quoted";
                return false;
            }
            m_pConf->pDefaultFormat = CZlogFormat::Compile(strPattern, pstrWhy);
            if (!m_pConf->pDefaultFormat) return false;
            bOk = true;
        } else if (strKey == "file perms") {
            char *pEnd = nullptr;
            errno = 0;
            long perms = strtol(strValue.c_str(), &pEnd, 8);
            bOk = !strValue.empty() && errno == 0 && *pEnd == '\0' && perms >= 0 && perms <= 0777;
            m_pConf->filePerms = static_cast<mode_t>(perms);
        } else if (strKey == "reload conf period") {
            bOk = ParseSize(strValue, &m_pConf->ulReloadPeriod);
        } else if (strKey == "fsync period") {
            bOk = ParseSize(strValue, &m_pConf->ulFsyncPeriod);
        } else {
            *pstrWhy = "unknown global key [" + strKey + "]";
            return false;
        }
        if (!bOk) *pstrWhy = "bad value [" + strValue + "] for [" + strKey + "]";
        return bOk;
    }

    bool FormatLine(const std::string &strLine, std::string *pstrWhy)
    {
        size_t eq = strLine.find('=');
        std::string strName = Trim(strLine.substr(0, eq));
        std::string strPattern;
        if (eq == std::string::npos || strName.empty() || !Unquote(strLine.substr(eq + 1), &strPattern)) {
            *pstrWhy = "format line [" + strLine + "] is not name = \"pattern\"";
            return false;
        }
        for (char c : strName) {
            if (!isalnum(static_cast<unsigned char>(c)) && c != '_') {
                *pstrWhy = "bad format name [" + strName + "]";
                return false;
            }
        }
        std::shared_ptr<const CZlogFormat> pFormat = CZlogFormat::Compile(strPattern, pstrWhy);
        if (!pFormat) return false;
        m_pConf->mapFormats[strName] = pFormat;
        return true;
    }

    bool RuleLine(const std::string &strLine, std::string *pstrWhy)
    {
        ZlogRuleSpec rule;
        m_pConf->mapFormats.emplace("default", m_pConf->pDefaultFormat);
        if (!ParseRule(strLine, m_pConf->levels, m_pConf->mapFormats, m_pConf->pDefaultFormat, &rule,
                       pstrWhy)) {
            if (m_pConf->bStrictInit) return false;
            m_pConf->vecSkipped.push_back(*pstrWhy);
            return true;
        }
        m_pConf->vecRules.push_back(std::move(rule));
        return true;
    }

    ZlogConf *m_pConf;
    Section m_eSection = kNone;
};

std::shared_ptr<ZlogConf> NewConf(const std::string &strFile)
{
    auto pConf = std::make_shared<ZlogConf>();
    pConf->strFile = strFile;
    std::string strIgnored;
    pConf->pDefaultFormat = CZlogFormat::Compile(ZLOG_DEFAULT_FORMAT, &strIgnored);
    return pConf;
}

}  // namespace

ZlogConfPtr ZlogConfFromText(const std::string &strText, const std::string &strFile, std::string *pstrError)
{
    std::shared_ptr<ZlogConf> pConf = NewConf(strFile);
    CConfParser parser(pConf.get());
    std::istringstream in(strText);
    std::string strRaw, strLine;
    int nLine = 0, nFirst = 0;
    while (std::getline(in, strRaw)) {
        ++nLine;
        if (strLine.empty()) nFirst = nLine;
        std::string s = Trim(strRaw);
        if (!s.empty() && s.back() == '\\') {
            strLine += s.substr(0, s.size() - 1);
            continue;
        }
        strLine += s;
        std::string strFull = Trim(strLine);
        strLine.clear();
        if (strFull.empty() || strFull[0] == '#') continue;
        if (!parser.Line(strFull, nFirst, pstrError)) return nullptr;
    }
    if (!Trim(strLine).empty() && !parser.Line(Trim(strLine), nFirst, pstrError)) return nullptr;
    if (!parser.Finish(pstrError)) return nullptr;
    return pConf;
}

bool ConfigFileTrusted(const struct stat &st, std::string *pstrWhy)
{
    if (!S_ISREG(st.st_mode)) {
        *pstrWhy = "not a regular file";
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        *pstrWhy = "owned by another user";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *pstrWhy = "writable by group or others";
        return false;
    }
    return true;
}

ZlogConfPtr ZlogConfFromFile(const std::string &strPath, std::string *pstrError)
{
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *pstrError = "cannot open configuration [" + strPath + "]: " + strerror(errno);
        return nullptr;
    }
    struct stat st;
    std::string strWhy;
    if (fstat(fd, &st) != 0) strWhy = strerror(errno);
    else if (!ConfigFileTrusted(st, &strWhy)) {}
    else if (static_cast<size_t>(st.st_size) > kMaxConfFile) strWhy = "larger than 1 MiB";
    std::string strText;
    char buf[4096];
    while (strWhy.empty()) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) strWhy = strerror(errno);
        if (n <= 0) break;
        strText.append(buf, static_cast<size_t>(n));
        if (strText.size() > kMaxConfFile) strWhy = "larger than 1 MiB";
    }
    close(fd);
    if (!strWhy.empty()) {
        *pstrError = "configuration [" + strPath + "] refused: " + strWhy;
        return nullptr;
    }
    return ZlogConfFromText(strText, strPath, pstrError);
}

ZlogConfPtr zlog_conf_new(const char *pszPath, std::string *pstrError)
{
    if (pszPath != nullptr && pszPath[0] != '\0') return ZlogConfFromFile(pszPath, pstrError);
    const char *pszEnv = getenv(ZLOG_CONF_ENV);
    if (pszEnv != nullptr && pszEnv[0] != '\0') return ZlogConfFromFile(pszEnv, pstrError);
    return zlog_conf_new_with_rule(nullptr, pstrError);
}

ZlogConfPtr zlog_conf_new_with_rule(const char *pszRule, std::string *pstrError)
{
    std::string strRule = (pszRule != nullptr && pszRule[0] != '\0') ? pszRule : ZLOG_DEFAULT_RULE;
    if (strRule.find_first_of("\r\n") != std::string::npos) {
        *pstrError = "a rule must be one line";
        return nullptr;
    }
    return ZlogConfFromText("[rules]\n" + strRule + "\n", "", pstrError);
}

}  // namespace brio_zlog
