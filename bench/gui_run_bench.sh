#!/usr/bin/env bash
# The extraction run of the window over 2,000 addresses whose answers each take 50 ms,
# spread over three loopback hosts so that 16 transfers run at once (floor: 6.25 s).
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
port=18434
/usr/bin/python3 "$here/delay_server.py" $port 50 127.0.0.1 127.0.0.2 127.0.0.3 &
server=$!
trap 'kill $server 2>/dev/null || true; rm -f /tmp/orvanel-gui-list.txt' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.3:$port/" && break; sleep 0.1; done
for i in $(seq 2000); do echo "http://127.0.0.$((i % 3 + 1)):$port/page/$i"; done > /tmp/orvanel-gui-list.txt
/usr/bin/time -f "%U s user, %S s sys, %M KiB peak" "$build/gui_run_bench" /tmp/orvanel-gui-list.txt 2
