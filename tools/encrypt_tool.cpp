// encrypt_tool: signs the SPL window of an image and writes the public keys
// and the block table into the code window; the rest of the image follows.
#include "encrypt_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "file_copy.h"
#include "output_file.h"
#include "token_key.h"
#include "image_format.h"
#include "key_file.h"

namespace {

enum Arg { ARG_IN = 1, ARG_OUT, ARG_CODE, ARG_RSAKEY, ARG_RSAKEY_COMM, ARG_COUNT };
constexpr int STREAM_COUNT = ARG_COUNT - 1;

// True when out_file exists and is the same file (device and inode) as one of
// the four inputs, however it is spelled.
bool output_names_an_input(char **argv)
{
    for (int nArg : {ARG_IN, ARG_CODE, ARG_RSAKEY, ARG_RSAKEY_COMM}) {
        if (same_file(argv[ARG_OUT], argv[nArg])) {
            return true;
        }
    }
    return false;
}

// Closes every open input stream, in argument order.
void close_inputs(FILE **fpStreams)
{
    for (int i = 0; i < STREAM_COUNT; i++) {
        if (fpStreams[i] != nullptr) {
            fclose(fpStreams[i]); // read-only: nothing to lose
        }
        fpStreams[i] = nullptr;
    }
}

// An argument as messages show it: a file name as given, a token URI
// without its PIN.
std::string shown(const char *pArg)
{
    return is_token_uri(pArg) ? token_uri_printable(pArg) : std::string(pArg);
}

// Closes the keys opened in tokens (signing key, then common key).
void close_tokens(TokenKey **pTokens)
{
    for (int i = 0; i < 2; i++) {
        token_key_close(pTokens[i]);
        pTokens[i] = nullptr;
    }
}

// Opens the five files in argument order; out_file as a temporary file beside
// it, key files unbuffered, so that no copy of a private exponent stays in a
// stdio buffer; a key argument that is a pkcs11: URI opens the key in its
// token instead (pTokens[0] signing, pTokens[1] common). On the first failure
// prints its message (and for a token, why on standard error), closes what is
// open, removes the temporary file and returns false.
bool open_streams(char **argv, FILE **fpStreams, OutputFile *pOut, TokenKey **pTokens)
{
    for (int nArg = ARG_IN; nArg < ARG_COUNT; nArg++) {
        bool bOpened = false;
        std::string why;
        if (nArg == ARG_OUT) {
            bOpened = output_open(pOut, argv[nArg], OUTPUT_REPLACE) == OUTPUT_OK;
        } else if ((nArg == ARG_RSAKEY || nArg == ARG_RSAKEY_COMM) && is_token_uri(argv[nArg])) {
            TokenKey **ppKey = &pTokens[nArg == ARG_RSAKEY ? 0 : 1];
            bOpened = token_key_open(argv[nArg], nArg == ARG_RSAKEY ? TOKEN_SIGN : TOKEN_PUBLIC_HALF, ppKey, &why) ==
                      TOKEN_OK;
        } else {
            FILE *fp = fopen(argv[nArg], "rb");
            if (fp != nullptr && (nArg == ARG_RSAKEY || nArg == ARG_RSAKEY_COMM)) {
                setvbuf(fp, nullptr, _IONBF, 0);
            }
            fpStreams[nArg - 1] = fp;
            bOpened = fp != nullptr;
        }
        if (!bOpened) {
            printf(nArg == ARG_RSAKEY_COMM ? "File open error %s\n" : "File open error: %s\n", shown(argv[nArg]).c_str());
            if (!why.empty()) {
                fflush(stdout);
                fprintf(stderr, "encrypt_tool: %s\n", why.c_str());
            }
            close_inputs(fpStreams);
            close_tokens(pTokens);
            output_abort(pOut);
            return false;
        }
    }
    return true;
}

// Reads up to nSize bytes into the zeroed pBuffer in one read; a short file
// leaves the rest zero. Returns false only on a read error.
bool read_window(FILE *fp, unsigned char *pBuffer, size_t nSize)
{
    size_t nRead = fread(pBuffer, 1, nSize, fp);
    return nRead == nSize || !ferror(fp);
}

// Copies the rest of fp_in in 16 KiB pieces through szBuffSPL; the end-of-file
// test comes before each read.
CopyStatus copy_tail_stdio(FILE *fp_in, FILE *fp_out, unsigned char *szBuffSPL)
{
    while (!feof(fp_in)) {
        size_t nRead = fread(szBuffSPL, 1, SI_WINDOW_SIZE, fp_in);
        if (nRead < static_cast<size_t>(SI_WINDOW_SIZE) && ferror(fp_in)) {
            return COPY_READ_ERROR;
        }
        if (fwrite(szBuffSPL, 1, nRead, fp_out) != nRead) {
            return COPY_WRITE_ERROR;
        }
    }
    return COPY_OK;
}

// Writes both windows, skips the input's second window (the code window takes
// its place) and copies the tail, all through stdio: for an input that is not
// a regular file, or an output written in place.
CopyStatus write_image_stdio(FILE *fp_in, FILE *fp_out, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode)
{
    if (fp_out == nullptr || fwrite(szBuffSPL, 1, SI_WINDOW_SIZE, fp_out) != static_cast<size_t>(SI_WINDOW_SIZE) ||
        fwrite(szBuffSPLCode, 1, SI_WINDOW_SIZE, fp_out) != static_cast<size_t>(SI_WINDOW_SIZE)) {
        return COPY_WRITE_ERROR;
    }
    if (!read_window(fp_in, szBuffSPLCode, SI_WINDOW_SIZE)) {
        return COPY_READ_ERROR;
    }
    return copy_tail_stdio(fp_in, fp_out, szBuffSPL);
}

// Copies a regular input image into the empty temporary output: its data
// extents only, from offset 0 on both sides, so that holes stay holes as with
// cp; then the two windows over its start. Copying from offset 0 runs as fast
// as cp; starting at the tail was slower.
CopyStatus copy_image_regular(int fdIn, off_t nInSize, int fdOut, const unsigned char *szBuffSPL,
                              const unsigned char *szBuffSPLCode)
{
    CopyStatus nStatus = copy_extents(fdIn, 0, nInSize, fdOut);
    if (nStatus != COPY_OK) {
        return nStatus;
    }
    if (ftruncate(fdOut, std::max<off_t>(nInSize, SI_TAIL_OFFSET)) != 0 ||
        !write_all_at(fdOut, szBuffSPL, SI_WINDOW_SIZE, SI_SPL_WINDOW) ||
        !write_all_at(fdOut, szBuffSPLCode, SI_WINDOW_SIZE, SI_CODE_WINDOW)) {
        return COPY_WRITE_ERROR;
    }
    return COPY_OK;
}

// Writes the output image and puts it in place. Returns 0, or 1 after printing
// the error; out_file is then as it was before the run.
int write_image(char **argv, FILE *fp_in, OutputFile *pOut, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode)
{
    struct stat st;
    CopyStatus nStatus = COPY_OK;
    if (!pOut->bInPlace && fstat(fileno(fp_in), &st) == 0 && S_ISREG(st.st_mode)) {
        nStatus = copy_image_regular(fileno(fp_in), st.st_size, pOut->fd, szBuffSPL, szBuffSPLCode);
    } else {
        nStatus = write_image_stdio(fp_in, output_stream(pOut), szBuffSPL, szBuffSPLCode);
    }
    if (nStatus == COPY_OK && output_commit(pOut) != OUTPUT_OK) {
        nStatus = COPY_WRITE_ERROR;
    }
    if (nStatus == COPY_OK) {
        return 0;
    }
    output_abort(pOut);
    printf(nStatus == COPY_READ_ERROR ? "File read error: %s\n" : "File write error: %s\n",
           argv[nStatus == COPY_READ_ERROR ? ARG_IN : ARG_OUT]);
    return 1;
}

// Reads the four inputs into the zeroed buffers. Returns 0, or 1 after
// printing the error of the first read that failed.
int read_inputs(char **argv, FILE **fpStreams, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                unsigned char *rsaKey, unsigned char *rsaKey_comm)
{
    FILE *fp_in = fpStreams[ARG_IN - 1];
    FILE *fp_code = fpStreams[ARG_CODE - 1];
    FILE *fp_rsakey = fpStreams[ARG_RSAKEY - 1];
    FILE *fp_rsakey_comm = fpStreams[ARG_RSAKEY_COMM - 1];
    struct {
        FILE *fp;
        int nArg;
        unsigned char *pBuffer;
        size_t nSize;
    } reads[] = {
        {fp_in, ARG_IN, szBuffSPL, SI_WINDOW_SIZE},
        {fp_code, ARG_CODE, szBuffSPLCode, SI_WINDOW_SIZE},
        {fp_rsakey, ARG_RSAKEY, rsaKey, KEY_FILE_SIZE},
        {fp_rsakey_comm, ARG_RSAKEY_COMM, rsaKey_comm, KEY_FILE_SIZE},
    };
    for (const auto &read : reads) {
        // A key in a token has nothing to read here.
        if (read.fp != nullptr && !read_window(read.fp, read.pBuffer, read.nSize)) {
            printf("File read error: %s\n", argv[read.nArg]);
            return 1;
        }
    }
    return 0;
}

// The in-memory signing step on the buffers read from the files: the signing
// key's blob, the common key's public half. Wipes both key files' private
// exponents from rsaKey and rsaKey_comm before anything else. Returns SI_OK or
// the library's refusal (the windows are then not to be written).
int sign_with_key_files(unsigned char *szBuffSPL, unsigned char *szBuffSPLCode, unsigned char *rsaKey,
                        const unsigned char *pCommPublic, unsigned char *szKey)
{
    build_key_blob(szKey, rsaKey);
    explicit_bzero(rsaKey, KEY_FILE_SIZE);
    return si_sign_windows(szBuffSPL, szBuffSPLCode, szKey, pCommPublic);
}

// The same step with the signing key in a token: each block is signed there,
// and kept only when the key's public half restores it.
int sign_with_token(unsigned char *szBuffSPL, unsigned char *szBuffSPLCode, TokenKey *pToken,
                    const unsigned char *pCommPublic, std::string *pWhy)
{
    unsigned char szSignPublic[SI_PUBLIC_SIZE];
    if (token_key_public(pToken, szSignPublic, pWhy) != TOKEN_OK) {
        return SI_KEY_REFUSED;
    }
    if (!si_public_key_usable(szSignPublic)) {
        *pWhy = "the key's modulus must be odd and its public exponent odd and at least 3";
        return SI_KEY_REFUSED;
    }
    const RSA_ENC_BLK *pTable = si_block_table();
    unsigned char szSigned[SI_BLOCK_SIZE];
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        if (token_key_sign_block(pToken, szBuffSPL + pTable[i].nEncStartAddr, szSigned, pWhy) != TOKEN_OK) {
            return SI_KEY_REFUSED;
        }
        if (si_place_block(szBuffSPL, i, szSigned, szSignPublic) != SI_OK) {
            *pWhy = "the token's signature of block " + std::to_string(i) + " does not restore with its public key";
            return SI_BLOCK_REFUSED;
        }
    }
    si_fill_code_window(szBuffSPLCode, szSignPublic, pCommPublic);
    return SI_OK;
}

// Signs the windows with the signing key file or token, storing the common
// key's public half (from its key file or token). Returns 0, or 1 after the
// key error line (and for a token, why on standard error).
int sign_inputs(char **argv, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode, unsigned char *rsaKey,
                unsigned char *rsaKey_comm, unsigned char *szKey, TokenKey **pTokens)
{
    // The common key's third record is read only because the file format holds it.
    explicit_bzero(rsaKey_comm + 2 * KEY_RECORD_SIZE, KEY_RECORD_SIZE);
    unsigned char szCommPublic[SI_PUBLIC_SIZE] = {};
    std::string why;
    int nArg = ARG_RSAKEY_COMM;
    int nStatus = SI_OK;
    if (pTokens[1] != nullptr) {
        nStatus = token_key_public(pTokens[1], szCommPublic, &why) == TOKEN_OK ? SI_OK : SI_KEY_REFUSED;
    } else {
        memcpy(szCommPublic + RSA_BLOB_N, rsaKey_comm, RSA_FIELD_SIZE);
        memcpy(szCommPublic + RSA_BLOB_E, rsaKey_comm + KEY_RECORD_SIZE, RSA_FIELD_SIZE);
    }
    if (nStatus == SI_OK) {
        nArg = ARG_RSAKEY;
        nStatus = pTokens[0] != nullptr ? sign_with_token(szBuffSPL, szBuffSPLCode, pTokens[0], szCommPublic, &why)
                                        : sign_with_key_files(szBuffSPL, szBuffSPLCode, rsaKey, szCommPublic, szKey);
    }
    if (nStatus == SI_OK) {
        return 0;
    }
    printf("Key file error: %s\n", shown(argv[nArg]).c_str());
    if (!why.empty()) {
        fflush(stdout);
        fprintf(stderr, "encrypt_tool: %s\n", why.c_str());
    }
    return 1;
}

} // namespace

int encrypt_tool_run(int argc, char **argv)
{
    if (argc < ARG_COUNT) {
        printf("Usage: encrypt_tool in_file out_file code_file rsakey_file rsakey_file_comm\n");
        return 1;
    }
    if (output_names_an_input(argv)) {
        printf("Output file is an input file: %s\n", argv[ARG_OUT]);
        return 1;
    }
    FILE *fpStreams[STREAM_COUNT] = {};
    TokenKey *pTokens[2] = {};
    OutputFile out;
    if (!open_streams(argv, fpStreams, &out, pTokens)) {
        return 1;
    }
    unsigned char szBuffSPL[SI_WINDOW_SIZE] = {};
    unsigned char szBuffSPLCode[SI_WINDOW_SIZE] = {};
    unsigned char rsaKey[KEY_FILE_SIZE] = {};
    unsigned char rsaKey_comm[KEY_FILE_SIZE] = {};
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {};

    int nStatus = read_inputs(argv, fpStreams, szBuffSPL, szBuffSPLCode, rsaKey, rsaKey_comm);
    if (nStatus == 0) {
        nStatus = sign_inputs(argv, szBuffSPL, szBuffSPLCode, rsaKey, rsaKey_comm, szKey, pTokens);
    }
    close_tokens(pTokens);
    explicit_bzero(rsaKey, sizeof(rsaKey));
    explicit_bzero(rsaKey_comm, sizeof(rsaKey_comm));
    explicit_bzero(szKey, sizeof(szKey));
    if (nStatus == 0) {
        nStatus = write_image(argv, fpStreams[ARG_IN - 1], &out, szBuffSPL, szBuffSPLCode);
    } else {
        output_abort(&out);
    }
    close_inputs(fpStreams);
    return nStatus;
}
