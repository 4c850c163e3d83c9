#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the commit checked out in SOURCE_DIR twice, from two clones in folders
# of different names and lengths, one after the other, with different umasks,
# time zones and locales, and compares the three Debian packages and the
# installed binaries byte for byte. On a difference it names the differing
# files: with diffoscope where it is installed, else by unpacking both
# packages and listing the members that differ. Then a changed package and a
# changed file must be named by both ways of comparing.
#   usage: reproducible_test.sh SOURCE_DIR [JOBS]
set -eu
src=$1
jobs=${2:-2}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
commit=$(git -C "$src" rev-parse HEAD)
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
    echo "note: $src has uncommitted changes; this builds $commit as committed"
fi

# Clones the commit into $1, builds it in $2 and packages it into $2/pkg.
build() {
    git clone -q --no-checkout "$src" "$1"
    git -C "$1" checkout -q "$commit"
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$2" -j"$jobs" >/dev/null
    cpack -G DEB --config "$2/CPackConfig.cmake" -B "$2/pkg" >/dev/null
    cmake --install "$2" --prefix "$2/installed" >/dev/null
}
echo "building $commit in two places"
(umask 022; TZ=UTC LC_ALL=C build "$scratch/a/src" "$scratch/a/build")
(umask 002; TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build "$scratch/second/source-tree" "$scratch/second/b")
one=$scratch/a/build
two=$scratch/second/b

# Compares the packages and installed files of two builds; names each file
# that differs, and the members that differ in it. Returns 1 on a difference.
# Called only where its status is looked at, so set -e does not end it early.
compare() {
    differ=0
    for deb in "$1"/pkg/*.deb; do
        name=$(basename "$deb")
        if cmp -s "$deb" "$2/pkg/$name"; then
            echo "identical: $name $(sha256sum < "$deb" | cut -c1-16)"
            continue
        fi
        differ=1
        echo "DIFFERENT: $name"
        if [ -n "$diffoscope" ]; then
            "$diffoscope" --text - "$deb" "$2/pkg/$name" | head -200
        else
            dpkg-deb -R "$deb" "$scratch/unpacked-one"
            dpkg-deb -R "$2/pkg/$name" "$scratch/unpacked-two"
            diff -rq "$scratch/unpacked-one" "$scratch/unpacked-two"
            rm -rf "$scratch/unpacked-one" "$scratch/unpacked-two"
        fi
    done
    (cd "$1/installed" && find . -type f | sort) > "$scratch/installed"
    while read -r f; do
        cmp -s "$1/installed/$f" "$2/installed/$f" || { differ=1; echo "DIFFERENT: installed $f"; }
    done < "$scratch/installed"
    return $differ
}
[ "$(ls "$one"/pkg/*.deb | wc -l)" -eq 3 ] || { echo "expected three packages"; exit 1; }
diffoscope=$(command -v diffoscope || true)
compare "$one" "$two" || { echo "reproducibility test FAILED"; exit 1; }

# The comparison sees a difference: one file of the library's package and one
# installed file changed, named with diffoscope and without it.
lib=$(basename "$one"/pkg/libsignedimage1_*.deb)
dpkg-deb -R "$two/pkg/$lib" "$scratch/changed"
echo "changed" >> "$scratch/changed/usr/share/doc/libsignedimage1/copyright"
dpkg-deb --root-owner-group -Zgzip -b "$scratch/changed" "$two/pkg/$lib" >/dev/null
echo "changed" >> "$two/installed/include/signedimage/rsa_api.h"
for diffoscope in "$diffoscope" ""; do
    if compare "$one" "$two" > "$scratch/control"; then echo "a changed package passes the comparison"; exit 1; fi
    for name in "DIFFERENT: $lib" "DIFFERENT: installed ./include/signedimage/rsa_api.h" "copyright"; do
        grep -q "$name" "$scratch/control" || { echo "the comparison does not name $name"; exit 1; }
    done
done
echo "reproducibility test passed: 3 packages and $(wc -l < "$scratch/installed") installed files identical"
