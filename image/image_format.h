// SPDX-License-Identifier: Apache-2.0
/* The signed image format: the SPL and code windows, the four signed blocks,
 * the stored public keys and the block table; signing and restoring the blocks
 * in memory. Part of libsignedimage; installed as <signedimage/image_format.h>.
 * Plain C. All numbers in an image are little-endian. */
#ifndef SIGNEDIMAGE_IMAGE_FORMAT_H
#define SIGNEDIMAGE_IMAGE_FORMAT_H

#include <stdint.h>

#include "rsa_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Layout: offsets in the image, and in the code window (SI_CODE_*). */
enum {
    SI_WINDOW_SIZE = 0x4000,                 /* each of the two windows */
    SI_SPL_WINDOW = 0,                       /* image offset of the SPL window */
    SI_CODE_WINDOW = SI_WINDOW_SIZE,         /* image offset of the code window */
    SI_TAIL_OFFSET = 2 * SI_WINDOW_SIZE,     /* the input's bytes follow from here */
    SI_BLOCK_COUNT = 4,                      /* signed blocks in the SPL window */
    SI_BLOCK_SIZE = RSA_FIELD_SIZE,          /* bytes of a signed block */
    SI_BLOCK_PLAIN = SI_BLOCK_SIZE - 1,      /* bytes of a block that are signed */
    SI_PUBLIC_SIZE = 2 * RSA_FIELD_SIZE,     /* a public half: modulus, then exponent */
    SI_CODE_COMM_N = 384,                    /* common key modulus */
    SI_CODE_COMM_E = SI_CODE_COMM_N + RSA_FIELD_SIZE,
    SI_CODE_SIGN_N = SI_CODE_COMM_E + RSA_FIELD_SIZE, /* signing key modulus */
    SI_CODE_SIGN_E = SI_CODE_SIGN_N + RSA_FIELD_SIZE,
    SI_CODE_BLOCK_TABLE = SI_CODE_SIGN_E + RSA_FIELD_SIZE, /* block table record */
    SI_BLOCK_TABLE_SIZE = RSA_FIELD_SIZE,
    SI_BLOCK_TABLE_ENTRIES = 4,              /* record offset of the first entry */
    SI_BLOCK_TABLE_ENTRY_SIZE = 12           /* start, end, keep: 32 bits each */
};

/* Results of the functions below; 0 is success. */
enum {
    SI_OK = 0,
    SI_KEY_REFUSED = 1,      /* a key that cannot make or check a signature */
    SI_BLOCK_REFUSED = 2,    /* a block that does not restore to its plaintext */
    SI_TABLE_COUNT = 3,      /* the block table's count is not 4 */
    SI_TABLE_OUTSIDE = 4,    /* an entry does not lie inside the SPL window */
    SI_TABLE_OVERLAP = 5,    /* an entry overlaps another block, or its keep byte lies in one */
    SI_TABLE_PADDING = 6     /* the record is not zero after its entries */
};

/* One signed block: offsets from the start of the SPL window. */
typedef struct RSA_ENC_BLK {
    int32_t nEncStartAddr; /* first byte of the 128-byte block */
    int32_t nEncEndORG;    /* last byte, not signed but kept at nKeepAddr */
    int32_t nKeepAddr;     /* where that last byte is kept */
} RSA_ENC_BLK;

/* The four blocks that signing uses, in their order. */
SIGNEDIMAGE_API const RSA_ENC_BLK *si_block_table(void);

/* 1 when the public half (256 bytes) can check a signature: a modulus of 1017
 * to 1024 bits that is odd, and an odd public exponent of at least 3; else 0. */
SIGNEDIMAGE_API int si_public_key_usable(const unsigned char *pPublic);

/* 1 when the 384-byte key blob has a usable public half and its private
 * exponent is undone by the public exponent; else 0. */
SIGNEDIMAGE_API int si_signing_key_usable(const unsigned char *szKey);

/* Signs the four blocks of the 16 KiB SPL window with the blob's private
 * exponent, keeps their last bytes, and fills the 16 KiB code window (see
 * si_fill_code_window). Each signed block is checked with the public exponent,
 * which proves the key pair where the block proves the key (see
 * si_block_proves_public_key); only where none does is the pair checked apart, so
 * that a run costs four private-key operations. Returns SI_OK, or
 * SI_KEY_REFUSED (the keys si_signing_key_usable refuses); on a refusal the
 * windows must not be used. */
SIGNEDIMAGE_API int si_sign_windows(unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                                    const unsigned char *szKey, const unsigned char *pCommonPublic);

/* For a signer that holds the key elsewhere: puts the 128-byte signature
 * pSigned of block nBlock (0 to 3) into the SPL window after checking that the
 * public half restores it to the block's 127 bytes, and keeps the block's last
 * byte. Returns SI_OK, or SI_BLOCK_REFUSED with the window unchanged. */
SIGNEDIMAGE_API int si_place_block(unsigned char *szBuffSPL, int nBlock, const unsigned char *pSigned,
                                   const unsigned char *pSignPublic);

/* 1 when the 128-byte signed block proves that its signer held the private
 * exponent of the public half pSignPublic (256 bytes): its value s is below
 * the modulus N and s^e >= N as integers. A block whose power stays below N
 * (0, 1, any exact e-th power's root) restores under that key, yet anyone can
 * make it by taking an e-th root. Else 0. (Since version 1.2.) */
SIGNEDIMAGE_API int si_block_proves_public_key(const unsigned char *pSigned, const unsigned char *pSignPublic);

/* The weaker check of version 1.1, which cannot see the key: 1 only when the
 * block proves every usable key that restores it (its cube reaches 2^1024 - 1,
 * the largest modulus, so its e-th power wraps every modulus for every e >= 3);
 * 0 for 0 and 1, and for smaller values, which may prove some keys and not
 * others. Use si_block_proves_public_key. (Since version 1.1.) */
SIGNEDIMAGE_API int si_block_proves_key(const unsigned char *pSigned);

/* Stores the common and signing public halves (256 bytes each) and the block
 * table record in the code window. */
SIGNEDIMAGE_API void si_fill_code_window(unsigned char *szBuffSPLCode, const unsigned char *pSignPublic,
                                         const unsigned char *pCommonPublic);

/* Reads the block table record of a code window from any source into
 * pBlocks[4], every number checked before it becomes an offset. Returns SI_OK,
 * SI_TABLE_COUNT, SI_TABLE_PADDING, or SI_TABLE_OUTSIDE or SI_TABLE_OVERLAP
 * with *pnEntry the first entry at fault. */
SIGNEDIMAGE_API int si_read_block_table(const unsigned char *szBuffSPLCode, RSA_ENC_BLK *pBlocks, int *pnEntry);

/* Restores one block of the SPL window in place with the public half (the
 * stored one is at szBuffSPLCode + SI_CODE_SIGN_N): block undone, last byte
 * put back. pBlock must come from si_read_block_table. Returns SI_OK, or
 * SI_BLOCK_REFUSED with the window unchanged. */
SIGNEDIMAGE_API int si_restore_block(unsigned char *szBuffSPL, const RSA_ENC_BLK *pBlock,
                                     const unsigned char *pSignPublic);

#ifdef __cplusplus
}
#endif

#endif
