#!/usr/bin/env bash
# The filter service's unit, installed into a scratch root next to the programs it names, passes
# `systemd-analyze verify` without a single complaint (an unknown or misspelt option is only a
# warning to systemd, and a service that ignores a sandboxing line runs unsandboxed).
set -euo pipefail
build=$1
unit=zorvane-filter.service

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR=$root cmake --install "$build" --prefix / >/dev/null
# The targets and slices the unit is ordered against come from the machine's own systemd.
mkdir -p "$root/lib/systemd"
cp -a /lib/systemd/system "$root/lib/systemd/"

output=$(systemd-analyze verify --root="$root" "$unit" 2>&1) || {
  echo "systemd-analyze verify failed:"
  echo "$output"
  exit 1
}
if [ -n "$output" ]; then
  echo "systemd-analyze verify complained:"
  echo "$output"
  exit 1
fi
echo "verified $unit"
