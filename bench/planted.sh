# SPDX-License-Identifier: MIT
# Sourced by the scan benchmarks: planted_image VELKOR DIR MIB N writes
# DIR/image, MIB MiB of random bytes with N tagged files and N containers
# (payloads of 1 to 64 KiB, key "key") planted at random offsets, one in
# each 1/(2N) of the image, so that none overlaps another.
planted_image() {
  local velkor=$1 dir=$2 mib=$3 n=$4 i
  head -c "$((mib << 20))" /dev/urandom > "$dir/image"
  for ((i = 0; i < n; i++)); do
    head -c $(( (RANDOM % 64 + 1) * 1024 )) /dev/urandom > "$dir/p"
    "$velkor" tag "$dir/p" "$dir/t$i"
    "$velkor" pack -k key -l "part $i" "$dir/p" "$dir/c$i"
  done
  python3 - "$dir/image" "$dir" "$n" <<'PY'
import os, random, sys
img, d, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = os.path.getsize(img)
parts = [open(os.path.join(d, "%s%d" % (k, i)), "rb").read() for k in "tc" for i in range(n)]
slot = size // len(parts)  # one part per slot, somewhere inside it
with open(img, "r+b") as f:
    for s, p in enumerate(random.sample(parts, len(parts))):
        f.seek(s * slot + random.randrange(slot - len(p)))
        f.write(p)
PY
  rm -f "$dir"/p "$dir"/t* "$dir"/c*
}
