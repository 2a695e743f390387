#!/usr/bin/env bash
# Checks the Debian package with lintian, installs it on this machine, checks its files, the
# hardening of its programs and its AppStream metadata, runs the installed InCycler against the
# installed incycler-sim without a display, then removes and purges the package and checks that
# nothing is left. Then installs it again over what an earlier version left (a regular log file
# beside the program) and checks that the log is moved with its content, owner, group and mode.
# Needs root and dpkg: meant for a disposable CI machine or container. Installs the checking
# tools it lacks (lintian, devscripts, appstream, desktop-file-utils).
#
#   tests/packaging/install-test.sh               builds the package with scripts/package
#   INCYCLER_DEB=path/to.deb tests/packaging/install-test.sh   uses a package built before
#   INCYCLER_OLD_DEB=path/to/earlier.deb ...      upgrades from that package, not a made-up layout
#
# Refuses to run when the package incycler is already installed, since the test purges it (and
# with it the log).
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() {
    echo "install-test: FAIL: $*" >&2
    exit 1
}
note() { echo "install-test: $*"; }

# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND until it succeeds or the time is up.
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "timed out after ${seconds}s waiting for $what"
        sleep 0.05
    done
}

[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs and purges the package)"
command -v dpkg >/dev/null || fail "dpkg not found: this test needs a Debian system"
if dpkg-query -W -f='${Status}' incycler 2>/dev/null | grep -q "installed"; then
    fail "the package incycler is already installed; purge it first (dpkg -P incycler)"
fi

scripts/install-deps lintian devscripts appstream desktop-file-utils

app_dir=/opt/incycler
log_link=$app_dir/InCycler.log
log_dir=/var/opt/incycler
log=$log_dir/InCycler.log
icon_sizes=(16 22 24 32 48 64 128 256)
metainfo=/usr/share/metainfo/example.c_seed_3c975f79.incycler.metainfo.xml
files=(
    "$app_dir/InCycler"
    "$app_dir/incycler-sim"
    "$app_dir/incycler-web"
    /usr/share/applications/incycler.desktop
    /usr/share/icons/hicolor/scalable/apps/incycler.svg
    /usr/share/man/man1/InCycler.1.gz
    /usr/share/man/man1/incycler-sim.1.gz
    /usr/share/man/man1/incycler-web.1.gz
    /usr/share/doc/incycler/examples/web.conf
    /usr/share/doc/incycler/WEB-API.md
    /usr/lib/systemd/system/incycler-web.service
    /usr/share/doc/incycler/examples/incycler-autostart.desktop
    /usr/share/doc/incycler/examples/rotate-lobby.conf
    /usr/share/doc/incycler/CONTROL.md
    /usr/lib/systemd/system/incycler-rotate@.service
    /usr/lib/tmpfiles.d/incycler.conf
    /usr/share/doc/incycler/copyright
    /usr/share/doc/incycler/changelog.gz
    /usr/share/lintian/overrides/incycler
    "$metainfo"
)
for size in "${icon_sizes[@]}"; do
    files+=("/usr/share/icons/hicolor/${size}x${size}/apps/incycler.png")
done
links=(/usr/bin/InCycler /usr/bin/incycler-sim /usr/bin/incycler-web)

tmp=$(mktemp -d)
sim_pid=""
installed=0
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ $installed -eq 1 ]; then
        note "purging the package left behind by the failed run"
        dpkg -P incycler >/dev/null 2>&1 || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- the package --------------------------------------------------------------------------
if [ -n "${INCYCLER_DEB:-}" ]; then
    deb=$INCYCLER_DEB
else
    note "building the package with scripts/package"
    scripts/package | tee "$tmp/package.out" || fail "scripts/package failed (see above)"
    deb=$(tail -n 1 "$tmp/package.out")
fi
[ -f "$deb" ] || fail "no package file at '$deb'"

# lintian as an ordinary user, as it asks; its exit status counts every error and warning that
# the package's overrides do not explain.
chmod 0711 "$tmp"
mkdir -m 0755 "$tmp/lintian"
cp "$deb" "$tmp/lintian/"
(cd / && runuser -u nobody -- env HOME="$tmp/lintian" TMPDIR="$tmp/lintian" \
    lintian --fail-on error,warning "$tmp/lintian/$(basename "$deb")") >"$tmp/lintian.out" 2>&1 ||
    fail "lintian reports errors or warnings: $(cat "$tmp/lintian.out")"
note "lintian: no errors, no warnings"

# Every package in Depends once (dpkg-shlibdeps adds the linked libraries), a Japanese font among
# them, and no entry for /opt itself, which is the system's.
depends=$(dpkg-deb -f "$deb" Depends)
twice=$(tr ',|' '\n\n' <<<"$depends" | sed -E 's/^ *//; s/[ (].*//' | sort | uniq -d)
[ -z "$twice" ] || fail "Depends names these more than once: $twice (Depends: $depends)"
grep -Eq '(^|, )fonts-noto-cjk \| fonts-ipafont-gothic \| fonts-vlgothic(,|$)' <<<"$depends" ||
    fail "Depends lacks 'fonts-noto-cjk | fonts-ipafont-gothic | fonts-vlgothic': $depends"
! dpkg-deb -c "$deb" | grep -q ' \./opt/$' || fail "the package lists ./opt/ as its own"
note "Depends: each package once, with a Japanese font; /opt not the package's"

note "installing $deb"
installed=1
dpkg -i "$deb" || fail "dpkg -i $deb failed (missing dependencies? see above)"
dpkg-query -W -f='${Status}' incycler | grep -q "install ok installed" ||
    fail "dpkg does not list incycler as installed"

# --- files in place -----------------------------------------------------------------------
for f in "${files[@]}"; do
    [ -f "$f" ] || fail "$f is missing after installation"
done
[ -x "$app_dir/InCycler" ] || fail "$app_dir/InCycler is not executable"
for l in "${links[@]}"; do
    [ -L "$l" ] || fail "$l is not a symbolic link"
    target=$(readlink "$l")
    [ "$target" = "$app_dir/$(basename "$l")" ] || fail "$l points to '$target', not $app_dir/$(basename "$l")"
done
# The PNG's header holds its width and height as two 32-bit big-endian numbers.
for size in "${icon_sizes[@]}"; do
    png=/usr/share/icons/hicolor/${size}x${size}/apps/incycler.png
    read -r w0 w1 w2 w3 h0 h1 h2 h3 < <(od -An -tu1 -j16 -N8 "$png")
    width=$(((w0 << 24) | (w1 << 16) | (w2 << 8) | w3))
    height=$(((h0 << 24) | (h1 << 16) | (h2 << 8) | h3))
    [ "$width $height" = "$size $size" ] || fail "$png is ${width}x${height}, not ${size}x${size}"
done
[ -L "$log_link" ] || fail "$log_link is not a symbolic link"
[ "$(readlink "$log_link")" = "$log" ] || fail "$log_link points to '$(readlink "$log_link")', not $log"
[ -f "$log" ] && [ ! -L "$log" ] || fail "$log was not created by the package's postinst"
perm=$(stat -c '%U:%G %a' "$log")
[ "$perm" = "root:dialout 660" ] || fail "$log is '$perm', not 'root:dialout 660'"
# The owners' sockets: a directory no stranger can put a file in, made now and at every boot.
perm=$(stat -c '%U:%G %a' /run/incycler 2>/dev/null) || fail "postinst did not make /run/incycler"
[ "$perm" = "root:dialout 2770" ] || fail "/run/incycler is '$perm', not 'root:dialout 2770'"
grep -qx 'd /run/incycler 2770 root dialout -' /usr/lib/tmpfiles.d/incycler.conf ||
    fail "/usr/lib/tmpfiles.d/incycler.conf does not make /run/incycler"
! dpkg -L incycler | grep -qx /opt || fail "dpkg lists /opt as the package's"
desktop-file-validate /usr/share/applications/incycler.desktop ||
    fail "the installed desktop entry does not validate"
appstreamcli validate --no-net "$metainfo" >"$tmp/appstream.out" 2>&1 ||
    fail "appstreamcli validate --no-net refuses $metainfo: $(cat "$tmp/appstream.out")"
# Debian 12 builds with the protector, _FORTIFY_SOURCE, RELRO and BIND_NOW, not with -fcf-protection.
hardening-check --nocfprotection "$app_dir/InCycler" "$app_dir/incycler-sim" >"$tmp/hardening.out" ||
    fail "hardening-check: $(cat "$tmp/hardening.out")"
# incycler-web is built with the same flags, but none of its own libc calls is one that
# _FORTIFY_SOURCE turns into a checked call (their buffers are Qt's, on the heap, or of sizes the
# compiler proves safe), and hardening-check, which looks for those, would call it unprotected.
hardening-check --nocfprotection --nofortify "$app_dir/incycler-web" >"$tmp/hardening.out" ||
    fail "hardening-check: $(cat "$tmp/hardening.out")"
note "files in place; icons, desktop entry, AppStream metadata and hardening checked"

# check_unit FILE: systemd-analyze has nothing to say about the unit, and its sandbox leaves an
# exposure of at most 2.0 (neither needs a running systemd); sets exposure.
check_unit() {
    systemd-analyze verify "$1" >"$tmp/verify.out" 2>&1 ||
        fail "systemd-analyze verify refuses $1: $(cat "$tmp/verify.out")"
    [ ! -s "$tmp/verify.out" ] || fail "systemd-analyze verify has something to say: $(cat "$tmp/verify.out")"
    exposure=$(systemd-analyze security --offline=yes "$1" |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level for $1"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
        fail "the exposure of $1 is $exposure, more than 2.0"
}

# The rotation's unit, as an instance.
unit=/usr/lib/systemd/system/incycler-rotate@.service
cp "$unit" "$tmp/incycler-rotate@lobby.service"
check_unit "$tmp/incycler-rotate@lobby.service"
note "rotation unit: systemd-analyze verify silent, exposure $exposure"
# A hang is killed by the watchdog, refused options are not restarted, Qt gets the private
# runtime directory it wants, the machine's shared memory is closed.
for line in Type=notify WatchdogSec=30s RestartPreventExitStatus=2 RuntimeDirectoryMode=0700 \
    'InaccessiblePaths=-/dev/shm -/dev/mqueue'; do
    grep -qxF "$line" "$unit" || fail "the rotation unit lacks '$line'"
done
grep -Eq '(^|, )libsystemd0( |,|$)' <<<"$depends" || fail "Depends lacks libsystemd0: $depends"

# The network service's unit the same way, and the service itself linked to no widget, no GUI
# and no serial port: the code that faces the network cannot reach them.
unit=/usr/lib/systemd/system/incycler-web.service
check_unit "$unit"
grep -q '^DevicePolicy=closed' "$unit" && ! grep -q '^DeviceAllow=' "$unit" ||
    fail "$unit must have DevicePolicy=closed and no DeviceAllow="
ldd "$app_dir/incycler-web" >"$tmp/ldd.out" || fail "ldd $app_dir/incycler-web failed"
! grep -E 'libQt6(Gui|Widgets|SerialPort)' "$tmp/ldd.out" ||
    fail "incycler-web links $(grep -oE 'libQt6(Gui|Widgets|SerialPort)[^ ]*' "$tmp/ldd.out" | tr '\n' ' ')"
for lib in libQt6Core libQt6Network libQt6HttpServer libQt6WebSockets; do
    grep -q "$lib" "$tmp/ldd.out" || fail "incycler-web does not link $lib"
done
note "web unit: systemd-analyze verify silent, exposure $exposure; incycler-web links Qt Core, Network, HTTP Server and WebSockets alone"

# --- a command-line run against the virtual switcher, without a display -------------------
# run_incycler ARGS...: runs the installed program headless; sets rc and pid (the program's pid).
run_incycler() {
    set +e
    env -u DISPLAY -u WAYLAND_DISPLAY INCYCLER_PORT_DIR="$tmp/ports" \
        timeout 60 bash -c 'echo $$ >"$0"; exec /usr/bin/InCycler "$@"' "$tmp/pid" "$@" \
        >"$tmp/incycler.out" 2>&1
    rc=$?
    set -e
    pid=$(cat "$tmp/pid")
    [ $rc -ne 124 ] || fail "InCycler $* did not end within 60 s"
}

# has_record PID TYPE PROCEDURE TEXT: the log holds that record, in the expected format, CR LF.
has_record() {
    local pattern
    pattern="^[0-9]{4}/[0-9]{2}/[0-9]{2},[0-9]{1,2}:[0-9]{2}:[0-9]{2}\.[0-9]{3},$1,$2,$3,$4"$'\r'"\$"
    grep -Eq "$pattern" "$log"
}

mkdir "$tmp/ports"
/usr/bin/incycler-sim --model A --com 3 --port-dir "$tmp/ports" --trace \
    >"$tmp/sim.out" 2>"$tmp/sim.err" </dev/null &
sim_pid=$!
sim_ready() {
    kill -0 "$sim_pid" 2>/dev/null || fail "incycler-sim exited: $(cat "$tmp/sim.err")"
    grep -q "as COM3" "$tmp/sim.err"
}
wait_for 10 "incycler-sim to report ready" sim_ready
[ -e "$tmp/ports/COM3" ] || fail "incycler-sim reported ready but $tmp/ports/COM3 does not exist"

run_incycler /com03 /rsx24p /in2
[ $rc -eq 0 ] || fail "InCycler /com03 /rsx24p /in2 exited $rc, not 0; its output: $(cat "$tmp/incycler.out")"
has_record "$pid" 情報 TFormMain_StartupProcess_ForCmdLineParams （引数）引数実行成功 ||
    fail "no record '（引数）引数実行成功' of pid $pid in $log; its tail: $(tail -n 5 "$log")"
sim_got_src2() { grep -Eq '^[0-9]+\.[0-9]+ SRC2$' "$tmp/sim.out"; }
wait_for 10 "incycler-sim to receive SRC2" sim_got_src2
note "input 2 selected: exit 0, record written, SRC2 received"

# No port COM04 in the directory: the open fails.
run_incycler /com04 /rsx24p /in2
[ $rc -eq 1 ] || fail "InCycler /com04 /rsx24p /in2 (no such port) exited $rc, not 1"
has_record "$pid" エラー TFormMain_StartupProcess_ForCmdLineParams （COM）COMポートOPEN失敗 ||
    fail "no record '（COM）COMポートOPEN失敗' of pid $pid in $log"
note "missing port: exit 1, record written"

# A refused model argument without a display.
run_incycler /com03 /rsx99 /in2
[ $rc -eq 2 ] || fail "InCycler /com03 /rsx99 /in2 without a display exited $rc, not 2"
has_record "$pid" エラー TFormMain_DoProcess_ByParamStr （引数）第二引数不正 ||
    fail "no record '（引数）第二引数不正' of pid $pid in $log"
note "refused argument: exit 2, record written"

# The program wrote through the link (has_record reads the file below /var) and left it a link.
[ -L "$log_link" ] || fail "$log_link is no longer a symbolic link after the runs"
perm=$(stat -c '%U:%G %a' "$log")
[ "$perm" = "root:dialout 660" ] || fail "after the runs $log is '$perm', not 'root:dialout 660'"
note "the runs wrote through $log_link into $log"

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

# --- removal and purge --------------------------------------------------------------------
# remove_and_purge WHAT: removes the package, keeping the log, then purges it, leaving nothing.
remove_and_purge() {
    dpkg -r incycler || fail "dpkg -r incycler failed ($1)"
    for f in "${files[@]}" "${links[@]}"; do
        [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f is still there after dpkg -r ($1)"
    done
    [ -L "$log_link" ] && [ -f "$log" ] || fail "dpkg -r removed the log or its link; only a purge should ($1)"
    [ ! -e /run/incycler ] || fail "/run/incycler is still there after dpkg -r ($1)"
    note "removed; the log is kept ($1)"

    dpkg -P incycler >"$tmp/purge.out" 2>&1 || fail "dpkg -P incycler failed ($1): $(cat "$tmp/purge.out")"
    installed=0
    ! grep -i warning "$tmp/purge.out" || fail "dpkg -P warns ($1)"
    for d in "$log_dir" "$app_dir"; do
        [ ! -e "$d" ] || fail "$d is still there after dpkg -P ($1): $(ls -A "$d")"
    done
    if dpkg-query -W -f='${Status}' incycler 2>/dev/null | grep -q "installed"; then
        fail "dpkg still lists incycler after the purge ($1)"
    fi
    note "purged; neither $log_dir nor $app_dir is left ($1)"
}
remove_and_purge "fresh install"

# --- upgrade from a version that kept the log as a regular file beside the program --------
if [ -n "${INCYCLER_OLD_DEB:-}" ]; then
    note "installing the earlier package $INCYCLER_OLD_DEB"
    installed=1
    dpkg -i "$INCYCLER_OLD_DEB" || fail "dpkg -i $INCYCLER_OLD_DEB failed"
else
    note "making the layout an earlier version left: a regular $log_link"
    mkdir -p "$app_dir"
fi
[ ! -L "$log_link" ] || fail "$log_link is a link before the upgrade: not an earlier layout"
# Content, owner, group and mode unlike what postinst would give a new log.
printf '2024/05/01,9:05:03.042,4312,情報,earlier,record\r\n' >>"$log_link"
chown nobody:dialout "$log_link"
chmod 0640 "$log_link"
cp -p "$log_link" "$tmp/old.log"
old_perm=$(stat -c '%U:%G %a' "$log_link")

installed=1
dpkg -i "$deb" || fail "dpkg -i $deb over the earlier layout failed"
[ -L "$log_link" ] && [ "$(readlink "$log_link")" = "$log" ] ||
    fail "after the upgrade $log_link is not a link to $log"
cmp -s "$tmp/old.log" "$log" || fail "after the upgrade $log differs from the earlier log"
perm=$(stat -c '%U:%G %a' "$log")
[ "$perm" = "$old_perm" ] || fail "after the upgrade $log is '$perm', not '$old_perm' as before"
note "upgrade: the log moved to $log with its content and '$perm'"
remove_and_purge "upgrade"
note "PASS"
