#!/usr/bin/env bash
# Installs what is missing, builds, and runs the responder in the foreground on
# the demo install tree (demo/Velmora beside demo/nginx), logging to the
# terminal. Type q (or press Ctrl-C) to stop it; D, I, S and d are passed on
# as control commands too.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/deps.sh"
velmora_install_deps --run-only

build="$top/build-demo"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmora velmora-search velmoractl

cd "$top/demo/Velmora"
: > Velmorainput                       # the daemon reads its commands from here
"$build/velmora" &
pid=$!
trap 'kill -INT "$pid" 2>/dev/null || true' INT TERM
if [ -t 0 ]; then
    echo "velmora running (pid $pid): type q to stop, D/I for debug/info log, S for state" >&2
    while kill -0 "$pid" 2>/dev/null; do
        if IFS= read -r -s -n1 -t 1 ch; then
            printf '%s' "$ch" >> Velmorainput
        fi
    done
fi
status=0
while kill -0 "$pid" 2>/dev/null; do     # a trapped Ctrl-C interrupts wait: wait again
    status=0
    wait "$pid" || status=$?
done
exit "$status"
