#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Installs what make demo builds into a prefix other than /usr and uses it
# there without LD_LIBRARY_PATH: the three tools sign, verify and show keys
# with the installed library, found through their run path. Then builds two
# programs outside the project against the installed library: a C one through
# pkg-config, a C++ one through find_package(SignedImage); both sign and
# restore blocks and compare with OpenSSL. Checks that the library exports the
# public functions and no more.
#   usage: install_anywhere_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset LD_LIBRARY_PATH

# make demo builds the three tools and, for them, the library; nothing else.
# A tree configured as it configures, holding only those (copied from
# BUILD_DIR, where they lie side by side), must install, with a man page as
# it is when the tree builds, not as it was when it was configured (in a copy
# of the sources, to change the page).
mkdir "$scratch/src"
tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$scratch/src" -xf -
cmake -G "Unix Makefiles" -S "$scratch/src" -B "$scratch/demo" -DBUILD_TESTING=OFF >/dev/null
echo '.\" changed after configuring' >> "$scratch/src/man/key_tool.1"
make -C "$scratch/demo" cmake_check_build_system >/dev/null
cp -P "$build"/encrypt_tool "$build"/key_tool "$build"/verify_tool "$build"/libsignedimage.so* "$scratch/demo/"
prefix=$scratch/opt/si
cmake --install "$scratch/demo" --prefix "$prefix" >/dev/null
lib=$(dirname "$(find "$prefix" -name 'libsignedimage.so.1' | head -1)")
libdir=${lib#"$prefix/"}
zgrep -q 'changed after configuring' "$prefix/share/man/man1/key_tool.1.gz" || { echo "key_tool.1 installed as configured"; exit 1; }

# Each tool finds the installed library through a run path relative to itself.
for t in encrypt_tool key_tool verify_tool; do
    readelf -d "$prefix/bin/$t" | grep -qF "Library runpath: [\$ORIGIN/../$libdir]" ||
        { echo "$t does not carry the run path \$ORIGIN/../$libdir"; readelf -d "$prefix/bin/$t" | grep PATH; exit 1; }
    ldd "$prefix/bin/$t" | grep -qF "libsignedimage.so.1 => $prefix/bin/../$libdir/libsignedimage.so.1 " ||
        { echo "$t does not load the installed library"; ldd "$prefix/bin/$t"; exit 1; }
done
ex=$src/examples
"$prefix/bin/encrypt_tool" "$ex/input.img" "$scratch/signed.img" "$ex/code.bin" "$ex/sign_test.key" "$ex/common_test.key"
"$prefix/bin/verify_tool" --key "$ex/sign_test.key" --original "$ex/input.img" "$scratch/signed.img" >/dev/null
"$prefix/bin/key_tool" show "$ex/sign_test.key" >/dev/null

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
echo "install test passed: the tools run under a prefix of their own; $(echo "$exported" | wc -l) exported functions"
