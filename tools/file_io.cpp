// File writing shared by the three tools.
#include "file_io.h"

#include <cerrno>
#include <unistd.h>

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
