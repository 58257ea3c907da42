#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine (idempotent).
# wine32 only where the machine runs 32-bit code (cmake/runs-32bit.sh): there the shipped i686
# uninstall.exe is tested as it ships. Elsewhere nothing 32-bit is installed, since with wine32
# present the wine wrapper starts the 32-bit loader first and breaks for 64-bit programs too.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
packages=(
  cmake ninja-build clang libclang-rt-14-dev googletest zlib1g-dev binutils
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
  wine wine64 fonts-wine xvfb xauth xdotool x11-apps imagemagick
  osslsigncode openssl python3 locales fonts-wqy-microhei git
)
missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
install() {
  echo "setup: installing $*"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
mapfile -t absent < <(missing "${packages[@]}")
if [ ${#absent[@]} -gt 0 ]; then install "${absent[@]}"; fi
if cmake/runs-32bit.sh; then
  if [ -n "$(missing wine32:i386)" ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    install wine32:i386
  fi
else
  echo "setup: this machine runs no 32-bit code; wine32 is not installed"
fi
# The uninstaller's Chinese test runs Wine under a Chinese locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
