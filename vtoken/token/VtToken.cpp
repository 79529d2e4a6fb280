#include "vtoken/token/VtToken.h"

#include <openssl/crypto.h>

#include <cstdio>

namespace vtoken {

namespace {

// Master key of the external authentication.
const uint8_t kExternalAuthMaster[16] = {0x3F, 0x7A, 0x19, 0xC2, 0xE0, 0x5B, 0x4D, 0x88,
                                         0x61, 0xA2, 0xF0, 0xC9, 0x3E, 0x17, 0xB6, 0xD4};

bool ParseCount(const std::string& s, uint32_t& ul)
{
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    ul = static_cast<uint32_t>(std::stoul(s));
    return true;
}

}  // namespace

void CVtCommandTable::Add(uint8_t byCla, uint8_t byIns, VtHandler handler)
{
    m_map[static_cast<uint16_t>((byCla << 8) | byIns)] = std::move(handler);
}

const VtHandler* CVtCommandTable::Find(uint8_t byCla, uint8_t byIns) const
{
    auto it = m_map.find(static_cast<uint16_t>((byCla << 8) | byIns));
    return it == m_map.end() ? nullptr : &it->second;
}

const CVtCommandTable& CVtCommandTable::Builtin()
{
    static const CVtCommandTable table = [] {
        CVtCommandTable t;
        VtRegisterChipCommands(t);
        VtRegisterPinCommands(t);
        VtRegisterContainerCommands(t);
        VtRegisterFileCommands(t);
        VtRegisterKeyCommands(t);
        VtRegisterCryptoCommands(t);
        VtRegisterProductCommands(t);
        return t;
    }();
    return table;
}

bool VtParseFault(const std::string& s, VtFault& fault, uint32_t& ulArg)
{
    ulArg = 0;
    if (s == "none") {
        fault = VtFault::None;
    } else if (s == "stall") {
        fault = VtFault::Stall;
        ulArg = 1;
    } else if (s.compare(0, 6, "stall:") == 0) {
        fault = VtFault::Stall;
        return ParseCount(s.substr(6), ulArg) && ulArg >= 1;
    } else if (s == "bad-tag") {
        fault = VtFault::BadTag;
    } else if (s == "csw-status") {
        fault = VtFault::CswStatus;
    } else if (s.compare(0, 6, "short:") == 0) {
        fault = VtFault::Short;
        return ParseCount(s.substr(6), ulArg) && ulArg <= 3;
    } else if (s == "long") {
        fault = VtFault::Long;
    } else if (s == "garbage") {
        fault = VtFault::Garbage;
    } else if (s == "no-csw") {
        fault = VtFault::NoCsw;
    } else {
        return false;
    }
    return true;
}

std::string VtFaultName(VtFault fault, uint32_t ulArg)
{
    switch (fault) {
    case VtFault::None: return "none";
    case VtFault::Stall: return "stall:" + std::to_string(ulArg);
    case VtFault::BadTag: return "bad-tag";
    case VtFault::CswStatus: return "csw-status";
    case VtFault::Short: return "short:" + std::to_string(ulArg);
    case VtFault::Long: return "long";
    case VtFault::Garbage: return "garbage";
    case VtFault::NoCsw: return "no-csw";
    }
    return "none";
}

bool VtValidButtonPolicy(const std::string& s)
{
    uint32_t ul = 0;
    return s == "now" || s == "never" || (s.compare(0, 6, "after:") == 0 && ParseCount(s.substr(6), ul));
}

CVtToken::CVtToken(CVtTokenState state, Saver saver) : m_state(std::move(state)), m_saver(std::move(saver))
{
    m_strStored = m_state.Serialize();
}

bool CVtToken::SaveIfChanged()
{
    std::string strNow = m_state.Serialize();
    if (strNow == m_strStored) {
        return true;
    }
    if (m_saver && !m_saver(m_state)) {
        // Not stored: the change did not happen.
        CVtTokenState old;
        std::string strError;
        if (old.Parse(m_strStored, strError)) {
            m_state = std::move(old);
        }
        return false;
    }
    m_strStored = std::move(strNow);
    return true;
}

void CVtToken::ResetVolatile()
{
    m_phase = Phase::Command;
    m_ulExpected = 0;
    m_bDiscard = false;
    m_vFrame.clear();
    m_bHaveAnswer = false;
    m_vAnswer.clear();
    m_vIn.clear();
    m_bInHalted = m_bOutHalted = false;
    m_ulStallsLeft = 0;
    m_fault = VtFault::None;
    VtWipe(m_vTransferKey);
    m_abySid[0] = m_abySid[1] = 0;
    m_bHostAuthenticated = false;
    ClearAuthCode();
    m_challenge = {};
    CancelButtonWait();
}

void CVtToken::Plug()
{
    if (!m_state.bPlugged) {
        ResetVolatile();
        m_state.bPlugged = true;
        m_state.ulGeneration++;
        m_state.bKernelDriver = true;  // the kernel binds its driver to a new device
    }
}

void CVtToken::Unplug()
{
    m_state.bPlugged = false;
    ResetVolatile();
}

void CVtToken::PowerCycle()
{
    ResetVolatile();
}

int CVtToken::KernelDriver(uint8_t byAction)
{
    switch (byAction) {
    case 0: return m_state.bKernelDriver ? 1 : 0;
    case 1:
        if (!m_state.bKernelDriver) {
            return -5;  // LIBUSB_ERROR_NOT_FOUND
        }
        m_state.bKernelDriver = false;
        return 0;
    case 2:
        if (m_state.bKernelDriver) {
            return -6;  // LIBUSB_ERROR_BUSY
        }
        m_state.bKernelDriver = true;
        return 0;
    default: return -2;  // LIBUSB_ERROR_INVALID_PARAM
    }
}

bool CVtToken::SetButton(const std::string& strPolicy)
{
    if (!VtValidButtonPolicy(strPolicy)) {
        return false;
    }
    m_state.strButton = strPolicy;
    CancelButtonWait();
    return true;
}

bool CVtToken::ButtonPressed(uint8_t byIns)
{
    const std::string& p = m_state.strButton;
    if (p == "now") {
        return true;
    }
    if (!m_bButtonPending || m_byButtonIns != byIns) {
        m_bButtonPending = true;
        m_byButtonIns = byIns;
        m_ulButtonPolls = 0;
    }
    if (p == "never") {
        return false;
    }
    uint32_t ulAfter = static_cast<uint32_t>(std::stoul(p.substr(6)));
    if (m_ulButtonPolls >= ulAfter) {
        CancelButtonWait();
        return true;
    }
    m_ulButtonPolls++;
    return false;
}

void CVtToken::CancelButtonWait()
{
    m_bButtonPending = false;
    m_byButtonIns = 0;
    m_ulButtonPolls = 0;
}

void CVtToken::SetAuthCode(uint32_t ulPinType, const VtBytes& vCode)
{
    m_vAuthCode = vCode;
    m_ulAuthPinType = ulPinType;
}

void CVtToken::ClearAuthCode()
{
    VtWipe(m_vAuthCode);
    m_ulAuthPinType = 0;
}

bool CVtToken::AuthCodeValid(const uint8_t* pbyCode, size_t nLen) const
{
    return !m_vAuthCode.empty() && pbyCode != nullptr && nLen == m_vAuthCode.size() &&
           CRYPTO_memcmp(pbyCode, m_vAuthCode.data(), nLen) == 0;
}

void CVtToken::SetTransferKey(const VtBytes& vKey)
{
    m_vTransferKey = vKey;
    m_abySid[0] = vKey[0];
    m_abySid[1] = vKey[1];
}

const CVtToken::CChallenge* CVtToken::Challenge(uint8_t byIns) const
{
    return !m_challenge.vValue.empty() && m_challenge.byIns == byIns ? &m_challenge : nullptr;
}

VtBytes CVtToken::ExternalAuthKey() const
{
    VtBytes vOut;
    VtBytes vMaster(kExternalAuthMaster, kExternalAuthMaster + 16);
    if (VtSymCrypt(AlgByte(), true, vMaster, VtMd5(m_state.vChipSerial), vOut) != VtSymResult::Ok ||
        vOut.size() < 16) {
        return {};
    }
    vOut.resize(16);
    return vOut;
}

VtPkey CVtToken::AuthKey() const
{
    const VtBytes& v = m_state.vAuthKey;
    if (AlgByte() == 0x13) {
        if (v.size() != 32 + 65) {
            return nullptr;
        }
        return VtSm2FromParts(VtBytes(v.begin(), v.begin() + 32), VtBytes(v.begin() + 32, v.end()));
    }
    return VtPrivateFromDer(v);
}

VtPkey CVtToken::PinTransferKey() const
{
    return VtPrivateFromDer(m_state.vPinTransferKey);
}

std::string CVtToken::Describe() const
{
    const CVtTokenState& s = m_state;
    char szName[64];
    snprintf(szName, sizeof(szName), "Mirel&pid_f00d&bus_%03u&addr_%03u", s.ulBus & 0xFF, s.ulAddress & 0xFF);
    std::string out;
    auto line = [&out](const std::string& k, const std::string& v) { out += k + ": " + v + "\n"; };
    auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
    line("id", s.strId);
    line("serial", s.strSerial);
    line("label", s.strLabel);
    line("chip-serial", VtHex(s.vChipSerial));
    line("algorithm", s.ulAlgByte == 0x13 ? "0x13 (SM2/SM4)" : "0x03 (RSA/3DES)");
    line("key-id", std::to_string(s.ulKeyId));
    line("file-space", std::to_string(s.ulFileSpace));
    line("bus", std::to_string(s.ulBus));
    line("address", std::to_string(s.ulAddress));
    line("device-name", szName);
    line("plugged", yes(s.bPlugged));
    line("generation", std::to_string(s.ulGeneration));
    line("kernel-driver", yes(s.bKernelDriver));
    line("button", s.strButton);
    line("button-waiting", yes(m_bButtonPending));
    line("pending-fault", VtFaultName(m_armedFault, m_ulArmedArg));
    line("exchanges", std::to_string(m_ulExchanges));
    line("auth-key-signed-by", s.bAuthSignedByProduct ? "product" : "foreign");
    line("host-authenticated", yes(m_bHostAuthenticated));
    line("session-key", yes(!m_vTransferKey.empty()));
    line("auth-code", m_vAuthCode.empty() ? "none" : "valid for pin type " + std::to_string(m_ulAuthPinType));
    static const char* const kPin[2] = {"so-pin", "user-pin"};
    for (int i = 0; i < 2; ++i) {
        line(std::string(kPin[i]) + "-max-retries", std::to_string(s.aPins[i].ulMaxRetries));
        line(std::string(kPin[i]) + "-retries-left", std::to_string(s.aPins[i].ulRetriesLeft));
        line(std::string(kPin[i]) + "-default", yes(s.aPins[i].bDefault));
    }
    line("files", std::to_string(s.mapFiles.size()));
    line("records", std::to_string(s.mapRecords.size()));
    return out;
}

}  // namespace vtoken
