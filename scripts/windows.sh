#!/usr/bin/env bash
# The Windows build, from this tree on Debian: installs what it lacks
# (mingw-w64, Wine), cross-builds a static bootlink.exe into build-windows/
# and packs bootlink-X.Y.Z-win64.zip there.
#   scripts/windows.sh          build and pack
#   scripts/windows.sh --test   and run it under Wine against the simulated
#                               device, beside the Linux tool of ./build (or
#                               BUILD_DIR), which must be built
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --windows
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-windows -j 4
(cd build-windows && cpack -G ZIP)
# The zip holds the tool alone (no DLL beside it), the README and the manual.
/usr/bin/python3 - build-windows/bootlink-*-win64.zip <<'PY'
import sys, zipfile
names = {n.split("/", 1)[-1] for n in zipfile.ZipFile(sys.argv[1]).namelist()}
want = {"bootlink.exe", "README.md", "bootlink-manual.txt", "copyright.txt"}
assert want <= names and not any(n.lower().endswith(".dll") for n in names), names
print(sys.argv[1] + ": " + ", ".join(sorted(names)))
PY
[ "${1:-}" = "--test" ] || exit 0

build=$(cd "${BUILD_DIR:-build}" && pwd)
BOOTLINK="$build/bootlink" BOOTLINK_SIM="$build/bootlink-sim" BOOTLINK_EXE="$PWD/build-windows/bootlink.exe" \
    FIXTURES_DIR="$PWD/tests/fixtures" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/integration/test_windows.py
