#!/usr/bin/env bash
# Builds the release tree and runs every benchmark in build/bin/*_bench.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "${JOBS:-$(nproc)}"
export SORVEX_ROOT=$(mktemp -d)
trap 'rm -rf "$SORVEX_ROOT"' EXIT
for b in build/bin/*_bench; do
  echo "==== $(basename "$b")"
  "$b" "$@"
done
