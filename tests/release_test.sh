#!/usr/bin/env bash
# The release archive: two ./package runs of the same commit, in different
# folders, at different times, with another umask, time zone and user, give
# the same bytes; and the archive holds what a Windows user needs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

source "$(dirname "$0")/checks.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A copy of the working tree as it is, with its history for the commit's time.
copy_to() {
    mkdir -p "$1"
    (
        cd "$repo"
        git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
            if [ -e "$file" ]; then
                cp --parents "$file" "$1"
            fi
        done
        cp -r .git "$1/"
    )
}

# Runs ./package in a copy; shows what it said if it fails.
package() {
    local copy=$1
    shift
    if ! "$@" "$copy/package" >"$work/package.log" 2>&1; then
        cat "$work/package.log"
        echo "FAILED: ./package in $copy"
        exit 1
    fi
}

first=$work/one/regexercise
second=$work/somewhere/else/two/regexercise-copy
copy_to "$first"
copy_to "$second"

(umask 022 && package "$first" env TZ=UTC)
sleep 1
# Another user, where there is one to be: the archive must not record who built it.
as_other_user=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && unshare --map-root-user true 2>/dev/null; then
    chmod 755 "$work"
    chown -R nobody "$work/somewhere"
    as_other_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work")
fi
(umask 077 && package "$second" "${as_other_user[@]}" env TZ=Pacific/Auckland)

version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' "$repo/CMakeLists.txt" | head -n 1)
name=regexercise-$version-win32
one=$first/build/release
two=$second/build/release

check "the exe is the same bytes from both builds" \
    cmp "$one/regexercise.exe" "$two/regexercise.exe"
check "the archive is the same bytes from both builds" cmp "$one/$name.zip" "$two/$name.zip"
check "SHA256SUMS is the same and holds the archive's checksum" \
    sh -c "cmp '$one/SHA256SUMS' '$two/SHA256SUMS' && cd '$one' && sha256sum -c --quiet SHA256SUMS"
check "no build folder is named in the exe" sh -c "! grep -q -a -e '$work' '$one/regexercise.exe'"

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$one/$name.zip")
check "the archive holds the exe, README.txt and LICENSE.txt in $name/" \
    test "$(cd "$work/unpacked" && find . -type f | sort | tr '\n' ' ')" = \
    "./$name/LICENSE.txt ./$name/README.txt ./$name/regexercise.exe "
ends_every_line_with_crlf() {
    ! grep -q -v $'\r$' "$1"
}
for text in README.txt LICENSE.txt; do
    check "every line of $text ends with CR LF" ends_every_line_with_crlf "$work/unpacked/$name/$text"
done
check "README.txt names version $version" \
    grep -q "^regexercise $version" "$work/unpacked/$name/README.txt"
check "the exe's version information says $version" \
    sh -c "i686-w64-mingw32-strings -el '$work/unpacked/$name/regexercise.exe' | grep -qx '$version'"
check "LICENSE.txt is the MIT license of The regexercise authors, 2026" \
    sh -c "grep -q '^MIT License' '$work/unpacked/$name/LICENSE.txt' &&
           grep -q 'Copyright (c) 2026 The regexercise authors' '$work/unpacked/$name/LICENSE.txt'"
exit_with_checks
