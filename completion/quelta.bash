# bash completion of quelta: its commands, the devices that the running driver publishes, and
# each command's options and values. Everything is read from the tool being completed
# (quelta --help, quelta COMMAND --help, quelta list), so the completion knows what that tool
# knows, no more and no less.

# The commands, from the list of quelta --help.
_quelta_commands() {
    "$1" --help 2>/dev/null | awk '/^Commands:/ { listing = 1; next }
                                   listing && /^$/ { exit }
                                   listing && /^  [a-z]/ { print $1 }'
}

# The options in a command's help, one a line: the name, then the value it takes if any
# ("--count N", "--json", "-h" and "--help" from "-h, --help").
_quelta_options() {
    awk '/^(Options|Common options):/ { listing = 1; next }
         /^$/ { listing = 0 }
         listing && /^  -/ {
             count = 0
             for (i = 1; i <= NF; i++) {
                 word = $i; sub(/,$/, "", word)
                 if (word ~ /^-/) names[++count] = word
                 else { if (word ~ /^[A-Z]+$/) value = word; break }
             }
             for (i = 1; i <= count; i++) print names[i], value
             value = ""
         }'
}

# The placeholders of a command's arguments in order, from its synopsis ("DEV", "on|off",
# "[rx|tx|both]"): options and their values left out, and only the first form of a synopsis
# with several ("send DEV TEXT | send DEV --file FILE").
_quelta_arguments() {
    sed -n 's/^Usage: quelta [^ ]* *//p' | awk '{
        for (i = 1; i <= NF; i++) {
            if ($i == "|") break
            if (bracket) { if ($i ~ /]$/) bracket = 0; continue }
            if ($i ~ /^\[-/) { if ($i !~ /]$/) bracket = 1; continue }
            if ($i ~ /^-/) { if ($(i + 1) ~ /^[A-Z]+$/) i++; continue }
            print $i
        }
    }'
}

_quelta_devices() {
    "$1" list 2>/dev/null | awk '{ print $1 }'
}

_quelta() {
    local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "$(_quelta_commands "$tool") --help --version" -- "$cur")
        return
    fi

    local help
    help=$("$tool" "${COMP_WORDS[1]}" --help 2>/dev/null) || return
    local -A takes=()
    local name value
    while read -r name value; do
        takes[$name]=$value
    done < <(_quelta_options <<<"$help")

    local choices=""
    if [[ -n $prev && -n ${takes[$prev]} ]]; then
        case ${takes[$prev]} in
            FILE | PATH) choices=@files ;;
        esac
        [[ $prev == --rx-trigger ]] && choices="1 8 16 32 56"
    elif [[ $cur == -* ]]; then
        choices="${!takes[*]}"
    else
        # Which argument is being typed: the words before it that are neither options nor
        # their values.
        local index=0 i
        for ((i = 2; i < COMP_CWORD; i++)); do
            if [[ ${COMP_WORDS[i]} == -* ]]; then
                [[ -n ${takes[${COMP_WORDS[i]}]} ]] && ((i++))
            else
                ((index++))
            fi
        done
        local arguments=()
        mapfile -t arguments < <(_quelta_arguments <<<"$help")
        # "[BAUD [FRAME]]": the brackets around the name go, however many.
        local placeholder=${arguments[index]#[}
        placeholder=${placeholder%%]*}
        case $placeholder in
            DEV | PEER) choices=$(_quelta_devices "$tool") ;;
            FILE | PATH) choices=@files ;;
            BAUD) choices="9600 19200 38400 57600 115200 230400 460800 921600" ;;
            FRAME) choices="8N1 8E1 8O1 8N2 7E1 7O1 7N2" ;;
            *"|"*) choices=${placeholder//|/ } ;;
        esac
    fi
    if [[ $choices == @files ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -W "$choices" -- "$cur")
    fi
}

complete -F _quelta quelta
