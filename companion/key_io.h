// Key files, fingerprints and safe file replacement for the companion tools
// (key_tool, verify_tool). OpenSSL's libcrypto supplies SHA-256 and PEM.
#pragma once

#include <cstddef>
#include <cstdio>

#include "key_file.h"

constexpr int SHA256_SIZE = 32;
constexpr int FINGERPRINT_HEX_SIZE = 2 * SHA256_SIZE + 1;
constexpr int EXIT_CHECK_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// Reads a key file as the signing tool does: up to 1656 bytes, the rest zero,
// into the 384-byte blob szKey. *pnFileSize gets the bytes read. Returns 0, or
// 1 when the file cannot be opened or read. The file is read unbuffered.
int read_key_file(const char *pPath, unsigned char *szKey, size_t *pnFileSize);

// Lowercase hex SHA-256 of the 256-byte public half (modulus then exponent,
// little-endian) at pPublic, with a terminating zero.
void public_fingerprint(const unsigned char *pPublic, char *szHex);

// Prints the help text for --help, or the tool's name and version for
// --version, as the first argument. True when it printed either.
bool print_help_or_version(int argc, char **argv, const char *pTool, const char *pHelp);

// True when both paths name the same existing file.
bool same_file(const char *pPathA, const char *pPathB);
