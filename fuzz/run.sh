#!/usr/bin/env bash
# Runs each libFuzzer target of a GMI_FUZZ build for FUZZ_SECONDS (default
# 60) from its seed corpus, fuzz/corpus/<target>/. New inputs go to a scratch
# copy of the corpus, never into the repository. A crash, leak or sanitizer
# report fails the run; the input behind it is kept in
# BUILD_DIR/fuzz-artifacts/<target>/. Usage: fuzz/run.sh BUILD_DIR
set -euo pipefail

build=$(cd "${1:?usage: fuzz/run.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
targets=(token_fuzzer console_escape_fuzzer handlers_fuzzer)

work=$(mktemp -d /tmp/gmi-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT

# "runs exec/s cov ft corpus" from a libFuzzer log: the final statistics and
# the last status line (there is no DONE line after a crash).
run_figures() {
  awk '/^stat::number_of_executed_units/ { runs = $2 }
       /^stat::average_exec_per_sec/ { rate = $2 }
       /^#[0-9]+\t.* cov: / {
         for (i = 1; i < NF; ++i) {
           if ($i == "cov:") cov = $(i + 1)
           if ($i == "ft:") ft = $(i + 1)
           if ($i == "corp:") corp = $(i + 1)
         }
       }
       END { print runs + 0, rate + 0, cov, ft, corp }' "$1"
}

failed=0
printf '%-22s %-6s %10s %8s %6s %7s %s\n' target result runs "exec/s" cov ft corpus
for target in "${targets[@]}"; do
  corpus=$work/$target
  artifacts=$build/fuzz-artifacts/$target
  log=$work/$target.log
  mkdir -p "$corpus" "$artifacts"
  cp "$root/fuzz/corpus/$target"/* "$corpus/"
  result=pass
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || result=FAIL
  if [[ $result == FAIL ]]; then
    failed=1
    echo "--- $target failed; the end of its log:"
    tail -n 60 "$log"
    echo "--- inputs kept in $artifacts"
  fi
  read -r runs rate cov ft corp <<<"$(run_figures "$log")"
  printf '%-22s %-6s %10s %8s %6s %7s %s\n' \
    "$target" "$result" "$runs" "$rate" "$cov" "$ft" "$corp"
done
exit "$failed"
