#!/usr/bin/env bash
# Builds klavio's Debian package (scripts/build-deb.sh) and checks what it holds: the desktop
# entry, the manual page and the AppStream metadata validate, the library dependencies and the
# SoundFont are named, and the program answers --version without a display. As root it also
# installs the package with apt-get, runs the installed program and removes the package; a
# klavio package installed before is left alone, and so the install is not tried.
# Usage: scripts/check-package.sh [BUILD_DIR]
# Exit: 0 passed, 1 failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
package=$("$root/scripts/build-deb.sh" "$@")
echo "package: $package"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# The version line, asked of a program that must not look for a display.
check_version() {
    local line
    line=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" --version) || true
    echo "$1 --version: $line"
    [[ $line =~ ^klavio\ [0-9]+\.[0-9]+\.[0-9]+\ \([0-9]+\)$ ]] || fail "$1 --version"
}

dpkg-deb -x "$package" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/klavio.desktop" ||
    fail "desktop entry"
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml ||
    fail "AppStream metadata"
man_page="$unpacked/usr/share/man/man1/klavio.1.gz"
warnings=$(zcat "$man_page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1) || true
[[ -z $warnings ]] || fail "manual page: $warnings"
LC_ALL=C.UTF-8 MANPAGER=cat man -l "$man_page" | grep -q "klavio - virtual MIDI piano keyboard" ||
    fail "man -l klavio.1.gz"
depends=$(dpkg-deb -f "$package" Depends)
echo "Depends: $depends"
[[ $depends == *libfluidsynth* && $depends == *libqt6widgets* ]] ||
    fail "library dependencies missing"
[[ $depends == *fluid-soundfont-gm* ]] || fail "no SoundFont among the dependencies"
[[ $(dpkg-deb -f "$package" Recommends) == *qt6-wayland* ]] || fail "qt6-wayland not recommended"
check_version "$unpacked/usr/bin/klavio"
# Debian's own package checker, where it is installed; it is too big to install for this.
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$package" || fail "lintian"
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "not root: installing the package is left out"
elif dpkg-query -W -f='${Status}' klavio 2>/dev/null | grep -q "install ok installed"; then
    echo "a klavio package is installed already: installing is left out"
else
    export DEBIAN_FRONTEND=noninteractive
    log="$unpacked/apt.log"
    trap 'apt-get remove -y klavio >/dev/null 2>&1 || true; rm -rf "$unpacked"' EXIT
    if apt-get install -y "$package" >"$log" 2>&1; then
        check_version /usr/bin/klavio
        apt-get remove -y klavio >>"$log" 2>&1 || fail "apt-get remove klavio"
        [[ ! -e /usr/bin/klavio ]] || fail "/usr/bin/klavio is still there after removing"
    else
        cat "$log" >&2
        fail "apt-get install $package"
    fi
fi
if [[ $failures -ne 0 ]]; then
    exit 1
fi
echo "package checks passed"
