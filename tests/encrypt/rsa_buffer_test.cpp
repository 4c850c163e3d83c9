// SPDX-License-Identifier: Apache-2.0
// Padding and byte-order operations, and their interop with OpenSSL's
// PKCS #1 v1.5 block type 1 (signing without a digest).
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include "byte_order.h"
#include "rsa_internal.h"
#include "test_support.h"

namespace {

Bytes padded_example()
{
    Bytes buf(128, 0x55);
    buf[0] = 0xAA;
    buf[1] = 0xBB;
    buf[2] = 0xCC;
    EXPECT_EQ(kra_buffer_proc_before(buf.data(), 3, 128, 0x01), 0);
    return buf;
}

TEST(BufferProc, PadsBigEndianMessageIntoLittleEndianChunk)
{
    Bytes buf = padded_example();
    Bytes want(128, 0xFF);
    want[0] = 0xCC;
    want[1] = 0xBB;
    want[2] = 0xAA;
    want[3] = 0x00;
    want[126] = 0x01;
    EXPECT_EQ(buf, want);

    // A 127-byte buffer takes the chunk alone.
    Bytes shortBuf(127, 0);
    shortBuf[0] = 0x42;
    EXPECT_EQ(kra_buffer_proc_before(shortBuf.data(), 1, 127, 0x00), 0);
    EXPECT_EQ(shortBuf[0], 0x42);
    EXPECT_EQ(shortBuf[1], 0x00);
    EXPECT_EQ(shortBuf[125], 0xFF);
    EXPECT_EQ(shortBuf[126], 0x01);
}

TEST(BufferProc, PadsLittleEndianMessageInPlace)
{
    Bytes buf(128, 0x55);
    buf[0] = 0xAA;
    buf[1] = 0xBB;
    buf[2] = 0xCC;
    EXPECT_EQ(kra_buffer_proc_before(buf.data(), 3, 128, 0x11), 0);
    Bytes want(128, 0xFF);
    want[0] = 0xAA;
    want[1] = 0xBB;
    want[2] = 0xCC;
    want[3] = 0x00;
    want[126] = 0x01;
    want[127] = 0x55;
    EXPECT_EQ(buf, want);
}

// With 126 message bytes the separator lands on the marker's byte.
TEST(BufferProc, LongestMessageSeparatorReplacesMarker)
{
    Bytes msg = random_bytes(128, 1);
    Bytes buf = msg;
    EXPECT_EQ(kra_buffer_proc_before(buf.data(), 126, 128, 0x00), 0);
    for (int i = 0; i < 126; i++) {
        ASSERT_EQ(buf[static_cast<size_t>(i)], msg[static_cast<size_t>(125 - i)]);
    }
    EXPECT_EQ(buf[126], 0x00);
    EXPECT_EQ(buf[127], 0xFF);
}

TEST(BufferProc, StripsPaddingIntoEitherOrder)
{
    Bytes buf = padded_example();
    int nLen = 127;
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, 128, 0x02), 0);
    EXPECT_EQ(nLen, 3);
    Bytes want(128, 0);
    want[0] = 0xAA;
    want[1] = 0xBB;
    want[2] = 0xCC;
    EXPECT_EQ(buf, want);

    buf = padded_example();
    nLen = 127;
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, 128, 0x82), 0);
    EXPECT_EQ(nLen, 3);
    std::swap(want[0], want[2]);
    EXPECT_EQ(buf, want);
}

TEST(BufferProc, ReversesCiphertextsBothWays)
{
    Bytes cipher = random_bytes(128, 2);
    Bytes buf = cipher;
    int nLen = 128;
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, 128, 0x81), 0);
    EXPECT_EQ(nLen, 128);
    EXPECT_EQ(buf, Bytes(cipher.rbegin(), cipher.rend()));

    // Decryption direction, pre-variant 0x10: a shorter ciphertext is reversed
    // and zero-filled up to the buffer's length.
    buf = cipher;
    EXPECT_EQ(kra_buffer_proc_before(buf.data(), 100, 120, 0x12), 0);
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(buf[static_cast<size_t>(i)], cipher[static_cast<size_t>(99 - i)]);
    }
    EXPECT_EQ(Bytes(buf.begin() + 100, buf.begin() + 120), Bytes(20, 0));
    EXPECT_EQ(Bytes(buf.begin() + 120, buf.end()), Bytes(cipher.begin() + 120, cipher.end()));

    // The turn itself writes its nLen bytes and no other, reading no other.
    for (size_t nLen : {0, 1, 127, 128}) {
        Bytes src = random_bytes(nLen + 2, 3);
        Bytes dst(nLen + 2, 0xA5);
        Bytes want = dst;
        std::reverse_copy(src.begin() + 1, src.end() - 1, want.begin() + 1);
        reverse_bytes(dst.data() + 1, src.data() + 1, nLen);
        EXPECT_EQ(dst, want) << nLen;
    }
}

TEST(BufferProc, ModesAndVariantsWithoutRowChangeNothing)
{
    Bytes orig = random_bytes(128, 3);
    for (int procedure : {0x04, 0x0F, 0x21, 0x31, 0x02, 0x22, 0x32, 0x33}) {
        Bytes buf = orig;
        EXPECT_EQ(kra_buffer_proc_before(buf.data(), 10, 128, procedure), 0) << procedure;
        EXPECT_EQ(buf, orig) << procedure;
    }
    for (int procedure : {0x04, 0x41, 0xC1, 0x01, 0x42, 0xC2, 0xC3}) {
        Bytes buf = orig;
        int nLen = 127;
        EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, 128, procedure), 0) << procedure;
        EXPECT_EQ(buf, orig) << procedure;
        EXPECT_EQ(nLen, 127) << procedure;
    }
}

TEST(BufferProc, OversizeBufferIsReported)
{
    Bytes buf(129, 7);
    int nLen = 127;
    testing::internal::CaptureStdout();
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, 129, 0x02), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error! Input buffer length can not exceed 128!\n");
    EXPECT_EQ(buf, Bytes(129, 7));
}

// Calls outside the ranges return -1 and leave buffer and length alone.
TEST(BufferProc, RefusesCallsOutsideItsContract)
{
    Bytes orig = random_bytes(128, 4);
    struct {
        int nDataLen;
        int nBufferLen;
        int procedure;
    } before[] = {
        {3, 0, 0x01},    {3, -1, 0x01},  {127, 128, 0x01}, {-1, 128, 0x01}, {3, 126, 0x11},
        {3, 129, 0x11},  {129, 129, 0x12}, {50, 40, 0x12},  {-1, 40, 0x12},  {3, -128, 0x04},
    };
    for (const auto &c : before) {
        Bytes buf = orig;
        EXPECT_EQ(kra_buffer_proc_before(buf.data(), c.nDataLen, c.nBufferLen, c.procedure), -1)
            << c.nDataLen << "/" << c.nBufferLen << "/" << c.procedure;
        EXPECT_EQ(buf, orig);
    }
    EXPECT_EQ(kra_buffer_proc_before(nullptr, 3, 128, 0x01), -1);

    Bytes allFF(128, 0xFF);
    allFF[126] = 0x01;
    struct {
        const Bytes *pBuf;
        int nLen;
        int nBufferLen;
        int procedure;
    } after[] = {
        {&orig, 127, -1, 0x02}, {&orig, 1, 128, 0x02},   {&orig, 129, 128, 0x02}, {&orig, 100, 64, 0x82},
        {&allFF, 127, 128, 0x02}, {&orig, 128, 127, 0x81}, {&orig, 128, 64, 0x80},
    };
    for (const auto &c : after) {
        Bytes buf = *c.pBuf;
        int nLen = c.nLen;
        EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, c.nBufferLen, c.procedure), -1)
            << c.nLen << "/" << c.nBufferLen << "/" << c.procedure;
        EXPECT_EQ(buf, *c.pBuf);
        EXPECT_EQ(nLen, c.nLen);
    }
    Bytes buf = orig;
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), nullptr, 128, 0x02), -1);
    EXPECT_EQ(buf, orig);

    // The edges inside the contract: no ciphertext byte to turn, a ciphertext
    // that fills its buffer, the shortest padded chunk (an empty message).
    for (int nDataLen : {0, 40}) {
        buf = orig;
        EXPECT_EQ(kra_buffer_proc_before(buf.data(), nDataLen, 40, 0x12), 0) << nDataLen;
    }
    buf = orig;
    buf[0] = 0x00;
    int nLen = 2;
    EXPECT_EQ(kra_buffer_proc_after(buf.data(), &nLen, 128, 0x02), 0);
    EXPECT_EQ(nLen, 0);
}

// OpenSSL's PKCS #1 v1.5 signature without a digest, big-endian.
Bytes openssl_sign(EVP_PKEY *pkey, const Bytes &msg)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes sig(128);
    size_t nSig = sig.size();
    if (EVP_PKEY_sign_init(ctx) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_sign(ctx, sig.data(), &nSig, msg.data(), msg.size()) <= 0) {
        ADD_FAILURE() << "OpenSSL could not sign";
    }
    EVP_PKEY_CTX_free(ctx);
    sig.resize(nSig);
    return sig;
}

// OpenSSL's recovery of the message from a PKCS #1 v1.5 signature.
Bytes openssl_recover(EVP_PKEY *pkey, const Bytes &sig)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes msg(128);
    size_t nMsg = msg.size();
    if (EVP_PKEY_verify_recover_init(ctx) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_verify_recover(ctx, msg.data(), &nMsg, sig.data(), sig.size()) <= 0) {
        nMsg = 0;
        ADD_FAILURE() << "OpenSSL rejected the signature";
    }
    EVP_PKEY_CTX_free(ctx);
    msg.resize(nMsg);
    return msg;
}

EVP_PKEY *openssl_key(const TestKey &key)
{
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, key.n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, key.e);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, key.d);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) <= 0 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params) <= 0) {
        ADD_FAILURE() << "OpenSSL could not take the key";
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return pkey;
}

// Pad (0x00), sign with mode 1, reverse (0x80): OpenSSL's signature; and
// back: reverse (0x10), mode 2, strip (0x00): the message. Both ways.
TEST(BufferProc, PaddingInteroperatesWithOpenSslPkcs1)
{
    const TestKey &key = test_key(1024);
    Bytes blob = key_blob(key);
    EVP_PKEY *pkey = openssl_key(key);
    for (int nMsgLen = 0; nMsgLen <= 117; nMsgLen++) {
        Bytes msg = random_bytes(static_cast<size_t>(nMsgLen), 1000u + static_cast<unsigned>(nMsgLen));
        Bytes buf = msg;
        buf.resize(128, 0);
        ASSERT_EQ(kra_buffer_proc_before(buf.data(), nMsgLen, 128, 0x01), 0);
        Bytes sig(128);
        int nLen = 128;
        ASSERT_EQ(do_rsa_enc_dec(buf.data(), 127, sig.data(), &nLen, 0x81, blob.data()), 0);
        ASSERT_EQ(kra_buffer_proc_after(sig.data(), &nLen, 128, 0x81), 0);
        EXPECT_EQ(sig, openssl_sign(pkey, msg)) << "length " << nMsgLen;
        EXPECT_EQ(openssl_recover(pkey, sig), msg) << "length " << nMsgLen;

        Bytes theirs = openssl_sign(pkey, msg);
        ASSERT_EQ(kra_buffer_proc_before(theirs.data(), 128, 128, 0x12), 0);
        Bytes plain(128);
        nLen = 127;
        ASSERT_EQ(do_rsa_enc_dec(theirs.data(), 128, plain.data(), &nLen, 0x02, blob.data()), 0);
        ASSERT_EQ(kra_buffer_proc_after(plain.data(), &nLen, 128, 0x02), 0);
        EXPECT_EQ(nLen, nMsgLen);
        EXPECT_EQ(Bytes(plain.begin(), plain.begin() + nLen), msg) << "length " << nMsgLen;
    }
    EVP_PKEY_free(pkey);
}

} // namespace
