#!/usr/bin/env bash
# What it measures: fetching from one loopback server with --per-host 16, side by side in
# the same run with curl --parallel --parallel-max 16 and aiohttp (limit 16):
#   delay  DELAY_PAGES pages (default 2,000), every answer delayed by 50 ms (floor at 16 at
#          once: 6.25 s for 2,000)
#   nginx  NGINX_PAGES copies (default 20,000) of the 501-byte sample page from nginx, no delay
# Columns as in pages_bench.sh: median wall time of RUNS runs (default 3, at least 3),
# pages/s, the best peer's wall time over this one's, CPU of the client process per 1,000
# pages, connections opened (counted by the server), peak RSS. Client and servers run in a
# loopback-only network namespace (common.sh).
# usage: bench/fetch_bench.sh [BUILD_DIR] [delay|nginx|all]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
what="${2:-all}"
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh" python3-aiohttp curl nginx-light -- "$build" "$what"
source "$bench_dir/scenarios.sh"
runs="${RUNS:-3}"
((runs >= 3)) || { echo "RUNS must be at least 3 (the median of 3 or more)" >&2; exit 2; }

run_side_by_side() {  # LIST
  list="$1" pages=$(wc -l < "$1")
  urls_to_curl_config "$list" > "$work/curl.cfg"
  curl_args=(-K "$work/curl.cfg") aio_args=()
  client_cmd=()
  add_client orvanel-extract "$build/orvanel-extract" -q -j 16 --per-host 16 "$list"
  add_peers 16
  measure "$runs" "$log" orvanel-extract "curl --parallel" aiohttp
  print_table "$pages" orvanel-extract "curl --parallel" aiohttp
}

if [ "$what" = delay ] || [ "$what" = all ]; then
  port=18431 log="$work/access-delay.log"
  : > "$log"
  ACCESS_LOG="$log" "$build/delay_server" $port 50 & pids+=($!)
  wait_for_url "http://127.0.0.1:$port/"
  count="${DELAY_PAGES:-2000}"
  seq "$count" | sed "s|^|http://127.0.0.1:$port/page/|" > "$work/delay.txt"
  echo "== $count pages, 50 ms each, 16 at once (floor $(awk -v p="$count" 'BEGIN { printf "%.2f", p / 16 * 0.05 }') s)"
  run_side_by_side "$work/delay.txt"
  echo
fi

if [ "$what" = nginx ] || [ "$what" = all ]; then
  port=18432 log="$work/access-nginx.log"
  count="${NGINX_PAGES:-20000}"
  make_sample_pages "$count"
  cat > "$work/nginx.conf" <<CONF
worker_processes 1; $nginx_user
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  log_format counts '\$connection \$pid';
  access_log $log counts;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
  nginx -c "$work/nginx.conf" -p "$work" -g 'daemon off;' & pids+=($!)
  wait_for_url "http://127.0.0.1:$port/p1.html"
  seq 0 $((count - 1)) | sed "s|^|http://127.0.0.1:$port/p|; s|$|.html|" > "$work/nginx.txt"
  echo "== $count pages from nginx, no delay, 16 at once, --per-host 16"
  run_side_by_side "$work/nginx.txt"
fi
