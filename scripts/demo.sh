#!/usr/bin/env bash
# The tool's main job, start to finish, against the simulated device: no
# board needed. Expects a build in ./build (or BUILD_DIR).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
work=$(mktemp -d)
sim=""
cleanup() {
    [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The simulated device serves a pseudo-terminal; --link gives it a fixed name.
"$build/bootlink-sim" --link "$work/tty" --quiet >/dev/null &
sim=$!
for _ in $(seq 200); do [ -e "$work/tty" ] && break; sleep 0.05; done
[ -e "$work/tty" ] || { echo "demo: the simulated device did not start" >&2; exit 1; }

cd "$work"
cp "$root/examples/blink.hex" .   # a short name for the lines below
step() {
    echo
    echo "\$ bootlink $*"
    "$build/bootlink" --device "$work/tty" "$@"
}

# Program every memory the example gives, its configuration bytes too
# (checked, erased, written, verified in one run), check it again, read it
# back into a file of its own, start it.
step --program --write-config --hexfile blink.hex
step --verify --hexfile blink.hex
step --readflash --bytes 64 --startaddr 0x0000 --output blink-read.hex
echo
echo "\$ cat blink-read.hex"
cat blink-read.hex
step --reset
echo
echo "demo: done, every step ended with status 0"
