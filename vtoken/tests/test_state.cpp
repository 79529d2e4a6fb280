// The token state file: what is stored comes back, and a damaged file is
// refused rather than read half.
#include "vtoken/link/VtLink.h"
#include "vtoken/token/VtStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <unistd.h>

using namespace vtoken;

namespace {

CVtTokenState Sample()
{
    CVtTokenState s;
    s.strId = s.strSerial = "VT-1";
    s.strLabel = "label with spaces\nand a newline";
    s.vChipSerial = {1, 2, 3};
    s.ulAlgByte = 3;
    s.aPins[kVtPinUser].ulRetriesLeft = 4;
    s.aPins[kVtPinUser].bDefault = false;
    s.mapFiles[0xD000] = VtBytes(592, 0);
    s.mapRecords["container one"] = {9, 8, 7};
    return s;
}

TEST(TokenState, SerialisedStateParsesToTheSameState)
{
    CVtTokenState s = Sample();
    CVtTokenState back;
    std::string strError;
    ASSERT_TRUE(back.Parse(s.Serialize(), strError)) << strError;
    EXPECT_EQ(s.Serialize(), back.Serialize());
    EXPECT_EQ(s.strLabel, back.strLabel);
    EXPECT_EQ(4u, back.aPins[kVtPinUser].ulRetriesLeft);
    EXPECT_EQ(VtBytes({9, 8, 7}), back.mapRecords["container one"]);
}

TEST(TokenState, DamagedTextIsRefused)
{
    std::string strError;
    CVtTokenState s;
    EXPECT_FALSE(s.Parse("something else\n", strError));
    std::string strText = Sample().Serialize();
    strText.replace(strText.find("algorithm 3"), 11, "algorithm x");
    EXPECT_FALSE(s.Parse(strText, strError));
    EXPECT_NE(std::string::npos, strError.find("algorithm"));
}

TEST(TokenStore, SaveReplacesTheFileAndLeavesNoTemporary)
{
    char szDir[] = "/tmp/brio-vtoken-store-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    CVtStore store(std::string(szDir) + "/state");
    std::string strError;
    ASSERT_TRUE(store.Prepare(strError)) << strError;
    CVtTokenState s = Sample();
    ASSERT_TRUE(store.Save(s, strError)) << strError;
    s.strLabel = "second";
    ASSERT_TRUE(store.Save(s, strError)) << strError;
    std::vector<CVtTokenState> v;
    ASSERT_TRUE(store.LoadAll(v, strError)) << strError;
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ("second", v[0].strLabel);
    std::ifstream tmp(store.Dir() + "/.VT-1.token.tmp");
    EXPECT_FALSE(tmp.good());
    nftw(szDir, [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 8,
         FTW_DEPTH | FTW_PHYS);
}

TEST(TokenStore, IdsAreSafeFileNames)
{
    EXPECT_TRUE(VtValidTokenId("VT0000000001"));
    EXPECT_FALSE(VtValidTokenId(""));
    EXPECT_FALSE(VtValidTokenId("../x"));
    EXPECT_FALSE(VtValidTokenId(".hidden"));
    EXPECT_FALSE(VtValidTokenId("12345678901234567"));
}

struct SocketCase {
    const char* szSocket;   // BRIO_VTOKEN_SOCKET, or null
    const char* szRuntime;  // XDG_RUNTIME_DIR, or null
    std::string strExpected;
};

class SocketPath : public ::testing::TestWithParam<SocketCase> {};

TEST_P(SocketPath, FollowsTheEnvironmentInOrder)
{
    auto set = [](const char* szName, const char* szValue) {
        if (szValue != nullptr) {
            setenv(szName, szValue, 1);
        } else {
            unsetenv(szName);
        }
    };
    set("BRIO_VTOKEN_SOCKET", GetParam().szSocket);
    set("XDG_RUNTIME_DIR", GetParam().szRuntime);
    EXPECT_EQ(GetParam().strExpected, VtDefaultSocketPath());
}

INSTANTIATE_TEST_SUITE_P(
    Env, SocketPath,
    ::testing::Values(SocketCase {"/x/sock", "/run/user/7", "/x/sock"},
                      SocketCase {nullptr, "/run/user/7", "/run/user/7/brio-vtoken/socket"},
                      SocketCase {"", "relative", "/tmp/brio-vtoken-" + std::to_string(getuid()) + "/socket"},
                      SocketCase {nullptr, nullptr, "/tmp/brio-vtoken-" + std::to_string(getuid()) + "/socket"}));

}  // namespace
