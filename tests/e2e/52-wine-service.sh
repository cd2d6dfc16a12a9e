#!/usr/bin/env bash
# 52-wine-service.sh: the MSI under Wine. In a fresh prefix whose server runs
# in the server namespace, the MSI installs silently into a folder named
# outside the ANSI code page; the service "Velmora" runs and answers a JSON
# and a binary request byte for byte as the Linux daemon does;
# velmoractl -C <that folder> says running (and velmora-search -i finds an
# adapter named outside it); sc stop leaves a log that ends
# with the stop sequence, an exit code 0 event, and sc start answers again;
# a daemon ended from outside is restarted within 10 s (its events carry the
# exit code and the 5 s); an edited Velmora.xml survives an upgrade to a newer
# MSI, whose host answers --version with the new version; the uninstall
# removes service and programs and keeps the settings and logs. The events
# are the ReportEventW trace (+eventlog) of the session's services.
# The installer's own steps: the zip's folder layout is refused by
# velmora-service install, a drive root by the MSI, whose rollback runs; the install's configure step (velmora-setup.dll)
# logs to the MSI log, registers the event source, quotes the service
# command and sets the access lists (as far as Wine shows them);
# Programs and Features has the location, publisher, version and help link;
# a rebuild of the same version adds no second product; the upgrade ends
# with the event source in place and one product (Wine removes the older
# version with REMOVE=ALL alone, so its unconfigure runs, before the new
# configure); the
# uninstall's unconfigure step runs and removes it.
. "$(dirname "$0")/common.sh"
need_root
need_wine
NEXT_HOST=$WIN_BUILD/tools/velmora-service/next/velmora-service.exe
MSI=$(ls "$WIN_BUILD"/velmora-*-x64.msi 2> /dev/null | head -n 1)
[ -f "$WIN_BUILD/stage/velmora.wxs" ] && [ -f "$NEXT_HOST" ] && [ -n "$MSI" ] && command -v msibuild > /dev/null \
    || { echo "SKIP: $SCRIPT_NAME: needs msitools and scripts/build-windows.sh --test's MSI stage" >&2; exit 77; }
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local sources"
export LC_ALL=C.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$WORKDIR/prefix
FOLDER='C:\Сервер\Velmora' UNIX_TOP=$WORKDIR/prefix/drive_c/Сервер
UNIX_DIR=$UNIX_TOP/Velmora LOG=$WORKDIR/daemon.log EVENTS=$WORKDIR/events.log
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$WIN_BUILD/CMakeCache.txt")
next=$(echo "$version" | awk -F. '{print $1 "." $2 "." $3 + 1}')
msi_version=$(basename "$MSI" -x64.msi) && msi_version=${msi_version#velmora-}
next_msi=$(echo "$msi_version" | awk -F. '{print $1 "." $2 "." $3 + 1}')
win() { ip netns exec "$NS_SRV" wine "$@" < /dev/null; }

# The Linux daemon's replies with the shipped settings, for the comparison.
cp "$WIN_BUILD/stage/Velmora/Velmora.xml" "$RUNDIR/"
start_daemon
wait_log 'Start Server OK!' 15 || fail "Linux daemon did not start"
probe=(in_cli python3 "$SRC/tests/e2e/probe.py" ask "$CLI_IP")
ask() { "${probe[@]}" "$1" 1 "$SRV_IP" "$SRC/fuzz/corpus/json-search" "$SRC/fuzz/corpus/binary"; }
ask 1 > "$WORKDIR/linux.replies" || fail "Linux daemon: no replies"
stop_daemon || fail "Linux daemon: exit status $?"

# The next build's MSI: the same files, a host one version up; and this
# build's again (a rebuild: another package of the same version).
mkdir -p "$WORKDIR/next" && cp -r "$WIN_BUILD/stage/Velmora" "$WIN_BUILD/stage/velmora.wxs" \
        "$WIN_BUILD/stage/velmora-setup.dll" "$WORKDIR/next/" \
    && cp "$NEXT_HOST" "$WORKDIR/next/Velmora/" \
    && bash "$SRC/packaging/windows/make-msi.sh" "$WORKDIR/next.msi" "$next_msi" "$WORKDIR/next/velmora.wxs" 2> /dev/null \
    && bash "$SRC/packaging/windows/make-msi.sh" "$WORKDIR/same.msi" "$msi_version" "$WIN_BUILD/stage/velmora.wxs" 2> /dev/null \
    || fail "second MSIs"

# A fresh prefix. Services created in the session that made the prefix are
# not found by the next process there (Wine 8), so a second session runs the
# test; its services write their event trace to the session's stderr.
mkdir -p "$WINEPREFIX"
_CLEANUP+=("WINEPREFIX='$WINEPREFIX' wineserver -k")
ip netns exec "$NS_SRV" wineserver -p > /dev/null 2>&1 || fail "wineserver"
ip netns exec "$NS_SRV" wineboot -i < /dev/null > /dev/null 2>&1
wineserver -k && wineserver -w && ip netns exec "$NS_SRV" wineserver -p > /dev/null 2>&1 || fail "second wineserver"
WINEDEBUG=-all,+eventlog ip netns exec "$NS_SRV" wineboot < /dev/null > /dev/null 2> "$EVENTS"
win reg add 'HKLM\Software\Microsoft\Cryptography' /v MachineGuid /d "$(cat /etc/machine-id)" /f > /dev/null 2>&1 \
    || fail "machine GUID"

until_ok() { wait_for "$@" > /dev/null 2>&1; }   # SECONDS COMMAND..., its output dropped
state_is() { win sc query Velmora 2> /dev/null | grep -q "STATE *: [0-9]  $1"; }
ctl() { win 'C:\Сервер\velmoractl.exe' -C "$FOLDER" status -t 5; }
ctl_running() { ctl | grep -Fq "Velmora in $FOLDER: running"; }
daemon_pid() { tr -d '\r\n' < "$UNIX_DIR/Velmora.pid"; }
answers() { ask "$1" > "$WORKDIR/windows.replies" && diff "$WORKDIR/linux.replies" "$WORKDIR/windows.replies"; }
event() { grep -c "ReportEventW L\"$1\"" "$EVENTS"; }   # events with this insert

# The zip's folder, programs and data together, is refused.
win "Z:${WIN_BUILD//\//\\}\\stage\\Velmora\\velmora-service.exe" install > /dev/null 2> "$WORKDIR/zip.err"
[ $? -eq 1 ] && grep -q 'holds the programs' "$WORKDIR/zip.err" || fail "zip layout not refused: $(cat "$WORKDIR/zip.err")"

msi() {   # LOG msiexec-arguments: the MSI log (as UTF-8) in $WORKDIR/LOG, events to msiexec.out
    local log=$1; shift
    WINEDEBUG=-all,+eventlog win msiexec "$@" /qn /l*v "Z:${WORKDIR//\//\\}\\$log.log" >> "$WORKDIR/msiexec.out" 2>&1
}
setup_did() { grep -a -q "velmora-setup: $2" "$WORKDIR/$1.log"; }
source_key() { win reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velmora' > /dev/null 2>&1; }
products() { win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2> /dev/null | grep -c 'DisplayName.*REG_SZ *Velmora'; }
# A drive's root is refused: the install fails and its rollback runs.
msi root /i "Z:${MSI//\//\\}" 'INSTALLDIR=C:\' && fail "an install into C:\\ went through"
setup_did root "velmora-service: the programs are in C:.*a drive's root" && setup_did root 'event source Velmora removed' && [ "$(products)" -eq 0 ] \
    || fail "no failure and rollback for C:\\: $(products) products, $(grep -a velmora-setup "$WORKDIR/root.log")"
msi install /i "Z:${MSI//\//\\}" "INSTALLDIR=C:\\Сервер" || fail "msiexec /i: $?"
until_ok 10 state_is RUNNING || fail "service not running after the install"
setup_did install 'rights: C:.* writable by NT SERVICE' && setup_did install 'service Velmora configured' && source_key \
    || fail "configure step: no trace or event source: $(cat "$WORKDIR/install.log")"
# Wine refuses some service settings: warnings in the MSI log and as events.
setup_did install 'warning: service required privileges not set' \
    && grep -q 'warn:eventlog:ReportEventW L"service required privileges not set' "$WORKDIR/msiexec.out" \
    || fail "no setup warning in the MSI log and the events"
win reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Velmora' /v ImagePath \
    | grep -q 'REG_[A-Z_]*SZ *"C:\\[^"]*\\velmora-service.exe" run --folder "C:\\[^"]*\\Velmora"' || fail "ImagePath not quoted: $(win reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Velmora" /v ImagePath)"
arp=$(win reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{$(python3 "$SRC/scripts/check-windows-package.py" --product-code "$msi_version" | tr a-z A-Z)}")
for want in 'InstallLocation.*C:\\' 'Publisher.*Velmora project' "DisplayVersion.*$msi_version" 'HelpLink.*README.txt'; do
    grep -q "$want" <<< "$arp" || fail "Programs and Features lacks $want: $arp"
done
# Wine keeps no access lists (its server has no store for them): it maps one
# without Everyone to a Unix mode without access for others, all it returns.
for path in "$UNIX_TOP" "$UNIX_TOP/velmora.exe" "$UNIX_TOP/velmora-service.exe" "$UNIX_DIR" "$UNIX_DIR/Velmora.xml"; do
    [ "$(stat -c %a "$path" | cut -c 3)" = 0 ] || fail "access list of $path not set: mode $(stat -c %a "$path")"
done
until_ok 20 ctl_running || fail "velmoractl -C $FOLDER status: $(ctl 2>&1)"
grep -q '<ProductType>Null</ProductType>' "$UNIX_DIR/Velmora.xml" || fail "shipped settings"
answers 1 || fail "replies differ from Linux's"
[ "$(event "$(daemon_pid)")" -ge 1 ] || fail "no start event with the daemon's pid: $(cat "$EVENTS")"

first_pid=$(daemon_pid)
win sc stop Velmora > /dev/null && until_ok 30 state_is STOPPED || fail "sc stop"
cp "$UNIX_DIR/log/Velmora-$first_pid.log" "$LOG"
line() { grep -n -m 1 -- "$1" "$LOG" | cut -d: -f1; }
[ "$(line 'pressed q \.\.\.')" -lt "$(line 'Stop Handler OK')" ] \
    && [ "$(line 'Stop Handler OK')" -lt "$(line 'Stop Server OK')" ] \
    && tail -n 2 "$LOG" | head -n 1 | grep -q 'Stop Server OK' && tail -n 1 "$LOG" | grep -q 'Velmora End' \
    || fail "log does not end with the stop sequence"
grep ReportEventW "$EVENTS" | tail -n 1 | grep -q 'trace:eventlog:ReportEventW L"0"' \
    || fail "no stop event with exit code 0"

win sc start Velmora > /dev/null && until_ok 10 state_is RUNNING && until_ok 20 ctl_running || fail "sc start"
answers 1 || fail "no answer after sc start"

killed=$(daemon_pid) exits=$(event 5)
win taskkill /F /PID "$killed" > /dev/null || fail "taskkill"
until_ok 10 eval '[ "$(daemon_pid)" != "$killed" ] && ctl_running' || fail "daemon not restarted within 10 s"
[ "$(event 5)" -gt "$exits" ] && grep -q 'err:eventlog:ReportEventW' "$EVENTS" || fail "no restart event"

sed -i 's#<VersionName>Server</VersionName>#<VersionName>Edited</VersionName>#' "$UNIX_DIR/Velmora.xml"
# An adapter named outside the ANSI code page, for velmora-search -i below.
ip link add сеть1 netns "$NS_SRV" type veth peer name peer1 netns "$NS_SRV" \
    && ip -n "$NS_SRV" addr add 10.89.0.1/24 dev сеть1 && ip -n "$NS_SRV" link set сеть1 up \
    && ip -n "$NS_SRV" link set peer1 up || fail "adapter сеть1"
# Wine's msiexec does not wait for a running service to stop: stop it first.
win sc stop Velmora > /dev/null && until_ok 30 state_is STOPPED || fail "stop before the upgrade"
msi same /i "Z:${WORKDIR//\//\\}\\same.msi" "INSTALLDIR=C:\\Сервер"
[ "$(products)" -eq 1 ] || fail "a rebuild of the same version installed beside it"
# The rebuild started the service again: stopped for the upgrade as above.
until_ok 10 state_is RUNNING && win sc stop Velmora > /dev/null && until_ok 30 state_is STOPPED \
    || fail "stop after the rebuild"
msi upgrade /i "Z:${WORKDIR//\//\\}\\next.msi" || fail "upgrade: msiexec $?: $(grep -a -E 'velmora-setup|Return value 3' "$WORKDIR/upgrade.log")"
until_ok 10 state_is RUNNING && until_ok 20 ctl_running || fail "not running after the upgrade"
source_key && [ "$(products)" -eq 1 ] && ! grep -a -q 'event source Velmora removed' "$WORKDIR"/upgrade*.log \
    || fail "the upgrade removed the event source or left the old product"
grep -q '<VersionName>Edited</VersionName>' "$UNIX_DIR/Velmora.xml" || fail "the edit was lost"
[ "$(win 'C:\Сервер\velmora-service.exe' --version | tr -d '\r')" = "velmora-service $next" ] || fail "version after the upgrade"
ask 4 > "$WORKDIR/upgraded.replies" && grep -q "$(printf Edited | od -An -tx1 | tr -d ' \n')" "$WORKDIR/upgraded.replies" \
    || fail "the upgraded service does not answer with the edit"
win 'C:\Сервер\velmora-search.exe' -i сеть1 --json -t 2 > "$WORKDIR/search.json" && grep -q Edited "$WORKDIR/search.json" \
    || fail "velmora-search -i сеть1: status $?, $(cat "$WORKDIR/search.json")"

win sc stop Velmora > /dev/null && until_ok 30 state_is STOPPED || fail "stop before the uninstall"
msi uninstall /x "Z:${WORKDIR//\//\\}\\next.msi" || fail "msiexec /x: $?"
! win sc query Velmora > /dev/null 2>&1 || fail "service still there after the uninstall"
setup_did uninstall 'event source Velmora removed' && ! source_key && [ "$(products)" -eq 0 ] \
    || fail "unconfigure did not run at the uninstall: $(cat "$WORKDIR/uninstall.log")"
for f in velmora.exe velmoractl.exe velmora-search.exe velmora-service.exe; do
    [ ! -e "$UNIX_TOP/$f" ] || fail "$f left after the uninstall"
done
grep -q '<VersionName>Edited</VersionName>' "$UNIX_DIR/Velmora.xml" && [ -s "$UNIX_DIR/log/Velmora-$first_pid.log" ] \
    || fail "settings or logs removed by the uninstall"
pass
