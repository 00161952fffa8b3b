# Sourced by the test scripts: runs a step with its output in a log file and
# prints one line for it, or, when it fails, the lines that say why.
#
#   quiet NAME COMMAND...   output in $logs/NAME.log (logs: build/logs)

logs=${logs:-build/logs}
mkdir -p "$logs"

quiet() {
  name=$1
  shift
  log="$logs/$name.log"
  started=$(date +%s)
  if "$@" >"$log" 2>&1; then
    summary=$(grep -E 'tests passed|no fault|^soak: (passed|skipped)' "$log" | tr '\n' ' ')
    echo "   ok: $name, $(($(date +%s) - started)) s ${summary:+($summary)}"
  else
    echo "   FAILED: $name; the end of $log:"
    grep -E '\*\*\*Failed|Failure$|FAILED|error:|ERROR' "$log" | head -n 40
    echo "   ..."
    tail -n 60 "$log"
    return 1
  fi
}
