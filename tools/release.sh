#!/usr/bin/env bash
# Builds a release of the two shipped programs from a commit: VarneloService.exe (x86_64, preset
# win64) and uninstall.exe (i686, preset win32) with their .debug files, signed when a PKCS#12 file
# is given, and a SHA256SUMS file, all in one folder. The build uses a copy of the committed tree
# (git archive), never uncommitted files, so the same commit gives the same bytes anywhere.
#
#   tools/release.sh <outdir> [--pkcs12 FILE --password-file FILE] [--timestamp URL]
#                    [--rev REV] [--work DIR]
#
#   --pkcs12, --password-file  sign both programs with this key and certificate (osslsigncode)
#   --timestamp URL            also timestamp the signatures (RFC 3161) at this server
#   --rev REV                  the commit to build (HEAD by default)
#   --work DIR                 where the copied tree and the build folders go (a fresh temporary
#                              folder by default, removed afterwards; kept when given)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
usage() { awk 'NR > 6 && !/^#/ { exit } NR > 6 { sub(/^# ?/, ""); print }' "$0" >&2; exit 2; }

out= pkcs12= password_file= timestamp= rev=HEAD work=
while [ $# -gt 0 ]; do
  case $1 in
    --pkcs12) pkcs12=$(realpath "$2"); shift 2 ;;
    --password-file) password_file=$(realpath "$2"); shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    --rev) rev=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    -*) usage ;;
    *) [ -z "$out" ] || usage; out=$1; shift ;;
  esac
done
[ -n "$out" ] || usage
if { [ -n "$pkcs12" ] && [ -z "$password_file" ]; } || { [ -z "$pkcs12" ] && [ -n "$password_file$timestamp" ]; }; then
  echo "release: --pkcs12 and --password-file go together (--timestamp needs them)" >&2
  exit 2
fi

commit=$(git -C "$repo" rev-parse --verify "$rev^{commit}") \
  || { echo "release: '$rev' is no commit of $repo (a release is built from a git checkout)" >&2; exit 2; }
# The commit's own time, for any tool that must write a date (none of the programs carries one).
SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH

if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/varnelo-release-XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work" "$out"
work=$(realpath "$work") out=$(realpath "$out")
src=$work/src
rm -rf "$src" "$work/win64" "$work/win32"
mkdir -p "$src"
git -C "$repo" archive "$commit" | tar -x -C "$src"

echo "release: building $commit (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH) in $work"
build() {  # build PRESET TARGET
  cmake -S "$src" -B "$work/$1" --preset "$1" -DVARNELO_TESTS=OFF >"$work/$1.configure.log" \
    || { cat "$work/$1.configure.log" >&2; return 1; }
  cmake --build "$work/$1" --target "$2" >"$work/$1.build.log" \
    || { tail -40 "$work/$1.build.log" >&2; return 1; }
}
build win64 VarneloService
build win32 uninstall

programs=(VarneloService.exe uninstall.exe)
files=(VarneloService.exe VarneloService.exe.debug uninstall.exe uninstall.exe.debug BUILDINFO)
rm -f "$out/SHA256SUMS" "${files[@]/#/$out/}"
cp "$work/win64/bin/VarneloService.exe" "$work/win64/bin/VarneloService.exe.debug" \
   "$work/win32/bin/uninstall.exe" "$work/win32/bin/uninstall.exe.debug" "$out/"

# What a rebuild must match to give the same bytes: the commit and the tool versions.
{
  echo "commit $commit"
  echo "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH"
  dpkg-query -W -f='${Package} ${Version}\n' cmake ninja-build binutils-mingw-w64-x86-64 \
    binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-common \
    mingw-w64-x86-64-dev mingw-w64-i686-dev libz-mingw-w64-dev 2>/dev/null || true
} >"$out/BUILDINFO"

if [ -n "$pkcs12" ]; then
  for program in "${programs[@]}"; do
    osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 -n "Varnelo VPN" \
      ${timestamp:+-ts "$timestamp"} -in "$out/$program" -out "$out/$program.signed" >/dev/null
    mv -f "$out/$program.signed" "$out/$program"
  done
fi
(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)

echo "release: $out ($([ -n "$pkcs12" ] && echo signed || echo unsigned))"
(cd "$out" && ls -l "${files[@]}" SHA256SUMS | awk '{printf "  %10d  %s\n", $5, $NF}')
