#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Idempotent: packages already present are left as they are.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-controls
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qtquick-templates xvfb fonts-dejavu-core
  libboost-dev libssl-dev nlohmann-json3-dev libsqlite3-dev
  libdbus-1-dev libicu-dev libxcb1-dev qt6-gtk-platformtheme
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-x11 gnome-keyring libsecret-tools
  xdg-utils openssl procps python3-minimal locales curl
  dpkg-dev lintian binutils chromium firefox-esr libsodium-dev chromium-driver python3-selenium xdotool
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
