// SPDX-License-Identifier: Apache-2.0
// Signed output of encrypt_tool, byte for byte, against a model computed with
// OpenSSL; the refusal of signing keys that cannot give a restorable image; and
// the library's own checks of a hostile signed window.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "image/image_model.h"
#include "image_format.h"
#include "test_support.h"

namespace {

constexpr size_t kWindow = 16384;

// The first window of a file, zero-filled.
Bytes window_of(Bytes file)
{
    file.resize(kWindow, 0);
    return file;
}

void put(Bytes &dst, size_t nAt, const Bytes &src)
{
    std::copy(src.begin(), src.end(), dst.begin() + static_cast<long>(nAt));
}

// The whole expected output image, computed with OpenSSL arithmetic.
Bytes model_image(const Bytes &image, const Bytes &code, const TestKey &key, const Bytes &commFile)
{
    Bytes spl = window_of(image);
    int64_t ent[4][3]; // start, end, keep of each block, from our table
    int nEntry = -1;
    model::table(model::tables()[0].second.data(), ent, &nEntry);
    for (const int64_t *b : ent) {
        Bytes plain(spl.begin() + b[0], spl.begin() + b[0] + 127);
        spl[size_t(b[2])] = spl[size_t(b[1])];
        put(spl, size_t(b[0]), model_modexp(plain, key.d, key.n, 128));
    }
    Bytes codeWin = window_of(code), comm = window_of(commFile); // a short common key zero-filled
    put(codeWin, 384, Bytes(comm.begin(), comm.begin() + 128));
    put(codeWin, 512, Bytes(comm.begin() + 552, comm.begin() + 680));
    put(codeWin, 640, bn_to_le(key.n, 128));
    put(codeWin, 768, bn_to_le(key.e, 128));
    put(codeWin, 896, model::tables()[0].second);
    Bytes out = image; // the tail as it comes
    out.resize(std::max(image.size(), 2 * kWindow), 0);
    put(out, 0, spl);
    put(out, kWindow, codeWin);
    return out;
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Exact bytes, keep bytes, table record, restorable blocks and no private
// exponent, for signing keys of 1024 and 1017 bits; `used`, `sign` and the
// digits above the 32nd play no part; short inputs are zero-filled; the tail
// follows whatever the image's size; the common key is carried as it comes,
// however short.
TEST(SignedLayout, OutputMatchesTheModel)
{
    struct Case {
        int nBits;            // of the signing key
        bool bJunk;           // in both key files
        size_t nSize;         // of the image, made with nSeed
        unsigned nSeed;
        Bytes code;
        const TestKey *pComm; // the common key, or random_bytes(600, 42)
    };
    std::vector<Case> cases = {{1024, false, 40000, 21, random_bytes(20000, 22), &test_key(512)},
                               {1017, false, 40000, 21, random_bytes(20000, 22), &test_key(512)},
                               {1024, false, 20000, 41, {}, nullptr}};
    for (size_t nSize : {size_t{0}, size_t{100}, size_t{16383}, size_t{16384}, size_t{32767}, size_t{32768},
                         size_t{40000}, size_t{3} << 20}) {
        cases.push_back({1024, true, nSize, static_cast<unsigned>(nSize), random_bytes(1000, 31), &test_key(1017)});
    }
    for (const Case &c : cases) {
        const TestKey &key = test_key(c.nBits);
        std::string what = std::to_string(c.nBits) + " bits, image of " + std::to_string(c.nSize) + " bytes";
        ToolFiles s;
        Bytes image = random_bytes(c.nSize, c.nSeed);
        Bytes commFile = c.pComm != nullptr ? key_file(*c.pComm, c.bJunk) : random_bytes(600, 42);
        write_file(s.in, image);
        write_file(s.code, c.code);
        write_file(s.key, key_file(key, c.bJunk));
        write_file(s.comm, commFile);
        RunResult r = s.run();
        ASSERT_EQ(r.status, 0) << what << ": " << r.out;
        EXPECT_EQ(r.out, "") << what;
        Bytes out = read_file(s.out);
        EXPECT_EQ(out.size(), std::max(c.nSize, 2 * kWindow)) << what;
        ASSERT_TRUE(out == model_image(image, c.code, key, commFile)) << what;

        Bytes head(out.begin() + kWindow + 896, out.begin() + kWindow + 912);
        EXPECT_EQ(head, (Bytes{4, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0, 0, 0, 0xAF, 1, 0, 0})) << what;
        // Each block comes back, its keep byte too, with the public key the image itself stores
        // (and proves it, but for blocks of zeros).
        model::Verdict v = model::verify(out, {nullptr, "", &image, false});
        EXPECT_TRUE(v.original == model::PASSED && v.nStatus == 0 && (v.bProven || c.nSize == 0)) << what;
        EXPECT_FALSE(contains(out, bn_to_le(key.d, 128))) << what;
        EXPECT_FALSE(c.pComm != nullptr && contains(out, bn_to_le(c.pComm->d, 64))) << what;
    }
}

// Signing keys that cannot give a restorable image: one line, status 1, and
// the previous output (or none) left as it was; on an all-zero image too,
// which a wrong exponent would map to zero blocks.
TEST(SigningKeyRefusal, UnusableKeysAreRefusedBeforeAnythingIsWritten)
{
    const TestKey &key = test_key(1024);
    model::Bn zero, even;
    BN_copy(even, key.n), BN_clear_bit(even, 0);
    Bytes full = key_file(key);
    struct {
        const char *why;
        Bytes file;
    } cases[] = {
        {"empty key file", Bytes{}},
        {"only 100 bytes", Bytes(full.begin(), full.begin() + 100)},
        {"modulus record alone", Bytes(full.begin(), full.begin() + 552)},
        {"modulus with a zero top byte", key_file(test_key(512))},
        {"even modulus", key_file(even, key.e, key.d)},
        {"zero private exponent", key_file(key.n, key.e, zero)},
        {"zero public exponent", key_file(key.n, zero, key.d)},
        {"private exponent of another key", key_file(key.n, key.e, test_key(1017).d)},
    };
    SigningFiles s(40000, 51);
    for (bool bZeroImage : {false, true}) {
        write_file(s.in, bZeroImage ? Bytes(40000, 0) : random_bytes(40000, 51));
        for (const auto &c : cases) {
            bZeroImage ? void(std::filesystem::remove(s.out)) : write_file(s.out, Bytes(100, 1));
            write_file(s.key, c.file);
            RunResult r = s.run();
            EXPECT_EQ(r.status, 1) << c.why;
            EXPECT_EQ(r.out, "Key file error: " + s.key + "\n") << c.why;
            EXPECT_TRUE(bZeroImage ? !file_exists(s.out) : read_file(s.out) == Bytes(100, 1)) << c.why;
        }
    }
}

// Signing writes the two public halves and our table into the code window and
// nothing else there. A signer's block is placed only when it restores to the
// block's bytes: block 1's own signature, not block 0's nor that of block 1 with
// any one byte changed, and no block beyond the table's; a refusal leaves the
// window as it was.
TEST(LibraryChecks, ASignatureIsPlacedOnlyOverTheBlockItSigns)
{
    const TestKey &key = test_key(1017);
    Bytes blob = key_blob(key);
    Bytes common = key_blob(test_key(1024));
    Bytes spl = random_bytes(kWindow, 61);
    Bytes code(kWindow, 0xEE);
    ASSERT_EQ(si_sign_windows(spl.data(), code.data(), blob.data(), common.data()), SI_OK);
    Bytes want(kWindow, 0xEE);
    std::copy_n(common.begin(), SI_PUBLIC_SIZE, want.begin() + SI_CODE_COMM_N);
    std::copy_n(blob.begin(), SI_PUBLIC_SIZE, want.begin() + SI_CODE_SIGN_N);
    put(want, SI_CODE_BLOCK_TABLE, model::tables().front().second);
    EXPECT_EQ(code, want);
    const unsigned char *pPublic = code.data() + SI_CODE_SIGN_N;
    Bytes restored = spl;
    RSA_ENC_BLK blk{128, 255, 430};
    ASSERT_EQ(si_restore_block(restored.data(), &blk, pPublic), SI_OK);
    Bytes own(&spl[128], &spl[256]); // block 1's signature
    std::vector<std::tuple<std::string, int, Bytes>> placed{{"its own signature", 1, own},
                                                            {"another block's signature", 1, Bytes(&spl[0], &spl[128])},
                                                            {"block -1", -1, own},
                                                            {"a block past the table", int{SI_BLOCK_COUNT}, own}};
    for (size_t nAt = 0; nAt < SI_BLOCK_PLAIN; nAt++) { // the signature of its bytes with one changed
        Bytes plain(&restored[128], &restored[255]);
        plain[nAt] ^= 0x80;
        placed.push_back({"byte " + std::to_string(nAt) + " changed", 1, model_modexp(plain, key.d, key.n, 128)});
    }
    for (const auto &[why, nBlock, signature] : placed) {
        Bytes window = restored;
        int nStatus = why == "its own signature" ? SI_OK : SI_BLOCK_REFUSED;
        EXPECT_EQ(si_place_block(window.data(), nBlock, signature.data(), pPublic), nStatus) << why;
        EXPECT_EQ(window, nStatus == SI_OK ? spl : restored) << why;
    }
}

// d + lambda/2 undoes e only on values whose (lambda/2)-th power is 1, as
// every square's is. With a key whose d is off so (one that
// si_signing_key_usable refuses), a window of four squares is signed, its
// blocks proving the key; a window of other values is refused.
TEST(LibraryChecks, AnExponentOffByHalfLambdaSignsOnlyWhatItRestores)
{
    model::Bn n, d, half, lambda, r, m, power;
    Bytes blob, common = key_blob(test_key(1017)), code(kWindow);
    for (int nKey = 0; nKey < 40 && (blob.empty() || si_signing_key_usable(blob.data()) != 0); nKey++) {
        blob = fresh_blob(1024, 65537); // n, e, d, lambda/2
        BN_lebin2bn(blob.data(), 128, n), BN_lebin2bn(blob.data() + 256, 128, d);
        BN_lebin2bn(blob.data() + 384, 128, half), BN_lshift1(lambda, half);
        BN_add(d, d, half), BN_nnmod(d, d, lambda, model::ctx()); // below N
        put(blob, 256, bn_to_le(d, 128)), blob.resize(384);
    }
    ASSERT_EQ(si_signing_key_usable(blob.data()), 0);
    for (bool bSquares : {true, false}) {
        Bytes spl = random_bytes(kWindow, 71);
        for (long nStart : {0, 128, 256, 752}) {
            do { // a square below 2^1016, or a value whose (lambda/2)-th power is not 1
                BN_rand(r, bSquares ? 500 : 1000, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
                bSquares ? BN_sqr(m, r, model::ctx()) : BN_copy(m, r) != nullptr;
                BN_mod_exp(power, m, half, n, model::ctx());
            } while (BN_is_one(power) != bSquares);
            put(spl, size_t(nStart), bn_to_le(m, 127));
        }
        EXPECT_EQ(si_sign_windows(spl.data(), code.data(), blob.data(), common.data()),
                  bSquares ? SI_OK : SI_KEY_REFUSED);
    }
}

// The library against the model (image_model.h) over generated cases: each
// stored public half of model::each_key, where it is a key's with its d as a
// signing key with that d, another key's and none; its block values four to an
// image: the table, the key's use, each block's proof and restore (in place),
// and the key-blind proof as the rule for the hardest key (2^1024 - 1, e = 3);
// four signed blocks under each crafted table.
TEST(LibraryModel, EveryCaseAgreesWithTheModel)
{
    Bytes hardest(128, 0xFF), ours = model::tables()[0].second, pub1024; // 2^1024 - 1, e = 3
    hardest.resize(256, 0), hardest[128] = 3;
    std::vector<Bytes> signedBlocks;
    unsigned nSeed = 24;
    model::each_key([&](const std::string &why, const Bytes &pub, const BIGNUM *d, const BIGNUM *n) {
        model::Bn e(pub.data() + 128, 128), other, zero;
        BN_mod_inverse(other, e, model::rsa_key(1017).second, model::ctx());
        const BIGNUM *ds[] = {d, other, zero}; // its own d, another key's, none
        for (size_t i = 0; d != nullptr && i < 3; i++) {
            Bytes blob = pub, field = bn_to_le(ds[i], 128);
            blob.insert(blob.end(), field.begin(), field.end());
            EXPECT_EQ(si_signing_key_usable(blob.data()), model::signing_usable(blob.data()) ? 1 : 0)
                << why << " " << i;
            // A window of zeros, whose blocks prove nothing: its signing rests on the key alone.
            Bytes zeros(kWindow, 0), code(kWindow);
            EXPECT_EQ(si_sign_windows(zeros.data(), code.data(), blob.data(), pub.data()),
                      model::signing_usable(blob.data()) ? SI_OK : SI_KEY_REFUSED) << why << " " << i;
        }
        auto values = model::values(pub, d, n, ++nSeed);
        for (size_t i = 0; i < values.size(); i += 4) {
            std::vector<Bytes> blocks;
            std::string at = why + ", seed " + std::to_string(nSeed) + ", blocks";
            for (size_t k = i; k < i + 4; k++) {
                const auto &[name, value] = values[k % values.size()];
                blocks.push_back(value), at += " " + name;
                EXPECT_EQ(si_block_proves_key(value.data()), model::proves(value.data(), hardest.data()) ? 1 : 0) << at;
            }
            EXPECT_EQ(model::library_differs(model::image(pub, blocks, ours, 0, nSeed).data()), "") << at;
        }
        if (why == "1024 bits, e 65537") {
            pub1024 = pub, signedBlocks = model::signed_blocks(pub, d, n);
        }
    });
    for (const auto &[why, table] : model::tables()) {
        EXPECT_EQ(model::library_differs(model::image(pub1024, signedBlocks, table, 0, 1).data()), "") << why;
    }
}

} // namespace
