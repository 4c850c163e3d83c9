// SPDX-License-Identifier: Apache-2.0
// RSA block codec: chunked textbook RSA over little-endian byte buffers.
#include "rsa_internal.h"

#include <cstring>

namespace {

// Built-in default key, little-endian. Made with:
//   openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024
//       -pkeyopt rsa_keygen_pubexp:65537 -out default_key.pem
// and its modulus and exponents written out least significant byte first.
constexpr unsigned char szTxtN[128] = {
    0x2f, 0x18, 0xe2, 0x89, 0xa2, 0x64, 0xb4, 0xeb, 0xef, 0xca, 0xf2, 0xa5,
    0xae, 0xfe, 0x81, 0x8a, 0xfc, 0x9c, 0x6e, 0x20, 0xcb, 0xa5, 0xb7, 0xa1,
    0xae, 0x22, 0x6e, 0xa8, 0x61, 0x10, 0xc7, 0x92, 0x8a, 0x85, 0x76, 0x56,
    0xa7, 0x1d, 0x24, 0xb9, 0xb6, 0x8e, 0x0f, 0x28, 0x7e, 0x2c, 0xeb, 0x76,
    0x51, 0xb4, 0xea, 0x3b, 0x00, 0xd9, 0xdf, 0x7d, 0x85, 0x0e, 0x5a, 0x18,
    0x55, 0x88, 0x33, 0x0f, 0xdb, 0xa4, 0x7a, 0x67, 0x4a, 0x05, 0x6e, 0x24,
    0x32, 0xf5, 0x1a, 0xfc, 0x82, 0x94, 0x61, 0xba, 0xb4, 0x8a, 0x19, 0x8f,
    0x89, 0x7f, 0x32, 0x3c, 0xba, 0xe6, 0x1b, 0x18, 0x4a, 0x5b, 0x83, 0x2a,
    0x87, 0xcc, 0x8b, 0xb6, 0xf3, 0x78, 0x06, 0x85, 0xaf, 0x00, 0x13, 0xf9,
    0x30, 0x59, 0x1e, 0x9a, 0x52, 0x10, 0x6e, 0x1f, 0xf2, 0x8d, 0xde, 0xe2,
    0xe7, 0x2f, 0xe2, 0x71, 0xaf, 0x3b, 0x47, 0xa2,
};
constexpr unsigned char szTxtE[3] = {
    0x01, 0x00, 0x01,
};
constexpr unsigned char szTxtD[128] = {
    0x51, 0xf9, 0xfb, 0xf6, 0x32, 0xfe, 0x7c, 0xb9, 0xe0, 0x1b, 0x48, 0xd5,
    0x0b, 0x5e, 0xa0, 0xba, 0x24, 0x2a, 0x9f, 0xd7, 0xb9, 0x18, 0xd0, 0xc0,
    0x75, 0xc9, 0xa2, 0x80, 0x5e, 0x21, 0x03, 0xdc, 0x64, 0x86, 0x9c, 0x4e,
    0x09, 0x30, 0xb8, 0x87, 0x73, 0x98, 0x1d, 0xf0, 0x82, 0x81, 0x63, 0x6c,
    0xc3, 0xdd, 0xb6, 0xe8, 0x86, 0xa4, 0x6d, 0xa6, 0xa8, 0x8c, 0xdd, 0x71,
    0x38, 0xc0, 0xd9, 0x01, 0x11, 0x81, 0x41, 0xeb, 0x33, 0x0d, 0xf2, 0xc2,
    0x54, 0xd2, 0x1c, 0xb2, 0x6f, 0xa5, 0x72, 0x2a, 0x10, 0x2f, 0x9d, 0x57,
    0xff, 0xed, 0x87, 0x23, 0x61, 0x43, 0x7e, 0xe3, 0x37, 0x56, 0x30, 0x32,
    0xc0, 0xe1, 0x7e, 0x34, 0x62, 0x2e, 0x07, 0x5b, 0xf8, 0xdd, 0x61, 0x86,
    0x7e, 0x47, 0xec, 0xcb, 0x59, 0xe4, 0xd9, 0x8c, 0xba, 0x17, 0xeb, 0xcf,
    0x24, 0x65, 0x18, 0x07, 0xaa, 0x3f, 0xc1, 0x67,
};

static_assert(sizeof(szTxtN) == RSA_FIELD_SIZE && sizeof(szTxtD) == RSA_FIELD_SIZE);
static_assert(sizeof(szTxtE) <= RSA_FIELD_SIZE);

constexpr int FP_DIGIT_BYTES = static_cast<int>(sizeof(fp_digit));
static_assert(RSA_FIELD_SIZE / FP_DIGIT_BYTES * 2 <= FP_SIZE / 2,
              "the library must hold products of two 1024-bit numbers");

// Overwrites the stack below the caller with zeros, where the exponentiation
// left its window table and temporaries of the private exponent. Called from
// the frame that called fp_exptmod, it reaches as deep as the library's
// exponentiation did (80,639 bytes measured with Debian's libtfm 0.13.1, and
// checked by a test), and needs no more stack than the exponentiation itself.
// Pieces under glibc's string-instruction threshold are cleared with vector
// stores, about 30 times fewer instructions.
[[gnu::noinline]] void burn_stack()
{
    unsigned char szBurn[STACK_BURN_BYTES];
    for (size_t i = 0; i < STACK_BURN_BYTES; i += STACK_BURN_PIECE) {
        explicit_bzero(szBurn + i, STACK_BURN_PIECE);
    }
    asm volatile("" : : "r"(szBurn) : "memory");
}

// Chunk sizes of one mode and whether it uses the private exponent.
struct ChunkPlan {
    int nInLen;
    int nOutLen;
    bool bPrivate;
};

// Chunk sizes and exponent for mode (low four bits); false for modes 4-15.
bool plan_mode(int nMode, int k, ChunkPlan *pPlan)
{
    switch (nMode) {
    case RSA_MODE_PUBLIC_ENC:  *pPlan = {k - 1, k, false}; return true;
    case RSA_MODE_PRIVATE_ENC: *pPlan = {k - 1, k, true}; return true;
    case RSA_MODE_PUBLIC_DEC:  *pPlan = {k, k - 1, false}; return true;
    case RSA_MODE_PRIVATE_DEC: *pPlan = {k, k - 1, true}; return true;
    default: return false;
    }
}

// True when nDataLen bytes are whole chunks whose output fits nCapacity.
bool lengths_fit(const ChunkPlan &plan, int nDataLen, int nCapacity)
{
    if (nDataLen <= 0) {
        return true;
    }
    if (nDataLen % plan.nInLen != 0) {
        return false;
    }
    long long nOut = static_cast<long long>(nDataLen / plan.nInLen) * plan.nOutLen;
    return nOut <= nCapacity;
}

// Runs the chunk loop, then wipes the stack the exponentiation used when the
// exponent is private; returns 1 when it refuses (even modulus).
[[gnu::noinline]] int transform_chunks(const unsigned char *pSRC, int nDataLen, unsigned char *pOUT, int *pOUTLen,
                     const ChunkPlan &plan, fp_int *pN, fp_int *pExp)
{
    fp_int c;
    fp_int m;
    int nStatus = 0;
    for (int nlen = 0; nlen < nDataLen; nlen += plan.nInLen) {
        load_fp_le(&c, pSRC + nlen, plan.nInLen);
        fp_zero(&m);
        if (fp_exptmod(&c, pExp, pN, &m) != FP_OKAY) {
            nStatus = 1;
            break;
        }
        store_fp_le(&m, pOUT + *pOUTLen, plan.nOutLen);
        *pOUTLen += plan.nOutLen;
    }
    wipe_fp(&c);
    wipe_fp(&m);
    if (plan.bPrivate) {
        burn_stack();
    }
    return nStatus;
}

} // namespace

void load_fp_le(fp_int *a, const unsigned char *pBytes, int nLen)
{
    fp_zero(a);
    for (int i = 0; i < nLen; i++) {
        a->dp[i / FP_DIGIT_BYTES] |= static_cast<fp_digit>(pBytes[i]) << (8 * (i % FP_DIGIT_BYTES));
    }
    a->used = (nLen + FP_DIGIT_BYTES - 1) / FP_DIGIT_BYTES;
    fp_clamp(a);
}

void store_fp_le(const fp_int *a, unsigned char *pBytes, int nLen)
{
    for (int i = 0; i < nLen; i++) {
        int nDigit = i / FP_DIGIT_BYTES;
        fp_digit digit = nDigit < a->used ? a->dp[nDigit] : 0;
        pBytes[i] = static_cast<unsigned char>(digit >> (8 * (i % FP_DIGIT_BYTES)));
    }
}

void wipe_fp(fp_int *a)
{
    explicit_bzero(a, sizeof(*a));
}

int get_rsa_key(fp_int *n, fp_int *e, fp_int *d)
{
    if (n == nullptr || e == nullptr || d == nullptr) {
        return 1;
    }
    load_fp_le(n, szTxtN, sizeof(szTxtN));
    load_fp_le(e, szTxtE, sizeof(szTxtE));
    load_fp_le(d, szTxtD, sizeof(szTxtD));
    return 0;
}

int do_rsa_enc_dec(const unsigned char *pSRC, int nDataLen, unsigned char *pOUT, int *pOUTLen,
                   int procedure, const unsigned char *pKey)
{
    if (pSRC == nullptr || pOUT == nullptr || pOUTLen == nullptr) {
        return 1;
    }
    if (*pOUTLen < 0) {
        *pOUTLen = 0;
        return 1;
    }
    int nCapacity = *pOUTLen;
    memset(pOUT, 0, static_cast<size_t>(nCapacity));
    *pOUTLen = 0;

    fp_int n;
    fp_int e;
    fp_int d;
    if (pKey != nullptr) {
        load_fp_le(&n, pKey + RSA_BLOB_N, RSA_FIELD_SIZE);
        load_fp_le(&e, pKey + RSA_BLOB_E, RSA_FIELD_SIZE);
        load_fp_le(&d, pKey + RSA_BLOB_D, RSA_FIELD_SIZE);
    } else {
        get_rsa_key(&n, &e, &d);
    }

    int k = (fp_count_bits(&n) + 7) / 8;
    ChunkPlan plan{};
    int nStatus = 1;
    if (!plan_mode(procedure & RSA_MODE_MASK, k, &plan)) {
        printf("Internal error! Not support this enc-dec mode %d\n", procedure);
    } else if (k >= 2 && lengths_fit(plan, nDataLen, nCapacity)) {
        nStatus = transform_chunks(pSRC, nDataLen, pOUT, pOUTLen, plan, &n, plan.bPrivate ? &d : &e);
    }
    if (nStatus != 0) {
        memset(pOUT, 0, static_cast<size_t>(nCapacity));
        *pOUTLen = 0;
    }
    wipe_fp(&n);
    wipe_fp(&e);
    wipe_fp(&d);
    return nStatus;
}
