#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, then builds and runs every test twice: a plain build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build; then the tests of the threaded parts (the
# channel, the HTTP client, the outbox, the shared store, the credential store, the watcher) under
# ThreadSanitizer; then builds the fuzz targets with clang and runs each for a short while; last,
# builds the programs as users build them (Release, without the tests). Benchmarks are built in the
# plain build only. Warnings are errors in all of them.
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
  run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSARY_SANITIZE=ON -DTESSARY_BUILD_BENCH=OFF
echo "== build and test the threaded parts (thread sanitizer)"
thread_tests=(service_unit_tests service_integration_tests bridge_unit_tests credential_store_tests
              application_watcher_tests)
cmake -S . -B build-tsan -G Ninja -DTESSARY_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DTESSARY_SANITIZE=thread -DTESSARY_BUILD_UI=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target "${thread_tests[@]}"
# Programs not built for this run are listed by CTest as NOT_BUILT; only the built ones run.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300 -E NOT_BUILT)
echo "== build the fuzz targets (clang) and run each over its seeds, then for a bounded time"
fuzzers=(service_input_fuzzer chrome_host_fuzzer web_extension_fuzzer compact_json_fuzzer process_facts_fuzzer
         desktop_entry_fuzzer agent_files_fuzzer)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTESSARY_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_FUZZ=ON -DTESSARY_BUILD_UI=OFF -DTESSARY_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target "${fuzzers[@]}"
(cd build-fuzz && ctest --output-on-failure -j "$jobs" -R '_fuzzer$')
echo "== build (release, as users build it)"
build_tree build-release -DCMAKE_BUILD_TYPE=Release -DTESSARY_BUILD_TESTS=OFF
