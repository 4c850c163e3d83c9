// SPDX-License-Identifier: Apache-2.0
// Key files: three 552-byte key records (modulus, public exponent, private
// exponent), read by all three tools and written by key_tool.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "image_format.h"

// Key record: 136 little-endian 32-bit digits, then `used` and `sign`.
constexpr int KEY_DIGIT_COUNT = 136;
constexpr int KEY_RECORD_USED = 4 * KEY_DIGIT_COUNT;
constexpr int KEY_RECORD_SIGN = KEY_RECORD_USED + 4;
constexpr int KEY_RECORD_SIZE = KEY_RECORD_SIGN + 4;
constexpr int KEY_RECORD_COUNT = 3;                   // modulus, public, private exponent
constexpr int KEY_FILE_SIZE = KEY_RECORD_COUNT * KEY_RECORD_SIZE;
static_assert(KEY_RECORD_SIZE == 552 && KEY_FILE_SIZE == 1656);
static_assert(RSA_FIELD_SIZE <= KEY_RECORD_USED, "a key field is a prefix of the digits");

// Fills the 384-byte key blob from the low 128 bytes of each of the three
// key records in rsaKey (KEY_FILE_SIZE bytes).
void build_key_blob(unsigned char *szKey, const unsigned char *rsaKey);

// Fills the 256-byte public half pPublic from the first two key records in
// rsaKey (modulus, public exponent).
void public_half_from_records(unsigned char *pPublic, const unsigned char *rsaKey);

// Fills the 1656-byte key file image rsaKey from a 384-byte blob: each value
// in the low 128 bytes of its record, `used` the count of significant 32-bit
// digits, `sign` 0.
void key_records_from_blob(unsigned char *rsaKey, const unsigned char *szKey);

// Reads a key file as the signing tool does: up to 1656 bytes, the rest zero,
// into the 384-byte blob szKey. *pnFileSize gets the bytes read. Returns 0, or
// 1 when the file cannot be opened or read. The file is read unbuffered, and
// every copy of the private exponent but szKey's is wiped.
int read_key_file(const char *pPath, unsigned char *szKey, size_t *pnFileSize);

// The same from a key file already open (and unbuffered): up to 1656 bytes of
// fp into szKey. Returns 0, or 1 on a read error.
int read_key_stream(FILE *fp, unsigned char *szKey, size_t *pnFileSize);

// Bit length of a little-endian value of nLen bytes.
int le_bit_length(const unsigned char *p, int nLen);

// A little-endian value of nLen bytes in words: its decimal value where it
// fits 64 bits ("65537"), else its size ("1017 bits").
std::string le_number_text(const unsigned char *p, int nLen);

// True when the nLen bytes at p start as PEM text does ("-----BEGIN ").
bool is_pem_text(const unsigned char *p, size_t nLen);

// What is wrong with a file given as a key file, from its first bytes pStart
// (at least min(nRead, 128) of them), the count nRead of a read of up to
// KEY_FILE_SIZE bytes, and bLonger when the file goes on after them: it is PEM
// text, or it is not 1656 bytes long. The words follow "the file is"; empty
// when neither is so.
std::string key_file_problem(const unsigned char *pStart, size_t nRead, bool bLonger);
