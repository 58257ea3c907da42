#!/usr/bin/env bash
# A shipped program carries no debug sections and names its debug file, which sits beside it and
# holds the debug information; a publisher-signed copy of it still verifies against the test CA.
# The switches that let tests break a step exist in the test builds (of the service and of the
# uninstaller) only, never in a shipped program or its signed copy.
#   shipped_programs_stripped.sh <objdump> <ca.crt> <signed copy> <service test build>
#                                <uninstaller test build> <program>...
set -uo pipefail
objdump=$1 ca=$2 signed=$3 service_test_build=$4 uninstaller_test_build=$5
shift 5
failed=0
# Whether the file holds the text, as 8-bit or as UTF-16 bytes.
holds() {
  python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
text = sys.argv[2]
sys.exit(0 if text.encode() in data or text.encode('utf-16-le') in data else 1)
PY
}
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
check_switches() {  # test build, then the switches it has and no shipped program may have
  local test_build=$1 switch program
  shift
  for switch in "$@"; do
    # Found in the test build, so the search below would see it.
    holds "$test_build" "$switch" || { echo "$test_build: no $switch"; failed=1; }
    for program in "$signed" "${programs[@]}"; do
      if holds "$program" "$switch"; then echo "$program: ships $switch"; failed=1; fi
    done
  done
}
programs=("$@")
check_switches "$service_test_build" VARNELO_FAULT_DUP VARNELO_FAULT_REOPEN \
  VARNELO_FAULT_HANDOVER_PAUSE_MS VARNELO_FAULT_FAIL VARNELO_FAULT_MAPPED_IMAGE \
  VARNELO_FAULT_LOG_OWNER VARNELO_FAULT_CALLER_CREATED VARNELO_FAULT_RECORD_SCM TestFaults
check_switches "$uninstaller_test_build" VARNELO_FAULT_ALTER_COPY
exit "$failed"
