// Internals of rsa_api, for its own tests and tools built beside it; callers of
// the codec use rsa_api.h.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <tfm.h>
}

#include "rsa_api.h"

// Variant bits of the mode word read by the buffer operations.
constexpr int RSA_PRE_MASK = 0x30;
constexpr int RSA_PRE_LITTLE_ENDIAN = 0x10; // message LE (enc), ciphertext BE (dec)
constexpr int RSA_POST_MASK = 0xC0;
constexpr int RSA_POST_SWAP = 0x80;         // ciphertext BE (enc), message LE (dec)

constexpr int RSA_CHUNK_SIZE = RSA_FIELD_SIZE;          // one 1024-bit chunk
constexpr int RSA_MAX_MESSAGE = RSA_CHUNK_SIZE - 2;     // room for the marker

// Loads the built-in default key into n, e and d. Returns 0, or 1 when any
// pointer is null (nothing written).
int get_rsa_key(fp_int *n, fp_int *e, fp_int *d);

// Loads nLen (at most 128) little-endian bytes into a zeroed, normalised a.
void load_fp_le(fp_int *a, const unsigned char *pBytes, int nLen);

// Stores the low nLen (at most 128) bytes of a, little-endian, zero above.
void store_fp_le(const fp_int *a, unsigned char *pBytes, int nLen);

// Wipes a big integer so that the compiler cannot drop the wipe.
void wipe_fp(fp_int *a);

// Lays out a message as a padded little-endian chunk (encryption modes) or
// reverses a big-endian ciphertext (decryption modes, pre-variant 0x10).
// Returns 0, or -1 with the buffer unchanged for a call outside its ranges.
int kra_buffer_proc_before(unsigned char *pBuffer, int nDataLen, int nBufferLen, int procedure);

// Strips the padding of a decrypted chunk, or reverses a 128-byte ciphertext
// into big-endian order. *pnDataLen is the result length in and the message
// length out. Returns 0, or -1 with buffer and length unchanged.
int kra_buffer_proc_after(unsigned char *pBuffer, int *pnDataLen, int nBufferLen, int procedure);
