// SPDX-License-Identifier: Apache-2.0
// The PIN of a token: from the URI's pin-value, from the file its pin-source
// names, or typed on the terminal without echo; wiped once it is not needed.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

// Results of the token functions.
enum TokenStatus {
    TOKEN_OK = 0,
    TOKEN_UNREACHABLE, // bad URI, module not loaded, no such token / several tokens, no PIN, wrong PIN,
                       // no matching key, several matching keys, raw RSA not offered for signing
    TOKEN_REFUSED,     // the key is there but cannot be used: modulus not 1017-1024 bits, not RSA
};

constexpr int TOKEN_PIN_MAX = 256; // bytes kept for a PIN; a longer one is refused

// A PIN while it is needed.
struct TokenPin {
    CK_UTF8CHAR sz[TOKEN_PIN_MAX];
    CK_ULONG nLen;
};

// Wipes the PIN.
void pin_forget(TokenPin *pPin);

// Fills *pPin from pValue (a pin-value) when it is not null, else from the
// file that pSource (a pin-source: a file: URI or a path) names, else from the
// terminal when standard input is one, prompting with the token's label.
// Returns TOKEN_OK, or TOKEN_UNREACHABLE with the PIN wiped and *pWhy saying
// why (neither the PIN nor the pin-source). A signal that ends the typing is
// raised again once the terminal is restored.
int pin_obtain(const char *pValue, const char *pSource, const std::string &tokenLabel, TokenPin *pPin,
               std::string *pWhy);
