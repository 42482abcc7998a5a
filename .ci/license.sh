#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source, script and build file says its license in one line, so a
# file copied out of the tree still carries it.  Data (the fuzz corpus,
# JSON, pictures) and prose are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
missing=$(git ls-files -- '*.c' '*.cpp' '*.h' '*.js' '*.mjs' '*.css' '*.html' '*.py' '*.sh' \
              '*.cmake' '*.in' '*.toml' '*.ld' '*.1' '*.3' '*.bash' '*.magic' \
              '*CMakeLists.txt' '.ci/run' 'completions/_velkor' 'debian/rules' 'debian/control' |
          xargs grep -L 'SPDX-License-Identifier: MIT' || true)
if [ -n "$missing" ]; then
    echo "license: these files lack an SPDX-License-Identifier: MIT line:" >&2
    echo "$missing" >&2
    exit 1
fi
echo "license: every source, script and build file carries the MIT line"
