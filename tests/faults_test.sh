#!/usr/bin/env bash
# ./run when things go wrong: Ctrl-C at the second box, a watcher killed
# there, its Wine server killed there, a second run while the first waits, a
# display that does not answer (to ./run, and to the program's boxes), bad
# input to the watcher, a build folder that cannot be written, a program of
# someone else's running in the prefix, and a clone in a folder whose name
# is not ASCII. Each ends promptly, says what happened, leaves alone what it
# did not start, and leaves the prefix's settings as they were, byte for
# byte, whatever their types and lengths.
# Processes are found only through this test's own prefix.
# Usage: faults_test.sh CASE [LANE], CASE one of interrupted | killed-watcher |
#   killed-server | two-runs | display-gone | boxes-not-shown | bad-input |
#   read-only-build | bystander | non-ascii-clone
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
source "$(dirname "$0")/checks.sh"

work=$(mktemp -d)
# Whatever ends this test ends the ./run it started too (the run puts its
# prefix back as it goes), and the processes it started for the case.
run=
case_processes=()
end_own() {
    if [ -n "$run" ] && kill -0 "$run" 2>/dev/null; then
        kill -CONT "${watcher:-}" 2>/dev/null || true
        kill -TERM "$run" 2>/dev/null || true
        wait "$run" 2>/dev/null || true
    fi
    if [ "${#case_processes[@]}" -gt 0 ]; then
        kill "${case_processes[@]}" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap end_own EXIT
# ./run on a virtual display of its own, in a prefix of these tests' own
# (one a lane: LANE, 0 unless given), copied from the tests' prefix, and
# with a lock of its own, beside which it keeps its files: ./test holds the
# clone's.
unset DISPLAY
export WINEPREFIX=$REPO_ROOT/build/wine-faults-${2:-0} REGEXERCISE_LOCK=$work/lock
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX.partial"
    cp -a "$REPO_ROOT/build/wine-tests" "$WINEPREFIX.partial"
    mv "$WINEPREFIX.partial" "$WINEPREFIX"
fi
trace=$work/relay-trace.txt
debug='HKCU\Software\Wine\Debug'

reg() {
    "$WINE64" reg "$@" >/dev/null 2>&1
}
# A change the test needs before it can start: one that fails says why.
set_up() {
    local said
    if ! said=$("$WINE64" reg "$@" 2>&1); then
        echo "FAILED: reg $* in $WINEPREFIX:" >&2
        grep -v ':fixme:' <<<"$said" >&2
        return 1
    fi
}

# A copy taken while the tests' wineserver runs may hold a journal of the
# end-to-end tests that the server had not yet removed on disk: the next
# watcher would rightly replay it. These tests start from none.
reg delete 'HKCU\Software\regexercise-watch' /f || true

# Relay settings that a careless save and restore would lose: a REG_MULTI_SZ,
# a REG_EXPAND_SZ and a value longer than 1,024 bytes. The prefix's own
# RelayExclude would also hide the very calls the watcher tells.
set_up add "$debug" /v RelayFromInclude /t REG_MULTI_SZ /d 'first.dll\0second.dll' /f
set_up add "$debug" /v RelayInclude /t REG_EXPAND_SZ /d '%ProgramFiles%\x.dll' /f
set_up add "$debug" /v RelayExclude \
    /d "user32.MessageBoxA;advapi32.RegCloseKey;$(printf 'ntdll.Func%04d;' $(seq 1 80))" /f
set_up export "$debug" "Z:$work/before.reg" /y
# The registry editor's own settings, which it writes as it closes.
editor_settings() {
    { "$WINE64" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Applets\Regedit' /s 2>&1 ||
        true; } | tr -d '\r'
}
editor_settings >"$work/editor-before.txt"
# The settings are on disk once the lane's server has ended; something left
# running in the lane's prefix would keep it up for ever.
if ! timeout 60 wineserver -w; then
    echo "FAILED: something still runs in $WINEPREFIX, a minute on:"
    prefix_processes
    exit 1
fi

settings_as_before() {
    reg export "$debug" "Z:$work/after.reg" /y && cmp -s "$work/before.reg" "$work/after.reg" &&
        ! reg query 'HKCU\Software\regexercise-watch' &&
        editor_settings | cmp -s "$work/editor-before.txt" -
}
written_key_gone() {
    ! reg query 'HKLM\WrittenKey'
}

# The Wine processes that run in this test's own prefix, "PID FILE COMMAND
# LINE" a line.
prefix_processes() {
    "$REPO_ROOT/scripts/prefix-processes" "$WINEPREFIX"
}

# The watcher that ./run started in this prefix (not one that finishes a watch).
watcher_pid() {
    prefix_processes | awk '/regexercise-watch\.exe/ && !/--finish/ && !found {found = $1}
                            END {print found}'
}

# Starts ./run in the background (its pid in $run), its output in $1. With
# job control, as from a terminal: otherwise it would start ignoring SIGINT.
start_run() {
    rm -f "$trace"
    set -m
    "$REPO_ROOT/run" >"$1" 2>&1 &
    run=$!
    set +m
}

# Waits until the program stands at its second box, WrittenKey filled, and
# stops the watcher there: whatever is done next is done at that moment.
stop_watcher_at_box_2() {
    local tries=0
    watcher=
    until [ -n "$watcher" ]; do
        watcher=$(watcher_pid)
        sleep 0.05
        tries=$((tries + 1))
        [ "$tries" -lt 2400 ] || return 1
    done
    until [ "$(grep -c 'Call user32.MessageBoxA' "$trace" 2>/dev/null)" = 2 ]; do
        sleep 0.02
        tries=$((tries + 1))
        [ "$tries" -lt 4800 ] || return 1
    done
    kill -STOP "$watcher"
}

# How many registry calls the narration in $1 lists under each heading, in
# order: "box 1: 8", ..., "after: 1".
calls_per_heading() {
    awk '/^Box [0-9]+ /{heading = "box " $2} /^  (No r|R)egistry calls after/{heading = "after"}
         /^    Reg/{count[heading]++} heading && !(heading in seen){seen[heading]; order[++n] = heading}
         END{for (i = 1; i <= n; i++) print order[i] ": " count[order[i]] + 0}' "$1" | paste -sd' '
}

finish_run() {
    status=0
    wait "$run" || status=$?
}

case $1 in
interrupted)
    start_run "$work/normal.txt"
    finish_run
    cat "$work/normal.txt"
    check "a normal run ends with 0" [ "$status" = 0 ]
    check "it counts every call the program made" \
        grep -q '^In all: 17 registry calls, 6 of them refused' "$work/normal.txt"
    check "each under its box" [ "$(calls_per_heading "$work/normal.txt")" = "box 1: 8 box 2: 8 after: 1" ]
    check "the registry editor showed WrittenKey beside the box" \
        grep -q '^  The registry editor, opened at .*, shows ".*\\\\HKEY_LOCAL_MACHINE\\\\WrittenKey"\.' "$work/normal.txt"
    check "and no longer after the end" grep -q '^  The registry editor, .*: WrittenKey is gone' "$work/normal.txt"
    check "a normal run leaves the relay settings as they were" settings_as_before

    start_run "$work/out.txt"
    stop_watcher_at_box_2
    kill -INT "$run"
    kill -CONT "$watcher"
    finish_run
    cat "$work/out.txt"
    check "Ctrl-C at box 2 ends ./run with 130" [ "$status" = 130 ]
    check "the watcher says it was interrupted" grep -q '^Interrupted: OK was pressed at once' "$work/out.txt"
    check "./run says so too" grep -q '^./run was interrupted' "$work/out.txt"
    check "no segmentation fault" not grep -qi 'segmentation' "$work/out.txt"
    check "the program deleted WrittenKey itself" written_key_gone
    check "the relay settings are as they were" settings_as_before
    ;;
killed-watcher)
    # Killed once the registry editor is open too: it writes its settings as
    # it closes, so it must be closed before they are put back.
    start_run "$work/out.txt"
    stop_watcher_at_box_2
    # The editor itself: the 64-bit process, not the 32-bit one that starts it.
    editor_pid() {
        prefix_processes | awk '$2 ~ /wine64/ && /regedit\.exe/ && !found {found = $1}
                                END {print found; exit !found}'
    }
    # The watcher goes on in steps of 20 ms and is frozen while the test
    # looks, so that it cannot close the editor before the test has seen it,
    # however slow the looking on a busy machine.
    tries=0
    until editor=$(editor_pid) || [ "$tries" -ge 1500 ]; do
        kill -CONT "$watcher"
        sleep 0.02
        kill -STOP "$watcher"
        tries=$((tries + 1))
    done
    # Held as it starts, most likely before its window is open, until the
    # watch is being finished: what finishes it must wait for the editor.
    kill -STOP "$editor" || true
    kill -KILL "$watcher"
    tries=0
    until prefix_processes | grep -- '--finish' >/dev/null || [ "$tries" -ge 400 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    sleep 1
    kill -CONT "$editor" || true
    finish_run
    cat "$work/out.txt"
    check "./run ends non-zero" [ "$status" != 0 ]
    check "it says the watcher gave no word" grep -q 'regexercise-watch gave no word on how the run ended' "$work/out.txt"
    check "what the watcher left is put back, and said" \
        grep -q 'a watch that did not end left .*HKEY_CURRENT_USER\\Software\\Wine\\Debug' "$work/out.txt"
    check "the box left open was answered: WrittenKey is gone" written_key_gone
    check "the registry editor left open was closed, by its process, and said" \
        grep -q 'left processes running: closed regedit.exe (process 0x[0-9A-F]*), a registry editor' "$work/out.txt"
    check "the relay settings are as they were" settings_as_before
    ;;
killed-server)
    # The server of the prefix killed while box 2 waits: every Wine process
    # of the run dies with it, and the wine command may still end with 0.
    # The prefix is this test's own: nothing else runs in it.
    start_run "$work/out.txt"
    stop_watcher_at_box_2
    wineserver -k
    kill -CONT "$watcher" 2>/dev/null || true
    finish_run
    cat "$work/out.txt"
    check "./run ends non-zero" [ "$status" != 0 ]
    check "one line says the run is not complete" \
        [ "$(grep -c 'gave no word on how the run ended.*before the run was complete' "$work/out.txt")" = 1 ]
    check "WrittenKey is put back: it did not exist before the run" written_key_gone
    check "it is said" grep -q 'HKEY_LOCAL_MACHINE\\WrittenKey' <(grep 'put back as it was before' "$work/out.txt")
    check "the relay settings are as they were" settings_as_before
    ;;
read-only-build)
    # In a mount namespace of its own, so that nothing outside sees it.
    status=0
    env -u REGEXERCISE_LOCK unshare -m bash -c 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && "$2/run"' \
        _ "$REPO_ROOT/build" "$REPO_ROOT" >"$work/out.txt" 2>&1 || status=$?
    cat "$work/out.txt"
    check "./run ends with 1" [ "$status" = 1 ]
    check "in one line" [ "$(grep -c . "$work/out.txt")" = 1 ]
    check "that says build/ cannot be written, and why" \
        grep -q '^./run: build/ cannot be written (Read-only file system)' "$work/out.txt"
    ;;
bystander)
    # A Windows program of someone else's, on a display of its own, open in
    # the prefix while ./run runs headless: it is left alone, and the run
    # takes no longer for it than a run just before it without it.
    start_run "$work/alone.txt"
    before=$SECONDS
    finish_run
    alone=$((SECONDS - before))
    "$REPO_ROOT/scripts/with-virtual-display" wine "$BUILD_DIR/bystander.exe" >/dev/null 2>&1 &
    case_processes+=($!)
    bystander=
    until [ -n "$bystander" ]; do
        bystander=$(prefix_processes | awk '/bystander\.exe/ && !found {found = $1} END {print found}')
        sleep 0.1
    done
    case_processes+=("$bystander")
    sleep 1
    before=$SECONDS
    start_run "$work/out.txt"
    finish_run
    took=$((SECONDS - before))
    cat "$work/out.txt"
    check "the run ends well" [ "$status" = 0 ]
    check "and says the run was complete" grep -q '^In all: 17 registry calls' "$work/out.txt"
    check "the bystander still runs" kill -0 "$bystander"
    check "it is still the bystander" grep -q "^$bystander .*bystander\.exe" <(prefix_processes)
    check "nothing was said to be ended" not grep -qi 'ending them\|: ended' "$work/out.txt"
    echo "the run took $took s beside the bystander, $alone s without it"
    # A wait for the prefix's server took 30 s at least, even on a busy machine.
    check "the run took its usual time, not a wait for the prefix" [ "$took" -lt $((alone + 20)) ]
    check "the relay settings are as they were" settings_as_before
    ;;
non-ascii-clone)
    # A copy of this clone, as it is, in a folder with Cyrillic and Latin-1
    # letters and a space, run in this test's prefix.
    clone="$work/проба ü/regexercise"
    mkdir -p "$clone"
    tar -C "$REPO_ROOT" --exclude=./build --exclude=./.git -cf - . | tar -C "$clone" -xf -
    status=0
    "$clone/run" --no-editor >"$work/out.txt" 2>&1 || status=$?
    cat "$work/out.txt"
    check "the run ends well" [ "$status" = 0 ]
    check "the program is named by its path, in UTF-8" \
        grep -qF "Starting $clone/build/mingw-i686/regexercise.exe" "$work/out.txt"
    check "both boxes were seen" grep -q '^Box 2 appeared' "$work/out.txt"
    check "the output is UTF-8 throughout" iconv -f UTF-8 -t UTF-8 "$work/out.txt" -o /dev/null
    check "the relay settings are as they were" settings_as_before
    ;;
two-runs)
    start_run "$work/first.txt"
    first=$run
    stop_watcher_at_box_2
    second=0
    "$REPO_ROOT/run" >"$work/second.txt" 2>&1 || second=$?
    kill -CONT "$watcher"
    run=$first
    finish_run
    cat "$work/second.txt"
    check "the second run is refused" [ "$second" != 0 ]
    check "it names the prefix" grep -q "already under way in this clone .*Wine prefix $WINEPREFIX" "$work/second.txt"
    check "the first run ends well" [ "$status" = 0 ]
    check "the relay settings are as they were" settings_as_before
    ;;
display-gone)
    # As after a login that kept the DISPLAY of a session now closed.
    status=0
    DISPLAY=:58 "$REPO_ROOT/run" >"$work/out.txt" 2>&1 || status=$?
    cat "$work/out.txt"
    check "a display that does not answer is named" \
        grep -q '^The display :58 does not answer: running on a virtual one instead' "$work/out.txt"
    check "the run goes on on a virtual display, to its end" [ "$status" = 0 ]
    check "both boxes were seen" grep -q '^Box 2 appeared' "$work/out.txt"
    ;;
boxes-not-shown)
    # The watcher of a person whose display does not answer: the program
    # runs on, and each of its boxes fails at once.
    watch=$BUILD_DIR/regexercise-watch.exe
    timeout 30 wineserver -w || true
    status=0
    DISPLAY=:58 wine "$watch" --observe --trace-file "Z:$work/trace.txt" \
        "$BUILD_DIR/regexercise.exe" >"$work/out.txt" 2>"$work/trace.txt" || status=$?
    cat "$work/out.txt"
    check "the watch ends non-zero" [ "$status" = 1 ]
    check "both boxes are told as asked for and not shown" \
        [ "$(grep -c '^Box [12] was asked for, but not shown' "$work/out.txt")" = 2 ]
    check "with Wine's reason" grep -q '^  Wine said: .*DISPLAY' "$work/out.txt"
    check "every call is listed once, under its box" \
        [ "$(calls_per_heading "$work/out.txt")" = "box 1: 8 box 2: 8 after: 1" ]
    check "and counted" grep -q '^In all: 17 registry calls, 6 of them refused' "$work/out.txt"
    check "the last line says the boxes could not be shown" \
        grep -q '^The program ran, but its boxes could not be shown: ' <(tail -n 1 "$work/out.txt")

    # A trace file that is not where standard error goes: the calls are
    # unknown, which is not the same as none.
    : >"$work/elsewhere.txt"
    status=0
    DISPLAY=:58 wine "$watch" --observe --trace-file "Z:$work/elsewhere.txt" \
        "$BUILD_DIR/regexercise.exe" >"$work/out.txt" 2>"$work/trace.txt" || status=$?
    cat "$work/out.txt"
    check "a trace file elsewhere is said" grep -q 'not listed: .*does not reach' "$work/out.txt"
    check "no count of calls is made up" not grep -q 'registry calls, ' "$work/out.txt"
    check "the watch ends non-zero" [ "$status" = 1 ]
    check "the relay settings are as they were" settings_as_before
    ;;
bad-input)
    watch=$BUILD_DIR/regexercise-watch.exe
    refused() {
        status=0
        wine "$watch" "$@" >"$work/out.txt" 2>&1 || status=$?
        cat "$work/out.txt"
        [ "$status" = 2 ] && [ "$(grep -c . "$work/out.txt")" = 1 ]
    }
    check "a missing program is refused in one line" refused "$work/missing.exe"
    check "naming it, in the system's words" \
        grep -q "^regexercise-watch: $work/missing.exe: File not found" "$work/out.txt"
    check "a timeout too long for a DWORD of milliseconds is refused in one line" \
        refused --timeout 536870912 "$BUILD_DIR/regexercise.exe"
    check "saying why" grep -q "^regexercise-watch: --timeout 536870912: too long" "$work/out.txt"
    check "nothing changed in the prefix" settings_as_before
    ;;
esac
exit_with_checks
