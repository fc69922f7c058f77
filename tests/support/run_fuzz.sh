#!/bin/sh
# run_fuzz.sh BINARY CORPUS_DIR SECONDS: a short sanitized fuzzing run.
bin=$1; corpus=$2; secs=$3
[ -x "$bin" ] || { echo "fuzz target $bin not built; skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null
# libFuzzer ends a finding with 77 by default, the code ctest takes for a skip.
exec "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=20 -error_exitcode=1 -timeout_exitcode=1 \
    -print_final_stats=1 "$work"
