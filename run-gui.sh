#!/bin/sh
# First run: installs the Debian packages, builds memloupe_gui and the recorder
# and opens the window on the sample: memloupe_demo as the build recorded it,
# or the generated sample when that recording failed. Extra arguments go to
# memloupe_gui.
# Uses the build directory of ./run-tests.sh with the same settings, so either
# script only rebuilds what the other has not built yet.
set -eu
cd "$(dirname "$0")"

# Checked first: without a display the build would be wasted.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run-gui: no display: set DISPLAY or run under xvfb-run" >&2
    exit 1
fi

./scripts/install-deps.sh

BUILD_DIR=${MEMLOUPE_TEST_BUILD_DIR:-build-tests}
LAUNCHER=""
if command -v ccache >/dev/null 2>&1; then
    LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi

# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DMEMLOUPE_WERROR=ON $LAUNCHER
cmake --build "$BUILD_DIR" -j2 --target memloupe_gui memloupe_sample memloupe_demo_sample

SAMPLE=$BUILD_DIR/share/memloupe/memloupe.memloupe_demo.sample.zst
if [ ! -s "$SAMPLE" ]; then
    NOTE=$BUILD_DIR/share/memloupe/memloupe_demo.sample.failed
    echo "run-gui: opening the generated sample instead of a recording: $(cat "$NOTE" 2>/dev/null || echo "no recording of memloupe_demo")" >&2
    SAMPLE=$BUILD_DIR/share/memloupe/memloupe.vextor.59132.zst
fi
exec "$BUILD_DIR/bin/memloupe_gui" "$@" "$SAMPLE"
