// SPDX-License-Identifier: Apache-2.0
// Keeping private exponents out of a tool's process image: no core dumps
// while a key is held, nothing of it in vector registers while the tool waits,
// nor on the stack or in registers when it exits; and no file of ours on a
// standard descriptor.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the tool opens is ever one of them, where a message, a helper's
// standard error or a prompt would reach it. Each tool's main calls it first
// of all. Ends the process (SIGABRT) where /dev/null cannot be opened.
void process_open_standard_descriptors();

// Makes the process non-dumpable. Each tool's main calls it first, before it
// parses its arguments: a private exponent, a passphrase or a PIN (from a URI,
// a file or the terminal) may be read at any point of a run after that.
void secrets_protect_process();

// Clears the vector registers, where the C library's copies leave the last
// bytes they moved (with AVX-512, 64 bytes in each of zmm16-31, which nothing
// else touches). Called by each reader of a secret before it returns, and
// before an output is opened, where the tool may wait on another process
// (a FIFO, a terminal) while a core is taken.
void secrets_clear_registers();

// Wipes the stack below the caller (where a lazy binder of a library may have
// saved registers that held key bytes) and clears the vector registers. Call
// in main, after the work and before returning.
void secrets_wipe_at_exit();
