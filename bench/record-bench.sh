#!/bin/sh
# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later
#
# What recording costs: each workload run plain and under `memloupe`, side by
# side in one table.
#
#   bench/record-bench.sh BUILD_DIR [RUNS]
#
# BUILD_DIR must hold the built memloupe, its preload library, memloupe_report
# and memloupe-allocbench:
#   cmake --build BUILD_DIR --target memloupe memloupe_preload memloupe_report memloupe-allocbench
# Every wall time is the median of RUNS runs (default 3), or hyperfine's mean
# when hyperfine is installed. The recorded time is the whole memloupe
# command, which ends only when the trace file is complete. Columns:
#   plain, recorded  wall time in seconds
#   slowdown         recorded / plain
#   allocs           calls to the allocation functions in the trace
#   trace            size of the compressed trace file
#   B/event          trace bytes per heap event (allocations + frees)
# Workloads: GCC's compiler proper (cc1plus, with the arguments g++ -### gives)
# on a file instantiating <regex>, <map>, <unordered_map> and <iostream>;
# ls -la /usr/lib; sort of a generated 5 MB file; a python3 json loop; and
# memloupe-allocbench (4 threads, 20-frame stacks), whose own ns per
# malloc+free pair is printed below the table, plain and recorded.
# Last, an independent count: ltrace -c on ls of /usr/share/doc next to the
# recorded count of the same calls (ltrace -e sees only the program's own
# calls through the PLT, ltrace -x and the recorder also those from inside
# the libraries).
#
# Measured with `bench/record-bench.sh build-e2e 3` (RelWithDebInfo) on the
# project's VM, 2 cores shared with other builds (the plain cc1plus run took
# 3.6 s on a quieter run of the same day):
#   workload       plain  recorded  slowdown     allocs      trace  B/event
#   cc1plus       6.620s   19.478s      2.9x    4002333    7208.6k     0.93
#   ls            0.003s    0.086s     28.7x        448       4.4k     7.03
#   sort          0.180s    0.302s      1.7x        222       2.3k     8.03
#   python3       0.051s    1.507s     29.5x       8942      72.2k     4.16
#   allocbench    0.006s    0.396s     66.0x     800006     722.1k     0.46
#   allocbench: plain 3.8 ns, recorded 453.3 ns per pair, recorder cost 449.5 ns
#   ls /usr/share/doc: ltrace -e malloc 0, calloc 10, realloc 12, free 36;
#     ltrace -x malloc 1192, realloc 10, free 111; recorded 1200 allocations,
#     76 frees
# The short runs pay the launcher's start and the symbolising of every
# module's debug information (python3's libpython carries a lot of it);
# cc1plus and allocbench show the cost per event.
set -eu

BUILD_DIR=$(cd "${1:?usage: record-bench.sh BUILD_DIR [RUNS]}" && pwd)
RUNS=${2:-3}
MEMLOUPE=$BUILD_DIR/bin/memloupe
REPORT=$BUILD_DIR/bin/memloupe_report
ALLOCBENCH=$BUILD_DIR/bin/memloupe-allocbench
for tool in "$MEMLOUPE" "$REPORT" "$ALLOCBENCH"; do
    [ -x "$tool" ] || { echo "record-bench: $tool is not built" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

now_ns() {
    date +%s%N
}

# median wall time in seconds of a command, output thrown away
wall_time() {
    if command -v hyperfine >/dev/null 2>&1; then
        hyperfine --runs "$RUNS" --style none --export-json "$WORK/hf.json" -- "$(quote_all "$@")" >/dev/null 2>&1
        python3 -c 'import json,sys; print("%.3f" % json.load(open(sys.argv[1]))["results"][0]["mean"])' "$WORK/hf.json"
        return
    fi
    : >"$WORK/times"
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        start=$(now_ns)
        "$@" >/dev/null 2>&1 || true
        end=$(now_ns)
        echo $(((end - start) / 1000)) >>"$WORK/times"
        i=$((i + 1))
    done
    sort -n "$WORK/times" | awk '{ t[NR] = $1 } END { printf "%.3f\n", t[int((NR + 1) / 2)] / 1e6 }'
}

quote_all() {
    for argument in "$@"; do
        printf "'%s' " "$(printf '%s' "$argument" | sed "s/'/'\\\\''/g")"
    done
}

# allocations from the report; frees counted in the trace's own records
trace_counts() {
    allocations=$("$REPORT" --json "$1" 2>/dev/null | python3 -c 'import json,sys; print(json.load(sys.stdin)["summary"]["cost"]["allocations"])')
    frees=$(zstd -dc "$1" | grep -c '^-' || true)
    echo "$allocations $frees"
}

printf '%-10s %9s %9s %9s %10s %10s %8s\n' workload plain recorded slowdown allocs trace B/event
row() {
    name=$1
    shift
    plain=$(wall_time "$@")
    trace=$WORK/memloupe.$name.zst
    recorded=$(wall_time "$MEMLOUPE" -o "$trace" "$@")
    # the trace of the last recorded run
    set -- $(trace_counts "$trace")
    size=$(stat -c %s "$trace")
    awk -v n="$name" -v p="$plain" -v r="$recorded" -v a="$1" -v f="$2" -v s="$size" 'BEGIN {
        printf "%-10s %8.3fs %8.3fs %8.1fx %10d %9.1fk %8.2f\n", n, p, r, (p > 0 ? r / p : 0), a, s / 1024, (a + f > 0 ? s / (a + f) : 0)
    }'
}

# a translation unit that makes the compiler instantiate a lot
cat >"$WORK/templates.cpp" <<'EOF'
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

template<typename K, typename V>
std::size_t fill(std::map<K, V> &ordered, std::unordered_map<K, V> &hashed, const std::vector<K> &keys)
{
    for (const auto &key : keys) {
        ordered[key] = V();
        hashed[key] = V();
    }
    return ordered.size() + hashed.size();
}

int main(int argc, char **argv)
{
    std::regex word("[a-z]+([0-9]*)", std::regex::ECMAScript | std::regex::icase);
    std::map<std::string, int> a;
    std::unordered_map<std::string, int> b;
    std::map<int, std::string> c;
    std::unordered_map<int, std::string> d;
    std::map<long, std::vector<double>> e;
    std::unordered_map<long, std::vector<double>> f;
    std::vector<std::string> words(argv, argv + argc);
    std::size_t total = fill(a, b, words) + fill(c, d, std::vector<int>{1, 2, 3}) + fill(e, f, std::vector<long>{4, 5});
    for (const auto &w : words) {
        std::smatch match;
        if (std::regex_search(w, match, word)) {
            std::cout << match[1] << '\n';
        }
        std::cout << std::regex_replace(w, word, "<$&>") << '\n';
    }
    std::wregex wide(L"x+");
    std::cout << total << std::regex_match(std::wstring(L"xx"), wide) << std::endl;
    return 0;
}
EOF
# cc1plus directly, with what the driver would pass it, minus its temporary output
CC1PLUS_LINE=$(cd "$WORK" && g++ -### -O1 -c templates.cpp -o templates.o 2>&1 | grep -m1 'cc1plus')
eval "set -- $CC1PLUS_LINE"
CC1PLUS=$1
shift
for argument; do
    shift
    if [ "${skip:-}" = 1 ]; then
        skip=
        continue
    fi
    if [ "$argument" = -o ]; then
        skip=1
        continue
    fi
    set -- "$@" "$argument"
done
(cd "$WORK" && row cc1plus "$CC1PLUS" "$@" -o "$WORK/templates.s")

row ls ls -la /usr/lib

# 5 MB of pseudo-random lines, the same every time
awk 'BEGIN { x = 12345; for (i = 0; i < 400000; ++i) { x = (x * 1103515245 + 12345) % 2147483648; printf "%010d line\n", x } }' >"$WORK/unsorted.txt"
row sort sort -o "$WORK/sorted.txt" "$WORK/unsorted.txt"

# the interpreter itself: a python3 on PATH may be a wrapper script (pyenv)
# that would be recorded in its place
PYTHON=$(python3 -c 'import sys; print(sys.executable)')
row python3 "$PYTHON" -c "import json; [json.dumps(list(range(1000))) for _ in range(200)]"

row allocbench "$ALLOCBENCH"

echo
plain_ns=$("$ALLOCBENCH" | sed -n 's/.*ns\/pair //p')
recorded_ns=$("$MEMLOUPE" -o "$WORK/memloupe.allocbench-ns.zst" "$ALLOCBENCH" | sed -n 's/.*ns\/pair //p')
awk -v p="$plain_ns" -v r="$recorded_ns" 'BEGIN {
    printf "allocbench, wall ns per malloc+free pair over 4 threads: plain %.1f, recorded %.1f, recorder cost %.1f ns\n", p, r, r - p
}'

if command -v ltrace >/dev/null 2>&1; then
    DIR=/usr/share/doc
    # -e: calls through the program's own PLT; -x: every entry into the
    # library functions, from the C library itself too, as the recorder sees them
    ltrace -c -e malloc+free+calloc+realloc -o "$WORK/ltrace-e.txt" ls "$DIR" >/dev/null 2>&1 || true
    ltrace -c -x malloc+free+calloc+realloc -o "$WORK/ltrace-x.txt" ls "$DIR" >/dev/null 2>&1 || true
    "$MEMLOUPE" -o "$WORK/memloupe.ls-count.zst" ls "$DIR" >/dev/null 2>&1
    # ltrace -c: "% time seconds usecs/call calls function"
    calls() {
        awk '$5 ~ /^(malloc|free|calloc|realloc)$/ { n[$5] = $4 } END { printf "malloc %d, calloc %d, realloc %d, free %d", n["malloc"], n["calloc"], n["realloc"], n["free"] }' "$1"
    }
    set -- $(trace_counts "$WORK/memloupe.ls-count.zst")
    echo "ls $DIR ($(ls "$DIR" | wc -l) entries), independent count and recording:"
    echo "  ltrace -c -e: $(calls "$WORK/ltrace-e.txt")"
    echo "  ltrace -c -x: $(calls "$WORK/ltrace-x.txt")"
    echo "  recorded:     allocations $1, frees $2 (free(NULL) is no event)"
else
    echo "ltrace is not installed: no independent count"
fi
