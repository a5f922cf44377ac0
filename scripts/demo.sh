#!/usr/bin/env bash
# Builds zundra and runs it on real files of this machine: compress a tree,
# list and verify the archive, extract it and compare with the original.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target zundra
tree=${1:-/usr/share/doc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
./build/zundra compress "$tree" -o "$work/demo.zd"
./build/zundra info "$work/demo.zd"
./build/zundra verify "$work/demo.zd"
./build/zundra extract "$work/demo.zd" -o "$work/out"
diff -r --no-dereference "$tree" "$work/out" && echo "demo: extracted tree is identical to $tree"
