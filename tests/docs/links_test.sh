#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Every relative link of the Markdown pages resolves: each [text](target) and
# [label]: target outside code names a file or folder of the tree, and each
# #anchor a heading of the page it points to, as GitHub makes anchors (lower
# case, ASCII punctuation but - and _ dropped, spaces to hyphens, -1, -2 ...
# for repeated headings).
#   usage: links_test.sh SOURCE_DIR
set -euf
cd "$1"

# Prints a page without its fenced code blocks.
outside_fences() {
    awk '/^ ? ? ?(```|~~~)/ { code = !code; next } !code' "$1"
}
# Prints the targets of the page's links, one a line.
targets() {
    outside_fences "$1" | sed 's/`[^`]*`//g' > "$scratch"
    { grep -o '\]([^)]*)' "$scratch" || true; } | sed 's/^\](//; s/)$//; s/[[:space:]].*//; s/^<//; s/>$//'
    sed -n 's/^ \{0,3\}\[[^]]*\]:[[:space:]]*\([^[:space:]]*\).*/\1/p' "$scratch"
}
# Prints the anchors of the page's headings, one a line.
anchors() {
    outside_fences "$1" | sed -n 's/^ \{0,3\}#\{1,6\}[[:space:]]\{1,\}//p' | sed 's/[[:space:]]*#*[[:space:]]*$//' |
        sed 's/\[\([^]]*\)\]([^)]*)/\1/g' | tr 'A-Z' 'a-z' | tr -d '!"#$%&'\''()*+,./:;<=>?@[\\]^`{|}~' |
        tr ' ' '-' | awk '{ n = seen[$0]++; print (n ? $0 "-" n : $0) }'
}

scratch=$(mktemp)
trap 'rm -f "$scratch"' EXIT
failed=0 pages=0 links=0
for page in $(find . \( -path './build*' -o -path ./.git \) -prune -o -name '*.md' -print | sed 's|^\./||' | sort); do
    pages=$((pages + 1))
    for target in $(targets "$page"); do
        case $target in
        *://* | mailto:*) continue ;;
        esac
        links=$((links + 1))
        file=${target%%#*}
        if [ -z "$file" ]; then path=$page; else path=$(dirname "$page")/$file; fi
        if [ ! -e "$path" ]; then
            echo "$page: link to $target: no $path"; failed=1; continue
        fi
        case $target in
        *#*)
            if [ -d "$path" ] || ! anchors "$path" | grep -qxF "${target#*#}"; then
                echo "$page: link to $target: $path has no heading #${target#*#}"; failed=1
            fi ;;
        esac
    done
done
[ $failed -eq 0 ] && echo "every relative link resolves: $links links in $pages pages"
exit $failed
