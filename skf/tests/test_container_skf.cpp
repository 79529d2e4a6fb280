/* The container functions of the C interface over the container object, as
 * an application calls them, against the virtual token on bus 22. */
#include "skf/tests/ContainerTestSupport.h"

#include "skf/DeviceObject.h"

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

}  // namespace
