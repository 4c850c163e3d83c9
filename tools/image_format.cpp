// SPDX-License-Identifier: Apache-2.0
// In-memory signing and restoring of the four blocks of a signed image.
#include "image_format.h"

#include <cstring>

#include "block_table.h"
#include "byte_order.h"
#include "rsa_internal.h"

namespace {

constexpr int MODULUS_TOP_BYTE = RSA_FIELD_SIZE - 1;

// Undoes a 128-byte block with the public half into 127 bytes. False, with
// pPlain untouched, when the block is not below the modulus, or the result
// needs a 128th byte: such a block cannot have come from signing 127 bytes.
bool restore_plain(const unsigned char *pBlock, const unsigned char *pPublic, unsigned char *pPlain)
{
    fp_int n;
    fp_int e;
    fp_int c;
    fp_int m;
    load_fp_le(&n, pPublic + RSA_BLOB_N, RSA_FIELD_SIZE);
    load_fp_le(&e, pPublic + RSA_BLOB_E, RSA_FIELD_SIZE);
    load_fp_le(&c, pBlock, SI_BLOCK_SIZE);
    bool bRestored = fp_cmp(&c, &n) == FP_LT && fp_exptmod(&c, &e, &n, &m) == FP_OKAY &&
                     fp_count_bits(&m) <= 8 * SI_BLOCK_PLAIN;
    if (bRestored) {
        store_fp_le(&m, pPlain, SI_BLOCK_PLAIN);
    }
    return bRestored;
}

// True when the blob's private exponent is undone by its public exponent on a
// fixed value of 127 bytes, below any 128-byte modulus. Catches a mismatched
// key even where every block of an image would round-trip (a zero image).
bool exponents_match(const unsigned char *szKey)
{
    unsigned char szValue[SI_BLOCK_PLAIN];
    for (int i = 0; i < SI_BLOCK_PLAIN; i++) {
        szValue[i] = static_cast<unsigned char>(i * 37 + 11);
    }
    unsigned char szSigned[SI_BLOCK_SIZE];
    unsigned char szBack[SI_BLOCK_PLAIN];
    int nLen = SI_BLOCK_SIZE;
    return do_rsa_enc_dec(szValue, SI_BLOCK_PLAIN, szSigned, &nLen, RSA_MODE_PRIVATE_ENC, szKey) == 0 &&
           nLen == SI_BLOCK_SIZE && restore_plain(szSigned, szKey, szBack) &&
           memcmp(szBack, szValue, sizeof(szValue)) == 0;
}

// Writes the 128-byte block table record that describes encBlk.
void write_block_table_record(unsigned char *pRecord)
{
    memset(pRecord, 0, SI_BLOCK_TABLE_SIZE);
    pRecord[0] = SI_BLOCK_COUNT;
    unsigned char *pEntry = pRecord + SI_BLOCK_TABLE_ENTRIES;
    for (const RSA_ENC_BLK &blk : encBlk) {
        store_le32(pEntry, static_cast<uint32_t>(blk.nEncStartAddr));
        store_le32(pEntry + 4, static_cast<uint32_t>(blk.nEncEndORG));
        store_le32(pEntry + 8, static_cast<uint32_t>(blk.nKeepAddr));
        pEntry += SI_BLOCK_TABLE_ENTRY_SIZE;
    }
}

} // namespace

const RSA_ENC_BLK *si_block_table(void)
{
    return encBlk;
}

int si_public_key_usable(const unsigned char *pPublic)
{
    const unsigned char *pN = pPublic + RSA_BLOB_N;
    const unsigned char *pE = pPublic + RSA_BLOB_E;
    bool bFullLength = pN[MODULUS_TOP_BYTE] != 0;
    bool bOddModulus = (pN[0] & 1) != 0;
    bool bExponentAbove2 = pE[0] >= 3;
    for (int i = 1; i < RSA_FIELD_SIZE; i++) {
        bExponentAbove2 = bExponentAbove2 || pE[i] != 0;
    }
    return bFullLength && bOddModulus && (pE[0] & 1) != 0 && bExponentAbove2;
}

int si_signing_key_usable(const unsigned char *szKey)
{
    return si_public_key_usable(szKey) && exponents_match(szKey);
}

int si_place_block(unsigned char *szBuffSPL, int nBlock, const unsigned char *pSigned,
                   const unsigned char *pSignPublic)
{
    if (nBlock < 0 || nBlock >= SI_BLOCK_COUNT) {
        return SI_BLOCK_REFUSED;
    }
    const RSA_ENC_BLK &blk = encBlk[nBlock];
    unsigned char *pBlock = szBuffSPL + blk.nEncStartAddr;
    unsigned char szRestored[SI_BLOCK_PLAIN];
    if (!restore_plain(pSigned, pSignPublic, szRestored) || memcmp(szRestored, pBlock, SI_BLOCK_PLAIN) != 0) {
        return SI_BLOCK_REFUSED;
    }
    // The keep byte is saved before the block is overwritten.
    szBuffSPL[blk.nKeepAddr] = szBuffSPL[blk.nEncEndORG];
    memcpy(pBlock, pSigned, SI_BLOCK_SIZE);
    return SI_OK;
}

int si_sign_windows(unsigned char *szBuffSPL, unsigned char *szBuffSPLCode, const unsigned char *szKey,
                    const unsigned char *pCommonPublic)
{
    if (!si_public_key_usable(szKey)) {
        return SI_KEY_REFUSED;
    }
    unsigned char szBuffEncrypt[SI_BLOCK_SIZE];
    bool bProven = false;
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        int nLenSec = SI_BLOCK_SIZE;
        // With our own codec, a block that does not restore means exponents
        // that do not undo each other.
        if (do_rsa_enc_dec(szBuffSPL + encBlk[i].nEncStartAddr, SI_BLOCK_PLAIN, szBuffEncrypt, &nLenSec,
                           RSA_MODE_PRIVATE_ENC, szKey) != 0 ||
            nLenSec != SI_BLOCK_SIZE || si_place_block(szBuffSPL, i, szBuffEncrypt, szKey) != SI_OK) {
            return SI_KEY_REFUSED;
        }
        bProven = bProven || si_block_proves_key(szBuffEncrypt);
    }
    if (!bProven && !exponents_match(szKey)) {
        return SI_KEY_REFUSED;
    }
    si_fill_code_window(szBuffSPLCode, szKey, pCommonPublic);
    return SI_OK;
}

int si_block_proves_key(const unsigned char *pSigned)
{
    unsigned char nHigh = 0;
    for (int i = 1; i < SI_BLOCK_SIZE; i++) {
        nHigh |= pSigned[i];
    }
    return nHigh != 0 || pSigned[0] > 1;
}

void si_fill_code_window(unsigned char *szBuffSPLCode, const unsigned char *pSignPublic,
                         const unsigned char *pCommonPublic)
{
    memcpy(szBuffSPLCode + SI_CODE_COMM_N, pCommonPublic, SI_PUBLIC_SIZE);
    memcpy(szBuffSPLCode + SI_CODE_SIGN_N, pSignPublic, SI_PUBLIC_SIZE);
    write_block_table_record(szBuffSPLCode + SI_CODE_BLOCK_TABLE);
}

int si_read_block_table(const unsigned char *szBuffSPLCode, RSA_ENC_BLK *pBlocks, int *pnEntry)
{
    const unsigned char *pRecord = szBuffSPLCode + SI_CODE_BLOCK_TABLE;
    *pnEntry = -1;
    if (load_le32(pRecord) != SI_BLOCK_COUNT) {
        return SI_TABLE_COUNT;
    }
    for (int i = SI_BLOCK_TABLE_ENTRIES + SI_BLOCK_COUNT * SI_BLOCK_TABLE_ENTRY_SIZE; i < SI_BLOCK_TABLE_SIZE; i++) {
        if (pRecord[i] != 0) {
            return SI_TABLE_PADDING;
        }
    }
    uint32_t entries[SI_BLOCK_COUNT][3];
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        for (int f = 0; f < 3; f++) {
            entries[i][f] = load_le32(pRecord + SI_BLOCK_TABLE_ENTRIES + i * SI_BLOCK_TABLE_ENTRY_SIZE + 4 * f);
        }
    }
    int nStatus = block_table_fault(entries, SI_BLOCK_COUNT, pnEntry);
    // Only checked entries, all below the window size, become offsets.
    for (int i = 0; nStatus == SI_OK && i < SI_BLOCK_COUNT; i++) {
        pBlocks[i] = RSA_ENC_BLK{static_cast<int32_t>(entries[i][0]), static_cast<int32_t>(entries[i][1]),
                                 static_cast<int32_t>(entries[i][2])};
    }
    return nStatus;
}

int si_restore_block(unsigned char *szBuffSPL, const RSA_ENC_BLK *pBlock, const unsigned char *pSignPublic)
{
    unsigned char szPlain[SI_BLOCK_PLAIN];
    if (!restore_plain(szBuffSPL + pBlock->nEncStartAddr, pSignPublic, szPlain)) {
        return SI_BLOCK_REFUSED;
    }
    memcpy(szBuffSPL + pBlock->nEncStartAddr, szPlain, SI_BLOCK_PLAIN);
    szBuffSPL[pBlock->nEncEndORG] = szBuffSPL[pBlock->nKeepAddr];
    return SI_OK;
}
