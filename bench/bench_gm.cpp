// SM3, SM4 and SM2 of gm/ against OpenSSL 3.0 on the same inputs.  Every
// pair is registered as "ours/NAME" and "openssl/NAME"; ratios.py prints
// our throughput divided by OpenSSL's for each NAME.
#include "gm/sm2.h"
#include "gm/sm3.h"
#include "gm/sm4.h"
#include "gm/tests/sm2_oracle.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

using gmtest::Bytes;
using gmtest::Random;

namespace {

// ---- SM3 --------------------------------------------------------------------

void OursSm3(benchmark::State &state, size_t len)
{
    Bytes msg = Random(len), md(32);
    for (auto _ : state) {
        gm_sm3(msg.data(), msg.size(), md.data());
        benchmark::DoNotOptimize(md.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}

void OpenSslSm3(benchmark::State &state, size_t len)
{
    Bytes msg = Random(len), md(32);
    EVP_MD *sm3 = EVP_MD_fetch(nullptr, "SM3", nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned int mdlen = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, sm3, nullptr);
        EVP_DigestUpdate(ctx, msg.data(), msg.size());
        EVP_DigestFinal_ex(ctx, md.data(), &mdlen);
        benchmark::DoNotOptimize(md.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(sm3);
}

// ---- SM4 --------------------------------------------------------------------

constexpr size_t kSm4Len = 8192;

void OursSm4(benchmark::State &state, bool cbc, int enc)
{
    Bytes key = Random(16), iv = Random(16), in = Random(kSm4Len), out(kSm4Len);
    uint32_t rk[32];
    gm_sm4_set_key(key.data(), rk, enc);
    for (auto _ : state) {
        if (cbc)
            gm_sm4_cbc_blocks(rk, iv.data(), in.data(), out.data(), kSm4Len / 16, enc);
        else
            gm_sm4_ecb_blocks(rk, in.data(), out.data(), kSm4Len / 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSm4Len));
}

void OpenSslSm4(benchmark::State &state, bool cbc, int enc)
{
    Bytes key = Random(16), iv = Random(16), in = Random(kSm4Len), out(kSm4Len + 16);
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, cbc ? "SM4-CBC" : "SM4-ECB", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), cbc ? iv.data() : nullptr, enc);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int len = 0;
    for (auto _ : state) {
        EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(kSm4Len));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSm4Len));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}

// ---- SM2 --------------------------------------------------------------------

struct Sm2Fixture {
    Bytes d = Bytes(32), x = Bytes(32), y = Bytes(32), e = Random(32), r = Bytes(32), s = Bytes(32);
    EVP_PKEY *pkey = nullptr;
    Sm2Fixture()
    {
        _SM2_generate_keypair(d.data(), x.data(), y.data());
        _SM2_sign_ex(e.data(), d.data(), r.data(), s.data());
        pkey = gmtest::OpenSslSm2Key(d, x, y);
    }
    ~Sm2Fixture() { EVP_PKEY_free(pkey); }
};

void OursSm2(benchmark::State &state, bool sign)
{
    Sm2Fixture f;
    Bytes r(32), s(32);
    for (auto _ : state) {
        int ok = sign ? _SM2_sign_ex(f.e.data(), f.d.data(), r.data(), s.data())
                      : _SM2_verify_ex(f.r.data(), f.s.data(), f.x.data(), f.y.data(), f.e.data());
        if (ok != 1) state.SkipWithError("SM2 failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void OpenSslSm2(benchmark::State &state, bool sign)
{
    Sm2Fixture f;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    Bytes sig(80);
    size_t siglen = sig.size();
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_sign(ctx, sig.data(), &siglen, f.e.data(), f.e.size());
    if (!sign) EVP_PKEY_verify_init(ctx);
    for (auto _ : state) {
        size_t len = sig.size();
        int ok = sign ? EVP_PKEY_sign(ctx, sig.data(), &len, f.e.data(), f.e.size())
                      : EVP_PKEY_verify(ctx, sig.data(), siglen, f.e.data(), f.e.size());
        if (ok != 1) state.SkipWithError("OpenSSL SM2 failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    EVP_PKEY_CTX_free(ctx);
}

template <typename Ours, typename Theirs, typename... Args>
void Pair(const std::string &name, Ours ours, Theirs theirs, Args... args)
{
    benchmark::RegisterBenchmark(("ours/" + name).c_str(), ours, args...);
    benchmark::RegisterBenchmark(("openssl/" + name).c_str(), theirs, args...);
}

int Register()
{
    Pair("sm3-16", OursSm3, OpenSslSm3, size_t{16});
    Pair("sm3-1k", OursSm3, OpenSslSm3, size_t{1024});
    Pair("sm3-8k", OursSm3, OpenSslSm3, size_t{8192});
    Pair("sm4-ecb-enc-8k", OursSm4, OpenSslSm4, false, 1);
    Pair("sm4-ecb-dec-8k", OursSm4, OpenSslSm4, false, 0);
    Pair("sm4-cbc-enc-8k", OursSm4, OpenSslSm4, true, 1);
    Pair("sm4-cbc-dec-8k", OursSm4, OpenSslSm4, true, 0);
    Pair("sm2-sign", OursSm2, OpenSslSm2, true);
    Pair("sm2-verify", OursSm2, OpenSslSm2, false);
    return 0;
}

const int kRegistered = Register();

}  // namespace

BENCHMARK_MAIN();
