// SPDX-License-Identifier: Apache-2.0
// Internals of rsa_api, for the library's own sources, tests and benchmarks;
// callers of the codec use rsa_api.h and rsa_buffer.h.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <tfm.h>
}

#include "rsa_api.h"
#include "rsa_buffer.h"

// Depth of stack wiped after a private-exponent exponentiation, in pieces:
// no more than the library's exponentiation uses below its caller.
constexpr size_t STACK_BURN_PIECE = 512;
constexpr size_t STACK_BURN_BYTES = 156 * STACK_BURN_PIECE;

// Loads the built-in default key into n, e and d. Returns 0, or 1 when any
// pointer is null (nothing written).
int get_rsa_key(fp_int *n, fp_int *e, fp_int *d);

// Loads nLen (at most 128) little-endian bytes into a zeroed, normalised a.
void load_fp_le(fp_int *a, const unsigned char *pBytes, int nLen);

// Stores the low nLen (at most 128) bytes of a, little-endian, zero above.
void store_fp_le(const fp_int *a, unsigned char *pBytes, int nLen);

// Wipes a big integer so that the compiler cannot drop the wipe.
void wipe_fp(fp_int *a);
