# bash completion for kivgate: its options, the values they take, the
# serial devices there are for --port, and file names (the tag file first).
# Plain bash is enough: source this file.

_kivgate_ports()
{
    local device
    for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/pts/[0-9]* /dev/serial/by-id/*; do
        [[ -e $device ]] && printf '%s\n' "$device"
    done
}

# File names that start with $1, each folder with its "/" so that completion
# goes on inside it.
_kivgate_paths()
{
    local path
    while IFS= read -r path; do
        if [[ -d $path ]]; then
            printf '%s/\n' "${path%/}"
        else
            printf '%s\n' "$path"
        fi
    done < <(compgen -f -- "$1")
}

# COMPREPLY from lines, once each, with prefix before each, as file names.
_kivgate_reply()
{
    local line
    local -A seen=()
    COMPREPLY=()
    while IFS= read -r line; do
        [[ -z $line || -n ${seen[$line]} ]] && continue
        seen[$line]=1
        COMPREPLY+=("$prefix$line")
    done <<<"$1"
    compopt -o filenames 2>/dev/null
    return 0
}

_kivgate()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} prefix=""
    local options="--port --baud --format --data-bits --parity --stop-bits --timeout
                   --plan --interval --max-gap --retry-down
                   --modbus-listen --modbus-unit --modbus-clients --modbus-idle --modbus-request-time --no-modbus
                   --http --no-http
                   --mqtt --mqtt-prefix --mqtt-client-id --mqtt-user --mqtt-password-file
                   --mqtt-cafile --mqtt-certfile --mqtt-keyfile --mqtt-payload --mqtt-refresh
                   --ha-discovery --ha-prefix --allow-writes --max-age --write-timeout --log-level --lib --version --help"
    local valued="--port|--baud|--format|--data-bits|--parity|--stop-bits|--timeout|--interval|--max-gap|--retry-down|--modbus-listen|--modbus-unit|--modbus-clients|--modbus-idle|--modbus-request-time|--http|--mqtt|--mqtt-prefix|--mqtt-client-id|--mqtt-user|--mqtt-password-file|--mqtt-cafile|--mqtt-certfile|--mqtt-keyfile|--mqtt-payload|--mqtt-refresh|--ha-prefix|--max-age|--write-timeout|--log-level|--lib"

    # "--option=value": a word of its own after "=" when "=" breaks words, one word otherwise.
    if [[ $cur == = ]]; then
        cur=""
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    elif [[ $cur == --*=* ]]; then
        prev=${cur%%=*} prefix="$prev=" cur=${cur#*=}
    fi

    local values=""
    case $prev in
        --port)
            _kivgate_reply "$(compgen -W "$(_kivgate_ports)" -- "$cur"; _kivgate_paths "$cur")"
            return
            ;;
        --baud) values="1200 2400 4800 9600 19200 38400 57600" ;;
        --format) values="8N1 8N2 8E1 8O1 7E1 7O1 7N2" ;;
        --data-bits) values="5 6 7 8" ;;
        --parity) values="none odd even mark space" ;;
        --stop-bits) values="1 1.5 2" ;;
        --timeout) values="100 300 1000 3000" ;;
        --max-gap) values="-1 0 4 8 16" ;;
        --retry-down) values="5 10 30 60" ;;
        --modbus-listen) values="127.0.0.1:1502 0.0.0.0:502 [::1]:1502" ;;
        --mqtt) values="127.0.0.1:1883 127.0.0.1:8883" ;;
        --mqtt-payload) values="json value" ;;
        --mqtt-refresh) values="10 60 300" ;;
        --ha-prefix) values="homeassistant" ;;
        --max-age) values="auto 2 5 30" ;;
        --log-level) values="error warn info debug" ;;
        --write-timeout) values="1000 3000 10000" ;;
        --lib | --mqtt-password-file | --mqtt-cafile | --mqtt-certfile | --mqtt-keyfile)
            _kivgate_reply "$(_kivgate_paths "$cur")"
            return
            ;;
    esac
    if [[ -n $values || $prev =~ ^($valued)$ ]]; then
        COMPREPLY=($(compgen -W "$values" -- "$cur"))
        [[ -n $prefix ]] && COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
        return
    fi

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        _kivgate_reply "$(_kivgate_paths "$cur")"  # the tag file
    fi
}

complete -F _kivgate kivgate
