// SPDX-License-Identifier: Apache-2.0
/* LD_PRELOAD shim for fault tests.
 *   IO_FAULT_LOG=FILE  every call below on a file is appended to FILE as
 *                      "N CALL FLAGS INODE PATH": its number in the run, the
 *                      open flags (fopen's "e" as O_CLOEXEC), and the inode and
 *                      path of the file (for a rename or link, the old name's)
 *   IO_FAULT_AT=N:WHAT call N fails with errno WHAT; WHAT 0 makes it find the
 *                      end of the file; -SIG raises SIG just before it, as a
 *                      signal that comes at that moment would; several
 *                      N:WHAT, separated by commas, for several calls
 *   IO_FAULT=KIND:TEXT:OFFSET  one kind of call fails on files whose path
 *                      contains TEXT:
 *     read   reads of the file at or beyond OFFSET fail with EIO (copy_file_range
 *            from it, pread, read); a read across OFFSET stops there, as at a
 *            bad sector
 *     write  writes to the file that reach beyond OFFSET fail with EIO
 *            (copy_file_range into it, pwrite, write, fwrite)
 *     close  closing the file fails with EIO (close, fclose); it is closed anyway
 *     shrink the first copy_file_range from the file finds it OFFSET bytes
 *            shorter, as if another process had cut it during the copy
 *   IO_FAULT_STALE_ERRNO=E     errno is E before each call that goes on.
 *   IO_FAULT_NO_KERNEL_COPY=1  copy_file_range always fails with EXDEV.
 *   IO_FAULT_NO_TMPFILE=1      open() or openat() with O_TMPFILE fails with
 *                              EOPNOTSUPP, as on a file system without nameless
 *                              files.
 *   FAULT_QUIT_IN_EXPTMOD=1    the first modular exponentiation raises SIGQUIT,
 *                              stopping a run while it holds its keys.
 *   FAULT_FREE_SECRET=HEX      pieces of 16 bytes: free() reports on standard
 *                              error any block it is given that holds one.
 *   FAULT_RANDOM=HH            getrandom() gives bytes of value 0xHH.
 *   FAULT_STALE_STACK=1        before main, 48 KiB of the stack (below 4 KiB
 *                              of it) hold bytes (k mod 32) * 29 ^ 0xC3, as a
 *                              library's secret left behind. */
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
#include <sys/stat.h>
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
    const char *pText = pSpec + nKind + 1;
    const char *pColon = strrchr(pText, ':');
    size_t nText = pColon != NULL ? (size_t)(pColon - pText) : strlen(pText);
    char szProc[64];
    char szPath[4096];
    snprintf(szProc, sizeof(szProc), "/proc/self/fd/%d", fd);
    ssize_t nLen = readlink(szProc, szPath, sizeof(szPath) - 1);
    if (nLen <= 0 || memmem(szPath, (size_t)nLen, pText, nText) == NULL) {
        return -1;
    }
    return pColon != NULL ? atoll(pColon + 1) : 0;
}

/* True when the fault KIND is asked for on fd at nOffset; errno is then EIO. */
static int fault_on(const char *pKind, int fd, long long nOffset)
{
    long long nAt = fault_offset(pKind, fd);
    int bOn = nAt >= 0 && nOffset >= nAt;
    errno = bOn ? EIO : errno;
    return bOn;
}

/* Cuts the file fd OFFSET bytes short, once, under IO_FAULT=shrink:TEXT:OFFSET. */
static void shrink_once(int fd)
{
    static int bDone;
    long long nBy = fault_offset("shrink", fd);
    char szProc[64], szPath[4096];
    struct stat st;
    snprintf(szProc, sizeof(szProc), "/proc/self/fd/%d", fd);
    ssize_t nLen = nBy > 0 && !bDone && fstat(fd, &st) == 0 ? readlink(szProc, szPath, sizeof(szPath) - 1) : -1;
    if (nLen > 0) {
        szPath[nLen] = '\0';
        bDone = truncate(szPath, st.st_size - nBy) == 0;
    }
}

/* A read of nLen bytes at nOffset of fd cut short before a read fault's
 * OFFSET; the fault itself applies from there on. */
static size_t read_length(int fd, long long nOffset, size_t nLen)
{
    long long nAt = fault_offset("read", fd);
    return nAt >= 0 && nOffset < nAt && nOffset + (long long)nLen > nAt ? (size_t)(nAt - nOffset) : nLen;
}

/* Counts, logs (IO_FAULT_LOG) and maybe fails (IO_FAULT_AT) a call on the
 * file fd, or on pName in the folder fd. Returns 0 to go on, -1 with errno
 * set to fail, 1 to find the end of the file. */
static int io_call_counted(const char *pCall, int fd, const char *pName, int nFlags)
{
    static long nCalls;
    static int bInside; /* the log's own calls are not counted */
    const char *pLog = getenv("IO_FAULT_LOG");
    const char *pAt = getenv("IO_FAULT_AT");
    long nAt = 0;
    int nWhat = 0;
    if (bInside || (pLog == NULL && pAt == NULL)) {
        return 0;
    }
    bInside = 1;
    nCalls++;
    char szPath[4096] = "";
    char szProc[64];
    snprintf(szProc, sizeof(szProc), fd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/%d", fd);
    ssize_t nLen = pName != NULL && pName[0] == '/' ? 0 : readlink(szProc, szPath, sizeof(szPath) - 1);
    snprintf(szPath + (nLen > 0 ? nLen : 0), sizeof(szPath) - (nLen > 0 ? (size_t)nLen : 0), "%s%s",
             pName != NULL && nLen > 0 ? "/" : "", pName != NULL ? pName : "");
    struct stat st = {0};
    fstatat(fd, pName != NULL ? pName : "", &st, pName != NULL ? 0 : AT_EMPTY_PATH);
    FILE *fp = pLog != NULL ? fopen(pLog, "ae") : NULL;
    if (fp != NULL) {
        fprintf(fp, "%ld %s %d %lu %s\n", nCalls, pCall, nFlags, (unsigned long)st.st_ino, szPath);
        fclose(fp);
    }
    bInside = 0;
    while (pAt != NULL && (sscanf(pAt, "%ld:%d", &nAt, &nWhat) != 2 || nAt != nCalls)) {
        pAt = strchr(pAt, ','); /* the next N:WHAT */
        pAt = pAt != NULL ? pAt + 1 : NULL;
    }
    if (pAt == NULL) {
        return 0;
    }
    if (nWhat < 0) {
        raise(-nWhat);
        return 0;
    }
    errno = nWhat != 0 ? nWhat : ENOTTY; /* at the end, errno as a success may leave it: stale */
    return nWhat != 0 ? -1 : 1;
}

/* io_call_counted, and for a call that goes on, errno set to
 * IO_FAULT_STALE_ERRNO when that is set: a call that succeeds may leave errno
 * as it was, and no code may read it then. */
static int io_call(const char *pCall, int fd, const char *pName, int nFlags)
{
    int nFault = io_call_counted(pCall, fd, pName, nFlags);
    const char *pStale = getenv("IO_FAULT_STALE_ERRNO");
    if (nFault == 0 && pStale != NULL) {
        errno = atoi(pStale);
    }
    return nFault;
}

/* p_NAME: the next definition of NAME, looked up once. */
#define REAL(name, ret, args)                                                                                    \
    static ret(*p_##name) args;                                                                                  \
    if (p_##name == NULL) {                                                                                      \
        p_##name = (ret(*) args)dlsym(RTLD_NEXT, #name);                                                         \
    }

/* NAME(...) as a counted call on fd (or pName in it): the fault it gets, or
 * the call itself. */
#define CALL(name, ret, args, fd, pName, call)                                                                   \
    ret name args                                                                                                \
    {                                                                                                            \
        REAL(name, ret, args)                                                                                    \
        int nFault = io_call(#name, fd, pName, 0);                                                               \
        return nFault != 0 ? (ret)(nFault < 0 ? -1 : 0) : p_##name call;                                         \
    }

CALL(ftruncate, int, (int fd, off_t nLen), fd, NULL, (fd, nLen))
CALL(fchown, int, (int fd, uid_t nUid, gid_t nGid), fd, NULL, (fd, nUid, nGid))
CALL(fchmod, int, (int fd, mode_t nMode), fd, NULL, (fd, nMode))
CALL(fdatasync, int, (int fd), fd, NULL, (fd))
CALL(fsync, int, (int fd), fd, NULL, (fd))
/* (The shim finds a position of its own with lseek64, which it does not count.) */
CALL(lseek, off_t, (int fd, off_t nOffset, int nWhence), fd, NULL, (fd, nOffset, nWhence))
CALL(unlinkat, int, (int fd, const char *pName, int nFlags), fd, pName, (fd, pName, nFlags))
CALL(renameat, int, (int fdOld, const char *pOld, int fdNew, const char *pNew), fdOld, pOld,
     (fdOld, pOld, fdNew, pNew))
CALL(linkat, int, (int fdOld, const char *pOld, int fdNew, const char *pNew, int nFlags), fdOld, pOld,
     (fdOld, pOld, fdNew, pNew, nFlags))

ssize_t copy_file_range(int fdIn, off_t *pInOff, int fdOut, off_t *pOutOff, size_t nLen, unsigned int nFlags)
{
    REAL(copy_file_range, ssize_t, (int, off_t *, int, off_t *, size_t, unsigned int))
    shrink_once(fdIn);
    long long nIn = pInOff != NULL ? *pInOff : lseek64(fdIn, 0, SEEK_CUR);
    long long nOut = pOutOff != NULL ? *pOutOff : lseek64(fdOut, 0, SEEK_CUR);
    const char *pNoKernel = getenv("IO_FAULT_NO_KERNEL_COPY");
    if (pNoKernel != NULL && strcmp(pNoKernel, "1") == 0) {
        errno = EXDEV;
        return -1;
    }
    int nFault = io_call("copy_file_range", fdOut, NULL, 0);
    if (nFault != 0 || fault_on("read", fdIn, nIn) || fault_on("write", fdOut, nOut + (long long)nLen - 1)) {
        return nFault > 0 ? 0 : -1;
    }
    return p_copy_file_range(fdIn, pInOff, fdOut, pOutOff, read_length(fdIn, nIn, nLen), nFlags);
}

ssize_t pread64(int fd, void *pBuf, size_t nLen, off_t nOffset)
{
    REAL(pread64, ssize_t, (int, void *, size_t, off_t))
    int nFault = io_call("pread", fd, NULL, 0);
    int bFails = nFault != 0 || fault_on("read", fd, nOffset);
    return bFails ? (nFault > 0 ? 0 : -1) : p_pread64(fd, pBuf, read_length(fd, nOffset, nLen), nOffset);
}

ssize_t read(int fd, void *pBuf, size_t nLen)
{
    REAL(read, ssize_t, (int, void *, size_t))
    int nFault = io_call("read", fd, NULL, 0);
    long long nOffset = getenv("IO_FAULT") != NULL ? lseek64(fd, 0, SEEK_CUR) : -1;
    int bFails = nFault != 0 || fault_on("read", fd, nOffset);
    return bFails ? (nFault > 0 ? 0 : -1) : p_read(fd, pBuf, nOffset < 0 ? nLen : read_length(fd, nOffset, nLen));
}

size_t fread(void *pBuf, size_t nSize, size_t nCount, FILE *fp)
{
    REAL(fread, size_t, (void *, size_t, size_t, FILE *))
    int nFault = io_call("fread", fileno(fp), NULL, 0);
    if (nFault < 0) {
        fp->_flags |= _IO_ERR_SEEN;
    }
    return nFault != 0 ? 0 : p_fread(pBuf, nSize, nCount, fp);
}

ssize_t pwrite64(int fd, const void *pBuf, size_t nLen, off_t nOffset)
{
    REAL(pwrite64, ssize_t, (int, const void *, size_t, off_t))
    int nFault = io_call("pwrite", fd, NULL, 0);
    int bFails = nFault != 0 || fault_on("write", fd, nOffset + (long long)nLen - 1);
    return bFails ? -1 : p_pwrite64(fd, pBuf, nLen, nOffset);
}

ssize_t write(int fd, const void *pBuf, size_t nLen)
{
    REAL(write, ssize_t, (int, const void *, size_t))
    int nFault = io_call("write", fd, NULL, 0);
    int bFails = nFault != 0 || fault_on("write", fd, lseek64(fd, 0, SEEK_CUR) + (long long)nLen - 1);
    return bFails ? -1 : p_write(fd, pBuf, nLen);
}

size_t fwrite(const void *pBuf, size_t nSize, size_t nCount, FILE *fp)
{
    REAL(fwrite, size_t, (const void *, size_t, size_t, FILE *))
    int nFault = io_call("fwrite", fileno(fp), NULL, 0);
    if (nFault != 0 || fault_on("write", fileno(fp), ftello(fp) + (long long)(nSize * nCount) - 1)) {
        fp->_flags |= _IO_ERR_SEEN;
        return 0;
    }
    return p_fwrite(pBuf, nSize, nCount, fp);
}

int close(int fd)
{
    REAL(close, int, (int))
    int nFault = io_call("close", fd, NULL, 0);
    int nFail = nFault < 0 || fault_on("close", fd, 0);
    int nResult = p_close(fd);
    errno = nFail ? (nFault < 0 ? errno : EIO) : errno;
    return nFail ? -1 : nResult;
}

int fclose(FILE *fp)
{
    REAL(fclose, int, (FILE *))
    int nFault = io_call("fclose", fileno(fp), NULL, 0);
    int nFail = nFault < 0 || fault_on("close", fileno(fp), 0);
    int nErrno = nFault < 0 ? errno : EIO;
    int nResult = p_fclose(fp);
    errno = nFail ? nErrno : errno;
    return nFail ? EOF : nResult;
}

/* The same calls under their other names (off_t and open's flags are the same). */
ssize_t pread(int fd, void *pBuf, size_t nLen, off_t nOffset) __attribute__((alias("pread64")));
ssize_t pwrite(int fd, const void *pBuf, size_t nLen, off_t nOffset) __attribute__((alias("pwrite64")));

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

int openat(int fdFolder, const char *pPath, int nFlags, ...)
{
    REAL(openat, int, (int, const char *, int, ...))
    OPEN_MODE(nFlags, nMode)
    return tmpfile_refused(nFlags) || io_call("open", fdFolder, pPath, nFlags) != 0
               ? -1
               : p_openat(fdFolder, pPath, nFlags, nMode);
}

int openat64(int fdFolder, const char *pPath, int nFlags, ...) __attribute__((alias("openat")));

int open(const char *pPath, int nFlags, ...)
{
    OPEN_MODE(nFlags, nMode)
    return openat(AT_FDCWD, pPath, nFlags, nMode);
}

int open64(const char *pPath, int nFlags, ...) __attribute__((alias("open")));

FILE *fopen(const char *pPath, const char *pMode)
{
    REAL(fopen, FILE *, (const char *, const char *))
    int nFlags = (strchr(pMode, 'e') != NULL ? O_CLOEXEC : 0) | (pMode[0] != 'r' ? O_CREAT : 0);
    return io_call("fopen", AT_FDCWD, pPath, nFlags) != 0 ? NULL : p_fopen(pPath, pMode);
}

/* Leaves the pattern of FAULT_STALE_STACK below this frame. */
static __attribute__((noinline)) void leave_stale_stack(void)
{
    unsigned char szStack[52 * 1024];
    for (size_t k = 0; k < 48 * 1024; k++) {
        szStack[k] = (unsigned char)((k % 32) * 29 ^ 0xC3);
    }
    __asm__ volatile("" : : "r"(szStack) : "memory");
}

static __attribute__((constructor)) void stale_stack(void)
{
    if (getenv("FAULT_STALE_STACK") != NULL) {
        leave_stale_stack();
    }
}
