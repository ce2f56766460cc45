#!/usr/bin/env bash
# Builds the Debian package with scripts/package.sh and checks it without installing it: what it
# contains (and nothing more), that the unpacked programs run against the system's Qt, that the
# manual pages render without warnings, that the desktop entry and AppStream metadata validate, and
# that lintian finds no error. Prints one line per check and a summary.
# Usage: scripts/check-package.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-package"
app_id="com.example.MarlinArcUploader"

"$root/scripts/install-deps.sh" --with-packaging --with-package-checks
deb="$("$root/scripts/package.sh")"
package="$(dpkg-deb -f "$deb" Package)"
version="$(dpkg-deb -f "$deb" Version)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { echo "ok    $*"; passed=$((passed + 1)); }
fail() { echo "FAIL  $*"; failed=$((failed + 1)); }

echo "== check $(basename "$deb")"

# ---- which programs this build installs ----------------------------------------------------------
mapfile -t programs < "$build/packaging/installed-programs.txt"
if printf '%s\n' "${programs[@]}" | grep -qx uploader-cli; then
  pass "uploader-cli is built and installed"
else
  fail "the build does not install uploader-cli"
fi

# ---- the update history's SQL drivers (plugins: dpkg-shlibdeps cannot find them) ----------------
depends="$(dpkg-deb -f "$deb" Depends)"
recommends="$(dpkg-deb -f "$deb" Recommends 2>/dev/null || true)"
if grep -qw libqt6sql6-sqlite <<<"$depends"; then
  pass "Depends names the Qt SQLite driver"
else
  fail "Depends lacks libqt6sql6-sqlite: $depends"
fi
# The station tells systemd through libsystemd's sd_notify.
if grep -qw libsystemd0 <<<"$depends"; then
  pass "Depends names libsystemd0"
else
  fail "Depends lacks libsystemd0: $depends"
fi
if grep -qw libqt6sql6-psql <<<"$recommends"; then
  pass "Recommends names the Qt PostgreSQL driver"
else
  fail "Recommends lacks libqt6sql6-psql: $recommends"
fi

# ---- contents: exactly the expected files --------------------------------------------------------
expected="$work/expected"
{
  for p in "${programs[@]}"; do
    echo "usr/bin/$p"
    echo "usr/share/man/man1/$p.1.gz"
  done
  echo "usr/share/applications/$app_id.desktop"
  echo "usr/share/metainfo/$app_id.metainfo.xml"
  echo "usr/share/icons/hicolor/scalable/apps/$app_id.svg"
  echo "usr/share/doc/$package/copyright"
  echo "usr/share/doc/$package/changelog.gz"
  if printf '%s\n' "${programs[@]}" | grep -qx uploader-station; then
    echo "lib/systemd/system/uploader-station.service"
  fi
} | sort > "$expected"
# Files and symbolic links, without directories: "./usr/bin/uploader" -> "usr/bin/uploader".
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort > "$work/actual"
if diff -u "$expected" "$work/actual" > "$work/contents.diff"; then
  pass "contents: ${#programs[@]} programs (${programs[*]}), their manual pages, desktop entry, metadata, icon, copyright, changelog"
else
  fail "contents differ from what is expected (- missing, + unexpected):"
  sed -n '3,$p' "$work/contents.diff" | grep '^[-+]' | sed 's/^/        /'
fi

stage="$work/stage"
dpkg-deb -x "$deb" "$stage"

# ---- the programs: stripped, no RUNPATH, libraries found on the system ------------------------------
for p in "${programs[@]}"; do
  binary="$stage/usr/bin/$p"
  [[ -x "$binary" ]] || { fail "$p: not in the package"; continue; }
  problems=()
  file -b "$binary" | grep -q ', stripped' || problems+=("not stripped")
  readelf -d "$binary" | grep -qE 'R(UN)?PATH' && problems+=("has an RPATH/RUNPATH")
  missing="$(env -u LD_LIBRARY_PATH ldd "$binary" | grep 'not found' || true)"
  [[ -n "$missing" ]] && problems+=("libraries not found: $(echo "$missing" | awk '{print $1}' | xargs)")
  if [[ ${#problems[@]} -eq 0 ]]; then
    pass "$p: stripped, no RUNPATH, every library found on the system"
  else
    fail "$p: ${problems[*]}"
  fi
done

# ---- the unpacked programs run -----------------------------------------------------------------
if out="$(env -u LD_LIBRARY_PATH "$stage/usr/bin/unitsim" --help 2>&1)" && grep -q -- '--product' <<<"$out"; then
  pass "unitsim --help"
else
  fail "unitsim --help: $(head -n 3 <<<"$out")"
fi
if [[ -x "$stage/usr/bin/uploader-cli" ]]; then
  if out="$(env -u LD_LIBRARY_PATH "$stage/usr/bin/uploader-cli" --version 2>&1)" && grep -qF "$version" <<<"$out"; then
    pass "uploader-cli --version: $out"
  else
    fail "uploader-cli --version does not print $version: $(head -n 3 <<<"$out")"
  fi
  # No hidden option of the installed program changes how long it waits for a unit.
  status=0
  out="$(env -u LD_LIBRARY_PATH "$stage/usr/bin/uploader-cli" --time-scale 0.01 --unit 127.0.0.1:1 x.hex 2>&1)" || status=$?
  if [[ $status -eq 2 ]] && grep -q "Unknown option 'time-scale'" <<<"$out"; then
    pass "uploader-cli --time-scale is a usage error (exit 2)"
  else
    fail "uploader-cli --time-scale: exit $status: $(head -n 3 <<<"$out")"
  fi
fi
if [[ -x "$stage/usr/bin/uploader-station" ]]; then
  if out="$(env -u LD_LIBRARY_PATH "$stage/usr/bin/uploader-station" --version 2>&1)" && grep -qF "$version" <<<"$out"; then
    pass "uploader-station --version: $out"
  else
    fail "uploader-station --version does not print $version: $(head -n 3 <<<"$out")"
  fi
  status=0
  out="$(env -u LD_LIBRARY_PATH "$stage/usr/bin/uploader-station" --time-scale 0.01 --state-dir "$work/station-state" 2>&1)" || status=$?
  if [[ $status -eq 2 ]] && grep -q "Unknown option 'time-scale'" <<<"$out"; then
    pass "uploader-station --time-scale is a usage error (exit 2)"
  else
    fail "uploader-station --time-scale: exit $status: $(head -n 3 <<<"$out")"
  fi
  unit="$stage/lib/systemd/system/uploader-station.service"
  if grep -qx "ExecStart=/usr/bin/uploader-station" "$unit" && grep -qx "DynamicUser=yes" "$unit"; then
    pass "uploader-station.service starts /usr/bin/uploader-station as a dynamic user"
  else
    fail "uploader-station.service: ExecStart or DynamicUser missing"
  fi
  if grep -qx "Type=notify" "$unit" && grep -q "^WatchdogSec=" "$unit"; then
    pass "uploader-station.service is Type=notify with WatchdogSec="
  else
    fail "uploader-station.service: Type=notify or WatchdogSec= missing"
  fi
  if command -v systemd-analyze >/dev/null; then
    # A copy whose ExecStart= is the staged program, its manual page found in the staged tree.
    sed "s#^ExecStart=/usr/bin/#ExecStart=$stage/usr/bin/#" "$unit" >"$work/uploader-station.service"
    if out="$(MANPATH="$stage/usr/share/man" systemd-analyze verify "$work/uploader-station.service" 2>&1)" &&
      [[ -z "$out" ]]; then
      pass "systemd-analyze verify passes uploader-station.service"
    else
      fail "systemd-analyze verify uploader-station.service: $(head -n 5 <<<"$out")"
    fi
  else
    echo "skip: systemd-analyze is not installed; uploader-station.service not verified"
  fi
  if [[ -n "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'postinst|prerm|postrm' || true)" ]]; then
    fail "maintainer scripts present: the service must not be enabled by the package"
  else
    pass "no maintainer scripts: the service is installed, not enabled"
  fi
fi
# The window starts (offscreen, with its settings in a scratch folder) and keeps running.
for p in uploader uploader-debug; do
  status=0
  env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    timeout 3 "$stage/usr/bin/$p" > "$work/$p.log" 2>&1 || status=$?
  if [[ $status -eq 124 ]]; then
    pass "$p starts (offscreen) and runs until stopped"
  else
    fail "$p ended with status $status: $(head -n 3 "$work/$p.log")"
  fi
done

# ---- manual pages --------------------------------------------------------------------------------
for p in "${programs[@]}"; do
  page="$stage/usr/share/man/man1/$p.1.gz"
  [[ -e "$page" ]] || { fail "manual page $p(1): missing"; continue; }
  if MANWIDTH=80 man --warnings -l "$page" > "$work/man.out" 2> "$work/man.err" && [[ ! -s "$work/man.err" ]] \
     && grep -q NAME "$work/man.out"; then
    pass "manual page $p(1) renders without warnings"
  else
    fail "manual page $p(1): $(head -n 5 "$work/man.err")"
  fi
done

# ---- desktop entry and AppStream metadata --------------------------------------------------------
if out="$(desktop-file-validate "$stage/usr/share/applications/$app_id.desktop" 2>&1)" && [[ -z "$out" ]]; then
  pass "desktop-file-validate"
else
  fail "desktop-file-validate: $out"
fi
if out="$(appstreamcli validate --no-net "$stage/usr/share/metainfo/$app_id.metainfo.xml" 2>&1)"; then
  pass "appstreamcli validate --no-net"
else
  fail "appstreamcli validate --no-net: $out"
fi
if grep -qx "Exec=uploader" "$stage/usr/share/applications/$app_id.desktop" \
   && grep -qx "Icon=$app_id" "$stage/usr/share/applications/$app_id.desktop"; then
  pass "desktop entry starts uploader with the packaged icon"
else
  fail "desktop entry: Exec=uploader or Icon=$app_id missing"
fi

# ---- lintian ---------------------------------------------------------------------------------------
# Exit status 0: no error; 1: errors found; anything else: lintian itself failed.
status=0
lintian --fail-on error --tag-display-limit 0 "$deb" > "$work/lintian" 2> "$work/lintian.err" || status=$?
errors="$(grep -c '^E:' "$work/lintian" || true)"
warnings="$(grep -c '^W:' "$work/lintian" || true)"
if [[ $status -eq 0 && $errors -eq 0 ]]; then
  pass "lintian: no errors, $warnings warnings"
elif [[ $status -le 1 ]]; then
  fail "lintian: $errors errors, $warnings warnings"
else
  fail "lintian did not run (status $status): $(head -n 3 "$work/lintian.err")"
fi
grep -E '^[EW]:' "$work/lintian" | sed 's/^/        /' || true

echo "== $package $version"
echo "check-package: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
