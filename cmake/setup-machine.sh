#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine (idempotent).
# wine32 is deliberately absent: this kernel runs no 32-bit code and wine32 breaks the wrapper.
set -euo pipefail
packages=(
  cmake ninja-build clang libclang-rt-14-dev googletest zlib1g-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
  wine wine64 fonts-wine xvfb xauth xdotool x11-apps imagemagick
  osslsigncode openssl python3 locales fonts-wqy-microhei git
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The uninstaller's Chinese test runs Wine under a Chinese locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
