// SPDX-License-Identifier: Apache-2.0
// Keys for the companion tools through OpenSSL's libcrypto: fingerprints, key
// blobs to and from OpenSSL keys, and OpenSSL's own checks of a key.
#pragma once

#include <cstddef>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "key_file.h"

constexpr int SHA256_SIZE = 32;

// Makes OpenSSL clear every block before it frees or moves it: its key check
// (EVP_PKEY_check) frees copies of d mod (q - 1) and q^-1 mod p uncleared.
// key_tool calls it first, before OpenSSL allocates anything.
void openssl_clear_freed_memory();

// Lowercase hex SHA-256 of the 256-byte public half (modulus then exponent,
// little-endian) at pPublic: what key_tool show prints and a device fuses.
std::string public_fingerprint(const unsigned char *pPublic);

// Copies n, e and d of an OpenSSL RSA key into the 384-byte blob. Returns
// false when a value is missing or longer than 128 bytes.
bool blob_from_pkey(EVP_PKEY *pkey, unsigned char *szKey);

// An OpenSSL public key from the modulus and exponent of a public half, or
// null when either is zero.
EVP_PKEY *public_pkey(const unsigned char *pPublic);

// OpenSSL's full check (EVP_PKEY_check: primes, n = p q, d matching e) of a
// key. Returns true, or false with *pWhy saying what failed.
bool openssl_key_check(EVP_PKEY *pkey, std::string *pWhy);

// The same check for a key blob, which holds no primes: they are recovered
// from n, e and d first (a d that does not match e, or an n that is not a
// product of 2 to 5 distinct primes, has none). Returns true, or false with
// *pWhy.
bool openssl_blob_check(const unsigned char *szKey, std::string *pWhy);

enum PemStatus { PEM_KEY_OK, PEM_NO_KEY, PEM_NOT_RSA, PEM_UNREADABLE, PEM_PRIMES_UNRECOVERED };

// Reads the first private key of a PEM file (PKCS #1 or PKCS #8, plain or
// encrypted), asking pCallback for a passphrase where one is needed. The RSA
// values are taken from the DER with OpenSSL's generic ASN.1 parser and every
// copy of them is cleared before it is freed (OpenSSL's key decoders leave
// one in freed memory). A multi-prime key gives its n, e and d with the primes
// recovered from them, as a key file read back would. Returns the key, or
// null with *pnStatus saying why: no private key block, another type of key, a
// multi-prime key whose primes cannot be recovered, or not decrypted or
// decoded.
EVP_PKEY *read_rsa_private_pem(const char *pPath, pem_password_cb *pCallback, void *pUser, int *pnStatus);
