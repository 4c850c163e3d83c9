// SPDX-License-Identifier: Apache-2.0
// What the image checks decide, modelled with OpenSSL's BIGNUM from the
// format's description (of the library, only its status numbers); the cases
// the tests cross with it; where the library or verify_tool differ from it.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <strings.h>
#include <vector>

#include "image_format.h"
#include "test_support.h"

namespace model {

constexpr size_t kWindow = 16384, kHead = 2 * kWindow, kSignN = kWindow + 640, kTable = kWindow + 896;
enum Check { NOT_ASKED, PASSED, FAILED };

inline BN_CTX *ctx()
{
    static BN_CTX *pCtx = BN_CTX_new(); // lives as long as the process
    return pCtx;
}

// A BIGNUM for one scope: the nLen little-endian bytes at pLe, or zero.
struct Bn {
    BIGNUM *p;
    explicit Bn(const unsigned char *pLe = nullptr, size_t nLen = 0) : p(BN_lebin2bn(pLe, int(nLen), nullptr)) {}
    Bn(const Bn &) = delete;
    ~Bn() { BN_free(p); }
    operator BIGNUM *() const { return p; }
};

// The block table record: SI_OK or its fault with *pnEntry the first entry at
// fault (else -1), and the entries (start, end, keep).
inline int table(const unsigned char *pRecord, int64_t ent[4][3], int *pnEntry)
{
    auto word = [pRecord](int nAt) { return int64_t{pRecord[nAt]} | pRecord[nAt + 1] << 8 | pRecord[nAt + 2] << 16 |
                                            int64_t{pRecord[nAt + 3]} << 24; };
    bool bPadded = std::all_of(pRecord + 52, pRecord + 128, [](unsigned char b) { return b == 0; });
    std::vector<int> owners(kWindow, 0); // how many blocks hold each byte
    for (int i = 0; i < 12; i++) {
        ent[i / 3][i % 3] = word(4 + 4 * i);
    }
    *pnEntry = -1;
    if (word(0) != 4 || !bPadded) {
        return word(0) != 4 ? SI_TABLE_COUNT : SI_TABLE_PADDING;
    }
    for (*pnEntry = 0; *pnEntry < 4; ++*pnEntry) {
        const int64_t *e = ent[*pnEntry];
        if (e[1] - e[0] != 127 || e[1] >= int64_t{kWindow} || e[2] >= int64_t{kWindow}) {
            return SI_TABLE_OUTSIDE;
        }
        std::for_each(&owners[e[0]], &owners[e[1]] + 1, [](int &n) { n++; });
    }
    for (*pnEntry = 0; *pnEntry < 4; ++*pnEntry) {
        const int64_t *e = ent[*pnEntry];
        if (owners[e[2]] > 0 || std::any_of(&owners[e[0]], &owners[e[1]] + 1, [](int n) { return n > 1; })) {
            return SI_TABLE_OVERLAP;
        }
    }
    *pnEntry = -1;
    return SI_OK;
}

// A public half (N, then e) that checks signatures: N of 1017 to 1024 bits
// and odd, e odd and at least 3.
inline bool usable(const unsigned char *pPublic)
{
    Bn n(pPublic, 128), e(pPublic + 128, 128);
    return BN_num_bits(n) >= 1017 && BN_is_odd(n) && BN_is_odd(e) && BN_num_bits(e) >= 2;
}

// Restores entry ent's block in the SPL window: c^e mod N into 127 bytes where
// c < N, N is odd and the result fits; then the keep byte back at its end.
inline bool restore(unsigned char *pSpl, const int64_t *ent, const unsigned char *pPublic)
{
    Bn n(pPublic, 128), e(pPublic + 128, 128), c(pSpl + ent[0], 128), m;
    if (!BN_is_odd(n) || BN_cmp(c, n) >= 0 || BN_mod_exp(m, c, e, n, ctx()) != 1 || BN_num_bytes(m) > 127) {
        return false;
    }
    BN_bn2lebinpad(m, pSpl + ent[0], 127);
    pSpl[ent[1]] = pSpl[ent[2]];
    return true;
}

// The block proves the key: s < N and s^e >= N. Never 0 or 1; and s^e has
// passed N once (bits(s) - 1) * e reaches N's bits.
inline bool proves(const unsigned char *pBlock, const unsigned char *pPublic)
{
    Bn n(pPublic, 128), e(pPublic + 128, 128), s(pBlock, 128), power;
    uint64_t nE = BN_num_bits(e) > 16 ? 1u << 16 : BN_get_word(e), nS = uint64_t(BN_num_bits(s));
    if (BN_cmp(s, n) >= 0 || nS < 2 || (nS - 1) * nE >= uint64_t(BN_num_bits(n))) {
        return BN_cmp(s, n) < 0 && nS >= 2;
    }
    return BN_exp(power, s, e, ctx()) == 1 && BN_cmp(power, n) >= 0;
}

// A key blob (N, e, d): a usable public half, and e undoes d (on 3^600 < N).
inline bool signing_usable(const unsigned char *pBlob)
{
    Bn n(pBlob, 128), e(pBlob + 128, 128), d(pBlob + 256, 128), x, y;
    BN_set_word(x, 3), BN_set_word(y, 600), BN_exp(x, x, y, ctx());
    return usable(pBlob) && BN_mod_exp(y, x, d, n, ctx()) == 1 && BN_mod_exp(y, y, e, n, ctx()) == 1 &&
           BN_cmp(x, y) == 0;
}

inline std::string sha256_hex(const unsigned char *p, size_t nLen)
{
    unsigned char digest[32];
    char hex[65];
    EVP_Digest(p, nLen, digest, nullptr, EVP_sha256(), nullptr);
    for (int i = 0; i < 32; i++) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    return hex;
}

struct Options {
    const Bytes *pKeyFile = nullptr;  // --key: N and e from its first two 552-byte records
    std::string fingerprint;          // --fingerprint, in either case
    const Bytes *pOriginal = nullptr; // --original
    bool bRestore = false;            // --restore
    std::string image = "", key = ""; // their names as the report gives them
};

struct Verdict {
    int nTable = SI_OK, nEntry = -1, nStatus = 0;
    int64_t ent[4][3] = {};
    bool bUsable = false, bProven = false, bRestored[4] = {};
    Check key = NOT_ASKED, original = NOT_ASKED, restore = NOT_ASKED;
    Bytes restored; // the image with its SPL window restored
    std::vector<std::string> failures; // the report's failure lines, in order
};

// verify_tool's verdict on an image of at least 32 KiB.
inline Verdict verify(const Bytes &image, const Options &o)
{
    Verdict v;
    v.restored = image;
    const unsigned char *pPublic = &image[kSignN];
    v.nTable = table(&image[kTable], v.ent, &v.nEntry);
    v.bUsable = usable(pPublic);
    bool bAll = v.nTable == SI_OK && v.bUsable, bFailed = !bAll;
    long nWindowAt = -1, nTailAt = -1;
    for (int i = 0; bAll && i < 4; i++) {
        v.bRestored[i] = restore(v.restored.data(), v.ent[i], pPublic);
        v.bProven = v.bProven || (v.bRestored[i] && proves(&image[v.ent[i][0]], pPublic));
        bFailed = bFailed || !v.bRestored[i];
    }
    for (size_t i = 0; o.pKeyFile != nullptr && i < 256; i++) {
        size_t nAt = i < 128 ? i : i + 552 - 128; // a short file reads as zero-filled
        v.key = v.key != FAILED && pPublic[i] == (nAt < o.pKeyFile->size() ? (*o.pKeyFile)[nAt] : 0) ? PASSED : FAILED;
    }
    bool bPrinted = strcasecmp(o.fingerprint.c_str(), sha256_hex(pPublic, 256).c_str()) == 0; // in either case
    v.key = o.fingerprint.empty() ? v.key : bPrinted ? PASSED : FAILED;
    // The restored SPL window is the original's (zero-filled) but at keep offsets
    // and in blocks not restored; the tails are equal.
    if (o.pOriginal != nullptr && bAll && v.key != FAILED) {
        const Bytes &orig = *o.pOriginal;
        std::vector<bool> skip(kWindow);
        for (int b = 0; b < 4; b++) {
            std::fill(skip.begin() + v.ent[b][0], skip.begin() + v.ent[b][1] + 1, !v.bRestored[b]);
            skip[size_t(v.ent[b][2])] = true; // in no block
        }
        // The first difference: the window's, or else the tail's (once the window differs, the tail is not read).
        for (size_t i = 0; i < kWindow && nWindowAt < 0; i++) {
            nWindowAt = skip[i] || v.restored[i] == (i < orig.size() ? orig[i] : 0) ? -1 : long(i);
        }
        for (size_t i = kHead; nWindowAt < 0 && i < std::max(image.size(), orig.size()) && nTailAt < 0; i++) {
            nTailAt = i < image.size() && i < orig.size() && image[i] == orig[i] ? -1 : long(i);
        }
        v.original = nWindowAt < 0 && nTailAt < 0 ? PASSED : FAILED;
    }
    bFailed = bFailed || v.key == FAILED || (v.key == PASSED && !v.bProven) || v.original == FAILED;
    // The failure lines: the table's first fault, the stored key, each block, the trust, the original.
    const std::string kTableLines[] = {"", "block table count is " + std::to_string(int64_t{image[kTable]} |
        image[kTable + 1] << 8 | image[kTable + 2] << 16 | int64_t{image[kTable + 3]} << 24) +
        ", not 4 (is this image signed?)", "block table record is not zero after its entries",
        "block table entry " + std::to_string(v.nEntry) + " lies outside the SPL window",
        "block table entry " + std::to_string(v.nEntry) + " overlaps another block"};
    std::string fingerprint = o.fingerprint, at = ": " + o.image;
    std::transform(fingerprint.begin(), fingerprint.end(), fingerprint.begin(), ::tolower);
    v.failures = {kTableLines[v.nTable == SI_TABLE_COUNT ? 1 : v.nTable == SI_TABLE_PADDING ? 2 :
                              v.nTable == SI_TABLE_OUTSIDE ? 3 : v.nTable == SI_TABLE_OVERLAP ? 4 : 0] + at,
                  v.bUsable ? at : "stored signing key is not usable (a modulus of 1017 to 1024 bits that is odd, and "
                                   "an odd public exponent of at least 3, are needed)" + at};
    for (int i = 0; bAll && i < 4; i++) {
        v.failures.push_back(v.bRestored[i] ? at : "Block " + std::to_string(i) + " (offset " +
                             std::to_string(v.ent[i][0]) + ") does not restore with the stored signing key" + at);
    }
    bool bRestoredAll = std::count(v.bRestored, v.bRestored + 4, true) == 4;
    v.failures.insert(v.failures.end(), {v.key != FAILED ? at : "Stored signing key is not the key " +
        (o.pKeyFile != nullptr ? "of " + o.key : "with fingerprint " + fingerprint) + at,
        v.key == NOT_ASKED || !bRestoredAll || v.bProven ? at : "No block proves the signing key (every block is an "
        "e-th root anyone can take: its e-th power is below the modulus)" + at,
        nWindowAt < 0 ? at : "SPL window differs from the original at offset " + std::to_string(nWindowAt) + at,
        nTailAt < 0 ? at : "Tail differs from the original at offset " + std::to_string(nTailAt) + at});
    v.failures.push_back(bFailed && o.bRestore ? "Restored image not written: the image did not verify" : at);
    v.failures.erase(std::remove(v.failures.begin(), v.failures.end(), at), v.failures.end());
    v.restore = !o.bRestore ? NOT_ASKED : bFailed ? FAILED : PASSED;
    v.nStatus = bFailed ? 1 : 0;
    return v;
}

// N and phi(N) of nBits from primes searched up from seeded numbers, none
// 1 mod 3, 5, 17 or 65537, so those e have their d.
inline std::pair<BIGNUM *, BIGNUM *> &rsa_key(int nBits)
{
    // Kept for the life of the process (reachable: not a leak).
    static auto &keys = *new std::map<int, std::pair<BIGNUM *, BIGNUM *>>;
    std::mt19937 rng(static_cast<unsigned>(nBits));
    Bn p[2];
    for (int i = 0; keys.count(nBits) == 0 && i < 2; i++) {
        int nHalf = (nBits + 1 - i) / 2; // the two top bits set: p * q has nBits
        BN_set_word(p[i], rng() | 0xC0000001u), BN_lshift(p[i], p[i], nHalf - 32), BN_add_word(p[i], 1);
        while (BN_mod_word(p[i], 3) == 1 || BN_mod_word(p[i], 5) == 1 || BN_mod_word(p[i], 17) == 1 ||
               BN_mod_word(p[i], 65537) == 1 || BN_check_prime(p[i], ctx(), nullptr) != 1) {
            BN_add_word(p[i], 2);
        }
        if (i == 1) {
            auto &[n, phi] = keys[nBits] = {BN_new(), BN_new()};
            BN_mul(n, p[0], p[1], ctx()), BN_sub_word(p[0], 1), BN_sub_word(p[1], 1), BN_mul(phi, p[0], p[1], ctx());
        }
    }
    return keys[nBits];
}

// Calls f for each public half (N, e) crossed, with d and the whole N where N
// is a key's: keys of 512 and 1000 to 1030 bits (cut to 128 bytes), one made
// even, zero, r^e and r^e +- 1 (r = 2^(1017/e) + 2e; e = 3, 5, 17), 2^1024 - 1;
// each with e = 0, 1, 2, 3, 4, 5, 17, 65536, 65537, N - 2 and 2^1000 + 1.
inline void each_key(const std::function<void(const std::string &, const Bytes &, const BIGNUM *, const BIGNUM *)> &f)
{
    auto cross = [&f](const std::string &name, const BIGNUM *n, const BIGNUM *phi) {
        Bytes pub = bn_to_le(n, 128);
        Bn e, d;
        for (long nE : {0L, 1L, 2L, 3L, 4L, 5L, 17L, 65536L, 65537L, -2L, -1000L}) {
            BN_lebin2bn(pub.data(), 128, e), BN_sub_word(e, 2), nE >= 0 ? BN_set_word(e, static_cast<BN_ULONG>(nE)) : 1;
            if (nE == -1000) { // 1 in its lowest byte
                BN_set_word(e, 1), BN_set_bit(e, 1000);
            }
            Bytes half = pub, field = bn_to_le(e, 128);
            half.insert(half.end(), field.begin(), field.end());
            bool bD = phi != nullptr && BN_mod_inverse(d, e, phi, ctx()) != nullptr;
            std::string shown = nE == -2 ? "N-2" : nE < 0 ? "2^1000+1" : std::to_string(nE);
            f(name + ", e " + shown, half, bD ? d.p : nullptr, n);
        }
    };
    for (int nBits : {512, 1000, 1008, 1009, 1016, 1017, 1018, 1023, 1024, 1025, 1030}) {
        cross(std::to_string(nBits) + " bits", rsa_key(nBits).first, rsa_key(nBits).second);
    }
    Bn n, r, e;
    BN_copy(n, rsa_key(1024).first), BN_clear_bit(n, 0), cross("even", n, nullptr);
    BN_zero(n), cross("zero", n, nullptr);
    for (int nE : {3, 5, 17}) {
        BN_zero(r), BN_set_bit(r, (1017 + nE - 1) / nE), BN_add_word(r, static_cast<BN_ULONG>(2 * nE));
        BN_set_word(e, static_cast<BN_ULONG>(nE));
        BN_exp(n, r, e, ctx()), BN_sub_word(n, 1);
        for (const char *pK : {"-1", "", "+1"}) {
            cross("r^" + std::to_string(nE) + pK, n, nullptr), BN_add_word(n, 1);
        }
    }
    BN_zero(n), BN_set_bit(n, 1024), BN_sub_word(n, 1), cross("2^1024-1", n, nullptr);
}

// Block values (named) at the edges of restore and proof under pub: e-th roots,
// N's neighbours, 2^1023, random; with d, signed, that + N, one needing 128 bytes.
inline std::vector<std::pair<std::string, Bytes>> values(const Bytes &pub, const BIGNUM *d, const BIGNUM *nFull,
                                                         unsigned nSeed)
{
    std::vector<std::pair<std::string, Bytes>> out;
    Bn n(pub.data(), 128), e(pub.data() + 128, 128), r, power, zero;
    auto add = [&out](const std::string &name, const BIGNUM *a, long nAdd) {
        Bn v;
        BN_copy(v, a), BN_add_word(v, static_cast<BN_ULONG>(std::max(nAdd, 0L)));
        BN_sub_word(v, static_cast<BN_ULONG>(std::max(-nAdd, 0L)));
        out.emplace_back(name, bn_to_le(v, 128));
    };
    auto two = [&r](int nBit) { return BN_zero(r), BN_set_bit(r, nBit), r.p; };
    int nE = BN_num_bits(e) > 11 ? 2048 : std::max(1, int(BN_get_word(e))), nBits = BN_num_bits(n);
    add("2^(1015/e)", two(1015 / nE), 0), add("2^(1015/e)-1", r, -1), add("2^1023", two(1023), 0);
    add("2^(bits/e)", two(nBits / nE), 0), add("2^(bits/e+1)", two(nBits / nE + 1), 0), BN_zero(r);
    for (int nBit = nBits / nE + 1; nBit >= 0; nBit--) { // r = floor(N^(1/e)), from the top bit
        BN_set_bit(r, nBit), BN_set_word(power, static_cast<BN_ULONG>(nE)), BN_exp(power, r, power, ctx());
        BN_cmp(power, n) > 0 ? BN_clear_bit(r, nBit) : 1;
    }
    for (long k : {-1, 0, 1, 2}) {
        add("root" + std::to_string(k), r, k);
        k < 2 ? add("N" + std::to_string(k), n, k) : void();
        k >= 0 ? add(std::to_string(k), zero, k) : void();
    }
    Bytes b = random_bytes(128, nSeed);
    BN_lebin2bn(b.data(), 128, r), add("random", r, 0), BN_mod(r, r, n, ctx()), add("random<N", r, 0);
    if (d != nullptr) { // m of 127 bytes signed, that plus N, m + 2^1016 signed
        BN_lebin2bn(b.data(), 127, r), BN_mod_exp(power, r, d, nFull, ctx()), add("signed", power, 0);
        BN_add(power, power, n), add("signed+N", power, 0);
        BN_set_bit(r, 1016), BN_mod_exp(r, r, d, nFull, ctx()), add("128th byte", r, 0);
    }
    return out;
}

// Block table records named by their words that differ from ours (count, then
// start, end, keep of each entry, padding): each field and entry moved by one
// either way; blocks at the edges of the window and of 32 bits, overlapping,
// touching; keep bytes on and off block and window edges; counts; padding.
inline std::vector<std::pair<std::string, Bytes>> tables()
{
    const uint32_t ours[13] = {4, 0, 127, 431, 128, 255, 430, 256, 383, 429, 752, 879, 428};
    std::vector<std::pair<std::string, Bytes>> out;
    using Words = std::vector<std::pair<int, uint32_t>>; // word, value
    auto add = [&out, &ours](const Words &set) {
        uint32_t words[32] = {};
        std::string name = "ours";
        std::copy(ours, ours + 13, words);
        for (auto [nWord, nValue] : set) {
            words[nWord] = nValue, name += ", word " + std::to_string(nWord) + " " + std::to_string(nValue);
        }
        Bytes rec(128);
        for (size_t i = 0; i < 128; i++) {
            rec[i] = static_cast<unsigned char>(words[i / 4] >> (8 * (i % 4)));
        }
        out.emplace_back(name, rec);
    };
    add({});
    for (int i = 1; i < 13; i++) {
        for (uint32_t nBy : {~0u, 1u}) {
            i % 3 == 1 ? add({{i, ours[i] + nBy}, {i + 1, ours[i + 1] + nBy}}) : void(); // the entry's start and end
            add({{i, ours[i] + nBy}});
        }
    }
    for (auto [nEntry, nStart] : Words{{1, 0x7FFFFF81}, {2, 0x7FFFFFFF}, {0, 0xFFFFFF81},
             {3, 16300}, {3, 16256}, {3, 16257}, {1, 100}, {3, 0}, {3, 384}, {0, 0x80000000}}) {
        add({{3 * nEntry + 1, nStart}, {3 * nEntry + 2, nStart + 127}});
    }
    for (auto [nWord, nValue] : Words{{3, 0}, {6, 127}, {3, 128}, {9, 300}, {12, 383},
             {6, 384}, {9, 751}, {3, 752}, {6, 879}, {12, 880}, {9, 16383}, {12, 16384}, {3, 0xFFFFFFFF}, // keeps
             {0, 0}, {0, 3}, {0, 5}, {0, 0x104}, {0, 0x01000004}, {0, 0xFFFFFFFF}, {13, 1}, {13, 0x100}, {25, 1},
             {31, 0x01000000}}) { // counts, padding bytes 52, 53, 100, 127
        add({{nWord, nValue}});
    }
    return out;
}

// Four blocks that restore and prove a key with its d (seeds 0 to 3).
inline std::vector<Bytes> signed_blocks(const Bytes &pub, const BIGNUM *d, const BIGNUM *nFull)
{
    std::vector<Bytes> out;
    for (unsigned i = 0; i < 4; i++) {
        auto more = values(pub, d, nFull, i);
        out.push_back(std::find_if(more.begin(), more.end(), [](auto &v) { return v.first == "signed"; })->second);
    }
    return out;
}

// An image of 32 KiB and nTail random bytes with pub, table and blocks in place.
inline Bytes image(const Bytes &pub, const std::vector<Bytes> &blocks, const Bytes &table, size_t nTail, unsigned nSeed)
{
    Bytes img = random_bytes(kHead + nTail, nSeed);
    std::copy(pub.begin(), pub.end(), img.begin() + kSignN);
    std::copy(table.begin(), table.end(), img.begin() + kTable);
    for (size_t i = 0; i < 4; i++) {
        std::copy(blocks[i].begin(), blocks[i].end(), img.begin() + long(i == 3 ? 752 : 128 * i));
    }
    return img;
}

// Where the library's verdicts on an image's head first differ from the model's
// (or empty): the table, the stored key's use, each block's proof and restore.
inline std::string library_differs(const unsigned char *pHead)
{
    const unsigned char *pPublic = pHead + kSignN;
    RSA_ENC_BLK blocks[4];
    int64_t ent[4][3];
    int nEntry = -1, nWanted = -1, nTable = si_read_block_table(pHead + kWindow, blocks, &nEntry);
    std::string why = nTable != table(pHead + kTable, ent, &nWanted) || nEntry != nWanted ? "table" : "";
    why += (si_public_key_usable(pPublic) == 1) != usable(pPublic) ? "usable" : "";
    Bytes spl(pHead, pHead + kWindow), want = spl;
    for (int i = 0; nTable == SI_OK && why.empty() && i < 4; i++) {
        const RSA_ENC_BLK &b = blocks[i];
        unsigned char *pBlock = &spl[size_t(ent[i][0])];
        bool bSame = b.nEncStartAddr == ent[i][0] && b.nEncEndORG == ent[i][1] && b.nKeepAddr == ent[i][2];
        bool bProof = bSame && (si_block_proves_public_key(pBlock, pPublic) == 1) == proves(pBlock, pPublic);
        bool bRestore = bProof && (si_restore_block(spl.data(), &b, pPublic) == SI_OK) ==
                                      restore(want.data(), ent[i], pPublic) && spl == want;
        why = !bSame ? "entry " : !bProof ? "proof " : !bRestore ? "restore " : "";
        why += why.empty() ? "" : std::to_string(i);
    }
    return why;
}

// The failure lines of a text report: between "Restore: ..." and the verdict.
inline std::vector<std::string> failure_lines(const std::string &out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    bool bAfterRestore = false;
    while (std::getline(in, line)) {
        if (bAfterRestore) {
            lines.push_back(line);
        }
        bAfterRestore = bAfterRestore || line.rfind("Restore: ", 0) == 0;
    }
    if (!lines.empty()) {
        lines.pop_back();
    }
    return lines;
}

// Where verify_tool's status and report (text or JSON) differ from the verdict
// v (or empty): each check, failure lines, the verdict line or the JSON's flags.
inline std::string report_differs(const Verdict &v, const Bytes &image, int nStatus, const std::string &out, bool bJson)
{
    const char *kChecks[] = {"key", "original", "restore"}, *kNames[] = {"not requested", "passed", "failed"};
    const std::string kLines[] = {"\nKey check: ", "\nOriginal check: ", "\nRestore: "};
    nlohmann::json j = nlohmann::json::parse(bJson ? out : "{}", nullptr, false);
    Check checks[] = {v.key, v.original, v.restore};
    std::string why = nStatus != v.nStatus ? "status " : "", last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    for (int c = 0; c < 3; c++) {
        bool bShown = bJson ? j["checks"][kChecks[c]] == kNames[checks[c]]
                            : out.find(kLines[c] + kNames[checks[c]] + "\n") != std::string::npos;
        why += bShown ? "" : std::string(kChecks[c]) + " ";
    }
    if (bJson) {
        bool bSame = j["ok"] == (v.nStatus == 0) && j.value("status", nStatus) == v.nStatus &&
                     j["key_proven"] == v.bProven && j["key_trusted"] == (v.key == PASSED) &&
                     j.contains("note") == (v.key == NOT_ASKED) && j["block_table"]["valid"] == (v.nTable == SI_OK) &&
                     j["signing_key"]["usable"] == v.bUsable &&
                     j["signing_key"]["sha256"] == sha256_hex(&image[kSignN], 256) &&
                     j["blocks"].size() == (v.nTable == SI_OK ? 4u : 0u);
        for (size_t i = 0; bSame && i < j["blocks"].size(); i++) {
            bSame = j["blocks"][i]["restored"] == v.bRestored[i];
        }
        return why + (bSame ? "" : "json");
    }
    bool bLines = out.find("\nRestore: ") != std::string::npos && failure_lines(out) == v.failures;
    why += bLines ? "" : "failures ";
    why += out.find(v.nTable == SI_OK ? "block table: valid\n" : "block table: INVALID\n") != std::string::npos &&
           (v.bUsable || out.find(" (NOT USABLE)\n") != std::string::npos) ? "" : "map "; // the map
    int nKind = v.nStatus != 0 ? 0 : v.key == PASSED ? 1 : v.bProven ? 2 : 3; // the verdict, of four kinds
    bool bKind = nKind == 0   ? last.rfind("Verification FAILED", 0) == 0
                 : nKind == 1 ? last == "Verified\n"
                              : last.rfind("Verified, but", 0) == 0 &&
                                    (last.find("no block proves") != std::string::npos) == (nKind == 3);
    return why + (bKind ? "" : "verdict");
}

} // namespace model
