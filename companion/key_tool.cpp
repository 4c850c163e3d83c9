// SPDX-License-Identifier: Apache-2.0
// key_tool: makes, imports, exports and inspects the signing tool's key files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "byte_order.h"
#include "cli.h"
#include "key_io.h"
#include "output_file.h"
#include "process_secrets.h"
#include "public_key.h"
#include "signer.h"
#include "token_key.h"

namespace {

constexpr int MIN_BITS = 8 * RSA_FIELD_SIZE - 7; // the top byte must not be zero
constexpr int MAX_BITS = 8 * RSA_FIELD_SIZE;
constexpr unsigned long PUBLIC_EXPONENT = 65537;
constexpr int MAX_PASSPHRASE = 1024;

const char *const USAGE =
    "Usage: key_tool generate [--bits N] [--force] OUT.key|URI | import [--force] [--passphrase-file FILE] KEY.pem "
    "OUT.key | export [--force] KEY.key|URI OUT.pem | show KEY.key|URI | list URI | sign-request [--force] "
    "REQUEST SIGNATURES KEY.key|URI | -h, --help | -V, --version";

// After an error: the commands, and where the rest is.
const char *const SHORT_USAGE =
    "Usage: key_tool generate|import|export|show|list|sign-request [OPTION]... NAME... (see key_tool --help)";

const char *const HELP =
    "key_tool: make and inspect key files for encrypt_tool.\n"
    "\n"
    "  generate [--bits N] [--force] OUT.key  fresh RSA key, N from 1017 to 1024 (default 1024), e = 65537\n"
    "  import [--force] [--passphrase-file FILE] KEY.pem OUT.key\n"
    "                                         from a PEM RSA private key of 1017 to 1024 bits that\n"
    "                                         passes OpenSSL's key check\n"
    "  export [--force] KEY.key OUT.pem       the public half as a PEM public key\n"
    "  show KEY.key                           sizes, checks and fingerprint of a key file (or a PEM public key)\n"
    "  list URI                               the RSA private keys in the token(s) a pkcs11: URI selects\n"
    "  sign-request [--force] REQUEST SIGNATURES KEY.key\n"
    "                                         signs the four raw RSA inputs that encrypt_tool --request\n"
    "                                         wrote, for encrypt_tool --signatures\n"
    "\n"
    "export and show also take a PEM public key (PUBLIC KEY or RSA PUBLIC KEY).\n"
    "Where a key file goes (generate, export, show), a pkcs11: URI names a key in a\n"
    "token instead: generate makes it there (token= and object= name token and\n"
    "label), export and show read its public half. A file whose name starts with\n"
    "pkcs11: is reached as ./pkcs11:...\n"
    "\n"
    "Key files are written with mode 0600 and never overwritten without --force.\n"
    "The passphrase of an encrypted PEM comes from the terminal or --passphrase-file.\n"
    "Exit status: 0 success (show: a key encrypt_tool accepts and OpenSSL's check passes),\n"
    "1 a key refused, 2 a usage or file error.\n";

// The parsed command line: a command, its flags and up to two paths.
struct Options {
    const char *pCommand = nullptr;
    const char *pPaths[3] = {};
    int nPaths = 0;
    int nBits = MAX_BITS;
    bool bForce = false;
    const char *pPassphraseFile = nullptr;
};

// Parses argv. Returns 0, or the exit status after the error; *pbDone when
// --help or --version was answered.
int parse_options(int argc, char **argv, Options *pOpts, bool *pbDone)
{
    static const option longOptions[] = {
        {"bits", required_argument, nullptr, 'b'}, {"force", no_argument, nullptr, 'f'},
        {"passphrase-file", required_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},   {nullptr, 0, nullptr, 0},
    };
    *pbDone = false;
    opterr = 0;
    int nOption = 0;
    while ((nOption = getopt_long(argc, argv, "hV", longOptions, nullptr)) != -1) {
        char *pEnd = nullptr;
        long nBits = 0;
        switch (nOption) {
        case 'b':
            errno = 0;
            nBits = strtol(optarg, &pEnd, 10);
            if (errno != 0 || pEnd == optarg || *pEnd != '\0' || nBits < MIN_BITS || nBits > MAX_BITS) {
                return cli_error(EXIT_USAGE, "--bits must be 1017 to 1024, not " + printable(optarg));
            }
            pOpts->nBits = static_cast<int>(nBits);
            break;
        case 'f': pOpts->bForce = true; break;
        case 'p': pOpts->pPassphraseFile = optarg; break;
        case 'h': printf("%s\n%s", USAGE, HELP); *pbDone = true; return 0;
        case 'V': cli_print_version(); *pbDone = true; return 0;
        default:
            return cli_error(EXIT_USAGE, "unknown option or missing value: " + printable(argv[optind - 1]) + "\n" +
                                             SHORT_USAGE);
        }
    }
    if (optind >= argc) {
        return cli_error(EXIT_USAGE, std::string("no command given\n") + SHORT_USAGE);
    }
    pOpts->pCommand = argv[optind++];
    for (; optind < argc; optind++) {
        if (pOpts->nPaths == 3) {
            return cli_error(EXIT_USAGE, "too many names: " + printable(argv[optind]) + "\n" + SHORT_USAGE);
        }
        pOpts->pPaths[pOpts->nPaths++] = argv[optind];
    }
    return 0;
}

// The exit status of writing pPath with output_write_file's nStatus and
// errno (nErrno), after its message: an error with its reason on standard
// error, or pDone and the name.
int report_written(int nStatus, int nErrno, const char *pPath, const char *pDone)
{
    if (nStatus == OUTPUT_EXISTS) {
        return cli_error(EXIT_USAGE, "File exists (use --force to replace it): " + printable(pPath));
    }
    if (nStatus != OUTPUT_OK) {
        return cli_file_error("File write error: ", pPath, nErrno);
    }
    printf("%s%s\n", pDone, printable(pPath).c_str());
    return 0;
}

// Writes the blob as a key file. Returns the exit status, after its message.
int write_key_file(const char *pPath, const unsigned char *szKey, bool bForce)
{
    unsigned char rsaKey[KEY_FILE_SIZE];
    key_records_from_blob(rsaKey, szKey);
    int nStatus = output_write_file(pPath, rsaKey, sizeof(rsaKey), OUTPUT_SECRET | (bForce ? 0 : OUTPUT_NO_CLOBBER));
    int nErrno = errno;
    explicit_bzero(rsaKey, sizeof(rsaKey));
    return report_written(nStatus, nErrno, pPath, "Key file written: ");
}

// generate: a fresh key pair of opts.nBits bits. Returns the exit status.
int generate_key(const Options &opts)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    BIGNUM *e = BN_new();
    bool bMade = ctx != nullptr && e != nullptr && BN_set_word(e, PUBLIC_EXPONENT) == 1 &&
                 EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, opts.nBits) == 1 &&
                 EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 && EVP_PKEY_keygen(ctx, &pkey) == 1 &&
                 EVP_PKEY_get_bits(pkey) == opts.nBits;
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {};
    bMade = bMade && blob_from_pkey(pkey, szKey);
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    BN_free(e);
    int nStatus = bMade ? write_key_file(opts.pPaths[0], szKey, opts.bForce)
                        : cli_error(EXIT_USAGE, "Key generation failed: " + printable(opts.pPaths[0]));
    explicit_bzero(szKey, sizeof(szKey));
    return nStatus;
}

// Where the passphrase of an encrypted PEM comes from, and whether OpenSSL
// asked for one and got one.
struct Passphrase {
    const char *pFile;
    bool bAsked;
    bool bLoaded;
    int nLen;   // -1: none to give
    int nErrno; // why the file gave none
    char szValue[MAX_PASSPHRASE];
};

// Reads a line of at most nSize - 1 bytes from fd into szOut, without its
// newline. Returns its length, or -1 when nothing can be read.
int read_line(int fd, char *szOut, int nSize)
{
    int nLen = 0;
    char c = 0;
    ssize_t nRead = 0;
    while (nLen < nSize - 1 && (nRead = read(fd, &c, 1)) == 1 && c != '\n') {
        szOut[nLen++] = c;
    }
    szOut[nLen] = '\0';
    return nRead < 0 || (nRead == 0 && nLen == 0 && c != '\n') ? -1 : nLen;
}

// Fills pPass from --passphrase-file (one line; its newline is not part of
// it) or from the terminal, asked without echo. No terminal: no passphrase.
void load_passphrase(Passphrase *pPass, const char *pPem)
{
    pPass->bLoaded = true;
    pPass->nLen = -1;
    if (pPass->pFile != nullptr) {
        int fd = open(pPass->pFile, O_RDONLY | O_CLOEXEC);
        pPass->nErrno = fd < 0 ? errno : 0;
        if (fd >= 0) {
            errno = 0; // an empty file has no reason of its own
            pPass->nLen = read_line(fd, pPass->szValue, sizeof(pPass->szValue));
            pPass->nErrno = pPass->nLen < 0 ? errno : 0;
            close(fd);
        }
        return;
    }
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return;
    }
    termios saved;
    bool bTerminal = tcgetattr(fd, &saved) == 0;
    if (bTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        std::string prompt = "Passphrase for " + printable(pPem) + ": ";
        bTerminal = tcsetattr(fd, TCSAFLUSH, &quiet) == 0 && write(fd, prompt.data(), prompt.size()) >= 0;
        pPass->nLen = bTerminal ? read_line(fd, pPass->szValue, sizeof(pPass->szValue)) : -1;
        tcsetattr(fd, TCSAFLUSH, &saved);
        if (write(fd, "\n", 1) < 0) {
            // The prompt's line end only: nothing depends on it.
        }
    }
    close(fd);
}

// OpenSSL's passphrase callback: the loaded passphrase, or none (-1).
int give_passphrase(char *pBuffer, int nSize, int, void *pUser)
{
    Passphrase *pPass = static_cast<Passphrase *>(pUser);
    pPass->bAsked = true;
    if (!pPass->bLoaded) {
        load_passphrase(pPass, "");
    }
    if (pPass->nLen < 0 || pPass->nLen > nSize) {
        return -1;
    }
    memcpy(pBuffer, pPass->szValue, static_cast<size_t>(pPass->nLen));
    return pPass->nLen;
}

// Reads the PEM private key of opts.pPaths[0]. Returns the key, or null with
// *pnStatus the exit status after the error.
EVP_PKEY *read_pem(const Options &opts, int *pnStatus)
{
    const char *pPem = opts.pPaths[0];
    if (access(pPem, R_OK) != 0) {
        *pnStatus = cli_file_error("File open error: ", pPem, errno);
        return nullptr;
    }
    Passphrase pass = {opts.pPassphraseFile, false, false, -1, 0, {}};
    if (opts.pPassphraseFile != nullptr) {
        load_passphrase(&pass, pPem);
        if (pass.nLen < 0) {
            explicit_bzero(pass.szValue, sizeof(pass.szValue));
            *pnStatus = cli_file_error("cannot read the passphrase file ", opts.pPassphraseFile, pass.nErrno,
                                       "it is empty");
            return nullptr;
        }
    }
    int nPem = PEM_NO_KEY;
    EVP_PKEY *pkey = read_rsa_private_pem(pPem, give_passphrase, &pass, &nPem);
    bool bGiven = pass.nLen >= 0;
    explicit_bzero(pass.szValue, sizeof(pass.szValue));
    if (pkey != nullptr) {
        return pkey;
    }
    if (nPem == PEM_NOT_RSA) {
        *pnStatus = cli_error(EXIT_CHECK_FAILED, "Key file error: not an RSA key: " + printable(pPem));
    } else if (nPem == PEM_PRIMES_UNRECOVERED) {
        *pnStatus = cli_error(EXIT_CHECK_FAILED, "Key file error: a multi-prime RSA key whose private exponent does "
                                                 "not match a modulus of 2 to 5 distinct primes: " + printable(pPem));
    } else if (pass.bAsked) {
        *pnStatus = cli_error(EXIT_USAGE, "cannot decrypt " + printable(pPem) +
                                              (bGiven ? ": wrong passphrase" : ": no passphrase"));
    } else {
        *pnStatus = cli_error(EXIT_USAGE, (nPem == PEM_NO_KEY ? "Not a PEM private key: " : "Private key cannot be "
                                                                                              "read: ") +
                                              printable(pPem));
    }
    return nullptr;
}

// import: a PEM RSA private key of 1017 to 1024 bits that passes OpenSSL's
// check and encrypt_tool's. Returns the exit status.
int import_key(const Options &opts)
{
    if (same_file(opts.pPaths[0], opts.pPaths[1])) {
        return cli_error(EXIT_USAGE, "Output file is an input file: " + printable(opts.pPaths[1]));
    }
    int nStatus = EXIT_USAGE;
    EVP_PKEY *pkey = read_pem(opts, &nStatus);
    if (pkey == nullptr) {
        return nStatus;
    }
    std::string pem = printable(opts.pPaths[0]);
    int nBits = EVP_PKEY_get_bits(pkey);
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {};
    std::string why;
    if (nBits < MIN_BITS || nBits > MAX_BITS) {
        nStatus = cli_error(EXIT_CHECK_FAILED, "Key size of " + std::to_string(nBits) +
                                                   " bits not supported (1017 to 1024): " + pem);
    } else if (!openssl_key_check(pkey, &why)) {
        nStatus = cli_error(EXIT_CHECK_FAILED, "Key file error: OpenSSL's key check fails (" + why + "): " + pem);
    } else if (!blob_from_pkey(pkey, szKey) || !si_signing_key_usable(szKey)) {
        nStatus = cli_error(EXIT_CHECK_FAILED, "Key file error: encrypt_tool refuses this key (an odd public "
                                               "exponent of at least 3 is needed): " + pem);
    } else {
        nStatus = write_key_file(opts.pPaths[1], szKey, opts.bForce);
    }
    explicit_bzero(szKey, sizeof(szKey));
    EVP_PKEY_free(pkey);
    return nStatus;
}

// True when the value at p (128 bytes) would be an odd full-length modulus,
// or a small exponent, with its bytes in the other order.
bool looks_reversed(const unsigned char *p, bool bModulus)
{
    unsigned char szReversed[RSA_FIELD_SIZE];
    reverse_bytes(szReversed, p, RSA_FIELD_SIZE);
    if (bModulus) {
        bool bGood = p[RSA_FIELD_SIZE - 1] != 0 && (p[0] & 1) != 0;
        return !bGood && szReversed[RSA_FIELD_SIZE - 1] != 0 && (szReversed[0] & 1) != 0;
    }
    return le_bit_length(p, RSA_FIELD_SIZE) > 64 && le_bit_length(szReversed, RSA_FIELD_SIZE) <= 32 &&
           (szReversed[0] & 1) != 0;
}

// True when the private exponent undoes a random 127-byte value.
bool pair_matches(const unsigned char *szKey)
{
    unsigned char szValue[SI_BLOCK_PLAIN];
    unsigned char szSigned[SI_BLOCK_SIZE];
    unsigned char szBack[SI_BLOCK_PLAIN];
    int nLen = SI_BLOCK_SIZE;
    int nBackLen = SI_BLOCK_PLAIN;
    return RAND_bytes(szValue, sizeof(szValue)) == 1 &&
           do_rsa_enc_dec(szValue, SI_BLOCK_PLAIN, szSigned, &nLen, RSA_MODE_PRIVATE_ENC, szKey) == 0 &&
           do_rsa_enc_dec(szSigned, SI_BLOCK_SIZE, szBack, &nBackLen, RSA_MODE_PUBLIC_DEC, szKey) == 0 &&
           memcmp(szBack, szValue, sizeof(szValue)) == 0;
}

// Prints the 128-byte little-endian exponent: its value, or its size when long.
void print_exponent(const unsigned char *p)
{
    if (le_bit_length(p, RSA_FIELD_SIZE) <= 64) {
        unsigned long long nValue = load_le32(p) | static_cast<unsigned long long>(load_le32(p + 4)) << 32;
        printf("Public exponent: %llu\n", nValue);
    } else {
        printf("Public exponent: %d bits\n", le_bit_length(p, RSA_FIELD_SIZE));
    }
}

// The rest of show for a public half whose private exponent is not at hand
// (pPrivate says where it is), after the line that names the key. Returns 0
// for a key encrypt_tool accepts (bSigns: where it lives can sign), else 1.
int show_public_half(const unsigned char *szPublic, const char *pPrivate, bool bSigns)
{
    bool bUsable = bSigns && si_public_key_usable(szPublic) != 0;
    printf("Modulus: %d bits%s\n", le_bit_length(szPublic + RSA_BLOB_N, RSA_FIELD_SIZE),
           (szPublic[RSA_BLOB_N] & 1) != 0 ? "" : ", even");
    print_exponent(szPublic + RSA_BLOB_E);
    printf("Private exponent: %s\n", pPrivate);
    printf("Fingerprint (SHA-256 of modulus and exponent, little-endian): %s\n", public_fingerprint(szPublic).c_str());
    printf("encrypt_tool: %s\n", bUsable ? "accepts this key" : "refuses this key");
    return bUsable ? 0 : EXIT_CHECK_FAILED;
}

// Reads the public half of a key file or a PEM public key into pPublic (256
// bytes); *pbPem says which it was. Returns 0, or the exit status after the
// error.
int read_public_key(const char *pPath, unsigned char *pPublic, bool *pbPem)
{
    std::string why;
    int nRead = read_public_file(pPath, pPublic, &why, pbPem);
    if (nRead == PUBLIC_KEY_REFUSED) {
        return cli_error(EXIT_USAGE, "Key cannot be read: " + cli_label(printable(pPath)) + why);
    }
    return nRead == PUBLIC_KEY_OK ? 0 : cli_file_error("File read error: ", pPath, 0, why);
}

// show: prints what the key file holds, or a PEM public key. Returns 0 for a
// key encrypt_tool accepts (and, for a key file, OpenSSL's check passes), 1
// for one refused, 2 when the file cannot be read.
int show_key(const Options &opts)
{
    // Read once: the name may be a FIFO or a process substitution.
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nFileSize = 0;
    bool bPem = false;
    std::string why;
    FILE *fp = fopen(opts.pPaths[0], "rbe");
    int nRead = PUBLIC_KEY_READ_FAILED;
    why = fp == nullptr ? strerror(errno) : "";
    if (fp != nullptr) {
        setvbuf(fp, nullptr, _IONBF, 0);
        nRead = read_key_or_public(fp, szKey, &nFileSize, &why, &bPem);
        if (fclose(fp) != 0) {
            why = strerror(errno);
            nRead = PUBLIC_KEY_READ_FAILED;
        }
    }
    if (nRead != PUBLIC_KEY_OK) {
        explicit_bzero(szKey, sizeof(szKey));
        return nRead == PUBLIC_KEY_REFUSED ? cli_error(EXIT_USAGE, "Key cannot be read: " + cli_label(printable(opts.pPaths[0])) + why)
                                           : cli_file_error("File read error: ", opts.pPaths[0], 0, why);
    }
    if (bPem) {
        printf("Public key: %s (PEM)\n", printable(opts.pPaths[0]).c_str());
        return show_public_half(szKey, "absent (a public key: encrypt_tool takes it as the public half with "
                                       "--signing-helper, --request or --signatures)", true);
    }
    int nPrivateBits = le_bit_length(szKey + RSA_BLOB_D, RSA_FIELD_SIZE);
    bool bUsable = si_signing_key_usable(szKey) != 0;
    printf("Key file: %s (%zu bytes%s)\n", printable(opts.pPaths[0]).c_str(), nFileSize,
           nFileSize == static_cast<size_t>(KEY_FILE_SIZE) ? "" : ", expected 1656");
    printf("Modulus: %d bits%s\n", le_bit_length(szKey + RSA_BLOB_N, RSA_FIELD_SIZE),
           (szKey[RSA_BLOB_N] & 1) != 0 ? "" : ", even");
    print_exponent(szKey + RSA_BLOB_E);
    bool bChecked = false;
    if (nPrivateBits > 0) {
        printf("Private exponent: present, %d bits\n", nPrivateBits);
        printf("Key pair: %s\n", pair_matches(szKey) ? "matches" : "does not match");
        std::string why;
        bChecked = openssl_blob_check(szKey, &why);
        printf("OpenSSL key check: %s\n", bChecked ? "passed" : ("failed: " + why).c_str());
    } else {
        printf("Private exponent: absent\n");
    }
    printf("Fingerprint (SHA-256 of modulus and exponent, little-endian): %s\n", public_fingerprint(szKey).c_str());
    if (looks_reversed(szKey + RSA_BLOB_N, true)) {
        printf("Hint: the modulus looks byte-reversed (big-endian where little-endian is expected)\n");
    }
    if (looks_reversed(szKey + RSA_BLOB_E, false)) {
        printf("Hint: the public exponent looks byte-reversed (big-endian where little-endian is expected)\n");
    }
    printf("encrypt_tool: %s\n", bUsable ? "accepts this key" : "refuses this key");
    explicit_bzero(szKey, sizeof(szKey));
    return bUsable && bChecked ? 0 : EXIT_CHECK_FAILED;
}

// Opens the key a URI names and reads its public half into pPublic (256
// bytes). With bSign, also whether encrypt_tool could sign with it
// (*pbSigns). Returns 0, or the exit status after the error.
int read_token_public(const char *pUri, bool bSign, unsigned char *pPublic, bool *pbSigns)
{
    std::string why;
    int nPublic = token_read_public(pUri, bSign ? TOKEN_SIGN : TOKEN_PUBLIC_HALF, pPublic, &why);
    *pbSigns = nPublic == TOKEN_OK;
    if (nPublic == TOKEN_UNREACHABLE && bSign) {
        // Perhaps only signing is out of reach (raw RSA not offered): the
        // public half can still be shown.
        std::string whySign = why;
        nPublic = token_read_public(pUri, TOKEN_PUBLIC_HALF, pPublic, &why);
        why = nPublic == TOKEN_OK ? whySign : why;
    }
    std::string shown = printable(pUri);
    if (nPublic == TOKEN_REFUSED) {
        return cli_error(EXIT_CHECK_FAILED, "Key file error: " + cli_label(shown) + printable(why.c_str()));
    }
    if (nPublic != TOKEN_OK) {
        return cli_error(EXIT_USAGE, "File open error: " + cli_label(shown) + printable(why.c_str()));
    }
    if (!*pbSigns && !why.empty()) {
        fprintf(stderr, "key_tool: %s\n", printable(why.c_str()).c_str());
    }
    return 0;
}

// show URI: the report of show for a key in a token, whose private exponent
// stays there. Returns 0 for a key encrypt_tool can sign with, 1 for one it
// refuses, 2 when the key cannot be reached.
int show_token_key(const Options &opts)
{
    unsigned char szPublic[SI_PUBLIC_SIZE];
    bool bSigns = false;
    int nStatus = read_token_public(opts.pPaths[0], true, szPublic, &bSigns);
    if (nStatus != 0) {
        return nStatus;
    }
    printf("Key in token: %s\n", printable(opts.pPaths[0]).c_str());
    return show_public_half(szPublic, bSigns ? "in the token, which signs raw RSA blocks"
                                             : "in the token, which cannot sign here", bSigns);
}

// The public half as a PEM file at pOut. Returns the exit status.
int write_public_pem(const unsigned char *pPublic, const char *pIn, const char *pOut, bool bForce)
{
    EVP_PKEY *pkey = public_pkey(pPublic);
    BIO *bio = BIO_new(BIO_s_mem());
    char *pPem = nullptr;
    long nPem = 0;
    if (pkey == nullptr || bio == nullptr || PEM_write_bio_PUBKEY(bio, pkey) != 1 ||
        (nPem = BIO_get_mem_data(bio, &pPem)) <= 0) {
        EVP_PKEY_free(pkey); // none made, or OpenSSL out of memory
        BIO_free(bio);
        return cli_error(EXIT_CHECK_FAILED, "Key file holds no RSA public key: " + printable(pIn));
    }
    int nStatus = output_write_file(pOut, reinterpret_cast<unsigned char *>(pPem), static_cast<size_t>(nPem),
                                    bForce ? OUTPUT_REPLACE : OUTPUT_NO_CLOBBER);
    int nErrno = errno;
    EVP_PKEY_free(pkey);
    BIO_free(bio);
    return report_written(nStatus, nErrno, pOut, "Public key written: ");
}

// list URI: one line per RSA private key in the token(s) the URI selects: a
// URI that selects exactly it, and its size. Returns the exit status.
int list_token_keys(const Options &opts)
{
    std::vector<TokenKeyEntry> keys;
    std::string why;
    if (token_list_keys(opts.pPaths[0], &keys, &why) != TOKEN_OK) {
        return cli_error(EXIT_USAGE, "File open error: " + cli_label(printable(opts.pPaths[0])) +
                                         printable(why.c_str()));
    }
    for (const TokenKeyEntry &key : keys) {
        printf("%s\t%d bits\n", printable(key.uri.c_str()).c_str(), key.nBits);
    }
    return 0;
}

// generate URI: a key pair made inside the token. Returns the exit status.
int generate_token_key(const Options &opts)
{
    std::string why;
    int nToken = token_generate_key(opts.pPaths[0], opts.nBits, &why);
    std::string shown = printable(opts.pPaths[0]);
    if (nToken == TOKEN_REFUSED) {
        return cli_error(EXIT_USAGE, "Key not made: " + cli_label(shown) + printable(why.c_str()));
    }
    if (nToken != TOKEN_OK) {
        return cli_error(EXIT_USAGE, "File open error: " + cli_label(shown) + printable(why.c_str()));
    }
    printf("Key made in the token: %s\n", shown.c_str());
    return 0;
}

// export: the public half of a key file or of a key in a token as a PEM
// public key. Returns the exit status.
int export_key(const Options &opts)
{
    if (same_file(opts.pPaths[0], opts.pPaths[1])) {
        return cli_error(EXIT_USAGE, "Output file is an input file: " + printable(opts.pPaths[1]));
    }
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {};
    if (is_token_uri(opts.pPaths[0])) {
        bool bSigns = false;
        int nStatus = read_token_public(opts.pPaths[0], false, szKey, &bSigns);
        return nStatus != 0 ? nStatus : write_public_pem(szKey, opts.pPaths[0], opts.pPaths[1], opts.bForce);
    }
    bool bPem = false;
    int nStatus = read_public_key(opts.pPaths[0], szKey, &bPem);
    return nStatus != 0 ? nStatus : write_public_pem(szKey, opts.pPaths[0], opts.pPaths[1], opts.bForce);
}

// Reads a request: the four raw RSA inputs of 128 bytes that encrypt_tool
// --request writes, each a 127-byte number (its first byte zero), into the
// blocks of a scratch SPL window. Returns 0, or the exit status after the
// error.
int read_request(const char *pPath, unsigned char *szBuffSPL)
{
    unsigned char szRequest[SIGNER_FILE_SIZE + 1];
    FILE *fp = fopen(pPath, "rbe");
    size_t nRead = fp != nullptr ? fread(szRequest, 1, sizeof(szRequest), fp) : 0;
    int nErrno = errno;
    bool bRead = fp != nullptr && !ferror(fp);
    if (fp != nullptr) {
        fclose(fp); // read only: nothing to lose
    }
    if (!bRead) {
        return cli_file_error("File read error: ", pPath, nErrno);
    }
    if (nRead != SIGNER_FILE_SIZE) {
        return cli_error(EXIT_CHECK_FAILED, "Not a signing request (" + std::to_string(SIGNER_FILE_SIZE) +
                                                " bytes: four raw RSA inputs of 128 bytes): " + printable(pPath));
    }
    const RSA_ENC_BLK *pTable = si_block_table();
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        const unsigned char *pInput = szRequest + i * SI_BLOCK_SIZE;
        if (pInput[0] != 0) {
            return cli_error(EXIT_CHECK_FAILED, "Input " + std::to_string(i) +
                                                    " of the request is not a block of 127 bytes (its first byte is "
                                                    "not zero): " + printable(pPath));
        }
        reverse_bytes(szBuffSPL + pTable[i].nEncStartAddr, pInput + 1, SI_BLOCK_PLAIN);
    }
    return 0;
}

// sign-request: the four results for a request, signed with a key file or a
// key in a token and each checked with the public half, in the request's form
// (big-endian) and order. Returns the exit status.
int sign_request(const Options &opts)
{
    const char *pRequest = opts.pPaths[0];
    const char *pSignatures = opts.pPaths[1];
    const char *pKey = opts.pPaths[2];
    if (same_file(pSignatures, pRequest) || same_file(pSignatures, pKey)) {
        return cli_error(EXIT_USAGE, "Output file is an input file: " + printable(pSignatures));
    }
    static unsigned char szBuffSPL[SI_WINDOW_SIZE];
    static unsigned char szBuffSPLCode[SI_WINDOW_SIZE];
    int nStatus = read_request(pRequest, szBuffSPL);
    if (nStatus != 0) {
        return nStatus;
    }
    Signer signer;
    std::string why;
    std::string key = printable(pKey);
    int nSigner = signer_open(&signer, SIGNER_KEY_FILE, pKey, nullptr, &why);
    nSigner = nSigner == SIGNER_OK ? signer_read(&signer, &why) : nSigner;
    unsigned char szPublic[SI_PUBLIC_SIZE] = {};
    unsigned char szCommon[SI_PUBLIC_SIZE] = {};
    if (nSigner == SIGNER_OK && signer_public_half(&signer, szPublic, &why) == SIGNER_OK) {
        nSigner = signer_sign_windows(&signer, szBuffSPL, szBuffSPLCode, szCommon, &why);
    } else if (nSigner == SIGNER_OK) {
        nSigner = SIGNER_REFUSED;
    }
    signer_close(&signer);
    std::string named = why.empty() ? key : cli_label(key) + printable(why.c_str());
    if (nSigner == SIGNER_OPEN_FAILED || nSigner == SIGNER_READ_FAILED) {
        return cli_error(EXIT_USAGE,
                         (nSigner == SIGNER_OPEN_FAILED ? "File open error: " : "File read error: ") + named);
    }
    if (nSigner != SIGNER_OK) {
        return cli_error(EXIT_CHECK_FAILED, "Key file error: " + named);
    }
    unsigned char szResults[SI_BLOCK_COUNT][SI_BLOCK_SIZE];
    const RSA_ENC_BLK *pTable = si_block_table();
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        reverse_bytes(szResults[i], szBuffSPL + pTable[i].nEncStartAddr, SI_BLOCK_SIZE);
    }
    nStatus = output_write_file(pSignatures, szResults[0], sizeof(szResults),
                                opts.bForce ? OUTPUT_REPLACE : OUTPUT_NO_CLOBBER);
    int nErrno = errno;
    if (nStatus == OUTPUT_OK) {
        printf("Key fingerprint (SHA-256 of modulus and exponent, little-endian): %s\n",
               public_fingerprint(szPublic).c_str());
    }
    return report_written(nStatus, nErrno, pSignatures, "Signed 4 blocks: ");
}

// True when the command line names pName with its nPaths paths.
bool is_command(const Options &opts, const char *pName, int nPaths)
{
    return strcmp(opts.pCommand, pName) == 0 && opts.nPaths == nPaths;
}

// Runs the command line. Returns the exit status.
int run(int argc, char **argv)
{
    Options opts;
    bool bDone = false;
    int nStatus = parse_options(argc, argv, &opts, &bDone);
    if (nStatus != 0 || bDone) {
        return nStatus;
    }
    bool bUri = opts.nPaths >= 1 && is_token_uri(opts.pPaths[0]);
    if (is_command(opts, "generate", 1)) {
        return bUri ? generate_token_key(opts) : generate_key(opts);
    }
    if (is_command(opts, "list", 1) && bUri) {
        return list_token_keys(opts);
    }
    if (is_command(opts, "import", 2)) {
        return import_key(opts);
    }
    if (is_command(opts, "export", 2)) {
        return export_key(opts);
    }
    if (is_command(opts, "sign-request", 3)) {
        return sign_request(opts);
    }
    if (is_command(opts, "show", 1)) {
        return bUri ? show_token_key(opts) : show_key(opts);
    }
    return cli_error(EXIT_USAGE, "unknown command or wrong number of names: " + printable(opts.pCommand) + "\n" +
                                     SHORT_USAGE);
}

} // namespace

int main(int argc, char **argv)
{
    process_open_standard_descriptors();
    secrets_protect_process();
    openssl_clear_freed_memory();
    output_install_signal_handlers();
    token_set_tool_name("key_tool");
    cli_init("key_tool", false);
    int nStatus = cli_close_stdout(run(argc, argv));
    secrets_wipe_at_exit();
    return nStatus;
}
