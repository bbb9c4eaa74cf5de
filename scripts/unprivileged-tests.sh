#!/usr/bin/env bash
# Runs the tests whose cases depend on who runs them (read-only folders, network
# namespaces, mounts) again as an unprivileged user, so that with the root run of the
# whole suite every case runs once. As a normal user the whole suite already ran as one:
# nothing to do.
#
#   scripts/unprivileged-tests.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
if [ "$(id -u)" -ne 0 ]; then
  echo "Not root: the suite already ran unprivileged."
  exit 0
fi
user=nobody
group="$(id -gn "$user")"
tests=(AtomicFileTest IniSettingsStoreTest CurlFetcherTest CurlFetcherNamesTest ExtractHostileInputTest
  ExtractReasonsTest ExtractOutputTest ExtractStatusTest IsolationTest)
# The build folder may sit where that user cannot reach (under /root): the programs are
# copied to a folder of their own.
home="$(mktemp -d /tmp/orvanel-unprivileged-XXXXXX)"
mkdir "$home/bin"
for test in "${tests[@]}"; do cp "$build/tests/$test" "$home/bin/"; done
cp "$build/orvanel-extract" "$home/bin/"
chmod 755 "$home" "$home/bin"
chown "$user:$group" "$home"
trap 'rm -rf "$home"' EXIT

passed=0
failed=0
for test in "${tests[@]}"; do
  echo "== $test as $user"
  if setpriv --reuid="$user" --regid="$group" --clear-groups --reset-env \
      env HOME="$home" TMPDIR="$home" ORVANEL_BINARY_DIR="$home/bin" \
      ORVANEL_LOOPBACK_ONLY="${ORVANEL_LOOPBACK_ONLY:-}" \
      "$home/bin/$test" --gtest_brief=1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done
echo "unprivileged: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
