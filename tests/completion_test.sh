#!/usr/bin/env bash
# Sources the bash completion and checks what it offers.
#   completion_test.sh COMPLETION_FILE [MANUAL_PAGE]
set -u
. "$1"
page=${2:+$(realpath "$2")}
failures=0
complete_line() {  # words...: the last is the word being completed
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _bootlink
    [ ${#COMPREPLY[@]} -gt 0 ] && printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {  # what, got, want
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: got '$2', want '$3'"
        failures=$((failures + 1))
    else
        echo "ok   $1"
    fi
}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
touch fw.hex app.HEX notes.txt tty-sim "my fw.hex"
mkdir build

expect "actions" "$(complete_line bootlink --re)" "--readall --readconfig --readeeprom --readflash --report --reset --retries "
expect "new options" "$(complete_line bootlink --sk)" "--skip-unchanged "
expect "hex files and folders" "$(complete_line bootlink --hexfile '')" "app.HEX build/ fw.hex my\\ fw.hex "
expect "a name with a blank, quoted" "$(complete_line bootlink --hexfile my)" "my\\ fw.hex "
expect "the option=value form" "$(complete_line bootlink --hexfile=f)" "--hexfile=fw.hex "
expect "line speeds" "$(complete_line bootlink --baud 11)" "115200 "
expect "short hexfile option" "$(complete_line bootlink -f f)" "fw.hex "
expect "a path that is no adapter" "$(complete_line bootlink --device "$dir/tty")" "$dir/tty-sim "
expect "numbers get nothing" "$(complete_line bootlink --pace 1)" ""
# Every option the tool takes (its manual page names them all) is offered.
if [ -n "$page" ]; then
    offered=" $(complete_line bootlink --)"
    for opt in $(grep -o '\\-\\-[a-z][a-z\\-]*' "$page" | sed 's/\\//g' | sort -u); do
        case $offered in *" $opt "*) ;; *) echo "FAIL not offered: $opt"; failures=$((failures + 1)) ;; esac
    done
fi
echo "$failures failed"
[ "$failures" -eq 0 ]
