// SKF calls through skf.h and the shared library against the virtual token,
// each with the number of token exchanges it costs (counted by the token, so
// nothing in the middleware is instrumented).  Every exchange waits the
// transport's fixed pause between writing a frame and reading its answer, so
// the exchange count is what a call's time is made of.
//
// The stand: one token with the user PIN changed from its factory value and
// verified, an SM2 and an RSA-2048 container whose signature pairs carry a
// certificate (so a signature reads the PIN status first), and two files of
// 1 KiB and 24 KiB in the application.  bench/exchanges.py prints one line
// "exchanges NAME N" per call from the JSON output.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "skf/skf.h"
#include "vtoken/testkit/VTokenTestKit.h"

namespace {

const unsigned kBus = 40;
const unsigned kAddress = 5;
const char kSerial[] = "VTBENCH1";
const char kFactoryPin[] = "12345678";
const char kUserPin[] = "bench4321";
const ULONG kSmallFile = 1024;
const ULONG kLargeFile = 24 * 1024;

struct Stand {
    vtoken::Daemon daemon;
    DEVHANDLE hDev = nullptr;
    HAPPLICATION hApp = nullptr;
    HCONTAINER hSm2 = nullptr;
    HCONTAINER hRsa = nullptr;
    std::vector<BYTE> data = std::vector<BYTE>(kLargeFile);
    std::vector<BYTE> out = std::vector<BYTE>(kLargeFile);
};

Stand *g_pStand = nullptr;

/* A DER SEQUENCE header over random bytes: the container stores it as is. */
std::vector<BYTE> Certificate()
{
    std::vector<BYTE> v(300);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<BYTE>(rand());
    v[0] = 0x30;
    v[1] = 0x82;
    v[2] = static_cast<BYTE>((v.size() - 4) >> 8);
    v[3] = static_cast<BYTE>(v.size() - 4);
    return v;
}

/* Fills the stand; the first failing step's name and code. */
bool Build(Stand &s, std::string &strWhy)
{
    auto step = [&strWhy](const char *pszStep, ULONG ulRet) {
        if (ulRet != SAR_OK && strWhy.empty()) {
            char sz[96];
            snprintf(sz, sizeof(sz), "%s: 0x%08lx", pszStep, static_cast<unsigned long>(ulRet));
            strWhy = sz;
        }
        return ulRet == SAR_OK;
    };
    vtoken::TokenOptions opts;
    opts.serial = kSerial;
    opts.bus = kBus;
    opts.address = kAddress;
    opts.userPin = kFactoryPin;
    s.daemon.CreateToken(opts);
    char szName[40];
    snprintf(szName, sizeof(szName), "Mirel&pid_f00d&bus_%03u&addr_%03u", kBus, kAddress);
    std::string strApp = "Tola", strOld = kFactoryPin, strNew = kUserPin, strSm2 = "sm2", strRsa = "rsa";
    std::string strSmall = "f1k", strLarge = "f24k";
    ULONG ulRetry = 0;
    ECCPUBLICKEYBLOB stEcc = {};
    RSAPUBLICKEYBLOB stRsa = {};
    std::vector<BYTE> cert = Certificate();
    for (size_t i = 0; i < s.data.size(); ++i) s.data[i] = static_cast<BYTE>(i * 7 + 1);
    return step("SKF_ConnectDev", SKF_ConnectDev(szName, &s.hDev)) &&
           step("SKF_OpenApplication", SKF_OpenApplication(s.hDev, &strApp[0], &s.hApp)) &&
           step("SKF_ChangePIN", SKF_ChangePIN(s.hApp, USER_TYPE, &strOld[0], &strNew[0], &ulRetry)) &&
           step("SKF_VerifyPIN", SKF_VerifyPIN(s.hApp, USER_TYPE, &strNew[0], &ulRetry)) &&
           step("SKF_CreateContainer sm2", SKF_CreateContainer(s.hApp, &strSm2[0], &s.hSm2)) &&
           step("SKF_GenECCKeyPair", SKF_GenECCKeyPair(s.hSm2, SGD_SM2_1, &stEcc)) &&
           step("SKF_ImportCertificate sm2",
                SKF_ImportCertificate(s.hSm2, TRUE, cert.data(), static_cast<ULONG>(cert.size()))) &&
           step("SKF_CreateContainer rsa", SKF_CreateContainer(s.hApp, &strRsa[0], &s.hRsa)) &&
           step("SKF_GenRSAKeyPair", SKF_GenRSAKeyPair(s.hRsa, 2048, &stRsa)) &&
           step("SKF_ImportCertificate rsa",
                SKF_ImportCertificate(s.hRsa, TRUE, cert.data(), static_cast<ULONG>(cert.size()))) &&
           step("SKF_CreateFile f1k",
                SKF_CreateFile(s.hApp, &strSmall[0], kSmallFile, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT)) &&
           step("SKF_CreateFile f24k",
                SKF_CreateFile(s.hApp, &strLarge[0], kLargeFile, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT)) &&
           step("SKF_WriteFile f1k", SKF_WriteFile(s.hApp, &strSmall[0], 0, s.data.data(), kSmallFile)) &&
           step("SKF_WriteFile f24k", SKF_WriteFile(s.hApp, &strLarge[0], 0, s.data.data(), kLargeFile));
}

void TearDown(Stand &s)
{
    if (s.hRsa != nullptr) SKF_CloseContainer(s.hRsa);
    if (s.hSm2 != nullptr) SKF_CloseContainer(s.hSm2);
    if (s.hApp != nullptr) SKF_CloseApplication(s.hApp);
    if (s.hDev != nullptr) SKF_DisConnectDev(s.hDev);
}

/* Times fnCall per iteration and reports the exchanges it cost per call;
 * the token's counter is read outside the timed part, and so is fnBefore,
 * which readies the stand for the call (the file a deletion deletes). */
void Measure(benchmark::State &state, const std::function<ULONG(Stand &)> &fnCall,
             const std::function<void(Stand &)> &fnBefore)
{
    Stand &s = *g_pStand;
    unsigned long ulTotal = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (fnBefore) fnBefore(s);
        unsigned long ulBefore = s.daemon.Exchanges(kSerial);
        state.ResumeTiming();
        ULONG ulRet = fnCall(s);
        state.PauseTiming();
        ulTotal += s.daemon.Exchanges(kSerial) - ulBefore;
        if (ulRet != SAR_OK) {
            char sz[48];
            snprintf(sz, sizeof(sz), "the call failed: 0x%08lx", static_cast<unsigned long>(ulRet));
            state.SkipWithError(sz);
        }
        state.ResumeTiming();
    }
    state.counters["exchanges"] = benchmark::Counter(static_cast<double>(ulTotal), benchmark::Counter::kAvgIterations);
}

ULONG EccSign(Stand &s)
{
    BYTE pbDigest[32];
    memset(pbDigest, 0x5A, sizeof(pbDigest));
    ECCSIGNATUREBLOB stSig = {};
    return SKF_ECCSignData(s.hSm2, pbDigest, sizeof(pbDigest), &stSig);
}

ULONG RsaSign(Stand &s)
{
    BYTE pbDigest[32], pbSig[256];
    memset(pbDigest, 0x5A, sizeof(pbDigest));
    ULONG ulLen = sizeof(pbSig);
    return SKF_RSASignData(s.hRsa, pbDigest, sizeof(pbDigest), pbSig, &ulLen);
}

std::function<ULONG(Stand &)> Read(const char *pszFile, ULONG ulSize)
{
    return [pszFile, ulSize](Stand &s) {
        std::string strName = pszFile;
        ULONG ulLen = ulSize;
        return SKF_ReadFile(s.hApp, &strName[0], 0, ulSize, s.out.data(), &ulLen);
    };
}

std::function<ULONG(Stand &)> Write(const char *pszFile, ULONG ulSize)
{
    return [pszFile, ulSize](Stand &s) {
        std::string strName = pszFile;
        return SKF_WriteFile(s.hApp, &strName[0], 0, s.data.data(), ulSize);
    };
}

/* A one-piece file made and deleted again: each call is measured with the
 * other one outside the count, so the file cache is warm. */
ULONG CreateSmallFile(Stand &s)
{
    std::string strName = "fnew";
    return SKF_CreateFile(s.hApp, &strName[0], kSmallFile, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT);
}

ULONG DeleteSmallFile(Stand &s)
{
    std::string strName = "fnew";
    return SKF_DeleteFile(s.hApp, &strName[0]);
}

/* Whether the one-piece file is listed; asked without a failing call, which
 * would leave the file cache cold. */
bool SmallFileListed(Stand &s)
{
    char szList[256] = {};
    ULONG ulSize = sizeof(szList);
    if (SKF_EnumFiles(s.hApp, szList, &ulSize) != SAR_OK) return false;
    for (const char *psz = szList; *psz != '\0'; psz += strlen(psz) + 1) {
        if (strcmp(psz, "fnew") == 0) return true;
    }
    return false;
}

ULONG OpenApplication(Stand &s)
{
    std::string strApp = "Tola";
    HAPPLICATION hApp = nullptr;
    ULONG ulRet = SKF_OpenApplication(s.hDev, &strApp[0], &hApp);
    if (ulRet == SAR_OK) SKF_CloseApplication(hApp);
    return ulRet;
}

ULONG VerifyPin(Stand &s)
{
    std::string strPin = kUserPin;
    ULONG ulRetry = 0;
    return SKF_VerifyPIN(s.hApp, USER_TYPE, &strPin[0], &ulRetry);
}

ULONG GenRandom(Stand &s)
{
    BYTE pb[32];
    return SKF_GenRandom(s.hDev, pb, sizeof(pb));
}

void Register(const char *pszName, std::function<ULONG(Stand &)> fnCall,
              std::function<void(Stand &)> fnBefore = nullptr)
{
    benchmark::RegisterBenchmark((std::string("exchanges/") + pszName).c_str(),
                                 [fnCall, fnBefore](benchmark::State &state) { Measure(state, fnCall, fnBefore); })
        ->Iterations(7)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

/* The middleware must reach the virtual token: the libusb stand-in goes in
 * front of the real libusb, which the dynamic linker only learns from the
 * environment of a new process image. */
void PutStandInFirst(char **argv)
{
    const char *pszPath = getenv("LD_LIBRARY_PATH");
    if (pszPath != nullptr && strncmp(pszPath, BRIO_VTOKEN_USB_DIR, strlen(BRIO_VTOKEN_USB_DIR)) == 0) return;
    std::string strPath = BRIO_VTOKEN_USB_DIR;
    if (pszPath != nullptr && *pszPath != '\0') strPath += std::string(":") + pszPath;
    setenv("LD_LIBRARY_PATH", strPath.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("execv");
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    PutStandInFirst(argv);
    benchmark::Initialize(&argc, argv);
    Stand stand;
    std::string strWhy;
    if (!Build(stand, strWhy)) {
        fprintf(stderr, "bench_exchanges: the stand could not be built (%s)\n", strWhy.c_str());
        TearDown(stand);
        return 1;
    }
    g_pStand = &stand;
    Register("SKF_ECCSignData", EccSign);
    Register("SKF_RSASignData-2048", RsaSign);
    Register("SKF_ReadFile-1KiB", Read("f1k", kSmallFile));
    Register("SKF_WriteFile-1KiB", Write("f1k", kSmallFile));
    Register("SKF_ReadFile-24KiB", Read("f24k", kLargeFile));
    Register("SKF_WriteFile-24KiB", Write("f24k", kLargeFile));
    Register("SKF_WriteFile-16B-into-24KiB", Write("f24k", 16));
    /* Each one's file is deleted or made by the other beforehand. */
    Register("SKF_CreateFile-1KiB", CreateSmallFile, [](Stand &s) {
        if (SmallFileListed(s)) DeleteSmallFile(s);
    });
    Register("SKF_DeleteFile-1KiB", DeleteSmallFile, [](Stand &s) {
        if (!SmallFileListed(s)) CreateSmallFile(s);
    });
    Register("SKF_OpenApplication", OpenApplication);
    Register("SKF_VerifyPIN", VerifyPin);
    Register("SKF_GenRandom-32", GenRandom);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TearDown(stand);
    g_pStand = nullptr;
    return 0;
}
