// Writing a file through a temporary file beside it, renamed into place.
#include "output_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int MAX_LINK_HOPS = 40;
constexpr const char *TEMP_PREFIX = "/.si-";
constexpr int TEMP_RANDOM = 6;
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file a signal must remove, set only while signals are blocked.
char g_szPending[PATH_MAX];
volatile sig_atomic_t g_bPending = 0;

// Removes the pending temporary file, then ends the process with the signal.
void on_cleanup_signal(int nSignal)
{
    if (g_bPending) {
        unlink(g_szPending);
    }
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

// Blocks (or, with bBlock false, restores) the cleanup signals around a step
// that creates, names or removes a temporary file.
void block_cleanup_signals(bool bBlock, sigset_t *pSaved)
{
    if (bBlock) {
        sigset_t set;
        sigemptyset(&set);
        for (int nSignal : CLEANUP_SIGNALS) {
            sigaddset(&set, nSignal);
        }
        sigprocmask(SIG_BLOCK, &set, pSaved);
    } else {
        sigprocmask(SIG_SETMASK, pSaved, nullptr);
    }
}

// Records (or, with an empty name, forgets) the temporary file a signal must
// remove. Called with the cleanup signals blocked.
void set_pending(const char *pName)
{
    g_bPending = 0;
    size_t nLen = strlen(pName);
    if (nLen > 0 && nLen < sizeof(g_szPending)) {
        memcpy(g_szPending, pName, nLen + 1);
        g_bPending = 1;
    }
}

// Copies pSrc into szDst of PATH_MAX bytes. False when it does not fit.
bool copy_path(char *szDst, const char *pSrc)
{
    size_t nLen = strlen(pSrc);
    if (nLen >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(szDst, pSrc, nLen + 1);
    return true;
}

// The folder part of pPath into szFolder (PATH_MAX bytes): "." for a bare name.
void folder_of(const char *pPath, char *szFolder)
{
    const char *pSlash = strrchr(pPath, '/');
    if (pSlash == nullptr) {
        copy_path(szFolder, ".");
        return;
    }
    size_t nLen = pSlash == pPath ? 1 : static_cast<size_t>(pSlash - pPath);
    memcpy(szFolder, pPath, nLen);
    szFolder[nLen] = '\0';
}

// Follows symbolic links from pPath to the file they end at (which need not
// exist yet), into szTarget. Returns false on a loop or an unreadable link.
bool follow_links(const char *pPath, char *szTarget)
{
    if (!copy_path(szTarget, pPath)) {
        return false;
    }
    for (int nHops = 0; nHops < MAX_LINK_HOPS; nHops++) {
        struct stat st;
        if (lstat(szTarget, &st) != 0 || !S_ISLNK(st.st_mode)) {
            return true;
        }
        char szLink[PATH_MAX];
        ssize_t nLen = readlink(szTarget, szLink, sizeof(szLink) - 1);
        if (nLen <= 0) {
            return false;
        }
        szLink[nLen] = '\0';
        if (szLink[0] == '/') {
            copy_path(szTarget, szLink);
            continue;
        }
        char szFolder[PATH_MAX];
        folder_of(szTarget, szFolder);
        if (snprintf(szTarget, PATH_MAX, "%s/%s", szFolder, szLink) >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return false;
        }
    }
    errno = ELOOP;
    return false;
}

// A fresh hidden name beside the target into szName: "folder/.si-" and six
// random letters. False when it does not fit.
bool hidden_name(const OutputFile *pOut, char *szName)
{
    static const char szLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char szRandom[TEMP_RANDOM] = {};
    if (getrandom(szRandom, sizeof(szRandom), 0) != static_cast<ssize_t>(sizeof(szRandom))) {
        for (int i = 0; i < TEMP_RANDOM; i++) {
            szRandom[i] = static_cast<unsigned char>(rand());
        }
    }
    char szFolder[PATH_MAX];
    folder_of(pOut->szTarget, szFolder);
    int nLen = snprintf(szName, PATH_MAX, "%s%s", szFolder, TEMP_PREFIX);
    if (nLen < 0 || nLen + TEMP_RANDOM >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (int i = 0; i < TEMP_RANDOM; i++) {
        szName[nLen + i] = szLetters[szRandom[i] % (sizeof(szLetters) - 1)];
    }
    szName[nLen + TEMP_RANDOM] = '\0';
    return true;
}

// Makes a named temporary file, mode 0600, in the target's folder and records
// it for the signal handler. Returns the descriptor or -1.
int make_named_temp(OutputFile *pOut)
{
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    int fd = -1;
    char szName[PATH_MAX];
    for (int nTry = 0; fd < 0 && nTry < 100 && hidden_name(pOut, szName); nTry++) {
        fd = open(szName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0) {
            copy_path(pOut->szTemp, szName);
            set_pending(szName);
        } else if (errno != EEXIST) {
            break;
        }
    }
    int nErrno = errno;
    block_cleanup_signals(false, &saved);
    errno = nErrno;
    return fd;
}

// The /proc path of the output's descriptor, for linking a nameless file.
void proc_path(const OutputFile *pOut, char *szPath, size_t nSize)
{
    snprintf(szPath, nSize, "/proc/self/fd/%d", pOut->fd);
}

// Gives a complete nameless file a hidden name, just before it is renamed
// over the target. Returns false on failure.
bool name_nameless_temp(OutputFile *pOut)
{
    char szProc[64];
    proc_path(pOut, szProc, sizeof(szProc));
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    bool bNamed = false;
    char szName[PATH_MAX];
    for (int nTry = 0; !bNamed && nTry < 100 && hidden_name(pOut, szName); nTry++) {
        if (linkat(AT_FDCWD, szProc, AT_FDCWD, szName, AT_SYMLINK_FOLLOW) == 0) {
            copy_path(pOut->szTemp, szName);
            set_pending(szName);
            bNamed = true;
        } else if (errno != EEXIST) {
            break;
        }
    }
    block_cleanup_signals(false, &saved);
    return bNamed;
}

// Closes the stream or the descriptor. Returns false when closing failed.
bool close_output(OutputFile *pOut)
{
    bool bClosed = true;
    if (pOut->fp != nullptr) {
        bClosed = fclose(pOut->fp) == 0;
    } else if (pOut->fd >= 0) {
        bClosed = close(pOut->fd) == 0;
    }
    pOut->fp = nullptr;
    pOut->fd = -1;
    return bClosed;
}

// A complete nameless file becomes a new target directly: it never has
// another name, so no copy of it can stay behind. Closes the output. Returns a
// status; on a failed close the target just made is removed again.
int link_nameless_to_target(OutputFile *pOut)
{
    char szProc[64];
    proc_path(pOut, szProc, sizeof(szProc));
    int nStatus = OUTPUT_OK;
    if (linkat(AT_FDCWD, szProc, AT_FDCWD, pOut->szTarget, AT_SYMLINK_FOLLOW) != 0) {
        nStatus = errno == EEXIST ? OUTPUT_EXISTS : OUTPUT_WRITE_FAILED;
    }
    if (!close_output(pOut) && nStatus == OUTPUT_OK) {
        unlink(pOut->szTarget);
        nStatus = OUTPUT_WRITE_FAILED;
    }
    return nStatus;
}

// Removes the temporary file, if it has a name, and forgets it.
void remove_temp(OutputFile *pOut)
{
    if (pOut->szTemp[0] == '\0') {
        return;
    }
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    unlink(pOut->szTemp);
    set_pending("");
    pOut->szTemp[0] = '\0';
    block_cleanup_signals(false, &saved);
}

// Moves the complete, closed temporary file to the target. Returns a status.
int place_temp(OutputFile *pOut)
{
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    int nStatus = OUTPUT_OK;
    if (pOut->bNoClobber) {
        // link() never replaces: an existing file is left as it was.
        if (link(pOut->szTemp, pOut->szTarget) != 0) {
            nStatus = errno == EEXIST ? OUTPUT_EXISTS : OUTPUT_WRITE_FAILED;
        }
        unlink(pOut->szTemp);
    } else if (rename(pOut->szTemp, pOut->szTarget) != 0) {
        nStatus = OUTPUT_WRITE_FAILED;
        unlink(pOut->szTemp);
    }
    set_pending("");
    pOut->szTemp[0] = '\0';
    block_cleanup_signals(false, &saved);
    return nStatus;
}

} // namespace

void output_install_signal_handlers()
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    for (int nSignal : CLEANUP_SIGNALS) {
        struct sigaction old = {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(nSignal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = on_cleanup_signal;
        sigemptyset(&action.sa_mask);
        sigaction(nSignal, &action, nullptr);
    }
}

int output_open(OutputFile *pOut, const char *pPath, unsigned nFlags)
{
    *pOut = OutputFile();
    pOut->bSecret = (nFlags & OUTPUT_SECRET) != 0;
    pOut->bNoClobber = (nFlags & OUTPUT_NO_CLOBBER) != 0;
    struct stat st;
    bool bExists = stat(pPath, &st) == 0;
    if (bExists && pOut->bNoClobber) {
        return OUTPUT_EXISTS;
    }
    if (bExists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return OUTPUT_OPEN_FAILED;
    }
    if (bExists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or socket cannot be renamed over: written in place.
        pOut->bInPlace = true;
        pOut->fd = open(pPath, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
        return pOut->fd >= 0 ? OUTPUT_OK : OUTPUT_OPEN_FAILED;
    }
    if (!follow_links(pPath, pOut->szTarget)) {
        return OUTPUT_OPEN_FAILED;
    }
    if (bExists) {
        if (faccessat(AT_FDCWD, pOut->szTarget, W_OK, AT_EACCESS) != 0) {
            return OUTPUT_OPEN_FAILED;
        }
        pOut->bReplacing = true;
        pOut->nMode = st.st_mode & 0777;
        pOut->nUid = st.st_uid;
        pOut->nGid = st.st_gid;
    } else {
        mode_t nMask = umask(0);
        umask(nMask);
        pOut->nMode = 0666 & ~nMask;
    }
    if (pOut->bSecret) {
        pOut->nMode = 0600;
    }
    // A nameless file until it is complete, so that not even SIGKILL can leave
    // it behind; it is linked in through /proc.
    char szFolder[PATH_MAX];
    folder_of(pOut->szTarget, szFolder);
    pOut->fd = access("/proc/self/fd", X_OK) == 0 ? open(szFolder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
    if (pOut->fd >= 0) {
        return OUTPUT_OK;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT && errno != EACCES) {
        return OUTPUT_OPEN_FAILED;
    }
    // A file system without nameless files: a named one, removed on failure
    // and by the signal handler. (ENOENT and EACCES are tried again here to
    // give open's own answer for a missing or closed folder.)
    pOut->fd = make_named_temp(pOut);
    return pOut->fd >= 0 ? OUTPUT_OK : OUTPUT_OPEN_FAILED;
}

FILE *output_stream(OutputFile *pOut)
{
    if (pOut->fp == nullptr && pOut->fd >= 0) {
        pOut->fp = fdopen(pOut->fd, "wb");
    }
    return pOut->fp;
}

int output_commit(OutputFile *pOut)
{
    bool bOk = pOut->fd >= 0 && (pOut->fp == nullptr || (fflush(pOut->fp) == 0 && !ferror(pOut->fp)));
    if (pOut->bInPlace) {
        bOk = close_output(pOut) && bOk;
        return bOk ? OUTPUT_OK : OUTPUT_WRITE_FAILED;
    }
    if (bOk && pOut->bReplacing && geteuid() == 0 && fchown(pOut->fd, pOut->nUid, pOut->nGid) != 0) {
        // Ownership is kept where we may; the content is what matters.
    }
    bOk = bOk && fchmod(pOut->fd, pOut->nMode) == 0 && fdatasync(pOut->fd) == 0;
    if (bOk && pOut->szTemp[0] == '\0' && pOut->bNoClobber) {
        return link_nameless_to_target(pOut);
    }
    bOk = bOk && (pOut->szTemp[0] != '\0' || name_nameless_temp(pOut));
    // The last close can be where a write first fails: only then is it renamed.
    bOk = close_output(pOut) && bOk;
    if (!bOk) {
        remove_temp(pOut);
        return OUTPUT_WRITE_FAILED;
    }
    // The content is on disk before it gets the target's name, so a power cut
    // leaves the previous file or the whole new one; the folder is not synced:
    // a rename lost with it leaves the previous file, which is still whole.
    return place_temp(pOut);
}

void output_abort(OutputFile *pOut)
{
    close_output(pOut);
    remove_temp(pOut);
}

int output_write_file(const char *pPath, const unsigned char *pData, size_t nLen, unsigned nFlags)
{
    OutputFile out;
    int nStatus = output_open(&out, pPath, nFlags);
    if (nStatus != OUTPUT_OK) {
        return nStatus;
    }
    // Written straight from pData: no stdio buffer keeps a copy of a secret.
    if (!write_all(out.fd, pData, nLen)) {
        output_abort(&out);
        return OUTPUT_WRITE_FAILED;
    }
    return output_commit(&out);
}

bool write_all(int fd, const void *pData, size_t nLen)
{
    const unsigned char *p = static_cast<const unsigned char *>(pData);
    while (nLen > 0) {
        ssize_t nWritten = write(fd, p, nLen);
        if (nWritten < 0 && errno == EINTR) {
            continue;
        }
        if (nWritten <= 0) {
            return false;
        }
        p += nWritten;
        nLen -= static_cast<size_t>(nWritten);
    }
    return true;
}

bool same_file(const char *pPathA, const char *pPathB)
{
    struct stat a;
    struct stat b;
    return stat(pPathA, &a) == 0 && stat(pPathB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool write_all_at(int fd, const unsigned char *pData, size_t nLen, long long nOffset)
{
    while (nLen > 0) {
        ssize_t nWritten = pwrite(fd, pData, nLen, static_cast<off_t>(nOffset));
        if (nWritten < 0 && errno == EINTR) {
            continue;
        }
        if (nWritten <= 0) {
            return false;
        }
        pData += nWritten;
        nLen -= static_cast<size_t>(nWritten);
        nOffset += nWritten;
    }
    return true;
}
