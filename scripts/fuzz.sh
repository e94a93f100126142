#!/usr/bin/env bash
# fuzz.sh BUILD_DIR SECONDS: runs every fuzz target of BUILD_DIR for SECONDS each.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1 seconds=$2
shopt -s nullglob
targets=("$dir"/fuzz/fuzz_*)
passed=0 failed=0
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  if "$t" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
       "$corpus" "${seeds[@]}" >"$dir/$name.log" 2>&1; then
    echo "fuzz $name: ok (${seconds}s)"; passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED"; tail -n 40 "$dir/$name.log"; failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
