#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The streaming commands on one large file, each beside the tool people
# would use instead, run after run in turn, with medians, ratios and each
# command's peak resident memory:
#
#   velkor check        against  cksum
#   velkor untag        against  tail -c +21 IN > OUT
#   velkor tag          against  cp IN OUT
#   velkor unpack       against  one cipher pass + one checksum pass in
#                                memory (bench/cipher_floor), the work it
#                                cannot avoid
#   velkor pack, info   shown for their time and memory
#
# and, to show what the copies cost, `dd bs=256K` from IN to OUT: a read
# into user memory and a write back, the least a command that looks at
# every byte must do (cp needs neither: it copies inside the kernel).
#
#   bench/stream.sh [build dir, default build/default] [MiB, default 1024] [runs, default 5]
#
# Files go to a fresh directory under $BENCH_DIR (default /dev/shm, so the
# disk does not set the pace) and are removed on exit.
set -euo pipefail

build=${1:-build/default}
mib=${2:-1024}
runs=${3:-5}
velkor=$(realpath "$build/tool/velkor")
floor=$(realpath "$build/bench/cipher_floor")
[[ -x $velkor && -x $floor ]] || { echo "stream.sh: build $build first (velkor, cipher_floor)" >&2; exit 1; }

base=${BENCH_DIR:-/dev/shm}
need_kib=$(( (5 * mib + 64) * 1024 ))
avail_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
(( avail_kib >= need_kib )) || { echo "stream.sh: $base has ${avail_kib} KiB free, needs ${need_kib}" >&2; exit 1; }
dir=$(mktemp -d "$base/velkor-stream.XXXXXX")
trap 'rm -rf "$dir"' EXIT

in=$dir/in
head -c "$((mib << 20))" /dev/urandom > "$in"
"$velkor" tag "$in" "$dir/tagged"
"$velkor" pack -k key -l label "$in" "$dir/box"

now() { date +%s%N; }
declare -A times rss
# time NAME COMMAND...: one run, its wall time in microseconds and peak RSS.
run() {
    local name=$1; shift
    rm -f "$dir/out"
    local t0 t1
    t0=$(now)
    /usr/bin/time -f %M -o "$dir/rss" "$@"
    t1=$(now)
    times[$name]+=" $(( (t1 - t0) / 1000 ))"
    rss[$name]+=" $(cat "$dir/rss")"
}
for ((r = 0; r < runs; r++)); do
    run cksum cksum "$dir/tagged" > /dev/null
    run check "$velkor" check -q "$dir/tagged"
    run tail sh -c 'tail -c +21 "$1" > "$2"' sh "$dir/tagged" "$dir/out"
    run untag "$velkor" untag "$dir/tagged" "$dir/out"
    run cp cp "$in" "$dir/out"
    run tag "$velkor" tag "$in" "$dir/out"
    run dd dd if="$in" of="$dir/out" bs=256K status=none
    run unpack "$velkor" unpack -k key "$dir/box" "$dir/out"
    run info "$velkor" info -k key "$dir/box" > /dev/null
    run pack "$velkor" pack -k key -l label "$in" "$dir/out"
    fl=$("$floor" "$dir/box" | cut -d' ' -f1)
    times[floor]+=" $(awk -v v="$fl" 'BEGIN { printf "%d", v * 1000 }')"
done

median() { printf '%s\n' $1 | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
most() { printf '%s\n' $1 | sort -n | tail -1; }
ms() { awk -v v="$1" 'BEGIN { printf "%.0f", v / 1000 }'; }
echo "file: $mib MiB in $base, $runs runs of each in turn; medians in ms, peak RSS in KiB"
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
pair() { # velkor-command peer target
    local v p
    v=$(median "${times[$1]}"); p=$(median "${times[$2]}")
    printf '%-7s %6s ms (RSS %6s)  %-6s %6s ms  ratio %.2f (target %s)\n' "$1" "$(ms "$v")" \
        "$(most "${rss[$1]}")" "$2" "$(ms "$p")" "$(awk -v a="$v" -v b="$p" 'BEGIN { print a / b }')" "$3"
}
pair check cksum '<= 1.2'
pair untag tail '<= 1.2'
pair tag cp '<= 1.2'
pair unpack floor '<= 1.1'
pair tag dd none
pair unpack dd none
for c in info pack; do
    printf '%-7s %6s ms (RSS %6s)\n' "$c" "$(ms "$(median "${times[$c]}")")" "$(most "${rss[$c]}")"
done
