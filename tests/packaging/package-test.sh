#!/usr/bin/env bash
# The Debian package, built from this build tree, inspected, installed on this machine, used and
# removed again:
#   package-test.sh BUILD_DIR INSTALLED_FILTER_TEST
# (the sample applications of the build play the applications a person blocks)
# Root only (it installs into the machine); skipped when a zorvane package or its directories
# are there already, so that it never touches an installation it did not make. Whatever happens,
# it leaves nothing of the package behind (purge, processes, rules, directories), and the whole
# run is in a network namespace of its own, so no rule it makes reaches the machine's network.
set -euo pipefail
build=$(cd "$1" && pwd)
filter_test=$2
samples=$build/samples

prefix=/opt/zorvane
state=/var/lib/zorvane
unit=zorvane-filter.service
bundle=$prefix/Zorvane.app
filter=$bundle/Contents/Library/SystemExtensions/dev.quillmoor.Zorvane.FilterExtension.systemextension/Contents/MacOS/ZorvaneFilter

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

if [ -z "${ZORVANE_PACKAGE_TEST_NAMESPACE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || skip "installs the package into the machine, which needs root"
  for tool in cpack dpkg dpkg-deb dpkg-shlibdeps iptables unshare setpriv dbus-run-session; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  if dpkg-query -W -f='${Status}' zorvane 2>/dev/null | grep -q 'ok installed'; then
    skip "a zorvane package is installed on this machine; not touching it"
  fi
  for path in "$prefix" "$state" "/lib/systemd/system/$unit"; do
    [ ! -e "$path" ] || skip "$path exists already; not touching it"
  done
  unshare -n true 2>/dev/null || skip "cannot make a network namespace"
  # Ended well before the test's own time-out, so that its cleanup always runs; and should even
  # that be cut short, the package goes here.
  status=0
  timeout -k 30 480 env ZORVANE_PACKAGE_TEST_NAMESPACE=1 unshare -n bash "$0" "$@" || status=$?
  if dpkg-query -W -f='${Status}' zorvane 2>/dev/null | grep -qv "not-installed"; then
    echo "the test left the package installed; purging it"
    unshare -n dpkg --purge --force-all zorvane >/dev/null 2>&1 || true
    status=1
  fi
  exit $status
fi
trap 'exit 143' TERM INT

work=$(mktemp -d)
# The processes running an installed program, also once removal has deleted it: their ids.
running() {
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$1" | "$1 (deleted)") exe=${exe%/exe}; echo "${exe#/proc/}" ;;
    esac
  done
}
filters_running() { running "$filter"; }
application=$bundle/Contents/MacOS/Zorvane
cleanup() {
  status=$?
  for process in $(running "$application") $(filters_running); do
    kill -KILL "$process" 2>/dev/null || true
  done
  if dpkg-query -W -f='${Status}' zorvane 2>/dev/null | grep -qv "not-installed"; then
    dpkg --purge --force-all zorvane >/dev/null 2>&1 || true
  fi
  rm -rf "$prefix" "$state" "/lib/systemd/system/$unit" \
    "/etc/systemd/system/multi-user.target.wants/$unit" /usr/bin/zorvane-system \
    /usr/share/applications/dev.quillmoor.Zorvane.desktop \
    /usr/share/icons/hicolor/scalable/apps/dev.quillmoor.Zorvane.svg \
    /usr/share/polkit-1/actions/dev.quillmoor.Zorvane.policy
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
# Waits, a tenth of a second at a time and at most ten seconds, for a command to succeed.
within_10s() {
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
no_rules_of_ours() { ! { iptables -S; ip6tables -S; } | grep -q ZORVANE; }
ip link set lo up

# Built and inspected.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/zorvane_*.deb)
dpkg-deb -c "$deb" | awk '{line = $1 " " $2 " " $6; for (i = 7; i <= NF; i++) line = line " " $i; print line}' >"$work/contents"
expect_entry() {
  grep -qxF -e "$1" "$work/contents" || { cat "$work/contents"; fail "no entry: $1"; }
}
expect_entry "-rwxr-xr-x root/root .$bundle/Contents/MacOS/Zorvane"
expect_entry "-rw-r--r-- root/root .$bundle/Contents/Info.plist"
expect_entry "-rwxr-xr-x root/root .$filter"
expect_entry "-rw-r--r-- root/root .${filter%/MacOS/ZorvaneFilter}/Info.plist"
expect_entry "-rw-r--r-- root/root .$bundle/Contents/Library/LaunchAgents/dev.quillmoor.Zorvane.agent.plist"
expect_entry "-rwxr-xr-x root/root .$prefix/bin/zorvane-system"
expect_entry "lrwxrwxrwx root/root ./usr/bin/zorvane-system -> $prefix/bin/zorvane-system"
expect_entry "-rw-r--r-- root/root ./usr/share/applications/dev.quillmoor.Zorvane.desktop"
expect_entry "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/dev.quillmoor.Zorvane.svg"
expect_entry "-rw-r--r-- root/root ./lib/systemd/system/$unit"
expect_entry "-rw-r--r-- root/root ./usr/share/polkit-1/actions/dev.quillmoor.Zorvane.policy"
# Nothing writable by others, nothing setuid.
if awk '{print $1}' "$work/contents" | grep -v '^l' | grep -q '^.\{8\}w\|s'; then
  fail "an entry is writable by others or setuid: $(cat "$work/contents")"
fi
dpkg-deb -f "$deb" Package Depends Recommends >"$work/control"
grep -qx "Package: zorvane" "$work/control" || fail "package name: $(cat "$work/control")"
for dependency in "libqt6core6 (" "libnetfilter-queue1 (" "iptables" "qml6-module-qtquick-controls"; do
  grep -qF "$dependency" "$work/control" || fail "no dependency on $dependency: $(cat "$work/control")"
done
dpkg-deb -e "$deb" "$work/control-files"
for script in postinst prerm postrm; do
  [ -x "$work/control-files/$script" ] || fail "no executable maintainer script $script"
  sh -n "$work/control-files/$script" || fail "$script is not valid sh"
done

# Installed: the service waits for approval, the programs find the service's state directory.
export DEBIAN_FRONTEND=noninteractive
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; }
[ -f "/lib/systemd/system/$unit" ] || fail "the unit is not installed"
[ ! -e "/etc/systemd/system/multi-user.target.wants/$unit" ] || fail "the service was enabled before approval"
[ "$(stat -c %a "$state")" = 755 ] || fail "$state is missing or not mode 755"
zorvane-system status >"$work/status" 2>&1 || { cat "$work/status"; fail "zorvane-system status"; }
grep -qx "System directory: $state" "$work/status" || fail "status: $(cat "$work/status")"

# The installed filter, as the service starts it, refuses a listed program.
ZORVANE_INSTALLED_FILTER=$filter "$filter_test" --gtest_brief=1 || fail "the installed filter"

# A desktop user (nobody here) opens the installed Zorvane with an application on its list and
# protection on: Zorvane waits for an administrator and tells the user what to run.
as_user() { local user=$1; shift; setpriv --reuid="$user" --regid="$user" --clear-groups "$@"; }
home=$work/home
mkdir -p "$home/.config/zorvane" "$home/run"
record=$(zorvane-system inspect "$samples/Sample Mail.app") || fail "inspect $samples/Sample Mail.app"
cat >"$home/.config/zorvane/dev.quillmoor.Zorvane.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>blockedApplications</key><data>$(printf '[%s]' "$record" | base64 -w0)</data>
  <key>protectionRequested</key><true/>
  <key>hasCompletedOnboarding</key><true/>
</dict></plist>
PLIST
chown -R 65534:65534 "$home"
chmod 0755 "$work"
chmod 0700 "$home/run"
window=$home/window.png
# A session bus of the user's own that starts nothing on demand (no keyring daemon to outlive
# the test: the secret falls back to its file), ending with Zorvane.
cat >"$work/session-bus.conf" <<'CONF'
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
as_user 65534 env -i HOME="$home" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$home/run" \
  QT_QPA_PLATFORM=offscreen ZORVANE_UPDATE_MANIFEST_URL=http://127.0.0.1:9/updates/latest.json \
  ZORVANE_WINDOW_SNAPSHOT="$window" \
  dbus-run-session --config-file="$work/session-bus.conf" -- "$application" \
  >"$work/zorvane.log" 2>&1 </dev/null &
# Polls for up to a minute: the machine may be busy building.
within_60s() { for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done; return 1; }
within_60s grep -qs "Run: zorvane-system approve" "$window.txt" ||
  { cat "$work/zorvane.log"; fail "Zorvane does not tell the user to approve the filter"; }
if as_user 65534 zorvane-system approve >"$work/approve-user.log" 2>&1; then
  fail "a user approved without an administrator: $(cat "$work/approve-user.log")"
fi

# The administrator approves for that user: that user alone writes the filter configuration, and
# everyone's Zorvane sees the approval. The filter starts as the service would.
zorvane-system approve --user nobody >"$work/approve.log" 2>&1 || { cat "$work/approve.log"; fail "approve"; }
approved=$state/configuration
[ "$(stat -c '%U %a' "$approved")" = "nobody 700" ] || fail "approved directory: $(stat -c '%U %a' "$approved")"
if as_user 65533 sh -c "echo > '$approved/probe'" 2>/dev/null; then fail "another user wrote the configuration"; fi
if as_user 65533 sh -c "echo > '$state/filter-configuration.plist'" 2>/dev/null; then fail "another user wrote the state directory"; fi
as_user 65533 zorvane-system status >"$work/status" 2>&1
grep -q "activated" "$work/status" || fail "another user's status does not show the approval: $(cat "$work/status")"
ZORVANE_SYSTEM_DIR=$state "$filter" --keep-alive --netfilter >"$work/filter.log" 2>&1 &
within_10s bash -c "iptables -S | grep -q ZORVANE_OUTPUT" || { cat "$work/filter.log"; fail "the filter did not start"; }
# Running as root, it keeps the approved user's way in.
[ "$(stat -c %a "$state")" = 755 ] || fail "the filter closed $state to the approved user"
as_user 65533 zorvane-system status >"$work/status" 2>&1
grep -q "Filter host: the system's service" "$work/status" || fail "a user's status guesses at the filter: $(cat "$work/status")"

# Zorvane saves its rules for the filter; the listed application is refused, and the attempt
# reaches the user's Zorvane.
enabled() { zorvane-system status 2>/dev/null | grep -q "Enabled: yes"; }
within_60s enabled || { cat "$work/zorvane.log"; fail "Zorvane never saved an enabled configuration"; }
[ "$(stat -c %U "$approved/filter-configuration.plist")" = nobody ] || fail "the configuration is not the user's"
dropped() { [ "$(zorvane-system flow --app "$samples/Sample Mail.app" --host mail.example.com --port 443)" = drop ]; }
within_60s dropped || fail "the filter does not refuse the listed application: $(zorvane-system status)"
[ "$(zorvane-system flow --app "$samples/Sample Chat.app" --host chat.example.com --port 443)" = allow ] ||
  fail "the filter refuses an unlisted application"
reported() { grep -rqs mail.example.com "$home/.local/share/zorvane"; }
within_60s reported || { cat "$work/zorvane.log"; fail "the attempt never reached the user's Zorvane"; }
kill -TERM $(running "$application") 2>/dev/null || true
gone() { [ -z "$(running "$application")" ]; }
within_10s gone || fail "Zorvane did not end on SIGTERM"

# Removed while it runs (as the service, or by hand): it stops, and no rule of ours stays.
dpkg -r zorvane >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r"; }
[ -z "$(filters_running)" ] || fail "a filter still runs after removal"
no_rules_of_ours || fail "rules remain after removal: $(iptables -S; ip6tables -S)"
for path in "$prefix" "/lib/systemd/system/$unit" /usr/bin/zorvane-system; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path remains after removal"
done
[ -d "$state" ] || fail "removal (not purge) took the state away"

# Purged: nothing of ours remains.
dpkg -P zorvane >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg -P"; }
[ ! -e "$state" ] || fail "$state remains after purge"
while read -r _ _ path _; do
  path=${path#.}
  [ -d "$path" ] && continue   # the shared directories (/usr/bin, /lib/systemd/system, ...)
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path remains after purge"
done <"$work/contents"
[ ! -e "$prefix" ] || fail "$prefix remains after purge"
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes; built, inspected, installed, used, removed and purged"
