#!/usr/bin/env bash
# Fails, naming the places, when a C++ source of the project differs from the style of the
# root's .clang-format (scripts/orvanel.sh test installs clang-format).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if ! command -v clang-format > /dev/null; then
  echo "clang-format is not installed: scripts/orvanel.sh test installs it" >&2
  exit 1
fi
cd "$root"
find src tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z |
  xargs -0 clang-format --dry-run --Werror
