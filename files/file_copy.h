// SPDX-License-Identifier: Apache-2.0
// Copying the data of a regular file into another inside the kernel, holes
// left as holes: the signing tool's copy of an image's tail, verify_tool's
// restored image.
#pragma once

#include <sys/types.h>

enum CopyStatus { COPY_OK, COPY_READ_ERROR, COPY_WRITE_ERROR };

// Copies the data extents of fdIn between nFrom and nTo to the same offsets of
// fdOut, so that holes stay holes as with cp: inside the kernel
// (copy_file_range), or where it refuses (across file systems) with pread and
// pwrite. An input that ends early, or shrinks while it is copied, is a read
// error with errno 0; any other error leaves the failing call's errno. fdOut's
// size is not set.
CopyStatus copy_extents(int fdIn, off_t nFrom, off_t nTo, int fdOut);
