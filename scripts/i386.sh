# Whether this machine runs 32-bit x86 programs, and user-mode emulation where it does not.
# Sourced by test-all.sh and tests/wine/with-wine.sh; bash only.
#
#   kernel_runs_i386      the kernel itself runs an i386 ELF program (0) or not (1);
#                         ZEMBREL_ASSUME_NO_I386=1 makes it answer no, to try the other path
#   i386_runs             an i386 program runs now, natively or through any registered handler
#   i386_available        kernel_runs_i386, or our emulator is registered
#   i386_emulation_start  fetch qemu-i386 and register it for i386 programs; on failure
#                         I386_WHY says why in a few words
#   i386_emulation_stop   remove that registration again (and the mount, if it was ours);
#                         called first too, so a registration left by a killed run goes
#
# qemu-i386 comes from the backports suite of the Debian archive that the machine's own
# sources name: Wine needs qemu 10, bookworm's 7.2 is too old for it. It is fetched with a
# private sources list and cache, so the system's apt state is left alone, and only the one
# binary is kept, under ZEMBREL_CACHE (default ~/.cache/zembrel).

I386_BINFMT_NAME=zembrel-i386
# binfmt_misc's magic and mask of an i386 ELF executable, in its own \x notation.
I386_ELF_MAGIC_MASK='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
I386_BINFMT_DIR=/proc/sys/fs/binfmt_misc
I386_WHY=
i386_mounted_binfmt=

# Runs a 95-byte i386 ELF program that only exits with status 7.
i386_runs() {
    local probe status
    probe=$(mktemp "${TMPDIR:-/tmp}/zembrel-i386.XXXXXX") || return 1
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' >"$probe"
    printf '\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
        >>"$probe"
    printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
        >>"$probe"
    printf '\x00\x80\x04\x08\x00\x80\x04\x08\x5f\x00\x00\x00\x5f\x00\x00\x00\x05\x00\x00\x00' \
        >>"$probe"
    printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xb3\x07\xcd\x80' >>"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    status=$?
    rm -f "$probe"
    [ "$status" -eq 7 ]
}

kernel_runs_i386() {
    [ "${ZEMBREL_ASSUME_NO_I386:-}" = 1 ] && return 1
    i386_runs
}

# 32-bit programs can be run now: by the kernel, or through our registered emulator.
i386_available() {
    [ -e "$I386_BINFMT_DIR/$I386_BINFMT_NAME" ] || kernel_runs_i386
}

# The Debian archives the machine's apt sources name (deb822 or one-line form), the security
# archive among them, one a line without a final slash.
i386_apt_archives() {
    local files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    cat "${files[@]}" 2>/dev/null |
        sed -n -e 's/^URIs:[[:space:]]*//p' -e 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?//p' |
        tr ' ' '\n' | grep -E '^https?://.*/debian(-security)?/?$' | sed 's:/$::' | sort -u
}

# The Debian archive itself.
i386_debian_archive() {
    i386_apt_archives | grep -v -- '-security$' | head -1
}

i386_fetch_qemu() {
    local cache=$1 archive codename work status
    archive=$(i386_debian_archive)
    [ -n "$archive" ] || { I386_WHY="no Debian archive named in the apt sources"; return 1; }
    # shellcheck disable=SC1091
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || { I386_WHY="no release codename in /etc/os-release"; return 1; }
    work=$(mktemp -d "${TMPDIR:-/tmp}/zembrel-qemu.XXXXXX") || return 1
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/deb"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $codename-backports main" \
        >"$work/sources.list"
    local options=(-q -o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
        -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root)
    status=1
    if apt-get "${options[@]}" update >"$work/apt.log" 2>&1 &&
        (cd "$work/deb" && apt-get "${options[@]}" download qemu-user) >>"$work/apt.log" 2>&1 &&
        dpkg-deb --fsys-tarfile "$work"/deb/qemu-user_*.deb | tar -x -C "$work" ./usr/bin/qemu-i386 &&
        mkdir -p "$cache" && mv "$work/usr/bin/qemu-i386" "$cache/qemu-i386"; then
        status=0
    else
        I386_WHY="qemu-user could not be fetched from $codename-backports ($(tail -1 "$work/apt.log"))"
    fi
    rm -rf "$work"
    return "$status"
}

i386_emulation_start() {
    local cache=${ZEMBREL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zembrel}
    local qemu=$cache/qemu-i386
    if [ "$(id -u)" -ne 0 ]; then
        I386_WHY="registering an emulator for i386 programs needs root"
        return 1
    fi
    if [ ! -x "$qemu" ] || ! "$qemu" --version 2>/dev/null | grep -qE 'version ([1-9][0-9]|9)\.'; then
        command -v apt-get >/dev/null || { I386_WHY="no apt-get to fetch qemu-user"; return 1; }
        i386_fetch_qemu "$cache" || return 1
    fi
    if [ ! -e "$I386_BINFMT_DIR/register" ]; then
        mount -t binfmt_misc binfmt_misc "$I386_BINFMT_DIR" 2>/dev/null || {
            I386_WHY="binfmt_misc cannot be mounted here"
            return 1
        }
        i386_mounted_binfmt=1
    fi
    # F opens qemu now, so it works in any namespace.
    printf '%s' ":$I386_BINFMT_NAME:M::$I386_ELF_MAGIC_MASK:$qemu:F" \
        >"$I386_BINFMT_DIR/register" 2>/dev/null || {
        I386_WHY="binfmt_misc refused the registration"
        i386_emulation_stop
        return 1
    }
    i386_runs || {
        I386_WHY="an i386 program does not run under $qemu"
        i386_emulation_stop
        return 1
    }
}

i386_emulation_stop() {
    [ -e "$I386_BINFMT_DIR/$I386_BINFMT_NAME" ] && echo -1 >"$I386_BINFMT_DIR/$I386_BINFMT_NAME"
    if [ -n "$i386_mounted_binfmt" ]; then
        umount "$I386_BINFMT_DIR" 2>/dev/null
        i386_mounted_binfmt=
    fi
    return 0
}
