#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on a scratch copy of its corpus, so
# the corpus in the repository is never modified. Any crash, leak, timeout
# or excess memory fails the run; the input that caused it is kept in the
# artifact directory and shown in hex.
#   run-fuzzer.sh <target> <corpus dir> <seconds> <artifact dir>
set -euo pipefail
target=$1 corpus=$2 seconds=$3 artifacts=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$artifacts"
mkdir -p "$work/corpus" "$artifacts"
cp -R "$corpus/." "$work/corpus/"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
"$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -malloc_limit_mb=2048 \
  -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work/corpus" || status=$?
if [[ $status -ne 0 ]]; then
  for f in "$artifacts"/*; do
    [[ -f $f ]] || continue
    echo "== $f"
    od -A x -t x1z -v "$f" | head -n 64
  done
fi
exit $status
