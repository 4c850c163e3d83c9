// SPDX-License-Identifier: Apache-2.0
// Running a signing helper for one raw RSA operation.
#include "signing_helper.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
// glibc 2.36's header has no extern "C" guard of its own.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "output_file.h"
#include "token_uri.h"

namespace {

// In the child: a process group of its own (with the terminal fdTerminal as
// its foreground, where the tool had it), the helper's streams and no other
// descriptor of ours (every one from 3 on closes at the exec), default signal
// handling, then the program. Reports errno on fdError and exits 127 when any
// step fails.
[[noreturn]] void exec_helper(const char *pProgram, const char *pKeyArg, int fdIn, int fdOut, int fdError,
                              int fdTerminal, const sigset_t *pMask)
{
    // Signals are blocked here, so a group in the background may take the terminal.
    if (setpgid(0, 0) == 0 && (fdTerminal == -1 || tcsetpgrp(fdTerminal, getpid()) == 0) &&
        dup2(fdIn, STDIN_FILENO) == STDIN_FILENO && dup2(fdOut, STDOUT_FILENO) == STDOUT_FILENO &&
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

// The controlling terminal where this process's group is its foreground group
// (the helper gets it then: it may ask a person there), else -1.
int foreground_terminal()
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd != -1 && tcgetpgrp(fd) != getpgrp()) {
        close_fd(&fd);
    }
    return fd;
}

// Gives the terminal back to this process's group, now in the background
// (so SIGTTOU is blocked meanwhile), and closes it.
void take_terminal(int *pfdTerminal)
{
    if (*pfdTerminal == -1) {
        return;
    }
    sigset_t stop;
    sigset_t saved;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTTOU);
    sigprocmask(SIG_BLOCK, &stop, &saved);
    tcsetpgrp(*pfdTerminal, getpgrp());
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close_fd(pfdTerminal);
}

// Reads the helper's output from fdOut into szResult (SI_BLOCK_SIZE + 1
// bytes: one more tells "too long") until its end or until fdExit, its pidfd,
// says it has exited, then what is in the pipe already: what a process it left
// behind writes later, or its holding the pipe open, is not waited for. Stops
// early when there is too much. Every byte comes through the one read below,
// before the exit or after it. *pnResult gets the count. Returns 0 when the
// output ended, the helper exited or wrote too much, or errno when it cannot
// be watched.
int collect_result(int fdOut, int fdExit, unsigned char *szResult, size_t *pnResult)
{
    pollfd fds[2] = {{fdOut, POLLIN, 0}, {fdExit, POLLIN, 0}};
    bool bExited = false;
    *pnResult = 0;
    while (*pnResult <= SI_BLOCK_SIZE) {
        if (!bExited && poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (!bExited && fds[1].revents != 0) {
            bExited = true;
            fcntl(fdOut, F_SETFL, O_NONBLOCK);
        }
        if (bExited || fds[0].revents != 0) {
            // It does not block: poll said so, or the pipe is non-blocking now.
            ssize_t n = read(fdOut, szResult + *pnResult, SI_BLOCK_SIZE + 1 - *pnResult);
            if (n > 0) {
                *pnResult += static_cast<size_t>(n);
            } else if (n == 0 || errno != EINTR) {
                break; // at its end, or nothing more there: its exit is waited for after
            }
        }
    }
    return 0;
}

} // namespace

bool run_signing_helper(const char *pProgram, const char *pKeyArg, const unsigned char *pInput, unsigned char *pOutput,
                        std::string *pWhy)
{
    int fdsIn[2] = {-1, -1};
    int fdsOut[2] = {-1, -1};
    int fdsError[2] = {-1, -1};
    int fdTerminal = foreground_terminal();
    pid_t pid = -1;
    // What the helper leaves behind becomes ours when it exits, to be ended and reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (pipe2(fdsIn, O_CLOEXEC) == 0 && pipe2(fdsOut, O_CLOEXEC) == 0 && pipe2(fdsError, O_CLOEXEC) == 0) {
        // No signal may come between the fork and noting the helper's group for it.
        sigset_t all;
        sigset_t saved;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &saved);
        pid = fork();
        if (pid == 0) {
            exec_helper(pProgram, pKeyArg, fdsIn[0], fdsOut[1], fdsError[1], fdTerminal, &saved);
        }
        if (pid > 0) {
            // As the child does, so that the group exists whichever comes first.
            setpgid(pid, pid);
            if (fdTerminal != -1) {
                tcsetpgrp(fdTerminal, pid);
            }
        }
        output_signal_also(pid > 0 ? pid : 0);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
    }
    int nErrno = errno;
    // The child's ends, but for its input's: what the helper leaves unread stays there to be seen.
    for (int *pEnd : {&fdsOut[1], &fdsError[1]}) {
        close_fd(pEnd);
    }
    std::string helper = "the signing helper " + token_uri_printable(pProgram);
    if (pid < 0) {
        *pWhy = "cannot start " + helper + ": " + strerror(nErrno);
        for (int *pEnd : {&fdsIn[0], &fdsIn[1], &fdsOut[0], &fdsError[0]}) {
            close_fd(pEnd);
        }
        close_fd(&fdTerminal);
        return false;
    }
    int fdExit = pidfd_open(pid, 0);
    int nWatchErrno = fdExit == -1 ? errno : 0;
    int nExecErrno = 0;
    bool bNotStarted = read(fdsError[0], &nExecErrno, sizeof(nExecErrno)) == static_cast<ssize_t>(sizeof(nExecErrno));
    close_fd(&fdsError[0]);
    // It fits the pipe, whose read end is ours too: the write neither waits nor fails when the helper does not read.
    bool bWritten = write_all(fdsIn[1], pInput, SI_BLOCK_SIZE);
    close_fd(&fdsIn[1]);
    unsigned char szResult[SI_BLOCK_SIZE + 1];
    size_t nResult = 0;
    if (!bNotStarted && nWatchErrno == 0) {
        nWatchErrno = collect_result(fdsOut[0], fdExit, szResult, &nResult);
    }
    close_fd(&fdsOut[0]);
    // Its status, kept for now: its zombie keeps the group's number ours until the group is ended.
    siginfo_t info = {};
    bool bExited = !bNotStarted && nWatchErrno == 0 && nResult <= SI_BLOCK_SIZE &&
                   TEMP_FAILURE_RETRY(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT)) == 0;
    output_end_also();
    close_fd(&fdExit);
    // Its input is read whole by the time it exits.
    int nUnread = SI_BLOCK_SIZE;
    bool bRead = bWritten && ioctl(fdsIn[0], FIONREAD, &nUnread) == 0 && nUnread == 0;
    close_fd(&fdsIn[0]);
    bool bTerminal = fdTerminal != -1;
    take_terminal(&fdTerminal);
    bool bKilled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
    if (bExited && bKilled && info.si_status == SIGINT && bTerminal) {
        raise(SIGINT); // Ctrl-C reached the helper, which had the terminal: it ends the tool as it would have
    }
    if (bNotStarted) {
        *pWhy = "cannot start " + helper + ": " + strerror(nExecErrno);
    } else if (nResult > SI_BLOCK_SIZE) {
        // Whatever it would have done after that.
        *pWhy = helper + " wrote more than " + std::to_string(SI_BLOCK_SIZE) + " bytes";
    } else if (!bExited) {
        *pWhy = "cannot wait for " + helper + ": " + strerror(nWatchErrno);
    } else if (bKilled) {
        *pWhy = helper + " was ended by signal " + std::to_string(info.si_status) + " (" + strsignal(info.si_status) +
                ")";
    } else if (info.si_status != 0) {
        *pWhy = helper + " exited with status " + std::to_string(info.si_status);
    } else if (nResult < SI_BLOCK_SIZE) {
        *pWhy = helper + " wrote " + std::to_string(nResult) + " bytes, not " + std::to_string(SI_BLOCK_SIZE);
    } else if (!bRead) {
        *pWhy = helper + " did not read its input";
    } else {
        memcpy(pOutput, szResult, SI_BLOCK_SIZE);
        return true;
    }
    return false;
}
