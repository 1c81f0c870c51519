/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <memory>

#include <QAbstractItemModelTester>
#include <QIdentityProxyModel>
#include <QStandardItemModel>
#include <QTest>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/treemodel.h"
#include "analyze/gui/models/treeproxy.h"

#include "treeanalysis.h"

namespace
{
QString location(const QString &function, const QString &module, const QString &path)
{
    return function + QLatin1String("\n  in ") + module + QLatin1String(" (") + path + QLatin1Char(')');
}

// Every level of @p model below @p parent, depth first, as "parent: child, child, ...".
QStringList levelTexts(const QAbstractItemModel &model, const QModelIndex &parent = {})
{
    QStringList texts = {parent.data().toString() + QLatin1String(": ") + rowTexts(model, parent).join(QLatin1String(", "))};
    for (int row = 0; row < model.rowCount(parent); ++row) {
        texts += levelTexts(model, model.index(row, 0, parent));
    }
    return texts;
}

QString appLocation(const char *function)
{
    return location(QLatin1String(function), QStringLiteral("app"), QStringLiteral("/opt/app/bin/app"));
}
}

class TestTreeModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        m_analysis = analyzeTrace(callTreeTrace());
        QVERIFY(m_analysis.finished);
        QCOMPARE(m_analysis.bottomUp.rows.size(), 7);
        m_unresolved = Util::unresolvedFunctionName() + QLatin1String(" in x.so");
    }

    void init()
    {
        m_model.reset(new TreeModel(nullptr));
        m_tester.reset(new QAbstractItemModelTester(m_model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
        m_model->resetData(m_analysis.bottomUp);
    }

    void cleanup()
    {
        m_tester.reset();
        m_model.reset();
    }

    void testResetsAndInvalidIndices()
    {
        m_model->setSummary(m_analysis.summary);
        m_model->resetData(m_analysis.topDown);
        // c8, k1..k3, p1, p2, solo, function 0, two dups
        QCOMPARE(m_model->rowCount(), 10);
        m_model->clearData();
        QCOMPARE(m_model->rowCount(), 0);
        m_model->resetData(m_analysis.bottomUp);

        const auto chainHead = findRow(*m_model, QStringLiteral("c1 in app"));
        QVERIFY(chainHead.isValid());
        QVERIFY(!m_model->index(-1, 0).isValid());
        QVERIFY(!m_model->index(0, 5).isValid());
        QVERIFY(!m_model->index(7, 0).isValid());
        QVERIFY(!m_model->index(1, 0, chainHead).isValid());
        QCOMPARE(m_model->parent(m_model->index(0, 4, chainHead)), chainHead);
        // only the location column has children
        const auto peakCell = chainHead.sibling(chainHead.row(), TreeModel::PeakColumn);
        QCOMPARE(m_model->rowCount(peakCell), 0);
        QVERIFY(!m_model->index(0, 0, peakCell).isValid());

        const QStringList headers = {QStringLiteral("Location"),
                                     QStringLiteral("Peak"),
                                     QStringLiteral("Leaked"),
                                     QStringLiteral("Allocations"),
                                     QStringLiteral("Temporary")};
        for (int section = 0; section < 5; ++section) {
            QCOMPARE(m_model->headerData(section, Qt::Horizontal).toString(), headers.at(section));
            QCOMPARE(m_model->headerData(section, Qt::Horizontal, Qt::InitialSortOrderRole),
                     section ? QVariant(static_cast<int>(Qt::DescendingOrder)) : QVariant());
        }
        QVERIFY(!m_model->headerData(5, Qt::Horizontal).isValid());
        QVERIFY(!m_model->headerData(-1, Qt::Horizontal).isValid());
        QVERIFY(!m_model->headerData(0, Qt::Vertical).isValid());
    }

    void testCellsAndMaxCost()
    {
        const auto solo = findRow(*m_model, QStringLiteral("solo<int> in app"));
        const auto cell = [&](int column, int role) {
            return solo.sibling(solo.row(), column).data(role);
        };
        QCOMPARE(cell(TreeModel::PeakColumn, Qt::DisplayRole).toString(), Util::formatBytes(1000));
        QCOMPARE(cell(TreeModel::LeakedColumn, TreeModel::SortRole).toLongLong(), 1000);
        QCOMPARE(cell(TreeModel::AllocationsColumn, Qt::DisplayRole).toLongLong(), 2);
        QCOMPARE(cell(TreeModel::TemporaryColumn, TreeModel::SortRole).toLongLong(), 1);
        QCOMPARE(cell(TreeModel::PeakColumn, TreeModel::SymbolRole).value<Symbol>().functionId.index, 0x13u);
        QCOMPARE(cell(TreeModel::PeakColumn, TreeModel::ResultDataRole).value<const ResultData *>(), m_analysis.bottomUp.resultData.get());
        QVERIFY(findRow(*m_model, m_unresolved).isValid());

        // no summary yet: the cost bars have no scale
        QCOMPARE(cell(TreeModel::PeakColumn, TreeModel::MaxCostRole).toLongLong(), 0);
        m_model->setSummary(m_analysis.summary);
        const auto caller = m_model->index(0, 0, findRow(*m_model, QStringLiteral("malloc in x.so")));
        for (const auto &index : {solo, caller}) {
            const auto maxCost = [&](int column) {
                return index.sibling(index.row(), column).data(TreeModel::MaxCostRole).toLongLong();
            };
            QCOMPARE(maxCost(TreeModel::PeakColumn), 1532);
            QCOMPARE(maxCost(TreeModel::LeakedColumn), 1332);
            QCOMPARE(maxCost(TreeModel::AllocationsColumn), 11);
            QCOMPARE(maxCost(TreeModel::TemporaryColumn), 1);
        }
        // clearing forgets the summary as well
        m_model->clearData();
        m_model->resetData(m_analysis.bottomUp);
        QCOMPARE(m_model->index(0, TreeModel::PeakColumn).data(TreeModel::MaxCostRole).toLongLong(), 0);
    }

    void testToolTips()
    {
        const auto tip = [&](const QString &label) -> QString {
            return findRow(*m_model, label).data(Qt::ToolTipRole).toString();
        };
        const QString soloHead = QLatin1String("<qt><pre style='font-family:monospace;'>") + appLocation("solo&lt;int&gt;")
            + QLatin1String("\n\npeak contribution: ") + Util::formatBytes(1000);

        // without a summary every share of a total is empty
        QCOMPARE(tip(QStringLiteral("solo<int> in app")),
                 soloHead + QLatin1String(" (% of total)\nleaked: ") + Util::formatBytes(1000)
                     + QLatin1String(" (% of total)\nallocations: 2 (% of total)\ntemporary: 1 (50% of allocations, % of total)\n</pre></qt>"));

        m_model->setSummary(m_analysis.summary);
        // a row without children ends after the temporary line
        QCOMPARE(tip(QStringLiteral("solo<int> in app")),
                 soloHead + QLatin1String(" (65.3% of total)\nleaked: ") + Util::formatBytes(1000)
                     + QLatin1String(" (75.1% of total)\nallocations: 2 (18.2% of total)\ntemporary: 1 (50% of allocations, 100% of total)\n</pre></qt>"));

        // a chain of single callers: the row and four callers, no count
        QVERIFY(tip(QStringLiteral("c1 in app"))
                    .endsWith(QLatin1String("total)\n\nbacktrace:\n\n") + appLocation("c1") + QLatin1Char('\n') + appLocation("c2") + QLatin1Char('\n')
                              + appLocation("c3") + QLatin1Char('\n') + appLocation("c4") + QLatin1Char('\n') + appLocation("c5")
                              + QLatin1String("</pre></qt>")));
        // one caller that has three callers
        QVERIFY(tip(QStringLiteral("g in app"))
                    .endsWith(QLatin1String("total)\n\nbacktrace:\n\n") + appLocation("g") + QLatin1String("\ncalled from 3 locations</pre></qt>")));
        // two callers: only the count
        QVERIFY(tip(QStringLiteral("malloc in x.so")).endsWith(QLatin1String("% of total)\n\ncalled from 2 locations</pre></qt>")));
        // the tooltip's plain lookup leaves a function without a name empty
        QVERIFY(tip(m_unresolved)
                    .startsWith(QLatin1String("<qt><pre style='font-family:monospace;'>")
                                + location({}, QStringLiteral("x.so"), QStringLiteral("/usr/lib/x.so")) + QLatin1String("\n\n")));
    }

    void testDiffCosts()
    {
        const auto diff = analyzeDiff();
        QVERIFY(diff.finished);
        // 14336 - 10240 bytes at the peak
        QCOMPARE(diff.summary.cost.peak, 4096);
        m_model->resetData(diff.bottomUp);
        m_model->setSummary(diff.summary);

        const auto shrinks = findRow(*m_model, QStringLiteral("shrinks in app"));
        const auto peak = shrinks.sibling(shrinks.row(), TreeModel::PeakColumn);
        QCOMPARE(peak.data().toString(), Util::formatBytes(-4096));
        QCOMPARE(peak.data(TreeModel::SortRole).toLongLong(), 4096);
        // The bars measure against the largest change, not the net total: grows
        // at 6144 bytes would otherwise be capped at a full bar like every
        // change above 4096.
        QCOMPARE(peak.data(TreeModel::MaxCostRole).toLongLong(), 6144);
        QCOMPARE(shrinks.sibling(shrinks.row(), TreeModel::AllocationsColumn).data(TreeModel::MaxCostRole).toLongLong(), 1);
        // the tooltip still relates to the net total
        QVERIFY(shrinks.data(Qt::ToolTipRole).toString().contains(QStringLiteral("peak contribution: %1 (-100% of total)").arg(Util::formatBytes(-4096))));
        QCOMPARE(shrinks.sibling(shrinks.row(), TreeModel::AllocationsColumn).data().toLongLong(), 0);
        // no allocations of its own: nothing in front of the first percent sign
        QVERIFY(shrinks.data(Qt::ToolTipRole).toString().contains(QLatin1String("\ntemporary: 0 (% of allocations, ")));

        TreeProxy proxy(TreeModel::SymbolRole, TreeModel::ResultDataRole, nullptr);
        proxy.setSourceModel(m_model.get());
        proxy.setSortRole(TreeModel::SortRole);
        // peaks: steady 2048, shrinks -4096, grows 6144
        proxy.sort(TreeModel::PeakColumn, Qt::DescendingOrder);
        QCOMPARE(rowTexts(proxy), inApp({"grows", "shrinks", "steady"}));
    }

    void testFilters()
    {
        TreeProxy proxy(TreeModel::SymbolRole, TreeModel::ResultDataRole, nullptr);
        proxy.setSourceModel(m_model.get());
        QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);

        // case-insensitive; the callers match nothing and stay hidden
        proxy.setFunctionFilter(QStringLiteral("ALLOC"));
        QCOMPARE(rowTexts(proxy), QStringList{QStringLiteral("malloc in x.so")});
        QCOMPARE(proxy.rowCount(proxy.index(0, 0)), 0);

        // a matching caller keeps the rows above it, at any depth, and nothing below it
        proxy.setFunctionFilter(QStringLiteral("c5"));
        QModelIndex parent;
        for (const char *function : {"c1", "c2", "c3", "c4", "c5"}) {
            QCOMPARE(rowTexts(proxy, parent), inApp({function}));
            parent = proxy.index(0, 0, parent);
        }
        QCOMPARE(proxy.rowCount(parent), 0);

        // a function without a name has no text to match, not even the unresolved placeholder
        proxy.setFunctionFilter(QStringLiteral("unresolved"));
        QCOMPARE(proxy.rowCount(), 0);

        // the module filter searches the full path: no file name contains "lib"
        proxy.setFunctionFilter({});
        proxy.setModuleFilter(QStringLiteral("LIB"));
        auto texts = rowTexts(proxy);
        texts.sort();
        QCOMPARE(texts,
                 (QStringList{m_unresolved,
                              QStringLiteral("dup in liba.so"),
                              QStringLiteral("dup in libb.so"),
                              QStringLiteral("g in app"),
                              QStringLiteral("malloc in x.so")}));
        const auto h = proxy.index(0, 0, findRow(proxy, QStringLiteral("g in app")));
        QCOMPARE(rowTexts(proxy, h), QStringList{QStringLiteral("k2 in x.so")});

        // both filters have to hold for the same row
        proxy.setFunctionFilter(QStringLiteral("dup"));
        proxy.setModuleFilter(QStringLiteral("/z/"));
        QCOMPARE(rowTexts(proxy), QStringList{QStringLiteral("dup in liba.so")});
        proxy.setFunctionFilter(QStringLiteral("malloc"));
        proxy.setModuleFilter(QStringLiteral("/opt/app"));
        QCOMPARE(proxy.rowCount(), 0);

        // filters outlive a model reset and work on the top-down tree too
        m_model->resetData(m_analysis.topDown);
        proxy.setModuleFilter({});
        QCOMPARE(rowTexts(proxy), inApp({"p1", "p2"}));
        QCOMPARE(rowTexts(proxy, proxy.index(1, 0)), QStringList{QStringLiteral("malloc in x.so")});
    }

    void testEmptyFiltersNeedNoData()
    {
        QStandardItemModel source(3, 1);
        TreeProxy proxy(TreeModel::SymbolRole, TreeModel::ResultDataRole, nullptr);
        proxy.setSourceModel(&source);
        QCOMPARE(proxy.rowCount(), 3);
        proxy.setModuleFilter(QStringLiteral("x"));
        QCOMPARE(proxy.rowCount(), 0);
    }

    void testSortByLocation()
    {
        TreeProxy proxy(TreeModel::SymbolRole, TreeModel::ResultDataRole, nullptr);
        proxy.setSourceModel(m_model.get());
        proxy.setSortRole(TreeModel::SortRole);
        proxy.sort(TreeModel::LocationColumn, Qt::AscendingOrder);
        // by function name, then by the file name of the module: index and full path would put libb.so first
        QCOMPARE(rowTexts(proxy),
                 (QStringList{m_unresolved,
                              QStringLiteral("c1 in app"),
                              QStringLiteral("dup in liba.so"),
                              QStringLiteral("dup in libb.so"),
                              QStringLiteral("g in app"),
                              QStringLiteral("malloc in x.so"),
                              QStringLiteral("solo<int> in app")}));
    }

    void testProxyOrderWithoutData_data()
    {
        QTest::addColumn<bool>("diff");
        QTest::addColumn<bool>("topDown");
        QTest::newRow("bottom-up") << false << false;
        QTest::newRow("top-down") << false << true;
        // negative costs, sorted by magnitude
        QTest::newRow("diff") << true << false;
    }

    // The views' proxy compares the rows of a tree model straight from the
    // model; every level, column and order must come out as comparing what
    // data() gives, ties included.
    void testProxyOrderWithoutData()
    {
        QFETCH(bool, diff);
        QFETCH(bool, topDown);
        const auto analysis = diff ? analyzeDiff() : m_analysis;
        QVERIFY(analysis.finished);
        m_model->resetData(topDown ? analysis.topDown : analysis.bottomUp);
        // hides the model's shortcuts from the second proxy
        QIdentityProxyModel throughData;
        throughData.setSourceModel(m_model.get());

        for (int column = 0; column < TreeModel::NUM_COLUMNS; ++column) {
            for (const auto order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
                TreeProxy direct(TreeModel::SymbolRole, TreeModel::ResultDataRole, nullptr);
                direct.setSourceModel(m_model.get());
                TreeProxy reference(TreeModel::SymbolRole, TreeModel::ResultDataRole, nullptr);
                reference.setSourceModel(&throughData);
                for (auto *proxy : {&direct, &reference}) {
                    proxy->setSortRole(TreeModel::SortRole);
                    proxy->sort(column, order);
                }
                QVERIFY(direct.rowCount() >= 3);
                QCOMPARE(levelTexts(direct), levelTexts(reference));
            }
        }
    }

private:
    TreeAnalysis m_analysis;
    QString m_unresolved;
    std::unique_ptr<TreeModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

QTEST_GUILESS_MAIN(TestTreeModel)

#include "tst_treemodel.moc"
