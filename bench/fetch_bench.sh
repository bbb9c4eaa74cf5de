#!/usr/bin/env bash
# Fetch benchmarks against loopback servers, side by side with curl --parallel and aiohttp:
#   delay  2,000 pages, every answer delayed by 50 ms (floor at 16 at once: 6.25 s)
#   nginx  20,000 pages from nginx without delay
# usage: bench/fetch_bench.sh [BUILD_DIR] [delay|nginx|all]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
what="${2:-all}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/common.sh" python3-aiohttp hyperfine curl nginx-light

run_side_by_side() {  # LIST NAME
  local list="$1" name="$2"
  awk '{print "url = \"" $0 "\"\noutput = \"/dev/null\""}' "$list" > "$work/curl.cfg"
  hyperfine --warmup 1 --runs 3 --export-markdown "$work/$name.md" \
    -n orvanel-extract "$build/orvanel-extract -q -j 16 --per-host 16 $list > /dev/null" \
    -n "curl --parallel" "curl -s -Z --parallel-max 16 -K $work/curl.cfg" \
    -n "aiohttp 16" "/usr/bin/python3 $here/aiohttp_client.py $list 16"
  cat "$work/$name.md"
  /usr/bin/time -f "orvanel-extract: %U s user, %S s sys, %M KiB peak" \
    "$build/orvanel-extract" -q -j 16 --per-host 16 "$list" > /dev/null
}

if [ "$what" = delay ] || [ "$what" = all ]; then
  port=18431
  /usr/bin/python3 "$here/delay_server.py" $port 50 & pids+=($!)
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
  seq 2000 | sed "s|^|http://127.0.0.1:$port/page/|" > "$work/delay.txt"
  echo "== 2,000 pages, 50 ms each, 16 at once (floor 6.25 s)"
  run_side_by_side "$work/delay.txt" delay
fi

if [ "$what" = nginx ] || [ "$what" = all ]; then
  port=18432
  mkdir -p "$work/www"
  /usr/bin/python3 -c "
import sys
page=open('$here/../Samples/bakery.htm','rb').read()
for i in range(20000): open('$work/www/p%d.html'%i,'wb').write(page)"
  cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
  nginx -c "$work/nginx.conf" -p "$work" -g 'daemon off;' & pids+=($!)
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/p1.html" && break; sleep 0.1; done
  seq 0 19999 | sed "s|^|http://127.0.0.1:$port/p|; s|$|.html|" > "$work/nginx.txt"
  echo "== 20,000 pages from nginx, no delay"
  run_side_by_side "$work/nginx.txt" nginx
fi
