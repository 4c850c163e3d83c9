// File writing shared by the three tools.
#pragma once

#include <cstddef>

// Writes all nLen bytes at nOffset of fd with pwrite, going on after short
// writes and interruptions. Returns false on an error.
bool write_all_at(int fd, const unsigned char *pData, size_t nLen, long long nOffset);
