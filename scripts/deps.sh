#!/usr/bin/env bash
# Makes sure the Debian packages that building, running and testing klavio need are present.
# As root it installs what is missing; as a normal user it prints the one command to run and
# fails, so nothing half-built is started.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    qt6-base-dev libgl-dev libx11-dev libxtst-dev libxcb-xkb-dev
    libasound2-dev libjack-jackd2-dev jackd2 alsa-utils
    pipewire pipewire-bin pipewire-jack pipewire-pulse wireplumber
    libfluidsynth-dev fluid-soundfont-gm
    qemu-system-x86 busybox-static cpio kmod
    fonts-dejavu-core fonts-liberation2
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xdotool xauth x11-xkb-utils xclip
    qt6-wayland sway grim libwayland-dev
    xdg-utils dbus-daemon
    file desktop-file-utils appstream man-db
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    echo "klavio needs these Debian packages. Install them with:"
    echo "    sudo apt-get install ${missing[*]}"
    exit 1
fi
