#!/usr/bin/env bash
# Files a run or a build makes never belong in the repository: kept bytes of
# a device, saved reads, build trees.
set -u
top=${1:?usage: repo_test.sh REPO_DIR}
cd "$top" || exit 1
git rev-parse --git-dir >/dev/null 2>&1 || { echo "not a git checkout: nothing to check"; exit 0; }
stray=$(git ls-files | grep -E '(^|/)bootlink-kept-[^/]*\.hex$|(^|/)out\.hex$|(^|/)[^/]*\.hex\.[A-Za-z0-9]{6}$|(^|/)CMakeCache\.txt$')
if [ -n "$stray" ]; then
    echo "generated files are in the repository:"; echo "$stray"; exit 1
fi
echo "repository: no generated files"
