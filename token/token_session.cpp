// SPDX-License-Identifier: Apache-2.0
// Modules, tokens and sessions through p11-kit: the URI that selects them,
// as parsed and as shown, and the login.
#include "token_session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <sys/random.h>

#include "token_uri.h"

namespace {

constexpr CK_SLOT_ID TOKEN_ANY_SLOT = static_cast<CK_SLOT_ID>(-1); // what p11-kit gives without slot-id
constexpr long TOKEN_BACKOFF_FIRST_MS = 25;
constexpr long TOKEN_BACKOFF_MAX_MS = 250;
static_assert((TOKEN_BACKOFF_FIRST_MS * 15 + TOKEN_BACKOFF_MAX_MS * (TOKEN_TRIES - 5)) * 3 / 2 <= 2500,
              "the tries of a busy token take about 2 s at most");

// What a look for tokens saw besides the tokens that match.
struct TokenScan {
    CK_RV rv;             // the first answer other than CKR_OK, or CKR_OK
    const char *pCall;    // the call that gave it
    CK_SLOT_ID nSlot;     // its slot, for the calls about one slot
    bool bSlot;           // the call was about one slot
    int nInitialised;     // initialised tokens seen, matching the URI or not
    int nUnlabelled;      // of those, tokens whose label is blank
};

// Notes the first answer other than CKR_OK in *pScan.
void note_answer(TokenScan *pScan, CK_RV rv, const char *pCall, const CK_SLOT_ID *pSlot)
{
    if (rv == CKR_OK || pScan->rv != CKR_OK) {
        return;
    }
    pScan->rv = rv;
    pScan->pCall = pCall;
    pScan->bSlot = pSlot != nullptr;
    pScan->nSlot = pSlot != nullptr ? *pSlot : 0;
}

// p11-kit's last message, or the empty string.
std::string p11_message()
{
    const char *pMessage = p11_kit_message();
    return pMessage != nullptr ? std::string(": ") + pMessage : std::string();
}

// Loads and initialises the module the URI names (module-path, module-name),
// else the one PKCS11_MODULE_PATH names, else every registered module. Names
// from the URI's query are not shown.
int load_modules(TokenSession *pSession, std::string *pWhy)
{
    TokenModules *pModules = &pSession->modules;
    const char *pPath = p11_kit_uri_get_module_path(pSession->pParsed);
    const char *pName = p11_kit_uri_get_module_name(pSession->pParsed);
    std::string shown = pPath != nullptr ? "the module-path of the URI" : "the module-name of the URI";
    if (pPath == nullptr && pName == nullptr) {
        pPath = getenv("PKCS11_MODULE_PATH");
        if (pPath != nullptr && pPath[0] == '\0') {
            pPath = nullptr;
        }
        shown = pPath != nullptr ? pPath : "";
    }
    if (pPath != nullptr) {
        CK_FUNCTION_LIST *pModule = p11_kit_module_load(pPath, 0);
        if (pModule == nullptr) {
            std::string said = p11_message();
            if (shown != pPath) {
                // p11-kit's message repeats the path: only what follows its last mention is kept.
                size_t nAt = said.rfind(pPath);
                said = nAt == std::string::npos ? std::string() : said.substr(nAt + strlen(pPath));
            }
            *pWhy = "module not loaded: " + shown + said;
            return TOKEN_UNREACHABLE;
        }
        CK_RV rv = p11_kit_module_initialize(pModule);
        if (rv != CKR_OK) {
            p11_kit_module_release(pModule);
            *pWhy = "module not loaded: " + shown + ": " + rv_text(rv);
            return TOKEN_UNREACHABLE;
        }
        pModules->pPicked = pModule;
        pModules->bPickedLoaded = true;
        return TOKEN_OK;
    }
    if (pName != nullptr) {
        pModules->ppRegistered = p11_kit_modules_load(nullptr, 0);
        CK_FUNCTION_LIST *pModule =
            pModules->ppRegistered != nullptr ? p11_kit_module_for_name(pModules->ppRegistered, pName) : nullptr;
        if (pModule == nullptr) {
            *pWhy = "module not loaded: no registered module has " + shown;
            return TOKEN_UNREACHABLE;
        }
        CK_RV rv = p11_kit_module_initialize(pModule);
        if (rv != CKR_OK) {
            *pWhy = "module not loaded: " + shown + ": " + rv_text(rv);
            return TOKEN_UNREACHABLE;
        }
        pModules->pPicked = pModule;
        return TOKEN_OK;
    }
    pModules->ppRegistered = p11_kit_modules_load_and_initialize(0);
    if (pModules->ppRegistered == nullptr) {
        *pWhy = "module not loaded: the modules registered with p11-kit" + p11_message();
        return TOKEN_UNREACHABLE;
    }
    pModules->bRegisteredInitialised = true;
    return TOKEN_OK;
}

// Finalises and releases every module that load_modules loaded.
void release_modules(TokenModules *pModules)
{
    if (pModules->pPicked != nullptr) {
        CK_RV rv = p11_kit_module_finalize(pModules->pPicked);
        (void)rv; // released below whatever the module says
        if (pModules->bPickedLoaded) {
            p11_kit_module_release(pModules->pPicked);
        }
    }
    if (pModules->ppRegistered != nullptr) {
        if (pModules->bRegisteredInitialised) {
            p11_kit_modules_finalize_and_release(pModules->ppRegistered);
        } else {
            p11_kit_modules_release(pModules->ppRegistered);
        }
    }
    *pModules = TokenModules{};
}

// Adds every initialised token of pModule whose module, slot and token the
// URI matches to *pFound, noting in *pScan the first call that failed and the
// initialised tokens seen, matching or not. A module that cannot list its
// slots has none.
void collect_tokens(const TokenSession *pSession, CK_FUNCTION_LIST *pModule, std::vector<TokenSlot> *pFound,
                    TokenScan *pScan)
{
    CK_INFO moduleInfo;
    CK_RV rv = pModule->C_GetInfo(&moduleInfo);
    note_answer(pScan, rv, "C_GetInfo", nullptr);
    bool bModule = rv == CKR_OK && p11_kit_uri_match_module_info(pSession->pParsed, &moduleInfo);
    std::vector<CK_SLOT_ID> slots;
    CK_ULONG nSlots = 0;
    rv = CKR_BUFFER_TOO_SMALL;
    while (rv == CKR_BUFFER_TOO_SMALL) {
        rv = pModule->C_GetSlotList(CK_TRUE, nullptr, &nSlots);
        if (rv != CKR_OK) {
            break;
        }
        slots.resize(nSlots);
        rv = pModule->C_GetSlotList(CK_TRUE, slots.data(), &nSlots);
    }
    note_answer(pScan, rv, "C_GetSlotList", nullptr);
    slots.resize(rv == CKR_OK ? nSlots : 0);
    CK_SLOT_ID nWanted = p11_kit_uri_get_slot_id(pSession->pParsed);
    for (CK_SLOT_ID nSlot : slots) {
        CK_SLOT_INFO slotInfo;
        TokenSlot token{pModule, nSlot, {}};
        rv = pModule->C_GetSlotInfo(nSlot, &slotInfo);
        note_answer(pScan, rv, "C_GetSlotInfo", &nSlot);
        bool bSlot = rv == CKR_OK && (nWanted == TOKEN_ANY_SLOT || nSlot == nWanted) &&
                     p11_kit_uri_match_slot_info(pSession->pParsed, &slotInfo);
        rv = pModule->C_GetTokenInfo(nSlot, &token.info);
        note_answer(pScan, rv, "C_GetTokenInfo", &nSlot);
        if (rv != CKR_OK || (token.info.flags & CKF_TOKEN_INITIALIZED) == 0) {
            continue;
        }
        pScan->nInitialised++;
        pScan->nUnlabelled += p11_kit_space_strlen(token.info.label, sizeof(token.info.label)) == 0 ? 1 : 0;
        if (bModule && bSlot && p11_kit_uri_match_token_info(pSession->pParsed, &token.info)) {
            pFound->push_back(token);
        }
    }
}

// Every token the URI selects, in the modules in use, with what the look saw.
void find_tokens(const TokenSession *pSession, std::vector<TokenSlot> *pFound, TokenScan *pScan)
{
    const TokenModules &modules = pSession->modules;
    if (modules.pPicked != nullptr) {
        collect_tokens(pSession, modules.pPicked, pFound, pScan);
    } else {
        for (CK_FUNCTION_LIST **pp = modules.ppRegistered; *pp != nullptr; pp++) {
            collect_tokens(pSession, *pp, pFound, pScan);
        }
    }
}

// The modules' own answer when no token matches, for the message.
std::string scan_answer(const TokenScan &scan)
{
    if (scan.rv != CKR_OK) {
        return std::string(" (") + scan.pCall + (scan.bSlot ? " for slot " + std::to_string(scan.nSlot) : "") +
               ": " + rv_text(scan.rv) + ")";
    }
    return scan.nInitialised == 0   ? " (no initialised token)"
           : scan.nUnlabelled > 0 ? " (a token without a label)"
                                  : "";
}

} // namespace

std::string rv_text(CK_RV rv)
{
    const char *pText = p11_kit_strerror(rv);
    return pText != nullptr ? pText : "error " + std::to_string(rv);
}

bool rv_is_transient(CK_RV rv)
{
    // SoftHSM2 answers CKR_GENERAL_ERROR while another process rewrites the
    // token's files; the others say "busy" or "not now" in any module.
    return rv == CKR_GENERAL_ERROR || rv == CKR_FUNCTION_FAILED || rv == CKR_DEVICE_MEMORY || rv == CKR_SESSION_COUNT;
}

void token_backoff(int nTry)
{
    long nMs = TOKEN_BACKOFF_FIRST_MS;
    for (int i = 1; i < nTry && nMs < TOKEN_BACKOFF_MAX_MS; i++) {
        nMs *= 2;
    }
    nMs = std::min(nMs, TOKEN_BACKOFF_MAX_MS);
    // Up to half as long again at random, so that runs that met at the token
    // do not all come back at once.
    unsigned short nRandom = 0;
    if (getrandom(&nRandom, sizeof(nRandom), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(nRandom))) {
        nMs += nRandom % (nMs / 2 + 1);
    }
    timespec wait = {nMs / 1000, (nMs % 1000) * 1000000};
    (void)nanosleep(&wait, nullptr); // a signal that cuts it short ends the wait early, no more
}

std::string token_label(const CK_TOKEN_INFO &info)
{
    return std::string(reinterpret_cast<const char *>(info.label),
                       p11_kit_space_strlen(info.label, sizeof(info.label)));
}

int session_parse_uri(TokenSession *pSession, const char *pUri, std::string *pWhy)
{
    pSession->printable = token_uri_printable(pUri);
    if (!is_token_uri(pUri)) {
        *pWhy = "not a pkcs11: URI: " + pSession->printable;
        return TOKEN_UNREACHABLE;
    }
    size_t nUri = strlen(pUri);
    std::unique_ptr<char[]> known(new (std::nothrow) char[nUri + 1]);
    pSession->pParsed = known != nullptr ? p11_kit_uri_new() : nullptr;
    if (pSession->pParsed == nullptr) {
        *pWhy = "out of memory parsing URI " + pSession->printable;
        return TOKEN_UNREACHABLE;
    }
    bool bTaken = token_uri_for_p11kit(pUri, known.get(), true);
    int nParsed = bTaken ? p11_kit_uri_parse(known.get(), P11_KIT_URI_FOR_ANY, pSession->pParsed) : P11_KIT_URI_OK;
    explicit_bzero(known.get(), nUri + 1); // it may hold a pin-value
    if (!bTaken) {
        *pWhy = "bad URI " + pSession->printable + ": a '&' before the query (a query begins with '?'; a '&' in a "
                "value is written %26)";
        return TOKEN_UNREACHABLE;
    }
    if (nParsed != P11_KIT_URI_OK) {
        *pWhy = "bad URI " + pSession->printable + ": " + p11_kit_uri_message(nParsed);
        return TOKEN_UNREACHABLE;
    }
    if (p11_kit_uri_any_unrecognized(pSession->pParsed)) {
        *pWhy = "bad URI " + pSession->printable + ": an attribute is not known";
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

int session_reach_tokens(TokenSession *pSession, std::vector<TokenSlot> *pTokens, std::string *pWhy)
{
    int nStatus = load_modules(pSession, pWhy);
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    TokenScan scan{};
    find_tokens(pSession, pTokens, &scan);
    if (pTokens->empty()) {
        // A module that reads its token store while another process writes
        // it may miss the token, fail to describe it, or describe it without
        // its label (SoftHSM2), for a moment.
        pSession->bBusy = rv_is_transient(scan.rv) || scan.nInitialised == 0 || scan.nUnlabelled > 0;
        *pWhy = "no token matches URI " + pSession->printable + scan_answer(scan);
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

int session_retry(TokenSession *pSession, const std::function<int(std::string *)> &attempt, std::string *pWhy)
{
    for (int nTry = 1;; nTry++) {
        pSession->bBusy = false;
        int nStatus = attempt(pWhy);
        if (nStatus == TOKEN_OK || !pSession->bBusy || nTry == TOKEN_TRIES) {
            return nStatus;
        }
        session_restart(pSession);
        token_backoff(nTry);
    }
}

void session_restart(TokenSession *pSession)
{
    session_end(pSession);
    release_modules(&pSession->modules);
}

int session_open(TokenSession *pSession, const TokenSlot &token, bool bWrite, std::string *pWhy)
{
    pSession->tokenLabel = token_label(token.info);
    pSession->pModule = token.pModule;
    pSession->nSlot = token.nSlot;
    pSession->nTokenFlags = token.info.flags;
    CK_FLAGS nFlags = CKF_SERIAL_SESSION | (bWrite ? CKF_RW_SESSION : 0);
    CK_RV rv = token.pModule->C_OpenSession(token.nSlot, nFlags, nullptr, nullptr, &pSession->hSession);
    if (rv != CKR_OK) {
        pSession->bBusy = rv_is_transient(rv);
        *pWhy = "no session with token " + pSession->tokenLabel + ": " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    pSession->bSession = true;
    return TOKEN_OK;
}

int session_log_in(TokenSession *pSession, bool bKeep, std::string *pWhy)
{
    TokenPin *pPin = &pSession->pin;
    int nStatus = pPin->nLen > 0 ? TOKEN_OK : pin_obtain(p11_kit_uri_get_pin_value(pSession->pParsed), p11_kit_uri_get_pin_source(pSession->pParsed),
                             pSession->tokenLabel, pPin, pWhy);
    if (nStatus == TOKEN_OK && pPin->nLen == 0) {
        *pWhy = "empty PIN for token " + pSession->tokenLabel;
        nStatus = TOKEN_UNREACHABLE;
    }
    if (nStatus != TOKEN_OK) {
        pin_forget(pPin);
        return nStatus;
    }
    CK_RV rv = pSession->pModule->C_Login(pSession->hSession, CKU_USER, pPin->sz, pPin->nLen);
    // A token that showed an initialised PIN a moment ago and now has none
    // could not read its own store (SoftHSM2, while another process rewrites
    // it): the PIN is kept for the next try.
    pSession->bBusy = rv_is_transient(rv) ||
                      (rv == CKR_USER_PIN_NOT_INITIALIZED && (pSession->nTokenFlags & CKF_USER_PIN_INITIALIZED) != 0);
    if (!pSession->bBusy && (!bKeep || (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN))) {
        pin_forget(pPin);
    }
    if (rv == CKR_OK) {
        pSession->bLoggedIn = true;
        return TOKEN_OK;
    }
    if (rv == CKR_USER_ALREADY_LOGGED_IN) {
        return TOKEN_OK;
    }
    *pWhy = rv == CKR_PIN_INCORRECT ? "wrong PIN for token " + pSession->tokenLabel
            : rv == CKR_PIN_LOCKED  ? "PIN locked for token " + pSession->tokenLabel
                                    : "login to token " + pSession->tokenLabel + " failed: " + rv_text(rv);
    return TOKEN_UNREACHABLE;
}

void session_end(TokenSession *pSession)
{
    // Nobody is left to tell of a failure here: the token drops the session
    // with the module anyway.
    if (pSession->bLoggedIn) {
        CK_RV rv = pSession->pModule->C_Logout(pSession->hSession);
        (void)rv;
        pSession->bLoggedIn = false;
    }
    if (pSession->bSession) {
        CK_RV rv = pSession->pModule->C_CloseSession(pSession->hSession);
        (void)rv;
        pSession->bSession = false;
    }
}

void session_free_uri(TokenSession *pSession)
{
    if (pSession->pParsed == nullptr) {
        return;
    }
    const char *pValue = p11_kit_uri_get_pin_value(pSession->pParsed);
    if (pValue != nullptr) {
        explicit_bzero(const_cast<char *>(pValue), strlen(pValue));
    }
    p11_kit_uri_free(pSession->pParsed);
    pSession->pParsed = nullptr;
}

void session_release(TokenSession *pSession)
{
    pin_forget(&pSession->pin);
    session_free_uri(pSession);
    session_end(pSession);
    release_modules(&pSession->modules);
}
