// SPDX-License-Identifier: Apache-2.0
/* A program outside the project that uses the installed libsignedimage: it
 * signs an SPL window with a fresh OpenSSL key, checks each block against
 * OpenSSL's arithmetic, reads the block table back and restores the blocks.
 * Written in C; built as C++ too (consumer.cpp). Exit status 0 when all agree. */
#include <signedimage/image_format.h>
#include <signedimage/rsa_api.h>
#include <signedimage/rsa_buffer.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdio.h>
#include <string.h>

static int fail(const char *pWhy)
{
    printf("consumer: %s\n", pWhy);
    return 1;
}

/* The key's value named pName as 128 little-endian bytes. */
static int put_param(EVP_PKEY *pkey, const char *pName, unsigned char *pOut)
{
    BIGNUM *bn = NULL;
    int nOk = EVP_PKEY_get_bn_param(pkey, pName, &bn) == 1 && BN_bn2lebinpad(bn, pOut, RSA_FIELD_SIZE) == RSA_FIELD_SIZE;
    BN_clear_free(bn);
    return nOk;
}

int main(void)
{
    static unsigned char szSpl[SI_WINDOW_SIZE];
    static unsigned char szOriginal[SI_WINDOW_SIZE];
    static unsigned char szCode[SI_WINDOW_SIZE];
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    unsigned char szComm[SI_PUBLIC_SIZE];
    EVP_PKEY *pkey = EVP_RSA_gen(1024);
    if (pkey == NULL || !put_param(pkey, OSSL_PKEY_PARAM_RSA_N, szKey + RSA_BLOB_N) ||
        !put_param(pkey, OSSL_PKEY_PARAM_RSA_E, szKey + RSA_BLOB_E) ||
        !put_param(pkey, OSSL_PKEY_PARAM_RSA_D, szKey + RSA_BLOB_D)) {
        return fail("no OpenSSL key");
    }
    for (int i = 0; i < SI_WINDOW_SIZE; i++) {
        szSpl[i] = (unsigned char)(i * 7 + 3);
    }
    memcpy(szOriginal, szSpl, sizeof(szSpl));
    memcpy(szComm, szKey, sizeof(szComm));
    if (si_sign_windows(szSpl, szCode, szKey, szComm) != SI_OK) {
        return fail("si_sign_windows refused a good key");
    }

    /* Each block is the 127 plain bytes to the private exponent, by OpenSSL. */
    const RSA_ENC_BLK *pTable = si_block_table();
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *n = BN_lebin2bn(szKey + RSA_BLOB_N, RSA_FIELD_SIZE, NULL);
    BIGNUM *d = BN_lebin2bn(szKey + RSA_BLOB_D, RSA_FIELD_SIZE, NULL);
    BIGNUM *r = BN_new();
    int nStatus = 0;
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        unsigned char szWant[SI_BLOCK_SIZE];
        BIGNUM *m = BN_lebin2bn(szOriginal + pTable[i].nEncStartAddr, SI_BLOCK_PLAIN, NULL);
        BN_mod_exp(r, m, d, n, ctx);
        BN_bn2lebinpad(r, szWant, SI_BLOCK_SIZE);
        BN_free(m);
        if (memcmp(szWant, szSpl + pTable[i].nEncStartAddr, SI_BLOCK_SIZE) != 0) {
            nStatus = fail("a signed block differs from OpenSSL's");
        }
    }
    BN_free(r);
    BN_clear_free(d);
    BN_free(n);
    BN_CTX_free(ctx);
    EVP_PKEY_free(pkey);

    /* Read back: the table, the stored key, each block restored. */
    RSA_ENC_BLK blocks[SI_BLOCK_COUNT];
    int nEntry = -1;
    if (si_read_block_table(szCode, blocks, &nEntry) != SI_OK || !si_public_key_usable(szCode + SI_CODE_SIGN_N)) {
        return fail("the stored table or key is refused");
    }
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        if (si_restore_block(szSpl, &blocks[i], szCode + SI_CODE_SIGN_N) != SI_OK) {
            nStatus = fail("a block does not restore");
        }
    }
    if (memcmp(szSpl, szOriginal, 428) != 0 || memcmp(szSpl + 432, szOriginal + 432, SI_WINDOW_SIZE - 432) != 0) {
        nStatus = fail("the restored window is not the original");
    }

    /* The padding operations are reachable too. */
    unsigned char szChunk[RSA_CHUNK_SIZE] = {0xAA, 0xBB, 0xCC};
    if (kra_buffer_proc_before(szChunk, 3, RSA_CHUNK_SIZE, RSA_MODE_PRIVATE_ENC) != 0 || szChunk[0] != 0xCC ||
        szChunk[126] != 0x01) {
        nStatus = fail("kra_buffer_proc_before");
    }
    if (nStatus == 0) {
        printf("consumer: signed and restored 4 blocks, OpenSSL agrees\n");
    }
    return nStatus;
}
