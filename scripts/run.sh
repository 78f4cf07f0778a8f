#!/usr/bin/env bash
# The main job: sets up the machine, builds Zorvane and runs it from the build tree, which plays
# the Applications folder (ZORVANE_APPLICATIONS_DIR). The system, container, preferences and
# secrets directories live under the build tree too: nothing touches the user's own state.
#
#   scripts/run.sh           with a display: opens the window and says how to drop a sample
#                            application, approve the filter and open a connection
#   scripts/run.sh --demo    (also without a display) plays the story of a blocked attempt
#                            offscreen, writes a screenshot, prints a transcript and stops
#   --no-build               runs what $ZORVANE_BUILD_DIR (default build/default) holds, as the
#                            tests do, without setting up or building
set -euo pipefail
cd "$(dirname "$0")/.."

demo=
build_first=1
arguments=()
for argument in "$@"; do
  case $argument in
    --demo) demo=1 ;;
    --no-build) build_first= ;;
    *) arguments+=("$argument") ;;
  esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  demo=1
fi

if [ -n "$build_first" ]; then
  bash scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default
fi

build=${ZORVANE_BUILD_DIR:-$PWD/build/default}
app=$build/Zorvane.app
zorvane=$app/Contents/MacOS/Zorvane
system=$build/bin/zorvane-system
samples=$build/samples

# A demo starts from nothing every time; a run with a display keeps what the person did.
if [ -n "$demo" ]; then run=$build/demo; rm -rf "$run"; else run=$build/run; fi
export ZORVANE_APPLICATIONS_DIR=$build
export ZORVANE_SYSTEM_DIR=$run/system
export ZORVANE_CONTAINER_DIR=$run/container
export ZORVANE_PREFERENCES=$run/preferences/dev.quillmoor.Zorvane.plist
export ZORVANE_SECRETS_DIR=$run/secrets
export XDG_CONFIG_HOME=$run/config
export XDG_DATA_HOME=$run/data
export XDG_STATE_HOME=$run/state
export XDG_CACHE_HOME=$run/cache
mkdir -p "$ZORVANE_CONTAINER_DIR" "$(dirname "$ZORVANE_PREFERENCES")" "$XDG_CONFIG_HOME" \
  "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME"
mkdir -p -m 0700 "$ZORVANE_SYSTEM_DIR" "$ZORVANE_SECRETS_DIR"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$run/runtime
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
fi

pids=()
# The filter host outlives the application, as a system extension does; this script started it
# (through the application), so it ends it too.
stop_filter() {
  local keeper
  keeper=$(grep -A1 '<key>hostProcessIdentifier</key>' "$ZORVANE_SYSTEM_DIR/extension.plist" \
    2>/dev/null | grep -o '[0-9][0-9]*' | head -n 1 || true)
  if [ -n "$keeper" ] && [ "$(readlink "/proc/$keeper/exe" 2>/dev/null)" = \
    "$(readlink -f "$app/Contents/Library/SystemExtensions/dev.quillmoor.Zorvane.FilterExtension.systemextension/Contents/MacOS/ZorvaneFilter")" ]; then
    kill -TERM "$keeper" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$keeper" 2>/dev/null || break
      sleep 0.1
    done
  fi
}
# The application started its status agent when it registered it; it outlives the application,
# as a login agent does. This script's run started it, so it ends it too.
stop_agent() {
  local agent
  agent=$(head -n 1 "$ZORVANE_CONTAINER_DIR/status-agent.lock" 2>/dev/null || true)
  if [ -n "$agent" ] && [ "$(readlink "/proc/$agent/exe" 2>/dev/null)" = "$(readlink -f "$zorvane")" ]; then
    kill -TERM "$agent" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$agent" 2>/dev/null || break
      sleep 0.1
    done
  fi
}
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  stop_agent
  stop_filter
}
trap cleanup EXIT

# The two processes of the application talk over the session bus; give them one of their own
# when there is none (a container, a CI job). It starts no services on demand, so nothing
# outlives the run; the keychain falls back to its file in ZORVANE_SECRETS_DIR.
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

if [ -z "$demo" ]; then
  # What a person does in another terminal, from the repository, on this run's system directory.
  tool="ZORVANE_SYSTEM_DIR=${ZORVANE_SYSTEM_DIR#$PWD/} ${system#$PWD/}"
  cat <<TEXT
Zorvane runs from ${build#$PWD/} (this run's Applications folder); its state is in ${run#$PWD/}.
  1. Drop a sample application onto the window: ${samples#$PWD/}/Sample Mail.app (or Sample Chat.app)
  2. Approve the filter when Zorvane asks:     $tool approve
  3. Open a connection as that application:    $tool flow --app "${samples#$PWD/}/Sample Mail.app" --host mail.example.com --port 443
TEXT
  "$zorvane" "${arguments[@]+"${arguments[@]}"}"
  exit
fi

# The demo: what a person would do, done by the script, with the transcript of it.
began=$SECONDS
log=$run/zorvane.log
mail="$samples/Sample Mail.app"
fetcher="$mail/Contents/Helpers/Sample Mail Fetcher"
chat="$samples/Sample Chat.app"
activity="$ZORVANE_CONTAINER_DIR/Library/Application Support/Zorvane/blocked-network-activity-v1.json"
screenshot=$run/zorvane-window.png

# A command line as a person would type it from the repository, paths shortened.
shown() {
  local word line=
  for word in "$@"; do
    word=${word//$PWD\//}
    [[ $word == *" "* ]] && word="\"$word\""
    line+=" $word"
  done
  printf '  $%s\n' "$line"
}
# Runs a zorvane-system command and prints it with its output.
step() {
  shown zorvane-system "$@"
  "$system" "$@" 2>&1 | sed 's/^/    /'
}
fail() {
  echo "demo: $*; Zorvane's log is $log" >&2
  exit 1
}
# Polls (every 0.1 s) until the command succeeds, for at most the given seconds.
within() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
verdict_is() {
  [ "$("$system" flow "${@:2}" 2>/dev/null)" = "$1" ]
}

echo "Zorvane demo (no display): the story of a blocked attempt, offscreen. State: ${run#$PWD/}"

echo "1. Sample Mail is on the list, as a person who went through the guide and dropped it onto the"
echo "   window leaves it in the preferences (${ZORVANE_PREFERENCES#$PWD/}); protection is on:"
shown zorvane-system inspect --icon "$mail"
record=$("$system" inspect --icon "$mail")
grep -E '"(signingIdentifier|teamIdentifier)"' <<<"$record" | sed 's/^ */    /' | sort -u
cat >"$ZORVANE_PREFERENCES" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>blockedApplications</key>
  <data>$(printf '[%s]' "$record" | base64 -w0)</data>
  <key>protectionRequested</key>
  <true/>
  <key>hasCompletedOnboarding</key>
  <true/>
</dict>
</plist>
PLIST

echo "2. Zorvane starts in window mode and asks for its filter extension:"
shown Zorvane
QT_QPA_PLATFORM=offscreen ZORVANE_UPDATE_MANIFEST_URL=http://127.0.0.1:9/updates/latest.json \
  ZORVANE_WINDOW_SNAPSHOT=$screenshot "$zorvane" 2>"$log" &
zorvane_pid=$!
pids+=("$zorvane_pid")
awaiting() { "$system" status | grep -q 'awaiting approval'; }
within 20 awaiting || fail "Zorvane never asked for the filter extension"
"$system" status | grep 'System extension' | sed 's/^/    /'

echo "3. The person approves it (System Settings on a Mac); the filter starts:"
step approve
within 20 verdict_is drop --app "$mail" --host mail.example.com --port 443 ||
  fail "the filter never dropped a flow of Sample Mail"
shown zorvane-system flow --app "$mail" --host mail.example.com --port 443
echo "    drop (asked until the started filter answers; flows before that are allowed)"

echo "4. Sample Mail and its helper open connections; they are dropped. Sample Chat is not listed:"
for request in "--app|$mail|--host|imap.example.com|--port|993|drop" \
  "--app|$mail|--process|$fetcher|--host|imap.example.com|--port|993|drop" \
  "--app|$chat|--host|chat.example.com|--port|443|allow"; do
  IFS='|' read -r -a words <<<"$request"
  expected=${words[-1]}
  unset 'words[-1]'
  shown zorvane-system flow "${words[@]}"
  got=$("$system" flow "${words[@]}")
  echo "    $got"
  [ "$got" = "$expected" ] || fail "expected $expected for ${words[*]}"
done

echo "5. A second later the filter reports the attempts; Zorvane keeps them in its activity file:"
reported() {
  grep -q 'com.example.SampleMail.Fetcher' "$activity" &&
    grep -q '"processSigningIdentifier": *"com.example.SampleMail"' "$activity"
}
within 20 reported || fail "the attempts never reached the activity file"
echo "    ${activity#$PWD/}"
grep -o '"blockedConnectionCount": *[0-9]*\|"destinationHost": *"[^"]*"\|"destinationPort": *"[^"]*"\|"processSigningIdentifier": *"[^"]*"' \
  "$activity" | sed 's/^"[A-Za-z]*": *//; s/"//g' | paste -d ' ' - - - - |
  while read -r count host port identifier; do
    echo "    $identifier to $host:$port: $count blocked"
  done

echo "6. The main window shows them (${screenshot#$PWD/}, its texts in ${screenshot#$PWD/}.txt):"
redrawn() { grep -q 'imap.example.com' "$screenshot.txt"; }
within 20 redrawn || fail "the main window never showed the attempts"
sed -n '/^Recent activity$/,$p' "$screenshot.txt" | head -n 26 | sed 's/^/    | /'

echo "7. Zorvane, its status agent and the filter stop."
kill -TERM "$zorvane_pid"
status=0
wait "$zorvane_pid" || status=$?
[ "$status" -eq 0 ] || fail "Zorvane ended with status $status"
stop_agent
stop_filter
echo "Done in $((SECONDS - began)) s; everything stopped cleanly."
