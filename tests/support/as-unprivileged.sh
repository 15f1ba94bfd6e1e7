#!/bin/sh
# Runs a test program as a throwaway unprivileged user, created for the run
# and removed afterwards, so that file modes bind as they do for a normal
# user (root opens everything). Already unprivileged: runs it as it is.
# Where no user can be made, runs it as root and the test skips.
if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi
user="vtest$$"
if ! useradd --system --no-create-home --shell /usr/sbin/nologin "$user" 2>/dev/null; then
  echo "as-unprivileged.sh: cannot create a user here; running as root (the test will skip)" >&2
  exec "$@"
fi
# Its own data folder, for the update history the programs keep.
data=$(mktemp -d)
chown "$user" "$data"
trap 'userdel "$user" 2>/dev/null; rm -rf "$data"' EXIT INT TERM
setpriv --reuid="$user" --regid="$user" --clear-groups env HOME=/tmp XDG_DATA_HOME="$data" "$@"
