// Helpers of the log tests: a scratch directory, whole-file reads and
// environment variables restored after each test.
#ifndef BRIO_LOG_TESTS_LOG_TEST_UTIL_H
#define BRIO_LOG_TESTS_LOG_TEST_UTIL_H

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace logtest {

inline std::string ReadFile(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

inline bool Exists(const std::string &strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

inline void WriteFile(const std::string &strPath, const std::string &strText, mode_t mode = 0644)
{
    {
        std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
        out << strText;
    }
    chmod(strPath.c_str(), mode);
}

/* A fresh directory under /tmp, removed with everything in it. */
class CScratchDir {
public:
    CScratchDir()
    {
        char szTemplate[] = "/tmp/brio-log-test-XXXXXX";
        const char *p = mkdtemp(szTemplate);
        m_strPath = p ? p : "/tmp";
    }
    ~CScratchDir()
    {
        std::string strCommand = "rm -rf '" + m_strPath + "'";
        if (m_strPath != "/tmp" && system(strCommand.c_str()) != 0) {}
    }
    CScratchDir(const CScratchDir &) = delete;
    CScratchDir &operator=(const CScratchDir &) = delete;
    const std::string &Path() const { return m_strPath; }
    std::string operator/(const std::string &strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

/* Sets (or, with null, unsets) a variable for the life of the object. */
class CEnvVar {
public:
    CEnvVar(const char *pszName, const char *pszValue) : m_strName(pszName)
    {
        const char *pszOld = getenv(pszName);
        m_bHadOld = pszOld != nullptr;
        if (m_bHadOld) m_strOld = pszOld;
        if (pszValue) setenv(pszName, pszValue, 1);
        else unsetenv(pszName);
    }
    ~CEnvVar()
    {
        if (m_bHadOld) setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else unsetenv(m_strName.c_str());
    }
    CEnvVar(const CEnvVar &) = delete;
    CEnvVar &operator=(const CEnvVar &) = delete;

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHadOld = false;
};

}  // namespace logtest

#endif
