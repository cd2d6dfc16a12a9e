#!/usr/bin/env bash
# 30-package.sh: cpack builds the .deb with its conffile; systemd-analyze
# accepts its unit; the unit's start steps, run on the extracted tree, start
# the packaged daemon on the linked settings, the packaged client finds it,
# and SIGTERM stops it with status 0.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
for tool in cpack dpkg-deb; do
    command -v "$tool" > /dev/null || { echo "SKIP: $SCRIPT_NAME: no $tool" >&2; exit 77; }
done
make_ns_pair
(cd "${VELMORA_BUILD_DIR:-$SRC/build}" && cpack -G DEB -B "$WORKDIR/pkg" > "$WORKDIR/cpack.log" 2>&1) \
    || fail "cpack: $(tail -n 20 "$WORKDIR/cpack.log")"
DEB=$(ls "$WORKDIR"/pkg/velmora_*.deb) || fail "no package"
dpkg-deb -I "$DEB" conffiles | grep -qx /etc/velmora/Velmora.xml || fail "Velmora.xml is no conffile"
ROOT=$WORKDIR/root
dpkg -x "$DEB" "$ROOT" || fail "dpkg -x"
UNIT=$ROOT/lib/systemd/system/velmora.service
if command -v systemd-analyze > /dev/null; then   # it checks that ExecStart exists
    sed "s|^ExecStart=|ExecStart=$ROOT|" "$UNIT" > "$WORKDIR/velmora.service"
    MANPATH=$ROOT/usr/share/man systemd-analyze verify "$WORKDIR/velmora.service" > "$WORKDIR/verify" 2>&1 \
        && [ ! -s "$WORKDIR/verify" ] || fail "systemd-analyze verify: $(cat "$WORKDIR/verify")"
fi

RUNDIR=$ROOT/var/lib/velmora/Velmora BIN=$ROOT/usr/sbin/velmora
echo q > "$RUNDIR/Velmorainput"   # left from an earlier run: the start steps empty it
grep '^ExecStartPre=' "$UNIT" | sed -e 's/^ExecStartPre=//' -e "s| /| $ROOT/|g" > "$WORKDIR/pre"
while read -r -a cmd; do
    "${cmd[@]}" || fail "start step '${cmd[*]}'"
done < "$WORKDIR/pre"
start_daemon
wait_log 'Start Server OK!' 10 || fail "packaged daemon did not start"
grep -q 'Velmora Xml Load File Failed!' "$LOG" && fail "settings not found through the link"
in_cli "$ROOT/usr/bin/velmora-search" --timeout 1 | grep -q 'json,binary' || fail "packaged client found nothing"
kill -TERM "$DAEMON_PID"
wait_exit 10 && [ "$DAEMON_STATUS" -eq 0 ] || fail "SIGTERM: exit status $DAEMON_STATUS"
pass
