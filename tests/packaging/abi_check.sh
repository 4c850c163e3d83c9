#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The ABI of the built libsignedimage against the baseline of the release that
# gave it its soname (packaging/SONAME.abi, abidw output): functions may be
# added, in a new version node; nothing may be removed or changed. A library
# with a new soname needs a baseline of its own. Then the same check is shown
# to refuse: scratch copies of the library's sources are built with
# RSA_ENC_BLK's nKeepAddr widened to 64 bits and with si_fill_code_window no
# longer exported, and both must fail; a copy with one function added in a new
# version node must pass.
#   usage: abi_check.sh LIBRARY BUILD_DIR SOURCE_DIR            the check
#          abi_check.sh --update LIBRARY BUILD_DIR SOURCE_DIR   writes the baseline
#          of a new soname (an existing one is the contract of its soname: kept)
set -eu
update=0
if [ "$1" = --update ]; then update=1; shift; fi
library=$1
build=$2
src=$3
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]$/\1/p')
baseline=$src/packaging/$soname.abi
command -v abidiff >/dev/null || { echo "abidiff not installed (Debian: abigail-tools)"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "ABI check FAILED: $*"; exit 1; }

# The public headers as installed: abidw and abidiff keep the types declared in
# files of these names and drop every other type.
cmake --install "$build" --component dev --prefix "$scratch/prefix" >/dev/null
headers=$scratch/prefix/include/signedimage

if [ "$update" = 1 ]; then
    [ ! -e "$baseline" ] || { echo "$baseline exists: it stays as released (docs/library.md, 'ABI rules')"; exit 1; }
    abidw --headers-dir "$headers" --no-corpus-path --no-comp-dir-path \
        --drop-undefined-syms --no-elf-needed --out-file "$baseline" "$library"
    echo "wrote $baseline from $library"
    exit 0
fi

# Compares one library with the baseline; prints abidiff's report and returns
# 0 when the only changes are added functions, 1 otherwise.
compare() {
    status=0
    abidiff --headers-dir2 "$headers" "$baseline" "$1" > "$scratch/report" 2>&1 || status=$?
    cat "$scratch/report"
    if [ $((status & 3)) -ne 0 ]; then echo "abidiff could not compare (status $status)"; return 1; fi
    if [ $((status & 8)) -ne 0 ] ||
        grep -Eq ' [1-9][0-9]* (Removed|Changed)|SONAME changed|architecture changed' "$scratch/report"; then
        echo "incompatible with the baseline (abidiff status $status)"
        return 1
    fi
    echo "compatible with the baseline (abidiff status $status)"
}

echo "== $library against $(basename "$baseline")"
[ -f "$baseline" ] || fail "no baseline for $soname; write it from the release that takes this soname"
compare "$library" || fail "see docs/library.md, 'ABI rules', before changing the baseline"

# A scratch copy of the sources, built three times with one change each.
mkdir "$scratch/src"
tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$scratch/src" -xf -
cmake -S "$scratch/src" -B "$scratch/build" -DBUILD_TESTING=OFF >/dev/null
# Builds the scratch library with the change the arguments make (the files
# they change first put back as in SOURCE_DIR); prints the library's path.
variant() {
    for f in image/image_format.h image/image_format.cpp packaging/signedimage.map; do
        cp "$src/$f" "$scratch/src/$f"
    done
    "$@"
    cmake --build "$scratch/build" --target signedimage >/dev/null
    find "$scratch/build" -maxdepth 1 -name 'libsignedimage.so.1.*' -type f
}
widen_keep() { sed -i 's/int32_t nKeepAddr;/int64_t nKeepAddr;/' "$scratch/src/image/image_format.h"; }
hide_fill() { sed -i 's/^SIGNEDIMAGE_API void si_fill_code_window/void si_fill_code_window/' "$scratch/src/image/image_format.h"; }
add_function() {
    sed -i 's/^SIGNEDIMAGE_API int si_restore_block(/SIGNEDIMAGE_API int si_abi_probe(int nValue);\n&/' \
        "$scratch/src/image/image_format.h"
    echo 'int si_abi_probe(int nValue) { return nValue + 1; }' >> "$scratch/src/image/image_format.cpp"
    printf 'SIGNEDIMAGE_ABI_PROBE {\n  global:\n    si_abi_probe;\n} SIGNEDIMAGE_1;\n' >> "$scratch/src/packaging/signedimage.map"
}

# Each row: the verdict the check must give, the change made to the scratch
# copy, a name abidiff's report must hold.
for row in pass:add_function:si_abi_probe fail:widen_keep:nKeepAddr fail:hide_fill:si_fill_code_window; do
    verdict=${row%%:*}; change=${row#*:}; change=${change%%:*}; name=${row##*:}
    echo "== $change must $verdict"
    lib=$(variant "$change")
    if compare "$lib"; then got=pass; else got=fail; fi
    [ "$got" = "$verdict" ] || fail "$change must $verdict"
    grep -q "$name" "$scratch/report" || fail "the report does not name $name"
    [ "$change" != add_function ] || nm -D --defined-only "$lib" | grep -q ' si_abi_probe@@SIGNEDIMAGE_ABI_PROBE$' ||
        fail "the scratch library does not export si_abi_probe@@SIGNEDIMAGE_ABI_PROBE"
done
echo "== a file abidiff cannot read must fail"
if compare "$src/packaging/changelog"; then fail "an unreadable library is accepted"; fi
echo "ABI check passed: compatible with $(basename "$baseline"); an incompatible change is refused"
