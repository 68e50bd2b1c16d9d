#!/bin/sh
# under_wine.sh <program.exe> [arguments...]: runs a Windows program under Wine with this
# script's standard streams and exits with the status the platform recorded for it, through
# the recording launcher: Wine's own report of a status is now and then 1.
status=$(mktemp) || exit 125
wine "$LAUNCH" "$status" 0 inherit "$@"
code=$(sed -n 's/^exit //p' "$status")
rm -f "$status"
exit "${code:-125}"
