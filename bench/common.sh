# Shared set-up of the fetch benchmarks; sourced with the Debian packages they need and
# the script's own arguments:
#   source "$(dirname "${BASH_SOURCE[0]}")/common.sh" nginx-light curl ... -- "$@"
# Installs what is missing, then runs the script again inside a network namespace of its
# own (and a mount namespace, private) where only loopback is up: servers and clients meet
# there, and no fault can send anything, not even a DNS query, off the machine. Without
# the rights for one (neither root nor user namespaces), it says so and stays where it is.
# Then makes $work (a folder nginx's workers can read, removed at exit unless KEEP is set)
# and stops every server whose process id was added to pids, at exit.
bench_packages=(iproute2 util-linux)
while (($#)) && [ "$1" != -- ]; do bench_packages+=("$1"); shift; done
(($#)) && shift
if [ -z "${ORVANEL_BENCH_NETNS:-}" ]; then
  need=()
  for p in "${bench_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  if ((${#need[@]})); then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" > /dev/null
  fi
  if [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
    exec unshare --net --mount -- env ORVANEL_BENCH_NETNS=root bash "$0" "$@"
  elif unshare --user --map-root-user --net --mount true 2>/dev/null; then
    exec unshare --user --map-root-user --net --mount -- env ORVANEL_BENCH_NETNS=user bash "$0" "$@"
  fi
  echo "note: no network namespace can be made here; running on the machine's loopback" >&2
  ORVANEL_BENCH_NETNS=none
else
  ip link set lo up
fi
# nginx's workers drop to "nobody", who does not exist in a user namespace of our own.
nginx_user=""
if [ "$ORVANEL_BENCH_NETNS" = user ]; then nginx_user="user root root;"; fi
ulimit -n "$(ulimit -Hn)"

work="$(mktemp -d)"
chmod 755 "$work"  # nginx workers read the pages as another user
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM  # so that the servers are stopped then too
bench_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Waits until URL answers (at most 100 tries of at most 5 s); curl options may follow.
wait_for_url() {  # URL [CURL_OPTION ...]
  local url="$1"; shift
  for _ in $(seq 100); do
    curl -sf --max-time 5 -o /dev/null "$@" "$url" && return
    sleep 0.1
  done
  echo "no answer from $url" >&2
  exit 1
}

# --- Side-by-side runs -------------------------------------------------------------------
# Clients are named commands: add_client NAME ARG...; measure runs them in turn, RUNS
# times (A B C A B C ...), each bounded by CLIENT_TIMEOUT seconds (default 900). A run's
# wall time and CPU (user + system of the client process and its children, from wait4)
# come from run_timed.py; the connections it opened and the requests it made come from the
# server's access log, whose lines must begin with "$connection $pid" (and for TLS go on
# with "$ssl_session_reused $ssl_protocol $server_protocol"). Results: one line per run in
# $work/runs/NAME: wall, CPU, connections, resumed TLS sessions, requests, peak RSS KiB,
# exit status, protocols seen.
declare -A client_cmd
add_client() {  # NAME ARG...
  local name="$1"; shift
  client_cmd[$name]="$(printf '%q ' "$@")"
}

# The size of FILE once it has stopped growing (at most 3 s): a server logs a request that
# the client broke off when it notices, which may be just after the client has gone.
settled_size() {  # FILE
  local before after
  after=$(stat -c %s "$1")
  for _ in $(seq 30); do
    sleep 0.1
    before=$after
    after=$(stat -c %s "$1")
    [ "$before" = "$after" ] && break
  done
  echo "$after"
}

run_client() {  # NAME LOG
  local name="$1" log="$2" start end
  start=$(settled_size "$log")
  eval "set -- ${client_cmd[$name]}"
  /usr/bin/python3 "$bench_dir/run_timed.py" "${CLIENT_TIMEOUT:-900}" "$work/timed" "$@"
  end=$(settled_size "$log")
  read -r wall user sys rss status < "$work/timed"
  tail -c +$((start + 1)) "$log" | head -c $((end - start)) | awk -v wall="$wall" -v user="$user" -v sys="$sys" \
    -v rss="$rss" -v status="$status" '
    !(($1, $2) in seen) { seen[$1, $2] = 1; conns++; if ($3 == "r") resumed++ }
    { requests++; if (NF >= 5) protocols[$5] = 1 }
    END {
      p = ""; for (k in protocols) p = p (p == "" ? "" : ",") k
      printf "%s %.4f %d %d %d %d %d %s\n", wall, user + sys, conns, resumed, requests, rss, status, p == "" ? "-" : p
    }' \
    >> "$work/runs/$name"
}

measure() {  # RUNS LOG NAME...
  local runs="$1" log="$2" name; shift 2
  mkdir -p "$work/runs"
  for name in "$@"; do : > "$work/runs/$name"; done
  for ((w = 0; w < ${WARMUP:-1}; w++)); do
    for name in "$@"; do run_client "$name" "$log"; done
  done
  for name in "$@"; do : > "$work/runs/$name"; done
  for ((r = 0; r < runs; r++)); do
    for name in "$@"; do run_client "$name" "$log"; done
  done
}

# The median of column COLUMN (1: wall, 2: CPU, 3: connections, 4: resumed, 5: requests,
# 6: peak RSS KiB) over the runs of NAME.
median() {  # NAME COLUMN
  cut -d' ' -f"$2" "$work/runs/$1" | sort -g | awk '{ v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# A Markdown table of the measured clients, each held against the best of those among them
# that are peers (is_peer[NAME] set). Runs that failed or made the wrong number of
# requests are named under the table.
declare -A is_peer
print_table() {  # PAGES NAME...
  local pages="$1" name best="" wall
  shift
  for name in "$@"; do
    [ -n "${is_peer[$name]:-}" ] || continue
    wall=$(median "$name" 1)
    if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
  done
  echo "| client | wall s, median (min-max) | pages/s | x best peer | CPU s per 1,000 pages | connections | peak RSS MiB |"
  echo "|---|---|---|---|---|---|---|"
  for name in "$@"; do
    awk -v name="$name" -v pages="$pages" -v best="$best" -v wall="$(median "$name" 1)" \
      -v cpu="$(median "$name" 2)" -v conns="$(median "$name" 3)" -v resumed="$(median "$name" 4)" \
      -v rss="$(median "$name" 6)" -v tls="${TLS:-}" '
      { lo = (NR == 1 || $1 < lo) ? $1 : lo; hi = (NR == 1 || $1 > hi) ? $1 : hi }
      END {
        c = tls ? sprintf("%d (%d resumed; %s)", conns, resumed, $8) : sprintf("%d", conns)
        printf "| %s | %.2f (%.2f-%.2f) | %.0f | %s | %.3f | %s | %.0f |\n", name, wall, lo, hi,
          pages / wall, best ? sprintf("%.2f", best / wall) : "-", cpu * 1000 / pages, c, rss / 1024
      }' "$work/runs/$name"
  done
  print_failures "$pages" "$@"
}

print_failures() {  # PAGES NAME...
  local pages="$1" name
  shift
  for name in "$@"; do
    awk -v name="$name" -v pages="$pages" '$7 != 0 || $5 != pages {
        printf "- %s, run %d: exit status %d, %d requests seen by the server for %d pages\n", name, NR, $7, $5, pages }' \
      "$work/runs/$name"
  done
}
