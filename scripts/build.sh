#!/usr/bin/env bash
# scripts/build.sh <build-dir> [cmake options...]: configures (once) and builds with Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
shift
cmake -S . -B "$build_dir" -G Ninja -DTOLVANE_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
