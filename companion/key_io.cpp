// SPDX-License-Identifier: Apache-2.0
// Keys for the companion tools through OpenSSL's libcrypto.
#include "key_io.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/param_build.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "process_secrets.h"

namespace {

constexpr int MAX_WITNESSES = 100;
constexpr int MAX_PRIMES = 5; // OpenSSL's limit for a multi-prime key

// OpenSSL's allocator, clearing each block before it is freed or moved.
void *clearing_malloc(size_t nSize, const char *, int)
{
    return malloc(nSize);
}

void clearing_free(void *p, const char *, int)
{
    if (p != nullptr) {
        explicit_bzero(p, malloc_usable_size(p));
    }
    free(p);
}

void *clearing_realloc(void *p, size_t nSize, const char *pFile, int nLine)
{
    void *pMoved = nSize != 0 ? malloc(nSize) : nullptr;
    if (pMoved != nullptr && p != nullptr) {
        memcpy(pMoved, p, std::min(nSize, malloc_usable_size(p)));
    }
    if (pMoved != nullptr || nSize == 0) {
        clearing_free(p, pFile, nLine);
    }
    return pMoved;
}

// The reason of OpenSSL's last error, or pDefault; clears the error queue.
std::string openssl_reason(const char *pDefault)
{
    unsigned long nError = ERR_peek_last_error();
    const char *pReason = nError != 0 ? ERR_reason_error_string(nError) : nullptr;
    ERR_clear_error();
    return pReason != nullptr ? pReason : pDefault;
}

// Finds a factor f of m other than 1 and m, where m is a product of distinct
// primes r whose r - 1 all divide the even k (e d - 1): with k = 2^t s, s odd,
// some g^(s 2^i) is a square root of 1 other than +-1, and gcd(it - 1, m) is
// such a factor. False when none is found.
bool find_factor(const BIGNUM *m, const BIGNUM *k, BIGNUM *f, BN_CTX *ctx)
{
    BN_CTX_start(ctx);
    BIGNUM *s = BN_CTX_get(ctx);
    BIGNUM *y = BN_CTX_get(ctx);
    BIGNUM *x = BN_CTX_get(ctx);
    BIGNUM *mMinus1 = BN_CTX_get(ctx);
    BIGNUM *g = BN_CTX_get(ctx);
    bool bFound = false;
    if (g != nullptr && !BN_is_zero(k) && !BN_is_odd(k) && BN_copy(s, k) && BN_copy(mMinus1, m) &&
        BN_sub_word(mMinus1, 1) && BN_is_odd(m)) {
        int t = 0;
        while (!BN_is_odd(s)) {
            BN_rshift1(s, s);
            t++;
        }
        for (unsigned long w = 2; !bFound && w < 2 + MAX_WITNESSES; w++) {
            BN_set_word(g, w);
            if (!BN_mod_exp(y, g, s, m, ctx) || BN_is_one(y) || BN_cmp(y, mMinus1) == 0) {
                continue;
            }
            for (int i = 0; !bFound && i < t; i++) {
                if (!BN_mod_sqr(x, y, m, ctx)) {
                    break;
                }
                if (BN_is_one(x)) {
                    bFound = BN_sub_word(y, 1) && BN_gcd(f, y, m, ctx) && !BN_is_one(f) && BN_cmp(f, m) != 0;
                    break;
                }
                if (BN_cmp(x, mMinus1) == 0) {
                    break;
                }
                BN_copy(y, x);
            }
        }
    }
    BN_CTX_end(ctx);
    return bFound;
}

// Recovers the prime factors of n into primes[0..MAX_PRIMES) from e and d, by
// splitting n until every factor is prime. Returns their count, or 0 when d
// does not match e on a product of at most MAX_PRIMES distinct primes.
int recover_primes(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, BIGNUM *const *primes, BN_CTX *ctx)
{
    BN_CTX_start(ctx);
    BIGNUM *k = BN_CTX_get(ctx);
    BIGNUM *cofactor = BN_CTX_get(ctx);
    int nCount = cofactor != nullptr && BN_mul(k, d, e, ctx) && BN_sub_word(k, 1) && BN_copy(primes[0], n) ? 1 : 0;
    for (int i = 0; i < nCount;) {
        int nPrime = BN_check_prime(primes[i], ctx, nullptr);
        if (nPrime == 1) {
            i++;
        } else if (nPrime == 0 && nCount < MAX_PRIMES && find_factor(primes[i], k, primes[nCount], ctx) &&
                   BN_div(cofactor, nullptr, primes[i], primes[nCount], ctx) && BN_copy(primes[i], cofactor)) {
            nCount++;
        } else {
            nCount = 0;
        }
    }
    BN_CTX_end(ctx);
    return nCount < 2 ? 0 : nCount;
}

// OpenSSL's names of an RSA key's values, in the order of an RSAPrivateKey.
const char *const RSA_VALUE_NAMES[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                       OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                       OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                       OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
constexpr int RSA_VALUES = sizeof(RSA_VALUE_NAMES) / sizeof(RSA_VALUE_NAMES[0]);
// The names of each prime, its CRT exponent, and (from the second prime on) its coefficient.
const char *const FACTOR_NAMES[MAX_PRIMES] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                                              OSSL_PKEY_PARAM_RSA_FACTOR3, OSSL_PKEY_PARAM_RSA_FACTOR4,
                                              OSSL_PKEY_PARAM_RSA_FACTOR5};
const char *const EXPONENT_NAMES[MAX_PRIMES] = {OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                                OSSL_PKEY_PARAM_RSA_EXPONENT3, OSSL_PKEY_PARAM_RSA_EXPONENT4,
                                                OSSL_PKEY_PARAM_RSA_EXPONENT5};
const char *const COEFFICIENT_NAMES[MAX_PRIMES] = {nullptr, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                                                   OSSL_PKEY_PARAM_RSA_COEFFICIENT2,
                                                   OSSL_PKEY_PARAM_RSA_COEFFICIENT3,
                                                   OSSL_PKEY_PARAM_RSA_COEFFICIENT4};
constexpr int MAX_KEY_VALUES = 3 + 3 * MAX_PRIMES - 1;

// An OpenSSL RSA key from nCount values named by pNames (n, e, then the
// private ones) with nSelection (EVP_PKEY_PUBLIC_KEY or EVP_PKEY_KEYPAIR);
// null when one is missing or OpenSSL does not take them. Private values pass
// only through the secure part of the parameters, cleared on free.
EVP_PKEY *rsa_from_values(const char *const *pNames, const BIGNUM *const *pValues, int nCount, int nSelection)
{
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    bool bOk = bld != nullptr;
    for (int i = 0; bOk && i < nCount; i++) {
        bOk = pValues[i] != nullptr && OSSL_PARAM_BLD_push_BN(bld, pNames[i], pValues[i]) == 1;
    }
    OSSL_PARAM *params = bOk ? OSSL_PARAM_BLD_to_param(bld) : nullptr;
    EVP_PKEY_CTX *ctx = params != nullptr ? EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr) : nullptr;
    EVP_PKEY *pkey = nullptr;
    if (ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
        EVP_PKEY_fromdata(ctx, &pkey, nSelection, params);
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return pkey;
}

// A whole OpenSSL RSA private key from n, e, d and nPrimes primes, with the
// CRT values computed here: d mod (r - 1) for each prime r; q^-1 mod p for the
// second prime q, and for each later one the inverse of the product of those
// before it. Null on failure.
EVP_PKEY *full_private_key(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, const BIGNUM *const *primes, int nPrimes,
                           BN_CTX *ctx)
{
    BN_CTX_start(ctx);
    const char *names[MAX_KEY_VALUES] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D};
    const BIGNUM *values[MAX_KEY_VALUES] = {n, e, d};
    int nValues = 3;
    BIGNUM *product = BN_CTX_get(ctx);
    BIGNUM *rMinus1 = BN_CTX_get(ctx);
    bool bOk = rMinus1 != nullptr && BN_copy(product, primes[0]) != nullptr;
    for (int i = 0; bOk && i < nPrimes; i++) {
        BIGNUM *exponent = BN_CTX_get(ctx);
        BIGNUM *coefficient = BN_CTX_get(ctx);
        const BIGNUM *pInverted = i == 1 ? primes[1] : product;
        const BIGNUM *pModulus = i == 1 ? primes[0] : primes[i];
        bOk = coefficient != nullptr && BN_sub(rMinus1, primes[i], BN_value_one()) &&
              BN_mod(exponent, d, rMinus1, ctx) &&
              (i == 0 || (BN_mod_inverse(coefficient, pInverted, pModulus, ctx) && BN_mul(product, product, primes[i], ctx)));
        names[nValues] = FACTOR_NAMES[i];
        values[nValues++] = primes[i];
        names[nValues] = EXPONENT_NAMES[i];
        values[nValues++] = exponent;
        if (i > 0) {
            names[nValues] = COEFFICIENT_NAMES[i];
            values[nValues++] = coefficient;
        }
    }
    EVP_PKEY *pkey = bOk ? rsa_from_values(names, values, nValues, EVP_PKEY_KEYPAIR) : nullptr;
    BN_CTX_end(ctx);
    return pkey;
}

// A whole OpenSSL key from n, e and d with the primes recovered from them;
// null with *pWhy saying why.
EVP_PKEY *recovered_private_key(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, std::string *pWhy)
{
    BN_CTX *ctx = BN_CTX_secure_new();
    BIGNUM *primes[MAX_PRIMES] = {};
    if (ctx != nullptr) {
        BN_CTX_start(ctx);
        for (BIGNUM *&prime : primes) {
            prime = BN_CTX_get(ctx);
        }
    }
    int nPrimes = primes[MAX_PRIMES - 1] != nullptr ? recover_primes(n, e, d, primes, ctx) : 0;
    EVP_PKEY *pkey = nPrimes > 0 ? full_private_key(n, e, d, primes, nPrimes, ctx) : nullptr;
    if (nPrimes == 0) {
        *pWhy = "the private exponent does not match a modulus of 2 to 5 distinct primes";
    } else if (pkey == nullptr) {
        *pWhy = openssl_reason("OpenSSL does not take the key");
    }
    if (ctx != nullptr) {
        BN_CTX_end(ctx);
    }
    BN_CTX_free(ctx);
    return pkey;
}

// An RSA key from the DER of an RSAPrivateKey, parsed as a generic sequence
// whose items' bytes are all cleared before it is freed. Version 0 holds two
// primes: n, e, d, p, q, dp, dq, qinv, all taken. Version 1 (a multi-prime
// key) adds a sequence of further primes: only n, e and d are taken, all that
// a key file keeps, and the primes are recovered from them (null with
// *pnStatus PEM_PRIMES_UNRECOVERED when they cannot be). Null when it is
// neither.
EVP_PKEY *rsa_from_der(const unsigned char *pDer, long nLen, int *pnStatus)
{
    ASN1_SEQUENCE_ANY *pSeq = d2i_ASN1_SEQUENCE_ANY(nullptr, &pDer, nLen);
    int nCount = pSeq != nullptr ? sk_ASN1_TYPE_num(pSeq) : 0;
    BIGNUM *values[RSA_VALUES] = {};
    long nVersion = -1;
    bool bOk = true;
    for (int i = 0; i < nCount; i++) {
        ASN1_TYPE *pItem = sk_ASN1_TYPE_value(pSeq, i);
        int nType = ASN1_TYPE_get(pItem);
        if (bOk && nType == V_ASN1_INTEGER && i == 0) {
            nVersion = ASN1_INTEGER_get(pItem->value.integer);
        } else if (bOk && nType == V_ASN1_INTEGER && i <= RSA_VALUES) {
            values[i - 1] = BN_secure_new();
            bOk = values[i - 1] != nullptr && ASN1_INTEGER_to_BN(pItem->value.integer, values[i - 1]) != nullptr;
        } else {
            bOk = bOk && nType == V_ASN1_SEQUENCE && i == RSA_VALUES + 1;
        }
        if (nType == V_ASN1_INTEGER || nType == V_ASN1_SEQUENCE) {
            ASN1_STRING *pValue = pItem->value.asn1_string;
            OPENSSL_cleanse(const_cast<unsigned char *>(ASN1_STRING_get0_data(pValue)),
                            static_cast<size_t>(ASN1_STRING_length(pValue)));
        }
    }
    sk_ASN1_TYPE_pop_free(pSeq, ASN1_TYPE_free);
    EVP_PKEY *pkey = nullptr;
    if (bOk && nVersion == 0 && nCount == RSA_VALUES + 1) {
        pkey = rsa_from_values(RSA_VALUE_NAMES, values, RSA_VALUES, EVP_PKEY_KEYPAIR);
    } else if (bOk && nVersion == 1 && nCount == RSA_VALUES + 2) {
        std::string why;
        pkey = recovered_private_key(values[0], values[1], values[2], &why);
        if (pkey == nullptr) {
            *pnStatus = PEM_PRIMES_UNRECOVERED;
        }
    }
    for (BIGNUM *bn : values) {
        BN_clear_free(bn);
    }
    return pkey;
}

// An RSA key from a PKCS #8 PrivateKeyInfo (freed clearing its key bytes).
// Null with *pnStatus PEM_NOT_RSA for another algorithm.
EVP_PKEY *rsa_from_pkcs8(PKCS8_PRIV_KEY_INFO *p8, int *pnStatus)
{
    const ASN1_OBJECT *pAlgorithm = nullptr;
    const unsigned char *pDer = nullptr;
    int nDer = 0;
    EVP_PKEY *pkey = nullptr;
    if (p8 != nullptr && PKCS8_pkey_get0(&pAlgorithm, &pDer, &nDer, nullptr, p8) == 1) {
        if (OBJ_obj2nid(pAlgorithm) == NID_rsaEncryption) {
            pkey = rsa_from_der(pDer, nDer, pnStatus);
        } else {
            *pnStatus = PEM_NOT_RSA;
        }
    }
    PKCS8_PRIV_KEY_INFO_free(p8);
    return pkey;
}

// The key of one PEM block named name, whose DER (decrypted in place where
// the block is encrypted) is at pData. Sets *pnStatus.
EVP_PKEY *rsa_from_pem_block(const std::string &name, char *pHeader, unsigned char *pData, long nLen,
                             pem_password_cb *pCallback, void *pUser, int *pnStatus)
{
    *pnStatus = PEM_UNREADABLE;
    EVP_CIPHER_INFO cipher;
    if (PEM_get_EVP_CIPHER_INFO(pHeader, &cipher) != 1 || PEM_do_header(&cipher, pData, &nLen, pCallback, pUser) != 1) {
        return nullptr;
    }
    const unsigned char *p = pData;
    EVP_PKEY *pkey = nullptr;
    if (name == "RSA PRIVATE KEY") {
        pkey = rsa_from_der(p, nLen, pnStatus);
    } else if (name == "PRIVATE KEY") {
        pkey = rsa_from_pkcs8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, nLen), pnStatus);
    } else {
        X509_SIG *pSig = d2i_X509_SIG(nullptr, &p, nLen);
        char szPass[PEM_BUFSIZE];
        int nPass = pSig != nullptr ? pCallback(szPass, sizeof(szPass), 0, pUser) : -1;
        PKCS8_PRIV_KEY_INFO *p8 = nPass >= 0 ? PKCS8_decrypt(pSig, szPass, nPass) : nullptr;
        explicit_bzero(szPass, sizeof(szPass));
        X509_SIG_free(pSig);
        pkey = p8 != nullptr ? rsa_from_pkcs8(p8, pnStatus) : nullptr;
    }
    if (pkey != nullptr) {
        *pnStatus = PEM_KEY_OK;
    }
    return pkey;
}

} // namespace

void openssl_clear_freed_memory()
{
    CRYPTO_set_mem_functions(clearing_malloc, clearing_realloc, clearing_free);
}

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
    const BIGNUM *values[] = {n, e};
    EVP_PKEY *pkey = n != nullptr && e != nullptr && !BN_is_zero(n) && !BN_is_zero(e)
                         ? rsa_from_values(RSA_VALUE_NAMES, values, 2, EVP_PKEY_PUBLIC_KEY)
                         : nullptr;
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
    BIGNUM *n = BN_lebin2bn(szKey + RSA_BLOB_N, RSA_FIELD_SIZE, nullptr);
    BIGNUM *e = BN_lebin2bn(szKey + RSA_BLOB_E, RSA_FIELD_SIZE, nullptr);
    BIGNUM *d = BN_secure_new();
    EVP_PKEY *pkey = nullptr;
    if (n == nullptr || e == nullptr || d == nullptr || BN_lebin2bn(szKey + RSA_BLOB_D, RSA_FIELD_SIZE, d) == nullptr) {
        *pWhy = "out of memory";
    } else {
        pkey = recovered_private_key(n, e, d, pWhy);
    }
    bool bOk = pkey != nullptr && openssl_key_check(pkey, pWhy);
    EVP_PKEY_free(pkey);
    BN_clear_free(d);
    BN_free(e);
    BN_free(n);
    return bOk;
}

EVP_PKEY *read_rsa_private_pem(const char *pPath, pem_password_cb *pCallback, void *pUser, int *pnStatus)
{
    *pnStatus = PEM_NO_KEY;
    BIO *bio = BIO_new_file(pPath, "re");
    FILE *fp = nullptr;
    // Unbuffered, so that no stdio buffer (freed without a wipe) takes in the key's text.
    if (bio != nullptr && (BIO_get_fp(bio, &fp) != 1 || setvbuf(fp, nullptr, _IONBF, 0) != 0)) {
        BIO_free(bio); // not seen: a file BIO has a stream, not yet read
        bio = nullptr;
    }
    EVP_PKEY *pkey = nullptr;
    char *pName = nullptr;
    char *pHeader = nullptr;
    unsigned char *pData = nullptr;
    long nLen = 0;
    // Blocks before the key (parameters, a certificate) are passed over.
    while (bio != nullptr && *pnStatus == PEM_NO_KEY &&
           PEM_read_bio_ex(bio, &pName, &pHeader, &pData, &nLen, PEM_FLAG_SECURE | PEM_FLAG_EAY_COMPATIBLE) == 1) {
        std::string name = pName;
        if (name == "RSA PRIVATE KEY" || name == "PRIVATE KEY" || name == "ENCRYPTED PRIVATE KEY") {
            pkey = rsa_from_pem_block(name, pHeader, pData, nLen, pCallback, pUser, pnStatus);
        } else if (name.size() > 12 && name.compare(name.size() - 12, 12, " PRIVATE KEY") == 0) {
            *pnStatus = PEM_NOT_RSA;
        }
        OPENSSL_secure_clear_free(pData, static_cast<size_t>(nLen));
        OPENSSL_secure_free(pHeader);
        OPENSSL_secure_free(pName);
        pData = nullptr;
        pHeader = nullptr;
        pName = nullptr;
    }
    BIO_free(bio);
    ERR_clear_error();
    secrets_clear_registers();
    return pkey;
}
