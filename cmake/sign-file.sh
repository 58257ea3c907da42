#!/usr/bin/env bash
# sign-file.sh <cert dir> <identity|none|tampered> <input exe> <output exe>
#   none      copies the file unsigned
#   tampered  signs with the publisher, then changes one byte of the signed content
set -euo pipefail
certs=$1 identity=$2 in=$3 out=$4
tmp="$out.tmp.$$"
case "$identity" in
  none) cp "$in" "$tmp" ;;
  tampered)
    osslsigncode sign -certs "$certs/publisher.pem" -key "$certs/publisher.key" -h sha256 \
      -in "$in" -out "$tmp" >/dev/null
    # Flip a byte in the DOS stub, which the Authenticode digest covers.
    printf '\x58' | dd of="$tmp" bs=1 seek=78 count=1 conv=notrunc status=none ;;
  *)
    osslsigncode sign -certs "$certs/$identity.pem" -key "$certs/$identity.key" -h sha256 \
      -n "Varnelo test build" -in "$in" -out "$tmp" >/dev/null ;;
esac
mv -f "$tmp" "$out"
