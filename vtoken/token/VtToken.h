// One virtual token: its persistent state, its volatile state, and the road
// of a command through it:
//
//   bulk-only wrappers (VtBulkOnly.cpp)
//     -> APDU frame and secure messaging (VtApdu.cpp)
//       -> command table by (class byte, INS) -> handler
//          (VtChipCommands.cpp, VtPinCommands.cpp, ...)
//
// A command set adds itself with one registration function listed in
// CVtCommandTable::Builtin(); its handlers read and change State() and
// answer a status word and payload.  After each command the token compares
// its serialised state with what was last stored and, when it changed, has
// it stored (atomically) before the answer can be read.
#pragma once

#include "vtoken/token/VtBytes.h"
#include "vtoken/token/VtCrypto.h"
#include "vtoken/token/VtState.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace vtoken {

// Status words of the token.
enum : uint16_t {
    kSwOk = 0x9000,
    kSwAuthFailed = 0x6300,       // external authentication cryptogram wrong
    kSwWrongPinBase = 0x63C0,     // | retries left
    kSwMemoryFailure = 0x6581,    // the state could not be stored
    kSwWrongLength = 0x6700,      // frame or secure block of a wrong length
    kSwSecurityStatus = 0x6982,   // PIN authorisation missing or not valid
    kSwPinLocked = 0x6983,
    kSwConditions = 0x6985,       // e.g. an answer without its challenge
    kSwWrongData = 0x6A80,        // body of a wrong length or content
    kSwWrongP1P2 = 0x6A86,
    kSwNotFound = 0x6A88,         // unknown application or PIN type
    kSwOutOfRange = 0x6B00,       // flash address outside the area
    kSwUnknownIns = 0x6D00,       // no such command (or class)
    kSwNoPreciseDiagnosis = 0x6F00,
    kSwButtonNotPressed = 0xF321,
    kSwBadPadding = 0xF525,       // secure block padding wrong
    kSwNoSession = 0xF526,        // no session key, or wrong session identifier
};

constexpr uint8_t kVtClaPlain = 0xB0;
constexpr uint8_t kVtClaSecure = 0xB4;
constexpr size_t kVtMaxFrameBody = 4088;
constexpr size_t kVtMaxAnswer = 1011;  // through the 1024-byte transport area

struct CVtCommand {
    uint8_t byCla = 0;
    uint8_t byIns = 0;
    uint8_t byP1 = 0;
    uint8_t byP2 = 0;
    uint16_t wLe = 0;  // the frame's Le: what the host expects (random count)
    VtBytes vBody;  // the plain body (for a secure command, unwrapped)
};

struct CVtAnswer {
    uint16_t wSW = kSwOk;
    VtBytes vData;
    static CVtAnswer Ok(VtBytes v = {}) { return {kSwOk, std::move(v)}; }
    static CVtAnswer Status(uint16_t sw) { return {sw, {}}; }
};

class CVtToken;
using VtHandler = std::function<CVtAnswer(CVtToken&, const CVtCommand&)>;

class CVtCommandTable {
public:
    void Add(uint8_t byCla, uint8_t byIns, VtHandler handler);
    const VtHandler* Find(uint8_t byCla, uint8_t byIns) const;
    // The table of every command set of the token.
    static const CVtCommandTable& Builtin();

private:
    std::map<uint16_t, VtHandler> m_map;
};

// Registration functions of the command sets.
void VtRegisterChipCommands(CVtCommandTable& table);
void VtRegisterPinCommands(CVtCommandTable& table);
// The product's flash read and wireless commands; registered last, its EA
// replaces the chip commands' one.
void VtRegisterProductCommands(CVtCommandTable& table);
// Containers, files, keys and certificates, cryptography (VtTokenData.h).
void VtRegisterContainerCommands(CVtCommandTable& table);
void VtRegisterFileCommands(CVtCommandTable& table);
void VtRegisterKeyCommands(CVtCommandTable& table);
void VtRegisterCryptoCommands(CVtCommandTable& table);

// Faults injected into the next exchange (control sub-command `fault`).
enum class VtFault { None, Stall, BadTag, CswStatus, Short, Long, Garbage, NoCsw };
bool VtParseFault(const std::string& s, VtFault& fault, uint32_t& ulArg);
std::string VtFaultName(VtFault fault, uint32_t ulArg);
bool VtValidButtonPolicy(const std::string& s);

class CVtToken {
public:
    // Stores the state; false when it could not be stored.
    using Saver = std::function<bool(const CVtTokenState&)>;

    CVtToken(CVtTokenState state, Saver saver);

    CVtTokenState& State() { return m_state; }
    const CVtTokenState& State() const { return m_state; }

    // USB side; each returns a libusb code.  ulFrom names the client
    // connection (0: unnamed); a named connection's bytes in the middle of
    // another connection's write abandon that write and start a new one.
    int BulkOut(uint8_t byEndpoint, const VtBytes& vData, uint64_t ulFrom = 0);
    int BulkIn(uint8_t byEndpoint, uint32_t ulMax, VtBytes& vOut);
    int ClearHalt(uint8_t byEndpoint);
    int KernelDriver(uint8_t byAction);  // 0 query, 1 detach, 2 attach

    // Plug state.  Unplugging loses every volatile state.
    void Plug();
    void Unplug();
    void PowerCycle();
    // A client connection went away (its process ended): a write it left
    // unfinished is abandoned, as the host's reset recovery would.
    void ClientGone(uint64_t ulFrom);

    // Control.
    bool SetButton(const std::string& strPolicy);
    void ArmFault(VtFault fault, uint32_t ulArg) { m_armedFault = fault; m_ulArmedArg = ulArg; }
    std::string Describe() const;
    bool SaveIfChanged();

    // One APDU frame in, the answer bytes out (SW, length, payload); used by
    // the bulk-only layer and by tests.
    VtBytes ProcessFrame(const VtBytes& vFrame);

    // --- services for the command handlers ---
    uint8_t AlgByte() const { return static_cast<uint8_t>(m_state.ulAlgByte); }
    // The 16-byte key of the external authentication, derived from the chip
    // serial number: the first 16 bytes of CBC(alg, master key, MD5(chip SN)).
    VtBytes ExternalAuthKey() const;
    // The authentication key pair and the PIN-transfer key pair.
    VtPkey AuthKey() const;
    VtPkey PinTransferKey() const;
    // The press-button gate of an operation: true when it may go on now,
    // false while the token waits for the button (answer F3 21).
    bool ButtonPressed(uint8_t byIns);
    void CancelButtonWait();
    // PIN authorisation code: set by a verified PIN.
    void SetAuthCode(uint32_t ulPinType, const VtBytes& vCode);
    void ClearAuthCode();
    bool AuthCodeValid(const uint8_t* pbyCode, size_t nLen) const;
    bool HasAuthCode() const { return !m_vAuthCode.empty(); }
    uint32_t AuthPinType() const { return m_ulAuthPinType; }

    // Secure channel.
    void SetTransferKey(const VtBytes& vKey);
    bool HasTransferKey() const { return !m_vTransferKey.empty(); }
    void SetHostAuthenticated(bool b) { m_bHostAuthenticated = b; }

    // The pending challenge of a challenge/answer pair (external
    // authentication, PIN commands); one at a time.
    struct CChallenge {
        uint8_t byIns = 0;
        uint8_t byP2 = 0;
        VtBytes vValue;
    };
    void SetChallenge(uint8_t byIns, uint8_t byP2, const VtBytes& vValue) { m_challenge = {byIns, byP2, vValue}; }
    // The challenge if it was asked with INS; it stays until TakeChallenge.
    const CChallenge* Challenge(uint8_t byIns) const;
    void TakeChallenge() { m_challenge = {}; }

private:
    VtBytes Answer(const CVtAnswer& a, bool bSecure);
    CVtAnswer Dispatch(const CVtCommand& cmd);
    void ResetVolatile();
    void QueueCsw(uint32_t ulTag, uint32_t ulResidue, uint8_t byStatus);
    void HandleCbw(const VtBytes& vCbw);
    void CompleteWrite();

    CVtTokenState m_state;
    Saver m_saver;
    std::string m_strStored;  // the serialised state last stored

    // Bulk-only phase.
    enum class Phase { Command, Data };
    Phase m_phase = Phase::Command;
    uint32_t m_ulTag = 0;
    uint32_t m_ulExpected = 0;   // frame bytes still to come
    uint64_t m_ulWriter = 0;     // connection that sent the write's command block
    bool m_bDiscard = false;     // data of a command block that is refused
    VtBytes m_vFrame;
    bool m_bHaveAnswer = false;
    VtBytes m_vAnswer;           // answer of the last write, for the read command
    VtBytes m_vIn;               // bytes the host can read on the bulk-in endpoint
    bool m_bInHalted = false;
    bool m_bOutHalted = false;
    uint32_t m_ulStallsLeft = 0;

    uint64_t m_ulExchanges = 0;            // frames answered since the daemon started

    VtFault m_armedFault = VtFault::None;  // for the next exchange
    uint32_t m_ulArmedArg = 0;
    VtFault m_fault = VtFault::None;       // of the exchange under way
    uint32_t m_ulFaultArg = 0;

    // Secure channel and authorisation.
    VtBytes m_vTransferKey;
    uint8_t m_abySid[2] = {0, 0};
    bool m_bHostAuthenticated = false;
    VtBytes m_vAuthCode;
    uint32_t m_ulAuthPinType = 0;
    CChallenge m_challenge;

    // Press-button wait.
    bool m_bButtonPending = false;
    uint8_t m_byButtonIns = 0;
    uint32_t m_ulButtonPolls = 0;
};

}  // namespace vtoken
