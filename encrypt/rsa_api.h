// Textbook RSA (modular exponentiation, no padding) over byte buffers, chunk by
// chunk, with a 384-byte little-endian key blob or the built-in default key.
#pragma once

// Key blob: modulus, public exponent, private exponent, each 128 bytes,
// least significant byte first.
constexpr int RSA_FIELD_SIZE = 128;
constexpr int RSA_KEY_BLOB_SIZE = 3 * RSA_FIELD_SIZE;
constexpr int RSA_BLOB_N = 0;
constexpr int RSA_BLOB_E = RSA_FIELD_SIZE;
constexpr int RSA_BLOB_D = 2 * RSA_FIELD_SIZE;

// Modes, the low four bits of the mode word. With k the byte length of the
// modulus, modes 0 and 1 take chunks of k - 1 bytes to k bytes, 2 and 3 back.
constexpr int RSA_MODE_MASK = 0x0F;
constexpr int RSA_MODE_PUBLIC_ENC = 0;
constexpr int RSA_MODE_PRIVATE_ENC = 1;
constexpr int RSA_MODE_PUBLIC_DEC = 2;
constexpr int RSA_MODE_PRIVATE_DEC = 3;

// Transforms nDataLen bytes of pSRC, a whole number of input chunks, into pOUT.
// *pOUTLen is the capacity of pOUT on entry and the bytes written on return;
// pOUT is cleared for that capacity first, so it must not overlap pSRC.
// pKey is a 384-byte key blob, or null for the built-in default key.
// Returns 0 on success; 1 on any refusal (unknown mode, bad lengths, a modulus
// under 2 bytes, an even modulus), with pOUT cleared and *pOUTLen 0.
int do_rsa_enc_dec(const unsigned char *pSRC, int nDataLen, unsigned char *pOUT, int *pOUTLen,
                   int procedure, const unsigned char *pKey);
