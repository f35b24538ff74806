# bash completion for ostrel. The commands, their options and the values of an option whose usage
# lists them ("--domain none|bin|lib|share") are read from the tool's own help, so that they follow
# the tool; anything else completes as a file name.
_ostrel() {
    local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands usage values words=
    commands=$("$tool" help 2>/dev/null | awk '$1 == "ostrel" { print $2 }')
    usage=$("$tool" help "${COMP_WORDS[1]}" 2>/dev/null | head -n 1)
    values=${usage#*"[$prev "}
    if [ "$COMP_CWORD" -eq 1 ]; then
        words="$commands --help --version"
    elif [[ $cur == -* ]]; then
        words="$(grep -o -- '--[a-z-]*[a-z]' <<<"$usage") --help"
    elif [ "${COMP_WORDS[1]}" = help ]; then
        words=$commands
    elif [[ $values != "$usage" && ${values%%]*} == *"|"* ]]; then
        values=${values%%]*}
        words=${values//|/ }
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -o default -F _ostrel ostrel
