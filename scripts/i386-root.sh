# A private i386 Debian root with Wine's 32-bit side, for machines whose multiarch cannot
# install wine32:i386 (the archive's i386 side out of step with its amd64 side). Sourced by
# scripts/wine-routes.sh after scripts/setup.sh and scripts/i386.sh; bash only.
#
#   i386_root_usable      whether the root can be had here (root, debootstrap, disk, 32-bit
#                         programs running); when not, I386_ROOT_WHY says why in a few words
#   i386_root_ensure      makes the root once (debootstrap --variant=minbase, then wine32,
#                         Xvfb, xdotool, CMake and Python with the root's own apt, from only
#                         the suites whose i386 index downloads); about 6 minutes and 2 GB, kept
#                         in ZEMBREL_CACHE (default ~/.cache/zembrel) for the next run
#   i386_root_run DIR CMD runs CMD in the root, in DIR, which is bind-mounted at its own path
#                         (the builds of the host, their tests and the results all live there),
#                         in a mount namespace of its own: nothing stays mounted afterwards
#
# The exes and the test programs are built on the host; only Wine and the checks run inside.

I386_ROOT_PACKAGES=(wine wine32 xvfb xauth xdotool fonts-wine x11-utils cmake python3)
I386_ROOT_NEEDS_KIB=$((3 * 1024 * 1024))
I386_ROOT_WHY=

i386_root_dir() {
    echo "${ZEMBREL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zembrel}/i386-root"
}

i386_root_usable() {
    local dir cache avail
    if [ "${ZEMBREL_I386_ROOT:-1}" = 0 ]; then
        I386_ROOT_WHY="the private i386 root is turned off (ZEMBREL_I386_ROOT=0)"
        return 1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        I386_ROOT_WHY="a private i386 root needs root (debootstrap, chroot, mounts)"
        return 1
    fi
    dir=$(i386_root_dir)
    [ -e "$dir/.zembrel-ready" ] && return 0
    if ! install_group debootstrap debootstrap; then
        I386_ROOT_WHY="${INSTALL_WHY[debootstrap]}"
        return 1
    fi
    cache=$(dirname "$dir")
    mkdir -p "$cache" || { I386_ROOT_WHY="cannot make $cache"; return 1; }
    avail=$(df -Pk "$cache" | awk 'NR == 2 { print $4 }')
    if [ "${avail:-0}" -lt "$I386_ROOT_NEEDS_KIB" ]; then
        I386_ROOT_WHY="a private i386 root needs 3 GB free in $cache, which has $((avail / 1024)) MB"
        return 1
    fi
    [ -n "$(i386_debian_archive)" ] || {
        I386_ROOT_WHY="no Debian archive named in the apt sources"
        return 1
    }
}

# Runs a command in the root with /proc, /dev, a fresh /tmp and DIR (when given) mounted.
i386_root_chroot() { # ROOT DIR CMD...
    unshare --mount --propagation private bash -c '
        root=$1 dir=$2
        shift 2
        mount -t proc proc "$root/proc" &&
            mount --rbind /dev "$root/dev" &&
            mount -t tmpfs -o mode=1777 tmpfs "$root/tmp" || exit 125
        if [ -n "$dir" ]; then
            mkdir -p "$root$dir" && mount --bind "$dir" "$root$dir" || exit 125
        fi
        exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
            HOME=/root LANG=C.UTF-8 TERM=dumb \
            /bin/bash -c '\''cd -- "$1" && shift && exec "$@"'\'' cd "${dir:-/}" "$@"' i386-root "$@"
}

i386_root_ensure() {
    local dir work log codename archive security suite kept=() line
    dir=$(i386_root_dir)
    [ -e "$dir/.zembrel-ready" ] && return 0
    # shellcheck disable=SC1091
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    archive=$(i386_debian_archive)
    security=$(i386_apt_archives | grep -- '-security$' | head -1)
    work=$dir.new
    log=$(dirname "$dir")/i386-root.log
    rm -rf "$work"
    say "making a private i386 root in $dir (once; about 6 minutes, 2 GB; log in $log)"
    if ! debootstrap --arch=i386 --variant=minbase "$codename" "$work" "$archive" >"$log" 2>&1; then
        I386_ROOT_WHY="debootstrap failed: $(tail -n 1 "$log")"
        rm -rf "$work"
        return 1
    fi
    cp /etc/resolv.conf "$work/etc/resolv.conf" 2>/dev/null
    # Only the suites whose i386 index downloads: multiarch fails where one of them lags.
    for suite in "$archive $codename" "$archive $codename-updates" \
        ${security:+"$security $codename-security"}; do
        echo "deb $suite main" >"$work/etc/apt/sources.list"
        if i386_root_chroot "$work" "" apt-get update -q >>"$log" 2>&1; then
            kept+=("deb $suite main")
        else
            say "the private i386 root leaves out $suite: its i386 index does not download"
        fi
    done
    [ ${#kept[@]} -gt 0 ] || kept=("deb $archive $codename main")
    printf '%s\n' "${kept[@]}" >"$work/etc/apt/sources.list"
    if ! i386_root_chroot "$work" "" apt-get update -q >>"$log" 2>&1 ||
        ! i386_root_chroot "$work" "" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${I386_ROOT_PACKAGES[@]}" >>"$log" 2>&1; then
        I386_ROOT_WHY="its packages cannot be installed: $(apt_reason "$log")"
        rm -rf "$work"
        return 1
    fi
    i386_root_chroot "$work" "" apt-get clean >>"$log" 2>&1
    for line in "${kept[@]}"; do echo "$line"; done >"$work/.zembrel-ready"
    rm -rf "$dir" && mv "$work" "$dir"
}

i386_root_run() { # DIR CMD...
    i386_root_chroot "$(i386_root_dir)" "$@"
}
