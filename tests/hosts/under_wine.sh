#!/bin/sh
# under_wine.sh <program.exe> [arguments...]: runs a Windows program under Wine with this
# script's standard streams and exits with the status the platform recorded for it, through
# the recording launcher: Wine's own report of a status is now and then 1.
# LAUNCH_LIMIT_MS, where set, ends the program after that long (a guard for tests).
status=$(mktemp) || exit 125
wine "$LAUNCH" "$status" "${LAUNCH_LIMIT_MS:-0}" inherit "$@"
code=$(sed -n 's/^exit //p' "$status")
rm -f "$status"
exit "${code:-125}"
