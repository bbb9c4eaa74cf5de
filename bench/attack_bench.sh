#!/usr/bin/env bash
# What it measures: the companion against hostile servers and files, each bound the
# fetcher keeps (memory, time, requests), and optionally an older companion beside it:
#   zstd40     40 zstd pages of a few KiB that decode to 60 MiB, --memory 16 -j 40: peak RSS
#   zstd100    100 such pages at the default limits: peak RSS
#   flood      an HTTP/2 server flooding empty DATA frames beside 10 pages that take 2 s,
#              --timeout 8: wall time, and the pages that still came
#   restarts   a first page that hangs 30 s, then 40 pages of 2 MiB, --memory 16
#              --timeout 5: requests counted at the server per address
#   local16g   a sparse local file of 16 GiB: time to say it is too large
#   local128   128 sparse local files of 60 MiB, --memory 16: peak RSS
#   hosts      HOSTS (default 1,000,000) refused hosts: peak RSS
#   trickle    a 200 KB page sent a byte at a time, with and without --no-early-stop: CPU
#   deadtls    30 HTTPS addresses of a host that never answers, --connect-timeout 2: wall
#
#   bench/attack_bench.sh BUILD_DIR [OLD_COMPANION] [SCENARIO ...]
# Everything runs inside a network namespace of its own (bench/common.sh); the servers
# are bench/attack_servers.py, started here and stopped by their process ids.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh" python3 zstd openssl -- "$@"
build="$(cd "$1" && pwd)"; shift
new="$build/orvanel-extract"
old=""
if [ $# -gt 0 ] && [ -x "$1" ]; then old="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; shift; fi
scenarios=("$@")
((${#scenarios[@]})) || scenarios=(zstd40 zstd100 flood restarts local16g local128 hosts trickle deadtls)
cd "$work"
port=18600
server() {  # MODE ARG... : starts one on the next port, sets $url_base
  port=$((port + 1))
  /usr/bin/python3 "$bench_dir/attack_servers.py" "$1" "$port" "${@:2}" & pids+=($!)
  server_pid=$!
  # Listening (a connection would hang on the black hole's full queue).
  for _ in $(seq 100); do ss -ltnH "sport = :$port" | grep -q . && break; sleep 0.05; done
  sleep 0.2
  url_base="http://127.0.0.1:$port"
}
echo "| scenario | companion | wall s | CPU s | peak RSS MiB | status | result |"
echo "|---|---|---|---|---|---|---|"
row() {  # SCENARIO NAME RESULT_TEXT -- COMMAND...
  local scenario="$1" name="$2" extra="$3"; shift 4
  local t="$work/time.txt" status
  /usr/bin/time -f "%e %U %S %M" -o "$t" timeout 900 "$@" > "$work/out.txt" 2> "$work/err.txt"
  status=$?
  read -r wall user sys rss < <(tail -1 "$t")
  printf '| %s | %s | %s | %.2f | %d | %s | %s |\n' "$scenario" "$name" "$wall" \
    "$(echo "$user + $sys" | bc)" $((rss / 1024)) "$status" "$(eval "$extra")"
}
companions() { echo new "$new"; [ -n "$old" ] && echo old "$old"; }
failed_reasons='grep -o "\"reason\":\"[a-z-]*\"" out.txt | sort | uniq -c | tr -s " " | tr "\n" ";"'
for s in "${scenarios[@]}"; do
  case "$s" in
    zstd40|zstd100)
      if [ ! -f z.zst ]; then
        { printf '<title>z</title>'; head -c $((60 << 20)) /dev/zero | tr '\0' ' '; } | zstd -19 -q -o z.zst
      fi
      server zstd z.zst
      n=40 opts=(--memory 16 -j 40 --per-host 40)
      [ "$s" = zstd100 ] && n=100 opts=()
      for i in $(seq $n); do echo "$url_base/z?$i"; done > list.txt
      while read -r name bin; do
        row "$s" "$name" 'echo "$(grep -c "	" out.txt) rows, zstd $(stat -c %s z.zst) B each"' -- \
          "$bin" -q -f jsonl "${opts[@]}" list.txt
      done < <(companions)
      ;;
    flood)
      openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout k.pem \
        -out c.pem -days 1 -subj /CN=localhost 2>/dev/null
      server h2flood c.pem k.pem; flood="https://127.0.0.1:$port/"
      server slow 2
      { echo "$flood"; for i in $(seq 10); do echo "$url_base/p$i"; done; } > list.txt
      while read -r name bin; do
        row flood "$name" 'echo "$(grep -c "\"reason\":null" out.txt) of 10 slow pages fetched"' -- \
          "$bin" -q -k -f jsonl --timeout 8 list.txt
      done < <(companions)
      ;;
    restarts)
      while read -r name bin; do
        server stall 30 $((2 << 20))
        { echo "$url_base/first"; for i in $(seq 40); do echo "$url_base/p$i"; done; } > list.txt
        row restarts "$name" 'kill $server_pid; wait $server_pid; echo "requests per address: at most $(sort -rn '"$port"'.log | head -1 | cut -d" " -f1), $(awk "{s+=\$1} END {print s}" '"$port"'.log) in all"' -- \
          "$bin" -q -f jsonl --memory 16 -j 8 --per-host 8 --timeout 5 --no-early-stop list.txt
      done < <(companions)
      ;;
    local16g)
      truncate -s 16G huge.html
      echo "$work/huge.html" > list.txt
      while read -r name bin; do row local16g "$name" "$failed_reasons" -- "$bin" -q -f jsonl list.txt; done < <(companions)
      ;;
    local128)
      for i in $(seq 128); do truncate -s 60M "f$i.html"; echo "$work/f$i.html"; done > list.txt
      # Read once first: the companion that runs first would pay for filling the page cache.
      cat f*.html > /dev/null
      while read -r name bin; do
        row local128 "$name" 'echo "$(grep -c "\"reason\":null" out.txt) of 128 read"' -- \
          "$bin" -q -f jsonl --memory 16 -j 128 list.txt
      done < <(companions)
      ;;
    hosts)
      /usr/bin/python3 -c "
n = ${HOSTS:-1000000}
for i in range(n):
    print('http://127.%d.%d.%d:9/' % (1 + i // 65536 % 254, i // 256 % 256, i % 256 or 1))" > list.txt
      while read -r name bin; do
        row hosts "$name" 'echo "$(wc -l < list.txt) addresses"' -- "$bin" -q -f jsonl -j 64 list.txt
      done < <(companions)
      ;;
    trickle)
      server trickle 200000
      echo "$url_base/page" > list.txt
      while read -r name bin; do
        row trickle "$name" 'echo early stop on' -- "$bin" -q -f jsonl --timeout 300 list.txt
        row trickle "$name" 'echo --no-early-stop' -- "$bin" -q -f jsonl --timeout 300 --no-early-stop list.txt
      done < <(companions)
      ;;
    deadtls)
      server blackhole
      for i in $(seq 30); do echo "https://127.0.0.1:$port/$i"; done > list.txt
      while read -r name bin; do
        row deadtls "$name" "$failed_reasons" -- "$bin" -q -f jsonl --connect-timeout 2 --host-errors 0 list.txt
      done < <(companions)
      ;;
    *) echo "unknown scenario $s" >&2; exit 2 ;;
  esac
done
