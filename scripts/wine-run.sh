#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine, in a wine prefix of its own inside the
# build tree, with wine's own chatter silenced so that only the program's output is seen.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${FW_WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
