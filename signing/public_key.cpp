// SPDX-License-Identifier: Apache-2.0
// Public halves from PEM public keys or key files. OpenSSL's libcrypto is
// loaded only when a PEM is read: a run with a key file or a token loads and
// relocates none of it.
#include "public_key.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>

#include "image_format.h"
#include "key_file.h"
#include "process_secrets.h"

namespace {

// The few functions of libcrypto a PEM public key needs, looked up once.
struct Crypto {
    decltype(&BIO_new_mem_buf) pBioNewMemBuf;
    decltype(&BIO_free) pBioFree;
    decltype(&OSSL_DECODER_CTX_new_for_pkey) pDecoderNew;
    decltype(&OSSL_DECODER_from_bio) pDecode;
    decltype(&OSSL_DECODER_CTX_free) pDecoderFree;
    decltype(&EVP_PKEY_is_a) pIsA;
    decltype(&EVP_PKEY_get_bn_param) pGetBnParam;
    decltype(&EVP_PKEY_free) pPkeyFree;
    decltype(&BN_bn2lebinpad) pBnToLe;
    decltype(&BN_free) pBnFree;
};

// Loads libcrypto (every symbol bound at once) and looks the functions up.
// Returns null when it cannot.
const Crypto *load_crypto()
{
    static Crypto crypto;
    static bool bLoaded = false;
    if (bLoaded) {
        return &crypto;
    }
    void *pLib = dlopen(CRYPTO_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (pLib == nullptr) {
        return nullptr;
    }
    void *pFunctions[] = {
        dlsym(pLib, "BIO_new_mem_buf"),       dlsym(pLib, "BIO_free"),
        dlsym(pLib, "OSSL_DECODER_CTX_new_for_pkey"), dlsym(pLib, "OSSL_DECODER_from_bio"),
        dlsym(pLib, "OSSL_DECODER_CTX_free"), dlsym(pLib, "EVP_PKEY_is_a"),  dlsym(pLib, "EVP_PKEY_get_bn_param"),
        dlsym(pLib, "EVP_PKEY_free"),         dlsym(pLib, "BN_bn2lebinpad"), dlsym(pLib, "BN_free"),
    };
    for (void *pFunction : pFunctions) {
        if (pFunction == nullptr) {
            return nullptr;
        }
    }
    static_assert(sizeof(pFunctions) == sizeof(Crypto), "one pointer per function");
    memcpy(&crypto, pFunctions, sizeof(crypto));
    bLoaded = true;
    return &crypto;
}

constexpr size_t PEM_MAX = 64 * 1024;
static_assert(KEY_FILE_SIZE < static_cast<int>(PEM_MAX));

// Reads up to nSize bytes into p in as many reads as it takes. *pnRead gets
// the count. Returns false on a read error, with *pWhy the system's reason.
bool read_up_to(FILE *fp, unsigned char *p, size_t nSize, size_t *pnRead, std::string *pWhy)
{
    *pnRead = fread(p, 1, nSize, fp);
    if (*pnRead < nSize && ferror(fp)) {
        *pWhy = strerror(errno);
        return false;
    }
    return true;
}

// One number of an RSA key as 128 bytes little-endian. False when it is
// missing or longer.
bool rsa_number(const Crypto *pCrypto, EVP_PKEY *pkey, const char *pName, unsigned char *pOut)
{
    BIGNUM *bn = nullptr;
    bool bOk = pCrypto->pGetBnParam(pkey, pName, &bn) == 1 &&
               pCrypto->pBnToLe(bn, pOut, RSA_FIELD_SIZE) == RSA_FIELD_SIZE;
    pCrypto->pBnFree(bn);
    return bOk;
}

// The public half of the PEM public key in the nLen bytes at p.
int public_half_from_pem(const unsigned char *p, size_t nLen, unsigned char *pPublic, std::string *pWhy)
{
    if (memmem(p, nLen, "PRIVATE KEY-----", 16) != nullptr) {
        *pWhy = "a private key, neither a key file nor a PEM RSA public key (key_tool import makes a key file of "
                "it, openssl pkey -pubout its public half)";
        return PUBLIC_KEY_REFUSED;
    }
    const Crypto *pCrypto = load_crypto();
    if (pCrypto == nullptr) {
        *pWhy = std::string("cannot load OpenSSL's ") + CRYPTO_SONAME + " to read a PEM key";
        return PUBLIC_KEY_REFUSED;
    }
    // One decoder for both PEM forms of an RSA public key: SubjectPublicKeyInfo
    // (PUBLIC KEY) and PKCS #1 (RSA PUBLIC KEY).
    BIO *bio = pCrypto->pBioNewMemBuf(p, static_cast<int>(nLen));
    EVP_PKEY *pkey = nullptr;
    OSSL_DECODER_CTX *ctx =
        bio != nullptr ? pCrypto->pDecoderNew(&pkey, "PEM", nullptr, "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr)
                       : nullptr;
    bool bDecoded = ctx != nullptr && pCrypto->pDecode(ctx, bio) == 1;
    pCrypto->pDecoderFree(ctx);
    int nStatus = PUBLIC_KEY_OK;
    if (!bDecoded || pkey == nullptr || !pCrypto->pIsA(pkey, "RSA")) {
        *pWhy = "neither a key file nor a PEM RSA public key (-----BEGIN PUBLIC KEY----- or -----BEGIN RSA PUBLIC "
                "KEY-----)";
        nStatus = PUBLIC_KEY_REFUSED;
    } else if (!rsa_number(pCrypto, pkey, OSSL_PKEY_PARAM_RSA_N, pPublic + RSA_BLOB_N) ||
               !rsa_number(pCrypto, pkey, OSSL_PKEY_PARAM_RSA_E, pPublic + RSA_BLOB_E)) {
        *pWhy = "an RSA key longer than 1024 bits";
        nStatus = PUBLIC_KEY_REFUSED;
    }
    pCrypto->pPkeyFree(pkey);
    pCrypto->pBioFree(bio);
    return nStatus;
}

} // namespace

namespace {

// Reads fp once: a PEM on to its end, decoded into the public half at szKey;
// else a key file, of which only the first nRecords records are read (the
// rest of szKey zero). *pnRead gets the bytes read.
int read_key_or_pem(FILE *fp, int nRecords, unsigned char *szKey, size_t *pnRead, std::string *pWhy, bool *pbPem)
{
    static unsigned char szPem[PEM_MAX];
    unsigned char szRecords[KEY_FILE_SIZE] = {}; // a short key file reads as zero-filled
    memset(szKey, 0, RSA_KEY_BLOB_SIZE);
    *pnRead = 0;
    if (!read_up_to(fp, szRecords, static_cast<size_t>(nRecords) * KEY_RECORD_SIZE, pnRead, pWhy)) {
        explicit_bzero(szRecords, sizeof(szRecords));
        return PUBLIC_KEY_READ_FAILED;
    }
    bool bPem = is_pem_text(szRecords, *pnRead);
    if (pbPem != nullptr) {
        *pbPem = bPem;
    }
    if (!bPem) {
        build_key_blob(szKey, szRecords);
        explicit_bzero(szRecords, sizeof(szRecords));
        secrets_clear_registers();
        return PUBLIC_KEY_OK;
    }
    memcpy(szPem, szRecords, *pnRead);
    size_t nMore = 0;
    if (!read_up_to(fp, szPem + *pnRead, sizeof(szPem) - *pnRead, &nMore, pWhy)) {
        return PUBLIC_KEY_READ_FAILED;
    }
    *pnRead += nMore;
    return public_half_from_pem(szPem, *pnRead, szKey, pWhy);
}

} // namespace

int read_public_half(FILE *fp, unsigned char *pPublic, std::string *pWhy, bool *pbPem)
{
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nRead = 0;
    // A key file is read only as far as its public exponent's record.
    int nStatus = read_key_or_pem(fp, 2, szKey, &nRead, pWhy, pbPem);
    memcpy(pPublic, szKey, SI_PUBLIC_SIZE);
    return nStatus;
}

int read_key_or_public(FILE *fp, unsigned char *szKey, size_t *pnFileSize, std::string *pWhy, bool *pbPem)
{
    return read_key_or_pem(fp, KEY_RECORD_COUNT, szKey, pnFileSize, pWhy, pbPem);
}

int read_public_file(const char *pPath, unsigned char *pPublic, std::string *pWhy, bool *pbPem)
{
    FILE *fp = fopen(pPath, "rbe");
    if (fp == nullptr) {
        *pWhy = strerror(errno);
        return PUBLIC_KEY_READ_FAILED;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    int nStatus = read_public_half(fp, pPublic, pWhy, pbPem);
    if (fclose(fp) != 0) {
        *pWhy = strerror(errno);
        return PUBLIC_KEY_READ_FAILED;
    }
    return nStatus;
}
