#!/usr/bin/env bash
# What it measures: two commits' orvanel-extract against each other on the scenarios of
# pages_bench.sh, on the same servers and lists, taking turns (BASE HEAD BASE HEAD ...,
# RUNS runs each, default 5, at least 5, after WARMUP rounds, default 1): the median wall
# time and CPU (user + system of the companion's process) of each, and HEAD's over BASE's.
# A ratio above 1 is HEAD slower.
#   pagesN-MODE    PAGES generated pages (default 20,000) from nginx with 2 workers on 8
#                  loopback ports, N = 16 or 64 at once, MODE = head, title-meta or tags
#                  (tags: "<h1></h1>" and description)
#   tls-latency64  TLS, TLS_LATENCY_PAGES pages (10,000) over 500 names, 200 ms each, 64 at once
#   tls-nginx64    TLS with HTTP/2, TLS_PAGES sample pages (20,000) over 500 names, 64 at once, mode head
# TRUST=system: in the TLS scenarios every client trusts a copy of the system's bundle
# with the test authority added, as clients out of the box read it (default: the test
# authority alone).
# Each commit is taken whole with git archive and built with its own CMakeLists (Release,
# the companion alone) in a folder of COMPARE_BUILDS named by its sources (default: a
# temporary folder; a folder given is kept, and a companion already built there is used
# again).
# A companion without --resolve and --cacert (older commits) gets the 500 names and the
# test certificate authority through /etc/hosts and the CA bundle bind-mounted in the
# benchmark's own mount namespace, and then so does the other one, so that both are
# measured alike; the names still lead to 127.0.0.1 only.
# usage: bench/compare.sh BASE [HEAD [SCENARIO ...]]   (HEAD: the work tree's HEAD commit)
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,/^# usage/p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(git -C "$here" rev-parse --show-toplevel)"
base_sha="$(git -C "$repo" rev-parse --verify "$1^{commit}")"
head_sha="$(git -C "$repo" rev-parse --verify "${2:-HEAD}^{commit}")"
shift $(($# >= 2 ? 2 : 1))
scenarios=("$@")
source "$here/common.sh" python3-aiohttp curl nginx-light openssl cmake ninja-build g++ pkg-config \
  libcurl4-openssl-dev libxlsxwriter-dev libidn2-dev libmimalloc-dev -- "$base_sha" "$head_sha" "${scenarios[@]}"
source "$bench_dir/scenarios.sh"
# The delay server is the work tree's, the same for both commits; it needs no library.
delay_server="$work/delay_server"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$delay_server" "$bench_dir/delay_server.cpp"
runs="${RUNS:-5}"
((runs >= 5)) || { echo "RUNS must be at least 5" >&2; exit 2; }
((${#scenarios[@]})) || scenarios=(pages16-head pages16-title-meta pages16-tags pages64-head
                                   pages64-title-meta pages64-tags tls-latency64 tls-nginx64)
builds="${COMPARE_BUILDS:-$work/builds}"

# A build is named by the sources it is made of, so that commits that change only other
# files (benchmarks, documents) share one.
build_commit() {  # SHA -> prints the companion's path
  local sha="$1" dir
  dir="$builds/$(git -C "$repo" ls-tree "$sha" CMakeLists.txt src | git hash-object --stdin)"
  if [ ! -x "$dir/build/orvanel-extract" ]; then
    rm -rf "$dir" && mkdir -p "$dir/src"
    git -C "$repo" archive "$sha" | tar -x -C "$dir/src"
    # Both spellings of the build options: older commits named them ORVANEL_BUILD_*.
    if ! { cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
             -DORVANEL_GUI=OFF -DORVANEL_TESTS=OFF -DORVANEL_BENCHMARKS=OFF \
             -DORVANEL_BUILD_GUI=OFF -DORVANEL_BUILD_TESTS=OFF -DORVANEL_BUILD_BENCHMARKS=OFF &&
           cmake --build "$dir/build" --target orvanel-extract --parallel "${BUILD_JOBS:-2}"; } \
         > "$dir/build.log" 2>&1; then
      tail -20 "$dir/build.log" >&2
      echo "building $sha failed (log: $dir/build.log)" >&2
      exit 1
    fi
  fi
  echo "$dir/build/orvanel-extract"
}

echo "building $base_sha and $head_sha in $builds ..." >&2
base="$(build_commit "$base_sha")"
head="$(build_commit "$head_sha")"
[ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] ||
  echo "note: the work tree has changes that are not committed; they are not measured" >&2

# Names and CA by options when both companions take them; otherwise through the files that
# libcurl reads by default, bind-mounted in this mount namespace only.
name_options=1
for bin in "$base" "$head"; do
  "$bin" --help 2>&1 | grep -q -- --resolve && "$bin" --help 2>&1 | grep -q -- --cacert || name_options=""
done
names_by_files() {
  [ -f "$work/hosts" ] && return
  [ "$ORVANEL_BENCH_NETNS" != none ] || { echo "no mount namespace here for the names" >&2; return 1; }
  { echo "127.0.0.1 localhost"; printf '127.0.0.1 %s\n' "${names[@]}"; } > "$work/hosts"
  if [ "${TRUST:-test}" = system ]; then
    cat "$(curl-config --ca)" "$work/ca.pem" > "$work/ca-bundle.crt"
  else
    cp "$work/ca.pem" "$work/ca-bundle.crt"
  fi
  mount --bind "$work/hosts" /etc/hosts
  mount --bind "$work/ca-bundle.crt" "$(curl-config --ca)"
}

echo "BASE $base_sha: $("$base" --version 2>&1 | head -1)"
echo "HEAD $head_sha: $("$head" --version 2>&1 | head -1)"
echo "Machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start;" \
  "network namespace: $ORVANEL_BENCH_NETNS; $runs runs each, taking turns, median"
[[ -n "$name_options" || " ${scenarios[*]}" != *" tls-"* ]] ||
  echo "A companion here has no --resolve or --cacert: in the TLS scenarios, names and certificate" \
    "authority come from /etc/hosts and the CA bundle, bind-mounted in this namespace, for both."
echo
echo "| scenario | pages | BASE wall s | HEAD wall s | HEAD/BASE wall | BASE CPU s | HEAD CPU s | HEAD/BASE CPU | connections BASE / HEAD |"
echo "|---|---|---|---|---|---|---|---|---|"
failures=""
for scenario in "${scenarios[@]}"; do
  mode=()
  case "$scenario" in
    pages16-* | pages64-*)
      n="${scenario%%-*}" n="${n#pages}" m="${scenario#*-}"
      setup_pages "${PAGES:-20000}" > /dev/null
      case "$m" in
        head | title-meta) mode=(-m "$m") ;;
        tags) mode=(-m tags -t "<h1></h1>" -t description) ;;
        *) echo "unknown mode in $scenario" >&2; exit 2 ;;
      esac
      ;;
    tls-latency64) n=64 && setup_tls_latency "${TLS_LATENCY_PAGES:-10000}" ;;
    tls-nginx64) n=64 mode=(-m head) && setup_tls_nginx "${TLS_PAGES:-20000}" ;;
    *) echo "unknown scenario $scenario" >&2; exit 2 ;;
  esac
  if [[ "$scenario" == tls-* && -z "$name_options" ]]; then
    names_by_files
    orv_args=()
  fi
  client_cmd=()
  add_client BASE "$base" -q -j "$n" "${mode[@]}" "${orv_args[@]}" "$list"
  add_client HEAD "$head" -q -j "$n" "${mode[@]}" "${orv_args[@]}" "$list"
  measure "$runs" "$log" BASE HEAD
  awk -v s="$scenario" -v p="$pages" -v bw="$(median BASE 1)" -v hw="$(median HEAD 1)" \
    -v bc="$(median BASE 2)" -v hc="$(median HEAD 2)" -v bn="$(median BASE 3)" -v hn="$(median HEAD 3)" \
    'BEGIN { printf "| %s | %d | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f | %d / %d |\n",
               s, p, bw, hw, hw / bw, bc, hc, hc / bc, bn, hn }'
  failures+="$(print_failures "$pages" BASE HEAD | sed "s/^- /- $scenario: /")"$'\n'
done
[ -z "${failures//$'\n'/}" ] || { echo; printf '%s' "$failures" | sed '/^$/d'; }
