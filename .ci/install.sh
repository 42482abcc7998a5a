#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing of the Debian packages that .ci/packages lists
# for the groups named (every group when none is), and nothing else:
#
#   bash .ci/install.sh build test && cmake --workflow --preset default
#
# As root the missing packages are installed with apt-get; any other user
# is told which they are and the status is 1, so that nothing goes on to
# run without them.  With nothing missing it does nothing and says nothing.
set -euo pipefail
list="$(dirname "$0")/packages"

groups=("$@")
want=()
while read -r group packages; do
  case $group in '' | '#'*) continue ;; esac
  if [ ${#groups[@]} -gt 0 ]; then
    found=0
    for g in "${groups[@]}"; do [ "$g" = "$group" ] && found=1; done
    [ $found -eq 1 ] || continue
  fi
  # shellcheck disable=SC2206 # packages are words
  want+=($packages)
done < "$list"
for g in "${groups[@]}"; do
  grep -q "^$g " "$list" || { echo "install.sh: no group '$g' in $list" >&2; exit 2; }
done

need=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install.sh: missing: ${need[*]}" >&2
  echo "install.sh: as root: apt-get install ${need[*]}" >&2
  exit 1
fi
echo "install.sh: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}"
