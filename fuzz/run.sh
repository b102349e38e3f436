#!/bin/sh
# Runs every fuzz target of a build for a bounded time: run.sh <build dir> <seconds per target>.
# New inputs go to <build dir>/corpus/<target>; the seeds in fuzz/corpus/<target> are only read.
# Crash inputs land in <build dir>/artifacts/. Exits non-zero when any target found a fault.
set -u
build="$1"
seconds="$2"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$build/artifacts"
status=0
for binary in "$build"/fuzz/*_fuzz; do
  name="$(basename "$binary" _fuzz)"
  mkdir -p "$build/corpus/$name"
  log="$build/artifacts/$name.log"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$build/corpus/$name" "$here/corpus/$name" >"$log" 2>&1
  code=$?
  runs="$(grep -o 'Done [0-9]* runs' "$log" | grep -o '[0-9]*')"
  if [ "$code" -ne 0 ]; then
    echo "$name: FAILED (exit $code), see $log"
    tail -n 30 "$log"
    status=1
  else
    echo "$name: ${runs:-?} executions in ${seconds}s"
  fi
done
exit $status
