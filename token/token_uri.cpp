// SPDX-License-Identifier: Apache-2.0
// Which arguments name keys in tokens, how p11-kit reads them, and how any
// argument is shown.
#include "token_uri.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <p11-kit/uri.h>
#include <strings.h>
#include <vector>

namespace {

constexpr char TOKEN_SCHEME[] = "pkcs11:";
constexpr size_t TOKEN_SCHEME_SIZE = sizeof(TOKEN_SCHEME) - 1;
constexpr size_t TOKEN_NAME_SHOWN = 64; // bytes of an unknown attribute's name a warning shows

// The tool named in warnings, or null.
const char *g_pToolName = nullptr;

// The query attributes a pkcs11: URI may carry (RFC 7512).
const char *const g_apKnownQuery[] = {"module-name", "module-path", "pin-value", "pin-source"};

// The attribute names already warned of in this run, so that a URI opened
// twice warns once.
std::vector<std::string> g_warned;

// True when the query attribute at p (nLen bytes) is one we know by name.
bool known_query_attribute(const char *p, size_t nLen)
{
    for (const char *pKnown : g_apKnownQuery) {
        size_t nKnown = strlen(pKnown);
        if (nLen > nKnown && memcmp(p, pKnown, nKnown) == 0 && p[nKnown] == '=') {
            return true;
        }
    }
    return false;
}

// Prints "TOOL: warning: pkcs11: URI query attribute ignored: NAME" on
// standard error, once a run for each NAME (nLen bytes at p), cut to
// TOKEN_NAME_SHOWN bytes with every byte that is not printable ASCII, and the
// backslash, as \xNN.
void warn_ignored(const char *p, size_t nLen)
{
    std::string name;
    for (size_t i = 0; i < nLen && i < TOKEN_NAME_SHOWN; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            char szHex[5];
            snprintf(szHex, sizeof(szHex), "\\x%02x", c);
            name += szHex;
        } else {
            name += static_cast<char>(c);
        }
    }
    if (nLen > TOKEN_NAME_SHOWN) {
        name += "...";
    }
    if (std::find(g_warned.begin(), g_warned.end(), name) != g_warned.end()) {
        return;
    }
    g_warned.push_back(name);
    fflush(stdout);
    fprintf(stderr, "%s%swarning: pkcs11: URI query attribute ignored: %s\n", g_pToolName != nullptr ? g_pToolName : "",
            g_pToolName != nullptr ? ": " : "", name.c_str());
}

// Wipes the PIN p11-kit holds of a URI (it may have taken one even from a URI
// it refused), before it is freed.
void wipe_pin(P11KitUri *pParsed)
{
    const char *pValue = p11_kit_uri_get_pin_value(pParsed);
    if (pValue != nullptr) {
        explicit_bzero(const_cast<char *>(pValue), strlen(pValue));
    }
}

// The pkcs11: URI pUri as p11-kit reads it, without the PIN and the module,
// or the scheme alone.
std::string uri_as_read(const char *pUri)
{
    size_t nUri = strlen(pUri);
    std::unique_ptr<char[]> known(new (std::nothrow) char[nUri + 1]);
    P11KitUri *pParsed = known != nullptr ? p11_kit_uri_new() : nullptr;
    if (pParsed == nullptr) {
        return TOKEN_SCHEME;
    }
    std::string shown = TOKEN_SCHEME;
    if (token_uri_for_p11kit(pUri, known.get(), false) &&
        p11_kit_uri_parse(known.get(), P11_KIT_URI_FOR_ANY, pParsed) == P11_KIT_URI_OK) {
        wipe_pin(pParsed);
        p11_kit_uri_set_pin_value(pParsed, nullptr);
        p11_kit_uri_set_pin_source(pParsed, nullptr);
        p11_kit_uri_set_module_name(pParsed, nullptr);
        p11_kit_uri_set_module_path(pParsed, nullptr);
        char *pFormatted = nullptr;
        if (p11_kit_uri_format(pParsed, P11_KIT_URI_FOR_ANY, &pFormatted) == P11_KIT_URI_OK) {
            shown = pFormatted;
        }
        free(pFormatted);
    }
    explicit_bzero(known.get(), nUri + 1); // it may hold a pin-value
    wipe_pin(pParsed);
    p11_kit_uri_free(pParsed);
    return shown;
}

} // namespace

bool is_token_uri(const char *pArg)
{
    return pArg != nullptr && strncasecmp(pArg, TOKEN_SCHEME, TOKEN_SCHEME_SIZE) == 0;
}

std::string token_uri_printable(const char *pArg)
{
    if (pArg == nullptr) {
        return std::string();
    }
    const char *pEquals = pArg[0] == '-' ? strchr(pArg, '=') : nullptr;
    if (pEquals != nullptr) {
        return std::string(pArg, static_cast<size_t>(pEquals + 1 - pArg)) + token_uri_printable(pEquals + 1);
    }
    return is_token_uri(pArg) ? uri_as_read(pArg) : std::string(pArg);
}

bool token_uri_for_p11kit(const char *pUri, char *pOut, bool bWarn)
{
    const char *pQuery = strchr(pUri, '?');
    size_t nHead = pQuery != nullptr ? static_cast<size_t>(pQuery - pUri) : strlen(pUri);
    memcpy(pOut, pUri, nHead);
    size_t nOut = nHead;
    for (const char *p = pQuery; p != nullptr && *p != '\0';) {
        const char *pItem = p + 1;
        const char *pEnd = strchr(pItem, '&');
        size_t nItem = pEnd != nullptr ? static_cast<size_t>(pEnd - pItem) : strlen(pItem);
        const void *pEquals = memchr(pItem, '=', nItem);
        bool bUnknown = pEquals != nullptr && pEquals != pItem && !known_query_attribute(pItem, nItem);
        if (bUnknown && bWarn) {
            warn_ignored(pItem, static_cast<size_t>(static_cast<const char *>(pEquals) - pItem));
        } else if (!bUnknown && nItem > 0) {
            char cSeparator = nOut == nHead ? '?' : '&';
            pOut[nOut++] = cSeparator;
            memcpy(pOut + nOut, pItem, nItem);
            nOut += nItem;
        }
        p = pEnd;
    }
    pOut[nOut] = '\0';
    return memchr(pUri, '&', nHead) == nullptr;
}

void token_set_tool_name(const char *pTool)
{
    g_pToolName = pTool;
}
