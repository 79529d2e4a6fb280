// The names libbrioskf-enterprise exports: each must be allowed by the
// generated version script (so by some folder's export list), nothing of
// the log backend or of the GM registration may leak out, and the log's
// own exports must be there, and the SKF interface is exactly the 78
// functions of GM/T 0016 and SKF_TransErrorCode.
#include <gtest/gtest.h>

#include <fnmatch.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct ExportPatterns {
    std::vector<std::string> vecC;   /* matched against the raw names */
    std::vector<std::string> vecCxx; /* matched against demangled names */
};

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

/* Reads the global patterns of the version script. */
ExportPatterns ReadMap(const std::string &strPath)
{
    ExportPatterns patterns;
    std::ifstream in(strPath);
    std::string strLine;
    bool bGlobal = false, bCxx = false;
    while (std::getline(in, strLine)) {
        std::string s = Trim(strLine);
        if (s == "global:") bGlobal = true;
        else if (s.rfind("local:", 0) == 0) bGlobal = false;
        else if (s.rfind("extern \"C++\"", 0) == 0) bCxx = true;
        else if (s == "};") bCxx = false;
        else if (bGlobal && !s.empty() && s.back() == ';') {
            s = Trim(s.substr(0, s.size() - 1));
            (bCxx ? patterns.vecCxx : patterns.vecC).push_back(s);
        }
    }
    return patterns;
}

bool Matches(const std::vector<std::string> &vecPatterns, const std::string &strName)
{
    for (const std::string &p : vecPatterns) {
        if (p.size() >= 2 && p.front() == '"' && p.back() == '"') {
            if (p.substr(1, p.size() - 2) == strName) return true;
        } else if (fnmatch(p.c_str(), strName.c_str(), 0) == 0) {
            return true;
        }
    }
    return false;
}

/* Defined dynamic symbols, raw or demangled, in nm's order. */
std::vector<std::string> DynamicNames(bool bDemangle)
{
    std::string strCommand = std::string("nm -D --defined-only ") + (bDemangle ? "-C " : "") + "'" +
                             BRIO_MIDDLEWARE_SO + "'";
    std::vector<std::string> vecNames;
    FILE *pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) return vecNames;
    char szLine[4096];
    while (fgets(szLine, sizeof szLine, pPipe)) {
        std::string s = Trim(szLine);
        /* "address type name"; the version node itself has type A */
        size_t sp1 = s.find(' ');
        size_t sp2 = sp1 == std::string::npos ? sp1 : s.find(' ', sp1 + 1);
        if (sp2 == std::string::npos) continue;
        if (s.substr(sp1 + 1, sp2 - sp1 - 1) == "A") continue;
        std::string strName = s.substr(sp2 + 1);
        size_t at = strName.find('@');
        if (at != std::string::npos) strName = strName.substr(0, at);
        vecNames.push_back(strName);
    }
    pclose(pPipe);
    return vecNames;
}

class MiddlewareExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_patterns = ReadMap(BRIO_MIDDLEWARE_MAP);
        m_vecRaw = DynamicNames(false);
        m_vecDemangled = DynamicNames(true);
        ASSERT_FALSE(m_patterns.vecC.empty()) << "no patterns read from " << BRIO_MIDDLEWARE_MAP;
        ASSERT_FALSE(m_vecRaw.empty()) << "nm listed nothing for " << BRIO_MIDDLEWARE_SO;
        ASSERT_EQ(m_vecRaw.size(), m_vecDemangled.size());
    }

    bool Exported(const std::string &strName) const
    {
        return std::find(m_vecRaw.begin(), m_vecRaw.end(), strName) != m_vecRaw.end() ||
               std::find(m_vecDemangled.begin(), m_vecDemangled.end(), strName) != m_vecDemangled.end();
    }

    ExportPatterns m_patterns;
    std::vector<std::string> m_vecRaw;
    std::vector<std::string> m_vecDemangled;
};

TEST_F(MiddlewareExports, EveryExportIsListed)
{
    for (size_t i = 0; i < m_vecRaw.size(); ++i) {
        EXPECT_TRUE(Matches(m_patterns.vecC, m_vecRaw[i]) || Matches(m_patterns.vecCxx, m_vecDemangled[i]))
            << m_vecDemangled[i] << " is exported but no export list names it";
    }
}

TEST_F(MiddlewareExports, BackendAndRegistrationNamesStayInside)
{
    for (size_t i = 0; i < m_vecRaw.size(); ++i) {
        EXPECT_NE(0u, m_vecRaw[i].rfind("zlog_", 0)) << m_vecRaw[i];
        EXPECT_EQ(std::string::npos, m_vecDemangled[i].find("zlog")) << m_vecDemangled[i];
        EXPECT_NE("EVP_sm3", m_vecRaw[i]);
        EXPECT_NE("EVP_sm4_cbc", m_vecRaw[i]);
    }
}

TEST_F(MiddlewareExports, LogInterfaceIsExported)
{
    for (const char *pszName :
         {"vexa_log_init_ex", "vexa_log_init", "vexa_log_init_memory_log", "vexa_log_fini", "TRACE", "TRACE_BINARY",
          "GetTickCount", "HexString_Array", "Array_HexString", "ByteReverseA", "Interger_Array_BigEndian_A",
          "TraceFuncScope::TraceFuncScope(char const*)", "TraceFuncScope::~TraceFuncScope()",
          "typeinfo for TraceFuncScope", "vtable for TraceFuncScope"})
        EXPECT_TRUE(Exported(pszName)) << pszName;
}

/* The 78 functions of the standard and the translation of result codes. */
const std::vector<std::string> &SkfInterface()
{
    static const std::vector<std::string> names = {
        "SKF_WaitForDevEvent", "SKF_CancelWaitForDevEvent", "SKF_EnumDev", "SKF_ConnectDev", "SKF_DisConnectDev",
        "SKF_GetDevState", "SKF_SetLabel", "SKF_GetDevInfo", "SKF_LockDev", "SKF_UnlockDev", "SKF_Transmit",
        "SKF_ChangeDevAuthKey", "SKF_DevAuth", "SKF_ChangePIN", "SKF_GetPINInfo", "SKF_VerifyPIN", "SKF_UnblockPIN",
        "SKF_ClearSecureState", "SKF_CreateApplication", "SKF_EnumApplication", "SKF_DeleteApplication",
        "SKF_OpenApplication", "SKF_CloseApplication", "SKF_CreateFile", "SKF_DeleteFile", "SKF_EnumFiles",
        "SKF_GetFileInfo", "SKF_ReadFile", "SKF_WriteFile", "SKF_CreateContainer", "SKF_DeleteContainer",
        "SKF_OpenContainer", "SKF_CloseContainer", "SKF_EnumContainer", "SKF_GetContainerType",
        "SKF_ImportCertificate", "SKF_ExportCertificate", "SKF_GenRandom", "SKF_GenExtRSAKey", "SKF_GenRSAKeyPair",
        "SKF_ImportRSAKeyPair", "SKF_RSASignData", "SKF_RSAVerify", "SKF_RSAExportSessionKey",
        "SKF_ExtRSAPubKeyOperation", "SKF_ExtRSAPriKeyOperation", "SKF_GenECCKeyPair", "SKF_ImportECCKeyPair",
        "SKF_ECCSignData", "SKF_ECCVerify", "SKF_ECCExportSessionKey", "SKF_ExtECCEncrypt", "SKF_ExtECCDecrypt",
        "SKF_ExtECCSign", "SKF_ExtECCVerify", "SKF_GenerateAgreementDataWithECC",
        "SKF_GenerateAgreementDataAndKeyWithECC", "SKF_GenerateKeyWithECC", "SKF_ExportPublicKey",
        "SKF_ImportSessionKey", "SKF_SetSymmKey", "SKF_EncryptInit", "SKF_Encrypt", "SKF_EncryptUpdate",
        "SKF_EncryptFinal", "SKF_DecryptInit", "SKF_Decrypt", "SKF_DecryptUpdate", "SKF_DecryptFinal",
        "SKF_DigestInit", "SKF_Digest", "SKF_DigestUpdate", "SKF_DigestFinal", "SKF_MacInit", "SKF_Mac",
        "SKF_MacUpdate", "SKF_MacFinal", "SKF_CloseHandle", "SKF_TransErrorCode"};
    return names;
}

TEST_F(MiddlewareExports, SkfInterfaceIsExportedWithCLinkage)
{
    ASSERT_EQ(79u, SkfInterface().size());
    for (const std::string &strName : SkfInterface())
        EXPECT_NE(m_vecRaw.end(), std::find(m_vecRaw.begin(), m_vecRaw.end(), strName)) << strName;
}

TEST_F(MiddlewareExports, NoOtherSkfNameAndNoObjectOfTheSkfLayerIsExported)
{
    for (size_t i = 0; i < m_vecRaw.size(); ++i) {
        if (m_vecRaw[i].rfind("SKF_", 0) == 0) {
            EXPECT_NE(SkfInterface().end(), std::find(SkfInterface().begin(), SkfInterface().end(), m_vecRaw[i]))
                << m_vecRaw[i];
        }
        for (const char *pszClass : {"CSkf", "CDeviceObject", "CApplicationObject", "CContainerObject", "CKeyObject",
                                     "CBrioManager", "SkfManager"})
            EXPECT_EQ(std::string::npos, m_vecDemangled[i].find(pszClass)) << m_vecDemangled[i];
    }
}

}  // namespace
