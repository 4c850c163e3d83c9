// SPDX-License-Identifier: Apache-2.0
// encrypt_tool: signs the SPL window of an image and writes the public keys
// and the block table into the code window; the rest of the image follows.
#include "encrypt_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <initializer_list>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "file_copy.h"
#include "output_file.h"
#include "image_format.h"
#include "key_file.h"
#include "signer.h"
#include "token_key.h"

namespace {

enum Arg { ARG_IN = 1, ARG_OUT, ARG_CODE, ARG_RSAKEY, ARG_RSAKEY_COMM, ARG_COUNT };
constexpr int STREAM_COUNT = ARG_COUNT - 1;

const char *const USAGE = "Usage: encrypt_tool in_file out_file code_file rsakey_file rsakey_file_comm\n";
const char *const OPTIONS_USAGE =
    "Usage: encrypt_tool [--signing-helper PROGRAM | --request FILE | --signatures FILE] [--] in_file out_file "
    "code_file rsakey_file rsakey_file_comm\n";
const char *const HELP =
    "Signs the SPL window of in_file with the private key of rsakey_file and writes out_file.\n"
    "\n"
    "  --signing-helper PROGRAM  PROGRAM signs each block (run as: PROGRAM rsa-raw rsakey_file, a\n"
    "                            128-byte big-endian raw RSA input on its standard input, the result\n"
    "                            on its standard output)\n"
    "  --request FILE            signs nothing and leaves out_file alone: writes the four raw RSA\n"
    "                            inputs to FILE\n"
    "  --signatures FILE         the four results for those inputs, made elsewhere\n"
    "  -V, --version, -h, --help\n"
    "\n"
    "With one of the three, rsakey_file is the public half: a PEM public key, a key file (its\n"
    "private exponent is not read) or a pkcs11: URI. See encrypt_tool(1).\n";

// How this run signs: where the key is, and the request file.
struct RunOptions {
    SignerKind kind = SIGNER_KEY_FILE;
    const char *pWith = nullptr;    // the helper program or the signatures file
    const char *pRequest = nullptr; // --request: the file to write
    bool bDone = false;             // --help or --version answered
};

// An argument as messages show it: a file name as given, a token URI
// without its PIN (token_uri_printable).
std::string shown(const char *pArg)
{
    return token_uri_printable(pArg);
}

// Prints a warning of a likely mistake on standard error; the run goes on as
// it would without it.
void warn(const std::string &what)
{
    fprintf(stderr, "encrypt_tool: warning: %s\n", what.c_str());
}

// The system's reason for nErrno, or pInstead where there is none (0).
std::string reason(int nErrno, const char *pInstead = "")
{
    return nErrno != 0 ? strerror(nErrno) : pInstead;
}

// Prints an option error on standard error and the usage line. Returns 1.
int option_error(const std::string &message)
{
    fprintf(stderr, "encrypt_tool: %s\n", message.c_str());
    printf("%s", OPTIONS_USAGE);
    return 1;
}

// Parses the options before the five arguments (getopt_long; the first name
// that is not an option, or "--", ends them). *pnFirst gets the index of
// in_file. Returns 0, or the exit status after printing what was wrong.
int parse_options(int argc, char **argv, RunOptions *pOpts, int *pnFirst)
{
    static const option longOptions[] = {
        {"signing-helper", required_argument, nullptr, 'H'}, {"request", required_argument, nullptr, 'R'},
        {"signatures", required_argument, nullptr, 'S'},     {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},              {nullptr, 0, nullptr, 0},
    };
    optind = 0; // also resets getopt between in-process runs
    opterr = 0;
    int nModes = 0;
    int nOption = 0;
    while ((nOption = getopt_long(argc, argv, "+hV", longOptions, nullptr)) != -1) {
        switch (nOption) {
        case 'H': pOpts->kind = SIGNER_HELPER; pOpts->pWith = optarg; nModes++; break;
        case 'S': pOpts->kind = SIGNER_SIGNATURES; pOpts->pWith = optarg; nModes++; break;
        case 'R': pOpts->kind = SIGNER_REQUEST; pOpts->pRequest = optarg; nModes++; break;
        case 'h': printf("%s\n%s", OPTIONS_USAGE, HELP); pOpts->bDone = true; return 0;
        case 'V': printf("encrypt_tool %s\n", TOOLS_VERSION); pOpts->bDone = true; return 0;
        default: return option_error("unknown option or missing value: " + shown(argv[optind - 1]));
        }
    }
    if (nModes > 1) {
        return option_error("--signing-helper, --request and --signatures are three ways to sign: give one");
    }
    *pnFirst = optind;
    return 0;
}

// True when pWritten (out_file, or the request file) exists and is the same
// file (device and inode) as one of the four inputs, however it is spelled.
bool output_names_an_input(char **argv, const char *pWritten)
{
    for (int nArg : {ARG_IN, ARG_CODE, ARG_RSAKEY, ARG_RSAKEY_COMM}) {
        if (same_file(pWritten, argv[nArg])) {
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

// Prints why a key was refused or could not be reached, where there is a
// reason to give, as a second line on standard error.
void print_why(const std::string &why)
{
    if (!why.empty()) {
        fflush(stdout);
        fprintf(stderr, "encrypt_tool: %s\n", why.c_str());
    }
}

// Opens the five files in argument order; out_file as a temporary file beside
// it (not for a request, which leaves it alone), the signing key where it
// lives, the common key file unbuffered, so that no copy of a private
// exponent stays in a stdio buffer; a common key that is a pkcs11: URI opens
// the key in its token instead. On the first failure prints its message and
// why on standard error (the system's reason, or the token's), closes what is
// open, removes the temporary file and returns false.
bool open_streams(char **argv, const RunOptions &opts, FILE **fpStreams, OutputFile *pOut, Signer *pSigner,
                  TokenKey **ppComm)
{
    for (int nArg = ARG_IN; nArg < ARG_COUNT; nArg++) {
        bool bOpened = false;
        std::string why;
        if (nArg == ARG_OUT) {
            bOpened = opts.kind == SIGNER_REQUEST || output_open(pOut, argv[nArg], OUTPUT_REPLACE) == OUTPUT_OK;
            why = bOpened ? "" : reason(errno);
        } else if (nArg == ARG_RSAKEY) {
            bOpened = signer_open(pSigner, opts.kind, argv[nArg], opts.pWith, &why) == SIGNER_OK;
        } else if (nArg == ARG_RSAKEY_COMM && is_token_uri(argv[nArg])) {
            bOpened = token_key_open(argv[nArg], TOKEN_PUBLIC_HALF, ppComm, &why) == TOKEN_OK;
        } else {
            FILE *fp = fopen(argv[nArg], "rbe");
            why = fp == nullptr ? reason(errno) : "";
            if (fp != nullptr && nArg == ARG_RSAKEY_COMM) {
                setvbuf(fp, nullptr, _IONBF, 0);
            }
            fpStreams[nArg - 1] = fp;
            bOpened = fp != nullptr;
        }
        if (!bOpened) {
            printf(nArg == ARG_RSAKEY_COMM ? "File open error %s\n" : "File open error: %s\n",
                   shown(argv[nArg]).c_str());
            print_why(why);
            close_inputs(fpStreams);
            signer_close(pSigner);
            token_key_close(*ppComm);
            *ppComm = nullptr;
            output_abort(pOut);
            return false;
        }
    }
    return true;
}

// Reads up to nSize bytes into the zeroed pBuffer in one read; a short file
// leaves the rest zero. *pnRead, unless null, gets the count. Returns false
// only on a read error (errno the read's).
bool read_window(FILE *fp, unsigned char *pBuffer, size_t nSize, size_t *pnRead = nullptr)
{
    size_t nRead = fread(pBuffer, 1, nSize, fp);
    if (pnRead != nullptr) {
        *pnRead = nRead;
    }
    return nRead == nSize || !ferror(fp);
}

// Warns when the code window of in_file (pInputCode, a window whose block
// table record is read) holds a valid block table: in_file is signed already.
void warn_if_signed(const unsigned char *pInputCode, const char *pIn)
{
    RSA_ENC_BLK blocks[SI_BLOCK_COUNT];
    int nEntry = -1;
    if (si_read_block_table(pInputCode, blocks, &nEntry) == SI_OK) {
        warn("in_file already holds a valid block table in its code window: it is a signed image (in_file and "
             "out_file swapped?): " + shown(pIn));
    }
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
// its place; where pWarnIn names a stream input, it is checked for a block
// table) and copies the tail, all through stdio: for an input that is not a
// regular file, or an output written in place.
CopyStatus write_image_stdio(FILE *fp_in, FILE *fp_out, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                             const char *pWarnIn)
{
    if (fp_out == nullptr || fwrite(szBuffSPL, 1, SI_WINDOW_SIZE, fp_out) != static_cast<size_t>(SI_WINDOW_SIZE) ||
        fwrite(szBuffSPLCode, 1, SI_WINDOW_SIZE, fp_out) != static_cast<size_t>(SI_WINDOW_SIZE)) {
        return COPY_WRITE_ERROR;
    }
    memset(szBuffSPLCode, 0, SI_WINDOW_SIZE);
    if (!read_window(fp_in, szBuffSPLCode, SI_WINDOW_SIZE)) {
        return COPY_READ_ERROR;
    }
    if (pWarnIn != nullptr) {
        warn_if_signed(szBuffSPLCode, pWarnIn);
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
// the error and why on standard error; out_file is then as it was before the
// run.
int write_image(char **argv, FILE *fp_in, OutputFile *pOut, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode)
{
    struct stat st;
    bool bRegular = fstat(fileno(fp_in), &st) == 0 && S_ISREG(st.st_mode);
    CopyStatus nStatus = COPY_OK;
    if (!pOut->bInPlace && bRegular) {
        nStatus = copy_image_regular(fileno(fp_in), st.st_size, pOut->fd, szBuffSPL, szBuffSPLCode);
    } else {
        // A regular in_file was checked for a block table when it was read.
        nStatus = write_image_stdio(fp_in, output_stream(pOut), szBuffSPL, szBuffSPLCode,
                                    bRegular ? nullptr : argv[ARG_IN]);
    }
    int nErrno = errno; // the failing call's
    if (nStatus == COPY_OK && output_commit(pOut) != OUTPUT_OK) {
        nErrno = errno;
        nStatus = COPY_WRITE_ERROR;
    }
    if (nStatus == COPY_OK) {
        return 0;
    }
    output_abort(pOut);
    bool bRead = nStatus == COPY_READ_ERROR;
    printf(bRead ? "File read error: %s\n" : "File write error: %s\n", shown(argv[bRead ? ARG_IN : ARG_OUT]).c_str());
    print_why(reason(nErrno, bRead ? "the file shrank while it was copied" : ""));
    return 1;
}

// Reads the four inputs into the zeroed buffers (the signing key into the
// signer); pnRead[ARG] gets the bytes read of each file read here. Returns 0,
// or 1 after printing the error of the first read that failed, and why on
// standard error.
int read_inputs(char **argv, FILE **fpStreams, Signer *pSigner, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                unsigned char *rsaKey_comm, size_t *pnRead)
{
    struct {
        FILE *fp;
        int nArg;
        unsigned char *pBuffer;
        size_t nSize;
    } reads[] = {
        {fpStreams[ARG_IN - 1], ARG_IN, szBuffSPL, SI_WINDOW_SIZE},
        {fpStreams[ARG_CODE - 1], ARG_CODE, szBuffSPLCode, SI_WINDOW_SIZE},
        {nullptr, ARG_RSAKEY, nullptr, 0},
        {fpStreams[ARG_RSAKEY_COMM - 1], ARG_RSAKEY_COMM, rsaKey_comm, KEY_FILE_SIZE},
    };
    for (const auto &read : reads) {
        std::string why;
        int nStatus = SIGNER_OK;
        if (read.nArg == ARG_RSAKEY) {
            nStatus = signer_read(pSigner, &why);
        } else if (read.fp != nullptr && !read_window(read.fp, read.pBuffer, read.nSize, &pnRead[read.nArg])) {
            why = reason(errno);
            nStatus = SIGNER_READ_FAILED; // a common key in a token has nothing to read here
        }
        if (nStatus != SIGNER_OK) {
            printf(nStatus == SIGNER_READ_FAILED ? "File read error: %s\n" : "Key file error: %s\n",
                   shown(argv[read.nArg]).c_str());
            print_why(why);
            return 1;
        }
    }
    return 0;
}

// Warns of inputs that are likely mistakes, each rule checked here once:
// in_file shorter than the SPL window (it reads as zero-filled) or a regular
// in_file that already holds a block table (a stream's is checked as it is
// read), a common key file that is PEM text or not 1656 bytes long (nRead:
// the bytes read of each file).
void warn_of_inputs(char **argv, FILE **fpStreams, const unsigned char *rsaKey_comm, const size_t *pnRead)
{
    if (pnRead[ARG_IN] < static_cast<size_t>(SI_WINDOW_SIZE)) {
        warn("in_file is " + std::to_string(pnRead[ARG_IN]) + " bytes, shorter than the SPL window (" +
             std::to_string(SI_WINDOW_SIZE) + " bytes): the rest reads as zeros: " + shown(argv[ARG_IN]));
    }
    struct stat st;
    int fdIn = fileno(fpStreams[ARG_IN - 1]);
    unsigned char szInputCode[SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE] = {};
    if (fstat(fdIn, &st) == 0 && S_ISREG(st.st_mode) &&
        pread(fdIn, szInputCode + SI_CODE_BLOCK_TABLE, SI_BLOCK_TABLE_SIZE, SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE) ==
            SI_BLOCK_TABLE_SIZE) {
        warn_if_signed(szInputCode, argv[ARG_IN]);
    }
    FILE *fpComm = fpStreams[ARG_RSAKEY_COMM - 1];
    if (fpComm == nullptr) {
        return; // a key in a token
    }
    bool bLonger = fstat(fileno(fpComm), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > KEY_FILE_SIZE;
    std::string problem = key_file_problem(rsaKey_comm, pnRead[ARG_RSAKEY_COMM], bLonger);
    if (!problem.empty()) {
        warn("common key file is " + problem + ": " + shown(argv[ARG_RSAKEY_COMM]));
    }
}

// Writes the request file of a two-step run: the raw RSA input of each block,
// one after the other, once the signing key's public half passes. Returns 0,
// or 1 after the error.
int write_request(char **argv, const RunOptions &opts, Signer *pSigner, const unsigned char *szBuffSPL)
{
    unsigned char szPublic[SI_PUBLIC_SIZE];
    std::string why;
    if (signer_public_half(pSigner, szPublic, &why) != SIGNER_OK) {
        printf("Key file error: %s\n", shown(argv[ARG_RSAKEY]).c_str());
        print_why(why);
        return 1;
    }
    unsigned char szRequest[SI_BLOCK_COUNT][SI_BLOCK_SIZE];
    const RSA_ENC_BLK *pTable = si_block_table();
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        raw_rsa_input(szBuffSPL + pTable[i].nEncStartAddr, szRequest[i]);
    }
    if (output_write_file(opts.pRequest, szRequest[0], sizeof(szRequest), OUTPUT_REPLACE) != OUTPUT_OK) {
        int nErrno = errno;
        printf("File write error: %s\n", shown(opts.pRequest).c_str());
        print_why(reason(nErrno));
        return 1;
    }
    return 0;
}

// Signs the windows where the signing key lives, storing the common key's
// public half (from its key file or token). Returns 0, or 1 after the key
// error line (and, where there is one, why on standard error).
int sign_inputs(char **argv, Signer *pSigner, TokenKey *pComm, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode,
                unsigned char *rsaKey_comm)
{
    // The common key's third record is read only because the file format holds it.
    explicit_bzero(rsaKey_comm + 2 * KEY_RECORD_SIZE, KEY_RECORD_SIZE);
    unsigned char szCommPublic[SI_PUBLIC_SIZE] = {};
    std::string why;
    int nArg = ARG_RSAKEY_COMM;
    int nStatus = SIGNER_OK;
    if (pComm != nullptr) {
        nStatus = token_key_public(pComm, szCommPublic, &why) == TOKEN_OK ? SIGNER_OK : SIGNER_REFUSED;
    } else {
        public_half_from_records(szCommPublic, rsaKey_comm);
    }
    if (nStatus == SIGNER_OK) {
        nArg = ARG_RSAKEY;
        nStatus = signer_sign_windows(pSigner, szBuffSPL, szBuffSPLCode, szCommPublic, &why);
    }
    if (nStatus == SIGNER_OK) {
        return 0;
    }
    printf("Key file error: %s\n", shown(argv[nArg]).c_str());
    print_why(why);
    return 1;
}

} // namespace

int encrypt_tool_run(int argc, char **argv)
{
    RunOptions opts;
    int nFirst = 1;
    int nStatus = parse_options(argc, argv, &opts, &nFirst);
    if (nStatus != 0 || opts.bDone) {
        return nStatus;
    }
    if (argc - nFirst < STREAM_COUNT) {
        printf("%s", USAGE);
        return 1;
    }
    // The five arguments at args[1..5], as if no option came before them.
    char **args = argv + nFirst - 1;
    for (int i = nFirst + STREAM_COUNT; i < argc; i++) {
        if (strncmp(argv[i], "--", 2) == 0) {
            warn("argument after the five ignored: " + shown(argv[i]));
        }
    }
    const char *pWritten = opts.kind == SIGNER_REQUEST ? opts.pRequest : args[ARG_OUT];
    if (output_names_an_input(args, pWritten)) {
        printf("Output file is an input file: %s\n", shown(pWritten).c_str());
        return 1;
    }
    if (opts.kind == SIGNER_REQUEST && same_file_or_name(pWritten, args[ARG_OUT])) {
        printf("Request file is out_file: %s\n", shown(pWritten).c_str());
        return 1;
    }
    FILE *fpStreams[STREAM_COUNT] = {};
    Signer signer;
    TokenKey *pComm = nullptr;
    OutputFile out;
    if (!open_streams(args, opts, fpStreams, &out, &signer, &pComm)) {
        return 1;
    }
    unsigned char szBuffSPL[SI_WINDOW_SIZE] = {};
    unsigned char szBuffSPLCode[SI_WINDOW_SIZE] = {};
    unsigned char rsaKey_comm[KEY_FILE_SIZE] = {};

    size_t nRead[ARG_COUNT] = {};
    nStatus = read_inputs(args, fpStreams, &signer, szBuffSPL, szBuffSPLCode, rsaKey_comm, nRead);
    if (nStatus == 0) {
        warn_of_inputs(args, fpStreams, rsaKey_comm, nRead);
    }
    if (nStatus == 0 && opts.kind == SIGNER_REQUEST) {
        nStatus = write_request(args, opts, &signer, szBuffSPL);
    } else if (nStatus == 0) {
        nStatus = sign_inputs(args, &signer, pComm, szBuffSPL, szBuffSPLCode, rsaKey_comm);
    }
    signer_close(&signer);
    token_key_close(pComm);
    explicit_bzero(rsaKey_comm, sizeof(rsaKey_comm));
    if (nStatus == 0 && opts.kind != SIGNER_REQUEST) {
        nStatus = write_image(args, fpStreams[ARG_IN - 1], &out, szBuffSPL, szBuffSPLCode);
    } else {
        output_abort(&out);
    }
    close_inputs(fpStreams);
    return nStatus;
}
