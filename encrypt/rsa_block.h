// SPDX-License-Identifier: Apache-2.0
// What the image format needs of the codec beyond do_rsa_enc_dec: a block
// undone with a public half, exactly, where the chunked transform would cut a
// result to fit; and whether a block could only have been made with the
// private exponent. For the library's own sources; not installed.
#pragma once

// Undoes the 128-byte block at pBlock with the public half at pPublic (modulus,
// then exponent, 128 bytes each, little-endian) into 127 bytes at pPlain.
// False, with pPlain untouched, when the block is not below the modulus, the
// exponentiation refuses (an even modulus), or the result needs a 128th byte:
// such a block cannot have come from signing 127 bytes.
bool rsa_block_public_undo(const unsigned char *pBlock, const unsigned char *pPublic, unsigned char *pPlain);

// True when the 128-byte block at pBlock, read as a number s, is below the
// modulus N of the public half at pPublic and s^e >= N as integers, e its
// exponent: only then is s no e-th root that anyone can take without the
// private exponent (0 and 1 never are, for any e). The power is built from
// e's top bit down and stops once it reaches N, so no partial power grows past
// three times the modulus's length, whatever the length of e.
bool rsa_block_power_wraps(const unsigned char *pBlock, const unsigned char *pPublic);
