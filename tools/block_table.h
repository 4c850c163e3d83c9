// SPDX-License-Identifier: Apache-2.0
// The signing tool's block table, and the one rule every block table obeys,
// checked at compile time for ours and at run time for an image's. It needs
// nothing but its own numbers; the image format builds on it and checks that
// its layout agrees.
#pragma once

#include <cstdint>

constexpr int BLOCK_TABLE_COUNT = 4;          // blocks in the SPL window
constexpr int64_t BLOCK_WINDOW_SIZE = 0x4000; // the SPL window the offsets lie in
constexpr int64_t BLOCK_LAST = 127;           // a block's last byte, from its first

// The fields of an entry, in the order an image stores them.
enum { BLOCK_START = 0, BLOCK_END = 1, BLOCK_KEEP = 2 };

// Offsets of the four signed blocks in the SPL window, processed in this
// order: first byte, last byte (not signed), and where that last byte is kept.
constexpr uint32_t encBlk[BLOCK_TABLE_COUNT][3] = {
    {0, 127, 431},
    {128, 255, 430},
    {256, 383, 429},
    {752, 879, 428},
};

enum BlockTableFault { BLOCK_TABLE_OK = 0, BLOCK_TABLE_OUTSIDE, BLOCK_TABLE_OVERLAP };

// Checks entries read as unsigned 32-bit values, in 64-bit arithmetic: each
// block is 128 bytes inside the SPL window, no two overlap, and no keep byte
// lies inside a block. Returns BLOCK_TABLE_OK, or BLOCK_TABLE_OUTSIDE /
// BLOCK_TABLE_OVERLAP with *pnEntry the first entry at fault.
constexpr BlockTableFault block_table_fault(const uint32_t (*pEntries)[3], int nCount, int *pnEntry)
{
    for (int i = 0; i < nCount; i++) {
        int64_t nStart = pEntries[i][BLOCK_START];
        int64_t nEnd = pEntries[i][BLOCK_END];
        int64_t nKeep = pEntries[i][BLOCK_KEEP];
        if (nEnd != nStart + BLOCK_LAST || nEnd >= BLOCK_WINDOW_SIZE || nKeep >= BLOCK_WINDOW_SIZE) {
            *pnEntry = i;
            return BLOCK_TABLE_OUTSIDE;
        }
    }
    for (int i = 0; i < nCount; i++) {
        for (int j = 0; j < nCount; j++) {
            const uint32_t *pI = pEntries[i];
            const uint32_t *pJ = pEntries[j];
            bool bKeepInside = pI[BLOCK_KEEP] >= pJ[BLOCK_START] && pI[BLOCK_KEEP] <= pJ[BLOCK_END];
            bool bOverlap = i != j && pI[BLOCK_START] <= pJ[BLOCK_END] && pJ[BLOCK_START] <= pI[BLOCK_END];
            if (bKeepInside || bOverlap) {
                *pnEntry = i;
                return BLOCK_TABLE_OVERLAP;
            }
        }
    }
    return BLOCK_TABLE_OK;
}

// Our own table obeys the rule.
constexpr bool enc_blk_valid()
{
    int nEntry = -1;
    return block_table_fault(encBlk, BLOCK_TABLE_COUNT, &nEntry) == BLOCK_TABLE_OK;
}
static_assert(enc_blk_valid(), "blocks lie in the window and apart, no keep byte inside a block");
