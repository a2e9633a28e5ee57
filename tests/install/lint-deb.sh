#!/bin/sh
# Debian's own checks of a built package: lintian with its default profile, where any error
# or warning fails, and hardening-check on every program the package puts in usr/bin. For
# CI after scripts/build-deb; needs no root and installs nothing.
#
# usage: tests/install/lint-deb.sh DEB
set -eu

deb=${1:?usage: lint-deb.sh DEB}
[ -f "$deb" ] || {
    echo "FAIL: $deb is no file"
    exit 1
}
for tool in lintian hardening-check dpkg-deb readelf; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "FAIL: $tool is not installed (scripts/install-deps --ci installs it)"
        exit 1
    fi
done

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

echo "== lintian $deb"
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"

# hardening-check also asks for the IBT and SHSTK marking of control-flow protection. The
# linker gives a program that marking only when every object it links carries it, and the
# C library's start files of Debian 12 do not: no program linked here can have it, whatever
# it is compiled with. The check is dropped only where those start files lack it.
nocf=
scrt1=$(${CC:-cc} -print-file-name=Scrt1.o 2>/dev/null || true)
if [ ! -f "$scrt1" ] || ! readelf -n "$scrt1" | grep -q 'x86 feature: IBT, SHSTK'; then
    nocf=--nocfprotection
fi

programs=0
for program in "$scratch"/usr/bin/*; do
    [ -f "$program" ] || continue
    programs=$((programs + 1))
    echo "== hardening-check usr/bin/${program##*/}"
    hardening-check $nocf "$program" || fail "usr/bin/${program##*/} lacks a hardening feature"
done
[ "$programs" -gt 0 ] || fail "the package has no program in usr/bin"

[ "$status" = 0 ] && echo "lintian and hardening-check pass on $programs programs"
exit "$status"
