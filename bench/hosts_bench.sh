#!/usr/bin/env bash
# Refused addresses on one host against the same number spread over as many hosts: the
# fetcher's scheduling and caches must not grow with the hosts it has seen.
#   bench/hosts_bench.sh BUILD_DIR [COUNT]     (default 1,000,000; loopback only, port 1)
set -euo pipefail
build="$1"
count="${2:-1000000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 - "$work" "$count" <<'PY'
import sys
work, count = sys.argv[1], int(sys.argv[2])
with open(work + "/one-host.txt", "w") as f:
    for i in range(count):
        f.write("http://127.0.0.1:1/%d\n" % i)
with open(work + "/many-hosts.txt", "w") as f:
    for i in range(count):
        f.write("http://127.%d.%d.%d:1/\n" % (1 + i // 65536, (i // 256) % 256, i % 256))
PY
for list in one-host many-hosts; do
  /usr/bin/time -f "$list: %e s, peak %M KiB" "$build/orvanel-extract" -q -f jsonl --host-errors 0 "$work/$list.txt" \
    2>&1 >/dev/null | grep -v '^URL' || true
done
