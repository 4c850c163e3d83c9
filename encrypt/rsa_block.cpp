// SPDX-License-Identifier: Apache-2.0
// One signed block undone exactly with a public half, and whether its
// value's power wraps the modulus.
#include "rsa_block.h"

#include "rsa_internal.h"

bool rsa_block_public_undo(const unsigned char *pBlock, const unsigned char *pPublic, unsigned char *pPlain)
{
    fp_int n;
    fp_int e;
    fp_int c;
    fp_int m;
    load_fp_le(&n, pPublic + RSA_BLOB_N, RSA_FIELD_SIZE);
    load_fp_le(&e, pPublic + RSA_BLOB_E, RSA_FIELD_SIZE);
    load_fp_le(&c, pBlock, RSA_FIELD_SIZE);
    bool bRestored = fp_cmp(&c, &n) == FP_LT && fp_exptmod(&c, &e, &n, &m) == FP_OKAY &&
                     fp_count_bits(&m) <= 8 * (RSA_FIELD_SIZE - 1);
    if (bRestored) {
        store_fp_le(&m, pPlain, RSA_FIELD_SIZE - 1);
    }
    return bRestored;
}

bool rsa_block_power_wraps(const unsigned char *pBlock, const unsigned char *pPublic)
{
    fp_int n;
    fp_int e;
    fp_int s;
    fp_int power;
    load_fp_le(&n, pPublic + RSA_BLOB_N, RSA_FIELD_SIZE);
    load_fp_le(&e, pPublic + RSA_BLOB_E, RSA_FIELD_SIZE);
    load_fp_le(&s, pBlock, RSA_FIELD_SIZE);
    if (fp_cmp(&s, &n) != FP_LT) {
        return false;
    }
    // power < N before each step: its square times s stays below 2^3072.
    fp_set(&power, 1);
    bool bWraps = false;
    for (int nBit = fp_count_bits(&e) - 1; nBit >= 0 && !bWraps; nBit--) {
        fp_sqr(&power, &power);
        if (((pPublic[RSA_BLOB_E + nBit / 8] >> (nBit % 8)) & 1) != 0) {
            fp_mul(&power, &s, &power);
        }
        bWraps = fp_cmp(&power, &n) != FP_LT;
    }
    return bWraps;
}
