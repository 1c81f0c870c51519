/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Flame graph over the results of hand-written traces: the item tree, layout,
    zoom history, search, the context menu, builds that are superseded or
    outlive the widget, and what the widget draws.
*/

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <ThreadWeaver/Queue>

#include "analyze/gui/widgets/flamegraph.h"
#include "analyze/gui/analysis/parserdata.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/treebuilder.h"
#include "analyze/gui/analysis/util.h"

#include "testutils.h"

using FlameGraphTypes::CostType;
using FlameGraphTypes::SearchMatchType;

Q_DECLARE_METATYPE(CostType)

namespace
{

std::string repeated(const std::string &line, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += line;
    }
    return out;
}

// Call stacks, outermost first, each allocation 16 bytes and never freed except
// the one from "small", which is freed at once (temporary):
//   40x main > rec > rec > rec > alloc         5x main > rec > alloc
//   20x main > a > b > a > alloc               1x main > small > alloc
//   34x main > ?? > ?? > foo_helper > alloc    (two unresolved frames of the app)
// foo_helper is in /usr/lib/libfoo.so, the rest in /usr/bin/app.
// Totals: 100 allocations, 1 temporary, 1584 bytes leaked and at the peak.
std::string sampleTrace()
{
    std::string out = "v 10500 3\nX ./app\n";
    for (const char *text : {"/usr/bin/app", "main", "rec", "alloc", "a", "b", "small", "app.cpp", "/usr/lib/libfoo.so", "foo_helper"}) {
        out += s(text);
    }
    // ips 1 main, 2 rec, 3 alloc, 4 a, 5 b, 6 small, 7 and 8 unresolved, 9 foo_helper
    out += "i 100 1 2 8 1\ni 110 1 3 8 2\ni 120 1 4 8 3\ni 130 1 5 8 4\ni 140 1 6 8 5\ni 150 1 7 8 6\ni 160 1\ni 170 1\ni 180 9 a 8 7\n";
    // the five stacks end in the traces 5, 6, a, c and 10
    out += "t 1 0\nt 2 1\nt 2 2\nt 2 3\nt 3 4\nt 3 2\nt 4 1\nt 5 7\nt 4 8\nt 3 9\nt 6 1\nt 3 b\nt 7 1\nt 8 d\nt 9 e\nt 3 f\n";
    out += "a 10 5\na 10 6\na 10 a\na 10 c\na 10 10\n";
    out += repeated("+ 0\n", 40) + repeated("+ 1\n", 5) + repeated("+ 2\n", 20) + "+ 3\n- 3\n" + repeated("+ 4\n", 34) + "c 10\n";
    return out;
}

// 10000 distinct stacks, ten wide on each of four levels, one allocation each:
// at threshold 0 a build takes a while.
std::string wideTrace()
{
    std::string out = "v 10500 3\nX ./wide\n" + s("/usr/bin/wide");
    char line[64];
    for (int i = 0; i < 40; ++i) {
        out += s("f" + std::to_string(i));
        snprintf(line, sizeof(line), "i %x 1 %x\n", 0x1000 + i, i + 2);
        out += line;
    }
    std::vector<int> level = {0};
    int nextTrace = 1;
    for (int depth = 0; depth < 4; ++depth) {
        std::vector<int> next;
        for (int parent : level) {
            for (int i = 0; i < 10; ++i) {
                snprintf(line, sizeof(line), "t %x %x\n", depth * 10 + i + 1, parent);
                out += line;
                next.push_back(nextTrace++);
            }
        }
        level = next;
    }
    for (std::size_t i = 0; i < level.size(); ++i) {
        snprintf(line, sizeof(line), "a 8 %x\n+ %zx\n", level[i], i);
        out += line;
    }
    return out + "c 10\n";
}

struct Analysis {
    std::shared_ptr<const ResultData> resultData;
    TreeData bottomUp;
    TreeData topDown;
};

bool analyse(const std::string &trace, Analysis *analysis)
{
    QTemporaryDir dir;
    const auto path = dir.filePath(QStringLiteral("memloupe.test.1")).toStdString();
    ParserData data;
    if (!dir.isValid() || !writeTraceFile(path, trace, Compression::None) || !data.read(path, false)) {
        return false;
    }
    QVector<QString> strings;
    for (const auto &string : data.strings) {
        strings.append(QString::fromStdString(string));
    }
    analysis->resultData = std::make_shared<const ResultData>(data.totalCost, strings);
    analysis->bottomUp = mergeAllocations([](const QString &) {}, data, analysis->resultData).first;
    analysis->topDown = toTopDownData(analysis->bottomUp);
    return true;
}

// "name cost {children...}" below @p item, children sorted by name, so that the
// expected trees can be written down independently of the build order.
QString describe(const FrameGraphicsItem *item)
{
    QStringList children;
    for (const auto *child : item->childFrames()) {
        const auto below = describe(child);
        children.append(child->label() + QLatin1Char(' ') + QString::number(child->cost())
                        + (below.isEmpty() ? QString() : QLatin1String(" {") + below + QLatin1Char('}')));
    }
    std::sort(children.begin(), children.end());
    return children.join(QLatin1String(", "));
}

FrameGraphicsItem *findPath(FrameGraphicsItem *item, const QStringList &path)
{
    for (const auto &step : path) {
        const auto children = item ? item->childFrames() : QVector<FrameGraphicsItem *>();
        const auto it = std::find_if(children.begin(), children.end(), [&step](const FrameGraphicsItem *child) {
            return child->label() == step;
        });
        item = it == children.end() ? nullptr : *it;
    }
    return item;
}

// With threshold 0 and no collapsing the items mirror the rows: every row
// with a positive cost is expanded, every other row is a leaf.
bool mirrorsRows(const QVector<RowData> &rows, const FrameGraphicsItem *item, int64_t AllocationData::*field)
{
    const auto children = item->childFrames();
    return children.size() == rows.size() && std::all_of(rows.begin(), rows.end(), [&](const RowData &row) {
               const auto it = std::find_if(children.begin(), children.end(), [&row](const FrameGraphicsItem *child) {
                   return child->symbol() == row.symbol;
               });
               return it != children.end() && (*it)->cost() == row.cost.*field
                   && (row.cost.*field > 0 ? mirrorsRows(row.children, *it, field) : (*it)->childFrames().isEmpty());
           });
}

// Whether the marks of @p item's subtree are right; sets @p anyMatch when the
// subtree holds a direct match.
bool marksCorrect(const FrameGraphicsItem *item, const QString &search, bool *anyMatch)
{
    bool matchBelow = false;
    for (const auto *child : item->childFrames()) {
        if (!marksCorrect(child, search, &matchBelow)) {
            return false;
        }
    }
    const bool direct = item->match(search);
    *anyMatch = *anyMatch || direct || matchBelow;
    return item->searchMatch() == (direct ? SearchMatchType::DirectMatch : matchBelow ? SearchMatchType::ChildMatch : SearchMatchType::NoMatch);
}

std::unique_ptr<FrameGraphicsItem> build(const TreeData &data, CostType costType, bool collapseRecursion, double threshold)
{
    FlameGraphBuilder::Options options;
    options.costType = costType;
    options.collapseRecursion = collapseRecursion;
    options.costThreshold = threshold;
    return FlameGraphBuilder::build(data, options);
}

void finishBuilds()
{
    ThreadWeaver::Queue::instance()->finish();
    QCoreApplication::sendPostedEvents();
}

template<typename T>
T *control(const FlameGraph &graph, const char *objectName)
{
    auto *ret = graph.findChild<T *>(QLatin1String(objectName));
    if (!ret) {
        qFatal("no control %s", objectName);
    }
    return ret;
}

QGraphicsView *viewOf(const FlameGraph &graph)
{
    return graph.findChild<QGraphicsView *>();
}

void click(FlameGraph &graph, const FrameGraphicsItem *item)
{
    QTest::mouseClick(viewOf(graph)->viewport(), Qt::LeftButton, {}, viewOf(graph)->mapFromScene(item->sceneBoundingRect().center()));
}

void selectCostType(FlameGraph &graph, CostType type)
{
    auto *combo = control<QComboBox>(graph, "costSource");
    combo->setCurrentIndex(combo->findData(static_cast<int>(type)));
}

const QString Main = QStringLiteral("main");
const QString Rec = QStringLiteral("rec");
const QString Unresolved = QStringLiteral("<unresolved function>");
}

class TestFlameGraph : public QObject
{
    Q_OBJECT

private:
    Analysis m_sample;

    // A shown graph over the sample's top-down tree, waiting for its first scene.
    std::unique_ptr<FlameGraph> shownGraph()
    {
        auto graph = std::make_unique<FlameGraph>();
        graph->resize(1000, 400);
        graph->show();
        selectCostType(*graph, CostType::Allocations);
        graph->setBottomUpData(m_sample.bottomUp);
        graph->setTopDownData(m_sample.topDown);
        return graph;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<Symbol>();
        QVERIFY(analyse(sampleTrace(), &m_sample));
        const auto &totals = m_sample.resultData->totalCosts();
        QCOMPARE(totals.allocations, int64_t(100));
        QCOMPARE(totals.temporary, int64_t(1));
        QCOMPARE(totals.leaked, int64_t(1584));
    }

    // Only a function calling itself directly folds into one bar, and what the
    // folded calls had below them merges with the bar's own children.
    // Unresolved frames share a symbol without being the same function.
    void testCollapseRecursion()
    {
        const auto separate = build(m_sample.topDown, CostType::Allocations, false, 0);
        QCOMPARE(describe(separate.get()),
                 QStringLiteral("main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, a 20 {b 20 {a 20 {alloc 20}}}, "
                                "rec 45 {alloc 5, rec 40 {rec 40 {alloc 40}}}, small 1 {alloc 1}}"));
        const auto collapsed = build(m_sample.topDown, CostType::Allocations, true, 0);
        QCOMPARE(describe(collapsed.get()),
                 QStringLiteral("main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, a 20 {b 20 {a 20 {alloc 20}}}, "
                                "rec 45 {alloc 45}, small 1 {alloc 1}}"));
        const auto bottomUp = build(m_sample.bottomUp, CostType::Allocations, true, 0);
        QCOMPARE(describe(bottomUp.get()),
                 QStringLiteral("alloc 100 {a 20 {b 20 {a 20 {main 20}}}, foo_helper 34 {<unresolved function> 34 {<unresolved function> 34 {main 34}}}, "
                                "rec 45 {main 45}, small 1 {main 1}}"));
        QCOMPARE(collapsed->cost(), int64_t(100));
        QVERIFY(!build(TreeData(), CostType::Allocations, true, 0));
    }

    void testThreshold()
    {
        // at 0 every row with a positive cost is expanded, rows without cost are not
        const std::pair<CostType, int64_t AllocationData::*> fields[] = {{CostType::Allocations, &AllocationData::allocations},
                                                                         {CostType::Temporary, &AllocationData::temporary},
                                                                         {CostType::Leaked, &AllocationData::leaked}};
        for (const auto &field : fields) {
            const auto root = build(m_sample.topDown, field.first, false, 0);
            QVERIFY2(mirrorsRows(m_sample.topDown.rows, root.get(), field.second), qPrintable(describe(root.get())));
        }
        QCOMPARE(describe(build(m_sample.topDown, CostType::Temporary, true, 0).get()),
                 QStringLiteral("main 1 {<unresolved function> 0, a 0, rec 0, small 1 {alloc 1}}"));

        // 1% of 100 allocations: "small" with 1 sits on the threshold and stays a leaf
        QCOMPARE(describe(build(m_sample.topDown, CostType::Allocations, true, 1).get()),
                 QStringLiteral("main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, a 20 {b 20 {a 20 {alloc 20}}}, "
                                "rec 45 {alloc 45}, small 1}"));
        // 20%: now "a" sits on it
        QCOMPARE(describe(build(m_sample.topDown, CostType::Allocations, true, 20).get()),
                 QStringLiteral("main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, a 20, rec 45 {alloc 45}, small 1}"));

        // relative to the total of the chosen cost: rec's 720 of 1584 bytes are above 45%, not above 46%
        const auto peakBelow = build(m_sample.topDown, CostType::Peak, true, 45);
        const auto peakAbove = build(m_sample.topDown, CostType::Peak, true, 46);
        QVERIFY(findPath(peakBelow.get(), {Main, Rec, QStringLiteral("alloc")}));
        QVERIFY(findPath(peakAbove.get(), {Main, Rec}));
        QVERIFY(!findPath(peakAbove.get(), {Main, Rec, QStringLiteral("alloc")}));
    }

    void testLayout()
    {
        const auto root = build(m_sample.topDown, CostType::Allocations, true, 0);
        root->setRect(0, 0, 100, 20);
        FlameGraphBuilder::layoutItems(root.get());
        auto *main = findPath(root.get(), {Main});
        QVERIFY(main);
        QCOMPARE(main->rect(), QRectF(0, -22, 100, 20));

        // the children share the width by cost, left to right without gaps;
        // "small" would be 1 pixel wide and is hidden
        qreal x = 0;
        for (auto *child : main->childFrames()) {
            QCOMPARE(child->isVisible(), child->label() != QLatin1String("small"));
            if (child->isVisible()) {
                QCOMPARE(child->rect(), QRectF(x, -44, child->cost(), 20));
                x += child->cost();
            }
        }
        QCOMPARE(x, qreal(99));
        auto *rec = findPath(main, {Rec});
        QCOMPARE(findPath(rec, {QStringLiteral("alloc")})->rect(), QRectF(rec->rect().x(), -66, 45, 20));

        // twice as wide: "small" gets 2 pixels and shows
        root->setRect(0, 0, 200, 20);
        FlameGraphBuilder::layoutItems(root.get());
        QVERIFY(findPath(main, {QStringLiteral("small")})->isVisible());
    }

    // Clicks zoom and extend the history; back, forward and reset move in it.
    void testHistory()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        auto *root = graph->rootItem();
        const qreal width = viewOf(*graph)->viewport()->width() - 40;
        QCOMPARE(root->rect().width(), width);
        auto *back = control<QToolButton>(*graph, "backButton");
        auto *forward = control<QToolButton>(*graph, "forwardButton");
        QVERIFY(!back->isEnabled() && !forward->isEnabled());

        // the current item again: nothing changes
        click(*graph, root);
        QCOMPARE(graph->selectionHistory().size(), 1);

        auto *main = findPath(root, {Main});
        auto *rec = findPath(main, {Rec});
        auto *a = findPath(main, {QStringLiteral("a")});
        auto *recAlloc = findPath(rec, {QStringLiteral("alloc")});
        QVERIFY(rec && a && recAlloc);
        click(*graph, rec);
        QCOMPARE(graph->selectionHistory(), (QVector<FrameGraphicsItem *>{root, rec}));
        QCOMPARE(graph->currentHistoryIndex(), 1);
        QVERIFY(back->isEnabled() && !forward->isEnabled());
        // zoomed: rec and its ancestors span the width, its siblings make room
        QCOMPARE(rec->rect(), QRectF(0, rec->rect().y(), width, rec->rect().height()));
        QCOMPARE(main->rect().width(), width);
        QCOMPARE(recAlloc->rect().width(), width);
        QVERIFY(!a->isVisible());
        QCOMPARE(control<QLabel>(*graph, "displayLabel")->text(), QStringLiteral("45 (45%) allocations in rec in app and below."));

        click(*graph, rec);
        QCOMPARE(graph->selectionHistory().size(), 2);
        click(*graph, recAlloc);
        QCOMPARE(graph->selectionHistory(), (QVector<FrameGraphicsItem *>{root, rec, recAlloc}));

        QTest::mouseClick(back, Qt::LeftButton);
        QTest::mouseClick(back, Qt::LeftButton);
        QCOMPARE(graph->currentHistoryIndex(), 0);
        QVERIFY(!back->isEnabled() && forward->isEnabled());
        QVERIFY(a->isVisible());
        graph->navigateBack();
        QCOMPARE(graph->currentHistoryIndex(), 0);
        QTest::mouseClick(forward, Qt::LeftButton);
        QCOMPARE(graph->currentHistoryIndex(), 1);
        QVERIFY(!a->isVisible());

        // a click after going back drops the entries ahead of the current one
        graph->navigateBack();
        click(*graph, a);
        QCOMPARE(graph->selectionHistory(), (QVector<FrameGraphicsItem *>{root, a}));
        QVERIFY(!forward->isEnabled());
        graph->navigateForward();
        QCOMPARE(graph->currentHistoryIndex(), 1);

        // reset goes to the start and keeps the history
        auto *reset = graph->actions().last();
        QVERIFY(reset->isEnabled());
        reset->trigger();
        QCOMPARE(graph->currentHistoryIndex(), 0);
        QCOMPARE(graph->selectionHistory().size(), 2);
        QVERIFY(!reset->isEnabled());

        // a resize lays the current entry out for the new width
        graph->resize(600, 400);
        QTRY_COMPARE(root->rect().width(), qreal(viewOf(*graph)->viewport()->width() - 40));
        QCOMPARE(rec->rect().width(), root->rect().width() * 45 / 100);
    }

    void testSearch_data()
    {
        QTest::addColumn<CostType>("costType");
        QTest::addColumn<bool>("collapse");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("result");

        const auto allocations = QStringLiteral("%1 (%1% of total of 100) allocations matched by search.");
        QTest::newRow("function, any case") << CostType::Allocations << true << QStringLiteral("REC") << allocations.arg(45);
        // the outer rec matches; the recursive calls inside it are part of its cost
        QTest::newRow("nested matches count once") << CostType::Allocations << false << QStringLiteral("rec") << allocations.arg(45);
        QTest::newRow("module") << CostType::Allocations << true << QStringLiteral("libfoo") << allocations.arg(34);
        // the unresolved frames match, the root (which has no function) does not
        QTest::newRow("unresolved") << CostType::Allocations << true << QStringLiteral("unresolved") << allocations.arg(34);
        QTest::newRow("nothing") << CostType::Allocations << true << QStringLiteral("zzz") << allocations.arg(0);
        QTest::newRow("temporary") << CostType::Temporary << true << QStringLiteral("small")
                                   << QStringLiteral("1 (100% of total of 1) allocations matched by search.");
        QTest::newRow("bytes") << CostType::Peak << true << QStringLiteral("rec")
                               << QStringLiteral("%1 (45.5% of total of %2) matched by search.").arg(Util::formatBytes(720), Util::formatBytes(1584));
    }

    void testSearch()
    {
        QFETCH(CostType, costType);
        QFETCH(bool, collapse);
        QFETCH(QString, search);
        QFETCH(QString, result);

        auto graph = shownGraph();
        control<QCheckBox>(*graph, "collapseRecursionCheckBox")->setChecked(collapse);
        selectCostType(*graph, costType);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->rootItem()->costType(), costType);

        auto *label = control<QLabel>(*graph, "searchResultsLabel");
        QVERIFY(label->isHidden());
        control<QLineEdit>(*graph, "searchInput")->setText(search);
        QVERIFY(!label->isHidden());
        QCOMPARE(label->text(), result);
        bool anyMatch = false;
        QVERIFY(marksCorrect(graph->rootItem(), search, &anyMatch));
        QCOMPARE(anyMatch, search != QLatin1String("zzz"));

        // a rebuild keeps the search
        control<QDoubleSpinBox>(*graph, "costThreshold")->setValue(0);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(label->text(), result);
        QVERIFY(marksCorrect(graph->rootItem(), search, &anyMatch));

        // clearing it hides the line and takes every mark away
        control<QLineEdit>(*graph, "searchInput")->clear();
        QVERIFY(label->isHidden());
        std::function<bool(const FrameGraphicsItem *)> unmarked = [&](const FrameGraphicsItem *item) {
            const auto children = item->childFrames();
            return item->searchMatch() == SearchMatchType::NoSearch && std::all_of(children.begin(), children.end(), unmarked);
        };
        QVERIFY(unmarked(graph->rootItem()));
    }

    void testControlsAndContextMenu()
    {
        auto graph = shownGraph();
        control<QCheckBox>(*graph, "bottomUpCheckBox")->setChecked(true);
        selectCostType(*graph, CostType::Leaked);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->rootItem()->cost(), int64_t(1584));
        auto *rec = findPath(graph->rootItem(), {QStringLiteral("alloc"), Rec});
        QVERIFY(rec);

        QSignalSpy spy(graph.get(), &FlameGraph::callerCalleeViewRequested);
        auto *view = viewOf(*graph);
        Q_EMIT view->customContextMenuRequested(view->mapFromScene(rec->sceneBoundingRect().center()));
        auto *menu = graph->findChild<QMenu *>();
        QVERIFY(menu);
        const auto actions = menu->actions();
        QCOMPARE(actions.size(), 3 + graph->actions().size());
        QCOMPARE(actions.at(0)->text(), QStringLiteral("View Caller/Callee"));
        QVERIFY(actions.at(2)->isSeparator());
        actions.at(0)->trigger();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<Symbol>(), rec->symbol());
        actions.at(1)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), rec->description());
        delete menu;

        // outside every bar only the navigation is offered
        Q_EMIT view->customContextMenuRequested(QPoint(view->viewport()->width() - 2, 2));
        menu = graph->findChild<QMenu *>();
        QVERIFY(menu);
        QCOMPARE(menu->actions(), graph->actions());
        delete menu;
    }

    // A build that finishes after its widget is gone frees its items and
    // touches nothing.
    void testDestroyedWhileBuilding()
    {
        Analysis wide;
        QVERIFY(analyse(wideTrace(), &wide));
        const int before = FrameGraphicsItem::liveCount();
        {
            FlameGraph graph;
            graph.show();
            control<QDoubleSpinBox>(graph, "costThreshold")->setValue(0);
            graph.setTopDownData(wide.topDown);
            QVERIFY(!graph.rootItem());
        }
        finishBuilds();
        QCOMPARE(FrameGraphicsItem::liveCount(), before);
    }

    // Builds started one after the other: only the last one is shown, and the
    // others, finished earlier or later, are freed.
    void testNewestBuildWins()
    {
        Analysis wide;
        QVERIFY(analyse(wideTrace(), &wide));
        const int before = FrameGraphicsItem::liveCount();
        FlameGraph graph;
        graph.show();
        selectCostType(graph, CostType::Allocations);
        control<QDoubleSpinBox>(graph, "costThreshold")->setValue(0);
        // the two big builds take far longer than the last, small one
        graph.setTopDownData(wide.topDown);
        selectCostType(graph, CostType::Peak);
        control<QDoubleSpinBox>(graph, "costThreshold")->setValue(99.9);
        finishBuilds();

        QVERIFY(graph.rootItem());
        QCOMPARE(graph.rootItem()->costType(), CostType::Peak);
        // the root and the ten outermost functions, each at 10% and so a leaf
        QCOMPARE(graph.rootItem()->childFrames().size(), 10);
        int inScene = 0;
        for (const auto *item : viewOf(graph)->scene()->items()) {
            inScene += item->type() == FrameGraphicsItem::Type ? 1 : 0;
        }
        QCOMPARE(inScene, 11);
        QCOMPARE(FrameGraphicsItem::liveCount(), before + 11);

        // a clear discards the build it interrupts and the data: a resize builds nothing
        control<QDoubleSpinBox>(graph, "costThreshold")->setValue(0);
        graph.clearData();
        graph.resize(700, 300);
        QCoreApplication::processEvents();
        finishBuilds();
        QVERIFY(!graph.rootItem());
        QCOMPARE(FrameGraphicsItem::liveCount(), before);
    }

    // Draws the sample and looks at the pixels: coloured bars, text on the wide
    // ones, none on the narrow ones.
    void testRendering()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        QVERIFY(QTest::qWaitForWindowExposed(graph.get()));
        const auto image = graph->grab().toImage();
        const auto path = QDir::temp().filePath(QStringLiteral("memloupe-flamegraph.png"));
        QVERIFY(image.save(path));
        qInfo("flame graph rendered to %s", qPrintable(path));

        auto *view = viewOf(*graph);
        const auto viewOrigin = view->viewport()->mapTo(graph.get(), QPoint(0, 0));
        const auto areaOf = [&](const FrameGraphicsItem *item) {
            return view->mapFromScene(item->sceneBoundingRect()).boundingRect().translated(viewOrigin).adjusted(2, 2, -2, -2).intersected(image.rect());
        };
        const auto darkPixels = [&](const QRect &area) {
            int count = 0;
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.left(); x <= area.right(); ++x) {
                    count += qGray(image.pixel(x, y)) < 100 ? 1 : 0;
                }
            }
            return count;
        };

        QSet<QRgb> colors;
        for (int y = viewOrigin.y(); y < viewOrigin.y() + view->viewport()->height(); y += 2) {
            for (int x = viewOrigin.x(); x < viewOrigin.x() + view->viewport()->width(); x += 2) {
                colors.insert(image.pixel(x, y));
            }
        }
        QVERIFY2(colors.size() >= 5, qPrintable(QString::number(colors.size())));

        auto *main = findPath(graph->rootItem(), {Main});
        auto *rec = findPath(main, {Rec});
        auto *small = findPath(main, {QStringLiteral("small")});
        QVERIFY(rec && small && small->isVisible());
        QVERIFY(darkPixels(areaOf(graph->rootItem())) > 20);
        QVERIFY(darkPixels(areaOf(main)) > 20);
        QVERIFY(darkPixels(areaOf(rec)) > 20);
        QCOMPARE(darkPixels(areaOf(small)), 0);
        // right of its label a bar shows its half-transparent palette colour over white
        const auto recArea = areaOf(rec);
        const int red = image.pixelColor(recArea.right() - 5, recArea.center().y()).red();
        QVERIFY2(qAbs(red - (255 - rec->brush().color().alpha())) <= 2, qPrintable(QString::number(red)));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // texts are compared with their untranslated source, numbers in the C locale
    qputenv("LANGUAGE", "C");
    qputenv("LC_ALL", "C");
    QLocale::setDefault(QLocale::c());
    QApplication app(argc, argv);
    TestFlameGraph test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_flamegraph.moc"
