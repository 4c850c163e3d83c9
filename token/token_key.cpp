// SPDX-License-Identifier: Apache-2.0
// Keys in PKCS#11 tokens through p11-kit: the key that a URI selects, its
// public half and raw RSA on one block; listing and making keys.
#include "token_key.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/random.h>

#include "byte_order.h"
#include "image_format.h"
#include "token_session.h"

namespace {

constexpr int TOKEN_VALUE_MAX = 1024;  // bytes of the longest modulus, exponent, label or id read (8192 bits)
constexpr int TOKEN_ID_NEW = 16;       // bytes of the random CKA_ID of a generated key
constexpr int TOKEN_TEMPLATE_MAX = 16; // attributes of a search template
constexpr int TOKEN_BITS_MIN = 1017;
constexpr int TOKEN_BITS_MAX = 1024;

} // namespace

// One opened key and the session it lives in; token_key_close releases it on
// every path.
struct TokenKey {
    TokenSession session;
    TokenAccess access;
    CK_OBJECT_HANDLE hKey;
    CK_OBJECT_CLASS nClass;
    unsigned char szModulus[TOKEN_VALUE_MAX]; // big-endian, without leading zero bytes
    int nModulusLen;
    int nBits;
    bool bAlwaysAuthenticate;
};

namespace {

// Reads attribute nType of hObject into pBuf (nCap bytes); *pnLen gets its
// length. False when the object does not show it or it is longer than nCap.
bool get_attribute(const TokenSession *pSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_TYPE nType, void *pBuf, CK_ULONG nCap,
                   CK_ULONG *pnLen)
{
    CK_ATTRIBUTE attribute = {nType, pBuf, nCap};
    CK_RV rv = pSession->pModule->C_GetAttributeValue(pSession->hSession, hObject, &attribute, 1);
    *pnLen = rv == CKR_OK && attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION ? attribute.ulValueLen : 0;
    return rv == CKR_OK && attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION;
}

// Reads a big-endian number attribute without its leading zero bytes.
bool get_number(const TokenSession *pSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_TYPE nType, unsigned char *pBuf,
                int *pnLen)
{
    CK_ULONG nLen = 0;
    if (!get_attribute(pSession, hObject, nType, pBuf, TOKEN_VALUE_MAX, &nLen)) {
        return false;
    }
    CK_ULONG nSkip = 0;
    while (nSkip < nLen && pBuf[nSkip] == 0) {
        nSkip++;
    }
    memmove(pBuf, pBuf + nSkip, nLen - nSkip);
    *pnLen = static_cast<int>(nLen - nSkip);
    return *pnLen > 0;
}

// Bit length of a big-endian number without leading zero bytes.
int be_bit_length(const unsigned char *p, int nLen)
{
    int nBits = 8 * nLen;
    for (unsigned nMask = 0x80; nLen > 0 && nMask != 0 && (p[0] & nMask) == 0; nMask >>= 1) {
        nBits--;
    }
    return nBits;
}

// Collects every object of the session that matches the template.
CK_RV find_objects(const TokenSession *pSession, CK_ATTRIBUTE *pTemplate, CK_ULONG nTemplate,
                   std::vector<CK_OBJECT_HANDLE> *pFound)
{
    pFound->clear();
    CK_RV rv = pSession->pModule->C_FindObjectsInit(pSession->hSession, pTemplate, nTemplate);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE ahFound[16];
        CK_ULONG nFound = 0;
        rv = pSession->pModule->C_FindObjects(pSession->hSession, ahFound, 16, &nFound);
        if (rv != CKR_OK || nFound == 0) {
            break;
        }
        pFound->insert(pFound->end(), ahFound, ahFound + nFound);
    }
    CK_RV rvFinal = pSession->pModule->C_FindObjectsFinal(pSession->hSession);
    return rv != CKR_OK ? rv : rvFinal;
}

// Collects the keys of class nClass (RSA only with bRsa) that match the
// URI's attributes; the URI's own class is set aside.
int find_uri_keys(const TokenSession *pSession, CK_OBJECT_CLASS nClass, bool bRsa, std::vector<CK_OBJECT_HANDLE> *pFound,
                  std::string *pWhy)
{
    CK_KEY_TYPE nKeyType = CKK_RSA;
    CK_ATTRIBUTE aTemplate[TOKEN_TEMPLATE_MAX];
    CK_ULONG nTemplate = 0;
    CK_ULONG nUri = 0;
    CK_ATTRIBUTE *pUri = p11_kit_uri_get_attributes(pSession->pParsed, &nUri);
    for (CK_ULONG i = 0; i < nUri && nTemplate < TOKEN_TEMPLATE_MAX - 2; i++) {
        if (pUri[i].type != CKA_CLASS && pUri[i].type != CKA_KEY_TYPE) {
            aTemplate[nTemplate++] = pUri[i];
        }
    }
    aTemplate[nTemplate++] = CK_ATTRIBUTE{CKA_CLASS, &nClass, sizeof(nClass)};
    if (bRsa) {
        aTemplate[nTemplate++] = CK_ATTRIBUTE{CKA_KEY_TYPE, &nKeyType, sizeof(nKeyType)};
    }
    CK_RV rv = find_objects(pSession, aTemplate, nTemplate, pFound);
    if (rv != CKR_OK) {
        *pWhy = "cannot search token " + pSession->tokenLabel + ": " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// Finds the one key the URI names (logging in where needed) and reads its
// modulus and always-authenticate flag.
int select_key(TokenKey *pKey, std::string *pWhy)
{
    pKey->nClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE *pClass = p11_kit_uri_get_attribute(pKey->session.pParsed, CKA_CLASS);
    if (pClass != nullptr && pClass->ulValueLen == sizeof(CK_OBJECT_CLASS)) {
        CK_OBJECT_CLASS nAsked;
        memcpy(&nAsked, pClass->pValue, sizeof(nAsked));
        if (pKey->access == TOKEN_PUBLIC_HALF && nAsked == CKO_PUBLIC_KEY) {
            pKey->nClass = CKO_PUBLIC_KEY;
        } else if (nAsked != CKO_PRIVATE_KEY) {
            *pWhy = "URI names no private key: " + pKey->session.printable;
            return TOKEN_UNREACHABLE;
        }
    }
    bool bPrivate = pKey->nClass == CKO_PRIVATE_KEY;
    const char *pKind = bPrivate ? "RSA private key" : "RSA public key";
    bool bKeepPin = pKey->access == TOKEN_SIGN;
    // Only signing logs in first: a public half is read without a login where
    // the token shows it, from the private key or else from the one public key
    // the URI's attributes select.
    bool bLogin = bPrivate && bKeepPin && (pKey->session.nTokenFlags & CKF_LOGIN_REQUIRED) != 0;
    int nStatus = bLogin ? session_log_in(&pKey->session, bKeepPin, pWhy) : TOKEN_OK;
    std::vector<CK_OBJECT_HANDLE> found;
    if (nStatus == TOKEN_OK) {
        nStatus = find_uri_keys(&pKey->session, pKey->nClass, true, &found, pWhy);
    }
    if (nStatus == TOKEN_OK && found.empty() && bPrivate && !bKeepPin) {
        std::vector<CK_OBJECT_HANDLE> publicKeys;
        nStatus = find_uri_keys(&pKey->session, CKO_PUBLIC_KEY, true, &publicKeys, pWhy);
        if (publicKeys.size() == 1) {
            found = publicKeys;
            pKey->nClass = CKO_PUBLIC_KEY;
        }
    }
    if (nStatus == TOKEN_OK && found.empty() && bPrivate && !bLogin) {
        nStatus = session_log_in(&pKey->session, bKeepPin, pWhy);
        if (nStatus == TOKEN_OK) {
            nStatus = find_uri_keys(&pKey->session, pKey->nClass, true, &found, pWhy);
        }
    }
    if (nStatus == TOKEN_OK && found.empty()) {
        nStatus = find_uri_keys(&pKey->session, pKey->nClass, false, &found, pWhy);
        if (nStatus == TOKEN_OK && !found.empty()) {
            *pWhy = std::string("the key URI ") + pKey->session.printable + " names is not an RSA key";
            return TOKEN_REFUSED;
        }
        if (nStatus == TOKEN_OK) {
            *pWhy = std::string("no ") + pKind + " matches URI " + pKey->session.printable;
            return TOKEN_UNREACHABLE;
        }
    }
    if (nStatus == TOKEN_OK && found.size() > 1) {
        *pWhy = std::string("several ") + pKind + "s match URI " + pKey->session.printable;
        return TOKEN_UNREACHABLE;
    }
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    pKey->hKey = found[0];
    if (!get_number(&pKey->session, pKey->hKey, CKA_MODULUS, pKey->szModulus, &pKey->nModulusLen)) {
        *pWhy = "cannot read the modulus of the key URI " + pKey->session.printable + " names";
        return TOKEN_UNREACHABLE;
    }
    pKey->nBits = be_bit_length(pKey->szModulus, pKey->nModulusLen);
    CK_BBOOL bAlways = CK_FALSE;
    CK_ULONG nLen = 0;
    pKey->bAlwaysAuthenticate =
        pKey->nClass == CKO_PRIVATE_KEY &&
        get_attribute(&pKey->session, pKey->hKey, CKA_ALWAYS_AUTHENTICATE, &bAlways, sizeof(bAlways), &nLen) &&
        nLen == sizeof(bAlways) && bAlways == CK_TRUE;
    return TOKEN_OK;
}

// True when the token lists CKM_RSA_X_509 among its mechanisms and offers it
// for signing.
bool offers_raw_rsa_signing(const TokenSlot &token)
{
    std::vector<CK_MECHANISM_TYPE> mechanisms;
    CK_ULONG nMechanisms = 0;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    while (rv == CKR_BUFFER_TOO_SMALL) {
        if (token.pModule->C_GetMechanismList(token.nSlot, nullptr, &nMechanisms) != CKR_OK) {
            return false;
        }
        mechanisms.resize(nMechanisms);
        rv = token.pModule->C_GetMechanismList(token.nSlot, mechanisms.data(), &nMechanisms);
    }
    mechanisms.resize(rv == CKR_OK ? nMechanisms : 0);
    CK_MECHANISM_INFO info;
    return std::find(mechanisms.begin(), mechanisms.end(), CKM_RSA_X_509) != mechanisms.end() &&
           token.pModule->C_GetMechanismInfo(token.nSlot, CKM_RSA_X_509, &info) == CKR_OK &&
           (info.flags & CKF_SIGN) != 0;
}

// One try at the key of the parsed URI: its one token, a session, the login
// where needed and the key.
int open_in_token(TokenKey *pKey, std::string *pWhy)
{
    std::vector<TokenSlot> tokens;
    int nStatus = session_reach_tokens(&pKey->session, &tokens, pWhy);
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    if (tokens.size() > 1) {
        *pWhy = "several tokens match URI " + pKey->session.printable;
        return TOKEN_UNREACHABLE;
    }
    if (pKey->access == TOKEN_SIGN && !offers_raw_rsa_signing(tokens[0])) {
        *pWhy = "token " + token_label(tokens[0].info) + " does not offer raw RSA signing (CKM_RSA_X_509)";
        return TOKEN_UNREACHABLE;
    }
    nStatus = session_open(&pKey->session, tokens[0], false, pWhy);
    return nStatus == TOKEN_OK ? select_key(pKey, pWhy) : nStatus;
}

// The rest of token_key_open, on a fresh pKey.
int open_key(TokenKey *pKey, const char *pUri, std::string *pWhy)
{
    int nStatus = session_parse_uri(&pKey->session, pUri, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = session_retry(
            &pKey->session, [pKey](std::string *pTryWhy) { return open_in_token(pKey, pTryWhy); }, pWhy);
    }
    session_free_uri(&pKey->session);
    if (!(pKey->access == TOKEN_SIGN && pKey->bAlwaysAuthenticate)) {
        pin_forget(&pKey->session.pin);
    }
    return nStatus;
}

// The URI that selects the key hObject in the session's token: token=,
// serial=, object=, id=, type=private. Empty when p11-kit cannot make it.
std::string entry_uri(const TokenSession *pSession, const CK_TOKEN_INFO &info, CK_OBJECT_HANDLE hObject)
{
    std::string uri;
    P11KitUri *pEntry = p11_kit_uri_new();
    if (pEntry == nullptr) {
        return uri;
    }
    CK_TOKEN_INFO *pTokenInfo = p11_kit_uri_get_token_info(pEntry);
    memcpy(pTokenInfo->label, info.label, sizeof(info.label));
    if (p11_kit_space_strlen(info.serialNumber, sizeof(info.serialNumber)) > 0) {
        memcpy(pTokenInfo->serialNumber, info.serialNumber, sizeof(info.serialNumber));
    }
    CK_OBJECT_CLASS nClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE classAttribute = {CKA_CLASS, &nClass, sizeof(nClass)};
    bool bOk = p11_kit_uri_set_attribute(pEntry, &classAttribute) == P11_KIT_URI_OK;
    unsigned char szValue[TOKEN_VALUE_MAX];
    for (CK_ATTRIBUTE_TYPE nType : {CKA_LABEL, CKA_ID}) {
        CK_ULONG nLen = 0;
        if (bOk && get_attribute(pSession, hObject, nType, szValue, sizeof(szValue), &nLen) && nLen > 0) {
            CK_ATTRIBUTE attribute = {nType, szValue, nLen};
            bOk = p11_kit_uri_set_attribute(pEntry, &attribute) == P11_KIT_URI_OK;
        }
    }
    char *pFormatted = nullptr;
    if (bOk && p11_kit_uri_format(pEntry, P11_KIT_URI_FOR_OBJECT_ON_TOKEN, &pFormatted) == P11_KIT_URI_OK) {
        uri = pFormatted;
    }
    free(pFormatted);
    p11_kit_uri_free(pEntry);
    return uri;
}

// Adds the RSA private keys of one token that the URI selects to *pKeys.
int list_token(TokenSession *pSession, const TokenSlot &token, std::vector<TokenKeyEntry> *pKeys, std::string *pWhy)
{
    int nStatus = session_open(pSession, token, false, pWhy);
    bool bLogin = (token.info.flags & CKF_LOGIN_REQUIRED) != 0;
    if (nStatus == TOKEN_OK && bLogin) {
        nStatus = session_log_in(pSession, false, pWhy);
    }
    std::vector<CK_OBJECT_HANDLE> found;
    if (nStatus == TOKEN_OK) {
        nStatus = find_uri_keys(pSession, CKO_PRIVATE_KEY, true, &found, pWhy);
    }
    if (nStatus == TOKEN_OK && found.empty() && !bLogin) {
        nStatus = session_log_in(pSession, false, pWhy);
        if (nStatus == TOKEN_OK) {
            nStatus = find_uri_keys(pSession, CKO_PRIVATE_KEY, true, &found, pWhy);
        }
    }
    for (size_t i = 0; nStatus == TOKEN_OK && i < found.size(); i++) {
        unsigned char szModulus[TOKEN_VALUE_MAX];
        int nLen = 0;
        TokenKeyEntry entry{entry_uri(pSession, token.info, found[i]), 0};
        if (get_number(pSession, found[i], CKA_MODULUS, szModulus, &nLen)) {
            entry.nBits = be_bit_length(szModulus, nLen);
        }
        if (entry.uri.empty()) {
            *pWhy = "cannot make a URI for a key in token " + pSession->tokenLabel;
            nStatus = TOKEN_UNREACHABLE;
        } else {
            pKeys->push_back(entry);
        }
    }
    session_end(pSession);
    return nStatus;
}

// The objects of the session's token labelled label, of class *pnClass
// unless that is null, with CKA_ID szId unless that is null.
CK_RV find_labelled(const TokenSession *pSession, const std::string &label, const CK_OBJECT_CLASS *pnClass,
                    const unsigned char *szId, std::vector<CK_OBJECT_HANDLE> *pFound)
{
    CK_ATTRIBUTE aTemplate[3] = {{CKA_LABEL, const_cast<char *>(label.data()), label.size()}};
    CK_ULONG nTemplate = 1;
    if (pnClass != nullptr) {
        aTemplate[nTemplate++] = {CKA_CLASS, const_cast<CK_OBJECT_CLASS *>(pnClass), sizeof(*pnClass)};
    }
    if (szId != nullptr) {
        aTemplate[nTemplate++] = {CKA_ID, const_cast<unsigned char *>(szId), TOKEN_ID_NEW};
    }
    return find_objects(pSession, aTemplate, nTemplate, pFound);
}

// Makes a key pair of nBits labelled label, with the fresh random CKA_ID it
// puts in szId, in the session's token (see token_generate_key).
int make_key_pair(TokenSession *pSession, const std::string &label, int nBits, unsigned char *szId, std::string *pWhy)
{
    if (getrandom(szId, TOKEN_ID_NEW, 0) != TOKEN_ID_NEW) {
        *pWhy = std::string("no random CKA_ID: ") + strerror(errno);
        return TOKEN_UNREACHABLE;
    }
    CK_BBOOL bTrue = CK_TRUE;
    CK_BBOOL bFalse = CK_FALSE;
    CK_ULONG nModulusBits = static_cast<CK_ULONG>(nBits);
    unsigned char szExponent[] = {0x01, 0x00, 0x01};
    char *pLabel = const_cast<char *>(label.data());
    CK_ATTRIBUTE aPublic[] = {
        {CKA_TOKEN, &bTrue, sizeof(bTrue)},
        {CKA_VERIFY, &bTrue, sizeof(bTrue)},
        {CKA_MODULUS_BITS, &nModulusBits, sizeof(nModulusBits)},
        {CKA_PUBLIC_EXPONENT, szExponent, sizeof(szExponent)},
        {CKA_LABEL, pLabel, label.size()},
        {CKA_ID, szId, TOKEN_ID_NEW},
    };
    CK_ATTRIBUTE aPrivate[] = {
        {CKA_TOKEN, &bTrue, sizeof(bTrue)},     {CKA_PRIVATE, &bTrue, sizeof(bTrue)},
        {CKA_SENSITIVE, &bTrue, sizeof(bTrue)}, {CKA_EXTRACTABLE, &bFalse, sizeof(bFalse)},
        {CKA_SIGN, &bTrue, sizeof(bTrue)},      {CKA_LABEL, pLabel, label.size()},
        {CKA_ID, szId, TOKEN_ID_NEW},
    };
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE hPublic = 0;
    CK_OBJECT_HANDLE hPrivate = 0;
    CK_RV rv = pSession->pModule->C_GenerateKeyPair(pSession->hSession, &mechanism, aPublic,
                                                    sizeof(aPublic) / sizeof(aPublic[0]), aPrivate,
                                                    sizeof(aPrivate) / sizeof(aPrivate[0]), &hPublic, &hPrivate);
    if (rv != CKR_OK) {
        *pWhy = "token " + pSession->tokenLabel + " made no key pair: " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// One try at a read-write session, logged in, with the one token of the
// parsed URI; the PIN is kept for the sessions after.
int reach_for_writing(TokenSession *pSession, std::string *pWhy)
{
    std::vector<TokenSlot> tokens;
    int nStatus = session_reach_tokens(pSession, &tokens, pWhy);
    if (nStatus == TOKEN_OK && tokens.size() > 1) {
        *pWhy = "several tokens match URI " + pSession->printable;
        nStatus = TOKEN_UNREACHABLE;
    }
    nStatus = nStatus == TOKEN_OK ? session_open(pSession, tokens[0], true, pWhy) : nStatus;
    return nStatus == TOKEN_OK ? session_log_in(pSession, true, pWhy) : nStatus;
}

// The same session again, with the modules loaded anew after a pause: a
// module may not show what another process has just made until it reads its
// store afresh.
int reach_again(TokenSession *pSession, int nTry, std::string *pWhy)
{
    session_restart(pSession);
    token_backoff(nTry);
    return session_retry(
        pSession, [pSession](std::string *pTryWhy) { return reach_for_writing(pSession, pTryWhy); }, pWhy);
}

// Makes the key pair unless the token holds an object labelled label; then
// looks again (afresh), and where another run made a key with that label at
// the same time removes ours, so that at most one survives. Ours is made
// again when none survived, up to TOKEN_TRIES times.
int make_only_key(TokenSession *pSession, const std::string &label, int nBits, std::string *pWhy)
{
    const CK_OBJECT_CLASS nPrivate = CKO_PRIVATE_KEY;
    std::string raced = "another key with label " + label + " was made at the same time";
    for (int nTry = 1;; nTry++) {
        std::vector<CK_OBJECT_HANDLE> found;
        CK_RV rv = find_labelled(pSession, label, nTry == 1 ? nullptr : &nPrivate, nullptr, &found);
        if (rv == CKR_OK && !found.empty()) {
            *pWhy = nTry == 1 ? "token " + pSession->tokenLabel + " already holds an object labelled " + label : raced;
            return TOKEN_REFUSED;
        }
        unsigned char szId[TOKEN_ID_NEW];
        int nStatus = rv == CKR_OK ? make_key_pair(pSession, label, nBits, szId, pWhy) : TOKEN_UNREACHABLE;
        nStatus = nStatus == TOKEN_OK ? reach_again(pSession, 1, pWhy) : nStatus;
        rv = nStatus == TOKEN_OK ? find_labelled(pSession, label, &nPrivate, nullptr, &found) : rv;
        if (rv != CKR_OK) {
            *pWhy = "cannot search token " + pSession->tokenLabel + ": " + rv_text(rv);
            return TOKEN_UNREACHABLE;
        }
        if (nStatus != TOKEN_OK || found.size() == 1) {
            return nStatus;
        }
        rv = find_labelled(pSession, label, nullptr, szId, &found);
        for (size_t i = 0; rv == CKR_OK && i < found.size(); i++) {
            rv = pSession->pModule->C_DestroyObject(pSession->hSession, found[i]);
        }
        if (rv != CKR_OK || nTry == TOKEN_TRIES) {
            *pWhy = raced + (rv != CKR_OK ? "; ours was not removed: " + rv_text(rv) : "");
            return TOKEN_REFUSED;
        }
        nStatus = reach_again(pSession, nTry, pWhy);
        if (nStatus != TOKEN_OK) {
            return nStatus;
        }
    }
}

// The rest of token_generate_key, on a fresh session.
int generate_key(TokenSession *pSession, const char *pUri, int nBits, std::string *pWhy)
{
    int nStatus = session_parse_uri(pSession, pUri, pWhy);
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    CK_ATTRIBUTE *pLabel = p11_kit_uri_get_attribute(pSession->pParsed, CKA_LABEL);
    if (pLabel == nullptr || pLabel->ulValueLen == 0 || p11_kit_uri_get_token_info(pSession->pParsed)->label[0] == 0) {
        *pWhy = "URI " + pSession->printable + " must name the token (token=) and the key (object=)";
        return TOKEN_UNREACHABLE;
    }
    std::string label(static_cast<const char *>(pLabel->pValue), pLabel->ulValueLen);
    if (nBits < TOKEN_BITS_MIN || nBits > TOKEN_BITS_MAX) {
        *pWhy = "a signing key has 1017 to 1024 bits, not " + std::to_string(nBits);
        return TOKEN_REFUSED;
    }
    nStatus = session_retry(
        pSession, [pSession](std::string *pTryWhy) { return reach_for_writing(pSession, pTryWhy); }, pWhy);
    return nStatus == TOKEN_OK ? make_only_key(pSession, label, nBits, pWhy) : nStatus;
}

} // namespace

int token_key_open(const char *pUri, TokenAccess access, TokenKey **ppKey, std::string *pWhy)
{
    *ppKey = nullptr;
    TokenKey *pKey = new (std::nothrow) TokenKey{};
    if (pKey == nullptr) {
        *pWhy = "out of memory";
        return TOKEN_UNREACHABLE;
    }
    pKey->access = access;
    int nStatus = open_key(pKey, pUri, pWhy);
    if (nStatus != TOKEN_OK) {
        token_key_close(pKey);
        return nStatus;
    }
    *ppKey = pKey;
    return TOKEN_OK;
}

int token_key_public(TokenKey *pKey, unsigned char *pPublic, std::string *pWhy)
{
    if (pKey->nBits < TOKEN_BITS_MIN || pKey->nBits > TOKEN_BITS_MAX) {
        *pWhy = "the key URI " + pKey->session.printable + " names has " + std::to_string(pKey->nBits) +
                " bits; a signing key has 1017 to 1024";
        return TOKEN_REFUSED;
    }
    unsigned char szExponent[TOKEN_VALUE_MAX];
    int nExponent = 0;
    bool bFound = get_number(&pKey->session, pKey->hKey, CKA_PUBLIC_EXPONENT, szExponent, &nExponent);
    if (!bFound && pKey->nClass == CKO_PRIVATE_KEY) {
        // The public key with the same CKA_ID and the same modulus shows it.
        unsigned char szId[TOKEN_VALUE_MAX];
        CK_ULONG nId = 0;
        std::vector<CK_OBJECT_HANDLE> found;
        CK_OBJECT_CLASS nClass = CKO_PUBLIC_KEY;
        CK_KEY_TYPE nKeyType = CKK_RSA;
        CK_ATTRIBUTE aTemplate[] = {
            {CKA_CLASS, &nClass, sizeof(nClass)}, {CKA_KEY_TYPE, &nKeyType, sizeof(nKeyType)}, {CKA_ID, szId, 0}};
        if (get_attribute(&pKey->session, pKey->hKey, CKA_ID, szId, sizeof(szId), &nId) && nId > 0) {
            aTemplate[2].ulValueLen = nId;
            if (find_objects(&pKey->session, aTemplate, 3, &found) != CKR_OK) {
                found.clear();
            }
        }
        for (size_t i = 0; !bFound && i < found.size(); i++) {
            unsigned char szModulus[TOKEN_VALUE_MAX];
            int nModulus = 0;
            bFound = get_number(&pKey->session, found[i], CKA_MODULUS, szModulus, &nModulus) && nModulus == pKey->nModulusLen &&
                     memcmp(szModulus, pKey->szModulus, nModulus) == 0 &&
                     get_number(&pKey->session, found[i], CKA_PUBLIC_EXPONENT, szExponent, &nExponent);
        }
    }
    if (!bFound) {
        *pWhy = "no public exponent for the key URI " + pKey->session.printable + " names";
        return TOKEN_UNREACHABLE;
    }
    if (nExponent > RSA_FIELD_SIZE) {
        *pWhy = "the public exponent of the key URI " + pKey->session.printable + " names is longer than 128 bytes";
        return TOKEN_REFUSED;
    }
    memset(pPublic, 0, SI_PUBLIC_SIZE);
    reverse_bytes(pPublic + RSA_BLOB_N, pKey->szModulus, static_cast<size_t>(pKey->nModulusLen));
    reverse_bytes(pPublic + RSA_BLOB_E, szExponent, static_cast<size_t>(nExponent));
    return TOKEN_OK;
}

int token_key_sign_block(TokenKey *pKey, const unsigned char *pPlain, unsigned char *pSigned, std::string *pWhy)
{
    if (pKey->access != TOKEN_SIGN || pKey->nClass != CKO_PRIVATE_KEY) {
        *pWhy = "the key URI " + pKey->session.printable + " names was not opened for signing";
        return TOKEN_UNREACHABLE;
    }
    // A longer raw input than the modulus can end the whole process in some
    // modules: only a modulus of exactly one block passes.
    if (pKey->nModulusLen != SI_BLOCK_SIZE) {
        *pWhy = "the key URI " + pKey->session.printable + " names has " + std::to_string(pKey->nBits) +
                " bits; a signing key has 1017 to 1024";
        return TOKEN_REFUSED;
    }
    unsigned char szInput[SI_BLOCK_SIZE];
    szInput[0] = 0;
    reverse_bytes(szInput + 1, pPlain, SI_BLOCK_PLAIN);
    CK_MECHANISM mechanism = {CKM_RSA_X_509, nullptr, 0};
    CK_RV rv = pKey->session.pModule->C_SignInit(pKey->session.hSession, &mechanism, pKey->hKey);
    if (rv != CKR_OK) {
        *pWhy = "token " + pKey->session.tokenLabel + " does not start signing: " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    unsigned char szOutput[TOKEN_VALUE_MAX];
    CK_ULONG nOutput = sizeof(szOutput);
    if (pKey->bAlwaysAuthenticate) {
        rv = pKey->session.pModule->C_Login(pKey->session.hSession, CKU_CONTEXT_SPECIFIC, pKey->session.pin.sz, pKey->session.pin.nLen);
        if (rv != CKR_OK) {
            // C_Sign ends the started operation; without the login it signs nothing.
            CK_RV rvEnd = pKey->session.pModule->C_Sign(pKey->session.hSession, szInput, SI_BLOCK_SIZE, szOutput, &nOutput);
            (void)rvEnd;
            *pWhy = rv == CKR_PIN_INCORRECT
                        ? "wrong PIN for token " + pKey->session.tokenLabel
                        : "login for one signature to token " + pKey->session.tokenLabel + " failed: " + rv_text(rv);
            return TOKEN_UNREACHABLE;
        }
    }
    rv = pKey->session.pModule->C_Sign(pKey->session.hSession, szInput, SI_BLOCK_SIZE, szOutput, &nOutput);
    if (rv != CKR_OK || nOutput == 0 || nOutput > SI_BLOCK_SIZE) {
        *pWhy = "token " + pKey->session.tokenLabel +
                " did not sign: " + (rv != CKR_OK ? rv_text(rv) : std::to_string(nOutput) + " bytes back");
        return TOKEN_UNREACHABLE;
    }
    memset(pSigned, 0, SI_BLOCK_SIZE);
    reverse_bytes(pSigned, szOutput, nOutput);
    return TOKEN_OK;
}

void token_key_close(TokenKey *pKey)
{
    if (pKey == nullptr) {
        return;
    }
    session_release(&pKey->session);
    delete pKey;
}

int token_list_keys(const char *pUri, std::vector<TokenKeyEntry> *pKeys, std::string *pWhy)
{
    pKeys->clear();
    TokenSession session{};
    int nStatus = session_parse_uri(&session, pUri, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = session_retry(
            &session,
            [&session, pKeys](std::string *pTryWhy) {
                std::vector<TokenSlot> tokens;
                pKeys->clear();
                int nTry = session_reach_tokens(&session, &tokens, pTryWhy);
                for (size_t i = 0; nTry == TOKEN_OK && i < tokens.size(); i++) {
                    nTry = list_token(&session, tokens[i], pKeys, pTryWhy);
                }
                return nTry;
            },
            pWhy);
    }
    session_release(&session);
    if (nStatus != TOKEN_OK) {
        pKeys->clear();
    }
    return nStatus;
}

int token_generate_key(const char *pUri, int nBits, std::string *pWhy)
{
    TokenSession session{};
    int nStatus = generate_key(&session, pUri, nBits, pWhy);
    session_release(&session);
    return nStatus;
}

int token_read_public(const char *pUri, TokenAccess access, unsigned char *pPublic, std::string *pWhy)
{
    TokenKey *pKey = nullptr;
    int nStatus = token_key_open(pUri, access, &pKey, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = token_key_public(pKey, pPublic, pWhy);
    }
    token_key_close(pKey);
    return nStatus;
}
