#!/usr/bin/env bash
# Sets up the machine, builds Zorvane and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

build=build/default
"${build}/Zorvane.app/Contents/MacOS/Zorvane" "$@"
"${build}/Zorvane.app/Contents/Library/SystemExtensions/dev.quillmoor.Zorvane.FilterExtension.systemextension/Contents/MacOS/ZorvaneFilter"
"${build}/bin/zorvane-system" --version
