#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite as an ordinary user (uid 65534), on its own copy of the tree:
# permission bits bind, and no test may need root to pass.  Tests that need
# root skip and say why.
set -euo pipefail
cd "$(dirname "$0")/.."
uid=${VELKOR_TEST_UID:-65534}

work=$(mktemp -d "${TMPDIR:-/tmp}/velkor-unprivileged.XXXXXX")
trap 'rm -rf "$work"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
chown -R "$uid:$uid" "$work"
chmod 755 "$work"

as_user() { setpriv --reuid="$uid" --regid="$uid" --clear-groups env HOME="$work" TMPDIR=/tmp "$@"; }
cd "$work"
# The benchmarks add nothing here; everything else is the default preset.
as_user cmake --preset default -DVELKOR_BUILD_BENCH=OFF >/dev/null
as_user cmake --build --preset default
as_user ctest --preset default -j "${JOBS:-2}"
