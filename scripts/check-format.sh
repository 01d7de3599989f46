#!/usr/bin/env bash
# Fails when a C or C++ file of the project differs from .clang-format.
# Fix with: git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files as .clang-format has them"
