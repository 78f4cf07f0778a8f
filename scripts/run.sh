#!/usr/bin/env bash
# Sets up the machine, builds Zorvane and runs what exists so far: the application executable,
# and the filter host with zorvane-system asking it about a flow. All state stays under
# build/default/run, never in the user's own directories.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

build=$PWD/build/default
app=$build/Zorvane.app
filter=$app/Contents/Library/SystemExtensions/dev.quillmoor.Zorvane.FilterExtension.systemextension/Contents/MacOS/ZorvaneFilter
system=$build/bin/zorvane-system

export ZORVANE_SYSTEM_DIR=$build/run/system
mkdir -p "$ZORVANE_SYSTEM_DIR"

"$app/Contents/MacOS/Zorvane" "$@"

"$filter" &
host=$!
trap 'kill -TERM "$host" 2>/dev/null || true; wait "$host" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ -S "$ZORVANE_SYSTEM_DIR/filter.sock" ] && break
  sleep 0.1
done

"$system" status
echo "\$ zorvane-system flow --app $app --host example.com --port 443"
"$system" flow --app "$app" --host example.com --port 443
echo "\$ zorvane-system inspect $app"
"$system" inspect "$app" || true
