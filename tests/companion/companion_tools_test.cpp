// key_tool and verify_tool as processes: the whole flow from a new key to a
// restored image, PEM interop checked with OpenSSL, and each failure's status.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/stat.h>

#include "test_support.h"

namespace {

RunResult key_tool(std::vector<std::string> args)
{
    args.insert(args.begin(), KEY_TOOL_PATH);
    return run_program(args);
}

RunResult verify_tool(std::vector<std::string> args)
{
    args.insert(args.begin(), VERIFY_TOOL_PATH);
    return run_program(args);
}

// A signed image made from fresh keys by the tools themselves.
struct SignedFlow : ToolFiles {
    Bytes image = random_bytes(70000, 91);

    SignedFlow()
    {
        write_file(in, image);
        write_file(code, random_bytes(16384, 92));
        EXPECT_EQ(key_tool({"generate", key}).status, 0);
        EXPECT_EQ(key_tool({"generate", "--bits", "1017", comm}).status, 0);
        EXPECT_EQ(run().status, 0);
    }
};

TEST(CompanionFlow, GenerateShowSignVerifyRestoreGivesTheInputBack)
{
    SignedFlow f;
    struct stat st;
    ASSERT_EQ(stat(f.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_file(f.key).size(), 1656u);

    RunResult shown = key_tool({"show", f.key});
    EXPECT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("Modulus: 1024 bits"), std::string::npos);
    EXPECT_NE(shown.out.find("Key pair: matches"), std::string::npos);

    // The fingerprint is SHA-256 of the stored modulus then exponent.
    Bytes signedImage = read_file(f.out);
    unsigned char digest[32];
    unsigned int nDigest = 0;
    EVP_Digest(signedImage.data() + 16384 + 640, 256, digest, &nDigest, EVP_sha256(), nullptr);
    char hex[65];
    for (int i = 0; i < 32; i++) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    EXPECT_NE(shown.out.find(hex), std::string::npos) << shown.out;

    std::string restored = f.dir.file("restored.img");
    RunResult r = verify_tool({"--key", f.key, "--original", f.in, "--restore", restored, f.out});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(hex), std::string::npos);
    Bytes back = read_file(restored);
    ASSERT_EQ(back.size(), f.image.size());
    for (size_t i = 0; i < 16384; i++) {
        if (i < 428 || i > 431) {
            ASSERT_EQ(back[i], f.image[i]) << "offset " << i;
        }
    }
    EXPECT_TRUE(std::equal(back.begin() + 16384, back.begin() + 32768, signedImage.begin() + 16384));
    EXPECT_TRUE(std::equal(back.begin() + 32768, back.end(), f.image.begin() + 32768));

    RunResult json = verify_tool({"--json", f.out});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_NE(json.out.find("\"ok\":true"), std::string::npos);
    EXPECT_NE(json.out.find(std::string("\"sha256\":\"") + hex + "\""), std::string::npos);
}

TEST(CompanionFlow, EachDamageGivesItsStatus)
{
    SignedFlow f;
    Bytes good = read_file(f.out);
    std::string bad = f.dir.file("bad.img");
    struct {
        size_t nOffset;
        const char *expected;
    } flips[] = {
        {5, "Block 0"}, {200, "Block 1"}, {300, "Block 2"}, {800, "Block 3"},
        {1000, "SPL window differs"}, {50000, "Tail differs"}, {16384 + 900, "block table"},
    };
    for (const auto &flip : flips) {
        Bytes damaged = good;
        damaged[flip.nOffset] ^= 0x01;
        write_file(bad, damaged);
        RunResult r = verify_tool({"--original", f.in, bad});
        EXPECT_EQ(r.status, 1) << flip.nOffset << ": " << r.out;
        EXPECT_NE(r.out.find(flip.expected), std::string::npos) << r.out;
    }

    // A tail cut short or grown is caught too.
    Bytes longer = good;
    longer.push_back(0);
    write_file(bad, longer);
    EXPECT_EQ(verify_tool({"--original", f.in, bad}).status, 1);

    std::string other = f.dir.file("other.key");
    ASSERT_EQ(key_tool({"generate", other}).status, 0);
    RunResult wrongKey = verify_tool({"--key", other, f.out});
    EXPECT_EQ(wrongKey.status, 1);
    EXPECT_NE(wrongKey.out.find("Stored signing key is not the key of " + other), std::string::npos);

    write_file(bad, Bytes(good.begin(), good.begin() + 32767));
    RunResult shortImage = verify_tool({bad});
    EXPECT_EQ(shortImage.status, 2);
    EXPECT_NE(shortImage.out.find(bad), std::string::npos);
    EXPECT_EQ(verify_tool({"--key", f.dir.file("none.key"), f.out}).status, 2);
    EXPECT_EQ(verify_tool({"--bogus", f.out}).status, 2);
    EXPECT_EQ(verify_tool({"--restore", f.out, f.out}).status, 2) << "restoring over the image is refused";
    EXPECT_EQ(read_file(f.out), good);

    // A damaged image is not restored.
    Bytes damaged = good;
    damaged[10] ^= 0x80;
    write_file(bad, damaged);
    std::string restored = f.dir.file("restored.img");
    EXPECT_EQ(verify_tool({"--restore", restored, bad}).status, 1);
    EXPECT_FALSE(file_exists(restored));
}

EVP_PKEY *openssl_rsa(int bits)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits);
    EVP_PKEY_keygen(ctx, &pkey);
    EVP_PKEY_CTX_free(ctx);
    return pkey;
}

void write_pem(const std::string &path, EVP_PKEY *pkey, bool bTraditional)
{
    BIO *bio = BIO_new_file(path.c_str(), "w");
    if (bTraditional) {
        PEM_write_bio_PrivateKey_traditional(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    } else {
        PEM_write_bio_PrivateKey(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    }
    BIO_free(bio);
}

Bytes param_le(EVP_PKEY *pkey, const char *name)
{
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    Bytes out = bn_to_le(bn, 128);
    BN_free(bn);
    return out;
}

TEST(KeyToolPem, ImportAndExportAgreeWithOpenSsl)
{
    TempDir dir;
    EVP_PKEY *pkey = openssl_rsa(1017);
    for (bool bTraditional : {true, false}) {
        std::string pem = dir.file(bTraditional ? "pkcs1.pem" : "pkcs8.pem");
        std::string keyFile = dir.file(bTraditional ? "pkcs1.key" : "pkcs8.key");
        write_pem(pem, pkey, bTraditional);
        RunResult r = key_tool({"import", pem, keyFile});
        ASSERT_EQ(r.status, 0) << r.out;
        Bytes file = read_file(keyFile);
        ASSERT_EQ(file.size(), 1656u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 128), param_le(pkey, OSSL_PKEY_PARAM_RSA_N));
        EXPECT_EQ(Bytes(file.begin() + 552, file.begin() + 680), param_le(pkey, OSSL_PKEY_PARAM_RSA_E));
        EXPECT_EQ(Bytes(file.begin() + 1104, file.begin() + 1232), param_le(pkey, OSSL_PKEY_PARAM_RSA_D));
        EXPECT_EQ(file[544], 32) << "`used` counts 32 digits for 1017 bits";
        EXPECT_EQ(file[552 + 544], 1) << "one digit for 65537";
        EXPECT_EQ(Bytes(file.begin() + 548, file.begin() + 552), Bytes(4, 0));
    }

    std::string pub = dir.file("pub.pem");
    ASSERT_EQ(key_tool({"export", dir.file("pkcs1.key"), pub}).status, 0);
    FILE *fp = fopen(pub.c_str(), "r");
    EVP_PKEY *exported = PEM_read_PUBKEY(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    ASSERT_NE(exported, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(exported, pkey), 1);
    EXPECT_EQ(key_tool({"export", dir.file("pkcs1.key"), pub}).status, 2) << "no overwrite without --force";
    EXPECT_EQ(key_tool({"export", "--force", dir.file("pkcs1.key"), dir.file("pkcs1.key")}).status, 2);
    EXPECT_EQ(read_file(dir.file("pkcs1.key")).size(), 1656u) << "the key file survives";
    EVP_PKEY_free(exported);
    EVP_PKEY_free(pkey);
}

TEST(KeyToolPem, OtherSizesAndEncryptedKeysWriteNothing)
{
    TempDir dir;
    for (int bits : {1016, 1025, 2048}) {
        EVP_PKEY *pkey = openssl_rsa(bits);
        std::string pem = dir.file("k.pem");
        write_pem(pem, pkey, false);
        RunResult r = key_tool({"import", pem, dir.file("k.key")});
        EXPECT_EQ(r.status, 1) << bits;
        EXPECT_NE(r.out.find(std::to_string(bits) + " bits"), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(dir.file("k.key")));
        EVP_PKEY_free(pkey);
    }
    // With no terminal to ask for the passphrase, an encrypted key fails.
    EVP_PKEY *pkey = openssl_rsa(1024);
    FILE *fp = fopen(dir.file("enc.pem").c_str(), "w");
    PEM_write_PrivateKey(fp, pkey, EVP_aes_128_cbc(), nullptr, 0, nullptr, const_cast<char *>("secret"));
    fclose(fp);
    std::vector<std::string> argv{"/usr/bin/setsid", KEY_TOOL_PATH, "import", dir.file("enc.pem"), dir.file("e.key")};
    EXPECT_EQ(run_program(argv, 20).status, 2);
    EXPECT_FALSE(file_exists(dir.file("e.key")));
    EVP_PKEY_free(pkey);
}

TEST(KeyToolFiles, GenerateRefusesToOverwriteAndShowJudgesKeys)
{
    TempDir dir;
    std::string keyFile = dir.file("k.key");
    write_file(keyFile, Bytes{1, 2, 3});
    EXPECT_EQ(key_tool({"generate", keyFile}).status, 2);
    EXPECT_EQ(read_file(keyFile), (Bytes{1, 2, 3}));
    EXPECT_EQ(key_tool({"generate", "--force", "--bits", "1020", keyFile}).status, 0);
    EXPECT_NE(key_tool({"show", keyFile}).out.find("Modulus: 1020 bits"), std::string::npos);
    EXPECT_EQ(key_tool({"generate", "--bits", "1016", dir.file("x.key")}).status, 2);
    EXPECT_EQ(key_tool({"show", dir.file("missing.key")}).status, 2);
    EXPECT_EQ(key_tool({"frobnicate"}).status, 2);
    EXPECT_EQ(key_tool({"--version"}).status, 0);

    // A modulus stored big-endian is refused, with a hint.
    const TestKey &key = test_key(1024);
    Bytes file = key_file(key);
    std::reverse(file.begin(), file.begin() + 128);
    if ((file[0] & 1) == 0 || file[127] == 0) {
        write_file(keyFile, file);
        RunResult r = key_tool({"show", keyFile});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("modulus looks byte-reversed"), std::string::npos) << r.out;
    }
    Bytes mismatched = key_file(key.n, key.e, test_key(1017).d);
    write_file(keyFile, mismatched);
    RunResult r = key_tool({"show", keyFile});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Key pair: does not match"), std::string::npos);
}

} // namespace
