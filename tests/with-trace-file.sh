#!/usr/bin/env bash
# Runs a test program with its standard error going to a file of its own,
# named to it by REGEXERCISE_TRACE_FILE: Wine writes the relay trace of the
# programs it starts there, and the watcher reads their calls from it.
# Usage: with-trace-file.sh COMMAND...
set -euo pipefail
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT

status=0
REGEXERCISE_TRACE_FILE="Z:$trace" "$@" 2>"$trace" || status=$?
# Whatever else went to standard error: the test program's and Wine's own messages.
grep -v -E '^([0-9a-f]{4}:){1,2}(Call |Ret  |trace:relay|Starting thread)' "$trace" >&2 || true
exit "$status"
