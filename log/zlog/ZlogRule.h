/* Rules "category.level output[; format]": their parsed form and the two
 * selectors that decide which records a rule takes. */
#ifndef BRIO_LOG_ZLOG_RULE_H
#define BRIO_LOG_ZLOG_RULE_H

#include <stddef.h>

#include <map>
#include <memory>
#include <string>

#include "log/zlog/ZlogFormat.h"
#include "log/zlog/ZlogLevel.h"

namespace brio_zlog {

enum class LevelOp { AtLeast, Equal, NotEqual };
enum class OutputKind { File, Stdout, Stderr, Syslog, MemLog };

/* Longest file path a rule may name. */
const size_t kMaxRulePath = 1024;

struct ZlogRuleSpec {
    std::string strText;     /* the rule as written */
    std::string strCategory; /* "*", "!", "name" or "prefix_" */
    LevelOp eLevelOp = LevelOp::AtLeast;
    int nLevel = ZLOG_LEVEL_ANY;
    OutputKind eOutput = OutputKind::Stdout;
    std::string strPath;     /* file path pattern or memory-log file */
    size_t ulMaxSize = 0;    /* rotate when the file would grow beyond it; 0 never */
    long lMaxCount = 0;      /* archives kept; 0 keeps all */
    std::string strArchive;  /* archive name with "#r" or "#Nr" */
    int nSyslogFacility = 0;
    std::shared_ptr<const CZlogFormat> pFormat;
    std::shared_ptr<const CZlogFormat> pPathFormat; /* dynamic file path, else null */
};

/* Parses one line of [rules].  Formats are looked up by name in mapFormats;
 * an empty format name takes pDefault. */
bool ParseRule(const std::string &strLine, const CZlogLevelTable &levels,
               const std::map<std::string, std::shared_ptr<const CZlogFormat>> &mapFormats,
               const std::shared_ptr<const CZlogFormat> &pDefault, ZlogRuleSpec *pRule,
               std::string *pstrError);

/* Category selector against a category name; "!" matches nothing here (it
 * stands for categories no other rule takes). */
bool CategoryMatches(const std::string &strSelector, const std::string &strCategory);
bool LevelMatches(LevelOp eOp, int nRuleLevel, int nLevel);

}  // namespace brio_zlog

#endif
