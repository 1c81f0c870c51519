/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Runs an analysis to its end on a local event loop and keeps the last of
    every result record: what the report tool, the benchmark and the tests need
    of a Parser without a window to feed.
*/

#pragma once

#include <QString>

#include "analyze/filterparameters.h"

#include "analyze/gui/analysis/callercalleedata.h"
#include "analyze/gui/analysis/chartdata.h"
#include "analyze/gui/analysis/histogramdata.h"
#include "analyze/gui/analysis/parser.h"
#include "analyze/gui/analysis/summarydata.h"
#include "analyze/gui/analysis/treedata.h"

struct AnalysisResults {
    SummaryData summary;
    TreeData bottomUp;
    TreeData topDown;
    CallerCalleeResults callerCallee;
    HistogramData histogram;
    ChartData consumed;
    ChartData allocations;
    ChartData temporary;
    // whether the chart records came at all: a diff has none
    bool hasCharts = false;
    // the parser's finished() arrived before the time-out
    bool finished = false;
    // failedToOpen() arrived; failedPath names the file
    bool failed = false;
    QString failedPath;
};

// Starts parser.parse() and returns once the run finished, failed to open a file
// or @p timeoutMs passed (negative: no time limit). Signals connected to
// @p parser by the caller are delivered as usual while this waits.
AnalysisResults runAnalysis(Parser &parser,
                            const QString &path,
                            const QString &diffBase,
                            const FilterParameters &filter,
                            Parser::StopAfter stopAfter = Parser::StopAfter::Finished,
                            int timeoutMs = -1);

// The same for parser.reparse(): the last complete run again with another filter.
// Returns at once, finished left false, when the parser has nothing to re-run.
AnalysisResults rerunAnalysis(Parser &parser, const FilterParameters &filter, int timeoutMs = -1);
