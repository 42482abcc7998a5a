# SPDX-License-Identifier: MIT
# bash completion for bgntag.  Installed as
# share/bash-completion/completions/bgntag, where bash-completion loads it
# on first use; `source` works as well.

_bgntag()
{
    COMPREPLY=()
    # Two operands, IN and OUT, and nothing else: names of files (and of
    # directories, to walk into), one per line.
    ((COMP_CWORD <= 2)) || return
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "${COMP_WORDS[COMP_CWORD]}"))
}

complete -F _bgntag bgntag
