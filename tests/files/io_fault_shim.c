// SPDX-License-Identifier: Apache-2.0
/* LD_PRELOAD shim for fault tests: makes one kind of I/O call fail on files
 * whose path contains a given text.
 *   IO_FAULT=KIND:TEXT:OFFSET
 *     read   reads of the file at or beyond OFFSET fail with EIO (copy_file_range
 *            from it, pread, read); a read across OFFSET stops there, as at a
 *            bad sector
 *     shrink the same reads find the end of the file at OFFSET instead
 *     write  writes to the file that reach beyond OFFSET fail with EIO
 *            (copy_file_range into it, pwrite, write, fwrite)
 *     close  closing the file fails with EIO (close, fclose); it is closed anyway
 *     sync   fdatasync and fsync of the file fail with EIO
 *     rename renaming a file to a name that contains TEXT fails with EIO
 *     signal closing the file raises SIGTERM first, as a signal that comes
 *            at that moment would
 *   IO_FAULT_NO_KERNEL_COPY=1  copy_file_range always fails with EXDEV.
 *   IO_FAULT_NO_TMPFILE=1      open() or openat() with O_TMPFILE fails with
 *                              EOPNOTSUPP, as on a file system without nameless
 *                              files.
 *   FAULT_QUIT_IN_EXPTMOD=1    the first modular exponentiation raises SIGQUIT,
 *                              stopping a run while it holds its keys.
 *   FAULT_FREE_SECRET=HEX      pieces of 16 bytes: free() reports on standard
 *                              error any block it is given that holds one.
 *   FAULT_RANDOM=HH            getrandom() gives bytes of value 0xHH. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

/* The OFFSET of fault KIND when it is asked for on fd, else -1. */
static long long fault_offset(const char *pKind, int fd)
{
    const char *pSpec = getenv("IO_FAULT");
    size_t nKind = strlen(pKind);
    if (pSpec == NULL || fd < 0 || strncmp(pSpec, pKind, nKind) != 0 || pSpec[nKind] != ':') {
        return -1;
    }
    char szText[512];
    const char *pText = pSpec + nKind + 1;
    const char *pColon = strrchr(pText, ':');
    size_t nText = pColon != NULL ? (size_t)(pColon - pText) : strlen(pText);
    if (nText >= sizeof(szText)) {
        return -1;
    }
    memcpy(szText, pText, nText);
    szText[nText] = '\0';
    char szProc[64];
    char szPath[4096];
    snprintf(szProc, sizeof(szProc), "/proc/self/fd/%d", fd);
    ssize_t nLen = readlink(szProc, szPath, sizeof(szPath) - 1);
    if (nLen <= 0) {
        return -1;
    }
    szPath[nLen] = '\0';
    if (strstr(szPath, szText) == NULL) {
        return -1;
    }
    return pColon != NULL ? atoll(pColon + 1) : 0;
}

/* True when the fault KIND is asked for on fd at nOffset. */
static int fault_on(const char *pKind, int fd, long long nOffset)
{
    long long nAt = fault_offset(pKind, fd);
    return nAt >= 0 && nOffset >= nAt;
}

/* A read of nLen bytes at nOffset of fd cut short before a read or shrink
 * fault's OFFSET; the fault itself applies from there on. */
static size_t read_length(int fd, long long nOffset, size_t nLen)
{
    const char *kinds[] = {"read", "shrink"};
    for (int i = 0; i < 2; i++) {
        long long nAt = fault_offset(kinds[i], fd);
        if (nAt >= 0 && nOffset < nAt && nOffset + (long long)nLen > nAt) {
            nLen = (size_t)(nAt - nOffset);
        }
    }
    return nLen;
}

/* p_NAME: the next definition of NAME, looked up once. */
#define REAL(name, ret, args)                                                                                    \
    static ret(*p_##name) args;                                                                                  \
    if (p_##name == NULL) {                                                                                      \
        p_##name = (ret(*) args)dlsym(RTLD_NEXT, #name);                                                         \
    }

ssize_t copy_file_range(int fdIn, off_t *pInOff, int fdOut, off_t *pOutOff, size_t nLen, unsigned int nFlags)
{
    REAL(copy_file_range, ssize_t, (int, off_t *, int, off_t *, size_t, unsigned int))
    long long nIn = pInOff != NULL ? *pInOff : lseek(fdIn, 0, SEEK_CUR);
    long long nOut = pOutOff != NULL ? *pOutOff : lseek(fdOut, 0, SEEK_CUR);
    const char *pNoKernel = getenv("IO_FAULT_NO_KERNEL_COPY");
    if (pNoKernel != NULL && strcmp(pNoKernel, "1") == 0) {
        errno = EXDEV;
        return -1;
    }
    if (fault_on("shrink", fdIn, nIn)) {
        return 0;
    }
    if (fault_on("read", fdIn, nIn) || fault_on("write", fdOut, nOut + (long long)nLen - 1)) {
        errno = EIO;
        return -1;
    }
    return p_copy_file_range(fdIn, pInOff, fdOut, pOutOff, read_length(fdIn, nIn, nLen), nFlags);
}

ssize_t pread64(int fd, void *pBuf, size_t nLen, off_t nOffset)
{
    REAL(pread64, ssize_t, (int, void *, size_t, off_t))
    if (fault_on("shrink", fd, nOffset)) {
        return 0;
    }
    if (fault_on("read", fd, nOffset)) {
        errno = EIO;
        return -1;
    }
    return p_pread64(fd, pBuf, read_length(fd, nOffset, nLen), nOffset);
}

ssize_t read(int fd, void *pBuf, size_t nLen)
{
    REAL(read, ssize_t, (int, void *, size_t))
    long long nOffset = getenv("IO_FAULT") != NULL ? lseek(fd, 0, SEEK_CUR) : -1;
    if (nOffset < 0) {
        return p_read(fd, pBuf, nLen);
    }
    if (fault_on("shrink", fd, nOffset)) {
        return 0;
    }
    if (fault_on("read", fd, nOffset)) {
        errno = EIO;
        return -1;
    }
    return p_read(fd, pBuf, read_length(fd, nOffset, nLen));
}

ssize_t pwrite64(int fd, const void *pBuf, size_t nLen, off_t nOffset)
{
    REAL(pwrite64, ssize_t, (int, const void *, size_t, off_t))
    if (fault_on("write", fd, nOffset + (long long)nLen - 1)) {
        errno = EIO;
        return -1;
    }
    return p_pwrite64(fd, pBuf, nLen, nOffset);
}

ssize_t write(int fd, const void *pBuf, size_t nLen)
{
    REAL(write, ssize_t, (int, const void *, size_t))
    if (fault_on("write", fd, lseek(fd, 0, SEEK_CUR) + (long long)nLen - 1)) {
        errno = EIO;
        return -1;
    }
    return p_write(fd, pBuf, nLen);
}

size_t fwrite(const void *pBuf, size_t nSize, size_t nCount, FILE *fp)
{
    REAL(fwrite, size_t, (const void *, size_t, size_t, FILE *))
    if (fault_on("write", fileno(fp), ftello(fp) + (long long)(nSize * nCount) - 1)) {
        errno = EIO;
        return 0;
    }
    return p_fwrite(pBuf, nSize, nCount, fp);
}

int close(int fd)
{
    REAL(close, int, (int))
    if (fault_on("signal", fd, 0)) {
        raise(SIGTERM);
    }
    int nFail = fault_on("close", fd, 0);
    int nResult = p_close(fd);
    if (nFail) {
        errno = EIO;
        return -1;
    }
    return nResult;
}

int fclose(FILE *fp)
{
    REAL(fclose, int, (FILE *))
    int nFail = fault_on("close", fileno(fp), 0);
    int nResult = p_fclose(fp);
    if (nFail) {
        errno = EIO;
        return EOF;
    }
    return nResult;
}

/* True, with errno EIO, when a sync fault is asked for on fd. */
static int sync_fails(int fd)
{
    if (fault_on("sync", fd, 0)) {
        errno = EIO;
        return 1;
    }
    return 0;
}

int fdatasync(int fd)
{
    REAL(fdatasync, int, (int))
    return sync_fails(fd) ? -1 : p_fdatasync(fd);
}

int fsync(int fd)
{
    REAL(fsync, int, (int))
    return sync_fails(fd) ? -1 : p_fsync(fd);
}

/* True when a rename fault is asked for on the new name pNew. */
static int rename_fault(const char *pNew)
{
    const char *pSpec = getenv("IO_FAULT");
    return pSpec != NULL && strncmp(pSpec, "rename:", 7) == 0 && strstr(pNew, pSpec + 7) != NULL;
}

int renameat(int fdOld, const char *pOld, int fdNew, const char *pNew)
{
    REAL(renameat, int, (int, const char *, int, const char *))
    if (rename_fault(pNew)) {
        errno = EIO;
        return -1;
    }
    return p_renameat(fdOld, pOld, fdNew, pNew);
}

int rename(const char *pOld, const char *pNew)
{
    return renameat(AT_FDCWD, pOld, AT_FDCWD, pNew);
}

ssize_t pread(int fd, void *pBuf, size_t nLen, off_t nOffset)
{
    return pread64(fd, pBuf, nLen, nOffset);
}

ssize_t pwrite(int fd, const void *pBuf, size_t nLen, off_t nOffset)
{
    return pwrite64(fd, pBuf, nLen, nOffset);
}

int fp_exptmod(void *pBase, void *pExponent, void *pModulus, void *pResult)
{
    REAL(fp_exptmod, int, (void *, void *, void *, void *))
    const char *pQuit = getenv("FAULT_QUIT_IN_EXPTMOD");
    if (pQuit != NULL && strcmp(pQuit, "1") == 0) {
        raise(SIGQUIT);
    }
    return p_fp_exptmod(pBase, pExponent, pModulus, pResult);
}

ssize_t getrandom(void *pBuf, size_t nLen, unsigned int nFlags)
{
    REAL(getrandom, ssize_t, (void *, size_t, unsigned int))
    const char *pByte = getenv("FAULT_RANDOM");
    if (pByte == NULL) {
        return p_getrandom(pBuf, nLen, nFlags);
    }
    memset(pBuf, (int)strtol(pByte, NULL, 16), nLen);
    return (ssize_t)nLen;
}

extern void __libc_free(void *);

/* The value of a lower-case hex digit. */
static unsigned char hex_value(char c)
{
    return (unsigned char)(c <= '9' ? c - '0' : c - 'a' + 10);
}

/* Decodes FAULT_FREE_SECRET into pPieces; returns how many pieces it holds. */
static size_t load_pieces(unsigned char *pPieces, size_t nMax)
{
    const char *pHex = getenv("FAULT_FREE_SECRET");
    size_t n = 0;
    for (; pHex != NULL && pHex[2 * n] != '\0' && pHex[2 * n + 1] != '\0' && n < nMax; n++) {
        pPieces[n] = (unsigned char)(hex_value(pHex[2 * n]) << 4 | hex_value(pHex[2 * n + 1]));
    }
    return n / 16;
}

void free(void *p)
{
    static unsigned char szPieces[16 * 8192];
    static size_t nPieces = (size_t)-1;
    if (nPieces == (size_t)-1) {
        nPieces = load_pieces(szPieces, sizeof(szPieces));
    }
    size_t nSize = p != NULL && nPieces > 0 ? malloc_usable_size(p) : 0;
    for (size_t i = 0; nSize >= 16 && i < nPieces; i++) {
        if (memmem(p, nSize, szPieces + 16 * i, 16) != NULL) {
            static const char szMessage[] = "io_fault_shim: a freed block holds the secret\n";
            ssize_t nIgnored = write(2, szMessage, sizeof(szMessage) - 1);
            (void)nIgnored;
            break;
        }
    }
    __libc_free(p);
}

/* The mode argument of open(), present only with O_CREAT or O_TMPFILE. */
#define OPEN_MODE(nFlags, nMode)                                                                                 \
    mode_t nMode = 0;                                                                                            \
    if (((nFlags) & O_CREAT) != 0 || ((nFlags) & O_TMPFILE) == O_TMPFILE) {                                      \
        va_list args;                                                                                            \
        va_start(args, nFlags);                                                                                  \
        nMode = va_arg(args, mode_t);                                                                            \
        va_end(args);                                                                                            \
    }

/* True when IO_FAULT_NO_TMPFILE refuses an open with nFlags. */
static int tmpfile_refused(int nFlags)
{
    const char *pNoTmpfile = getenv("IO_FAULT_NO_TMPFILE");
    if ((nFlags & O_TMPFILE) == O_TMPFILE && pNoTmpfile != NULL && strcmp(pNoTmpfile, "1") == 0) {
        errno = EOPNOTSUPP;
        return 1;
    }
    return 0;
}

int open(const char *pPath, int nFlags, ...)
{
    REAL(open, int, (const char *, int, ...))
    OPEN_MODE(nFlags, nMode)
    return tmpfile_refused(nFlags) ? -1 : p_open(pPath, nFlags, nMode);
}

int open64(const char *pPath, int nFlags, ...)
{
    OPEN_MODE(nFlags, nMode)
    return open(pPath, nFlags, nMode);
}

int openat(int fdFolder, const char *pPath, int nFlags, ...)
{
    REAL(openat, int, (int, const char *, int, ...))
    OPEN_MODE(nFlags, nMode)
    return tmpfile_refused(nFlags) ? -1 : p_openat(fdFolder, pPath, nFlags, nMode);
}

int openat64(int fdFolder, const char *pPath, int nFlags, ...)
{
    OPEN_MODE(nFlags, nMode)
    return openat(fdFolder, pPath, nFlags, nMode);
}
