#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a temporary
# root and runs the packaged programs from there.
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
(cd "$build" && cpack -G DEB > cpack.log) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/bootlink_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
echo "package: $(basename "$deb")"
echo "depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "package: no library dependencies found"; exit 1; }
"$root/usr/bin/bootlink" --version
"$root/usr/bin/bootlink-sim" --version
status=0
"$root/usr/bin/bootlink" --help > "$root/help.txt" || status=$?
[ "$status" -eq 255 ] && grep -q "To read from flash Memory" "$root/help.txt" && grep -q -- "--program" "$root/help.txt" ||
    { echo "package: --help gave status $status"; exit 1; }
for f in usr/share/man/man1/bootlink.1.gz usr/share/man/man1/bootlink-sim.1.gz \
         usr/share/bash-completion/completions/bootlink usr/share/doc/bootlink/README.md \
         usr/share/doc/bootlink/copyright usr/share/doc/bootlink/changelog.gz usr/share/bootlink/events.schema.json \
         usr/lib/python3/dist-packages/bootlink_labgrid/__init__.py usr/lib/python3/dist-packages/bootlink_labgrid/driver.py; do
    [ -f "$root/$f" ] || { echo "package: $f missing"; exit 1; }
done
if command -v man > /dev/null; then
    MANPAGER=cat MANWIDTH=80 man -l "$root/usr/share/man/man1/bootlink.1.gz" | head -n 4
fi
# The checks Debian runs on a package: no error and no warning.
if command -v lintian > /dev/null; then
    lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2> >(grep -v 'root privileges' >&2) ||
        { echo "package: lintian found problems"; exit 1; }
    echo "package: lintian clean"
else
    echo "package: lintian not installed, not run"
fi
echo "package: ok"
