// SPDX-License-Identifier: Apache-2.0
// One signed block undone exactly with a public half.
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
