#!/usr/bin/env bash
# Configures, builds and runs the C++ tests three times: a plain build, AddressSanitizer+UndefinedBehaviorSanitizer,
# and ThreadSanitizer. Exits non-zero on any failed test or sanitizer report.
# Needs g++ with its sanitizer runtimes (and uses cmake when installed). BUILD_ROOT (default: a temporary directory)
# holds the builds.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [[ -n "${BUILD_ROOT:-}" ]]; then
  build_root="$BUILD_ROOT"
else
  build_root="$(mktemp -d)"
  trap 'rm -rf "$build_root"' EXIT
fi

# Every report is fatal and turns into a non-zero exit.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1"

# Builds test_tree into $dir: through CMake when it is installed, else with the same flags by g++ directly.
build() {
  local dir="$1" sanitize="$2"
  if command -v cmake >/dev/null; then
    cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE="$sanitize" >/dev/null
    cmake --build "$dir" >/dev/null
  else
    local flags=()
    [[ -n "$sanitize" ]] && flags=(-fsanitize="$sanitize" -fno-omit-frame-pointer -fno-sanitize-recover=all)
    mkdir -p "$dir"
    "${CXX:-g++}" -std=c++20 -Wall -Wextra -Werror -O1 -g "${flags[@]}" -I"$here/../../ext" \
      "$here/test_tree.cpp" -o "$dir/test_tree" -pthread
  fi
}

run_variant() {
  local name="$1" sanitize="$2"
  local dir="$build_root/$name"
  echo "== $name"
  build "$dir" "$sanitize"
  if [[ "$name" == tsan ]]; then
    # ThreadSanitizer's shadow memory layout needs a fixed address space on kernels with wide mmap randomisation.
    setarch "$(uname -m)" -R "$dir/test_tree"
  else
    "$dir/test_tree"
  fi
}

run_variant plain ""
run_variant asan-ubsan "address,undefined"
run_variant tsan "thread"
echo "all C++ test variants passed"
