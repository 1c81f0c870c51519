/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Hand-written traces shared by the analysis job and report tests.

    The sample trace describes one small run in any file format. Its hand-worked
    results (the tests compare against these numbers):

    strings: 1 main, 2 /usr/bin/app, 3 app.cpp, 4 alloc_a, 5 alloc_b, 6 helper, 7 /lib/libx.so
    call stacks (outermost first): main > helper > alloc_a (trace 3), main > alloc_b (trace 4)
    allocation infos: 0 = 16 bytes from alloc_a, 1 = 100 bytes from alloc_b, 2 = 8 bytes from alloc_a

    time  event          consumed
    0     + 16 alloc_a   16
    10    + 100 alloc_b  116
          - 100          16   (temporary: freed right after it was allocated)
    20    + 100 alloc_b  116
          + 8 alloc_a    124  (peak at 20)
          - 100          24   (not temporary: another allocation came between)
    30    + 100 alloc_b  124
    40                        (last time stamp: total time 41)

    totals: 5 allocations, 1 temporary, 124 leaked, 124 peak
    alloc_a: 2 allocations, 0 temporary, 24 leaked, 24 peak
    alloc_b: 3 allocations, 1 temporary, 100 leaked, 100 peak
    peak RSS 3 pages of 4096 bytes, 16 pages of system memory
*/

#pragma once

#include <cstdio>
#include <string>

#include "testutils.h"

namespace TraceFixture
{
constexpr int TOTAL_TIME = 41;

// @p allocA is the name of the function that allocates the 16 and 8 byte blocks;
// tests that check the string table is not rebuilt rewrite it.
// @p withLastAllocation false drops the allocation at time 30, which makes a
// diff base that differs from the full trace by one leaked 100 byte block.
inline std::string sampleTrace(int format, const std::string &allocA = "alloc_a", bool withLastAllocation = true)
{
    std::string out;
    if (format == 1 || format == 2 || format == 3) {
        out += "v 10500 " + std::to_string(format) + "\n";
    }
    out += "# a comment line\n";
    out += "X ./app --run\n";
    out += "I 1000 10\n";
    for (const char *text : {"main", "/usr/bin/app", "app.cpp"}) {
        out += stringRecord(format, text);
    }
    out += stringRecord(format, allocA);
    for (const char *text : {"alloc_b", "helper", "/lib/libx.so"}) {
        out += stringRecord(format, text);
    }
    // ip: address, module, function, file, line
    out += "i 100 2 1 3 a\n";
    out += "i 200 2 6 3 14\n";
    out += "i 300 7 4 3 1e\n";
    out += "i 400 7 5 3 28\n";
    out += "t 1 0\n";
    out += "t 2 1\n";
    out += "t 3 2\n";
    out += "t 4 1\n";
    if (format == 0) {
        // size, trace, block address
        out += "+ 10 3 1000\n";
        out += "c a\n";
        out += "+ 64 4 2000\n";
        out += "- 2000\n";
        out += "c 14\n";
        out += "R 3\n";
        out += "+ 64 4 3000\n";
        out += "+ 8 3 4000\n";
        out += "- 3000\n";
        out += "c 1e\n";
        if (withLastAllocation) {
            out += "+ 64 4 5000\n";
        }
    } else {
        out += "a 10 3\n";
        out += "a 64 4\n";
        out += "a 8 3\n";
        out += "+ 0\n";
        out += "c a\n";
        out += "+ 1\n";
        out += "- 1\n";
        out += "c 14\n";
        out += "R 3\n";
        out += "+ 1\n";
        out += "+ 2\n";
        out += "- 1\n";
        out += "c 1e\n";
        if (withLastAllocation) {
            out += "+ 1\n";
        }
    }
    out += "c 28\n";
    out += "R 2\n";
    return out;
}

// Many cheap records, so that a run over it is still in flight for a while after
// it started: lets tests act on a parser whose jobs are busy.
inline std::string largeTrace(int events)
{
    std::string out = "v 10500 3\nX ./big\ns 4 main\ns 3 big\ni 100 2 1 0 0\nt 1 0\na 20 1\n";
    out.reserve(out.size() + static_cast<std::size_t>(events) * 16);
    char line[64];
    for (int i = 0; i < events; ++i) {
        snprintf(line, sizeof(line), "+ 0\n- 0\nc %x\n", i + 1);
        out += line;
    }
    return out;
}
}
