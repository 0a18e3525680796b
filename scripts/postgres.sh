#!/usr/bin/env bash
# Makes sure the PostgreSQL server programs are installed: the store's tests
# and benchmarks start a throwaway server of their own from them (initdb into
# a temporary folder, 127.0.0.1, a free port). Installs Debian's postgresql
# package when they are missing; the cluster the package creates is not used.
set -euo pipefail

found() {
  local bindir
  for bindir in /usr/lib/postgresql/*/bin; do
    [ -x "$bindir/initdb" ] && [ -x "$bindir/pg_ctl" ] && { echo "$bindir"; return 0; }
  done
  return 1
}

if bindir="$(found)"; then
  exit 0
fi
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo -n)
echo "postgres: installing Debian's postgresql package (for the store's tests)" >&2
{ DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q postgresql ||
    { "${sudo[@]}" apt-get update -q && DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q postgresql; }
} >&2
bindir="$(found)" || { echo "postgres: no initdb and pg_ctl after installing postgresql" >&2; exit 1; }
# The package starts its own cluster; the tests never use it.
"${sudo[@]}" service postgresql stop >/dev/null 2>&1 || true
