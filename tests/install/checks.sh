# Sourced by the install tests: `check WHAT COMMAND...` runs the command, prints "ok" or "FAIL"
# with WHAT, and counts the failures in $failures, so one run reports every failed check.
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}
