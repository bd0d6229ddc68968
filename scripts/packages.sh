# Sourced by common.sh: installs what ./run, ./test and ./package need from
# the distribution's own packages, without their Recommends, and copes with a
# package mirror caught in the middle of a sync.

# Building: CMake and the cross toolchain with the posix thread model, which
# GoogleTest needs (the metapackage would bring the win32 model's too), and
# ccache, which spares the tests' own builds of the same sources.
BUILD_COMMANDS=(cmake make i686-w64-mingw32-g++-posix ccache)
BUILD_PACKAGES=(cmake make g++-mingw-w64-i686-posix ccache)
# Running: Wine with its 32-bit part, and a virtual display. Of everything
# that Wine recommends, only its own fonts: the boxes' Tahoma text and the
# Marlett glyph of their close button. The boxes come out the same, byte for
# byte, without the rest, the X extension libraries of both architectures
# (Xrender, Xrandr, Xcursor, Xi ...) included.
RUN_PACKAGES=(wine wine64 wine32:i386 fonts-wine xvfb)
# Testing: GoogleTest's sources, built with the tests.
TEST_PACKAGES=(googletest)

# How often and how far apart `apt-get update` is tried before going on with
# the package lists that it could read.
APT_UPDATE_TRIES=3
APT_UPDATE_PAUSE=3
# Names the system's own release suite (VERSION_CODENAME), on Debian and Ubuntu alike.
OS_RELEASE=/etc/os-release
# Set once this script has brought the package lists up to date.
apt_lists_read=

package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs what is missing for building (./package), for running (./run) or
# for testing (./test); each of them needs all that the one before needs.
# The build tools are taken from PATH when they are there, wherever from.
install_prerequisites() {
    local purpose=$1 index package packages=() missing=()
    for index in "${!BUILD_COMMANDS[@]}"; do
        command -v "${BUILD_COMMANDS[$index]}" >/dev/null || missing+=("${BUILD_PACKAGES[$index]}")
    done
    case $purpose in
    run) packages=("${RUN_PACKAGES[@]}") ;;
    test) packages=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
    esac
    for package in "${packages[@]}"; do
        package_installed "$package" || missing+=("$package")
    done
    install_packages "${missing[@]}"
}

install_packages() {
    [ $# -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null; then
        say "No apt-get here: install $* by hand (see README.md)."
        return 1
    fi
    say "Installing $* ..."
    case " $* " in
    *:i386\ *)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            as_root dpkg --add-architecture i386
            apt_lists_read=
        fi
        ;;
    esac
    [ -n "$apt_lists_read" ] || apt_update
    apt_lists_read=1
    apt_install_resolving "$@"
}

apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=120 "$@"
}

# The first error that apt printed in the log, in its own words.
apt_error() {
    sed -n 's/^E: \(.*\)$/\1/p' "$1" | head -n 1 | sed 's/  */ /g; s/\.$//'
}

# A mirror in the middle of a sync serves an index that does not match its
# release file. Retried a few times; then the lists that could be read are
# enough, as long as the install can be resolved from them.
apt_update() {
    local log try failed
    log=$(mktemp)
    for ((try = 1; try <= APT_UPDATE_TRIES; try++)); do
        if apt_get update >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        [ "$try" -lt "$APT_UPDATE_TRIES" ] && sleep "$APT_UPDATE_PAUSE"
    done
    failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log" | paste -sd ' ')
    say "apt-get update failed $APT_UPDATE_TRIES times on ${failed:-$(apt_error "$log")};" \
        "going on with the package lists it could read."
    rm -f "$log"
}

# Installs without Recommends, and never removes or downgrades a package. When
# the lists that apt has cannot be resolved together (an i386 list missing
# from a suite whose amd64 list is newer, say), the system's own release
# suite alone is tried once more: its versions exist for both architectures.
apt_install_resolving() {
    local log release error
    log=$(mktemp)
    if apt_get install -y --no-install-recommends --no-remove "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    error=$(apt_error "$log")
    release=$(. "$OS_RELEASE" && printf '%s' "${VERSION_CODENAME:-}")
    if [ -z "$release" ]; then
        rm -f "$log"
        install_failed "$*" "$error"
        return 1
    fi
    say "apt-get could not install them ($error); trying once more with the versions of" \
        "$release's own release suite alone (apt-get -t $release)."
    if apt_get install -y --no-install-recommends --no-remove -t "$release" "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    error=$(apt_error "$log")
    rm -f "$log"
    install_failed "$*" "$error; also from $release's release suite alone"
    return 1
}

install_failed() {
    say "Could not install $1 (${2:-apt-get failed}). The package mirror may be in the middle" \
        "of a sync: try again later. Nothing that was installed before was removed or downgraded."
}
