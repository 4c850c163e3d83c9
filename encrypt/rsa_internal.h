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

// Depth of stack wiped after private-key blocks, in pieces: no more than
// rsa_private_exptmod uses below its caller.
constexpr size_t STACK_BURN_PIECE = 512;
constexpr size_t STACK_BURN_BYTES = 43 * STACK_BURN_PIECE;

// m = c^d mod n for a private exponent d of up to 1024 bits and c of no more
// digits than n (any value of n's byte length, reduced mod n): products, their
// order and the addresses read depend on n alone, never on d's bits. Where e is odd, the exponentiation runs on c * r^e for a fresh
// random r (getrandom), and its result times r^-1 is kept when it passes the
// check with e; otherwise, or where e is even, it runs again on c itself.
// Every value of the block is wiped on return; the library's temporaries below
// the caller are left to its stack wipe. Returns FP_OKAY, or FP_VAL (m
// untouched) for an even n or when no randomness is to be had.
int rsa_private_exptmod(fp_int *c, fp_int *d, fp_int *e, fp_int *n, fp_int *m);

// Loads the built-in default key into n, e and d. Returns 0, or 1 when any
// pointer is null (nothing written).
int get_rsa_key(fp_int *n, fp_int *e, fp_int *d);

// Loads nLen (at most 128) little-endian bytes into a zeroed, normalised a.
void load_fp_le(fp_int *a, const unsigned char *pBytes, int nLen);

// Stores the low nLen (at most 128) bytes of a, little-endian, zero above.
void store_fp_le(const fp_int *a, unsigned char *pBytes, int nLen);

// Wipes a big integer so that the compiler cannot drop the wipe.
void wipe_fp(fp_int *a);
