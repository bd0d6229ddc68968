#!/usr/bin/env bash
# How ./run and ./test make 32-bit code run on this host.
# Usage: host_setup_test.sh detection | second-pass | forced-emulation
# Exit status 77 means the case does not apply here (skipped).
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

source "$(dirname "$0")/checks.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A binfmt_misc entry as the kernel shows it.
entry() {
    local name=$1 state=$2 magic=$3 offset=${4:-0}
    printf '%s\ninterpreter /usr/bin/%s\nflags: F\noffset %s\nmagic %s\nmask %s\n' \
        "$state" "$name" "$offset" "$magic" fffffffffffefe00fffffffffffffffffeffffff >"$work/$name"
}

# What binfmt_misc holds and whether it is mounted: one text to compare.
binfmt_state() {
    grep -c " $BINFMT_DIR " /proc/mounts || true
    for entry in "$BINFMT_DIR"/*; do
        if [ -e "$entry" ]; then
            printf '%s: %s\n' "${entry##*/}" "$(head -n 1 "$entry")"
        fi
    done
}

case ${1:-} in
detection)
    i386=7f454c4601010100000000000000000002000300
    echo enabled >"$work/status"
    : >"$work/register"
    entry qemu-i386 enabled "$i386"
    entry switched-off disabled "$i386"
    entry qemu-x86_64 enabled 7f454c4602010100000000000000000002003e00
    entry qemu-arm enabled 7f454c4601010100000000000000000002002800
    entry elsewhere enabled "$i386" 4
    printf 'enabled\ninterpreter /usr/bin/jexec\nflags: \nextension .jar\n' >"$work/jar"
    check "only the enabled entry for i386 executables counts" \
        test "$(i386_binfmt_entries "$work")" = qemu-i386

    echo disabled >"$work/status"
    check "no entry counts while binfmt_misc is off" test -z "$(i386_binfmt_entries "$work")"
    check "nothing counts where binfmt_misc is not mounted" \
        test -z "$(i386_binfmt_entries "$work/missing")"

    check "i386 code runs here, one way or the other, after ./test's setup" i386_runs
    ;;
second-pass)
    # Tools that would change the machine record that they were called, and fail.
    mkdir "$work/bin"
    for tool in apt-get dpkg mount umount modprobe tee; do
        printf '#!/bin/sh\necho "%s $*" >>"%s/called"\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
        chmod +x "$work/bin/$tool"
    done
    before=$(binfmt_state)
    PATH="$work/bin:$PATH" install_prerequisites test
    PATH="$work/bin:$PATH" ensure_i386_code_runs
    check "nothing is installed, mounted or registered again" test ! -e "$work/called"
    check "binfmt_misc is as it was" test "$(binfmt_state)" = "$before"
    ;;
forced-emulation)
    if [ ! -x "$QEMU_I386" ]; then
        echo "qemu-user-static is not installed: REGEXERCISE_EMULATE_I386=1 ./test installs it."
        exit 77
    fi
    before=$(binfmt_state)
    # The forced setup in a shell of its own, whose end undoes it.
    during=$(REGEXERCISE_EMULATE_I386=1 bash -c '
        set -euo pipefail
        source "$1/scripts/common.sh"
        ensure_i386_code_runs 2>/dev/null
        i386_runs && echo "$(i386_binfmt_entries "$BINFMT_DIR" | head -n 1) ${QEMU_RESERVED_VA:-}"
    ' forced "$REPO_ROOT")
    check "the forced path runs i386 code through a binfmt_misc entry, with qemu's reserve ($during)" \
        test "${during% *}" != "" -a "${during#* }" = "$QEMU_RESERVED_VA_FOR_WINE"
    check "its end leaves binfmt_misc as it found it" test "$(binfmt_state)" = "$before"
    ;;
*)
    echo "usage: $0 detection | second-pass | forced-emulation" >&2
    exit 2
    ;;
esac
exit_with_checks
