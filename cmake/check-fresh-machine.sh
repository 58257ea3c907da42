#!/usr/bin/env bash
# Proves the README's two commands on a clean Debian 12 system, so that a missing install step
# cannot hide behind packages this machine already has. It builds a minimal root with debootstrap
# from the mirror this machine's apt sources name, installs only git and ca-certificates, clones
# the committed repository into it, and runs the README's test command and then its demo command
# exactly as written there. Needs root, debootstrap and a path to the package mirror; about
# 15 minutes. Not part of the test command.
#
#   cmake/check-fresh-machine.sh            # a throwaway root under /var/tmp, removed afterwards
#   KEEP_ROOT=1 cmake/check-fresh-machine.sh  # keep the root for a look afterwards
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
suite=bookworm

[ "$(id -u)" -eq 0 ] || { echo "check-fresh-machine: run as root" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "check-fresh-machine: needs debootstrap (apt-get install debootstrap)" >&2; exit 2; }

# The first enabled source of the release itself (not -updates or -security), in either format.
apt_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v s="$suite" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                         if ($(i + 1) == s) { print $i; exit } }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v s="$suite" 'BEGIN { RS = ""; FS = "\n" }
      { uri = ""; ok = 0; types = 0; enabled = 1
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", $i); split($i, u, /[ \t]+/); uri = u[1] }
          if ($i ~ /^Suites:/) { n = split($i, w, /[ \t]+/); for (j = 2; j <= n; j++) if (w[j] == s) ok = 1 }
          if ($i ~ /^Types:/ && $i ~ /(^|[ \t])deb([ \t]|$)/) types = 1
          if ($i ~ /^Enabled:[ \t]*no/) enabled = 0 }
        if (ok && types && enabled && uri != "") { print uri; exit } }' "$f"
  done
}
mirror=$(apt_mirror | head -1)
[ -n "$mirror" ] || { echo "check-fresh-machine: no enabled '$suite' source in /etc/apt" >&2; exit 2; }

root=$(mktemp -d /var/tmp/varnelo-fresh-XXXXXX)
mounts=()

cleanup() {
  local rc=$? pid link m i
  # End every process that runs inside the root (the Wine server and its helpers, Xvfb).
  for _ in 1 2 3; do
    for link in /proc/[0-9]*/root; do
      pid=${link#/proc/}; pid=${pid%/root}
      [ "$(readlink "$link" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null || true
    done
    sleep 1
  done
  for (( i=${#mounts[@]}-1; i>=0; i-- )); do
    m=${mounts[$i]}
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || echo "check-fresh-machine: could not unmount $m" >&2
  done
  if [ -z "${KEEP_ROOT:-}" ]; then
    if grep -q " $root/" /proc/mounts; then
      echo "check-fresh-machine: something is still mounted below $root; not removing it" >&2
    else
      rm -rf "$root"
    fi
  else
    echo "check-fresh-machine: root kept at $root"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in() {  # mount_in TARGET mount-arguments...
  local target=$root$1; shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounts+=("$target")
}

echo "== debootstrap $suite (minbase + git, ca-certificates) into $root"
t0=$(date +%s)
debootstrap --variant=minbase --include=git,ca-certificates "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
  || { tail -20 "$root.debootstrap.log" >&2; rm -f "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
echo "   done in $(( $(date +%s) - t0 ))s"

# The machine's own apt configuration and name resolution, so the root reaches the same mirror.
cp -a /etc/apt/. "$root/etc/apt/"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
grep -ho 'Signed-By:[[:space:]]*/[^[:space:]]*' /etc/apt/sources.list.d/*.sources 2>/dev/null \
  | sed 's/^Signed-By:[[:space:]]*//' | while read -r key; do
      [ -e "$root$key" ] || { [ -e "$key" ] && install -D -m 0644 "$key" "$root$key"; } || true
    done

# What the commands need: processes, devices, terminals, shared memory (Wine), nothing else.
mount_in /proc -t proc proc
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs -o mode=1777 tmpfs

git clone -q "$repo" "$root/root/varnelo"
echo "== cloned $(git -C "$repo" rev-parse --short HEAD) (committed work only)"

# The README's two commands, exactly as its sh block writes them (test command first).
readme_commands=$(awk '/^## The two commands/ { f = 1 } f && /^```sh/ { b = 1; next } b && /^```/ { exit } b' "$repo/README.md" \
  | sed 's/[[:space:]]*#.*$//' | grep -v '^[[:space:]]*$')
test_cmd=$(grep -m1 'run-tests' <<<"$readme_commands")
demo_cmd=$(grep -m1 'run-demo' <<<"$readme_commands")
[ -n "$test_cmd" ] && [ -n "$demo_cmd" ] || { echo "check-fresh-machine: README names no test and demo command" >&2; exit 2; }

run_in_root() {  # run_in_root NAME COMMAND
  local name=$1 cmd=$2 start rc output
  echo "== $name: $cmd"
  start=$(date +%s)
  output=$(mktemp)
  set +e
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 /bin/bash -c "cd /root/varnelo && $cmd" </dev/null >"$output" 2>&1
  rc=$?
  set -e
  # What ran where: the set-up's and the test command's own words on the 32-bit run.
  grep -E '^(setup: |== uninstall.exe builds under test)' "$output" || true
  tail -n "${TAIL_LINES:-25}" "$output"
  rm -f "$output"
  results+=("$name: $([ "$rc" -eq 0 ] && echo passed || echo "FAILED (exit $rc)") in $(( $(date +%s) - start ))s")
  return "$rc"
}

results=()
overall=0
run_in_root "test command" "$test_cmd" || overall=1
run_in_root "demo command" "$demo_cmd" || overall=1
echo "== fresh Debian 12 results"
printf '   %s\n' "${results[@]}"
exit "$overall"
