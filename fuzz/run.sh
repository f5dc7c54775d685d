#!/usr/bin/env bash
# Runs every fuzzing harness (or the ones named) for a bounded time.
#
#   fuzz/run.sh [seconds-per-harness] [harness...]     default: 30 s, all
#
# Builds first (fuzz/build.sh). Each harness starts from its committed seeds
# in fuzz/corpus/<harness>/ plus the working corpus fuzz/corpus-work/<harness>/
# (git-ignored, kept between runs, where new inputs go), with the dictionary
# fuzz/dict/<harness>.dict if there is one. An input that crashes, trips a
# sanitizer, violates a property or runs too long is saved under
# fuzz/corpus-crashes/<harness>/; reproduce it by running the harness binary
# with the file as its only argument. Exits non-zero if any harness failed.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build-fuzz}"
seconds="${1:-30}"
shift || true

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: fuzz/run.sh [seconds-per-harness] [harness...]" >&2
  exit 2
fi

"$root/fuzz/build.sh" || exit 1

if [ $# -gt 0 ]; then
  harnesses=("$@")
else
  harnesses=()
  for source in "$root"/fuzz/*_fuzz.cc; do
    name="$(basename "$source" .cc)"
    harnesses+=("${name%_fuzz}")
  done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for name in "${harnesses[@]}"; do
  binary="$build/fuzz/${name}_fuzz"
  if [ ! -x "$binary" ]; then
    echo "run.sh: no harness '$name'" >&2
    failed+=("$name")
    continue
  fi
  work="$root/fuzz/corpus-work/$name"
  crashes="$root/fuzz/corpus-crashes/$name"
  mkdir -p "$work" "$crashes"
  options=(
    -max_total_time="$seconds"
    -timeout=20
    -max_len=8192
    -rss_limit_mb=4096
    -print_final_stats=1
    -artifact_prefix="$crashes/"
  )
  [ -f "$root/fuzz/dict/$name.dict" ] && options+=(-dict="$root/fuzz/dict/$name.dict")
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds+=("$root/fuzz/corpus/$name")

  echo "run.sh: $name for ${seconds} s"
  log="$work.log"
  if "$binary" "${options[@]}" "$work" "${seeds[@]}" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]+DONE)' "$log" | sed 's/^/  /'
  else
    echo "run.sh: $name FAILED; log: $log" >&2
    grep -v '^"' "$log" | tail -40 >&2
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "run.sh: all harnesses passed"
