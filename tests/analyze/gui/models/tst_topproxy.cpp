/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include "analyze/gui/models/stacksmodel.h"
#include "analyze/gui/models/topproxy.h"
#include "analyze/gui/models/treemodel.h"

#include "treeanalysis.h"

namespace
{
/*
    "big" and "one" (1 byte) are live at the peak; "zero" was freed at once
    (temporary) before. All three are called from "outer". Totals: peak and
    leaked bigSize + 1, 3 allocations, 1 temporary.
*/
std::string topListTrace(int bigSize)
{
    char bigInfo[32];
    std::snprintf(bigInfo, sizeof(bigInfo), "a %x 2\n", bigSize);
    return "v 10500 3\n" + s("/opt/app/bin/app") + s("big") + s("one") + s("zero") + s("outer")
        + "i 2000 1 2 0 0\ni 2001 1 3 0 0\ni 2002 1 4 0 0\ni 2003 1 5 0 0\nt 4 0\nt 1 1\nt 2 1\nt 3 1\n" + bigInfo
        + "a 1 3\na a 4\nc 1\n+ 2\n- 2\n+ 0\n+ 1\nc 2\n";
}

// as the summary page sets up a top list
void setUp(TopProxy *proxy, TreeModel *model)
{
    proxy->setSourceModel(model);
    proxy->setSortRole(TreeModel::SortRole);
    proxy->sort(1, Qt::DescendingOrder);
}

QStringList sortedRowTexts(const QAbstractItemModel &model)
{
    auto texts = rowTexts(model);
    texts.sort();
    return texts;
}
}

class TestTopProxy : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void testThreshold_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("bigSize");
        QTest::addColumn<QStringList>("listed");

        // total 150: one percent is 1.5, truncated to 1, so the 1-byte row is listed
        QTest::newRow("peak 150") << int(TopProxy::Peak) << 149 << inApp({"big", "one"});
        // total 99: threshold 0, yet a row without cost is never listed
        QTest::newRow("peak 99") << int(TopProxy::Peak) << 98 << inApp({"big", "one"});
        QTest::newRow("leaked 992") << int(TopProxy::Leaked) << 991 << inApp({"big"});
        QTest::newRow("allocations") << int(TopProxy::Allocations) << 991 << inApp({"big", "one", "zero"});
        QTest::newRow("temporary") << int(TopProxy::Temporary) << 991 << inApp({"zero"});
    }

    void testThreshold()
    {
        QFETCH(int, type);
        QFETCH(int, bigSize);
        QFETCH(QStringList, listed);

        const auto analysis = analyzeTrace(topListTrace(bigSize));
        QVERIFY(analysis.finished);
        TreeModel model(nullptr);
        model.resetData(analysis.bottomUp);
        model.setSummary(analysis.summary);
        TopProxy proxy(static_cast<TopProxy::Type>(type), nullptr);
        QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
        setUp(&proxy, &model);

        QCOMPARE(sortedRowTexts(proxy), listed);
        QCOMPARE(proxy.columnCount(), 2);
        for (int row = 0; row < proxy.rowCount(); ++row) {
            // the callers of a listed function are no part of the list
            QCOMPARE(proxy.rowCount(proxy.index(row, 0)), 0);
            QCOMPARE(proxy.mapToSource(proxy.index(row, 1)).column(), type + 1);
        }
    }

    void testFollowsModelResets()
    {
        const auto analysis = analyzeTrace(topListTrace(991));
        QVERIFY(analysis.finished);
        TreeModel model(nullptr);
        TopProxy proxy(TopProxy::Peak, nullptr);
        QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
        setUp(&proxy, &model);

        // before the summary there is no total and every costly row is listed
        model.resetData(analysis.bottomUp);
        QCOMPARE(rowTexts(proxy), inApp({"big", "one"}));
        // total 992: threshold 9
        model.setSummary(analysis.summary);
        QCOMPARE(rowTexts(proxy), inApp({"big"}));
        model.clearData();
        model.resetData(analysis.bottomUp);
        QCOMPARE(rowTexts(proxy), inApp({"big", "one"}));
    }

    // A view asks the proxy for its rows while the proxy handles the source's
    // reset; by then the threshold must already be the one of the new rows, or
    // the proxy lets through and sorts rows a large tree has by the ten thousand.
    void testThresholdInPlaceWhenViewsAsk()
    {
        const auto analysis = analyzeTrace(topListTrace(991));
        QVERIFY(analysis.finished);
        TreeModel model(nullptr);
        model.resetData(analysis.bottomUp);
        TopProxy proxy(TopProxy::Peak, nullptr);
        setUp(&proxy, &model);
        QCOMPARE(rowTexts(proxy), inApp({"big", "one"}));

        QStringList seenAtReset;
        connect(&proxy, &QAbstractItemModel::modelReset, this, [&]() {
            seenAtReset = rowTexts(proxy);
        });
        // total 992: threshold 9
        model.setSummary(analysis.summary);
        QCOMPARE(seenAtReset, inApp({"big"}));
        model.clearData();
        QCOMPARE(seenAtReset, QStringList());
        model.resetData(analysis.bottomUp);
        QCOMPARE(seenAtReset, inApp({"big", "one"}));
    }

    void testDiffUsesMagnitudes()
    {
        const auto diff = analyzeDiff();
        QVERIFY(diff.finished);
        TreeModel model(nullptr);
        model.resetData(diff.bottomUp);
        model.setSummary(diff.summary);

        // peak total 4096: shrinks at -4096 is listed, in order of magnitude
        TopProxy peak(TopProxy::Peak, nullptr);
        setUp(&peak, &model);
        QCOMPARE(rowTexts(peak), inApp({"grows", "shrinks", "steady"}));
        // allocations: grows 1, shrinks 0, steady 1
        TopProxy allocations(TopProxy::Allocations, nullptr);
        setUp(&allocations, &model);
        QCOMPARE(sortedRowTexts(allocations), inApp({"grows", "steady"}));
    }

    void testStacks()
    {
        const auto analysis = analyzeTrace(callTreeTrace());
        QVERIFY(analysis.finished);
        TreeModel tree(nullptr);
        tree.resetData(analysis.bottomUp);
        StacksModel stacks(nullptr);
        QAbstractItemModelTester tester(&stacks, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy found(&stacks, &StacksModel::stacksFound);

        // a leaf eight levels down: one stack from the top level to it
        auto leaf = findRow(tree, QStringLiteral("c1 in app"));
        while (tree.rowCount(leaf) > 0) {
            leaf = tree.index(0, 0, leaf);
        }
        stacks.fillFromIndex(leaf);
        QCOMPARE(found.takeFirst().at(0).toInt(), 1);
        QCOMPARE(rowTexts(stacks), inApp({"c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8"}));
        // every role is the tree's own
        QCOMPARE(stacks.index(7, 0).data(Qt::ToolTipRole).toString(), leaf.data(Qt::ToolTipRole).toString());

        // two leaf children, selected through a cost column
        const auto malloc = findRow(tree, QStringLiteral("malloc in x.so"));
        stacks.fillFromIndex(malloc.sibling(malloc.row(), TreeModel::PeakColumn));
        QCOMPARE(found.takeFirst().at(0).toInt(), 2);
        QCOMPARE(rowTexts(stacks), (QStringList{QStringLiteral("malloc in x.so"), QStringLiteral("p1 in app")}));
        stacks.setStackIndex(2);
        QCOMPARE(rowTexts(stacks), (QStringList{QStringLiteral("malloc in x.so"), QStringLiteral("p2 in app")}));

        // below the top level the stacks still start at the top
        const auto h = tree.index(0, 0, findRow(tree, QStringLiteral("g in app")));
        stacks.fillFromIndex(h);
        QCOMPARE(found.takeFirst().at(0).toInt(), 3);
        QCOMPARE(rowTexts(stacks), inApp({"g", "h", "k1"}));
        stacks.setStackIndex(3);
        QCOMPARE(rowTexts(stacks), inApp({"g", "h", "k3"}));
        stacks.setStackIndex(5);
        QCOMPARE(stacks.rowCount(), 0);
        QVERIFY(!stacks.data(stacks.index(0, 0)).isValid());
        // a new fill starts at the first stack
        stacks.fillFromIndex(h);
        QCOMPARE(rowTexts(stacks), inApp({"g", "h", "k1"}));
        found.clear();

        stacks.clear();
        QCOMPARE(found.takeFirst().at(0).toInt(), 0);
        QCOMPARE(stacks.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Backtrace"));
        QVERIFY(!stacks.headerData(1, Qt::Horizontal).isValid());
        QVERIFY(!stacks.headerData(0, Qt::Vertical).isValid());
    }
};

QTEST_GUILESS_MAIN(TestTopProxy)

#include "tst_topproxy.moc"
