#!/bin/sh
# Runs a fuzzer over its seeds (if any), then for a bounded time; fails on any crash, leak or
# timeout. New inputs and a crashing one go to a temporary folder, never into the seeds.
# Usage: run-fuzzer.sh FUZZER [SEEDS_FOLDER]
set -eu
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/found"
status=0
"$1" -max_total_time="${TESSARY_FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/found" ${2:+"$2"} || status=$?
for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
  [ -e "$crash" ] || continue
  echo "input that failed ($crash), base64:"
  base64 "$crash"
done
exit "$status"
