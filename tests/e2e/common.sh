# Shared helpers of the end-to-end scenarios. Each scenario starts with
#   . "$(dirname "$0")/common.sh"
#   need_root; trap cleanup EXIT; make_workdir; write_config; start_daemon ...
# Every wait polls with a deadline; processes are ended only by their pid.

SCRIPT_NAME=$(basename "$0")
SRC=${VELMORA_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
_BUILD=${VELMORA_BUILD_DIR:-$SRC/build}
BIN=${VELMORA_BIN:-$_BUILD/velmora}
SEARCH=${VELMORA_SEARCH:-$_BUILD/tools/velmora-search/velmora-search}

WORKDIR=
RUNDIR=
LOG=
DAEMON_PID=
DAEMON_STATUS=
_CLEANUP_CMDS=()
# A terminated script still runs its EXIT trap (cleanup).
trap 'exit 143' TERM
trap 'exit 130' INT

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: $SCRIPT_NAME: needs root (network namespaces)" >&2
        exit 77
    fi
}

on_cleanup() {
    _CLEANUP_CMDS+=("$1")
}

make_workdir() {
    WORKDIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX") || fail "mktemp"
    on_cleanup "rm -rf '$WORKDIR'"
    RUNDIR=$WORKDIR/Velmora
    LOG=$WORKDIR/stderr.log
    mkdir -p "$RUNDIR" "$WORKDIR/nginx/conf"
    : > "$LOG"
}

# write_config [ThreadNum] [FilterInterval] [ProductType] [Proxy]
write_config() {
    local threads=${1:-8} interval=${2:-2} product=${3:-Null} proxy=${4:-nginx}
    cat > "$RUNDIR/Velmora.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<Velmora>
  <UdpListenInfo1>
    <UdpHost>0.0.0.0</UdpHost>
    <UdpPort1>37810</UdpPort1>
    <UdpPort2>47810</UdpPort2>
    <UdpPort3>57810</UdpPort3>
  </UdpListenInfo1>
  <UdpListenInfo2>
    <UdpHost>0.0.0.0</UdpHost>
    <UdpPort1>5050</UdpPort1>
    <UdpPort2>15050</UdpPort2>
    <UdpPort3>25050</UdpPort3>
  </UdpListenInfo2>
  <UdpListenInfo3>
    <UdpHost>239.255.255.251</UdpHost>
    <UdpPort1>37810</UdpPort1>
    <UdpPort2>47810</UdpPort2>
    <UdpPort3>57810</UdpPort3>
  </UdpListenInfo3>
  <VersionName>Server</VersionName>
  <VersionNum>3.0</VersionNum>
  <ThreadNum>$threads</ThreadNum>
  <FilterInterval>$interval</FilterInterval>
  <ProductType>$product</ProductType>
  <Proxy>$proxy</Proxy>
</Velmora>
EOF
}

write_config_raw() {
    cat > "$RUNDIR/Velmora.xml"
}

# start_daemon [prefix command...]: the prefix must exec the daemon (as
# `ip netns exec NS` does) so that DAEMON_PID is the daemon's own pid.
start_daemon() {
    [ -x "$BIN" ] || fail "daemon binary $BIN not built"
    [ -e "$RUNDIR/Velmorainput" ] || : > "$RUNDIR/Velmorainput"
    (cd "$RUNDIR" && exec "$@" "$BIN" > "$WORKDIR/stdout.log" 2> "$LOG") &
    DAEMON_PID=$!
    DAEMON_STATUS=
}

send_cmd() {
    printf '%s' "$1" >> "$RUNDIR/Velmorainput"
}

# _deadline SECONDS: prints the epoch milliseconds of the deadline.
_deadline() {
    echo $(( $(date +%s%3N) + ${1} * 1000 ))
}

# wait_log REGEX [SECONDS=10]
wait_log() {
    local regex=$1 end
    end=$(_deadline "${2:-10}")
    while [ "$(date +%s%3N)" -lt "$end" ]; do
        grep -Eq -- "$regex" "$LOG" 2>/dev/null && return 0
        sleep 0.05
    done
    grep -Eq -- "$regex" "$LOG" 2>/dev/null
}

count_log() {
    local n
    n=$(grep -Ec -- "$1" "$LOG" 2>/dev/null)
    echo "${n:-0}"
}

# True while DAEMON_PID runs (an ended but unreaped child counts as ended).
daemon_alive() {
    [ -n "$DAEMON_PID" ] || return 1
    kill -0 "$DAEMON_PID" 2>/dev/null || return 1
    local state
    state=$(awk '{print $3}' "/proc/$DAEMON_PID/stat" 2>/dev/null) || return 1
    [ "$state" != "Z" ]
}

# wait_exit [SECONDS=10]: sets DAEMON_STATUS once the daemon has ended.
wait_exit() {
    [ -n "$DAEMON_PID" ] || return 0
    if [ -n "$DAEMON_STATUS" ]; then return 0; fi
    local end
    end=$(_deadline "${1:-10}")
    while daemon_alive && [ "$(date +%s%3N)" -lt "$end" ]; do
        sleep 0.05
    done
    daemon_alive && return 1
    wait "$DAEMON_PID" 2>/dev/null
    DAEMON_STATUS=$?
    return 0
}

stop_daemon() {
    [ -n "$DAEMON_PID" ] || return 0
    if [ -z "$DAEMON_STATUS" ]; then
        [ -n "$RUNDIR" ] && [ -d "$RUNDIR" ] && send_cmd q
        if ! wait_exit 10; then
            kill -TERM "$DAEMON_PID" 2>/dev/null
            if ! wait_exit 5; then
                kill -KILL "$DAEMON_PID" 2>/dev/null
                wait_exit 5
            fi
        fi
    fi
    return "${DAEMON_STATUS:-1}"
}

cleanup() {
    local i
    if [ -n "$DAEMON_PID" ] && [ -z "$DAEMON_STATUS" ]; then
        stop_daemon >/dev/null 2>&1
    fi
    for (( i=${#_CLEANUP_CMDS[@]}-1; i>=0; i-- )); do
        eval "${_CLEANUP_CMDS[$i]}" >/dev/null 2>&1
    done
    _CLEANUP_CMDS=()
}

# make_netns: a fresh namespace of this script with loopback up, in $NETNS;
# deleted in cleanup. Use as `start_daemon ip netns exec "$NETNS"`.
make_netns() {
    NETNS=velmora-e2e-$$-${1:-0}
    ip netns add "$NETNS" || fail "ip netns add $NETNS"
    on_cleanup "ip netns delete '$NETNS'"
    ip -n "$NETNS" link set lo up || fail "lo up in $NETNS"
}

fail() {
    echo "FAIL: $SCRIPT_NAME: $*"
    if [ -n "$LOG" ] && [ -f "$LOG" ]; then
        echo "--- last lines of $LOG"
        tail -n 30 "$LOG"
    fi
    exit 1
}

pass() {
    echo "PASS: $SCRIPT_NAME"
    exit 0
}
