#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Makes the example files: an image, a code file and two TEST-ONLY key files.
# The keys' private exponents are public in this repository: never sign a
# real image with them.
#   usage: examples/make_examples.sh KEY_TOOL
set -eu
key_tool=$1
cd "$(dirname "$0")"
# Deterministic filler: AES-CTR over zeros with a fixed key.
filler() {
    openssl enc -aes-128-ctr -nosalt -K "$1" -iv 00000000000000000000000000000000 -in /dev/zero 2>/dev/null |
        head -c "$2"
}
filler 00112233445566778899aabbccddeeff 40000 > input.img
filler ffeeddccbbaa99887766554433221100 16384 > code.bin
"$key_tool" generate --force --bits 1024 sign_test.key
"$key_tool" generate --force --bits 1017 common_test.key
