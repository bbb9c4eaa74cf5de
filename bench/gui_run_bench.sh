#!/usr/bin/env bash
# The extraction run of the window over 2,000 addresses whose answers each take 50 ms,
# spread over three loopback hosts so that 16 transfers run at once (floor: 6.25 s), and
# the companion over the same list: the window's CPU time is to stay within 3 x the
# companion's, its event loop never stalled for more than 100 ms.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
port=18434
"$build/delay_server" $port 50 127.0.0.1 127.0.0.2 127.0.0.3 &
server=$!
trap 'kill $server 2>/dev/null || true; rm -f /tmp/orvanel-gui-list.txt' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.3:$port/" && break; sleep 0.1; done
for i in $(seq 2000); do echo "http://127.0.0.$((i % 3 + 1)):$port/page/$i"; done > /tmp/orvanel-gui-list.txt
for run in 1 2 3; do
  /usr/bin/time -f "window: %e s, %U s user, %S s sys, %M KiB peak" -o /tmp/orvanel-gui-time \
    "$build/gui_run_bench" /tmp/orvanel-gui-list.txt 2 2>/dev/null
  cat /tmp/orvanel-gui-time
  /usr/bin/time -f "companion: %e s, %U s user, %S s sys, %M KiB peak" -o /tmp/orvanel-cli-time \
    "$build/orvanel-extract" -q /tmp/orvanel-gui-list.txt > /dev/null
  cat /tmp/orvanel-cli-time
  awk '{ cpu[NR] = $4 + $7 } END { printf "CPU: window %.2f s, companion %.2f s: %.1f x\n", cpu[1], cpu[2], cpu[1] / cpu[2] }' \
    /tmp/orvanel-gui-time /tmp/orvanel-cli-time
done
rm -f /tmp/orvanel-gui-time /tmp/orvanel-cli-time
