/* A fixture for tests of the SKF handle objects against the virtual token:
 * a private daemon, tokens on the suite's own bus (each test its own
 * address, so its own device mutex), and a connection opened the way the
 * device manager opens it (a product context, a product operator
 * initialised with external authentication).  The objects under test are
 * made on Context(). */
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SarnCore/BrioContext.h"
#include "SarnCore/BrioOperator.h"
#include "SarnCore/tests/VTokenContext.h"
#include "vtoken/testkit/VTokenTestKit.h"

class SkfTokenTest : public ::testing::Test {
protected:
    explicit SkfTokenTest(unsigned int ulBus) : m_ulBus(ulBus) {}

    ~SkfTokenTest() override { CloseToken(); }

    std::string Serial(unsigned int ulAddr) const
    {
        return "VTSKF" + std::to_string(m_ulBus) + "A" + std::to_string(ulAddr);
    }

    /* A new token at ulAddr (ulAlg 0x13 SM2/SM4, 3 RSA/3DES); its name. */
    std::string AddToken(unsigned int ulAddr, unsigned int ulAlg = 0x13, const std::string &userPin = "12345678")
    {
        vtoken::TokenOptions opts;
        opts.serial = Serial(ulAddr);
        opts.bus = m_ulBus;
        opts.address = ulAddr;
        opts.algByte = ulAlg;
        opts.userPin = userPin;
        opts.extraArgs = extraInitArgs;
        daemon.CreateToken(opts);
        return DeviceNameOf(m_ulBus, ulAddr);
    }

    /* A token at ulAddr, opened; the user PIN verified when bVerify. */
    void OpenToken(unsigned int ulAddr, unsigned int ulAlg = 0x13, bool bVerify = false)
    {
        AddToken(ulAddr, ulAlg);
        ConnectToken(ulAddr, bVerify);
    }

    /* A new connection to the token at ulAddr (after CloseToken); the user
     * PIN verified when bVerify. */
    void ConnectToken(unsigned int ulAddr, bool bVerify)
    {
        std::string name = DeviceNameOf(m_ulBus, ulAddr);
        m_strSerial = Serial(ulAddr);
        m_pContext = new CBrioContext();
        ASSERT_EQ(0u, m_pContext->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
        m_pOperator = new CBrioOperator(m_pContext);
        ASSERT_EQ(0u, m_pOperator->Initialize(0));
        if (bVerify) {
            ASSERT_EQ(0u, VerifyUserPin());
        }
    }

    unsigned int VerifyUserPin(const char *pszPin = "12345678")
    {
        return m_pOperator->VerifyPIN(1, (char *)pszPin, (unsigned char)strlen(pszPin));
    }

    void CloseToken()
    {
        if (m_pOperator != nullptr) {
            m_pOperator->Finalize();  /* closes and deletes the context */
            delete m_pOperator;
            m_pOperator = nullptr;
            m_pContext = nullptr;
        }
    }

    CDeviceContext *Context() const { return m_pContext; }
    CBrioOperator *Operator() const { return m_pOperator; }
    const std::string &TokenSerial() const { return m_strSerial; }

    vtoken::Daemon daemon;
    /* Further `init` options of the tokens AddToken makes. */
    std::vector<std::string> extraInitArgs;

private:
    unsigned int m_ulBus;
    std::string m_strSerial;
    CBrioContext *m_pContext = nullptr;
    CBrioOperator *m_pOperator = nullptr;
};
