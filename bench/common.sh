# Shared set-up of the fetch benchmarks; sourced, with the Debian packages they need:
#   source "$(dirname "${BASH_SOURCE[0]}")/common.sh" nginx-light curl ...
# Installs what is missing, makes $work (a folder nginx's workers can read, removed at exit
# unless KEEP is set) and stops every server whose process id was added to pids.
need=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" > /dev/null
fi

work="$(mktemp -d)"
chmod 755 "$work"  # nginx workers read the pages as another user
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
