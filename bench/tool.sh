#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Time bgntag on a file in the page cache against `dd bs=4M` copying the
# same file, run after run, and report the median times, their ratio and
# bgntag's peak resident memory.  `dd bs=<file size>` runs too, as a
# reference: a copy through one whole-file buffer, as bgntag must make, so
# the cost of first touching that much fresh memory shows on its own.
#
#   bench/tool.sh [path/to/bgntag] [size in MiB, default 1024] [runs, default 5]
#
# Files go to a fresh directory under $TMPDIR (default /tmp) and are removed
# on exit.  Each output is deleted before the next run, so every run writes
# a new file, as both programs would in use.
set -euo pipefail

bgntag=${1:-build/default/tool/bgntag}
mib=${2:-1024}
runs=${3:-5}

[[ -x $bgntag ]] || { echo "tool.sh: no bgntag at $bgntag (build first)" >&2; exit 1; }
bgntag=$(realpath "$bgntag")

base=${TMPDIR:-/tmp}
need_kib=$(( (2 * mib + 64) * 1024 ))
avail_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
if (( avail_kib < need_kib )); then
    echo "tool.sh: $base has ${avail_kib} KiB free, needs ${need_kib}" >&2
    exit 1
fi

dir=$(mktemp -d "$base/bgntag-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

in=$dir/in
out=$dir/out
head -c "$((mib << 20))" /dev/urandom > "$in"
sync "$in"            # written back, so no run pays for it
cat "$in" > /dev/null # and in the page cache
size=$(stat -c %s "$in")

now() { date +%s%N; }

dd_t=()
ddw_t=()
tag_t=()
rss=()
for ((r = 0; r < runs; r++)); do
    rm -f "$out"
    t0=$(now)
    dd if="$in" of="$out" bs=4M status=none
    t1=$(now)
    dd_t+=($(( (t1 - t0) / 1000 )))
    rm -f "$out"

    t0=$(now)
    dd if="$in" of="$out" bs="$size" status=none
    t1=$(now)
    ddw_t+=($(( (t1 - t0) / 1000 )))
    rm -f "$out"

    t0=$(now)
    /usr/bin/time -f %M -o "$dir/rss" "$bgntag" "$in" "$out"
    t1=$(now)
    tag_t+=($(( (t1 - t0) / 1000 )))
    rss+=($(cat "$dir/rss"))
    rm -f "$out"
done

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
dd_m=$(median "${dd_t[@]}")
tag_m=$(median "${tag_t[@]}")
ddw_m=$(median "${ddw_t[@]}")
rss_m=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
limit_kib=$(( size / 1024 + 4096 ))

ms() { for v in "$@"; do awk -v v="$v" 'BEGIN { printf " %.1f", v / 1000 }'; done; echo; }
echo "file: $size bytes, $runs runs of each, interleaved; times in ms"
echo "dd bs=4M:        $(ms "${dd_t[@]}")"
echo "bgntag:          $(ms "${tag_t[@]}")"
echo "dd bs=$size: $(ms "${ddw_t[@]}")"
awk -v d="$dd_m" -v t="$tag_m" -v w="$ddw_m" 'BEGIN {
    printf "median: dd bs=4M %.1f ms, bgntag %.1f ms, dd one buffer %.1f ms\n", d / 1000, t / 1000, w / 1000
    printf "bgntag / dd bs=4M = %.3f (target <= 1.15); bgntag / dd one buffer = %.3f\n", t / d, t / w
}'
echo "bgntag peak RSS: ${rss_m} KiB; input + 4 MiB = ${limit_kib} KiB ($( ((rss_m <= limit_kib)) && echo within || echo OVER ))"
