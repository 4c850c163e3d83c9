// key_tool: makes, imports, exports and inspects the signing tool's key files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include "byte_order.h"
#include "key_io.h"
#include "output_file.h"

namespace {

constexpr int MIN_BITS = 8 * RSA_FIELD_SIZE - 7;   // the top byte must not be zero
constexpr int MAX_BITS = 8 * RSA_FIELD_SIZE;
constexpr unsigned long PUBLIC_EXPONENT = 65537;

const char *const USAGE =
    "Usage: key_tool generate [--bits N] [--force] OUT.key | import [--force] KEY.pem OUT.key | "
    "export [--force] KEY.key OUT.pem | show KEY.key | --help | --version\n";

const char *const HELP =
    "key_tool: make and inspect key files for encrypt_tool.\n"
    "\n"
    "  generate [--bits N] [--force] OUT.key  fresh RSA key, N from 1017 to 1024 (default 1024), e = 65537\n"
    "  import [--force] KEY.pem OUT.key       from a PEM RSA private key of 1017 to 1024 bits\n"
    "  export [--force] KEY.key OUT.pem       the public half as a PEM public key\n"
    "  show KEY.key                           sizes, pair check and fingerprint of a key file\n"
    "\n"
    "Key files are written with mode 0600 and never overwritten without --force.\n"
    "Exit status: 0 success (show: a key encrypt_tool accepts), 1 a key refused,\n"
    "2 a usage or file error.\n";

// The parsed command line: a command, its flags and up to two paths.
struct Options {
    const char *pCommand;
    const char *pPaths[2];
    int nPaths;
    int nBits;
    bool bForce;
};

// Parses argv into *pOpts. Returns false on anything it does not know.
bool parse_options(int argc, char **argv, Options *pOpts)
{
    *pOpts = Options{argv[1], {nullptr, nullptr}, 0, MAX_BITS, false};
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--force") == 0) {
            pOpts->bForce = true;
        } else if (strcmp(argv[i], "--bits") == 0 && i + 1 < argc) {
            char *pEnd = nullptr;
            long nBits = strtol(argv[++i], &pEnd, 10);
            if (*pEnd != '\0' || nBits < MIN_BITS || nBits > MAX_BITS) {
                return false;
            }
            pOpts->nBits = static_cast<int>(nBits);
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return false;
        } else if (pOpts->nPaths < 2) {
            pOpts->pPaths[pOpts->nPaths++] = argv[i];
        } else {
            return false;
        }
    }
    return true;
}

// Copies n, e and d of an OpenSSL RSA key into the blob. Returns false when a
// value is missing or longer than 128 bytes.
bool blob_from_pkey(EVP_PKEY *pkey, unsigned char *szKey)
{
    const char *names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D};
    bool bOk = true;
    for (int i = 0; i < KEY_RECORD_COUNT; i++) {
        BIGNUM *bn = nullptr;
        bOk = EVP_PKEY_get_bn_param(pkey, names[i], &bn) == 1 &&
              BN_bn2lebinpad(bn, szKey + i * RSA_FIELD_SIZE, RSA_FIELD_SIZE) == RSA_FIELD_SIZE && bOk;
        BN_clear_free(bn);
    }
    return bOk;
}

// Writes the blob as a key file. Returns the exit status, after its message.
int write_key_file(const char *pPath, const unsigned char *szKey, bool bForce)
{
    unsigned char rsaKey[KEY_FILE_SIZE];
    key_records_from_blob(rsaKey, szKey);
    int nStatus = output_write_file(pPath, rsaKey, sizeof(rsaKey), OUTPUT_SECRET | (bForce ? 0 : OUTPUT_NO_CLOBBER));
    explicit_bzero(rsaKey, sizeof(rsaKey));
    if (nStatus == OUTPUT_EXISTS) {
        printf("File exists (use --force to replace it): %s\n", pPath);
        return EXIT_USAGE;
    }
    if (nStatus != 0) {
        printf("File write error: %s\n", pPath);
        return EXIT_USAGE;
    }
    printf("Key file written: %s\n", pPath);
    return 0;
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
    int nStatus = EXIT_USAGE;
    if (!bMade) {
        printf("Key generation failed: %s\n", opts.pPaths[0]);
    } else {
        nStatus = write_key_file(opts.pPaths[0], szKey, opts.bForce);
    }
    explicit_bzero(szKey, sizeof(szKey));
    return nStatus;
}

// import: a PEM RSA private key of 1017 to 1024 bits. Returns the exit status.
int import_key(const Options &opts)
{
    FILE *fp = fopen(opts.pPaths[0], "r");
    if (fp == nullptr) {
        printf("File open error: %s\n", opts.pPaths[0]);
        return EXIT_USAGE;
    }
    // A null callback asks for the passphrase of an encrypted key at the terminal.
    EVP_PKEY *pkey = PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr);
    bool bClosed = fclose(fp) == 0;
    if (pkey == nullptr || !bClosed || !EVP_PKEY_is_a(pkey, "RSA")) {
        printf("Not a PEM RSA private key: %s\n", opts.pPaths[0]);
        EVP_PKEY_free(pkey);
        return EXIT_USAGE;
    }
    int nBits = EVP_PKEY_get_bits(pkey);
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {};
    int nStatus = EXIT_CHECK_FAILED;
    if (nBits < MIN_BITS || nBits > MAX_BITS) {
        printf("Key size of %d bits not supported (1017 to 1024): %s\n", nBits, opts.pPaths[0]);
    } else if (!blob_from_pkey(pkey, szKey)) {
        printf("Not a PEM RSA private key: %s\n", opts.pPaths[0]);
        nStatus = EXIT_USAGE;
    } else {
        nStatus = write_key_file(opts.pPaths[1], szKey, opts.bForce);
    }
    explicit_bzero(szKey, sizeof(szKey));
    EVP_PKEY_free(pkey);
    return nStatus;
}

// An OpenSSL public key from the blob's modulus and exponent, or null.
EVP_PKEY *public_pkey(const unsigned char *szKey)
{
    BIGNUM *n = BN_lebin2bn(szKey + RSA_BLOB_N, RSA_FIELD_SIZE, nullptr);
    BIGNUM *e = BN_lebin2bn(szKey + RSA_BLOB_E, RSA_FIELD_SIZE, nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    if (n != nullptr && e != nullptr && bld != nullptr && !BN_is_zero(n) && !BN_is_zero(e) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
        EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return pkey;
}

// export: the public half as a PEM public key. Returns the exit status.
int export_key(const Options &opts)
{
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nFileSize = 0;
    int nRead = read_key_file(opts.pPaths[0], szKey, &nFileSize);
    explicit_bzero(szKey + RSA_BLOB_D, RSA_FIELD_SIZE);
    if (nRead != 0) {
        printf("File read error: %s\n", opts.pPaths[0]);
        return EXIT_USAGE;
    }
    if (same_file(opts.pPaths[0], opts.pPaths[1])) {
        printf("Output file is an input file: %s\n", opts.pPaths[1]);
        return EXIT_USAGE;
    }
    EVP_PKEY *pkey = public_pkey(szKey);
    BIO *bio = BIO_new(BIO_s_mem());
    char *pPem = nullptr;
    long nPem = 0;
    if (pkey == nullptr || bio == nullptr || PEM_write_bio_PUBKEY(bio, pkey) != 1 ||
        (nPem = BIO_get_mem_data(bio, &pPem)) <= 0) {
        printf("Key file holds no RSA public key: %s\n", opts.pPaths[0]);
        EVP_PKEY_free(pkey);
        BIO_free(bio);
        return EXIT_CHECK_FAILED;
    }
    int nStatus = output_write_file(opts.pPaths[1], reinterpret_cast<unsigned char *>(pPem),
                                    static_cast<size_t>(nPem), opts.bForce ? OUTPUT_REPLACE : OUTPUT_NO_CLOBBER);
    EVP_PKEY_free(pkey);
    BIO_free(bio);
    if (nStatus == OUTPUT_EXISTS) {
        printf("File exists (use --force to replace it): %s\n", opts.pPaths[1]);
    } else if (nStatus != 0) {
        printf("File write error: %s\n", opts.pPaths[1]);
    } else {
        printf("Public key written: %s\n", opts.pPaths[1]);
    }
    return nStatus == 0 ? 0 : EXIT_USAGE;
}

// True when the value at p (128 bytes) would be an odd full-length modulus,
// or a small exponent, with its bytes in the other order.
bool looks_reversed(const unsigned char *p, bool bModulus)
{
    unsigned char szReversed[RSA_FIELD_SIZE];
    for (int i = 0; i < RSA_FIELD_SIZE; i++) {
        szReversed[i] = p[RSA_FIELD_SIZE - 1 - i];
    }
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

// show: prints what the key file holds. Returns 0 for a key encrypt_tool
// accepts, 1 for one it refuses, 2 when the file cannot be read.
int show_key(const Options &opts)
{
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nFileSize = 0;
    if (read_key_file(opts.pPaths[0], szKey, &nFileSize) != 0) {
        printf("File read error: %s\n", opts.pPaths[0]);
        explicit_bzero(szKey, sizeof(szKey));
        return EXIT_USAGE;
    }
    char szFingerprint[FINGERPRINT_HEX_SIZE];
    public_fingerprint(szKey, szFingerprint);
    int nPrivateBits = le_bit_length(szKey + RSA_BLOB_D, RSA_FIELD_SIZE);
    bool bUsable = si_signing_key_usable(szKey) != 0;
    printf("Key file: %s (%zu bytes%s)\n", opts.pPaths[0], nFileSize,
           nFileSize == static_cast<size_t>(KEY_FILE_SIZE) ? "" : ", expected 1656");
    printf("Modulus: %d bits%s\n", le_bit_length(szKey + RSA_BLOB_N, RSA_FIELD_SIZE),
           (szKey[RSA_BLOB_N] & 1) != 0 ? "" : ", even");
    print_exponent(szKey + RSA_BLOB_E);
    if (nPrivateBits > 0) {
        printf("Private exponent: present, %d bits\n", nPrivateBits);
        printf("Key pair: %s\n", pair_matches(szKey) ? "matches" : "does not match");
    } else {
        printf("Private exponent: absent\n");
    }
    printf("Fingerprint (SHA-256 of modulus and exponent, little-endian): %s\n", szFingerprint);
    if (looks_reversed(szKey + RSA_BLOB_N, true)) {
        printf("Hint: the modulus looks byte-reversed (big-endian where little-endian is expected)\n");
    }
    if (looks_reversed(szKey + RSA_BLOB_E, false)) {
        printf("Hint: the public exponent looks byte-reversed (big-endian where little-endian is expected)\n");
    }
    printf("encrypt_tool: %s\n", bUsable ? "accepts this key" : "refuses this key");
    explicit_bzero(szKey, sizeof(szKey));
    return bUsable ? 0 : EXIT_CHECK_FAILED;
}

// True when the command line names pName with its nPaths paths.
bool is_command(const Options &opts, const char *pName, int nPaths)
{
    return strcmp(opts.pCommand, pName) == 0 && opts.nPaths == nPaths;
}

} // namespace

int main(int argc, char **argv)
{
    output_install_signal_handlers();
    if (print_help_or_version(argc, argv, "key_tool", HELP)) {
        return 0;
    }
    Options opts;
    if (argc < 2 || !parse_options(argc, argv, &opts)) {
        printf("%s", USAGE);
        return EXIT_USAGE;
    }
    if (is_command(opts, "generate", 1)) {
        return generate_key(opts);
    }
    if (is_command(opts, "import", 2)) {
        return import_key(opts);
    }
    if (is_command(opts, "export", 2)) {
        return export_key(opts);
    }
    if (is_command(opts, "show", 1)) {
        return show_key(opts);
    }
    printf("%s", USAGE);
    return EXIT_USAGE;
}
