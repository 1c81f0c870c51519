/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTemporaryDir>
#include <QTest>

#include <limits>

#include "analyze/gui/analysis/histogrambuilder.h"

#include "analysistestutils.h"

namespace
{
const QStringList ClassLabels = {
    QStringLiteral("0B to 8B"),
    QStringLiteral("9B to 16B"),
    QStringLiteral("17B to 32B"),
    QStringLiteral("33B to 64B"),
    QStringLiteral("65B to 128B"),
    QStringLiteral("129B to 256B"),
    QStringLiteral("257B to 512B"),
    QStringLiteral("513B to 1KB"),
    QStringLiteral("more than 1KB"),
};

QStringList labels(const HistogramData &histogram)
{
    QStringList ret;
    for (const auto &row : histogram.rows) {
        ret.append(row.sizeLabel);
    }
    return ret;
}

bool isEmptyColumn(const HistogramColumn &column)
{
    return column.allocations == 0 && column.totalAllocated == 0 && column.symbol == Symbol();
}

// "name allocations totalAllocated" of the used function columns of a row
QStringList functionColumns(const HistogramRow &row, const ResultData &resultData)
{
    QStringList ret;
    for (int i = 1; i < HistogramRow::NUM_COLUMNS; ++i) {
        const auto &column = row.columns[i];
        if (isEmptyColumn(column)) {
            continue;
        }
        ret.append(QStringLiteral("%1 %2 %3").arg(resultData.string(column.symbol.functionId)).arg(column.allocations).arg(column.totalAllocated));
    }
    return ret;
}

struct Histogram {
    ParserData data;
    std::shared_ptr<const ResultData> resultData;
    HistogramData histogram;
};

bool build(Histogram *result, const QTemporaryDir &dir, const std::string &trace)
{
    if (!AnalysisTest::readTrace(&result->data, dir, QStringLiteral("trace"), trace)) {
        return false;
    }
    result->resultData = AnalysisTest::resultDataFor(result->data);
    result->histogram = buildSizeHistogram(result->data, result->resultData);
    return true;
}
}

class TestHistogram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void testClassBounds()
    {
        // one allocation each of 8, 9, 16, 17, 1024 and 1025 bytes
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "i 1 1 2 0 0\n"
            "t 1 0\n"
            "a 401 1\n"
            "a 400 1\n"
            "a 11 1\n"
            "a 10 1\n"
            "a 9 1\n"
            "a 8 1\n"
            "+ 0\n"
            "+ 1\n"
            "+ 2\n"
            "+ 3\n"
            "+ 4\n"
            "+ 5\n";
        Histogram result;
        QVERIFY(build(&result, m_dir, trace));
        const auto &rows = result.histogram.rows;
        QCOMPARE(result.histogram.resultData, result.resultData);
        QCOMPARE(labels(result.histogram), ClassLabels);

        const uint64_t bounds[] = {8, 16, 32, 64, 128, 256, 512, 1024, std::numeric_limits<uint64_t>::max()};
        const int64_t counts[] = {1, 2, 1, 0, 0, 0, 0, 1, 1};
        const int64_t bytes[] = {8, 25, 17, 0, 0, 0, 0, 1024, 1025};
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].size, bounds[i]);
            QCOMPARE(rows[i].columns[0].allocations, counts[i]);
            QCOMPARE(rows[i].columns[0].totalAllocated, bytes[i]);
            QCOMPARE(rows[i].columns[0].symbol, Symbol());
        }
        QCOMPARE(functionColumns(rows[1], *result.resultData), QStringList{QStringLiteral("f 2 25")});
    }

    void testRowsEndAtLargestClass()
    {
        // 8 bytes twice at f, 100 bytes once at g
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "s g\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "t 1 0\n"
            "t 2 0\n"
            "a 64 2\n"
            "a 8 1\n"
            "+ 0\n"
            "+ 1\n"
            "+ 1\n";
        Histogram result;
        QVERIFY(build(&result, m_dir, trace));
        const auto &rows = result.histogram.rows;
        QCOMPARE(labels(result.histogram), ClassLabels.mid(0, 5));
        QCOMPARE(functionColumns(rows[0], *result.resultData), QStringList{QStringLiteral("f 2 16")});
        QCOMPARE(functionColumns(rows[4], *result.resultData), QStringList{QStringLiteral("g 1 100")});
        for (int i = 1; i < 4; ++i) {
            for (const auto &column : rows[i].columns) {
                QVERIFY(isEmptyColumn(column));
            }
        }
    }

    void testColumnOrder()
    {
        // in the 33 to 64 byte class: h 3 x 33 bytes, g 2 x 50 bytes, and f
        // 40 and 48 bytes, merged into one column
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "s g\n"
            "s h\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "i 3 1 4 0 0\n"
            "t 1 0\n"
            "t 2 0\n"
            "t 3 0\n"
            "a 28 1\n"
            "a 30 1\n"
            "a 32 2\n"
            "a 21 3\n"
            "+ 0\n"
            "+ 1\n"
            "+ 2\n"
            "+ 2\n"
            "+ 3\n"
            "+ 3\n"
            "+ 3\n";
        Histogram result;
        QVERIFY(build(&result, m_dir, trace));
        const auto &rows = result.histogram.rows;
        QCOMPARE(rows.size(), 4);
        // most allocations first; equal counts: more bytes first
        QCOMPARE(functionColumns(rows[3], *result.resultData), (QStringList{QStringLiteral("h 3 99"), QStringLiteral("g 2 100"), QStringLiteral("f 2 88")}));
        QCOMPARE(rows[3].columns[0].allocations, int64_t(7));
        QCOMPARE(rows[3].columns[0].totalAllocated, int64_t(287));
        QCOMPARE(rows[3].columns[1].symbol, AnalysisTest::symbolFor(result.data, "h", "app"));
        for (int i = 4; i < HistogramRow::NUM_COLUMNS; ++i) {
            QVERIFY(isEmptyColumn(rows[3].columns[i]));
        }
    }

    void testTopTenThenFewer()
    {
        // eleven functions with 8 bytes (function i allocating i + 1 times),
        // then three of them with 16 bytes once each
        const std::size_t functions = 11;
        std::string trace = "v 10500 2\ns app\n";
        for (std::size_t i = 0; i < functions; ++i) {
            trace += "s fn" + std::to_string(i) + "\n";
        }
        for (std::size_t i = 0; i < functions; ++i) {
            trace += "i " + AnalysisTest::hex(i + 1) + " 1 " + AnalysisTest::hex(i + 2) + " 0 0\n";
            trace += "t " + AnalysisTest::hex(i + 1) + " 0\n";
            trace += "a 8 " + AnalysisTest::hex(i + 1) + "\n";
        }
        for (std::size_t i = 0; i < 3; ++i) {
            trace += "a 10 " + AnalysisTest::hex(i + 1) + "\n";
        }
        for (std::size_t i = 0; i < functions; ++i) {
            for (std::size_t n = 0; n <= i; ++n) {
                trace += "+ " + AnalysisTest::hex(i) + "\n";
            }
        }
        for (std::size_t i = 0; i < 3; ++i) {
            trace += "+ " + AnalysisTest::hex(functions + i) + "\n";
        }

        Histogram result;
        QVERIFY(build(&result, m_dir, trace));
        const auto &rows = result.histogram.rows;
        QCOMPARE(rows.size(), 2);

        // the least frequent function drops out of the columns, not the total
        QCOMPARE(rows[0].columns[0].allocations, int64_t(66));
        for (int i = 1; i < HistogramRow::NUM_COLUMNS; ++i) {
            const auto &column = rows[0].columns[i];
            QCOMPARE(result.resultData->string(column.symbol.functionId), QStringLiteral("fn%1").arg(11 - i));
            QCOMPARE(column.allocations, int64_t(12 - i));
            QCOMPARE(column.totalAllocated, int64_t(8 * (12 - i)));
        }

        QCOMPARE(rows[1].columns[0].allocations, int64_t(3));
        QCOMPARE(functionColumns(rows[1], *result.resultData).size(), 3);
        for (int i = 4; i < HistogramRow::NUM_COLUMNS; ++i) {
            QVERIFY(isEmptyColumn(rows[1].columns[i]));
        }
    }

    void testNoAllocations()
    {
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "i 1 1 2 0 0\n"
            "t 1 0\n"
            "a 8 1\n"
            "c 1\n";
        Histogram result;
        QVERIFY(build(&result, m_dir, trace));
        QVERIFY(result.histogram.rows.isEmpty());
        QVERIFY(!result.histogram.resultData);
    }

    void testFunctionsAfterDiff()
    {
        // zeta allocates 8 bytes once and is read first, alpha 64 bytes twice.
        // The base has the same zeta allocation, so the diff drops it and the
        // remaining allocations are sorted: alpha ends up at position 0.
        const char current[] =
            "v 10500 2\n"
            "s app\n"
            "s alpha\n"
            "s zeta\n"
            "s app.cpp\n"
            "i 1 1 3 4 1\n"
            "i 2 1 2 4 2\n"
            "t 1 0\n"
            "t 2 0\n"
            "a 8 1\n"
            "a 40 2\n"
            "+ 0\n"
            "+ 1\n"
            "+ 1\n";
        const char base[] =
            "v 10500 2\n"
            "s app\n"
            "s zeta\n"
            "s app.cpp\n"
            "i 1 1 2 3 1\n"
            "t 1 0\n"
            "a 8 1\n"
            "+ 0\n";
        ParserData data;
        ParserData baseData;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("current"), current));
        QVERIFY(AnalysisTest::readTrace(&baseData, m_dir, QStringLiteral("base"), base));
        data.subtractBase(baseData);

        // the diff did reorder: the allocation read as number 0 is no longer there
        QCOMPARE(data.allocations.size(), std::size_t(1));
        QCOMPARE(data.allocations[0].traceIndex, data.readTraceIndex(AllocationIndex{{1}}));
        QVERIFY(data.allocations[0].traceIndex != data.readTraceIndex(AllocationIndex{{0}}));

        const auto resultData = AnalysisTest::resultDataFor(data);
        const auto histogram = buildSizeHistogram(data, resultData);
        QCOMPARE(histogram.rows.size(), 4);
        // zeta allocated its 8 bytes in both files: no change, and no column for it
        QCOMPARE(histogram.rows[0].columns[0].allocations, int64_t(0));
        QCOMPARE(functionColumns(histogram.rows[0], *resultData), QStringList());
        QCOMPARE(functionColumns(histogram.rows[3], *resultData), QStringList{QStringLiteral("alpha 2 128")});
        QCOMPARE(histogram.rows[3].columns[1].symbol, AnalysisTest::symbolFor(data, "alpha", "app"));
    }

    void testDiffSubtractsBase()
    {
        // current: f 8 bytes x3, g 100 bytes x1, shared 2000 bytes x1
        // base:    f 8 bytes x1, h (only in the base) 16 bytes x4, g 100 bytes x3,
        //          shared 2000 bytes x1, and a 5000-byte block from h
        const char current[] =
            "v 10500 2\n"
            "s app\n"
            "s f\n"
            "s g\n"
            "s shared\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "i 3 1 4 0 0\n"
            "t 1 0\n"
            "t 2 0\n"
            "t 3 0\n"
            "a 8 1\n"
            "a 64 2\n"
            "a 7d0 3\n"
            "+ 0\n"
            "+ 0\n"
            "+ 0\n"
            "+ 1\n"
            "+ 2\n";
        const char base[] =
            "v 10500 2\n"
            "s app\n"
            "s h\n"
            "s shared\n"
            "s g\n"
            "s f\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "i 3 1 4 0 0\n"
            "i 4 1 5 0 0\n"
            "t 1 0\n"
            "t 2 0\n"
            "t 3 0\n"
            "t 4 0\n"
            "a 10 1\n"
            "a 7d0 2\n"
            "a 64 3\n"
            "a 8 4\n"
            "a 1388 1\n"
            "+ 0\n"
            "+ 0\n"
            "+ 0\n"
            "+ 0\n"
            "+ 1\n"
            "+ 2\n"
            "+ 2\n"
            "+ 2\n"
            "+ 3\n"
            "+ 4\n";
        ParserData data;
        ParserData baseData;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("current2"), current));
        QVERIFY(AnalysisTest::readTrace(&baseData, m_dir, QStringLiteral("base2"), base));
        data.subtractBase(baseData);
        const auto resultData = AnalysisTest::resultDataFor(data);
        const auto histogram = buildSizeHistogram(data, resultData);

        // up to the class of the base's largest block, not only the current file's
        QCOMPARE(labels(histogram), ClassLabels);
        const auto &rows = histogram.rows;
        const int64_t counts[] = {2, -4, 0, 0, -2, 0, 0, 0, -1};
        const int64_t bytes[] = {16, -64, 0, 0, -200, 0, 0, 0, -5000};
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].columns[0].allocations, counts[i]);
            QCOMPARE(rows[i].columns[0].totalAllocated, bytes[i]);
        }
        QCOMPARE(functionColumns(rows[0], *resultData), QStringList{QStringLiteral("f 2 16")});
        // a function only the base has is named through the merged string table
        QCOMPARE(functionColumns(rows[1], *resultData), QStringList{QStringLiteral("h -4 -64")});
        QCOMPARE(rows[1].columns[1].symbol, AnalysisTest::symbolFor(data, "h", "app"));
        QCOMPARE(functionColumns(rows[4], *resultData), QStringList{QStringLiteral("g -2 -200")});
        // shared allocated 2000 bytes once in both: the class is there, unchanged and without columns
        QCOMPARE(functionColumns(rows[8], *resultData), QStringList{QStringLiteral("h -1 -5000")});
    }

    void testDiffRanksByChange()
    {
        // a class where one function grew by 1 and another shrank by 3: the
        // shrink is the larger change and comes first
        const char current[] =
            "v 10500 2\n"
            "s app\n"
            "s up\n"
            "s down\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "t 1 0\n"
            "t 2 0\n"
            "a 8 1\n"
            "a 8 2\n"
            "+ 0\n"
            "+ 0\n"
            "+ 1\n";
        const char base[] =
            "v 10500 2\n"
            "s app\n"
            "s up\n"
            "s down\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "t 1 0\n"
            "t 2 0\n"
            "a 8 1\n"
            "a 8 2\n"
            "+ 0\n"
            "+ 1\n"
            "+ 1\n"
            "+ 1\n"
            "+ 1\n";
        ParserData data;
        ParserData baseData;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("current3"), current));
        QVERIFY(AnalysisTest::readTrace(&baseData, m_dir, QStringLiteral("base3"), base));
        data.subtractBase(baseData);
        const auto resultData = AnalysisTest::resultDataFor(data);
        const auto histogram = buildSizeHistogram(data, resultData);
        QCOMPARE(histogram.rows.size(), 1);
        QCOMPARE(histogram.rows[0].columns[0].allocations, int64_t(-2));
        QCOMPARE(functionColumns(histogram.rows[0], *resultData), (QStringList{QStringLiteral("down -3 -24"), QStringLiteral("up 1 8")}));
    }

private:
    QTemporaryDir m_dir;
};

MEMLOUPE_ANALYSIS_TEST_MAIN(TestHistogram)

#include "tst_histogram.moc"
