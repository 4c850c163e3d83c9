// SPDX-License-Identifier: Apache-2.0
// Padding and byte-order operations, and their interop with OpenSSL's
// PKCS #1 v1.5 block type 1 (signing without a digest).
#include <gtest/gtest.h>
#include <array>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "byte_order.h"
#include "rsa_internal.h"
#include "test_support.h"

namespace {

// b with the bytes of runs written over it, each at its offset.
Bytes with(Bytes b, std::initializer_list<std::pair<size_t, Bytes>> runs)
{
    for (const auto &[nAt, run] : runs) {
        std::copy(run.begin(), run.end(), b.begin() + static_cast<long>(nAt));
    }
    return b;
}

Bytes reversed(const Bytes &b, size_t nFrom, size_t nLen)
{
    return Bytes(b.rbegin() + static_cast<long>(b.size() - nFrom - nLen), b.rend() - static_cast<long>(nFrom));
}

// One call of either step and what it must leave: its status, the buffer (its
// bytes beyond nBufferLen too) and, after, the length; printed text.
struct PadCall {
    const char *why;
    bool bAfter; // kra_buffer_proc_after, else kra_buffer_proc_before
    Bytes buf;
    int nLen, nBufferLen, nProcedure, nStatus;
    Bytes want;
    int nWantLen;
    std::string printed = "";
};

// Padding (0x01 big-endian message, 0x11 little-endian in place, 0x00 into a
// 127-byte buffer, a 126-byte message whose separator replaces the marker),
// stripping into either order, ciphertexts turned both ways and zero-filled,
// modes and variants with no row, and every call outside the ranges: -1,
// buffer and length as they were.
TEST(BufferProc, EveryCallLeavesItsBuffer)
{
    const Bytes msg = {0xAA, 0xBB, 0xCC}, any = random_bytes(128, 4), cipher = random_bytes(128, 2);
    const Bytes example = with(Bytes(128, 0x55), {{0, msg}}), ff = with(Bytes(128, 0xFF), {{126, {0x01}}});
    const Bytes padded = with(ff, {{0, {0xCC, 0xBB, 0xAA, 0x00}}}), longest = random_bytes(128, 1);
    const Bytes odd = with(padded, {{3, {0x42}}});
    Bytes allFF = ff, oversize(129, 7), one = with(Bytes(127, 0), {{0, {0x42}}}), endZero = with(any, {{0, {0}}});
    std::vector<PadCall> calls = {
        {"big-endian message", false, example, 3, 128, 0x01, 0, padded, 0},
        {"little-endian in place", false, example, 3, 128, 0x11, 0, with(padded, {{0, msg}, {127, {0x55}}}), 0},
        {"a 127-byte buffer", false, one, 1, 127, 0x00, 0, with(Bytes(127, 0xFF), {{0, {0x42, 0}}, {126, {1}}}), 0},
        {"separator on the marker", false, longest, 126, 128, 0x00, 0,
         with(longest, {{0, reversed(longest, 0, 126)}, {126, {0x00, 0xFF}}}), 0},
        {"strip big-endian", true, padded, 127, 128, 0x02, 0, with(Bytes(128, 0), {{0, msg}}), 3},
        {"strip little-endian", true, padded, 127, 128, 0x82, 0, with(Bytes(128, 0), {{0, {0xCC, 0xBB, 0xAA}}}), 3},
        {"strip an empty message", true, endZero, 2, 128, 0x02, 0, Bytes(128, 0), 0},
        // The separator is taken on trust: whatever it holds is cleared with the padding.
        {"strip, separator 0x42", true, odd, 127, 128, 0x02, 0, with(Bytes(128, 0), {{0, msg}}), 3},
        {"strip LE, separator 0x42", true, odd, 127, 128, 0x82, 0, with(Bytes(128, 0), {{0, {0xCC, 0xBB, 0xAA}}}), 3},
        {"turn a ciphertext", true, cipher, 128, 128, 0x81, 0, reversed(cipher, 0, 128), 128},
        {"turn and zero-fill", false, cipher, 100, 120, 0x12, 0,
         with(cipher, {{0, reversed(cipher, 0, 100)}, {100, Bytes(20, 0)}}), 0},
        {"turn nothing", false, any, 0, 40, 0x12, 0, with(any, {{0, Bytes(40, 0)}}), 0},
        {"turn a full buffer", false, any, 40, 40, 0x12, 0, with(any, {{0, reversed(any, 0, 40)}}), 0},
        {"oversize", true, oversize, 127, 129, 0x02, -1, oversize, 127, "Error! Input buffer length can not exceed 128!\n"},
        {"all 0xFF", true, allFF, 127, 128, 0x02, -1, allFF, 127},
    };
    for (int nProcedure : {0x04, 0x0F, 0x21, 0x31, 0x02, 0x22, 0x32, 0x33}) {
        calls.push_back({"no row", false, any, 10, 128, nProcedure, 0, any, 0});
    }
    for (int nProcedure : {0x04, 0x41, 0xC1, 0x01, 0x42, 0xC2, 0xC3}) {
        calls.push_back({"no row", true, any, 127, 128, nProcedure, 0, any, 127});
    }
    for (auto [nAfter, nLen, nBufferLen, nProcedure] : std::vector<std::array<int, 4>>{{0, 3, 0, 0x01},
             {0, 3, -1, 0x01}, {0, 127, 128, 0x01}, {0, -1, 128, 0x01}, {0, 3, 126, 0x11}, {0, 3, 129, 0x11},
             {0, 129, 129, 0x12}, {0, 50, 40, 0x12}, {0, -1, 40, 0x12}, {0, 3, -128, 0x04}, {0, 0, 0, 0x12},
             {0, 0, 0, 0x01}, {1, 127, -1, 0x02}, {1, 1, 128, 0x02}, {1, 129, 128, 0x02}, {1, 100, 64, 0x82},
             {1, 128, 127, 0x81}, {1, 128, 64, 0x80}}) {
        calls.push_back({"out of range", nAfter == 1, any, nLen, nBufferLen, nProcedure, -1, any, nLen});
    }
    for (const PadCall &c : calls) {
        Bytes buf = c.buf;
        int nLen = c.nLen;
        testing::internal::CaptureStdout();
        int nStatus = c.bAfter ? kra_buffer_proc_after(buf.data(), &nLen, c.nBufferLen, c.nProcedure)
                               : kra_buffer_proc_before(buf.data(), c.nLen, c.nBufferLen, c.nProcedure);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.why;
        EXPECT_EQ(nStatus, c.nStatus) << c.why << " " << c.nProcedure;
        EXPECT_EQ(buf, c.want) << c.why << " " << c.nProcedure;
        EXPECT_EQ(nLen, c.bAfter ? c.nWantLen : c.nLen) << c.why;
    }
    Bytes buf = any;
    int nLen = 127;
    EXPECT_EQ(kra_buffer_proc_before(nullptr, 3, 128, 0x01), -1);
    EXPECT_EQ(kra_buffer_proc_after(nullptr, &nLen, 128, 0x02), -1);
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), nullptr, 128, 0x02), -1);
    EXPECT_EQ(buf, any);
}

// The turn writes its nLen bytes and no other, reading no other.
TEST(BufferProc, TheTurnWritesItsBytesOnly)
{
    for (size_t nLen : {0, 1, 127, 128}) {
        Bytes src = random_bytes(nLen + 2, 3), dst(nLen + 2, 0xA5), want = dst;
        std::reverse_copy(src.begin() + 1, src.end() - 1, want.begin() + 1);
        reverse_bytes(dst.data() + 1, src.data() + 1, nLen);
        EXPECT_EQ(dst, want) << nLen;
    }
}

// OpenSSL's PKCS #1 v1.5 signature of in without a digest, big-endian, or
// with bRecover the message it recovers from the signature in.
Bytes openssl_pkcs1(EVP_PKEY *pkey, const Bytes &in, bool bRecover = false)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes out(128);
    size_t nOut = out.size();
    if ((bRecover ? EVP_PKEY_verify_recover_init(ctx) : EVP_PKEY_sign_init(ctx)) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0 ||
        (bRecover ? EVP_PKEY_verify_recover(ctx, out.data(), &nOut, in.data(), in.size())
                  : EVP_PKEY_sign(ctx, out.data(), &nOut, in.data(), in.size())) <= 0) {
        nOut = 0;
        ADD_FAILURE() << (bRecover ? "OpenSSL rejected the signature" : "OpenSSL could not sign");
    }
    EVP_PKEY_CTX_free(ctx);
    out.resize(nOut);
    return out;
}

// Pad (0x00), sign with mode 1, reverse (0x80): OpenSSL's signature; and
// back: reverse (0x10), mode 2, strip (0x00): the message. Both ways.
TEST(BufferProc, PaddingInteroperatesWithOpenSslPkcs1)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    for (int nMsgLen = 0; nMsgLen <= 117; nMsgLen++) {
        Bytes msg = random_bytes(static_cast<size_t>(nMsgLen), 1000u + static_cast<unsigned>(nMsgLen));
        Bytes buf = msg;
        buf.resize(128, 0);
        ASSERT_EQ(kra_buffer_proc_before(buf.data(), nMsgLen, 128, 0x01), 0);
        Bytes sig(128), theirs = openssl_pkcs1(key.pkey, msg); // OpenSSL's signature
        int nLen = 128;
        ASSERT_EQ(do_rsa_enc_dec(buf.data(), 127, sig.data(), &nLen, 0x81, blob.data()), 0);
        ASSERT_EQ(kra_buffer_proc_after(sig.data(), &nLen, 128, 0x81), 0);
        EXPECT_EQ(sig, theirs) << "length " << nMsgLen;
        EXPECT_EQ(openssl_pkcs1(key.pkey, sig, true), msg) << "length " << nMsgLen;

        ASSERT_EQ(kra_buffer_proc_before(theirs.data(), 128, 128, 0x12), 0);
        Bytes plain(128);
        nLen = 127;
        ASSERT_EQ(do_rsa_enc_dec(theirs.data(), 128, plain.data(), &nLen, 0x02, blob.data()), 0);
        ASSERT_EQ(kra_buffer_proc_after(plain.data(), &nLen, 128, 0x02), 0);
        EXPECT_EQ(nLen, nMsgLen);
        EXPECT_EQ(Bytes(plain.begin(), plain.begin() + nLen), msg) << "length " << nMsgLen;
    }
}

} // namespace
