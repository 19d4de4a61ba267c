#!/usr/bin/env bash
# Runs a program against the kernel's ALSA sequencer inside a throw-away qemu virtual machine,
# for machines without sound support. The VM boots Debian's own kernel (downloaded once with
# apt-get into a cache folder, and booted past its self-unpacking stage) with the sequencer,
# "Midi Through" (snd-seq-dummy, 14:0) and four VirMIDI ports (snd-virmidi, 16:0 to 19:0), runs
# the program, streams its output and exits with its status.
#
#   scripts/alsa-vm.sh [options] -- PROGRAM [ARG...]
#     --cache DIR         where the kernel is kept (default: build-test/alsa-vm in the checkout)
#     --file SRC[:DST]    also copy a file into the VM (default DST: SRC); repeatable
#     --dir SRC[:DST]     also copy a folder of data, such as fonts (default DST: SRC);
#                         repeatable
#     --prog NAME         also copy a host program and its libraries; repeatable
#     --env NAME=VALUE    set an environment variable for PROGRAM; repeatable
#     --mem MB            guest memory (default 1024; sanitizer builds need the room)
#     --timeout SEC       stop the VM after SEC seconds (default 180)
#     --verbose           show the whole console, kernel messages included
#
# Exit status: PROGRAM's own; 124 if the VM timed out; 125 if the VM broke down. When the VM
# cannot be started at all (no qemu, no kernel to be had), 77 so ctest reports a skip, unless
# the environment variable CI is set: there it is a failure (1).
#
# The packages it needs are in scripts/deps.sh (qemu-system-x86 busybox-static cpio kmod).
# Under KVM the guest would boot faster, but nested KVM is often broken in CI containers, so
# software emulation is the default; KLAVIO_VM_ACCEL=kvm asks for KVM.
set -euo pipefail

me=${0##*/}
root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/build-test/alsa-vm"
files=() dirs=() progs=() envs=()
mem=1024 timeout_sec=180 verbose=0

while [[ $# -gt 0 ]]; do
    case "$1" in
    --cache) cache=$2; shift 2 ;;
    --file) files+=("$2"); shift 2 ;;
    --dir) dirs+=("$2"); shift 2 ;;
    --prog) progs+=("$2"); shift 2 ;;
    --env) envs+=("$2"); shift 2 ;;
    --mem) mem=$2; shift 2 ;;
    --timeout) timeout_sec=$2; shift 2 ;;
    --verbose) verbose=1; shift ;;
    --) shift; break ;;
    *) echo "$me: unknown option $1 (see the top of $0)" >&2; exit 2 ;;
    esac
done
[[ $# -gt 0 ]] || { echo "$me: no program given (see the top of $0)" >&2; exit 2; }
command_line=("$@")

unavailable() {
    echo "$me: cannot start the ALSA test VM: $*" >&2
    if [[ -n "${CI:-}" ]]; then
        exit 1
    fi
    echo "$me: skipped (run scripts/deps.sh as root to install what is missing)" >&2
    exit 77
}
broken() { echo "$me: $*" >&2; exit 125; }
now() { date +%s.%N; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

started=$(now)
export PATH="$PATH:/usr/sbin:/sbin"
for tool in qemu-system-x86_64 busybox cpio depmod dpkg-deb apt-get ldd flock; do
    command -v "$tool" >/dev/null || unavailable "$tool is missing"
done
busybox=$(command -v busybox)
# A dynamically linked busybox would need its libraries copied in as well; refuse it rather
# than boot into an init that cannot start.
ldd "$busybox" >/dev/null 2>&1 && unavailable "$busybox is not static (install busybox-static)"

# ---- kernel: Debian's current image, only its vmlinuz and sound modules ----------------------
kernel_root="$cache/kernel"

kernel_version() {
    local version
    for version in $(ls -1 "$kernel_root/lib/modules" 2>/dev/null | sort -V); do
        if [[ -r "$kernel_root/boot/vmlinuz-$version" &&
            -r "$kernel_root/lib/modules/$version/modules.dep" ]]; then
            echo "$version"
        fi
    done | tail -n 1
}

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

download_kernel() {
    local work=$1 package
    package=$(kernel_package)
    # The package lists are fetched only when apt knows no kernel or cannot download it.
    if [[ -z "$package" ]] || ! (cd "$work" && apt-get download "$package" >"$work/apt.log" 2>&1); then
        [[ $(id -u) -eq 0 ]] || return 1
        apt-get update -qq >"$work/apt.log" 2>&1 || return 1
        package=$(kernel_package)
        [[ -n "$package" ]] || return 1
        (cd "$work" && apt-get download "$package" >"$work/apt.log" 2>&1) || return 1
    fi
    local deb
    deb=$(ls "$work"/linux-image-*.deb 2>/dev/null | head -n 1)
    [[ -n "$deb" ]] || return 1
    mkdir -p "$work/root"
    dpkg-deb --fsys-tarfile "$deb" |
        tar -C "$work/root" -x --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/sound/*' ||
        return 1
    rm -f "$deb"
    local version
    version=$(ls -1 "$work/root/lib/modules" | head -n 1)
    [[ -n "$version" ]] || return 1
    # The package's own modules.dep lists every module; ours covers the sound ones we kept.
    depmod -b "$work/root" "$version" 2>/dev/null || return 1
}

if [[ -z "$(kernel_version)" ]]; then
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    # Two test runs sharing a build tree must not download into each other.
    flock 9
    if [[ -z "$(kernel_version)" ]]; then
        echo "$me: fetching Debian's kernel into $cache (once per build tree)" >&2
        work=$(mktemp -d "$cache/download.XXXXXX")
        if ! download_kernel "$work"; then
            [[ -f "$work/apt.log" ]] && tail -n 5 "$work/apt.log" >&2
            rm -rf "$work"
            unavailable "could not download and unpack Debian's linux-image package"
        fi
        rm -rf "$kernel_root"
        mv "$work/root" "$kernel_root"
        rm -rf "$work"
    fi
    exec 9>&-
fi
kver=$(kernel_version)
[[ -n "$kver" ]] || unavailable "no kernel in $kernel_root"
vmlinuz="$kernel_root/boot/vmlinuz-$kver"
moddir="$kernel_root/lib/modules/$kver"

# The packaged kernel unpacks itself first, which takes seconds under emulation. The plain
# kernel inside it starts at once through its PVH entry (a note of type 0x12), so it is taken
# out once and booted instead wherever it has that entry.
unpack_vmlinux() { # TARGET
    local format magic offset
    for format in xz zstd; do
        case $format in
        xz) magic='\xFD7zXZ\x00' ;;
        zstd) magic='\x28\xB5\x2F\xFD' ;;
        esac
        command -v "$format" >/dev/null || continue
        offset=$(LC_ALL=C grep -obUaP "$magic" "$vmlinuz" 2>/dev/null | head -n 1 | cut -d: -f1)
        [[ -n "$offset" ]] || continue
        # The decompressor complains about the bytes after the kernel; what counts is the ELF.
        tail -c +$((offset + 1)) "$vmlinuz" | "$format" -qdc >"$1" 2>/dev/null || true
        [[ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" == '177ELF' ]] &&
            readelf -n "$1" 2>/dev/null | grep -Eq 'PHYS32_ENTRY|\(0x00000012\)' && return 0
    done
    return 1
}
boot_image=$vmlinuz
vmlinux="$kernel_root/boot/vmlinux-$kver"
if [[ ! -s "$vmlinux" && ! -e "$vmlinux.none" ]] && command -v readelf >/dev/null; then
    if unpack_vmlinux "$vmlinux.$$"; then
        mv "$vmlinux.$$" "$vmlinux"
    else
        rm -f "$vmlinux.$$"
        : >"$vmlinux.none"
    fi
fi
[[ -s "$vmlinux" ]] && boot_image=$vmlinux

# ---- initramfs ---------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/klavio-alsa-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
vmroot="$work/root"
mkdir -p "$vmroot"/{bin,dev,proc,sys,tmp,root,etc/vm} "$vmroot/usr/share/alsa"

copy_in() { # SRC DST: one file, symbolic links followed
    local target="$vmroot$2" source=$1
    # Programs share libraries and may be given twice; the first copy serves all.
    [[ -e "$target" || -L "$target" ]] && return 0
    [[ -d "${target%/*}" ]] || mkdir -p "${target%/*}"
    [[ "$source" == /* ]] || source="$PWD/$source"
    # A link to the file: cpio follows it and reads the file once, straight into the archive,
    # rather than after a copy of every library.
    ln -s "$source" "$target"
}

declare -A copied=()
copy_libraries() { # FILE: the dynamic loader and every library ldd lists for FILE
    local listing line library
    listing=$(ldd "$1" 2>/dev/null) || return 0 # static, or not a program at all
    if grep -q 'not found' <<<"$listing"; then
        broken "ldd $1: $(grep 'not found' <<<"$listing" | tr -s ' \n' ' ')"
    fi
    while read -r line; do
        case "$line" in
        *'=> /'*) library=${line#*=> } ;;
        /*) library=$line ;;
        *) continue ;;
        esac
        library=${library%% (*}
        [[ -n "${copied[$library]:-}" ]] && continue
        copied[$library]=1
        copy_in "$library" "$library"
    done <<<"$listing"
}

copied_program=
copy_program() { # NAME or PATH; sets copied_program to where it is, in the VM as here
    local path
    path=$(type -P "$1" || true)
    [[ -n "$path" ]] || broken "program not found: $1"
    path=$(readlink -f "$path")
    copy_in "$path" "$path"
    copy_libraries "$path"
    copied_program=$path
}

cp "$busybox" "$vmroot/bin/busybox"
# alsa-lib will not open the sequencer without its configuration.
cp /usr/share/alsa/alsa.conf "$vmroot/usr/share/alsa/" 2>/dev/null ||
    unavailable "/usr/share/alsa/alsa.conf is missing (install libasound2)"

copy_program "${command_line[0]}"
command_line[0]=$copied_program
for prog in "${progs[@]}"; do copy_program "$prog"; done
for file in "${files[@]}"; do
    source=${file%%:*}
    target=${file#*:}
    [[ "$target" == "$file" ]] && target=$(readlink -f "$source")
    [[ -f "$source" ]] || broken "no such file: $source"
    copy_in "$source" "$target"
    copy_libraries "$source"
done
for dir in "${dirs[@]}"; do
    source=${dir%%:*}
    target=${dir#*:}
    [[ "$target" == "$dir" ]] && target=$(readlink -f "$source")
    [[ -d "$source" ]] || broken "no such folder: $source"
    mkdir -p "$vmroot$target"
    # Links to every file, as copy_in makes them, in one go: such folders hold hundreds.
    cp -rsL "$(readlink -f "$source")/." "$vmroot$target/"
done

# The sequencer with Midi Through, the VirMIDI ports, and what they build on, in load order:
# modules.dep lists a module's dependencies with the most basic one last.
declare -A loaded=()
: >"$vmroot/etc/vm/modules"
for wanted in snd-seq-dummy snd-virmidi; do
    line=$(grep -E "/$wanted\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | head -n 1)
    [[ -n "$line" ]] || broken "$wanted is not among the kernel's modules"
    module=${line%%:*}
    read -r -a dependencies <<<"${line#*:}"
    order=()
    for ((i = ${#dependencies[@]} - 1; i >= 0; i--)); do order+=("${dependencies[$i]}"); done
    order+=("$module")
    for relative in "${order[@]}"; do
        [[ -n "${loaded[$relative]:-}" ]] && continue
        loaded[$relative]=1
        target="/lib/modules/$kver/${relative%%.ko*}.ko"
        mkdir -p "$(dirname "$vmroot$target")"
        case "$relative" in
        *.ko.xz) xz -dc "$moddir/$relative" >"$vmroot$target" ;;
        *.ko.zst) zstd -qdc "$moddir/$relative" >"$vmroot$target" ;;
        *) cp "$moddir/$relative" "$vmroot$target" ;;
        esac
        echo "$target" >>"$vmroot/etc/vm/modules"
    done
done

quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
{
    echo "export PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/root"
    for assignment in "${envs[@]}"; do
        echo "export ${assignment%%=*}=$(quote "${assignment#*=}")"
    done
    printf 'cd /root && exec'
    for word in "${command_line[@]}"; do printf ' %s' "$(quote "$word")"; done
    echo
} >"$vmroot/etc/vm/command"

# A fresh marker per run, so the program's own output cannot fake the end of the run.
marker="KLAVIO-VM-$RANDOM$RANDOM"
cat >"$vmroot/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm
# Loopback, for programs in the VM that talk to each other over the network.
ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up
while read -r module; do
    insmod "\$module" || echo "$me: insmod \$module failed"
done </etc/vm/modules
# devtmpfs makes the node when the sequencer registers; the fixed numbers are the fallback.
[ -e /dev/snd/seq ] || { mkdir -p /dev/snd; mknod /dev/snd/seq c 116 1; }
echo "@@$marker-BEGIN@@"
sh /etc/vm/command </dev/null 2>&1
status=\$?
echo
echo "@@$marker-END \$status@@"
# Waits until the serial port has sent everything: powering off first would cut the tail.
stty -F /dev/ttyS0 -echo 2>/dev/null
poweroff -f
EOF
chmod 755 "$vmroot/init"
(cd "$vmroot" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet -R 0:0 -L) \
    >"$work/initrd.cpio"
echo "$me: initramfs $(($(stat -c %s "$work/initrd.cpio") / 1048576)) MiB built in" \
    "$(seconds_since "$started") s; booting $kver" >&2

# ---- boot --------------------------------------------------------------------------------------
# mawk, Debian's awk, reads a pipe in blocks unless told otherwise, which would hold the output
# back until the end.
awk_streaming=()
awk -W version 2>&1 | grep -q mawk && awk_streaming=(-W interactive)
booted=$(now)
accel=${KLAVIO_VM_ACCEL:-tcg}
set +e
timeout -k 5 "$timeout_sec" qemu-system-x86_64 -nodefaults -no-user-config -machine pc \
    -accel "$accel" -cpu max -smp 2 -m "$mem" -display none -serial stdio -no-reboot \
    -kernel "$boot_image" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 mitigations=off" </dev/null 2>&1 |
    tee "$work/console.log" |
    awk "${awk_streaming[@]}" -v verbose="$verbose" -v begin="@@$marker-BEGIN@@" -v end="@@$marker-END" \
        -v stamp="$work/started" '
        { sub(/\r$/, "") }
        index($0, begin) == 1 { system("date +%s.%N >" stamp) }
        verbose { print; fflush(); next }
        index($0, begin) == 1 { running = 1; next }
        # The line held back is the empty one the init adds before the end marker.
        index($0, end) == 1 { if (held != "") print held; running = 0; next }
        running { if (holding) print held; held = $0; holding = 1; fflush() }'
qemu_status=${PIPESTATUS[0]}
set -e

end_line=$(tr -d '\r' <"$work/console.log" | grep -a "^@@$marker-END [0-9]*@@" | tail -n 1 || true)
if [[ -z "$end_line" ]]; then
    echo "----- $me: last lines of the VM console -----" >&2
    tr -d '\r' <"$work/console.log" | tail -n 40 >&2
    if [[ $qemu_status -eq 124 || $qemu_status -eq 137 ]]; then
        echo "$me: the VM timed out after $timeout_sec s" >&2
        exit 124
    fi
    if ! grep -aq "@@$marker-BEGIN@@" "$work/console.log"; then
        # qemu gave up before the guest ran anything: this machine cannot run the VM.
        unavailable "qemu did not boot the guest (status $qemu_status)"
    fi
    broken "the VM stopped without reporting the program's status (qemu status $qemu_status)"
fi
status=${end_line#"@@$marker-END "}
status=${status%@@}
boot_seconds=$(awk -v a="$booted" -v b="$(cat "$work/started" 2>/dev/null || now)" \
    'BEGIN { printf "%.1f", b - a }')
echo "$me: exit $status; VM booted in $boot_seconds s, ran $(seconds_since "$booted") s," \
    "$(seconds_since "$started") s in all" >&2
exit "$status"
