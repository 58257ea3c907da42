#!/usr/bin/env bash
# Builds the programs and the benchmark, then runs every measurement in one Wine session and
# prints one table (Markdown) with the machine it ran on. Not part of the test command.
#   bench/run-bench.sh [rounds] [requests]     (defaults 250 and 10000; 12 to 16 minutes here)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-250}
requests=${2:-10000}

commit=$(git describe --always --dirty)  # what is built below
bash cmake/setup-machine.sh >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null

source cmake/wine-session.sh
trap wine_session_stop EXIT
wine_session_start >/dev/null
wine_retry 3 wine build/win64/bin/trust_test_root.exe "$(winepath -w build/win64/signing/ca.der)"
# Wine has no timeout.exe; the uninstaller's copy waits with it before it deletes itself.
cp build/win64/bin/timeout.exe "$WINEPREFIX/drive_c/windows/system32/"

w() { winepath -w "$1"; }
out=$(mktemp)
# Output to a file, not a pipe: Wine's helper processes would inherit the pipe.
timeout 3600 wine build/win64/bin/bench_driver.exe "$rounds" "$requests" \
  --size "\`VarneloService.exe\` (x86_64, shipped)<400=$(w build/win64/bin/VarneloService.exe)" \
  --size "\`uninstall.exe\` (i686, shipped)<900=$(w build/win32/bin/uninstall.exe)" \
  --size "\`uninstall.exe\` (x86_64, test build)=$(w build/win64/bin/uninstall.exe)" \
  --size "\`VarneloService.exe.debug\`=$(w build/win64/bin/VarneloService.exe.debug)" \
  --size "\`uninstall.exe.debug\` (i686)=$(w build/win32/bin/uninstall.exe.debug)" \
  </dev/null >"$out" 2>&1 || { cat "$out"; rm -f "$out"; exit 1; }

echo "Benchmark of $commit on $(date -u '+%Y-%m-%d %H:%M UTC'): $rounds interleaved rounds, one Wine session"
echo
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
  "$(awk '/MemTotal/ {printf "%.1f GB", $2/1048576}' /proc/meminfo) RAM, $(. /etc/os-release; echo "$PRETTY_NAME")," \
  "kernel $(uname -r), $(wine --version); load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
echo
tr -d '\r' <"$out"
rm -f "$out"
