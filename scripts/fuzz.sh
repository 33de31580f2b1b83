#!/usr/bin/env bash
# Build the libFuzzer harness fuzz/core_fuzz.cpp (clang, ASan + UBSan) and run it for a bounded time.
#
#   scripts/fuzz.sh [seconds] [libFuzzer options...]     default: 60 seconds
#
# Starts from the seed corpus fuzz/corpus/core and keeps what it learns in build/fuzz/corpus
# (the seeds in the repository are never written). Prints the number of executions; exits
# non-zero when an input crashes, with the input saved under build/fuzz/artifacts/. Replay one
# with: build/fuzz/fuzz/core_fuzz build/fuzz/artifacts/crash-...
#
# oneTBB comes from $TARVIC_PREFIX (default: the repository's .venv). Clang is
# $TARVIC_FUZZ_CXX, else the newest clang++ found; when none is installed and apt-get can run as
# root, clang and its sanitizer runtime are installed from the distribution.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
secs=${1:-60}
shift || true
jobs=2

find_clang() {
  if [ -n "${TARVIC_FUZZ_CXX:-}" ]; then echo "$TARVIC_FUZZ_CXX"; return; fi
  for v in 22 21 20 19 18 17 16 15 14; do
    if command -v "clang++-$v" >/dev/null 2>&1; then echo "clang++-$v"; return; fi
  done
  if command -v clang++ >/dev/null 2>&1; then echo clang++; fi
}

# libFuzzer's runtime lives in the compiler's runtime package, separate from clang on Debian.
has_fuzzer_runtime() { echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
  "$1" -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - >/dev/null 2>&1; }

cxx=$(find_clang)
if [ -z "$cxx" ] || ! has_fuzzer_runtime "$cxx"; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    echo "Installing clang and its sanitizer runtime..."
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    [ -n "$cxx" ] || apt-get install -y -qq clang >/dev/null
    cxx=$(find_clang)
    major=$("$cxx" -dumpversion | cut -d. -f1)
    apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null 2>&1 || true
  fi
  if [ -z "$cxx" ] || ! has_fuzzer_runtime "$cxx"; then
    echo "clang with libFuzzer is missing: install clang and libclang-rt-<version>-dev" >&2
    exit 1
  fi
fi

prefix=${TARVIC_PREFIX:-}
if [ -z "$prefix" ]; then
  for p in "$root/.venv"; do
    if [ -d "$p/lib/cmake/TBB" ] || [ -d "$p/lib/cmake/tbb" ]; then prefix=$p; break; fi
  done
fi

build="$root/build/fuzz"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVIC_BUILD_FUZZ=ON -DTARVIC_SANITIZE=address,undefined,fuzzer-no-link \
  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$build" --target core_fuzz -j "$jobs"

mkdir -p "$build/corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/lsan.supp:print_suppressions=0}
log="$build/last_run.log"
set +e
"$build/fuzz/core_fuzz" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" "$@" "$build/corpus" "$root/fuzz/corpus/core" 2>&1 | tee "$log" |
  grep -v '^#[0-9]*[[:space:]]*\(NEW\|REDUCE\|pulse\)'
rc=${PIPESTATUS[0]}
set -e
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
echo "fuzz: ${execs:-0} executions in ${secs} s, exit status $rc (full log: $log)"
exit "$rc"
