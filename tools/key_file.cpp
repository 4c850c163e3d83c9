// SPDX-License-Identifier: Apache-2.0
// Key records to key blobs and back.
#include "key_file.h"

#include <cstdio>
#include <cstring>

#include "byte_order.h"

void build_key_blob(unsigned char *szKey, const unsigned char *rsaKey)
{
    for (int nRecord = 0; nRecord < KEY_RECORD_COUNT; nRecord++) {
        memcpy(szKey + nRecord * RSA_FIELD_SIZE, rsaKey + nRecord * KEY_RECORD_SIZE, RSA_FIELD_SIZE);
    }
}

int le_bit_length(const unsigned char *p, int nLen)
{
    for (int i = nLen - 1; i >= 0; i--) {
        if (p[i] != 0) {
            int nBits = 8;
            while ((p[i] & (1u << (nBits - 1))) == 0) {
                nBits--;
            }
            return 8 * i + nBits;
        }
    }
    return 0;
}

void key_records_from_blob(unsigned char *rsaKey, const unsigned char *szKey)
{
    memset(rsaKey, 0, KEY_FILE_SIZE);
    for (int nRecord = 0; nRecord < KEY_RECORD_COUNT; nRecord++) {
        unsigned char *pRecord = rsaKey + nRecord * KEY_RECORD_SIZE;
        const unsigned char *pValue = szKey + nRecord * RSA_FIELD_SIZE;
        memcpy(pRecord, pValue, RSA_FIELD_SIZE);
        int nDigits = (le_bit_length(pValue, RSA_FIELD_SIZE) + 31) / 32;
        store_le32(pRecord + KEY_RECORD_USED, static_cast<uint32_t>(nDigits));
        store_le32(pRecord + KEY_RECORD_SIGN, 0);
    }
}

int read_key_file(const char *pPath, unsigned char *szKey, size_t *pnFileSize)
{
    unsigned char rsaKey[KEY_FILE_SIZE] = {};
    memset(szKey, 0, RSA_KEY_BLOB_SIZE);
    *pnFileSize = 0;
    FILE *fp = fopen(pPath, "rb");
    if (fp == nullptr) {
        return 1;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    size_t nRead = fread(rsaKey, 1, sizeof(rsaKey), fp);
    bool bFailed = ferror(fp) != 0;
    bFailed = fclose(fp) != 0 || bFailed;
    build_key_blob(szKey, rsaKey);
    explicit_bzero(rsaKey, sizeof(rsaKey));
    *pnFileSize = nRead;
    return bFailed ? 1 : 0;
}
