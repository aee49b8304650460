#!/usr/bin/env bash
# Installs every Debian package the build, the demo and the tests need.
# Says which it installs; does nothing when every one is there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libgl-dev
  libsimpleini-dev libsrtp2-dev libcurl4-openssl-dev libsystemd-dev
  libgtest-dev libgmock-dev
  # the SRTP interoperability test's own RFC 3711 end
  libssl-dev
  clang libclang-rt-14-dev clang-format
  util-linux iproute2 dbus-daemon libglib2.0-bin
  ffmpeg
  xvfb xauth fonts-crosextra-carlito fonts-noto-cjk
  # the desktop test: an XEmbed tray, tools that find, click and photograph
  # windows, and PyGObject for its StatusNotifierItem watcher
  trayer xdotool x11-utils x11-apps python3-gi
  # the package test checks the menu entry, polkit action and man page with these
  desktop-file-utils libxml2-utils groff-base
  # the real-kernel test's guest (tests/vm/lab): the emulator, and cpio for its initramfs
  qemu-system-x86 cpio
  # the USB/IP server test lists the device with the standard client
  usbip
  # the Windows build (scripts/build-windows.sh) and its run under Wine:
  # the cross compiler, GoogleTest's sources, dpkg-source for libsrtp2's
  # sources, Wine
  g++-mingw-w64-x86-64-posix googletest dpkg-dev wine64
  # the Windows front end's checks under Wine: Wine's own fonts (Marlett
  # draws the caption buttons); the dialogs' fonts are Carlito and Noto CJK
  fonts-wine
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing the missing packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
