#!/bin/sh
# What `cmake --install` puts on a machine: installs a built tree into a scratch root and
# checks every file there, the desktop file and the metainfo with their validators, the
# manual pages (the simulator's against its own --help), the copyright and changelog, and
# the installed simulator running.
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
docdir=$share/doc/quorvex
sizes="16 24 32 48 64 128 256"

# Exactly these files, no more: a stray header or static library would land in the package.
{
    echo usr/bin/quorvex
    echo usr/bin/quorvex-metersim
    echo usr/bin/quorvexctl
    for size in $sizes; do
        echo "usr/share/icons/hicolor/${size}x${size}/apps/quorvex.png"
    done
    echo usr/share/icons/hicolor/scalable/apps/quorvex.svg
    echo usr/share/applications/quorvex.desktop
    echo usr/share/metainfo/io.github.quorvex.Quorvex.metainfo.xml
    echo usr/share/man/man1/quorvex.1.gz
    echo usr/share/man/man1/quorvex-metersim.1.gz
    echo usr/share/man/man1/quorvexctl.1.gz
    echo usr/share/bash-completion/completions/quorvexctl
    echo usr/share/doc/quorvex/copyright
    echo usr/share/doc/quorvex/changelog.gz
} | sort >"$scratch/expected"
(cd "$root" && find . -type f -o -type l) | sed 's|^\./||' | sort >"$scratch/installed"
if ! diff -u "$scratch/expected" "$scratch/installed"; then
    fail "the installed files differ from the expected ones (- expected, + installed)"
fi

# Programs: executable, not tied to the build tree, each with its manual page.
for path in "$root"/usr/bin/*; do
    [ -e "$path" ] || continue
    program=${path##*/}
    [ -x "$path" ] || fail "usr/bin/$program is not executable"
    if command -v readelf >/dev/null 2>&1 &&
        readelf -d "$path" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "usr/bin/$program looks for libraries in the build folder"
    fi
    [ -f "$share/man/man1/$program.1.gz" ] || fail "usr/bin/$program has no manual page"
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
# Every compressed file without a name or a time in its header (gzip -n), so that two
# builds of one version give the same package: flags at byte 3, time at bytes 4 to 7.
for gz in $(cd "$root" && find . -type f -name '*.gz' | sed 's|^\./||'); do
    header=$(od -An -tx1 -N8 "$root/$gz" | tr -d ' \n')
    [ "$header" = 1f8b080000000000 ] ||
        fail "$gz is not gzip data, or its header carries a name or a time"
done

# Manual pages: gzip data, titled with their program's name and this version, clean for
# groff (-k: the window's captions are Chinese, in UTF-8).
for page in "$share"/man/man1/*.1.gz; do
    [ -f "$page" ] || continue
    name=$(basename "$page" .1.gz)
    if ! gzip -dc "$page" >"$scratch/$name.1"; then
        fail "$name.1.gz is not gzip data"
        continue
    fi
    title=$(echo "$name" | tr '[:lower:]' '[:upper:]')
    head -n 1 "$scratch/$name.1" | grep -q "^\.TH $title 1 .*\"quorvex $version\"" ||
        fail "the title line of $name.1 does not name $title and version $version"
    if command -v groff >/dev/null 2>&1; then
        warnings=$(groff -k -man -Tutf8 -ww -z "$scratch/$name.1" 2>&1) || true
        [ -z "$warnings" ] || fail "groff warns about $name.1: $warnings"
    fi
done

if [ -f "$manpage" ]; then
    cp "$scratch/quorvex-metersim.1" "$scratch/page.1"
    # Every option of --help has its entry in the page.
    sed 's/\\-/-/g' "$scratch/page.1" >"$scratch/page.txt"
    for option in $(grep -oE '^  --[a-z-]+' "$scratch/help" | tr -d ' '); do
        grep -qE "^\.[BI]R? +$option( |\$)|^\.BI +$option |^\.BR +$option " "$scratch/page.txt" ||
            fail "the manual page does not describe $option"
    done
fi

# The changelog's latest entry is this version: a version raised without an entry would
# ship a package whose history ends one release early.
if [ -f "$docdir/changelog.gz" ]; then
    gzip -dc "$docdir/changelog.gz" | head -n 1 | grep -q "^quorvex ($version) " ||
        fail "the changelog's latest entry is not quorvex ($version)"
fi

# The copyright file in Debian's machine-readable format, under the licence the metainfo
# declares to software centres.
copyright=$docdir/copyright
if [ -f "$copyright" ]; then
    head -n 1 "$copyright" |
        grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "the copyright file is not in the machine-readable format"
    licence=$(sed -n '/^Files: \*$/,/^$/s/^License: //p' "$copyright")
    [ -n "$licence" ] || fail "the copyright file names no licence for Files: *"
    if [ -f "$metainfo" ]; then
        declared=$(sed -n 's|.*<project_license>\(.*\)</project_license>.*|\1|p' "$metainfo")
        [ "$declared" = "$licence" ] ||
            fail "the metainfo declares licence '$declared', the copyright file '$licence'"
    fi
fi

[ "$status" = 0 ] && echo "install layout, desktop file, metainfo, manual pages and documents are sound"
exit "$status"
