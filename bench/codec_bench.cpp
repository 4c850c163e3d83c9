// SPDX-License-Identifier: Apache-2.0
// One 1024-bit private-key block: through the codec, through the bare
// exponentiation on the same operands, and through OpenSSL's constant-time
// exponentiation as the reference.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>

#include <cstdlib>
#include <cstring>

#include "rsa_internal.h"

namespace {

// The built-in key and a fixed 127-byte block, as the codec sees them.
struct Operands {
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    unsigned char szBlock[RSA_FIELD_SIZE - 1];
};

const Operands &operands()
{
    static Operands ops = [] {
        Operands o{};
        fp_int n, e, d;
        get_rsa_key(&n, &e, &d);
        store_fp_le(&n, o.szKey + RSA_BLOB_N, RSA_FIELD_SIZE);
        store_fp_le(&e, o.szKey + RSA_BLOB_E, RSA_FIELD_SIZE);
        store_fp_le(&d, o.szKey + RSA_BLOB_D, RSA_FIELD_SIZE);
        for (size_t i = 0; i < sizeof(o.szBlock); i++) {
            o.szBlock[i] = static_cast<unsigned char>(i * 131 + 7);
        }
        return o;
    }();
    return ops;
}

void BM_codec_private_block(benchmark::State &state)
{
    const Operands &ops = operands();
    unsigned char szOut[RSA_FIELD_SIZE];
    for (auto _ : state) {
        int nLen = RSA_FIELD_SIZE;
        if (do_rsa_enc_dec(ops.szBlock, sizeof(ops.szBlock), szOut, &nLen, RSA_MODE_PRIVATE_ENC, ops.szKey) != 0) {
            abort();
        }
        benchmark::DoNotOptimize(szOut);
    }
}

void BM_bare_fp_exptmod(benchmark::State &state)
{
    const Operands &ops = operands();
    fp_int n, d, c, m;
    load_fp_le(&n, ops.szKey + RSA_BLOB_N, RSA_FIELD_SIZE);
    load_fp_le(&d, ops.szKey + RSA_BLOB_D, RSA_FIELD_SIZE);
    load_fp_le(&c, ops.szBlock, sizeof(ops.szBlock));
    for (auto _ : state) {
        if (fp_exptmod(&c, &d, &n, &m) != FP_OKAY) {
            abort();
        }
        benchmark::DoNotOptimize(m);
    }
}

void BM_openssl_consttime(benchmark::State &state)
{
    const Operands &ops = operands();
    BIGNUM *n = BN_lebin2bn(ops.szKey + RSA_BLOB_N, RSA_FIELD_SIZE, nullptr);
    BIGNUM *d = BN_lebin2bn(ops.szKey + RSA_BLOB_D, RSA_FIELD_SIZE, nullptr);
    BIGNUM *c = BN_lebin2bn(ops.szBlock, sizeof(ops.szBlock), nullptr);
    BIGNUM *m = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, n, ctx);
    for (auto _ : state) {
        if (BN_mod_exp_mont_consttime(m, c, d, n, ctx, mont) != 1) {
            abort();
        }
        benchmark::DoNotOptimize(m);
    }
    BN_MONT_CTX_free(mont);
    BN_CTX_free(ctx);
    BN_free(n);
    BN_free(d);
    BN_free(c);
    BN_free(m);
}

} // namespace

BENCHMARK(BM_codec_private_block)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_bare_fp_exptmod)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_openssl_consttime)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
