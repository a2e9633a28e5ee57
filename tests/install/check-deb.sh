#!/bin/sh
# The Debian package on the machine itself: checks the control data and contents of the
# package scripts/build-deb made, installs it, runs what it installed, removes it and
# checks that nothing is left. For CI (a disposable machine, run as root or with sudo); not
# part of ctest.
#
# usage: tests/install/check-deb.sh DIR   (the DIR given to scripts/build-deb)
# A quorvex package that was installed before is left alone: the script then stops after
# checking the .deb file, without installing or removing anything.
set -eu

dir=${1:?usage: check-deb.sh DIR}
sudo=
if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
fi

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

set -- "$dir"/quorvex_*.deb
if [ ! -f "$1" ] || [ $# -ne 1 ]; then
    echo "FAIL: $dir holds no single quorvex_*.deb (scripts/build-deb makes it)"
    exit 1
fi
# A path apt takes for a file, not for a package name of some release.
deb=$(realpath "$1")
echo "== $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorvex ] || fail "Package is not quorvex"
[ "$(field Section)" = electronics ] || fail "Section is not electronics"
[ "$(field Maintainer)" = "Quorvex developers <dev@quorvex.invalid>" ] || fail "wrong Maintainer"
# dpkg-shlibdeps must have named the Qt libraries, and the platform plugins be asked for.
for dependency in libqt6widgets6 libqt6gui6 libqt6core6 libstdc++6 qt6-qpa-plugins; do
    field Depends | grep -q "$dependency" || fail "Depends does not name $dependency"
done
field Recommends | grep -q 'fonts-noto-cjk | fonts-wqy-microhei' || fail "Recommends lacks the CJK fonts"

files="
/usr/bin/quorvex
/usr/bin/quorvex-metersim
/usr/share/applications/quorvex.desktop
/usr/share/metainfo/io.github.quorvex.Quorvex.metainfo.xml
/usr/share/man/man1/quorvex.1.gz
/usr/share/man/man1/quorvex-metersim.1.gz
/usr/share/icons/hicolor/scalable/apps/quorvex.svg
/usr/share/doc/quorvex/copyright
/usr/share/doc/quorvex/changelog.gz
/usr/bin/quorvexctl
/usr/share/man/man1/quorvexctl.1.gz
/usr/share/bash-completion/completions/quorvexctl
"
for size in 16 24 32 48 64 128 256; do
    files="$files /usr/share/icons/hicolor/${size}x${size}/apps/quorvex.png"
done
for file in $files; do
    dpkg-deb -c "$deb" | grep -q " \.$file\$" || fail "the package lacks $file"
done

if dpkg-query -W -f='${Status}' quorvex 2>/dev/null | grep -q 'install ok installed'; then
    echo "quorvex is already installed on this machine: not installing or removing it"
    exit "$status"
fi

# Installed with its dependencies; removed again whatever happens below.
removed=no
remove() {
    if [ "$removed" = no ]; then
        removed=yes
        $sudo dpkg -r quorvex >/dev/null || true
    fi
}
trap remove EXIT
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq --no-install-recommends "$deb"

for file in $files; do
    [ -e "$file" ] || fail "$file is missing after install"
done
dpkg -L quorvex | grep -qx /usr/bin/quorvex || fail "dpkg does not list /usr/bin/quorvex"
/usr/bin/quorvex-metersim --help | head -n 1 | grep -q '^Usage: quorvex-metersim' ||
    fail "/usr/bin/quorvex-metersim --help does not work"
if ldd /usr/bin/quorvex | grep -q 'not found'; then
    fail "/usr/bin/quorvex misses libraries: $(ldd /usr/bin/quorvex | grep 'not found')"
fi
# The installed window starts against the installed simulator and keeps running until
# stopped: timeout's 124 means it was still up after 5 s.
rc=0
QT_QPA_PLATFORM=offscreen timeout -k 5 5 /usr/bin/quorvex-metersim --type both -- /usr/bin/quorvex \
    >/dev/null 2>&1 || rc=$?
[ "$rc" = 124 ] || fail "/usr/bin/quorvex ended early (status $rc) instead of running"

remove
trap - EXIT
if dpkg-query -W -f='${Status}' quorvex 2>/dev/null | grep -q 'ok installed'; then
    fail "quorvex is still installed after dpkg -r"
fi
for file in $files; do
    [ ! -e "$file" ] || fail "$file is left after dpkg -r"
done

[ "$status" = 0 ] && echo "the package builds, installs, runs and removes cleanly"
exit "$status"
