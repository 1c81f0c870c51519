#!/bin/sh
# Takes the screenshots of the README: memloupe_gui of a build directory on the
# sample trace, one picture per result tab, on an X server of its own (no
# display needed). Uses the testing aid MEMLOUPE_GUI_PROBE of memloupe_gui to
# switch tabs once the analysis has finished.
#
#   scripts/take-screenshots.sh [BUILD_DIR]      (default: build-tests)
set -eu
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build-tests}
GUI=$BUILD_DIR/bin/memloupe_gui
SAMPLE=$BUILD_DIR/share/memloupe/memloupe.vextor.59132.zst
OUT=doc/screenshots
for f in "$GUI" "$SAMPLE"; do
    if [ ! -e "$f" ]; then
        echo "take-screenshots: $f is missing; build memloupe_gui and memloupe_sample first" >&2
        exit 1
    fi
done

WORK=$(mktemp -d)
XVFB_PID=""
GUI_PID=""
cleanup() {
    if [ -n "$GUI_PID" ]; then kill "$GUI_PID" 2>/dev/null || true; fi
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# waits up to 60 s for a line in a file
await() {
    tries=0
    until grep -q "$1" "$2" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 600 ]; then
            echo "take-screenshots: timed out waiting for '$1' in $2" >&2
            cat "$2" "$WORK/err" >&2 2>/dev/null || true
            exit 1
        fi
        sleep 0.1
    done
}

# -displayfd: the server picks a free display and writes its number
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$WORK/display" 2>"$WORK/xvfb.log" &
XVFB_PID=$!
await . "$WORK/display"
DISPLAY=:$(cat "$WORK/display")
export DISPLAY
export QT_QPA_PLATFORM=xcb LANGUAGE=en_US LC_ALL=C.UTF-8
# the windows save their layout on close: not into the user's settings
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/config" XDG_DATA_HOME="$WORK/home/data" XDG_CACHE_HOME="$WORK/home/cache"
mkdir -p "$HOME" "$OUT"

tab=0
for name in summary bottom-up caller-callee top-down flame-graph consumed allocations temporary-allocations sizes; do
    MEMLOUPE_GUI_PROBE=tab:$tab "$GUI" "$SAMPLE" >"$WORK/out" 2>"$WORK/err" &
    GUI_PID=$!
    await "tab shown" "$WORK/out"
    # the views paint after the switch
    sleep 2
    file=$(printf '%s/%02d-%s.png' "$OUT" $((tab + 1)) "$name")
    import -display "$DISPLAY" -window root -strip "$file"
    echo "take-screenshots: $file: $(sed -n 's/^tab shown: //p' "$WORK/out")"
    kill "$GUI_PID"
    wait "$GUI_PID" 2>/dev/null || true
    GUI_PID=""
    tab=$((tab + 1))
done
