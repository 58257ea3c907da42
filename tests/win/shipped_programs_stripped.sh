#!/usr/bin/env bash
# A shipped program carries no debug sections and names its debug file, which sits beside it and
# holds the debug information; a publisher-signed copy of it still verifies against the test CA.
# The switches that let tests break the handle hand-over exist in the test build of the service
# only, never in a shipped program or its signed copy.
#   shipped_programs_stripped.sh <objdump> <ca.crt> <signed copy> <test build> <program>...
set -uo pipefail
objdump=$1 ca=$2 signed=$3 test_build=$4
shift 4
failed=0
for program in "$@"; do
  sections=$("$objdump" -h "$program" | awk '$1 ~ /^[0-9]+$/ {print $2}')
  if grep -q '^\.debug_' <<<"$sections"; then echo "$program: debug sections shipped"; failed=1; fi
  if ! grep -qx '\.gnu_debuglink' <<<"$sections"; then echo "$program: no debug link"; failed=1; fi
  if ! "$objdump" -h "$program.debug" 2>/dev/null | grep -q ' \.debug_info '; then
    echo "$program.debug: no debug information"; failed=1
  fi
done
if ! osslsigncode verify -CAfile "$ca" -in "$signed" >/dev/null 2>&1; then
  echo "$signed: signature does not verify"; failed=1
fi
for switch in VARNELO_FAULT_DUP VARNELO_FAULT_REOPEN VARNELO_FAULT_HANDOVER_PAUSE_MS VARNELO_FAULT_FAIL \
              VARNELO_FAULT_MAPPED_IMAGE VARNELO_FAULT_LOG_OWNER TestFaults; do
  # Found in the test build, so the search below would see it.
  if ! grep -qaF "$switch" "$test_build"; then echo "$test_build: no $switch"; failed=1; fi
  for program in "$signed" "$@"; do
    if grep -qaF "$switch" "$program"; then echo "$program: ships $switch"; failed=1; fi
  done
done
exit "$failed"
