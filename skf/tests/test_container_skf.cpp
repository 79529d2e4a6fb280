/* The container functions of the C interface over the container object, as
 * an application calls them, against the virtual token on bus 22. */
#include "skf/tests/ContainerTestSupport.h"

#include "skf/DeviceObject.h"

#include <algorithm>
#include <string>

namespace {

class ContainerSkfTest : public ContainerTest {
protected:
    ~ContainerSkfTest() override
    {
        if (m_hContainer != nullptr) SKF_CloseContainer(m_hContainer);
        if (m_hApp != nullptr) SKF_CloseApplication(m_hApp);
        if (m_hDev != nullptr) SKF_DisConnectDev(m_hDev);
    }

    /* A token at ulAddr through the C interface: connected, its application
     * open, the user PIN verified, a container "c" created. */
    void Connect(unsigned int ulAddr)
    {
        std::string strName = AddToken(ulAddr);
        ASSERT_EQ(SAR_OK, SKF_ConnectDev(&strName[0], &m_hDev));
        char szApp[] = SKF_APPLICATION_NAME;
        ASSERT_EQ(SAR_OK, SKF_OpenApplication(m_hDev, szApp, &m_hApp));
        char szPin[] = "12345678";
        ULONG ulRetry = 0;
        ASSERT_EQ(SAR_OK, SKF_VerifyPIN(m_hApp, USER_TYPE, szPin, &ulRetry));
        char szContainer[] = "c";
        ASSERT_EQ(SAR_OK, SKF_CreateContainer(m_hApp, szContainer, &m_hContainer));
    }

    /* The application's container names, each followed by '|', sorted. */
    std::string ContainerNames()
    {
        char szList[256] = {};
        ULONG ulSize = sizeof(szList);
        EXPECT_EQ(SAR_OK, SKF_EnumContainer(m_hApp, szList, &ulSize));
        std::vector<std::string> names;
        for (const char *p = szList; *p != '\0'; p += strlen(p) + 1) names.emplace_back(p);
        std::sort(names.begin(), names.end());
        std::string strAll;
        for (const std::string &name : names) strAll += name + "|";
        return strAll;
    }

    DEVHANDLE m_hDev = nullptr;
    HAPPLICATION m_hApp = nullptr;
    HCONTAINER m_hContainer = nullptr;
};

TEST_F(ContainerSkfTest, RsaGenerationTakesRsaBitCountsOnly)
{
    Connect(60);
    ULONG ulType = 9;
    ASSERT_EQ(SAR_OK, SKF_GetContainerType(m_hContainer, &ulType));
    EXPECT_EQ(0u, ulType) << "no key yet";

    RSAPUBLICKEYBLOB pub;
    for (ULONG ulBits : {(ULONG)SGD_SM2_1, (ULONG)SGD_SM2_2, 0x00020800u, 512u, 4096u}) {
        memset(&pub, 0xAA, sizeof(pub));
        EXPECT_EQ(SAR_INDATAERR, SKF_GenRSAKeyPair(m_hContainer, ulBits, &pub)) << ulBits;
        EXPECT_TRUE(AllBytes((unsigned char *)&pub, sizeof(pub), 0xAA)) << ulBits;
    }
    ASSERT_EQ(SAR_OK, SKF_GetContainerType(m_hContainer, &ulType));
    EXPECT_EQ(0u, ulType) << "nothing was generated";

    ASSERT_EQ(SAR_OK, SKF_GenRSAKeyPair(m_hContainer, 1024, &pub));
    EXPECT_EQ(1024u, Field(pub.BitLen));
    ASSERT_EQ(SAR_OK, SKF_GetContainerType(m_hContainer, &ulType));
    EXPECT_EQ(1u, ulType);

    /* A wrapped RSA-1024 key is refused, not read as a plain record. */
    Bytes wrapped = Random(128), data = Random(780);
    EXPECT_EQ(SAR_NOTSUPPORTYETERR,
              SKF_ImportRSAKeyPair(m_hContainer, SGD_SMS4_ECB, wrapped.data(), 128, data.data(), 780));
}

/* The signing public key of a container as its handle exports it. */
static Bytes SignPublicKey(HCONTAINER hContainer)
{
    ECCPUBLICKEYBLOB pub = {};
    ULONG ulLen = sizeof(pub);
    EXPECT_EQ(SAR_OK, SKF_ExportPublicKey(hContainer, TRUE, (BYTE *)&pub, &ulLen));
    const unsigned char *pb = (const unsigned char *)&pub;
    return Bytes(pb, pb + sizeof(pub));
}

/* "#2" marks the single-certificate mode and is taken off once: "a#2#2"
 * names the container "a#2", never its neighbour "a". */
TEST_F(ContainerSkfTest, SingleCertSuffixIsStrippedOnce)
{
    ASSERT_NO_FATAL_FAILURE(Connect(61));
    char szA[] = "a", szA22[] = "a#2#2";
    HCONTAINER hA = nullptr, hA2 = nullptr;
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(SAR_OK, SKF_CreateContainer(m_hApp, szA, &hA));
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hA, SGD_SM2_1, &pub));
    const Bytes keyOfA = SignPublicKey(hA);
    ASSERT_EQ(SAR_OK, SKF_CloseContainer(hA));

    /* Create: the new handle is bound to "a#2". */
    ASSERT_EQ(SAR_OK, SKF_CreateContainer(m_hApp, szA22, &hA2));
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hA2, SGD_SM2_1, &pub));
    const Bytes keyOfA2 = SignPublicKey(hA2);
    ASSERT_EQ(SAR_OK, SKF_CloseContainer(hA2));
    EXPECT_NE(keyOfA, keyOfA2);
    EXPECT_EQ(std::string("a|a#2|c|"), ContainerNames());
    ASSERT_EQ(SAR_OK, SKF_OpenContainer(m_hApp, szA, &hA));
    EXPECT_EQ(keyOfA, SignPublicKey(hA)) << "the keys of \"a\" were overwritten";
    ASSERT_EQ(SAR_OK, SKF_CloseContainer(hA));

    /* Open: "a#2#2" opens "a#2". */
    ASSERT_EQ(SAR_OK, SKF_OpenContainer(m_hApp, szA22, &hA2));
    EXPECT_EQ(keyOfA2, SignPublicKey(hA2));
    ASSERT_EQ(SAR_OK, SKF_CloseContainer(hA2));

    /* Delete: "a#2#2" deletes "a#2" and leaves "a". */
    ASSERT_EQ(SAR_OK, SKF_DeleteContainer(m_hApp, szA22));
    EXPECT_EQ(std::string("a|c|"), ContainerNames());
    ASSERT_EQ(SAR_OK, SKF_OpenContainer(m_hApp, szA, &hA));
    EXPECT_EQ(keyOfA, SignPublicKey(hA));
    ASSERT_EQ(SAR_OK, SKF_CloseContainer(hA));
}

}  // namespace
