/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTemporaryDir>
#include <QTest>

#include "analyze/gui/analysis/histogrambuilder.h"

#include "analysistestutils.h"

namespace
{
// Call sites a (twice: a <- main and a <- c <- main), b, c and d under main.
//   info0: 0x64 bytes at a, allocated at 0x64 and freed at 0x3e8
//   info1: 0x20 bytes at b, allocated at 0x65 and freed at 0x3e8
//   info2: 8 bytes at c, three temporary allocations at 0x64
//   info3: 0x10 bytes at a <- c, allocated at 0x65 and never freed
//   info4: 4 bytes at d, never allocated
// The peak, 148 bytes, is reached at 0x65. By call site the consumed chart
// ranks a (100 + 16 peak bytes) before b (32), the allocations chart c (3)
// before a (2) before b (1), and the temporary chart has c alone.
const char ChartTrace[] =
    "v 10500 2\n"
    "s app\n"
    "s main\n"
    "s a\n"
    "s b\n"
    "s c\n"
    "s app.cpp\n"
    "s d\n"
    "i 1 1 3 6 1\n"
    "i 2 1 4 6 2\n"
    "i 3 1 5 6 3\n"
    "i 4 1 2 6 4\n"
    "i 5 1 7 6 5\n"
    "t 4 0\n"
    "t 1 1\n"
    "t 2 1\n"
    "t 3 1\n"
    "t 1 4\n"
    "t 5 1\n"
    "a 64 2\n"
    "a 20 3\n"
    "a 8 4\n"
    "a 10 5\n"
    "a 4 6\n"
    "c 64\n"
    "+ 0\n"
    "+ 2\n"
    "- 2\n"
    "+ 2\n"
    "- 2\n"
    "+ 2\n"
    "- 2\n"
    "c 65\n"
    "+ 1\n"
    "+ 3\n"
    "c 3e8\n"
    "- 1\n"
    "- 0\n";

using Costs = std::vector<int64_t>;

// The first columns of a row; every column after them has to be 0.
bool rowIs(const ChartRows &row, int64_t timeStamp, const Costs &leading)
{
    if (row.timeStamp != timeStamp) {
        return false;
    }
    for (std::size_t i = 0; i < row.cost.size(); ++i) {
        if (row.cost[i] != (i < leading.size() ? leading[i] : 0)) {
            return false;
        }
    }
    return true;
}

QString describe(const QVector<ChartRows> &rows)
{
    QString ret;
    for (const auto &row : rows) {
        ret += QStringLiteral("\n%1:").arg(row.timeStamp);
        for (auto cost : row.cost) {
            ret += QStringLiteral(" %1").arg(cost);
        }
    }
    return ret;
}

QStringList labelNames(const ChartData &chart, const ResultData &resultData)
{
    QStringList ret;
    for (int column = 0; column < ChartRows::MAX_NUM_COST; ++column) {
        if (!chart.labels.contains(column)) {
            continue;
        }
        const auto symbol = chart.labels.value(column);
        ret.append(QStringLiteral("%1:%2").arg(column).arg(symbol == Symbol() ? QString() : resultData.string(symbol.functionId)));
    }
    return ret;
}

bool chartPass(ParserData *data, const QString &path, const std::shared_ptr<const ResultData> &resultData)
{
    data->prepareBuildCharts(resultData);
    return data->read(path.toStdString(), AccumulatedTraceData::ThirdPass, true);
}
}

class TestParserData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void testCountersGrowForSkippedInfos()
    {
        // the window starts at 5: infos 0 and 1 are first used before it, and
        // info 2 is the first one counted
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "s app.cpp\n"
            "i 1 1 2 3 1\n"
            "t 1 0\n"
            "a 8 1\n"
            "a 10 1\n"
            "a 20 1\n"
            "c 1\n"
            "+ 0\n"
            "+ 1\n"
            "c 5\n"
            "+ 2\n"
            "+ 0\n"
            "+ 0\n";
        ParserData data;
        data.filterParameters.minTime = 5;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("window"), trace));

        const auto &counter = data.allocationInfoCounter;
        QCOMPARE(counter.size(), std::size_t(3));
        for (std::size_t i = 0; i < counter.size(); ++i) {
            QCOMPARE(counter[i].info.size, data.allocationInfos[i].size);
            QCOMPARE(counter[i].info.allocationIndex, data.allocationInfos[i].allocationIndex);
        }
        QCOMPARE(counter[0].allocations, int64_t(2));
        QCOMPARE(counter[1].allocations, int64_t(0));
        QCOMPARE(counter[2].allocations, int64_t(1));
    }

    void testCountersInIndexOrder()
    {
        // info 2 is used before info 1 without any window
        ParserData data;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("charts"), ChartTrace));
        const auto &counter = data.allocationInfoCounter;
        QCOMPARE(counter.size(), std::size_t(4));
        const Costs counts = {1, 1, 3, 1};
        for (std::size_t i = 0; i < counter.size(); ++i) {
            QCOMPARE(counter[i].info.size, data.allocationInfos[i].size);
            QCOMPARE(counter[i].allocations, counts[i]);
        }
    }

    void testCharts()
    {
        std::vector<AccumulatedTraceData::ParsePass> callbackPasses;
        ParserData data([&callbackPasses](const ParserData &data) {
            callbackPasses.push_back(data.parsingState.pass);
        });
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("charts"), ChartTrace));
        // no samples before the chart pass
        QVERIFY(data.consumedChartData.rows.isEmpty());
        QCOMPARE(data.totalTime, int64_t(1001));

        const auto resultData = AnalysisTest::resultDataFor(data);
        QVERIFY(chartPass(&data, m_dir.filePath(QStringLiteral("charts")), resultData));

        // every time stamp and the end of each pass report progress
        using Pass = AccumulatedTraceData::ParsePass;
        QCOMPARE(std::count(callbackPasses.begin(), callbackPasses.end(), Pass::FirstPass), 4L);
        QCOMPARE(std::count(callbackPasses.begin(), callbackPasses.end(), Pass::SecondPass), 4L);
        QCOMPARE(std::count(callbackPasses.begin(), callbackPasses.end(), Pass::ThirdPass), 4L);

        for (const auto *chart : {&data.consumedChartData, &data.allocationsChartData, &data.temporaryChartData}) {
            QCOMPARE(chart->resultData, resultData);
        }

        // heaviest first per chart; c has no peak bytes and gets no consumed
        // column, d has no weight anywhere
        QCOMPARE(labelNames(data.consumedChartData, *resultData), (QStringList{QStringLiteral("0:"), QStringLiteral("1:a"), QStringLiteral("2:b")}));
        QCOMPARE(labelNames(data.allocationsChartData, *resultData),
                 (QStringList{QStringLiteral("0:"), QStringLiteral("1:c"), QStringLiteral("2:a"), QStringLiteral("3:b")}));
        QCOMPARE(labelNames(data.temporaryChartData, *resultData), (QStringList{QStringLiteral("0:"), QStringLiteral("1:c")}));
        QCOMPARE(data.consumedChartData.labels.value(1), AnalysisTest::symbolFor(data, "a", "app"));

        // one entry per allocation at a labelled call site, -1 where the site has no column
        QCOMPARE(data.labelIds.size(), std::size_t(4));
        const int expectedIds[4][4] = {{0, 1, 2, -1}, {1, 2, 3, -1}, {2, -1, 1, 1}, {3, 1, 2, -1}};
        for (std::size_t i = 0; i < data.labelIds.size(); ++i) {
            const auto &ids = data.labelIds[i];
            QCOMPARE(int(ids.allocationIndex.index), expectedIds[i][0]);
            QCOMPARE(ids.consumed, expectedIds[i][1]);
            QCOMPARE(ids.allocations, expectedIds[i][2]);
            QCOMPARE(ids.temporary, expectedIds[i][3]);
        }

        // the origin at 0, 0x64; 0x65 is within one interval (1001 / 500 ms) of
        // the previous sample; 0x3e8; and the end of the file at 0x3e9, which
        // is sampled although it is that close to 0x3e8
        const auto &consumed = data.consumedChartData.rows;
        QCOMPARE(consumed.size(), 4);
        QVERIFY2(rowIs(consumed[0], 0, {}), qPrintable(describe(consumed)));
        QVERIFY2(rowIs(consumed[1], 100, {}), qPrintable(describe(consumed)));
        QVERIFY2(rowIs(consumed[2], 1000, {148, 116, 32}), qPrintable(describe(consumed)));
        QVERIFY2(rowIs(consumed[3], 1001, {16, 16}), qPrintable(describe(consumed)));

        const auto &allocations = data.allocationsChartData.rows;
        QCOMPARE(allocations.size(), 4);
        QVERIFY2(rowIs(allocations[0], 0, {}), qPrintable(describe(allocations)));
        QVERIFY2(rowIs(allocations[1], 100, {}), qPrintable(describe(allocations)));
        QVERIFY2(rowIs(allocations[2], 1000, {6, 3, 2, 1}), qPrintable(describe(allocations)));
        QVERIFY2(rowIs(allocations[3], 1001, {6, 3, 2, 1}), qPrintable(describe(allocations)));

        const auto &temporary = data.temporaryChartData.rows;
        QCOMPARE(temporary.size(), 4);
        QVERIFY2(rowIs(temporary[2], 1000, {3, 3}), qPrintable(describe(temporary)));
        QVERIFY2(rowIs(temporary[3], 1001, {3, 3}), qPrintable(describe(temporary)));
    }

    void testChartsWithoutAllocations()
    {
        // an allocation info that is never used leaves a zero-cost allocation
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "i 1 1 2 0 0\n"
            "t 1 0\n"
            "a 8 1\n"
            "c 1\n"
            "c 2\n";
        ParserData data;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("empty"), trace));
        QCOMPARE(data.allocations.size(), std::size_t(1));
        const auto resultData = AnalysisTest::resultDataFor(data);
        QVERIFY(chartPass(&data, m_dir.filePath(QStringLiteral("empty")), resultData));

        QVERIFY(data.labelIds.empty());
        for (const auto *chart : {&data.consumedChartData, &data.allocationsChartData, &data.temporaryChartData}) {
            QCOMPARE(chart->labels.size(), 1);
            QCOMPARE(chart->labels.value(0, AnalysisTest::symbolFor(data, "f", "app")), Symbol());
            QCOMPARE(chart->rows.size(), 4);
            const int64_t stamps[] = {0, 1, 2, 3};
            for (int i = 0; i < chart->rows.size(); ++i) {
                QVERIFY2(rowIs(chart->rows[i], stamps[i], {}), qPrintable(describe(chart->rows)));
            }
        }
    }

    void testAtMostNineteenCallSites()
    {
        // twenty single-frame call sites; site i allocates i + 1 times
        const std::size_t sites = 20;
        std::string trace = "v 10500 2\ns app\ns app.cpp\n";
        for (std::size_t i = 0; i < sites; ++i) {
            trace += "s fn" + std::to_string(i) + "\n";
        }
        for (std::size_t i = 0; i < sites; ++i) {
            trace += "i " + AnalysisTest::hex(i + 1) + " 1 " + AnalysisTest::hex(i + 3) + " 2 1\n";
            trace += "t " + AnalysisTest::hex(i + 1) + " 0\n";
            trace += "a 8 " + AnalysisTest::hex(i + 1) + "\n";
        }
        for (std::size_t i = 0; i < sites; ++i) {
            for (std::size_t n = 0; n <= i; ++n) {
                trace += "+ " + AnalysisTest::hex(i) + "\n";
            }
        }

        ParserData data;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("sites"), trace));
        const auto resultData = AnalysisTest::resultDataFor(data);
        QVERIFY(chartPass(&data, m_dir.filePath(QStringLiteral("sites")), resultData));

        const auto &chart = data.allocationsChartData;
        QCOMPARE(chart.labels.size(), 20);
        QVERIFY(!chart.labels.contains(20));
        for (int column = 1; column < 20; ++column) {
            QCOMPARE(resultData->string(chart.labels.value(column).functionId), QStringLiteral("fn%1").arg(20 - column));
        }
        // fn0 is the lightest and the only one left out
        QCOMPARE(data.labelIds.size(), std::size_t(19));
        for (const auto &ids : data.labelIds) {
            QVERIFY(ids.allocationIndex.index != 0);
        }
        const auto &last = chart.rows.last();
        QCOMPARE(last.cost[0], int64_t(210));
        for (int column = 1; column < 20; ++column) {
            QCOMPARE(last.cost[column], int64_t(21 - column));
        }
        QCOMPARE(last.cost[20], int64_t(0));
        // nothing is temporary: only the total column
        QCOMPARE(data.temporaryChartData.labels.size(), 1);
    }

    void testNoChartsInDiffMode()
    {
        ParserData data;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("charts"), ChartTrace));
        data.diffMode = true;
        QVERIFY(chartPass(&data, m_dir.filePath(QStringLiteral("charts")), AnalysisTest::resultDataFor(data)));
        for (const auto *chart : {&data.consumedChartData, &data.allocationsChartData, &data.temporaryChartData}) {
            QVERIFY(chart->rows.isEmpty());
            QVERIFY(chart->labels.isEmpty());
            QVERIFY(!chart->resultData);
        }
        QVERIFY(data.labelIds.empty());
    }

    void testClearForReparse()
    {
        ParserData data;
        const auto path = m_dir.filePath(QStringLiteral("charts"));
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("charts"), ChartTrace));
        const auto resultData = AnalysisTest::resultDataFor(data);
        // the histogram leaves the counters sorted by size
        buildSizeHistogram(data, resultData);
        QCOMPARE(data.allocationInfoCounter.front().info.size, uint64_t(8));
        QVERIFY(chartPass(&data, path, resultData));
        QVERIFY(!data.labelIds.empty());

        data.clearForReparse();
        QCOMPARE(data.allocationInfoCounter.size(), data.allocationInfos.size());
        for (std::size_t i = 0; i < data.allocationInfos.size(); ++i) {
            QCOMPARE(data.allocationInfoCounter[i].info.size, data.allocationInfos[i].size);
            QCOMPARE(data.allocationInfoCounter[i].info.allocationIndex, data.allocationInfos[i].allocationIndex);
            QCOMPARE(data.allocationInfoCounter[i].allocations, int64_t(0));
        }
        for (const auto *chart : {&data.consumedChartData, &data.allocationsChartData, &data.temporaryChartData}) {
            QVERIFY(chart->rows.isEmpty());
            QVERIFY(chart->labels.isEmpty());
            QVERIFY(!chart->resultData);
        }
        QVERIFY(data.labelIds.empty());
        QVERIFY(!data.buildCharts);
        QCOMPARE(data.lastTimeStamp, int64_t(0));
        QCOMPARE(data.maxConsumedSinceLastTimeStamp, int64_t(0));

        // a reparse from 0x65 on counts infos 1 and 3 by their index
        data.filterParameters.minTime = 101;
        QVERIFY(data.read(path.toStdString(), true));
        const Costs counts = {0, 1, 0, 1, 0};
        for (std::size_t i = 0; i < counts.size(); ++i) {
            QCOMPARE(data.allocationInfoCounter[i].info.size, data.allocationInfos[i].size);
            QCOMPARE(data.allocationInfoCounter[i].allocations, counts[i]);
        }

        // the origin lies at the start of the window
        QVERIFY(chartPass(&data, path, resultData));
        const auto &rows = data.allocationsChartData.rows;
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].timeStamp, int64_t(101));
        QVERIFY2(rowIs(rows[0], 101, {}), qPrintable(describe(rows)));
        QCOMPARE(rows[1].timeStamp, int64_t(1000));
        QCOMPARE(rows[2].timeStamp, int64_t(1001));
    }

private:
    QTemporaryDir m_dir;
};

MEMLOUPE_ANALYSIS_TEST_MAIN(TestParserData)

#include "tst_parserdata.moc"
