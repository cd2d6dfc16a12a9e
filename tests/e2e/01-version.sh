#!/usr/bin/env bash
# 01-version.sh: the version query in every spelling, its exact output, and
# what happens without a control file or with a second argument.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_workdir
[ -x "$BIN" ] || fail "daemon binary $BIN not built"
: > "$RUNDIR/Velmorainput"

line1='^Program Name: Velmora $'
line2='^SVN Version: Velmora \[ master \] : [0-9a-f]{40} \( co [0-9]{10} \)$'
line3='^Build Date: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$'
for arg in -v --version -version /v /version /VERSION -V --VerSion; do
    out=$WORKDIR/version.out
    (cd "$RUNDIR" && timeout 10 "$BIN" "$arg" > "$out" 2> "$WORKDIR/version.err")
    rc=$?
    [ "$rc" -eq 0 ] || fail "$arg: exit status $rc"
    [ "$(wc -l < "$out")" -eq 4 ] || fail "$arg: expected 4 lines, got $(wc -l < "$out")"
    sed -n 1p "$out" | grep -Eq "$line1" || fail "$arg: line 1: $(sed -n 1p "$out")"
    sed -n 2p "$out" | grep -Eq "$line2" || fail "$arg: line 2: $(sed -n 2p "$out")"
    sed -n 3p "$out" | grep -Eq "$line3" || fail "$arg: line 3: $(sed -n 3p "$out")"
    [ -z "$(sed -n 4p "$out")" ] || fail "$arg: line 4 is not empty"
    [ -s "$WORKDIR/version.err" ] && fail "$arg: wrote to stderr: $(head -3 "$WORKDIR/version.err")"
    [ -e "$RUNDIR/log" ] && fail "$arg: the version query created the log folder"
done

# Without a control file nothing is answered, printed or logged.
rm -f "$RUNDIR/Velmorainput"
for args in "--version" "" "-v x"; do
    # shellcheck disable=SC2086
    (cd "$RUNDIR" && timeout 10 "$BIN" $args > "$WORKDIR/none.out" 2> "$WORKDIR/none.err")
    rc=$?
    [ "$rc" -eq 0 ] || fail "no control file, args '$args': exit status $rc"
    [ -s "$WORKDIR/none.out" ] && fail "no control file, args '$args': printed to stdout"
    [ -s "$WORKDIR/none.err" ] && fail "no control file, args '$args': printed to stderr"
done
[ -e "$RUNDIR/log" ] && fail "no control file: the log folder was created"

# Two arguments are no query: the service starts, here until the q waiting
# in the control file.
make_netns
printf 'q' > "$RUNDIR/Velmorainput"
(cd "$RUNDIR" && timeout 30 ip netns exec "$NETNS" "$BIN" -v x > "$WORKDIR/stdout.log" 2> "$LOG")
rc=$?
[ "$rc" -eq 0 ] || fail "-v x: exit status $rc"
grep -q 'Velmora Begin' "$LOG" || fail "-v x: no 'Velmora Begin'"
grep -q 'Velmora End' "$LOG" || fail "-v x: no 'Velmora End'"
grep -q 'Program Name' "$WORKDIR/stdout.log" && fail "-v x: answered the version query"
pass
