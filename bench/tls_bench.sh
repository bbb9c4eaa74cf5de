#!/usr/bin/env bash
# HTTPS over 500 host names, side by side with curl --parallel and aiohttp, 256 at once:
#   latency  10,000 pages of 60 KiB over TLS (HTTP/1.1), every answer 200 ms late
#            (floor: 10,000 / 256 x 0.2 s = 7.81 s)
#   plain    the same over plain HTTP and 128 names
#   nginx    20,000 pages from nginx over TLS with HTTP/2, no delay
#   wide     orvanel-extract alone at -j 4096 over the same 500 names: 20,000 pages from
#            nginx over TLS, with HTTP/2 and with HTTP/1.1 (up to 6 connections a host)
# A certificate authority and one ECDSA certificate for *.bench.test are made here; the
# names h000.bench.test ... h499.bench.test all lead to 127.0.0.1 (--resolve for
# orvanel-extract and curl, a resolver of its own for aiohttp). Everything stays on loopback.
# Connections, full and resumed TLS handshakes are counted from nginx's log, one run each.
# usage: bench/tls_bench.sh [BUILD_DIR] [latency|plain|nginx|wide|all] [JOBS]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
what="${2:-all}"
jobs="${3:-256}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/common.sh" python3-aiohttp hyperfine curl nginx-light openssl
ulimit -n "$(ulimit -Hn)"

# The certificate authority and the server's certificate.
(
  cd "$work"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Bench CA" \
    -keyout ca.key -out ca.pem 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=*.bench.test" \
    -keyout server.key -out server.csr 2>/dev/null
  printf 'subjectAltName=DNS:*.bench.test\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > ext.cnf
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf \
    -out server.pem 2>/dev/null
)

names=()
for i in $(seq 0 499); do names+=("$(printf 'h%03d.bench.test' "$i")"); done

# LIST: COUNT addresses over the 500 names in a shuffled but repeatable order.
make_list() {  # PORT COUNT PATH_FORMAT OUT [SCHEME [NAMES]]
  /usr/bin/python3 - "$@" <<'PY'
import random, sys
port, count, fmt, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
scheme = sys.argv[5] if len(sys.argv) > 5 else "https"
names = int(sys.argv[6]) if len(sys.argv) > 6 else 500
rows = ["%s://h%03d.bench.test:%s/%s" % (scheme, i % names, port, fmt % i) for i in range(count)]
random.Random(7).shuffle(rows)
open(out, "w").write("\n".join(rows) + "\n")
PY
}

start_nginx() {  # PORT http2|http1|plain PROXY_PORT|-
  local port="$1" proto="$2" upstream="$3" h2=" ssl" location scheme=https
  [ "$proto" = http2 ] && h2=" ssl http2"
  [ "$proto" = plain ] && h2="" && scheme=http
  if [ "$upstream" = - ]; then
    location="root $work/www;"
  else
    location="proxy_pass http://delay; proxy_http_version 1.1; proxy_set_header Connection \"\";"
  fi
  cat > "$work/nginx-$port.conf" <<CONF
worker_processes 1;
worker_rlimit_nofile 65536;
pid $work/nginx-$port.pid;
error_log $work/error-$port.log;
events { worker_connections 16384; }
http {
  log_format counts '\$connection \$ssl_session_reused \$ssl_protocol \$server_protocol';
  access_log $work/access-$port.log counts;
  keepalive_requests 1000000;
  keepalive_timeout 120s;
  ssl_session_cache shared:bench:20m;
  upstream delay { server 127.0.0.1:$upstream; keepalive 1024; }
  server {
    listen 127.0.0.1:$port$h2;
    server_name *.bench.test;
    ssl_certificate $work/server.pem;
    ssl_certificate_key $work/server.key;
    location / { $location }
  }
}
CONF
  [ "$upstream" = - ] && sed -i '/upstream delay/d' "$work/nginx-$port.conf"
  nginx -c "$work/nginx-$port.conf" -p "$work" -g 'daemon off;' & pids+=($!)
  for _ in $(seq 100); do
    curl -sf -o /dev/null --cacert "$work/ca.pem" --resolve "h000.bench.test:$port:127.0.0.1" \
      "$scheme://h000.bench.test:$port/p0.html" && return
    sleep 0.1
  done
  echo "nginx did not start on $port" >&2
  exit 1
}

# The three commands over LIST with PER_HOST transfers to one host at most.
commands() {  # PORT LIST
  local port="$1" list="$2" resolve=() n
  for n in "${names[@]}"; do resolve+=(--resolve "$n:$port:127.0.0.1"); done
  {
    for n in "${names[@]}"; do echo "resolve = \"$n:$port:127.0.0.1\""; done
    awk '{print "url = \"" $0 "\"\noutput = \"/dev/null\""}' "$list"
  } > "$work/curl.cfg"
  cmd_orvanel="$build/orvanel-extract -q -j $jobs --cacert $work/ca.pem ${resolve[*]} $list > /dev/null"
  cmd_curl="curl -s --no-progress-meter -Z --parallel-max $jobs --cacert $work/ca.pem -K $work/curl.cfg"
  cmd_aiohttp="/usr/bin/python3 $here/aiohttp_client.py $list $jobs 6 $work/ca.pem"
}

# One run of each command: time, CPU per 1,000 pages, peak memory, connections and handshakes.
count_runs() {  # PORT PAGES
  local port="$1" pages="$2" name cmd
  printf '| command | wall s | pages/s | CPU s per 1,000 pages | peak RSS MiB | connections | full handshakes | resumed | protocol |\n'
  printf '|---|---|---|---|---|---|---|---|---|\n'
  for name in orvanel-extract "curl --parallel" aiohttp; do
    case "$name" in
      orvanel-extract) cmd="$cmd_orvanel" ;;
      curl*) cmd="$cmd_curl" ;;
      *) cmd="$cmd_aiohttp" ;;
    esac
    : > "$work/access-$port.log"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" bash -c "$cmd"
    read -r wall user sys rss < "$work/time"
    awk -v name="$name" -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$rss" -v pages="$pages" '
      !($1 in seen) { seen[$1] = 1; conns++; if ($2 == "r") resumed++; else if ($2 != "-") full++ }
      { requests++; proto[$4]++ }
      END {
        p = ""; for (k in proto) p = p k " ";
        tls = full + resumed > 0
        printf "| %s | %.2f | %.0f | %.3f | %.0f | %d | %s | %s | %s|\n", name, wall, pages / wall,
          (user + sys) * 1000 / pages, rss / 1024, conns, tls ? full : "-", tls ? resumed : "-", p
        if (requests != pages) printf "(%s: %d requests seen, %d pages)\n", name, requests, pages > "/dev/stderr"
      }' "$work/access-$port.log"
  done
}

side_by_side() {  # NAME
  [ -n "${KEEP:-}" ] && declare -p cmd_orvanel cmd_curl cmd_aiohttp > "$work/commands"
  hyperfine --warmup 1 --runs 3 --export-markdown "$work/$1.md" \
    -n orvanel-extract "$cmd_orvanel" -n "curl --parallel" "$cmd_curl" -n aiohttp "$cmd_aiohttp" > /dev/null
  cat "$work/$1.md"
}

if [ "$what" = latency ] || [ "$what" = all ]; then
  PAGE_KIB=60 /usr/bin/python3 "$here/delay_server.py" 18441 200 & pids+=($!)
  start_nginx 18442 http1 18441
  make_list 18442 10000 "page/%d" "$work/latency.txt"
  commands 18442 "$work/latency.txt"
  echo "== TLS, 10,000 pages of 60 KiB over 500 names, 200 ms each, $jobs at once (floor 7.81 s)"
  side_by_side latency
  echo
  count_runs 18442 10000
  echo
fi

make_pages() {
  [ -d "$work/www" ] && return
  mkdir -p "$work/www"
  /usr/bin/python3 -c "
page = open('$here/../Samples/bakery.htm', 'rb').read()
for i in range(20000): open('$work/www/p%d.html' % i, 'wb').write(page)"
  chmod -R a+rX "$work/www"
}

# orvanel-extract alone at -j 4096: every row must come back without a failure.
wide_run() {  # PORT LABEL
  local port="$1" label="$2" resolve=() n
  for n in "${names[@]}"; do resolve+=(--resolve "$n:$port:127.0.0.1"); done
  make_list "$port" 20000 "p%d.html" "$work/wide.txt"
  : > "$work/access-$port.log"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$build/orvanel-extract" -q -f jsonl -j 4096 \
    --cacert "$work/ca.pem" "${resolve[@]}" "$work/wide.txt" > "$work/wide.jsonl" || true
  read -r wall user sys rss < "$work/time"
  local ok
  ok=$(grep -c '"reason":null' "$work/wide.jsonl" || true)
  awk -v label="$label" -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$rss" -v ok="$ok" '
    !($1 in seen) { seen[$1] = 1; conns++; if ($2 == "r") resumed++; else full++ }
    END { printf "| %s | %.2f | %d of 20000 | %.3f | %.0f | %d | %d | %d |\n", label, wall, ok,
            (user + sys) * 1000 / 20000, rss / 1024, conns, full, resumed }' "$work/access-$port.log"
}

if [ "$what" = plain ] || [ "$what" = all ]; then
  pgrep -f "delay_server.py 18441" > /dev/null || { PAGE_KIB=60 /usr/bin/python3 "$here/delay_server.py" 18441 200 & pids+=($!); }
  start_nginx 18445 plain 18441
  make_list 18445 10000 "page/%d" "$work/plain.txt" http 128
  commands 18445 "$work/plain.txt"
  echo "== plain HTTP, 10,000 pages of 60 KiB over 128 names, 200 ms each, $jobs at once (floor 7.81 s)"
  side_by_side plain
  echo
  count_runs 18445 10000
  echo
fi

if [ "$what" = nginx ] || [ "$what" = all ]; then
  make_pages
  start_nginx 18443 http2 -
  make_list 18443 20000 "p%d.html" "$work/nginx.txt"
  commands 18443 "$work/nginx.txt"
  echo "== TLS with HTTP/2, 20,000 pages from nginx over 500 names, no delay, $jobs at once"
  side_by_side nginx
  echo
  count_runs 18443 20000
fi

if [ "$what" = wide ] || [ "$what" = all ]; then
  make_pages
  ss -ltn | grep -q ":18443 " || start_nginx 18443 http2 -
  start_nginx 18444 http1 -
  echo
  echo "== orvanel-extract -j 4096 over 500 names, 20,000 pages from nginx over TLS"
  printf '| protocol | wall s | rows without failure | CPU s per 1,000 pages | peak RSS MiB | connections | full handshakes | resumed |\n'
  printf '|---|---|---|---|---|---|---|---|\n'
  wide_run 18443 "HTTP/2"
  wide_run 18444 "HTTP/1.1"
fi
