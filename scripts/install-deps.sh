#!/usr/bin/env bash
# Installs the Debian packages Tavrin needs to build, run and test; only what is missing.
set -euo pipefail

PKGS=(
  build-essential g++ cmake ninja-build pkg-config make python3
  libgtk-3-dev libcairo2-dev libpango1.0-dev libglib2.0-dev libgdk-pixbuf-2.0-dev
  libgtest-dev googletest libbenchmark-dev
  xvfb xauth xdotool x11-utils imagemagick dbus dbus-x11 libglib2.0-bin
  fonts-dejavu-core fonts-noto-core fonts-noto-cjk
  tar gzip xz-utils bzip2 zstd lz4 lzip zip unzip 7zip
  xfsprogs util-linux e2fsprogs attr binutils file
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO="sudo"; else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# 7zip is only in newer releases; fall back to p7zip-full where it is absent.
if ! apt-cache show 7zip >/dev/null 2>&1; then
  missing=("${missing[@]/7zip/p7zip-full}")
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
