// SPDX-License-Identifier: Apache-2.0
// Key records to key blobs and back.
#include "key_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "process_secrets.h"

namespace {

// The low 128 bytes of the first nRecords key records, one after the other.
void values_from_records(unsigned char *pValues, const unsigned char *rsaKey, int nRecords)
{
    for (int nRecord = 0; nRecord < nRecords; nRecord++) {
        memcpy(pValues + nRecord * RSA_FIELD_SIZE, rsaKey + nRecord * KEY_RECORD_SIZE, RSA_FIELD_SIZE);
    }
}

} // namespace

static_assert(RSA_BLOB_N == 0 && RSA_BLOB_E == RSA_FIELD_SIZE && SI_PUBLIC_SIZE == 2 * RSA_FIELD_SIZE,
              "a blob and a public half hold the records' values in record order");

void build_key_blob(unsigned char *szKey, const unsigned char *rsaKey)
{
    values_from_records(szKey, rsaKey, KEY_RECORD_COUNT);
}

void public_half_from_records(unsigned char *pPublic, const unsigned char *rsaKey)
{
    values_from_records(pPublic, rsaKey, 2);
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

int read_key_stream(FILE *fp, unsigned char *szKey, size_t *pnFileSize)
{
    unsigned char rsaKey[KEY_FILE_SIZE] = {};
    *pnFileSize = fread(rsaKey, 1, sizeof(rsaKey), fp);
    bool bFailed = ferror(fp) != 0;
    build_key_blob(szKey, rsaKey);
    explicit_bzero(rsaKey, sizeof(rsaKey));
    secrets_clear_registers();
    return bFailed ? 1 : 0;
}

int read_key_file(const char *pPath, unsigned char *szKey, size_t *pnFileSize)
{
    memset(szKey, 0, RSA_KEY_BLOB_SIZE);
    *pnFileSize = 0;
    FILE *fp = fopen(pPath, "rbe");
    if (fp == nullptr) {
        return 1;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    int nFailed = read_key_stream(fp, szKey, pnFileSize);
    return fclose(fp) != 0 ? 1 : nFailed;
}

std::string le_number_text(const unsigned char *p, int nLen)
{
    int nBits = le_bit_length(p, nLen);
    if (nBits > 64) {
        return std::to_string(nBits) + " bits";
    }
    uint64_t nValue = 0;
    for (int i = (nBits + 7) / 8 - 1; i >= 0; i--) {
        nValue = nValue << 8 | p[i];
    }
    return std::to_string(nValue);
}

bool is_pem_text(const unsigned char *p, size_t nLen)
{
    static const char PEM_START[] = "-----BEGIN ";
    return nLen >= sizeof(PEM_START) - 1 && memcmp(p, PEM_START, sizeof(PEM_START) - 1) == 0;
}

std::string key_file_problem(const unsigned char *pStart, size_t nRead, bool bLonger)
{
    if (is_pem_text(pStart, std::min<size_t>(nRead, RSA_FIELD_SIZE))) {
        return "PEM text, not a key file (key_tool import makes a key file of a PEM private key, key_tool export a "
               "PEM public key of a key file)";
    }
    std::string records = " (three key records of " + std::to_string(KEY_RECORD_SIZE) + " bytes)";
    if (bLonger) {
        return "longer than " + std::to_string(KEY_FILE_SIZE) + " bytes" + records;
    }
    if (nRead < static_cast<size_t>(KEY_FILE_SIZE)) {
        return std::to_string(nRead) + " bytes, not " + std::to_string(KEY_FILE_SIZE) + records;
    }
    return std::string();
}
