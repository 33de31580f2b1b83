#!/usr/bin/env bash
# Build and run the C++ test suite under the sanitizer presets of CMakePresets.json.
#
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer (the CI job)
#   scripts/sanitize.sh tsan   ThreadSanitizer
#   scripts/sanitize.sh all    both (default)
#
# oneTBB comes from $TARVIC_PREFIX (default: the repository's .venv), a prefix
# holding lib/cmake/TBB (the tbb-devel wheel installs one).
#
# ThreadSanitizer needs a oneTBB built with -fsanitize=thread: the hand-off of tasks between
# workers happens inside libtbb, and with an uninstrumented library every task looks like a data
# race, in oneTBB's headers and in our code alike. The tsan job therefore builds oneTBB from source
# once into build/tbb-tsan/install (or uses $TARVIC_TSAN_TBB, a prefix holding such a build). The
# source is $TARVIC_TBB_SRC, else the Debian source package `onetbb` fetched with `apt-get source`
# (needs a deb-src line in the apt sources).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
what=${1:-all}
jobs=2

default_prefix() {
  for p in "$root/.venv"; do
    if [ -d "$p/lib/cmake/TBB" ] || [ -d "$p/lib/cmake/tbb" ] || [ -d "$p/lib64/cmake/TBB" ]; then
      echo "$p"
      return
    fi
  done
  echo "$root/.venv"
}
prefix=${TARVIC_PREFIX:-$(default_prefix)}

if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  echo "GoogleTest is missing: install the system package libgtest-dev" >&2
  exit 1
fi

# Configure again from scratch when the cache points at another oneTBB than the one wanted.
configure() {
  local preset=$1 want=$2 cache="$root/build/$1/CMakeCache.txt" fresh=()
  if [ -f "$cache" ] && ! grep -q "^TBB_DIR:PATH=$want" "$cache"; then
    fresh=(--fresh)
  fi
  TARVIC_PREFIX=$want cmake --preset "$preset" "${fresh[@]}" >/dev/null
}

run_asan() {
  echo "== asan: AddressSanitizer + UndefinedBehaviorSanitizer (oneTBB from $prefix)"
  configure asan "$prefix"
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan
}

tsan_tbb_ok() { nm -D "$1/lib/libtbb.so" 2>/dev/null | grep -q ' __tsan_func_entry$'; }

build_tsan_tbb() {
  local dest=$1 work="$root/build/tbb-tsan" src=${TARVIC_TBB_SRC:-}
  if [ -z "$src" ]; then
    src=$(ls -d "$work"/src/oneTBB-* 2>/dev/null | head -n1 || true)
  fi
  if [ -z "$src" ]; then
    echo "Fetching the oneTBB source (Debian package onetbb)..."
    mkdir -p "$work/src"
    if ! (cd "$work/src" && apt-get source --download-only onetbb >/dev/null 2>&1); then
      echo "Cannot fetch the oneTBB source: add a deb-src line to the apt sources and run apt-get update," >&2
      echo "or set TARVIC_TBB_SRC to a oneTBB source tree, or TARVIC_TSAN_TBB to a TSan-built prefix." >&2
      exit 1
    fi
    (cd "$work/src" && tar xf onetbb_*.orig.tar.*)
    src=$(ls -d "$work"/src/oneTBB-* | head -n1)
  fi
  echo "Building oneTBB with -fsanitize=thread from $src ..."
  cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBBMALLOC_BUILD=OFF -DTBB_STRICT=OFF -DTBB_SANITIZE=thread \
    -DCMAKE_INSTALL_PREFIX="$dest" >/dev/null
  cmake --build "$work/build" -j "$jobs" >/dev/null
  cmake --install "$work/build" >/dev/null
}

run_tsan() {
  local tbb=${TARVIC_TSAN_TBB:-$root/build/tbb-tsan/install}
  if ! tsan_tbb_ok "$tbb"; then
    if [ -n "${TARVIC_TSAN_TBB:-}" ]; then
      echo "$tbb/lib/libtbb.so is not built with -fsanitize=thread" >&2
      exit 1
    fi
    build_tsan_tbb "$tbb"
    tsan_tbb_ok "$tbb" || { echo "the oneTBB build in $tbb carries no ThreadSanitizer instrumentation" >&2; exit 1; }
  fi
  echo "== tsan: ThreadSanitizer (instrumented oneTBB from $tbb)"
  configure tsan "$tbb"
  cmake --build --preset tsan -j "$jobs"
  ctest --preset tsan
}

case "$what" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac
