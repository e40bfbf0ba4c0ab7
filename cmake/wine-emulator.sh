#!/usr/bin/env bash
# Runs one Windows program under Wine in the build's private prefix (never ~/.wine).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX="${SETUP_WINEPREFIX:-$here/../build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Address randomization off, as scripts/lib.sh explains: Debian's Wine has no preloader.
if setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R wine "$@"
fi
exec wine "$@"
