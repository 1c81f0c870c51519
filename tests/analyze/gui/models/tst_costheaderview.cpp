/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QMenu>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include "analyze/gui/models/costheaderview.h"

namespace
{
const QStringList columnLabels = {
    QStringLiteral("Location"),
    QStringLiteral("Peak"),
    QStringLiteral("Leaked"),
    QStringLiteral("Allocations"),
    QStringLiteral("Temporary"),
};

// A shown tree view with a cost header; the header's width follows the viewport.
struct Fixture {
    explicit Fixture(int columns)
    {
        model.setColumnCount(columns);
        model.setHorizontalHeaderLabels(columnLabels.mid(0, columns));
        header = new CostHeaderView(&view);
        view.setHeader(header);
        view.setModel(&model);
        view.resize(800, 300);
        view.show();
    }

    // Resizes the view and waits for the new width to reach the header.
    bool resizeViewBy(int delta)
    {
        const int oldWidth = header->width();
        view.resize(view.width() + delta, view.height());
        return QTest::qWaitFor([&]() {
            return header->width() == oldWidth + delta;
        });
    }

    QList<int> sizes() const
    {
        QList<int> sizes;
        for (int i = 0; i < header->count(); ++i) {
            sizes.append(header->sectionSize(i));
        }
        return sizes;
    }

    QStandardItemModel model;
    QTreeView view;
    CostHeaderView *header = nullptr;
};
}

class TestCostHeaderView : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void longTitlesAreNotCut()
    {
        // the titles of the caller/callee table, wider than the default column
        const QStringList titles = {QStringLiteral("Location"),
                                    QStringLiteral("Allocations (Incl.)"),
                                    QStringLiteral("Temporary (Incl.)"),
                                    QStringLiteral("Peak"),
                                    QStringLiteral("Allocations (Self) and then some more")};
        QStandardItemModel model;
        model.setColumnCount(titles.size());
        model.setHorizontalHeaderLabels(titles);
        QTreeView view;
        auto *header = new CostHeaderView(&view);
        view.setHeader(header);
        view.setModel(&model);
        view.resize(1000, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        const auto check = [&]() {
            for (int i = 1; i < titles.size(); ++i) {
                const int textWidth = header->fontMetrics().horizontalAdvance(titles.at(i));
                QVERIFY2(header->sectionSize(i) > textWidth, qPrintable(titles.at(i)));
            }
            // a short title keeps the usual width
            QCOMPARE(header->sectionSize(3), 100);
            QVERIFY(header->sectionSize(4) > 200);
        };
        check();
        header->resizeSection(4, 50);
        QCOMPARE(header->sectionSize(4), 50);
        QMenu menu;
        header->fillContextMenu(&menu);
        menu.actions().at(0)->trigger();
        check();
    }

    void locationColumnAbsorbsViewResizes()
    {
        Fixture fixture(5);
        auto *header = fixture.header;
        QVERIFY(QTest::qWaitForWindowExposed(&fixture.view));
        QCOMPARE(fixture.sizes(), (QList<int>{header->width() - 400, 100, 100, 100, 100}));

        QVERIFY(fixture.resizeViewBy(150));
        QCOMPARE(fixture.sizes(), (QList<int>{header->width() - 400, 100, 100, 100, 100}));
        QVERIFY(fixture.resizeViewBy(-300));
        QCOMPARE(fixture.sizes(), (QList<int>{header->width() - 400, 100, 100, 100, 100}));

        // A hidden cost column leaves its width to the location column.
        header->hideSection(2);
        QVERIFY(fixture.resizeViewBy(10));
        QCOMPARE(header->sectionSize(0), header->width() - 300);

        // The location column never drops below the default size.
        QVERIFY(fixture.resizeViewBy(250 - fixture.view.width()));
        QVERIFY(header->width() - 300 < 100);
        QCOMPARE(header->sectionSize(0), 100);
        QCOMPARE(header->sectionSize(1), 100);
    }

    void addedColumnsTakeWidthFromTheLocation()
    {
        Fixture fixture(3);
        QVERIFY(QTest::qWaitForWindowExposed(&fixture.view));
        QCOMPARE(fixture.header->sectionSize(0), fixture.header->width() - 200);

        fixture.model.setColumnCount(5);
        QCOMPARE(fixture.sizes(), (QList<int>{fixture.header->width() - 400, 100, 100, 100, 100}));
    }

    void resizingACostColumnKeepsTheTotal()
    {
        Fixture fixture(5);
        auto *header = fixture.header;
        QVERIFY(QTest::qWaitForWindowExposed(&fixture.view));
        const int location = header->sectionSize(0);

        header->resizeSection(2, 120);
        QCOMPARE(fixture.sizes(), (QList<int>{location - 20, 100, 120, 100, 100}));
        header->resizeSection(4, 70);
        QCOMPARE(fixture.sizes(), (QList<int>{location + 10, 100, 120, 100, 70}));
        QCOMPARE(header->length(), header->width());
    }

    void resizingTheLocationShares_data()
    {
        QTest::addColumn<int>("growth");
        QTest::addColumn<int>("hiddenSection");
        QTest::addColumn<QList<int>>("costSizes");

        // All five visible sections count towards the shares, but the location
        // column keeps its new size, so the header ends up one share wider.
        QTest::newRow("even") << 100 << -1 << QList<int>{80, 80, 80, 80};
        QTest::newRow("remainder to the last") << 103 << -1 << QList<int>{80, 80, 80, 77};
        QTest::newRow("shrinking") << -50 << -1 << QList<int>{110, 110, 110, 110};
        QTest::newRow("shrinking, remainder truncated") << -53 << -1 << QList<int>{110, 110, 110, 113};
        // A hidden column neither counts nor gives up width.
        QTest::newRow("hidden column") << 102 << 2 << QList<int>{75, 100, 75, 73};
    }

    void resizingTheLocationShares()
    {
        QFETCH(int, growth);
        QFETCH(int, hiddenSection);
        QFETCH(QList<int>, costSizes);

        Fixture fixture(5);
        auto *header = fixture.header;
        QVERIFY(QTest::qWaitForWindowExposed(&fixture.view));
        if (hiddenSection >= 0) {
            header->hideSection(hiddenSection);
        }
        QCOMPARE(header->length(), header->width());
        const int location = header->sectionSize(0) + growth;

        header->resizeSection(0, location);

        if (hiddenSection < 0) {
            QCOMPARE(fixture.sizes(), QList<int>{location} + costSizes);
        } else {
            // Showing the column again takes its unchanged width back from the location.
            header->showSection(hiddenSection);
            QCOMPARE(fixture.sizes(), QList<int>{location - 100} + costSizes);
        }
    }

    void contextMenu()
    {
        Fixture fixture(5);
        auto *header = fixture.header;
        QVERIFY(QTest::qWaitForWindowExposed(&fixture.view));
        header->hideSection(3);

        QMenu menu;
        header->fillContextMenu(&menu);
        const auto actions = menu.actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("Reset Column Sizes"));
        QCOMPARE(actions.at(1)->text(), QStringLiteral("Visible Columns"));
        QVERIFY(actions.at(1)->menu());

        // One entry per cost column, checked while the column is shown.
        const auto columnActions = actions.at(1)->menu()->actions();
        QCOMPARE(columnActions.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(columnActions.at(i)->text(), columnLabels.at(i + 1));
            QVERIFY(columnActions.at(i)->isCheckable());
            QCOMPARE(columnActions.at(i)->isChecked(), i + 1 != 3);
        }
        header->resizeSection(1, 130);
        columnActions.at(0)->trigger();
        QVERIFY(header->isSectionHidden(1));
        columnActions.at(2)->trigger();
        QVERIFY(!header->isSectionHidden(3));

        // Resetting brings every cost column back to 100, hidden ones included,
        // and gives the rest to the location column.
        header->resizeSection(2, 150);
        header->resizeSection(0, 90);
        actions.at(0)->trigger();
        QCOMPARE(header->sectionSize(0), header->width() - 300);
        header->showSection(1);
        QCOMPARE(fixture.sizes(), (QList<int>{header->width() - 400, 100, 100, 100, 100}));

        // Without cost columns there is nothing to hide.
        Fixture single(1);
        QMenu singleMenu;
        single.header->fillContextMenu(&singleMenu);
        QCOMPARE(singleMenu.actions().size(), 1);
        QCOMPARE(singleMenu.actions().at(0)->text(), QStringLiteral("Reset Column Sizes"));
    }
};

QTEST_MAIN(TestCostHeaderView)

#include "tst_costheaderview.moc"
