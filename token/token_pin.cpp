// SPDX-License-Identifier: Apache-2.0
// The PIN of a token: pin-value, a pin-source file or the terminal.
#include "token_pin.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "output_file.h"
#include "process_secrets.h"

namespace {

// Reads the PIN from the file that pin-source names, a file: URI (local: no
// host or localhost) or a path. One trailing newline (LF or CR LF) is not part
// of the PIN.
int read_pin_file(const char *pSource, TokenPin *pPin, std::string *pWhy)
{
    const char *pPath = pSource;
    if (strncmp(pPath, "file:", 5) == 0) {
        pPath += 5;
        if (strncmp(pPath, "//", 2) == 0) {
            pPath += 2;
            if (strncmp(pPath, "localhost/", 10) == 0) {
                pPath += 9;
            }
            if (pPath[0] != '/') {
                *pWhy = "pin-source is not a local file";
                return TOKEN_UNREACHABLE;
            }
        }
    }
    int fd = open(pPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *pWhy = std::string("cannot open the pin-source file: ") + strerror(errno);
        return TOKEN_UNREACHABLE;
    }
    size_t nLen = 0;
    ssize_t nRead = 1;
    while (nRead != 0 && nLen < sizeof(pPin->sz)) {
        nRead = read(fd, pPin->sz + nLen, sizeof(pPin->sz) - nLen);
        if (nRead < 0 && errno != EINTR) {
            break;
        }
        nLen += nRead > 0 ? static_cast<size_t>(nRead) : 0;
    }
    int nError = nRead < 0 ? errno : 0;
    bool bClosed = close(fd) == 0;
    bool bLong = nLen == sizeof(pPin->sz);
    if (nLen > 0 && pPin->sz[nLen - 1] == '\n') {
        nLen--;
        if (nLen > 0 && pPin->sz[nLen - 1] == '\r') {
            nLen--;
        }
    }
    pPin->nLen = nLen;
    if (nRead < 0 || !bClosed || bLong) {
        pin_forget(pPin);
        *pWhy = std::string("cannot read the pin-source file: ") + (nError != 0 ? strerror(nError)
                                                                     : bClosed   ? "longer than a PIN"
                                                                                 : "close failed");
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// The signal that ended a PIN entry, or 0.
volatile sig_atomic_t g_nPinSignal = 0;

// Notes a signal that arrives during PIN entry.
extern "C" void note_pin_signal(int nSignal)
{
    g_nPinSignal = nSignal;
}

// Reads a line from the terminal into *pPin without echo. The terminal is
// put back on every path; a signal that ends the entry (interrupt, quit, stop,
// hang-up, termination) is raised again once it is.
int read_pin_terminal(const std::string &tokenLabel, TokenPin *pPin, std::string *pWhy)
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *pWhy = std::string("no PIN: cannot open the terminal: ") + strerror(errno);
        return TOKEN_UNREACHABLE;
    }
    termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        *pWhy = std::string("no PIN: cannot set up the terminal: ") + strerror(errno);
        if (close(fd) != 0) {
            *pWhy += ", nor close it";
        }
        return TOKEN_UNREACHABLE;
    }
    static const int anSignals[] = {SIGINT, SIGQUIT, SIGTSTP, SIGHUP, SIGTERM};
    constexpr int nSignals = sizeof(anSignals) / sizeof(anSignals[0]);
    struct sigaction aOld[nSignals];
    struct sigaction noting {};
    noting.sa_handler = note_pin_signal; // without SA_RESTART, so that read returns
    sigemptyset(&noting.sa_mask);
    g_nPinSignal = 0;
    for (int i = 0; i < nSignals; i++) {
        sigaction(anSignals[i], &noting, &aOld[i]);
    }
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    quiet.c_lflag |= ICANON;
    std::string prompt = "PIN for token " + tokenLabel + ": ";
    // Echo goes off before the prompt, so nothing typed after it shows.
    bool bOk = tcsetattr(fd, TCSAFLUSH, &quiet) == 0 && write_all(fd, prompt.data(), prompt.size());
    size_t nLen = 0;
    bool bLine = false;
    bool bLong = false;
    while (bOk && !bLine && g_nPinSignal == 0) {
        unsigned char c = 0;
        ssize_t nRead = read(fd, &c, 1);
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead < 0) {
            bOk = false;
        } else if (nRead == 0 || c == '\n' || c == '\r') {
            bLine = true;
        } else if (nLen < sizeof(pPin->sz) - 1) {
            pPin->sz[nLen++] = c;
        } else {
            bLong = true;
        }
        explicit_bzero(&c, sizeof(c));
    }
    pPin->nLen = nLen;
    bool bRestored = tcsetattr(fd, TCSANOW, &saved) == 0;
    bool bNewline = write_all(fd, "\n", 1);
    bool bClosed = close(fd) == 0;
    for (int i = 0; i < nSignals; i++) {
        sigaction(anSignals[i], &aOld[i], nullptr);
    }
    if (g_nPinSignal != 0 || !bOk || !bRestored || !bNewline || !bClosed || bLong) {
        pin_forget(pPin); // what was typed before the entry failed
        *pWhy = g_nPinSignal != 0 ? "PIN entry interrupted"
                : bLong           ? "PIN longer than " + std::to_string(sizeof(pPin->sz) - 1) + " bytes"
                                  : "no PIN: the terminal failed";
        if (g_nPinSignal != 0) {
            raise(g_nPinSignal);
        }
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

} // namespace

void pin_forget(TokenPin *pPin)
{
    explicit_bzero(pPin->sz, sizeof(pPin->sz));
    pPin->nLen = 0;
    secrets_clear_registers(); // and the copies a module made of it
}

int pin_obtain(const char *pValue, const char *pSource, const std::string &tokenLabel, TokenPin *pPin,
               std::string *pWhy)
{
    if (pValue != nullptr) {
        size_t nLen = strlen(pValue);
        if (nLen >= sizeof(pPin->sz)) {
            *pWhy = "pin-value longer than a PIN";
            return TOKEN_UNREACHABLE;
        }
        memcpy(pPin->sz, pValue, nLen);
        pPin->nLen = nLen;
        return TOKEN_OK;
    }
    if (pSource != nullptr) {
        return read_pin_file(pSource, pPin, pWhy);
    }
    if (!isatty(STDIN_FILENO)) {
        *pWhy = "no PIN: give pin-value or pin-source, or run on a terminal";
        return TOKEN_UNREACHABLE;
    }
    return read_pin_terminal(tokenLabel, pPin, pWhy);
}
