// SPDX-License-Identifier: Apache-2.0
// Command-line conventions of the companion tools.
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "token_uri.h"

namespace {

const char *g_pTool = "";
bool g_bJson = false;

} // namespace

void cli_init(const char *pTool, bool bJson)
{
    g_pTool = pTool;
    g_bJson = bJson;
}

int cli_error(int nStatus, const std::string &message)
{
    fprintf(stderr, "%s: %s\n", g_pTool, message.c_str());
    if (g_bJson) {
        nlohmann::json object = {{"format", JSON_FORMAT}, {"ok", false}, {"status", nStatus}, {"error", message}};
        printf("%s\n", object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return nStatus;
}

int cli_file_error(const char *pWhat, const char *pPath, int nErrno, const std::string &why)
{
    std::string shown = printable(pPath);
    std::string because = nErrno != 0 ? strerror(nErrno) : why;
    return cli_error(EXIT_USAGE, pWhat + (because.empty() ? shown : cli_label(shown) + because));
}

std::string printable(const char *pArg)
{
    std::string out;
    for (char cText : token_uri_printable(pArg)) {
        unsigned char c = static_cast<unsigned char>(cText);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char szHex[5];
            snprintf(szHex, sizeof(szHex), "\\x%02x", c);
            out += szHex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string cli_label(const std::string &name)
{
    return name + (!name.empty() && name.back() == ':' ? " " : ": ");
}

bool cli_has_option(int argc, char **argv, const char *pOption)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], pOption) == 0) {
            return true;
        }
    }
    return false;
}

void cli_print_version()
{
    printf("%s %s\n", g_pTool, TOOLS_VERSION);
}

int cli_close_stdout(int nStatus)
{
    // A write that failed before, or the last one at the close: output lost.
    bool bFailed = ferror(stdout) != 0;
    errno = 0;
    bFailed = fclose(stdout) != 0 || bFailed;
    int nErrno = errno;
    if (!bFailed) {
        return nStatus;
    }
    fprintf(stderr, "%s: File write error: standard output%s%s\n", g_pTool, nErrno != 0 ? ": " : "",
            nErrno != 0 ? strerror(nErrno) : "");
    return EXIT_USAGE;
}
