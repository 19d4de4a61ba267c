#!/usr/bin/env bash
# Installs klavio's Debian package on a fresh, minimal Debian 12 and runs it there: apt-get has
# to pull in every library and a General MIDI SoundFont by itself, which the package test on a
# machine that has them all already cannot show. Slow and networked, so no part of the tests.
#
# The minimal system (debootstrap --variant=minbase bookworm) is made once into CACHE and kept;
# each run installs into a throw-away overlay (or copy) of it, so the cache stays fresh.
# Usage: sudo scripts/check-fresh-install.sh [PACKAGE.deb [CACHE]]
#   PACKAGE  default: built now with scripts/build-deb.sh
#   CACHE    default: build-fresh-debian at the top of the checkout
#   KLAVIO_DEBIAN_MIRROR  default: http://deb.debian.org/debian
# Needs root, debootstrap (apt-get install debootstrap) and the network.
# Exit: 0 passed, 1 failed, 77 cannot run here (not root, no debootstrap).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mirror=${KLAVIO_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [[ $(id -u) -ne 0 ]]; then
    echo "check-fresh-install: needs root (debootstrap, chroot, mount)" >&2
    exit 77
fi
if ! command -v debootstrap >/dev/null; then
    echo "check-fresh-install: needs debootstrap: apt-get install debootstrap" >&2
    exit 77
fi
package=${1:-$("$root/scripts/build-deb.sh")}
package=$(realpath "$package")
cache=$(realpath -m "${2:-$root/build-fresh-debian}")
[[ -f $package ]] || {
    echo "check-fresh-install: no package $package" >&2
    exit 1
}

start=$SECONDS
base="$cache/bookworm"
if [[ ! -f $base/etc/debian_version ]]; then
    # Only a finished system is kept: an interrupted debootstrap starts again from nothing.
    rm -rf "$base.partial"
    mkdir -p "$cache"
    echo "debootstrap: minimal Debian 12 into $base"
    debootstrap --variant=minbase bookworm "$base.partial" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        {
            tail -20 "$cache/debootstrap.log" >&2
            exit 1
        }
    # As a fresh installation has them: the point releases and the security updates.
    cat >"$base.partial/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
    mv "$base.partial" "$base"
    echo "debootstrap: $((SECONDS - start)) s"
fi

work=$(mktemp -d "$cache/run.XXXXXX")
system="$work/system"
mkdir -p "$system" "$work/upper" "$work/work"
cleanup() {
    # Nothing is removed while anything is still mounted beneath the run's folder.
    if mountpoint -q "$system"; then
        umount "$system" || umount -l "$system" || true
    fi
    if grep -q " $work/" /proc/mounts; then
        echo "check-fresh-install: $work is still mounted; left in place" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
if ! mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/work" \
    "$system" 2>/dev/null; then
    echo "no overlay file system here: copying $base"
    cp -a "$base/." "$system/"
fi
cp /etc/resolv.conf "$system/etc/resolv.conf"
cp "$package" "$system/tmp/"
in_system() {
    chroot "$system" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive HOME=/root "$@"
}

failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
before=$(in_system dpkg-query -W -f='${Package}\n' | sort)
install_start=$SECONDS
in_system apt-get update -qq >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log" >&2
    exit 1
}
if in_system apt-get install -y "/tmp/$(basename "$package")" >>"$work/apt.log" 2>&1; then
    echo "apt-get update and install: $((SECONDS - install_start)) s"
    grep -E "^(Need to get|After this operation)" "$work/apt.log" || true
else
    tail -30 "$work/apt.log" >&2
    fail "apt-get install $(basename "$package")"
fi
after=$(in_system dpkg-query -W -f='${Package}\n' | sort)
added=$(comm -13 <(echo "$before") <(echo "$after"))
echo "packages added: $(wc -l <<<"$added")"
for wanted in klavio libfluidsynth3 libqt6widgets6 libasound2 "libjack-jackd2-0|libjack0"; do
    grep -qxE "$wanted" <<<"$added" || fail "$wanted was not installed"
done
grep -qxE "fluid-soundfont-gm|sf2-soundfont-gm" <<<"$added" || fail "no General MIDI SoundFont"
echo "SoundFont: $(grep -xE 'fluid-soundfont-gm|sf2-soundfont-gm' <<<"$added" | tr '\n' ' ')"
[[ -e $system/usr/share/sounds/sf2/default-GM.sf2 ]] ||
    fail "no /usr/share/sounds/sf2/default-GM.sf2"

version=$(in_system klavio --version 2>&1) || fail "klavio --version"
echo "klavio --version: $version"
[[ $version =~ ^klavio\ [0-9]+\.[0-9]+\.[0-9]+\ \([0-9]+\)$ ]] || fail "klavio --version: $version"
help=$(in_system klavio --help 2>&1) || fail "klavio --help"
echo "klavio --help: $(head -1 <<<"$help")"
[[ $help == Usage:\ klavio* ]] || fail "klavio --help: $help"

echo "fresh install: $((SECONDS - start)) s in all"
if [[ $failures -ne 0 ]]; then
    exit 1
fi
echo "fresh install checks passed"
