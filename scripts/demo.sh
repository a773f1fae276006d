#!/usr/bin/env bash
# Builds the host and runs its main job: the host answering a short sample
# conversation sent by the project's frame client, responses printed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/build.sh" "$here/build"
"$here/build/tools/frameclient" "$here/build/Host/tovelhost" "$@"
