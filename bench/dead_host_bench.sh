#!/usr/bin/env bash
# A host whose connections time out, mixed with good pages: how long the run takes by
# default (the dead host is given up after --host-errors failures) and with every
# address tried (--host-errors 0).
#   bench/dead_host_bench.sh BUILD_DIR [CONNECT_TIMEOUT_SECONDS]   (loopback only)
set -euo pipefail
build="$1"
connect="${2:-2}"
work="$(mktemp -d)"
python3 - "$work" <<'PY' &
import socket, sys, time
# A listening socket with a full backlog that never accepts: further SYNs are dropped.
dead = socket.socket()
dead.bind(("127.0.0.1", 0))
dead.listen(0)
fillers = []
for _ in range(4):
    s = socket.socket()
    s.setblocking(False)
    try:
        s.connect(dead.getsockname())
    except BlockingIOError:
        pass
    fillers.append(s)
open(sys.argv[1] + "/dead-port", "w").write(str(dead.getsockname()[1]))
time.sleep(3600)
PY
dead_pid=$!
trap 'kill $dead_pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/dead-port" ] && break; sleep 0.1; done
dead_port="$(cat "$work/dead-port")"
page="$work/page.htm"
echo "<head><title>good</title></head>" > "$page"
python3 - "$work" "$dead_port" "$page" <<'PY'
import sys
work, port, page = sys.argv[1], sys.argv[2], sys.argv[3]
with open(work + "/list.txt", "w") as f:
    for i in range(600):
        f.write("http://127.0.0.1:%s/%d\n" % (port, i))
        f.write(page + "\n")
PY
for option in "" "--host-errors 0"; do
  /usr/bin/time -f "dead host ${option:-default}: %e s" "$build/orvanel-extract" -q -f jsonl \
    --connect-timeout "$connect" $option "$work/list.txt" 2>&1 >/dev/null | grep -v '^URL' || true
done
