#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sources the bash completions and checks what they offer for partial
# command lines, in a scratch directory with a few files.
#
#   completion_test.sh COMPLETION_FILE...
set -u
completions=("$@")
for c in "${completions[@]}"; do
    case $c in /*) ;; *) c=$PWD/$c ;; esac
    abs+=("$c")
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velkor-completion.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch hello.txt hello.bgn key.txt -- -odd
mkdir sub

for c in "${abs[@]}"; do
    # shellcheck source=/dev/null
    source "$c" || { echo "cannot source $c"; exit 1; }
done

ran=0 failed=0
# expect 'LINE' 'WORD WORD...': the offers for LINE, the cursor at its end,
# sorted; a line ending in a space completes an empty word.
expect() {
    local line=$1 want=$2
    ran=$((ran + 1))
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    local func
    func=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    [ -n "$func" ] || { echo "FAIL: no completion for ${COMP_WORDS[0]}"; failed=$((failed + 1)); return; }
    "$func" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$line' offers '$got', wanted '$want'"
        failed=$((failed + 1))
    fi
}

expect 'velkor ' '--help --version check info pack scan tag unpack untag'
expect 'velkor un' 'unpack untag'
expect 'velkor check -' '--help --json --padded --quiet --status -h -q'
expect 'velkor check --s' '--status'
expect 'velkor pack --k' '--key --key-env --key-file'
expect 'velkor info --' '--data-sized --help --json --key --key-env --key-file --keys --padded'
expect 'velkor untag -' '--help --padded -h'
expect 'velkor tag -' '--help -h'
expect 'velkor scan --' '--all --carve --csv --data-sized --extract --help --json --key --key-env --key-file --keys --map --max-output --memory-limit --nested --no-payloads'
expect 'velkor scan --keys ke' 'key.txt'
expect 'velkor scan --memory-limit ' ''
export VELKOR_COMPLETION_TEST=1
expect 'velkor unpack --key-env VELKOR_COMPLETION_T' 'VELKOR_COMPLETION_TEST'
expect 'velkor scan --extract s' 'sub'
expect 'velkor scan --carve s' 'sub'
expect 'velkor scan --max-output ' ''
expect 'velkor scan --map hello.t' 'hello.txt'
expect 'velkor pack -l x -m ' 'asar1 start'
expect 'velkor pack --magic a' 'asar1'
expect 'velkor pack -k ' ''
expect 'velkor info -K ke' 'key.txt'
expect 'velkor check hel' 'hello.bgn hello.txt'
expect 'velkor unpack -k k s' 'sub'
expect 'velkor check -- -' '-odd'
expect 'bgntag ' '-odd hello.bgn hello.txt key.txt sub'
expect 'bgntag hello.txt hello.b' 'hello.bgn'
expect 'bgntag a b ' ''

echo "$((ran - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
