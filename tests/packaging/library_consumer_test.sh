#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Installs into a scratch prefix, then builds two programs outside the project
# against the installed library: a C one through pkg-config, a C++ one through
# find_package(SignedImage). Both sign and restore blocks and compare with
# OpenSSL. Checks that the library exports the public functions and no more.
#   usage: library_consumer_test.sh BUILD_DIR
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(dirname "$(find "$prefix" -name 'libsignedimage.so.1' | head -1)")
for h in rsa_api.h rsa_buffer.h image_format.h; do
    test -f "$prefix/include/signedimage/$h" || { echo "missing include/signedimage/$h"; exit 1; }
    if grep -Eq '#include <(tfm|openssl/)' "$prefix/include/signedimage/$h"; then echo "$h includes tfm.h or OpenSSL"; exit 1; fi
done

# C11, strict, through pkg-config.
export PKG_CONFIG_PATH="$lib/pkgconfig"
cc -std=c11 -Wall -Wextra -Werror -pedantic -o "$scratch/consumer_c" "$here/consumer/consumer.c" \
    $(pkg-config --cflags --libs signedimage) -lcrypto
LD_LIBRARY_PATH="$lib" "$scratch/consumer_c"
LD_LIBRARY_PATH="$lib" ldd "$scratch/consumer_c" | grep -q "libsignedimage.so.1 => $lib/" ||
    { echo "the C consumer does not load the installed library"; exit 1; }

# C++, through the CMake package.
cmake -S "$here/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
"$scratch/cmake/consumer_cpp"

# Exported: exactly the functions the public headers declare.
declared=$(grep -h '^SIGNEDIMAGE_API ' "$prefix"/include/signedimage/*.h |
    sed -E 's/^SIGNEDIMAGE_API [^(]*[ *]([A-Za-z_0-9]+)\(.*/\1/' | sort)
exported=$(nm -D --defined-only "$lib/libsignedimage.so.1" | awk '$2 == "T" || $2 == "D" || $2 == "B" { print $3 }' |
    sed 's/@.*//' | sort)
if [ "$declared" != "$exported" ]; then
    echo "exported symbols differ from the public headers:"
    echo "declared: $declared" | tr '\n' ' '; echo
    echo "exported: $exported" | tr '\n' ' '; echo
    exit 1
fi
echo "library consumer test passed: $(echo "$exported" | wc -l) exported functions"
