#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the commit checked out in SOURCE_DIR twice, from two clones in folders
# of different names and lengths, one after the other, with different umasks,
# time zones and locales, and compares the three Debian packages and the
# installed binaries byte for byte. On a difference it names the differing
# files: with diffoscope where it is installed, else by unpacking both
# packages and listing the members that differ.
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

# Every package and every installed file, the tools and the library among them.
differ=0
for deb in "$one"/pkg/*.deb; do
    name=$(basename "$deb")
    if cmp -s "$deb" "$two/pkg/$name"; then
        echo "identical: $name $(sha256sum < "$deb" | cut -c1-16)"
        continue
    fi
    differ=1
    echo "DIFFERENT: $name"
    if command -v diffoscope >/dev/null; then
        diffoscope --text - "$deb" "$two/pkg/$name" | head -200 || true
    else
        for side in one two; do
            eval "dir=\$$side"
            dpkg-deb -R "$dir/pkg/$name" "$scratch/unpacked-$side"
            ar t "$dir/pkg/$name" > "$scratch/unpacked-$side/members"
            dpkg-deb -c "$dir/pkg/$name" > "$scratch/unpacked-$side/listing"
        done
        diff -rq "$scratch/unpacked-one" "$scratch/unpacked-two" || true
        rm -rf "$scratch/unpacked-one" "$scratch/unpacked-two"
    fi
done
[ -n "$(ls "$two"/pkg/*.deb)" ] && [ "$(ls "$one"/pkg/*.deb | wc -l)" -eq 3 ] ||
    { echo "expected three packages"; exit 1; }
(cd "$one/installed" && find . -type f | sort) > "$scratch/installed"
while read -r f; do
    cmp -s "$one/installed/$f" "$two/installed/$f" || { differ=1; echo "DIFFERENT: installed $f"; }
done < "$scratch/installed"
if [ "$differ" = 1 ]; then echo "reproducibility test FAILED"; exit 1; fi
echo "reproducibility test passed: 3 packages and $(wc -l < "$scratch/installed") installed files identical"
