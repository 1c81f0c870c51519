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
#include <QXmlStreamReader>

#include <KConfigGroup>
#include <KSharedConfig>
#include <ThreadWeaver/Queue>

#include "analyze/gui/analysis/parserdata.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/treebuilder.h"
#include "analyze/gui/analysis/util.h"
#include "analyze/gui/widgets/flamegraph.h"

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

// Leaked bytes, in the time range 5 to 40 (the consumption over the range):
//   main > old > alloc      ten 100 byte blocks allocated before, freed in it: -1000
//   main > keep > alloc     three 1000 byte blocks allocated in it: +3000
//   main > mix > grow       500 bytes allocated in it: +500
//   main > mix > shrink     500 bytes allocated before, freed in it: -500
// "mix" nets 0 with as much growth as shrinkage below it.
std::string rangeTrace()
{
    std::string out = "v 10500 3\nX ./app\n";
    for (const char *text : {"/usr/bin/app", "main", "keep", "old", "mix", "grow", "shrink", "alloc"}) {
        out += s(text);
    }
    out += "i 100 1 2\ni 110 1 3\ni 120 1 4\ni 130 1 5\ni 140 1 6\ni 150 1 7\ni 160 1 8\n";
    out += "t 1 0\nt 2 1\nt 7 2\nt 3 1\nt 7 4\nt 4 1\nt 5 6\nt 7 7\nt 6 6\nt 7 9\n";
    out += "a 64 5\na 3e8 3\na 1f4 8\na 1f4 a\n";
    out += "c 1\n" + repeated("+ 0\n", 10) + "+ 3\nc 10\n" + repeated("- 0\n", 10) + "- 3\n" + repeated("+ 1\n", 3) + "+ 2\nc 20\nc 30\n";
    return out;
}

// Two runs of one program, 16 byte blocks never freed, counts per call stack:
//                     base  current
//   main > foo > alloc  20     30
//   main > bar > alloc  20     10
//   main > gone > alloc  5      -
//   main > same > alloc  5      5
std::string diffTrace(bool base)
{
    std::string out = "v 10500 3\nX ./app\n";
    for (const char *text : {"/usr/bin/app", "main", "foo", "bar", "gone", "same", "alloc"}) {
        out += s(text);
    }
    out += "i 100 1 2\ni 110 1 3\ni 120 1 4\ni 130 1 5\ni 140 1 6\ni 150 1 7\n";
    out += "t 1 0\nt 2 1\nt 6 2\nt 3 1\nt 6 4\nt 4 1\nt 6 6\nt 5 1\nt 6 8\n";
    out += "a 10 3\na 10 5\na 10 7\na 10 9\n";
    out += repeated("+ 0\n", base ? 20 : 30) + repeated("+ 1\n", base ? 20 : 10) + (base ? repeated("+ 2\n", 5) : std::string()) + repeated("+ 3\n", 5);
    return out + "c 10\n";
}

struct Analysis {
    std::shared_ptr<const ResultData> resultData;
    TreeData bottomUp;
    TreeData topDown;
};

bool analyse(const std::string &trace, Analysis *analysis, const FilterParameters &filter = {}, const std::string &baseTrace = {})
{
    QTemporaryDir dir;
    const auto path = dir.filePath(QStringLiteral("memloupe.test.1")).toStdString();
    ParserData data;
    data.filterParameters = filter;
    if (!dir.isValid() || !writeTraceFile(path, trace, Compression::None) || !data.read(path, false)) {
        return false;
    }
    if (!baseTrace.empty()) {
        // as the analysis does it: the base read on its own, then subtracted
        const auto basePath = dir.filePath(QStringLiteral("memloupe.test.2")).toStdString();
        ParserData base;
        if (!writeTraceFile(basePath, baseTrace, Compression::None) || !base.read(basePath, false)) {
            return false;
        }
        data.diff(base);
        data.diffMode = true;
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

// The layout holds together: no visible bar is wider than its parent or sticks
// out of it, and siblings side by side fit into it.
bool layoutSound(const FrameGraphicsItem *item, QString *where)
{
    const auto rect = item->rect();
    qreal sum = 0;
    for (const auto *child : item->childFrames()) {
        if (!child->isVisible()) {
            continue;
        }
        const auto childRect = child->rect();
        sum += childRect.width();
        if (childRect.left() < rect.left() - 0.01 || childRect.right() > rect.right() + 0.01) {
            *where = child->label() + QLatin1String(" sticks out of ") + item->label();
            return false;
        }
        if (!layoutSound(child, where)) {
            return false;
        }
    }
    if (sum > rect.width() + 0.01) {
        *where = QLatin1String("the children of ") + item->label() + QLatin1String(" are wider than it");
        return false;
    }
    return true;
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

// "Export as SVG...", "Export as Folded Stacks..."
constexpr int ExportActions = 2;

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
    // every graph starts from the defaults, not from what the last test chose
    void init()
    {
        KSharedConfig::openConfig(QStringLiteral("memloupe_gui"))->deleteGroup("FlameGraph");
    }

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
        QCOMPARE(actions.size(), 3 + graph->actions().size() + 1 + ExportActions);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("View Caller/Callee"));
        QVERIFY(actions.at(2)->isSeparator());
        actions.at(0)->trigger();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<Symbol>(), rec->symbol());
        actions.at(1)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), rec->description());
        delete menu;

        // outside every bar only the navigation and the exports are offered
        Q_EMIT view->customContextMenuRequested(QPoint(view->viewport()->width() - 2, 2));
        menu = graph->findChild<QMenu *>();
        QVERIFY(menu);
        const auto outside = menu->actions();
        QCOMPARE(outside.mid(0, graph->actions().size()), graph->actions());
        QCOMPARE(outside.size(), graph->actions().size() + 1 + ExportActions);
        QVERIFY(outside.at(graph->actions().size())->isSeparator());
        QCOMPARE(outside.at(graph->actions().size() + 1)->text(), QStringLiteral("Export as SVG..."));
        QVERIFY(outside.at(graph->actions().size() + 1)->isEnabled());
        QCOMPARE(outside.at(graph->actions().size() + 2)->text(), QStringLiteral("Export as Folded Stacks..."));
        delete menu;
    }

    // In a time range a cost is what the range added: negative where it freed
    // blocks allocated before it. Bars are as wide as the size of their cost,
    // blue when it is negative, and never wider than their parent.
    void testSignedCosts()
    {
        FilterParameters range;
        range.minTime = 5;
        range.maxTime = 40;
        Analysis analysis;
        QVERIFY(analyse(rangeTrace(), &analysis, range));
        QCOMPARE(analysis.resultData->totalCosts().leaked, int64_t(2000));

        const auto root = build(analysis.topDown, CostType::Leaked, true, 0);
        QCOMPARE(describe(root.get()),
                 QStringLiteral("main 2000 {keep 3000 {alloc 3000}, mix 0 {grow 500 {alloc 500}, shrink -500 {alloc -500}}, old -1000 {alloc -1000}}"));
        // the root shows the net figure
        QCOMPARE(root->cost(), int64_t(2000));
        QCOMPARE(root->label(), QStringLiteral("%1 leaked in total").arg(Util::formatBytes(2000)));

        root->setRect(0, 0, 1000, 20);
        FlameGraphBuilder::layoutItems(root.get());
        QString where;
        QVERIFY2(layoutSound(root.get(), &where), qPrintable(where));
        auto *main = findPath(root.get(), {Main});
        auto *keep = findPath(main, {QStringLiteral("keep")});
        auto *old = findPath(main, {QStringLiteral("old")});
        auto *mix = findPath(main, {QStringLiteral("mix")});
        auto *shrink = findPath(mix, {QStringLiteral("shrink")});
        QVERIFY(keep && old && mix && shrink);
        // 3000 + 1000 + (500 + 500) share the width; "mix" nets 0 and still
        // has room for what changed below it
        QCOMPARE(main->rect().width(), qreal(1000));
        QCOMPARE(keep->rect().width(), qreal(600));
        QCOMPARE(old->rect().width(), qreal(200));
        QCOMPARE(mix->rect().width(), qreal(200));
        QCOMPARE(shrink->rect().width(), qreal(100));
        QVERIFY(mix->isVisible() && shrink->isVisible());

        // negative bars in a cool colour, the others from the usual palette
        for (const auto *item : {old, shrink, findPath(old, {QStringLiteral("alloc")})}) {
            QCOMPARE(item->brush().color().blue(), 255);
            QVERIFY(item->brush().color().red() > 50);
        }
        QCOMPARE(keep->brush().color().red(), 0);

        const QChar minus(0x2212);
        QCOMPARE(old->description(), minus + Util::formatBytes(1000) + QStringLiteral(" (freed in this range) in old in app and below."));
        QCOMPARE(keep->description(), QStringLiteral("%1 (150%) leaked in keep in app and below.").arg(Util::formatBytes(3000)));

        // a threshold is a share of all that changed: at 15% of 5000 "mix",
        // whose own figure is 0, is still opened, and "shrink" at 500 is not
        const auto cut = build(analysis.topDown, CostType::Leaked, true, 15);
        QCOMPARE(describe(cut.get()), QStringLiteral("main 2000 {keep 3000 {alloc 3000}, mix 0 {grow 500, shrink -500}, old -1000 {alloc -1000}}"));

        // the legend says what blue means
        FlameGraph graph;
        graph.resize(1000, 400);
        graph.show();
        selectCostType(graph, CostType::Leaked);
        graph.setTopDownData(analysis.topDown);
        QTRY_VERIFY(graph.rootItem());
        auto *legend = control<QLabel>(graph, "legendLabel");
        QVERIFY(legend->isVisible());
        QVERIFY(legend->text().contains(QLatin1String("more freed than allocated")));
        selectCostType(graph, CostType::Allocations);
        QTRY_VERIFY(graph.rootItem());
        QVERIFY(!legend->isVisible());
    }

    // A diff's bars are as wide as the change, red for growth and blue for
    // shrinkage, and name the base's and the current figure; call stacks that
    // did not change still count in what a function cost before.
    void testDiff()
    {
        Analysis diff;
        QVERIFY(analyse(diffTrace(false), &diff, {}, diffTrace(true)));
        QVERIFY(diff.topDown.diffMode && !diff.topDown.baseRows.isEmpty());

        const auto root = build(diff.topDown, CostType::Allocations, true, 0);
        QCOMPARE(describe(root.get()), QStringLiteral("main -5 {bar -10 {alloc -10}, foo 10 {alloc 10}, gone -5 {alloc -5}}"));
        auto *main = findPath(root.get(), {Main});
        auto *foo = findPath(main, {QStringLiteral("foo")});
        auto *bar = findPath(main, {QStringLiteral("bar")});
        auto *gone = findPath(main, {QStringLiteral("gone")});
        QVERIFY(foo && bar && gone);
        QCOMPARE(root->baseCost(), int64_t(50));
        QCOMPARE(main->baseCost(), int64_t(50));
        QCOMPARE(findPath(foo, {QStringLiteral("alloc")})->baseCost(), int64_t(20));
        QCOMPARE(gone->baseCost(), int64_t(5));

        const QChar minus(0x2212);
        QCOMPARE(foo->description(), QStringLiteral("+10 (+50%) allocations in foo in app and below: 20 in the base, 30 now."));
        QCOMPARE(bar->description(),
                 minus + QStringLiteral("10 (") + minus + QStringLiteral("50%) allocations in bar in app and below: 20 in the base, 10 now."));
        QCOMPARE(gone->description(),
                 minus + QStringLiteral("5 (") + minus + QStringLiteral("100%) allocations in gone in app and below: 5 in the base, 0 now."));
        QCOMPARE(main->description(),
                 minus + QStringLiteral("5 (") + minus + QStringLiteral("10%) allocations in main in app and below: 50 in the base, 45 now."));
        QCOMPARE(root->description(), minus + QStringLiteral("5 (") + minus + QStringLiteral("10%) allocations in total: 50 in the base, 45 now."));
        QCOMPARE(root->label(), minus + QStringLiteral("5 allocations compared to the base"));

        // growth warm, shrinkage cool; a stack that is gone is a full change
        QCOMPARE(foo->brush().color().hue(), 0);
        QCOMPARE(bar->brush().color().hue(), 220);
        QCOMPARE(gone->brush().color().hue(), 220);
        QVERIFY(gone->brush().color().saturation() > bar->brush().color().saturation());

        root->setRect(0, 0, 250, 20);
        FlameGraphBuilder::layoutItems(root.get());
        QString where;
        QVERIFY2(layoutSound(root.get(), &where), qPrintable(where));
        QCOMPARE(foo->rect().width(), qreal(100));
        QCOMPARE(bar->rect().width(), qreal(100));
        QCOMPARE(gone->rect().width(), qreal(50));

        // the threshold works on sizes: at 30% of the 25 that changed, the
        // shrinking "bar" is opened and "gone" is not
        const auto cut = build(diff.topDown, CostType::Allocations, true, 30);
        QCOMPARE(describe(cut.get()), QStringLiteral("main -5 {bar -10 {alloc -10}, foo 10 {alloc 10}, gone -5}"));

        // bytes, and the bottom-up direction with the same figures
        const auto peak = build(diff.bottomUp, CostType::Peak, true, 0);
        auto *fooCaller = findPath(peak.get(), {QStringLiteral("alloc"), QStringLiteral("foo")});
        QVERIFY(fooCaller);
        QCOMPARE(fooCaller->description(),
                 QStringLiteral("+%1 (+50%) peak contribution in foo in app and below: %2 in the base, %3 now.")
                     .arg(Util::formatBytes(160), Util::formatBytes(320), Util::formatBytes(480)));
        QCOMPARE(findPath(peak.get(), {QStringLiteral("alloc")})->baseCost(), int64_t(800));
    }

    // The widget over a diff: legend, search, zoom and the caller/callee jump
    // as in a normal run.
    void testDiffWidget()
    {
        Analysis diff;
        QVERIFY(analyse(diffTrace(false), &diff, {}, diffTrace(true)));
        FlameGraph graph;
        graph.resize(1000, 400);
        graph.show();
        selectCostType(graph, CostType::Allocations);
        graph.setBottomUpData(diff.bottomUp);
        graph.setTopDownData(diff.topDown);
        QTRY_VERIFY(graph.rootItem());
        auto *legend = control<QLabel>(graph, "legendLabel");
        QVERIFY(legend->isVisible());
        QVERIFY(legend->text().contains(QLatin1String("grew compared to the base")));

        auto *foo = findPath(graph.rootItem(), {Main, QStringLiteral("foo")});
        QVERIFY(foo && foo->isVisible());
        click(graph, foo);
        QCOMPARE(graph.currentHistoryIndex(), 1);
        QCOMPARE(control<QLabel>(graph, "displayLabel")->text(), foo->description());

        control<QLineEdit>(graph, "searchInput")->setText(QStringLiteral("ba"));
        QCOMPARE(control<QLabel>(graph, "searchResultsLabel")->text(),
                 QChar(0x2212) + QStringLiteral("10 allocations compared to the base matched by search (") + QChar(0x2212) + QStringLiteral("5 in total)."));
        bool anyMatch = false;
        QVERIFY(marksCorrect(graph.rootItem(), QStringLiteral("ba"), &anyMatch));
        QVERIFY(anyMatch);

        QSignalSpy spy(&graph, &FlameGraph::callerCalleeViewRequested);
        auto *view = viewOf(graph);
        Q_EMIT view->customContextMenuRequested(view->mapFromScene(foo->sceneBoundingRect().center()));
        auto *menu = graph.findChild<QMenu *>();
        QVERIFY(menu);
        menu->actions().at(0)->trigger();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<Symbol>(), foo->symbol());
        delete menu;
    }

    // A bar clicked before a search does not match it: it fades like the rest.
    void testSearchFadesClickedBar()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        QVERIFY(QTest::qWaitForWindowExposed(graph.get()));
        auto *rec = findPath(graph->rootItem(), {Main, Rec});
        QVERIFY(rec);
        click(*graph, rec);
        QVERIFY(rec->isSelected());
        control<QLineEdit>(*graph, "searchInput")->setText(QStringLiteral("foo_helper"));
        QCOMPARE(rec->searchMatch(), SearchMatchType::NoMatch);

        const auto image = graph->grab().toImage();
        auto *view = viewOf(*graph);
        const auto area = view->mapFromScene(rec->sceneBoundingRect())
                              .boundingRect()
                              .translated(view->viewport()->mapTo(graph.get(), QPoint(0, 0)))
                              .intersected(image.rect());
        // the palette's red is 0: at alpha 50 over white it shows as about 205, opaque as 0
        const int red = image.pixelColor(area.right() - 5, area.center().y()).red();
        QVERIFY2(qAbs(red - (255 - 50)) <= 3, qPrintable(QString::number(red)));
    }

    // What the user chose is there again in the next graph; values the
    // controls cannot take are not.
    void testSettingsKept()
    {
        {
            FlameGraph graph;
            selectCostType(graph, CostType::Leaked);
            control<QCheckBox>(graph, "bottomUpCheckBox")->setChecked(true);
            control<QCheckBox>(graph, "collapseRecursionCheckBox")->setChecked(false);
            control<QDoubleSpinBox>(graph, "costThreshold")->setValue(2.5);
        }
        {
            FlameGraph graph;
            QCOMPARE(control<QComboBox>(graph, "costSource")->currentData().toInt(), int(CostType::Leaked));
            QVERIFY(control<QCheckBox>(graph, "bottomUpCheckBox")->isChecked());
            QVERIFY(!control<QCheckBox>(graph, "collapseRecursionCheckBox")->isChecked());
            QCOMPARE(control<QDoubleSpinBox>(graph, "costThreshold")->value(), 2.5);
            // and the graph is built with them
            graph.show();
            graph.setBottomUpData(m_sample.bottomUp);
            graph.setTopDownData(m_sample.topDown);
            QTRY_VERIFY(graph.rootItem());
            QCOMPARE(graph.rootItem()->costType(), CostType::Leaked);
            QVERIFY(findPath(graph.rootItem(), {QStringLiteral("alloc"), Rec}));
        }

        auto group = KSharedConfig::openConfig(QStringLiteral("memloupe_gui"))->group("FlameGraph");
        group.writeEntry("CostThreshold", 500.);
        group.writeEntry("CostType", 17);
        FlameGraph graph;
        QCOMPARE(control<QDoubleSpinBox>(graph, "costThreshold")->value(), 99.9);
        QCOMPARE(control<QComboBox>(graph, "costSource")->currentIndex(), 0);
    }

    // After a re-run the graph zooms on the same function again, if it is there.
    void testZoomKeptAfterRerun()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        auto *rec = findPath(graph->rootItem(), {Main, Rec});
        QVERIFY(rec);
        click(*graph, rec);
        QCOMPARE(graph->zoomPath(), (QVector<Symbol>{findPath(graph->rootItem(), {Main})->symbol(), rec->symbol()}));

        const auto path = graph->zoomPath();
        graph->clearDataKeepingZoom();
        graph->setBottomUpData(m_sample.bottomUp);
        graph->setTopDownData(m_sample.topDown);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->selectionHistory().size(), 2);
        QCOMPARE(graph->currentHistoryIndex(), 1);
        QCOMPARE(graph->zoomPath(), path);
        auto *zoomed = graph->selectionHistory().at(1);
        QCOMPARE(zoomed->rect().width(), graph->rootItem()->rect().width());
        QVERIFY(!findPath(graph->rootItem(), {Main, QStringLiteral("a")})->isVisible());
        QVERIFY(control<QToolButton>(*graph, "backButton")->isEnabled());

        // only once: a later build starts at the root
        control<QDoubleSpinBox>(*graph, "costThreshold")->setValue(0);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->selectionHistory().size(), 1);

        // a function that is gone leaves the graph at the root
        click(*graph, findPath(graph->rootItem(), {Main, Rec}));
        graph->clearDataKeepingZoom();
        Analysis wide;
        QVERIFY(analyse(wideTrace(), &wide));
        graph->setTopDownData(wide.topDown);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->selectionHistory().size(), 1);
        QVERIFY(graph->zoomPath().isEmpty());

        // a plain clear forgets the zoom
        graph->setTopDownData(m_sample.topDown);
        QTRY_VERIFY(graph->rootItem());
        click(*graph, findPath(graph->rootItem(), {Main, Rec}));
        graph->clearData();
        graph->setBottomUpData(m_sample.bottomUp);
        graph->setTopDownData(m_sample.topDown);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->selectionHistory().size(), 1);
    }

    // The SVG holds the graph at its zoom, text included; a failed write
    // leaves no file and says why.
    void testSvgExport()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        auto *rec = findPath(graph->rootItem(), {Main, Rec});
        click(*graph, rec);

        QTemporaryDir dir;
        const auto path = dir.filePath(QStringLiteral("graph.svg"));
        QString error;
        QVERIFY2(graph->exportSvg(path, &error), qPrintable(error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QStringList texts;
        bool inText = false;
        int rects = 0;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement()) {
                inText = xml.name() == QLatin1String("text");
                rects += xml.name() == QLatin1String("rect") ? 1 : 0;
            } else if (xml.isCharacters() && inText && !xml.isWhitespace()) {
                texts.append(xml.text().toString().trimmed());
            } else if (xml.isEndElement()) {
                inText = false;
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QVERIFY2(texts.contains(graph->rootItem()->label()), qPrintable(texts.join(QLatin1Char('|'))));
        QVERIFY(texts.contains(Main));
        QVERIFY(texts.contains(Rec));
        // zoomed on rec: its siblings are not drawn
        QVERIFY(!texts.contains(QStringLiteral("foo_helper")));
        QVERIFY(rects >= 4);

        const auto badPath = dir.filePath(QStringLiteral("missing/graph.svg"));
        QVERIFY(!graph->exportSvg(badPath, &error));
        QVERIFY2(error.contains(badPath), qPrintable(error));
        QVERIFY(!QFile::exists(badPath));

        FlameGraph empty;
        QVERIFY(!empty.exportSvg(dir.filePath(QStringLiteral("empty.svg")), &error));
        QVERIFY(!error.isEmpty());
    }

    // The folded stacks read back into the totals: one column for a run, the
    // base's and the current figure for a diff, unchanged stacks included.
    void testFoldedExport()
    {
        QTemporaryDir dir;
        // frame names may hold blanks ("<unresolved function> in app"): the costs are the last fields
        const auto readBack = [](const QString &path, QHash<QString, QVector<qint64>> *lines, int columns = 1) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                return false;
            }
            while (!file.atEnd()) {
                auto fields = QString::fromUtf8(file.readLine()).trimmed().split(QLatin1Char(' '));
                QVector<qint64> costs;
                for (int i = 0; i < columns && !fields.isEmpty(); ++i) {
                    costs.prepend(fields.takeLast().toLongLong());
                }
                lines->insert(fields.join(QLatin1Char(' ')), costs);
            }
            return true;
        };
        const auto columnSum = [](const QHash<QString, QVector<qint64>> &lines, int column) {
            qint64 sum = 0;
            for (const auto &costs : lines) {
                sum += costs.value(column);
            }
            return sum;
        };

        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        const auto path = dir.filePath(QStringLiteral("run.folded"));
        QString error;
        QVERIFY2(graph->exportFolded(path, &error), qPrintable(error));
        QHash<QString, QVector<qint64>> lines;
        QVERIFY(readBack(path, &lines));
        QCOMPARE(columnSum(lines, 0), int64_t(100));
        QCOMPARE(lines.value(QStringLiteral("main;rec;rec;rec;alloc")), QVector<qint64>{40});
        QCOMPARE(lines.value(QStringLiteral("main;small;alloc")), QVector<qint64>{1});
        // the bottom-up tree holds the same stacks
        control<QCheckBox>(*graph, "bottomUpCheckBox")->setChecked(true);
        QTRY_VERIFY(graph->rootItem());
        QHash<QString, QVector<qint64>> bottomUpLines;
        QVERIFY(graph->exportFolded(path, &error));
        QVERIFY(readBack(path, &bottomUpLines));
        QCOMPARE(bottomUpLines, lines);

        Analysis diff;
        QVERIFY(analyse(diffTrace(false), &diff, {}, diffTrace(true)));
        FlameGraph diffGraph;
        diffGraph.show();
        selectCostType(diffGraph, CostType::Allocations);
        diffGraph.setBottomUpData(diff.bottomUp);
        diffGraph.setTopDownData(diff.topDown);
        QTRY_VERIFY(diffGraph.rootItem());
        const auto diffPath = dir.filePath(QStringLiteral("diff.folded"));
        QVERIFY2(diffGraph.exportFolded(diffPath, &error), qPrintable(error));
        lines.clear();
        QVERIFY(readBack(diffPath, &lines, 2));
        QCOMPARE(columnSum(lines, 0), int64_t(50));
        QCOMPARE(columnSum(lines, 1), int64_t(45));
        QCOMPARE(lines.value(QStringLiteral("main;foo;alloc")), (QVector<qint64>{20, 30}));
        QCOMPARE(lines.value(QStringLiteral("main;gone;alloc")), (QVector<qint64>{5, 0}));
        QCOMPARE(lines.value(QStringLiteral("main;same;alloc")), (QVector<qint64>{5, 5}));

        const auto badPath = dir.filePath(QStringLiteral("missing/run.folded"));
        QVERIFY(!graph->exportFolded(badPath, &error));
        QVERIFY2(error.contains(badPath), qPrintable(error));
        QVERIFY(!QFile::exists(badPath));
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
    // the graph keeps its settings: never in the user's file
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    QApplication app(argc, argv);
    TestFlameGraph test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_flamegraph.moc"
