#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, then builds and runs every test twice: a plain build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build; last, builds as users build (Release). Warnings
# are errors in all of them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="$(nproc)"
run_suite() {
  local dir="$1"; shift
  build_tree "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}
build_tree() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DTESSARY_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== build and test (release with assertions)"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== build and test (address and undefined-behaviour sanitizers)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSARY_SANITIZE=ON
echo "== build (release, as users build it)"
build_tree build-release -DCMAKE_BUILD_TYPE=Release
