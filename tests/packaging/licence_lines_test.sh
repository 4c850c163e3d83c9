#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Every source, script, CMake, linker-map, manual and completion file of the
# tree carries its licence line; the fuzzing seeds, examples and generated
# files do not.
# Usage: licence_lines_test.sh SOURCE_DIR
set -eu
cd "$1"
missing=$(find . \( -path ./fuzz/corpus -o -path ./examples -o -path './build*' -o -path ./.git \) -prune -o \
  -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.sh' -o -name '*.cmake' -o -name '*.in' \
  -o -name CMakeLists.txt -o -name Makefile -o -name '*.1' -o -name '*.map' -o -name '*.supp' \
  -o -path ./.ci/run -o -path ./packaging/triggers -o -path './completion/*' \) \
  -exec grep -L 'SPDX-License-Identifier: Apache-2.0' {} +) || true
if [ -n "$missing" ]; then
  echo "No licence line in:"; echo "$missing"; exit 1
fi
echo "Every file carries its licence line"
