#!/bin/sh
# Runs a test program on a private session bus with a Secret Service of its own: a headless
# gnome-keyring whose keyrings live in a temporary home that is removed afterwards. The daemon
# runs in the foreground as our child, so that it ends (and is reaped) with the test.
set -u
home=$(mktemp -d "${TMPDIR:-/tmp}/zorvane-keyring-XXXXXX") || exit 1
trap 'rm -rf "$home"' EXIT INT TERM
mkdir -m 700 "$home/runtime"
HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache \
XDG_RUNTIME_DIR=$home/runtime \
  dbus-run-session -- sh -c '
    printf %s pw | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null &
    daemon=$!
    tries=0
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
          grep -q "boolean true"; do
      tries=$((tries + 1))
      [ "$tries" -ge 200 ] && break
      sleep 0.05
    done
    "$@"
    status=$?
    kill "$daemon" 2>/dev/null
    wait "$daemon" 2>/dev/null
    exit $status' sh "$@"
