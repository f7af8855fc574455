#!/usr/bin/env bash
# Installs the built programs for a throw-away user, starts the installed program through its
# link, reinstalls, uninstalls, and checks the TGZ archive holds the same program folder.
# Usage: test_install.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

source_dir=$1
build_dir=$2
work=$(mktemp -d)
program=""
cleanup() {
    if [ -n "$program" ]; then
        kill -KILL "$program" 2>/dev/null || true
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# A blank in the home folder checks the quoting of the menu entry's command.
export HOME="$work/home of tester"
unset PREFIX XDG_DATA_HOME XDG_CONFIG_HOME
export QT_QPA_PLATFORM=offscreen
local_dir="$HOME/.local"
program_dir="$local_dir/opt/thermavo"
settings="$program_dir/thermavo.INI"
manifest="$program_dir/install-manifest.txt"

# Files of the user's own that share the install's folders must survive it.
mkdir -p "$local_dir/bin" "$local_dir/share/applications"
echo "#!/bin/sh" >"$local_dir/bin/own-tool"
echo "[Desktop Entry]" >"$local_dir/share/applications/own.desktop"
listing() { (cd "$HOME" && find . -path ./.cache -prune -o -print | sort); }
before=$(listing)

"$source_dir/scripts/install" --from-build "$build_dir"

for name in thermavo thermavo-sim; do
    check "$name is in the program folder" test -x "$program_dir/$name"
    check "bin/$name links to the program folder" \
        test "$(readlink "$local_dir/bin/$name")" = "$program_dir/$name"
done
desktop="$local_dir/share/applications/thermavo.desktop"
check "the menu entry exists" test -f "$desktop"
check "the menu entry starts the installed program, quoted" \
    grep -qxF "Exec=\"$program_dir/thermavo\"" "$desktop"
for line in Type=Application Name=Thermavo Icon=thermavo Terminal=false \
    "Categories=Science;Utility;"; do
    check "the menu entry has $line" grep -qxF "$line" "$desktop"
done
check "the menu entry has a comment" grep -q '^Comment=.' "$desktop"
# A PNG starts with its signature and the IHDR chunk, whose first fields are width and height.
png_of_size() {
    local header
    header=$(head -c 24 "$1" | od -An -tx1 | tr -d ' \n')
    [ "$header" = "89504e470d0a1a0a0000000d49484452$(printf '%08x%08x' "$2" "$2")" ]
}
icons="$local_dir/share/icons/hicolor"
for size in 16 32 48; do
    check "the ${size}x${size} icon is a PNG of that size" \
        png_of_size "$icons/${size}x${size}/apps/thermavo.png" "$size"
done
check "the scalable icon is installed" grep -q '<svg' "$icons/scalable/apps/thermavo.svg"
check "the manifest exists" test -f "$manifest"
grep -v '^#' "$manifest" >"$work/manifest"
# What the home folder gained is exactly what the manifest lists, plus the manifest itself.
manifest_is_complete() {
    diff <(listing) <({
        echo "$before"
        sed "s|^$HOME|.|; s|/\$||" "$work/manifest"
        echo ./.local/opt/thermavo/install-manifest.txt
    } | sort)
}
check "the manifest lists every installed file" manifest_is_complete

# Started through the link, the program must find its settings beside the real executable.
"$local_dir/bin/thermavo" >"$work/program.out" 2>&1 &
program=$!
sleep 3
check "the installed program is running after 3 s" kill -0 "$program"
kill -TERM "$program"
status=timeout
for _ in $(seq 100); do
    if ! kill -0 "$program" 2>/dev/null; then
        status=0
        wait "$program" || status=$?
        break
    fi
    sleep 0.1
done
[ "$status" != timeout ] || kill -KILL "$program"
program=""
check "the program ends with status 0 on SIGTERM (got $status)" test "$status" = 0
# The settings file has Windows line ends.
settings_have() { [ -f "$settings" ] && tr -d '\r' <"$settings" | grep -qxF "$1"; }
check "the settings file is written beside the real executable" settings_have "[TMainForm]"
check "the settings file holds the board row" settings_have "UsedBoardComboBox.ItemIndex=0"
check "no settings file beside the link" test ! -e "$local_dir/bin/thermavo.INI"
if [ "$failures" -gt 0 ]; then
    echo "--- program output"
    cat "$work/program.out"
fi

cp "$settings" "$work/settings.before"
"$source_dir/scripts/install" --from-build "$build_dir"
check "a second install keeps the settings file" cmp -s "$settings" "$work/settings.before"
check "a second install lists the same files" diff <(grep -v '^#' "$manifest") "$work/manifest"

"$source_dir/scripts/install" --uninstall
# The runs the program recorded are the user's data, which an uninstall keeps as it keeps the
# settings.
check "uninstalling keeps the recorded runs" test -f "$HOME/.local/share/thermavo/runs.sqlite"
check "uninstalling leaves only the settings file and the runs of what was installed" \
    diff <(listing | grep -v '^\./\.local/share/thermavo') <({
        echo "$before"
        printf '%s\n' ./.local/opt ./.local/opt/thermavo ./.local/opt/thermavo/thermavo.INI
    } | sort)
check "the settings file is unchanged" cmp -s "$settings" "$work/settings.before"
uninstall_fails() { ! "$source_dir/scripts/install" --uninstall 2>/dev/null; }
check "a second uninstall reports that nothing is installed" uninstall_fails

# The archive unpacks to the same program folder that the install put in place.
cpack -G TGZ --config "$build_dir/CPackConfig.cmake" -B "$work/package"
archives=("$work"/package/thermavo-*.tar.gz)
check "cpack makes one TGZ archive" test ${#archives[@]} = 1 -a -f "${archives[0]}"
mkdir "$work/unpacked"
tar -xzf "${archives[0]}" -C "$work/unpacked"
check "the archive holds the installed program folder" \
    diff <(cd "$work/unpacked"/thermavo-* && find . -type f | sort) \
    <(grep -E "^$program_dir/.*[^/]$" "$work/manifest" |
        sed "s|^$program_dir|.|" | sort)

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
