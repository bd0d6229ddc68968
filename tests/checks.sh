# Sourced by the shell tests: named checks that report and count failures;
# end a test with `exit_with_checks`.
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

not() {
    ! "$@"
}

exit_with_checks() {
    exit $((failures > 0))
}
