#!/usr/bin/env bash
# Case-insensitive search over 256 MiB of markup without any of the patterns: our search
# against `LC_ALL=C grep -i -c`, side by side, the file in the page cache for both.
set -euo pipefail
build="${1:-build}"
file="${2:-/tmp/orvanel-markup.html}"
[ -f "$file" ] || "$build/make_markup" 256 "$file"
cat "$file" > /dev/null
patterns=("<head>" "</head>" "<title>" '<meta name="keywords" content="' '<meta name="description" content="')
for p in "${patterns[@]}"; do
  start=$(date +%s.%N)
  LC_ALL=C grep -i -c -F -- "$p" "$file" > /dev/null || true
  end=$(date +%s.%N)
  printf 'grep -i  %-40s %.3f s\n' "$p" "$(awk "BEGIN{print $end - $start}")"
  "$build/search_file" "$file" "$p"
done
