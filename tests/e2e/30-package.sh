#!/usr/bin/env bash
# 30-package.sh: cpack builds the .deb; it holds the installed layout, its
# control fields and conffile; the unit passes systemd-analyze verify; and the
# unit's start steps (control file, settings link, working directory) run the
# packaged daemon, which the packaged velmora-search finds and SIGTERM stops
# with status 0.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
for tool in cpack dpkg-deb; do
    command -v "$tool" > /dev/null || { echo "SKIP: $SCRIPT_NAME: no $tool" >&2; exit 77; }
done
[ -f "$_BUILD/CPackConfig.cmake" ] || fail "no CPackConfig.cmake in $_BUILD"
make_workdir

# The package, built in the build tree.
PKGDIR=$_BUILD/package
rm -f "$PKGDIR"/velmora_*.deb
(cd "$_BUILD" && cpack -G DEB -B "$PKGDIR" > "$WORKDIR/cpack.log" 2>&1) \
    || fail "cpack failed: $(tail -n 20 "$WORKDIR/cpack.log")"
DEB=$(ls "$PKGDIR"/velmora_*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || fail "no velmora_*.deb in $PKGDIR"

# Control fields and maintainer scripts.
dpkg-deb -I "$DEB" > "$WORKDIR/info" || fail "dpkg-deb -I"
for field in '^ Package: velmora$' '^ Maintainer: .+<.+@.+>$' '^ Section: net$' \
             '^ Depends: .*libjsoncpp' '^ Depends: .*libpugixml' '^ Depends: .*libspdlog' \
             '^ Description: .+' ' postinst ' ' conffiles '; do
    grep -Eq -- "$field" "$WORKDIR/info" || fail "control lacks '$field': $(cat "$WORKDIR/info")"
done
dpkg-deb -I "$DEB" conffiles | grep -qx /etc/velmora/Velmora.xml || fail "Velmora.xml is no conffile"

# The installed layout.
ROOT=$WORKDIR/root
dpkg -x "$DEB" "$ROOT" || fail "dpkg -x"
for f in usr/sbin/velmora usr/bin/velmora-search; do
    [ -x "$ROOT/$f" ] || fail "$f missing or not executable"
done
for f in etc/velmora/Velmora.xml lib/systemd/system/velmora.service \
         usr/share/man/man8/velmora.8 usr/share/man/man1/velmora-search.1 \
         usr/lib/sysusers.d/velmora.conf; do
    [ -s "$ROOT/$f" ] || fail "$f missing or empty"
done
[ -d "$ROOT/var/lib/velmora/Velmora" ] || fail "working directory missing"
cmp -s "$ROOT/etc/velmora/Velmora.xml" "$SRC/demo/Velmora/Velmora.xml" || fail "sample settings differ"
"$ROOT/usr/bin/velmora-search" --version | grep -q '^velmora-search ' || fail "packaged client --version"

# The unit: the settings the daemon relies on, then systemd's own check.
UNIT=$ROOT/lib/systemd/system/velmora.service
for line in 'WorkingDirectory=/var/lib/velmora/Velmora' 'ExecStart=/usr/sbin/velmora' \
            'KillSignal=SIGTERM' 'Restart=on-failure' 'NoNewPrivileges=yes' \
            'ProtectSystem=strict' 'ReadWritePaths=/var/lib/velmora/Velmora' \
            'CapabilityBoundingSet=' 'PrivateTmp=yes' 'ProtectHome=yes' \
            'RestrictAddressFamilies=AF_INET AF_UNIX AF_NETLINK AF_PACKET'; do
    grep -qx -- "$line" "$UNIT" || fail "unit lacks '$line'"
done
if command -v systemd-analyze > /dev/null; then
    # The binary is checked for existence: point ExecStart at the extracted one.
    sed "s|^ExecStart=/usr/sbin/velmora|ExecStart=$ROOT/usr/sbin/velmora|" "$UNIT" \
        > "$WORKDIR/velmora.service"
    if ! MANPATH=$ROOT/usr/share/man systemd-analyze verify "$WORKDIR/velmora.service" \
            > "$WORKDIR/verify" 2>&1; then
        fail "systemd-analyze verify: $(cat "$WORKDIR/verify")"
    fi
    [ ! -s "$WORKDIR/verify" ] || fail "systemd-analyze verify warns: $(cat "$WORKDIR/verify")"
else
    echo "note: $SCRIPT_NAME: systemd-analyze not installed, unit not verified" >&2
fi

# The unit's start steps, with its paths moved under the extracted tree, then
# the packaged daemon in a server namespace, found through the group.
RUNDIR=$ROOT/var/lib/velmora/Velmora
echo q > "$RUNDIR/Velmorainput"     # a command left from an earlier run
grep '^ExecStartPre=' "$UNIT" | sed -e 's/^ExecStartPre=//' \
    -e "s|/var/lib/velmora|$ROOT/var/lib/velmora|g" -e "s|/etc/velmora|$ROOT/etc/velmora|g" \
    > "$WORKDIR/pre"
[ -s "$WORKDIR/pre" ] || fail "unit has no ExecStartPre"
while read -r -a cmd; do
    "${cmd[@]}" || fail "ExecStartPre '${cmd[*]}' failed"
done < "$WORKDIR/pre"
[ -f "$RUNDIR/Velmorainput" ] && [ ! -s "$RUNDIR/Velmorainput" ] || fail "control file not emptied"
cmp -s "$RUNDIR/Velmora.xml" "$ROOT/etc/velmora/Velmora.xml" || fail "settings not linked"

make_ns_pair
BIN=$ROOT/usr/sbin/velmora
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "packaged daemon did not start"
grep -q 'Velmora Xml Load File Failed!' "$LOG" && fail "settings not found through the link"
in_cli "$ROOT/usr/bin/velmora-search" --timeout 1 \
    > "$WORKDIR/found" 2>&1 || fail "packaged client found nothing: $(cat "$WORKDIR/found")"
grep -q 'json,binary' "$WORKDIR/found" || fail "no row with both forms: $(cat "$WORKDIR/found")"
[ -d "$RUNDIR/log" ] || fail "no log folder in the working directory"

kill -TERM "$DAEMON_PID"
wait_exit 10 || fail "SIGTERM did not stop the daemon"
[ "$DAEMON_STATUS" -eq 0 ] || fail "exit status $DAEMON_STATUS after SIGTERM"
pass
