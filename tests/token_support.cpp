#include "token_support.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <cstdlib>
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

EVP_PKEY *new_rsa_key(int bits, unsigned nExponent)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    BIGNUM *pExponent = BN_new();
    EVP_PKEY *pKey = nullptr;
    if (pCtx == nullptr || pExponent == nullptr || BN_set_word(pExponent, nExponent) != 1 ||
        EVP_PKEY_keygen_init(pCtx) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(pCtx, bits) <= 0 ||
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
