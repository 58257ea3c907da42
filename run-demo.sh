#!/usr/bin/env bash
# Builds the service and its test doubles, then shows the service serving a real client under
# Wine: a publisher-signed client pings, asks for status, starts the stand-in core and reads its
# output through the handle it was given, stops it; an unsigned client is refused; a client
# points the user's proxy at the core, arms the proxy watchdog and dies, and the service restores
# the user's proxy settings.
set -euo pipefail
cd "$(dirname "$0")"
bash cmake/setup-machine.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 >/dev/null

source cmake/wine-session.sh
trap 'wine_session_stop' EXIT
wine_session_start
# The service refuses a signer whose root is not trusted: trust this build's test CA, as a
# release machine trusts the publisher's.
wine_retry 3 wine build/win64/bin/trust_test_root.exe "$(winepath -w build/win64/signing/ca.der)"
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

settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
show_proxy() {
  echo "\$ reg query \"$settings\""
  timeout 60 wine reg query "$settings" 2>/dev/null | tr -d '\r' | grep -E "Proxy(Enable|Server|Override)|AutoConfigURL" || true
}
echo; echo "== a client sets the user's proxy, arms the watchdog, and is killed"
timeout 60 wine reg add "$settings" /v AutoConfigURL /t REG_SZ /d "http://127.0.0.1:11719/proxy.pac" /f >/dev/null 2>&1
timeout 120 wine "$bin/clients/pipe_client_publisher.exe" arm 127.0.0.1:11719 127.0.0.1:11719 --set-proxy \
  --then hold | stdbuf -oL tr -d '\r' &
sleep 3
show_proxy
echo "\$ taskkill /f /im pipe_client_publisher.exe"
timeout 60 wine taskkill /f /im pipe_client_publisher.exe 2>/dev/null | tr -d '\r' || true
echo "(the service notices on its next 5-second tick)"
for _ in $(seq 30); do grep -q "cleanup OK" "$programdata_unix/Varnelo/service.log" 2>/dev/null && break; sleep 0.5; done
show_proxy

echo; echo "== %ProgramData%\\Varnelo\\service.log"
tr -d '\r' < "$programdata_unix/Varnelo/service.log"
