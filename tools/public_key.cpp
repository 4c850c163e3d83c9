// Public halves from PEM public keys or key files.
#include "public_key.h"

#include <cstring>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "image_format.h"
#include "key_file.h"

namespace {

constexpr char PEM_START[] = "-----BEGIN ";
constexpr int PUBLIC_RECORDS_SIZE = 2 * KEY_RECORD_SIZE; // modulus and public exponent records
constexpr size_t PEM_MAX = 64 * 1024;
static_assert(PUBLIC_RECORDS_SIZE < static_cast<int>(PEM_MAX));

// Reads up to nSize bytes into p in as many reads as it takes. *pnRead gets
// the count. Returns false on a read error.
bool read_up_to(FILE *fp, unsigned char *p, size_t nSize, size_t *pnRead)
{
    *pnRead = fread(p, 1, nSize, fp);
    return *pnRead == nSize || !ferror(fp);
}

// One number of an RSA key as 128 bytes little-endian. False when it is
// missing or longer.
bool rsa_number(EVP_PKEY *pkey, const char *pName, unsigned char *pOut)
{
    BIGNUM *bn = nullptr;
    bool bOk = EVP_PKEY_get_bn_param(pkey, pName, &bn) == 1 && BN_bn2lebinpad(bn, pOut, RSA_FIELD_SIZE) == RSA_FIELD_SIZE;
    BN_free(bn);
    return bOk;
}

// The public half of the PEM public key in the nLen bytes at p.
int public_half_from_pem(const unsigned char *p, size_t nLen, unsigned char *pPublic, std::string *pWhy)
{
    if (memmem(p, nLen, "PRIVATE KEY-----", 16) != nullptr) {
        *pWhy = "a private key where its public half is wanted (key_tool export or openssl pkey -pubout gives it)";
        return PUBLIC_KEY_REFUSED;
    }
    BIO *bio = BIO_new_mem_buf(p, static_cast<int>(nLen));
    EVP_PKEY *pkey = bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    int nStatus = PUBLIC_KEY_OK;
    if (pkey == nullptr || !EVP_PKEY_is_a(pkey, "RSA")) {
        *pWhy = "no RSA public key in PEM form (-----BEGIN PUBLIC KEY-----)";
        nStatus = PUBLIC_KEY_REFUSED;
    } else if (!rsa_number(pkey, OSSL_PKEY_PARAM_RSA_N, pPublic + RSA_BLOB_N) ||
               !rsa_number(pkey, OSSL_PKEY_PARAM_RSA_E, pPublic + RSA_BLOB_E)) {
        *pWhy = "an RSA key longer than 1024 bits";
        nStatus = PUBLIC_KEY_REFUSED;
    }
    EVP_PKEY_free(pkey);
    BIO_free(bio);
    return nStatus;
}

} // namespace

int read_public_half(FILE *fp, unsigned char *pPublic, std::string *pWhy)
{
    static unsigned char szFile[PEM_MAX];
    memset(pPublic, 0, SI_PUBLIC_SIZE);
    // A key file is read only as far as its public exponent's record.
    size_t nRead = 0;
    memset(szFile, 0, PUBLIC_RECORDS_SIZE); // a short key file reads as zero-filled
    if (!read_up_to(fp, szFile, PUBLIC_RECORDS_SIZE, &nRead)) {
        return PUBLIC_KEY_READ_FAILED;
    }
    if (nRead < sizeof(PEM_START) - 1 || memcmp(szFile, PEM_START, sizeof(PEM_START) - 1) != 0) {
        memcpy(pPublic + RSA_BLOB_N, szFile, RSA_FIELD_SIZE);
        memcpy(pPublic + RSA_BLOB_E, szFile + KEY_RECORD_SIZE, RSA_FIELD_SIZE);
        return PUBLIC_KEY_OK;
    }
    size_t nMore = 0;
    if (nRead == static_cast<size_t>(PUBLIC_RECORDS_SIZE) &&
        !read_up_to(fp, szFile + nRead, sizeof(szFile) - nRead, &nMore)) {
        return PUBLIC_KEY_READ_FAILED;
    }
    return public_half_from_pem(szFile, nRead + nMore, pPublic, pWhy);
}
