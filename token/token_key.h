// SPDX-License-Identifier: Apache-2.0
// Signing keys held in a PKCS#11 token (an HSM or a smart card), named by a
// `pkcs11:` URI (RFC 7512), so that the private exponent never leaves the token.
//
// The URI picks the module (module-path= or module-name= in its query, else
// the PKCS11_MODULE_PATH environment variable, else every module registered
// with p11-kit), exactly one initialised token and exactly one RSA private key.
// The PIN comes from pin-value= or pin-source= (a file: URI or a path; one
// trailing newline is not part of the PIN), else from the terminal without
// echo; with neither, nothing logs in. PINs never appear in messages.
#pragma once

#include <string>
#include <vector>

#include "token_pin.h"
#include "token_uri.h"

enum TokenAccess { TOKEN_PUBLIC_HALF, TOKEN_SIGN };

struct TokenKey; // opaque

// Opens the one RSA private key (type=private may be omitted from the URI) in
// the one token the URI selects, and with TOKEN_SIGN logs in and checks that
// the token offers CKM_RSA_X_509 for signing. With TOKEN_PUBLIC_HALF it logs
// in only where it must: it takes the private key the token shows without a
// login, else the one RSA public key the URI's attributes select (with
// type=public only that), and only where neither is there logs in for the
// private key.
// Returns TOKEN_OK with *ppKey set, or another status with *ppKey null and
// *pWhy one line saying why (no newline, no PIN, the URI printable).
int token_key_open(const char *pUri, TokenAccess access, TokenKey **ppKey, std::string *pWhy);

// Fills pPublic (256 bytes) with the modulus, then the public exponent, each
// 128 bytes little-endian; the exponent comes from the public key with the
// same CKA_ID when the private key does not show it. TOKEN_REFUSED when the
// modulus is not 1017 to 1024 bits.
int token_key_public(TokenKey *pKey, unsigned char *pPublic, std::string *pWhy);

// Signs one block with CKM_RSA_X_509: the 127 little-endian bytes at pPlain
// become the 128-byte big-endian input (a zero byte, then the bytes
// reversed); the big-endian result goes to pSigned as 128 bytes little-endian.
// TOKEN_REFUSED, before anything reaches the token, when the modulus is not
// exactly 128 bytes. An always-authenticate key logs in again for each block.
int token_key_sign_block(TokenKey *pKey, const unsigned char *pPlain, unsigned char *pSigned, std::string *pWhy);

// Opens the key (as token_key_open), reads its public half (as
// token_key_public) and closes it again. Returns the first status that is not
// TOKEN_OK, with *pWhy.
int token_read_public(const char *pUri, TokenAccess access, unsigned char *pPublic, std::string *pWhy);

// Logs out where it logged in, closes the session, finalises and releases
// every module it loaded, and wipes the PIN it kept. Null is fine.
void token_key_close(TokenKey *pKey);

// One RSA private key in a token, with a URI that selects exactly it
// (token=, serial= where the token has one, object= and id= where the key has
// them, type=private; no PIN, no module attributes), and its modulus size.
struct TokenKeyEntry {
    std::string uri;
    int nBits;
};

// Every RSA private key in the token(s) the URI selects, logging in to each as
// token_key_open does. TOKEN_OK with *pKeys filled (possibly empty), or
// TOKEN_UNREACHABLE with *pWhy.
int token_list_keys(const char *pUri, std::vector<TokenKeyEntry> *pKeys, std::string *pWhy);

// Makes a key pair of nBits (1017 to 1024; e = 65537) in the token that
// token= names, both objects labelled by object= (required) with a fresh
// random CKA_ID: a private key that is a token object, private, sensitive,
// not extractable and may sign; a public key that is a token object and may
// verify. Returns TOKEN_OK; TOKEN_REFUSED when nBits is out of range or the
// token already holds an object with that label (nothing made);
// TOKEN_UNREACHABLE as for token_key_open.
int token_generate_key(const char *pUri, int nBits, std::string *pWhy);
