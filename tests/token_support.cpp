// SPDX-License-Identifier: Apache-2.0
#include "token_support.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *SOFTHSM_UTIL = "/usr/bin/softhsm2-util";

// Runs softhsm2-util; true when it exits 0.
bool softhsm_util(std::vector<std::string> args)
{
    args.insert(args.begin(), SOFTHSM_UTIL);
    return run_program(args, 120).status == 0;
}

} // namespace

SoftHsm::SoftHsm() : bReady(access(SOFTHSM_UTIL, X_OK) == 0 && access(SOFTHSM_MODULE, R_OK) == 0), bHadConf(false)
{
    const char *pOld = getenv("SOFTHSM2_CONF");
    if (pOld != nullptr) {
        bHadConf = true;
        oldConf = pOld;
    }
    if (!write_conf() || mkdir(dir.file("tokens").c_str(), 0700) != 0) {
        bReady = false;
    }
    setenv("SOFTHSM2_CONF", dir.file("softhsm2.conf").c_str(), 1);
}

SoftHsm::~SoftHsm()
{
    if (bHadConf) {
        setenv("SOFTHSM2_CONF", oldConf.c_str(), 1);
    } else {
        unsetenv("SOFTHSM2_CONF");
    }
}

bool SoftHsm::write_conf(const std::string &extra) const
{
    std::string conf = "directories.tokendir = " + dir.file("tokens") +
                       "\nobjectstore.backend = file\nlog.level = ERROR\n" + extra + "\n";
    write_file(dir.file("softhsm2.conf"), Bytes(conf.begin(), conf.end()));
    return read_file(dir.file("softhsm2.conf")).size() == conf.size();
}

bool SoftHsm::init_token(const std::string &label, const std::string &pin) const
{
    return softhsm_util({"--init-token", "--free", "--label", label, "--pin", pin, "--so-pin", "so-" + pin});
}

bool SoftHsm::import_key(EVP_PKEY *pKey, const std::string &token, const std::string &object, const std::string &idHex,
                         const std::string &pin) const
{
    std::string pem = dir.file("import.pem");
    FILE *pFile = fopen(pem.c_str(), "w");
    if (pFile == nullptr) {
        return false;
    }
    bool bWritten = PEM_write_PrivateKey(pFile, pKey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (fclose(pFile) != 0 || !bWritten) {
        return false;
    }
    bool bOk = softhsm_util({"--import", pem, "--token", token, "--label", object, "--id", idHex, "--pin", pin});
    return unlink(pem.c_str()) == 0 && bOk;
}

std::string SoftHsm::uri(const std::string &path, const std::string &query) const
{
    return "pkcs11:" + path + "?module-path=" + SOFTHSM_MODULE + (query.empty() ? "" : "&" + query);
}

EVP_PKEY *new_rsa_key(int bits, unsigned nExponent, int nPrimes)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    BIGNUM *pExponent = BN_new();
    EVP_PKEY *pKey = nullptr;
    if (pCtx == nullptr || pExponent == nullptr || BN_set_word(pExponent, nExponent) != 1 ||
        EVP_PKEY_keygen_init(pCtx) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(pCtx, bits) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_primes(pCtx, nPrimes) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(pCtx, pExponent) <= 0 || EVP_PKEY_keygen(pCtx, &pKey) <= 0) {
        abort();
    }
    BN_free(pExponent);
    EVP_PKEY_CTX_free(pCtx);
    return pKey;
}

EVP_PKEY *new_ec_key()
{
    EVP_PKEY *pKey = EVP_EC_gen("P-256");
    if (pKey == nullptr) {
        abort();
    }
    return pKey;
}

BIGNUM *rsa_number(const EVP_PKEY *pKey, const char *pName)
{
    BIGNUM *pNumber = nullptr;
    if (EVP_PKEY_get_bn_param(pKey, pName, &pNumber) != 1) {
        abort();
    }
    return pNumber;
}

Bytes key_file_of(const EVP_PKEY *pKey)
{
    BIGNUM *n = rsa_number(pKey, OSSL_PKEY_PARAM_RSA_N), *e = rsa_number(pKey, OSSL_PKEY_PARAM_RSA_E);
    BIGNUM *d = rsa_number(pKey, OSSL_PKEY_PARAM_RSA_D);
    Bytes file = key_file(n, e, d);
    BN_free(n), BN_free(e), BN_clear_free(d);
    return file;
}

bool with_session(const std::string &label, const unsigned char *pPin, size_t nPin, const SessionFn &fn,
                  CK_FLAGS *pnFlags)
{
    CK_FUNCTION_LIST *pModule = p11_kit_module_load(SOFTHSM_MODULE, 0);
    bool bOk = false;
    if (pModule != nullptr && p11_kit_module_initialize(pModule) == CKR_OK) {
        CK_SLOT_ID anSlots[16];
        CK_ULONG nSlots = 16;
        CK_TOKEN_INFO info;
        CK_SESSION_HANDLE hSession;
        for (CK_ULONG i = 0; pModule->C_GetSlotList(CK_TRUE, anSlots, &nSlots) == CKR_OK && i < nSlots; i++) {
            if (pModule->C_GetTokenInfo(anSlots[i], &info) != CKR_OK ||
                p11_kit_space_strlen(info.label, sizeof(info.label)) != label.size() ||
                label.compare(0, label.size(), reinterpret_cast<const char *>(info.label), label.size()) != 0 ||
                pModule->C_OpenSession(anSlots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &hSession) !=
                    CKR_OK) {
                continue;
            }
            bOk = (nPin == 0 ||
                   pModule->C_Login(hSession, CKU_USER, const_cast<unsigned char *>(pPin), nPin) == CKR_OK) &&
                  fn(pModule, hSession);
            EXPECT_EQ(pModule->C_CloseSession(hSession), CKR_OK);
            if (pnFlags != nullptr) {
                *pnFlags = info.flags;
            }
        }
        EXPECT_EQ(p11_kit_module_finalize(pModule), CKR_OK);
    }
    p11_kit_module_release(pModule);
    return bOk;
}

bool create_key(const EVP_PKEY *pKey, const std::string &token, const unsigned char *pPin, size_t nPin,
                const std::string &object, CK_BBOOL bAlways, bool bSplit, unsigned nShownExponent, size_t nShownLen)
{
    CK_OBJECT_CLASS nPrivate = CKO_PRIVATE_KEY, nPublic = CKO_PUBLIC_KEY;
    CK_KEY_TYPE nType = CKK_RSA;
    CK_BBOOL bTrue = CK_TRUE;
    unsigned char szId[] = {0x77};
    Bytes shown(nShownLen, 0);
    for (size_t i = 0; i < 4; i++) {
        shown[nShownLen - 1 - i] = static_cast<unsigned char>(nShownExponent >> (8 * i));
    }
    shown[0] |= nShownLen > 4 ? 1 : 0;
    std::vector<CK_ATTRIBUTE> priv = {{CKA_CLASS, &nPrivate, sizeof(nPrivate)},
                                      {CKA_KEY_TYPE, &nType, sizeof(nType)},
                                      {CKA_ALWAYS_AUTHENTICATE, &bAlways, 1},
                                      {CKA_ID, szId, 1}};
    std::vector<CK_ATTRIBUTE> pub = {{CKA_CLASS, &nPublic, sizeof(nPublic)},
                                     {CKA_KEY_TYPE, &nType, sizeof(nType)},
                                     {CKA_TOKEN, &bTrue, 1},
                                     {CKA_ID, szId, 1}};
    for (CK_ATTRIBUTE_TYPE nFlag : {CKA_TOKEN, CKA_PRIVATE, CKA_SIGN}) {
        priv.push_back({nFlag, &bTrue, 1});
    }
    priv.push_back({CKA_LABEL, const_cast<char *>(object.data()), object.size()});
    const char *apNames[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                             OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                             OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                             OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const CK_ATTRIBUTE_TYPE anTypes[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                         CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
    std::vector<Bytes> numbers(8);
    for (size_t i = 0; i < 8; i++) {
        BIGNUM *bn = rsa_number(pKey, apNames[i]);
        numbers[i].resize(static_cast<size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, numbers[i].data());
        BN_clear_free(bn);
        CK_ATTRIBUTE attribute = {anTypes[i], numbers[i].data(), numbers[i].size()};
        if (i == 1 && nShownExponent != 0) {
            attribute = {CKA_PUBLIC_EXPONENT, shown.data(), shown.size()};
        }
        if (i < 2) {
            pub.push_back(attribute);
        }
        if (i != 1 || !bSplit) {
            priv.push_back(attribute);
        }
    }
    return with_session(token, pPin, nPin, [&](CK_FUNCTION_LIST *pModule, CK_SESSION_HANDLE hSession) {
        CK_OBJECT_HANDLE hObject;
        return pModule->C_CreateObject(hSession, priv.data(), priv.size(), &hObject) == CKR_OK &&
               (!bSplit || pModule->C_CreateObject(hSession, pub.data(), pub.size(), &hObject) == CKR_OK);
    });
}

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
