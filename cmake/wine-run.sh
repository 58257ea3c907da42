#!/usr/bin/env bash
# Runs one Windows program under the test session's Wine prefix, bounded in time.
# The session (prefix, display, warm wineserver) is prepared by cmake/wine-session.sh.
set -u
limit=${VARNELO_WINE_TIMEOUT:-300}
exec timeout --kill-after=10 "$limit" wine "$@"
