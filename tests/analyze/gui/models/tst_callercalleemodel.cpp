/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <cstdlib>

#include <QAbstractItemModelTester>
#include <QIdentityProxyModel>
#include <QSet>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTest>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/callercalleemodel.h"
#include "analyze/gui/models/treeproxy.h"

#include "parsedtrace.h"

Q_DECLARE_METATYPE(AllocationData)

using namespace ParsedTrace;

namespace
{
AllocationData costs(int64_t allocations, int64_t temporary, int64_t leaked, int64_t peak)
{
    AllocationData result;
    result.allocations = allocations;
    result.temporary = temporary;
    result.leaked = leaked;
    result.peak = peak;
    return result;
}

// QVariant's own comparison converts between types; a cost shown as text must not pass for a number
QString describe(const QVariant &value)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(value.typeName()), value.toString());
}

// Checks the cost columns from firstColumn on: peak, leaked, allocations, temporary of each cost record in turn.
void checkCostColumns(const QModelIndex &row, int firstColumn, const QVector<AllocationData> &costRecords, const AllocationData &totals)
{
    using Field = int64_t AllocationData::*;
    const Field fields[] = {&AllocationData::peak, &AllocationData::leaked, &AllocationData::allocations, &AllocationData::temporary};
    int column = firstColumn;
    for (const AllocationData &costs : costRecords) {
        for (Field field : fields) {
            const QModelIndex cell = row.sibling(row.row(), column++);
            const bool bytes = field == &AllocationData::peak || field == &AllocationData::leaked;
            const QVariant display = bytes ? QVariant(Util::formatBytes(costs.*field)) : QVariant(qint64(costs.*field));
            QCOMPARE(describe(cell.data()), describe(display));
            QCOMPARE(describe(cell.data(Qt::UserRole)), describe(quint64(std::abs(costs.*field))));
            QCOMPARE(describe(cell.data(Qt::UserRole + 1)), describe(qint64(totals.*field)));
        }
    }
    QVERIFY(!row.sibling(row.row(), 0).data(Qt::UserRole + 1).isValid());
}

QVector<Symbol> sortedDescending(QAbstractItemModel *model, int column)
{
    QSortFilterProxyModel proxy;
    proxy.setSortRole(CallerCalleeModel::SortRole);
    proxy.setSourceModel(model);
    proxy.sort(column, Qt::DescendingOrder);
    QVector<Symbol> result;
    for (int row = 0; row < proxy.rowCount(); ++row) {
        result.append(proxy.index(row, 0).data(CallerCalleeModel::SymbolRole).value<Symbol>());
    }
    return result;
}
}

// The rows of the caller/callee table as the main window's proxy sorts them.
QVector<Symbol> sortedByTreeProxy(QAbstractItemModel *model, int column, Qt::SortOrder order)
{
    TreeProxy proxy(CallerCalleeModel::SymbolRole, CallerCalleeModel::ResultDataRole, nullptr);
    proxy.setSortRole(CallerCalleeModel::SortRole);
    proxy.setSourceModel(model);
    proxy.sort(column, order);
    QVector<Symbol> result;
    for (int row = 0; row < proxy.rowCount(); ++row) {
        result.append(proxy.index(row, 0).data(CallerCalleeModel::SymbolRole).value<Symbol>());
    }
    return result;
}

class TestCallerCalleeModel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    Results m_results;
    const AllocationData m_totals = costs(9, 3, 125, 2237);
    const Symbol m_main = symbol(MainFunction);
    const Symbol m_foo = symbol(FooFunction);
    const Symbol m_bar = symbol(BarFunction);
    const Symbol m_otherFoo = symbol(FooFunction, OtherModule);

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_results = analyze(m_dir, sampleTrace());
        QVERIFY(m_results.finished && !m_results.failed);
        QVERIFY(m_results.callerCallee.resultData);
        QCOMPARE(m_results.callerCallee.resultData->totalCosts(), m_totals);
        QCOMPARE(m_results.callerCallee.entries.size(), 5);
    }

    void testModelTester()
    {
        CallerCalleeModel model;
        QSortFilterProxyModel proxy;
        proxy.setSortRole(CallerCalleeModel::SortRole);
        proxy.setSourceModel(&model);
        proxy.sort(CallerCalleeModel::InclusivePeakColumn);
        CallerModel callers;
        CalleeModel callees;
        SourceMapModel sourceMap;
        const auto mode = QAbstractItemModelTester::FailureReportingMode::QtTest;
        QAbstractItemModelTester testers[] = {{&model, mode}, {&proxy, mode}, {&callers, mode}, {&callees, mode}, {&sourceMap, mode}};
        Q_UNUSED(testers);

        for (int round = 0; round < 2; ++round) {
            model.setResults(m_results.callerCallee);
            // as the main window does when the current row changes
            for (int row = 0; row < model.rowCount(); ++row) {
                const QModelIndex index = model.index(row, 0);
                callers.setResults(index.data(CallerCalleeModel::CallersRole).value<SymbolCostMap>(), m_results.callerCallee.resultData);
                callees.setResults(index.data(CallerCalleeModel::CalleesRole).value<SymbolCostMap>(), m_results.callerCallee.resultData);
                sourceMap.setResults(index.data(CallerCalleeModel::SourceMapRole).value<LocationCostMap>(), m_results.callerCallee.resultData);
            }
            model.clearData();
        }

        model.setResults(m_results.callerCallee);
        // an index of another model with a row and column this model has
        QStandardItemModel other(5, 9);
        QVERIFY(!model.data(other.index(0, 0), CallerCalleeModel::SymbolRole).isValid());
    }

    void testCells_data()
    {
        QTest::addColumn<Symbol>("symbol");
        QTest::addColumn<QString>("location");
        QTest::addColumn<AllocationData>("inclusive");
        QTest::addColumn<AllocationData>("self");
        QTest::newRow("main") << m_main << QStringLiteral("main in app") << m_totals << costs(0, 0, 0, 0);
        QTest::newRow("foo") << m_foo << QStringLiteral("foo in app") << costs(6, 1, 117, 2165) << costs(5, 1, 117, 117);
    }

    void testCells()
    {
        QFETCH(Symbol, symbol);
        QFETCH(QString, location);
        QFETCH(AllocationData, inclusive);
        QFETCH(AllocationData, self);

        CallerCalleeModel model;
        model.setResults(m_results.callerCallee);
        const ResultData *resultData = m_results.callerCallee.resultData.get();
        const CallerCalleeEntry entry = m_results.callerCallee.entries.value(symbol);

        const QModelIndex index = model.indexForSymbol(symbol);
        QCOMPARE(index.data().toString(), location);
        QCOMPARE(index.data(CallerCalleeModel::SortRole).toString(), location);
        checkCostColumns(index, CallerCalleeModel::InclusivePeakColumn, {inclusive, self}, m_totals);

        // the column does not matter for these roles
        const QModelIndex cell = index.sibling(index.row(), CallerCalleeModel::SelfTemporaryColumn);
        QCOMPARE(cell.data(CallerCalleeModel::SymbolRole).value<Symbol>(), symbol);
        QCOMPARE(cell.data(CallerCalleeModel::ResultDataRole).value<const ResultData *>(), resultData);
        QVERIFY(cell.data(CallerCalleeModel::CallersRole).value<SymbolCostMap>() == entry.callers);
        QVERIFY(cell.data(CallerCalleeModel::CalleesRole).value<SymbolCostMap>() == entry.callees);
        QCOMPARE(cell.data(CallerCalleeModel::SourceMapRole).value<LocationCostMap>().keys(), entry.sourceMap.keys());
        QVERIFY(!cell.data(Qt::DecorationRole).isValid());
        QVERIFY(!cell.data(CallerCalleeModel::ResultDataRole + 1).isValid());

        const QString toolTip = cell.data(Qt::ToolTipRole).toString();
        QCOMPARE(toolTip, Util::formatTooltip(symbol, self, inclusive, *resultData));
        const int selfLine = toolTip.indexOf(QStringLiteral("Allocations (self): %1").arg(self.allocations));
        QVERIFY(selfLine >= 0);
        QVERIFY(toolTip.indexOf(QStringLiteral("Allocations (inclusive): %1").arg(inclusive.allocations)) > selfLine);
    }

    void testIndexForKey()
    {
        CallerCalleeModel model;
        QVERIFY(!model.indexForSymbol(m_foo).isValid());
        model.setResults(m_results.callerCallee);

        // the two foos differ only in their module
        QVERIFY(model.indexForSymbol(m_foo).row() != model.indexForSymbol(m_otherFoo).row());
        QCOMPARE(model.indexForSymbol(m_otherFoo).data().toString(), QStringLiteral("foo in libother.so"));
        QVERIFY(!model.indexForSymbol(symbol(BarFunction, OtherModule)).isValid());
        const QModelIndex fooAllocations = model.indexForKey(m_foo, CallerCalleeModel::SelfAllocationsColumn);
        QCOMPARE(fooAllocations.column(), int(CallerCalleeModel::SelfAllocationsColumn));
        QCOMPARE(fooAllocations.data().toLongLong(), 5);
        QVERIFY(!model.indexForKey(m_foo, CallerCalleeModel::NUM_COLUMNS).isValid());
    }

    void testHeaders()
    {
        CallerCalleeModel model;
        SourceMapModel sourceMap;
        CallerModel callers;
        CalleeModel callees;
        const QStringList names = {QStringLiteral("Location"),
                                   QStringLiteral("Peak (Incl.)"),
                                   QStringLiteral("Leaked (Incl.)"),
                                   QStringLiteral("Allocations (Incl.)"),
                                   QStringLiteral("Temporary (Incl.)"),
                                   QStringLiteral("Peak (Self)"),
                                   QStringLiteral("Leaked (Self)"),
                                   QStringLiteral("Allocations (Self)"),
                                   QStringLiteral("Temporary (Self)")};
        QSet<QString> toolTips;
        for (int section = 0; section < 9; ++section) {
            const auto header = [&](const QAbstractItemModel &m, int role) {
                return m.headerData(section, Qt::Horizontal, role);
            };
            QCOMPARE(header(model, Qt::DisplayRole).toString(), names.at(section));
            QCOMPARE(header(model, Qt::InitialSortOrderRole), QVariant(section == 0 ? 0 : 1));
            toolTips.insert(header(model, Qt::ToolTipRole).toString());
            QVERIFY(!model.headerData(section, Qt::Vertical).isValid());
            if (section > 0) {
                QCOMPARE(header(sourceMap, Qt::DisplayRole), header(model, Qt::DisplayRole));
                QCOMPARE(header(sourceMap, Qt::ToolTipRole), header(model, Qt::ToolTipRole));
                QCOMPARE(header(sourceMap, Qt::InitialSortOrderRole), QVariant(1));
            }
            if (section > 0 && section < 5) {
                QCOMPARE(header(callers, Qt::DisplayRole).toString(), names.at(section).section(QLatin1Char(' '), 0, 0));
                // the caller and callee tables explain their costs like the inclusive columns
                QCOMPARE(header(callees, Qt::ToolTipRole), header(model, Qt::ToolTipRole));
                QCOMPARE(header(callees, Qt::InitialSortOrderRole), QVariant(1));
            }
        }
        QCOMPARE(toolTips.size(), 9);
        QVERIFY(model.headerData(1, Qt::Horizontal, Qt::ToolTipRole).toString().contains(QLatin1String("inclusive")));
        QVERIFY(model.headerData(6, Qt::Horizontal, Qt::ToolTipRole).toString().contains(QLatin1String("directly")));
        QCOMPARE(callers.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Caller"));
        QCOMPARE(callees.headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString(),
                 QStringLiteral("The location of the Callee. The function name may be unresolved when debug information is missing."));
        QVERIFY(sourceMap.headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString().startsWith(QLatin1String("<qt>The source code location")));
        QVERIFY(!sourceMap.headerData(0, Qt::Horizontal, Qt::InitialSortOrderRole).isValid());
        QVERIFY(!callers.headerData(0, Qt::Horizontal, Qt::InitialSortOrderRole).isValid());

        QVERIFY(!model.headerData(9, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(-1, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(1, Qt::Horizontal, Qt::DecorationRole).isValid());
        QVERIFY(!callers.headerData(5, Qt::Horizontal).isValid());
    }

    void testResultsReplacement()
    {
        CallerCalleeModel model;
        model.setResults(m_results.callerCallee);

        CallerCalleeResults replacement;
        replacement.resultData = m_results.callerCallee.resultData;
        CallerCalleeEntry entry;
        entry.inclusiveCost = costs(42, 0, 0, 0);
        replacement.entries.insert(m_bar, entry);

        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.setResults(replacement);
        QCOMPARE(reset.count(), 1);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.results().entries.size(), 1);
        QVERIFY(!model.indexForSymbol(m_foo).isValid());
        QCOMPARE(model.indexForKey(m_bar, CallerCalleeModel::InclusiveAllocationsColumn).data().toLongLong(), 42);

        // the order the analysis took of its entries is used as it is, and a
        // copy written to since lists its own entries instead
        QVERIFY(!m_results.callerCallee.order.isEmpty());
        QCOMPARE(m_results.callerCallee.order.size(), m_results.callerCallee.entries.size());
        auto written = m_results.callerCallee;
        written.entries[m_bar].inclusiveCost = costs(7, 0, 0, 0);
        model.setResults(written);
        QCOMPARE(model.rowCount(), written.entries.size());
        QCOMPARE(model.indexForKey(m_bar, CallerCalleeModel::InclusiveAllocationsColumn).data().toLongLong(), 7);
        model.setResults(m_results.callerCallee);
        QCOMPARE(model.rowCount(), m_results.callerCallee.entries.size());
        QVERIFY(model.indexForSymbol(m_foo).isValid());

        model.clearData();
        QCOMPARE(reset.count(), 4);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!model.results().resultData);
        QVERIFY(!model.indexForSymbol(m_bar).isValid());
    }

    void testDetailModels()
    {
        CallerCalleeModel model;
        model.setResults(m_results.callerCallee);
        const QModelIndex foo = model.indexForSymbol(m_foo);
        // a copy only the detail models share: they must keep it alive on their own
        auto resultData = std::make_shared<const ResultData>(*m_results.callerCallee.resultData);
        const std::weak_ptr<const ResultData> weakResultData = resultData;

        CallerModel callers;
        callers.setResults(foo.data(CallerCalleeModel::CallersRole).value<SymbolCostMap>(), resultData);
        SourceMapModel sourceMap;
        sourceMap.setResults(foo.data(CallerCalleeModel::SourceMapRole).value<LocationCostMap>(), resultData);
        resultData.reset();
        model.clearData();
        QVERIFY(!weakResultData.expired());
        const ResultData *strings = weakResultData.lock().get();

        QCOMPARE(callers.rowCount(), 2);
        const QModelIndex main = callers.indexForKey(m_main, 0);
        QCOMPARE(main.data().toString(), QStringLiteral("main in app"));
        QCOMPARE(main.data(CallerModel::SortRole).value<Symbol>(), m_main);
        checkCostColumns(main, CallerModel::PeakColumn, {costs(6, 1, 117, 2165)}, m_totals);
        const QModelIndex mainLeaked = main.sibling(main.row(), CallerModel::LeakedColumn);
        QCOMPARE(mainLeaked.data(Qt::ToolTipRole).toString(), Util::formatTooltip(m_main, costs(6, 1, 117, 2165), *strings));
        QCOMPARE(mainLeaked.data(CallerModel::SymbolRole).value<Symbol>(), m_main);
        QVERIFY(!mainLeaked.data(CallerModel::SymbolRole + 1).isValid());

        // foo's own line and the line where it calls itself
        QCOMPARE(sourceMap.rowCount(), 2);
        const QModelIndex line20 = sourceMap.indexForKey(fileLine(20), 0);
        QCOMPARE(line20.data().toString(), QStringLiteral("app.cpp:20"));
        // the full path, unlike the display
        QCOMPARE(line20.data(SourceMapModel::SortRole).toString(), QStringLiteral("/src/app.cpp:20"));
        const AllocationData inclusive = costs(3, 1, 16, 2064);
        const AllocationData self = costs(2, 1, 16, 16);
        checkCostColumns(line20, SourceMapModel::InclusivePeakColumn, {inclusive, self}, m_totals);
        const QModelIndex line20Self = line20.sibling(line20.row(), SourceMapModel::SelfPeakColumn);
        QCOMPARE(line20Self.data(Qt::ToolTipRole).toString(), Util::formatTooltip(fileLine(20), self, inclusive, *strings));
        QCOMPARE(line20Self.data(SourceMapModel::LocationRole).value<FileLine>(), fileLine(20));
        QCOMPARE(line20Self.data(SourceMapModel::ResultDataRole).value<const ResultData *>(), strings);
        QVERIFY(!line20Self.data(SourceMapModel::LocationRole + 1).isValid());
        QCOMPARE(sourceMap.indexForKey(fileLine(21), SourceMapModel::SelfAllocationsColumn).data().toLongLong(), 3);

        // a function without callers
        callers.setResults(SymbolCostMap(), m_results.callerCallee.resultData);
        QCOMPARE(callers.rowCount(), 0);
        QCOMPARE(callers.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Caller"));
    }

    void testDiffSortsByMagnitude()
    {
        QTemporaryDir dir;
        const Results diff = analyze(dir, sampleTrace(), diffBaseTrace());
        QVERIFY(diff.finished && !diff.failed);

        CallerCalleeModel model;
        model.setResults(diff.callerCallee);
        QCOMPARE(model.rowCount(), 5);
        const QModelIndex barPeak = model.indexForKey(m_bar, CallerCalleeModel::SelfPeakColumn);
        QVERIFY(barPeak.data().toString().startsWith(QLatin1Char('-')));
        QCOMPARE(describe(barPeak.data()), describe(Util::formatBytes(-6144)));
        QCOMPARE(describe(barPeak.data(CallerCalleeModel::SortRole)), describe(quint64(6144)));
        const QModelIndex barAllocations = barPeak.sibling(barPeak.row(), CallerCalleeModel::SelfAllocationsColumn);
        QCOMPARE(describe(barAllocations.data()), describe(qint64(-3)));

        // in a diff the bars measure against the largest change in the column:
        // the net total peak of 2237 - 8192 bytes is smaller than bar's change
        QCOMPARE(barPeak.data(CallerCalleeModel::TotalCostRole).toLongLong(), 6144);
        // foo's five allocations of its own outweigh bar's three fewer
        QCOMPARE(barAllocations.data(CallerCalleeModel::TotalCostRole).toLongLong(), 5);
        CallerModel callers;
        callers.setResults(model.indexForKey(m_bar, 0).data(CallerCalleeModel::CallersRole).value<CallerMap>(), diff.callerCallee.resultData);
        QCOMPARE(callers.rowCount(), 1);
        QCOMPARE(callers.index(0, CallerModel::PeakColumn).data(CallerModel::TotalCostRole).toLongLong(), 6144);
        // without a base the totals stay the scale
        CallerModel plainCallers;
        plainCallers.setResults(model.indexForKey(m_bar, 0).data(CallerCalleeModel::CallersRole).value<CallerMap>(), m_results.callerCallee.resultData);
        QCOMPARE(plainCallers.index(0, CallerModel::PeakColumn).data(CallerModel::TotalCostRole).toLongLong(), 2237);

        const Symbol baz = symbol(BazFunction);
        QCOMPARE(sortedDescending(&model, CallerCalleeModel::SelfPeakColumn), (QVector<Symbol>{m_bar, m_foo, m_otherFoo, baz, m_main}));
        QCOMPARE(sortedDescending(&model, CallerCalleeModel::SelfAllocationsColumn).mid(0, 3), (QVector<Symbol>{m_foo, m_bar, baz}));
    }

    // The main window's proxy compares the rows of this model straight from the
    // model; any column and order must come out as comparing what data() gives,
    // ties (the equal self costs of several functions) in the same order too,
    // and new results must not be sorted by what the model knew of the old.
    void testProxyOrderWithoutData()
    {
        QTemporaryDir dir;
        const Results diff = analyze(dir, sampleTrace(), diffBaseTrace());
        QVERIFY(diff.finished && !diff.failed);
        CallerCalleeModel model;
        // hides the model's shortcuts from the proxy
        QIdentityProxyModel throughData;
        throughData.setSourceModel(&model);

        // the diff has negative costs, sorted by magnitude
        const Results *const plain = &m_results;
        for (const Results *results : {plain, &diff, plain}) {
            model.setResults(results->callerCallee);
            // the last column first: the one the old results were sorted by last
            const auto compare = [&](int column) {
                for (const auto order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
                    const auto direct = sortedByTreeProxy(&model, column, order);
                    QCOMPARE(direct.size(), 5);
                    QCOMPARE(direct, sortedByTreeProxy(&throughData, column, order));
                }
            };
            compare(CallerCalleeModel::NUM_COLUMNS - 1);
            int ties = 0;
            for (int column = 0; column < CallerCalleeModel::NUM_COLUMNS; ++column) {
                compare(column);
                QSet<quint64> keys;
                for (int row = 0; row < model.rowCount(); ++row) {
                    keys.insert(model.index(row, column).data(CallerCalleeModel::SortRole).toULongLong());
                }
                ties += column > 0 && keys.size() < model.rowCount();
            }
            // the order of equal keys is part of what is compared
            QVERIFY(ties > 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestCallerCalleeModel)

#include "tst_callercalleemodel.moc"
