#!/usr/bin/env bash
# Runs one Windows program under the test session's Wine prefix, bounded in time.
# The session (prefix, display, warm wineserver) is prepared by cmake/wine-session.sh.
set -u
limit=${VARNELO_WINE_TIMEOUT:-300}
# Tests marked for the side session run there when the test command has started one, beside the
# tests of the first session; otherwise in the first session (ctest then runs one test at a time).
if [ -n "${VARNELO_IN_SIDE_SESSION:-}" ] && [ -n "${VARNELO_SIDE_PREFIX:-}" ]; then
  export WINEPREFIX=$VARNELO_SIDE_PREFIX DISPLAY=$VARNELO_SIDE_DISPLAY
fi
exec timeout --kill-after=10 "$limit" wine "$@"
