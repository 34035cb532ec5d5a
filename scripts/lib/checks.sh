# The test run's stages beside the test suites: the format check, the clang-tidy build and the
# fuzz targets. Each is one check of the summary; each returns non-zero when it fails.
# shellcheck shell=bash

# Every C++ file of the tree, NUL-separated; the build trees are not ours to format.
vt_cxx_files() {
  find . \( -path ./build -o -path ./.git -o -path ./.cache \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.cc' \) -print0
}

vt_check_format() {
  vt_cxx_files | xargs -0 -r clang-format --dry-run -Werror
}

# clang-tidy runs while compiling, and .clang-tidy makes every finding an error, so a finding
# fails the build.
vt_check_tidy() {
  vt_build tidy
}

# The fuzz targets, each a name under fuzz/corpus/.
vt_fuzz_targets() {
  local dir
  for dir in fuzz/corpus/*/; do
    basename "$dir"
  done
}

# vt_fuzz_run TARGET SECONDS: runs one target on a scratch copy of its seeds, so what it adds
# stays out of the tree. A crash, leak, time-out or running out of memory fails it; the input
# that did is kept in build/fuzz/artifacts/TARGET/ and its log in build/fuzz/runs/TARGET.log.
vt_fuzz_run() {
  local target=$1 seconds=$2
  local binary=build/fuzz/fuzz/$target
  local work=build/fuzz/runs/$target
  local artifacts=build/fuzz/artifacts/$target/
  local log=build/fuzz/runs/$target.log
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  cp -r "fuzz/corpus/$target" "$work/corpus"
  local seeds
  seeds=$(find "$work/corpus" -type f | wc -l)
  "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$work/corpus" </dev/null >"$log" 2>&1
  local rc=$?
  # "#123456 DONE   cov: 812 ft: 2301 corp: 140/9876b ..." and the final statistics.
  local done_line cov ft rate
  done_line=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
  rate=$(sed -nE 's/^stat::average_exec_per_sec:[[:space:]]*([0-9]+).*/\1/p' "$log" | tail -n 1)
  printf 'fuzz: %-26s %4ss %7s exec/s  cov %5s  ft %6s  corpus %s -> %s\n' "$target" \
    "$seconds" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$seeds" "$(find "$work/corpus" -type f | wc -l)"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $target failed (exit $rc); log $log, reproducer in $artifacts:" >&2
    ls -l "$artifacts" >&2
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|ALARM|MS:)' "$log" | head -n 20 >&2
    return 1
  fi
}

# vt_run_checks: the stages above, counted into the caller's passed, failed and status.
vt_run_checks() {
  local seconds=${VT_FUZZ_SECONDS:-30} target
  vt_say "check: clang-format"
  vt_count_check "format" vt_check_format
  vt_say "build: tidy"
  vt_count_check "tidy build" vt_check_tidy
  vt_say "build: fuzz"
  if ! vt_build fuzz; then
    echo "build of preset fuzz failed" >&2
    vt_count_check "fuzz build" false
    return
  fi
  vt_say "fuzz: $seconds s per target"
  for target in $(vt_fuzz_targets); do
    vt_count_check "fuzz $target" vt_fuzz_run "$target" "$seconds"
  done
}

# vt_count_check NAME COMMAND...: one check of the summary.
vt_count_check() {
  local name=$1 started=$SECONDS
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "check passed: $name ($((SECONDS - started)) s)"
  else
    failed=$((failed + 1))
    status=1
    echo "check FAILED: $name ($((SECONDS - started)) s)"
  fi
}
