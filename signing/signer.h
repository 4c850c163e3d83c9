// SPDX-License-Identifier: Apache-2.0
// Where the signing key's private half lives, behind one interface: a key
// file, a PKCS#11 token, a signing helper program, or a file of signatures
// made elsewhere (two-step signing). Each block is signed there and kept only
// when the key's public half restores it, so that every way gives the same
// image.
#pragma once

#include <cstdio>
#include <string>

#include "image_format.h"
#include "token_key.h"

enum SignerKind {
    SIGNER_KEY_FILE,   // the key argument is a key file, or a pkcs11: URI (then SIGNER_TOKEN)
    SIGNER_TOKEN,      // the key signs in its PKCS#11 token
    SIGNER_HELPER,     // a program signs; the key argument is the public half
    SIGNER_SIGNATURES, // a file holds the four results; the key argument is the public half
    SIGNER_REQUEST,    // nothing is signed: the public half only, to check the inputs
};

enum SignerStatus {
    SIGNER_OK = 0,
    SIGNER_OPEN_FAILED, // the key argument cannot be opened (or its token reached)
    SIGNER_READ_FAILED, // the key argument's file cannot be read
    SIGNER_REFUSED,     // a key that cannot sign, or a result that does not restore
};

// The size of a request, and of a signatures file: four raw RSA values of
// SI_BLOCK_SIZE bytes, one after the other.
constexpr size_t SIGNER_FILE_SIZE = SI_BLOCK_COUNT * SI_BLOCK_SIZE;

struct Signer {
    SignerKind kind = SIGNER_KEY_FILE;
    const char *pKeyArg = nullptr; // as given: a key file, a PEM public key or a pkcs11: URI
    const char *pWith = nullptr;   // the helper program, or the signatures file
    FILE *fp = nullptr;            // the key argument's file, unbuffered
    size_t nFileRead = 0;          // bytes read of a key file (up to KEY_FILE_SIZE)
    TokenKey *pToken = nullptr;
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {}; // the public half, then a key file's private exponent
    unsigned char szSignatures[SI_BLOCK_COUNT][SI_BLOCK_SIZE] = {}; // raw results, big-endian
};
static_assert(sizeof(Signer::szSignatures) == SIGNER_FILE_SIZE);

// The raw RSA input of a block: the 127 little-endian bytes at pPlain as a
// SI_BLOCK_SIZE-byte big-endian number (a zero byte, then the bytes reversed),
// what a token, a helper or `openssl pkeyutl` takes.
void raw_rsa_input(const unsigned char *pPlain, unsigned char *pInput);

// Opens the key argument as kind needs it: a key file (unbuffered), or the
// key a pkcs11: URI names, for signing with SIGNER_KEY_FILE (which becomes
// SIGNER_TOKEN) and for its public half only otherwise. Returns SIGNER_OK or
// SIGNER_OPEN_FAILED with *pWhy (for a file, the system's reason).
int signer_open(Signer *pSigner, SignerKind kind, const char *pKeyArg, const char *pWith, std::string *pWhy);

// Reads what was opened: a key file's three records (only the modulus and
// public exponent where the private half is elsewhere), or a PEM public key;
// with SIGNER_SIGNATURES also the signatures file. Returns SIGNER_OK,
// SIGNER_READ_FAILED (*pWhy the system's reason) or SIGNER_REFUSED with *pWhy.
int signer_read(Signer *pSigner, std::string *pWhy);

// The public half (256 bytes) into pPublic, checked as a signing key must be:
// SIGNER_OK or SIGNER_REFUSED with *pWhy: what the file is where that is the
// cause (PEM text, a key file too short), else the public half's values and
// what is needed.
int signer_public_half(Signer *pSigner, unsigned char *pPublic, std::string *pWhy);

// Signs the four blocks of the SPL window where the key lives and keeps each
// only when the public half restores it; a key file's pair is checked apart
// only where no block proves it (si_block_proves_public_key). Then fills the code
// window. Returns SIGNER_OK, or SIGNER_REFUSED with *pWhy naming the block
// (for a key file, why the key cannot sign: as signer_public_half, or its
// exponents do not undo each other); the windows are then not to be used.
int signer_sign_windows(Signer *pSigner, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                        const unsigned char *pCommonPublic, std::string *pWhy);

// Closes the file and the token, and wipes the key. Safe to call twice.
void signer_close(Signer *pSigner);
