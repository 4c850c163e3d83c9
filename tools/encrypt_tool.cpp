// encrypt_tool: signs the SPL window of an image and writes the public keys
// and the block table into the code window; the rest of the image follows.
#include "encrypt_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "file_io.h"
#include "image_format.h"
#include "key_file.h"

namespace {

enum Arg { ARG_IN = 1, ARG_OUT, ARG_CODE, ARG_RSAKEY, ARG_RSAKEY_COMM, ARG_COUNT };
constexpr int STREAM_COUNT = ARG_COUNT - 1;

enum CopyStatus { COPY_OK, COPY_READ_ERROR, COPY_WRITE_ERROR, COPY_FALLBACK };

constexpr size_t KERNEL_COPY_PIECE = size_t{1} << 30;

// True when out_file exists and is the same file (device and inode) as one of
// the four inputs, however it is spelled.
bool output_names_an_input(char **argv)
{
    struct stat outStat;
    if (stat(argv[ARG_OUT], &outStat) != 0) {
        return false;
    }
    for (int nArg : {ARG_IN, ARG_CODE, ARG_RSAKEY, ARG_RSAKEY_COMM}) {
        struct stat inStat;
        if (stat(argv[nArg], &inStat) == 0 && inStat.st_dev == outStat.st_dev && inStat.st_ino == outStat.st_ino) {
            return true;
        }
    }
    return false;
}

// Closes every open stream in argument order. Returns false when closing
// out_file failed, which is where a full disk may first show.
bool close_streams(FILE **fpStreams)
{
    bool bOutClosed = true;
    for (int i = 0; i < STREAM_COUNT; i++) {
        if (fpStreams[i] != nullptr && fclose(fpStreams[i]) != 0 && i + 1 == ARG_OUT) {
            bOutClosed = false;
        }
        fpStreams[i] = nullptr;
    }
    return bOutClosed;
}

// Opens the five files in argument order; key files unbuffered, so that no
// copy of a private exponent stays in a stdio buffer. On the first failure
// prints its message, closes what is open and returns false.
bool open_streams(char **argv, FILE **fpStreams)
{
    for (int nArg = ARG_IN; nArg < ARG_COUNT; nArg++) {
        FILE *fp = fopen(argv[nArg], nArg == ARG_OUT ? "wb" : "rb");
        if (fp == nullptr) {
            printf(nArg == ARG_RSAKEY_COMM ? "File open error %s\n" : "File open error: %s\n", argv[nArg]);
            close_streams(fpStreams);
            return false;
        }
        if (nArg == ARG_RSAKEY || nArg == ARG_RSAKEY_COMM) {
            setvbuf(fp, nullptr, _IONBF, 0);
        }
        fpStreams[nArg - 1] = fp;
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

// True when fp is a regular file; *pnSize gets its size (0 otherwise).
bool is_regular(FILE *fp, off_t *pnSize)
{
    struct stat st;
    bool bRegular = fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
    *pnSize = bRegular ? st.st_size : 0;
    return bRegular;
}

// Copies the whole input image into the still empty output inside the kernel,
// from offset 0 on both sides, then writes the two windows over its start.
// Copying from offset 0 runs as fast as cp; starting at the tail is slower.
// Returns COPY_FALLBACK, with nothing written, where the kernel refuses (a
// pipe, another file system, an old kernel) or the image has no tail.
CopyStatus copy_image_kernel(FILE *fp_in, FILE *fp_out, const unsigned char *szBuffSPL,
                             const unsigned char *szBuffSPLCode)
{
    off_t nInSize = 0;
    off_t nOutSize = 0;
    if (!is_regular(fp_in, &nInSize) || !is_regular(fp_out, &nOutSize) || nInSize <= SI_TAIL_OFFSET || nOutSize != 0) {
        return COPY_FALLBACK;
    }
    off_t nInPos = 0;
    off_t nOutPos = 0;
    for (;;) {
        ssize_t nCopied = copy_file_range(fileno(fp_in), &nInPos, fileno(fp_out), &nOutPos, KERNEL_COPY_PIECE, 0);
        if (nCopied > 0 || (nCopied < 0 && errno == EINTR)) {
            continue;
        }
        if (nCopied == 0) {
            break;
        }
        if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) {
            return COPY_WRITE_ERROR;
        }
        if (errno == EIO) {
            return COPY_READ_ERROR;
        }
        // Refused: start again from an empty output on the stdio path.
        return ftruncate(fileno(fp_out), 0) == 0 ? COPY_FALLBACK : COPY_WRITE_ERROR;
    }
    if (nOutPos < SI_TAIL_OFFSET || !write_all_at(fileno(fp_out), szBuffSPL, SI_WINDOW_SIZE, SI_SPL_WINDOW) ||
        !write_all_at(fileno(fp_out), szBuffSPLCode, SI_WINDOW_SIZE, SI_CODE_WINDOW)) {
        return COPY_WRITE_ERROR;
    }
    return COPY_OK;
}

// Writes both windows, skips the input's second window (the code window takes
// its place) and copies the tail, all through stdio.
CopyStatus write_image_stdio(FILE *fp_in, FILE *fp_out, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode)
{
    if (fwrite(szBuffSPL, 1, SI_WINDOW_SIZE, fp_out) != static_cast<size_t>(SI_WINDOW_SIZE) ||
        fwrite(szBuffSPLCode, 1, SI_WINDOW_SIZE, fp_out) != static_cast<size_t>(SI_WINDOW_SIZE)) {
        return COPY_WRITE_ERROR;
    }
    if (!read_window(fp_in, szBuffSPLCode, SI_WINDOW_SIZE)) {
        return COPY_READ_ERROR;
    }
    return copy_tail_stdio(fp_in, fp_out, szBuffSPL);
}

// Writes the output image. Returns 0, or 1 after printing the error; the
// output is then left empty where it is a regular file, so that no half-made
// image (in the kernel's path, one with unsigned windows) stays behind.
int write_image(char **argv, FILE *fp_in, FILE *fp_out, unsigned char *szBuffSPL, unsigned char *szBuffSPLCode)
{
    CopyStatus nStatus = copy_image_kernel(fp_in, fp_out, szBuffSPL, szBuffSPLCode);
    if (nStatus == COPY_FALLBACK) {
        nStatus = write_image_stdio(fp_in, fp_out, szBuffSPL, szBuffSPLCode);
    }
    if (nStatus == COPY_OK) {
        return 0;
    }
    printf(nStatus == COPY_READ_ERROR ? "File read error: %s\n" : "File write error: %s\n",
           argv[nStatus == COPY_READ_ERROR ? ARG_IN : ARG_OUT]);
    off_t nOutSize = 0;
    if (is_regular(fp_out, &nOutSize)) {
        __fpurge(fp_out);
        if (ftruncate(fileno(fp_out), 0) != 0) {
            // Nothing more can be done: the run already reports its failure.
        }
    }
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
        if (!read_window(read.fp, read.pBuffer, read.nSize)) {
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
                        unsigned char *rsaKey_comm, unsigned char *szKey)
{
    build_key_blob(szKey, rsaKey);
    explicit_bzero(rsaKey, KEY_FILE_SIZE);
    // The common key's third record is read only because the file format holds it.
    explicit_bzero(rsaKey_comm + 2 * KEY_RECORD_SIZE, KEY_RECORD_SIZE);
    unsigned char szCommPublic[SI_PUBLIC_SIZE];
    memcpy(szCommPublic + RSA_BLOB_N, rsaKey_comm, RSA_FIELD_SIZE);
    memcpy(szCommPublic + RSA_BLOB_E, rsaKey_comm + KEY_RECORD_SIZE, RSA_FIELD_SIZE);
    return si_sign_windows(szBuffSPL, szBuffSPLCode, szKey, szCommPublic);
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
    if (!open_streams(argv, fpStreams)) {
        return 1;
    }
    unsigned char szBuffSPL[SI_WINDOW_SIZE] = {};
    unsigned char szBuffSPLCode[SI_WINDOW_SIZE] = {};
    unsigned char rsaKey[KEY_FILE_SIZE] = {};
    unsigned char rsaKey_comm[KEY_FILE_SIZE] = {};
    unsigned char szKey[RSA_KEY_BLOB_SIZE] = {};

    int nStatus = read_inputs(argv, fpStreams, szBuffSPL, szBuffSPLCode, rsaKey, rsaKey_comm);
    if (nStatus == 0 && sign_with_key_files(szBuffSPL, szBuffSPLCode, rsaKey, rsaKey_comm, szKey) != SI_OK) {
        printf("Key file error: %s\n", argv[ARG_RSAKEY]);
        nStatus = 1;
    }
    explicit_bzero(rsaKey, sizeof(rsaKey));
    explicit_bzero(rsaKey_comm, sizeof(rsaKey_comm));
    explicit_bzero(szKey, sizeof(szKey));
    if (nStatus == 0) {
        nStatus = write_image(argv, fpStreams[ARG_IN - 1], fpStreams[ARG_OUT - 1], szBuffSPL, szBuffSPLCode);
    }
    if (!close_streams(fpStreams) && nStatus == 0) {
        printf("File write error: %s\n", argv[ARG_OUT]);
        nStatus = 1;
    }
    return nStatus;
}
