#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, only when something is missing.
# Usage: scripts/install-deps.sh [--with-clang]
set -euo pipefail

packages=(build-essential cmake qt6-base-dev libgl-dev fonts-dejavu-core fonts-dejavu-extra fonts-liberation)
if [[ "${1:-}" == "--with-clang" ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "Run as root (or install sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
