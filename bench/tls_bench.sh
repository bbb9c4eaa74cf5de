#!/usr/bin/env bash
# What it measures: HTTPS over 500 host names, side by side in the same run with curl
# --parallel and aiohttp (6 per host), JOBS at once (default 256):
#   latency  10,000 pages of 60 KiB over TLS (HTTP/1.1), every answer 200 ms late
#            (floor: 10,000 / 256 x 0.2 s = 7.81 s)
#   plain    the same over plain HTTP and 128 names
#   nginx    20,000 pages from nginx over TLS with HTTP/2, no delay
#   wide     orvanel-extract alone at -j 4096 over the same 500 names: 20,000 pages from
#            nginx over TLS, with HTTP/2 and with HTTP/1.1 (up to 6 connections a host)
# A certificate authority and one ECDSA certificate for *.bench.test are made here; the
# names h000.bench.test ... h499.bench.test all lead to 127.0.0.1 (--resolve for
# orvanel-extract and curl, a resolver of its own for aiohttp), in a loopback-only network
# namespace (common.sh). Columns as in pages_bench.sh (median of RUNS runs, default 3),
# with the resumed TLS sessions and the protocols nginx saw beside the connections.
# The counts: LATENCY_PAGES (10,000) and NGINX_PAGES (20,000).
# TRUST=system: every client trusts a copy of the system's bundle with the test authority
# added, as clients out of the box read it (default: the test authority alone).
# usage: bench/tls_bench.sh [BUILD_DIR] [latency|plain|nginx|wide|all] [JOBS]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
what="${2:-all}"
jobs="${3:-256}"
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh" \
  python3-aiohttp curl nginx-light openssl -- "$build" "$what" "$jobs"
source "$bench_dir/scenarios.sh"
delay_server="$build/delay_server"
runs="${RUNS:-3}"
((runs >= 3)) || { echo "RUNS must be at least 3 (the median of 3 or more)" >&2; exit 2; }

side_by_side() {  # MODE_OPTION...
  client_cmd=()
  add_client orvanel-extract "$build/orvanel-extract" -q -j "$jobs" "$@" "${orv_args[@]}" "$list"
  add_peers "$jobs"
  measure "$runs" "$log" orvanel-extract "curl --parallel" aiohttp
  TLS=1 print_table "$pages" orvanel-extract "curl --parallel" aiohttp
  echo
}

floor() {  # PAGES
  awk -v p="$1" -v j="$jobs" 'BEGIN { printf "%.2f", p / j * 0.2 }'
}

if [ "$what" = latency ] || [ "$what" = all ]; then
  setup_tls_latency "${LATENCY_PAGES:-10000}"
  echo "== TLS, $pages pages of 60 KiB over 500 names, 200 ms each, $jobs at once (floor $(floor "$pages") s)"
  side_by_side
fi

if [ "$what" = plain ] || [ "$what" = all ]; then
  setup_name_plain "${LATENCY_PAGES:-10000}"
  echo "== plain HTTP, $pages pages of 60 KiB over 128 names, 200 ms each, $jobs at once (floor $(floor "$pages") s)"
  side_by_side
fi

if [ "$what" = nginx ] || [ "$what" = all ]; then
  setup_tls_nginx "${NGINX_PAGES:-20000}"
  echo "== TLS with HTTP/2, $pages pages from nginx over 500 names, no delay, $jobs at once"
  side_by_side
fi

# orvanel-extract alone at -j 4096: every row must come back without a failure.
wide_run() {  # PORT LABEL
  local port="$1" label="$2" ok
  make_name_list "$port" "$count" "p%d.html" "$work/wide.txt"
  name_clients "$port" "$work/wide.txt"
  : > "$log"
  /usr/bin/python3 "$bench_dir/run_timed.py" "${CLIENT_TIMEOUT:-900}" "$work/timed" \
    "$build/orvanel-extract" -q -f jsonl -o "$work/wide.jsonl" -j 4096 "${orv_args[@]}" "$list"
  read -r wall user sys rss _ < "$work/timed"
  ok=$(grep -c '"reason":null' "$work/wide.jsonl" || true)
  settled_size "$log" > /dev/null
  awk -v label="$label" -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$rss" -v ok="$ok" -v n="$count" '
    !(($1, $2) in seen) { seen[$1, $2] = 1; conns++; if ($3 == "r") resumed++; else full++ }
    END { printf "| %s | %.2f | %d of %d | %.3f | %.0f | %d | %d | %d |\n", label, wall, ok, n,
            (user + sys) * 1000 / n, rss / 1024, conns, full, resumed }' "$log"
}

if [ "$what" = wide ] || [ "$what" = all ]; then
  count="${NGINX_PAGES:-20000}"
  make_sample_pages "$count"
  [ -f "$work/nginx-18443.conf" ] || start_name_nginx 18443 http2 -
  start_name_nginx 18444 http1 -
  echo "== orvanel-extract -j 4096 over 500 names, $count pages from nginx over TLS"
  printf '| protocol | wall s | rows without failure | CPU s per 1,000 pages | peak RSS MiB | connections | full handshakes | resumed |\n'
  printf '|---|---|---|---|---|---|---|---|\n'
  wide_run 18443 "HTTP/2"
  wide_run 18444 "HTTP/1.1"
fi
