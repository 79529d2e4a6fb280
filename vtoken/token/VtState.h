// What a virtual token keeps across power cycles and daemon restarts: its
// "flash".  Volatile state (session key, challenges, PIN authorisation, the
// bulk-only phase) lives in CVtToken and is lost on unplug.
//
// Each field is named once in Visit(); saving, loading and adding a field go
// through it, so a new command set adds its data with one line per field.
#pragma once

#include "vtoken/token/VtBytes.h"

#include <cstdint>
#include <map>
#include <string>

namespace vtoken {

class IVtFieldVisitor {
public:
    virtual ~IVtFieldVisitor() = default;
    virtual void Field(const char* szName, std::string& v) = 0;
    virtual void Field(const char* szName, VtBytes& v) = 0;
    virtual void Field(const char* szName, uint32_t& v) = 0;
    // A field that files written before it existed lack: ulDefault then.
    virtual void Field(const char* szName, uint32_t& v, uint32_t ulDefault) = 0;
    virtual void Field(const char* szName, bool& v) = 0;
    virtual void Field(const char* szName, std::map<uint32_t, VtBytes>& m) = 0;
    virtual void Field(const char* szName, std::map<std::string, VtBytes>& m) = 0;
};

// The room for all data files together: 64 KiB unless init gives another.
constexpr uint32_t kVtDefaultFileSpace = 64 * 1024;
constexpr uint32_t kVtMinFileSpace = 4 * 1024;
constexpr uint32_t kVtMaxFileSpace = 16 * 1024 * 1024;

// One PIN: only MD5 of its value is kept.
struct CVtPin {
    VtBytes vMd5;
    VtBytes vFactoryMd5;  // what a reset of the application restores (user PIN)
    uint32_t ulMaxRetries = 10;
    uint32_t ulRetriesLeft = 10;
    bool bDefault = true;
};

constexpr uint32_t kVtPinAdmin = 0;  // PIN type 0: administrator (SO) PIN
constexpr uint32_t kVtPinUser = 1;   // PIN type 1: user PIN

struct CVtTokenState {
    std::string strId;             // the serial given at init; names the state file
    std::string strSerial;         // token serial number (GetTokenSN), at most 16 bytes
    std::string strLabel;          // at most 32 bytes
    VtBytes vChipSerial;           // chip serial number (GetChipSN), 1 to 16 bytes
    uint32_t ulAlgByte = 0x13;     // 0x13 SM2/SM4, 3 RSA/3DES
    uint32_t ulKeyId = 1;
    uint32_t ulBus = 1;
    uint32_t ulAddress = 5;
    bool bPlugged = true;
    uint32_t ulGeneration = 1;     // counts plug-ins
    std::string strButton = "now"; // "now", "after:N", "never"
    bool bKernelDriver = true;     // the kernel's mass-storage driver is bound

    // Authentication key pair (SM2 token: SM2; RSA token: RSA-1024) and the
    // product's signature over its exported public key.
    VtBytes vAuthKey;              // SM2: d (32) || 04 X Y (65); RSA: PKCS #8 DER
    VtBytes vAuthSignature;
    bool bAuthSignedByProduct = true;
    VtBytes vPinTransferKey;       // RSA-1024, PKCS #8 DER

    CVtPin aPins[2];               // indexed by PIN type

    VtBytes vFlash;                // the flash area (kVtFlashSize); empty while erased
    uint32_t ulFileSpace = kVtDefaultFileSpace;  // bytes for all data files together

    // Room for the file system, containers and keys of the token's data
    // commands: files by id, other records by name.
    std::map<uint32_t, VtBytes> mapFiles;
    std::map<std::string, VtBytes> mapRecords;

    void Visit(IVtFieldVisitor& v);

    // "name value" lines behind a first line naming the format, closed by a
    // check line with the length and SHA-256 of all before it.
    std::string Serialize() const;
    // Parses what Serialize wrote; false (and strError) on a text that is cut
    // short, altered, lacks a field, holds one twice or holds an unknown one.
    bool Parse(const std::string& strText, std::string& strError);
};

constexpr size_t kVtFlashSize = 64 * 1024;

}  // namespace vtoken
