#!/usr/bin/env bash
# 30-package.sh: the copyright file names only paths of the tree and the
# libraries compiled in; the man pages pass mandoc -Tlint and groff -ww.
# cpack builds the velmora and velmora-search packages (their
# descriptions whole, Depends naming passwd); lintian finds no error or
# warning; the units pass systemd-analyze verify and the daemon's scores 2.5
# or better. Installed on this machine: the client alone brings no responder;
# velmora creates its user, its log folder (group adm) and enables its unit,
# not the metrics timer, without a running systemd; the unit's start steps
# (check-config, serial read as root) run the packaged daemon as velmora
# without an error line (under the unit's umask), reporting root's serial,
# found by the packaged client, its status and build info readable by a user
# of group adm alone, stopped by velmoractl; remove leaves the unit unmasked
# and takes the metrics file; purge removes the user, group, settings, state
# and logs.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
for tool in cpack dpkg-deb lintian setpriv systemd-analyze mandoc groff; do
    command -v "$tool" > /dev/null || { echo "SKIP: $SCRIPT_NAME: no $tool" >&2; exit 77; }
done
python3 - "$SRC" <<'PY' || fail "copyright file: see above"
import glob, os, re, sys
text = open(os.path.join(sys.argv[1], 'packaging/debian/copyright')).read()
files = [p for line in text.splitlines() if line.startswith('Files:') for p in line.split()[1:]]
paths = [w.strip('(),;.') for w in text.split('\n\nLicense:')[0].split() if '/' in w and '://' not in w]
assert files and not [p for p in files + paths if not glob.glob(os.path.join(sys.argv[1], p))], paths
for lib, lic in (('Asio', 'BSL-1.0'), ('CLI11', 'BSD-3-Clause')):
    assert re.search(r'^  %s .*\n(  .*\n)*?  .*License: %s' % (lib, lic), text, re.M), lib
    assert re.search(r'^License: %s\n .' % lic, text, re.M), lic
PY
for page in "$SRC"/packaging/man/*.[1-8]; do
    [ -z "$({ mandoc -Tlint -W warning "$page"; groff -ww -z -man "$page"; } 2>&1)" ] || fail "man page warnings: $page"
done
# The package is installed on this machine: another run of this scenario (a
# second build tree, a mutation run) waits for this one to end.
exec 9> /run/lock/velmora-package-scenario.lock && flock -w 600 9 || fail "another package scenario holds the lock"
if dpkg-query -W -f='${Status}\n' velmora velmora-search 2>/dev/null | grep -q ' installed' ||
        [ -e /etc/velmora ] || [ -e /var/lib/velmora ]; then
    echo "SKIP: $SCRIPT_NAME: velmora is installed on this machine (package or files)" >&2
    exit 77
fi
_BUILD=${VELMORA_BUILD_DIR:-$SRC/build}
[ -f "$_BUILD/CPackConfig.cmake" ] || fail "no CPackConfig.cmake in $_BUILD"
make_ns_pair

PKGDIR=$_BUILD/package
rm -f "$PKGDIR"/velmora*.deb
(cd "$_BUILD" && cpack -G DEB -B "$PKGDIR" > "$WORKDIR/cpack.log" 2>&1) \
    || fail "cpack failed: $(tail -n 20 "$WORKDIR/cpack.log")"
DEB=$PKGDIR/velmora_${VELMORA_VERSION:-1.0.0}_$(dpkg --print-architecture).deb
CLI_DEB=${DEB/velmora_/velmora-search_}
[ -f "$DEB" ] && [ -f "$CLI_DEB" ] || fail "want both packages: $(ls "$PKGDIR")"
dpkg-deb -I "$DEB" > "$WORKDIR/info" || fail "dpkg-deb -I"
for field in '^ Package: velmora$' '^ Depends: .*libpugixml' '^ Depends: .*libjsoncpp' \
             '^ Depends: (.*, )?passwd[,]' '^ Depends: .*libsystemd0' \
             '^  front end\. It runs as a systemd service; velmoractl' \
             ' postinst ' ' postrm ' ' conffiles '; do
    grep -Eq -- "$field" "$WORKDIR/info" || fail "control lacks '$field': $(cat "$WORKDIR/info")"
done
lintian --fail-on error,warning "$DEB" "$CLI_DEB" > "$WORKDIR/lintian" 2>&1 \
    || fail "lintian: $(cat "$WORKDIR/lintian")"

_CLEANUP+=("dpkg --purge velmora velmora-search")
dpkg -i "$CLI_DEB" < /dev/null > "$WORKDIR/dpkg.log" 2>&1 || fail "dpkg -i $CLI_DEB: $(cat "$WORKDIR/dpkg.log")"
[ -x /usr/bin/velmora-search ] || fail "client not installed"
[ ! -e /usr/sbin/velmora ] && ! getent passwd velmora > /dev/null || fail "the client package brought the responder"
dpkg -i "$DEB" < /dev/null > "$WORKDIR/dpkg.log" 2>&1 || fail "dpkg -i $DEB: $(cat "$WORKDIR/dpkg.log")"
getent passwd velmora > /dev/null && getent group velmora > /dev/null || fail "no velmora user or group"
[ -L /etc/systemd/system/multi-user.target.wants/velmora.service ] || fail "unit not enabled"
cmp /usr/share/doc/velmora/copyright "$SRC/packaging/debian/copyright" && (cd /usr/share/bash-completion/completions \
    && [ -f velmoractl ] && [ -f velmora-search ]) || fail "copyright or completions not installed"
[ "$(stat -c '%U %G %a' /var/log/velmora)" = 'velmora adm 2750' ] \
    || fail "/var/log/velmora: $(stat -c '%U %G %a' /var/log/velmora), want velmora adm 2750"
[ -f /lib/systemd/system/velmora-metrics.timer ] \
    && [ ! -e /etc/systemd/system/timers.target.wants/velmora-metrics.timer ] \
    || fail "metrics timer missing or enabled"

UNIT=/lib/systemd/system/velmora.service
systemd-analyze verify "$UNIT" /lib/systemd/system/velmora-metrics.timer \
    /lib/systemd/system/velmora-metrics.service > "$WORKDIR/verify" 2>&1 && [ ! -s "$WORKDIR/verify" ] \
    || fail "systemd-analyze verify: $(cat "$WORKDIR/verify")"
systemd-analyze security --offline=yes "$UNIT" 2>&1 | tee "$WORKDIR/security" \
    | grep -q 'Overall exposure level for velmora.service: \([01]\.[0-9]\|2\.[0-5]\) ' \
    || fail "exposure above 2.5: $(tail -n 1 "$WORKDIR/security")"

# The unit's start steps as systemd runs them: "+" as root, the rest as velmora.
RUNDIR=/var/lib/velmora/Velmora
as_velmora() { setpriv --reuid=velmora --regid=velmora --init-groups -- "$@"; }
install -d -o velmora -g velmora -m 0750 /run/velmora    # RuntimeDirectory=
as_velmora sh -c "echo q > $RUNDIR/Velmorainput"         # left from an earlier run
while read -r line; do
    cmd=${line#ExecStartPre=}
    if [ "${cmd#+}" != "$cmd" ]; then
        (cd "$RUNDIR" && ${cmd#+}) || fail "ExecStartPre '$cmd' failed"
    else
        (cd "$RUNDIR" && as_velmora $cmd) > "$WORKDIR/pre.out" 2>&1 \
            || fail "ExecStartPre '$cmd' failed: $(cat "$WORKDIR/pre.out")"
    fi
done < <(grep '^ExecStartPre=' "$UNIT")
[ ! -s "$RUNDIR/Velmorainput" ] || fail "control file not emptied"
SERIAL=$(/usr/sbin/velmoractl serial) || fail "velmoractl serial as root"
grep -qx "NOX_HOST_SERIAL=\"$SERIAL\"" /run/velmora/serial.env || fail "serial not handed over"

set -a; . /run/velmora/serial.env; set +a                 # EnvironmentFile=
BIN=/usr/sbin/velmora
umask 0027   # UMask= of the unit
start_daemon setpriv --reuid=velmora --regid=velmora --init-groups --
wait_log 'Start Server OK!' 10 || fail "packaged daemon did not start"
[ "$(count_log ' ERROR ')" -eq 0 ] || fail "error lines on a fresh install: $(grep ' ERROR ' "$LOG")"
in_cli /usr/bin/velmora-search --json --timeout 1 > "$WORKDIR/found" || fail "client found nothing"
grep -q "\"serial\":\"$SERIAL\"" "$WORKDIR/found" || fail "serial differs from root's $SERIAL: $(cat "$WORKDIR/found")"
umask 0022
setpriv --reuid=nobody --regid=adm --clear-groups /usr/sbin/velmoractl status > "$WORKDIR/status" 2>&1 \
    && grep -q "running, pid $DAEMON_PID" "$WORKDIR/status" || fail "status for group adm: $(cat "$WORKDIR/status")"
PROM=/var/lib/prometheus/node-exporter
[ -d /var/lib/prometheus ] || _CLEANUP+=("rm -rf /var/lib/prometheus")
mkdir -p $PROM || fail "mkdir $PROM"
/usr/sbin/velmoractl metrics --textfile $PROM && grep -q "^velmora_build_info{build=\"Velmora .*\",version=\"[0-9.]*\"} 1\$" $PROM/velmora.prom \
    || fail "no build info in $PROM/velmora.prom"
/usr/sbin/velmoractl stop > /dev/null && wait_exit 5 && [ "$DAEMON_STATUS" -eq 0 ] \
    || fail "velmoractl stop: ${DAEMON_STATUS:-still running}"
[ -s "/var/log/velmora/Velmora-$DAEMON_PID.log" ] \
    && [ "$(stat -c %G "/var/log/velmora/Velmora-$DAEMON_PID.log")" = adm ] \
    || fail "no log under /var/log/velmora, or not group adm's"

dpkg --remove velmora > "$WORKDIR/dpkg.log" 2>&1 || fail "remove: $(cat "$WORKDIR/dpkg.log")"
[ ! -L /etc/systemd/system/velmora.service ] && [ ! -e $PROM/velmora.prom ] \
    || fail "the unit was masked, or the metrics file kept, at remove"

dpkg --purge velmora velmora-search > "$WORKDIR/dpkg.log" 2>&1 || fail "purge: $(cat "$WORKDIR/dpkg.log")"
! getent passwd velmora > /dev/null && ! getent group velmora > /dev/null || fail "user or group left"
for path in /etc/velmora /var/lib/velmora /var/log/velmora /usr/sbin/velmora \
            /etc/systemd/system/multi-user.target.wants/velmora.service; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path left after purge"
done
pass
