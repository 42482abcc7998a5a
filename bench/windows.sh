#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# velkor check, tag and scan on a file in the page cache: the Windows
# programs under wine against the Linux programs of the same commit, side
# by side, run after run, interleaved, with the median times and their
# ratios.  Where wine's own cost lies is split out: a start with nothing to
# do (velkor --version) on each side, and the same commands on a 1 MiB file,
# so that (1 GiB time - 1 MiB time) / (1 GiB - 1 MiB) is the cost per byte.
#
#   bench/windows.sh [size in MiB, default 1024] [runs, default 5]
#
# Needs build/release (cmake --workflow... or --build --preset release) and
# build/windows (cmake --build build/windows), and wine's prefix there
# (made on first use by cmake/wine.sh, which also keeps its server up, so
# no run pays for starting it).  Files go to a fresh directory under
# $TMPDIR (default /tmp), removed on exit; wine reaches it as drive Z:.
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-1024}
runs=${2:-5}
linux=build/release/tool/velkor
windows=build/windows/bin/velkor.exe
for p in "$linux" "$windows"; do
    [[ -f $p ]] || { echo "windows.sh: no $p (build first)" >&2; exit 1; }
done
wine_run() { sh cmake/wine.sh "$PWD/build/windows/wine" "$PWD/$windows" "$@"; }

base=${TMPDIR:-/tmp}
dir=$(mktemp -d "$base/velkor-windows-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
# Random bytes, tagged: check verifies the whole, scan searches it all and
# finds the one tagged file at its start, tag writes a new file of it.
head -c "$((mib << 20))" /dev/urandom > "$dir/data"
head -c "$((1 << 20))" /dev/urandom > "$dir/small"
for f in data small; do
    "$linux" tag "$dir/$f" "$dir/$f.bgn"
done
sync "$dir"/*
cat "$dir"/* > /dev/null

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One timing, in microseconds: the command's output goes nowhere, a failure
# ends the script.
time_us() {
    local t0 t1
    t0=$(now)
    "$@" > /dev/null
    t1=$(now)
    echo $(( (t1 - t0) / 1000 ))
}

# name -> the arguments of velkor, with FILE for the input's place.
commands=("check FILE.bgn" "tag FILE OUT" "scan FILE.bgn" "--version")
declare -A t
wine_run --version > /dev/null # the server and wine's own processes up
for ((r = 0; r < runs; r++)); do
    for file in data small; do
        for c in "${commands[@]}"; do
            [[ $c == --version && $file == small ]] && continue
            args=${c//FILE/$dir/$file}
            args=${args//OUT/$dir/out}
            rm -f "$dir/out"
            t["linux|$file|$c"]+=" $(time_us "$linux" $args)"
            rm -f "$dir/out"
            wargs=${c//FILE/Z:$dir/$file}
            wargs=${wargs//OUT/Z:$dir/out}
            t["wine|$file|$c"]+=" $(time_us wine_run $wargs)"
        done
    done
done
rm -f "$dir/out"

med() { median ${t["$1"]}; }
ms() { awk -v v="$1" 'BEGIN { printf "%.1f", v / 1000 }'; }
echo "file: $mib MiB (and 1 MiB), $runs runs of each, interleaved; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-18s %12s %12s %8s\n' "velkor" "Linux ms" "wine ms" "ratio"
for file in data small; do
    for c in "${commands[@]}"; do
        [[ $c == --version && $file == small ]] && continue
        l=$(med "linux|$file|$c")
        w=$(med "wine|$file|$c")
        label=${c%% *}
        [[ $c != --version ]] && label="$label $([[ $file == data ]] && echo "${mib} MiB" || echo "1 MiB")"
        printf '%-18s %12s %12s %8s\n' "$label" "$(ms "$l")" "$(ms "$w")" \
            "$(awk -v a="$w" -v b="$l" 'BEGIN { printf "%.2f", a / b }')"
    done
done
bytes=$(( (mib - 1) << 20 ))
echo "per byte, from the difference between the two sizes (MB/s):"
for c in "check FILE.bgn" "tag FILE OUT" "scan FILE.bgn"; do
    for side in linux wine; do
        big=$(med "$side|data|$c")
        small=$(med "$side|small|$c")
        printf '  %-6s %-6s %s\n' "${c%% *}" "$side" \
            "$(awk -v b="$bytes" -v d="$((big - small))" 'BEGIN { printf "%.0f", b / d }')"
    done
done
