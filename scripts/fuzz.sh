#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build-fuzz/ and runs each for a fixed time; any harness failure fails the script.
#   scripts/fuzz.sh [seconds] [harness...]   default 30 seconds, every harness
# Each harness grows its corpus in build-fuzz/corpus/<harness>/ (kept between runs)
# from the seeds in fuzz/seeds/; a failing input is written to
# build-fuzz/artifacts/<harness>-crash-... and the harness log to build-fuzz/logs/.
# Faults that are known and still open are listed in fuzz/expected-faults: their
# property is not asserted in the timed runs, and each run says whether the
# committed reproducer still shows the fault.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
all=(fuzz_request fuzz_text fuzz_cert fuzz_time fuzz_sm2)
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=("${all[@]}")

declare -A seeds=([fuzz_request]=request [fuzz_text]=text [fuzz_cert]=cert [fuzz_time]=time [fuzz_sm2]=sm2)
declare -A maxlen=([fuzz_request]=16384 [fuzz_text]=4096 [fuzz_cert]=8192 [fuzz_time]=64 [fuzz_sm2]=4096)

dir="$here/build-fuzz"
bash "$here/scripts/build.sh" "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOVEL_FUZZ=ON \
  -DTOVEL_BUILD_TESTS=OFF -DTOVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
mkdir -p "$dir/logs" "$dir/artifacts"

# fuzz/expected-faults: "<harness> <fault> <reproducer under fuzz/>" per line.
expected=""
declare -a repro_lines=()
if [ -f "$here/fuzz/expected-faults" ]; then
  while read -r h fault repro; do
    case "$h" in ''|'#'*) continue ;; esac
    expected="${expected:+$expected,}$fault"
    repro_lines+=("$h $fault $repro")
  done < "$here/fuzz/expected-faults"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for h in "${harnesses[@]}"; do
  [ -n "${seeds[$h]:-}" ] || { echo "fuzz $h: no such harness (one of: ${all[*]})"; exit 2; }
  corpus="$dir/corpus/$h"
  mkdir -p "$corpus"
  seed_dirs=()
  [ -d "$here/fuzz/seeds/${seeds[$h]}" ] && seed_dirs=("$here/fuzz/seeds/${seeds[$h]}")
  log="$dir/logs/$h.log"
  rc=0
  # -max_total_time ends the run; -timeout ends one slow input; timeout(1) is
  # the last resort should the harness itself hang.
  TOVEL_FUZZ_EXPECTED_FAULTS="$expected" timeout -k 10 $((seconds + 120)) "$dir/fuzz/$h" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len="${maxlen[$h]}" \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$h-" "$corpus" "${seed_dirs[@]}" > "$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  size=$(find "$corpus" -type f | wc -l)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $h: passed, ${runs:-?} executions in ${seconds} s, corpus $size inputs"
  else
    failed=1
    artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -1)
    echo "fuzz $h: FAILED (exit $rc) after ${runs:-?} executions; input: ${artifact:-none}; log: $log"
    grep -E "PROPERTY BROKEN|ERROR: (Address|Leak|libFuzzer)|runtime error|SUMMARY" "$log" | head -5 | sed 's/^/  /'
  fi
done

# The expected faults: does each reproducer still show its fault?
for line in "${repro_lines[@]}"; do
  read -r h fault repro <<< "$line"
  if [[ " ${harnesses[*]} " == *" $h "* ]]; then
    replay="$dir/logs/$h-$fault.log"
    if "$dir/fuzz/$h" "$here/fuzz/$repro" > "$replay" 2>&1; then
      echo "fuzz $h: expected fault $fault no longer reproduces: remove it from fuzz/expected-faults"
    elif grep -q "PROPERTY BROKEN" "$replay"; then
      echo "fuzz $h: expected fault $fault still open ($repro: $(grep -m1 'PROPERTY BROKEN' "$replay" | cut -d: -f2- | sed 's/^ //'))"
    else
      failed=1
      echo "fuzz $h: FAILED replaying $repro otherwise than expected; log: $replay"
    fi
  fi
done
exit $failed
