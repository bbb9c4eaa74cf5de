# Servers, address lists and client commands of the fetch benchmarks; sourced after
# common.sh (needs nginx-light, curl, openssl, python3-aiohttp). Each setup_* function
# starts its servers the first time it is called and sets:
#   list, pages   the address list and its length
#   log           the server's access log ("$connection $pid [$ssl_session_reused] ...")
#   orv_args      orvanel-extract's options for the scenario (besides -j and the mode)
#   curl_args     curl's options (besides --parallel-max); aio_args: aiohttp_client.py's
#                 arguments after the list and the limit
# add_peers N then adds the clients "curl --parallel" and "aiohttp" at N at once.
# The scenarios with a delay need delay_server set to the path of bench/delay_server.cpp
# built: the delay_server target of a build, or compiled alone as compare.sh does.

# --- Pages as users fetch them: plain HTTP, nginx with 2 workers on 8 loopback ports -------
pages_port=18460
setup_pages() {  # COUNT
  local count="$1" i
  if [ ! -d "$work/pages" ]; then
    /usr/bin/python3 "$bench_dir/make_pages.py" "${SEED:-1}" "$count" "$work/pages"
    chmod -R a+rX "$work/pages"
    {
      echo "worker_processes 2; $nginx_user"
      echo "pid $work/nginx-pages.pid; error_log $work/error-pages.log;"
      echo "events { worker_connections 4096; }"
      echo "http {"
      echo "  log_format counts '\$connection \$pid';"
      echo "  access_log $work/access-pages.log counts;"
      echo "  types { text/html html; }"
      echo "  sendfile on; keepalive_requests 100000;"
      echo "  server {"
      for i in $(seq 0 7); do echo "    listen 127.0.0.1:$((pages_port + i));"; done
      echo "    root $work/pages;"
      echo "  }"
      echo "}"
    } > "$work/nginx-pages.conf"
    nginx -c "$work/nginx-pages.conf" -p "$work" -g 'daemon off;' & pids+=($!)
    for i in $(seq 0 7); do wait_for_url "http://127.0.0.1:$((pages_port + i))/p00000.html"; done
  fi
  list="$work/pages-list.txt" pages="$count" log="$work/access-pages.log"
  for ((i = 0; i < count; i++)); do printf 'http://127.0.0.1:%d/p%05d.html\n' $((pages_port + i % 8)) "$i"; done > "$list"
  orv_args=() aio_args=()
  urls_to_curl_config "$list" > "$work/curl-pages.cfg"
  curl_args=(-K "$work/curl-pages.cfg")
}

urls_to_curl_config() {  # LIST
  awk '{print "url = \"" $0 "\"\noutput = \"/dev/null\""}' "$1"
}

# Adds the peers at N at once, over the scenario set up last.
add_peers() {  # N
  is_peer["curl --parallel"]=1 is_peer["aiohttp"]=1
  add_client "curl --parallel" curl -s --no-progress-meter -Z --parallel-max "$1" "${curl_args[@]}"
  add_client aiohttp /usr/bin/python3 "$bench_dir/aiohttp_client.py" "$list" "$1" "${aio_args[@]}"
}

# --- HTTPS over 500 host names -----------------------------------------------------------
# A certificate authority and one ECDSA certificate for *.bench.test; the names
# h000.bench.test ... h499.bench.test all lead to 127.0.0.1 (--resolve for orvanel-extract
# and curl, a resolver of its own for aiohttp).
names=()
for i in $(seq 0 499); do names+=("$(printf 'h%03d.bench.test' "$i")"); done

make_certificates() {
  [ -f "$work/ca.pem" ] && return
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
}

# COUNT addresses over the first NAMES names in a shuffled but repeatable order.
make_name_list() {  # PORT COUNT PATH_FORMAT OUT [SCHEME [NAMES]]
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

# nginx on PORT: over TLS with HTTP/2 or HTTP/1.1, or plain HTTP; serving the sample
# pages of make_sample_pages, or passing every request to the delay server on UPSTREAM.
start_name_nginx() {  # PORT http2|http1|plain UPSTREAM_PORT|-
  local port="$1" proto="$2" upstream="$3" listen=" ssl" location scheme=https
  [ "$proto" = http2 ] && listen=" ssl http2"
  [ "$proto" = plain ] && listen="" && scheme=http
  make_certificates
  location="root $work/www;"
  [ "$upstream" = - ] || location="proxy_pass http://delay; proxy_http_version 1.1; proxy_set_header Connection \"\";"
  cat > "$work/nginx-$port.conf" <<CONF
worker_processes 1; $nginx_user
worker_rlimit_nofile 65536;
pid $work/nginx-$port.pid;
error_log $work/error-$port.log;
events { worker_connections 16384; }
http {
  log_format counts '\$connection \$pid \$ssl_session_reused \$ssl_protocol \$server_protocol';
  access_log $work/access-$port.log counts;
  keepalive_requests 1000000;
  keepalive_timeout 120s;
  ssl_session_cache shared:bench$port:20m;
  $([ "$upstream" = - ] || echo "upstream delay { server 127.0.0.1:$upstream; keepalive 1024; }")
  server {
    listen 127.0.0.1:$port$listen;
    server_name *.bench.test;
    ssl_certificate $work/server.pem;
    ssl_certificate_key $work/server.key;
    location / { $location }
  }
}
CONF
  nginx -c "$work/nginx-$port.conf" -p "$work" -g 'daemon off;' & pids+=($!)
  wait_for_url "$scheme://h000.bench.test:$port/p0.html" --cacert "$work/ca.pem" \
    --resolve "h000.bench.test:$port:127.0.0.1"
}

# The 501-byte sample page, COUNT times, for the servers without delay.
make_sample_pages() {  # COUNT
  [ -d "$work/www" ] && return
  mkdir -p "$work/www"
  /usr/bin/python3 -c "
page = open('$bench_dir/../Samples/bakery.htm', 'rb').read()
for i in range(max($1, 1)): open('$work/www/p%d.html' % i, 'wb').write(page)"
  chmod -R a+rX "$work/www"
}

# The options of the three clients for LIST over the 500 names on PORT.
name_clients() {  # PORT LIST
  local port="$1" n
  list="$2" log="$work/access-$1.log" pages=$(wc -l < "$2")
  # TRUST=system: the test authority added to a copy of the system's bundle, which clients
  # read out of the box; otherwise the test authority alone.
  local trust="$work/ca.pem"
  if [ "${TRUST:-test}" = system ]; then
    cat /etc/ssl/certs/ca-certificates.crt "$work/ca.pem" > "$work/trust.pem"
    trust="$work/trust.pem"
  fi
  orv_args=(--cacert "$trust")
  for n in "${names[@]}"; do orv_args+=(--resolve "$n:$port:127.0.0.1"); done
  {
    for n in "${names[@]}"; do echo "resolve = \"$n:$port:127.0.0.1\""; done
    urls_to_curl_config "$list"
  } > "$work/curl-$port.cfg"
  curl_args=(--cacert "$trust" -K "$work/curl-$port.cfg")
  aio_args=(6 "$trust")
}

delay_server_started=""
start_delay_server() {
  [ -n "$delay_server_started" ] && return
  PAGE_KIB=60 "${delay_server:?}" 18441 200 & pids+=($!)
  delay_server_started=1
}

# TLS (HTTP/1.1), COUNT pages of 60 KiB over 500 names, every answer 200 ms late.
setup_tls_latency() {  # COUNT
  if [ ! -f "$work/nginx-18442.conf" ]; then
    start_delay_server
    start_name_nginx 18442 http1 18441
  fi
  make_name_list 18442 "$1" "page/%d" "$work/latency.txt"
  name_clients 18442 "$work/latency.txt"
}

# Plain HTTP, COUNT pages of 60 KiB over 128 names, every answer 200 ms late.
setup_name_plain() {  # COUNT
  if [ ! -f "$work/nginx-18445.conf" ]; then
    start_delay_server
    start_name_nginx 18445 plain 18441
  fi
  make_name_list 18445 "$1" "page/%d" "$work/plain.txt" http 128
  name_clients 18445 "$work/plain.txt"
}

# TLS with HTTP/2 from nginx, COUNT copies of the sample page over 500 names, no delay.
setup_tls_nginx() {  # COUNT
  make_sample_pages "$1"
  [ -f "$work/nginx-18443.conf" ] || start_name_nginx 18443 http2 -
  make_name_list 18443 "$1" "p%d.html" "$work/tls-nginx.txt"
  name_clients 18443 "$work/tls-nginx.txt"
}
