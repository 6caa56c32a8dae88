#!/usr/bin/env bash
# Each folder of the host tool includes only folders below it, and the
# simulated device includes nothing of the host.
set -u
src=${1:?usage: layers_test.sh SRC_DIR}
layers=(cli commands image ihexfile link report)
bad=0
for i in "${!layers[@]}"; do
    for j in "${!layers[@]}"; do
        [ "$j" -lt "$i" ] || continue  # folder j sits above folder i
        if hits=$(grep -n "#include \"${layers[$j]}/" "$src/${layers[$i]}"/* 2>/dev/null); then
            echo "src/${layers[$i]} includes src/${layers[$j]}, a layer above it:"; echo "$hits"; bad=1
        fi
    done
done
for layer in "${layers[@]}"; do
    if hits=$(grep -n "#include \"$layer/" "$src/sim"/*); then
        echo "src/sim includes the host's $layer:"; echo "$hits"; bad=1
    fi
done
[ "$bad" -eq 0 ] && echo "layers: every include points down"
exit "$bad"
