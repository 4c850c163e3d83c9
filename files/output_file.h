// SPDX-License-Identifier: Apache-2.0
// One way to write a file, used by the three tools: the new content goes into
// a temporary file beside the target (nameless, O_TMPFILE, where the file
// system allows; else a hidden .si-XXXXXX file) and is renamed over it once
// complete, so that the target holds the previous file or the whole new one,
// never anything in between. Targets that cannot be renamed over (a device, a
// FIFO) are written in place and never removed.
//
// Symbolic links in the target's name are followed as the kernel follows them
// for an open with fs.protected_symlinks set: the folders by the kernel itself,
// the last name's links one at a time, and a link in a sticky world-writable
// folder (such as /tmp) only when its owner is the caller or the folder's
// owner. The temporary file and the rename are made relative to the folder
// that holds the target, so no path is ever put together by hand.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>
#include <sys/types.h>

enum OutputFlags {
    OUTPUT_REPLACE = 0,
    OUTPUT_NO_CLOBBER = 1 << 0, // an existing target is refused, and never replaced
    OUTPUT_SECRET = 1 << 1,     // mode 0600 when complete too
    OUTPUT_SPOOL = 1 << 2,      // a target written in place gets nothing before output_commit: the content
                                // waits in a nameless file in the temporary folder
    OUTPUT_KEEP_DATA = 1 << 3,  // as OUTPUT_NO_CLOBBER for what holds data (a regular file, a block device),
                                // which is refused and never replaced; a FIFO or character device, which
                                // keeps nothing to lose, is written in place
};

enum OutputStatus {
    OUTPUT_OK = 0,
    OUTPUT_EXISTS,      // OUTPUT_NO_CLOBBER (or OUTPUT_KEEP_DATA) and the target exists
    OUTPUT_OPEN_FAILED, // the target cannot be written, or no file can be made beside it
    OUTPUT_WRITE_FAILED // a write, flush or close failed; the target is as it was
};

constexpr int OUTPUT_TEMP_NAME_SIZE = 16; // ".si-" and six random letters

// A file being written. fd is where to write (the temporary file, the spool,
// or a target written in place); fp is an optional stdio stream on fd that
// the caller opened with output_stream.
struct OutputFile {
    int fd = -1;
    FILE *fp = nullptr;
    int fdFolder = -1;       // the folder that holds the target, symbolic links followed
    int fdTarget = -1;       // with OUTPUT_SPOOL, a target written in place at the commit
    bool bInPlace = false;   // the target itself: a device or FIFO
    bool bSecret = false;
    bool bNoClobber = false;
    bool bReplacing = false; // an existing regular file is replaced
    mode_t nMode = 0;        // mode bits of the finished file
    uid_t nUid = 0;
    gid_t nGid = 0;
    char szName[NAME_MAX + 1] = {};           // the target's name in fdFolder
    char szTemp[OUTPUT_TEMP_NAME_SIZE] = {}; // the temporary file's name in fdFolder, empty while it has none
};

// Ignores SIGPIPE and SIGXFSZ, so that EPIPE and EFBIG come back as write
// errors, and makes SIGINT, SIGTERM and SIGHUP remove a pending temporary file
// before the process ends with the signal. Call once at start.
void output_install_signal_handlers();

// Makes the cleanup signals go to process group nGroup too (0: none): a
// program the tool started in a group of its own, and whatever it started.
// The signal goes to the whole group, then SIGKILL to what is left of it
// after 2 s, before the signal ends this process.
void output_signal_also(pid_t nGroup);

// Ends the group output_signal_also named, as the tool refuses its program's
// result, fails or ends: SIGTERM, then SIGKILL to what is left after 2 s;
// returns once none of it is left (or 2 s after SIGKILL), its processes that
// are this one's children reaped. Then no group is named.
void output_end_also();

// Prepares writing pPath: a temporary file in the target's folder (mode 0600
// until complete), or the target itself where it cannot be renamed over (with
// OUTPUT_SPOOL, a spool for it). A name whose stat fails for any reason but a
// missing file, a link the kernel would not follow, a folder and a socket are
// open errors. A target written in place must still be the file looked at when
// it is opened. Returns OUTPUT_OK, OUTPUT_EXISTS or OUTPUT_OPEN_FAILED (errno
// kept).
int output_open(OutputFile *pOut, const char *pPath, unsigned nFlags);

// What output_open would answer for pPath and nFlags, without making or
// opening anything: OUTPUT_OK, OUTPUT_EXISTS or OUTPUT_OPEN_FAILED (errno
// kept). For refusing early; output_open and output_commit still decide.
int output_check(const char *pPath, unsigned nFlags);

// A stdio stream on the output, owned by pOut from then on. Null on failure.
FILE *output_stream(OutputFile *pOut);

// Finishes the file: flushes and syncs it, gives it its mode (set-user-ID and
// set-group-ID only where the replaced file's owner and group are kept), and
// renames it over the target (links it, with OUTPUT_NO_CLOBBER or
// OUTPUT_KEEP_DATA, so that a file made there meanwhile is kept); a spool is
// copied to its target. On any failure removes the temporary file and leaves
// the target as it was. Returns OUTPUT_OK, OUTPUT_EXISTS or
// OUTPUT_WRITE_FAILED.
int output_commit(OutputFile *pOut);

// Drops the new content: removes the temporary file (never the target) and
// closes. Safe to call after a failed open or a commit.
void output_abort(OutputFile *pOut);

// Writes the whole file pPath from nLen bytes at pData, as output_open with
// nFlags and output_commit do. Returns their status.
int output_write_file(const char *pPath, const unsigned char *pData, size_t nLen, unsigned nFlags);

// Reads up to nSize bytes from fd, as many reads as it takes. *pnRead gets
// the count, short only at the end of the file. Returns false on a read error.
bool read_full(int fd, unsigned char *pBuffer, size_t nSize, size_t *pnRead);

// Writes all nLen bytes to fd, going on after short writes and
// interruptions. Returns false on an error.
bool write_all(int fd, const void *pData, size_t nLen);

// True when both paths name the same existing file (device and inode),
// however they are spelled.
bool same_file(const char *pPathA, const char *pPathB);

// True when both paths name the same file: the same existing file, or the
// same last name in the same existing folder (device and inode), so that
// writing one where it is not there yet would make the other.
bool same_file_or_name(const char *pPathA, const char *pPathB);

// Writes all nLen bytes at nOffset of fd with pwrite, going on after short
// writes and interruptions. Returns false on an error.
bool write_all_at(int fd, const unsigned char *pData, size_t nLen, long long nOffset);
