// SPDX-License-Identifier: Apache-2.0
/* Padding and byte-order operations a caller wraps around one block transform
 * of a 1024-bit key: PKCS #1 v1.5 block type 1 layout, big-endian buffers.
 * Part of libsignedimage; installed as <signedimage/rsa_buffer.h>. Plain C. */
#ifndef SIGNEDIMAGE_RSA_BUFFER_H
#define SIGNEDIMAGE_RSA_BUFFER_H

#include "rsa_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Variant bits of the mode word, beside the mode in its low four bits. */
enum {
    RSA_PRE_MASK = 0x30,
    RSA_PRE_LITTLE_ENDIAN = 0x10, /* message LE (enc), ciphertext BE (dec) */
    RSA_POST_MASK = 0xC0,
    RSA_POST_SWAP = 0x80,         /* ciphertext BE (enc), message LE (dec) */
    RSA_CHUNK_SIZE = RSA_FIELD_SIZE,
    RSA_MAX_MESSAGE = RSA_CHUNK_SIZE - 2
};

/* Lays out a message as a padded little-endian chunk (encryption modes) or
 * reverses a big-endian ciphertext (decryption modes, pre-variant 0x10).
 * Returns 0, or -1 with the buffer unchanged for a call outside its ranges. */
SIGNEDIMAGE_API int kra_buffer_proc_before(unsigned char *pBuffer, int nDataLen, int nBufferLen, int procedure);

/* Strips the padding of a decrypted chunk, or reverses a 128-byte ciphertext
 * into big-endian order. *pnDataLen is the result length in and the message
 * length out. Returns 0, or -1 with buffer and length unchanged. */
SIGNEDIMAGE_API int kra_buffer_proc_after(unsigned char *pBuffer, int *pnDataLen, int nBufferLen, int procedure);

#ifdef __cplusplus
}
#endif

#endif
