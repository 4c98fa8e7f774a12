#!/bin/sh
# Runs a command whose sanitizer runtime writes its reports to files (log_path=DIR/report), then
# prints every report and fails if there is one. Under pytest a report written to standard error
# would be captured with the test's output and lost when the process dies.
#   run_checked.sh DIR command [args...]
dir=$1
shift
mkdir -p "$dir"
rm -f "$dir"/report.*
"$@"
status=$?
# ThreadSanitizer's lock-order graph gives up on cycles longer than it can report, and says so in a
# report of its own; object locks, taken holder before held under the object graph lock (see
# tsan.supp), make such cycles on long object chains. That warning alone is not a finding.
for report in "$dir"/report.*; do
  [ -f "$report" ] && ! grep -qv -e 'too long mutex cycle found' -e '^[[:space:]]*$' "$report" && rm -f "$report"
done
if ls "$dir"/report.* >/dev/null 2>&1; then
  cat "$dir"/report.*
  echo "run_checked.sh: sanitizer reports above (exit status $status)" >&2
  exit 1
fi
exit $status
