#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Every relative link of the Markdown pages resolves: each [text](target) and
# [label]: target outside code names a file or folder of the tree, and each
# #anchor a heading of the page it points to, as GitHub makes anchors (lower
# case, ASCII punctuation but - and _ dropped, spaces to hyphens, -1, -2 ...
# for repeated headings); and README.md links every page under docs/. The
# check first runs on pages made here, whose broken links it must name.
#   usage: links_test.sh SOURCE_DIR
set -euf

# Prints a page without its fenced code blocks.
outside_fences() {
    awk '/^ ? ? ?(```|~~~)/ { code = !code; next } !code' "$1"
}
# Prints the targets of the page's links, one a line.
targets() {
    outside_fences "$1" | sed 's/`[^`]*`//g' >"$scratch/prose"
    grep -o '\]([^)]*)' "$scratch/prose" | sed 's/^\](//; s/)$//; s/[[:space:]].*//; s/^<//; s/>$//'
    sed -n 's/^ \{0,3\}\[[^]]*\]:[[:space:]]*\([^[:space:]]*\).*/\1/p' "$scratch/prose"
}
# Prints the anchors of the page's headings, one a line.
anchors() {
    outside_fences "$1" | sed -n 's/^ \{0,3\}#\{1,6\}[[:space:]]\{1,\}//p' | sed 's/[[:space:]]*#*[[:space:]]*$//' |
        sed 's/\[\([^]]*\)\]([^)]*)/\1/g' | tr 'A-Z' 'a-z' | tr -d '!"#$%&'\''()*+,./:;<=>?@[\\]^`{|}~' |
        tr ' ' '-' | awk '{ n = seen[$0]++; print (n ? $0 "-" n : $0) }'
}
# Prints each broken link of the pages in the current folder, and counts.
check_tree() {
    pages=0 links=0
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
                echo "$page: link to $target: no $path"
            elif [ "$file" != "$target" ] && { [ -d "$path" ] || ! anchors "$path" | grep -qxF "${target#*#}"; }; then
                echo "$page: link to $target: $path has no heading #${target#*#}"
            fi
        done
    done
    for page in $(find docs -name '*.md' 2>/dev/null | sort); do
        targets README.md | sed 's/#.*//' | grep -qxF "$page" || echo "README.md does not link $page"
    done
    echo "$links links in $pages pages"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tree" "$scratch/tree/docs"
cat >"$scratch/tree/README.md" <<'EOF'
# Top
## A `code` heading (with punctuation)!
## Top
[1](docs/page.md) [2](docs/page.md#a-section "title") [3](#a-code-heading-with-punctuation) [4](#top-1) [5](docs/)
[6](docs/missing.md) [7](docs/page.md#no-such-section) [8](docs/#a-section) [9](https://example.org/x.md)
`[in a span](docs/span.md)`
[ref]: docs/reference.md
EOF
cat >"$scratch/tree/docs/page.md" <<'EOF'
## A section
```sh
[in a fence](fence.md)
## Not a heading
```
[10](#not-a-heading) [11](<../README.md#top>)
EOF
printf '# Orphan\n' >"$scratch/tree/docs/orphan.md"
cat >"$scratch/expected" <<'EOF'
11 links in 3 pages
README.md does not link docs/orphan.md
README.md: link to docs/#a-section: ./docs/ has no heading #a-section
README.md: link to docs/missing.md: no ./docs/missing.md
README.md: link to docs/page.md#no-such-section: ./docs/page.md has no heading #no-such-section
README.md: link to docs/reference.md: no ./docs/reference.md
docs/page.md: link to #not-a-heading: docs/page.md has no heading #not-a-heading
EOF
(cd "$scratch/tree" && check_tree) | sort >"$scratch/found"
if ! cmp -s "$scratch/expected" "$scratch/found"; then
    echo "the check itself is wrong; on pages made for it, expected and found:"
    diff "$scratch/expected" "$scratch/found"
    exit 1
fi

cd "$1"
check_tree >"$scratch/found"
if [ "$(wc -l <"$scratch/found")" -ne 1 ]; then
    sed '$d' "$scratch/found"
    exit 1
fi
echo "every relative link resolves: $(cat "$scratch/found")"
