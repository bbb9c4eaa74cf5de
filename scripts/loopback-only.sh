#!/usr/bin/env bash
# Runs a command in a network of its own where only loopback is up, so that nothing it
# does (nor any fault in the code it tests) reaches past this machine, not even a name
# server. As root a network namespace is enough; as a normal user a user namespace makes
# one, and the command then runs as that same user again inside it.
#
#   scripts/loopback-only.sh COMMAND [ARG...]
#
# Where no namespace can be made (a kernel without unprivileged user namespaces), it
# says so and fails; the command can then be run as root, or as it is.
set -euo pipefail
if [ "$#" -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi
if [ "${ORVANEL_LOOPBACK_ONLY:-}" = 1 ]; then
  exec "$@"  # already inside
fi
export ORVANEL_LOOPBACK_ONLY=1
up='ip link set lo up || { echo "loopback-only: cannot bring loopback up" >&2; exit 2; }'
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --net -- sh -c "$up"' && exec "$@"' loopback-only "$@"
fi
uid="$(id -u)"
gid="$(id -g)"
if ! unshare --map-root-user --net -- true 2>/dev/null; then
  echo "loopback-only: no private network can be made here (are unprivileged user" \
       "namespaces turned off?). Run as root, or run the command as it is." >&2
  exit 2
fi
export ORVANEL_UID="$uid" ORVANEL_GID="$gid"
exec unshare --map-root-user --net -- sh -c "$up"' && exec unshare --map-user="$ORVANEL_UID" --map-group="$ORVANEL_GID" -- "$@"' \
  loopback-only "$@"
