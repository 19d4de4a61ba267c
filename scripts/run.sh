#!/usr/bin/env bash
# Installs what is missing, builds klavio (release) and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKLAVIO_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-release"
exec "$root/build-release/app/klavio" "$@"
