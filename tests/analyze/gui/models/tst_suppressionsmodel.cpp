/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QAbstractItemModelTester>
#include <QSortFilterProxyModel>
#include <QTest>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/suppressionsmodel.h"

#include "treeanalysis.h"

namespace
{
/*
    "leaky_init" leaks 100 bytes and is suppressed by an embedded rule; "keep"
    leaks 300 bytes unless left out. The second embedded rule matches nothing.
*/
std::string suppressedTrace(bool withKeep)
{
    return "v 10500 3\n" + s("/opt/app/bin/app") + s("leaky_init") + s("keep")
        + "S leak:leaky_init\nS leak:<tag>%2\ni 4000 1 2 0 0\ni 4001 1 3 0 0\nt 1 0\nt 2 0\na 64 1\na 12c 2\nc 1\n+ 0\n" + (withKeep ? "+ 1\n" : "") + "c 2\n";
}

int rowOf(const SuppressionsModel &model, const QString &pattern)
{
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.index(row, SuppressionsModel::Pattern).data().toString() == pattern) {
            return row;
        }
    }
    return -1;
}
}

class TestSuppressionsModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void testRulesOfARun()
    {
        const auto analysis = analyzeTrace(suppressedTrace(true));
        QVERIFY(analysis.finished);
        QCOMPARE(analysis.summary.cost.leaked, 300);

        SuppressionsModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.columnCount(), 0);
        model.setSuppressions(analysis.summary);
        // the seven built-in rules and the two embedded ones
        QCOMPARE(model.rowCount(), 9);
        QCOMPARE(model.columnCount(), 3);
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Matches"));
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Leaked"));
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Pattern"));
        QVERIFY(!model.headerData(3, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(0, Qt::Vertical).isValid());

        const int leaky = rowOf(model, QStringLiteral("leaky_init"));
        QVERIFY(leaky >= 0);
        const auto matches = model.index(leaky, SuppressionsModel::Matches);
        QCOMPARE(matches.data().userType(), int(QMetaType::ULongLong));
        QCOMPARE(matches.data(SuppressionsModel::SortRole).toULongLong(), 1u);
        QCOMPARE(matches.data(SuppressionsModel::TotalCostRole).toLongLong(), 2);
        const auto leaked = model.index(leaky, SuppressionsModel::Leaked);
        QCOMPARE(leaked.data().toString(), Util::formatBytes(100));
        QCOMPARE(leaked.data(SuppressionsModel::SortRole).toLongLong(), 100);
        // the bars measure against all that leaked, the suppressed bytes included
        QCOMPARE(analysis.summary.totalLeakedSuppressed, 100);
        QCOMPARE(leaked.data(SuppressionsModel::TotalCostRole).toLongLong(), 400);
        QVERIFY(!model.index(leaky, SuppressionsModel::Pattern).data(SuppressionsModel::TotalCostRole).isValid());

        const QString expected = QLatin1String(
                                     "<qt>Suppression rule: <code>leaky_init</code><br/>Matched Allocations: 1<br/>&nbsp;&nbsp;50% out of 2 total"
                                     "<br/>Suppressed Leaked Memory: ")
            + Util::formatBytes(100) + QLatin1String("<br/>&nbsp;&nbsp;33.3% out of ") + Util::formatBytes(300) + QLatin1String(" total</qt>");
        for (int column = 0; column < 3; ++column) {
            QCOMPARE(model.index(leaky, column).data(Qt::ToolTipRole).toString(), expected);
        }
        // a rule without matches reads 0 percent; its pattern goes in unescaped and unfilled
        QCOMPARE(model.index(rowOf(model, QStringLiteral("<tag>%2")), SuppressionsModel::Pattern).data(Qt::ToolTipRole).toString(),
                 QLatin1String("<qt>Suppression rule: <code><tag>%2</code><br/>Matched Allocations: 0<br/>&nbsp;&nbsp;0% out of 2 total"
                               "<br/>Suppressed Leaked Memory: ")
                     + Util::formatBytes(0) + QLatin1String("<br/>&nbsp;&nbsp;0% out of ") + Util::formatBytes(300) + QLatin1String(" total</qt>"));

        // a run without rules empties the table, header included
        FilterParameters noRules;
        noRules.disableBuiltinSuppressions = true;
        noRules.disableEmbeddedSuppressions = true;
        const auto plain = analyzeTrace(suppressedTrace(true), {}, noRules);
        QVERIFY(plain.finished);
        model.setSuppressions(plain.summary);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.columnCount(), 0);
        QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
    }

    void testNothingLeftLeaked()
    {
        const auto analysis = analyzeTrace(suppressedTrace(false));
        QVERIFY(analysis.finished);
        QCOMPARE(analysis.summary.cost.leaked, 0);
        SuppressionsModel model;
        model.setSuppressions(analysis.summary);
        const auto tip = model.index(rowOf(model, QStringLiteral("leaky_init")), 0).data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.endsWith(QLatin1String("<br/>&nbsp;&nbsp;% out of ") + Util::formatBytes(0) + QLatin1String(" total</qt>")), qPrintable(tip));
    }

    void testLeakedSortsSigned()
    {
        // suppressed in a diff: "shrinks" leaked 4096 bytes less than in its base
        const auto diff = analyzeDiff("S leak:shrinks\n");
        QVERIFY(diff.finished);
        SuppressionsModel model;
        model.setSuppressions(diff.summary);
        QSortFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        proxy.setSortRole(SuppressionsModel::SortRole);
        proxy.sort(SuppressionsModel::Leaked, Qt::AscendingOrder);
        QCOMPARE(proxy.index(0, SuppressionsModel::Pattern).data().toString(), QStringLiteral("shrinks"));
        QCOMPARE(proxy.index(0, SuppressionsModel::Leaked).data(SuppressionsModel::SortRole).toLongLong(), -4096);
    }
};

QTEST_GUILESS_MAIN(TestSuppressionsModel)

#include "tst_suppressionsmodel.moc"
