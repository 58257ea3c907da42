#!/usr/bin/env bash
# Source this file: wine_session_start makes a throwaway Wine prefix with its own Xvfb display and
# a warm persistent wineserver; wine_side_session_start makes a second, independent one beside it;
# wine_session_stop ends only what those two began.
# Services and helper processes of the first Wine process inherit its output, so the session is
# warmed here, before any test runner reads a pipe.

wine_session_start() {  # wine_session_start [name]
  export WINEPREFIX=${WINEPREFIX_ROOT:-/tmp}/varnelo-wine-$$${1:+-$1}
  export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  local display=:$(( 90 + $$ % 100 ))
  while [ -e "/tmp/.X11-unix/X${display#:}" ] || [ -e "/tmp/.X${display#:}-lock" ]; do
    display=:$(( ${display#:} + 1 ))
  done
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  VARNELO_XVFB_PID=$!
  export DISPLAY=$display
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  echo "wine session: prefix $WINEPREFIX, display $DISPLAY"
  # The warm-up below is the real check; a hiccup here is reported, not fatal.
  timeout 120 wine wineboot --init >/dev/null 2>&1 </dev/null || echo "wine session: wineboot returned $?" >&2
  timeout 120 wineserver -w || echo "wine session: wineserver -w returned $?" >&2
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  # Wine links the user's Desktop, Documents, Downloads, Music, Pictures and Videos to $HOME. The
  # tests create and delete files there: keep those folders inside the throwaway prefix, away
  # from the machine's home and from any other session running at the same time.
  local link
  for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then rm -f "$link" && mkdir -p "$link"; fi
  done
  # \\localhost\share is a folder of the prefix, so a test can start a program from a share.
  mkdir -p "$WINEPREFIX/drive_c/share" "$WINEPREFIX/dosdevices/unc/localhost"
  ln -sfn ../../../drive_c/share "$WINEPREFIX/dosdevices/unc/localhost/share"
  wineserver -p || true
  wine_retry 3 wine cmd /c exit 0
}

# wine_retry N command...: runs a Wine command up to N times. Its output goes to a file, never to
# the caller's pipe (Wine's helper processes would inherit it), and is shown when an attempt fails.
wine_retry() {
  local tries=$1 attempt rc=0 log
  shift
  log=$(mktemp)
  for attempt in $(seq "$tries"); do
    if timeout 120 "$@" </dev/null >"$log" 2>&1; then rm -f "$log"; return 0; fi
    rc=$?
    echo "wine session: '$*' failed (attempt $attempt, exit $rc):" >&2
    tail -5 "$log" >&2
    sleep 2
  done
  rm -f "$log"
  return "$rc"
}

# A second session (own prefix, display and wineserver), so that tests which would collide in one
# prefix can run at the same time. Exports VARNELO_SIDE_PREFIX and VARNELO_SIDE_DISPLAY; the
# caller's WINEPREFIX and DISPLAY stay those of the first session.
wine_side_session_start() {
  local state
  state=$(mktemp)
  (wine_session_start side && echo "$WINEPREFIX $DISPLAY $VARNELO_XVFB_PID" >"$state") || { rm -f "$state"; return 1; }
  read -r VARNELO_SIDE_PREFIX VARNELO_SIDE_DISPLAY VARNELO_SIDE_XVFB_PID <"$state"
  rm -f "$state"
  export VARNELO_SIDE_PREFIX VARNELO_SIDE_DISPLAY
}

wine_session_stop() {
  if [ -n "${VARNELO_SIDE_PREFIX:-}" ]; then
    WINEPREFIX=$VARNELO_SIDE_PREFIX wineserver -k >/dev/null 2>&1 || true
    [ -n "${VARNELO_SIDE_XVFB_PID:-}" ] && kill "$VARNELO_SIDE_XVFB_PID" >/dev/null 2>&1 || true
    [ -z "${VARNELO_KEEP_PREFIX:-}" ] && rm -rf "$VARNELO_SIDE_PREFIX"
  fi
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
  [ -n "${VARNELO_XVFB_PID:-}" ] && kill "$VARNELO_XVFB_PID" >/dev/null 2>&1 || true
  [ -n "${WINEPREFIX:-}" ] && [ -z "${VARNELO_KEEP_PREFIX:-}" ] && rm -rf "$WINEPREFIX"
  return 0
}
