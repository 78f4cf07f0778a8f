#!/usr/bin/env bash
# The load run: 200,000 flows from 50 simulated processes (half of them in listed applications)
# through filter.sock to the real filter host, with the real receiving application taking the
# filter's reports (Zorvane in window mode, offscreen). Builds the default preset first; the state
# lives in a temporary directory that is removed afterwards (--state DIR keeps it). Arguments go
# to zorvane-load-run: [--flows N] [--processes P] [--state DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target zorvane-load-run Zorvane ZorvaneFilter >/dev/null

state=
for argument in "$@"; do
  [ "$argument" = --state ] && state=kept
done
if [ -z "$state" ]; then
  scratch=$(mktemp -d /tmp/zorvane-load-XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  set -- --state "$scratch" "$@"
fi

# The application keeps its channel token in a keychain: a private session bus with a Secret
# Service of its own, as the tests have.
echo "\$ tests/run-with-secret-service.sh build/default/bin/zorvane-load-run $*"
tests/run-with-secret-service.sh build/default/bin/zorvane-load-run "$@"
