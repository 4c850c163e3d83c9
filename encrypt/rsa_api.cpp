// SPDX-License-Identifier: Apache-2.0
// RSA block codec: chunked textbook RSA over little-endian byte buffers.
#include "rsa_internal.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <sys/random.h>

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

// Overwrites the stack below the caller with zeros, where a private-key block
// left the library's temporaries of its products and reductions. Called from
// the frame that called rsa_private_exptmod, it reaches as deep as that did
// (see STACK_BURN_BYTES), and needs no more stack than it.
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

// The private exponent's fixed width, and the window of its exponentiation:
// 1024 bits in 205 windows of 5 bits, each selecting one of 32 entries.
constexpr int RSA_DIGITS = RSA_FIELD_SIZE / FP_DIGIT_BYTES;
constexpr int EXP_BITS = 8 * RSA_FIELD_SIZE;
constexpr int EXP_WINDOW = 5;
constexpr unsigned EXP_TABLE = 1u << EXP_WINDOW;
constexpr int EXP_TOP_WINDOW = (EXP_BITS - 1) / EXP_WINDOW * EXP_WINDOW;
// Random digits for a value below N: twice N's digits less one, which stays
// below N times R for Montgomery's reduction, and which getrandom gives in one
// uninterrupted call (256 bytes at most).
constexpr size_t RANDOM_BYTES_MAX = (2 * RSA_DIGITS - 1) * sizeof(fp_digit);
static_assert(RANDOM_BYTES_MAX <= 256);

// Everything one private-key block computes, in one place that one wipe
// clears. Values named "Montgomery form" hold a * R mod N, R = 2^(DIGIT_BIT *
// digits of N); fp_mul and fp_montgomery_reduce make a * b * R^-1 mod N of two.
struct PrivateWork {
    fp_int *pN;
    fp_digit mp;                               // -N^-1 mod 2^DIGIT_BIT
    fp_int one;                                // 1, Montgomery form
    fp_int r2;                                 // R^2 mod N
    fp_int c;                                  // the input below N, Montgomery form
    fp_int r;                                  // blinding factor, Montgomery form; then r^-1
    fp_int s;                                  // blinds the inversion of r, Montgomery form
    fp_int x;                                  // the blinded input c * r^e, Montgomery form
    fp_int y;                                  // results of exponentiations
    fp_int t;                                  // table entry; (r s)^-1
    fp_digit szTable[EXP_TABLE][RSA_DIGITS];   // base^0 .. base^31, Montgomery form
};

// out = a * b * R^-1 mod N; out may be a or b.
void mont_mul(PrivateWork *w, fp_int *a, fp_int *b, fp_int *out)
{
    fp_mul(a, b, out);
    fp_montgomery_reduce(out, w->pN, w->mp);
}

// All ones when a equals b, else zero, without a branch the compiler may add.
fp_digit equal_mask(unsigned a, unsigned b)
{
    fp_digit nDiff = a ^ b;
    asm("" : "+r"(nDiff));
    return static_cast<fp_digit>(0) - (1 ^ ((nDiff | (0 - nDiff)) >> (DIGIT_BIT - 1)));
}

// out = table entry nIndex, read by masking every entry: the addresses read
// do not depend on nIndex. It keeps N's digit count, zero digits on top.
void select_entry(PrivateWork *w, unsigned nIndex, fp_int *out)
{
    fp_digit szAcc[RSA_DIGITS] = {};
    for (unsigned i = 0; i < EXP_TABLE; i++) {
        fp_digit nMask = equal_mask(i, nIndex);
#pragma GCC unroll 16
        for (int j = 0; j < RSA_DIGITS; j++) {
            szAcc[j] |= w->szTable[i][j] & nMask;
        }
    }
    memcpy(out->dp, szAcc, sizeof(szAcc));
    out->used = w->pN->used;
    out->sign = FP_ZPOS;
}

// Bits nPos to nPos + EXP_WINDOW - 1 of an exponent; nPos alone picks the
// digits read.
unsigned window_at(const fp_int *pExp, int nPos)
{
    int nDigit = nPos / DIGIT_BIT;
    int nShift = nPos % DIGIT_BIT;
    fp_digit nBits = pExp->dp[nDigit] >> nShift;
    if (nShift + EXP_WINDOW > DIGIT_BIT && nDigit + 1 < RSA_DIGITS) {
        nBits |= pExp->dp[nDigit + 1] << (DIGIT_BIT - nShift);
    }
    return static_cast<unsigned>(nBits & (EXP_TABLE - 1));
}

// out = base^exp (Montgomery form in and out) for a secret exponent of up to
// EXP_BITS bits: fixed windows over the whole width, so that the products, their
// order and the addresses read are the same for every exponent.
void mont_exp_secret(PrivateWork *w, fp_int *base, const fp_int *exp, fp_int *out)
{
    memcpy(w->szTable[0], w->one.dp, sizeof(w->szTable[0]));
    fp_copy(base, out);
    for (unsigned i = 1; i < EXP_TABLE; i++) {
        if (i > 1) {
            mont_mul(w, out, base, out);
        }
        memcpy(w->szTable[i], out->dp, sizeof(w->szTable[i]));
    }
    select_entry(w, window_at(exp, EXP_TOP_WINDOW), out);
    for (int nPos = EXP_TOP_WINDOW - EXP_WINDOW; nPos >= 0; nPos -= EXP_WINDOW) {
        for (int i = 0; i < EXP_WINDOW; i++) {
            fp_sqr(out, out);
            fp_montgomery_reduce(out, w->pN, w->mp);
        }
        select_entry(w, window_at(exp, nPos), &w->t);
        mont_mul(w, out, &w->t, out);
    }
}

// out = base^exp (Montgomery form in and out) for a public, odd exponent:
// square and multiply, following the exponent's bits.
void mont_exp_public(PrivateWork *w, fp_int *base, fp_int *exp, fp_int *out)
{
    fp_copy(base, out);
    for (int i = fp_count_bits(exp) - 2; i >= 0; i--) {
        fp_sqr(out, out);
        fp_montgomery_reduce(out, w->pN, w->mp);
        if ((exp->dp[i / DIGIT_BIT] >> (i % DIGIT_BIT)) & 1) {
            mont_mul(w, out, base, out);
        }
    }
}

// A value below N from getrandom, in Montgomery form of a uniformly random
// value (up to a bias of 2^-960 for a 1024-bit N); false without randomness.
// out is zero, or below N, on entry.
bool random_residue(PrivateWork *w, fp_int *out)
{
    int nDigits = 2 * w->pN->used - 1;
    size_t nBytes = static_cast<size_t>(nDigits) * sizeof(fp_digit);
    ssize_t nGot = 0;
    do {
        nGot = getrandom(out->dp, nBytes, 0);
    } while (nGot < 0 && errno == EINTR);
    if (nGot != static_cast<ssize_t>(nBytes)) {
        return false;
    }
    out->used = nDigits;
    fp_montgomery_reduce(out, w->pN, w->mp);
    return true;
}

// The inversion: the division-step GCD ("safegcd") in its variable-time form.
// Values are signed limbs of LIMB_BITS bits, least significant first, the top
// limb signed and every other in [0, 2^LIMB_BITS); a batch of LIMB_BITS
// division steps works on the low limbs alone and is then applied to the
// whole values.
using fp_limb = std::make_signed_t<fp_digit>;
using fp_sword = std::conditional_t<DIGIT_BIT == 64, __int128, int64_t>;
static_assert(sizeof(fp_sword) == 2 * sizeof(fp_digit));
constexpr int LIMB_BITS = DIGIT_BIT - 2;
constexpr fp_digit LIMB_MASK = FP_MASK >> 2;
constexpr int INV_LIMBS = (8 * RSA_FIELD_SIZE + LIMB_BITS) / LIMB_BITS;
static_assert(INV_LIMBS * LIMB_BITS >= 8 * RSA_FIELD_SIZE + 2, "room for values in (-2N, 2N)");

// 2^LIMB_BITS * [f', g'] = [u v; q r] * [f, g] after one batch.
struct Transition {
    fp_limb u, v, q, r;
};

// LIMB_BITS division steps on the low bits of f and g (eta = -delta);
// returns the new eta.
fp_limb divsteps(fp_limb eta, fp_digit f, fp_digit g, Transition *t)
{
    fp_digit u = 1, v = 0, q = 0, r = 1;
    int nLeft = LIMB_BITS;
    for (;;) {
        int nZeros = std::countr_zero(g | (FP_MASK << nLeft));
        g >>= nZeros;
        u <<= nZeros;
        v <<= nZeros;
        eta -= nZeros;
        nLeft -= nZeros;
        if (nLeft == 0) {
            break;
        }
        if (eta < 0) {
            eta = -eta;
            fp_digit nOld = f;
            f = g;
            g = 0 - nOld;
            nOld = u;
            u = q;
            q = 0 - nOld;
            nOld = v;
            v = r;
            r = 0 - nOld;
        }
        g += f;
        q += u;
        r += v;
    }
    *t = {static_cast<fp_limb>(u), static_cast<fp_limb>(v), static_cast<fp_limb>(q), static_cast<fp_limb>(r)};
    return eta;
}

// Stores a carry chain's low LIMB_BITS bits into *pLimb and shifts them out.
void limb_out(fp_sword *pCarry, fp_limb *pLimb)
{
    *pLimb = static_cast<fp_limb>(static_cast<fp_digit>(*pCarry) & LIMB_MASK);
    *pCarry >>= LIMB_BITS;
}

// [f, g] = [u v; q r] * [f, g] / 2^LIMB_BITS, an exact division.
void update_fg(fp_limb *f, fp_limb *g, const Transition &t)
{
    fp_sword cf = static_cast<fp_sword>(t.u) * f[0] + static_cast<fp_sword>(t.v) * g[0];
    fp_sword cg = static_cast<fp_sword>(t.q) * f[0] + static_cast<fp_sword>(t.r) * g[0];
    cf >>= LIMB_BITS;
    cg >>= LIMB_BITS;
    for (int i = 1; i < INV_LIMBS; i++) {
        cf += static_cast<fp_sword>(t.u) * f[i] + static_cast<fp_sword>(t.v) * g[i];
        cg += static_cast<fp_sword>(t.q) * f[i] + static_cast<fp_sword>(t.r) * g[i];
        limb_out(&cf, &f[i - 1]);
        limb_out(&cg, &g[i - 1]);
    }
    f[INV_LIMBS - 1] = static_cast<fp_limb>(cf);
    g[INV_LIMBS - 1] = static_cast<fp_limb>(cg);
}

// [d, e] = [u v; q r] * [d, e] / 2^LIMB_BITS mod N, for d and e in (-2N, N),
// which they stay in: the multiples of N added make the division exact.
void update_de(fp_limb *d, fp_limb *e, const Transition &t, const fp_limb *pN, fp_digit nNInv)
{
    fp_limb nSignD = d[INV_LIMBS - 1] >> (DIGIT_BIT - 1);
    fp_limb nSignE = e[INV_LIMBS - 1] >> (DIGIT_BIT - 1);
    fp_limb md = (t.u & nSignD) + (t.v & nSignE);
    fp_limb me = (t.q & nSignD) + (t.r & nSignE);
    fp_sword cd = static_cast<fp_sword>(t.u) * d[0] + static_cast<fp_sword>(t.v) * e[0];
    fp_sword ce = static_cast<fp_sword>(t.q) * d[0] + static_cast<fp_sword>(t.r) * e[0];
    md -= static_cast<fp_limb>((nNInv * static_cast<fp_digit>(cd) + static_cast<fp_digit>(md)) & LIMB_MASK);
    me -= static_cast<fp_limb>((nNInv * static_cast<fp_digit>(ce) + static_cast<fp_digit>(me)) & LIMB_MASK);
    cd += static_cast<fp_sword>(pN[0]) * md;
    ce += static_cast<fp_sword>(pN[0]) * me;
    cd >>= LIMB_BITS;
    ce >>= LIMB_BITS;
    for (int i = 1; i < INV_LIMBS; i++) {
        cd += static_cast<fp_sword>(t.u) * d[i] + static_cast<fp_sword>(t.v) * e[i] + static_cast<fp_sword>(pN[i]) * md;
        ce += static_cast<fp_sword>(t.q) * d[i] + static_cast<fp_sword>(t.r) * e[i] + static_cast<fp_sword>(pN[i]) * me;
        limb_out(&cd, &d[i - 1]);
        limb_out(&ce, &e[i - 1]);
    }
    d[INV_LIMBS - 1] = static_cast<fp_limb>(cd);
    e[INV_LIMBS - 1] = static_cast<fp_limb>(ce);
}

// a = nSign * a + nTimesN * N, normalised.
void limbs_combine(fp_limb *a, fp_limb nSign, fp_limb nTimesN, const fp_limb *pN)
{
    fp_sword nCarry = 0;
    for (int i = 0; i < INV_LIMBS - 1; i++) {
        nCarry += static_cast<fp_sword>(nSign) * a[i] + static_cast<fp_sword>(nTimesN) * pN[i];
        limb_out(&nCarry, &a[i]);
    }
    a[INV_LIMBS - 1] = static_cast<fp_limb>(nCarry + nSign * a[INV_LIMBS - 1] + nTimesN * pN[INV_LIMBS - 1]);
}

// The low RSA_DIGITS digits of a as limbs.
void digits_to_limbs(const fp_int *a, fp_limb *pLimbs)
{
    fp_word nBits = 0;
    int nHave = 0;
    int j = 0;
    for (int i = 0; i < INV_LIMBS; i++) {
        if (nHave < LIMB_BITS && j < RSA_DIGITS) {
            nBits |= static_cast<fp_word>(a->dp[j++]) << nHave;
            nHave += DIGIT_BIT;
        }
        pLimbs[i] = static_cast<fp_limb>(static_cast<fp_digit>(nBits) & LIMB_MASK);
        nBits >>= LIMB_BITS;
        nHave -= LIMB_BITS;
    }
}

// a = the value of non-negative limbs below 2^(DIGIT_BIT * RSA_DIGITS), with
// RSA_DIGITS digits, zero ones on top.
void limbs_to_digits(const fp_limb *pLimbs, fp_int *a)
{
    fp_word nBits = 0;
    int nHave = 0;
    int j = 0;
    for (int i = 0; j < RSA_DIGITS; i++) {
        nBits |= static_cast<fp_word>(static_cast<fp_digit>(pLimbs[i])) << nHave;
        nHave += LIMB_BITS;
        if (nHave >= DIGIT_BIT) {
            a->dp[j++] = static_cast<fp_digit>(nBits);
            nBits >>= DIGIT_BIT;
            nHave -= DIGIT_BIT;
        }
    }
    a->used = RSA_DIGITS;
}

// a = a^-1 mod N for a below N (mp = -N^-1 mod 2^DIGIT_BIT); false when a
// and N share a factor. Variable time: its branches follow a, and it is given
// only r * s, unrelated to r.
bool invert_mod(fp_int *a, fp_int *n, fp_digit mp)
{
    fp_limb f[INV_LIMBS];
    fp_limb g[INV_LIMBS];
    fp_limb d[INV_LIMBS] = {};
    fp_limb e[INV_LIMBS] = {1};
    fp_limb szN[INV_LIMBS];
    digits_to_limbs(n, szN);
    digits_to_limbs(a, g);
    memcpy(f, szN, sizeof(f));
    fp_digit nNInv = 0 - mp;
    fp_limb eta = -1;
    fp_limb nAny = 0;
    do {
        Transition t;
        eta = divsteps(eta, static_cast<fp_digit>(f[0]), static_cast<fp_digit>(g[0]), &t);
        update_de(d, e, t, szN, nNInv);
        update_fg(f, g, t);
        nAny = 0;
        for (int i = 0; i < INV_LIMBS; i++) {
            nAny |= g[i];
        }
    } while (nAny != 0);
    // f is now plus or minus the greatest common divisor, d in (-2N, N) as
    // much a^-1: d goes to (-N, N), takes f's sign, and then to [0, N).
    fp_limb nSign = f[INV_LIMBS - 1] < 0 ? -1 : 1;
    limbs_combine(d, 1, d[INV_LIMBS - 1] < 0 ? 1 : 0, szN);
    limbs_combine(d, nSign, 0, szN);
    limbs_combine(d, 1, d[INV_LIMBS - 1] < 0 ? 1 : 0, szN);
    limbs_to_digits(d, a);
    limbs_combine(f, nSign, 0, szN);
    fp_limb nNotOne = f[0] ^ 1;
    for (int i = 1; i < INV_LIMBS; i++) {
        nNotOne |= f[i];
    }
    return nNotOne == 0;
}

// m = c^d through the blinded input c * r^e: the exponentiation sees a value
// unrelated to c, and its result times r^-1 is c^d where e and d undo each
// other. False, with m untouched, when r cannot be inverted or the result
// fails the check with e (the key's exponents do not undo each other).
bool blinded_exptmod(PrivateWork *w, fp_int *d, fp_int *e, fp_int *m)
{
    // The factor is a square: its (lambda/2)-th power is 1, so that a d off by
    // lambda/2, which undoes e on some values only, gives the result it gives
    // unblinded, whatever the factor; not a result that varies from run to run.
    mont_mul(w, &w->r, &w->r, &w->r);
    // r^-1 = (r s)^-1 * s: the inversion sees r * s alone.
    mont_mul(w, &w->r, &w->s, &w->t);
    fp_montgomery_reduce(&w->t, w->pN, w->mp);
    if (!invert_mod(&w->t, w->pN, w->mp)) {
        return false;
    }
    mont_exp_public(w, &w->r, e, &w->y);
    mont_mul(w, &w->c, &w->y, &w->x);
    mont_mul(w, &w->t, &w->s, &w->r);
    mont_exp_secret(w, &w->x, d, &w->y);
    // x^d in Montgomery form times r^-1: c^d, plain; checked as m^e = c.
    mont_mul(w, &w->y, &w->r, &w->y);
    mont_mul(w, &w->y, &w->r2, &w->x);
    mont_exp_public(w, &w->x, e, &w->s);
    if (fp_cmp(&w->s, &w->c) != FP_EQ) {
        return false;
    }
    fp_copy(&w->y, m);
    return true;
}

// m = c^d mod N for a private exponent d, blinded where e is odd; see
// rsa_internal.h. Every value of the block lives in w.
int private_block(PrivateWork *w, fp_int *c, fp_int *d, fp_int *e, fp_int *n, fp_int *m)
{
    w->pN = n;
    if (fp_montgomery_setup(n, &w->mp) != FP_OKAY) {
        return FP_VAL;
    }
    fp_montgomery_calc_normalization(&w->one, n);
    fp_mulmod(&w->one, &w->one, n, &w->r2);
    // c * R^2 * R^-1: c below R (N's digits) is reduced as well.
    mont_mul(w, c, &w->r2, &w->c);
    if (fp_isodd(e)) {
        if (!random_residue(w, &w->r) || !random_residue(w, &w->s)) {
            return FP_VAL;
        }
        if (blinded_exptmod(w, d, e, m)) {
            return FP_OKAY;
        }
    }
    mont_exp_secret(w, &w->c, d, &w->y);
    fp_copy(&w->y, m);
    fp_montgomery_reduce(m, n, w->mp);
    return FP_OKAY;
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
// exponent is private; returns 1 when it refuses (even modulus, no randomness).
[[gnu::noinline]] int transform_chunks(const unsigned char *pSRC, int nDataLen, unsigned char *pOUT, int *pOUTLen,
                     const ChunkPlan &plan, fp_int *pN, fp_int *pE, fp_int *pD)
{
    fp_int c;
    fp_int m;
    int nStatus = 0;
    for (int nlen = 0; nlen < nDataLen; nlen += plan.nInLen) {
        load_fp_le(&c, pSRC + nlen, plan.nInLen);
        fp_zero(&m);
        int nResult = plan.bPrivate ? rsa_private_exptmod(&c, pD, pE, pN, &m) : fp_exptmod(&c, pE, pN, &m);
        if (nResult != FP_OKAY) {
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

// Kept out of line: its frame, where every value lives, is the one the
// caller's stack wipe starts under.
[[gnu::noinline]] int rsa_private_exptmod(fp_int *c, fp_int *d, fp_int *e, fp_int *n, fp_int *m)
{
    PrivateWork w;
    memset(&w, 0, sizeof(w));
    int nStatus = private_block(&w, c, d, e, n, m);
    explicit_bzero(&w, sizeof(w));
    return nStatus;
}

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
        nStatus = transform_chunks(pSRC, nDataLen, pOUT, pOUTLen, plan, &n, &e, &d);
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
