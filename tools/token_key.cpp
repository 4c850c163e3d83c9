// Keys in PKCS#11 tokens through p11-kit: the module, the token and the key
// that a URI selects, the PIN and the login, and raw RSA on one block.
#include "token_key.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include "image_format.h"
#include "output_file.h"

namespace {

constexpr int TOKEN_PIN_MAX = 256;     // bytes kept for a PIN; a longer one is refused
constexpr int TOKEN_VALUE_MAX = 1024;  // bytes of the longest modulus, exponent, label or id read (8192 bits)
constexpr int TOKEN_ID_NEW = 16;       // bytes of the random CKA_ID of a generated key
constexpr int TOKEN_TEMPLATE_MAX = 16; // attributes of a search template
constexpr int TOKEN_BITS_MIN = 1017;
constexpr int TOKEN_BITS_MAX = 1024;
constexpr CK_SLOT_ID TOKEN_ANY_SLOT = static_cast<CK_SLOT_ID>(-1); // what p11-kit gives without slot-id

// The modules in use: one loaded from a path, one registered module picked by
// name, or every registered module.
struct Modules {
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

// A PIN while it is needed.
struct Pin {
    CK_UTF8CHAR sz[TOKEN_PIN_MAX];
    CK_ULONG nLen;
};

} // namespace

// Everything one open, listing or generation holds; token_key_close releases
// it on every path.
struct TokenKey {
    P11KitUri *pParsed;    // the URI, until its last use
    std::string printable; // the URI for messages
    Modules modules;
    CK_FUNCTION_LIST *pModule; // of the session
    CK_SLOT_ID nSlot;
    CK_FLAGS nTokenFlags;
    std::string tokenLabel;
    CK_SESSION_HANDLE hSession;
    bool bSession;
    bool bLoggedIn; // this session logged in, so it logs out
    TokenAccess access;
    CK_OBJECT_HANDLE hKey;
    CK_OBJECT_CLASS nClass;
    unsigned char szModulus[TOKEN_VALUE_MAX]; // big-endian, without leading zero bytes
    int nModulusLen;
    int nBits;
    bool bAlwaysAuthenticate;
    Pin pin; // only an always-authenticate signing key keeps it past login
};

namespace {

// Wipes the PIN.
void forget_pin(Pin *pPin)
{
    explicit_bzero(pPin->sz, sizeof(pPin->sz));
    pPin->nLen = 0;
}

// Frees the parsed URI, wiping p11-kit's copy of a pin-value first.
void free_uri(TokenKey *pKey)
{
    if (pKey->pParsed == nullptr) {
        return;
    }
    const char *pValue = p11_kit_uri_get_pin_value(pKey->pParsed);
    if (pValue != nullptr) {
        explicit_bzero(const_cast<char *>(pValue), strlen(pValue));
    }
    p11_kit_uri_free(pKey->pParsed);
    pKey->pParsed = nullptr;
}

// Logs out where this session logged in, and closes it. Nobody is left to
// tell of a failure here: the token drops the session with the module anyway.
void end_session(TokenKey *pKey)
{
    if (pKey->bLoggedIn) {
        CK_RV rv = pKey->pModule->C_Logout(pKey->hSession);
        (void)rv;
        pKey->bLoggedIn = false;
    }
    if (pKey->bSession) {
        CK_RV rv = pKey->pModule->C_CloseSession(pKey->hSession);
        (void)rv;
        pKey->bSession = false;
    }
}

// Finalises and releases every module that load_modules loaded.
void release_modules(Modules *pModules)
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
    *pModules = Modules{};
}

// Releases everything pKey holds, wiping the PIN, and keeps the struct.
void release_all(TokenKey *pKey)
{
    forget_pin(&pKey->pin);
    free_uri(pKey);
    end_session(pKey);
    release_modules(&pKey->modules);
}

// p11-kit's last message, or the empty string.
std::string p11_message()
{
    const char *pMessage = p11_kit_message();
    return pMessage != nullptr ? std::string(": ") + pMessage : std::string();
}

// A PKCS#11 result as text.
std::string rv_text(CK_RV rv)
{
    const char *pText = p11_kit_strerror(rv);
    return pText != nullptr ? pText : "error " + std::to_string(rv);
}

// Parses pUri into pKey (also keeping its printable form).
int parse_uri(TokenKey *pKey, const char *pUri, std::string *pWhy)
{
    pKey->printable = token_uri_printable(pUri);
    if (!is_token_uri(pUri)) {
        *pWhy = "not a pkcs11: URI: " + pKey->printable;
        return TOKEN_UNREACHABLE;
    }
    pKey->pParsed = p11_kit_uri_new();
    if (pKey->pParsed == nullptr) {
        *pWhy = "out of memory parsing URI " + pKey->printable;
        return TOKEN_UNREACHABLE;
    }
    int nParsed = p11_kit_uri_parse(pUri, P11_KIT_URI_FOR_ANY, pKey->pParsed);
    if (nParsed != P11_KIT_URI_OK) {
        *pWhy = "bad URI " + pKey->printable + ": " + p11_kit_uri_message(nParsed);
        return TOKEN_UNREACHABLE;
    }
    if (p11_kit_uri_any_unrecognized(pKey->pParsed)) {
        *pWhy = "bad URI " + pKey->printable + ": an attribute is not known";
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// Loads and initialises the module the URI names (module-path, module-name),
// else the one PKCS11_MODULE_PATH names, else every registered module.
int load_modules(TokenKey *pKey, std::string *pWhy)
{
    Modules *pModules = &pKey->modules;
    const char *pPath = p11_kit_uri_get_module_path(pKey->pParsed);
    const char *pName = p11_kit_uri_get_module_name(pKey->pParsed);
    if (pPath == nullptr && pName == nullptr) {
        pPath = getenv("PKCS11_MODULE_PATH");
        if (pPath != nullptr && pPath[0] == '\0') {
            pPath = nullptr;
        }
    }
    if (pPath != nullptr) {
        CK_FUNCTION_LIST *pModule = p11_kit_module_load(pPath, 0);
        if (pModule == nullptr) {
            *pWhy = std::string("module not loaded: ") + pPath + p11_message();
            return TOKEN_UNREACHABLE;
        }
        CK_RV rv = p11_kit_module_initialize(pModule);
        if (rv != CKR_OK) {
            p11_kit_module_release(pModule);
            *pWhy = std::string("module not loaded: ") + pPath + ": " + rv_text(rv);
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
            *pWhy = std::string("module not loaded: no registered module is named ") + pName;
            return TOKEN_UNREACHABLE;
        }
        CK_RV rv = p11_kit_module_initialize(pModule);
        if (rv != CKR_OK) {
            *pWhy = std::string("module not loaded: ") + pName + ": " + rv_text(rv);
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

// Adds every initialised token of pModule whose module, slot and token the
// URI matches to *pFound. A module that cannot list its slots has none.
void collect_tokens(const TokenKey *pKey, CK_FUNCTION_LIST *pModule, std::vector<TokenSlot> *pFound)
{
    CK_INFO moduleInfo;
    if (pModule->C_GetInfo(&moduleInfo) != CKR_OK || !p11_kit_uri_match_module_info(pKey->pParsed, &moduleInfo)) {
        return;
    }
    std::vector<CK_SLOT_ID> slots;
    CK_ULONG nSlots = 0;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    while (rv == CKR_BUFFER_TOO_SMALL) {
        if (pModule->C_GetSlotList(CK_TRUE, nullptr, &nSlots) != CKR_OK) {
            return;
        }
        slots.resize(nSlots);
        rv = pModule->C_GetSlotList(CK_TRUE, slots.data(), &nSlots);
    }
    if (rv != CKR_OK) {
        return;
    }
    slots.resize(nSlots);
    CK_SLOT_ID nWanted = p11_kit_uri_get_slot_id(pKey->pParsed);
    for (CK_SLOT_ID nSlot : slots) {
        CK_SLOT_INFO slotInfo;
        TokenSlot token{pModule, nSlot, {}};
        if ((nWanted != TOKEN_ANY_SLOT && nSlot != nWanted) || pModule->C_GetSlotInfo(nSlot, &slotInfo) != CKR_OK ||
            !p11_kit_uri_match_slot_info(pKey->pParsed, &slotInfo) ||
            pModule->C_GetTokenInfo(nSlot, &token.info) != CKR_OK || (token.info.flags & CKF_TOKEN_INITIALIZED) == 0 ||
            !p11_kit_uri_match_token_info(pKey->pParsed, &token.info)) {
            continue;
        }
        pFound->push_back(token);
    }
}

// Every token the URI selects, in the modules in use; TOKEN_UNREACHABLE when
// there is none.
int find_tokens(const TokenKey *pKey, std::vector<TokenSlot> *pFound, std::string *pWhy)
{
    const Modules &modules = pKey->modules;
    if (modules.pPicked != nullptr) {
        collect_tokens(pKey, modules.pPicked, pFound);
    } else {
        for (CK_FUNCTION_LIST **pp = modules.ppRegistered; *pp != nullptr; pp++) {
            collect_tokens(pKey, *pp, pFound);
        }
    }
    if (pFound->empty()) {
        *pWhy = "no token matches URI " + pKey->printable;
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// The token's label without its padding.
std::string token_label(const CK_TOKEN_INFO &info)
{
    return std::string(reinterpret_cast<const char *>(info.label),
                       p11_kit_space_strlen(info.label, sizeof(info.label)));
}

// Opens a session with the token (read-write with bWrite).
int open_session(TokenKey *pKey, const TokenSlot &token, bool bWrite, std::string *pWhy)
{
    pKey->tokenLabel = token_label(token.info);
    pKey->pModule = token.pModule;
    pKey->nSlot = token.nSlot;
    pKey->nTokenFlags = token.info.flags;
    CK_FLAGS nFlags = CKF_SERIAL_SESSION | (bWrite ? CKF_RW_SESSION : 0);
    CK_RV rv = token.pModule->C_OpenSession(token.nSlot, nFlags, nullptr, nullptr, &pKey->hSession);
    if (rv != CKR_OK) {
        *pWhy = "no session with token " + pKey->tokenLabel + ": " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    pKey->bSession = true;
    return TOKEN_OK;
}

// Reads the PIN from the file that pin-source names, a file: URI or a path.
// One trailing newline is not part of the PIN.
int read_pin_file(const char *pSource, Pin *pPin, std::string *pWhy)
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
                *pWhy = std::string("pin-source is not a local file: ") + pSource;
                return TOKEN_UNREACHABLE;
            }
        }
    }
    int fd = open(pPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *pWhy = std::string("cannot open pin-source ") + pPath + ": " + strerror(errno);
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
    }
    pPin->nLen = nLen;
    if (nRead < 0 || !bClosed || bLong) {
        forget_pin(pPin);
        *pWhy = std::string("cannot read pin-source ") + pPath + ": " +
                (nError != 0 ? strerror(nError)
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
int read_pin_terminal(const std::string &tokenLabel, Pin *pPin, std::string *pWhy)
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
        forget_pin(pPin);
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

// Fills pKey->pin from the URI's pin-value or pin-source, else from the
// terminal when standard input is one; refuses otherwise.
int get_pin(TokenKey *pKey, std::string *pWhy)
{
    const char *pValue = p11_kit_uri_get_pin_value(pKey->pParsed);
    if (pValue != nullptr) {
        size_t nLen = strlen(pValue);
        if (nLen >= sizeof(pKey->pin.sz)) {
            *pWhy = "pin-value longer than a PIN in URI " + pKey->printable;
            return TOKEN_UNREACHABLE;
        }
        memcpy(pKey->pin.sz, pValue, nLen);
        pKey->pin.nLen = nLen;
        return TOKEN_OK;
    }
    const char *pSource = p11_kit_uri_get_pin_source(pKey->pParsed);
    if (pSource != nullptr) {
        return read_pin_file(pSource, &pKey->pin, pWhy);
    }
    if (!isatty(STDIN_FILENO)) {
        *pWhy = "no PIN: give pin-value or pin-source, or run on a terminal";
        return TOKEN_UNREACHABLE;
    }
    return read_pin_terminal(pKey->tokenLabel, &pKey->pin, pWhy);
}

// Logs the session in as the user. An empty PIN is refused before the token
// sees it, so that no try is spent. The PIN is wiped after C_Login unless
// bKeep (and on every failure).
int log_in(TokenKey *pKey, bool bKeep, std::string *pWhy)
{
    int nStatus = get_pin(pKey, pWhy);
    if (nStatus == TOKEN_OK && pKey->pin.nLen == 0) {
        *pWhy = "empty PIN for token " + pKey->tokenLabel;
        nStatus = TOKEN_UNREACHABLE;
    }
    if (nStatus != TOKEN_OK) {
        forget_pin(&pKey->pin);
        return nStatus;
    }
    CK_RV rv = pKey->pModule->C_Login(pKey->hSession, CKU_USER, pKey->pin.sz, pKey->pin.nLen);
    if (!bKeep || (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN)) {
        forget_pin(&pKey->pin);
    }
    if (rv == CKR_OK) {
        pKey->bLoggedIn = true;
        return TOKEN_OK;
    }
    if (rv == CKR_USER_ALREADY_LOGGED_IN) {
        return TOKEN_OK;
    }
    *pWhy = rv == CKR_PIN_INCORRECT ? "wrong PIN for token " + pKey->tokenLabel
            : rv == CKR_PIN_LOCKED  ? "PIN locked for token " + pKey->tokenLabel
                                    : "login to token " + pKey->tokenLabel + " failed: " + rv_text(rv);
    return TOKEN_UNREACHABLE;
}

// Reads attribute nType of hObject into pBuf (nCap bytes); *pnLen gets its
// length. False when the object does not show it or it is longer than nCap.
bool get_attribute(const TokenKey *pKey, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_TYPE nType, void *pBuf, CK_ULONG nCap,
                   CK_ULONG *pnLen)
{
    CK_ATTRIBUTE attribute = {nType, pBuf, nCap};
    CK_RV rv = pKey->pModule->C_GetAttributeValue(pKey->hSession, hObject, &attribute, 1);
    *pnLen = rv == CKR_OK && attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION ? attribute.ulValueLen : 0;
    return rv == CKR_OK && attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION;
}

// Reads a big-endian number attribute without its leading zero bytes.
bool get_number(const TokenKey *pKey, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_TYPE nType, unsigned char *pBuf,
                int *pnLen)
{
    CK_ULONG nLen = 0;
    if (!get_attribute(pKey, hObject, nType, pBuf, TOKEN_VALUE_MAX, &nLen)) {
        return false;
    }
    CK_ULONG nSkip = 0;
    while (nSkip < nLen && pBuf[nSkip] == 0) {
        nSkip++;
    }
    memmove(pBuf, pBuf + nSkip, nLen - nSkip);
    *pnLen = static_cast<int>(nLen - nSkip);
    return *pnLen > 0;
}

// Bit length of a big-endian number without leading zero bytes.
int be_bit_length(const unsigned char *p, int nLen)
{
    int nBits = 8 * nLen;
    for (unsigned nMask = 0x80; nLen > 0 && nMask != 0 && (p[0] & nMask) == 0; nMask >>= 1) {
        nBits--;
    }
    return nBits;
}

// Collects every object of the session that matches the template.
CK_RV find_objects(const TokenKey *pKey, CK_ATTRIBUTE *pTemplate, CK_ULONG nTemplate,
                   std::vector<CK_OBJECT_HANDLE> *pFound)
{
    pFound->clear();
    CK_RV rv = pKey->pModule->C_FindObjectsInit(pKey->hSession, pTemplate, nTemplate);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE ahFound[16];
        CK_ULONG nFound = 0;
        rv = pKey->pModule->C_FindObjects(pKey->hSession, ahFound, 16, &nFound);
        if (rv != CKR_OK || nFound == 0) {
            break;
        }
        pFound->insert(pFound->end(), ahFound, ahFound + nFound);
    }
    CK_RV rvFinal = pKey->pModule->C_FindObjectsFinal(pKey->hSession);
    return rv != CKR_OK ? rv : rvFinal;
}

// Collects the keys of class nClass (RSA only with bRsa) that match the
// URI's attributes; the URI's own class is set aside.
int find_uri_keys(const TokenKey *pKey, CK_OBJECT_CLASS nClass, bool bRsa, std::vector<CK_OBJECT_HANDLE> *pFound,
                  std::string *pWhy)
{
    CK_KEY_TYPE nKeyType = CKK_RSA;
    CK_ATTRIBUTE aTemplate[TOKEN_TEMPLATE_MAX];
    CK_ULONG nTemplate = 0;
    CK_ULONG nUri = 0;
    CK_ATTRIBUTE *pUri = p11_kit_uri_get_attributes(pKey->pParsed, &nUri);
    for (CK_ULONG i = 0; i < nUri && nTemplate < TOKEN_TEMPLATE_MAX - 2; i++) {
        if (pUri[i].type != CKA_CLASS && pUri[i].type != CKA_KEY_TYPE) {
            aTemplate[nTemplate++] = pUri[i];
        }
    }
    aTemplate[nTemplate++] = CK_ATTRIBUTE{CKA_CLASS, &nClass, sizeof(nClass)};
    if (bRsa) {
        aTemplate[nTemplate++] = CK_ATTRIBUTE{CKA_KEY_TYPE, &nKeyType, sizeof(nKeyType)};
    }
    CK_RV rv = find_objects(pKey, aTemplate, nTemplate, pFound);
    if (rv != CKR_OK) {
        *pWhy = "cannot search token " + pKey->tokenLabel + ": " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// Finds the one key the URI names (logging in where needed) and reads its
// modulus and always-authenticate flag.
int select_key(TokenKey *pKey, std::string *pWhy)
{
    pKey->nClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE *pClass = p11_kit_uri_get_attribute(pKey->pParsed, CKA_CLASS);
    if (pClass != nullptr && pClass->ulValueLen == sizeof(CK_OBJECT_CLASS)) {
        CK_OBJECT_CLASS nAsked;
        memcpy(&nAsked, pClass->pValue, sizeof(nAsked));
        if (pKey->access == TOKEN_PUBLIC_HALF && nAsked == CKO_PUBLIC_KEY) {
            pKey->nClass = CKO_PUBLIC_KEY;
        } else if (nAsked != CKO_PRIVATE_KEY) {
            *pWhy = "URI names no private key: " + pKey->printable;
            return TOKEN_UNREACHABLE;
        }
    }
    bool bPrivate = pKey->nClass == CKO_PRIVATE_KEY;
    const char *pKind = bPrivate ? "RSA private key" : "RSA public key";
    bool bKeepPin = pKey->access == TOKEN_SIGN;
    bool bLogin = bPrivate && (pKey->nTokenFlags & CKF_LOGIN_REQUIRED) != 0;
    int nStatus = bLogin ? log_in(pKey, bKeepPin, pWhy) : TOKEN_OK;
    std::vector<CK_OBJECT_HANDLE> found;
    if (nStatus == TOKEN_OK) {
        nStatus = find_uri_keys(pKey, pKey->nClass, true, &found, pWhy);
    }
    if (nStatus == TOKEN_OK && found.empty() && bPrivate && !bLogin) {
        nStatus = log_in(pKey, bKeepPin, pWhy);
        if (nStatus == TOKEN_OK) {
            nStatus = find_uri_keys(pKey, pKey->nClass, true, &found, pWhy);
        }
    }
    if (nStatus == TOKEN_OK && found.empty()) {
        nStatus = find_uri_keys(pKey, pKey->nClass, false, &found, pWhy);
        if (nStatus == TOKEN_OK && !found.empty()) {
            *pWhy = std::string("the key URI ") + pKey->printable + " names is not an RSA key";
            return TOKEN_REFUSED;
        }
        if (nStatus == TOKEN_OK) {
            *pWhy = std::string("no ") + pKind + " matches URI " + pKey->printable;
            return TOKEN_UNREACHABLE;
        }
    }
    if (nStatus == TOKEN_OK && found.size() > 1) {
        *pWhy = std::string("several ") + pKind + "s match URI " + pKey->printable;
        return TOKEN_UNREACHABLE;
    }
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    pKey->hKey = found[0];
    if (!get_number(pKey, pKey->hKey, CKA_MODULUS, pKey->szModulus, &pKey->nModulusLen)) {
        *pWhy = "cannot read the modulus of the key URI " + pKey->printable + " names";
        return TOKEN_UNREACHABLE;
    }
    pKey->nBits = be_bit_length(pKey->szModulus, pKey->nModulusLen);
    CK_BBOOL bAlways = CK_FALSE;
    CK_ULONG nLen = 0;
    pKey->bAlwaysAuthenticate =
        bPrivate && get_attribute(pKey, pKey->hKey, CKA_ALWAYS_AUTHENTICATE, &bAlways, sizeof(bAlways), &nLen) &&
        nLen == sizeof(bAlways) && bAlways == CK_TRUE;
    return TOKEN_OK;
}

// Parses the URI, loads the modules and finds the tokens it selects.
int reach_tokens(TokenKey *pKey, const char *pUri, std::vector<TokenSlot> *pTokens, std::string *pWhy)
{
    int nStatus = parse_uri(pKey, pUri, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = load_modules(pKey, pWhy);
    }
    if (nStatus == TOKEN_OK) {
        nStatus = find_tokens(pKey, pTokens, pWhy);
    }
    return nStatus;
}

// True when the token lists CKM_RSA_X_509 among its mechanisms and offers it
// for signing.
bool offers_raw_rsa_signing(const TokenSlot &token)
{
    std::vector<CK_MECHANISM_TYPE> mechanisms;
    CK_ULONG nMechanisms = 0;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    while (rv == CKR_BUFFER_TOO_SMALL) {
        if (token.pModule->C_GetMechanismList(token.nSlot, nullptr, &nMechanisms) != CKR_OK) {
            return false;
        }
        mechanisms.resize(nMechanisms);
        rv = token.pModule->C_GetMechanismList(token.nSlot, mechanisms.data(), &nMechanisms);
    }
    mechanisms.resize(rv == CKR_OK ? nMechanisms : 0);
    CK_MECHANISM_INFO info;
    return std::find(mechanisms.begin(), mechanisms.end(), CKM_RSA_X_509) != mechanisms.end() &&
           token.pModule->C_GetMechanismInfo(token.nSlot, CKM_RSA_X_509, &info) == CKR_OK &&
           (info.flags & CKF_SIGN) != 0;
}

// The rest of token_key_open, on a fresh pKey.
int open_key(TokenKey *pKey, const char *pUri, std::string *pWhy)
{
    std::vector<TokenSlot> tokens;
    int nStatus = reach_tokens(pKey, pUri, &tokens, pWhy);
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    if (tokens.size() > 1) {
        *pWhy = "several tokens match URI " + pKey->printable;
        return TOKEN_UNREACHABLE;
    }
    if (pKey->access == TOKEN_SIGN && !offers_raw_rsa_signing(tokens[0])) {
        *pWhy = "token " + token_label(tokens[0].info) + " does not offer raw RSA signing (CKM_RSA_X_509)";
        return TOKEN_UNREACHABLE;
    }
    nStatus = open_session(pKey, tokens[0], false, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = select_key(pKey, pWhy);
    }
    free_uri(pKey);
    if (!(pKey->access == TOKEN_SIGN && pKey->bAlwaysAuthenticate)) {
        forget_pin(&pKey->pin);
    }
    return nStatus;
}

// The URI that selects the key hObject in the session's token: token=,
// serial=, object=, id=, type=private. Empty when p11-kit cannot make it.
std::string entry_uri(const TokenKey *pKey, const CK_TOKEN_INFO &info, CK_OBJECT_HANDLE hObject)
{
    std::string uri;
    P11KitUri *pEntry = p11_kit_uri_new();
    if (pEntry == nullptr) {
        return uri;
    }
    CK_TOKEN_INFO *pTokenInfo = p11_kit_uri_get_token_info(pEntry);
    memcpy(pTokenInfo->label, info.label, sizeof(info.label));
    if (p11_kit_space_strlen(info.serialNumber, sizeof(info.serialNumber)) > 0) {
        memcpy(pTokenInfo->serialNumber, info.serialNumber, sizeof(info.serialNumber));
    }
    CK_OBJECT_CLASS nClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE classAttribute = {CKA_CLASS, &nClass, sizeof(nClass)};
    bool bOk = p11_kit_uri_set_attribute(pEntry, &classAttribute) == P11_KIT_URI_OK;
    unsigned char szValue[TOKEN_VALUE_MAX];
    for (CK_ATTRIBUTE_TYPE nType : {CKA_LABEL, CKA_ID}) {
        CK_ULONG nLen = 0;
        if (bOk && get_attribute(pKey, hObject, nType, szValue, sizeof(szValue), &nLen) && nLen > 0) {
            CK_ATTRIBUTE attribute = {nType, szValue, nLen};
            bOk = p11_kit_uri_set_attribute(pEntry, &attribute) == P11_KIT_URI_OK;
        }
    }
    char *pFormatted = nullptr;
    if (bOk && p11_kit_uri_format(pEntry, P11_KIT_URI_FOR_OBJECT_ON_TOKEN, &pFormatted) == P11_KIT_URI_OK) {
        uri = pFormatted;
    }
    free(pFormatted);
    p11_kit_uri_free(pEntry);
    return uri;
}

// Adds the RSA private keys of one token that the URI selects to *pKeys.
int list_token(TokenKey *pKey, const TokenSlot &token, std::vector<TokenKeyEntry> *pKeys, std::string *pWhy)
{
    int nStatus = open_session(pKey, token, false, pWhy);
    bool bLogin = (token.info.flags & CKF_LOGIN_REQUIRED) != 0;
    if (nStatus == TOKEN_OK && bLogin) {
        nStatus = log_in(pKey, false, pWhy);
    }
    std::vector<CK_OBJECT_HANDLE> found;
    if (nStatus == TOKEN_OK) {
        nStatus = find_uri_keys(pKey, CKO_PRIVATE_KEY, true, &found, pWhy);
    }
    if (nStatus == TOKEN_OK && found.empty() && !bLogin) {
        nStatus = log_in(pKey, false, pWhy);
        if (nStatus == TOKEN_OK) {
            nStatus = find_uri_keys(pKey, CKO_PRIVATE_KEY, true, &found, pWhy);
        }
    }
    for (size_t i = 0; nStatus == TOKEN_OK && i < found.size(); i++) {
        unsigned char szModulus[TOKEN_VALUE_MAX];
        int nLen = 0;
        TokenKeyEntry entry{entry_uri(pKey, token.info, found[i]), 0};
        if (get_number(pKey, found[i], CKA_MODULUS, szModulus, &nLen)) {
            entry.nBits = be_bit_length(szModulus, nLen);
        }
        if (entry.uri.empty()) {
            *pWhy = "cannot make a URI for a key in token " + pKey->tokenLabel;
            nStatus = TOKEN_UNREACHABLE;
        } else {
            pKeys->push_back(entry);
        }
    }
    end_session(pKey);
    return nStatus;
}

// The rest of token_generate_key, on a fresh pKey.
int generate_key(TokenKey *pKey, const char *pUri, int nBits, std::string *pWhy)
{
    int nStatus = parse_uri(pKey, pUri, pWhy);
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    CK_ATTRIBUTE *pLabel = p11_kit_uri_get_attribute(pKey->pParsed, CKA_LABEL);
    if (pLabel == nullptr || pLabel->ulValueLen == 0 || p11_kit_uri_get_token_info(pKey->pParsed)->label[0] == 0) {
        *pWhy = "URI " + pKey->printable + " must name the token (token=) and the key (object=)";
        return TOKEN_UNREACHABLE;
    }
    std::string label(static_cast<const char *>(pLabel->pValue), pLabel->ulValueLen);
    if (nBits < TOKEN_BITS_MIN || nBits > TOKEN_BITS_MAX) {
        *pWhy = "a signing key has 1017 to 1024 bits, not " + std::to_string(nBits);
        return TOKEN_REFUSED;
    }
    std::vector<TokenSlot> tokens;
    nStatus = load_modules(pKey, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = find_tokens(pKey, &tokens, pWhy);
    }
    if (nStatus == TOKEN_OK && tokens.size() > 1) {
        *pWhy = "several tokens match URI " + pKey->printable;
        nStatus = TOKEN_UNREACHABLE;
    }
    if (nStatus == TOKEN_OK) {
        nStatus = open_session(pKey, tokens[0], true, pWhy);
    }
    if (nStatus == TOKEN_OK) {
        nStatus = log_in(pKey, false, pWhy);
    }
    free_uri(pKey);
    std::vector<CK_OBJECT_HANDLE> found;
    CK_ATTRIBUTE labelOnly = {CKA_LABEL, label.data(), label.size()};
    CK_RV rv = nStatus == TOKEN_OK ? find_objects(pKey, &labelOnly, 1, &found) : CKR_OK;
    if (nStatus == TOKEN_OK && rv != CKR_OK) {
        *pWhy = "cannot search token " + pKey->tokenLabel + ": " + rv_text(rv);
        nStatus = TOKEN_UNREACHABLE;
    }
    if (nStatus == TOKEN_OK && !found.empty()) {
        *pWhy = "token " + pKey->tokenLabel + " already holds an object labelled " + label;
        nStatus = TOKEN_REFUSED;
    }
    unsigned char szId[TOKEN_ID_NEW];
    if (nStatus == TOKEN_OK && getrandom(szId, sizeof(szId), 0) != static_cast<ssize_t>(sizeof(szId))) {
        *pWhy = std::string("no random CKA_ID: ") + strerror(errno);
        nStatus = TOKEN_UNREACHABLE;
    }
    if (nStatus != TOKEN_OK) {
        return nStatus;
    }
    CK_BBOOL bTrue = CK_TRUE;
    CK_BBOOL bFalse = CK_FALSE;
    CK_ULONG nModulusBits = static_cast<CK_ULONG>(nBits);
    unsigned char szExponent[] = {0x01, 0x00, 0x01};
    CK_ATTRIBUTE aPublic[] = {
        {CKA_TOKEN, &bTrue, sizeof(bTrue)},
        {CKA_VERIFY, &bTrue, sizeof(bTrue)},
        {CKA_MODULUS_BITS, &nModulusBits, sizeof(nModulusBits)},
        {CKA_PUBLIC_EXPONENT, szExponent, sizeof(szExponent)},
        {CKA_LABEL, label.data(), label.size()},
        {CKA_ID, szId, sizeof(szId)},
    };
    CK_ATTRIBUTE aPrivate[] = {
        {CKA_TOKEN, &bTrue, sizeof(bTrue)},     {CKA_PRIVATE, &bTrue, sizeof(bTrue)},
        {CKA_SENSITIVE, &bTrue, sizeof(bTrue)}, {CKA_EXTRACTABLE, &bFalse, sizeof(bFalse)},
        {CKA_SIGN, &bTrue, sizeof(bTrue)},      {CKA_LABEL, label.data(), label.size()},
        {CKA_ID, szId, sizeof(szId)},
    };
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE hPublic = 0;
    CK_OBJECT_HANDLE hPrivate = 0;
    rv = pKey->pModule->C_GenerateKeyPair(pKey->hSession, &mechanism, aPublic, sizeof(aPublic) / sizeof(aPublic[0]),
                                          aPrivate, sizeof(aPrivate) / sizeof(aPrivate[0]), &hPublic, &hPrivate);
    if (rv != CKR_OK) {
        *pWhy = "token " + pKey->tokenLabel + " made no key pair: " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    return TOKEN_OK;
}

// Appends the nLen bytes at p, attributes separated by cSeparator, to *pOut,
// leaving out every pin-value attribute.
void append_without_pin(std::string *pOut, const char *p, size_t nLen, char cSeparator)
{
    static const char szName[] = "pin-value";
    constexpr size_t nName = sizeof(szName) - 1;
    bool bFirst = true;
    size_t nStart = 0;
    for (;;) {
        const void *pFound = memchr(p + nStart, cSeparator, nLen - nStart);
        size_t nEnd = pFound != nullptr ? static_cast<size_t>(static_cast<const char *>(pFound) - p) : nLen;
        size_t nItem = nEnd - nStart;
        bool bPin =
            nItem >= nName && memcmp(p + nStart, szName, nName) == 0 && (nItem == nName || p[nStart + nName] == '=');
        if (!bPin) {
            if (!bFirst) {
                pOut->push_back(cSeparator);
            }
            pOut->append(p + nStart, nItem);
            bFirst = false;
        }
        if (pFound == nullptr) {
            return;
        }
        nStart = nEnd + 1;
    }
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
    const char *pQuery = strchr(pPath, '?');
    size_t nPath = pQuery != nullptr ? static_cast<size_t>(pQuery - pPath) : strlen(pPath);
    append_without_pin(&out, pPath, nPath, ';');
    if (pQuery != nullptr) {
        std::string query;
        append_without_pin(&query, pQuery + 1, strlen(pQuery + 1), '&');
        if (!query.empty()) {
            out += "?" + query;
        }
    }
    return out;
}

int token_key_open(const char *pUri, TokenAccess access, TokenKey **ppKey, std::string *pWhy)
{
    *ppKey = nullptr;
    TokenKey *pKey = new (std::nothrow) TokenKey{};
    if (pKey == nullptr) {
        *pWhy = "out of memory";
        return TOKEN_UNREACHABLE;
    }
    pKey->access = access;
    int nStatus = open_key(pKey, pUri, pWhy);
    if (nStatus != TOKEN_OK) {
        token_key_close(pKey);
        return nStatus;
    }
    *ppKey = pKey;
    return TOKEN_OK;
}

int token_key_public(TokenKey *pKey, unsigned char *pPublic, std::string *pWhy)
{
    if (pKey->nBits < TOKEN_BITS_MIN || pKey->nBits > TOKEN_BITS_MAX) {
        *pWhy = "the key URI " + pKey->printable + " names has " + std::to_string(pKey->nBits) +
                " bits; a signing key has 1017 to 1024";
        return TOKEN_REFUSED;
    }
    unsigned char szExponent[TOKEN_VALUE_MAX];
    int nExponent = 0;
    bool bFound = get_number(pKey, pKey->hKey, CKA_PUBLIC_EXPONENT, szExponent, &nExponent);
    if (!bFound && pKey->nClass == CKO_PRIVATE_KEY) {
        // The public key with the same CKA_ID and the same modulus shows it.
        unsigned char szId[TOKEN_VALUE_MAX];
        CK_ULONG nId = 0;
        std::vector<CK_OBJECT_HANDLE> found;
        CK_OBJECT_CLASS nClass = CKO_PUBLIC_KEY;
        CK_KEY_TYPE nKeyType = CKK_RSA;
        CK_ATTRIBUTE aTemplate[] = {
            {CKA_CLASS, &nClass, sizeof(nClass)}, {CKA_KEY_TYPE, &nKeyType, sizeof(nKeyType)}, {CKA_ID, szId, 0}};
        if (get_attribute(pKey, pKey->hKey, CKA_ID, szId, sizeof(szId), &nId) && nId > 0) {
            aTemplate[2].ulValueLen = nId;
            if (find_objects(pKey, aTemplate, 3, &found) != CKR_OK) {
                found.clear();
            }
        }
        for (size_t i = 0; !bFound && i < found.size(); i++) {
            unsigned char szModulus[TOKEN_VALUE_MAX];
            int nModulus = 0;
            bFound = get_number(pKey, found[i], CKA_MODULUS, szModulus, &nModulus) && nModulus == pKey->nModulusLen &&
                     memcmp(szModulus, pKey->szModulus, nModulus) == 0 &&
                     get_number(pKey, found[i], CKA_PUBLIC_EXPONENT, szExponent, &nExponent);
        }
    }
    if (!bFound) {
        *pWhy = "no public exponent for the key URI " + pKey->printable + " names";
        return TOKEN_UNREACHABLE;
    }
    if (nExponent > RSA_FIELD_SIZE) {
        *pWhy = "the public exponent of the key URI " + pKey->printable + " names is longer than 128 bytes";
        return TOKEN_REFUSED;
    }
    memset(pPublic, 0, SI_PUBLIC_SIZE);
    for (int i = 0; i < pKey->nModulusLen; i++) {
        pPublic[i] = pKey->szModulus[pKey->nModulusLen - 1 - i];
    }
    for (int i = 0; i < nExponent; i++) {
        pPublic[RSA_FIELD_SIZE + i] = szExponent[nExponent - 1 - i];
    }
    return TOKEN_OK;
}

int token_key_sign_block(TokenKey *pKey, const unsigned char *pPlain, unsigned char *pSigned, std::string *pWhy)
{
    if (pKey->access != TOKEN_SIGN || pKey->nClass != CKO_PRIVATE_KEY) {
        *pWhy = "the key URI " + pKey->printable + " names was not opened for signing";
        return TOKEN_UNREACHABLE;
    }
    // A longer raw input than the modulus can end the whole process in some
    // modules: only a modulus of exactly one block passes.
    if (pKey->nModulusLen != SI_BLOCK_SIZE) {
        *pWhy = "the key URI " + pKey->printable + " names has " + std::to_string(pKey->nBits) +
                " bits; a signing key has 1017 to 1024";
        return TOKEN_REFUSED;
    }
    unsigned char szInput[SI_BLOCK_SIZE];
    szInput[0] = 0;
    for (int i = 0; i < SI_BLOCK_PLAIN; i++) {
        szInput[1 + i] = pPlain[SI_BLOCK_PLAIN - 1 - i];
    }
    CK_MECHANISM mechanism = {CKM_RSA_X_509, nullptr, 0};
    CK_RV rv = pKey->pModule->C_SignInit(pKey->hSession, &mechanism, pKey->hKey);
    if (rv != CKR_OK) {
        *pWhy = "token " + pKey->tokenLabel + " does not start signing: " + rv_text(rv);
        return TOKEN_UNREACHABLE;
    }
    unsigned char szOutput[TOKEN_VALUE_MAX];
    CK_ULONG nOutput = sizeof(szOutput);
    if (pKey->bAlwaysAuthenticate) {
        rv = pKey->pModule->C_Login(pKey->hSession, CKU_CONTEXT_SPECIFIC, pKey->pin.sz, pKey->pin.nLen);
        if (rv != CKR_OK) {
            // C_Sign ends the started operation; without the login it signs nothing.
            CK_RV rvEnd = pKey->pModule->C_Sign(pKey->hSession, szInput, SI_BLOCK_SIZE, szOutput, &nOutput);
            (void)rvEnd;
            *pWhy = rv == CKR_PIN_INCORRECT
                        ? "wrong PIN for token " + pKey->tokenLabel
                        : "login for one signature to token " + pKey->tokenLabel + " failed: " + rv_text(rv);
            return TOKEN_UNREACHABLE;
        }
    }
    rv = pKey->pModule->C_Sign(pKey->hSession, szInput, SI_BLOCK_SIZE, szOutput, &nOutput);
    if (rv != CKR_OK || nOutput == 0 || nOutput > SI_BLOCK_SIZE) {
        *pWhy = "token " + pKey->tokenLabel +
                " did not sign: " + (rv != CKR_OK ? rv_text(rv) : std::to_string(nOutput) + " bytes back");
        return TOKEN_UNREACHABLE;
    }
    memset(pSigned, 0, SI_BLOCK_SIZE);
    for (CK_ULONG i = 0; i < nOutput; i++) {
        pSigned[i] = szOutput[nOutput - 1 - i];
    }
    return TOKEN_OK;
}

void token_key_close(TokenKey *pKey)
{
    if (pKey == nullptr) {
        return;
    }
    release_all(pKey);
    delete pKey;
}

int token_list_keys(const char *pUri, std::vector<TokenKeyEntry> *pKeys, std::string *pWhy)
{
    pKeys->clear();
    TokenKey *pKey = new (std::nothrow) TokenKey{};
    if (pKey == nullptr) {
        *pWhy = "out of memory";
        return TOKEN_UNREACHABLE;
    }
    std::vector<TokenSlot> tokens;
    int nStatus = reach_tokens(pKey, pUri, &tokens, pWhy);
    for (size_t i = 0; nStatus == TOKEN_OK && i < tokens.size(); i++) {
        nStatus = list_token(pKey, tokens[i], pKeys, pWhy);
    }
    token_key_close(pKey);
    if (nStatus != TOKEN_OK) {
        pKeys->clear();
    }
    return nStatus;
}

int token_generate_key(const char *pUri, int nBits, std::string *pWhy)
{
    TokenKey *pKey = new (std::nothrow) TokenKey{};
    if (pKey == nullptr) {
        *pWhy = "out of memory";
        return TOKEN_UNREACHABLE;
    }
    int nStatus = generate_key(pKey, pUri, nBits, pWhy);
    token_key_close(pKey);
    return nStatus;
}

int token_read_public(const char *pUri, TokenAccess access, unsigned char *pPublic, std::string *pWhy)
{
    TokenKey *pKey = nullptr;
    int nStatus = token_key_open(pUri, access, &pKey, pWhy);
    if (nStatus == TOKEN_OK) {
        nStatus = token_key_public(pKey, pPublic, pWhy);
    }
    token_key_close(pKey);
    return nStatus;
}
