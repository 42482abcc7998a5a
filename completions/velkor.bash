# SPDX-License-Identifier: MIT
# bash completion for velkor.  Installed as
# share/bash-completion/completions/velkor, where bash-completion loads it
# on first use; it needs nothing of bash-completion's own functions, so
# `source` works as well.  bgntag has its own file, bgntag.bash.

_velkor_options()
{
    case $1 in
    check) echo "-q --quiet --status --json --padded" ;;
    untag) echo "--padded" ;;
    pack) echo "-k --key -K --key-file --key-env -l --label -s --sublabel -m --magic -p --prefix --data-sized" ;;
    unpack) echo "-k --key -K --key-file --key-env --keys --data-sized" ;;
    info) echo "-k --key -K --key-file --key-env --keys --data-sized --padded --json" ;;
    scan) echo "-k --key -K --key-file --key-env --keys --data-sized --all --json --csv --no-payloads --extract --carve --nested --max-output --memory-limit --map" ;;
    esac
    echo "-h --help"
}

# Names of files (directories too, to walk into), one per line.
_velkor_files()
{
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY+=($(compgen -f -- "$1"))
}

_velkor()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    local commands="check untag tag pack unpack info scan"
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi
    local cmd=${COMP_WORDS[1]}

    # The value of the option before the cursor.
    case $prev in
    -m | --magic)
        COMPREPLY=($(compgen -W "start asar1" -- "$cur"))
        return ;;
    -K | --key-file | --keys | --map)
        _velkor_files "$cur"
        return ;;
    --extract | --carve)
        local IFS=$'\n'
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return ;;
    --key-env)
        COMPREPLY=($(compgen -e -- "$cur"))
        return ;;
    -k | --key | -l | --label | -s | --sublabel | -p | --prefix | --max-output | --memory-limit)
        return ;; # free text
    esac

    # Options until "--"; after it, only files.
    local i
    for ((i = 2; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -- ]] && { _velkor_files "$cur"; return; }
    done
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_velkor_options "$cmd")" -- "$cur"))
        return
    fi
    _velkor_files "$cur"
}

complete -F _velkor velkor
