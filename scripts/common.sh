# Sourced by ./run, ./test and ./package: installs what the build and Wine
# need, builds, and prepares a Wine prefix. Bash only.

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PRESET=mingw-i686
BUILD_DIR=$REPO_ROOT/build/$PRESET

# A virtual display with true colour, for boxes that nobody needs to see.
XVFB_SCREEN="-screen 0 1024x768x24"

# Wine's own tools (wineboot, reg) are 64-bit programs in a 64-bit prefix:
# started through the 64-bit loader they run natively on every host, where
# the wine command would first start its 32-bit loader.
export WINE64=/usr/lib/wine/wine64

# Wine's own fonts (package fonts-wine).
WINE_FONTS=/usr/share/wine/fonts

export WINEDEBUG=-all
# No Mono or Gecko install prompts: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

source "$REPO_ROOT/scripts/packages.sh"
source "$REPO_ROOT/scripts/i386.sh"

say() {
    printf '%s\n' "$*" >&2
}

# What a script changed outside its build folder is taken down by commands
# registered here, run last first when it ends: normally, on an error, on
# Ctrl-C (status 130) or on SIGTERM (143).
AT_EXIT=()
at_exit() {
    AT_EXIT+=("$1")
    trap run_at_exit EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}
run_at_exit() {
    local index
    for ((index = ${#AT_EXIT[@]} - 1; index >= 0; index--)); do
        eval "${AT_EXIT[index]}" || true
    done
    AT_EXIT=()
}

# When a process started, in clock ticks since boot; empty when there is no
# such process. With the process id, it names one process for good.
process_start_time() {
    [ -r "/proc/$1/stat" ] && sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f20
}

# Whether the process with this id and start time (as recorded) still runs.
still_running() {
    [ -n "${1:-}" ] && [ "$(process_start_time "$1")" = "${2:-}" ]
}

# One ./run or ./test at a time in a clone: they share its build and its
# Wine prefixes. A lock whose process has gone (killed, say) is taken over.
# Tests that run ./run from ./test give it a lock of their own
# (REGEXERCISE_LOCK), in a prefix of their own.
take_clone_lock() {
    local what=$1 prefix=$2 lock=${REGEXERCISE_LOCK:-$REPO_ROOT/build/lock}
    local pid start holder held_prefix
    mkdir -p "$(dirname "$lock")"
    until (set -o noclobber; printf '%s\t%s\t%s\t%s\n' $$ "$(process_start_time $$)" "$what" "$prefix" >"$lock") 2>/dev/null; do
        IFS=$'\t' read -r pid start holder held_prefix <"$lock" || true
        if still_running "${pid:-}" "${start:-}"; then
            say "$holder is already under way in this clone (process $pid, Wine prefix $held_prefix): wait for it to end, or stop it, and try again."
            exit 1
        fi
        say "A ${holder:-run} that did not end (process ${pid:-unknown}) left its lock $lock: taking it over."
        rm -f "$lock"
    done
    at_exit "rm -f '$lock'"
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        say "Installing needs root: run as root or install sudo."
        exit 1
    fi
}

# Keeps how long a stage took since its start (a value of SECONDS), for the
# figures at the end.
STAGE_TIMES=()
stage_done() {
    STAGE_TIMES+=("$1 $((SECONDS - $2)) s")
}

# One line of figures: the whole time and each timed stage's, and how it
# ended when not well (its exit status).
report_times() {
    local stages ended=took
    stages=$(printf '%s, ' "${STAGE_TIMES[@]}")
    case ${2:-0} in
    0) ;;
    130) ended="was interrupted after" ;;
    143) ended="was stopped (SIGTERM) after" ;;
    *) ended="failed (status $2) after" ;;
    esac
    say "$1 $ended $SECONDS s on the $I386_PATH 32-bit path: ${stages%, }."
}

# Builds what ./run runs, the exe and the watcher; with "with-tests", the
# tests as well (GoogleTest and three test programs). A tree that ./test has
# configured keeps its tests, but ./run builds only its two programs there.
build() {
    cd "$REPO_ROOT"
    if [ "${1:-}" = with-tests ]; then
        cmake --preset "$PRESET" -B "$BUILD_DIR" -DREGEXERCISE_BUILD_TESTS=ON >/dev/null
        cmake --build "$BUILD_DIR" -j "$(nproc)"
        return
    fi
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
        cmake --preset "$PRESET" -B "$BUILD_DIR" -DREGEXERCISE_BUILD_TESTS=OFF >/dev/null
    fi
    cmake --build "$BUILD_DIR" -j "$(nproc)" --target regexercise regexercise-watch
}

# Whether an X display answers at the address in $1 (":0", "host:1.0"):
# its socket, or its TCP port. A DISPLAY left from a closed session names one
# that does not.
display_reachable() {
    local host=${1%%:*} number=${1#*:}
    number=${number%%.*}
    [[ $number =~ ^[0-9]+$ ]] || return 1
    if [ -z "$host" ] || [ "$host" = unix ]; then
        [ -S "/tmp/.X11-unix/X$number" ]
    else
        timeout 3 bash -c "exec 3<>/dev/tcp/$host/$((6000 + number))" 2>/dev/null
    fi
}

# Makes the prefix named by WINEPREFIX on first use (it takes a few seconds).
# With "unmanaged", Wine's windows are left to no window manager: on a bare
# virtual display that spares the 2 s that Wine otherwise waits for one each
# time a window closes.
prepare_wine_prefix() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        say "Creating the Wine prefix $WINEPREFIX ..."
        "$WINE64" wineboot -i >/dev/null 2>&1
        if [ "${1:-}" = unmanaged ]; then
            "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        fi
        wineserver -w
    fi
    # Only in our own prefixes: a person's prefix is theirs to keep as it is.
    case $WINEPREFIX in
    "$REPO_ROOT"/build/*) link_wine_fonts ;;
    esac
}

# Debian's Wine looks for its own fonts in "Z:\usr\share\wine\../fonts", a
# path that Wine's file lookup does not resolve, so it loads none of them.
# Without Marlett, whose letter "r" is the glyph of the close button, every
# title bar shows an "r" there. Fonts in the prefix's own Fonts folder are
# always loaded.
link_wine_fonts() {
    local fonts=$WINEPREFIX/drive_c/windows/Fonts font
    [ -d "$WINE_FONTS" ] && [ -d "$fonts" ] || return 0
    for font in "$WINE_FONTS"/*; do
        [ -e "$fonts/${font##*/}" ] || ln -s "$font" "$fonts/"
    done
}
