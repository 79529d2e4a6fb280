#include "log/zlog/ZlogRule.h"

#include <ctype.h>

#include "log/zlog/ZlogText.h"

namespace brio_zlog {

namespace {

bool IsCategoryName(const std::string &s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    return true;
}

/* Position of the first c outside double quotes, or npos. */
size_t FindUnquoted(const std::string &s, char c)
{
    bool bQuoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') bQuoted = !bQuoted;
        else if (s[i] == c && !bQuoted) return i;
    }
    return std::string::npos;
}

/* Reads a "quoted" text at the start of s; the rest goes to *pstrRest. */
bool ReadQuoted(const std::string &s, std::string *pstrText, std::string *pstrRest)
{
    if (s.empty() || s[0] != '"') return false;
    size_t close = s.find('"', 1);
    if (close == std::string::npos) return false;
    *pstrText = s.substr(1, close - 1);
    *pstrRest = Trim(s.substr(close + 1));
    return true;
}

bool ValidArchive(const std::string &strArchive)
{
    size_t h = strArchive.find('#');
    if (h == std::string::npos || strArchive.find('#', h + 1) != std::string::npos) return false;
    size_t i = h + 1;
    if (i < strArchive.size() && isdigit(static_cast<unsigned char>(strArchive[i]))) ++i;
    return i < strArchive.size() && strArchive[i] == 'r';
}

bool ParseLevelSelector(const std::string &strSel, const CZlogLevelTable &levels, ZlogRuleSpec *pRule,
                        std::string *pstrError)
{
    std::string s = strSel;
    pRule->eLevelOp = LevelOp::AtLeast;
    if (s == "*") {
        pRule->nLevel = ZLOG_LEVEL_ANY;
        return true;
    }
    if (!s.empty() && (s[0] == '=' || s[0] == '!')) {
        pRule->eLevelOp = s[0] == '=' ? LevelOp::Equal : LevelOp::NotEqual;
        s = s.substr(1);
    }
    pRule->nLevel = levels.Find(s);
    if (pRule->nLevel < 0) {
        *pstrError = "level [" + s + "] is not defined";
        return false;
    }
    return true;
}

bool ParseFileOutput(const std::string &strOut, ZlogRuleSpec *pRule, std::string *pstrError)
{
    std::string strRest;
    if (!ReadQuoted(strOut, &pRule->strPath, &strRest) || pRule->strPath.empty()) {
        *pstrError = "file path must be a non-empty quoted text";
        return false;
    }
    pRule->eOutput = OutputKind::File;
    if (!strRest.empty()) {
        if (strRest[0] != ',') {
            *pstrError = "unexpected text [" + strRest + "] after the file path";
            return false;
        }
        std::string strRot = Trim(strRest.substr(1));
        size_t tilde = FindUnquoted(strRot, '~');
        if (tilde != std::string::npos) {
            std::string strAfter;
            if (!ReadQuoted(Trim(strRot.substr(tilde + 1)), &pRule->strArchive, &strAfter) ||
                !strAfter.empty() || !ValidArchive(pRule->strArchive) ||
                pRule->strArchive.find('%') != std::string::npos) {
                *pstrError = "archive path must be a quoted text holding one \"#r\" or \"#Nr\" "
                             "and no conversion";
                return false;
            }
            strRot = Trim(strRot.substr(0, tilde));
        }
        size_t star = strRot.find('*');
        if (star != std::string::npos) {
            if (!ParseInt(strRot.substr(star + 1), 0, 100000, &pRule->lMaxCount)) {
                *pstrError = "bad archive count in [" + strRot + "]";
                return false;
            }
            strRot = strRot.substr(0, star);
        }
        if (!ParseSize(strRot, &pRule->ulMaxSize)) {
            *pstrError = "bad file size [" + strRot + "]";
            return false;
        }
    }
    if (pRule->strPath.find('%') != std::string::npos) {
        std::shared_ptr<const CZlogFormat> pPath = CZlogFormat::Compile(pRule->strPath, pstrError);
        if (!pPath) return false;
        if (pPath->IsConstant()) {
            std::string strStatic;
            pPath->Append(ZlogEvent(), strStatic);
            pRule->strPath = strStatic;
        } else {
            pRule->pPathFormat = pPath;
        }
    }
    if (pRule->strPath.empty() || pRule->strPath.size() > kMaxRulePath) {
        *pstrError = "file path is empty or longer than 1024 characters";
        return false;
    }
    if (pRule->strArchive.empty() && pRule->ulMaxSize > 0 && !pRule->pPathFormat)
        pRule->strArchive = pRule->strPath + ".#r";
    return true;
}

bool ParseSpecialOutput(const std::string &strOut, ZlogRuleSpec *pRule, std::string *pstrError)
{
    std::string strName = Trim(strOut.substr(1));
    if (strName == "stdout") {
        pRule->eOutput = OutputKind::Stdout;
        return true;
    }
    if (strName == "stderr") {
        pRule->eOutput = OutputKind::Stderr;
        return true;
    }
    if (strName.compare(0, 7, "memlog:") == 0) {
        pRule->eOutput = OutputKind::MemLog;
        pRule->strPath = Trim(strName.substr(7));
        if (pRule->strPath.size() > kMaxRulePath) {
            *pstrError = "memory-log path longer than 1024 characters";
            return false;
        }
        return true;
    }
    if (strName.compare(0, 6, "syslog") == 0) {
        std::string strFacility = Trim(strName.substr(6));
        pRule->eOutput = OutputKind::Syslog;
        pRule->nSyslogFacility = SyslogFacilityByName("LOG_USER");
        if (strFacility.empty()) return true;
        if (strFacility[0] == ',') {
            pRule->nSyslogFacility = SyslogFacilityByName(strFacility.substr(1));
            if (pRule->nSyslogFacility >= 0) return true;
            *pstrError = "unknown syslog facility [" + Trim(strFacility.substr(1)) + "]";
            return false;
        }
    }
    *pstrError = "[" + strName + "]the string after is not syslog, stdout or stderr";
    return false;
}

}  // namespace

bool ParseRule(const std::string &strLine, const CZlogLevelTable &levels,
               const std::map<std::string, std::shared_ptr<const CZlogFormat>> &mapFormats,
               const std::shared_ptr<const CZlogFormat> &pDefault, ZlogRuleSpec *pRule,
               std::string *pstrError)
{
    std::string strError;
    *pRule = ZlogRuleSpec();
    pRule->strText = Trim(strLine);
    const std::string &s = pRule->strText;
    size_t ws = 0;
    while (ws < s.size() && !isspace(static_cast<unsigned char>(s[ws]))) ++ws;
    std::string strSelector = s.substr(0, ws);
    std::string strRest = Trim(s.substr(ws));
    size_t dot = strSelector.find('.');
    if (dot == std::string::npos) {
        strError = "selector [" + strSelector + "] is not category.level";
    } else {
        pRule->strCategory = strSelector.substr(0, dot);
        if (pRule->strCategory != "*" && pRule->strCategory != "!" && !IsCategoryName(pRule->strCategory))
            strError = "bad category selector [" + pRule->strCategory + "]";
        else
            ParseLevelSelector(strSelector.substr(dot + 1), levels, pRule, &strError);
    }
    if (strError.empty()) {
        size_t semi = FindUnquoted(strRest, ';');
        std::string strOutput = Trim(strRest.substr(0, semi));
        std::string strFormat = semi == std::string::npos ? "" : Trim(strRest.substr(semi + 1));
        if (strOutput.empty()) {
            strError = "no output";
        } else if (strOutput[0] == '"') {
            ParseFileOutput(strOutput, pRule, &strError);
        } else if (strOutput[0] == '>') {
            ParseSpecialOutput(strOutput, pRule, &strError);
        } else if (strOutput[0] == '|') {
            strError = "pipe outputs (\"| command\") are not supported";
        } else if (strOutput[0] == '$') {
            strError = "user-defined output [" + strOutput + "] is not supported: nothing registers it";
        } else {
            strError = "output [" + strOutput +
                       "] is not a quoted file path, >stdout, >stderr, >syslog or >memlog:PATH";
        }
        if (strError.empty()) {
            if (strFormat.empty()) {
                pRule->pFormat = pDefault;
            } else {
                auto it = mapFormats.find(strFormat);
                if (it == mapFormats.end()) strError = "format [" + strFormat + "] is not defined";
                else pRule->pFormat = it->second;
            }
        }
    }
    if (strError.empty()) return true;
    *pstrError = "rule [" + s + "]: " + strError;
    return false;
}

bool CategoryMatches(const std::string &strSelector, const std::string &strCategory)
{
    if (strSelector == "*") return true;
    if (strSelector == "!") return false;
    if (!strSelector.empty() && strSelector.back() == '_') {
        /* "aa_" takes "aa" itself and every "aa_..." */
        if (strCategory.size() == strSelector.size() - 1)
            return strSelector.compare(0, strCategory.size(), strCategory) == 0;
        return strCategory.compare(0, strSelector.size(), strSelector) == 0;
    }
    return strSelector == strCategory;
}

bool LevelMatches(LevelOp eOp, int nRuleLevel, int nLevel)
{
    switch (eOp) {
    case LevelOp::AtLeast: return nLevel >= nRuleLevel;
    case LevelOp::Equal: return nLevel == nRuleLevel;
    case LevelOp::NotEqual: return nLevel != nRuleLevel;
    }
    return false;
}

}  // namespace brio_zlog
