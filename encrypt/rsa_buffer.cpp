// SPDX-License-Identifier: Apache-2.0
// Padding and byte-order operations a caller wraps around a block transform.
#include "rsa_internal.h"

#include <cstring>

#include "byte_order.h"

namespace {

// Modes 0 and 1: 127-byte messages become 128-byte ciphertexts.
bool is_encrypt_mode(int nMode)
{
    return nMode == RSA_MODE_PUBLIC_ENC || nMode == RSA_MODE_PRIVATE_ENC;
}

// Modes 2 and 3: 128-byte ciphertexts become 127-byte messages.
bool is_decrypt_mode(int nMode)
{
    return nMode == RSA_MODE_PUBLIC_DEC || nMode == RSA_MODE_PRIVATE_DEC;
}

// The caller's ranges for kra_buffer_proc_before, by direction.
bool before_lengths_valid(int nMode, int nDataLen, int nBufferLen)
{
    if (is_encrypt_mode(nMode)) {
        return (nBufferLen == RSA_CHUNK_SIZE - 1 || nBufferLen == RSA_CHUNK_SIZE) && nDataLen >= 0 &&
               nDataLen <= RSA_MAX_MESSAGE;
    }
    if (is_decrypt_mode(nMode)) {
        return nBufferLen <= RSA_CHUNK_SIZE && nDataLen >= 0 && nDataLen <= nBufferLen;
    }
    return true;
}

// Writes pSrc[nLen - 1 - i] to pDst[i] for i below nLen.
void reverse_into(unsigned char *pDst, const unsigned char *pSrc, int nLen)
{
    reverse_bytes(pDst, pSrc, static_cast<size_t>(nLen));
}

// Index of the separator below the marker of a decrypted chunk of nLen
// bytes, or -1 when nothing but 0xFF lies below the marker.
int find_separator(const unsigned char *pBuffer, int nLen)
{
    int nIndex = nLen - 2;
    while (nIndex >= 0 && pBuffer[nIndex] == 0xFF) {
        nIndex--;
    }
    return nIndex;
}

} // namespace

int kra_buffer_proc_before(unsigned char *pBuffer, int nDataLen, int nBufferLen, int procedure)
{
    if (pBuffer == nullptr || nBufferLen <= 0) {
        return -1;
    }
    int nMode = procedure & RSA_MODE_MASK;
    int nPre = procedure & RSA_PRE_MASK;
    if (!before_lengths_valid(nMode, nDataLen, nBufferLen)) {
        return -1;
    }
    unsigned char szTemp[RSA_CHUNK_SIZE];
    memset(szTemp, 0, sizeof(szTemp));
    // The writes keep this order: with a 126-byte message the separator lands
    // on the marker's byte and replaces it.
    if (is_encrypt_mode(nMode) && nPre == 0) {
        memset(szTemp, 0xFF, sizeof(szTemp));
        szTemp[RSA_CHUNK_SIZE - 2] = 0x01;
        szTemp[nDataLen] = 0x00;
        reverse_into(szTemp, pBuffer, nDataLen);
        memcpy(pBuffer, szTemp, static_cast<size_t>(nBufferLen));
    } else if (is_encrypt_mode(nMode) && nPre == RSA_PRE_LITTLE_ENDIAN) {
        memset(pBuffer + nDataLen, 0xFF, static_cast<size_t>(RSA_CHUNK_SIZE - 1 - nDataLen));
        pBuffer[RSA_CHUNK_SIZE - 2] = 0x01;
        pBuffer[nDataLen] = 0x00;
    } else if (is_decrypt_mode(nMode) && nPre == RSA_PRE_LITTLE_ENDIAN) {
        reverse_into(szTemp, pBuffer, nDataLen);
        memcpy(pBuffer, szTemp, static_cast<size_t>(nBufferLen));
    }
    return 0;
}

int kra_buffer_proc_after(unsigned char *pBuffer, int *pnDataLen, int nBufferLen, int procedure)
{
    if (pBuffer == nullptr || nBufferLen <= 0) {
        return -1;
    }
    if (nBufferLen > RSA_CHUNK_SIZE) {
        printf("Error! Input buffer length can not exceed %d!\n", RSA_CHUNK_SIZE);
        return -1;
    }
    if (pnDataLen == nullptr) {
        return -1;
    }
    int nMode = procedure & RSA_MODE_MASK;
    int nPost = procedure & RSA_POST_MASK;
    unsigned char szTemp[RSA_CHUNK_SIZE];
    memset(szTemp, 0, sizeof(szTemp));
    if (is_encrypt_mode(nMode) && nPost == RSA_POST_SWAP) {
        if (nBufferLen != RSA_CHUNK_SIZE) {
            return -1;
        }
        reverse_into(szTemp, pBuffer, RSA_CHUNK_SIZE);
        memcpy(pBuffer, szTemp, RSA_CHUNK_SIZE);
    } else if (is_decrypt_mode(nMode) && (nPost == 0 || nPost == RSA_POST_SWAP)) {
        if (*pnDataLen < 2 || *pnDataLen > nBufferLen) {
            return -1;
        }
        int L = find_separator(pBuffer, *pnDataLen);
        if (L < 0) {
            return -1;
        }
        *pnDataLen = L;
        if (nPost == 0) {
            reverse_into(szTemp, pBuffer, L);
            memset(pBuffer, 0, static_cast<size_t>(nBufferLen));
            memcpy(pBuffer, szTemp, static_cast<size_t>(L));
        } else {
            memset(pBuffer + L, 0, static_cast<size_t>(nBufferLen - L));
        }
    }
    return 0;
}
