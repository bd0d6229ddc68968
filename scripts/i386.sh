# Sourced by common.sh. Wine's 32-bit loader, which starts every 32-bit
# Windows program, is i386 Linux code, and some kernels run only 64-bit user
# code. There qemu-i386 runs it instead, registered with binfmt_misc so that
# the kernel hands every i386 executable to it.

BINFMT_DIR=/proc/sys/fs/binfmt_misc
BINFMT_ENTRY=regexercise-qemu-i386
QEMU_I386=/usr/bin/qemu-i386-static
# The ELF header up to e_machine: 32-bit, little-endian, executable or shared
# object (the mask lets the ABI bytes and the type's low bit vary), i386.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Wine's 32-bit loader maps the shared user data just below 2 GiB and fails
# unless qemu reserves a little more than that; a larger reserve makes every
# start slower (5 s at this size, 43 s at 3 GiB).
QEMU_RESERVED_VA_FOR_WINE=0x81000000
# Where a forced emulation records what it set up (see record_forced_emulation).
I386_FORCED_STATE=${REGEXERCISE_I386_STATE:-/run/regexercise-i386-emulation}
# Any small i386 program will do; this one comes with Wine's 32-bit part.
I386_PROBE=/lib/ld-linux.so.2

# How 32-bit code runs here, for the figures at the end: "native" or "emulated".
I386_PATH=native
# What this run set up and must take down again (only when emulation was forced).
i386_mounted_here=
i386_registered_here=

i386_runs() {
    "$I386_PROBE" --version >/dev/null 2>&1
}

# The enabled binfmt_misc entries under DIR that claim i386 executables, one
# name a line; none when binfmt_misc is off or not mounted there.
i386_binfmt_entries() {
    local dir=$1 entry magic offset
    [ "$(cat "$dir/status" 2>/dev/null)" = enabled ] || return 0
    for entry in "$dir"/*; do
        case ${entry##*/} in register | status) continue ;; esac
        [ "$(head -n 1 "$entry")" = enabled ] || continue
        magic=$(sed -n 's/^magic //p' "$entry")
        offset=$(sed -n 's/^offset //p' "$entry")
        # From offset 0: "\x7fELF", class 1 (32-bit) in byte 4, machine 3 in bytes 18-19.
        if [ "$offset" = 0 ] && [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ]; then
            printf '%s\n' "${entry##*/}"
        fi
    done
}

binfmt_interpreter() {
    sed -n 's/^interpreter //p' "$BINFMT_DIR/$1"
}

i386_fail() {
    say "$*"
    say "Nothing was changed for it. README.md, \"What a host needs\", says more."
    exit 1
}

remove_binfmt_entry() {
    printf -- '-1' | as_root tee "$BINFMT_DIR/$1" >/dev/null
}

# Takes down what set_up_i386_emulation set up, in reverse order.
undo_i386_emulation() {
    if [ -n "$i386_registered_here" ]; then
        remove_binfmt_entry "$BINFMT_ENTRY" || say "Could not remove the binfmt_misc entry $BINFMT_ENTRY."
        i386_registered_here=
    fi
    if [ -n "$i386_mounted_here" ]; then
        as_root umount "$BINFMT_DIR" || say "Could not unmount $BINFMT_DIR."
        i386_mounted_here=
    fi
    : | as_root tee "$I386_FORCED_STATE" >/dev/null
}

# What a forced emulation set up, kept where the next start finds it should
# this run be killed before it can take it down: its process, and whether
# it mounted and registered. A forced emulation holds the file's flock lock
# while it lives (what it sets up is the whole machine's, so one at a time:
# the next waits), so a file whose lock is free and that names something
# set up was left by a run that is gone. The file is emptied, never removed,
# so that every run locks the same file.
take_emulation_lock() {
    hold_lock "$I386_FORCED_STATE" "$$ 0 0" "as root" \
        "wait: another run that emulates 32-bit code on this machine to end" ||
        i386_fail "Cannot take the lock $I386_FORCED_STATE of forced emulation: ${LOCK_WHY:-another run held it for 15 minutes}."
}
record_forced_emulation() {
    printf '%s %s %s\n' "$$" "${i386_mounted_here:-0}" 1 | as_root tee "$I386_FORCED_STATE" >/dev/null
}

# Takes down what a forced emulation left set up when its run was killed.
undo_abandoned_emulation() {
    local fields mounted registered
    [ -s "$I386_FORCED_STATE" ] || return 0
    as_root flock -n "$I386_FORCED_STATE" true || return 0
    # Its process, and what it had mounted and registered, last.
    read -r -a fields <"$I386_FORCED_STATE" || true
    mounted=0 registered=0
    if [ "${#fields[@]}" -ge 2 ]; then
        mounted=${fields[-2]} registered=${fields[-1]}
    fi
    if [ "$mounted" = 1 ] || [ "$registered" = 1 ]; then
        say "A run that emulated 32-bit code as asked did not end:" \
            "taking down the binfmt_misc entry $BINFMT_ENTRY that it left."
    fi
    [ "$registered" = 1 ] && [ -e "$BINFMT_DIR/$BINFMT_ENTRY" ] && remove_binfmt_entry "$BINFMT_ENTRY"
    [ "$mounted" = 1 ] && as_root umount "$BINFMT_DIR" 2>/dev/null
    : | as_root tee "$I386_FORCED_STATE" >/dev/null
}

# Makes sure i386 code runs: natively where the kernel runs it, otherwise
# under qemu-i386. REGEXERCISE_EMULATE_I386=1 takes the emulated path on any
# host, and then undoes at exit whatever it had to set up for it.
ensure_i386_code_runs() {
    local forced=${REGEXERCISE_EMULATE_I386:-} entry
    undo_abandoned_emulation
    # A run started by a forced run (a test's ./run) shares its emulation.
    if [ -n "$forced" ] && [ -z "${REGEXERCISE_I386_LOCK_HELD:-}" ]; then
        take_emulation_lock
        export REGEXERCISE_I386_LOCK_HELD=$$
    fi
    entry=$(i386_binfmt_entries "$BINFMT_DIR" | head -n 1)

    if [ -n "$entry" ]; then
        # Whatever the entry's interpreter, qemu reads this and nothing else does.
        export QEMU_RESERVED_VA=$QEMU_RESERVED_VA_FOR_WINE
        if i386_runs; then
            I386_PATH=emulated
            say "32-bit code runs emulated, through the binfmt_misc entry $entry ($(binfmt_interpreter "$entry"))."
            return
        fi
        if [ "$entry" != "$BINFMT_ENTRY" ]; then
            i386_fail "The binfmt_misc entry $entry ($(binfmt_interpreter "$entry")) takes i386 programs" \
                "but cannot run them, and it is not ours to replace. Mend it, or switch it off with" \
                "'echo 0 > $BINFMT_DIR/$entry' as root, and run this again."
        fi
        say "The binfmt_misc entry $BINFMT_ENTRY no longer runs i386 code: registering it anew."
        remove_binfmt_entry "$BINFMT_ENTRY"
    elif [ -z "$forced" ] && i386_runs; then
        return
    fi
    set_up_i386_emulation "$forced"
}

set_up_i386_emulation() {
    local forced=$1 why="This host runs no 32-bit (i386) code"
    [ -n "$forced" ] && why="Emulating 32-bit code as asked (REGEXERCISE_EMULATE_I386)"

    # Check everything that needs no change first, so that a refusal leaves nothing behind.
    if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
        i386_fail "$why. Running it under qemu-i386 needs root, or sudo, to install qemu-user-static" \
            "and register it with binfmt_misc: run this as root, or install sudo."
    fi
    if ! grep -qw binfmt_misc /proc/filesystems; then
        as_root modprobe binfmt_misc 2>/dev/null || true
        grep -qw binfmt_misc /proc/filesystems ||
            i386_fail "$why, and this kernel has no binfmt_misc (CONFIG_BINFMT_MISC) to hand it to" \
                "qemu-i386. Load the module (modprobe binfmt_misc) or use a kernel that has it."
    fi

    if [ ! -e "$BINFMT_DIR/register" ]; then
        as_root mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" ||
            i386_fail "$why, and binfmt_misc cannot be mounted at $BINFMT_DIR (a container may" \
                "need to be privileged for it). Mount it on the host: mount -t binfmt_misc binfmt_misc $BINFMT_DIR"
        i386_mounted_here=1
    fi
    # From here on, a failure takes down what was set up.
    if [ -n "$forced" ]; then
        at_exit undo_i386_emulation
        record_forced_emulation
    fi
    if [ ! -x "$QEMU_I386" ]; then
        if ! install_packages qemu-user-static; then
            undo_i386_emulation
            i386_fail "$why, and qemu-user-static could not be installed."
        fi
    fi
    if ! printf '%s' ":$BINFMT_ENTRY:M::$I386_MAGIC:$I386_MASK:$QEMU_I386:F" |
        as_root tee "$BINFMT_DIR/register" >/dev/null; then
        undo_i386_emulation
        i386_fail "$why, and registering $QEMU_I386 with binfmt_misc was refused."
    fi
    i386_registered_here=1

    export QEMU_RESERVED_VA=$QEMU_RESERVED_VA_FOR_WINE
    if ! i386_runs; then
        undo_i386_emulation
        i386_fail "$why, and even under $QEMU_I386 $I386_PROBE does not run."
    fi
    I386_PATH=emulated
    if [ -n "$forced" ]; then
        say "$why: qemu-i386 runs it, registered as binfmt_misc entry $BINFMT_ENTRY until this run ends."
    else
        say "$why: qemu-i386 runs it from now on, registered as binfmt_misc entry $BINFMT_ENTRY (about 5 s a Windows program start)."
    fi
}
