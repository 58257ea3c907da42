#!/usr/bin/env bash
# Builds the service and its test doubles, then shows the service serving a real client under
# Wine: a publisher-signed client pings, asks for status, starts the stand-in core and reads its
# output through the handle it was given, stops it; an unsigned client is refused.
set -euo pipefail
cd "$(dirname "$0")"
bash cmake/setup-machine.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 >/dev/null

source cmake/wine-session.sh
trap 'wine_session_stop' EXIT
wine_session_start
bin=build/win64/bin
install_dir=$(winepath -w "$bin/release")'\'
programdata_unix="$WINEPREFIX/drive_c/ProgramData"

run() { echo; echo "\$ $*"; timeout 60 wine "$@" | tr -d '\r'; }

echo; echo "== VarneloService.exe -run (publisher-signed, in ${install_dir})"
timeout 120 wine "$bin/release/VarneloService.exe" -run | stdbuf -oL tr -d '\r' &
sleep 2

run "$bin/clients/pipe_client_publisher.exe" send 'cmd=ping\n\n'
run "$bin/clients/pipe_client_publisher.exe" send 'cmd=status\n\n'
run "$bin/clients/pipe_client_none.exe" send 'cmd=ping\n\n'
run "$bin/clients/pipe_client_publisher.exe" client "$install_dir" 'C:\ProgramData\VarneloDemo\data\' \
  'C:\ProgramData\VarneloDemo\data\config.yaml' --lines 6 --then stop

echo; echo "== %ProgramData%\\Varnelo\\service.log"
tr -d '\r' < "$programdata_unix/Varnelo/service.log"
