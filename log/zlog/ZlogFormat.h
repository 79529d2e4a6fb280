/* Format patterns: "%d(%F %T).%ms %-6V [%p:%f:%L] %m%n" compiled once into a
 * list of conversions, then applied to each record. */
#ifndef BRIO_LOG_ZLOG_FORMAT_H
#define BRIO_LOG_ZLOG_FORMAT_H

#include <memory>
#include <string>
#include <vector>

#include "log/zlog/ZlogEvent.h"

namespace brio_zlog {

class CZlogFormat {
public:
    /* Null with *pstrError set when the pattern is not valid.  %E() and %H
     * are read once, here. */
    static std::shared_ptr<const CZlogFormat> Compile(const std::string &strPattern,
                                                      std::string *pstrError);

    /* Appends the record's text to strOut. */
    void Append(const ZlogEvent &ev, std::string &strOut) const;
    const std::string &Pattern() const { return m_strPattern; }
    /* True when the pattern has no conversion depending on the record. */
    bool IsConstant() const;

    enum class Kind { Literal, Time, Level, Pid, File, FileBase, Line, Func, Message, Category,
                      ThreadHex, ThreadLong, MilliSec, MicroSec, Newline };
    struct Spec {
        Kind eKind = Kind::Literal;
        std::string strText; /* literal text, or the strftime pattern of a time */
        bool bLeft = false;
        int nWidth = 0;
        int nPrecision = -1;
    };

private:
    std::string m_strPattern;
    std::vector<Spec> m_vecSpecs;
};

}  // namespace brio_zlog

#endif
