#!/usr/bin/env bash
# Builds the service and its test doubles, installs the service into a throwaway Wine prefix with
# -install, then shows the installed service serving a real client: a publisher-signed client
# pings, asks for status, starts the stand-in core and reads its output through the handle it was
# given, stops it; an unsigned client is refused; a client points the user's proxy at the core,
# arms the proxy watchdog and dies, and the service restores the user's proxy settings. Finally
# -uninstall removes the service.
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

# --- Service installation: register and start the service from the release folder. ---
# -install and -uninstall print to a file: the services Wine starts must not hold our pipe.
mode_out=$(mktemp)
run_mode() {
  echo; echo "\$ $*"
  local rc=0
  timeout 120 wine "$@" </dev/null >"$mode_out" 2>&1 || rc=$?
  tr -d '\r' <"$mode_out"; echo "(exit code $rc)"
}
remove_service() { timeout 120 wine "$bin/release/VarneloService.exe" -uninstall </dev/null >/dev/null 2>&1 || true; }
trap 'remove_service; wine_session_stop; rm -f "$mode_out"' EXIT
echo; echo "== VarneloService.exe -install (publisher-signed, in ${install_dir})"
echo "   Wine gives every file to its one user, so the ACL check warns and accepts."
run_mode "$bin/release/VarneloService.exe" -install
run_mode sc query VarneloService
# Wine's service control manager gives the service ProgramData=C:\users\Public; -install and
# -uninstall, started here, write to C:\ProgramData.
service_log="$WINEPREFIX/drive_c/users/Public/Varnelo/service.log"
# --- end of service installation ---

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
for _ in $(seq 30); do grep -q "cleanup OK" "$service_log" 2>/dev/null && break; sleep 0.5; done
show_proxy

# --- Service removal: stop and delete the registration, then once more with nothing left. ---
echo; echo "== VarneloService.exe -uninstall"
run_mode "$bin/release/VarneloService.exe" -uninstall
run_mode "$bin/release/VarneloService.exe" -uninstall
echo; echo "== the service's own log (C:\\users\\Public\\Varnelo\\service.log)"
tr -d '\r' < "$service_log"
echo; echo "== the log of -install and -uninstall (C:\\ProgramData\\Varnelo\\service.log)"
tr -d '\r' < "$programdata_unix/Varnelo/service.log"
# --- end of service removal ---
