// Control sub-commands of the daemon: create tokens, plug and unplug them,
// set the button policy, inject faults, show state.
#include "vtoken/daemon/VtServer.h"

#include <cstdio>
#include <map>
#include <set>

namespace vtoken {

namespace {

// The PIN lengths the middleware verifies; a token made with another PIN
// could never be logged in to.
constexpr size_t kMinPinLength = 6;
constexpr size_t kMaxPinLength = 16;

const char kUsage[] =
    "commands:\n"
    "  init --serial S [--label L] [--alg 0x13|3] [--bus B] [--address A]\n"
    "       [--user-pin P] [--so-pin P] [--user-retries N] [--so-retries N]\n"
    "       [--chip-sn HEX] [--key-id N] [--file-space N] [--unplugged] [--foreign-signature]\n"
    "  plug S | unplug S\n"
    "  button S now|after:N|never\n"
    "  fault S stall|stall:N|bad-tag|csw-status|short:N|long|garbage|no-csw|none\n"
    "  show S\n"
    "  list\n";

bool ParseNumber(const std::string& s, uint32_t ulMin, uint32_t ulMax, uint32_t& ul)
{
    try {
        size_t pos = 0;
        unsigned long x = std::stoul(s, &pos, 0);
        if (pos != s.size() || x < ulMin || x > ulMax) {
            return false;
        }
        ul = static_cast<uint32_t>(x);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int Refuse(std::string& strOut, const std::string& strWhy)
{
    strOut = strWhy + "\n";
    return 1;
}

// A command line the daemon does not understand, answered with the usage.
int UsageError(std::string& strOut, const std::string& strWhy)
{
    strOut = strWhy + "\n" + kUsage;
    return kVtUsageError;
}

// Signs the exported authentication key the way the middleware verifies it:
// SM2: raw signature over e = SM3("Sarn-Product" || X || Y);
// RSA: PKCS #1 v1.5 with SHA-1 over "Sarn-Product" || N (128) || E (4).
bool SignAuthKey(uint32_t ulAlg, EVP_PKEY* pRoot, const VtBytes& vPublic, VtBytes& vSig)
{
    VtBytes vData = VtBytesOf("Sarn-Product");
    VtAppend(vData, vPublic);
    if (ulAlg == 0x13) {
        return VtSm2SignDigest(pRoot, VtSm3(vData), vSig);
    }
    return VtRsaSignSha1(pRoot, vData, vSig);
}

// The product root key, as an SM2 key of OpenSSL's SM2 type or an RSA key.
VtPkey RootKey(const std::string& strDir, uint32_t ulAlg, bool bForeign)
{
    if (bForeign) {
        return ulAlg == 0x13 ? VtSm2Generate() : VtRsaGenerate(1024);
    }
    VtPkey key = VtLoadPrivatePem(strDir + (ulAlg == 0x13 ? "/product-sm2-private.pem" : "/product-rsa-private.pem"));
    if (!key || ulAlg != 0x13) {
        return key;
    }
    VtBytes vD;
    VtBytes vPub;
    if (!VtSm2Parts(key.get(), vD, vPub)) {
        return nullptr;
    }
    VtPkey sm2 = VtSm2FromParts(vD, vPub);
    VtWipe(vD);
    return sm2;
}

}  // namespace

const char* VtCommandUsage()
{
    return kUsage;
}

int CVtServer::CtlInit(const std::vector<std::string>& args, std::string& strOut)
{
    CVtTokenState s;
    std::string strUserPin = "12345678";
    std::string strSoPin = "12345678";
    bool bForeign = false;
    bool bAddressGiven = false;
    s.vChipSerial = VtRandom(8);
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        uint32_t ul = 0;
        if (a == "--unplugged") {
            s.bPlugged = false;
        } else if (a == "--foreign-signature") {
            bForeign = true;
        } else if (!value(v)) {
            return UsageError(strOut, "init: " + a + (a.compare(0, 2, "--") == 0 ? " needs a value" : ": unknown argument"));
        } else if (a == "--serial") {
            s.strId = s.strSerial = v;
        } else if (a == "--label") {
            if (v.size() > 32) {
                return Refuse(strOut, "init: the label has at most 32 bytes");
            }
            s.strLabel = v;
        } else if (a == "--alg") {
            if (!ParseNumber(v, 0, 255, ul) || (ul != 0x13 && ul != 3)) {
                return Refuse(strOut, "init: --alg is 0x13 (SM2/SM4) or 3 (RSA/3DES)");
            }
            s.ulAlgByte = ul;
        } else if (a == "--bus" || a == "--address") {
            if (!ParseNumber(v, 1, a == "--bus" ? 255 : 127, ul)) {
                return Refuse(strOut, "init: bad " + a);
            }
            (a == "--bus" ? s.ulBus : s.ulAddress) = ul;
            bAddressGiven = bAddressGiven || a == "--address";
        } else if (a == "--user-pin" || a == "--so-pin") {
            if (v.size() < kMinPinLength || v.size() > kMaxPinLength) {
                return Refuse(strOut, "init: " + a + " takes 6 to 16 characters (the middleware verifies no PIN of another length)");
            }
            (a == "--user-pin" ? strUserPin : strSoPin) = v;
        } else if (a == "--user-retries" || a == "--so-retries") {
            if (!ParseNumber(v, 1, 15, ul)) {
                return Refuse(strOut, "init: retry counts are 1 to 15");
            }
            CVtPin& pin = s.aPins[a == "--user-retries" ? kVtPinUser : kVtPinAdmin];
            pin.ulMaxRetries = pin.ulRetriesLeft = ul;
        } else if (a == "--chip-sn") {
            if (!VtUnhex(v, s.vChipSerial) || s.vChipSerial.empty() || s.vChipSerial.size() > 16) {
                return Refuse(strOut, "init: --chip-sn is 1 to 16 bytes in hexadecimal");
            }
        } else if (a == "--key-id") {
            if (!ParseNumber(v, 0, 0xFFFF, ul)) {
                return Refuse(strOut, "init: bad --key-id");
            }
            s.ulKeyId = ul;
        } else if (a == "--file-space") {
            if (!ParseNumber(v, kVtMinFileSpace, kVtMaxFileSpace, ul)) {
                return Refuse(strOut, "init: --file-space is 4096 to 16777216 bytes");
            }
            s.ulFileSpace = ul;
        } else {
            return UsageError(strOut, "init: unknown option " + a);
        }
    }
    if (!VtValidTokenId(s.strId)) {
        return Refuse(strOut, "init: --serial is 1 to 16 of A-Z a-z 0-9 _ . - (not starting with a dot)");
    }
    if (Find(s.strId) != nullptr) {
        return Refuse(strOut, "init: a token " + s.strId + " exists");
    }
    auto refused = m_mapRefused.find(m_store.PathOf(s.strId));
    if (refused != m_mapRefused.end()) {
        return Refuse(strOut, "init: the state file " + refused->first + " was not loaded (" + refused->second +
                                  "); repair or remove it first");
    }
    auto taken = [this](uint32_t ulBus, uint32_t ulAddress) {
        for (auto& kv : m_mapTokens) {
            if (kv.second->State().ulBus == ulBus && kv.second->State().ulAddress == ulAddress) {
                return true;
            }
        }
        return false;
    };
    if (!bAddressGiven) {
        while (s.ulAddress < 127 && taken(s.ulBus, s.ulAddress)) {
            s.ulAddress++;
        }
    }
    if (taken(s.ulBus, s.ulAddress)) {
        return Refuse(strOut, "init: bus " + std::to_string(s.ulBus) + " address " + std::to_string(s.ulAddress) +
                                  " is taken by another token");
    }
    if (s.strLabel.empty() && std::find(args.begin(), args.end(), "--label") == args.end()) {
        s.strLabel = "Brio Virtual Token";
    }

    VtPkey root = RootKey(m_strKeysDir, s.ulAlgByte, bForeign);
    VtPkey auth = s.ulAlgByte == 0x13 ? VtSm2Generate() : VtRsaGenerate(1024);
    VtPkey pinKey = VtRsaGenerate(1024);
    if (!root) {
        return Refuse(strOut, "init: cannot read the product root key in " + m_strKeysDir);
    }
    VtBytes vPublic;
    if (s.ulAlgByte == 0x13) {
        VtBytes vD;
        VtBytes vPub;
        if (!auth || !VtSm2Parts(auth.get(), vD, vPub)) {
            return Refuse(strOut, "init: key generation failed");
        }
        s.vAuthKey = vD;
        VtAppend(s.vAuthKey, vPub);
        VtWipe(vD);
        vPublic = VtSm2PublicXY(auth.get());
    } else {
        if (!auth) {
            return Refuse(strOut, "init: key generation failed");
        }
        s.vAuthKey = VtPrivateToDer(auth.get());
        vPublic = VtRsaPublicNE(auth.get());
    }
    if (!pinKey || !SignAuthKey(s.ulAlgByte, root.get(), vPublic, s.vAuthSignature)) {
        return Refuse(strOut, "init: signing the authentication key failed");
    }
    s.bAuthSignedByProduct = !bForeign;
    s.vPinTransferKey = VtPrivateToDer(pinKey.get());
    s.aPins[kVtPinUser].vMd5 = s.aPins[kVtPinUser].vFactoryMd5 = VtMd5(VtBytesOf(strUserPin));
    s.aPins[kVtPinAdmin].vMd5 = s.aPins[kVtPinAdmin].vFactoryMd5 = VtMd5(VtBytesOf(strSoPin));

    std::string strError;
    if (!m_store.Save(s, strError)) {
        return Refuse(strOut, "init: " + strError);
    }
    CVtToken& token = AddToken(std::move(s));
    if (token.State().bPlugged) {
        Broadcast(1, token);
    }
    strOut = token.Describe();
    return 0;
}

int CVtServer::CtlPlug(CVtToken& token, bool bPlug, std::string& strOut)
{
    if (token.State().bPlugged == bPlug) {
        strOut = token.State().strId + (bPlug ? " is plugged\n" : " is unplugged\n");
        return 0;
    }
    if (bPlug) {
        token.Plug();
    } else {
        token.Unplug();
    }
    if (!token.SaveIfChanged()) {
        return Refuse(strOut, "cannot store the state of " + token.State().strId);
    }
    // A removal is reported with the device that left.
    Broadcast(bPlug ? 1 : 2, token);
    strOut = token.State().strId + (bPlug ? " plugged\n" : " unplugged\n");
    return 0;
}

int CVtServer::Control(const std::vector<std::string>& args, std::string& strOut)
{
    strOut.clear();
    if (args.empty()) {
        return UsageError(strOut, "no command");
    }
    if (args[0] == "help" || args[0] == "--help") {
        strOut = kUsage;
        return 0;
    }
    const std::string& strCmd = args[0];
    if (strCmd == "init") {
        return CtlInit(args, strOut);
    }
    if (strCmd == "list") {
        if (args.size() != 1) {
            return UsageError(strOut, "list takes no arguments");
        }
        for (auto& kv : m_mapTokens) {
            const CVtTokenState& s = kv.second->State();
            char szLine[160];
            snprintf(szLine, sizeof(szLine), "%s serial=%s bus=%u address=%u %s\n", s.strId.c_str(),
                     s.strSerial.c_str(), s.ulBus, s.ulAddress, s.bPlugged ? "plugged" : "unplugged");
            strOut += szLine;
        }
        return 0;
    }
    static const std::map<std::string, size_t> kArity = {
        {"plug", 2}, {"unplug", 2}, {"show", 2}, {"button", 3}, {"fault", 3}};
    auto it = kArity.find(strCmd);
    if (it == kArity.end()) {
        return UsageError(strOut, "unknown command " + strCmd);
    }
    if (args.size() != it->second) {
        return UsageError(strOut, strCmd + ": wrong number of arguments");
    }
    CVtToken* token = Find(args[1]);
    if (token == nullptr) {
        return Refuse(strOut, "no token " + args[1]);
    }
    if (strCmd == "plug" || strCmd == "unplug") {
        return CtlPlug(*token, strCmd == "plug", strOut);
    }
    if (strCmd == "show") {
        strOut = token->Describe();
        return 0;
    }
    if (strCmd == "button") {
        if (!token->SetButton(args[2])) {
            return Refuse(strOut, "button: the policy is now, after:N or never");
        }
        if (!token->SaveIfChanged()) {
            return Refuse(strOut, "cannot store the state of " + token->State().strId);
        }
        strOut = "button " + args[2] + "\n";
        return 0;
    }
    VtFault fault = VtFault::None;
    uint32_t ulArg = 0;
    if (!VtParseFault(args[2], fault, ulArg)) {
        return Refuse(strOut, "fault: unknown fault " + args[2]);
    }
    token->ArmFault(fault, ulArg);
    strOut = "fault " + VtFaultName(fault, ulArg) + " armed for the next exchange\n";
    return 0;
}

}  // namespace vtoken
