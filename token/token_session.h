// SPDX-License-Identifier: Apache-2.0
// Modules, tokens and sessions for keys in PKCS#11 tokens: the URI as parsed
// (a query attribute we do not know named in a warning and left out), the
// module or modules it names loaded and initialised, the tokens it selects
// (looked for again while the module says it is busy), a session with one of
// them and the user's login; and how URIs are shown.
#pragma once

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <functional>
#include <string>
#include <vector>

#include "token_pin.h"
#include "token_uri.h"

// The modules in use: one loaded from a path, one registered module picked by
// name, or every registered module.
struct TokenModules {
    CK_FUNCTION_LIST **ppRegistered; // p11_kit_modules_load(_and_initialize), or null
    bool bRegisteredInitialised;     // ppRegistered came initialised
    CK_FUNCTION_LIST *pPicked;       // the one module in use, initialised; null when all are
    bool bPickedLoaded;              // pPicked came from p11_kit_module_load
};

// A token that the URI selects.
struct TokenSlot {
    CK_FUNCTION_LIST *pModule;
    CK_SLOT_ID nSlot;
    CK_TOKEN_INFO info;
};

// Everything one open, listing or generation holds of the module and the
// token; session_release releases it on every path.
struct TokenSession {
    P11KitUri *pParsed;    // the URI, until its last use
    std::string printable; // the URI for messages
    TokenModules modules;
    CK_FUNCTION_LIST *pModule; // of the session
    CK_SLOT_ID nSlot;
    CK_FLAGS nTokenFlags;
    std::string tokenLabel;
    CK_SESSION_HANDLE hSession;
    bool bSession;
    bool bLoggedIn; // this session logged in, so it logs out
    bool bBusy;     // the last failure was the token being busy, for a moment
    TokenPin pin;   // kept past login only by an always-authenticate signing key, and for another try
};

// A PKCS#11 result as text.
std::string rv_text(CK_RV rv);

// True for an answer that says the token is busy or for the moment unable,
// so that the same call may be tried again.
bool rv_is_transient(CK_RV rv);

// Waits before try nTry + 1 of a call the token could not serve: a short
// backoff that grows, about 2 s over TOKEN_TRIES tries.
void token_backoff(int nTry);
constexpr int TOKEN_TRIES = 10;

// The token's label without its padding.
std::string token_label(const CK_TOKEN_INFO &info);

// Parses pUri into pSession (also keeping its printable form). Each query
// attribute we do not know is named in a warning and left out.
int session_parse_uri(TokenSession *pSession, const char *pUri, std::string *pWhy);

// Loads the modules the parsed URI names and adds every token it selects to
// *pTokens (empty). TOKEN_UNREACHABLE when none matches, with the modules'
// own answer in *pWhy, and bBusy set where they said they were busy (or
// showed no initialised token at all, or one without a label: a store being
// rewritten).
int session_reach_tokens(TokenSession *pSession, std::vector<TokenSlot> *pTokens, std::string *pWhy);

// Runs attempt (which reaches the token, opens a session, logs in ...) until
// it succeeds, fails without bBusy, or TOKEN_TRIES tries are spent; between
// tries the session ends and the modules are released (the parsed URI and a
// PIN already given are kept), then a pause. Returns the last try's status.
int session_retry(TokenSession *pSession, const std::function<int(std::string *)> &attempt, std::string *pWhy);

// Opens a session with the token (read-write with bWrite).
int session_open(TokenSession *pSession, const TokenSlot &token, bool bWrite, std::string *pWhy);

// Logs the session in as the user with the URI's PIN (or the one a try
// before obtained). An empty PIN is refused before the token sees it, so that
// no try is spent. The PIN is wiped after C_Login unless bKeep, and on every
// failure but a busy token's.
int session_log_in(TokenSession *pSession, bool bKeep, std::string *pWhy);

// Ends the session and releases the modules, keeping the parsed URI and the
// PIN, for another try.
void session_restart(TokenSession *pSession);

// Logs out where this session logged in, and closes it.
void session_end(TokenSession *pSession);

// Frees the parsed URI, wiping p11-kit's copy of a pin-value first.
void session_free_uri(TokenSession *pSession);

// Releases everything the session holds, wiping the PIN, and keeps the struct.
void session_release(TokenSession *pSession);
