#!/usr/bin/env bash
# How ./run, ./test and ./package install what they need, and that a second
# ./run installs and builds nothing.
# Usage: install_test.sh mirror-syncing | mirror-broken | second-run
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
source "$(dirname "$0")/checks.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The stand-ins below must be the ones called, whoever runs the test.
as_root() { "$@"; }
APT_UPDATE_PAUSE=0

failed_list=http://mirror.example/debian-security/dists/stable-security/main/binary-i386/Packages.xz

# An apt-get that fails as a mirror in the middle of a sync makes it fail:
# its update cannot read one list, and its install cannot be resolved unless
# it is held to the release suite named by $1 (none: it never can be). Each
# call is recorded; dpkg only knows the i386 architecture.
stand_in_apt() {
    local resolvable_with=$1
    mkdir -p "$work/bin"
    cat >"$work/bin/apt-get" <<STANDIN
#!/bin/sh
echo "apt-get \$*" >>"$work/calls"
case " \$* " in
*" update "*)
    echo "E: Failed to fetch $failed_list  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
*" -t $resolvable_with "*)
    [ -n "$resolvable_with" ] && exit 0 ;;
esac
echo "E: Unable to correct problems, you have held broken packages."
exit 100
STANDIN
    printf '#!/bin/sh\necho i386\n' >"$work/bin/dpkg"
    chmod +x "$work/bin/apt-get" "$work/bin/dpkg"
}

calls_of() {
    grep -c -- "$1" "$work/calls" || true
}

case ${1:-} in
mirror-syncing)
    printf 'NAME="Ubuntu"\nVERSION_CODENAME=noble\n' >"$work/os-release"
    OS_RELEASE=$work/os-release
    stand_in_apt noble
    status=0
    PATH="$work/bin:$PATH" install_packages wine32:i386 xvfb 2>"$work/said" || status=$?
    cat "$work/said"
    check "the install goes through" test "$status" = 0
    check "the update is tried $APT_UPDATE_TRIES times" test "$(calls_of ' update')" = "$APT_UPDATE_TRIES"
    check "one line names the list that failed" \
        test "$(grep -c "update failed $APT_UPDATE_TRIES times on $failed_list; going on" "$work/said")" = 1
    check "the install is tried once more with the release suite alone" \
        test "$(sed -n '/ install /s/.* -t \([^ ]*\) .*/\1/p' "$work/calls")" = noble
    check "one line says so, with apt's reason" \
        grep -q "held broken packages.*release suite alone (apt-get -t noble)" "$work/said"
    check "every install is without Recommends and removes nothing" \
        test "$(grep ' install ' "$work/calls" | grep -c -- '--no-install-recommends --no-remove')" = 2
    ;;
mirror-broken)
    stand_in_apt ""
    status=0
    PATH="$work/bin:$PATH" install_packages wine32:i386 2>"$work/said" || status=$?
    cat "$work/said"
    check "the script fails" test "$status" != 0
    check "after trying the release suite alone" test "$(calls_of ' install ')" = 2
    check "its last line names what failed and the mirror" \
        grep -q "^Could not install wine32:i386 (.*held broken packages.*mirror may be in the middle of a sync" \
        <(tail -n 1 "$work/said")
    ;;
second-run)
    # ./run's own steps, twice, in a tree of its own: the second time nothing
    # is installed and nothing is built.
    mkdir "$work/bin"
    for tool in apt-get dpkg; do
        printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
        chmod +x "$work/bin/$tool"
    done
    BUILD_DIR=$work/build
    build >/dev/null
    stamps=$(stat -c '%n %Y' "$BUILD_DIR"/*.exe)
    PATH="$work/bin:$PATH" install_prerequisites run
    again=$(build)
    check "nothing is installed" test ! -e "$work/calls"
    check "only the exe and the watcher are built" \
        test "$(basename -a "$BUILD_DIR"/*.exe | paste -sd ' ')" = "regexercise-watch.exe regexercise.exe"
    check "nothing is built again" test -z "$(grep -E 'Building|Linking' <<<"$again")"
    check "the programs are the same files" test "$(stat -c '%n %Y' "$BUILD_DIR"/*.exe)" = "$stamps"
    ;;
*)
    echo "usage: $0 mirror-syncing | mirror-broken | second-run" >&2
    exit 2
    ;;
esac
exit_with_checks
