#!/usr/bin/env bash
# The long campaign of one fuzz target, as recorded in docs/fuzzing.md
# ("Fuzzing"):
#   campaign.sh FUZZER RUNS_PER_JOB OUT_DIR [libFuzzer options...]
# Two jobs side by side (the build machine has two cores), sharing one
# corpus that starts as a copy of the target's seeds; each job runs
# RUNS_PER_JOB inputs and ends with its statistics in OUT_DIR/fuzz-<n>.log.
# Findings are written to OUT_DIR as crash-, oom-, leak- or timeout- files.
set -euo pipefail
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=$2 out=$3
shift 3
name=$(basename "$bin")
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$out/corpus"
cp -R "$here/corpus/$name/." "$out/corpus/"
cd "$out"
start=$(date +%s)
"$bin" -jobs=2 -workers=2 -runs="$runs" -print_final_stats=1 \
  -rss_limit_mb=2048 -malloc_limit_mb=32 -timeout=10 -artifact_prefix="$out/" "$@" corpus || status=$?
echo "wall seconds: $(( $(date +%s) - start ))" | tee "$out/wall.txt"
exit "${status:-0}"
