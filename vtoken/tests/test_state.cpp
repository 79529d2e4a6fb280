// The token state file: what is stored comes back, and a damaged file is
// refused rather than read half.
#include "vtoken/link/VtLink.h"
#include "vtoken/token/VtStore.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The same state in the first file format: no check line at the end.
std::string Unchecked(const CVtTokenState& s)
{
    std::string strText = s.Serialize();
    strText.erase(strText.rfind("\nend ") + 1);
    return strText.replace(0, strText.find('\n'), "brio-vtoken-state 1");
}

TEST(TokenState, DamagedTextIsRefused)
{
    std::string strError;
    CVtTokenState s;
    EXPECT_FALSE(s.Parse("something else\n", strError));
    std::string strText = Unchecked(Sample());
    strText.replace(strText.find("algorithm 3"), 11, "algorithm x");
    EXPECT_FALSE(s.Parse(strText, strError));
    EXPECT_NE(std::string::npos, strError.find("algorithm"));
}

// A file cut anywhere (at a line boundary, inside a hex value, down to its
// first line) or with any one byte changed is refused, never read with
// defaults for what is missing.
TEST(TokenState, EveryCutAndEveryOneByteChangeIsRefused)
{
    const std::string strText = Sample().Serialize();
    CVtTokenState back;
    std::string strError;
    ASSERT_TRUE(back.Parse(strText, strError)) << strError;
    for (size_t n = 0; n < strText.size(); ++n) {
        CVtTokenState s;
        ASSERT_FALSE(s.Parse(strText.substr(0, n), strError)) << "cut after " << n << " bytes";
        EXPECT_FALSE(strError.empty());
    }
    for (size_t i = 0; i < strText.size(); ++i) {
        for (char cXor : {'\x01', '\x20'}) {
            std::string strEdited = strText;
            strEdited[i] = static_cast<char>(strEdited[i] ^ cXor);
            CVtTokenState s;
            ASSERT_FALSE(s.Parse(strEdited, strError)) << "byte " << i << " changed";
        }
    }
}

// Files written before the check line existed still load, but only whole.
TEST(TokenState, UncheckedFormatNeedsEveryFieldOnceAndNoOther)
{
    const std::string strText = Unchecked(Sample());
    CVtTokenState back;
    std::string strError;
    ASSERT_TRUE(back.Parse(strText, strError)) << strError;
    EXPECT_EQ(Sample().Serialize(), back.Serialize());

    // Each scalar line dropped: refused, naming the field.
    size_t pos = strText.find('\n') + 1;
    while (pos < strText.size()) {
        size_t end = strText.find('\n', pos) + 1;
        std::string strName = strText.substr(pos, strText.find(' ', pos) - pos);
        std::string strDropped = strText.substr(0, pos) + strText.substr(end);
        CVtTokenState s;
        if (strName == "file-space") {
            /* Added later: a file without it has the default space. */
            s.ulFileSpace = 1;
            EXPECT_TRUE(s.Parse(strDropped, strError)) << strError;
            EXPECT_EQ(kVtDefaultFileSpace, s.ulFileSpace);
        } else if (strName.find('.') == std::string::npos || strName.compare(0, 4, "so-p") == 0 ||
                   strName.compare(0, 4, "user") == 0) {
            EXPECT_FALSE(s.Parse(strDropped, strError)) << strName;
            EXPECT_NE(std::string::npos, strError.find("missing field " + strName)) << strError;
        }
        pos = end;
    }
    struct Case {
        const char* szWhat;
        std::string strText;
        const char* szError;
    };
    const Case cases[] = {
        {"line twice", strText + "bus 2\n", "bus appears twice"},
        {"unknown line", strText + "colour blue\n", "unknown field colour"},
        {"line without value", strText + "bus\n", "malformed line"},
        {"empty line", strText + "\n", "malformed line"},
        {"file id not a number", strText + "file.12x ff\n", "bad value of file.12x"},
        {"flag not 0 or 1", [&] {
             std::string t = strText;
             return t.replace(t.find("plugged 1"), 9, "plugged 7");
         }(), "bad value of plugged"},
    };
    for (const Case& c : cases) {
        CVtTokenState s;
        EXPECT_FALSE(s.Parse(c.strText, strError)) << c.szWhat;
        EXPECT_NE(std::string::npos, strError.find(c.szError)) << c.szWhat << ": " << strError;
    }
}

class TempDir {
public:
    TempDir()
    {
        char szDir[] = "/tmp/brio-vtoken-store-XXXXXX";
        if (mkdtemp(szDir) != nullptr) {
            m_strPath = szDir;
        }
    }
    ~TempDir()
    {
        nftw(m_strPath.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 8,
             FTW_DEPTH | FTW_PHYS);
    }
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

void WriteFile(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary) << strText;
}

CVtTokenState Token(const std::string& strId, uint32_t ulAddress)
{
    CVtTokenState s = Sample();
    s.strId = s.strSerial = strId;
    s.ulAddress = ulAddress;
    return s;
}

// Each refused file is named with its reason; the good ones load.
TEST(TokenStore, DamagedFilesAreLeftOutAndNamedTheOthersLoad)
{
    TempDir dir;
    CVtStore store(dir.Path());
    std::string strError;
    ASSERT_TRUE(store.Prepare(strError)) << strError;
    CVtTokenState badButton = Token("E", 9);
    badButton.strButton = "after:x";
    CVtTokenState badSpace = Token("H", 11);
    badSpace.ulFileSpace = kVtMaxFileSpace + 1;
    struct Case {
        const char* szFile;
        std::string strText;
        const char* szWhy;  // null: loads
    };
    const std::string strCut = Token("B", 6).Serialize();
    const Case cases[] = {
        {"A.token", Token("A", 5).Serialize(), nullptr},
        {"B.token", strCut.substr(0, strCut.size() / 2), "cut short"},
        {"C.token", Token("A", 7).Serialize(), "holds the id A"},
        {"x.token", Token("../../x", 8).Serialize(), "the id \"../../x\" is not"},
        {"D.token", Token("D", 5).Serialize(), "address 5 is taken by A"},
        {"E.token", badButton.Serialize(), "button policy"},
        {"F.token", Token("F", 10).Serialize(), nullptr},
        {"G.token", "brio-vtoken-state 2\n", "cut short"},
        {"H.token", badSpace.Serialize(), "file space"},
    };
    for (const Case& c : cases) {
        WriteFile(dir.Path() + "/" + c.szFile, c.strText);
    }
    std::vector<CVtTokenState> v;
    std::vector<VtRefusedFile> vRefused;
    ASSERT_TRUE(store.LoadAll(v, vRefused, strError)) << strError;
    std::vector<std::string> vLoaded;
    for (const auto& s : v) {
        vLoaded.push_back(s.strId);
    }
    EXPECT_EQ(std::vector<std::string>({"A", "F"}), vLoaded);
    for (const Case& c : cases) {
        if (c.szWhy == nullptr) {
            continue;
        }
        auto it = std::find_if(vRefused.begin(), vRefused.end(), [&](const VtRefusedFile& r) {
            return r.strPath == dir.Path() + "/" + c.szFile;
        });
        ASSERT_NE(vRefused.end(), it) << c.szFile << " was not refused";
        EXPECT_NE(std::string::npos, it->strWhy.find(c.szWhy)) << c.szFile << ": " << it->strWhy;
    }
    EXPECT_EQ(7u, vRefused.size());
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
    std::vector<VtRefusedFile> vRefused;
    ASSERT_TRUE(store.LoadAll(v, vRefused, strError)) << strError;
    ASSERT_EQ(1u, v.size());
    EXPECT_TRUE(vRefused.empty());
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
