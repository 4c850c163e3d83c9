// Running a signing helper for one raw RSA operation.
#include "signing_helper.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "output_file.h"

namespace {

// Marks every descriptor from 3 on close-on-exec, so that the helper gets
// only its three streams.
void close_others_on_exec()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    long nMax = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (nMax > 0 ? nMax : 1024); fd++) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

// In the child: the helper's streams, default signal handling, then the
// program. Reports exec's errno on fdError and exits 127 when it fails.
[[noreturn]] void exec_helper(const char *pProgram, const char *pKeyArg, int fdIn, int fdOut, int fdError,
                              const sigset_t *pMask)
{
    if (dup2(fdIn, STDIN_FILENO) < 0 || dup2(fdOut, STDOUT_FILENO) < 0) {
        _exit(127);
    }
    close_others_on_exec();
    // Ignored signals stay ignored across exec: the helper gets the defaults.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    sigprocmask(SIG_SETMASK, pMask, nullptr);
    char *argv[] = {const_cast<char *>(pProgram), const_cast<char *>(SIGNING_HELPER_ALGORITHM),
                    const_cast<char *>(pKeyArg), nullptr};
    execvp(pProgram, argv);
    int nErrno = errno;
    if (write(fdError, &nErrno, sizeof(nErrno)) < 0) {
        // The parent then sees status 127 without a reason.
    }
    _exit(127);
}

// Reads up to nSize bytes from fd until its end. Returns the count read.
size_t read_until_end(int fd, unsigned char *p, size_t nSize)
{
    size_t nDone = 0;
    while (nDone < nSize) {
        ssize_t n = read(fd, p + nDone, nSize - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        nDone += static_cast<size_t>(n);
    }
    return nDone;
}

// Closes both ends of a pipe that are open.
void close_pipe(int *pFds)
{
    for (int i = 0; i < 2; i++) {
        if (pFds[i] >= 0) {
            close(pFds[i]);
        }
        pFds[i] = -1;
    }
}

// Waits for the helper. Returns its raw wait status.
int wait_helper(pid_t pid)
{
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    output_signal_also(0);
    return nStatus;
}

} // namespace

bool run_signing_helper(const char *pProgram, const char *pKeyArg, const unsigned char *pInput, unsigned char *pOutput,
                        std::string *pWhy)
{
    int fdsIn[2] = {-1, -1};
    int fdsOut[2] = {-1, -1};
    int fdsError[2] = {-1, -1};
    if (pipe2(fdsIn, O_CLOEXEC) != 0 || pipe2(fdsOut, O_CLOEXEC) != 0 || pipe2(fdsError, O_CLOEXEC) != 0) {
        *pWhy = std::string("cannot make pipes for the signing helper: ") + strerror(errno);
        close_pipe(fdsIn);
        close_pipe(fdsOut);
        close_pipe(fdsError);
        return false;
    }
    // No signal may come between the fork and noting the helper for it.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    pid_t pid = fork();
    if (pid == 0) {
        exec_helper(pProgram, pKeyArg, fdsIn[0], fdsOut[1], fdsError[1], &saved);
    }
    int nForkErrno = errno;
    if (pid > 0) {
        output_signal_also(pid);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(fdsIn[0]);
    close(fdsOut[1]);
    close(fdsError[1]);
    fdsIn[0] = fdsOut[1] = fdsError[1] = -1;
    if (pid < 0) {
        *pWhy = std::string("cannot start the signing helper ") + pProgram + ": " + strerror(nForkErrno);
        close_pipe(fdsIn);
        close_pipe(fdsOut);
        close_pipe(fdsError);
        return false;
    }
    // A helper that exits without reading its input makes this write fail;
    // what it did is told by its status and its output below.
    bool bWritten = write_all(fdsIn[1], pInput, SI_BLOCK_SIZE);
    close_pipe(fdsIn);
    unsigned char szResult[SI_BLOCK_SIZE + 1];
    size_t nResult = read_until_end(fdsOut[0], szResult, sizeof(szResult));
    close_pipe(fdsOut);
    int nExecErrno = 0;
    bool bNotStarted = read(fdsError[0], &nExecErrno, sizeof(nExecErrno)) == static_cast<ssize_t>(sizeof(nExecErrno));
    close_pipe(fdsError);
    int nStatus = wait_helper(pid);
    std::string helper = std::string("the signing helper ") + pProgram;
    if (bNotStarted) {
        *pWhy = "cannot start " + helper + ": " + strerror(nExecErrno);
    } else if (nResult > SI_BLOCK_SIZE) {
        // Whatever ended it after that (the closed pipe, say).
        *pWhy = helper + " wrote more than " + std::to_string(SI_BLOCK_SIZE) + " bytes";
    } else if (WIFSIGNALED(nStatus)) {
        *pWhy = helper + " was ended by signal " + std::to_string(WTERMSIG(nStatus)) + " (" +
                strsignal(WTERMSIG(nStatus)) + ")";
    } else if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        *pWhy = helper + " exited with status " + std::to_string(WEXITSTATUS(nStatus));
    } else if (nResult < SI_BLOCK_SIZE) {
        *pWhy = helper + " wrote " + std::to_string(nResult) + " bytes, not " + std::to_string(SI_BLOCK_SIZE);
    } else if (!bWritten) {
        *pWhy = helper + " did not read its input";
    } else {
        memcpy(pOutput, szResult, SI_BLOCK_SIZE);
        return true;
    }
    return false;
}
