// SPDX-License-Identifier: Apache-2.0
// Copying the data extents of a regular file inside the kernel.
#include "file_copy.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <sys/stat.h>
#include <unistd.h>

#include "image_format.h"
#include "output_file.h"

namespace {

constexpr size_t KERNEL_COPY_PIECE = size_t{1} << 30;

// Which side failed when a copy inside the kernel reports an error it shares
// between both: the input is at fault when one byte of it cannot be read.
CopyStatus blame_copy_error(int fdIn, off_t nOffset)
{
    unsigned char nByte = 0;
    ssize_t nRead = pread(fdIn, &nByte, 1, nOffset);
    if (nRead == 0) {
        errno = 0; // it ended early
    }
    return nRead == 1 ? COPY_WRITE_ERROR : COPY_READ_ERROR;
}

// Copies bytes nFrom to nTo of fdIn to the same offsets of fdOut: inside the
// kernel while *pbKernel, else (once the kernel refuses, as across file
// systems) through pread and pwrite. An input that ends early is a read error.
CopyStatus copy_range(int fdIn, int fdOut, off_t nFrom, off_t nTo, bool *pbKernel)
{
    unsigned char szPiece[SI_WINDOW_SIZE];
    while (nFrom < nTo) {
        size_t nWant = static_cast<size_t>(nTo - nFrom);
        if (*pbKernel) {
            off_t nInPos = nFrom;
            off_t nOutPos = nFrom;
            ssize_t nCopied = copy_file_range(fdIn, &nInPos, fdOut, &nOutPos, std::min(nWant, KERNEL_COPY_PIECE), 0);
            if (nCopied > 0) {
                nFrom += nCopied;
            } else if (nCopied == 0) {
                errno = 0; // it ended early
                return COPY_READ_ERROR;
            } else if (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS) {
                *pbKernel = false;
            } else if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) {
                return COPY_WRITE_ERROR;
            } else if (errno != EINTR) {
                return blame_copy_error(fdIn, nFrom);
            }
            continue;
        }
        ssize_t nRead = TEMP_FAILURE_RETRY(pread(fdIn, szPiece, std::min(nWant, sizeof(szPiece)), nFrom));
        if (nRead <= 0) {
            errno = nRead == 0 ? 0 : errno; // 0: it ended early
            return COPY_READ_ERROR;
        }
        if (!write_all_at(fdOut, szPiece, static_cast<size_t>(nRead), nFrom)) {
            return COPY_WRITE_ERROR;
        }
        nFrom += nRead;
    }
    return COPY_OK;
}

} // namespace

CopyStatus copy_extents(int fdIn, off_t nFrom, off_t nTo, int fdOut)
{
    bool bKernel = true;
    off_t nPos = nFrom;
    while (nPos < nTo) {
        off_t nData = lseek(fdIn, nPos, SEEK_DATA);
        if (nData < 0 && errno == ENXIO) {
            break; // a hole up to the end
        }
        off_t nHole = nData < 0 ? -1 : lseek(fdIn, nData, SEEK_HOLE);
        if (nData < 0 || nHole < 0) {
            return COPY_READ_ERROR;
        }
        nHole = std::min(nHole, nTo);
        CopyStatus nStatus = nData < nHole ? copy_range(fdIn, fdOut, nData, nHole, &bKernel) : COPY_OK;
        if (nStatus != COPY_OK) {
            return nStatus;
        }
        nPos = std::max(nHole, nData + 1);
    }
    // An input that shrank while it was copied lost bytes we did not read.
    struct stat st;
    if (fstat(fdIn, &st) != 0) {
        return COPY_READ_ERROR;
    }
    if (st.st_size < nTo) {
        errno = 0;
        return COPY_READ_ERROR;
    }
    return COPY_OK;
}
