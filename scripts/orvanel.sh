#!/usr/bin/env bash
# Sets up a Debian 12 machine for Orvanel, builds it and then either starts the program
# or runs every test. Safe to run again: it installs only what is missing.
#
#   scripts/orvanel.sh run     install, build in Release, start the program
#   scripts/orvanel.sh test    install, build in Release, run every test
#   scripts/orvanel.sh package install, build in Release, make the Debian package, print its path
set -euo pipefail

mode="${1:-run}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORVANEL_BUILD_DIR:-$root/build}"

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libcurl4-openssl-dev libxlsxwriter-dev zlib1g-dev libidn2-dev libssl-dev
  libbrotli-dev libzstd-dev libmimalloc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation2 xvfb xdotool unzip ca-certificates openssl dpkg-dev man-db
)
# A real HTTP/2 server for the fetcher's tests, started by the tests themselves; and the
# tools that give the suite a network of its own (see below).
[ "$mode" = test ] && packages+=(nginx-light iproute2 util-linux)
# The check that every source keeps the project's format.
[ "$mode" = test ] && packages+=(clang-format)
# The README's runner recipes, run by their tests: two sshd on 127.0.0.1 as two machines,
# a single-node Slurm cluster in namespaces of its own, pages served by python3.
[ "$mode" = test ] && packages+=(openssh-server openssh-client parallel slurm-wlm munge python3)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  # The servers among them (sshd, munge, Slurm, nginx) are for the tests, which start
  # their own on loopback: the installation starts none of them.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d > /dev/null
    $sudo chmod 755 /usr/sbin/policy-rc.d
    trap '$sudo rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --parallel

case "$mode" in
  run)
    exec "$build/orvanel"
    ;;
  test)
    # The suite runs in a network of its own with only loopback up, so that no test, and
    # no fault in the code under test, can reach anything past this machine.
    # ORVANEL_TEST_NETWORK=shared runs it on the machine's network where no such network
    # can be made.
    isolate=("$root/scripts/loopback-only.sh")
    [ "${ORVANEL_TEST_NETWORK:-private}" = shared ] && isolate=()
    (cd "$build" && QT_QPA_PLATFORM=offscreen "${isolate[@]}" ctest --output-on-failure \
      --parallel "$(nproc)" --timeout 300)
    # As root, the cases that only a normal user can run, run again as one.
    "${isolate[@]}" "$root/scripts/unprivileged-tests.sh" "$build"
    ;;
  package)
    (cd "$build" && rm -f orvanel_*.deb && cpack -G DEB > /dev/null)
    ls "$build"/orvanel_*.deb
    ;;
  *)
    echo "usage: $0 run|test|package" >&2
    exit 2
    ;;
esac
