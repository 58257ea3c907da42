#!/usr/bin/env bash
# Builds everything and runs every test: native unit tests under sanitizers, a bounded fuzzing
# run, then the Windows programs and their tests under a throwaway Wine session.
set -euo pipefail
cd "$(dirname "$0")"
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

bash cmake/setup-machine.sh
start=$(date +%s)

# The shipped uninstall.exe is i686 code. Where this machine runs 32-bit code, set-up installed
# wine32 and every test that starts uninstall.exe runs a second time against that build.
if cmake/runs-32bit.sh; then
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed" ||
    { echo "this machine runs 32-bit code, but wine32 is not installed" >&2; exit 1; }
  i686_bin=$PWD/build/win32/bin
  echo "== uninstall.exe builds under test: x86_64 (the test build) and i686 (the shipped build, under WoW64)"
else
  i686_bin=
  echo "== uninstall.exe builds under test: x86_64 only; the 32-bit run is skipped: this machine runs no 32-bit code (a static i386 program does not run), so Wine cannot run the shipped i686 build here"
fi

echo "== native: build and unit tests (ASan/UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

# The fuzzing budget is shared by the three targets: what the service does with raw pipe bytes
# (framing, parser, writer, log escaping), the skin archive reader and the layout parser. Each
# keeps its corpus in build/native/fuzz-corpus/<target>.
fuzz_share=$(( FUZZ_SECONDS / 3 > 0 ? FUZZ_SECONDS / 3 : 1 ))
echo "== native: fuzzing the request framing, parser and log escaping for ${fuzz_share}s"
tools/fuzz-requests.sh "$fuzz_share"
for target in zip:65536 xml:8192; do
  name=${target%%:*} max_len=${target##*:}
  echo "== native: fuzzing the ${name} reader for ${fuzz_share}s"
  corpus=build/native/fuzz-corpus/$name
  mkdir -p "$corpus"
  "build/native/tests/native/${name}_fuzzer" -max_total_time="$fuzz_share" -max_len="$max_len" -print_final_stats=1 \
    "$corpus" "tests/native/fuzz-seeds/$name" 2>&1 | grep -E "^(Done|stat::number_of_executed_units|INFO: seed|==[0-9]+==ERROR|SUMMARY)" || true
  test "${PIPESTATUS[0]}" -eq 0
done

echo "== windows: the shipped 32-bit uninstaller (i686), with its test builds"
cmake --preset win32 -DVARNELO_TESTS=ON >/dev/null
cmake --build --preset win32

echo "== windows: build (x86_64 under test, test signing per build)"
cmake --preset win64 -DVARNELO_I686_BIN="$i686_bin" >/dev/null
cmake --build --preset win64

echo "== windows: tests under Wine"
source cmake/wine-session.sh
trap wine_session_stop EXIT
wine_session_start
# Trust the per-build test CA machine-wide, from a process before the tests, as a release CA is.
ca=$(winepath -w build/win64/signing/ca.der)
wine_retry 3 wine build/win64/bin/trust_test_root.exe "$ca"
# The i686 runs of the uninstaller's tests go in a session of their own, beside the x86_64 runs.
jobs=1
if [ -n "$i686_bin" ]; then
  wine_side_session_start
  WINEPREFIX=$VARNELO_SIDE_PREFIX DISPLAY=$VARNELO_SIDE_DISPLAY \
    wine_retry 3 wine build/win64/bin/trust_test_root.exe "$ca"
  jobs=2
fi
shots=build/screenshots
rm -rf "$shots" && mkdir -p "$shots"
VARNELO_SCREENSHOT_DIR=$(winepath -w "$shots") ctest --preset win64 -j "$jobs"
for shot in "$shots"/*.bmp; do [ -e "$shot" ] && convert "$shot" "${shot%.bmp}.png" && rm "$shot"; done

# Two releases of the committed tree, built in different folders at different times, must be the
# same bytes; the second is signed with the test PKI, compared with its signature removed, and its
# VarneloService.exe must recognise its own publisher signature in this session.
echo "== release: reproducible, and the signed service recognises its signature"
cmake/check-reproducible.sh --signing-dir build/win64/signing --ping build/win64/bin/clients/pipe_client_publisher.exe

echo "== all tests passed in $(( $(date +%s) - start ))s"
