# bash completion for bootlink: options, serial devices for --device, hex
# files for --hexfile, line speeds for --baud; --option=value forms too.
# Works with or without the bash-completion package.

_bootlink_devices() {
    local d
    for d in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
        [ -e "$d" ] && printf '%s\n' "$d"
    done
}

# Names as the shell must see them: "my fw.hex" comes out as my\ fw.hex.
_bootlink_quoted() {
    local name
    while IFS= read -r name; do
        [ -n "$name" ] && printf '%q\n' "$name"
    done
}

# Values for option $1 that start with $2, one a line.
_bootlink_values() {
    local IFS=$'\n'
    case $1 in
        -d|--device)
            # The adapters first; any other path (a simulator's link) as a file.
            local found
            found=$(compgen -W "$(_bootlink_devices)" -- "$2")
            [ -n "$found" ] || found=$(compgen -f -- "$2")
            printf '%s\n' "$found" | _bootlink_quoted ;;
        -f|--hexfile)
            { compgen -f -X '!*.@(hex|HEX|ihx)' -- "$2"; compgen -d -S / -- "$2"; } | _bootlink_quoted ;;
        --output|--report|--serial-file|--log-dir)
            compgen -f -- "$2" | _bootlink_quoted ;;
        --baud)
            compgen -W $'9600\n19200\n38400\n57600\n115200\n230400\n460800\n921600\n1000000\n2000000\n3000000' -- "$2" ;;
        --eeprom-size)
            compgen -W $'256\n512\n1024\n2048\n4096' -- "$2" ;;
        --flash-size)
            compgen -W $'16384\n32768\n65536\n131072' -- "$2" ;;
        -b|--bytes|-a|--startaddr|-r|--rows|--pace|--timeout|--retries|--count|--serial|--serial-at|--serial-bytes|--expect-id|--devices)
            ;;
        *) return 1 ;;
    esac
}

_bootlink() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local IFS=$'\n'
    COMPREPLY=()
    if [[ $cur == --*=* ]]; then
        # --hexfile=fw<TAB>: complete the value, keep the option in front.
        local option=${cur%%=*}
        local value
        for value in $(_bootlink_values "$option" "${cur#*=}"); do COMPREPLY+=("$option=$value"); done
        compopt -o nospace 2>/dev/null
        return 0
    fi
    if _bootlink_values "$prev" "$cur" >/dev/null; then
        COMPREPLY=($(_bootlink_values "$prev" "$cur"))
        case $prev in -f|--hexfile) compopt -o nospace 2>/dev/null ;; esac
        return 0
    fi
    if [[ $cur == -* ]]; then
        local options='--program
--verify
--check
--writeflash
--readflash
--eraseflash
--readeeprom
--reset
--writeeeprom
--eraseeeprom
--readconfig
--readall
--list-devices
--show-config
--no-config
--version
--help
--device
--hexfile
--bytes
--startaddr
--rows
--output
--baud
--pace
--timeout
--no-lock
--trace
--run
--skip-unchanged
--write-config
--eeprom-size
--flash-size
--expect-id
--devices
--log-dir
--wait
--count
--report
--json
--serial-at
--serial
--serial-bytes
--serial-file
--retries
--quiet'
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    fi
    return 0
}

shopt -s extglob
complete -F _bootlink bootlink
