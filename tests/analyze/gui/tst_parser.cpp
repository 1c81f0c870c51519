/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The analysis job as the window sees it: the order and content of the
    signals, the stop points, failures, diff runs, reparsing, progress values,
    and runs that are superseded or outlive their parser.
*/

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <ThreadWeaver/Queue>

#include "analyze/gui/analysis/jobqueue.h"
#include "analyze/gui/analysis/parser.h"
#include "analyze/gui/analysis/resultdata.h"

#include "testutils.h"
#include "tracefixture.h"

Q_DECLARE_METATYPE(Parser::StopAfter)
Q_DECLARE_METATYPE(Compression)
Q_DECLARE_METATYPE(std::string)

namespace
{
// generous: the sanitizer builds are many times slower
constexpr int TIMEOUT_MS = 180000;

const QString PARSING = QStringLiteral("parsing data");
const QString REPARSING = QStringLiteral("reparsing data");

QString costText(const AllocationData &cost)
{
    return QStringLiteral("%1/%2/%3/%4").arg(cost.allocations).arg(cost.temporary).arg(cost.leaked).arg(cost.peak);
}

QString functionName(const TreeData &tree, const RowData &row)
{
    return tree.resultData ? tree.resultData->string(row.symbol.functionId) : QStringLiteral("<no strings>");
}

QStringList topLevelFunctions(const TreeData &tree)
{
    QStringList names;
    for (const auto &row : tree.rows) {
        names << functionName(tree, row);
    }
    return names;
}

FilterParameters window(int64_t minTime, int64_t maxTime)
{
    FilterParameters filter;
    filter.minTime = minTime;
    filter.maxTime = maxTime;
    return filter;
}

// Waits until the background queue has run every job, then delivers what the
// last jobs posted to this thread (results of cancelled runs, deferred deletes).
bool drainJobs()
{
    auto *queue = ThreadWeaver::Queue::instance();
    if (!QTest::qWaitFor(
            [queue]() {
                return queue->isIdle();
            },
            TIMEOUT_MS)) {
        return false;
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return true;
}

// Every signal of one parser in arrival order, with the payloads.
class Recorder : public QObject
{
public:
    explicit Recorder(Parser *parser)
        : m_parser(parser)
    {
        connect(parser, &Parser::progressMessageAvailable, this, [this](const QString &message) {
            note(QStringLiteral("message"));
            messages << message;
        });
        connect(parser, &Parser::progress, this, [this](int value) {
            note(QStringLiteral("progress"));
            progress << value;
        });
        connect(parser, &Parser::summaryAvailable, this, [this](const SummaryData &data) {
            note(QStringLiteral("summary"));
            summaries << data;
        });
        connect(parser, &Parser::bottomUpDataAvailable, this, [this](const TreeData &data) {
            note(QStringLiteral("bottomUp"));
            bottomUp = data;
        });
        connect(parser, &Parser::topDownDataAvailable, this, [this](const TreeData &data) {
            note(QStringLiteral("topDown"));
            topDown = data;
        });
        connect(parser, &Parser::callerCalleeDataAvailable, this, [this](const CallerCalleeResults &data) {
            note(QStringLiteral("callerCallee"));
            callerCallee = data;
        });
        connect(parser, &Parser::consumedChartDataAvailable, this, [this](const ChartData &data) {
            note(QStringLiteral("consumed"));
            consumed = data;
        });
        connect(parser, &Parser::allocationsChartDataAvailable, this, [this](const ChartData &data) {
            note(QStringLiteral("allocations"));
            allocations = data;
        });
        connect(parser, &Parser::temporaryChartDataAvailable, this, [this](const ChartData &data) {
            note(QStringLiteral("temporary"));
            temporary = data;
        });
        connect(parser, &Parser::sizeHistogramDataAvailable, this, [this](const HistogramData &data) {
            note(QStringLiteral("histogram"));
            histogram = data;
        });
        connect(parser, &Parser::finished, this, [this]() {
            note(QStringLiteral("finished"));
        });
        connect(parser, &Parser::failedToOpen, this, [this]() {
            note(QStringLiteral("failedToOpen"));
        });
    }

    // Whether the parser still counted its run as in flight when an event first
    // arrived: checked right there, since later events of the same batch of the
    // event loop may already complete the run.
    QHash<QString, bool> runningAt;

    void note(const QString &event)
    {
        events << event;
        if (!runningAt.contains(event)) {
            runningAt.insert(event, m_parser->isRunning());
        }
    }

    int count(const char *event) const
    {
        return events.count(QLatin1String(event));
    }

    bool ended() const
    {
        return count("finished") + count("failedToOpen") > 0;
    }

    bool waitForEnd() const
    {
        return QTest::qWaitFor(
            [this]() {
                return ended();
            },
            TIMEOUT_MS);
    }

    // the events without progress reports, the parallel stage's sorted (its order is free)
    QStringList dataEvents() const
    {
        QStringList result;
        for (const auto &event : events) {
            if (event != QLatin1String("message") && event != QLatin1String("progress")) {
                result << event;
            }
        }
        const int parallelBegin = result.indexOf(QStringLiteral("histogram")) + 1;
        int parallelEnd = result.indexOf(QStringLiteral("finished"));
        if (parallelBegin > 0 && parallelEnd >= parallelBegin) {
            std::sort(result.begin() + parallelBegin, result.begin() + parallelEnd);
        }
        return result;
    }

    void clear()
    {
        events.clear();
        messages.clear();
        progress.clear();
        summaries.clear();
        bottomUp = {};
        topDown = {};
        callerCallee = {};
        consumed = {};
        allocations = {};
        temporary = {};
        histogram = {};
    }

    QStringList events;
    QStringList messages;
    QVector<int> progress;
    QVector<SummaryData> summaries;
    TreeData bottomUp;
    TreeData topDown;
    CallerCalleeResults callerCallee;
    ChartData consumed;
    ChartData allocations;
    ChartData temporary;
    HistogramData histogram;

private:
    Parser *m_parser;
};

bool progressInRange(const Recorder &recorder)
{
    return std::all_of(recorder.progress.begin(), recorder.progress.end(), [](int value) {
        return value >= 0 && value <= 1000;
    });
}
}

class TestParser : public QObject
{
    Q_OBJECT

private:
    QString writeTrace(const QString &name, const std::string &contents, Compression compression = Compression::None)
    {
        const QString path = m_dir.filePath(name + QString::fromStdString(suffixFor(compression)));
        if (!writeTraceFile(path.toStdString(), contents, compression)) {
            qFatal("cannot write fixture %s", qPrintable(path));
        }
        return path;
    }

    QTemporaryDir m_dir;
    QString m_sample;
    QString m_large;

private Q_SLOTS:
    void initTestCase()
    {
        // the stage texts are compared untranslated
        qputenv("LANGUAGE", "C");
        QVERIFY(m_dir.isValid());
        m_sample = writeTrace(QStringLiteral("sample"), TraceFixture::sampleTrace(3));
        m_large = writeTrace(QStringLiteral("large"), TraceFixture::largeTrace(150000));
    }

    void cleanup()
    {
        // no test may leave jobs behind for the next one
        QVERIFY(drainJobs());
    }

    // A small trace's results all arrive at once; the window must still get
    // a turn of its event loop (input, painting, timers) between any two.
    void resultsOnePerEventLoopTurn()
    {
        Parser parser;
        int turns = 0;
        QTimer heartbeat;
        heartbeat.setInterval(0);
        connect(&heartbeat, &QTimer::timeout, this, [&turns]() {
            ++turns;
        });
        heartbeat.start();
        QVector<int> turnAtResult;
        const auto note = [&turnAtResult, &turns]() {
            turnAtResult << turns;
        };
        for (auto signal : {&Parser::bottomUpDataAvailable, &Parser::topDownDataAvailable}) {
            connect(&parser, signal, this, note);
        }
        for (auto signal : {&Parser::consumedChartDataAvailable, &Parser::allocationsChartDataAvailable, &Parser::temporaryChartDataAvailable}) {
            connect(&parser, signal, this, note);
        }
        connect(&parser, &Parser::summaryAvailable, this, note);
        connect(&parser, &Parser::callerCalleeDataAvailable, this, note);
        connect(&parser, &Parser::sizeHistogramDataAvailable, this, note);
        QSignalSpy finishedSpy(&parser, &Parser::finished);
        connect(&parser, &Parser::finished, this, note);
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(finishedSpy.wait(TIMEOUT_MS));
        QCOMPARE(turnAtResult.size(), 9);
        for (int i = 1; i < turnAtResult.size(); ++i) {
            QVERIFY2(turnAtResult.at(i) > turnAtResult.at(i - 1), qPrintable(QStringLiteral("result %1 came in the turn of the one before").arg(i)));
        }
    }

    void signalOrderAndPayloads()
    {
        Parser parser;
        Recorder recorder(&parser);
        // a spy stores the arguments as QVariant: only registered record types survive that
        QSignalSpy summarySpy(&parser, &Parser::summaryAvailable);
        QSignalSpy topDownSpy(&parser, &Parser::topDownDataAvailable);
        QSignalSpy histogramSpy(&parser, &Parser::sizeHistogramDataAvailable);
        QSignalSpy finishedSpy(&parser, &Parser::finished);
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(parser.isRunning());
        QVERIFY(finishedSpy.wait(TIMEOUT_MS));
        QCOMPARE(summarySpy.count(), 1);
        QCOMPARE(costText(summarySpy.at(0).at(0).value<SummaryData>().cost), QStringLiteral("5/1/124/124"));
        QCOMPARE(topDownSpy.count(), 1);
        QCOMPARE(topDownSpy.at(0).at(0).value<TreeData>().rows.size(), 1);
        QCOMPARE(histogramSpy.count(), 1);
        QCOMPARE(histogramSpy.at(0).at(0).value<HistogramData>().rows.size(), 5);

        QCOMPARE(recorder.dataEvents(),
                 (QStringList{QStringLiteral("summary"),
                              QStringLiteral("bottomUp"),
                              QStringLiteral("histogram"),
                              QStringLiteral("allocations"),
                              QStringLiteral("callerCallee"),
                              QStringLiteral("consumed"),
                              QStringLiteral("temporary"),
                              QStringLiteral("topDown"),
                              QStringLiteral("finished")}));
        QCOMPARE(recorder.events.first(), QStringLiteral("message"));
        QCOMPARE(recorder.events.last(), QStringLiteral("finished"));
        // the three charts come from one job, in this order
        const auto &events = recorder.events;
        QVERIFY(events.indexOf(QStringLiteral("consumed")) < events.indexOf(QStringLiteral("allocations")));
        QVERIFY(events.indexOf(QStringLiteral("allocations")) < events.indexOf(QStringLiteral("temporary")));

        const auto &messages = recorder.messages;
        QCOMPARE(messages.first(), PARSING);
        const int merging = messages.indexOf(QStringLiteral("merging allocations..."));
        const int histogram = messages.indexOf(QStringLiteral("building size histogram..."));
        const int charts = messages.indexOf(QStringLiteral("building charts..."));
        QVERIFY(merging > 0);
        QVERIFY(histogram > merging);
        QVERIFY(charts > histogram);
        QVERIFY2(messages.at(1).startsWith(QLatin1String("parsing data pass: 1/3  spent: ")), qPrintable(messages.join(QLatin1Char('\n'))));
        QVERIFY(!recorder.progress.isEmpty());
        QVERIFY(progressInRange(recorder));

        QCOMPARE(recorder.summaries.size(), 1);
        const auto &summary = recorder.summaries.first();
        QCOMPARE(summary.debuggee, QStringLiteral("./app --run"));
        QCOMPARE(costText(summary.cost), QStringLiteral("5/1/124/124"));
        QCOMPARE(summary.totalTime, int64_t(TraceFixture::TOTAL_TIME));
        QCOMPARE(summary.peakTime, int64_t(20));
        QCOMPARE(summary.peakRSS, int64_t(3 * 4096));
        QCOMPARE(summary.totalSystemMemory, int64_t(16 * 4096));
        QCOMPARE(summary.filterParameters.minTime, int64_t(0));
        QCOMPARE(summary.filterParameters.maxTime, int64_t(TraceFixture::TOTAL_TIME));
        QCOMPARE(summary.suppressions.size(), 7);
        QCOMPARE(summary.fromAttached, false);

        // one string table serves every record of the run
        const auto resultData = recorder.bottomUp.resultData;
        QVERIFY(resultData);
        QCOMPARE(costText(resultData->totalCosts()), QStringLiteral("5/1/124/124"));
        QCOMPARE(recorder.topDown.resultData, resultData);
        QCOMPARE(recorder.callerCallee.resultData, resultData);
        QCOMPARE(recorder.histogram.resultData, resultData);
        QCOMPARE(recorder.consumed.resultData, resultData);
        QCOMPARE(recorder.allocations.resultData, resultData);
        QCOMPARE(recorder.temporary.resultData, resultData);

        const auto &bottomUp = recorder.bottomUp;
        QCOMPARE(topLevelFunctions(bottomUp), (QStringList{QStringLiteral("alloc_a"), QStringLiteral("alloc_b")}));
        QCOMPARE(costText(bottomUp.rows.at(1).cost), QStringLiteral("3/1/100/100"));
        // the parent links must point into the copy the receiver holds
        const auto &allocA = bottomUp.rows.at(0);
        QCOMPARE(allocA.parent, nullptr);
        QCOMPARE(functionName(bottomUp, allocA.children.at(0)), QStringLiteral("helper"));
        QCOMPARE(allocA.children.at(0).parent, &allocA);
        QCOMPARE(allocA.children.at(0).children.at(0).parent, &allocA.children.at(0));

        QCOMPARE(topLevelFunctions(recorder.topDown), QStringList{QStringLiteral("main")});
        QCOMPARE(costText(recorder.topDown.rows.at(0).cost), QStringLiteral("5/1/124/124"));
        QCOMPARE(recorder.callerCallee.entries.size(), 4);
        QCOMPARE(recorder.histogram.rows.size(), 5);
        QCOMPARE(recorder.consumed.rows.size(), 6);
        QCOMPARE(recorder.consumed.rows.last().cost[0], int64_t(124));
        QCOMPARE(recorder.allocations.rows.last().cost[0], int64_t(5));
        QCOMPARE(recorder.temporary.rows.last().cost[0], int64_t(1));
        QCOMPARE(recorder.consumed.labels.size(), 3);

        QVERIFY(!parser.isRunning());
        QVERIFY(!parser.isFiltered());
    }

    void stopPoints_data()
    {
        QTest::addColumn<Parser::StopAfter>("stopAfter");
        QTest::addColumn<QStringList>("dataEvents");
        QTest::addColumn<bool>("keepsData");

        const auto summary = QStringLiteral("summary");
        const auto bottomUp = QStringLiteral("bottomUp");
        const auto histogram = QStringLiteral("histogram");
        const auto finished = QStringLiteral("finished");
        QTest::newRow("Summary") << Parser::StopAfter::Summary << QStringList{summary, finished} << false;
        QTest::newRow("BottomUp") << Parser::StopAfter::BottomUp << QStringList{summary, bottomUp, finished} << false;
        QTest::newRow("SizeHistogram") << Parser::StopAfter::SizeHistogram << QStringList{summary, bottomUp, histogram, finished} << false;
        QTest::newRow("TopDownAndCallerCallee")
            << Parser::StopAfter::TopDownAndCallerCallee
            << QStringList{summary, bottomUp, histogram, QStringLiteral("callerCallee"), QStringLiteral("topDown"), finished} << true;
    }

    void stopPoints()
    {
        QFETCH(Parser::StopAfter, stopAfter);
        QFETCH(QStringList, dataEvents);
        QFETCH(bool, keepsData);

        Parser parser;
        Recorder recorder(&parser);
        parser.parse(m_sample, QString(), FilterParameters(), stopAfter);
        QVERIFY(recorder.waitForEnd());
        QVERIFY(drainJobs());
        QCOMPARE(recorder.dataEvents(), dataEvents);
        QCOMPARE(recorder.events.last(), QStringLiteral("finished"));
        QCOMPARE(recorder.messages.first(), PARSING);
        if (stopAfter == Parser::StopAfter::Summary) {
            // nothing but pass progress before the summary
            const int summaryAt = recorder.events.indexOf(QStringLiteral("summary"));
            const auto beforeSummary = recorder.events.mid(0, summaryAt);
            QVERIFY(beforeSummary.count(QStringLiteral("progress")) > 0);
            QCOMPARE(beforeSummary.count(QStringLiteral("progress")) + beforeSummary.count(QStringLiteral("message")), summaryAt);
            const auto passTexts = recorder.messages.mid(1);
            QVERIFY(!passTexts.isEmpty());
            QCOMPARE(passTexts.filter(QStringLiteral("parsing data pass: ")), passTexts);
        }
        QCOMPARE(costText(recorder.summaries.value(0).cost), QStringLiteral("5/1/124/124"));

        // only a run that got as far as the parallel stage leaves data to reparse
        recorder.clear();
        parser.reparse(FilterParameters());
        QCOMPARE(parser.isRunning(), keepsData);
        if (keepsData) {
            QVERIFY(recorder.waitForEnd());
            QCOMPARE(recorder.messages.value(0), REPARSING);
            QCOMPARE(recorder.count("finished"), 1);
        }
    }

    void failedToOpen_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("diffBase");
        QTest::addColumn<QString>("failedPath");
        QTest::addColumn<bool>("afterCompleteRun");

        const QString missing = m_dir.filePath(QStringLiteral("missing.gz"));
        const QString missingBase = m_dir.filePath(QStringLiteral("missing-base.zst"));
        const QString tooNew = writeTrace(QStringLiteral("too-new"), "v 10500 4\ns 4 main\n");
        QTest::newRow("missing file") << missing << QString() << missing << false;
        QTest::newRow("format too new") << tooNew << QString() << tooNew << false;
        QTest::newRow("missing diff base") << m_sample << missingBase << missingBase << false;
        QTest::newRow("missing file and base") << missing << missingBase << missing << false;
        // the data of the earlier run is not kept
        QTest::newRow("missing file after a complete run") << missing << QString() << missing << true;
    }

    void failedToOpen()
    {
        QFETCH(QString, path);
        QFETCH(QString, diffBase);
        QFETCH(QString, failedPath);
        QFETCH(bool, afterCompleteRun);

        Parser parser;
        Recorder recorder(&parser);
        if (afterCompleteRun) {
            parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
            QVERIFY(recorder.waitForEnd());
            QCOMPARE(recorder.count("finished"), 1);
            recorder.clear();
        }

        QSignalSpy failedSpy(&parser, &Parser::failedToOpen);
        parser.parse(path, diffBase, FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(failedSpy.wait(TIMEOUT_MS));
        QVERIFY(drainJobs());
        QCOMPARE(failedSpy.count(), 1);
        QCOMPARE(failedSpy.at(0).at(0).toString(), failedPath);
        QCOMPARE(recorder.dataEvents(), QStringList{QStringLiteral("failedToOpen")});
        QCOMPARE(recorder.events.last(), QStringLiteral("failedToOpen"));
        QVERIFY(!parser.isRunning());

        parser.reparse(FilterParameters());
        QVERIFY(!parser.isRunning());
        QVERIFY(!parser.isFiltered());
    }

    void diffRun()
    {
        // the base lacks the last allocation: 100 bytes more leaked, nothing else changed but the peak share
        const QString base = writeTrace(QStringLiteral("base"), TraceFixture::sampleTrace(1, "alloc_a", false));
        Parser parser;
        Recorder recorder(&parser);
        parser.parse(m_sample, base, FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        QVERIFY(drainJobs());

        QCOMPARE(recorder.dataEvents(),
                 (QStringList{QStringLiteral("summary"),
                              QStringLiteral("bottomUp"),
                              QStringLiteral("histogram"),
                              QStringLiteral("callerCallee"),
                              QStringLiteral("topDown"),
                              QStringLiteral("finished")}));
        QCOMPARE(costText(recorder.summaries.value(0).cost), QStringLiteral("1/0/100/0"));
        QCOMPARE(topLevelFunctions(recorder.bottomUp), QStringList{QStringLiteral("alloc_b")});
        QCOMPARE(costText(recorder.bottomUp.rows.at(0).cost), QStringLiteral("1/0/100/0"));
        QStringList callerCallee;
        for (auto it = recorder.callerCallee.entries.cbegin(); it != recorder.callerCallee.entries.cend(); ++it) {
            callerCallee << recorder.callerCallee.resultData->string(it.key().functionId);
        }
        callerCallee.sort();
        // alloc_a and helper cancel out
        QCOMPARE(callerCallee, (QStringList{QStringLiteral("alloc_b"), QStringLiteral("main")}));

        // a diff reads two passes, not three
        QVERIFY(!recorder.progress.isEmpty());
        QVERIFY(progressInRange(recorder));
        const auto passTexts = recorder.messages.filter(QStringLiteral(" pass: "));
        QVERIFY(!passTexts.isEmpty());
        QCOMPARE(passTexts.filter(QStringLiteral("/2  spent: ")), passTexts);

        recorder.clear();
        parser.reparse(FilterParameters());
        QVERIFY(!parser.isRunning());

        // a plain run of the same file reads it afresh instead of reusing the difference
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        QVERIFY(drainJobs());
        QCOMPARE(recorder.messages.value(0), PARSING);
        QVERIFY(recorder.dataEvents().contains(QStringLiteral("consumed")));
        QVERIFY(costText(recorder.summaries.value(0).cost) != QStringLiteral("1/0/100/0"));
    }

    // A re-run cancelled late, when its last job has already handed its data
    // over but the parser has not seen it yet, must still give the data back:
    // the next re-run works on it.
    void cancelAfterReparseFinished()
    {
        Parser parser;
        Recorder recorder(&parser);
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());

        for (int attempt = 0; attempt < 5; ++attempt) {
            recorder.clear();
            parser.reparse(window(15, 35));
            // no event processing: the run completes on the workers meanwhile
            QThread::msleep(50 * (attempt + 1));
            parser.cancel();
            QVERIFY(!parser.isRunning());
            QVERIFY(drainJobs());
            QCOMPARE(recorder.count("finished"), 0);

            recorder.clear();
            parser.reparse(window(15, 35));
            QVERIFY2(recorder.waitForEnd(), "the re-run after a late cancel never ended");
            QCOMPARE(recorder.count("finished"), 1);
            QCOMPARE(costText(recorder.summaries.value(0).cost), QStringLiteral("3/0/108/108"));
        }
    }

    void reparseClampsWindow()
    {
        Parser parser;
        Recorder recorder(&parser);
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());

        recorder.clear();
        parser.reparse(window(-5, 1000000));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.count("finished"), 1);
        QCOMPARE(recorder.messages.value(0), REPARSING);
        auto summary = recorder.summaries.value(0);
        QCOMPARE(summary.filterParameters.minTime, int64_t(0));
        QCOMPARE(summary.filterParameters.maxTime, int64_t(TraceFixture::TOTAL_TIME));
        QCOMPARE(summary.totalTime, int64_t(TraceFixture::TOTAL_TIME));
        QCOMPARE(costText(summary.cost), QStringLiteral("5/1/124/124"));
        QVERIFY(!parser.isFiltered());

        // 15 to 35: the allocations at 20 and 30, one of the 100 byte blocks freed again
        recorder.clear();
        parser.reparse(window(15, 35));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.count("finished"), 1);
        summary = recorder.summaries.value(0);
        QCOMPARE(summary.filterParameters.minTime, int64_t(15));
        QCOMPARE(summary.filterParameters.maxTime, int64_t(35));
        QCOMPARE(summary.totalTime, int64_t(TraceFixture::TOTAL_TIME));
        QCOMPARE(costText(summary.cost), QStringLiteral("3/0/108/108"));
        QCOMPARE(recorder.consumed.rows.value(0).timeStamp, int64_t(15));
        QVERIFY(parser.isFiltered());

        recorder.clear();
        parser.reparse(FilterParameters());
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(costText(recorder.summaries.value(0).cost), QStringLiteral("5/1/124/124"));
        QVERIFY(!parser.isFiltered());
    }

    void reuseOfParsedData_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("firstMessage");
        // the name of the 16/8 byte allocator as the results show it, empty: not checked
        QTest::addColumn<QString>("allocatorName");

        // a reparse reads only the events: the rewritten name must not show up
        QTest::newRow("reparse") << QStringLiteral("reparse") << REPARSING << QStringLiteral("alloc_a");
        QTest::newRow("parse of the same path") << QStringLiteral("parse") << REPARSING << QStringLiteral("alloc_a");
        QTest::newRow("parse of another path") << QStringLiteral("other") << PARSING << QStringLiteral("alloc_z");
        QTest::newRow("parse with a diff base") << QStringLiteral("diff") << PARSING << QString();
    }

    void reuseOfParsedData()
    {
        QFETCH(QString, action);
        QFETCH(QString, firstMessage);
        QFETCH(QString, allocatorName);

        const QString path = writeTrace(QStringLiteral("reuse"), TraceFixture::sampleTrace(3));
        Parser parser;
        Recorder recorder(&parser);
        parser.parse(path, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(topLevelFunctions(recorder.bottomUp).value(0), QStringLiteral("alloc_a"));

        // same events, another function name
        writeTrace(QStringLiteral("reuse"), TraceFixture::sampleTrace(3, "alloc_z"));
        const QString other = writeTrace(QStringLiteral("reuse-copy"), TraceFixture::sampleTrace(3, "alloc_z"));
        recorder.clear();
        if (action == QLatin1String("reparse")) {
            parser.reparse(FilterParameters());
        } else if (action == QLatin1String("parse")) {
            parser.parse(path, QString(), FilterParameters(), Parser::StopAfter::Finished);
        } else if (action == QLatin1String("other")) {
            parser.parse(other, QString(), FilterParameters(), Parser::StopAfter::Finished);
        } else {
            parser.parse(path, other, FilterParameters(), Parser::StopAfter::Finished);
        }
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.count("finished"), 1);
        QCOMPARE(recorder.messages.value(0), firstMessage);
        if (!allocatorName.isEmpty()) {
            QCOMPARE(topLevelFunctions(recorder.bottomUp).value(0), allocatorName);
            // reused or not, the same request gives the same results
            const auto summary = recorder.summaries.value(0);
            QCOMPARE(costText(summary.cost), QStringLiteral("5/1/124/124"));
            QCOMPARE(summary.filterParameters.maxTime, int64_t(TraceFixture::TOTAL_TIME));
            QCOMPARE(recorder.consumed.rows.size(), 6);
        }
    }

    void progressStaysInRange_data()
    {
        QTest::addColumn<std::string>("contents");
        QTest::addColumn<Compression>("compression");
        QTest::addColumn<bool>("readFileEachPass");

        const auto sample = TraceFixture::sampleTrace(3);
        const auto large = TraceFixture::largeTrace(20000);
        // a size of 0 must not turn into NaN or infinite completion
        QTest::newRow("empty file") << std::string() << Compression::None << false;
        QTest::newRow("empty gzip") << std::string() << Compression::Gzip << false;
        QTest::newRow("empty zstd") << std::string() << Compression::Zstd << false;
        QTest::newRow("sample") << sample << Compression::None << false;
        QTest::newRow("sample gzip") << sample << Compression::Gzip << false;
        QTest::newRow("sample zstd") << sample << Compression::Zstd << false;
        QTest::newRow("large") << large << Compression::None << false;
        QTest::newRow("large gzip") << large << Compression::Gzip << false;
        QTest::newRow("large, no event log") << large << Compression::Gzip << true;
    }

    void progressStaysInRange()
    {
        QFETCH(std::string, contents);
        QFETCH(Compression, compression);
        QFETCH(bool, readFileEachPass);

        const QString path = writeTrace(QStringLiteral("progress"), contents, compression);
        std::unique_ptr<EventLogBudget> budget;
        if (readFileEachPass) {
            budget = std::make_unique<EventLogBudget>("1");
        }
        Parser parser;
        Recorder recorder(&parser);
        parser.parse(path, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.count("finished"), 1);

        QVERIFY(!recorder.progress.isEmpty());
        int previous = 0;
        for (int value : qAsConst(recorder.progress)) {
            QVERIFY2(value >= 0 && value <= 1000, qPrintable(QString::number(value)));
            // the chart pass runs beside the merging: the bar never moves back
            QVERIFY2(value >= previous, qPrintable(QStringLiteral("%1 after %2").arg(value).arg(previous)));
            previous = value;
        }
        const QString fallbackText = QStringLiteral("every pass reads the file again");
        QCOMPARE(!recorder.messages.filter(fallbackText).isEmpty(), readFileEachPass);
        const auto passTexts = recorder.messages.filter(QStringLiteral(" pass: "));
        QVERIFY(!passTexts.isEmpty());
        for (const auto &text : passTexts) {
            // negative, NaN or infinite times would show as "-", "nan" or "inf"
            QVERIFY2(!text.contains(QLatin1Char('-')) && !text.contains(QLatin1String("nan"), Qt::CaseInsensitive)
                         && !text.contains(QLatin1String("inf"), Qt::CaseInsensitive),
                     qPrintable(text));
        }
        // every pass shows, however few chunks the file is read in
        for (const char *pass : {"parsing data pass: 1/3  spent: ", "parsing data pass: 2/3  spent: ", "parsing data pass: 3/3  spent: "}) {
            QVERIFY2(!passTexts.filter(QLatin1String(pass)).isEmpty(), pass);
        }
        if (contents.empty()) {
            const auto summary = recorder.summaries.value(0);
            QCOMPARE(summary.totalTime, int64_t(1));
            QCOMPARE(costText(summary.cost), QStringLiteral("0/0/0/0"));
            QVERIFY(recorder.bottomUp.rows.isEmpty());
        }
    }

    // What the window lets go of when new results replace the old is freed on
    // the releaser's thread, never on the thread that let go: not even when
    // the releaser is done before releaseInBackground returns, which once left
    // the last copy with the caller.
    void releaseInBackgroundFreesElsewhere()
    {
        struct Freed {
            std::vector<Qt::HANDLE> *threads = nullptr;
            std::mutex *mutex = nullptr;
            ~Freed()
            {
                const std::lock_guard<std::mutex> lock(*mutex);
                threads->push_back(QThread::currentThreadId());
            }
        };
        std::mutex mutex;
        std::vector<Qt::HANDLE> threads;
        threads.reserve(1000);
        for (int i = 0; i < 1000; ++i) {
            auto freed = std::make_shared<Freed>();
            freed->threads = &threads;
            freed->mutex = &mutex;
            JobQueue::releaseInBackground(std::move(freed));
            // give an idle worker the time to finish before the next call
            if (i % 2) {
                QThread::usleep(50);
            }
        }
        QVERIFY(QTest::qWaitFor(
            [&]() {
                const std::lock_guard<std::mutex> lock(mutex);
                return threads.size() == 1000;
            },
            TIMEOUT_MS));
        const std::lock_guard<std::mutex> lock(mutex);
        QCOMPARE(std::count(threads.begin(), threads.end(), QThread::currentThreadId()), std::ptrdiff_t(0));
    }

    void destroyWhileRunning_data()
    {
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("viaOwner");

        QTest::newRow("right after parse") << QString() << false;
        QTest::newRow("owner, right after parse") << QString() << true;
        QTest::newRow("while reading") << QStringLiteral("progress") << false;
        QTest::newRow("after the summary") << QStringLiteral("summary") << false;
        QTest::newRow("owner, after the summary") << QStringLiteral("summary") << true;
        QTest::newRow("while building charts") << QStringLiteral("histogram") << false;
    }

    void destroyWhileRunning()
    {
        QFETCH(QString, after);
        QFETCH(bool, viaOwner);

        auto owner = std::make_unique<QObject>();
        auto *parser = new Parser(viaOwner ? owner.get() : nullptr);
        std::unique_ptr<Parser> ownedParser(viaOwner ? nullptr : parser);
        {
            Recorder recorder(parser);
            parser->parse(m_large, QString(), FilterParameters(), Parser::StopAfter::Finished);
            if (!after.isEmpty()) {
                const QByteArray event = after.toLatin1();
                QVERIFY(QTest::qWaitFor(
                    [&]() {
                        return recorder.count(event.constData()) > 0;
                    },
                    TIMEOUT_MS));
            }
            // the run must still be going, or this test destroys an idle parser
            QVERIFY(after.isEmpty() ? parser->isRunning() : recorder.runningAt.value(after));
        }
        if (viaOwner) {
            owner.reset();
        } else {
            ownedParser.reset();
        }

        // a new parser, possibly at the same address, must only see its own run
        Parser next;
        Recorder recorder(&next);
        next.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        QVERIFY(drainJobs());
        QCOMPARE(recorder.count("finished"), 1);
        QCOMPARE(recorder.summaries.size(), 1);
        QCOMPARE(costText(recorder.summaries.first().cost), QStringLiteral("5/1/124/124"));
        QCOMPARE(recorder.consumed.rows.size(), 6);
    }

    void secondParseSupersedesFirst_data()
    {
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("firstPath");

        QTest::newRow("back to back") << QString() << QStringLiteral("large");
        QTest::newRow("back to back, same file") << QString() << QStringLiteral("sample");
        QTest::newRow("after the first summary") << QStringLiteral("summary") << QStringLiteral("large");
        QTest::newRow("after the first bottom-up tree") << QStringLiteral("bottomUp") << QStringLiteral("large");
    }

    void secondParseSupersedesFirst()
    {
        QFETCH(QString, after);
        QFETCH(QString, firstPath);

        Parser parser;
        Recorder recorder(&parser);
        parser.parse(firstPath == QLatin1String("large") ? m_large : m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        if (!after.isEmpty()) {
            const QByteArray event = after.toLatin1();
            QVERIFY(QTest::qWaitFor(
                [&]() {
                    return recorder.count(event.constData()) > 0;
                },
                TIMEOUT_MS));
            // superseding needs a run in flight when the event came
            QVERIFY(recorder.runningAt.value(after));
        }
        recorder.clear();

        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        // let the first run's jobs end and anything they posted arrive
        QVERIFY(drainJobs());

        QCOMPARE(recorder.dataEvents(),
                 (QStringList{QStringLiteral("summary"),
                              QStringLiteral("bottomUp"),
                              QStringLiteral("histogram"),
                              QStringLiteral("allocations"),
                              QStringLiteral("callerCallee"),
                              QStringLiteral("consumed"),
                              QStringLiteral("temporary"),
                              QStringLiteral("topDown"),
                              QStringLiteral("finished")}));
        QCOMPARE(recorder.messages.count(PARSING), 1);
        QCOMPARE(recorder.messages.first(), PARSING);
        QCOMPARE(costText(recorder.summaries.first().cost), QStringLiteral("5/1/124/124"));
        QCOMPARE(topLevelFunctions(recorder.bottomUp), (QStringList{QStringLiteral("alloc_a"), QStringLiteral("alloc_b")}));
        QCOMPARE(recorder.consumed.rows.size(), 6);
        QVERIFY(!parser.isRunning());

        // the data kept is the second run's
        recorder.clear();
        parser.reparse(window(15, 35));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.messages.value(0), REPARSING);
        QCOMPARE(costText(recorder.summaries.value(0).cost), QStringLiteral("3/0/108/108"));
    }

    void parseSupersedesReparse()
    {
        Parser parser;
        Recorder recorder(&parser);
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());

        recorder.clear();
        parser.reparse(window(15, 35));
        QVERIFY(parser.isRunning());
        // the reparse holds the data, so this reads the file afresh
        parser.parse(m_sample, QString(), FilterParameters(), Parser::StopAfter::Finished);
        QVERIFY(recorder.waitForEnd());
        QVERIFY(drainJobs());
        QCOMPARE(recorder.count("finished"), 1);
        QCOMPARE(recorder.summaries.size(), 1);
        QCOMPARE(recorder.messages.first(), PARSING);
        QVERIFY(!recorder.messages.contains(REPARSING));
        const auto &summary = recorder.summaries.first();
        QCOMPARE(costText(summary.cost), QStringLiteral("5/1/124/124"));
        QCOMPARE(summary.filterParameters.minTime, int64_t(0));
        QCOMPARE(summary.filterParameters.maxTime, int64_t(TraceFixture::TOTAL_TIME));
        QVERIFY(!parser.isFiltered());
    }
};

QTEST_GUILESS_MAIN(TestParser)

#include "tst_parser.moc"
