#!/usr/bin/env bash
# Builds the fuzzing variant of both extension modules and runs every harness
# for a bounded time, each from its seed corpus; any finding fails the run.
#
#   fuzz/run.sh [seconds per harness, default 20] [harness ...]
#
# Needs clang and its sanitizer runtimes (Debian: clang libclang-rt-dev).
# New corpus entries and findings go to a scratch directory, printed at the
# end; the seed corpora in fuzz/seeds are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(feed master dicts)

venv=.venv-fuzz
[ -x $venv/bin/python ] || python3 -m venv $venv
$venv/bin/pip install -q 'atheris==3.0.0' numpy pyarrow
# Coverage instrumentation for libFuzzer plus AddressSanitizer, in both
# modules (CMake option TIDEMARK_FUZZ).
CC=clang CXX=clang++ $venv/bin/pip install -q . \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.TIDEMARK_FUZZ=ON \
  --config-settings=build-dir=build/fuzz

# The interpreter is not instrumented: atheris's libFuzzer and the
# AddressSanitizer runtime come in one preloaded library, as atheris
# documents for native extensions. Leak detection stays off (the interpreter
# keeps its own allocations until exit); allocator_may_return_null lets an
# oversized allocation fail as MemoryError instead of aborting.
preload=$($venv/bin/python -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
work=$(mktemp -d)
status=0
for h in "${harnesses[@]}"; do
  mkdir -p "$work/$h"
  dict=()
  [ -f "fuzz/$h.dict" ] && dict=("-dict=fuzz/$h.dict")
  echo "== fuzz_$h.py for ${seconds}s"
  log="$work/$h.log"
  if LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    $venv/bin/python "fuzz/fuzz_$h.py" -max_total_time="$seconds" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$work/$h-" "${dict[@]}" "$work/$h" "fuzz/seeds/$h" \
    >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)|DONE' "$log" || true
  else
    tail -n 60 "$log"
    status=1
  fi
done
# The harnesses' scratch files of the last runs (see fuzz/common.py).
$venv/bin/python -c 'import sys; sys.path.insert(0, "fuzz"); import common' || true
echo "fuzz work directory: $work"
exit $status
