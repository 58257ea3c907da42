#!/usr/bin/env bash
# -install from a folder whose program path is longer than 260 units registers the whole path
# (a fixed MAX_PATH buffer would register a cut path and still report success). Inside Wine such a
# program cannot be started (CreateProcessW and ShellExecuteExW fail with 2 and 3), so this runs
# from the shell through Wine's loader, in the test session's prefix.
# usage: long_install_path.sh <bin folder of the build>
set -euo pipefail
bin=$1
root="$WINEPREFIX/drive_c/varnelo-long-path"
out=$(mktemp -d)
cleanup() {
  timeout 60 wine "$bin/VarneloService.exe" -uninstall </dev/null >"$out/uninstall.txt" 2>&1 || true
  rm -rf "$root" "$out"
}
trap cleanup EXIT

# "C:" plus the part after drive_c, a backslash and the program name; just past 262 units.
dir=$root
while [ $(( ${#dir} - ${#WINEPREFIX} - 8 + 2 + 19 )) -le 262 ]; do dir="$dir/$(printf 'x%.0s' $(seq 20))"; done
mkdir -p "$dir"
cp "$bin/VarneloService.exe" "$dir/"
# winepath cuts at 260 units, so the Windows name is spelled out here.
exe_windows="C:${dir#"$WINEPREFIX/drive_c"}/VarneloService.exe"
exe_windows=${exe_windows//\//\\}
echo "program path: ${#exe_windows} units"
# The program is x86_64. With wine32 present the wine wrapper starts the 32-bit loader, which
# cannot open a path this long and hands it to start.exe (ShellExecuteEx fails); the 64-bit
# loader opens it.
loader64=/usr/lib/wine/wine64
[ -x "$loader64" ] || loader64=wine
[ "${#exe_windows}" -gt 260 ]

timeout 60 "$loader64" "$dir/VarneloService.exe" -install </dev/null >"$out/install.txt" 2>&1 || true
tr -d '\r' <"$out/install.txt"
timeout 60 wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\VarneloService' /v ImagePath \
  </dev/null >"$out/reg.txt" 2>&1 || true
registered=$(tr -d '\r' <"$out/reg.txt" | sed -n 's/^ *ImagePath *REG_SZ *//p')
echo "registered: $registered"
if [ "$registered" != "\"$exe_windows\"" ]; then
  echo "FAILED: expected the whole quoted path \"$exe_windows\""
  exit 1
fi
# Wine's service control manager cannot start a program this deep either (error 2); Windows can.
grep -qE '^Service installed (and started\.|but StartService failed: [0-9]+)' "$out/install.txt"
echo "PASSED"
