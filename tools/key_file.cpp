// Key records to key blobs and back.
#include "key_file.h"

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
