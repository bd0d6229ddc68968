#!/usr/bin/env bash
# Runs regexercise.exe under the watcher with Wine's relay trace on for the
# program alone and compares its own registry and message box calls with the
# expected sequence.
# Usage: platform_calls.sh WINE OBJDUMP WATCH_EXE PROGRAM_EXE EXPECTED_FILE
set -euo pipefail
wine=$1 objdump=$2 watch=$3 program=$4 expected=$5
here=$(dirname "$0")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The trace goes to the watcher's standard error, which the program shares.
if ! "$wine" "$watch" --wine-debug +relay "$program" >"$work/watched.txt" 2>"$work/trace.txt"; then
    cat "$work/watched.txt"
    grep -v ':Call\|:Ret' "$work/trace.txt" | tail -20
    echo "FAILED: the watched run did not complete"
    exit 1
fi

read -r base size < <("$objdump" -p "$program" |
    awk '$1 == "ImageBase" { base = $2 } $1 == "SizeOfImage" { size = $2 } END { print base, size }')
awk -v base="$base" -v size="$size" -f "$here/platform_calls.awk" "$work/trace.txt" >"$work/calls.txt"

if ! diff -u --label expected --label actual "$expected" "$work/calls.txt"; then
    echo "FAILED: the program's platform calls differ from the expected sequence"
    exit 1
fi
echo "The program made the $(wc -l <"$work/calls.txt") expected platform calls in order."
