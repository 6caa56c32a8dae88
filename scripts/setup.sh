#!/usr/bin/env bash
# Installs the Debian packages a build needs and the machine lacks: as root
# through apt-get, else through sudo, else says what to run. Nothing is
# installed that is there already, and nothing at all when all is there.
#   scripts/setup.sh           the tool and the simulated device
#   scripts/setup.sh --tests   and the tests (GoogleTest, ser2net, ...)
#   scripts/setup.sh --windows the Windows build (mingw-w64) and Wine to test it
set -euo pipefail

packages=(g++ cmake make pkg-config libtomlplusplus-dev nlohmann-json3-dev nettle-dev)
if [ "${1:-}" = "--tests" ]; then
    packages+=(libgtest-dev libgmock-dev ser2net groff-base man-db bash-completion
               python3 python3-pytest python3-jsonschema python3-labgrid)
elif [ "${1:-}" = "--windows" ]; then
    packages=(cmake make groff-base libtomlplusplus-dev nlohmann-json3-dev g++-mingw-w64-x86-64 wine64
              ser2net python3 python3-pytest)
elif [ -n "${1:-}" ]; then
    echo "usage: scripts/setup.sh [--tests | --windows]" >&2
    exit 2
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
    echo "setup: not a Debian machine; install these (or your system's names for them): ${missing[*]}" >&2
    exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup: as root, run: apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
