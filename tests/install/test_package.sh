#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get, starts the installed program from the PATH
# as a user who may not write the program folder, checks that the settings go to that user's own
# folder, and removes the package again, also when a check fails.
# Usage: test_package.sh BUILD_DIR
set -euo pipefail

build_dir=$1
skipped=77
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing a package needs root"
    exit "$skipped"
fi
state=$(dpkg-query -W -f='${db:Status-Status}' thermavo 2>/dev/null || true)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
    echo "the package thermavo is on this machine already ($state); this test would replace and"
    echo "remove it. Remove it first: apt-get remove thermavo"
    exit 1
fi

work=$(mktemp -d)
# apt's download user and the test's user read the package and reach the home folder below.
chmod 755 "$work"
program=""
installed=0
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=300 "$@"
}
cleanup() {
    if [ -n "$program" ]; then
        kill -KILL "$program" 2>/dev/null || true
    fi
    if [ "$installed" = 1 ]; then
        apt_get remove -y thermavo >/dev/null || echo "could not remove the package thermavo" >&2
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/package" >"$work/cpack.out" ||
    { cat "$work/cpack.out"; exit 1; }
debs=("$work"/package/*.deb)
check "cpack makes one Debian package" test ${#debs[@]} = 1 -a -f "${debs[0]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
check "the package is named thermavo_${version}_amd64.deb" \
    test "$(basename "$deb")" = "thermavo_${version}_$(dpkg --print-architecture).deb"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 fonts-liberation \
    libqcustomplot2.1-qt6; do
    check "the package depends on $library" grep -q "\\b$library\\b" <<<"$depends"
done

installed=1
apt_get install -y --no-install-recommends "$deb" >"$work/apt.out" 2>&1 ||
    { cat "$work/apt.out"; exit 1; }

for name in thermavo thermavo-sim; do
    check "$name is on the PATH in /usr/bin" test "$(command -v "$name")" = "/usr/bin/$name"
    check "/usr/bin/$name leads into /usr/lib/thermavo" \
        test "$(readlink -f "/usr/bin/$name")" = "/usr/lib/thermavo/$name"
done
desktop=/usr/share/applications/thermavo.desktop
check "the menu entry starts thermavo from the PATH" grep -qxF "Exec=thermavo" "$desktop"
check "the menu entry names the icon" grep -qxF "Icon=thermavo" "$desktop"
check "the 48x48 icon is installed" test -s /usr/share/icons/hicolor/48x48/apps/thermavo.png
check "the scalable icon is installed" grep -q '<svg' /usr/share/icons/hicolor/scalable/apps/thermavo.svg
check "the licence is where Debian keeps it" grep -q '^License: GPL-3+' /usr/share/doc/thermavo/copyright

# The installed programs run as "nobody", for whom the program folder is read-only as for any user;
# root could write there and would keep its settings beside the executable.
user_id=$(id -u nobody)
group_id=$(id -g nobody)
home="$work/home"
mkdir "$home"
chown "$user_id:$group_id" "$home"
as_user=(setpriv --reuid="$user_id" --regid="$group_id" --clear-groups
    env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin QT_QPA_PLATFORM=offscreen)
folder_is_read_only() { ! "${as_user[@]}" test -w /usr/lib/thermavo; }
check "the program folder is read-only for the user" folder_is_read_only
simulator_runs() { "${as_user[@]}" thermavo-sim --help >/dev/null; }
check "thermavo-sim --help runs from the PATH" simulator_runs

# Starts thermavo from the PATH as the user, with the environment assignments given, and closes
# it as a logout would; status tells how it ended.
run_and_close() {
    "${as_user[@]}" "$@" thermavo >>"$work/program.out" 2>&1 &
    program=$!
    sleep 3
    status="not running after 3 s"
    if kill -0 "$program" 2>/dev/null; then
        kill -TERM "$program"
        status=timeout
        for _ in $(seq 100); do
            kill -0 "$program" 2>/dev/null || break
            sleep 0.1
        done
    fi
    if kill -0 "$program" 2>/dev/null; then
        kill -KILL "$program"
    elif [ "$status" = timeout ]; then
        status=0
        wait "$program" || status=$?
    fi
    program=""
}
# The settings file has Windows line ends.
has_line() { [ -f "$1" ] && tr -d '\r' <"$1" | grep -qxF "$2"; }

settings="$home/.config/thermavo/thermavo.INI"
run_and_close
check "thermavo ends with status 0 on SIGTERM (got $status)" test "$status" = 0
check "the settings file is in ~/.config/thermavo" has_line "$settings" "[TMainForm]"
check "it holds the window position" grep -q '^NormalPos=[-0-9]*,[-0-9]*,' "$settings"
check "it holds the board row" has_line "$settings" "UsedBoardComboBox.ItemIndex=0"
check "no settings file in the program folder" test ! -e /usr/lib/thermavo/thermavo.INI

# The next start reads the same file: a board row set there comes back and is saved again.
sed -i 's/^UsedBoardComboBox.ItemIndex=0/UsedBoardComboBox.ItemIndex=2/' "$settings" || true
run_and_close
check "the second run ends with status 0 (got $status)" test "$status" = 0
check "the second run restored and saved the board row" \
    has_line "$settings" "UsedBoardComboBox.ItemIndex=2"

run_and_close XDG_CONFIG_HOME="$home/elsewhere"
check "a run with XDG_CONFIG_HOME ends with status 0 (got $status)" test "$status" = 0
check "its settings file is in \$XDG_CONFIG_HOME/thermavo" \
    has_line "$home/elsewhere/thermavo/thermavo.INI" "[TMainForm]"
if [ "$failures" -gt 0 ]; then
    echo "--- program output"
    cat "$work/program.out"
fi

installed=0
apt_get remove -y thermavo >"$work/apt.out" 2>&1 || { cat "$work/apt.out"; exit 1; }
for path in /usr/lib/thermavo /usr/bin/thermavo /usr/bin/thermavo-sim "$desktop"; do
    check "removing the package removes $path" test ! -e "$path"
done
check "removing the package keeps the user's settings" has_line "$settings" "[TMainForm]"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
