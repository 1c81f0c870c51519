/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/analysisrun.h"

#include <QEventLoop>
#include <QTimer>

namespace
{
template<typename Start>
AnalysisResults collect(Parser &parser, Start start, int timeoutMs)
{
    AnalysisResults results;
    QEventLoop loop;
    // the connections live as long as the loop: a later run of the same parser
    // must not write into this call's results
    QObject::connect(&parser, &Parser::summaryAvailable, &loop, [&](const SummaryData &data) {
        results.summary = data;
    });
    QObject::connect(&parser, &Parser::bottomUpDataAvailable, &loop, [&](const TreeData &data) {
        results.bottomUp = data;
    });
    QObject::connect(&parser, &Parser::topDownDataAvailable, &loop, [&](const TreeData &data) {
        results.topDown = data;
    });
    QObject::connect(&parser, &Parser::callerCalleeDataAvailable, &loop, [&](const CallerCalleeResults &data) {
        results.callerCallee = data;
    });
    QObject::connect(&parser, &Parser::sizeHistogramDataAvailable, &loop, [&](const HistogramData &data) {
        results.histogram = data;
    });
    QObject::connect(&parser, &Parser::consumedChartDataAvailable, &loop, [&](const ChartData &data) {
        results.consumed = data;
        results.hasCharts = true;
    });
    QObject::connect(&parser, &Parser::allocationsChartDataAvailable, &loop, [&](const ChartData &data) {
        results.allocations = data;
    });
    QObject::connect(&parser, &Parser::temporaryChartDataAvailable, &loop, [&](const ChartData &data) {
        results.temporary = data;
    });
    QObject::connect(&parser, &Parser::finished, &loop, [&]() {
        results.finished = true;
        loop.quit();
    });
    QObject::connect(&parser, &Parser::failedToOpen, &loop, [&](const QString &path) {
        results.failed = true;
        results.failedPath = path;
        loop.quit();
    });

    start();
    // every result is delivered through the event loop, so nothing can have
    // arrived yet; a start that queued no run has nothing to wait for
    if (!parser.isRunning()) {
        return results;
    }
    QTimer timeout;
    if (timeoutMs >= 0) {
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(timeoutMs);
    }
    loop.exec();
    return results;
}
}

AnalysisResults
runAnalysis(Parser &parser, const QString &path, const QString &diffBase, const FilterParameters &filter, Parser::StopAfter stopAfter, int timeoutMs)
{
    return collect(
        parser,
        [&]() {
            parser.parse(path, diffBase, filter, stopAfter);
        },
        timeoutMs);
}

AnalysisResults rerunAnalysis(Parser &parser, const FilterParameters &filter, int timeoutMs)
{
    return collect(
        parser,
        [&]() {
            parser.reparse(filter);
        },
        timeoutMs);
}
