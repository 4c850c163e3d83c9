// SPDX-License-Identifier: Apache-2.0
// Keys in a SoftHSM2 token through token_key: signed blocks against OpenSSL's
// arithmetic, where the PIN may come from and where it must not stay, the
// module, token and key a URI selects, listing and generating keys.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <p11-kit/p11-kit.h>

#include <algorithm>
#include <chrono>
#include <tuple>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "token_key.h"
#include "token_session.h"
#include "token_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LEAK_CHECKED 1
#endif
#endif
#ifdef LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// The registry may hold modules other than ours (a TPM's, say) that leak in
// their own initialisation, on a machine without their device: not ours to find.
struct ForeignLeaksIgnored {
#ifdef LEAK_CHECKED
    ForeignLeaksIgnored() { __lsan_disable(); }
    ~ForeignLeaksIgnored() { __lsan_enable(); }
#endif
};

const std::string kPin = "61523840";
const unsigned char *const kPinBytes = reinterpret_cast<const unsigned char *>(kPin.data());
const std::string kWrongPin = "61523841";
// The PIN of token "memory", each byte XOR 0x5A: this process holds it whole
// only inside the calls under test and, for a moment, to create keys.
volatile const unsigned char kMaskedPin[] = {0x31, 0x6D, 0x0B, 0x3F, 0x68, 0x00, 0x28, 0x63, 0x02, 0x2D, 0x6E, 0x17};
constexpr size_t kPinLen = sizeof(kMaskedPin);

using Number = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using Opened = std::unique_ptr<TokenKey, decltype(&token_key_close)>;

Number number(const Key &key, const char *pName)
{
    return Number(rsa_number(key.get(), pName), BN_clear_free);
}

// The key's public half as OpenSSL has it: n, then e, 128 bytes little-endian each.
Bytes public_of(const Key &key)
{
    Bytes pub = bn_to_le(number(key, OSSL_PKEY_PARAM_RSA_N).get(), 128);
    Bytes e = bn_to_le(number(key, OSSL_PKEY_PARAM_RSA_E).get(), 128);
    pub.insert(pub.end(), e.begin(), e.end());
    return pub;
}

// The token's flags as a fresh load of the module sees them.
CK_FLAGS token_flags(const std::string &label)
{
    CK_FLAGS nFlags = 0;
    EXPECT_TRUE(with_session(
        label, nullptr, 0, [](CK_FUNCTION_LIST *, CK_SESSION_HANDLE) { return true; }, &nFlags));
    return nFlags;
}

// The boolean attributes of the one object of class nClass labelled object
// in token "sign"; empty when there is not exactly one.
Bytes object_flags(const std::string &object, CK_OBJECT_CLASS nClass, const std::vector<CK_ATTRIBUTE_TYPE> &types)
{
    Bytes flags(types.size(), 0xEE);
    CK_ATTRIBUTE aFind[] = {{CKA_CLASS, &nClass, sizeof(nClass)},
                            {CKA_LABEL, const_cast<char *>(object.data()), object.size()}};
    bool bOk = with_session("sign", kPinBytes, kPin.size(), [&](CK_FUNCTION_LIST *pModule, CK_SESSION_HANDLE hSession) {
        CK_OBJECT_HANDLE ahFound[2];
        CK_ULONG nFound = 0;
        bool bFound = pModule->C_FindObjectsInit(hSession, aFind, 2) == CKR_OK &&
                      pModule->C_FindObjects(hSession, ahFound, 2, &nFound) == CKR_OK;
        bFound = pModule->C_FindObjectsFinal(hSession) == CKR_OK && bFound && nFound == 1;
        for (size_t i = 0; bFound && i < types.size(); i++) {
            CK_ATTRIBUTE attribute = {types[i], &flags[i], 1};
            bFound = pModule->C_GetAttributeValue(hSession, ahFound[0], &attribute, 1) == CKR_OK;
        }
        return bFound;
    });
    return bOk ? flags : Bytes();
}

// True when this process's writable memory holds the PIN of token "memory".
bool pin_in_memory()
{
    std::ifstream maps("/proc/self/maps");
    int fd = open("/proc/self/mem", O_RDONLY);
    Bytes chunk(1 << 20);
    bool bFound = false;
    std::string line;
    while (fd >= 0 && std::getline(maps, line)) {
        unsigned long nStart = 0, nEnd = 0;
        char szPerms[5] = {};
        // Sanitizer shadow memory (reserved, far larger than any heap) is left out.
        if (sscanf(line.c_str(), "%lx-%lx %4s", &nStart, &nEnd, szPerms) != 3 || szPerms[0] != 'r' ||
            szPerms[1] != 'w' || nEnd - nStart > (1ul << 30)) {
            continue;
        }
        // Chunks overlap by the PIN's length, so that none is cut in two.
        for (unsigned long nAt = nStart; nAt + kPinLen <= nEnd; nAt += chunk.size() - kPinLen) {
            ssize_t nRead =
                pread(fd, chunk.data(), std::min<unsigned long>(chunk.size(), nEnd - nAt), static_cast<off_t>(nAt));
            for (ssize_t i = 0; i + static_cast<ssize_t>(kPinLen) <= nRead; i++) {
                size_t j = 0;
                while (j < kPinLen && (chunk[static_cast<size_t>(i) + j] ^ 0x5A) == kMaskedPin[j]) {
                    j++;
                }
                bFound = bFound || j == kPinLen;
            }
        }
    }
    explicit_bzero(chunk.data(), chunk.size());
    EXPECT_EQ(close(fd), 0);
    return bFound;
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
        // Every path finalised the module: nobody left it initialised.
        if (!hsm.bReady) {
            return;
        }
        CK_FUNCTION_LIST *pRaw = p11_kit_module_load(SOFTHSM_MODULE, P11_KIT_MODULE_UNMANAGED);
        CK_INFO info;
        EXPECT_TRUE(pRaw != nullptr && pRaw->C_GetInfo(&info) == CKR_CRYPTOKI_NOT_INITIALIZED);
        p11_kit_module_release(pRaw);
    }

    // A fresh RSA key of nBits in token "sign".
    Key import(int nBits, const std::string &object, const std::string &idHex)
    {
        Key key(new_rsa_key(nBits), EVP_PKEY_free);
        EXPECT_TRUE(hsm.import_key(key.get(), "sign", object, idHex, kPin));
        return key;
    }

    std::string pinned(const std::string &path) { return hsm.uri(path, "pin-value=" + kPin); }

    // The key token_key_open gives for uri, expecting nStatus; closed when it
    // goes. nSeconds is how long the call took.
    Opened open(const std::string &uri, TokenAccess access = TOKEN_SIGN, int nStatus = TOKEN_OK)
    {
        TokenKey *pKey = nullptr;
        whys.emplace_back();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(token_key_open(uri.c_str(), access, &pKey, &whys.back()), nStatus) << uri << ": " << whys.back();
        nSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return Opened(pKey, token_key_close);
    }

    // The reason token_key_open gives for a refusal with nStatus.
    std::string refusal(const std::string &uri, int nStatus = TOKEN_UNREACHABLE, TokenAccess access = TOKEN_SIGN)
    {
        EXPECT_FALSE(open(uri, access, nStatus)) << uri;
        return whys.back();
    }

    // The block the key signs (0xFF where nothing is written), expecting
    // nStatus; a key that did not open (-1) fails.
    Bytes sign(const Opened &key, const Bytes &plain, int nStatus = TOKEN_OK)
    {
        Bytes block(128, 0xFF);
        whys.emplace_back();
        EXPECT_EQ(key ? token_key_sign_block(key.get(), plain.data(), block.data(), &whys.back()) : -1, nStatus)
            << whys.back();
        return block;
    }

    // Expects the block the key signs to be plain ^ d mod n.
    void expect_signed(const Opened &opened, const Bytes &plain, const Key &key)
    {
        EXPECT_EQ(sign(opened, plain), model_modexp(plain, number(key, OSSL_PKEY_PARAM_RSA_D).get(),
                                                    number(key, OSSL_PKEY_PARAM_RSA_N).get(), 128));
    }

    Bytes public_half(const Opened &key, int nStatus = TOKEN_OK)
    {
        Bytes pub(256, 0);
        whys.emplace_back();
        EXPECT_EQ(key ? token_key_public(key.get(), pub.data(), &whys.back()) : -1, nStatus) << whys.back();
        return pub;
    }

    // Runs token_key_open in a child without a terminal (a session of its own,
    // standard input /dev/null); gives back its status, keeps its reason.
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
    double nSeconds = 0;
    int nSavedStdin = -1;
};

TEST_F(TokenKeyTest, SignedBlocksArePrivateExponentPowers)
{
    for (int nBits : {1024, 1017}) {
        SCOPED_TRACE(nBits);
        std::string object = "key" + std::to_string(nBits);
        Key key = import(nBits, object, nBits == 1024 ? "01" : "02");
        Opened opened = open(pinned("token=sign;object=" + object));
        EXPECT_EQ(public_half(opened), public_of(key));
        Bytes topFF = random_bytes(127, 5);
        topFF[126] = 0xFF;
        for (const Bytes &plain : {Bytes(127, 0), topFF, random_bytes(127, 6), random_bytes(127, 7)}) {
            expect_signed(opened, plain, key);
        }
    }
}

TEST_F(TokenKeyTest, PinFromUriFileOrTerminalAndNoLoginWithoutOne)
{
    Key key = import(1024, "key", "01");
    std::string path = hsm.dir.file("pin"), pathNewline = hsm.dir.file("pin-newline");
    for (const auto &[file, text] : {std::pair{path, kPin}, std::pair{pathNewline, kPin + "\n"}}) {
        write_file(file, Bytes(text.begin(), text.end()));
    }
    // Each key closed, and each refused after the login, logs out: a session open all along stays public.
    EXPECT_TRUE(with_session("sign", nullptr, 0, [&](CK_FUNCTION_LIST *pModule, CK_SESSION_HANDLE hSession) {
        for (const std::string &query : {"pin-value=" + kPin, "pin-source=" + path, "pin-source=" + pathNewline,
                                         "pin-source=file:" + pathNewline, "pin-source=file://" + path}) {
            open(hsm.uri("token=sign;object=key", query));
        }
        refusal(pinned("token=sign;object=none"));
        CK_SESSION_INFO info;
        return pModule->C_GetSessionInfo(hSession, &info) == CKR_OK && info.state == CKS_RW_PUBLIC_SESSION;
    }));
    write_file(path, Bytes(300, '1'));
    // The pin-source is part of the query, which no message shows.
    EXPECT_EQ(refusal(hsm.uri("object=key", "pin-source=" + path)),
              "cannot read the pin-source file: longer than a PIN");
    EXPECT_EQ(refusal(hsm.uri("object=key", "pin-source=" + hsm.dir.file("none"))),
              "cannot open the pin-source file: No such file or directory");
    EXPECT_EQ(refusal(hsm.uri("object=key", "pin-value=" + std::string(256, '1'))), "pin-value longer than a PIN");

    // A C_Login with a wrong or empty PIN sets CKF_USER_PIN_COUNT_LOW in
    // SoftHSM2; without a PIN (and with an empty one) nothing may log in.
    EXPECT_EQ(token_flags("sign") & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_EQ(open_without_terminal(hsm.uri("token=sign;object=key")), TOKEN_UNREACHABLE);
    EXPECT_EQ(whys.back(), "no PIN: give pin-value or pin-source, or run on a terminal");
    refusal(hsm.uri("token=sign;object=key", "pin-value="));
    EXPECT_EQ(token_flags("sign") & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_EQ(refusal(hsm.uri("token=sign;object=key", "pin-value=" + kWrongPin)), "wrong PIN for token sign");
    EXPECT_LT(nSeconds, 1.0) << "a wrong PIN is not tried again";
    EXPECT_NE(token_flags("sign") & CKF_USER_PIN_COUNT_LOW, 0u);

    // On a terminal a line gives the PIN, not echoed; an end of file (^D) gives
    // none, also when a signal the entry does not own cut the read short before it.
    for (bool bEnded : {false, true}) {
        int nMaster = -1;
        pid_t pid = forkpty(&nMaster, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            struct sigaction noted {};
            noted.sa_handler = [](int) {}; // without SA_RESTART
            sigaction(SIGUSR1, &noted, nullptr);
            TokenKey *pKey = nullptr;
            std::string why;
            int nStatus = token_key_open(hsm.uri("token=sign;object=key").c_str(), TOKEN_SIGN, &pKey, &why);
            token_key_close(pKey);
            termios after;
            bool bRestored = tcgetattr(STDIN_FILENO, &after) == 0 && (after.c_lflag & ECHO) != 0;
            for (int nSignal : {SIGINT, SIGQUIT, SIGTSTP, SIGHUP, SIGTERM}) { // each as it was
                struct sigaction now;
                bRestored = bRestored && sigaction(nSignal, nullptr, &now) == 0 && now.sa_handler == SIG_DFL;
            }
            _exit(nStatus == (bEnded ? TOKEN_UNREACHABLE : TOKEN_OK) && bRestored ? 0 : 1);
        }
        std::string screen = read_until(nMaster, "PIN for token sign: ", 60);
        std::string line = (bEnded ? "\x04" : "") + kPin + "\n";
        if (bEnded) {
            usleep(100000); // the child waits in its read
            EXPECT_EQ(kill(pid, SIGUSR1), 0);
            usleep(100000);
        }
        EXPECT_EQ(write(nMaster, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        screen += read_until(nMaster, nullptr, 60);
        EXPECT_EQ(close(nMaster), 0);
        EXPECT_EQ(child_status(pid), 0) << bEnded;
        EXPECT_NE(screen.find("PIN for token sign: "), std::string::npos) << screen;
        EXPECT_EQ(screen.find(kPin), std::string::npos) << screen;
    }
}

// A busy token is asked again after 25 ms at first, up to half as long again
// at random, and never after more than 375 ms.
TEST(TokenBackoff, WaitsGrowFromTwentyFiveMilliseconds)
{
    std::vector<double> waits; // three first tries, then the last
    for (int nTry : {1, 1, 1, TOKEN_TRIES}) {
        auto start = std::chrono::steady_clock::now();
        token_backoff(nTry);
        waits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    double nFirst = *std::min_element(waits.begin(), waits.end() - 1);
    EXPECT_TRUE(nFirst >= 25 && nFirst < 50 && waits[3] >= 250 && waits[3] < 500) << nFirst << " " << waits[3];
}

TEST_F(TokenKeyTest, AlwaysAuthenticateKeySignsAndNoPinStaysInMemory)
{
    std::string path = hsm.dir.file("pin");
    unsigned char szPin[kPinLen];
    for (size_t i = 0; i < kPinLen; i++) {
        szPin[i] = kMaskedPin[i] ^ 0x5A;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_TRUE(fd >= 0 && write(fd, szPin, kPinLen) == static_cast<ssize_t>(kPinLen) && close(fd) == 0);
    std::string init =
        "softhsm2-util --init-token --free --label memory --so-pin 11111111 --pin \"$(cat " + path + ")\"";
    ASSERT_EQ(run_program({"/bin/sh", "-c", init}).status, 0);
    Key once(new_rsa_key(1024), EVP_PKEY_free);
    Key plain(new_rsa_key(1024), EVP_PKEY_free);
    bool bMade = create_key(once.get(), "memory", szPin, kPinLen, "once", CK_TRUE, false) &&
                 create_key(plain.get(), "memory", szPin, kPinLen, "plain", CK_FALSE, false);
    explicit_bzero(szPin, sizeof(szPin));
    ASSERT_TRUE(bMade);
    ASSERT_FALSE(pin_in_memory());

    // An always-authenticate key keeps the PIN until it is closed; another key does not keep it.
    for (const auto &[pObject, bAlways] : {std::pair{"plain", false}, {"once", true}}) {
        Opened opened = open(hsm.uri(std::string("token=memory;object=") + pObject, "pin-source=" + path));
        ASSERT_TRUE(opened);
        EXPECT_EQ(pin_in_memory(), bAlways) << pObject;
        for (unsigned nSeed = 0; bAlways && nSeed < 4; nSeed++) {
            expect_signed(opened, random_bytes(127, nSeed), once);
        }
        opened.reset();
        EXPECT_FALSE(pin_in_memory()) << pObject;
    }
}

TEST_F(TokenKeyTest, ModuleFromUriEnvironmentOrRegistry)
{
    Key key = import(1024, "key", "01");
    std::string bare = "pkcs11:token=sign;object=key?pin-value=" + kPin;
    for (const char *pPath : {"/nowhere/module.so", SOFTHSM_MODULE}) {
        ASSERT_EQ(setenv("PKCS11_MODULE_PATH", pPath, 1), 0);
        open(bare, TOKEN_SIGN, pPath == SOFTHSM_MODULE ? TOKEN_OK : TOKEN_UNREACHABLE);
        EXPECT_EQ(whys.back().find(pPath), pPath == SOFTHSM_MODULE ? std::string::npos : 19u) << whys.back();
    }
    ASSERT_EQ(unsetenv("PKCS11_MODULE_PATH"), 0);
    for (const std::string &uri : {bare, bare + "&module-name=softhsm2"}) {
        [[maybe_unused]] ForeignLeaksIgnored registry;
        open(uri);
    }
    // A module named in the query is not shown: the query may hold the PIN.
    EXPECT_EQ(refusal(bare + "&module-path=/nowhere/module.so"),
              "module not loaded: the module-path of the URI: cannot open shared object file: No such file or directory");
    EXPECT_EQ(refusal(bare + "&module-name=nothing"),
              "module not loaded: no registered module has the module-name of the URI");
    // What p11-kit cannot read is shown as the scheme alone.
    EXPECT_EQ(refusal("pkcs11:token=%zz;object=key?pin-value=" + kPin).rfind("bad URI pkcs11:: ", 0), 0u);

    // A module that cannot describe a token: its answer is in the refusal,
    // and only an answer that means "busy" is asked again, for about 2 s.
    std::string fake = std::string("pkcs11:token=wanted?module-path=") + FAKE_TOKEN_MODULE_PATH;
    for (const auto &[pCall, pRv, pAnswer, bAgain] :
         {std::tuple{"C_GetTokenInfo for slot 1", "0x32", "The device was removed or unplugged", false},
          std::tuple{"C_GetTokenInfo for slot 1", "5", "Internal error", true},
          std::tuple{"C_GetInfo", "0x30", "An error occurred on the device", false}}) {
        const char *pVar = pCall[5] == 'T' ? "FAKE_TOKEN_INFO_RV" : "FAKE_MODULE_INFO_RV";
        ASSERT_EQ(setenv(pVar, pRv, 1), 0);
        EXPECT_EQ(refusal(fake),
                  "no token matches URI pkcs11:token=wanted (" + std::string(pCall) + ": " + pAnswer + ")");
        EXPECT_EQ(nSeconds > 1.0, bAgain) << pRv << ": " << nSeconds << " s";
        ASSERT_EQ(unsetenv(pVar), 0);
    }

    // A token without raw RSA gives public halves only.
    ASSERT_TRUE(hsm.write_conf("slots.mechanisms = CKM_RSA_PKCS"));
    EXPECT_EQ(refusal(pinned("token=sign;object=key")), "token sign does not offer raw RSA signing (CKM_RSA_X_509)");
    open(pinned("token=sign;object=key"), TOKEN_PUBLIC_HALF);
}

// A token that does not say it needs a login, whose signatures come without
// their leading zero bytes: its keys are listed after a login, and a short
// signature is the block with zeros above it.
TEST_F(TokenKeyTest, TokenThatHidesItsLoginAndItsZeros)
{
    Key key = import(1024, "key", "01");
    Number signedBn(BN_new(), BN_free), plainBn(BN_new(), BN_free);
    BN_CTX *ctx = BN_CTX_new();
    do { // a block whose signature has 1016 bits: 127 bytes and a zero above them
        BN_rand(signedBn.get(), 1016, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
        BN_mod_exp(plainBn.get(), signedBn.get(), number(key, OSSL_PKEY_PARAM_RSA_E).get(),
                   number(key, OSSL_PKEY_PARAM_RSA_N).get(), ctx);
    } while (BN_num_bits(plainBn.get()) > 1016);
    BN_CTX_free(ctx);
    Bytes plain = bn_to_le(plainBn.get(), 127);
    ASSERT_EQ(setenv("FAKE_TOKEN_WRAP", SOFTHSM_MODULE, 1), 0);
    std::string uri = std::string("pkcs11:token=sign?module-path=") + FAKE_TOKEN_MODULE_PATH + "&pin-value=" + kPin;
    std::vector<TokenKeyEntry> keys;
    whys.emplace_back();
    EXPECT_EQ(token_list_keys(uri.c_str(), &keys, &whys.back()), TOKEN_OK) << whys.back();
    EXPECT_EQ(keys.size(), 1u);
    Opened opened = open(uri);
    EXPECT_EQ(sign(opened, plain), bn_to_le(signedBn.get(), 128));
    // Zeros before it up to 128 bytes are taken; a 129th byte is refused.
    for (const char *pExtra : {"1", "2"}) {
        ASSERT_EQ(setenv("FAKE_TOKEN_SIGN_EXTRA", pExtra, 1), 0);
        bool bLong = pExtra[0] == '2';
        Bytes block = sign(opened, plain, bLong ? TOKEN_UNREACHABLE : TOKEN_OK);
        EXPECT_TRUE(bLong ? whys.back() == "token sign did not sign: 129 bytes back"
                          : block == bn_to_le(signedBn.get(), 128))
            << whys.back();
    }
    ASSERT_EQ(unsetenv("FAKE_TOKEN_SIGN_EXTRA"), 0);
    opened.reset();
    ASSERT_EQ(unsetenv("FAKE_TOKEN_WRAP"), 0);
}

TEST_F(TokenKeyTest, UriSelectsExactlyOneUsableKey)
{
    Key first = import(1024, "twin", "01");
    Key second = import(1024, "twin", "02");
    Key large = import(2048, "large", "03");
    Key curve(new_ec_key(), EVP_PKEY_free);
    ASSERT_TRUE(hsm.import_key(curve.get(), "sign", "curve", "04", kPin));
    // The split key's exponent (not a palindrome in bytes) is only in its
    // public key, which shares its CKA_ID with the decoy's public key.
    Key decoy(new_rsa_key(1017), EVP_PKEY_free);
    Key split(new_rsa_key(1017, 65539), EVP_PKEY_free);
    ASSERT_TRUE(create_key(decoy.get(), "sign", kPinBytes, kPin.size(), "decoy", CK_FALSE, true));
    ASSERT_TRUE(create_key(split.get(), "sign", kPinBytes, kPin.size(), "split", CK_FALSE, true));
    ASSERT_TRUE(hsm.init_token("other", kPin));

    EXPECT_EQ(refusal(pinned("token=sign;object=none")),
              "no RSA private key matches URI pkcs11:token=sign;object=none");
    EXPECT_EQ(refusal(pinned("token=sign;object=twin")),
              "several RSA private keys match URI pkcs11:token=sign;object=twin");
    // The URI as p11-kit writes what it read: its attributes in its order.
    EXPECT_EQ(refusal(pinned("object=twin;id=%02")), "several tokens match URI pkcs11:id=%02;object=twin");
    for (const char *pPath : {"token=none", "slot-id=12345;token=sign", "slot-description=none;token=sign",
                              "library-manufacturer=none;token=sign"}) {
        EXPECT_EQ(refusal(pinned(pPath)), "no token matches URI pkcs11:" + std::string(pPath));
    }
    {
        // A module that shows no initialised token may be reading a store
        // that another process rewrites: it is asked again for about 2 s.
        SoftHsm empty;
        EXPECT_EQ(refusal(pinned("token=sign")), "no token matches URI pkcs11:token=sign (no initialised token)");
        EXPECT_TRUE(nSeconds > 1.0 && nSeconds < 4.0) << nSeconds << " s";
    }
    EXPECT_EQ(refusal(pinned("token=sign;object=twin;id=%02;type=public")).rfind("URI names no private key", 0), 0u);
    EXPECT_NE(refusal(pinned("token=sign;object=curve"), TOKEN_REFUSED).find("object=curve"), std::string::npos);

    // The second twin by its id, as a private key and as the public key
    // without a PIN; then the split key.
    for (const auto &[uri, access, pOf] :
         {std::tuple{pinned("token=sign;object=twin;id=%02;type=private"), TOKEN_PUBLIC_HALF, &second},
          std::tuple{hsm.uri("token=sign;object=twin;id=%02;type=public"), TOKEN_PUBLIC_HALF, &second},
          std::tuple{pinned("token=sign;object=split"), TOKEN_SIGN, &split}}) {
        EXPECT_EQ(public_half(open(uri, access)), public_of(*pOf)) << uri;
    }
    // A public exponent of 128 bytes (2^1016 + 65537) is shown as the token has
    // it; one of 129 bytes is refused.
    for (size_t nLen : {128, 129}) {
        std::string object = "e" + std::to_string(nLen);
        ASSERT_TRUE(create_key(first.get(), "sign", kPinBytes, kPin.size(), object, CK_FALSE, false, 65537, nLen));
        Opened opened = open(pinned("token=sign;object=" + object), TOKEN_PUBLIC_HALF);
        Bytes pub = public_half(opened, nLen == 128 ? TOKEN_OK : TOKEN_REFUSED), e(pub.begin() + 128, pub.end());
        Bytes shown(128, 0); // little-endian
        shown[0] = shown[2] = shown[127] = 1;
        EXPECT_TRUE(nLen != 128 || e == shown);
    }

    // A 2048-bit key opens, but neither its public half nor a block passes.
    Opened opened = open(pinned("token=sign;object=large"));
    public_half(opened, TOKEN_REFUSED);
    sign(opened, random_bytes(127, 1), TOKEN_REFUSED);
}

TEST_F(TokenKeyTest, ListedAndGeneratedKeysOpenAgain)
{
    Key first = import(1024, "twin", "01");
    Key second = import(1017, "twin", "02");
    std::string why;
    for (const char *pPath : {"token=sign;object=made", "token=sign;object=also"}) {
        EXPECT_EQ(token_generate_key(pinned(pPath).c_str(), 1017, &why), TOKEN_OK) << why;
        whys.push_back(why);
    }
    for (const char *pPath : {"token=sign;object=made", "token=sign;object=twin"}) {
        EXPECT_EQ(token_generate_key(pinned(pPath).c_str(), 1024, &why), TOKEN_REFUSED);
        EXPECT_NE(why.find("already holds an object labelled"), std::string::npos) << why;
        whys.push_back(why);
    }
    for (int nBits : {0, 1009, 1016, 1025, 2048}) {
        EXPECT_EQ(token_generate_key(pinned("token=sign;object=new").c_str(), nBits, &why), TOKEN_REFUSED) << nBits;
        EXPECT_EQ(why, "a signing key has 1017 to 1024 bits, not " + std::to_string(nBits));
    }
    for (const char *pPath : {"token=sign", "object=new"}) {
        EXPECT_EQ(token_generate_key(pinned(pPath).c_str(), 1024, &why), TOKEN_UNREACHABLE) << pPath;
    }
    EXPECT_EQ(object_flags("made", CKO_PRIVATE_KEY, {CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_SIGN}),
              (Bytes{1, 1, 1, 0, 1}));
    EXPECT_EQ(object_flags("made", CKO_PUBLIC_KEY, {CKA_TOKEN, CKA_VERIFY}), (Bytes{1, 1}));

    std::vector<TokenKeyEntry> entries;
    ASSERT_EQ(token_list_keys(pinned("token=sign").c_str(), &entries, &why), TOKEN_OK) << why;
    ASSERT_EQ(entries.size(), 4u);
    std::vector<std::string> ids;
    for (const TokenKeyEntry &entry : entries) {
        SCOPED_TRACE(entry.uri);
        EXPECT_EQ(entry.uri.find("pin-"), std::string::npos);
        EXPECT_EQ(entry.uri.find("module"), std::string::npos);
        size_t nId = entry.uri.find("id=");
        ids.push_back(nId == std::string::npos ? "" : entry.uri.substr(nId, entry.uri.find(';', nId) - nId));
        Opened opened = open(entry.uri + "?module-path=" + SOFTHSM_MODULE + "&pin-value=" + kPin);
        // The block comes back under the public half.
        Bytes pub = public_half(opened);
        Number n(bn_from_le(pub.data(), 128), BN_clear_free);
        Number e(bn_from_le(pub.data() + 128, 128), BN_clear_free);
        EXPECT_EQ(entry.nBits, BN_num_bits(n.get()));
        Bytes plain = random_bytes(127, 3);
        Bytes signedBlock = sign(opened, plain);
        plain.push_back(0);
        EXPECT_EQ(model_modexp(signedBlock, e.get(), n.get(), 128), plain);
    }
    // id=%01, id=%02 and two different random ids of 16 bytes.
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
    EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const std::string &id) { return id.size() >= 3 + 16; }), 2);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), ""), 0);
}

// What any message shows of an argument: a URI (any case of its scheme) as
// p11-kit reads it, in p11-kit's writing, never its query (PIN, module) nor a
// PIN in its path however spelled; the scheme alone where p11-kit cannot read
// it or we refuse it; an option's value as an argument; anything else as given.
TEST(TokenUriTest, PrintableUriHasNoQueryNorPinAttribute)
{
    struct {
        const char *uri;
        const char *printable;
    } cases[] = {
        {"pkcs11:token=a?pin-value=1234", "pkcs11:token=a"},
        {"pkcs11:token=a?module-path=X;pin-value=1234", "pkcs11:token=a"},
        {"pkcs11:token=a?PIN-VALUE=1234&module-name=m", "pkcs11:token=a"},
        {"pkcs11:token=a;object=k?", "pkcs11:token=a;object=k"},
        {"pkcs11:pin-value=1234;token=a;object=pin-value", "pkcs11:token=a;object=pin-value"},
        {"pkcs11:token=a;PIN-Value=1234;pin%2dvalue=1234;pin%2Dsource=/p;pin-source;%50in-valu%65", "pkcs11:"},
        {"pkcs11:token=a;pin-valued=1;pin%2=1;pin-value%=1", "pkcs11:token=a"},
        {"sign.key?pin-value=1", "sign.key?pin-value=1"},
        {"./pkcs11:token=a?pin-value=1", "./pkcs11:token=a?pin-value=1"},
        {"Pkcs11:token=a; pin-value =1234", "pkcs11:token=a"},
        {"pkcs11:token=a?&pin-value=1234&x-vendor=1234", "pkcs11:token=a"},
        {"pkcs11:token=a&pin-value=1234", "pkcs11:"},
        {"pkcs11:object=k%20%26;token=%61", "pkcs11:token=a;object=k%20%26"},
        {"pkcs11:token=%zz?pin-value=1234", "pkcs11:"},
        {"--x=pkcs11:token=a?pin-value=1234", "--x=pkcs11:token=a"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(token_uri_printable(c.uri), c.printable) << c.uri;
    }
    EXPECT_TRUE(is_token_uri("pkcs11:token=a") && is_token_uri("pKcS11:token=a"));
    EXPECT_FALSE(is_token_uri("sign.key") || is_token_uri("./pkcs11:token=a"));
}

} // namespace
