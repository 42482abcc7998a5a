#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The signatures in share/velkor against the system's own tools: file(1)
# names a tagged file or a container from its first bytes, with its fields;
# binwalk lists every one inside a dump at its offset, the same offsets
# velkor scan finds.  Neither claims what merely begins like one.
#
#   magic_test.sh file|binwalk SIGNATURE_DIR VELKOR
#
# Status 77 (skipped, with the reason) when the tool is not installed.
set -u
tool=$1 dir=$2 velkor=$3
if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (Debian: apt-get install $tool)"
    exit 77
fi
case $dir in /*) ;; *) dir=$PWD/$dir ;; esac
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velkor-magic.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
# binwalk keeps settings under the home directory.
export HOME=$scratch

failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# What velkor writes: a tagged file (and one with no payload), containers
# with either magic, and one with the longest label (31) and sublabel (7).
printf 'hello, world\n' > hello.txt
: > empty.txt
"$velkor" tag hello.txt hello.bgn || exit 1
"$velkor" tag empty.txt empty.bgn || exit 1
"$velkor" pack -k key -l greeting -s v1 -m asar1 -p 9 hello.txt asar1.vc || exit 1
"$velkor" pack -k key -l '' -p 0xff hello.txt start.vc || exit 1
"$velkor" pack -k key -l 0123456789012345678901234567890 -s 0123456 -m asar1 empty.txt long.vc || exit 1
# A tagged file that holds a container: both are found, at 0 and 20.
"$velkor" tag asar1.vc nested.bgn || exit 1

# Near misses: each begins like one of the formats, but a length is out of
# its range (label length 0 or 33, sublabel length 0 or 9, a tagged file
# shorter than its header) or the format byte is wrong.
be32() { printf "\\x$(printf %02x $(($1 >> 24 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 & 255)))"; }
pad() { head -c "$1" /dev/zero | tr '\0' '.'; }
container_head() { # MAGIC L1 L2: a container's fields up to the payload
    printf '%s\0\x07' "$1"; be32 "$2"; pad "$2"; be32 "$3"; pad "$3"; be32 4; printf 'abcd\0\0\0\0'
}
container_head start 0 2 > miss-l1-0
container_head start 33 2 > miss-l1-33
container_head asar1 2 0 > miss-l2-0
container_head asar1 2 9 > miss-l2-9
{ printf 'bgn\0\0\0\0\0\0\0\0\xb1'; be32 19; be32 0; } > miss-short
{ printf 'bgn\0\0\0\0\0\0\0\0\xb2'; be32 20; be32 0; } > miss-format
printf 'start\0 of the text, then more words' > miss-text
misses=(miss-l1-0 miss-l1-33 miss-l2-0 miss-l2-9 miss-short miss-format miss-text)

if [ "$tool" = file ]; then
    check() { # FILE WANT: what file -m says, alone and with the system's magic
        local got
        for magic in "$dir/velkor.magic" "$dir/velkor.magic:/usr/share/misc/magic"; do
            [ "$magic" = "$dir/velkor.magic" ] || [ -f /usr/share/misc/magic ] || [ -f /usr/share/misc/magic.mgc ] || continue
            got=$(file -b -m "$magic" "$1")
            [ "$got" = "$2" ] || fail "file -m $magic $1: '$got', wanted '$2'"
        done
    }
    check hello.bgn 'velkor tagged file, total length 33 bytes, payload 13 bytes, CRC 0x23b8b1f0'
    check empty.bgn 'velkor tagged file, total length 20 bytes, payload 0 bytes, CRC 0x98b96aa8'
    check nested.bgn 'velkor tagged file, total length 68 bytes, payload 48 bytes, CRC 0x'"$(od -An -tx1 -j16 -N4 nested.bgn | tr -d ' \n')"
    check asar1.vc 'velkor container, magic asar1, key prefix 0x09, payload 13 bytes'
    check start.vc 'velkor container, magic start, key prefix 0xff, payload 13 bytes'
    check long.vc 'velkor container, magic asar1, key prefix 0x00, payload 0 bytes'
    # A dump is named by what it begins with.
    cat asar1.vc hello.bgn hello.txt > dump.img
    check dump.img 'velkor container, magic asar1, key prefix 0x09, payload 13 bytes'
    for f in "${misses[@]}"; do
        got=$(file -b -m "$dir/velkor.magic" "$f")
        [ "$got" = data ] || fail "file -m takes $f for one: '$got'"
    done
else
    # A dump: filler, then every file above at known offsets, the near
    # misses between them.
    {
        pad 100; cat asar1.vc; pad 37; cat hello.bgn miss-l1-0 start.vc miss-l1-33 miss-l2-0
        cat nested.bgn miss-l2-9 miss-short miss-format miss-text long.vc empty.bgn; pad 50
    } > dump.img
    out=$(binwalk -m "$dir/binwalk.magic" dump.img 2>&1) || fail "binwalk: $out"
    # "DECIMAL HEX DESCRIPTION" lines, as "OFFSET KIND".
    got=$(printf '%s\n' "$out" | sed -n 's/^\([0-9][0-9]*\) *0x[0-9A-F]* *velkor \([a-z]*\).*/\1 \2/p')
    want=$("$velkor" scan -k key --json dump.img |
           sed -n 's/.*"offset":\([0-9]*\),"kind":"\([a-z]*\)".*/\1 \2/p')
    [ "$(printf '%s\n' "$want" | wc -l)" -eq 7 ] || fail "velkor scan finds $(printf '%s\n' "$want" | wc -l) in the dump, not 7: $want"
    [ "$got" = "$want" ] || fail "binwalk lists
$got
and velkor scan finds
$want
in full:
$out"
    # The fields of a tagged file and a container, as binwalk shows them.
    for line in '185 *0xB9 *velkor tagged file, total length: 33 bytes, payload: 13 bytes, CRC: 0x23b8b1f0$' \
                '100 *0x64 *velkor container, magic: asar1, key prefix: 0x09, payload: 13 bytes$'; do
        printf '%s\n' "$out" | grep -x "$line" >/dev/null || fail "binwalk shows no line '$line':
$out"
    done
fi

[ "$failed" -eq 0 ] && echo "$tool: ok"
[ "$failed" -eq 0 ]
