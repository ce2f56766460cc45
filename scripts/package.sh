#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, builds Release in build-package/ with
# Debian's hardening flags and the manual pages, and writes the .deb to dist/.
# Progress goes to stderr; the path of the .deb is printed on stdout.
# Usage: scripts/package.sh [--clean]      (--clean starts from an empty build-package/)
# Then: apt install ./dist/<package>_<version>_<arch>.deb
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-package"
dist="$root/dist"

case "${1:-}" in
  "") ;;
  --clean) rm -rf "$build" ;;
  *) echo "Usage: scripts/package.sh [--clean]" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh" --with-packaging >&2

# The dates in the manual pages, metadata and changelog are the last commit's, not the clock's.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]] && epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null)"; then
  export SOURCE_DATE_EPOCH="$epoch"
fi

# Debian's compiler and linker flags (stack protector, fortify, full RELRO); no -g, since the
# package's programs are stripped anyway.
cd "$root"
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
export DEB_CXXFLAGS_MAINT_STRIP="-g"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

echo "== build-package: configure and build (Release)" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DUPLOADER_BUILD_TESTS=OFF -DUPLOADER_BUILD_BENCH=OFF -DUPLOADER_FUZZ=OFF -DUPLOADER_SANITIZE=OFF \
  -DUPLOADER_MAN_PAGES=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >&2

echo "== build-package: Debian package" >&2
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB) >&2
debs=("$build"/packages/*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f "${debs[0]}" ]]; then
  echo "package.sh: expected one .deb in $build/packages, found: ${debs[*]}" >&2
  exit 1
fi
deb="${debs[0]}"
package="$(dpkg-deb -f "$deb" Package)"

mkdir -p "$dist"
# One version of the package in dist/, so "apt install ./dist/<package>_*.deb" is unambiguous.
rm -f "$dist/${package}"_*.deb
cp "$deb" "$dist/"
echo "== $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version): dist/$(basename "$deb")" >&2
echo "$dist/$(basename "$deb")"
