// In-memory steps of signing and restoring the four blocks of an image.
#include "image_format.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "byte_order.h"
#include "rsa_internal.h"

namespace {

constexpr int MODULUS_TOP_BYTE = RSA_FIELD_SIZE - 1;

// True when the blob's private exponent is undone by its public exponent on a
// fixed value of 127 bytes, below any 128-byte modulus.
bool exponents_match(const unsigned char *szKey)
{
    unsigned char szValue[ENC_BLK_PLAIN];
    for (int i = 0; i < ENC_BLK_PLAIN; i++) {
        szValue[i] = static_cast<unsigned char>(i * 37 + 11);
    }
    unsigned char szSigned[ENC_BLK_SIZE];
    unsigned char szBack[ENC_BLK_PLAIN];
    int nLen = ENC_BLK_SIZE;
    return do_rsa_enc_dec(szValue, ENC_BLK_PLAIN, szSigned, &nLen, RSA_MODE_PRIVATE_ENC, szKey) == 0 &&
           nLen == ENC_BLK_SIZE && restore_block(szSigned, szKey, szBack) == 0 && memcmp(szBack, szValue, sizeof(szValue)) == 0;
}

} // namespace

void build_key_blob(unsigned char *szKey, const unsigned char *rsaKey)
{
    for (int nRecord = 0; nRecord < KEY_RECORD_COUNT; nRecord++) {
        memcpy(szKey + nRecord * RSA_FIELD_SIZE, rsaKey + nRecord * KEY_RECORD_SIZE, RSA_FIELD_SIZE);
    }
}

bool signing_key_usable(const unsigned char *szKey)
{
    bool bFullLength = szKey[RSA_BLOB_N + MODULUS_TOP_BYTE] != 0;
    bool bOdd = (szKey[RSA_BLOB_N] & 1) != 0;
    return bFullLength && bOdd && exponents_match(szKey);
}

int restore_block(const unsigned char *pBlock, const unsigned char *pPublic, unsigned char *pPlain)
{
    fp_int n;
    fp_int e;
    fp_int c;
    fp_int m;
    load_fp_le(&n, pPublic + RSA_BLOB_N, RSA_FIELD_SIZE);
    load_fp_le(&e, pPublic + RSA_BLOB_E, RSA_FIELD_SIZE);
    load_fp_le(&c, pBlock, ENC_BLK_SIZE);
    fp_zero(&m);
    // The whole result is kept, not only its low 127 bytes: a block above the
    // modulus or a value that needs a 128th byte cannot have come from signing.
    bool bRestored = fp_cmp(&c, &n) == FP_LT && fp_exptmod(&c, &e, &n, &m) == FP_OKAY &&
                     fp_count_bits(&m) <= 8 * ENC_BLK_PLAIN;
    store_fp_le(&m, pPlain, ENC_BLK_PLAIN);
    return bRestored ? 0 : 1;
}

int sign_spl_window(unsigned char *szBuffSPL, const unsigned char *szKey)
{
    unsigned char szBuffEncrypt[ENC_BLK_SIZE];
    unsigned char szRestored[ENC_BLK_PLAIN];
    for (const RSA_ENC_BLK &blk : encBlk) {
        unsigned char *pBlock = szBuffSPL + blk.nEncStartAddr;
        int nLenSec = ENC_BLK_SIZE;
        if (do_rsa_enc_dec(pBlock, ENC_BLK_PLAIN, szBuffEncrypt, &nLenSec, RSA_MODE_PRIVATE_ENC, szKey) != 0 ||
            nLenSec != ENC_BLK_SIZE) {
            return 1;
        }
        if (restore_block(szBuffEncrypt, szKey, szRestored) != 0 ||
            memcmp(szRestored, pBlock, ENC_BLK_PLAIN) != 0) {
            return 1;
        }
        // The keep byte is saved before the block is overwritten.
        szBuffSPL[blk.nKeepAddr] = szBuffSPL[blk.nEncEndORG];
        memcpy(pBlock, szBuffEncrypt, ENC_BLK_SIZE);
    }
    return 0;
}

bool write_all_at(int fd, const unsigned char *pData, size_t nLen, long long nOffset)
{
    while (nLen > 0) {
        ssize_t nWritten = pwrite(fd, pData, nLen, static_cast<off_t>(nOffset));
        if (nWritten < 0 && errno == EINTR) {
            continue;
        }
        if (nWritten <= 0) {
            return false;
        }
        pData += nWritten;
        nLen -= static_cast<size_t>(nWritten);
        nOffset += nWritten;
    }
    return true;
}

void write_block_table_record(unsigned char *pRecord)
{
    memset(pRecord, 0, BLOCK_TABLE_SIZE);
    pRecord[0] = ENC_BLK_COUNT;
    unsigned char *pEntry = pRecord + BLOCK_TABLE_ENTRIES;
    for (const RSA_ENC_BLK &blk : encBlk) {
        store_le32(pEntry, static_cast<uint32_t>(blk.nEncStartAddr));
        store_le32(pEntry + 4, static_cast<uint32_t>(blk.nEncEndORG));
        store_le32(pEntry + 8, static_cast<uint32_t>(blk.nKeepAddr));
        pEntry += BLOCK_TABLE_ENTRY_SIZE;
    }
}

void fill_code_window(unsigned char *szBuffSPLCode, unsigned char *szKey, const unsigned char *rsaKey_comm)
{
    explicit_bzero(szKey + RSA_BLOB_D, RSA_FIELD_SIZE);
    write_block_table_record(szKey + RSA_BLOB_D);
    memcpy(szBuffSPLCode + CODE_SIGN_BLOB, szKey, RSA_KEY_BLOB_SIZE);
    memcpy(szBuffSPLCode + CODE_COMM_N, rsaKey_comm, RSA_FIELD_SIZE);
    memcpy(szBuffSPLCode + CODE_COMM_E, rsaKey_comm + KEY_RECORD_SIZE, RSA_FIELD_SIZE);
}

int sign_windows(unsigned char *szBuffSPL, unsigned char *szBuffSPLCode, unsigned char *rsaKey,
                 unsigned char *rsaKey_comm, unsigned char *szKey)
{
    build_key_blob(szKey, rsaKey);
    // Neither private exponent is needed beyond the blob: the common key's
    // third record is read only because the file format holds it.
    explicit_bzero(rsaKey, KEY_FILE_SIZE);
    explicit_bzero(rsaKey_comm + 2 * KEY_RECORD_SIZE, KEY_RECORD_SIZE);
    int nStatus = 1;
    if (signing_key_usable(szKey) && sign_spl_window(szBuffSPL, szKey) == 0) {
        nStatus = 0;
    }
    fill_code_window(szBuffSPLCode, szKey, rsaKey_comm);
    return nStatus;
}
