#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Quorbital need.
# Safe to run again: it only asks apt for what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  liblo-dev liblo-tools
  libplist-dev
  nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3
  clang-14 libclang-rt-14-dev
  # scripts/format.sh and .clang-format (version 14 on Debian 12)
  clang-format
  libavahi-client-dev
  # Touch-layout import (zip archives of XML) and the address filter's case and diacritic folding.
  libzip-dev libexpat1-dev libicu-dev
  # The Bonjour tests start their own avahi-daemon and D-Bus system bus in private namespaces.
  avahi-daemon dbus-daemon iproute2 util-linux
  # MIDI: JACK (the tests start their own server on the dummy driver) and the ALSA sequencer.
  jackd2 libjack-jackd2-dev libasound2-dev
  # The Flame link's FireWire backend.
  libraw1394-dev
  # Wii remotes: the kernel's hid-wiimote driver through libxwiimote, udev for remotes coming and
  # going, evdev for the extensions libxwiimote does not report, BlueZ over D-Bus for pairing.
  libxwiimote-dev libudev-dev libevdev-dev libdbus-1-dev
  # Key and pointer posting through XTest, key texts for the keyboard layout in use through
  # xkbcommon (the X server's keymap through its X11 part), the monitors through RandR, and the X
  # server the key and mouse tests start themselves.
  libx11-dev libxtst-dev libxrandr-dev libxkbcommon-dev libxkbcommon-x11-dev libx11-xcb-dev xkb-data xvfb
  x11-xkb-utils
  # The key tests ask XInput 2 which device an event came from.
  libxi-dev
  # The windows: Qt 6 Widgets (and its SVG images); the window tests run under Xvfb (xauth for its
  # clients) with Mesa's software GL and a fixed font.
  qt6-base-dev qt6-svg-dev xauth libgl1-mesa-dri fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to give the audio group real-time priority; the tests need no such group.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
