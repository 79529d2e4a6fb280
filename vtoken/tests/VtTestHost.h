// The host side for the virtual token's own tests: a libusb connection that
// speaks the bulk-only wrappers, and a minimal APDU host with the secure
// channel, written directly on OpenSSL.
#pragma once

#include "vtoken/testkit/VTokenTestKit.h"
#include "vtoken/token/VtBytes.h"
#include "vtoken/token/VtCrypto.h"
#include "vtoken/token/VtState.h"

#include <libusb.h>

#include <string>

namespace vtoken {
namespace test {

constexpr uint8_t kEpIn = 0x81;
constexpr uint8_t kEpOut = 0x02;

VtBytes Cbw(uint32_t ulTag, uint32_t ulLength, uint8_t byFlags, uint8_t byCmd, uint32_t ulFrame);

// One open token.
class CUsbLink {
public:
    CUsbLink(libusb_context* ctx, uint8_t byBus, uint8_t byAddress);
    ~CUsbLink();
    bool IsOpen() const { return m_pHandle != nullptr; }
    libusb_device_handle* Handle() const { return m_pHandle; }
    uint32_t Tag() const { return m_ulTag; }

    int Out(const VtBytes& v);
    int In(VtBytes& v, int iMax = 1024);
    // Reads until the last 13 bytes are a status wrapper (at most 1024 bytes).
    int ReadReply(VtBytes& vData, VtBytes& vCsw);

    // One exchange the way the transport does it; 0 or a libusb error,
    // -100 for a wrapper that is wrong (tag, status, signature).
    int Exchange(const VtBytes& vFrame, VtBytes& vAnswer);

private:
    libusb_device_handle* m_pHandle = nullptr;
    uint32_t m_ulTag = 0x12345678;
};

struct CApduReply {
    int iUsb = 0;          // transport result
    uint16_t wSW = 0;
    VtBytes vPayload;      // decrypted for a secure command
    size_t nRaw = 0;       // bytes of the answer as received
};

// The middleware's side of the link, enough to drive every token command.
class CHost {
public:
    CHost(CUsbLink& link, uint8_t byAlg) : m_link(link), m_byAlg(byAlg) {}

    CApduReply Plain(uint8_t byIns, uint8_t byP1, uint8_t byP2, const VtBytes& vBody = {});
    CApduReply Secure(uint8_t byIns, uint8_t byP1, uint8_t byP2, const VtBytes& vBody = {});
    CApduReply Raw(const VtBytes& vFrame);

    // Reads the chip serial, authenticates externally, checks the product
    // signature of the exported key and sets a fresh session key.
    // Returns "" or what failed.
    std::string EstablishSession(bool bCheckSignature = true);
    VtBytes ExternalAuthKey();

    // PIN operations as the middleware performs them.
    CApduReply VerifyPin(uint8_t byPinType, const std::string& strPin);
    CApduReply ChangePin(uint8_t byPinType, const std::string& strOld, const std::string& strNew);
    CApduReply AdminPair(uint8_t byIns, const std::string& strSoPin);      // unlock/reset with P2 0
    CApduReply IssuerPair(uint8_t byIns);                                  // unlock/reset with P2 1
    CApduReply PinStatus(uint8_t byPinType) { return Secure(0x14, 0, byPinType, {0, 0}); }
    // Sends the last answer command again, as the press-button wait does.
    CApduReply RepeatAnswer() { return Secure(m_byLastIns, 1, m_byLastP2, m_vLastAnswer); }

    VtBytes m_vTransferKey;
    uint8_t m_abySid[2] = {0, 0};
    VtBytes m_vChallenge;  // of the last challenge request

private:
    VtBytes PinProof(const VtBytes& vChallenge, const std::string& strPin);
    CApduReply Answer(const VtBytes& vBody, uint8_t byIns, uint8_t byP2, const VtBytes& vKey132,
                      const VtBytes& vPlain);

    CUsbLink& m_link;
    uint8_t m_byAlg;
    uint8_t m_byLastIns = 0;
    uint8_t m_byLastP2 = 0;
    VtBytes m_vLastAnswer;
};

// Product public keys as the middleware compiles them in.
VtPkey ProductSm2Public();
VtPkey ProductRsaPublic();
bool VerifyProductSignature(uint8_t byAlg, const VtBytes& vPublic, const VtBytes& vSig);
// RSA PKCS #1 v1.5 encryption under N || E; SM2 encryption giving C1 || C2 || C3.
VtBytes RsaEncrypt(const VtBytes& vKey132, const VtBytes& vPlain);
VtBytes Sm2Encrypt(const VtBytes& vXY, const VtBytes& vPlain);

// A daemon fixture with a libusb context.
class CTokenFixture {
public:
    CTokenFixture();
    ~CTokenFixture();
    Daemon m_daemon;
    libusb_context* m_pCtx = nullptr;
};

}  // namespace test
}  // namespace vtoken
