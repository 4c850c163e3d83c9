// SPDX-License-Identifier: Apache-2.0
// Command-line conventions of the companion tools (key_tool, verify_tool):
// errors through one helper on standard error, names made printable, help and
// version, exit statuses.
#pragma once

#include <string>

constexpr int EXIT_CHECK_FAILED = 1; // a key refused, a check failed
constexpr int EXIT_USAGE = 2;        // a usage or file error
// The version of the JSON objects verify_tool --json prints ("format"):
// raised when a field is removed or changes its type or meaning.
constexpr int JSON_FORMAT = 1;

// Names the tool in error lines, and with bJson makes every error also a JSON
// object on standard output.
void cli_init(const char *pTool, bool bJson);

// Prints "TOOL: message" on standard error (and with --json the object
// {"format":JSON_FORMAT,"ok":false,"status":N,"error":message} on standard
// output). Returns nStatus.
int cli_error(int nStatus, const std::string &message);

// A file error, status EXIT_USAGE: "what NAME: reason", the system's reason
// for nErrno as captured at the failing call (why where it is 0). Returns
// EXIT_USAGE.
int cli_file_error(const char *pWhat, const char *pPath, int nErrno, const std::string &why = "");

// A command-line argument (a file name, a URI, an option) as messages show
// it: what token_uri_printable shows of it (a pkcs11: URI never with its PIN),
// with control characters and backslashes escaped (\n, \t, \\, \xNN), so that
// a name cannot forge a line of text output. (A reason from below, passed
// through it too, is only escaped: none starts as a URI or an option does.)
std::string printable(const char *pArg);

// name and the ": " that comes before a reason; a name that ends in ':' (a
// bare "pkcs11:") gets a blank only, so that no colon is printed twice.
std::string cli_label(const std::string &name);

// True when argv (up to a "--") holds pOption exactly.
bool cli_has_option(int argc, char **argv, const char *pOption);

// Prints the tool's name and version for --version.
void cli_print_version();

// Flushes and closes standard output at the end of a run (call it once, last).
// Returns nStatus, or EXIT_USAGE after a line on standard error when what was
// printed may not all have been written (a full disk, a reader gone).
int cli_close_stdout(int nStatus);
