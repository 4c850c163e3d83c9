// SPDX-License-Identifier: Apache-2.0
// The public half of a signing key whose private half is elsewhere (a signing
// helper, a signatures file): from a PEM public key, as key_tool export and
// OpenSSL write it, or from a key file, of which the private exponent is never
// read.
#pragma once

#include <cstdio>
#include <string>

enum PublicKeyStatus { PUBLIC_KEY_OK = 0, PUBLIC_KEY_READ_FAILED, PUBLIC_KEY_REFUSED };

// Reads the public half from fp into pPublic (256 bytes: modulus, then public
// exponent, 128 bytes each, little-endian): a file that starts "-----BEGIN "
// is a PEM, which must hold an RSA public key (PUBLIC KEY or RSA PUBLIC KEY);
// any other is a key file. Returns PUBLIC_KEY_OK, PUBLIC_KEY_READ_FAILED (a
// read error, *pWhy the system's reason), or PUBLIC_KEY_REFUSED with *pWhy: a
// PEM that holds no RSA public key (*pWhy names the forms taken), or numbers
// longer than 128 bytes.
// *pbPem, unless null, says whether the file was a PEM.
int read_public_half(FILE *fp, unsigned char *pPublic, std::string *pWhy, bool *pbPem = nullptr);

// For a whole key (key_tool show): reads fp once, a key file whole (up to 1656
// bytes, the rest zero) into the 384-byte blob szKey, with its private
// exponent, or the public half of a PEM public key into its first 256 bytes
// (the rest zero); *pnFileSize gets the bytes read, *pbPem which it was.
// Returns as read_public_half.
int read_key_or_public(FILE *fp, unsigned char *szKey, size_t *pnFileSize, std::string *pWhy, bool *pbPem);

// The same as read_public_half from the file at pPath, opened and read unbuffered, so that no
// stdio buffer takes in a key file's private exponent. A file that cannot be
// opened, read or closed is PUBLIC_KEY_READ_FAILED, *pWhy the system's reason.
int read_public_file(const char *pPath, unsigned char *pPublic, std::string *pWhy, bool *pbPem = nullptr);
