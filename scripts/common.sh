# Sourced by ./run, ./test and ./package: installs what the build and Wine
# need, builds, and prepares a Wine prefix. Bash only.

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PRESET=mingw-i686
BUILD_DIR=$REPO_ROOT/build/$PRESET

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
}
run_at_exit() {
    local index
    for ((index = ${#AT_EXIT[@]} - 1; index >= 0; index--)); do
        eval "${AT_EXIT[index]}" || true
    done
    AT_EXIT=()
}

# Every end of a script has a last line that says how it ended. The stage
# under way is named in it when the script fails or is interrupted there,
# with what to do; report_times gives the line of an end that got that far.
SCRIPT_NAME=./${0##*/}
STAGE="starting"
STAGE_HINT=""
LAST_LINE_SAID=
stage() {
    STAGE=$1
    STAGE_HINT=${2:-}
}
on_exit() {
    local status=$?
    trap - EXIT INT TERM
    run_at_exit
    [ -n "$LAST_LINE_SAID" ] && exit "$status"
    case $status in
    0) ;;
    130) say "$SCRIPT_NAME was interrupted while $STAGE; what it had changed is put back${STAGE_HINT:+ ($STAGE_HINT)}." ;;
    143) say "$SCRIPT_NAME was stopped (SIGTERM) while $STAGE; what it had changed is put back${STAGE_HINT:+ ($STAGE_HINT)}." ;;
    *) say "$SCRIPT_NAME failed while $STAGE (status $status)${STAGE_HINT:+: $STAGE_HINT}." ;;
    esac
    exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Ends the script with one line that says what failed and what to do.
fail() {
    say "$*"
    LAST_LINE_SAID=1
    exit 1
}

# Wine takes only an absolute WINEPREFIX.
absolute_wine_prefix() {
    case $WINEPREFIX in
    /*) ;;
    "") fail "WINEPREFIX is set but empty: unset it, or name the prefix's folder." ;;
    *)
        WINEPREFIX=$(realpath -m -- "$WINEPREFIX")
        say "WINEPREFIX is a relative path, which Wine does not take: using $WINEPREFIX instead."
        ;;
    esac
    export WINEPREFIX
}

# A file could not be made or written in the folder: says why, in the
# system's words (read-only, disk full), and ends.
cannot_write() {
    local folder=$1 why=$2
    why=${why##*: }
    fail "$SCRIPT_NAME: ${folder#"$REPO_ROOT"/}/ cannot be written (${why:-for a reason not given})," \
        "and the build, its lock and the Wine prefixes are kept there: make room, or make" \
        "it writable, and run this again."
}

# One ./run or ./test at a time in a clone: they share its build and its
# Wine prefixes. Tests that run ./run from ./test give it a lock of their own
# (REGEXERCISE_LOCK), in a prefix of their own; the files of a run (its
# trace, its pictures, the watcher's word) are kept beside its lock.
# The lock is flock(1)'s, held by a process of its own for as long as this
# script's process lives: the kernel lets go of it however that ends, and
# nothing this script starts (a Wine server that outlives it, say) holds it.
CLONE_LOCK=${REGEXERCISE_LOCK:-$REPO_ROOT/build/lock}
RUN_DIR=${CLONE_LOCK%/*}
take_clone_lock() {
    local what=$1 prefix=$2 lock=$CLONE_LOCK why status=0 pid holder held_prefix
    if ! why=$({ mkdir -p "$(dirname "$lock")" && : >>"$lock"; } 2>&1); then
        cannot_write "$(dirname "$lock")" "$why"
    fi
    hold_lock "$lock" "$$"$'\t'"$what"$'\t'"$prefix" || status=$?
    case $status in
    0) ;;
    75)
        IFS=$'\t' read -r pid holder held_prefix <"$lock" || true
        fail "${holder:-Another run} is already under way in this clone (process" \
            "${pid:-unknown}, Wine prefix ${held_prefix:-unknown}): wait for it to end, or" \
            "stop it, and try again."
        ;;
    *) cannot_write "$(dirname "$lock")" "$LOCK_WHY" ;;
    esac
}

# Takes the flock(1) lock on FILE for as long as this script's process lives,
# through a process of its own (LOCK_HOLDER), which writes LINE into the file
# once it holds it: what the file records is then this script's. Returns 75
# when another process holds it, and another status, the reason in
# LOCK_WHY, when the file cannot be written. Options after LINE: "as root",
# and "wait: WHAT", which waits up to 15 minutes for the other holder to end,
# and after a second says, once, that it waits for WHAT.
hold_lock() {
    local file=$1 line=$2 run=() wait=(-n) status=0 recorded option waiting_for= tries=0
    for option in "${@:3}"; do
        case $option in
        "as root") run=(as_root) ;;
        wait:*) wait=(-w 900) waiting_for=${option#wait: } ;;
        esac
    done
    "${run[@]}" flock "${wait[@]}" -o -E 75 "$file" bash -c \
        'printf "%s\n" "$1" >"$2" || exit 74; exec tail -s 0.1 --pid="$3" -f /dev/null' \
        lock-holder "$line" "$file" "$$" </dev/null >/dev/null 2>"$RUN_DIR/lock.why" &
    LOCK_HOLDER=$!
    until IFS= read -r recorded <"$file" 2>/dev/null && [ "$recorded" = "$line" ]; do
        if ! kill -0 "$LOCK_HOLDER" 2>/dev/null; then
            wait "$LOCK_HOLDER" || status=$?
            LOCK_WHY=$(cat "$RUN_DIR/lock.why" 2>/dev/null)
            rm -f "$RUN_DIR/lock.why"
            return "$((status == 0 ? 74 : status))"
        fi
        tries=$((tries + 1))
        [ -n "$waiting_for" ] && [ "$tries" = 50 ] && say "Waiting for $waiting_for."
        sleep 0.02
    done
    rm -f "$RUN_DIR/lock.why"
    at_exit "kill $LOCK_HOLDER 2>/dev/null"
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

# One line of figures, the script's last: the whole time and each timed
# stage's, and how it ended when not well (its exit status).
report_times() {
    LAST_LINE_SAID=1
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
# The compiler's results are kept in build/ccache, and a clone that a test
# makes (given this CCACHE_DIR) finds them there: its paths are taken from
# its own root. Not for ./package, whose release is built from nothing.
export CCACHE_DIR=${CCACHE_DIR:-$REPO_ROOT/build/ccache} CCACHE_BASEDIR=$REPO_ROOT
CACHED_COMPILER=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

build() {
    cd "$REPO_ROOT"
    # A clone moved elsewhere keeps the old folder's paths in its build tree.
    local configured
    configured=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
    if [ -n "$configured" ] && [ "$configured" != "$REPO_ROOT" ]; then
        say "${BUILD_DIR#"$REPO_ROOT"/} was made for a clone at $configured: making it anew here."
        rm -rf "$BUILD_DIR"
    fi
    if [ "${1:-}" = with-tests ]; then
        cmake --preset "$PRESET" -B "$BUILD_DIR" -DREGEXERCISE_BUILD_TESTS=ON "$CACHED_COMPILER" >/dev/null
        cmake --build "$BUILD_DIR" -j "$(nproc)"
        return
    fi
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
        cmake --preset "$PRESET" -B "$BUILD_DIR" -DREGEXERCISE_BUILD_TESTS=OFF "$CACHED_COMPILER" >/dev/null
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
