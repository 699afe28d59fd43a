#!/usr/bin/env bash
# House style: every C and C++ source is clang-formatted (.clang-format at the top).
set -euo pipefail
cd "$(dirname "$0")/.."
fontes=$(find include api link support platform extrato tools tests -name '*.cpp' -o -name '*.h' | sort)
# shellcheck disable=SC2086
clang-format --dry-run --Werror $fontes
echo "$(echo "$fontes" | wc -l) sources formatted"
