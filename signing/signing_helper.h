// SPDX-License-Identifier: Apache-2.0
// A signing helper: a program that holds the private key where this tool
// cannot reach it (a signing server's client, a smart card's tool, a cloud
// key service) and computes one raw RSA private-key operation per call.
#pragma once

#include <string>

#include "image_format.h"

// The first argument a signing helper gets: the operation it is asked for.
constexpr const char *SIGNING_HELPER_ALGORITHM = "rsa-raw";

// Runs pProgram (found on PATH, no shell) with the arguments "rsa-raw" and
// pKeyArg, writes the SI_BLOCK_SIZE bytes at pInput (a big-endian number
// below the modulus) to its standard input and reads exactly SI_BLOCK_SIZE
// bytes of result from its standard output into pOutput. Its standard error
// is ours; it gets no other descriptor of ours. SIGINT, SIGTERM and SIGHUP end
// it too. No time limit: a helper may wait for a person. Returns true, or
// false with *pWhy: it cannot be started, exits with a status other than 0 or
// by a signal, or writes another number of bytes.
bool run_signing_helper(const char *pProgram, const char *pKeyArg, const unsigned char *pInput, unsigned char *pOutput,
                        std::string *pWhy);
