#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Includes point down: a product file includes headers of its own part or of
# a lower one, never of a part above it or beside it, and only the codec
# reaches the codec's internals. The parts, lowest first (tools/block_table.h
# needs nothing and sits with the codec):
#   0 encrypt, tools/block_table.h   1 image   2 files   3 token   4 signing
#   5 tools (encrypt_tool), companion (key_tool, verify_tool)
#   usage: include_arrows_test.sh SOURCE_DIR
set -eu
cd "$1"

part_of() { # path -> "rank name"
    case $1 in
    encrypt/*) echo "0 encrypt" ;;
    tools/block_table.h) echo "0 block_table" ;;
    image/*) echo "1 image" ;;
    files/*) echo "2 files" ;;
    token/*) echo "3 token" ;;
    signing/*) echo "4 signing" ;;
    tools/*) echo "5 tools" ;;
    companion/*) echo "5 companion" ;;
    *) echo "" ;;
    esac
}

failed=0
tracked=$(git ls-files 'encrypt/*' 'image/*' 'files/*' 'token/*' 'signing/*' 'tools/*' 'companion/*')
for file in $(echo "$tracked" | grep -E '\.(h|c|cpp)$'); do
    set -- $(part_of "$file")
    rank=$1 part=$2
    for header in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
        found=$(echo "$tracked" | grep -E "(^|/)$header\$" || true)
        if [ -z "$found" ]; then
            echo "$file includes \"$header\", which no part holds"; failed=1; continue
        fi
        set -- $(part_of "$found")
        if [ "$2" != "$part" ] && [ "$1" -ge "$rank" ]; then
            echo "$file ($part) includes $found ($2): an arrow up or across"; failed=1
        fi
        if [ "$header" = rsa_internal.h ] && [ "$part" != encrypt ]; then
            echo "$file includes the codec's internals ($found)"; failed=1
        fi
    done
done
[ $failed -eq 0 ] && echo "every include points down"
exit $failed
