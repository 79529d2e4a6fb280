/* The middleware's log written to a scratch file for the life of the object,
 * as "LEVEL message" lines, so a test can look for the step lines an
 * operation wrote:
 *
 *   CLogCapture log;
 *   ... the operation under test ...
 *   EXPECT_NE(std::string::npos, log.Text().find("dbus_bus_get failed(0x00000204)"));
 *
 * One at a time per process (the log facade is process-wide). */
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "log/vexa_log.h"

namespace logtest {

class CLogCapture {
public:
    CLogCapture()
    {
        char szDir[] = "/tmp/brio-skf-log-XXXXXX";
        if (mkdtemp(szDir) == nullptr) return;
        m_strDir = szDir;
        std::ofstream(m_strDir + "/log.conf")
            << "[formats]\nplain = \"%V %m%n\"\n[rules]\nvexa_category.*  \"" << m_strDir << "/out.log\"; plain\n";
        m_bStarted = vexa_log_init_ex((m_strDir + "/log.conf").c_str()) == 0;
    }
    ~CLogCapture()
    {
        vexa_log_fini();
        if (!m_strDir.empty()) {
            unlink((m_strDir + "/log.conf").c_str());
            unlink((m_strDir + "/out.log").c_str());
            rmdir(m_strDir.c_str());
        }
    }
    CLogCapture(const CLogCapture &) = delete;
    CLogCapture &operator=(const CLogCapture &) = delete;

    bool Started() const { return m_bStarted; }
    std::string Text() const
    {
        std::ifstream in(m_strDir + "/out.log");
        std::ostringstream os;
        os << in.rdbuf();
        return os.str();
    }
    bool Contains(const std::string &strPart) const { return Text().find(strPart) != std::string::npos; }
    /* The ERROR lines of the log, each with its line feed. */
    std::string ErrorLines() const { return ErrorLinesOf(Text()); }

    static std::string ErrorLinesOf(const std::string &strLog)
    {
        std::istringstream in(strLog);
        std::string strErrors;
        for (std::string strLine; std::getline(in, strLine);)
            if (strLine.compare(0, 6, "ERROR ") == 0) strErrors += strLine + "\n";
        return strErrors;
    }

private:
    std::string m_strDir;
    bool m_bStarted = false;
};

}  // namespace logtest
