#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, fuzz and run.
# Non-interactive and idempotent: nothing is installed twice, nothing else is downloaded.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libplist-dev libplist++-dev nlohmann-json3-dev libasio-dev
  qt6-base-dev qt6-declarative-dev qml6-module-qtqml qml6-module-qtquick
  qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-window
  qml6-module-qtqml-workerscript qml6-module-qtquick-templates qml6-module-qt-labs-platform
  qml6-module-qttest qt6-image-formats-plugins libqt6svg6 qtkeychain-qt6-dev libsecret-1-0
  xvfb xauth dbus gnome-keyring fonts-material-design-icons-iconfont
  iptables iproute2 libnetfilter-queue-dev libmnl-dev
  dpkg-dev systemd pkexec
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages already installed"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
