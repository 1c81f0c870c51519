/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <limits>
#include <utility>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include <KChartGlobal>
#include <KChartLineAttributes>
#include <KLocalizedString>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/chartmodel.h"
#include "analyze/gui/models/chartproxy.h"

#include "parsedtrace.h"

using namespace ParsedTrace;

namespace
{
ChartRows sample(int64_t timeStamp, std::initializer_list<int64_t> costs)
{
    ChartRows row;
    row.timeStamp = timeStamp;
    std::copy(costs.begin(), costs.end(), row.cost.begin());
    return row;
}

// label k names function k of the result data, without a module; label 0 is the total's empty symbol
ChartData chart(int labelCount, const QVector<ChartRows> &rows, const std::shared_ptr<const ResultData> &resultData)
{
    ChartData data;
    data.rows = rows;
    data.resultData = resultData;
    for (uint32_t i = 0; i < uint32_t(labelCount); ++i) {
        data.labels.insert(int(i), symbol(i, 0));
    }
    return data;
}

int hue(const ChartModel &model, int section)
{
    return model.headerData(section, Qt::Horizontal, KChart::DatasetBrushRole).value<QBrush>().color().hsvHue();
}

QList<int> columnRange(const QSignalSpy &spy)
{
    return spy.count() == 1 ? QList<int>{spy.first().at(1).toInt(), spy.first().at(2).toInt()} : QList<int>{};
}

QList<qint64> column(const QAbstractItemModel &model, int column)
{
    QList<qint64> result;
    for (int row = 0; row < model.rowCount(); ++row) {
        result << model.index(row, column).data().toLongLong();
    }
    return result;
}
}

class TestChartModel : public QObject
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
        // the total and the five call sites that allocated
        QCOMPARE(m_results.allocations.labels.size(), 6);
        // the total and the three call sites that freed right after allocating
        QCOMPARE(m_results.temporary.labels.size(), 4);
    }

    void testModelTester()
    {
        for (const ChartData *data : {&m_results.consumed, &m_results.allocations, &m_results.temporary}) {
            ChartModel model(ChartModel::Consumed);
            ChartProxy total(true);
            ChartProxy detailed(false);
            total.setSourceModel(&model);
            detailed.setSourceModel(&model);
            const auto mode = QAbstractItemModelTester::FailureReportingMode::QtTest;
            QAbstractItemModelTester testers[] = {{&model, mode}, {&total, mode}, {&detailed, mode}};
            Q_UNUSED(testers);

            model.resetData(*data);
            for (int count : {2, 8, 1, 0, 30, 11}) {
                model.setMaximumDatasetCount(count);
            }
            model.clearData();
            model.resetData(*data);
        }
    }

    void testTable()
    {
        ChartModel model(ChartModel::Allocations);
        model.resetData(m_results.allocations);
        QCOMPARE(model.columnCount(), 12);
        QCOMPARE(model.rowCount(), 6);
        QCOMPARE(model.rowCount(model.index(0, 0)), 0);

        QCOMPARE(column(model, 0), (QList<qint64>{0, 10, 20, 30, 40, 41}));
        QCOMPARE(column(model, 1), (QList<qint64>{0, 0, 4, 8, 9, 9}));
        // the heaviest call site is foo calling itself, with three allocations between 20 and 30
        QCOMPARE(m_results.allocations.labels.value(1), symbol(FooFunction));
        QCOMPARE(column(model, 3), (QList<qint64>{0, 0, 0, 3, 3, 3}));
        QCOMPARE(model.index(3, 3).data().userType(), int(QMetaType::LongLong));

        QVERIFY(!model.index(0, 1).data(Qt::DecorationRole).isValid());
        ChartModel other(ChartModel::Allocations);
        other.resetData(m_results.allocations);
        QVERIFY(!model.data(other.index(0, 0)).isValid());

        model.clearData();
        QCOMPARE(model.columnCount(), 0);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
    }

    void testColors()
    {
        ChartModel model(ChartModel::Allocations);
        model.resetData(m_results.allocations);
        for (int section = 0; section < 12; ++section) {
            const QColor expected = section == 0 ? QColor(Qt::red) : QColor::fromHsv(int((section + 1) / 12.0 * 255.0), 255, 255);
            const QModelIndex index = model.index(4, section);
            QCOMPARE(index.data(KChart::DatasetBrushRole).value<QBrush>(), QBrush(expected, Qt::SolidPattern));
            QCOMPARE(index.data(KChart::DatasetPenRole).value<QPen>(), QPen(expected));
            // the legend takes the colours from the header
            QCOMPARE(model.headerData(section, Qt::Horizontal, KChart::DatasetBrushRole), index.data(KChart::DatasetBrushRole));
            QCOMPARE(model.headerData(section, Qt::Horizontal, KChart::DatasetPenRole), index.data(KChart::DatasetPenRole));

            const auto attributes = index.data(KChart::LineAttributesRole).value<KChart::LineAttributes>();
            QVERIFY(attributes.displayArea());
            QCOMPARE(attributes.transparency(), section < 2 ? 50u : 127u);
        }

        // fewer columns spread the hues over fewer steps
        model.setMaximumDatasetCount(2);
        QCOMPARE((QList<int>{hue(model, 1), hue(model, 2), hue(model, 3)}), (QList<int>{127, 191, 255}));
    }

    void testHeaders()
    {
        const QString sixty(60, QLatin1Char('s'));
        const QString sixtyOne = QString(60, QLatin1Char('t')) + QLatin1Char('X');
        auto resultData = std::make_shared<const ResultData>(AllocationData(), QVector<QString>{QStringLiteral("abc"), sixty, sixtyOne});

        ChartModel model(ChartModel::Consumed);
        // label 4 lies beyond the string table
        model.resetData(chart(5, {sample(0, {})}, resultData));
        const auto name = [&](int section) {
            return model.headerData(section, Qt::Horizontal).toString();
        };
        // the total's value column names the empty symbol of label 0
        QCOMPARE(name(1), QString(QStringLiteral(" <unresolved function>") + QString(39, QLatin1Char(' '))));
        QCOMPARE(name(2), QString(QStringLiteral(" abc") + QString(57, QLatin1Char(' '))));
        QCOMPARE(name(3), name(2));
        QCOMPARE(name(4), QString(QLatin1Char(' ') + sixty));
        QCOMPARE(name(6), QString(QLatin1Char(' ') + sixtyOne.left(57) + QStringLiteral("...")));
        QCOMPARE(name(8), QString(61, QLatin1Char(' ')));
        QVERIFY(!model.headerData(10, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::DecorationRole).isValid());

        const struct {
            ChartModel::Type type;
            const char *typeString;
            const char *totalName;
        } types[] = {{ChartModel::Consumed, "Memory Consumed", "Total Memory Consumption"},
                     {ChartModel::Allocations, "Memory Allocations", "Total Memory Allocations"},
                     {ChartModel::Temporary, "Temporary Allocations", "Total Temporary Allocations"}};
        for (const auto &expected : types) {
            ChartModel typed(expected.type);
            QCOMPARE(typed.typeString(), QLatin1String(expected.typeString));
            typed.resetData(m_results.temporary);
            QCOMPARE(typed.headerData(0, Qt::Horizontal).toString(), QLatin1String(expected.totalName));
            QCOMPARE(typed.headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString(), QStringLiteral("Elapsed Time"));
            QCOMPARE(typed.headerData(3, Qt::Horizontal, Qt::ToolTipRole).toString(), QLatin1String(expected.typeString));
        }
    }

    void testToolTips()
    {
        const ResultData &resultData = *m_results.allocations.resultData;
        const auto toolTip = [](const ChartModel &model, int row, int column) {
            return model.index(row, column).data(Qt::ToolTipRole).toString();
        };

        ChartModel allocations(ChartModel::Allocations);
        allocations.resetData(m_results.allocations);
        QCOMPARE(toolTip(allocations, 3, 0), QStringLiteral("<qt>8 allocations in total after 30ms</qt>"));
        QCOMPARE(toolTip(allocations, 3, 1), toolTip(allocations, 3, 0));
        const QString foo = Util::toString(symbol(FooFunction), resultData, Util::FormatType::Long);
        QCOMPARE(toolTip(allocations, 3, 3), QStringLiteral("<qt>3 allocations after 30ms from:<p style='margin-left:10px;'>%1</p></qt>").arg(foo));
        QCOMPARE(toolTip(allocations, 3, 2), toolTip(allocations, 3, 3));

        ChartModel temporary(ChartModel::Temporary);
        temporary.resetData(m_results.temporary);
        QCOMPARE(toolTip(temporary, 5, 1), QStringLiteral("<qt>3 temporary allocations in total after 41ms</qt>"));
        const QString label = Util::toString(m_results.temporary.labels.value(1), resultData, Util::FormatType::Long);
        QCOMPARE(toolTip(temporary, 5, 3), QStringLiteral("<qt>1 temporary allocations after 41ms from:<p style='margin-left:10px'>%1</p></qt>").arg(label));

        // the raw byte count is added only above 1024 bytes, substituted as a number in the locale's grouping
        ChartModel consumed(ChartModel::Consumed);
        consumed.resetData(chart(3, {sample(1500, {1025, 1024, 1025})}, m_results.consumed.resultData));
        const QString rawCount = i18n("%1", qint64(1025));
        QCOMPARE(toolTip(consumed, 0, 1), QStringLiteral("<qt>%1 (%2 bytes) consumed in total after 01.500s</qt>").arg(Util::formatBytes(1025), rawCount));
        const QString from = QStringLiteral(" consumed after 01.500s from:<p style='margin-left:10px'>%1</p></qt>");
        QCOMPARE(toolTip(consumed, 0, 2),
                 QString(QStringLiteral("<qt>") + Util::formatBytes(1024) + from.arg(Util::toString(symbol(1, 0), resultData, Util::FormatType::Long))));
        QCOMPARE(toolTip(consumed, 0, 5),
                 QString(QStringLiteral("<qt>%1 (%2 bytes)").arg(Util::formatBytes(1025), rawCount)
                         + from.arg(Util::toString(symbol(2, 0), resultData, Util::FormatType::Long))));
    }

    void testMaximumDatasetCount()
    {
        ChartModel model(ChartModel::Temporary);
        model.resetData(m_results.temporary);
        QCOMPARE(model.columnCount(), 8);

        QSignalSpy aboutToRemove(&model, &QAbstractItemModel::columnsAboutToBeRemoved);
        QSignalSpy removed(&model, &QAbstractItemModel::columnsRemoved);
        QSignalSpy aboutToInsert(&model, &QAbstractItemModel::columnsAboutToBeInserted);
        QSignalSpy inserted(&model, &QAbstractItemModel::columnsInserted);
        const auto signalCount = [&]() {
            const int count = aboutToRemove.count() + removed.count() + aboutToInsert.count() + inserted.count();
            for (QSignalSpy *spy : {&aboutToRemove, &removed, &aboutToInsert, &inserted}) {
                spy->clear();
            }
            return count;
        };

        // more data sets allowed than there are: nothing changes
        model.setMaximumDatasetCount(8);
        QCOMPARE(model.columnCount(), 8);
        QCOMPARE(signalCount(), 0);

        model.setMaximumDatasetCount(2);
        QCOMPARE(model.columnCount(), 4);
        QCOMPARE(columnRange(aboutToRemove), (QList<int>{4, 7}));
        QCOMPARE(columnRange(removed), (QList<int>{4, 7}));
        QVERIFY(!removed.first().at(0).value<QModelIndex>().isValid());
        QCOMPARE(hue(model, 3), 255);
        QCOMPARE(signalCount(), 2);

        model.setMaximumDatasetCount(8);
        QCOMPARE(model.columnCount(), 8);
        QCOMPARE(columnRange(aboutToInsert), (QList<int>{4, 7}));
        QCOMPARE(columnRange(inserted), (QList<int>{4, 7}));
        QCOMPARE(hue(model, 3), 127);
        QCOMPARE(signalCount(), 2);

        // the limit applies to the next data, and survives clearing
        const QVector<ChartRows> rows = {sample(0, {}), sample(10, {5})};
        model.resetData(chart(15, rows, m_results.temporary.resultData));
        QCOMPARE(model.columnCount(), 16);
        model.clearData();
        model.resetData(chart(15, rows, m_results.temporary.resultData));
        QCOMPARE(model.columnCount(), 16);
        model.setMaximumDatasetCount(11);
        QCOMPARE(columnRange(inserted), (QList<int>{16, 21}));
    }

    void testTotalCostAt()
    {
        ChartModel model(ChartModel::Allocations);
        QCOMPARE(model.totalCostAt(10), 0);
        model.resetData(m_results.allocations);
        const std::pair<qint64, qint64> expected[] = {{-1, 0}, {19, 0}, {20, 4}, {29, 4}, {30, 8}, {41, 9}, {1000, 9}};
        for (const auto &[time, total] : expected) {
            // the pair names the time stamp in a failure message
            QCOMPARE(qMakePair(time, model.totalCostAt(time)), qMakePair(time, total));
        }

        // a first sample with a non-zero total, and two samples at one time stamp
        model.resetData(chart(1, {sample(5, {7}), sample(10, {11}), sample(10, {12}), sample(20, {13})}, nullptr));
        QCOMPARE(model.totalCostAt(4), 0);
        QCOMPARE(model.totalCostAt(5), 7);
        QCOMPARE(model.totalCostAt(9), 7);
        QCOMPARE(model.totalCostAt(10), 12);
        QCOMPARE(model.totalCostAt(std::numeric_limits<qint64>::max()), 13);
    }

    void testProxy()
    {
        ChartModel model(ChartModel::Allocations);
        ChartProxy total(true);
        ChartProxy detailed(false);
        total.setSourceModel(&model);
        detailed.setSourceModel(&model);

        model.resetData(m_results.allocations);
        QCOMPARE(total.columnCount(), 2);
        QCOMPARE(detailed.columnCount(), 10);
        QCOMPARE(total.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Total Memory Allocations"));
        QCOMPARE(column(total, 1), column(model, 1));
        QCOMPARE(detailed.headerData(0, Qt::Horizontal), model.headerData(2, Qt::Horizontal));
        // every data set carries the sample times in its first column
        QCOMPARE(column(detailed, 0), column(model, 0));
        QCOMPARE(column(detailed, 1), column(model, 3));

        model.setMaximumDatasetCount(2);
        QCOMPARE(total.columnCount(), 2);
        QCOMPARE(detailed.columnCount(), 2);
        model.setMaximumDatasetCount(1);
        QCOMPARE(detailed.columnCount(), 0);
    }

    void testLegendTellsApartCallSitesOfOneName()
    {
        // foo allocates at three call sites: lines 20 and 21 in the app and line 50
        // in libother; bar and baz have one each
        ChartModel model(ChartModel::Allocations);
        model.resetData(m_results.allocations);
        QStringList names;
        for (int section = 2; section < model.columnCount(); section += 2) {
            const QString name = model.headerData(section, Qt::Horizontal).toString();
            // the legend lines up in a monospace font whatever the suffix
            QCOMPARE(name.size(), 61);
            QCOMPARE(model.headerData(section + 1, Qt::Horizontal).toString(), name);
            names.append(name.trimmed());
        }
        names.sort();
        QCOMPARE(names,
                 (QStringList{QStringLiteral("bar"),
                              QStringLiteral("baz"),
                              QStringLiteral("foo (app.cpp:20)"),
                              QStringLiteral("foo (app.cpp:21)"),
                              QStringLiteral("foo (libother.so)")}));

        // a long name gives way to the suffix, which is never cut
        const QString longName(70, QLatin1Char('f'));
        auto resultData =
            std::make_shared<const ResultData>(AllocationData(), QVector<QString>{QStringLiteral("/usr/bin/app"), longName, QStringLiteral("/src/x.cpp")});
        ChartData data;
        data.rows = {sample(0, {})};
        data.resultData = resultData;
        data.labels = {{0, Symbol()}, {1, symbol(2, 1)}, {2, symbol(2, 1)}};
        FileLine first;
        first.fileId.index = 3;
        first.line = 7;
        FileLine second = first;
        second.line = 1234;
        data.locations = {{1, first}, {2, second}};
        model.resetData(data);
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QString(QLatin1Char(' ') + longName.left(47) + QStringLiteral("... (x.cpp:7)")));
        QCOMPARE(model.headerData(4, Qt::Horizontal).toString(), QString(QLatin1Char(' ') + longName.left(44) + QStringLiteral("... (x.cpp:1234)")));

        // a suffix longer than the room leaves the name its first 16 characters
        FileLine far = first;
        far.line = 123456;
        data.locations = {{1, first}, {2, far}};
        data.resultData =
            std::make_shared<const ResultData>(AllocationData(),
                                               QVector<QString>{QStringLiteral("/usr/bin/app"),
                                                                longName,
                                                                QString(QStringLiteral("/src/") + QString(50, QLatin1Char('x')) + QStringLiteral(".cpp"))});
        model.resetData(data);
        QCOMPARE(model.headerData(4, Qt::Horizontal).toString(),
                 QString(QLatin1Char(' ') + longName.left(16) + QStringLiteral("... (") + QString(50, QLatin1Char('x')) + QStringLiteral(".cpp:123456)")));
        data.resultData = resultData;

        // one line inlined into two functions: the function tells them apart
        data.locations = {{1, first}, {2, first}};
        FunctionIndex app;
        app.index = 1;
        data.inlinedInto = {{1, app}};
        model.resetData(data);
        QVERIFY(model.headerData(2, Qt::Horizontal).toString().endsWith(QStringLiteral("... (x.cpp:7 via /usr/bin/app)")));
        QVERIFY(model.headerData(4, Qt::Horizontal).toString().endsWith(QStringLiteral("... (x.cpp:7)")));

        // only names that collide among the data sets shown
        model.resetData(m_results.allocations);
        QVERIFY(model.headerData(2, Qt::Horizontal).toString().contains(QLatin1Char('(')));
        model.setMaximumDatasetCount(2);
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString().trimmed(), QStringLiteral("foo"));
        model.setMaximumDatasetCount(11);
        QVERIFY(model.headerData(2, Qt::Horizontal).toString().contains(QLatin1Char('(')));

        // without a collision the names stay as they were
        model.resetData(chart(3, {sample(0, {})}, m_results.allocations.resultData));
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString().trimmed(), QStringLiteral("/usr/bin/app"));
    }
};

QTEST_GUILESS_MAIN(TestChartModel)

#include "tst_chartmodel.moc"
