// SPDX-License-Identifier: Apache-2.0
// In-memory signing and restoring of the four blocks of a signed image.
#include "image_format.h"

#include <cstring>

#include "block_table.h"
#include "byte_order.h"
#include "rsa_block.h"

namespace {

constexpr int MODULUS_TOP_BYTE = RSA_FIELD_SIZE - 1;

// The block table's own numbers agree with the layout of the image.
static_assert(BLOCK_TABLE_COUNT == SI_BLOCK_COUNT && BLOCK_WINDOW_SIZE == SI_WINDOW_SIZE &&
              BLOCK_LAST == SI_BLOCK_PLAIN);
static_assert(SI_CODE_BLOCK_TABLE == 896 && SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE == 1024);
static_assert(SI_BLOCK_TABLE_ENTRIES + SI_BLOCK_COUNT * SI_BLOCK_TABLE_ENTRY_SIZE <= SI_BLOCK_TABLE_SIZE);

// An entry of encBlk as the library hands it out.
constexpr RSA_ENC_BLK enc_blk_entry(int i)
{
    return RSA_ENC_BLK{static_cast<int32_t>(encBlk[i][BLOCK_START]), static_cast<int32_t>(encBlk[i][BLOCK_END]),
                       static_cast<int32_t>(encBlk[i][BLOCK_KEEP])};
}
constexpr RSA_ENC_BLK g_encBlk[SI_BLOCK_COUNT] = {enc_blk_entry(0), enc_blk_entry(1), enc_blk_entry(2),
                                                  enc_blk_entry(3)};

// The library's status for a fault of the block table rule.
int table_status(BlockTableFault fault)
{
    return fault == BLOCK_TABLE_OK ? SI_OK : fault == BLOCK_TABLE_OUTSIDE ? SI_TABLE_OUTSIDE : SI_TABLE_OVERLAP;
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
           nLen == SI_BLOCK_SIZE && rsa_block_public_undo(szSigned, szKey, szBack) &&
           memcmp(szBack, szValue, sizeof(szValue)) == 0;
}

// Writes the 128-byte block table record that describes encBlk.
void write_block_table_record(unsigned char *pRecord)
{
    memset(pRecord, 0, SI_BLOCK_TABLE_SIZE);
    pRecord[0] = SI_BLOCK_COUNT;
    unsigned char *pEntry = pRecord + SI_BLOCK_TABLE_ENTRIES;
    for (const RSA_ENC_BLK &blk : g_encBlk) {
        store_le32(pEntry, static_cast<uint32_t>(blk.nEncStartAddr));
        store_le32(pEntry + 4, static_cast<uint32_t>(blk.nEncEndORG));
        store_le32(pEntry + 8, static_cast<uint32_t>(blk.nKeepAddr));
        pEntry += SI_BLOCK_TABLE_ENTRY_SIZE;
    }
}

} // namespace

const RSA_ENC_BLK *si_block_table(void)
{
    return g_encBlk;
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
    const RSA_ENC_BLK &blk = g_encBlk[nBlock];
    unsigned char *pBlock = szBuffSPL + blk.nEncStartAddr;
    unsigned char szRestored[SI_BLOCK_PLAIN];
    if (!rsa_block_public_undo(pSigned, pSignPublic, szRestored) || memcmp(szRestored, pBlock, SI_BLOCK_PLAIN) != 0) {
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
        if (do_rsa_enc_dec(szBuffSPL + g_encBlk[i].nEncStartAddr, SI_BLOCK_PLAIN, szBuffEncrypt, &nLenSec,
                           RSA_MODE_PRIVATE_ENC, szKey) != 0 ||
            nLenSec != SI_BLOCK_SIZE || si_place_block(szBuffSPL, i, szBuffEncrypt, szKey) != SI_OK) {
            return SI_KEY_REFUSED;
        }
        bProven = bProven || si_block_proves_public_key(szBuffEncrypt, szKey);
    }
    if (!bProven && !exponents_match(szKey)) {
        return SI_KEY_REFUSED;
    }
    si_fill_code_window(szBuffSPLCode, szKey, pCommonPublic);
    return SI_OK;
}

int si_block_proves_public_key(const unsigned char *pSigned, const unsigned char *pSignPublic)
{
    return rsa_block_power_wraps(pSigned, pSignPublic) ? 1 : 0;
}

int si_block_proves_key(const unsigned char *pSigned)
{
    // The usable public half that the fewest blocks prove: the largest
    // modulus, 2^1024 - 1, with the smallest exponent, 3.
    unsigned char szHardest[SI_PUBLIC_SIZE] = {};
    memset(szHardest + RSA_BLOB_N, 0xFF, RSA_FIELD_SIZE);
    szHardest[RSA_BLOB_E] = 3;
    return si_block_proves_public_key(pSigned, szHardest);
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
    int nStatus = table_status(block_table_fault(entries, SI_BLOCK_COUNT, pnEntry));
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
    if (!rsa_block_public_undo(szBuffSPL + pBlock->nEncStartAddr, pSignPublic, szPlain)) {
        return SI_BLOCK_REFUSED;
    }
    memcpy(szBuffSPL + pBlock->nEncStartAddr, szPlain, SI_BLOCK_PLAIN);
    szBuffSPL[pBlock->nEncEndORG] = szBuffSPL[pBlock->nKeepAddr];
    return SI_OK;
}
