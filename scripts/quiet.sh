# Sourced by the scripts that run long, chatty commands.

quiet() {  # quiet LOG command...: runs the command, shows its output only when it fails
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        grep -v '^WARNING: Location' "$log" | tail -n 60
        echo "== failed: $*"
        return 1
    fi
}
