#!/bin/sh
# Sets up everything and runs the whole test suite: installs the Debian
# packages, configures, builds and runs ctest. Safe to run again.
set -eu
cd "$(dirname "$0")"

./scripts/install-deps.sh

BUILD_DIR=${MEMLOUPE_TEST_BUILD_DIR:-build-tests}
LAUNCHER=""
if command -v ccache >/dev/null 2>&1; then
    LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi

# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DMEMLOUPE_WERROR=ON $LAUNCHER
cmake --build "$BUILD_DIR" -j2

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2

# Second build with AddressSanitizer and UndefinedBehaviorSanitizer for the tests
# of ingestion and analysis, the code that takes files from outside. Only their
# targets are built, which keeps this build at about half the size of the first.
SANITIZED_TESTS_REGEX='^tst_(linereader|pointermap|tracereader|tracediff|suppressions|hostile|tracegen|util|treebuilder|parserdata|histogram|parser|report|exports)$'
ASAN_BUILD_DIR=${MEMLOUPE_ASAN_BUILD_DIR:-build-tests-asan}
# shellcheck disable=SC2086
cmake -S . -B "$ASAN_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" -DBUILD_TESTING=ON \
    -DMEMLOUPE_WERROR=ON -DMEMLOUPE_SANITIZE=address,undefined $LAUNCHER
SANITIZED_TESTS=$(ctest --test-dir "$ASAN_BUILD_DIR" -N -R "$SANITIZED_TESTS_REGEX" | sed -n 's/^ *Test *#[0-9]*: *//p')
# shellcheck disable=SC2086
cmake --build "$ASAN_BUILD_DIR" -j2 --target $SANITIZED_TESTS
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$ASAN_BUILD_DIR" --output-on-failure -j2 -R "$SANITIZED_TESTS_REGEX"
