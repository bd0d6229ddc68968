#!/usr/bin/env bash
# Runs a GoogleTest program under Wine, its standard error going to a file of
# its own, named to it by REGEXERCISE_TRACE_FILE: Wine writes the relay trace
# of the programs it starts there, and the watcher reads their calls from it.
# The program passes only on its own word, GoogleTest's line that its tests
# passed, and only if the display and the Wine server that it ran on outlived
# it: a program that they took down with them can still end with 0.
# Usage: run-gtest.sh COMMAND...
set -uo pipefail
trace=$(mktemp)
output=$(mktemp)
trap 'rm -f "$trace" "$output"' EXIT

REGEXERCISE_TRACE_FILE="Z:$trace" "$@" 2>"$trace" | tee "$output"
status=${PIPESTATUS[0]}
# Whatever else went to standard error: the test program's and Wine's own messages.
grep -v -E '^([0-9a-f]{4}:){1,2}(Call |Ret  |trace:relay|Starting thread)' "$trace" >&2 || true

# Running, not only waiting to be reaped by its parent.
alive() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [ -n "$state" ] && [ "$state" != Z ]
}
died() {
    echo "run-gtest: $1 died while the tests ran: they count as failed." >&2
    status=1
}
if [ -n "${REGEXERCISE_DISPLAY_PID:-}" ] && ! alive "$REGEXERCISE_DISPLAY_PID"; then
    died "the virtual display $DISPLAY"
fi
if [ -n "${REGEXERCISE_WINESERVER_PID:-}" ] && ! alive "$REGEXERCISE_WINESERVER_PID"; then
    died "the Wine server of $WINEPREFIX"
fi
if [ "$status" = 0 ] && ! grep -q '^\[  PASSED  \] [0-9]* tests\?\.' "$output"; then
    echo "run-gtest: the program ended with 0 but never said that its tests passed." >&2
    status=1
fi
exit "$status"
