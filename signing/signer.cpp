// SPDX-License-Identifier: Apache-2.0
// Signing the blocks where the key lives.
#include "signer.h"

#include <cerrno>
#include <cstring>

#include "byte_order.h"
#include "key_file.h"
#include "public_key.h"
#include "signing_helper.h"

namespace {

// Reads the signatures file: exactly the four results. Returns SIGNER_OK or
// SIGNER_REFUSED with *pWhy.
int read_signatures(Signer *pSigner, std::string *pWhy)
{
    std::string name = token_uri_printable(pSigner->pWith);
    FILE *fp = fopen(pSigner->pWith, "rbe");
    if (fp == nullptr) {
        *pWhy = "cannot open the signatures file " + name + ": " + strerror(errno);
        return SIGNER_REFUSED;
    }
    unsigned char szExtra[1];
    size_t nRead = fread(pSigner->szSignatures, 1, SIGNER_FILE_SIZE, fp);
    size_t nExtra = nRead == SIGNER_FILE_SIZE ? fread(szExtra, 1, 1, fp) : 0;
    int nErrno = errno;
    bool bError = ferror(fp) != 0;
    fclose(fp); // read only: nothing to lose
    if (bError) {
        *pWhy = "cannot read the signatures file " + name + ": " + strerror(nErrno);
        return SIGNER_REFUSED;
    }
    if (nRead + nExtra != SIGNER_FILE_SIZE) {
        *pWhy = "the signatures file " + name + " holds " + (nExtra != 0 ? "more than " : "") + std::to_string(nRead) +
                " bytes, not " + std::to_string(SIGNER_FILE_SIZE) + " (four results of " +
                std::to_string(SI_BLOCK_SIZE) + " bytes)";
        return SIGNER_REFUSED;
    }
    return SIGNER_OK;
}

// Signs block nBlock (its 127 little-endian bytes at pPlain) where the key
// lives, into pSigned (128 bytes, little-endian). Nothing is checked here.
int sign_block(Signer *pSigner, int nBlock, const unsigned char *pPlain, unsigned char *pSigned, std::string *pWhy)
{
    unsigned char szInput[SI_BLOCK_SIZE];
    unsigned char szResult[SI_BLOCK_SIZE];
    int nLen = SI_BLOCK_SIZE;
    switch (pSigner->kind) {
    case SIGNER_TOKEN:
        return token_key_sign_block(pSigner->pToken, pPlain, pSigned, pWhy) == TOKEN_OK ? SIGNER_OK : SIGNER_REFUSED;
    case SIGNER_KEY_FILE:
        return do_rsa_enc_dec(pPlain, SI_BLOCK_PLAIN, pSigned, &nLen, RSA_MODE_PRIVATE_ENC, pSigner->szKey) == 0 &&
                       nLen == SI_BLOCK_SIZE
                   ? SIGNER_OK
                   : SIGNER_REFUSED;
    case SIGNER_HELPER:
        raw_rsa_input(pPlain, szInput);
        if (!run_signing_helper(pSigner->pWith, pSigner->pKeyArg, szInput, szResult, pWhy)) {
            *pWhy = "block " + std::to_string(nBlock) + ": " + *pWhy;
            return SIGNER_REFUSED;
        }
        reverse_bytes(pSigned, szResult, SI_BLOCK_SIZE);
        return SIGNER_OK;
    case SIGNER_SIGNATURES:
        reverse_bytes(pSigned, pSigner->szSignatures[nBlock], SI_BLOCK_SIZE);
        return SIGNER_OK;
    case SIGNER_REQUEST:
        break;
    }
    *pWhy = "nothing signs in a request";
    return SIGNER_REFUSED;
}

// Why a public half cannot check a signature: its values, and what is needed.
std::string public_half_refused(const unsigned char *pPublic)
{
    int nBits = le_bit_length(pPublic + RSA_BLOB_N, RSA_FIELD_SIZE);
    return "the key has a modulus of " + std::to_string(nBits) + " bits" +
           ((pPublic[RSA_BLOB_N] & 1) != 0 ? "" : " (even)") + " and a public exponent of " +
           le_number_text(pPublic + RSA_BLOB_E, RSA_FIELD_SIZE) +
           "; a modulus of 1017 to 1024 bits that is odd and an odd public exponent of at least 3 are needed";
}

// Why a key file's key cannot sign: what the file is where that is the cause,
// else what is wrong with its public half, else its exponents.
std::string key_file_refused(const Signer *pSigner)
{
    std::string problem = key_file_problem(pSigner->szKey, pSigner->nFileRead, false);
    if (!problem.empty()) {
        return "the file is " + problem;
    }
    if (!si_public_key_usable(pSigner->szKey)) {
        return public_half_refused(pSigner->szKey);
    }
    return "the private and public exponents do not undo each other (a block signed with one is not restored by "
           "the other)";
}

// Why a result that does not restore was refused, by where it came from.
std::string not_restored(const Signer *pSigner, int nBlock)
{
    std::string block = "block " + std::to_string(nBlock);
    if (pSigner->kind == SIGNER_HELPER) {
        return block + ": the signing helper's result does not restore with the public key of " +
               token_uri_printable(pSigner->pKeyArg);
    }
    if (pSigner->kind == SIGNER_SIGNATURES) {
        return block + ": result " + std::to_string(nBlock) + " of " + token_uri_printable(pSigner->pWith) +
               " does not restore to this image's block with the public key (made for another image, another key "
               "or in another order?)";
    }
    if (pSigner->kind == SIGNER_TOKEN) {
        return "the token's signature of " + block + " does not restore with its public key";
    }
    return key_file_refused(pSigner);
}

} // namespace

void raw_rsa_input(const unsigned char *pPlain, unsigned char *pInput)
{
    pInput[0] = 0;
    reverse_bytes(pInput + 1, pPlain, SI_BLOCK_PLAIN);
}

int signer_open(Signer *pSigner, SignerKind kind, const char *pKeyArg, const char *pWith, std::string *pWhy)
{
    *pSigner = Signer();
    pSigner->kind = kind;
    pSigner->pKeyArg = pKeyArg;
    pSigner->pWith = pWith;
    if (is_token_uri(pKeyArg)) {
        bool bSigns = kind == SIGNER_KEY_FILE;
        pSigner->kind = bSigns ? SIGNER_TOKEN : kind;
        return token_key_open(pKeyArg, bSigns ? TOKEN_SIGN : TOKEN_PUBLIC_HALF, &pSigner->pToken, pWhy) == TOKEN_OK
                   ? SIGNER_OK
                   : SIGNER_OPEN_FAILED;
    }
    pSigner->fp = fopen(pKeyArg, "rbe");
    if (pSigner->fp == nullptr) {
        *pWhy = strerror(errno);
        return SIGNER_OPEN_FAILED;
    }
    // No stdio buffer keeps a copy of a private exponent.
    setvbuf(pSigner->fp, nullptr, _IONBF, 0);
    return SIGNER_OK;
}

int signer_read(Signer *pSigner, std::string *pWhy)
{
    int nStatus = SIGNER_OK;
    if (pSigner->fp != nullptr && pSigner->kind == SIGNER_KEY_FILE) {
        if (read_key_stream(pSigner->fp, pSigner->szKey, &pSigner->nFileRead) != 0) {
            *pWhy = strerror(errno);
            nStatus = SIGNER_READ_FAILED;
        }
    } else if (pSigner->fp != nullptr) {
        int nPublic = read_public_half(pSigner->fp, pSigner->szKey, pWhy);
        nStatus = nPublic == PUBLIC_KEY_OK       ? SIGNER_OK
                  : nPublic == PUBLIC_KEY_REFUSED ? SIGNER_REFUSED
                                                  : SIGNER_READ_FAILED;
    }
    if (nStatus == SIGNER_OK && pSigner->kind == SIGNER_SIGNATURES) {
        nStatus = read_signatures(pSigner, pWhy);
    }
    return nStatus;
}

int signer_public_half(Signer *pSigner, unsigned char *pPublic, std::string *pWhy)
{
    if (pSigner->pToken != nullptr && token_key_public(pSigner->pToken, pSigner->szKey, pWhy) != TOKEN_OK) {
        return SIGNER_REFUSED;
    }
    memcpy(pPublic, pSigner->szKey, SI_PUBLIC_SIZE);
    if (!si_public_key_usable(pPublic)) {
        *pWhy = pSigner->kind == SIGNER_KEY_FILE ? key_file_refused(pSigner) : public_half_refused(pPublic);
        return SIGNER_REFUSED;
    }
    return SIGNER_OK;
}

int signer_sign_windows(Signer *pSigner, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                        const unsigned char *pCommonPublic, std::string *pWhy)
{
    unsigned char szPublic[SI_PUBLIC_SIZE];
    if (signer_public_half(pSigner, szPublic, pWhy) != SIGNER_OK) {
        return SIGNER_REFUSED;
    }
    const RSA_ENC_BLK *pTable = si_block_table();
    unsigned char szSigned[SI_BLOCK_SIZE];
    bool bProven = false;
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        if (sign_block(pSigner, i, szBuffSPL + pTable[i].nEncStartAddr, szSigned, pWhy) != SIGNER_OK) {
            return SIGNER_REFUSED;
        }
        if (si_place_block(szBuffSPL, i, szSigned, szPublic) != SI_OK) {
            *pWhy = not_restored(pSigner, i);
            return SIGNER_REFUSED;
        }
        bProven = bProven || si_block_proves_public_key(szSigned, szPublic);
    }
    // Blocks whose power does not wrap the modulus (0, 1, e-th roots) restore
    // whatever the private exponent: a key file's exponents are then checked
    // against each other apart, so that the same keys are refused as where a
    // block proves them.
    if (!bProven && pSigner->kind == SIGNER_KEY_FILE && !si_signing_key_usable(pSigner->szKey)) {
        *pWhy = key_file_refused(pSigner);
        return SIGNER_REFUSED;
    }
    si_fill_code_window(szBuffSPLCode, szPublic, pCommonPublic);
    return SIGNER_OK;
}

void signer_close(Signer *pSigner)
{
    if (pSigner->fp != nullptr) {
        fclose(pSigner->fp); // read only: nothing to lose
    }
    pSigner->fp = nullptr;
    token_key_close(pSigner->pToken);
    pSigner->pToken = nullptr;
    explicit_bzero(pSigner->szKey, sizeof(pSigner->szKey));
}
