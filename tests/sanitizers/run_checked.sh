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
if ls "$dir"/report.* >/dev/null 2>&1; then
  cat "$dir"/report.*
  echo "run_checked.sh: sanitizer reports above (exit status $status)" >&2
  exit 1
fi
exit $status
