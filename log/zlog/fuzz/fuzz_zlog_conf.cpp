/* Configuration text of the log backend, then every format it compiled
 * (the default, the named formats, each rule's format and dynamic file
 * path) rendered for one record whose message is the input as well, and
 * the rules' selectors tried on a few categories and levels.  The input
 * is split at its first NUL: text before it is the configuration, the rest
 * is the message (so a configuration may be fuzzed on its own). */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "log/zlog/ZlogConf.h"
#include "log/zlog/ZlogFormat.h"
#include "log/zlog/ZlogHexDump.h"
#include "log/zlog/ZlogRule.h"

using namespace brio_zlog;

namespace {

void Render(const std::shared_ptr<const CZlogFormat> &pFormat, const ZlogEvent &ev)
{
    if (!pFormat) return;
    std::string strOut;
    pFormat->Append(ev, strOut);
    pFormat->IsConstant();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *p = reinterpret_cast<const char *>(data);
    const void *pNul = memchr(data, 0, size);
    size_t ulConf = pNul ? static_cast<size_t>(static_cast<const uint8_t *>(pNul) - data) : size;
    std::string strText(p, ulConf);
    std::string strMessage = pNul ? std::string(p + ulConf + 1, size - ulConf - 1) : strText;

    std::string strError;
    ZlogConfPtr pConf = ZlogConfFromText(strText, "fuzz.conf", &strError);
    /* The text as one pattern on its own, too. */
    std::shared_ptr<const CZlogFormat> pPattern = CZlogFormat::Compile(strText, &strError);

    CZlogLevelTable levels;
    const CZlogLevelTable &table = pConf ? pConf->levels : levels;
    ZlogEvent ev;
    ev.pszCategory = "vexa_category";
    ev.nLevel = 40;
    ev.pLevel = &table.Get(ev.nLevel);
    ev.pszFile = "/src/log/vexa_log.cpp";
    ev.pszFunc = "TRACE";
    ev.lLine = 102;
    std::string strHex;
    AppendHexDump(strHex, strMessage.data(), strMessage.size(), 4096);
    ev.pMessage = strMessage.data();
    ev.ulMessageLen = strMessage.size();
    ev.tsNow.tv_sec = 1709618828;
    ev.tsNow.tv_nsec = 12345678;
    ev.pid = 4242;
    ev.tid = static_cast<pthread_t>(0xabcdef);

    Render(pPattern, ev);
    if (!pConf) return 0;
    Render(pConf->pDefaultFormat, ev);
    for (const auto &entry : pConf->mapFormats) Render(entry.second, ev);
    static const char *const kCategories[] = {"vexa_category", "vexa", "", "a_b_c"};
    for (const ZlogRuleSpec &rule : pConf->vecRules) {
        Render(rule.pFormat, ev);
        Render(rule.pPathFormat, ev);
        for (const char *pszCategory : kCategories) CategoryMatches(rule.strCategory, pszCategory);
        for (int nLevel : {0, 20, 40, 60, 255}) LevelMatches(rule.eLevelOp, rule.nLevel, nLevel);
    }
    return 0;
}
