# Sourced by the scripts that run the test suite.
#
# run_suite TESTS PYTHON-COMMAND...: the suite in two passes with one
# interpreter. First every test not marked `serial` on several pytest-xdist
# workers ($TAVRIN_TEST_WORKERS, default 3: most tests wait on servers, links
# and retries, so more workers than cores keep both cores busy); then the
# tests marked `serial`, whose bound is a time, one at a time in one process.
# Each pass prints its 25 slowest tests. Extra pytest arguments for both
# passes: the array suite_args. Ends with one line that adds up both passes.
# PYTHON-COMMAND may be a shell function (the Debian root's `inroot ...`).

run_suite() {
    local tests=$1 status=0 out pass
    shift
    out=$(mktemp)
    "$@" -m pytest -p no:cacheprovider ${suite_args[@]+"${suite_args[@]}"} -n "${TAVRIN_TEST_WORKERS:-3}" \
        --durations=25 -m "not serial" "$tests" | tee "$out" || status=1
    {
        "$@" -m pytest -p no:cacheprovider ${suite_args[@]+"${suite_args[@]}"} -p no:xdist \
            --durations=25 -m serial "$tests" | tee -a "$out"
        pass=${PIPESTATUS[0]}
    } || true
    [ "$pass" = 0 ] || [ "$pass" = 5 ] || status=1  # 5: no test is marked serial
    # Both passes' closing lines, e.g. "== 12 passed, 1 skipped in 3.2s": one total.
    { grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|deselected|errors?)\b.* in [0-9.]+s' "$out" || true; } | awk '
        { for (i = 2; i <= NF; i++) if ($i ~ /^(passed|failed|skipped|errors?|xfailed|xpassed)/) {
              word = $i; sub(/[^a-z].*/, "", word); sub(/errors/, "error", word); n[word] += $(i - 1) } }
        END { printf "== both passes: %d passed, %d failed, %d skipped, %d error\n",
                     n["passed"], n["failed"], n["skipped"], n["error"] }'
    rm -f "$out"
    return $status
}
