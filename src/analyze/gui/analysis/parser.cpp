/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/parser.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include <KLocalizedString>
#include <ThreadWeaver/ThreadWeaver>

#include "analyze/gui/analysis/histogrambuilder.h"
#include "analyze/gui/analysis/jobqueue.h"
#include "analyze/gui/analysis/parserdata.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/treebuilder.h"
#include "analyze/gui/analysis/util.h"

using namespace JobQueue;

// Where the jobs of one run send their results. The jobs and the parser share
// it, so a job never touches a destroyed parser: the parser relays what arrives
// while the run is still its current one. No event is ever sent to the run
// itself, so whichever thread lets go of it last deletes it right away, with or
// without an event loop left to run a deleteLater.
class ParserRun : public QObject
{
    Q_OBJECT
public:
    explicit ParserRun(uint64_t id)
        : m_id(id)
    {
    }

    ~ParserRun() override
    {
        // after every job's last access, see leave()
        takeOver(&m_toParserThread);
    }

    struct Completion {
        std::shared_ptr<ParserData> data;
        std::shared_ptr<ProgressState> progressState;
        QString path;
    };

    uint64_t id() const
    {
        return m_id;
    }

    bool isCancelled() const
    {
        return m_cancelled.load(std::memory_order_relaxed);
    }

    void cancel()
    {
        m_cancelled.store(true, std::memory_order_relaxed);
    }

    // for the reader, which looks at it between chunks of its input
    const std::atomic<bool> *cancelFlag() const
    {
        return &m_cancelled;
    }

    // Called by the final job: hands the data to the parser's thread, which
    // picks it up with takeCompletion when completed() arrives.
    void finish(std::shared_ptr<ParserData> data, std::shared_ptr<ProgressState> progressState, const QString &path)
    {
        m_completion = {std::move(data), std::move(progressState), path};
        handOff(&m_toParserThread);
        m_completed.store(true, std::memory_order_release);
        {
            const QueuedCopyScope scope;
            Q_EMIT completed();
        }
        leave();
    }

    // whether finish() has run: completed() may have gone out while nobody listened
    bool hasCompleted() const
    {
        return m_completed.load(std::memory_order_acquire);
    }

    // runs on the parser's thread, once completed() arrived
    Completion takeCompletion()
    {
        takeOver(&m_toParserThread);
        return std::move(m_completion);
    }

    // A job is done with this object. The job itself may be destroyed later on
    // another worker, so its last access is not ordered before the deletion
    // through the reference count alone.
    void leave()
    {
        handOff(&m_toParserThread);
    }

    // a stage job ends; the final job starts after all of them
    void endStage()
    {
        handOff(&m_stagesDone);
    }

    void waitForStages()
    {
        takeOver(&m_stagesDone);
    }

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
    void completed();

private:
    const uint64_t m_id;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_completed{false};
    Completion m_completion;
    // addresses for handOff/takeOver only
    char m_toParserThread = 0;
    char m_stagesDone = 0;
};

// Below the workers (JobQueue::WORKER_NICENESS), which merge and convert the
// trees the window waits for: the charts come last anyway.
constexpr int CHART_PASS_NICENESS = 10;

// The chart pass of a run, on a thread of its own.
struct ChartPass {
    std::thread thread;

    // Once this returns, the data's costs are its own again.
    void wait(ParserData &data)
    {
        join();
        data.chargedCosts = nullptr;
        data.chartCosts = {};
    }

    ~ChartPass()
    {
        join();
    }

private:
    void join()
    {
        if (thread.joinable()) {
            thread.join();
        }
    }
};

// State of the pass-progress reporter of one data object. The data object keeps
// it across reparses; each run points it at its own result channel.
struct ProgressState {
    QString parsingMsg;
    float lastPassCompletion = 0;
    int lastPass = -1;
    // the share of the whole run shown so far: the bar never moves back, also
    // when a pass turns out to read the file instead of the event log
    double lastTotalCompletion = 0;
    // the expected cost of each pass, in passes over the text
    std::array<double, 3> passWeight = {1.0, 1.0, 1.0};
    bool diffMode = false;
    std::shared_ptr<ParserRun> run;
};

namespace
{
// Emits a signal of the run's channel. Its only receiver is the parser, queued,
// so everything the emission writes is Qt's copy of the arguments for the event,
// which no thread but the parser's reaches, after Qt's posted-event mutex.
template<typename... Params, typename... Args>
void send(const std::shared_ptr<ParserRun> &run, void (ParserRun::*signal)(Params...), Args &&...args)
{
    QueuedCopyScope scope;
    Q_EMIT(run.get()->*signal)(std::forward<Args>(args)...);
}

// What a replay of the event log costs next to a pass over the text: the
// benchmark on 1 GB generated traces measured 0.60 (zstd) and 0.72 (gzip) on a
// quiet machine; a replay is the accounting both paths share, without the
// tokenizing but with the log's decoding.
constexpr double logPassWeight = 0.6;

void reportPassProgress(ProgressState *state, const ParserData &data)
{
    const auto &parsingState = data.parsingState;
    // an empty file has nothing left to read
    double passCompletion = 1.0;
    if (parsingState.fileSize > 0) {
        passCompletion = static_cast<double>(parsingState.readCompressedByte) / static_cast<double>(parsingState.fileSize);
    }
    passCompletion = std::clamp(passCompletion, 0.0, 1.0);
    const int pass = static_cast<int>(parsingState.pass);
    // The reader counts compressed bytes per block it decompresses, so a file of
    // one block is "complete" from its first line on, in every pass: a new pass
    // must be reported even when its completion equals the last one.
    if (pass == state->lastPass && std::abs(static_cast<double>(state->lastPassCompletion) - passCompletion) < 0.001) {
        return;
    }
    state->lastPassCompletion = static_cast<float>(passCompletion);
    state->lastPass = pass;

    const int numPasses = state->diffMode ? 2 : 3;
    // A pass that replays the event log costs a fraction of one that tokenizes
    // the text; weighing all passes alike would hold the bar at a third for most
    // of the run and then jump to the end.
    const auto weightOf = [](bool fromLog) {
        return fromLog ? logPassWeight : 1.0;
    };
    if (pass >= 0 && pass < numPasses) {
        state->passWeight[pass] = weightOf(parsingState.fromEventLog);
        if (pass == 0) {
            const bool laterFromLog = parsingState.fromEventLog || parsingState.recordingEventLog;
            for (int later = 1; later < numPasses; ++later) {
                state->passWeight[later] = weightOf(laterFromLog);
            }
        }
    }
    double weightDone = 0;
    double weightTotal = 0;
    for (int i = 0; i < numPasses; ++i) {
        weightTotal += state->passWeight[i];
        if (i < pass) {
            weightDone += state->passWeight[i];
        } else if (i == pass) {
            weightDone += state->passWeight[i] * passCompletion;
        }
    }
    const double totalCompletion = std::max(state->lastTotalCompletion, std::clamp(weightDone / weightTotal, 0.0, 1.0));
    state->lastTotalCompletion = totalCompletion;
    const qint64 spentTime_ms = data.parseTimer.isValid() ? data.parseTimer.elapsed() : 0;
    qint64 totalRemainingTime_ms = 0;
    if (totalCompletion > 0) {
        totalRemainingTime_ms = static_cast<qint64>(static_cast<double>(spentTime_ms) / totalCompletion * (1.0 - totalCompletion));
    }
    if (auto run = state->run) {
        // The message is let go of here after the parser's thread may have
        // freed its copy of it: a count-down the sanitizer cannot pair with
        // the uninstrumented one in Qt, ordered by Qt's posted-event mutex. It
        // falls under the same scope as the copy for the event.
        const QueuedCopyScope scope;
        QString message = i18n("%1 pass: %2/%3  spent: %4  remaining: %5",
                               state->parsingMsg,
                               pass + 1,
                               numPasses,
                               Util::formatTime(spentTime_ms),
                               Util::formatTime(totalRemainingTime_ms));
        if (parsingState.eventLogExceeded) {
            // the same fact standard error gives once, kept in view while it costs time
            message += QLatin1Char('\n') + i18n("The trace is too large to keep its events in memory: every pass reads the file again.");
        }
        send(run, &ParserRun::progressMessageAvailable, message);
        send(run, &ParserRun::progress, static_cast<int>(totalCompletion * 1000));
    }
}

SummaryData buildSummary(const ParserData &data)
{
    SummaryData summary;
    summary.debuggee = QString::fromStdString(data.debuggee);
    summary.cost = data.totalCost;
    summary.totalLeakedSuppressed = data.totalLeakedSuppressed;
    summary.totalTime = data.totalTime;
    summary.filterParameters = data.filterParameters;
    summary.peakTime = data.peakTime;
    summary.peakRSS = data.peakRSS * data.systemInfo.pageSize;
    summary.totalSystemMemory = data.systemInfo.pages * data.systemInfo.pageSize;
    summary.fromAttached = data.fromAttached;
    summary.isDiff = data.diffMode;
    summary.diagnostics = data.diagnostics;
    if (!data.diffMode) {
        summary.missingSymbols = computeMissingSymbols(data);
    }
    summary.suppressions.reserve(static_cast<int>(data.suppressions.size()));
    for (const auto &suppression : data.suppressions) {
        summary.suppressions.append(suppression);
    }
    return summary;
}

QVector<QString> toQtStrings(const std::vector<std::string> &strings)
{
    QVector<QString> ret;
    ret.reserve(static_cast<int>(strings.size()));
    for (const auto &string : strings) {
        ret.append(QString::fromUtf8(string.data(), static_cast<int>(string.size())));
    }
    return ret;
}

struct RunParameters {
    std::shared_ptr<ParserRun> run;
    std::shared_ptr<ParserData> oldData;
    std::shared_ptr<ProgressState> oldProgressState;
    bool isReparsing = false;
    QString path;
    QString diffBase;
    FilterParameters filterParameters;
    Parser::StopAfter stopAfter = Parser::StopAfter::Finished;
};

void runAnalysis(const RunParameters &params)
{
    const auto &run = params.run;
    const bool isReparsing = params.isReparsing;
    if (run->isCancelled()) {
        if (isReparsing) {
            run->finish(params.oldData, params.oldProgressState, params.path);
        }
        return;
    }

    std::shared_ptr<ParserData> data;
    std::shared_ptr<ProgressState> progressState;
    if (isReparsing) {
        data = params.oldData;
        progressState = params.oldProgressState;
    } else {
        progressState = std::make_shared<ProgressState>();
        progressState->parsingMsg = i18n("parsing data");
        auto *state = progressState.get();
        data = std::make_shared<ParserData>([state](const ParserData &data) {
            reportPassProgress(state, data);
        });
    }
    // a reused data object keeps the pass text of the run that created it
    const QString parsingMsg = isReparsing ? i18n("reparsing data") : progressState->parsingMsg;
    progressState->run = run;
    progressState->diffMode = !params.diffBase.isEmpty();
    progressState->lastPassCompletion = 0;
    progressState->lastPass = -1;
    progressState->lastTotalCompletion = 0;
    progressState->passWeight = {1.0, 1.0, 1.0};

    data->filterParameters = params.filterParameters;
    data->cancelRequest = run->cancelFlag();
    std::shared_ptr<ChartPass> chartPass;
    // A cancelled fresh run frees what it read as it returns. The data of a
    // re-run goes back to the parser for the next one; its tables are intact,
    // and every pass clears the costs it charges.
    const auto abandon = [&]() {
        if (chartPass) {
            // it stops at its next chunk: the cancel flag is set
            chartPass->wait(*data);
        }
        data->cancelRequest = nullptr;
        if (isReparsing) {
            progressState->run.reset();
            run->finish(data, progressState, params.path);
        }
    };
    send(run, &ParserRun::progressMessageAvailable, parsingMsg);
    data->parseTimer.start();

    const auto stdPath = params.path.toStdString();
    if (!params.diffBase.isEmpty()) {
        ParserData diffData;
        diffData.cancelRequest = run->cancelFlag();
        const auto stdDiffBase = params.diffBase.toStdString();
        bool baseOk = false;
        std::thread baseReader([&]() {
            baseOk = diffData.read(stdDiffBase, false);
        });
        const bool ok = data->read(stdPath, false);
        baseReader.join();
        if (run->isCancelled()) {
            abandon();
            return;
        }
        if (!ok) {
            send(run, &ParserRun::failedToOpen, params.path);
            return;
        }
        if (!baseOk) {
            send(run, &ParserRun::failedToOpen, params.diffBase);
            return;
        }
        data->subtractBase(diffData);
    } else if (!data->read(stdPath, isReparsing)) {
        if (run->isCancelled()) {
            abandon();
            return;
        }
        send(run, &ParserRun::failedToOpen, params.path);
        return;
    }

    if (!isReparsing) {
        data->qtStrings = toQtStrings(data->strings);
    }
    data->applyLeakSuppressions();

    const auto resultData = std::make_shared<const ResultData>(data->totalCost, data->qtStrings, data->diffMode);
    send(run, &ParserRun::summaryAvailable, buildSummary(*data));

    const auto stopAfter = params.stopAfter;
    if (run->isCancelled()) {
        abandon();
        return;
    }
    if (stopAfter == Parser::StopAfter::Summary) {
        data->cancelRequest = nullptr;
        send(run, &ParserRun::finished);
        return;
    }

    // The chart pass needs the second pass's costs, which merging reads but does
    // not change: it runs beside the merging and the conversions after it on a
    // thread of its own, charging a copy of the costs, instead of after them.
    const bool buildCharts = !data->diffMode && stopAfter == Parser::StopAfter::Finished;
    if (buildCharts) {
        data->prepareBuildCharts(resultData);
        data->chartCosts = data->allocations;
        data->chargedCosts = &data->chartCosts;
        chartPass = std::make_shared<ChartPass>();
        chartPass->thread = std::thread([run, data, stdPath]() {
            JobQueue::setThreadNiceness(CHART_PASS_NICENESS);
            if (!run->isCancelled()) {
                data->read(stdPath, AccumulatedTraceData::ThirdPass, true);
            }
        });
    }

    send(run, &ParserRun::progressMessageAvailable, i18n("merging allocations..."));
    auto mergedAllocations = mergeAllocations(
        [&run](const QString &message) {
            send(run, &ParserRun::progressMessageAvailable, message);
        },
        *data,
        resultData);
    send(run, &ParserRun::bottomUpDataAvailable, mergedAllocations.first);
    if (run->isCancelled()) {
        abandon();
        return;
    }
    if (stopAfter == Parser::StopAfter::BottomUp) {
        data->cancelRequest = nullptr;
        send(run, &ParserRun::finished);
        return;
    }

    send(run, &ParserRun::progressMessageAvailable, i18n("building size histogram..."));
    send(run, &ParserRun::sizeHistogramDataAvailable, buildSizeHistogram(*data, resultData));
    if (run->isCancelled()) {
        abandon();
        return;
    }
    if (stopAfter == Parser::StopAfter::SizeHistogram) {
        data->cancelRequest = nullptr;
        send(run, &ParserRun::finished);
        return;
    }

    // The bar starts again for a chart stage that has not begun; the chart pass
    // reports its progress since the merging began, and a reset would move the
    // bar back.
    if (!chartPass) {
        send(run, &ParserRun::progress, 0);
    }
    const bool diffMode = data->diffMode;
    send(run, &ParserRun::progressMessageAvailable, i18n("building charts..."));

    using namespace ThreadWeaver;
    auto parallel = QSharedPointer<Collection>::create();
    const auto bottomUp = mergedAllocations.first;
    *parallel << makeJob([run, bottomUp]() {
        if (!run->isCancelled()) {
            send(run, &ParserRun::topDownDataAvailable, toTopDownData(bottomUp));
        }
        run->endStage();
    });
    // moved, not shared: the job adds to the merging's partial results, which
    // would otherwise be copied first and held twice
    *parallel << makeJob([run, bottomUp, callerCallee = std::move(mergedAllocations.second), diffMode]() mutable {
        if (!run->isCancelled()) {
            send(run, &ParserRun::callerCalleeDataAvailable, toCallerCalleeData(bottomUp, std::move(callerCallee), diffMode));
        }
        run->endStage();
    });
    // last: it waits for the chart pass, and would hold a worker the
    // conversions could use meanwhile
    if (chartPass) {
        *parallel << makeJob([run, data, chartPass]() {
            chartPass->wait(*data);
            if (!run->isCancelled()) {
                send(run, &ParserRun::consumedChartDataAvailable, data->consumedChartData);
                send(run, &ParserRun::allocationsChartDataAvailable, data->allocationsChartData);
                send(run, &ParserRun::temporaryChartDataAvailable, data->temporaryChartData);
            }
            run->endStage();
        });
    }
    if (!chartPass) {
        send(run, &ParserRun::progress, 0);
    }

    auto sequence = QSharedPointer<Sequence>::create();
    *sequence << parallel;
    const QString path = params.path;
    *sequence << makeJob([run, data, progressState, path]() {
        run->waitForStages();
        // the data outlives the run whose flag this is
        data->cancelRequest = nullptr;
        // the run no longer reports progress: drop its channel from the data object's state
        progressState->run.reset();
        run->finish(data, progressState, path);
    });
    queueJob(sequence);
}
}

Parser::Parser(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<SummaryData>();
    qRegisterMetaType<TreeData>();
    qRegisterMetaType<CallerCalleeResults>();
    qRegisterMetaType<ChartData>();
    qRegisterMetaType<HistogramData>();
    m_deliveryTimer.setSingleShot(true);
    m_deliveryTimer.setInterval(0);
    connect(&m_deliveryTimer, &QTimer::timeout, this, &Parser::deliverNext);
}

Parser::~Parser()
{
    dropRun();
    if (m_handBack) {
        disconnect(m_handBack.get(), nullptr, this, nullptr);
    }
}

template<typename... Args>
void Parser::relay(ParserRun *run, void (ParserRun::*signal)(Args...), void (Parser::*target)(Args...), Weight weight)
{
    const auto id = run->id();
    connect(
        run,
        signal,
        this,
        [this, id, target, weight](Args... args) {
            deliver(id, weight, [this, target, args...]() {
                (this->*target)(args...);
            });
        },
        Qt::QueuedConnection);
}

void Parser::deliver(uint64_t runId, Weight weight, std::function<void()> delivery)
{
    // whatever a superseded run sent is dropped, here and once it is due
    if (runId != m_runId) {
        return;
    }
    if (m_deliveries.empty() && weight == Weight::Light) {
        delivery();
        return;
    }
    m_deliveries.push_back({runId, weight, std::move(delivery)});
    if (!m_deliveryTimer.isActive()) {
        m_deliveryTimer.start();
    }
}

void Parser::deliverNext()
{
    // the light ones before and after the heavy one go with it
    bool deliveredHeavy = false;
    while (!m_deliveries.empty()) {
        if (m_deliveries.front().weight == Weight::Heavy) {
            if (deliveredHeavy) {
                break;
            }
            deliveredHeavy = true;
        }
        auto next = std::move(m_deliveries.front());
        m_deliveries.pop_front();
        if (next.runId == m_runId) {
            next.deliver();
        } else {
            // it may hold the last reference to a whole result
            JobQueue::releaseInBackground(std::move(next.deliver));
        }
    }
    if (!m_deliveries.empty()) {
        m_deliveryTimer.start();
    }
}

void Parser::parse(const QString &path, const QString &diffBase, const FilterParameters &filterParameters, StopAfter stopAfter)
{
    // a newer request supersedes the run in flight; its results are dropped
    dropRun();

    RunParameters params;
    params.oldData = std::move(m_data);
    params.oldProgressState = std::move(m_progressState);
    m_data.reset();
    m_progressState.reset();
    // diff data holds this file minus another one: a plain run of the same path must read afresh
    params.isReparsing = path == m_path && params.oldData && !params.oldData->diffMode && diffBase.isEmpty();
    params.path = path;
    params.diffBase = diffBase;
    params.filterParameters = filterParameters;
    if (params.isReparsing) {
        // A reused data object is not read as a first pass, which is what narrows the
        // window to the run; an open end would stretch the chart sampling interval over
        // the whole 64-bit range and leave the charts with just their end points.
        auto &filter = params.filterParameters;
        filter.minTime = std::max<int64_t>(0, filter.minTime);
        filter.maxTime = std::min(params.oldData->totalTime, filter.maxTime);
    }
    params.stopAfter = stopAfter;
    m_runIsReparse = params.isReparsing;
    if (params.isReparsing) {
        m_filterBeforeReparse = params.oldData->filterParameters;
        m_totalTimeBeforeReparse = params.oldData->totalTime;
    }

    ++m_runId;
    m_run = std::make_shared<ParserRun>(m_runId);
    params.run = m_run;
    auto *run = m_run.get();
    relay(run, &ParserRun::progressMessageAvailable, &Parser::progressMessageAvailable, Weight::Light);
    relay(run, &ParserRun::progress, &Parser::progress, Weight::Light);
    relay(run, &ParserRun::summaryAvailable, &Parser::summaryAvailable, Weight::Heavy);
    relay(run, &ParserRun::bottomUpDataAvailable, &Parser::bottomUpDataAvailable, Weight::Heavy);
    relay(run, &ParserRun::topDownDataAvailable, &Parser::topDownDataAvailable, Weight::Heavy);
    relay(run, &ParserRun::callerCalleeDataAvailable, &Parser::callerCalleeDataAvailable, Weight::Heavy);
    relay(run, &ParserRun::consumedChartDataAvailable, &Parser::consumedChartDataAvailable, Weight::Heavy);
    relay(run, &ParserRun::allocationsChartDataAvailable, &Parser::allocationsChartDataAvailable, Weight::Heavy);
    relay(run, &ParserRun::temporaryChartDataAvailable, &Parser::temporaryChartDataAvailable, Weight::Heavy);
    relay(run, &ParserRun::sizeHistogramDataAvailable, &Parser::sizeHistogramDataAvailable, Weight::Heavy);
    const auto id = m_runId;
    // the end of a run comes after its results
    connect(
        run,
        &ParserRun::finished,
        this,
        [this, id]() {
            deliver(id, Weight::Heavy, [this, id]() {
                endRun(id);
                Q_EMIT finished();
            });
        },
        Qt::QueuedConnection);
    connect(
        run,
        &ParserRun::failedToOpen,
        this,
        [this, id](const QString &failedPath) {
            deliver(id, Weight::Heavy, [this, id, failedPath]() {
                endRun(id);
                Q_EMIT failedToOpen(failedPath);
            });
        },
        Qt::QueuedConnection);

    connect(
        run,
        &ParserRun::completed,
        this,
        [this, id]() {
            if (id == m_runId && m_run) {
                // Taken from the run only when delivered: a run cancelled
                // before that hands its data back instead.
                deliver(id, Weight::Heavy, [this, id]() {
                    if (m_run) {
                        const auto completion = m_run->takeCompletion();
                        completeRun(id, completion.data, completion.progressState, completion.path);
                    }
                });
            } else {
                takeHandBack(id);
            }
        },
        Qt::QueuedConnection);

    queueJob(makeJob([params]() {
        runAnalysis(params);
        params.run->leave();
    }));
}

void Parser::reparse(const FilterParameters &filterParameters)
{
    if (!m_data || m_data->diffMode) {
        return;
    }
    auto parameters = filterParameters;
    parameters.minTime = std::max<int64_t>(0, parameters.minTime);
    parameters.maxTime = std::min(m_data->totalTime, parameters.maxTime);
    parse(m_path, QString(), parameters, StopAfter::Finished);
}

void Parser::cancel()
{
    if (!m_run) {
        return;
    }
    auto run = m_run;
    const bool handBack = m_runIsReparse;
    dropRun();
    // whatever the run had sent before is dropped as well
    ++m_runId;
    if (!handBack) {
        return;
    }
    m_handBack = run;
    const auto id = run->id();
    connect(
        run.get(),
        &ParserRun::completed,
        this,
        [this, id]() {
            takeHandBack(id);
        },
        Qt::QueuedConnection);
    // The run may have finished between the disconnect above and this
    // connection; its completed() then reached no one. Taking it back twice is
    // harmless: the second call finds nothing to take.
    if (run->hasCompleted()) {
        QMetaObject::invokeMethod(
            this,
            [this, id]() {
                takeHandBack(id);
            },
            Qt::QueuedConnection);
    }
}

void Parser::takeHandBack(uint64_t runId)
{
    if (!m_handBack || m_handBack->id() != runId) {
        return;
    }
    auto completion = m_handBack->takeCompletion();
    disconnect(m_handBack.get(), nullptr, this, nullptr);
    m_handBack.reset();
    // a run started meanwhile has read the file afresh and brings its own data
    if (m_run || m_data || !completion.data) {
        return;
    }
    m_data = std::move(completion.data);
    m_progressState = std::move(completion.progressState);
    m_data->filterParameters = m_filterBeforeReparse;
    m_data->clearForReparse();
    m_path = completion.path;
}

bool Parser::isFiltered() const
{
    if (!m_data) {
        // what the data of a cancelled re-run will say once it is back
        return m_handBack && (m_filterBeforeReparse.minTime != 0 || m_filterBeforeReparse.maxTime < m_totalTimeBeforeReparse);
    }
    return m_data->filterParameters.minTime != 0 || m_data->filterParameters.maxTime < m_data->totalTime;
}

bool Parser::isRunning() const
{
    return static_cast<bool>(m_run);
}

void Parser::completeRun(uint64_t runId, const std::shared_ptr<ParserData> &data, const std::shared_ptr<ProgressState> &progressState, const QString &path)
{
    if (runId != m_runId) {
        return;
    }
    endRun(runId);
    m_data = data;
    m_progressState = progressState;
    m_data->clearForReparse();
    m_path = path;
    Q_EMIT finished();
}

void Parser::endRun(uint64_t runId)
{
    if (runId == m_runId) {
        dropRun();
    }
}

void Parser::dropRun()
{
    if (!m_run) {
        return;
    }
    m_run->cancel();
    // Cut the run's connections to this parser now rather than leave them to
    // ~QObject: a worker may be emitting one of them, and Qt 5 leaks the slot
    // object of a queued connection whose receiver is destroyed while an
    // emission on another thread is under way. An explicit disconnect leaves
    // the slot object to be freed once that emission is over.
    disconnect(m_run.get(), nullptr, this, nullptr);
    m_run.reset();
}

#include "parser.moc"
