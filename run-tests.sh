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
