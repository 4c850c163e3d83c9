// SPDX-License-Identifier: Apache-2.0
// Which arguments name keys in tokens (RFC 7512 pkcs11: URIs), how such a URI
// is shown in messages, and the tool that warnings name.
#pragma once

#include <string>

// True when pArg names a key in a token: it starts with "pkcs11:".
bool is_token_uri(const char *pArg);

// pUri without its pin-value attribute (and without a '?' left empty), for
// printing.
std::string token_uri_printable(const char *pUri);

// Names the tool (its main calls this first) in the warnings the token code
// prints on standard error: "TOOL: warning: pkcs11: ...".
void token_set_tool_name(const char *pTool);

// The tool token_set_tool_name named, or null.
const char *token_tool_name();
