#!/bin/sh
# What `cmake --install` puts on a machine: installs a built tree into a scratch root and
# checks every file there, the desktop file and the metainfo with their validators, the
# manual page against the simulator's own --help, and the installed simulator running.
#
# usage: check-install.sh BUILD_DIR CMAKE VERSION
# Exits 77 (skipped) when a validator is missing: scripts/install-deps installs them.
set -eu

build=$1
cmake=$2
version=$3

for tool in desktop-file-validate appstreamcli gzip; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
        exit 77
    fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

if ! DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log"
    echo "FAIL: cmake --install failed"
    exit 1
fi

share=$root/usr/share
desktop=$share/applications/quorvex.desktop
metainfo=$share/metainfo/io.github.quorvex.Quorvex.metainfo.xml
manpage=$share/man/man1/quorvex-metersim.1.gz
sizes="16 24 32 48 64 128 256"

# Exactly these files, no more: a stray header or static library would land in the package.
{
    echo usr/bin/quorvex
    echo usr/bin/quorvex-metersim
    for size in $sizes; do
        echo "usr/share/icons/hicolor/${size}x${size}/apps/quorvex.png"
    done
    echo usr/share/icons/hicolor/scalable/apps/quorvex.svg
    echo usr/share/applications/quorvex.desktop
    echo usr/share/metainfo/io.github.quorvex.Quorvex.metainfo.xml
    echo usr/share/man/man1/quorvex-metersim.1.gz
} | sort >"$scratch/expected"
(cd "$root" && find . -type f -o -type l) | sed 's|^\./||' | sort >"$scratch/installed"
if ! diff -u "$scratch/expected" "$scratch/installed"; then
    fail "the installed files differ from the expected ones (- expected, + installed)"
fi

# Programs: executable, and not tied to the build tree.
for program in quorvex quorvex-metersim; do
    [ -x "$root/usr/bin/$program" ] || fail "usr/bin/$program is not executable"
    if command -v readelf >/dev/null 2>&1 &&
        readelf -d "$root/usr/bin/$program" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "usr/bin/$program looks for libraries in the build folder"
    fi
done

# Icons: PNG files whose width and height are those of their folder, and an SVG.
for size in $sizes; do
    icon=$share/icons/hicolor/${size}x${size}/apps/quorvex.png
    [ -f "$icon" ] || continue
    signature=$(od -An -tx1 -N8 "$icon" | tr -d ' \n')
    [ "$signature" = 89504e470d0a1a0a ] || fail "$icon is not a PNG file"
    # Width and height are the big-endian words at bytes 16 and 20 of the IHDR chunk.
    set -- $(od -An -tu1 -j16 -N8 "$icon")
    width=$(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))
    height=$(($5 * 16777216 + $6 * 65536 + $7 * 256 + $8))
    [ "$width" = "$size" ] && [ "$height" = "$size" ] ||
        fail "${size}x${size}/apps/quorvex.png is ${width}x${height}"
done
svg=$share/icons/hicolor/scalable/apps/quorvex.svg
[ -f "$svg" ] && ! grep -q '<svg' "$svg" && fail "quorvex.svg holds no <svg> element"

# The desktop file: valid, and pointing at the program and icon installed with it.
if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects quorvex.desktop"
    exec_line=$(sed -n 's/^Exec=//p' "$desktop")
    [ -x "$root/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not an installed program"
    [ "$(sed -n 's/^Icon=//p' "$desktop")" = quorvex ] || fail "Icon= is not the installed icon name quorvex"
fi

# The metainfo: valid, launching the installed desktop file, releasing this version.
if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
    grep -q '<launchable type="desktop-id">quorvex.desktop</launchable>' "$metainfo" ||
        fail "the metainfo does not launch quorvex.desktop"
    grep -q "<release version=\"$version\"" "$metainfo" ||
        fail "the metainfo has no release $version"
fi

# The installed simulator runs; its help and version are those the manual page describes.
metersim=$root/usr/bin/quorvex-metersim
if [ -x "$metersim" ]; then
    if "$metersim" --help >"$scratch/help" 2>&1; then
        head -n 1 "$scratch/help" | grep -q '^Usage: quorvex-metersim' || fail "--help prints no usage line"
    else
        fail "quorvex-metersim --help exits with an error"
    fi
    [ "$("$metersim" --version)" = "quorvex-metersim $version" ] ||
        fail "quorvex-metersim --version does not print version $version"
    if "$metersim" --no-such-option >/dev/null 2>&1; then
        fail "quorvex-metersim accepts an unknown option"
    fi
fi
if [ -f "$manpage" ]; then
    gzip -dc "$manpage" >"$scratch/page.1" || fail "the manual page is not gzip data"
    head -n 1 "$scratch/page.1" | grep -q "^\.TH QUORVEX-METERSIM 1 .*\"quorvex $version\"" ||
        fail "the manual page's title line does not carry version $version"
    # Every option of --help has its entry in the page.
    sed 's/\\-/-/g' "$scratch/page.1" >"$scratch/page.txt"
    for option in $(grep -oE '^  --[a-z-]+' "$scratch/help" | tr -d ' '); do
        grep -qE "^\.[BI]R? +$option( |\$)|^\.BI +$option |^\.BR +$option " "$scratch/page.txt" ||
            fail "the manual page does not describe $option"
    done
    if command -v groff >/dev/null 2>&1; then
        warnings=$(groff -man -Tutf8 -ww -z "$scratch/page.1" 2>&1) || true
        [ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
    fi
fi

[ "$status" = 0 ] && echo "install layout, desktop file, metainfo and manual page are sound"
exit "$status"
