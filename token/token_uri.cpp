// SPDX-License-Identifier: Apache-2.0
// Which arguments name keys in tokens, and how such a URI is shown.
#include "token_uri.h"

#include <cctype>
#include <cstring>

namespace {

// The tool named in warnings, or null.
const char *g_pToolName = nullptr;

// The value of one hexadecimal digit, or -1.
int hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// True when the attribute at p (nLen bytes, "name=value" or "name") has the
// name pWanted, compared without case after percent-decoding.
bool attribute_named(const char *p, size_t nLen, const char *pWanted)
{
    size_t nWanted = strlen(pWanted);
    size_t nAt = 0;
    size_t nMatched = 0;
    while (nAt < nLen && p[nAt] != '=') {
        char c = p[nAt];
        if (c == '%' && nAt + 2 < nLen && hex_value(p[nAt + 1]) >= 0 && hex_value(p[nAt + 2]) >= 0) {
            c = static_cast<char>(hex_value(p[nAt + 1]) * 16 + hex_value(p[nAt + 2]));
            nAt += 2;
        }
        nAt++;
        if (nMatched == nWanted || tolower(static_cast<unsigned char>(c)) != pWanted[nMatched]) {
            return false;
        }
        nMatched++;
    }
    return nMatched == nWanted;
}

} // namespace

bool is_token_uri(const char *pArg)
{
    return pArg != nullptr && strncmp(pArg, "pkcs11:", 7) == 0;
}

std::string token_uri_printable(const char *pUri)
{
    if (pUri == nullptr) {
        return std::string();
    }
    if (!is_token_uri(pUri)) {
        return pUri;
    }
    std::string out = "pkcs11:";
    const char *pPath = pUri + 7;
    size_t nPath = strcspn(pPath, "?");
    bool bFirst = true;
    for (size_t nStart = 0; nStart <= nPath;) {
        const void *pFound = memchr(pPath + nStart, ';', nPath - nStart);
        size_t nEnd = pFound != nullptr ? static_cast<size_t>(static_cast<const char *>(pFound) - pPath) : nPath;
        const char *pItem = pPath + nStart;
        size_t nItem = nEnd - nStart;
        if (!attribute_named(pItem, nItem, "pin-value") && !attribute_named(pItem, nItem, "pin-source")) {
            out.append(bFirst ? "" : ";").append(pItem, nItem);
            bFirst = false;
        }
        nStart = nEnd + 1;
    }
    return out;
}

void token_set_tool_name(const char *pTool)
{
    g_pToolName = pTool;
}

const char *token_tool_name()
{
    return g_pToolName;
}
