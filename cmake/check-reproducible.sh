#!/usr/bin/env bash
# Fails when the release stops being reproducible. Runs the release command (tools/release.sh)
# twice on the committed tree, each time from a fresh copy at a different path (the second one
# deeper, so a leaked path also changes sizes) and at a later time, and compares the results byte
# for byte; on a difference it names the first differing offset and the PE section it falls in.
#
#   cmake/check-reproducible.sh [--signing-dir DIR [--ping CLIENT]] [--rev REV] [--keep DIR]
#
#   --signing-dir DIR  the second release is signed with DIR's publisher certificate (the test PKI
#                      of cmake/make-test-certs.sh, made into a PKCS#12 file in the scratch folder);
#                      it is compared with its signature removed, exactly as the README tells a
#                      user to compare a download, and its signatures must verify against DIR's CA
#   --ping CLIENT      then runs the signed VarneloService.exe in console mode under the current
#                      Wine session (whose Root store trusts that CA) and asks it, through the
#                      publisher-signed test client CLIENT, for ping: it must recognise its own
#                      publisher signature (capabilities=127)
#   --rev REV          the commit to build (HEAD by default)
#   --keep DIR         build in DIR and keep it (a fresh temporary folder by default)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
usage() { awk 'NR > 6 && !/^#/ { exit } NR > 6 { sub(/^# ?/, ""); print }' "$0" >&2; exit 2; }

signing= client= scratch= rev=HEAD
while [ $# -gt 0 ]; do
  case $1 in
    --signing-dir) signing=$(realpath "$2"); shift 2 ;;
    --ping) client=$(realpath "$2"); shift 2 ;;
    --rev) rev=$2; shift 2 ;;
    --keep) scratch=$2; shift 2 ;;
    *) usage ;;
  esac
done
[ -z "$client" ] || [ -n "$signing" ] || usage
if [ -z "$scratch" ]; then
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/varnelo-repro-XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
fi
mkdir -p "$scratch"
scratch=$(realpath "$scratch")
files=(VarneloService.exe VarneloService.exe.debug uninstall.exe uninstall.exe.debug BUILDINFO)
start=$(date +%s)

release() {  # release NAME WORKDIR [release options...]
  local name=$1 work=$2 t0
  shift 2
  t0=$(date +%s)
  echo "== release $name: built in $work, started $(date -u -d "@$t0" +%H:%M:%SZ)"
  "$repo/tools/release.sh" "$scratch/$name" --rev "$rev" --work "$work" "$@" | sed 's/^/   /'
  echo "   took $(( $(date +%s) - t0 ))s"
}

# "start end name" (end exclusive) for the PE header fields that a build can change and for each
# section; the first region that holds an offset names it.
regions() {  # regions FILE
  local file=$1 pe magic security idx name size vma lma off rest first=
  pe=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
  magic=$(od -An -tx2 -j$(( pe + 24 )) -N2 "$file" | tr -d ' ')
  security=$(( pe + 24 + ($([ "$magic" = 020b ] && echo 144 || echo 128)) ))
  echo "$(( pe + 8 )) $(( pe + 12 )) header:TimeDateStamp"
  echo "$(( pe + 12 )) $(( pe + 16 )) header:PointerToSymbolTable"
  echo "$(( pe + 16 )) $(( pe + 20 )) header:NumberOfSymbols"
  echo "$(( pe + 80 )) $(( pe + 84 )) header:SizeOfImage"
  echo "$(( pe + 88 )) $(( pe + 92 )) header:CheckSum"
  echo "$security $(( security + 8 )) header:certificate-table-entry"
  while read -r idx name size vma lma off rest; do
    [[ $idx =~ ^[0-9]+$ ]] || continue
    echo "$(( 16#$off )) $(( 16#$off + 16#$size )) $name"
    if [ -z "$first" ] || [ $(( 16#$off )) -lt "$first" ]; then first=$(( 16#$off )); fi
  done < <(x86_64-w64-mingw32-objdump -h "$file" 2>/dev/null)
  echo "0 ${first:-0} headers"
  echo "0 999999999999 after-the-sections"
}

# Reads 1-based offsets (cmp -l) and prints how many differing bytes each region holds, in order.
count_by_region() {  # count_by_region REGIONS-FILE
  awk 'NR == FNR { lo[n] = $1; hi[n] = $2; name[n++] = $3; next }
       { o = $1 - 1; for (i = 0; i < n; i++) if (o >= lo[i] && o < hi[i]) break
         if (!(name[i] in count)) order[k++] = name[i]; count[name[i]]++ }
       END { for (i = 0; i < k; i++) printf "%s%s %d", (i ? ", " : ""), order[i], count[order[i]]; print "" }' "$1" -
}

compare() {  # compare A B LABEL: prints the first difference; returns 1 on one
  local a=$1 b=$2 label=$3 first
  if cmp -s "$a" "$b"; then
    echo "   same      $label ($(stat -c %s "$a") bytes, sha256 $(sha256sum <"$a" | cut -c1-16)...)"
    return 0
  fi
  regions "$a" >"$scratch/regions"
  first=$(cmp "$a" "$b" 2>&1 | sed -n 's/.*differ: byte \([0-9]*\).*/\1/p')
  if [ -z "$first" ]; then
    echo "   DIFFERENT $label: one is a prefix of the other"
  else
    printf '   DIFFERENT %s: first at offset %d (0x%x) in %s\n' "$label" $(( first - 1 )) $(( first - 1 )) \
      "$(echo "$first" | count_by_region "$scratch/regions" | cut -d' ' -f1)"
  fi
  echo "             sizes $(stat -c %s "$a") and $(stat -c %s "$b"); differing bytes by region:" \
    "$(cmp -l "$a" "$b" 2>/dev/null | count_by_region "$scratch/regions")"
  return 1
}

sign_options=()
if [ -n "$signing" ]; then
  # A PKCS#12 file as a publisher would hold one, made here and never kept.
  mkdir -p "$scratch/key"
  head -c 24 /dev/urandom | base64 >"$scratch/key/password"
  openssl pkcs12 -export -inkey "$signing/publisher.key" -in "$signing/publisher.pem" \
    -passout "file:$scratch/key/password" -out "$scratch/key/publisher.p12"
  sign_options=(--pkcs12 "$scratch/key/publisher.p12" --password-file "$scratch/key/password")
fi

release first "$scratch/a"
release second "$scratch/b/another/and/somewhat/longer/path/to/the/build" "${sign_options[@]}"

echo "== comparing"
failed=0
for file in "${files[@]}"; do
  second=$scratch/second/$file label=$file
  if [ -n "$signing" ] && [[ $file == *.exe ]]; then
    mkdir -p "$scratch/unsigned"
    osslsigncode remove-signature -in "$second" -out "$scratch/unsigned/$file" >/dev/null
    second=$scratch/unsigned/$file label="$file (the second signed, its signature removed)"
  fi
  compare "$scratch/first/$file" "$second" "$label" || failed=1
done

for name in first second; do
  if (cd "$scratch/$name" && sha256sum --quiet -c SHA256SUMS); then
    echo "   SHA256SUMS of the $name release verify"
  else
    echo "   SHA256SUMS of the $name release do NOT verify"; failed=1
  fi
done

if [ -n "$signing" ]; then
  for program in VarneloService.exe uninstall.exe; do
    if osslsigncode verify -CAfile "$signing/ca.crt" -in "$scratch/second/$program" >/dev/null 2>&1; then
      echo "   signature of the second release's $program verifies"
    else
      echo "   signature of the second release's $program does NOT verify"; failed=1
    fi
  done
fi

if [ -n "$client" ]; then
  echo "== ping to the signed release's VarneloService.exe -run"
  service=$scratch/second/VarneloService.exe
  service_windows=$(winepath -w "$service")
  wine "$service" -run </dev/null >"$scratch/service.out" 2>&1 &
  service_pid=$!
  answer=$(timeout 60 wine "$client" send 'cmd=ping\n\n' --service "$service_windows" </dev/null 2>&1 | tr -d '\r') || true
  kill -KILL "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  echo "$answer" | sed 's/^/   /'
  if ! grep -qx 'capabilities=127' <<<"$answer"; then
    echo "   the signed service did not answer capabilities=127"; tr -d '\r' <"$scratch/service.out"; failed=1
  fi
fi

if [ "$failed" -eq 0 ]; then
  echo "== reproducible: both releases are the same bytes$([ -n "$signing" ] && echo ' apart from the signature') ($(( $(date +%s) - start ))s)"
else
  echo "== NOT reproducible or not verified (see above; $(( $(date +%s) - start ))s)"
fi
exit "$failed"
