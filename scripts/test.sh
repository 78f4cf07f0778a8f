#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the default build, then the
# AddressSanitizer/UndefinedBehaviorSanitizer build and the ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

run_preset() {
  local preset=$1
  shift
  echo "== ${preset}: configure, build, test"
  cmake --preset "${preset}" "$@" >/dev/null
  cmake --build --preset "${preset}"
  ctest --preset "${preset}" -j 2
}

run_preset default
run_preset asan
run_preset tsan
