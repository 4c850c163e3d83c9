#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Each man page renders without a warning (groff, all of them) and has each
# line of the table: a heading, or what a section must name (* every page).
#   usage: man_pages_test.sh SOURCE_DIR
set -u
failed=0
for page in "$1"/man/*.1; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings"; failed=1; }
done
while read -r tool line; do
    for page in "$1"/man/$tool.1; do
        grep -qF -- "$line" "$page" || { echo "$page lacks: $line"; failed=1; }
    done
done <<'TABLE'
* .SH EXIT STATUS
* .SH ENVIRONMENT
* .SH FILES
* .SH EXAMPLES
* .SH DIAGNOSTICS
* .B PKCS11_MODULE_PATH
* .B TMPDIR
* .B pin\-source=\c
* .B /share/bash\-completion/completions/
verify_tool .B /share/doc/signed\-image\-tools/verify_tool.schema.json
TABLE
[ "$failed" = 0 ] && echo "man pages test passed"
