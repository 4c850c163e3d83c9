// SPDX-License-Identifier: Apache-2.0
/* Textbook RSA (modular exponentiation, no padding) over byte buffers, chunk
 * by chunk, with a 384-byte little-endian key blob or the built-in default key.
 * Part of libsignedimage; installed as <signedimage/rsa_api.h>. Plain C. */
#ifndef SIGNEDIMAGE_RSA_API_H
#define SIGNEDIMAGE_RSA_API_H

#if defined(SIGNEDIMAGE_BUILDING) && defined(__GNUC__)
#define SIGNEDIMAGE_API __attribute__((visibility("default")))
#else
#define SIGNEDIMAGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Key blob: modulus, public exponent, private exponent, each 128 bytes, least
 * significant byte first. */
enum {
    RSA_FIELD_SIZE = 128,
    RSA_KEY_BLOB_SIZE = 3 * RSA_FIELD_SIZE,
    RSA_BLOB_N = 0,
    RSA_BLOB_E = RSA_FIELD_SIZE,
    RSA_BLOB_D = 2 * RSA_FIELD_SIZE
};

/* Modes, the low four bits of the mode word. With k the byte length of the
 * modulus, modes 0 and 1 take chunks of k - 1 bytes to k bytes, 2 and 3 back. */
enum {
    RSA_MODE_MASK = 0x0F,
    RSA_MODE_PUBLIC_ENC = 0,
    RSA_MODE_PRIVATE_ENC = 1,
    RSA_MODE_PUBLIC_DEC = 2,
    RSA_MODE_PRIVATE_DEC = 3
};

/* Transforms nDataLen bytes of pSRC, a whole number of input chunks, into pOUT.
 * *pOUTLen is the capacity of pOUT on entry and the bytes written on return;
 * pOUT is cleared for that capacity first, so it must not overlap pSRC.
 * pKey is a 384-byte key blob, or null for the built-in default key.
 * Returns 0 on success; 1 on any refusal (unknown mode, bad lengths, a modulus
 * under 2 bytes, an even modulus), with pOUT cleared and *pOUTLen 0. */
SIGNEDIMAGE_API int do_rsa_enc_dec(const unsigned char *pSRC, int nDataLen, unsigned char *pOUT, int *pOUTLen,
                                   int procedure, const unsigned char *pKey);

#ifdef __cplusplus
}
#endif

#endif
