// SPDX-License-Identifier: Apache-2.0
// Which arguments name keys in tokens (RFC 7512 pkcs11: URIs), how p11-kit is
// given such a URI, what any message shows of an argument, and the tool that
// warnings name.
#pragma once

#include <string>

// True when pArg names a key in a token: it starts with "pkcs11:" in any case
// (a URI scheme is case-insensitive, and p11-kit reads "PKCS11:" too).
bool is_token_uri(const char *pArg);

// What every message of the tools shows of a command-line argument (a file
// name, a URI, an option), so that no PIN is ever printed: what p11-kit would
// read, minus the PIN. A pkcs11: URI (any case) is p11-kit's own formatting of
// what it parses of it (token_uri_for_p11kit), without pin-value, pin-source
// and the module (module-name, module-path: where a PIN put after ';' ends
// up), so the key it selects and never the query; a URI p11-kit cannot parse,
// or that we refuse, is its scheme alone, "pkcs11:". An option given as
// "-NAME=VALUE" shows its value as an argument of its own. Anything else is
// shown as given.
std::string token_uri_printable(const char *pArg);

// Copies the URI pUri into pOut (room for strlen(pUri) + 1 bytes) as p11-kit
// is to read it: without the query attributes other than module-name,
// module-path, pin-value and pin-source, each of them named, with bWarn, in a
// warning on standard error once a run ("TOOL: warning: pkcs11: URI query
// attribute ignored: NAME"). Returns false for a URI that we refuse whatever
// p11-kit makes of it: one with a '&' before its query, a query begun without
// '?' (RFC 7512 reads it as part of a value; a value's '&' is written %26).
bool token_uri_for_p11kit(const char *pUri, char *pOut, bool bWarn);

// Names the tool (its main calls this first) in the warnings the token code
// prints on standard error: "TOOL: warning: pkcs11: ...".
void token_set_tool_name(const char *pTool);
