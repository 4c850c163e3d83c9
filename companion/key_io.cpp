// Keys for the companion tools through OpenSSL's libcrypto.
#include "key_io.h"

#include <cstdio>
#include <cstring>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/param_build.h>
#include <sys/stat.h>

namespace {

constexpr int MAX_WITNESSES = 100;

// The reason of OpenSSL's last error, or pDefault; clears the error queue.
std::string openssl_reason(const char *pDefault)
{
    unsigned long nError = ERR_peek_last_error();
    const char *pReason = nError != 0 ? ERR_reason_error_string(nError) : nullptr;
    ERR_clear_error();
    return pReason != nullptr ? pReason : pDefault;
}

// Recovers the primes p and q of n from e and d: with e d - 1 = 2^t r, r odd,
// some g^(r 2^i) is a square root of 1 other than +-1, and gcd(it - 1, n) is a
// prime factor. False when none is found (d does not match, n not p q).
bool recover_primes(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, BIGNUM *p, BIGNUM *q, BN_CTX *ctx)
{
    BN_CTX_start(ctx);
    BIGNUM *k = BN_CTX_get(ctx);
    BIGNUM *r = BN_CTX_get(ctx);
    BIGNUM *y = BN_CTX_get(ctx);
    BIGNUM *x = BN_CTX_get(ctx);
    BIGNUM *nMinus1 = BN_CTX_get(ctx);
    BIGNUM *g = BN_CTX_get(ctx);
    BIGNUM *rem = BN_CTX_get(ctx);
    bool bFound = false;
    if (g != nullptr && BN_mul(k, d, e, ctx) && BN_sub_word(k, 1) && !BN_is_zero(k) && !BN_is_odd(k) &&
        BN_copy(nMinus1, n) && BN_sub_word(nMinus1, 1) && BN_is_odd(n)) {
        int t = 0;
        BN_copy(r, k);
        while (!BN_is_odd(r)) {
            BN_rshift1(r, r);
            t++;
        }
        for (unsigned long w = 2; !bFound && w < 2 + MAX_WITNESSES; w++) {
            BN_set_word(g, w);
            if (!BN_mod_exp(y, g, r, n, ctx) || BN_is_one(y) || BN_cmp(y, nMinus1) == 0) {
                continue;
            }
            for (int i = 0; !bFound && i < t; i++) {
                if (!BN_mod_sqr(x, y, n, ctx)) {
                    break;
                }
                if (BN_is_one(x)) {
                    bFound = BN_sub_word(y, 1) && BN_gcd(p, y, n, ctx) && !BN_is_one(p) && BN_cmp(p, n) != 0 &&
                             BN_div(q, rem, n, p, ctx) && BN_is_zero(rem);
                    break;
                }
                if (BN_cmp(x, nMinus1) == 0) {
                    break;
                }
                BN_copy(y, x);
            }
        }
    }
    BN_CTX_end(ctx);
    return bFound;
}

// A whole OpenSSL RSA private key from n, e, d and the primes, with the CRT
// values computed here; null on failure.
EVP_PKEY *full_private_key(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, const BIGNUM *p, const BIGNUM *q,
                           BN_CTX *ctx)
{
    BN_CTX_start(ctx);
    BIGNUM *pm1 = BN_CTX_get(ctx);
    BIGNUM *qm1 = BN_CTX_get(ctx);
    BIGNUM *dp = BN_CTX_get(ctx);
    BIGNUM *dq = BN_CTX_get(ctx);
    BIGNUM *qinv = BN_CTX_get(ctx);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    if (qinv != nullptr && bld != nullptr && pctx != nullptr && BN_sub(pm1, p, BN_value_one()) &&
        BN_sub(qm1, q, BN_value_one()) && BN_mod(dp, d, pm1, ctx) && BN_mod(dq, d, qm1, ctx) &&
        BN_mod_inverse(qinv, q, p, ctx) != nullptr && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e) && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, d) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, p) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, q) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv) &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(pctx) == 1) {
        EVP_PKEY_fromdata(pctx, &pkey, EVP_PKEY_KEYPAIR, params);
    }
    OSSL_PARAM_free(params); // the private values sit in its secure part, cleared on free
    OSSL_PARAM_BLD_free(bld);
    EVP_PKEY_CTX_free(pctx);
    BN_CTX_end(ctx);
    return pkey;
}

} // namespace

std::string public_fingerprint(const unsigned char *pPublic)
{
    unsigned char digest[SHA256_SIZE] = {};
    unsigned int nDigest = 0;
    EVP_Digest(pPublic, SI_PUBLIC_SIZE, digest, &nDigest, EVP_sha256(), nullptr);
    std::string hex;
    for (int i = 0; i < SHA256_SIZE; i++) {
        char szByte[3];
        snprintf(szByte, sizeof(szByte), "%02x", digest[i]);
        hex += szByte;
    }
    return hex;
}

bool blob_from_pkey(EVP_PKEY *pkey, unsigned char *szKey)
{
    const char *names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D};
    bool bOk = true;
    for (int i = 0; i < KEY_RECORD_COUNT; i++) {
        BIGNUM *bn = nullptr;
        bOk = EVP_PKEY_get_bn_param(pkey, names[i], &bn) == 1 &&
              BN_bn2lebinpad(bn, szKey + i * RSA_FIELD_SIZE, RSA_FIELD_SIZE) == RSA_FIELD_SIZE && bOk;
        BN_clear_free(bn);
    }
    return bOk;
}

EVP_PKEY *public_pkey(const unsigned char *pPublic)
{
    BIGNUM *n = BN_lebin2bn(pPublic + RSA_BLOB_N, RSA_FIELD_SIZE, nullptr);
    BIGNUM *e = BN_lebin2bn(pPublic + RSA_BLOB_E, RSA_FIELD_SIZE, nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    if (n != nullptr && e != nullptr && bld != nullptr && !BN_is_zero(n) && !BN_is_zero(e) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
        EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return pkey;
}

bool openssl_key_check(EVP_PKEY *pkey, std::string *pWhy)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
    bool bOk = ctx != nullptr && EVP_PKEY_check(ctx) == 1;
    if (!bOk) {
        *pWhy = openssl_reason("OpenSSL's key check failed");
    }
    EVP_PKEY_CTX_free(ctx);
    return bOk;
}

bool openssl_blob_check(const unsigned char *szKey, std::string *pWhy)
{
    BN_CTX *ctx = BN_CTX_secure_new();
    BIGNUM *n = BN_lebin2bn(szKey + RSA_BLOB_N, RSA_FIELD_SIZE, nullptr);
    BIGNUM *e = BN_lebin2bn(szKey + RSA_BLOB_E, RSA_FIELD_SIZE, nullptr);
    BIGNUM *d = BN_secure_new();
    BIGNUM *p = BN_secure_new();
    BIGNUM *q = BN_secure_new();
    bool bOk = false;
    if (ctx == nullptr || n == nullptr || e == nullptr || d == nullptr || p == nullptr || q == nullptr ||
        BN_lebin2bn(szKey + RSA_BLOB_D, RSA_FIELD_SIZE, d) == nullptr) {
        *pWhy = "out of memory";
    } else if (!recover_primes(n, e, d, p, q, ctx)) {
        *pWhy = "the private exponent does not match a modulus of two primes";
    } else {
        EVP_PKEY *pkey = full_private_key(n, e, d, p, q, ctx);
        bOk = pkey != nullptr && openssl_key_check(pkey, pWhy);
        if (pkey == nullptr) {
            *pWhy = openssl_reason("OpenSSL does not take the key");
        }
        EVP_PKEY_free(pkey);
    }
    BN_clear_free(q);
    BN_clear_free(p);
    BN_clear_free(d);
    BN_free(e);
    BN_free(n);
    BN_CTX_free(ctx);
    return bOk;
}

bool same_file(const char *pPathA, const char *pPathB)
{
    struct stat a;
    struct stat b;
    return stat(pPathA, &a) == 0 && stat(pPathB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
