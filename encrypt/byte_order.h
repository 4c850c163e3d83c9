// SPDX-License-Identifier: Apache-2.0
// Little-endian loads and stores of 32-bit fields, written once for every
// record this project reads or writes (key records, the block table record),
// and the one turn between our little-endian numbers and the big-endian ones
// of raw RSA inputs and results (PKCS#11 tokens, signing helpers, OpenSSL).
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the 32-bit little-endian value at p[0..3].
inline uint32_t load_le32(const unsigned char *p)
{
    uint32_t nValue = 0;
    for (int i = 3; i >= 0; i--) {
        nValue = (nValue << 8) | p[i];
    }
    return nValue;
}

// Writes nValue to p[0..3], least significant byte first.
inline void store_le32(unsigned char *p, uint32_t nValue)
{
    for (int i = 0; i < 4; i++) {
        p[i] = static_cast<unsigned char>(nValue >> (8 * i));
    }
}

// Writes the nLen bytes at pSrc to pDst in the other order (pDst and pSrc
// apart): a little-endian number becomes big-endian, and back.
inline void reverse_bytes(unsigned char *pDst, const unsigned char *pSrc, size_t nLen)
{
    for (size_t i = 0; i < nLen; i++) {
        pDst[i] = pSrc[nLen - 1 - i];
    }
}
