/* The SKF blob inputs, with a scripted token answering whatever the
 * operation asks.  The first byte picks the road:
 *   0  Struct_ECCCIPHERBLOB (and a private-key record) into the device
 *      object's ExtECCDecrypt, with a room for the plain text
 *   1  Struct_ECCCIPHERBLOB (SM2 container) or a wrapped key (RSA
 *      container) into the container's ImportSessionKey
 *   2  SKF_ENVELOPEDKEYBLOB into the container's ImportKeyPair, as
 *      SKF_ImportECCKeyPair hands it on
 * A cipher blob's record holds exactly the CipherLen bytes it announces (a
 * caller's record has that room), in a heap block of its own, and the
 * plain-text room ends where its heap block ends.  The rest of the input
 * is the token's answers (SarnCore/fuzz/FuzzAnswers.h); a flag puts the
 * well-formed container answer first.  A call that succeeds must keep to
 * the room it was given. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "SarnCore/fuzz/FuzzAnswers.h"
#include "skf/ContainerObject.h"
#include "skf/DeviceObject.h"
#include "skf/SymKeyObject.h"
#include "skf/fuzz/ScriptedSkfToken.h"
#include "skf/skf.h"

namespace {

const size_t kCommandLimit = 200;
const size_t kCipherOffset = offsetof(ECCCIPHERBLOB, Cipher);

/* A cipher blob whose record ends right after its CipherLen cipher bytes. */
std::vector<unsigned char> CipherRecord(fuzz::Input &in, size_t ulBefore)
{
    std::vector<unsigned char> head = in.Bytes(ulBefore + kCipherOffset);
    unsigned int ulCipherLen = in.Word() % 1100;
    std::vector<unsigned char> record = head;
    record.resize(ulBefore + kCipherOffset + (ulCipherLen == 0 ? 1 : ulCipherLen));
    ECCCIPHERBLOB *pBlob = reinterpret_cast<ECCCIPHERBLOB *>(record.data() + ulBefore);
    pBlob->CipherLen = ulCipherLen;
    std::vector<unsigned char> cipher = in.Bytes(ulCipherLen);
    if (ulCipherLen != 0) memcpy(pBlob->Cipher, cipher.data(), ulCipherLen);
    return record;
}

/* The open-container answers of an SM2 container with both pairs and of
 * an RSA container. */
ScriptedAnswer ContainerAnswer(bool bRsa)
{
    ScriptedAnswer a;
    a.payload = bRsa ? Bytes{1, 0, 0x2F, 0x00, 1, 1, 1, 1} : Bytes{2, 0, 0x2F, 0x00, 17, 1, 17, 1};
    return a;
}

void ExtEccDecrypt(fuzz::Input &in, CScriptedConnection &conn)
{
    uint8_t byFlags = in.Byte();
    ECCPRIVATEKEYBLOB stKey;
    memset(&stKey, 0, sizeof(stKey));
    stKey.BitLen = (byFlags & 1) ? in.Word() : 256;
    std::vector<unsigned char> key = in.Bytes(sizeof(stKey.PrivateKey));
    memcpy(stKey.PrivateKey, key.data(), key.size());
    std::vector<unsigned char> record = CipherRecord(in, 0);
    unsigned int ulRoom = in.Word() % 1200;
    fuzz::ScriptAnswers(in, conn.token);

    CDeviceObject dev(&conn.ctx);
    std::unique_ptr<unsigned char[]> out(new unsigned char[ulRoom + 1]);
    unsigned char *pbOut = (byFlags & 2) ? nullptr : out.get() + 1;  // the room ends with the block
    unsigned int ulLen = ulRoom;
    unsigned int ulRet = fuzz::Result(
        "ExtECCDecrypt", dev.ExtECCDecrypt(&stKey, reinterpret_cast<ECCCIPHERBLOB *>(record.data()), pbOut, &ulLen));
    if (ulRet == 0 && pbOut != nullptr && ulLen > ulRoom) abort();
}

/* A container object opened on container "c" the way the application
 * object opens one. */
std::unique_ptr<CContainerObject> OpenContainer(CScriptedConnection &conn, bool bRsa)
{
    std::unique_ptr<CContainerObject> container(new CContainerObject(&conn.ctx));
    conn.token.script.push_back(ContainerAnswer(bRsa));
    _QV_CONTAINER_INFO info = {};
    strcpy(info.szName, "c");
    container->ReadContainer(&info, false);
    container->SetContainerName((char *)"c");
    return container;
}

void ImportSessionKey(fuzz::Input &in, CScriptedConnection &conn)
{
    static const unsigned int kAlgs[] = {SGD_SMS4_ECB, SGD_SMS4_CBC, SGD_SM1_ECB, SGD_SSF33_ECB, 0x103};
    uint8_t byFlags = in.Byte();
    bool bRsa = (byFlags & 1) != 0;
    unsigned int ulAlgId = kAlgs[(byFlags >> 2) % (sizeof(kAlgs) / sizeof(kAlgs[0]))];
    std::vector<unsigned char> wrapped;
    if (bRsa) {
        wrapped = in.Bytes(in.Word() % 600);
    } else {
        wrapped = CipherRecord(in, 0);
    }
    std::unique_ptr<CContainerObject> container = OpenContainer(conn, bRsa);
    if (byFlags & 2) conn.token.script.push_back(ContainerAnswer(bRsa));
    fuzz::ScriptAnswers(in, conn.token);
    void *hKey = nullptr;
    std::vector<unsigned char> data = wrapped.empty() ? std::vector<unsigned char>(1) : wrapped;
    unsigned int ulRet = fuzz::Result(
        "ImportSessionKey", container->ImportSessionKey(ulAlgId, data.data(), (unsigned int)wrapped.size(), &hKey));
    if (ulRet == 0) delete static_cast<CKeyObject *>(hKey);
}

void ImportEnvelopedKey(fuzz::Input &in, CScriptedConnection &conn)
{
    static const unsigned int kVersions[] = {1, 0, 0x9E3D, 2};
    uint8_t byFlags = in.Byte();
    std::vector<unsigned char> record = CipherRecord(in, offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob));
    ENVELOPEDKEYBLOB *pEnvelope = reinterpret_cast<ENVELOPEDKEYBLOB *>(record.data());
    pEnvelope->Version = kVersions[byFlags % 4];
    if (byFlags & 4) {  // bit lengths the token takes, else as the input has them
        pEnvelope->ulBits = 256;
        pEnvelope->PubKey.BitLen = 256;
    }
    std::unique_ptr<CContainerObject> container = OpenContainer(conn, false);
    if (byFlags & 8) conn.token.script.push_back(ContainerAnswer(false));
    fuzz::ScriptAnswers(in, conn.token);
    fuzz::Result("ImportKeyPair", container->ImportKeyPair(pEnvelope->ulSymmAlgID, nullptr, 0, 256, record.data(),
                                                           sizeof(ENVELOPEDKEYBLOB)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    fuzz::Input in(data, size);
    uint8_t byRoad = in.Byte();
    CScriptedConnection conn;
    conn.token.ulLimit = kCommandLimit;
    switch (byRoad % 3) {
    case 0: ExtEccDecrypt(in, conn); break;
    case 1: ImportSessionKey(in, conn); break;
    default: ImportEnvelopedKey(in, conn); break;
    }
    if (conn.token.seen.size() > kCommandLimit) abort();  // never ends
    return 0;
}
