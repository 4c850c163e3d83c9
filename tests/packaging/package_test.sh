#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the three Debian packages and checks their contents, dependencies and
# lintian's verdict; then unpacks them into a scratch root and runs the tools
# there against the unpacked library, not the build tree's.
#   usage: package_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null
cd "$scratch/pkg"
lib=$(ls libsignedimage1_*.deb)
dev=$(ls libsignedimage-dev_*.deb)
tools=$(ls signed-image-tools_*.deb)

has() { dpkg-deb -c "$1" | grep -E "$2" >/dev/null || { echo "$1 lacks $2"; exit 1; }; }
lacks() { ! dpkg-deb -c "$1" | grep -E "$2" >/dev/null || { echo "$1 holds $2"; exit 1; }; }
has "$lib" 'usr/lib/.*libsignedimage\.so\.1\.[0-9]+\.[0-9]+$'
has "$lib" 'usr/lib/.*libsignedimage\.so\.1 -> '
lacks "$lib" 'bin/|include/|\.so -> '
for h in rsa_api.h rsa_buffer.h image_format.h; do has "$dev" "usr/include/signedimage/$h"; done
has "$dev" 'usr/lib/.*libsignedimage\.so -> '
has "$dev" 'pkgconfig/signedimage\.pc'
has "$dev" 'cmake/SignedImage/SignedImageConfig\.cmake'
lacks "$dev" 'libsignedimage\.so\.1\.|bin/'
for t in encrypt_tool key_tool verify_tool; do
    has "$tools" "usr/bin/$t\$"
    has "$tools" "usr/share/man/man1/$t\.1\.gz"
    has "$tools" "usr/share/bash-completion/completions/$t\$"
done
has "$tools" 'usr/share/doc/signed-image-tools/verify_tool\.schema\.json$'
lacks "$tools" 'libsignedimage\.so|include/'

# Every member is dated SOURCE_DATE_EPOCH: the caller's, else the last commit's
# time, else (a tarball without git) the newest changelog entry's.
changelog_epoch=$(dpkg-parsechangelog -l "$src/packaging/changelog" -STimestamp)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo "$changelog_epoch")}
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
# Each package carries the Apache-2.0 licence as its copyright file; its members are dated $stamp.
for deb in "$lib" "$dev" "$tools"; do
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/doc/$package/copyright" > "$scratch/copyright" ||
        { echo "$deb lacks usr/share/doc/$package/copyright"; exit 1; }
    cmp "$scratch/copyright" "$src/packaging/copyright" || { echo "$deb: copyright differs from packaging/copyright"; exit 1; }
    dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tvf - --full-time | grep -v " $stamp " &&
        { echo "$deb: members not dated $stamp"; exit 1; }
    echo "$deb: Depends: $(dpkg-deb -f "$deb" Depends)"
done
grep -qx 'License: Apache-2.0' "$src/packaging/copyright" || { echo "packaging/copyright does not name Apache-2.0"; exit 1; }
cmp "$src/LICENSE" /usr/share/common-licenses/Apache-2.0 || { echo "LICENSE is not the Apache License 2.0 text"; exit 1; }

depends_on() { dpkg-deb -f "$1" Depends | grep -q "$2" || { echo "$1 does not depend on $2"; exit 1; }; }
depends_on "$lib" libtfm1
# The loader's cache is rebuilt by dpkg's trigger, not by maintainer scripts.
dpkg-deb -I "$lib" triggers | grep -qx 'activate-noawait ldconfig' || { echo "$lib lacks the ldconfig trigger"; exit 1; }
depends_on "$dev" 'libsignedimage1 (= '
depends_on "$tools" 'libsignedimage1 (>= '
depends_on "$tools" libssl3

command -v lintian >/dev/null || { echo "lintian not installed: not run"; exit 1; }
lintian --no-tag-display-limit "$lib" "$dev" "$tools" > "$scratch/lintian.txt" 2>&1 || true
if grep -E '^[EW]: ' "$scratch/lintian.txt"; then echo "lintian finds errors or warnings"; exit 1; fi
echo "lintian: no errors, no warnings"

mkdir -p "$scratch/tarball/packaging"
cp "$src/packaging/changelog" "$scratch/tarball/packaging/"
# Prints the SOURCE_DATE_EPOCH that a configure of the tarball would take.
tarball_epoch() { (cd "$scratch/tarball" && cmake -P "$src/packaging/SourceDateEpoch.cmake") | sed -n 's/^-- SOURCE_DATE_EPOCH: //p'; }
for row in ":$changelog_epoch" "1234567890:1234567890"; do
    got=$(if [ -n "${row%%:*}" ]; then SOURCE_DATE_EPOCH=${row%%:*} tarball_epoch; else (unset SOURCE_DATE_EPOCH; tarball_epoch); fi)
    [ "$got" = "${row#*:}" ] || { echo "SOURCE_DATE_EPOCH '${row%%:*}' of a tarball gives '$got', not ${row#*:}"; exit 1; }
done

# The unpacked tools sign and verify with the unpacked library.
root=$scratch/root
for deb in "$lib" "$tools"; do dpkg-deb -x "$deb" "$root"; done
libdir=$(dirname "$(find "$root" -name 'libsignedimage.so.1')")
export LD_LIBRARY_PATH="$libdir"
for t in encrypt_tool key_tool verify_tool; do
    if readelf -d "$root/usr/bin/$t" | grep -Eq 'RPATH|RUNPATH'; then echo "$t keeps a run path"; exit 1; fi
    ldd "$root/usr/bin/$t" | grep -q "libsignedimage.so.1 => $libdir/" || { echo "$t does not load the unpacked library"; exit 1; }
done
ex=$src/examples
"$root/usr/bin/encrypt_tool" "$ex/input.img" "$scratch/signed.img" "$ex/code.bin" "$ex/sign_test.key" "$ex/common_test.key"
"$root/usr/bin/verify_tool" --key "$ex/sign_test.key" --original "$ex/input.img" "$scratch/signed.img" >/dev/null
"$root/usr/bin/key_tool" --version | grep -q '^key_tool '
echo "package test passed: $lib $dev $tools"
