#!/usr/bin/env bash
# What it measures: orvanel-extract on pages as users fetch them, at its default limits
# (no --per-host), side by side in the same run with curl --parallel --parallel-max N and
# aiohttp (limit N), and prints one Markdown table per scenario:
#   pages16, pages64  PAGES generated pages (default 20,000, make_pages.py, seed SEED):
#                     60-80 KiB, the head closing between 5 and 40 KiB (a few past 64 KiB),
#                     about half with title, keywords and description in the first
#                     kilobyte, the others without keywords; from nginx with 2 workers on
#                     8 loopback ports (8 hosts), 16 or 64 at once; orvanel-extract in each
#                     mode: head, title-meta, and tags with "<h1></h1>" and description
#   tls-latency64     TLS (HTTP/1.1), TLS_LATENCY_PAGES pages of 60 KiB (default 10,000) over
#                     500 names, every answer 200 ms late, 64 at once (floor: pages/64 x 0.2 s)
#   tls-nginx64       TLS with HTTP/2, TLS_PAGES copies of the sample page (default 20,000)
#                     from nginx over 500 names, no delay, 64 at once, mode head
# Under each pages table, the server's ceiling: what wrk (one thread, N connections kept
# open, the same pages in turn, for CEILING_SECONDS, default 5) takes from the same nginx,
# in pages per second and against the best peer; once for whole pages, once asking for the
# first byte of each only (Range: bytes=0-0). A client that reads whole pages cannot pass
# the first on this machine, and one that reads next to nothing not the second.
# Columns: median wall time of RUNS runs (default 3, at least 3; the clients take turns,
# after WARMUP rounds, default 1), pages/s, the best peer's wall time over this one's, CPU
# (user + system) of the client process per 1,000 pages, connections opened (distinct
# connections in nginx's access log), peak RSS. Client and servers run in a loopback-only
# network namespace (common.sh); made-up names go through --resolve only.
# TRUST=system: every client trusts a copy of the system's bundle with the test authority
# added, as clients out of the box read it (default: the test authority alone).
# usage: bench/pages_bench.sh [BUILD_DIR] [pages16|pages64|tls-latency64|tls-nginx64|all ...]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
shift || true
scenarios=("${@:-all}")
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh" \
  python3-aiohttp curl nginx-light openssl wrk -- "$build" "${scenarios[@]}"
source "$bench_dir/scenarios.sh"
delay_server="$build/delay_server"
runs="${RUNS:-3}"
((runs >= 3)) || { echo "RUNS must be at least 3 (the median of 3 or more)" >&2; exit 2; }
[ "${scenarios[*]}" = all ] && scenarios=(pages16 pages64 tls-latency64 tls-nginx64)
orv="$build/orvanel-extract"

echo "Machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start;" \
  "$("$orv" --version 2>&1 | head -1); $(curl --version | head -1 | cut -d' ' -f1-2);" \
  "aiohttp $(/usr/bin/python3 -c 'import aiohttp; print(aiohttp.__version__)'); $(nginx -v 2>&1);" \
  "network namespace: $ORVANEL_BENCH_NETNS; $runs runs each, median"
echo

# orvanel-extract in the three modes and the two peers at N at once over the pages.
pages_table() {  # N
  local n="$1" mode
  client_cmd=()
  for mode in head title-meta; do
    add_client "orvanel-extract -m $mode" "$orv" -q -j "$n" -m "$mode" "${orv_args[@]}" "$list"
  done
  add_client "orvanel-extract -m tags" "$orv" -q -j "$n" -m tags -t "<h1></h1>" -t description \
    "${orv_args[@]}" "$list"
  add_peers "$n"
  local clients=("orvanel-extract -m head" "orvanel-extract -m title-meta" "orvanel-extract -m tags"
                 "curl --parallel" aiohttp)
  measure "$runs" "$log" "${clients[@]}"
  print_table "$pages" "${clients[@]}"
  print_ceiling "$n" "$(median "curl --parallel" 1)" "$(median aiohttp 1)"
}

# wrk over the pages, N connections to the first port, each request the next page.
print_ceiling() {  # N CURL_WALL AIOHTTP_WALL
  local seconds="${CEILING_SECONDS:-5}" range rate what
  for range in "" "bytes=0-0"; do
    cat > "$work/ceiling.lua" <<LUA
local n = 0
local headers = {}
if "$range" ~= "" then headers["Range"] = "$range" end
request = function()
  n = n + 1
  return wrk.format(nil, string.format("/p%05d.html", n % $pages), headers)
end
LUA
    rate=$(wrk -t1 -c"$1" -d"${seconds}s" -s "$work/ceiling.lua" "http://127.0.0.1:$pages_port/" |
      awk '/^Requests\/sec:/ { print $2 }')
    what="whole pages"
    [ -z "$range" ] || what="the first byte of each"
    awk -v rate="$rate" -v pages="$pages" -v a="$2" -v b="$3" -v n="$1" -v s="$seconds" -v what="$what" 'BEGIN {
      best = (a < b) ? a : b
      printf "- the server'"'"'s ceiling, %s: wrk, %d connections, %d s: %.0f pages/s, %.2f x the best peer\n",
        what, n, s, rate, rate / (pages / best) }'
  done
}

# orvanel-extract (with MODE_OPTIONS) and the two peers at N at once over the names.
names_table() {  # N MODE_OPTION...
  local n="$1"; shift
  client_cmd=()
  add_client orvanel-extract "$orv" -q -j "$n" "$@" "${orv_args[@]}" "$list"
  add_peers "$n"
  measure "$runs" "$log" orvanel-extract "curl --parallel" aiohttp
  TLS=1 print_table "$pages" orvanel-extract "curl --parallel" aiohttp
}

for scenario in "${scenarios[@]}"; do
  case "$scenario" in
    pages16 | pages64)
      n="${scenario#pages}"
      setup_pages "${PAGES:-20000}"
      echo "== $pages pages from nginx (2 workers) on 8 loopback ports, $n at once, default limits"
      pages_table "$n"
      ;;
    tls-latency64)
      setup_tls_latency "${TLS_LATENCY_PAGES:-10000}"
      echo "== TLS, $pages pages of 60 KiB over 500 names, 200 ms each, 64 at once" \
        "(floor $(awk -v p="$pages" 'BEGIN { printf "%.2f", p / 64 * 0.2 }') s)"
      names_table 64
      ;;
    tls-nginx64)
      setup_tls_nginx "${TLS_PAGES:-20000}"
      echo "== TLS with HTTP/2, $pages pages from nginx over 500 names, no delay, 64 at once, -m head"
      names_table 64 -m head
      ;;
    *)
      echo "unknown scenario $scenario" >&2
      exit 2
      ;;
  esac
  echo
done
