/* A scripted token behind CAPDU's transport call, for tests of the frame
 * and the command classes without a device.  Secure frames are opened with
 * OpenSSL's own SM4-CBC under the record's transfer key, so the frame's
 * secure messaging is checked against an independent implementation. */
#pragma once

#include <string.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <deque>
#include <functional>
#include <vector>

#include "SarnCore/APDU.h"

using Bytes = std::vector<unsigned char>;

/* What the token saw of one command, with the secure block opened. */
struct SeenCommand {
    Bytes frame;            /* as sent */
    unsigned char cla = 0, ins = 0, p1 = 0, p2 = 0;
    unsigned int le = 0;
    Bytes sid;              /* secure commands: the session id in the block */
    unsigned int innerLc = 0;
    Bytes body;             /* plain body */
};

/* The session id a scripted secure answer carries unless told otherwise. */
constexpr unsigned char SCRIPTED_NEXT_SID[2] = {0x55, 0x66};

/* One scripted answer: a status word and payload, or raw answer bytes. */
struct ScriptedAnswer {
    unsigned int sw = 0x9000;
    Bytes payload;
    /* Built from the array, not from a braced list: GCC 12 at -O1 takes the
     * list's backing array for uninitialised (maybe-uninitialized). */
    Bytes nextSid = Bytes(SCRIPTED_NEXT_SID, SCRIPTED_NEXT_SID + sizeof(SCRIPTED_NEXT_SID));
    bool raw = false;
    Bytes rawBytes;
    unsigned int transportCode = 0;
};

inline Bytes Sm4Cbc(bool bEncrypt, const unsigned char *pbKey, const Bytes &in)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    unsigned char iv[16] = {0};
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EVP_CipherInit_ex(ctx, EVP_sm4_cbc(), nullptr, pbKey, iv, bEncrypt ? 1 : 0);
    bool ok = EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), (int)in.size()) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? (size_t)(n1 + n2) : 0);
    return out;
}

class FakeToken {
public:
    explicit FakeToken(CDeviceInfo *pInfo) : m_pInfo(pInfo) {}

    std::vector<SeenCommand> seen;
    std::deque<ScriptedAnswer> script;
    /* Queues an answer with this status word and payload. */
    void Answer(unsigned int sw, Bytes payload = {})
    {
        ScriptedAnswer a;
        a.sw = sw;
        a.payload = std::move(payload);
        script.push_back(std::move(a));
    }
    /* Once the script is used up: this answer for every further command
     * when bRepeat, else 90 00 without payload. */
    bool bRepeat = false;
    ScriptedAnswer repeat;
    /* When set, answers the commands it takes itself (returns true with
     * the answer), ahead of the script: a token with state of its own. */
    std::function<bool(const SeenCommand &, ScriptedAnswer *)> responder;
    /* Commands past this many fail in the transport (a loop that never
     * ends shows as a count over the limit). */
    size_t ulLimit = (size_t)-1;
    static constexpr unsigned int LIMIT_CODE = 0xFA4E0001u;

    unsigned int Exchange(const unsigned char *pbFrame, unsigned int ulLen, unsigned char *pbAnswer,
                          unsigned int *pulAnswerLen)
    {
        SeenCommand c;
        c.frame.assign(pbFrame, pbFrame + ulLen);
        c.cla = pbFrame[0];
        c.ins = pbFrame[1];
        c.p1 = pbFrame[2];
        c.p2 = pbFrame[3];
        c.le = ((unsigned int)pbFrame[6] << 8) | pbFrame[7];
        Bytes body(pbFrame + 8, pbFrame + ulLen);
        bool bSecure = c.cla == APDU_CLA_SECURE;
        if (bSecure) {
            Bytes plain = Sm4Cbc(false, m_pInfo->m_pbTransKey, body);
            if (plain.size() >= 4) {
                c.sid.assign(plain.begin(), plain.begin() + 2);
                c.innerLc = ((unsigned int)plain[2] << 8) | plain[3];
                c.body.assign(plain.begin() + 4, plain.end());
            }
        } else {
            c.body = body;
        }
        seen.push_back(c);
        if (seen.size() > ulLimit) return LIMIT_CODE;
        ScriptedAnswer a;
        bool bAnswered = responder && responder(c, &a);
        if (!bAnswered && !script.empty()) {
            a = script.front();
            script.pop_front();
        } else if (!bAnswered && bRepeat) {
            a = repeat;
        }
        if (a.transportCode != 0) return a.transportCode;
        Bytes answer;
        if (a.raw) {
            answer = a.rawBytes;
        } else {
            answer = {(unsigned char)(a.sw >> 8), (unsigned char)a.sw, 0, 0};
            Bytes rest = a.payload;
            if (bSecure && a.sw == 0x9000) {
                Bytes block = a.nextSid;
                block.push_back(0);
                block.push_back(0);
                block.insert(block.end(), a.payload.begin(), a.payload.end());
                rest = Sm4Cbc(true, m_pInfo->m_pbTransKey, block);
            }
            answer[2] = (unsigned char)(rest.size() >> 8);
            answer[3] = (unsigned char)rest.size();
            answer.insert(answer.end(), rest.begin(), rest.end());
        }
        if (*pulAnswerLen < answer.size()) return 259;
        if (!answer.empty()) memcpy(pbAnswer, answer.data(), answer.size());
        *pulAnswerLen = (unsigned int)answer.size();
        return 0;
    }

private:
    CDeviceInfo *m_pInfo;
};

/* A command class whose transport is the fake token. */
template <class T>
class CFakeLink : public T {
public:
    CFakeLink(CDeviceInfo *pInfo, FakeToken *pToken) : T(pInfo, 180), m_pToken(pToken) {}

    using T::SendCommand;

protected:
    unsigned int TransmitFrame(const unsigned char *pbFrame, unsigned int ulFrameLen, unsigned char *pbAnswer,
                               unsigned int *pulAnswerLen) override
    {
        return m_pToken->Exchange(pbFrame, ulFrameLen, pbAnswer, pulAnswerLen);
    }

private:
    FakeToken *m_pToken;
};

/* A record with an SM4 secure channel under a fixed key. */
/* The command the token saw is the given row of a wire table. */
inline void ExpectSent(const SeenCommand &c, unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                       unsigned int le, const Bytes &body)
{
    EXPECT_EQ(cla, c.cla);
    EXPECT_EQ(ins, c.ins);
    EXPECT_EQ(p1, c.p1);
    EXPECT_EQ(p2, c.p2);
    EXPECT_EQ(le, c.le);
    EXPECT_EQ(body, c.body);
    if (cla == APDU_CLA_SECURE) {
        EXPECT_EQ(body.size(), c.innerLc);
    }
}

inline void OpenChannel(CDeviceInfo &info)
{
    static const unsigned char key[16] = {0x12, 0x34, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    info.m_byAlgID = 0x13;
    info.SetTransKey(key, 16);
}
