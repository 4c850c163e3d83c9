// SPDX-License-Identifier: Apache-2.0
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

// In the child: the helper's streams and no other descriptor of ours (every
// one from 3 on closes at the exec), default signal handling, then the
// program. Reports errno on fdError and exits 127 when any step fails.
[[noreturn]] void exec_helper(const char *pProgram, const char *pKeyArg, int fdIn, int fdOut, int fdError,
                              const sigset_t *pMask)
{
    if (dup2(fdIn, STDIN_FILENO) == STDIN_FILENO && dup2(fdOut, STDOUT_FILENO) == STDOUT_FILENO &&
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        // Ignored signals stay ignored across exec: the helper gets the defaults.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        sigprocmask(SIG_SETMASK, pMask, nullptr);
        char *argv[] = {const_cast<char *>(pProgram), const_cast<char *>(SIGNING_HELPER_ALGORITHM),
                        const_cast<char *>(pKeyArg), nullptr};
        execvp(pProgram, argv);
    }
    int nErrno = errno;
    // Where even this fails, the parent sees status 127 without a reason.
    _exit(write(fdError, &nErrno, sizeof(nErrno)) == static_cast<ssize_t>(sizeof(nErrno)) ? 127 : 126);
}

// Closes *pfd where it is open.
void close_fd(int *pfd)
{
    if (*pfd != -1) {
        close(*pfd);
    }
    *pfd = -1;
}

// Waits for the helper. Returns its raw wait status.
int wait_helper(pid_t pid)
{
    int nStatus = 0;
    TEMP_FAILURE_RETRY(waitpid(pid, &nStatus, 0));
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
    pid_t pid = -1;
    if (pipe2(fdsIn, O_CLOEXEC) == 0 && pipe2(fdsOut, O_CLOEXEC) == 0 && pipe2(fdsError, O_CLOEXEC) == 0) {
        // No signal may come between the fork and noting the helper for it.
        sigset_t all;
        sigset_t saved;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &saved);
        pid = fork();
        if (pid == 0) {
            exec_helper(pProgram, pKeyArg, fdsIn[0], fdsOut[1], fdsError[1], &saved);
        }
        output_signal_also(pid > 0 ? pid : 0);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
    }
    int nErrno = errno;
    for (int *pEnd : {&fdsIn[0], &fdsOut[1], &fdsError[1]}) {
        close_fd(pEnd); // the child's ends
    }
    if (pid < 0) {
        *pWhy = std::string("cannot start the signing helper ") + pProgram + ": " + strerror(nErrno);
        for (int *pEnd : {&fdsIn[1], &fdsOut[0], &fdsError[0]}) {
            close_fd(pEnd);
        }
        return false;
    }
    // A helper that exits without reading its input makes this write fail;
    // what it did is told by its status and its output below.
    bool bWritten = write_all(fdsIn[1], pInput, SI_BLOCK_SIZE);
    close_fd(&fdsIn[1]);
    unsigned char szResult[SI_BLOCK_SIZE + 1];
    size_t nResult = 0;
    read_full(fdsOut[0], szResult, sizeof(szResult), &nResult); // a failed read is told as a short result
    close_fd(&fdsOut[0]);
    int nExecErrno = 0;
    bool bNotStarted = read(fdsError[0], &nExecErrno, sizeof(nExecErrno)) == static_cast<ssize_t>(sizeof(nExecErrno));
    close_fd(&fdsError[0]);
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
