#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The tools' bash completion under bash-completion: each command line of the
# table is split into words as bash splits it (a colon or an equals sign is a
# word of its own), the cursor at its end, and the function the tool's
# completion registered must answer with the row's candidates, in a folder
# holding sign.key and in:put.img.
#   usage: completion_test.sh SOURCE_DIR
set -u
. /usr/share/bash-completion/bash_completion || { echo "bash-completion not installed"; exit 1; }
. "$1/completion/signed-image-tools"
cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT && touch sign.key in:put.img
sorted() { tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' '; }
failed=0
while IFS='|' read -r line expected; do
    COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
    read -ra COMP_WORDS <<< "${line//[:=]/ & }"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    spec=$(complete -p "${COMP_WORDS[0]}") && function=${spec#*-F } && ${function%% *}
    got=$(printf '%s ' "${COMPREPLY[@]}" | sorted)
    [[ $got == "$(sorted <<< "$expected")" ]] || { echo "'$line': got '$got', not '$expected'"; failed=1; }
done <<'TABLE'
encrypt_tool -|-- --help --request --signatures --signing-helper --version -V -h
encrypt_tool --request s|sign.key
encrypt_tool in:p|put.img
key_tool |export generate import list show sign-request
key_tool --bits 1024 --passphrase-file x s|show sign-request
key_tool --bits=1024 --force s|show sign-request
key_tool show -|--bits --force --help --passphrase-file --version -V -h
key_tool --bits=10|1017 1018 1019 1020 1021 1022 1023 1024
key_tool --passphrase-file s|sign.key
key_tool export sign.key in:p|put.img
verify_tool -|-- --fingerprint --force --help --json --key --original --restore --version -V -h
verify_tool --fingerprint=s|
verify_tool --restore in:p|put.img
TABLE
[ "$failed" = 0 ] && echo "bash completion test passed"
