# bash completion for bootlink: options, serial devices for --device, hex
# files for --hexfile. Works with or without the bash-completion package.

_bootlink_devices() {
    local d
    for d in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
        [ -e "$d" ] && printf '%s\n' "$d"
    done
}

_bootlink() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local IFS=$'\n'
    case $prev in
        -d|--device)
            # The adapters first; any other path (a simulator's link) as a file.
            COMPREPLY=($(compgen -W "$(_bootlink_devices)" -- "$cur"))
            [ ${#COMPREPLY[@]} -eq 0 ] && COMPREPLY=($(compgen -f -- "$cur"))
            return 0 ;;
        -f|--hexfile)
            COMPREPLY=($(compgen -f -X '!*.@(hex|HEX|ihx)' -- "$cur") $(compgen -d -S / -- "$cur"))
            compopt -o nospace 2>/dev/null
            return 0 ;;
        --output)
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0 ;;
        -b|--bytes|-a|--startaddr|-r|--rows|--baud|--pace|--timeout|--retries)
            COMPREPLY=()
            return 0 ;;
        --eeprom-size)
            COMPREPLY=($(compgen -W $'256\n512\n1024\n2048\n4096' -- "$cur"))
            return 0 ;;
    esac
    if [[ $cur == -* ]]; then
        local options='--program
--verify
--writeflash
--readflash
--eraseflash
--readeeprom
--reset
--writeeeprom
--eraseeeprom
--readconfig
--list-devices
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
--retries'
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    fi
    return 0
}

shopt -s extglob
complete -F _bootlink bootlink
