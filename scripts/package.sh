#!/usr/bin/env bash
# Builds the Debian package of Zorvane from the default build: build/default/packages/zorvane_*.deb.
# Install it with `sudo apt install ./build/default/packages/zorvane_<version>_<arch>.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target package-deb
ls -l build/default/packages/zorvane_*.deb
