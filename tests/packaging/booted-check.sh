#!/usr/bin/env bash
# The package's units under a real systemd: a Debian 12 root booted by systemd-nspawn -b,
# the built package installed in it, the virtual switcher on a pty, and incycler-rotate@lobby
# enabled. Then, with the journal lines of each:
#   - start at boot, ready (Type=notify) with its status line, a private runtime directory;
#   - the switcher's power cut: the line lost, the switcher back off, asked and switched on;
#   - a hang (the process stopped): killed by the watchdog and started again, after which the
#     pty the killed process held is left in exclusive mode, and is said to be;
#   - refused options: failed once, not restarted;
#   - the log cut back while it runs, with another writer appending;
#   - what the sandbox lets it write, a device its policy does not admit, a hidden holder;
#   - incycler-web serving the rotation's owner, then a --serve owner that does not rotate.
#
#   tests/packaging/booted-check.sh [package.deb]      (default: what scripts/package builds)
#
# The root is /work/ct/root, or INCYCLER_CT_ROOT; it is made once (debootstrap, about 1 GB,
# needs Debian's mirror) and reused; the package is installed into it afresh on every run. Needs
# root, systemd-container and debootstrap (installed when missing). Not for CI: it boots a
# whole system and takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."

root=${INCYCLER_CT_ROOT:-/work/ct/root}
deb=${1:-}
[ "$(id -u)" -eq 0 ] || { echo "booted-check: needs root" >&2; exit 2; }

say() { printf '\n=== %s\n' "$*"; }
fail() { echo "booted-check: FAIL: $*" >&2; failures=$((failures + 1)); }
failures=0

for tool in systemd-nspawn:systemd-container debootstrap:debootstrap; do
    command -v "${tool%%:*}" >/dev/null || scripts/install-deps "${tool#*:}"
done

if [ ! -x "$root/usr/lib/systemd/systemd" ]; then
    say "making the root $root (debootstrap)"
    rm -rf "$root.partial"
    mkdir -p "$(dirname "$root")"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,libnss-systemd,procps \
        bookworm "$root.partial"
    mv "$root.partial" "$root"
fi

[ -n "$deb" ] || deb=$(scripts/package | tail -n 1)
say "installing $(basename "$deb")"
cp "$deb" "$root/var/tmp/incycler.deb"
systemd-nspawn -q -D "$root" --register=no --keep-unit \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall /var/tmp/incycler.deb |
    tail -n 3

# The test's own settings: the switcher behind /run/incycler-ports/COM5, a 5 s rotation, and an
# instance whose options are refused.
mkdir -p "$root/etc/incycler" "$root/etc/systemd/system"
cat >"$root/etc/incycler/rotate-lobby.conf" <<'EOF'
INCYCLER_ROTATE="--port com05 --model rsx24p --inputs 1,3 --every 5s"
INCYCLER_PORT_DIR=/run/incycler-ports
EOF
cat >"$root/etc/incycler/rotate-bad.conf" <<'EOF'
INCYCLER_ROTATE="--port com05 --model rsx99 --inputs 1,3 --every 5s"
EOF
cat >"$root/etc/incycler/rotate-probe.conf" <<'EOF'
INCYCLER_ROTATE=
EOF
# The probe instance runs a shell in the unit's sandbox instead of the program.
mkdir -p "$root/etc/systemd/system/incycler-rotate@probe.service.d"
cat >"$root/etc/systemd/system/incycler-rotate@probe.service.d/probe.conf" <<'EOF'
[Service]
Type=oneshot
Restart=no
WatchdogSec=0
ExecStart=
ExecStart=/bin/sh -c 'id; find / -path /proc -prune -o -path /sys -prune -o -path /dev/pts -prune -o -writable -print 2>/dev/null; exit 0'
EOF
# The switcher, as the service's user may open it: its pty given to dialout.
cat >"$root/etc/systemd/system/incycler-sim.service" <<'EOF'
[Unit]
Description=virtual switcher on COM5
[Service]
ExecStartPre=/bin/mkdir -p /run/incycler-ports
ExecStart=/opt/incycler/incycler-sim --model A --com 5 --port-dir /run/incycler-ports --trace
ExecStartPost=/bin/sh -c 'for i in $(seq 50); do [ -L /run/incycler-ports/COM5 ] && break; sleep 0.1; done; d=$(readlink -f /run/incycler-ports/COM5); chgrp dialout "$d"; chmod 660 "$d"'
[Install]
WantedBy=multi-user.target
EOF
ln -sf /etc/systemd/system/incycler-sim.service \
    "$root/etc/systemd/system/multi-user.target.wants/incycler-sim.service"
ln -sf /usr/lib/systemd/system/incycler-rotate@.service \
    "$root/etc/systemd/system/multi-user.target.wants/incycler-rotate@lobby.service"
: >"$root/var/opt/incycler/InCycler.log" # made by the package's postinst

say "booting $root"
# On a host with the legacy cgroup hierarchies, the container gets cgroups of its own.
for hierarchy in systemd unified; do
    if [ -d "/sys/fs/cgroup/$hierarchy" ]; then
        mkdir -p "/sys/fs/cgroup/$hierarchy/incycler-ct"
        echo $$ >"/sys/fs/cgroup/$hierarchy/incycler-ct/cgroup.procs"
    fi
done
console=$(mktemp)
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -b -D "$root" --register=no --keep-unit \
    --private-network --console=read-only --system-call-filter=bpf >"$console" 2>&1 &
nspawn=$!
stop() {
    if kill -0 "$nspawn" 2>/dev/null; then
        [ -z "${init:-}" ] || in_ct systemctl poweroff >/dev/null 2>&1 || true
        for _ in $(seq 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 1; done
        kill "$nspawn" 2>/dev/null || true
        wait "$nspawn" 2>/dev/null || true
    fi
    rm -f "$console"
}
trap stop EXIT
init=""
for _ in $(seq 60); do
    init=$(ps -o pid= --ppid "$nspawn" | head -n 1 | tr -d ' ' || true)
    [ -n "$init" ] && [ "$(ps -o comm= -p "$init")" = systemd ] && break
    init=""
    sleep 1
done
[ -n "$init" ] || { cat "$console"; echo "booted-check: the container did not boot" >&2; exit 1; }
in_ct() { nsenter -t "$init" -m -u -i -n -p -C -r -w "$@"; }
in_ct systemctl is-system-running --wait >/dev/null || true
in_ct systemctl --version | head -n 1
journal() { in_ct journalctl -b -q -o short-monotonic --no-hostname "$@"; }
rotation=incycler-rotate@lobby.service
pid_of() { in_ct systemctl show -P MainPID "$1"; }

say "1. started at boot, ready with its status line; runtime directory private"
for _ in $(seq 60); do [ "$(in_ct systemctl is-active $rotation)" = active ] && break; sleep 1; done
in_ct systemctl status --no-pager -n 0 $rotation | grep -E 'Loaded|Active|Status|Main PID'
status=$(in_ct systemctl show -P StatusText $rotation)
[[ $status == "rotating on COM5 (/dev/pts/"* ]] || fail "status line: '$status'"
mode=$(in_ct stat -c %a /run/incycler-rotate-lobby)
echo "runtime directory: $mode"
[ "$mode" = 700 ] || fail "runtime directory mode $mode"
journal -u $rotation | grep -q 'wrong permissions' && fail "Qt warns about the runtime directory"
journal -u $rotation

say "2. the switcher's power cut: line lost, back off, asked and switched on again"
in_ct systemctl stop incycler-sim
sleep 12 # two ticks without a port
in_ct env INCYCLER_PORT_DIR=/run/incycler-ports /usr/bin/InCycler --status com05 ||
    true # nobody serves it while the port is gone
in_ct systemctl show -P StatusText $rotation
in_ct systemctl start incycler-sim
sleep 8
in_ct env INCYCLER_PORT_DIR=/run/incycler-ports /usr/bin/InCycler --status com05 || true
echo
frames=$(journal -u incycler-sim --since=-8s -o cat)
echo "$frames"
grep -q 'PWR1' <<<"$frames" || fail "the switcher back off was not switched on again"
[ "$(grep -c 'PWR1' <<<"$frames")" = 1 ] || fail "switched on more than once"
in_ct systemctl show -P StatusText $rotation

say "3. a hang: the process stopped, the watchdog kills it, it is started again"
before=$(pid_of $rotation)
in_ct kill -STOP "$before"
for _ in $(seq 60); do
    now=$(pid_of $rotation)
    [ "$now" != "$before" ] && [ "$now" != 0 ] && break
    sleep 1
done
[ "$(pid_of $rotation)" != "$before" ] || fail "the stopped process was not replaced"
sleep 3
journal -u $rotation --since=-70s | grep -E 'Watchdog|Killing|SIGABRT|Scheduled restart|Started|InCycler\[' || true
echo "--- the pty the killed process held (TIOCEXCL stays until the switcher's end closes):"
journal -u $rotation -o cat --since=-10s | grep 'held exclusively' ||
    fail "the pty left in exclusive mode is not said as such"
in_ct systemctl show -P StatusText $rotation
in_ct systemctl restart incycler-sim
sleep 8
in_ct systemctl show -P StatusText $rotation

say "4. refused options: failed once, not restarted"
in_ct systemctl start incycler-rotate@bad || true
sleep 12
in_ct systemctl status --no-pager -n 3 incycler-rotate@bad || true
restarts=$(in_ct systemctl show -P NRestarts incycler-rotate@bad)
echo "NRestarts=$restarts"
[ "$restarts" = 0 ] || fail "refused options restarted $restarts times"

say "5. the log cut back while running, another writer appending"
log=/var/opt/incycler/InCycler.log
in_ct systemctl stop incycler-sim # an outage: one record a tick
in_ct sh -c "for i in \$(seq 30000); do echo \"2026/01/01,0:00:00.000,1,情報,TFormMain_Filler,\$i\"; done >>$log"
echo "lines after the other writer: $(in_ct wc -l <"$root$log")"
sleep 12
lines=$(in_ct wc -l <"$root$log")
echo "lines a few ticks later: $lines"
[ "$lines" -le 20000 ] || fail "the log was not cut back while running ($lines lines)"
in_ct tail -n 2 "$log"
in_ct systemctl start incycler-sim

say "6. what the sandbox lets it write"
in_ct systemctl start incycler-rotate@probe || true
journal -u incycler-rotate@probe -o cat | grep -v '^incycler-rotate@probe\|Finished\|Starting\|Deactivated' || true
in_ct ls -ld /run/incycler-rotate-lobby /run/incycler-rotate-probe 2>&1 || true

say "6. a device its policy does not admit; a holder the sandbox hides"
in_ct mkdir -p /run/incycler-amaports
in_ct sh -c 'mknod /dev/ttyAMA0 c 204 64 2>/dev/null; chgrp dialout /dev/ttyAMA0; chmod 660 /dev/ttyAMA0; ln -sf /dev/ttyAMA0 /run/incycler-amaports/COM5'
conf="$root/etc/incycler/rotate-lobby.conf"
cp "$conf" "$conf.saved"
sed -i 's|^INCYCLER_PORT_DIR=.*|INCYCLER_PORT_DIR=/run/incycler-amaports|' "$conf"
in_ct ls -l /dev/ttyAMA0 /run/incycler-amaports/COM5
in_ct systemctl restart $rotation
sleep 3
journal -u $rotation -o cat --since=-4s | grep 'InCycler:' || true
journal -u $rotation -o cat --since=-4s | grep -q 'not admitted by the device policy' ||
    fail "the device policy's refusal is not said"
mv "$conf.saved" "$conf"
in_ct systemctl stop $rotation
device=$(in_ct readlink -f /run/incycler-ports/COM5)
in_ct systemd-run -q --unit=holder flock "$device" sleep 600
sleep 1
in_ct systemctl start $rotation
sleep 3
journal -u $rotation -o cat --since=-4s | grep 'InCycler:' || true
journal -u $rotation -o cat --since=-4s | grep -q 'hidden from this service' ||
    fail "the hidden holder is not said as such"
in_ct systemctl stop holder

say "7. the network service: the owner served over HTTP; an owner that does not rotate"
in_ct sh -c 'umask 077; od -An -N32 -tx1 /dev/urandom | tr -d " \n" >/etc/incycler/web-token'
token=$(cat "$root/etc/incycler/web-token")
in_ct systemctl start incycler-web
# The host's curl in the container's network, where the service listens on its loopback.
web() { nsenter -t "$init" -n curl -s -m 10 -w ' %{http_code}\n' "$@"; }
api=http://127.0.0.1:8731/api/ports
bearer="Authorization: Bearer $token"
listed() { web -H "$bearer" $api | grep -q "\"pid\":$(pid_of "$1")," && return; sleep 1; false; }
for _ in $(seq 30); do listed $rotation && break; done
web -H "$bearer" $api
listed $rotation || fail "the web service does not list the rotation's owner"
web -H "$bearer" -d '{"input":2}' $api/COM5/input
sleep 1
journal -u incycler-sim -o cat --since=-2s | grep -q SRC2 || fail "POST input 2 sent no SRC2"
web $api
[[ $(web $api) == *" 401" ]] || fail "a client without the token was let in"
in_ct systemctl stop $rotation
printf 'INCYCLER_FORM=--serve\nINCYCLER_ROTATE="--port com05 --model rsx24p"\nINCYCLER_PORT_DIR=/run/incycler-ports\n' \
    >"$root/etc/incycler/rotate-desk.conf"
desk=incycler-rotate@desk.service
in_ct systemctl start $desk
for _ in $(seq 30); do listed $desk && break; done
in_ct systemctl show -P StatusText $desk
[[ $(in_ct systemctl show -P StatusText $desk) == "serving COM5 (/dev/pts/"* ]] ||
    fail "the --serve owner's status line"
listed $desk || fail "the web service does not list the --serve owner"
web -H "$bearer" -d '{"input":3}' $api/COM5/input
sleep 6 # a rotation at 5 s would have sent a select meanwhile
frames=$(journal -u incycler-sim -o cat --since=-7s)
echo "$frames"
[ "$(grep -c SRC <<<"$frames")" = 1 ] || fail "the --serve owner sent selects of its own"
in_ct systemctl stop $desk
journal -u incycler-web -o cat | grep incycler-web: || true
in_ct systemd-analyze security --offline=yes --no-pager incycler-web.service | tail -n 1
in_ct systemctl stop incycler-web

say "exposure"
in_ct systemd-analyze security --offline=yes --no-pager $rotation | tail -n 1

say "stop"
in_ct systemctl stop $rotation
journal -u $rotation -o cat -n 3
if [ "$failures" -ne 0 ]; then
    echo "booted-check: $failures check(s) failed" >&2
    exit 1
fi
echo "booted-check: all checks passed"
