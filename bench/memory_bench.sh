#!/usr/bin/env bash
# Peak memory with many large pages at once: 200 pages of 60 MiB whose head never ends
# (so each must be read whole), over 200 host names served by nginx on loopback, at -j 1000,
# with the default budget for page bytes held (512 MiB) and with --memory 128. Client and
# server run in a loopback-only network namespace (common.sh).
# usage: bench/memory_bench.sh [BUILD_DIR]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh" nginx-light curl -- "$build"

port=18451
mkdir -p "$work/www"
/usr/bin/python3 -c "
line = b'<meta name=\"filler\" content=\"' + b'x' * 60 + b'\">\n'
with open('$work/www/big.html', 'wb') as f:
    f.write(b'<html><head><title>Big</title>\n')
    f.write(line * (60 * 1024 * 1024 // len(line)))"
chmod -R a+rX "$work/www"
cat > "$work/nginx.conf" <<CONF
worker_processes 1; $nginx_user
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 4096; }
http { access_log off; server { listen 127.0.0.1:$port; root $work/www; } }
CONF
nginx -c "$work/nginx.conf" -p "$work" -g 'daemon off;' & pids+=($!)
wait_for_url "http://127.0.0.1:$port/big.html"

resolve=()
for i in $(seq 0 199); do
  resolve+=(--resolve "m$i.bench.test:$port:127.0.0.1")
  echo "http://m$i.bench.test:$port/big.html"
done > "$work/list.txt"
echo "== 200 pages of $(($(stat -c %s "$work/www/big.html") / 1048576)) MiB, head never closed, -j 1000"
for memory in "" "--memory 128"; do
  /usr/bin/time -f "orvanel-extract -j 1000 ${memory:-(default budget)}: %e s, peak RSS %M KiB" \
    "$build/orvanel-extract" -q -f jsonl -j 1000 $memory "${resolve[@]}" "$work/list.txt" > "$work/out.jsonl"
  echo "   rows: $(wc -l < "$work/out.jsonl"), with a title: $(grep -c '"Big"' "$work/out.jsonl")"
done
