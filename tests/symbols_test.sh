#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shared library exports exactly the functions that
# debian/libvelkor0.symbols lists: a function added to velkor.h without its
# line there (or a C++ name leaking out) fails here, in every build, and
# not only in the package build where dpkg-gensymbols would stop it.
#
#   symbols_test.sh LIBRARY SYMBOLS_FILE [OBJDUMP]
#
# A Windows DLL's exports are read from its export table with OBJDUMP (the
# cross binutils' objdump, which knows PE).
set -euo pipefail
lib=$1 symbols=$2 objdump=${3:-objdump}
if [ "$(head -c 2 "$lib")" = MZ ]; then
  exported=$("$objdump" -p "$lib" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/ s/^[[:space:]]*\[ *[0-9]*\] //p' | sort -u)
else
  # readelf reads any ELF, cross builds' too; defined, global or weak.
  exported=$(readelf -W --dyn-syms "$lib" |
    awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $4 != "SECTION" && $4 != "FILE" { sub(/@.*/, "", $8); print $8 }' |
    sort -u)
fi
listed=$(sed -n 's/^ \([^@ ]*\)@Base .*/\1/p' "$symbols" | sort -u)
if [ "$exported" != "$listed" ]; then
  echo "the library's exports and $symbols differ (< exported only, > listed only):"
  diff <(echo "$exported") <(echo "$listed") | grep '^[<>]'
  exit 1
fi
echo "$(echo "$exported" | wc -l) symbols, as listed"
