/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QPen>
#include <QTest>

#include <KChartGlobal>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/histogrammodel.h"

#include "parsedtrace.h"

using namespace ParsedTrace;

class TestHistogramModel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    Results m_results;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_results = analyze(m_dir, sampleTrace());
        QVERIFY(m_results.finished && !m_results.failed);
        // from "0B to 8B" up to the 2048 bytes of bar in "more than 1KB"
        QCOMPARE(m_results.histogram.rows.size(), 9);
    }

    void testModelTester()
    {
        HistogramModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.resetData(m_results.histogram);
        model.clearData();
        QCOMPARE(model.columnCount(), 11);
        model.resetData(m_results.histogram);
        QCOMPARE(model.columnCount(model.index(0, 0)), 0);
        HistogramModel other;
        other.resetData(m_results.histogram);
        QVERIFY(!model.data(other.index(0, 0)).isValid());
    }

    void testHeader()
    {
        HistogramModel model;
        model.resetData(m_results.histogram);
        QCOMPARE(model.headerData(0, Qt::Vertical).toString(), QStringLiteral("0B to 8B"));
        QCOMPARE(model.headerData(3, Qt::Vertical).toString(), QStringLiteral("33B to 64B"));
        QCOMPARE(model.headerData(8, Qt::Vertical).toString(), QStringLiteral("more than 1KB"));
        QVERIFY(!model.headerData(9, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(-1, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(0, Qt::Vertical, Qt::ToolTipRole).isValid());
    }

    void testCells()
    {
        HistogramModel model;
        model.resetData(m_results.histogram);
        const auto allocations = [&](int row) {
            QList<qint64> result;
            for (int column = 0; column < 4; ++column) {
                const QVariant value = model.index(row, column).data();
                result << (value.userType() == QMetaType::LongLong ? value.toLongLong() : -1);
            }
            return result;
        };
        QCOMPARE(allocations(0), (QList<qint64>{2, 2, 0, 0}));
        QCOMPARE(allocations(2), (QList<qint64>{0, 0, 0, 0}));
        // foo's 33 and 34 byte allocations, then the 64 bytes from the other module
        QCOMPARE(allocations(3), (QList<qint64>{4, 3, 1, 0}));
        QVERIFY(!model.index(3, 1).data(Qt::DecorationRole).isValid());

        const QList<int> hues = {0, 23, 46, 69, 92, 115, 139, 162, 185, 208, 231};
        for (int row : {0, 8}) {
            for (int column = 0; column < 11; ++column) {
                const QModelIndex index = model.index(row, column);
                QCOMPARE(index.data(KChart::DatasetBrushRole).value<QBrush>(), QBrush(QColor::fromHsv(hues.at(column), 255, 255), Qt::SolidPattern));
                QCOMPARE(index.data(KChart::DatasetPenRole).value<QPen>(), QPen(Qt::black));
            }
        }
    }

    void testToolTips()
    {
        HistogramModel model;
        model.resetData(m_results.histogram);
        const ResultData &resultData = *m_results.histogram.resultData;
        const auto toolTip = [&](int row, int column) {
            return model.index(row, column).data(Qt::ToolTipRole);
        };
        const QString function = QStringLiteral("%1 allocations from %2, totalling %3 allocated with an average of %4 per allocation");

        QCOMPARE(toolTip(3, 0).toString(), QStringLiteral("4 allocations in total"));
        // 33 + 2 x 34 bytes: the average of 33.7 is truncated
        QCOMPARE(toolTip(3, 1).toString(),
                 function.arg(QStringLiteral("3"),
                              Util::toString(symbol(FooFunction), resultData, Util::FormatType::Long),
                              Util::formatBytes(101),
                              Util::formatBytes(33)));
        QCOMPARE(toolTip(3, 2).toString(),
                 function.arg(QStringLiteral("1"),
                              Util::toString(symbol(FooFunction, OtherModule), resultData, Util::FormatType::Long),
                              Util::formatBytes(64),
                              Util::formatBytes(64)));

        // a column without a function has no tooltip rather than an average over zero allocations
        QVERIFY(!toolTip(3, 3).isValid());
        // a size class without any allocation between two used ones
        QCOMPARE(toolTip(2, 0).toString(), QStringLiteral("0 allocations in total"));
        for (int column = 1; column < 11; ++column) {
            QVERIFY(!toolTip(2, column).isValid());
        }
    }

    void testDiffToolTips()
    {
        // the base allocates 2048 bytes at bar four times, the newer file once
        const auto diff = analyze(m_dir, sampleTrace(), diffBaseTrace());
        QVERIFY(diff.finished && !diff.failed);
        HistogramModel model;
        model.resetData(diff.histogram);
        const int above1KB = model.rowCount() - 1;
        QCOMPARE(model.headerData(above1KB, Qt::Vertical).toString(), QStringLiteral("more than 1KB"));
        QCOMPARE(model.index(above1KB, 0).data().toLongLong(), -3);
        QCOMPARE(model.index(above1KB, 0).data(Qt::ToolTipRole).toString(), QStringLiteral("-3 allocations in total compared to base"));
        QCOMPARE(model.index(above1KB, 1).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("-3 allocations from %1 compared to base, totalling %2")
                     .arg(Util::toString(symbol(BarFunction), *diff.histogram.resultData, Util::FormatType::Long), Util::formatBytes(-6144)));
    }
};

QTEST_GUILESS_MAIN(TestHistogramModel)

#include "tst_histogrammodel.moc"
