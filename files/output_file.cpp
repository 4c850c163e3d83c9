// SPDX-License-Identifier: Apache-2.0
// Writing a file through a temporary file beside it, renamed into place.
#include "output_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <linux/magic.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>

#include "process_secrets.h"

namespace {

constexpr int MAX_LINK_HOPS = 40;
constexpr char TEMP_PREFIX[] = ".si-";
constexpr int TEMP_RANDOM = 6;
static_assert(sizeof(TEMP_PREFIX) - 1 + TEMP_RANDOM < OUTPUT_TEMP_NAME_SIZE);
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t SPOOL_PIECE = 64 * 1024;
constexpr int GROUP_GRACE_MS = 2000; // from the first signal to SIGKILL
constexpr int GROUP_KILL_MS = 2000;  // from SIGKILL to giving up the wait
constexpr int GROUP_POLL_MS = 10;
static_assert(GROUP_GRACE_MS % GROUP_POLL_MS == 0, "SIGKILL is sent on a step of the wait");

// The temporary file a signal must remove (a name in a folder), set only while
// signals are blocked.
char g_szPending[OUTPUT_TEMP_NAME_SIZE];
int g_fdPendingFolder = -1;
volatile sig_atomic_t g_bPending = 0;
// The process group a signal must end too (a signing helper's), or 0.
volatile sig_atomic_t g_nAlso = 0;

// Ends process group nGroup: nSignal to all of it, then SIGKILL to what is
// left after GROUP_GRACE_MS; reaps those of its processes that are ours (the
// helper, and those it left, whose subreaper the tool is) until none is left,
// or GROUP_KILL_MS after SIGKILL (a process stuck in the kernel). Safe in a
// signal handler.
void end_group(pid_t nGroup, int nSignal)
{
    kill(-nGroup, nSignal);
    for (int nWaited = 0; nWaited <= GROUP_GRACE_MS + GROUP_KILL_MS; nWaited += GROUP_POLL_MS) {
        while (waitpid(-nGroup, nullptr, WNOHANG) > 0) {
        }
        if (kill(-nGroup, 0) != 0) {
            return; // none left
        }
        if (nWaited == GROUP_GRACE_MS) {
            kill(-nGroup, SIGKILL);
        }
        timespec poll = {0, GROUP_POLL_MS * 1000000L};
        nanosleep(&poll, nullptr);
    }
}

// Passes the signal on to the process group started for this run and ends
// it, removes the pending temporary file, then ends the process with the
// signal.
void on_cleanup_signal(int nSignal)
{
    if (g_nAlso > 0) {
        end_group(static_cast<pid_t>(g_nAlso), nSignal);
    }
    if (g_bPending) {
        unlinkat(g_fdPendingFolder, g_szPending, 0);
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

// Records (or, with an empty name, forgets) the temporary file of pOut's
// folder that a signal must remove. Called with the cleanup signals blocked.
void set_pending(const OutputFile *pOut, const char *pName)
{
    g_bPending = 0;
    if (pName[0] != '\0') {
        memcpy(g_szPending, pName, strlen(pName) + 1);
        g_fdPendingFolder = pOut->fdFolder;
        g_bPending = 1;
    }
}

// Closes *pfd if it is open.
void close_fd(int *pfd)
{
    if (*pfd != -1) {
        close(*pfd);
    }
    *pfd = -1;
}

// Splits szPath into its last name, copied to szName (NAME_MAX + 1 bytes),
// and the folder that holds it, left in szPath as "folder/." so that the
// kernel follows a link that ends the folder part as it does in a full path
// ("." for a bare name). Returns false with errno set when there is no last
// name (the path ends in "/", "." or "..": a folder) or it is too long.
bool split_path(char *szPath, char *szName)
{
    char *pSlash = strrchr(szPath, '/');
    const char *pName = pSlash != nullptr ? pSlash + 1 : szPath;
    size_t nLen = strlen(pName);
    if (nLen == 0 || strcmp(pName, ".") == 0 || strcmp(pName, "..") == 0) {
        errno = EISDIR;
        return false;
    }
    if (nLen > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(szName, pName, nLen + 1);
    char *pFolderEnd = pSlash != nullptr ? pSlash + 1 : szPath;
    pFolderEnd[0] = '.';
    pFolderEnd[1] = '\0';
    return true;
}

// The kernel's rule for following a symbolic link (fs.protected_symlinks): a
// link in a sticky, world-writable folder is followed only when the caller or
// the folder's owner owns it. Applied whatever the setting says.
bool may_follow_link(int fdFolder, const struct stat &link)
{
    struct stat folder;
    if (fstat(fdFolder, &folder) != 0) {
        return false; // not seen: an fstat of a folder we hold open does not fail
    }
    bool bShared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return !bShared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// True when a link of fdFolder that reads as pTarget is one of /proc's links
// to what has no path (a pipe, a socket): only the kernel can follow it.
bool is_kernel_link(int fdFolder, const char *pTarget)
{
    struct statfs fs;
    return pTarget[0] != '/' && fstatfs(fdFolder, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// True when a link of fdFolder named pName is one of /proc's links to an open
// file that has no name left: its text is the old name and " (deleted)", and
// following it by name would make a new file of that name.
bool is_deleted_file_link(int fdFolder, const char *pName)
{
    struct statfs fs;
    struct stat st;
    return fstatfs(fdFolder, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC && fstatat(fdFolder, pName, &st, 0) == 0 &&
           st.st_nlink == 0;
}

// Finds the file pPath names, as an open would: pOut->fdFolder gets the
// folder that holds it and pOut->szName its name there, *pSt its status and
// *pbExists whether it exists. Folders are opened by the kernel; the links of
// the last name are followed here, each one relative to its own folder,
// except a /proc link to a pipe or socket, which *pbKernelLink reports (pSt
// is then what it leads to). Returns false with errno set: a loop, a link not
// to be followed, a /proc link to a deleted file, a stat that fails for
// another reason than a missing file, a name too long.
bool find_target(OutputFile *pOut, const char *pPath, struct stat *pSt, bool *pbExists, bool *pbKernelLink)
{
    char szPath[PATH_MAX];
    size_t nLen = strlen(pPath);
    *pbExists = false;
    *pbKernelLink = false;
    if (nLen >= sizeof(szPath)) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(szPath, pPath, nLen + 1);
    int fdBase = AT_FDCWD;
    for (int nHops = 0; nHops <= MAX_LINK_HOPS; nHops++) {
        int fdFolder = split_path(szPath, pOut->szName) ? openat(fdBase, szPath, O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
        int nErrno = errno;
        close_fd(&fdBase);
        if (fdFolder == -1) {
            errno = nErrno;
            return false;
        }
        pOut->fdFolder = fdFolder;
        *pbExists = fstatat(fdFolder, pOut->szName, pSt, AT_SYMLINK_NOFOLLOW) == 0;
        if (!*pbExists) {
            return errno == ENOENT;
        }
        if (!S_ISLNK(pSt->st_mode)) {
            return true;
        }
        if (!may_follow_link(fdFolder, *pSt)) {
            errno = EACCES;
            return false;
        }
        // The kernel keeps a link's target below PATH_MAX bytes: it fits.
        ssize_t nLink = readlinkat(fdFolder, pOut->szName, szPath, sizeof(szPath) - 1);
        if (nLink == -1) {
            return false;
        }
        szPath[nLink] = '\0';
        if (is_kernel_link(fdFolder, szPath)) {
            *pbKernelLink = true;
            return fstatat(fdFolder, pOut->szName, pSt, 0) == 0;
        }
        if (is_deleted_file_link(fdFolder, pOut->szName)) {
            errno = ENOENT;
            return false;
        }
        // The link's target is read from the link's own folder.
        fdBase = fdFolder;
        pOut->fdFolder = -1;
    }
    close_fd(&fdBase);
    errno = ELOOP;
    return false;
}

// A fresh hidden name, ".si-" and six random letters, into szName.
void hidden_name(char *szName)
{
    static const char szLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char szRandom[TEMP_RANDOM] = {};
    if (getrandom(szRandom, sizeof(szRandom), 0) != static_cast<ssize_t>(sizeof(szRandom))) {
        for (int i = 0; i < TEMP_RANDOM; i++) {
            szRandom[i] = static_cast<unsigned char>(rand());
        }
    }
    size_t nPrefix = sizeof(TEMP_PREFIX) - 1;
    memcpy(szName, TEMP_PREFIX, nPrefix);
    for (int i = 0; i < TEMP_RANDOM; i++) {
        szName[nPrefix + i] = szLetters[szRandom[i] % (sizeof(szLetters) - 1)];
    }
    szName[nPrefix + TEMP_RANDOM] = '\0';
}

// Makes a named temporary file, mode 0600, in the target's folder and records
// it for the signal handler. Returns the descriptor or -1.
int make_named_temp(OutputFile *pOut)
{
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    int fd = -1;
    char szName[OUTPUT_TEMP_NAME_SIZE];
    for (int nTry = 0; fd < 0 && nTry < 100; nTry++) {
        hidden_name(szName);
        fd = openat(pOut->fdFolder, szName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            memcpy(pOut->szTemp, szName, sizeof(szName));
            set_pending(pOut, szName);
        } else if (errno != EEXIST) {
            break;
        }
    }
    int nErrno = errno;
    block_cleanup_signals(false, &saved);
    errno = nErrno;
    return fd;
}

// The /proc path of a descriptor, for linking a nameless file.
void proc_path(int fd, char *szPath, size_t nSize)
{
    snprintf(szPath, nSize, "/proc/self/fd/%d", fd);
}

// True when nameless files can be linked in through /proc.
bool proc_links_work()
{
    return access("/proc/self/fd", X_OK) == 0;
}

// Gives a complete nameless file a hidden name, just before it is renamed
// over the target. Returns false on failure.
bool name_nameless_temp(OutputFile *pOut)
{
    char szProc[64];
    proc_path(pOut->fd, szProc, sizeof(szProc));
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    bool bNamed = false;
    char szName[OUTPUT_TEMP_NAME_SIZE];
    for (int nTry = 0; !bNamed && nTry < 100; nTry++) {
        hidden_name(szName);
        if (linkat(AT_FDCWD, szProc, pOut->fdFolder, szName, AT_SYMLINK_FOLLOW) == 0) {
            memcpy(pOut->szTemp, szName, sizeof(szName));
            set_pending(pOut, szName);
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

// bOk; where it is false, *pnErrno gets errno unless an earlier step's is
// there already: the reason the caller reports is the first failure's, not
// that of a close after it.
bool note_failure(bool bOk, int *pnErrno)
{
    *pnErrno = bOk || *pnErrno != 0 ? *pnErrno : errno;
    return bOk;
}

// A complete nameless file becomes a new target directly: it never has
// another name, so no copy of it can stay behind. Closes the output. Returns a
// status; on a failed close the target just made is removed again.
int link_nameless_to_target(OutputFile *pOut)
{
    char szProc[64];
    proc_path(pOut->fd, szProc, sizeof(szProc));
    int nErrno = 0; // the link's or the close's, through the cleanup
    bool bLinked =
        note_failure(linkat(AT_FDCWD, szProc, pOut->fdFolder, pOut->szName, AT_SYMLINK_FOLLOW) == 0, &nErrno);
    int nStatus = bLinked ? OUTPUT_OK : nErrno == EEXIST ? OUTPUT_EXISTS : OUTPUT_WRITE_FAILED;
    if (!note_failure(close_output(pOut), &nErrno) && bLinked) {
        unlinkat(pOut->fdFolder, pOut->szName, 0);
        nStatus = OUTPUT_WRITE_FAILED;
    }
    errno = nStatus == OUTPUT_OK ? errno : nErrno;
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
    unlinkat(pOut->fdFolder, pOut->szTemp, 0);
    set_pending(pOut, "");
    pOut->szTemp[0] = '\0';
    block_cleanup_signals(false, &saved);
}

// Moves the complete, closed temporary file to the target. Returns a status.
int place_temp(OutputFile *pOut)
{
    sigset_t saved;
    block_cleanup_signals(true, &saved);
    int nStatus = OUTPUT_OK;
    int nErrno = 0; // the link's or the rename's, through the cleanup
    if (pOut->bNoClobber) {
        // link() never replaces: an existing file is left as it was.
        if (!note_failure(linkat(pOut->fdFolder, pOut->szTemp, pOut->fdFolder, pOut->szName, 0) == 0, &nErrno)) {
            nStatus = nErrno == EEXIST ? OUTPUT_EXISTS : OUTPUT_WRITE_FAILED;
        }
        unlinkat(pOut->fdFolder, pOut->szTemp, 0);
    } else if (!note_failure(renameat(pOut->fdFolder, pOut->szTemp, pOut->fdFolder, pOut->szName) == 0, &nErrno)) {
        nStatus = OUTPUT_WRITE_FAILED;
        unlinkat(pOut->fdFolder, pOut->szTemp, 0);
    }
    set_pending(pOut, "");
    pOut->szTemp[0] = '\0';
    block_cleanup_signals(false, &saved);
    errno = nStatus == OUTPUT_OK ? errno : nErrno;
    return nStatus;
}

// A nameless file in the temporary folder ($TMPDIR, else /tmp) to hold what
// a target written in place gets only at the commit. Returns it or -1.
int open_spool()
{
    const char *pFolder = getenv("TMPDIR");
    std::string folder = pFolder != nullptr && pFolder[0] != '\0' ? pFolder : "/tmp";
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd != -1) {
        return fd;
    }
    // Without nameless files there: a named one, unnamed at once.
    std::string name = folder + "/.si-spool-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd != -1) {
        unlink(name.c_str());
    }
    return fd;
}

// Opens an existing target that cannot be renamed over (a device or FIFO) to
// be written in place, through a /proc link where bKernelLink; with
// OUTPUT_SPOOL the content goes to a spool first. What is opened must be the
// file looked at (pSt), so that a file put in its place meanwhile is never
// written; nothing is truncated before that is known (a device or FIFO has
// nothing to truncate).
int open_in_place(OutputFile *pOut, unsigned nFlags, bool bKernelLink, const struct stat &looked)
{
    pOut->bInPlace = true;
    int fd = openat(pOut->fdFolder, pOut->szName, O_WRONLY | O_CLOEXEC | O_NOCTTY | (bKernelLink ? 0 : O_NOFOLLOW));
    if (fd == -1) {
        return OUTPUT_OPEN_FAILED;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_dev != looked.st_dev || opened.st_ino != looked.st_ino) {
        close(fd);
        errno = EAGAIN; // the name changed between the look and the open
        return OUTPUT_OPEN_FAILED;
    }
    if ((nFlags & OUTPUT_SPOOL) == 0) {
        pOut->fd = fd;
        return OUTPUT_OK;
    }
    pOut->fdTarget = fd;
    pOut->fd = open_spool();
    return pOut->fd != -1 ? OUTPUT_OK : OUTPUT_OPEN_FAILED;
}

// Copies the whole spool to the target written in place. Returns false on a
// read or write error.
bool copy_spool(OutputFile *pOut)
{
    static unsigned char szPiece[SPOOL_PIECE];
    off_t nOffset = 0;
    for (;;) {
        ssize_t nRead = TEMP_FAILURE_RETRY(pread(pOut->fd, szPiece, sizeof(szPiece), nOffset));
        if (nRead <= 0) {
            return nRead == 0;
        }
        if (!write_all(pOut->fdTarget, szPiece, static_cast<size_t>(nRead))) {
            return false;
        }
        nOffset += nRead;
    }
}

// Finishes a target written in place (from its spool, where it has one).
// Returns a status, with errno the first failure's; output_commit closes what
// is left.
int commit_in_place(OutputFile *pOut, bool bOk)
{
    int nErrno = 0;
    note_failure(bOk, &nErrno);
    if (pOut->fdTarget != -1) {
        bOk = note_failure(bOk && copy_spool(pOut), &nErrno);
        bOk = note_failure(close(pOut->fdTarget) == 0, &nErrno) && bOk;
        pOut->fdTarget = -1;
    }
    bOk = note_failure(close_output(pOut), &nErrno) && bOk;
    errno = bOk ? errno : nErrno;
    return bOk ? OUTPUT_OK : OUTPUT_WRITE_FAILED;
}

// The mode a finished file gets: the replaced file's bits, less set-user-ID
// and set-group-ID where its owner or group could not be kept.
bool set_mode(const OutputFile *pOut)
{
    mode_t nMode = pOut->nMode;
    if (pOut->bReplacing) {
        // Root keeps the owner; anyone may keep a group they belong to.
        if (fchown(pOut->fd, geteuid() == 0 ? pOut->nUid : static_cast<uid_t>(-1), pOut->nGid) != 0) {
            // The content is what matters; the bits below follow what was kept.
        }
        struct stat st;
        if (fstat(pOut->fd, &st) != 0) {
            return false;
        }
        if (st.st_uid != pOut->nUid) {
            nMode &= ~static_cast<mode_t>(S_ISUID);
        }
        if (st.st_gid != pOut->nGid) {
            nMode &= ~static_cast<mode_t>(S_ISGID);
        }
    }
    return fchmod(pOut->fd, nMode) == 0;
}

// Finds the target of pPath as find_target does and applies nFlags' rule to
// one that exists: OUTPUT_NO_CLOBBER refuses anything, OUTPUT_KEEP_DATA what
// holds data (a regular file, a block device); a folder and a socket cannot
// be written. Returns OUTPUT_OK, OUTPUT_EXISTS or OUTPUT_OPEN_FAILED (errno
// set).
int look_at_target(OutputFile *pOut, const char *pPath, unsigned nFlags, struct stat *pSt, bool *pbExists,
                   bool *pbKernelLink)
{
    if (!find_target(pOut, pPath, pSt, pbExists, pbKernelLink)) {
        return OUTPUT_OPEN_FAILED;
    }
    bool bData = *pbExists && (S_ISREG(pSt->st_mode) || S_ISBLK(pSt->st_mode));
    if (*pbExists && ((nFlags & OUTPUT_NO_CLOBBER) != 0 || ((nFlags & OUTPUT_KEEP_DATA) != 0 && bData))) {
        return OUTPUT_EXISTS;
    }
    if (*pbExists && (S_ISDIR(pSt->st_mode) || S_ISSOCK(pSt->st_mode))) {
        errno = S_ISDIR(pSt->st_mode) ? EISDIR : ENXIO;
        return OUTPUT_OPEN_FAILED;
    }
    return OUTPUT_OK;
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

void output_signal_also(pid_t nGroup)
{
    g_nAlso = nGroup;
}

void output_end_also()
{
    if (g_nAlso > 0) {
        end_group(static_cast<pid_t>(g_nAlso), SIGTERM);
    }
    g_nAlso = 0;
}

int output_open(OutputFile *pOut, const char *pPath, unsigned nFlags)
{
    *pOut = OutputFile();
    secrets_clear_registers(); // the open may wait for a FIFO's reader
    pOut->bSecret = (nFlags & OUTPUT_SECRET) != 0;
    // A new file is linked in, never renamed over one made meanwhile.
    pOut->bNoClobber = (nFlags & (OUTPUT_NO_CLOBBER | OUTPUT_KEEP_DATA)) != 0;
    struct stat st;
    bool bExists = false;
    bool bKernelLink = false;
    int nStatus = look_at_target(pOut, pPath, nFlags, &st, &bExists, &bKernelLink);
    if (nStatus != OUTPUT_OK) {
        // refused as it is
    } else if (bExists && (!S_ISREG(st.st_mode) || bKernelLink)) {
        nStatus = open_in_place(pOut, nFlags, bKernelLink, st);
    } else if (bExists && faccessat(pOut->fdFolder, pOut->szName, W_OK, AT_EACCESS) != 0) {
        nStatus = OUTPUT_OPEN_FAILED;
    } else {
        if (bExists) {
            pOut->bReplacing = true;
            pOut->nMode = st.st_mode & 07777;
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
        // A nameless file until it is complete, so that not even SIGKILL can
        // leave it behind; it is linked in through /proc.
        bool bNameless = proc_links_work();
        pOut->fd = bNameless ? openat(pOut->fdFolder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
        if (pOut->fd < 0 &&
            (!bNameless || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == EACCES)) {
            // A file system without nameless files: a named one, removed on
            // failure and by the signal handler. (EACCES is tried again here
            // to give open's own answer for a closed folder.)
            pOut->fd = make_named_temp(pOut);
        }
        nStatus = pOut->fd >= 0 ? OUTPUT_OK : OUTPUT_OPEN_FAILED;
    }
    if (nStatus != OUTPUT_OK) {
        int nErrno = errno;
        output_abort(pOut);
        errno = nErrno;
    }
    return nStatus;
}

int output_check(const char *pPath, unsigned nFlags)
{
    OutputFile out;
    struct stat st;
    bool bExists = false;
    bool bKernelLink = false;
    int nStatus = look_at_target(&out, pPath, nFlags, &st, &bExists, &bKernelLink);
    int nErrno = errno;
    output_abort(&out);
    errno = nErrno;
    return nStatus;
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
    bool bOk = pOut->fd != -1 && (pOut->fp == nullptr || (fflush(pOut->fp) == 0 && !ferror(pOut->fp)));
    bOk = bOk && (pOut->bInPlace || (set_mode(pOut) && fdatasync(pOut->fd) == 0));
    int nErrno = 0; // a failure above is noted by commit_in_place, or by the first step below
    int nStatus = OUTPUT_WRITE_FAILED;
    if (pOut->bInPlace) {
        nStatus = commit_in_place(pOut, bOk);
    } else if (bOk && pOut->szTemp[0] == '\0' && pOut->bNoClobber) {
        nStatus = link_nameless_to_target(pOut);
    } else {
        bOk = note_failure(bOk && (pOut->szTemp[0] != '\0' || name_nameless_temp(pOut)), &nErrno);
        // The last close can be where a write first fails: only then is it
        // renamed. The content is on disk before it gets the target's name,
        // so a power cut leaves the previous file or the whole new one; the
        // folder is not synced: a rename lost with it leaves the previous
        // file, which is still whole.
        bOk = note_failure(close_output(pOut), &nErrno) && bOk;
        nStatus = bOk ? place_temp(pOut) : OUTPUT_WRITE_FAILED;
    }
    note_failure(nStatus == OUTPUT_OK, &nErrno);
    output_abort(pOut);
    errno = nErrno;
    return nStatus;
}

void output_abort(OutputFile *pOut)
{
    int nErrno = errno; // the caller's failure, which it may report after this
    close_output(pOut);
    remove_temp(pOut);
    close_fd(&pOut->fdTarget);
    close_fd(&pOut->fdFolder);
    errno = nErrno;
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

bool read_full(int fd, unsigned char *pBuffer, size_t nSize, size_t *pnRead)
{
    *pnRead = 0;
    ssize_t nRead = 1;
    while (*pnRead < nSize && nRead > 0) {
        nRead = TEMP_FAILURE_RETRY(read(fd, pBuffer + *pnRead, nSize - *pnRead));
        *pnRead += nRead > 0 ? static_cast<size_t>(nRead) : 0;
    }
    return nRead >= 0;
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

bool same_file_or_name(const char *pPathA, const char *pPathB)
{
    // Where one is not there yet: the same last name in the same folder (a
    // name without '/' is in ".").
    std::string folders[2];
    std::string names[2];
    const char *pPaths[2] = {pPathA, pPathB};
    for (int i = 0; i < 2; i++) {
        std::string path = pPaths[i];
        size_t nSlash = path.rfind('/');
        names[i] = path.substr(nSlash + 1); // npos + 1 is 0: the whole name
        folders[i] = path.substr(0, nSlash + 1) + ".";
    }
    return same_file(pPathA, pPathB) ||
           (names[0] == names[1] && !names[0].empty() && same_file(folders[0].c_str(), folders[1].c_str()));
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
