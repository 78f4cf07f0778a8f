#!/usr/bin/env bash
# Sets up the machine, builds Zorvane and runs it: the filter host, zorvane-system asking it
# about a flow, then the application with its main window. Without a display the application
# runs offscreen and is stopped once its main window has been shown. All state stays under
# build/default/run, never in the user's own directories.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

build=$PWD/build/default
run=$build/run
app=$build/Zorvane.app
filter=$app/Contents/Library/SystemExtensions/dev.quillmoor.Zorvane.FilterExtension.systemextension/Contents/MacOS/ZorvaneFilter
system=$build/bin/zorvane-system

export ZORVANE_SYSTEM_DIR=$run/system
export XDG_CONFIG_HOME=$run/config
export XDG_DATA_HOME=$run/data
export XDG_STATE_HOME=$run/state
export XDG_CACHE_HOME=$run/cache
# The build tree plays the Applications folder, so this copy counts as installed.
export ZORVANE_APPLICATIONS_DIR=$build
mkdir -p "$ZORVANE_SYSTEM_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$run/runtime
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
fi

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

"$filter" &
pids+=($!)
for _ in $(seq 50); do
  [ -S "$ZORVANE_SYSTEM_DIR/filter.sock" ] && break
  sleep 0.1
done

"$system" status
echo "\$ zorvane-system flow --app $app --host example.com --port 443"
"$system" flow --app "$app" --host example.com --port 443
echo "\$ zorvane-system inspect $app"
"$system" inspect "$app" || true

# The two processes of the application talk over the session bus; give them one of their own
# when there is none (a container, a CI job). It starts no services on demand, so nothing
# outlives the run; the keychain falls back to its file under XDG_CONFIG_HOME.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  cat >"$run/session-bus.conf" <<'CONF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  : >"$run/bus-address"
  dbus-daemon --config-file="$run/session-bus.conf" --nofork --nopidfile \
    --print-address=3 3>"$run/bus-address" 2>"$run/bus.log" &
  pids+=($!)
  for _ in $(seq 50); do
    [ -s "$run/bus-address" ] && break
    sleep 0.1
  done
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$run/bus-address")
  export DBUS_SESSION_BUS_ADDRESS
fi

zorvane=$app/Contents/MacOS/Zorvane
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "\$ Zorvane $*"
  "$zorvane" "$@"
  exit
fi

echo "\$ Zorvane $* (no display: offscreen, stopped once the main window is shown)"
log=$run/zorvane.log
: >"$log"
QT_QPA_PLATFORM=offscreen "$zorvane" "$@" 2>"$log" &
app_pid=$!
pids+=("$app_pid")
shown=
for _ in $(seq 300); do
  if grep -q 'Brought the main window' "$log"; then
    shown=1
    break
  fi
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$app_pid" 2>/dev/null || true
status=0
wait "$app_pid" || status=$?
grep 'dev.quillmoor.Zorvane' "$log" || true
if [ -z "$shown" ]; then
  echo "run: the main window was not shown; the log is $log" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "run: Zorvane ended with status $status; the log is $log" >&2
  exit 1
fi
echo "run: the main window was shown and Zorvane quit cleanly"
