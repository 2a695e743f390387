#!/usr/bin/env bash
# Installs the Debian package on this machine, checks its files, runs the installed InCycler
# against the installed incycler-sim without a display, then removes and purges the package and
# checks that nothing is left. Needs root and dpkg: meant for a disposable CI machine or container.
#
#   tests/packaging/install-test.sh               builds the package with scripts/package
#   INCYCLER_DEB=path/to.deb tests/packaging/install-test.sh   uses a package built before
#
# Refuses to run when the package incycler is already installed, since the test purges it (and
# with it /opt/incycler/InCycler.log).
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

app_dir=/opt/incycler
log=$app_dir/InCycler.log
files=(
    "$app_dir/InCycler"
    "$app_dir/incycler-sim"
    /usr/share/applications/incycler.desktop
    /usr/share/icons/hicolor/scalable/apps/incycler.svg
    /usr/share/man/man1/InCycler.1.gz
    /usr/share/man/man1/incycler-sim.1.gz
    /usr/share/doc/incycler/examples/incycler-autostart.desktop
)
links=(/usr/bin/InCycler /usr/bin/incycler-sim)

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
[ -f "$log" ] || fail "$log was not created by the package's postinst"
perm=$(stat -c '%U:%G %a' "$log")
[ "$perm" = "root:dialout 664" ] || fail "$log is '$perm', not 'root:dialout 664'"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate /usr/share/applications/incycler.desktop ||
        fail "the installed desktop entry does not validate"
fi
note "files in place"

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

perm=$(stat -c '%U:%G %a' "$log")
[ "$perm" = "root:dialout 664" ] || fail "after the runs $log is '$perm', not 'root:dialout 664'"

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

# --- removal and purge --------------------------------------------------------------------
dpkg -r incycler || fail "dpkg -r incycler failed"
for f in "${files[@]}" "${links[@]}"; do
    [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f is still there after dpkg -r"
done
[ -f "$log" ] || fail "dpkg -r removed $log; only a purge should"
note "removed; the log is kept"

dpkg -P incycler || fail "dpkg -P incycler failed"
installed=0
[ ! -e "$log" ] || fail "$log is still there after dpkg -P"
[ ! -e "$app_dir" ] || fail "$app_dir is still there after dpkg -P: $(ls -A "$app_dir")"
if dpkg-query -W -f='${Status}' incycler 2>/dev/null | grep -q "installed"; then
    fail "dpkg still lists incycler after the purge"
fi
note "purged; nothing left"
note "PASS"
