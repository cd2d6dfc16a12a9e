#!/bin/sh
# Runs a Windows program under Wine for the cross build's tests: quiet Wine
# diagnostics, no Mono or Gecko set-up prompts, and standard input off the
# terminal (Wine's console would rewrite the output with escape sequences).
# The exit status is the program's.
#   WINEPREFIX=<prefix> cmake/wine-run.sh program.exe [arguments...]
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -t 0 ]; then
    exec wine "$@" </dev/null
fi
exec wine "$@"
