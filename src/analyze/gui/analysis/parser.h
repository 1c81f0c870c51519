/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Drives the analysis of one trace file in the background and hands every
    result record to the window as soon as it is ready.
*/

#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include <QObject>
#include <QString>
#include <QTimer>

#include "analyze/filterparameters.h"

#include "analyze/gui/analysis/callercalleedata.h"
#include "analyze/gui/analysis/chartdata.h"
#include "analyze/gui/analysis/histogramdata.h"
#include "analyze/gui/analysis/summarydata.h"
#include "analyze/gui/analysis/treedata.h"

class ParserData;
class ParserRun;
struct ProgressState;

class Parser : public QObject
{
    Q_OBJECT
public:
    enum class StopAfter {
        Summary = 0,
        BottomUp = 1,
        SizeHistogram = 2,
        TopDownAndCallerCallee = 3,
        Finished = 4,
    };

    explicit Parser(QObject *parent = nullptr);
    // Does not wait for a run in flight: the run is cancelled and its results dropped.
    ~Parser() override;

    // Starts a run and returns at once. A run still in flight is cancelled and
    // its remaining results are dropped.
    void parse(const QString &path, const QString &diffBase, const FilterParameters &filterParameters, StopAfter stopAfter);
    // Re-runs the last complete analysis with another filter; does nothing without
    // data, for diff data, or while a run is in flight.
    void reparse(const FilterParameters &filterParameters);

    // Stops the run in flight at once: its remaining results are dropped, and
    // the reader gives up at its next chunk, freeing what it read. The data of
    // a cancelled re-run comes back to the parser, so that a later reparse
    // still works; until then reparse does nothing.
    void cancel();

    bool isFiltered() const;
    bool isRunning() const;

Q_SIGNALS:
    void progressMessageAvailable(const QString &progress);
    void progress(int progress);
    void summaryAvailable(const SummaryData &data);
    void bottomUpDataAvailable(const TreeData &data);
    void topDownDataAvailable(const TreeData &data);
    void callerCalleeDataAvailable(const CallerCalleeResults &data);
    void consumedChartDataAvailable(const ChartData &data);
    void allocationsChartDataAvailable(const ChartData &data);
    void temporaryChartDataAvailable(const ChartData &data);
    void sizeHistogramDataAvailable(const HistogramData &data);
    void finished();
    void failedToOpen(const QString &failedPath);

private:
    enum class Weight {
        Light,
        Heavy,
    };
    template<typename... Args>
    void relay(ParserRun *run, void (ParserRun::*signal)(Args...), void (Parser::*target)(Args...), Weight weight);
    // Hands @p delivery on in the order the run sent it. A heavy one (a result
    // the window takes time to take in) waits for the event loop to have nothing
    // else to do, one per turn: results that arrive together would otherwise be
    // taken in back to back, and the window would not answer until the last.
    void deliver(uint64_t runId, Weight weight, std::function<void()> delivery);
    void deliverNext();
    void completeRun(uint64_t runId, const std::shared_ptr<ParserData> &data, const std::shared_ptr<ProgressState> &progressState, const QString &path);
    void endRun(uint64_t runId);
    // picks up the data of a cancelled re-run
    void takeHandBack(uint64_t runId);
    // cancels the current run, if any, and stops listening to it
    void dropRun();

    QString m_path;
    std::shared_ptr<ParserData> m_data;
    // pass-progress state belonging to m_data's callback
    std::shared_ptr<ProgressState> m_progressState;
    std::shared_ptr<ParserRun> m_run;
    uint64_t m_runId = 0;
    bool m_runIsReparse = false;
    // the filter of the kept data before the current re-run changed it
    FilterParameters m_filterBeforeReparse;
    int64_t m_totalTimeBeforeReparse = 0;
    // a cancelled re-run whose data is still on its way back
    std::shared_ptr<ParserRun> m_handBack;
    struct Delivery {
        uint64_t runId;
        Weight weight;
        std::function<void()> deliver;
    };
    std::deque<Delivery> m_deliveries;
    // zero interval: it fires once the event loop has no events waiting
    QTimer m_deliveryTimer;
};
