#!/usr/bin/env bash
# One command for every benchmark: installs the peers, builds zundra and the
# micro-benchmarks, builds the corpora, then runs the comparisons.
#   bench/run.sh [--quick] [corpus ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --bench
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
bash bench/corpus.sh
for b in build/bench/*_bench; do [ -x "$b" ] && "$b" --benchmark_min_time=0.2; done
exec python3 bench/run.py "$@"
