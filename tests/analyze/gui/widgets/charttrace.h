/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    A trace with one time stamp every 10ms, so every chart gets a row per stamp,
    and a helper that runs the whole analysis over it and keeps what the chart
    and histogram widgets are fed with.

    Steps i = 0 .. 199, each "c <10 i>" followed by, in this order:
      make_temp    8 bytes allocated and freed at once (temporary)
      make_temp   20 bytes, leaked
      grow_buffer 4096 bytes: allocated in steps 0..99, one freed per step in 100..199
      parse_input 24, 24 and 100 bytes allocated, then one 24 byte block freed

    So the sample at 10 i (0 < i <= 100) holds the events of steps 0 .. i-1:
      allocations 6 i, temporary allocations i, and as the highest consumption
      since the previous sample 4240 i + 24 (the 24 byte block freed last in
      each step is still counted).
    Size classes: 8 bytes (make_temp), 17..32 (parse_input 400x, make_temp 200x),
    65..128 (parse_input), above 1KB (grow_buffer 100x).
*/

#pragma once

#include <cstdio>
#include <string>

#include <QTemporaryDir>

#include "analyze/gui/analysis/analysisrun.h"
#include "testutils.h"

namespace ChartTrace
{
constexpr int STEPS = 200;
constexpr int STEP_MS = 10;

inline std::string trace()
{
    std::string text = "v 10500 3\nX ./chartapp --draw\n";
    for (const std::string s : {"/usr/bin/chartapp", "main", "grow_buffer", "parse_input", "make_temp", "chartapp.cpp"}) {
        text += ::s(s);
    }
    text += "i 100 1 2 6 a\ni 200 1 3 6 14\ni 300 1 4 6 1e\ni 400 1 5 6 28\n";
    text += "t 1 0\nt 2 1\nt 3 1\nt 4 1\n";
    // infos: 0 grow_buffer 4096B, 1 parse_input 24B, 2 parse_input 100B, 3 make_temp 8B, 4 make_temp 20B
    text += "a 1000 2\na 18 3\na 64 3\na 8 4\na 14 4\n";
    for (int i = 0; i < STEPS; ++i) {
        text += "c " + hex(i * STEP_MS) + "\n";
        text += "+ 3\n- 3\n+ 4\n";
        text += i < STEPS / 2 ? "+ 0\n" : "- 0\n";
        text += "+ 1\n+ 1\n+ 2\n- 1\n";
    }
    return text;
}

struct Results {
    bool finished = false;
    SummaryData summary;
    ChartData consumed;
    ChartData allocations;
    ChartData temporary;
    HistogramData histogram;
};

class Analysis
{
public:
    // Writes the trace into @p dir and runs the full analysis over it.
    Results run(const QTemporaryDir &dir)
    {
        const QString path = dir.filePath(QStringLiteral("memloupe.chartapp.1"));
        if (!writeTraceFile(path.toStdString(), trace(), Compression::None)) {
            return {};
        }
        return keep(runAnalysis(m_parser, path, QString(), FilterParameters(), Parser::StopAfter::Finished, 20000));
    }

    // Runs the analysis of the last file again, restricted to a time range.
    Results rerun(int64_t minTime, int64_t maxTime)
    {
        FilterParameters filter;
        filter.minTime = minTime;
        filter.maxTime = maxTime;
        return keep(rerunAnalysis(m_parser, filter, 20000));
    }

private:
    static Results keep(const AnalysisResults &run)
    {
        Results results;
        results.finished = run.finished;
        results.summary = run.summary;
        results.consumed = run.consumed;
        results.allocations = run.allocations;
        results.temporary = run.temporary;
        results.histogram = run.histogram;
        return results;
    }

    Parser m_parser;
};
}
