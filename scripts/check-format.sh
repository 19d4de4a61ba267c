#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format makes of it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
[[ ${#files[@]} -eq 0 ]] && exit 0
if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "Unformatted files: run clang-format -i on them." >&2
    exit 1
fi
