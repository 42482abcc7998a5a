#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# velkor scan beside velkor check, run after run in turn, with medians,
# ratios and peak resident memory:
#
#   1. An image of random bytes with 100 tagged files and 100 containers
#      planted at random offsets, scanned without a key, against
#      `velkor check` on a tagged file of the same size (the image itself,
#      tagged): the scan should read at 0.8x check's speed or better, in
#      16 MiB or less.
#   2. The adversarial image: back-to-back 20-byte tagged headers, each
#      claiming the rest of the file, against random bytes of the same
#      size.  From a pipe, one pass, which drops candidates at the memory
#      limit and ends with status 3 (at most 3x the time of random bytes
#      through a pipe); from a file the complete scan, in as many passes as
#      the limit needs.
#   3. The flood: a sound tagged file, 250,000 forged tagged headers each
#      claiming about 4 GiB, a second sound tagged file (5 MB), against
#      random bytes of the same size, each scanned 20 times in one run (a
#      scan takes milliseconds).  From a file the scan is complete, all
#      passes included (at most 10x random's time); from a pipe it is one
#      pass, which drops candidates (at most 3x random's, fed alike through
#      cat, 20 runs each).
#   4. With a key: the 1 GiB image scanned with its key against check (at
#      least 0.8x check's speed, as without one), and the keyed flood (the
#      header of a container with an empty label and sublabel every 21
#      bytes, each claiming the rest of the file, the sound container
#      last) at 1, 16 and 64 MiB against random bytes of the same size,
#      both scanned with the key from the file: time, passes, peak RSS
#      (the 16 MiB flood at most 30x random's time, complete).
#   5. Two keys against one: the 1 GiB image scanned with a key that opens
#      nothing first and its own key second, against its key alone (the
#      library's promise: several keys multiply the work by their number
#      at most).
#
#   bench/scan.sh [build dir, default build/default] [MiB, default 1024]
#                 [adversarial MiB, default 64] [runs, default 5]
#
# Files go to a fresh directory under $BENCH_DIR (default /dev/shm, so the
# disk does not set the pace) and are removed on exit.
set -euo pipefail

build=${1:-build/default}
mib=${2:-1024}
adv_mib=${3:-64}
runs=${4:-5}
velkor=$(realpath "$build/tool/velkor")
[[ -x $velkor ]] || { echo "scan.sh: build $build first (velkor)" >&2; exit 1; }
command -v python3 > /dev/null || { echo "scan.sh: needs python3 to plant the finds" >&2; exit 1; }

base=${BENCH_DIR:-/dev/shm}
need_kib=$(( (2 * mib + 2 * adv_mib + 2 * 81 + 64) * 1024 ))
avail_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
(( avail_kib >= need_kib )) || { echo "scan.sh: $base has ${avail_kib} KiB free, needs ${need_kib}" >&2; exit 1; }
dir=$(mktemp -d "$base/velkor-scan.XXXXXX")
trap 'rm -rf "$dir"' EXIT

# The finds: 100 tagged files and 100 containers of 1 to 64 KiB each,
# written over random bytes at random offsets that do not overlap.
. "$(dirname "${BASH_SOURCE[0]}")/planted.sh"
planted_image "$velkor" "$dir" "$mib" 100
img=$dir/image
"$velkor" tag "$img" "$dir/tagged"

# How a file was written shows when it is read back from tmpfs: one
# written 4 KiB at a time (head, Python's writes) read about 20 % slower
# here than the same bytes written 256 KiB at a time, as velkor tag
# writes.  Every file is copied once with 256 KiB writes, so all are laid
# out alike.
settle() {
    local f
    for f in "$@"; do
        dd if="$f" of="$f.settled" bs=256K status=none
        mv "$f.settled" "$f"
    done
}

# The adversarial image, and random bytes of its size.
adv=$dir/adversarial
python3 - "$adv" "$((adv_mib << 20))" <<'EOF'
import struct, sys
path, size = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as f:
    f.write(b"".join(b"bgn" + bytes(8) + b"\xb1" + struct.pack(">II", size - o, 0)
                     for o in range(0, size, 20)))
    f.truncate(size)  # the last header, cut short, claims nothing
EOF
head -c "$((adv_mib << 20))" /dev/urandom > "$dir/random"
# The flood, and random bytes of its size.
head -c 1000 /dev/urandom > "$dir/p" && "$velkor" tag "$dir/p" "$dir/first"
head -c 900 /dev/urandom > "$dir/p" && "$velkor" tag "$dir/p" "$dir/second"
python3 -c '
import struct, sys
with open(sys.argv[1], "wb") as f:
    f.write((b"bgn" + bytes(8) + b"\xb1" + struct.pack(">II", 0xFFFFFFF0, 0)) * 250000)
' "$dir/forged"
cat "$dir/first" "$dir/forged" "$dir/second" > "$dir/flood"
head -c "$(stat -c %s "$dir/flood")" /dev/urandom > "$dir/flood-random"
rm -f "$dir/p" "$dir/first" "$dir/second" "$dir/forged"
# The keyed floods, from a sound container's 21-byte header, and random
# bytes of each size.
flood_sizes=(1 16 64)
head -c 1000 /dev/urandom > "$dir/p" && "$velkor" pack -k floodkey -l "" "$dir/p" "$dir/sound"
for m in "${flood_sizes[@]}"; do
    python3 - "$dir/sound" "$dir/kflood$m" "$((m << 20))" <<'EOF'
import struct, sys
sound, path, size = open(sys.argv[1], "rb").read(), sys.argv[2], int(sys.argv[3])
header, at = sound[:21], size - len(sound)
with open(path, "wb") as f:
    f.write(b"".join(header[:17] + struct.pack(">I", size - o - 25)
                     for o in range(0, at - 20, 21)))
    f.write(bytes(at % 21))
    f.write(sound)
EOF
    head -c "$((m << 20))" /dev/urandom > "$dir/krandom$m"
done
rm -f "$dir/p" "$dir/sound"
settle "$img" "$dir/tagged" "$adv" "$dir/random" "$dir/flood" "$dir/flood-random"
for m in "${flood_sizes[@]}"; do settle "$dir/kflood$m" "$dir/krandom$m"; done
# Each flood run scans its image 20 times over.
floods=() flood_randoms=()
for ((k = 0; k < 20; k++)); do
    floods+=("$dir/flood")
    flood_randoms+=("$dir/flood-random")
done

now() { date +%s%N; }
declare -A times rss
# run NAME COMMAND...: one run, its wall time in microseconds and peak RSS;
# its standard output and error are kept in $dir/NAME.out and .err.
run() {
    local name=$1; shift
    local t0 t1 status=0
    t0=$(now)
    /usr/bin/time -f %M -o "$dir/rss" "$@" > "$dir/$name.out" 2> "$dir/$name.err" || status=$?
    t1=$(now)
    echo "$status" > "$dir/$name.status"
    times[$name]+=" $(( (t1 - t0) / 1000 ))"
    rss[$name]+=" $(tail -1 "$dir/rss")"
}
for ((r = 0; r < runs; r++)); do
    run check "$velkor" check -q "$dir/tagged"
    run scan "$velkor" scan "$img"
    run random "$velkor" scan "$dir/random"
    run adversarial "$velkor" scan --json "$dir/adversarial"
    run random-pipe sh -c 'cat "$1" | "$0" scan -' "$velkor" "$dir/random"
    run adversarial-pipe sh -c 'cat "$1" | "$0" scan -' "$velkor" "$dir/adversarial"
    run flood-random "$velkor" scan "${flood_randoms[@]}"
    run flood "$velkor" scan --json "${floods[@]}"
    run flood-random-pipe sh -c 'for k in $(seq 20); do cat "$1" | "$0" scan --json -; done' \
        "$velkor" "$dir/flood-random"
    run flood-pipe sh -c 'for k in $(seq 20); do cat "$1" | "$0" scan --json -; s=$?; done; exit $s' \
        "$velkor" "$dir/flood"
    run scan-keyed "$velkor" scan -k key "$img"
    run scan-2keys "$velkor" scan -k other -k key "$img"
    for m in "${flood_sizes[@]}"; do
        run "krandom$m" "$velkor" scan -k floodkey --json "$dir/krandom$m"
        run "kflood$m" "$velkor" scan -k floodkey --json "$dir/kflood$m"
    done
done

median() { printf '%s\n' $1 | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
most() { printf '%s\n' $1 | sort -n | tail -1; }
ms() { awk -v v="$1" 'BEGIN { printf "%.0f", v / 1000 }'; }
line() { # name
    printf '%-18s %7s ms  peak RSS %7s KiB\n' "$1" "$(ms "$(median "${times[$1]}")")" "$(most "${rss[$1]}")"
}
echo "image: $mib MiB, adversarial: $adv_mib MiB, in $base; $runs runs of each in turn; medians"
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
tagged=$(grep -c ': tagged, .*: verified$' "$dir/scan.out" || true)
boxes=$(grep -c ': container, .*: not verified (no key), magic start$' "$dir/scan.out" || true)
echo "scan found $tagged verified tagged files and $boxes containers without a key (planted: 100 and 100)"
line check
line scan
awk -v c="$(median "${times[check]}")" -v s="$(median "${times[scan]}")" -v m="$(most "${rss[scan]}")" 'BEGIN {
    printf "scan speed / check speed = %.2f (target >= 0.8); scan peak RSS %.1f MiB (target <= 16)\n",
        c / s, m / 1024 }'
# A pipe is measured against random bytes through a pipe, a file against
# the file: each side then pays for the same processes and copies.
line random
line random-pipe
line adversarial-pipe
line adversarial
awk -v r="$(median "${times[random]}")" -v rp="$(median "${times[random-pipe]}")" \
    -v p="$(median "${times[adversarial-pipe]}")" \
    -v a="$(median "${times[adversarial]}")" -v m="$(most "${rss[adversarial]}")" 'BEGIN {
    printf "adversarial / random: one pass (pipe) %.2f (target <= 3), complete (file) %.2f; file peak RSS %.1f MiB (limit 16)\n",
        p / rp, a / r, m / 1024 }'
echo "adversarial from a pipe: status $(cat "$dir/adversarial-pipe.status"), standard error: $(cat "$dir/adversarial-pipe.err")"
echo "adversarial from the file: status $(cat "$dir/adversarial.status"), summary: $(tail -1 "$dir/adversarial.out")"
line flood-random
line flood-random-pipe
line flood-pipe
line flood
awk -v r="$(median "${times[flood-random]}")" -v rp="$(median "${times[flood-random-pipe]}")" \
    -v p="$(median "${times[flood-pipe]}")" -v f="$(median "${times[flood]}")" 'BEGIN {
    printf "flood / random, 20 scans each: one pass (pipe) %.2f (target <= 3), complete (file) %.2f (target <= 10)\n",
        p / rp, f / r }'
echo "flood from the file: status $(cat "$dir/flood.status"), $(grep -c '"verified":true' "$dir/flood.out") verified finds in 20 scans, last summary: $(tail -1 "$dir/flood.out")"
echo "flood from a pipe: status $(cat "$dir/flood-pipe.status"), last summary: $(tail -1 "$dir/flood-pipe.out")"
line scan-keyed
awk -v c="$(median "${times[check]}")" -v s="$(median "${times[scan-keyed]}")" -v m="$(most "${rss[scan-keyed]}")" 'BEGIN {
    printf "keyed scan speed / check speed = %.2f (target >= 0.8); peak RSS %.1f MiB\n", c / s, m / 1024 }'
keyed=$(grep -c ': container, .*: verified, magic start' "$dir/scan-keyed.out" || true)
echo "keyed scan verified $keyed containers (planted: 100)"
line scan-2keys
awk -v one="$(median "${times[scan-keyed]}")" -v two="$(median "${times[scan-2keys]}")" 'BEGIN {
    printf "two keys / one key = %.2f (at most 2 by the library'"'"'s bound)\n", two / one }'
echo "two keys verified $(grep -c ': container, .*: verified, magic start, key 2' "$dir/scan-2keys.out" || true) containers with key 2 (planted: 100)"
for m in "${flood_sizes[@]}"; do
    line "krandom$m"
    line "kflood$m"
    awk -v r="$(median "${times[krandom$m]}")" -v f="$(median "${times[kflood$m]}")" -v m="$m" 'BEGIN {
        printf "keyed flood %d MiB / random %d MiB: %.1fx (target at 16 MiB <= 30)\n", m, m, f / r }'
    echo "  status $(cat "$dir/kflood$m.status"), $(grep -c '"verified":true' "$dir/kflood$m.out") verified, summary: $(tail -1 "$dir/kflood$m.out")"
done
