#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, only when something is missing.
# Usage: scripts/install-deps.sh [--with-clang] [--with-postgresql] [--with-browser] [--with-packaging] [--with-package-checks] [--with-monitoring]
#   --with-postgresql      the PostgreSQL server that the update history's tests start for themselves
#   --with-browser         headless Chromium, its driver and Selenium for the dashboard's browser test
#   --with-packaging       what scripts/package.sh needs to make the .deb (dpkg-shlibdeps, file)
#   --with-package-checks  what scripts/check-package.sh checks it with (lintian, validators, man)
#   --with-monitoring      promtool (Debian's prometheus package), which the station's tests check its metrics with,
#                          and python3-jsonschema, which its answers are checked against the API description with
set -euo pipefail

# Qt SQL's drivers for the update history: SQLite (its default file) and PostgreSQL (shared histories).
packages=(build-essential cmake pkg-config qt6-base-dev libgl-dev libssl-dev libmicrohttpd-dev libsystemd-dev libpq-dev scdoc fonts-dejavu-core
          fonts-dejavu-extra fonts-liberation libqt6sql6-sqlite libqt6sql6-psql
          openssh-client)
for option in "$@"; do
  case "$option" in
    --with-clang) packages+=(clang libclang-rt-14-dev) ;;
    --with-postgresql) packages+=(postgresql) ;;
    --with-browser) packages+=(chromium chromium-driver python3-selenium) ;;
    --with-packaging) packages+=(dpkg-dev file) ;;
    --with-package-checks) packages+=(lintian desktop-file-utils appstream man-db) ;;
    --with-monitoring) packages+=(prometheus python3-jsonschema) ;;
    *) echo "install-deps.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

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
