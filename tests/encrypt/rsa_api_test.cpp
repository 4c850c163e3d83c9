// SPDX-License-Identifier: Apache-2.0
// The codec against OpenSSL's BN_mod_exp on keys made in the test.
#include <gtest/gtest.h>
#include <openssl/rsa.h>
#include <sys/random.h>
#include <sys/syscall.h>

#include "image/image_model.h"
#include "rsa_internal.h"
#include "test_support.h"

// getrandom for the codec, which fails (ENOSYS) once g_nRandomCalls calls have
// run; -1: it never fails.
int g_nRandomCalls = -1;
extern "C" ssize_t getrandom(void *pBuffer, size_t nLen, unsigned int nFlags)
{
    if (g_nRandomCalls == 0) {
        errno = ENOSYS;
        return -1;
    }
    g_nRandomCalls -= g_nRandomCalls > 0 ? 1 : 0;
    return syscall(SYS_getrandom, pBuffer, nLen, nFlags);
}

namespace {

// One call of the codec and what it must give: for a call it serves, the
// chunks of OpenSSL's BN_mod_exp for its mode (the low four bits: 0 and 1 take
// k - 1 bytes to k with e or d, 2 and 3 take k bytes to k - 1), the rest of the
// capacity cleared; for a call it refuses, status 1, length 0 and the whole
// capacity cleared. Nothing past the capacity is written, and nothing is
// printed but the message of an unknown mode.
struct CodecCall {
    std::string why;
    Bytes blob;
    int nMode;
    Bytes src;
    int nDataLen;
    int nCapacity;
    bool bServed;
    bool bNullKey = false; // the call names no key: the built-in one, which blob holds
};

void expect_the_models_result(const CodecCall &c)
{
    Bytes out(static_cast<size_t>(c.nCapacity) + 16, 0xEE), want(static_cast<size_t>(c.nCapacity), 0);
    int nLen = c.nCapacity, nWantLen = 0, nMode = c.nMode & RSA_MODE_MASK;
    testing::internal::CaptureStdout();
    int nStatus = do_rsa_enc_dec(c.src.data(), c.nDataLen, out.data(), &nLen, c.nMode,
                                 c.bNullKey ? nullptr : c.blob.data());
    std::string printed = testing::internal::GetCapturedStdout();
    model::Bn n(c.blob.data(), 128), exp(c.blob.data() + (nMode % 2 ? 256 : 128), 128);
    int k = BN_num_bytes(n), nIn = nMode < 2 ? k - 1 : k, nOut = 2 * k - 1 - nIn;
    for (int i = 0; c.bServed && i + nIn <= c.nDataLen; i += nIn, nWantLen += nOut) {
        Bytes chunk = model_modexp(Bytes(c.src.begin() + i, c.src.begin() + i + nIn), exp, n, nOut);
        std::copy(chunk.begin(), chunk.end(), want.begin() + nWantLen);
    }
    EXPECT_EQ(nStatus, c.bServed ? 0 : 1) << c.why;
    EXPECT_EQ(nLen, nWantLen) << c.why;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.nCapacity), want) << c.why;
    EXPECT_EQ(Bytes(out.begin() + c.nCapacity, out.end()), Bytes(16, 0xEE)) << c.why;
    std::string message = "Internal error! Not support this enc-dec mode " + std::to_string(c.nMode) + "\n";
    EXPECT_EQ(printed, nMode < 4 ? "" : message) << c.why;
}

// Mode 3 against BN_mod_exp over fresh keys of 1017 to 1024 bits with e = 3
// and 65537, on 0, 1, N - 1, N, the top 128-byte value and a random chunk, for
// each key and for blobs whose exponents do not undo each other: another d,
// the other e, an even e, a zero d, d + lambda/2 (which undoes e on some
// values: the blinding must not change its results).
TEST(CodecPrivate, MatchesTheModelOverFreshKeysAndEdgeValues)
{
    for (int i = 0; i < 8; i++) {
        Bytes key = fresh_blob(1017 + i, i % 2 == 0 ? 3 : 65537);
        Bytes last(key.begin(), key.begin() + 128);
        last[0]--;
        Bytes src;
        for (const Bytes &chunk : {Bytes(128, 0), bn_to_le(BN_value_one(), 128), last,
                                   Bytes(key.begin(), key.begin() + 128), Bytes(128, 0xFF), random_bytes(128, i)}) {
            src.insert(src.end(), chunk.begin(), chunk.end());
        }
        std::vector<Bytes> blobs(6, key);
        model::Bn dHalf(key.data() + 256, 128), half(key.data() + 384, 128), lambda;
        BN_lshift1(lambda, half), BN_add(dHalf, dHalf, half), BN_nnmod(dHalf, dHalf, lambda, model::ctx());
        blobs[5] = bn_to_le(dHalf, 128); // (d + lambda/2) mod lambda: undoes e on some values only
        blobs[5].insert(blobs[5].begin(), key.begin(), key.begin() + 256);
        blobs[1][300] ^= 0x10;
        blobs[2][128] ^= 2;
        blobs[2][130] ^= 1;
        blobs[3][128] ^= 1;
        std::fill(blobs[4].begin() + 256, blobs[4].end(), 0);
        for (const Bytes &blob : blobs) {
            expect_the_models_result({"key " + std::to_string(i) + ", e " + std::to_string(blob[128]) + ", d " +
                                          std::to_string(blob[256]),
                                      blob, RSA_MODE_PRIVATE_DEC, src, 6 * 128, 6 * 127, true});
        }
    }
}

// Without randomness a private-key block is refused, never run unblinded,
// the first block or a later one: the whole output is cleared.
TEST(CodecPrivate, NoRandomnessIsARefusal)
{
    Bytes blob = key_blob(test_key(1024)), src = random_bytes(254, 21);
    for (int nCalls : {0, 1, 2}) {
        Bytes out(256, 0xEE);
        int nLen = 256;
        g_nRandomCalls = nCalls;
        int nStatus = do_rsa_enc_dec(src.data(), 254, out.data(), &nLen, RSA_MODE_PRIVATE_ENC, blob.data());
        g_nRandomCalls = -1;
        EXPECT_TRUE(out == Bytes(256, 0) && nStatus == 1 && nLen == 0) << nCalls << " calls of getrandom";
    }
}

// Instructions of one private block (callgrind, in do_rsa_enc_dec) of an
// encrypt_tool run: a dense and a sparse d of 1023 bits, same N, e and image,
// differ by at most 1%; neither undoes e, so the block is exponentiated
// blinded, then again unblinded. The key's own d signs four blocks at under
// 0.55 of that each (0.52; 0.64 if one were exponentiated twice).
TEST(CodecTiming, PrivateBlockInstructionsDoNotFollowTheExponent)
{
#if defined(__clang__)
    GTEST_SKIP() << "valgrind cannot read the debug information clang writes";
#endif
    if (SANITIZED_BUILD || !file_exists("/usr/bin/valgrind")) {
        GTEST_SKIP() << "needs valgrind and a build without sanitizers";
    }
    const TestKey &key = test_key(1024);
    TempDir dir;
    auto count = [&](const Bytes &d) {
        write_file(dir.file("k.key"), key_file(key.n, key.e, model::Bn(d.data(), 128)));
        run_program({"/usr/bin/valgrind", "--tool=callgrind", "--toggle-collect=do_rsa_enc_dec",
                     "--callgrind-out-file=" + dir.file("cg.out"), ENCRYPT_TOOL_PATH, EXAMPLES_DIR "/input.img",
                     dir.file("o.img"), EXAMPLES_DIR "/code.bin", dir.file("k.key"), EXAMPLES_DIR "/common_test.key"},
                    300);
        Bytes out = read_file(dir.file("cg.out"));
        std::string text(out.begin(), out.end());
        size_t nAt = text.find("\nsummary: ");
        return nAt == std::string::npos ? -1.0 : std::stod(text.substr(nAt + 10));
    };
    Bytes dense(128, 0xFF), sparse(128, 0); // d of 1023 bits
    dense[127] = 0x7F;
    sparse[127] = 0x40;
    sparse[0] = 1;
    double nSparse = count(sparse);
    EXPECT_NEAR(count(dense), nSparse, 0.01 * nSparse);
    EXPECT_LT(count(bn_to_le(key.d, 128)) / 4, 0.55 * nSparse);
}

// Every mode over three chunks for keys of 1024, 1017 and 512 bits (so modes
// 1 and 2, 0 and 3, undo each other, as the model's powers do); results
// with zero bytes at the top; exponents of zero; the mode word's high bits;
// and the calls it refuses: an even modulus, unknown modes, a length that ends
// inside a chunk, too little capacity, moduli of a byte. An empty input is
// served with nothing, and the source is then never read. Without a length, a
// source or a capacity of 0 or more, a call fails and writes nothing.
TEST(Codec, EveryCallGivesTheModelsChunksOrARefusal)
{
    std::vector<CodecCall> calls;
    for (int nBits : {1024, 1017, 512}) {
        const TestKey &key = test_key(nBits);
        for (int nMode = 0, k = (nBits + 7) / 8; nMode < 4; nMode++) {
            int nIn = nMode < 2 ? k - 1 : k;
            Bytes src;
            for (unsigned c = 0; c < 3; c++) {
                Bytes chunk = random_bytes(static_cast<size_t>(nIn), 100 * static_cast<unsigned>(nMode) + c);
                chunk.back() = nIn == k ? 0 : chunk.back(); // a k-byte chunk is kept under N by its top byte
                src.insert(src.end(), chunk.begin(), chunk.end());
            }
            calls.push_back({std::to_string(nBits) + " bits, mode " + std::to_string(nMode), key_blob(key), nMode, src,
                             3 * nIn, 3 * (2 * k - 1 - nIn) + 5, true});
            // Modes 2 and 3 on what modes 1 and 0 give (its top byte unlike a chunk's): the chunk back.
            const BIGNUM *pBack = nMode == 2 ? key.d : key.e;
            nMode > 1 ? calls.push_back({"mode " + std::to_string(nMode) + " of the other's", key_blob(key), nMode,
                                         model_modexp(random_bytes(size_t(k - 1), 7), pBack, key.n, k), k, k - 1, true})
                      : void();
        }
    }
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key), even = blob, noExponents = blob, small(127, 0), topZero;
    even[0] &= 0xFE;
    std::fill(noExponents.begin() + 128, noExponents.end(), 0);
    small[0] = 0x34, small[1] = 0x12;
    for (unsigned nSeed = 0; topZero.empty() || model_modexp(topZero, key.e, key.n, 128)[127] != 0; nSeed++) {
        topZero = random_bytes(127, nSeed);
    }
    calls.insert(calls.end(), {{"a result with a zero top byte", blob, 0, topZero, 127, 128, true},
                               {"a result of two bytes", blob, 2, model_modexp(small, key.d, key.n, 128), 128, 127, true},
                               {"zero exponents", noExponents, 0, random_bytes(254, 3), 254, 256, true},
                               {"a zero chunk", blob, 1, Bytes(127, 0), 127, 128, true},
                               {"mode word 0x11", blob, 0x11, random_bytes(127, 4), 127, 128, true},
                               {"a length inside a chunk", blob, 1, random_bytes(254, 5), 200, 300, false},
                               {"capacity a byte short", blob, 1, random_bytes(254, 5), 254, 255, false},
                               {"no capacity", blob, 1, random_bytes(254, 5), 127, 0, false}});
    for (int nMode : {0x17, 4, 15, 0, 1, 2, 3}) {
        Bytes src = random_bytes(128, 9);
        src[127 - (nMode < 2)] = 0;
        calls.push_back({"mode " + std::to_string(nMode) + (nMode < 4 ? ", even modulus" : ""), nMode < 4 ? even : blob,
                         nMode, src, nMode % 16 < 2 ? 127 : 128, 200, false});
    }
    for (int nMode = 0; nMode < 4; nMode++) { // lengths that end inside a chunk: a byte, a chunk less and more one
        for (int nLen : {1, nMode < 2 ? 126 : 127, nMode < 2 ? 128 : 129}) {
            calls.push_back({"mode " + std::to_string(nMode) + ", length " + std::to_string(nLen), blob, nMode,
                             random_bytes(129, 10), nLen, 512, false});
        }
    }
    for (int nDataLen : {0, -1, -1000}) {
        calls.push_back({"length " + std::to_string(nDataLen), blob, 1, Bytes(1), nDataLen, 64, true});
    }
    for (unsigned char nTiny : {0x00, 0x05, 0xFF}) {
        Bytes tiny(384, 0);
        tiny[0] = nTiny, tiny[128] = 3;
        calls.push_back({"modulus " + std::to_string(nTiny), tiny, 0, Bytes(1), 1, 10, false});
    }
    for (const CodecCall &c : calls) {
        expect_the_models_result(c);
    }
    Bytes src = random_bytes(127 * 2, 5), out(300, 0xEE);
    EXPECT_EQ(do_rsa_enc_dec(src.data(), 127, out.data(), nullptr, 1, blob.data()), 1);
    EXPECT_EQ(out, Bytes(300, 0xEE)) << "no capacity is known without the length";
    EXPECT_EQ(do_rsa_enc_dec(nullptr, 127, out.data(), nullptr, 1, blob.data()), 1);
    int nLen = -5;
    EXPECT_EQ(do_rsa_enc_dec(src.data(), 127, out.data(), &nLen, 1, blob.data()), 1);
    EXPECT_EQ(nLen, 0);
    EXPECT_EQ(out, Bytes(300, 0xEE));
}

// The null key selects the built-in key: an odd, full-length modulus whose
// exponents undo each other, checked with OpenSSL.
TEST(Codec, NullKeyUsesTheBuiltInDefaultKey)
{
    fp_int n, e, d;
    ASSERT_EQ(get_rsa_key(&n, &e, &d), 0);
    EXPECT_EQ(get_rsa_key(&n, nullptr, &d), 1);
    Bytes blob(384);
    store_fp_le(&n, blob.data(), 128);
    store_fp_le(&e, blob.data() + 128, 128);
    store_fp_le(&d, blob.data() + 256, 128);
    model::Bn bn(blob.data(), 128), be(blob.data() + 128, 128), bd(blob.data() + 256, 128);
    EXPECT_EQ(BN_num_bits(bn), 1024);
    EXPECT_TRUE(BN_is_odd(bn));
    EXPECT_EQ(BN_get_word(be), 65537u);
    Bytes msg = random_bytes(127, 11);
    for (bool bNullKey : {false, true}) {
        expect_the_models_result({bNullKey ? "null key" : "built-in key", blob, RSA_MODE_PRIVATE_ENC, msg, 127, 128,
                                  true, bNullKey});
    }
    EXPECT_EQ(model_modexp(model_modexp(msg, bd, bn, 128), be, bn, 127), msg) << "e undoes d";
}

// Stack below the current frame, painted, then read back after a call:
// outside any object, so the address sanitizer is kept out of these.
constexpr size_t kPaintBytes = 200 * 1024;
constexpr unsigned char kPaint = 0xA5;

[[gnu::noinline]] __attribute__((no_sanitize("address"))) void paint_stack_below()
{
    unsigned char szPaint[kPaintBytes];
    memset(szPaint, kPaint, sizeof(szPaint));
    asm volatile("" : : "r"(szPaint) : "memory");
}

// The byte nBelow bytes under this frame's frame address nFrame.
__attribute__((no_sanitize("address"))) unsigned char stack_byte(uintptr_t nFrame, size_t nBelow)
{
    return *reinterpret_cast<const volatile unsigned char *>(nFrame - nBelow);
}

// How far below this frame a private-key block on a 1024-bit key writes, and
// whether the first 16 bytes of value are left there.
[[gnu::noinline]] __attribute__((no_sanitize("address"))) size_t exptmod_depth(const Bytes &blob, const Bytes &msg,
                                                                            const Bytes &value, bool *pbLeft)
{
    static fp_int n, e, d, c, m;
    load_fp_le(&n, blob.data(), 128);
    load_fp_le(&e, blob.data() + 128, 128);
    load_fp_le(&d, blob.data() + 256, 128);
    load_fp_le(&c, msg.data(), 127);
    uintptr_t nFrame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    paint_stack_below();
    rsa_private_exptmod(&c, &d, &e, &n, &m);
    size_t nDepth = kPaintBytes;
    while (nDepth > 0 && stack_byte(nFrame, nDepth) == kPaint) {
        nDepth--;
    }
    Bytes below(nDepth);
    for (size_t i = 1; i <= nDepth; i++) {
        below[nDepth - i] = stack_byte(nFrame, i);
    }
    *pbLeft = std::search(below.begin(), below.end(), value.begin(), value.begin() + 16) != below.end();
    return nDepth;
}

// Bytes between nNear and nFar below this frame that a private-key call left
// neither painted nor zero; *pbExponent when 16 bytes of the private exponent
// are anywhere in the first nFar bytes below it. The call is a block of 127
// bytes in mode 1, or one it refuses (nMode, nDataLen), or two blocks whose
// second finds no randomness (nDataLen 254, after nRandomCalls calls).
[[gnu::noinline]] __attribute__((no_sanitize("address"))) size_t
left_below_private_call(const Bytes &blob, size_t nNear, size_t nFar, bool *pbExponent,
                        int nMode = RSA_MODE_PRIVATE_ENC, int nDataLen = 127, int nRandomCalls = -1)
{
    static unsigned char szMsg[254];
    static unsigned char szOut[256];
    uintptr_t nFrame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    paint_stack_below();
    int nLen = 256;
    g_nRandomCalls = nRandomCalls;
    do_rsa_enc_dec(szMsg, nDataLen, szOut, &nLen, nMode, blob.data());
    g_nRandomCalls = -1;
    size_t nLeft = 0;
    Bytes below(nFar);
    for (size_t i = 1; i <= nFar; i++) {
        unsigned char b = stack_byte(nFrame, i);
        below[nFar - i] = b;
        nLeft += i >= nNear && b != 0 && b != kPaint ? 1 : 0;
    }
    *pbExponent = false;
    for (size_t i = 0; i + 16 <= 128; i += 8) {
        auto window = blob.begin() + 256 + static_cast<long>(i);
        *pbExponent = *pbExponent || std::search(below.begin(), below.end(), window, window + 16) != below.end();
    }
    return nLeft;
}

// The wipe after a private-key call reaches as deep as a private-key block
// (less its deepest frame), needs no more stack than it, and leaves nothing
// of its temporaries behind; the exponent's own copies are wiped too. A block
// wipes what it holds itself: with a d that does not undo e, its last
// exponentiation is of c = 2, with the entry 2^31 * 2^1024 mod N, whose copies
// in the library's temporaries later products replace (d's low window is 1).
TEST(CodecSecrets, StackUnderAPrivateCallIsWipedNoDeeperThanUsed)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    Bytes otherD = blob;
    otherD[256] = 1;
    otherD[257] ^= 1;
    Bytes two(127, 0);
    two[0] = 2;
    model::Bn exp;
    BN_set_word(exp, 31 + 1024);
    bool bLeft = true;
    size_t nDepth = exptmod_depth(otherD, two, model_modexp(two, exp, key.n, 128), &bLeft);
    EXPECT_FALSE(bLeft) << "a table entry is left on the stack";
    EXPECT_LE(STACK_BURN_BYTES + 512, nDepth) << "the wipe must need less stack than the exponentiation";
    EXPECT_GE(STACK_BURN_BYTES + 2048, nDepth) << "the wipe must reach nearly as deep as the exponentiation";
    bool bExponent = true;
    // Every return wipes the exponent's copies: a block each way, an unknown mode, a length it refuses, a block
    // refused after one done. (The first refusal binds printf, and the binder saves vector registers on the stack: one
    // comes first.)
    auto quietly = [&bExponent](const Bytes &key, size_t nNear, int nMode, int nDataLen, int nRandomCalls = -1) {
        testing::internal::CaptureStdout(); // a refused mode's message
        size_t nLeft =
            left_below_private_call(key, nNear, STACK_BURN_BYTES, &bExponent, nMode, nDataLen, nRandomCalls);
        testing::internal::GetCapturedStdout();
        return nLeft;
    };
    quietly(Bytes(384, 1), 0, 0x0F, 127);
    for (auto [nMode, nDataLen, nCalls] : {std::tuple<int, int, int>{RSA_MODE_PRIVATE_ENC, 127, -1},
                                           {RSA_MODE_PRIVATE_DEC, 128, -1}, {0x0F, 127, -1}, {1, 1, -1},
                                           {RSA_MODE_PRIVATE_ENC, 254, 2}}) {
        EXPECT_EQ(quietly(blob, 12 * 1024, nMode, nDataLen, nCalls), 0u) << nMode << ", " << nDataLen;
        EXPECT_FALSE(bExponent) << "the private exponent is left on the stack, mode " << nMode << ", " << nDataLen;
    }
}

} // namespace
