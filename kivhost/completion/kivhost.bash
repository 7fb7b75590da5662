# bash completion for kivhost: its commands, their options, the values the
# options take, the serial devices there are for --port, and file names.
# Plain bash is enough: source this file.

_kivhost_ports()
{
    local device
    for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/pts/[0-9]* /dev/serial/by-id/*; do
        [[ -e $device ]] && printf '%s\n' "$device"
    done
}

# File names that start with $1, each folder with its "/" so that completion
# goes on inside it. With $2 (for a port): under /dev only folders and links,
# as its other files are devices, the serial ones offered apart.
_kivhost_paths()
{
    local path
    while IFS= read -r path; do
        if [[ -d $path ]]; then
            printf '%s/\n' "${path%/}"
        elif [[ -z $2 || $path != /dev/* || -L $path ]]; then
            printf '%s\n' "$path"
        fi
    done < <(compgen -f -- "$1")
}

# COMPREPLY from lines, once each, with prefix before each; as file names
# (quoted as needed, no space after a folder) when $2 says so.
_kivhost_reply()
{
    local lines=$1 files=$2 line
    local -A seen=()
    COMPREPLY=()
    while IFS= read -r line; do
        [[ -z $line || -n ${seen[$line]} ]] && continue
        seen[$line]=1
        COMPREPLY+=("$prefix$line")
    done <<<"$lines"
    ((files)) && compopt -o filenames 2>/dev/null
    return 0
}

_kivhost()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} prefix=""
    local commands="info parse read write poll scan stations demo decode monitor"
    local global="--port --baud --format --data-bits --parity --stop-bits --timeout --json --trace --trace=hex --trace=raw
                  --trace-file --lib --version --help"
    local valued="--port|--baud|--format|--data-bits|--parity|--stop-bits|--timeout|--trace-file|--lib|--count|--type|--interval|--cycles|--tags|--max-gap|--retry-down|--csv|--jsonl|--range|--gap|--late|--sim-port"

    # "--option=value": a word of its own after "=" when "=" breaks words, one word otherwise.
    local equals=0
    if [[ $cur == = ]]; then
        cur="" equals=1
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]} equals=1
    elif [[ $cur == --*=* ]]; then
        prev=${cur%%=*} prefix="$prev=" cur=${cur#*=} equals=1
    fi

    # The command: the first word that is neither an option nor an option's value.
    local i word command=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -* || $word == = ]]; then
            continue
        fi
        if [[ ${COMP_WORDS[i-1]} =~ ^($valued)$ ]] || [[ ${COMP_WORDS[i-1]} == = ]]; then
            continue
        fi
        command=$word
        break
    done

    local values=""
    case $prev in
        --port | --sim-port)
            # A serial device, or any path: a link made by plcsim or udev.
            _kivhost_reply "$(compgen -W "$(_kivhost_ports)" -- "$cur"; _kivhost_paths "$cur" port)" 1
            return
            ;;
        --baud)
            values="1200 2400 4800 9600 19200 38400 57600"
            [[ $command == monitor ]] && values+=" 115200 230400"
            ;;
        --format) values="8N1 8N2 8E1 8O1 7E1 7O1 7N2" ;;
        --data-bits) values="5 6 7 8" ;;
        --parity) values="none odd even mark space" ;;
        --stop-bits) values="1 1.5 2" ;;
        --timeout) values="100 300 1000 3000" ;;
        --trace) ((equals)) && values="hex raw" ;;
        --max-gap) values="-1 0 4 8 16" ;;
        --retry-down) values="5 10 30 60" ;;
        --range) values="1-32 1-8" ;;
        --trace-file | --lib | --tags | --csv | --jsonl)
            _kivhost_reply "$(_kivhost_paths "$cur")" 1
            return
            ;;
        --count | --type | --interval | --cycles | --gap | --late) return ;;
    esac
    if [[ -n $values || $prev =~ ^($valued)$ ]]; then
        COMPREPLY=($(compgen -W "$values" -- "$cur"))
        [[ -n $prefix ]] && COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
        return
    fi

    if [[ $cur == -* ]]; then
        local own=""
        case $command in
            parse) own="--type --count --block" ;;
            read) own="--count" ;;
            poll) own="--tags --count --interval --cycles --retry-down" ;;
            scan) own="--interval --cycles --max-gap --plan --retry-down --csv --jsonl" ;;
            stations) own="--range --retry-down" ;;
            demo) own="--sim-port" ;;
            monitor) own="--gap --late --jsonl --csv --shared" ;;
        esac
        COMPREPLY=($(compgen -W "$global $own" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    elif [[ $command == scan || $command == decode ]]; then
        _kivhost_reply "$(_kivhost_paths "$cur")" 1  # the tag file, the trace
    fi
}

complete -F _kivhost kivhost
