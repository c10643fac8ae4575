#!/usr/bin/env bash
# Runs one fuzz target briefly, as CTest does in scripts/test:
#   run_fuzzer.sh TARGET SEED_DIR REGRESSION_DIR RUNS [libFuzzer options...]
# First every saved reproducer of an earlier finding (REGRESSION_DIR/<target>/)
# once, then RUNS runs over a scratch copy of the seeds, so the corpus in the
# repository never changes. A finding leaves its input in the current folder
# as <target>-crash-..., <target>-oom-... or <target>-timeout-....
set -euo pipefail
bin=$1 seeds=$2 regressions=$3 runs=$4
shift 4
name=$(basename "$bin")

# Limits that turn a runaway allocation or a hang into a finding. No input
# needs more than a few megabytes in one piece (a large key-code file is
# 0.9 MB), and the link's clock is virtual, so every input takes
# milliseconds.
limits=(-rss_limit_mb=2048 -malloc_limit_mb=32 -timeout=10)

if compgen -G "$regressions/$name/*" >/dev/null; then
  "$bin" "${limits[@]}" "$regressions/$name"/*
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -R "$seeds/." "$work/"
"$bin" "${limits[@]}" -runs="$runs" -seed=1 -print_final_stats=1 \
  -artifact_prefix="$PWD/$name-" "$@" "$work"
