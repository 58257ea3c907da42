#!/usr/bin/env bash
# Builds the service and its test doubles, installs the service into a throwaway Wine prefix with
# -install, then shows the installed service serving a real client: a publisher-signed client
# pings, asks for status, starts the stand-in core and reads its output through the handle it was
# given, stops it; an unsigned client is refused; a client points the user's proxy at the core,
# arms the proxy watchdog and dies, and the service restores the user's proxy settings. Finally
# uninstall.exe removes the whole demonstration installation, and what is left of the product is
# shown: nothing.
set -euo pipefail
cd "$(dirname "$0")"
bash cmake/setup-machine.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 >/dev/null
# The uninstaller as it ships, i686, where this machine runs 32-bit code (set-up then installed
# wine32); elsewhere its x86_64 test build, the same sources.
if cmake/runs-32bit.sh; then
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 >/dev/null
  uninstaller=build/win32/bin/uninstall.exe uninstaller_build="the shipped i686 build, under WoW64"
else
  uninstaller=build/win64/bin/uninstall.exe
  uninstaller_build="the x86_64 test build of the shipped i686 program: this machine runs no 32-bit code"
fi

source cmake/wine-session.sh
trap 'wine_session_stop' EXIT
wine_session_start
# The service refuses a signer whose root is not trusted: trust this build's test CA, as a
# release machine trusts the publisher's.
wine_retry 3 wine build/win64/bin/trust_test_root.exe "$(winepath -w build/win64/signing/ca.der)"
bin=build/win64/bin
# A demonstration installation as the product's setup leaves it: the publisher-signed service and
# core, uninstall.exe and stand-ins of the product's other programs.
install_dir='C:\Program Files\Varnelo\'
install_unix="$WINEPREFIX/drive_c/Program Files/Varnelo"
mkdir -p "$install_unix"
cp "$bin/release/VarneloService.exe" "$bin/release/VarneloCore.exe" "$uninstaller" "$bin/Varnelo.exe" \
  "$bin/netcfg.exe" "$bin/ferryd.exe" "$bin/Zephlin.exe" "$install_unix/"
# Wine has no timeout.exe; uninstall.exe's self-deletion waits with it. A 32-bit cmd.exe finds
# programs in syswow64.
for system in system32 syswow64; do
  if [ -d "$WINEPREFIX/drive_c/windows/$system" ]; then
    cp "$bin/timeout.exe" "$WINEPREFIX/drive_c/windows/$system/"
  fi
done
service="${install_dir}VarneloService.exe"
programdata_unix="$WINEPREFIX/drive_c/ProgramData"

run() { echo; echo "\$ $*"; timeout 60 wine "$@" | tr -d '\r'; }

# --- Service installation: register and start the service from the installation directory. ---
# -install and -uninstall print to a file: the services Wine starts must not hold our pipe.
mode_out=$(mktemp)
run_mode() {
  echo; echo "\$ $*"
  local rc=0
  timeout 120 wine "$@" </dev/null >"$mode_out" 2>&1 || rc=$?
  tr -d '\r' <"$mode_out"; echo "(exit code $rc)"
}
remove_service() { timeout 120 wine "$bin/release/VarneloService.exe" -uninstall </dev/null >/dev/null 2>&1 || true; }
quiet() { timeout 60 wine "$@" </dev/null >/dev/null 2>&1 || true; }
trap 'remove_service; wine_session_stop; rm -f "$mode_out"' EXIT
echo; echo "== VarneloService.exe -install (publisher-signed, in ${install_dir})"
echo "   Wine gives every file to its one user, so the ACL check warns and accepts."
run_mode "$service" -install
run_mode sc query VarneloService
# Wine's service control manager gives the service ProgramData=C:\users\Public; -install and
# -uninstall, started here, write to C:\ProgramData.
service_log="$WINEPREFIX/drive_c/users/Public/Varnelo/service.log"
# --- end of service installation ---

run "$bin/clients/pipe_client_publisher.exe" send 'cmd=ping\n\n' --service "$service"
run "$bin/clients/pipe_client_publisher.exe" send 'cmd=status\n\n' --service "$service"
run "$bin/clients/pipe_client_none.exe" send 'cmd=ping\n\n' --service "$service"
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
  --then hold --service "$service" | stdbuf -oL tr -d '\r' &
sleep 3
show_proxy
echo "\$ taskkill /f /im pipe_client_publisher.exe"
timeout 60 wine taskkill /f /im pipe_client_publisher.exe 2>/dev/null | tr -d '\r' || true
echo "(the service notices on its next 5-second tick)"
for _ in $(seq 30); do grep -q "cleanup OK" "$service_log" 2>/dev/null && break; sleep 0.5; done
show_proxy

# --- Removal: the rest of what the setup leaves, then uninstall.exe, as a user would run it. ---
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Varnelo VPN'
quiet reg add "$uninstall_key" /v InstallLocation /d 'C:\Program Files\Varnelo' /reg:32 /f
quiet reg add "$uninstall_key" /v UninstallString /d '"C:\Program Files\Varnelo\uninstall.exe"' /reg:32 /f
quiet reg add 'HKCU\Software\Varnelo VPN' /v demo /d 1 /f
appdata_unix=$(winepath -u "$(timeout 60 wine cmd /c echo %APPDATA% </dev/null | tr -d '\r')")
start_menu_unix="$appdata_unix/Microsoft/Windows/Start Menu/Varnelo"
mkdir -p "$appdata_unix/Varnelo" "$start_menu_unix"
echo '{}' >"$appdata_unix/Varnelo/config.json"
echo link >"$start_menu_unix/Varnelo.lnk"
echo link >"$start_menu_unix/Remove Varnelo.lnk"
for program in Varnelo.exe ferryd.exe Zephlin.exe; do
  timeout 120 wine "$install_dir$program" </dev/null >/dev/null 2>&1 &
done
sleep 2
# The product's programs running in this Wine prefix (other prefixes on the machine aside), by the
# Windows program name Wine gives each process.
product_processes() {
  local pid
  for pid in $(pgrep -f -i '(Varnelo|VarneloCore|VarneloService|ferryd|Zephlin)\.exe' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    head -z -n 1 "/proc/$pid/cmdline" | tr -d '\0"' | sed 's/.*[\\/]//'; echo
  done | grep -xiE '(Varnelo|VarneloCore|VarneloService|ferryd|Zephlin)\.exe' | sort -u | xargs
}
show_product() {
  local name path
  echo
  for name in "${install_dir}" '%APPDATA%\Varnelo' '%APPDATA%\Microsoft\Windows\Start Menu\Varnelo'; do
    path=${name/\%APPDATA\%/$appdata_unix}
    path=${path/"$install_dir"/$install_unix/}
    path=${path//\\//}
    if [ -d "$path" ]; then echo "$name: $(ls "$path" | tr '\n' ' ')"; else echo "$name: not there"; fi
  done
  echo "running: $(product_processes)"
  run_mode sc query VarneloService
  run_mode reg query "$uninstall_key" /reg:32
  run_mode reg query 'HKCU\Software\Varnelo VPN'
}
echo; echo "== The demonstration installation"
show_product
echo; echo "== ${install_dir}uninstall.exe ($uninstaller_build), confirmed: it removes the product and closes by itself"
timeout 120 wine "${install_dir}uninstall.exe" </dev/null >/dev/null 2>&1 &
run_mode "$bin/confirm_uninstall.exe" 90
echo; echo "== What is left of the product: nothing"
show_product
echo; echo "== the service's own log (C:\\users\\Public\\Varnelo\\service.log)"
tr -d '\r' < "$service_log"
echo; echo "== the log of -install and -uninstall (C:\\ProgramData\\Varnelo\\service.log)"
tr -d '\r' < "$programdata_unix/Varnelo/service.log"
# --- end of removal ---
