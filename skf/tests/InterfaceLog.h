/* The middleware's log sent to a scratch file for the length of a test, so
 * that a test can read the lines one call wrote. */
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "log/tests/LogTestUtil.h"
#include "log/vexa_log.h"

namespace skftest {

class CInterfaceLog {
public:
    CInterfaceLog()
    {
        std::string strConf = m_dir / "log.conf";
        logtest::WriteFile(strConf, "[formats]\nplain = \"%V %m%n\"\n[rules]\nvexa_category.*  \"" + Out() +
                                        "\"; plain\n");
        vexa_log_fini();
        m_bStarted = vexa_log_init_ex(strConf.c_str()) == 0;
    }
    ~CInterfaceLog() { vexa_log_fini(); }
    CInterfaceLog(const CInterfaceLog &) = delete;
    CInterfaceLog &operator=(const CInterfaceLog &) = delete;

    bool Started() const { return m_bStarted; }
    /* Marks the log's end; Since() returns what was written after it. */
    void Mark() { m_nMark = logtest::ReadFile(Out()).size(); }
    std::string Since() const { return logtest::ReadFile(Out()).substr(m_nMark); }

    static std::string Hex(unsigned long ul)
    {
        char sz[16];
        snprintf(sz, sizeof(sz), "0x%08lx", ul);
        return sz;
    }
    static std::string Failed(const std::string &strFunc, const std::string &strStep, unsigned long ulCode)
    {
        return "ERROR " + strFunc + " - " + strStep + " failed(" + Hex(ulCode) + ")";
    }
    static std::string Success(const std::string &strFunc, const std::string &strStep)
    {
        return "INFO " + strFunc + " - " + strStep + " success\n";
    }

private:
    std::string Out() const { return m_dir / "out.log"; }
    logtest::CScratchDir m_dir;
    size_t m_nMark = 0;
    bool m_bStarted = false;
};

}  // namespace skftest
