// Keys in a SoftHSM2 token through token_key: signed blocks against OpenSSL's
// arithmetic, where the PIN may come from and where it must not go, the
// module, token and key a URI selects, listing and generating keys.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <p11-kit/p11-kit.h>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "token_key.h"
#include "token_support.h"

namespace {

const std::string kPin = "61523840";
const std::string kWrongPin = "61523841";

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Number = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;

Number number(const Key &key, const char *pName)
{
    return Number(rsa_number(key.get(), pName), BN_clear_free);
}

// Runs fn on the token labelled label with the SoftHSM2 module loaded here
// through p11-kit, finalised after; false when that fails.
bool with_token(const std::string &label, const std::function<bool(CK_FUNCTION_LIST *, CK_SLOT_ID, CK_FLAGS)> &fn)
{
    CK_FUNCTION_LIST *pModule = p11_kit_module_load(SOFTHSM_MODULE, 0);
    bool bOk = false;
    if (pModule != nullptr && p11_kit_module_initialize(pModule) == CKR_OK) {
        CK_SLOT_ID anSlots[16];
        CK_ULONG nSlots = 16;
        CK_TOKEN_INFO info;
        for (CK_ULONG i = 0; pModule->C_GetSlotList(CK_TRUE, anSlots, &nSlots) == CKR_OK && i < nSlots; i++) {
            if (pModule->C_GetTokenInfo(anSlots[i], &info) == CKR_OK &&
                p11_kit_space_strlen(info.label, sizeof(info.label)) == label.size() &&
                label.compare(0, label.size(), reinterpret_cast<const char *>(info.label), label.size()) == 0) {
                bOk = fn(pModule, anSlots[i], info.flags);
            }
        }
        EXPECT_EQ(p11_kit_module_finalize(pModule), CKR_OK);
    }
    p11_kit_module_release(pModule);
    return bOk;
}

// The token's flags as a fresh load of the module sees them.
CK_FLAGS token_flags(const std::string &label)
{
    CK_FLAGS nFlags = 0;
    EXPECT_TRUE(with_token(label, [&](CK_FUNCTION_LIST *, CK_SLOT_ID, CK_FLAGS nTokenFlags) {
        nFlags = nTokenFlags;
        return true;
    }));
    return nFlags;
}

// Creates key's private half in the token through C_CreateObject, with
// CKA_ALWAYS_AUTHENTICATE.
bool create_always_authenticate_key(const Key &key, const std::string &token, const std::string &object)
{
    return with_token(token, [&](CK_FUNCTION_LIST *pModule, CK_SLOT_ID nSlot, CK_FLAGS) {
        CK_SESSION_HANDLE hSession;
        if (pModule->C_OpenSession(nSlot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &hSession) != CKR_OK) {
            return false;
        }
        CK_OBJECT_CLASS nClass = CKO_PRIVATE_KEY;
        CK_KEY_TYPE nType = CKK_RSA;
        CK_BBOOL bTrue = CK_TRUE;
        std::vector<CK_ATTRIBUTE> attributes = {
            {CKA_CLASS, &nClass, sizeof(nClass)}, {CKA_KEY_TYPE, &nType, sizeof(nType)},
            {CKA_TOKEN, &bTrue, 1},               {CKA_PRIVATE, &bTrue, 1},
            {CKA_SIGN, &bTrue, 1},                {CKA_ALWAYS_AUTHENTICATE, &bTrue, 1},
            {CKA_LABEL, const_cast<char *>(object.data()), object.size()}};
        const char *apNames[] = {OSSL_PKEY_PARAM_RSA_N,        OSSL_PKEY_PARAM_RSA_E,        OSSL_PKEY_PARAM_RSA_D,
                                 OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                 OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
        const CK_ATTRIBUTE_TYPE anTypes[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                             CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
        std::vector<Bytes> numbers(8);
        for (size_t i = 0; i < 8; i++) {
            Number bn = number(key, apNames[i]);
            numbers[i].resize(static_cast<size_t>(BN_num_bytes(bn.get())));
            BN_bn2bin(bn.get(), numbers[i].data());
            attributes.push_back({anTypes[i], numbers[i].data(), numbers[i].size()});
        }
        CK_OBJECT_HANDLE hObject;
        bool bOk = pModule->C_Login(hSession, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(kPin.data())),
                                    kPin.size()) == CKR_OK &&
                   pModule->C_CreateObject(hSession, attributes.data(), attributes.size(), &hObject) == CKR_OK;
        return pModule->C_CloseSession(hSession) == CKR_OK && bOk;
    });
}

// Reads everything from fd until it ends or nSeconds pass, stopping early
// once pStop shows up.
std::string read_until(int fd, const char *pStop, int nSeconds)
{
    std::string text;
    for (int nWaits = 0; nWaits < 10 * nSeconds && (pStop == nullptr || text.find(pStop) == std::string::npos);) {
        pollfd poller = {fd, POLLIN, 0};
        if (poll(&poller, 1, 100) <= 0) {
            nWaits++;
            continue;
        }
        char szBuf[256];
        ssize_t nRead = read(fd, szBuf, sizeof(szBuf));
        if (nRead <= 0) {
            break;
        }
        text.append(szBuf, static_cast<size_t>(nRead));
    }
    return text;
}

// The status of the child's exit, or -1 when it did not exit.
int child_status(pid_t pid)
{
    int nStatus = 0;
    return waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

class TokenKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!hsm.bReady) {
            GTEST_SKIP() << "SoftHSM2 is not installed";
        }
        ASSERT_TRUE(hsm.init_token("sign", kPin));
        // Standard input is not a terminal here, so that no test waits at a PIN prompt.
        nSavedStdin = dup(STDIN_FILENO);
        int fd = ::open("/dev/null", O_RDONLY);
        ASSERT_TRUE(nSavedStdin >= 0 && fd >= 0 && dup2(fd, STDIN_FILENO) == STDIN_FILENO && close(fd) == 0);
    }

    void TearDown() override
    {
        if (nSavedStdin >= 0) {
            EXPECT_EQ(dup2(nSavedStdin, STDIN_FILENO), STDIN_FILENO);
            EXPECT_EQ(close(nSavedStdin), 0);
        }
        for (const std::string &why : whys) {
            EXPECT_EQ(why.find(kPin), std::string::npos) << why;
            EXPECT_EQ(why.find(kWrongPin), std::string::npos) << why;
        }
    }

    // A fresh RSA key of nBits in token "sign".
    Key import(int nBits, const std::string &object, const std::string &idHex)
    {
        Key key(new_rsa_key(nBits), EVP_PKEY_free);
        EXPECT_TRUE(hsm.import_key(key.get(), "sign", object, idHex, kPin));
        return key;
    }

    std::string pinned(const std::string &path) { return hsm.uri(path, "pin-value=" + kPin); }

    int open(const std::string &uri, TokenAccess access, TokenKey **ppKey)
    {
        whys.emplace_back();
        return token_key_open(uri.c_str(), access, ppKey, &whys.back());
    }

    // The reason token_key_open gives for a refusal with nStatus.
    std::string refusal(const std::string &uri, int nStatus, TokenAccess access = TOKEN_SIGN)
    {
        TokenKey *pKey = nullptr;
        EXPECT_EQ(open(uri, access, &pKey), nStatus) << uri;
        EXPECT_EQ(pKey, nullptr);
        token_key_close(pKey);
        return whys.back();
    }

    int sign(TokenKey *pKey, const Bytes &plain, Bytes *pSigned)
    {
        pSigned->assign(128, 0);
        whys.emplace_back();
        return token_key_sign_block(pKey, plain.data(), pSigned->data(), &whys.back());
    }

    Bytes public_half(TokenKey *pKey, int nStatus = TOKEN_OK)
    {
        Bytes pub(256, 0);
        whys.emplace_back();
        EXPECT_EQ(token_key_public(pKey, pub.data(), &whys.back()), nStatus) << whys.back();
        return pub;
    }

    // Runs token_key_open in a child without a terminal (a session of its own,
    // standard input /dev/null); gives back its status and reason.
    int open_without_terminal(const std::string &uri)
    {
        int afd[2];
        EXPECT_EQ(pipe(afd), 0);
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            TokenKey *pKey = nullptr;
            std::string why;
            int nStatus = token_key_open(uri.c_str(), TOKEN_SIGN, &pKey, &why);
            token_key_close(pKey);
            _exit(write(afd[1], why.data(), why.size()) == static_cast<ssize_t>(why.size()) ? nStatus : 99);
        }
        EXPECT_EQ(close(afd[1]), 0);
        whys.push_back(read_until(afd[0], nullptr, 60));
        EXPECT_EQ(close(afd[0]), 0);
        return child_status(pid);
    }

    SoftHsm hsm;
    std::vector<std::string> whys; // every reason given, checked for the PIN at the end
    int nSavedStdin = -1;
};

TEST_F(TokenKeyTest, SignedBlocksArePrivateExponentPowers)
{
    for (int nBits : {1024, 1017}) {
        SCOPED_TRACE(nBits);
        std::string object = "key" + std::to_string(nBits);
        Key key = import(nBits, object, nBits == 1024 ? "01" : "02");
        Number n = number(key, OSSL_PKEY_PARAM_RSA_N);
        Number e = number(key, OSSL_PKEY_PARAM_RSA_E);
        Number d = number(key, OSSL_PKEY_PARAM_RSA_D);
        TokenKey *pKey = nullptr;
        ASSERT_EQ(open(pinned("token=sign;object=" + object), TOKEN_SIGN, &pKey), TOKEN_OK) << whys.back();
        EXPECT_FALSE(token_key_keeps_pin(pKey));
        Bytes expected = bn_to_le(n.get(), 128);
        Bytes exponent = bn_to_le(e.get(), 128);
        expected.insert(expected.end(), exponent.begin(), exponent.end());
        EXPECT_EQ(public_half(pKey), expected);
        Bytes topFF = random_bytes(127, 5);
        topFF[126] = 0xFF;
        for (const Bytes &plain : {Bytes(127, 0), topFF, random_bytes(127, 6), random_bytes(127, 7)}) {
            Bytes signedBlock;
            ASSERT_EQ(sign(pKey, plain, &signedBlock), TOKEN_OK) << whys.back();
            EXPECT_EQ(signedBlock, model_modexp(plain, d.get(), n.get(), 128));
        }
        token_key_close(pKey);
    }
}

TEST_F(TokenKeyTest, PinFromUriOrFileAndNoLoginWithoutOne)
{
    Key key = import(1024, "key", "01");
    std::string path = hsm.dir.file("pin");
    std::string pathNewline = hsm.dir.file("pin-newline");
    write_file(path, Bytes(kPin.begin(), kPin.end()));
    std::string withNewline = kPin + "\n";
    write_file(pathNewline, Bytes(withNewline.begin(), withNewline.end()));
    for (const std::string &query : {"pin-value=" + kPin, "pin-source=" + path, "pin-source=" + pathNewline,
                                     "pin-source=file:" + pathNewline, "pin-source=file://" + path}) {
        TokenKey *pKey = nullptr;
        EXPECT_EQ(open(hsm.uri("token=sign;object=key", query), TOKEN_SIGN, &pKey), TOKEN_OK) << query << whys.back();
        token_key_close(pKey);
    }
    EXPECT_NE(refusal(hsm.uri("object=key", "pin-source=" + hsm.dir.file("none")), TOKEN_UNREACHABLE)
                  .find("cannot open pin-source"),
              std::string::npos);

    // A C_Login with a wrong or empty PIN sets CKF_USER_PIN_COUNT_LOW in
    // SoftHSM2; without a PIN (and with an empty one) nothing may log in.
    EXPECT_EQ(token_flags("sign") & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_EQ(open_without_terminal(hsm.uri("token=sign;object=key")), TOKEN_UNREACHABLE);
    EXPECT_NE(whys.back().find("no PIN: give pin-value or pin-source, or run on a terminal"), std::string::npos)
        << whys.back();
    refusal(hsm.uri("token=sign;object=key", "pin-value="), TOKEN_UNREACHABLE);
    EXPECT_EQ(token_flags("sign") & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_NE(refusal(hsm.uri("token=sign;object=key", "pin-value=" + kWrongPin), TOKEN_UNREACHABLE)
                  .find("wrong PIN for token sign"),
              std::string::npos);
    EXPECT_NE(token_flags("sign") & CKF_USER_PIN_COUNT_LOW, 0u);
}

TEST_F(TokenKeyTest, PinFromTerminalIsNotEchoed)
{
    Key key = import(1024, "key", "01");
    int nMaster = -1;
    pid_t pid = forkpty(&nMaster, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TokenKey *pKey = nullptr;
        std::string why;
        int nStatus = token_key_open(hsm.uri("token=sign;object=key").c_str(), TOKEN_SIGN, &pKey, &why);
        token_key_close(pKey);
        termios after;
        bool bEchoBack = tcgetattr(STDIN_FILENO, &after) == 0 && (after.c_lflag & ECHO) != 0;
        _exit(nStatus == TOKEN_OK && bEchoBack ? 0 : 1);
    }
    std::string screen = read_until(nMaster, "PIN for token sign: ", 60);
    std::string line = kPin + "\n";
    EXPECT_EQ(write(nMaster, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    screen += read_until(nMaster, nullptr, 60);
    EXPECT_EQ(close(nMaster), 0);
    EXPECT_EQ(child_status(pid), 0);
    EXPECT_NE(screen.find("PIN for token sign: "), std::string::npos) << screen;
    EXPECT_EQ(screen.find(kPin), std::string::npos) << screen;
}

TEST_F(TokenKeyTest, ModuleFromUriEnvironmentOrRegistry)
{
    Key key = import(1024, "key", "01");
    std::string bare = "pkcs11:token=sign;object=key?pin-value=" + kPin;
    TokenKey *pKey = nullptr;
    ASSERT_EQ(setenv("PKCS11_MODULE_PATH", SOFTHSM_MODULE, 1), 0);
    EXPECT_EQ(open(bare, TOKEN_SIGN, &pKey), TOKEN_OK) << whys.back();
    token_key_close(pKey);
    ASSERT_EQ(unsetenv("PKCS11_MODULE_PATH"), 0);
    for (const std::string &uri : {bare, bare + "&module-name=softhsm2"}) {
        EXPECT_EQ(open(uri, TOKEN_SIGN, &pKey), TOKEN_OK) << uri << ": " << whys.back();
        token_key_close(pKey);
    }
    std::string why = refusal(bare + "&module-path=/nowhere/module.so", TOKEN_UNREACHABLE);
    EXPECT_NE(why.find("module not loaded: /nowhere/module.so"), std::string::npos) << why;
    why = refusal("pkcs11:token=%zz;object=key?pin-value=" + kPin, TOKEN_UNREACHABLE);
    EXPECT_EQ(why.rfind("bad URI pkcs11:token=%zz;object=key", 0), 0u) << why;
}

TEST_F(TokenKeyTest, UriSelectsExactlyOneUsableKey)
{
    Key first = import(1024, "twin", "01");
    Key second = import(1024, "twin", "02");
    Key large = import(2048, "large", "03");
    Key curve(new_ec_key(), EVP_PKEY_free);
    ASSERT_TRUE(hsm.import_key(curve.get(), "sign", "curve", "04", kPin));
    ASSERT_TRUE(hsm.init_token("other", kPin));

    EXPECT_NE(refusal(pinned("token=sign;object=none"), TOKEN_UNREACHABLE)
                  .find("no RSA private key matches URI pkcs11:token=sign;object=none?module-path="),
              std::string::npos);
    EXPECT_NE(refusal(pinned("token=sign;object=twin"), TOKEN_UNREACHABLE).find("several RSA private keys match URI"),
              std::string::npos);
    EXPECT_NE(refusal(pinned("token=none"), TOKEN_UNREACHABLE).find("no token matches URI"), std::string::npos);
    EXPECT_NE(refusal(pinned("object=twin;id=%02"), TOKEN_UNREACHABLE).find("several tokens match URI"),
              std::string::npos);
    EXPECT_NE(refusal(pinned("token=sign;object=curve"), TOKEN_REFUSED).find("not an RSA key"), std::string::npos);

    TokenKey *pKey = nullptr;
    ASSERT_EQ(open(pinned("token=sign;object=twin;id=%02;type=private"), TOKEN_SIGN, &pKey), TOKEN_OK) << whys.back();
    Bytes expected = bn_to_le(number(second, OSSL_PKEY_PARAM_RSA_N).get(), 128);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), public_half(pKey).begin()));
    token_key_close(pKey);
    // The public key itself, without a PIN.
    ASSERT_EQ(open(hsm.uri("token=sign;object=twin;id=%02;type=public"), TOKEN_PUBLIC_HALF, &pKey), TOKEN_OK)
        << whys.back();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), public_half(pKey).begin()));
    token_key_close(pKey);

    // A 2048-bit key opens, but neither its public half nor a block passes.
    ASSERT_EQ(open(pinned("token=sign;object=large"), TOKEN_SIGN, &pKey), TOKEN_OK) << whys.back();
    public_half(pKey, TOKEN_REFUSED);
    Bytes signedBlock;
    EXPECT_EQ(sign(pKey, random_bytes(127, 1), &signedBlock), TOKEN_REFUSED);
    token_key_close(pKey);
}

TEST_F(TokenKeyTest, AlwaysAuthenticateKeyLogsInForEachBlock)
{
    Key key(new_rsa_key(1024), EVP_PKEY_free);
    ASSERT_TRUE(create_always_authenticate_key(key, "sign", "once"));
    Number n = number(key, OSSL_PKEY_PARAM_RSA_N);
    Number d = number(key, OSSL_PKEY_PARAM_RSA_D);
    TokenKey *pKey = nullptr;
    ASSERT_EQ(open(pinned("token=sign;object=once"), TOKEN_SIGN, &pKey), TOKEN_OK) << whys.back();
    EXPECT_TRUE(token_key_keeps_pin(pKey));
    for (unsigned nSeed = 0; nSeed < 4; nSeed++) {
        Bytes plain = random_bytes(127, nSeed);
        Bytes signedBlock;
        ASSERT_EQ(sign(pKey, plain, &signedBlock), TOKEN_OK) << whys.back();
        EXPECT_EQ(signedBlock, model_modexp(plain, d.get(), n.get(), 128));
    }
    token_key_close(pKey);
}

TEST_F(TokenKeyTest, ListedAndGeneratedKeysOpenAgain)
{
    Key first = import(1024, "first", "01");
    Key second = import(1017, "second", "02");
    std::string why;
    EXPECT_EQ(token_generate_key(pinned("token=sign;object=made").c_str(), 1017, &why), TOKEN_OK) << why;
    whys.push_back(why);
    for (const char *pObject : {"made", "first"}) {
        EXPECT_EQ(token_generate_key(pinned(std::string("token=sign;object=") + pObject).c_str(), 1024, &why),
                  TOKEN_REFUSED);
        EXPECT_NE(why.find("already holds an object labelled"), std::string::npos) << why;
        whys.push_back(why);
    }

    std::vector<TokenKeyEntry> entries;
    ASSERT_EQ(token_list_keys(pinned("token=sign").c_str(), &entries, &why), TOKEN_OK) << why;
    ASSERT_EQ(entries.size(), 3u);
    std::string labels;
    for (const TokenKeyEntry &entry : entries) {
        SCOPED_TRACE(entry.uri);
        EXPECT_EQ(entry.uri.find("pin-"), std::string::npos);
        EXPECT_EQ(entry.uri.find("module"), std::string::npos);
        labels += entry.uri.find("object=first") != std::string::npos ? "f" : "";
        labels += entry.uri.find("object=second") != std::string::npos ? "s" : "";
        labels += entry.uri.find("object=made") != std::string::npos ? "m" : "";
        TokenKey *pKey = nullptr;
        ASSERT_EQ(open(entry.uri + "?module-path=" + SOFTHSM_MODULE + "&pin-value=" + kPin, TOKEN_SIGN, &pKey),
                  TOKEN_OK)
            << whys.back();
        // The block comes back under the public half.
        Bytes pub = public_half(pKey);
        Number n(bn_from_le(pub.data(), 128), BN_clear_free);
        Number e(bn_from_le(pub.data() + 128, 128), BN_clear_free);
        EXPECT_EQ(entry.nBits, BN_num_bits(n.get()));
        Bytes plain = random_bytes(127, 3);
        Bytes signedBlock;
        EXPECT_EQ(sign(pKey, plain, &signedBlock), TOKEN_OK) << whys.back();
        plain.push_back(0);
        EXPECT_EQ(model_modexp(signedBlock, e.get(), n.get(), 128), plain);
        token_key_close(pKey);
    }
    std::sort(labels.begin(), labels.end());
    EXPECT_EQ(labels, "fms");
}

TEST(TokenUriTest, PrintableUriHasNoPinValue)
{
    EXPECT_EQ(token_uri_printable("pkcs11:token=a?pin-value=1234"), "pkcs11:token=a");
    EXPECT_EQ(token_uri_printable("pkcs11:token=a?pin-value=1234&module-path=/m.so"), "pkcs11:token=a?module-path=/m.so");
    EXPECT_EQ(token_uri_printable("pkcs11:token=a?module-name=m&pin-value=1234&pin-source=/p"),
              "pkcs11:token=a?module-name=m&pin-source=/p");
    EXPECT_EQ(token_uri_printable("pkcs11:pin-value=1234;token=a;object=pin-value"), "pkcs11:token=a;object=pin-value");
    EXPECT_EQ(token_uri_printable("pkcs11:token=a?pin-valued=1"), "pkcs11:token=a?pin-valued=1");
    EXPECT_TRUE(is_token_uri("pkcs11:token=a"));
    EXPECT_FALSE(is_token_uri("sign.key"));
}

} // namespace
