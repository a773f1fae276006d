#!/usr/bin/env bash
# Configures and builds into a folder: build.sh BUILD_DIR [extra cmake arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?build folder}
shift
bash "$here/scripts/install-deps.sh"
cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
