// SPDX-License-Identifier: Apache-2.0
// A throwaway SoftHSM2 token store for tests, and RSA keys from OpenSSL to
// put in it. Needs only softhsm2-util and OpenSSL, not our token module.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <p11-kit/p11-kit.h>

#include <functional>
#include <memory>
#include <string>

#include "test_support.h"

constexpr const char *SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so";

// A token folder in a temporary folder with its softhsm2.conf, set in
// SOFTHSM2_CONF for this process and its children until the end of the test.
struct SoftHsm {
    TempDir dir;
    bool bReady; // softhsm2-util and the module are installed
    bool bHadConf;
    std::string oldConf; // SOFTHSM2_CONF before

    SoftHsm();
    ~SoftHsm();
    // Writes softhsm2.conf with the extra line (such as a slots.mechanisms
    // list); a module initialised after reads it.
    bool write_conf(const std::string &extra = "") const;
    // A new token; false when softhsm2-util fails.
    bool init_token(const std::string &label, const std::string &pin) const;
    // Imports the key pair (written as PKCS#8 PEM) with CKA_LABEL object and
    // CKA_ID idHex (hex digits); false when softhsm2-util fails.
    bool import_key(EVP_PKEY *pKey, const std::string &token, const std::string &object, const std::string &idHex,
                    const std::string &pin) const;
    // "pkcs11:" + path + "?module-path=<SoftHSM2>" + ("&" + query).
    std::string uri(const std::string &path, const std::string &query = "") const;
};

// A key that frees itself: Key key(new_rsa_key(1024), EVP_PKEY_free).
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// A fresh RSA key of the given size, public exponent and number of primes
// (EVP_PKEY_free it).
EVP_PKEY *new_rsa_key(int bits, unsigned nExponent = 65537, int nPrimes = 2);
// A fresh P-256 key (EVP_PKEY_free it).
EVP_PKEY *new_ec_key();
// One number of an RSA key by its OpenSSL name (OSSL_PKEY_PARAM_RSA_N, ...);
// the caller frees it.
BIGNUM *rsa_number(const EVP_PKEY *pKey, const char *pName);
// The key file of an RSA key: its n, e and d.
Bytes key_file_of(const EVP_PKEY *pKey);

using SessionFn = std::function<bool(CK_FUNCTION_LIST *, CK_SESSION_HANDLE)>;

// Runs fn in a read-write session with the token labelled label (logged in
// when nPin > 0), the SoftHSM2 module loaded here through p11-kit and
// finalised after; false when that fails or fn does. *pnFlags gets the
// token's flags.
bool with_session(const std::string &label, const unsigned char *pPin, size_t nPin, const SessionFn &fn,
                  CK_FLAGS *pnFlags = nullptr);

// Creates the key's private half in the token through C_CreateObject, with
// CKA_ALWAYS_AUTHENTICATE bAlways and CKA_ID 0x77; with bSplit its public
// exponent is only in a public key object with the same CKA_ID. Where
// nShownExponent is not 0 the objects show it instead of the key's exponent;
// where nShownLen is more than 4, with a 1 in the first of nShownLen bytes.
bool create_key(const EVP_PKEY *pKey, const std::string &token, const unsigned char *pPin, size_t nPin,
                const std::string &object, CK_BBOOL bAlways, bool bSplit, unsigned nShownExponent = 0,
                size_t nShownLen = 4);

// Reads everything from fd until it ends or nSeconds pass, stopping early
// once pStop shows up.
std::string read_until(int fd, const char *pStop, int nSeconds);
