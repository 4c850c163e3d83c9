// SPDX-License-Identifier: Apache-2.0
// The signing tool's block table, and the one rule every block table obeys,
// checked at compile time for ours and at run time for an image's.
#pragma once

#include <cstdint>

#include "image_format.h"

// Offsets of the four signed blocks, processed in this order.
constexpr RSA_ENC_BLK encBlk[SI_BLOCK_COUNT] = {
    {0, 127, 431},
    {128, 255, 430},
    {256, 383, 429},
    {752, 879, 428},
};

// Checks entries read as unsigned 32-bit values, in 64-bit arithmetic: each
// block is 128 bytes inside the SPL window, no two overlap, and no keep byte
// lies inside a block. Returns SI_OK, or SI_TABLE_OUTSIDE / SI_TABLE_OVERLAP
// with *pnEntry the first entry at fault.
constexpr int block_table_fault(const uint32_t (*pEntries)[3], int nCount, int *pnEntry)
{
    for (int i = 0; i < nCount; i++) {
        int64_t nStart = pEntries[i][0];
        int64_t nEnd = pEntries[i][1];
        int64_t nKeep = pEntries[i][2];
        if (nEnd != nStart + SI_BLOCK_PLAIN || nEnd >= SI_WINDOW_SIZE || nKeep >= SI_WINDOW_SIZE) {
            *pnEntry = i;
            return SI_TABLE_OUTSIDE;
        }
    }
    for (int i = 0; i < nCount; i++) {
        for (int j = 0; j < nCount; j++) {
            bool bKeepInside = pEntries[i][2] >= pEntries[j][0] && pEntries[i][2] <= pEntries[j][1];
            bool bOverlap = i != j && pEntries[i][0] <= pEntries[j][1] && pEntries[j][0] <= pEntries[i][1];
            if (bKeepInside || bOverlap) {
                *pnEntry = i;
                return SI_TABLE_OVERLAP;
            }
        }
    }
    return SI_OK;
}

// Our own table, in the form block_table_fault reads.
constexpr bool enc_blk_valid()
{
    uint32_t entries[SI_BLOCK_COUNT][3] = {};
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        entries[i][0] = static_cast<uint32_t>(encBlk[i].nEncStartAddr);
        entries[i][1] = static_cast<uint32_t>(encBlk[i].nEncEndORG);
        entries[i][2] = static_cast<uint32_t>(encBlk[i].nKeepAddr);
    }
    int nEntry = -1;
    return block_table_fault(entries, SI_BLOCK_COUNT, &nEntry) == SI_OK;
}
static_assert(enc_blk_valid(), "blocks lie in the window and apart, no keep byte inside a block");
static_assert(SI_CODE_BLOCK_TABLE == 896 && SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE == 1024);
static_assert(SI_BLOCK_TABLE_ENTRIES + SI_BLOCK_COUNT * SI_BLOCK_TABLE_ENTRY_SIZE <= SI_BLOCK_TABLE_SIZE);
