#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a Windows program under wine, for CTest and test discovery in the
# Windows build (cmake/toolchain-x86_64-w64-mingw32.cmake).
#
#   wine.sh DIR PROGRAM [ARGS...]
#
# Everything wine keeps lives in DIR: the prefix (DIR/prefix), and a home
# and XDG folders of its own, so that nothing lands in the user's home.
# The prefix is made once, under a lock, since the first programs may start
# side by side (ctest -j, discovery during a parallel build).  Wine's
# desktop menus and its .NET and HTML engines (which it would offer to
# download) are turned off.  WINE names the wine program (default: the
# Debian wine64 package's).
set -eu
dir=$1
shift
wine=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX="$dir/prefix" WINEDEBUG=-all \
  WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d' \
  HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" \
  XDG_DATA_HOME="$dir/home/.local/share" XDG_CACHE_HOME="$dir/home/.cache"
if [ ! -f "$dir/ready" ]; then
  mkdir -p "$dir/home"
  (
    flock 9
    if [ ! -f "$dir/ready" ]; then
      rm -rf "$WINEPREFIX"
      "$wine" wineboot -i >/dev/null 2>&1
      # The prefix is complete once its server has written it out.
      "$(dirname "$wine")/wineserver" -w
      touch "$dir/ready"
    fi
  ) 9>"$dir/lock"
fi
# One wine server for the prefix, kept for 60 s after its last program,
# whose own processes (services, devices) are started here with our
# standard streams and the lock closed: started by a test instead, they
# would hold on to the pipes ctest reads, or to the lock the next program
# waits for, and every test would seem to run until the server ended.
(
  flock 9
  if "$(dirname "$wine")/wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$dir/lock"
exec "$wine" "$@"
