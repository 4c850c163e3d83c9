// SPDX-License-Identifier: Apache-2.0
// The codec against OpenSSL's BN_mod_exp on keys made in the test.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include "rsa_internal.h"
#include "test_support.h"

namespace {

struct ModeCase {
    int nMode;
    bool bPrivate;
    int nInDelta;   // chunk sizes relative to k
    int nOutDelta;
};

constexpr ModeCase kModes[] = {
    {RSA_MODE_PUBLIC_ENC, false, -1, 0},
    {RSA_MODE_PRIVATE_ENC, true, -1, 0},
    {RSA_MODE_PUBLIC_DEC, false, 0, -1},
    {RSA_MODE_PRIVATE_DEC, true, 0, -1},
};

// A chunk below the modulus: the top byte of a k-byte chunk is kept under n's.
Bytes chunk_below(const TestKey &key, int nLen, unsigned nSeed)
{
    Bytes chunk = random_bytes(static_cast<size_t>(nLen), nSeed);
    int k = (key.bits + 7) / 8;
    if (nLen == k) {
        chunk[static_cast<size_t>(k - 1)] = 0;
    }
    return chunk;
}

Bytes run_codec(const Bytes &src, int nCapacity, int procedure, const unsigned char *pKey, int *pStatus,
                int *pLen)
{
    Bytes out(static_cast<size_t>(nCapacity), 0xEE);
    *pLen = nCapacity;
    *pStatus = do_rsa_enc_dec(src.data(), static_cast<int>(src.size()), out.data(), pLen, procedure, pKey);
    return out;
}

class CodecKeys : public ::testing::TestWithParam<int> {};

// Every mode, three chunks in one call, each chunk equal to OpenSSL's result.
TEST_P(CodecKeys, AllModesMatchOpenSslOverSeveralChunks)
{
    const TestKey &key = test_key(GetParam());
    Bytes blob = key_blob(key);
    int k = (key.bits + 7) / 8;
    for (const ModeCase &mode : kModes) {
        int nIn = k + mode.nInDelta;
        int nOut = k + mode.nOutDelta;
        Bytes src;
        Bytes expected;
        for (unsigned c = 0; c < 3; c++) {
            Bytes chunk = chunk_below(key, nIn, 100 * static_cast<unsigned>(mode.nMode) + c);
            src.insert(src.end(), chunk.begin(), chunk.end());
            // Decryption of a random chunk gives a full-size value: only its
            // low k - 1 bytes are kept.
            Bytes want = model_modexp(chunk, mode.bPrivate ? key.d : key.e, key.n, nOut);
            expected.insert(expected.end(), want.begin(), want.end());
        }
        int nStatus = 0;
        int nLen = 0;
        Bytes out = run_codec(src, 3 * nOut + 5, mode.nMode, blob.data(), &nStatus, &nLen);
        EXPECT_EQ(nStatus, 0) << "mode " << mode.nMode;
        ASSERT_EQ(nLen, 3 * nOut) << "mode " << mode.nMode;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + nLen), expected) << "mode " << mode.nMode;
        EXPECT_EQ(Bytes(out.begin() + nLen, out.end()), Bytes(5, 0)) << "the rest of the capacity is cleared";
    }
}

// Mode 1 then 2, and mode 0 then 3, give the chunk back.
TEST_P(CodecKeys, MatchedModesRoundTrip)
{
    const TestKey &key = test_key(GetParam());
    Bytes blob = key_blob(key);
    int k = (key.bits + 7) / 8;
    Bytes msg = random_bytes(static_cast<size_t>(k - 1), 7);
    for (auto [nForward, nBack] : {std::pair{1, 2}, std::pair{0, 3}}) {
        int nStatus = 0;
        int nLen = 0;
        Bytes mid = run_codec(msg, k, nForward, blob.data(), &nStatus, &nLen);
        ASSERT_EQ(nLen, k);
        Bytes back = run_codec(mid, k - 1, nBack, blob.data(), &nStatus, &nLen);
        EXPECT_EQ(nStatus, 0);
        EXPECT_EQ(back, msg);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CodecKeys, ::testing::Values(1024, 1017, 512));

// A fresh key blob of nBits with public exponent nE, made by OpenSSL.
Bytes fresh_blob(int nBits, unsigned nE)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    BIGNUM *e = BN_new();
    EVP_PKEY *pkey = nullptr;
    EXPECT_TRUE(BN_set_word(e, nE) && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, nBits) > 0 &&
                EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) > 0 && EVP_PKEY_keygen(ctx, &pkey) > 0);
    Bytes blob;
    for (const char *name : {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D}) {
        BIGNUM *bn = nullptr;
        EVP_PKEY_get_bn_param(pkey, name, &bn);
        Bytes field = bn_to_le(bn, 128);
        blob.insert(blob.end(), field.begin(), field.end());
        BN_clear_free(bn);
    }
    BN_free(e);
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    return blob;
}

// Mode 3 against BN_mod_exp over fresh keys of 1017 to 1024 bits with e = 3
// and 65537, on 0, 1, N - 1, N, the top 128-byte value and a random chunk, for
// each key and for blobs whose exponents do not undo each other: another d,
// the other e, an even e, a zero d.
TEST(CodecPrivate, MatchesTheModelOverFreshKeysAndEdgeValues)
{
    for (int i = 0; i < 8; i++) {
        Bytes key = fresh_blob(1017 + i, i % 2 == 0 ? 3 : 65537);
        BIGNUM *n = bn_from_le(key.data(), 128);
        Bytes last(key.begin(), key.begin() + 128);
        last[0]--;
        std::vector<Bytes> chunks = {Bytes(128, 0), bn_to_le(BN_value_one(), 128), last, bn_to_le(n, 128),
                                     Bytes(128, 0xFF), random_bytes(128, i)};
        std::vector<Bytes> blobs(5, key);
        blobs[1][300] ^= 0x10;
        blobs[2][128] ^= 2;
        blobs[2][130] ^= 1;
        blobs[3][128] ^= 1;
        std::fill(blobs[4].begin() + 256, blobs[4].end(), 0);
        for (const Bytes &blob : blobs) {
            BIGNUM *d = bn_from_le(blob.data() + 256, 128);
            Bytes src;
            Bytes expected;
            for (const Bytes &chunk : chunks) {
                src.insert(src.end(), chunk.begin(), chunk.end());
                Bytes want = model_modexp(chunk, d, n, 127);
                expected.insert(expected.end(), want.begin(), want.end());
            }
            int nStatus = 1;
            int nLen = 0;
            EXPECT_EQ(run_codec(src, 6 * 127, RSA_MODE_PRIVATE_DEC, blob.data(), &nStatus, &nLen), expected)
                << "key " << i << ", e " << int(blob[128]) << ", d " << int(blob[256]);
            EXPECT_EQ(nStatus, 0);
            BN_clear_free(d);
        }
        BN_free(n);
    }
}

// Forbids getrandom; exits with 0 when a private-key block is then refused.
[[noreturn]] void sign_without_randomness(const Bytes &blob)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {4, filter};
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog);
    int nStatus = 0;
    int nLen = 0;
    Bytes out = run_codec(random_bytes(127, 21), 128, RSA_MODE_PRIVATE_ENC, blob.data(), &nStatus, &nLen);
    _exit(out == Bytes(128, 0) && nStatus == 1 && nLen == 0 ? 0 : 1);
}

// Without randomness a private-key block is refused, never run unblinded.
TEST(CodecPrivate, NoRandomnessIsARefusal)
{
    EXPECT_EXIT(sign_without_randomness(key_blob(test_key(1024))), ::testing::ExitedWithCode(0), "");
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
        BIGNUM *bn = bn_from_le(d.data(), 128);
        write_file(dir.file("k.key"), key_file(key.n, key.e, bn));
        BN_free(bn);
        run_program({"/usr/bin/valgrind", "--tool=callgrind", "--toggle-collect=do_rsa_enc_dec",
                     "--callgrind-out-file=" + dir.file("cg.out"), ENCRYPT_TOOL_PATH, EXAMPLES_DIR "/input.img",
                     dir.file("o.img"), EXAMPLES_DIR "/code.bin", dir.file("k.key"), EXAMPLES_DIR "/common_test.key"},
                    300);
        Bytes out = read_file(dir.file("cg.out"));
        std::string text(out.begin(), out.end());
        size_t nAt = text.find("\nsummary: ");
        return nAt == std::string::npos ? -1.0 : std::stod(text.substr(nAt + 10));
    };
    Bytes dense(128, 0xFF);
    Bytes sparse(128, 0);
    dense[127] = 0x7F;
    sparse[127] = 0x40;
    sparse[0] = 1;
    double nSparse = count(sparse);
    EXPECT_NEAR(count(dense), nSparse, 0.01 * nSparse);
    EXPECT_LT(count(bn_to_le(key.d, 128)) / 4, 0.55 * nSparse);
}

// A result whose high bytes are zero is written with zero bytes at the top.
TEST(Codec, ResultWithHighZeroBytesIsPaddedAtTheTop)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    // Search a plaintext whose public-key result has a zero top byte.
    for (unsigned seed = 0; seed < 20000; seed++) {
        Bytes msg = random_bytes(127, seed);
        Bytes want = model_modexp(msg, key.e, key.n, 128);
        if (want[127] != 0) {
            continue;
        }
        int nStatus = 0;
        int nLen = 0;
        Bytes out = run_codec(msg, 128, RSA_MODE_PUBLIC_ENC, blob.data(), &nStatus, &nLen);
        EXPECT_EQ(nLen, 128);
        EXPECT_EQ(out, want);
        // And the way back gives a short value (here 2 bytes) padded to 127.
        Bytes small(127, 0);
        small[0] = 0x34;
        small[1] = 0x12;
        Bytes signedSmall = model_modexp(small, key.d, key.n, 128);
        Bytes back = run_codec(signedSmall, 127, RSA_MODE_PUBLIC_DEC, blob.data(), &nStatus, &nLen);
        EXPECT_EQ(back, small);
        return;
    }
    FAIL() << "no result with a zero top byte found";
}

TEST(Codec, ZeroExponentGivesOneAndZeroChunkGivesZero)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    Bytes zeroExp = blob;
    std::fill(zeroExp.begin() + 128, zeroExp.end(), 0);
    Bytes msg = random_bytes(127 * 2, 3);
    int nStatus = 0;
    int nLen = 0;
    Bytes out = run_codec(msg, 256, RSA_MODE_PUBLIC_ENC, zeroExp.data(), &nStatus, &nLen);
    Bytes one(128, 0);
    one[0] = 1;
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 128), one);
    EXPECT_EQ(Bytes(out.begin() + 128, out.end()), one);

    out = run_codec(Bytes(127, 0), 128, RSA_MODE_PRIVATE_ENC, blob.data(), &nStatus, &nLen);
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(out, Bytes(128, 0));
}

// An even modulus is refused rather than giving zero chunks with success.
TEST(Codec, EvenModulusIsAFailure)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    blob[0] &= 0xFE;
    for (int nMode = 0; nMode < 4; nMode++) {
        Bytes src = random_bytes(nMode < 2 ? 127 : 128, 9);
        src[127 - (nMode < 2)] = 0;
        int nStatus = 0;
        int nLen = 0;
        Bytes out = run_codec(src, 200, nMode, blob.data(), &nStatus, &nLen);
        EXPECT_EQ(nStatus, 1) << "mode " << nMode;
        EXPECT_EQ(nLen, 0);
        EXPECT_EQ(out, Bytes(200, 0));
    }
}

TEST(Codec, ModeWordUsesLowFourBitsAndReportsUnknownModes)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    Bytes msg = random_bytes(127, 4);
    int nStatus = 0;
    int nLen = 0;
    Bytes plain = run_codec(msg, 128, 0x01, blob.data(), &nStatus, &nLen);
    Bytes flagged = run_codec(msg, 128, 0x11, blob.data(), &nStatus, &nLen);
    EXPECT_EQ(flagged, plain);

    for (int procedure : {0x17, 4, 15}) {
        testing::internal::CaptureStdout();
        Bytes out = run_codec(msg, 128, procedure, blob.data(), &nStatus, &nLen);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, "Internal error! Not support this enc-dec mode " + std::to_string(procedure) + "\n");
        EXPECT_EQ(nStatus, 1);
        EXPECT_EQ(nLen, 0);
        EXPECT_EQ(out, Bytes(128, 0));
    }
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
    BIGNUM *bn = bn_from_le(blob.data(), 128);
    BIGNUM *be = bn_from_le(blob.data() + 128, 128);
    BIGNUM *bd = bn_from_le(blob.data() + 256, 128);
    EXPECT_EQ(BN_num_bits(bn), 1024);
    EXPECT_TRUE(BN_is_odd(bn));
    EXPECT_EQ(BN_get_word(be), 65537u);

    Bytes msg = random_bytes(127, 11);
    int nStatus = 0;
    int nLen = 0;
    Bytes viaNull = run_codec(msg, 128, RSA_MODE_PRIVATE_ENC, nullptr, &nStatus, &nLen);
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(viaNull, model_modexp(msg, bd, bn, 128));
    EXPECT_EQ(viaNull, run_codec(msg, 128, RSA_MODE_PRIVATE_ENC, blob.data(), &nStatus, &nLen));
    Bytes back = model_modexp(viaNull, be, bn, 127);
    EXPECT_EQ(back, msg);
    BN_free(bn);
    BN_free(be);
    BN_free(bd);
}

// Calls outside the caller's obligations fail before any chunk, with the
// capacity cleared and nothing written past it.
TEST(Codec, RefusesCallsOutsideItsContract)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    Bytes src = random_bytes(127 * 2, 5);
    Bytes out(300, 0xEE);

    EXPECT_EQ(do_rsa_enc_dec(src.data(), 127, out.data(), nullptr, 1, blob.data()), 1);
    EXPECT_EQ(out, Bytes(300, 0xEE)) << "no capacity is known without the length";
    EXPECT_EQ(do_rsa_enc_dec(nullptr, 127, out.data(), nullptr, 1, blob.data()), 1);

    int nLen = -5;
    EXPECT_EQ(do_rsa_enc_dec(src.data(), 127, out.data(), &nLen, 1, blob.data()), 1);
    EXPECT_EQ(nLen, 0);
    EXPECT_EQ(out, Bytes(300, 0xEE));

    struct {
        int nDataLen;
        int nCapacity;
        const char *why;
    } cases[] = {
        {200, 300, "length ends inside a chunk"},
        {254, 255, "capacity one byte short of two chunks"},
        {127, 0, "no capacity"},
    };
    for (const auto &c : cases) {
        std::fill(out.begin(), out.end(), 0xEE);
        nLen = c.nCapacity;
        EXPECT_EQ(do_rsa_enc_dec(src.data(), c.nDataLen, out.data(), &nLen, 1, blob.data()), 1) << c.why;
        EXPECT_EQ(nLen, 0) << c.why;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.nCapacity), Bytes(static_cast<size_t>(c.nCapacity), 0));
        EXPECT_EQ(Bytes(out.begin() + c.nCapacity, out.end()), Bytes(300 - static_cast<size_t>(c.nCapacity), 0xEE))
            << c.why;
    }

    for (unsigned char nTiny : {0x00, 0x05, 0xFF}) {
        Bytes tinyKey(384, 0);
        tinyKey[0] = nTiny;
        tinyKey[128] = 3;
        nLen = 10;
        EXPECT_EQ(do_rsa_enc_dec(src.data(), 1, out.data(), &nLen, 0, tinyKey.data()), 1) << int(nTiny);
        EXPECT_EQ(nLen, 0);
    }
}

// A length of zero or less processes nothing, clears the capacity and succeeds;
// the source is then never read.
TEST(Codec, EmptyInputClearsOutput)
{
    Bytes blob = key_blob(test_key(1024));
    Bytes out(64, 0xEE);
    unsigned char dummy = 0;
    for (int nDataLen : {0, -1, -1000}) {
        int nLen = 64;
        EXPECT_EQ(do_rsa_enc_dec(&dummy, nDataLen, out.data(), &nLen, 1, blob.data()), 0);
        EXPECT_EQ(nLen, 0);
        EXPECT_EQ(out, Bytes(64, 0));
    }
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
// are anywhere in the first nFar bytes below it.
[[gnu::noinline]] __attribute__((no_sanitize("address"))) size_t left_below_private_call(const Bytes &blob,
                                                                                       size_t nNear, size_t nFar,
                                                                                       bool *pbExponent)
{
    static unsigned char szMsg[127];
    static unsigned char szOut[128];
    uintptr_t nFrame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    paint_stack_below();
    int nLen = 128;
    do_rsa_enc_dec(szMsg, 127, szOut, &nLen, RSA_MODE_PRIVATE_ENC, blob.data());
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
    BIGNUM *exp = BN_new();
    BN_set_word(exp, 31 + 1024);
    bool bLeft = true;
    size_t nDepth = exptmod_depth(otherD, two, model_modexp(two, exp, key.n, 128), &bLeft);
    BN_free(exp);
    EXPECT_FALSE(bLeft) << "a table entry is left on the stack";
    EXPECT_LE(STACK_BURN_BYTES + 512, nDepth) << "the wipe must need less stack than the exponentiation";
    EXPECT_GE(STACK_BURN_BYTES + 2048, nDepth) << "the wipe must reach nearly as deep as the exponentiation";
    bool bExponent = true;
    EXPECT_EQ(left_below_private_call(blob, 12 * 1024, STACK_BURN_BYTES, &bExponent), 0u);
    EXPECT_FALSE(bExponent) << "the private exponent is left on the stack";
}

} // namespace
