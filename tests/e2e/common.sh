# Shared helpers of the end-to-end scenarios. Each one starts with
#   . "$(dirname "$0")/common.sh"; need_root; trap cleanup EXIT; make_ns_pair
# and runs the daemon in a server namespace joined to a client namespace by
# the veth pair vsrv0 (SRV_IP) <-> vcli0 (CLI_IP). Every wait has a deadline;
# processes are ended only by their pid.
SCRIPT_NAME=$(basename "$0")
SRC=${VELMORA_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
BIN=${VELMORA_BIN:-${VELMORA_BUILD_DIR:-$SRC/build}/velmora}
SEARCH=${VELMORA_SEARCH:-${VELMORA_BUILD_DIR:-$SRC/build}/tools/velmora-search/velmora-search}
NS_SRV=vmsrv$$ NS_CLI=vmcli$$ SRV_IP=10.88.0.1 CLI_IP=10.88.0.2 GROUP=239.255.255.251
WORKDIR= RUNDIR= LOG= DAEMON_PID= DAEMON_STATUS=
_CLEANUP=()
trap 'exit 143' TERM   # the EXIT trap (cleanup) still runs
trap 'exit 130' INT

need_root() {
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: $SCRIPT_NAME: needs root (network namespaces)" >&2; exit 77; }
}
fail() { echo "FAIL: $SCRIPT_NAME: $*"; [ -f "$LOG" ] && tail -n 30 "$LOG"; exit 1; }
pass() { echo "PASS: $SCRIPT_NAME"; exit 0; }
in_cli() { ip netns exec "$NS_CLI" "$@"; }
_now_ms() { date +%s%3N; }

cleanup() {
    local i
    [ -n "$DAEMON_PID" ] && [ -z "$DAEMON_STATUS" ] && stop_daemon > /dev/null 2>&1
    for ((i = ${#_CLEANUP[@]} - 1; i >= 0; i--)); do eval "${_CLEANUP[$i]}" > /dev/null 2>&1; done
}

# The work folder (the daemon runs in $RUNDIR) and both namespaces; the
# server's default route goes through the client.
make_ns_pair() {
    WORKDIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX") || fail "mktemp"
    _CLEANUP+=("rm -rf '$WORKDIR'")
    RUNDIR=$WORKDIR/Velmora LOG=$WORKDIR/stderr.log
    mkdir -p "$RUNDIR"
    ip netns add "$NS_SRV" 2> /dev/null || { echo "SKIP: $SCRIPT_NAME: no network namespaces" >&2; exit 77; }
    _CLEANUP+=("ip netns del $NS_SRV")
    ip netns add "$NS_CLI" || fail "ip netns add $NS_CLI"
    _CLEANUP+=("ip netns del $NS_CLI")
    ip link add vsrv0 netns "$NS_SRV" type veth peer name vcli0 netns "$NS_CLI" || fail "veth pair"
    local cmd
    for cmd in "$NS_SRV addr add $SRV_IP/24 dev vsrv0" "$NS_CLI addr add $CLI_IP/24 dev vcli0" \
               "$NS_SRV link set lo up" "$NS_CLI link set lo up" "$NS_SRV link set vsrv0 up" \
               "$NS_CLI link set vcli0 up" "$NS_SRV route add default via $CLI_IP" \
               "$NS_CLI route add 224.0.0.0/4 dev vcli0"; do
        ip -n $cmd || fail "ip -n $cmd"
    done
}


# The daemon in the server namespace, behind the command words given (such as
# setpriv); DAEMON_PID is its own pid (`exec`, `ip netns exec` and such
# wrappers replace the process).
start_daemon() {
    [ -x "$BIN" ] || fail "daemon binary $BIN not built"
    [ -e "$RUNDIR/Velmorainput" ] || : > "$RUNDIR/Velmorainput"
    : > "$LOG"   # before the fork: a wait must not find the previous run's lines
    (cd "$RUNDIR" && exec ip netns exec "$NS_SRV" "$@" "$BIN" > "$WORKDIR/stdout.log" 2> "$LOG") &
    DAEMON_PID=$! DAEMON_STATUS=
}
send_cmd() { printf '%s' "$1" >> "$RUNDIR/Velmorainput"; }
count_log() { grep -Ec -- "$1" "$LOG"; }

wait_for() {   # SECONDS COMMAND...: true once COMMAND is, false after SECONDS
    local end=$(($(_now_ms) + $1 * 1000)); shift
    until "$@"; do [ "$(_now_ms)" -lt "$end" ] || return 1; sleep 0.05; done
}
wait_log() { wait_for "${2:-10}" grep -Eq -- "$1" "$LOG"; }   # REGEX [SECONDS=10]
_ended() { [ "$(awk '{print $3}' "/proc/$DAEMON_PID/stat" 2> /dev/null || echo Z)" = Z ]; }

wait_exit() {   # [SECONDS=10]: sets DAEMON_STATUS once the daemon has ended
    [ -n "$DAEMON_STATUS" ] && return 0
    wait_for "${1:-10}" _ended || return 1
    wait "$DAEMON_PID"
    DAEMON_STATUS=$?
}

# q through the control file, then SIGTERM, then SIGKILL; returns the exit status.
stop_daemon() {
    [ -n "$DAEMON_STATUS" ] || { send_cmd q; wait_exit 10; } \
        || { kill -TERM "$DAEMON_PID"; wait_exit 5; } || { kill -KILL "$DAEMON_PID"; wait_exit 5; }
    return "${DAEMON_STATUS:-1}"
}

# ---- The Windows build under Wine (VELMORA_WIN_BUILD: the cross build's folder).
WIN_BUILD=${VELMORA_WIN_BUILD:-}
need_wine() {
    [ -f "$WIN_BUILD/velmora.exe" ] && command -v wine > /dev/null \
        || { echo "SKIP: $SCRIPT_NAME: needs Wine and a Windows build (VELMORA_WIN_BUILD)" >&2; exit 77; }
}
# After make_ns_pair: WIN_BIN runs velmora.exe under Wine (through start_daemon
# with BIN=$WIN_BIN too). Wine opens sockets in its server process, so the
# server of the prefix (one of its own, made once) starts in the server
# namespace; one left running elsewhere would show the daemon that namespace.
use_wine() {
    export WINEPREFIX=$WIN_BUILD/wineprefix-e2e && mkdir -p "$WIN_BUILD/wineprefix-e2e"
    wineserver -k > /dev/null 2>&1; wineserver -w > /dev/null 2>&1
    ip netns exec "$NS_SRV" wineserver -p > /dev/null 2>&1 || fail "wineserver"
    _CLEANUP+=("wineserver -k")
    [ -f "$WINEPREFIX/system.reg" ] || WINEDEBUG=-all ip netns exec "$NS_SRV" wineboot -i < /dev/null > /dev/null 2>&1
    WIN_BIN=$WORKDIR/velmora-wine
    printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$SRC/cmake/wine-run.sh" "$WIN_BUILD/velmora.exe" > "$WIN_BIN"
    chmod +x "$WIN_BIN"
}
