/*
    Flame graph: the item tree built from real analysis results, layout, zoom
    history, search, the context menu, builds that are superseded or outlive
    the widget, and what the widget draws.
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
#include <QImage>
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

#include "analyze/gui/flamegraph.h"
#include "analyze/gui/parserdata.h"
#include "analyze/gui/resultdata.h"
#include "analyze/gui/treebuilder.h"
#include "analyze/gui/util.h"

#include "testutils.h"

using FlameGraphTypes::CostType;
using FlameGraphTypes::SearchMatchType;

Q_DECLARE_METATYPE(CostType)

namespace
{
std::string stringRecord(const std::string &text)
{
    char length[16];
    snprintf(length, sizeof(length), "%zx", text.size());
    return "s " + std::string(length) + " " + text + "\n";
}

std::string repeated(const std::string &line, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += line;
    }
    return out;
}

// Call stacks, outermost first; every allocation is 16 bytes and stays live
// except the one from "small", which is freed at once (temporary).
//   A  40x  main > rec > rec > rec > alloc
//   E   5x  main > rec > alloc
//   B  20x  main > a > b > a > alloc
//   C   1x  main > small > alloc
//   D  34x  main > ?? > ?? > foo_helper > alloc    (?? = two unresolved frames of the app)
// alloc, main, rec, a, b, small live in /usr/bin/app, foo_helper in /usr/lib/libfoo.so.
// Totals: 100 allocations, 1 temporary, 1584 bytes leaked and at the peak.
std::string sampleTrace()
{
    std::string out = "v 10500 3\nX ./app\n";
    for (const char *text : {"/usr/bin/app", "main", "rec", "alloc", "a", "b", "small", "app.cpp", "/usr/lib/libfoo.so", "foo_helper"}) {
        out += stringRecord(text);
    }
    out +=
        "i 100 1 2 8 1\n" // 1 main
        "i 110 1 3 8 2\n" // 2 rec
        "i 120 1 4 8 3\n" // 3 alloc
        "i 130 1 5 8 4\n" // 4 a
        "i 140 1 6 8 5\n" // 5 b
        "i 150 1 7 8 6\n" // 6 small
        "i 160 1\n" // 7 unresolved
        "i 170 1\n" // 8 unresolved
        "i 180 9 a 8 7\n"; // 9 foo_helper
    out +=
        "t 1 0\n" // 1 main
        "t 2 1\n" // 2
        "t 2 2\n" // 3
        "t 2 3\n" // 4
        "t 3 4\n" // 5 A
        "t 3 2\n" // 6 E
        "t 4 1\n" // 7
        "t 5 7\n" // 8
        "t 4 8\n" // 9
        "t 3 9\n" // a B
        "t 6 1\n" // b
        "t 3 b\n" // c C
        "t 7 1\n" // d
        "t 8 d\n" // e
        "t 9 e\n" // f
        "t 3 f\n"; // 10 D
    out += "a 10 5\na 10 6\na 10 a\na 10 c\na 10 10\n";
    out += repeated("+ 0\n", 40) + repeated("+ 1\n", 5) + repeated("+ 2\n", 20) + "+ 3\n- 3\n" + repeated("+ 4\n", 34);
    out += "c 10\n";
    return out;
}

// 10000 distinct call stacks, ten wide on each of four levels, one allocation
// each: enough items at threshold 0 that a build takes a while.
std::string wideTrace()
{
    std::string out = "v 10500 3\nX ./wide\n" + stringRecord("/usr/bin/wide");
    for (int i = 0; i < 40; ++i) {
        out += stringRecord("f" + std::to_string(i));
    }
    char line[64];
    for (int i = 0; i < 40; ++i) {
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
    int info = 0;
    for (int trace : level) {
        snprintf(line, sizeof(line), "a 8 %x\n+ %x\n", trace, info++);
        out += line;
    }
    out += "c 10\n";
    return out;
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
    if (!dir.isValid() || !writeTraceFile(path, trace, Compression::None)) {
        return false;
    }
    ParserData data;
    if (!data.read(path, false)) {
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

QString name(const FrameGraphicsItem *item)
{
    return item->label();
}

// "name cost {children...}" with the children sorted by name, so that the
// expected trees can be written down independently of the build order.
QString describe(const FrameGraphicsItem *item)
{
    QStringList children;
    for (const auto *child : item->childFrames()) {
        children.append(describe(child));
    }
    std::sort(children.begin(), children.end());
    QString ret = name(item) + QLatin1Char(' ') + QString::number(item->cost());
    if (!children.isEmpty()) {
        ret += QLatin1String(" {") + children.join(QLatin1String(", ")) + QLatin1Char('}');
    }
    return ret;
}

QString describeBelowRoot(const FrameGraphicsItem *root)
{
    QStringList children;
    for (const auto *child : root->childFrames()) {
        children.append(describe(child));
    }
    std::sort(children.begin(), children.end());
    return children.join(QLatin1String(", "));
}

FrameGraphicsItem *childNamed(const FrameGraphicsItem *parent, const QString &childName)
{
    if (!parent) {
        return nullptr;
    }
    for (auto *child : parent->childFrames()) {
        if (name(child) == childName) {
            return child;
        }
    }
    return nullptr;
}

// Follows @p path of function names from @p item.
FrameGraphicsItem *findPath(FrameGraphicsItem *item, const QStringList &path)
{
    for (const auto &step : path) {
        item = childNamed(item, step);
    }
    return item;
}

int countItems(const FrameGraphicsItem *item)
{
    int count = 1;
    for (const auto *child : item->childFrames()) {
        count += countItems(child);
    }
    return count;
}

// With threshold 0 and no collapsing the items mirror the rows: every row
// with a positive cost is expanded, every other row is a leaf.
bool mirrorsRows(const QVector<RowData> &rows, const FrameGraphicsItem *item, int64_t AllocationData::*field)
{
    const auto children = item->childFrames();
    if (children.size() != rows.size()) {
        return false;
    }
    for (const auto &row : rows) {
        const auto it = std::find_if(children.begin(), children.end(), [&row](const FrameGraphicsItem *child) {
            return child->symbol() == row.symbol;
        });
        if (it == children.end() || (*it)->cost() != row.cost.*field) {
            return false;
        }
        if (row.cost.*field > 0 ? !mirrorsRows(row.children, *it, field) : !(*it)->childFrames().isEmpty()) {
            return false;
        }
    }
    return true;
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

QPoint viewportPos(const FlameGraph &graph, const FrameGraphicsItem *item)
{
    const auto *view = graph.findChild<QGraphicsView *>();
    return view->mapFromScene(item->sceneBoundingRect().center());
}

void click(FlameGraph &graph, const FrameGraphicsItem *item)
{
    auto *viewport = graph.findChild<QGraphicsView *>()->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, viewportPos(graph, item));
}

int sceneFrameCount(const FlameGraph &graph)
{
    int count = 0;
    for (const auto *item : graph.findChild<QGraphicsView *>()->scene()->items()) {
        if (item->type() == FrameGraphicsItem::Type) {
            ++count;
        }
    }
    return count;
}

void selectCostType(FlameGraph &graph, CostType type)
{
    auto *combo = control<QComboBox>(graph, "costSource");
    combo->setCurrentIndex(combo->findData(static_cast<int>(type)));
}

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
        QCOMPARE(totals.peak, int64_t(1584));
    }

    void testCollapseRecursion_data()
    {
        QTest::addColumn<bool>("bottomUp");
        QTest::addColumn<bool>("collapse");
        QTest::addColumn<QString>("expected");

        QTest::newRow("top-down, collapsed") << false << true
                                             << QStringLiteral(
                                                    "main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, "
                                                    "a 20 {b 20 {a 20 {alloc 20}}}, rec 45 {alloc 45}, small 1 {alloc 1}}");
        QTest::newRow("top-down, separate") << false << false
                                            << QStringLiteral(
                                                   "main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, "
                                                   "a 20 {b 20 {a 20 {alloc 20}}}, rec 45 {alloc 5, rec 40 {rec 40 {alloc 40}}}, "
                                                   "small 1 {alloc 1}}");
        QTest::newRow("bottom-up, collapsed") << true << true
                                              << QStringLiteral(
                                                     "alloc 100 {a 20 {b 20 {a 20 {main 20}}}, foo_helper 34 {<unresolved function> 34 "
                                                     "{<unresolved function> 34 {main 34}}}, rec 45 {main 45}, small 1 {main 1}}");
        QTest::newRow("bottom-up, separate") << true << false
                                             << QStringLiteral(
                                                    "alloc 100 {a 20 {b 20 {a 20 {main 20}}}, foo_helper 34 {<unresolved function> 34 "
                                                    "{<unresolved function> 34 {main 34}}}, rec 45 {main 5, rec 40 {rec 40 {main 40}}}, "
                                                    "small 1 {main 1}}");
    }

    // Only a function calling itself directly folds into one bar, and what
    // the folded calls had below them merges with the bar's own children.
    // Unresolved frames share a symbol without being the same function.
    void testCollapseRecursion()
    {
        QFETCH(bool, bottomUp);
        QFETCH(bool, collapse);
        QFETCH(QString, expected);

        const auto root = build(bottomUp ? m_sample.bottomUp : m_sample.topDown, CostType::Allocations, collapse, 0);
        QVERIFY(root);
        QCOMPARE(root->cost(), int64_t(100));
        QVERIFY(!root->parentItem());
        QCOMPARE(describeBelowRoot(root.get()), expected);
    }

    void testThreshold()
    {
        // at 0 every row with a positive cost is expanded, rows without cost are not
        for (auto type : {CostType::Allocations, CostType::Temporary, CostType::Leaked}) {
            const auto root = build(m_sample.topDown, type, false, 0);
            const auto field = type == CostType::Allocations ? &AllocationData::allocations
                : type == CostType::Temporary                ? &AllocationData::temporary
                                                             : &AllocationData::leaked;
            QVERIFY2(mirrorsRows(m_sample.topDown.rows, root.get(), field), qPrintable(describeBelowRoot(root.get())));
        }
        const auto temporary = build(m_sample.topDown, CostType::Temporary, true, 0);
        QCOMPARE(describeBelowRoot(temporary.get()), QStringLiteral("main 1 {<unresolved function> 0, a 0, rec 0, small 1 {alloc 1}}"));
        const auto leaked = build(m_sample.topDown, CostType::Leaked, true, 0);
        const auto *leakedSmall = findPath(leaked.get(), {QStringLiteral("main"), QStringLiteral("small")});
        QVERIFY(leakedSmall);
        QCOMPARE(leakedSmall->childFrames().size(), 0);

        // 1% of 100 allocations: "small" with 1 sits on the threshold and stays a leaf
        const auto onePercent = build(m_sample.topDown, CostType::Allocations, true, 1);
        QCOMPARE(describeBelowRoot(onePercent.get()),
                 QStringLiteral("main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, "
                                "a 20 {b 20 {a 20 {alloc 20}}}, rec 45 {alloc 45}, small 1}"));

        // 20%: "a" sits on it; the items above it are still expanded
        const auto twentyPercent = build(m_sample.topDown, CostType::Allocations, true, 20);
        QCOMPARE(describeBelowRoot(twentyPercent.get()),
                 QStringLiteral("main 100 {<unresolved function> 34 {<unresolved function> 34 {foo_helper 34 {alloc 34}}}, "
                                "a 20, rec 45 {alloc 45}, small 1}"));

        // the cut-off is relative to the total of the chosen cost: 45% of 1584 bytes
        // is below rec's 720 bytes, 46% is above
        const auto peakBelow = build(m_sample.topDown, CostType::Peak, true, 45);
        const auto *recBelow = findPath(peakBelow.get(), {QStringLiteral("main"), QStringLiteral("rec")});
        QVERIFY(recBelow);
        QVERIFY(!recBelow->childFrames().isEmpty());
        const auto peakAbove = build(m_sample.topDown, CostType::Peak, true, 46);
        const auto *recAbove = findPath(peakAbove.get(), {QStringLiteral("main"), QStringLiteral("rec")});
        QVERIFY(recAbove);
        QVERIFY(recAbove->childFrames().isEmpty());

        QVERIFY(!build(TreeData(), CostType::Allocations, true, 0));
    }

    void testLayout()
    {
        const auto root = build(m_sample.topDown, CostType::Allocations, true, 0);
        root->setRect(0, 0, 100, 20);
        FlameGraphBuilder::layoutItems(root.get());

        auto *main = childNamed(root.get(), QStringLiteral("main"));
        QVERIFY(main);
        QCOMPARE(main->rect(), QRectF(0, -22, 100, 20));
        QVERIFY(main->isVisible());

        // children share the parent's width by cost, left to right without gaps;
        // "small" would be 1 pixel wide and is hidden
        qreal x = 0;
        for (auto *child : main->childFrames()) {
            if (name(child) == QLatin1String("small")) {
                QVERIFY(!child->isVisible());
                continue;
            }
            QVERIFY(child->isVisible());
            QCOMPARE(child->rect(), QRectF(x, -44, child->cost(), 20));
            x += child->cost();
        }
        QCOMPARE(x, qreal(99));

        auto *rec = childNamed(main, QStringLiteral("rec"));
        auto *recAlloc = childNamed(rec, QStringLiteral("alloc"));
        QVERIFY(recAlloc);
        QCOMPARE(recAlloc->rect(), QRectF(rec->rect().x(), -66, 45, 20));

        // twice the width: now "small" gets 2 pixels and shows
        root->setRect(0, 0, 200, 20);
        FlameGraphBuilder::layoutItems(root.get());
        QVERIFY(childNamed(main, QStringLiteral("small"))->isVisible());
        QCOMPARE(childNamed(main, QStringLiteral("small"))->rect().width(), qreal(2));
    }

    // Clicks zoom and extend the history; back, forward and reset move in it.
    void testHistory()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        auto *root = graph->rootItem();
        auto *view = graph->findChild<QGraphicsView *>();
        const qreal width = view->viewport()->width() - 40;
        QCOMPARE(root->rect().width(), width);
        QCOMPARE(graph->selectionHistory().size(), 1);
        auto *back = control<QToolButton>(*graph, "backButton");
        auto *forward = control<QToolButton>(*graph, "forwardButton");
        QVERIFY(!back->isEnabled());
        QVERIFY(!forward->isEnabled());

        // the current item again: nothing changes
        click(*graph, root);
        QCOMPARE(graph->selectionHistory().size(), 1);
        QCOMPARE(graph->currentHistoryIndex(), 0);

        auto *main = childNamed(root, QStringLiteral("main"));
        auto *rec = childNamed(main, QStringLiteral("rec"));
        auto *a = childNamed(main, QStringLiteral("a"));
        QVERIFY(rec && a);
        click(*graph, rec);
        QCOMPARE(graph->selectionHistory(), (QVector<FrameGraphicsItem *>{root, rec}));
        QCOMPARE(graph->currentHistoryIndex(), 1);
        QVERIFY(back->isEnabled());
        QVERIFY(!forward->isEnabled());
        // zoomed: rec and its ancestors span the width, its siblings are gone
        QCOMPARE(rec->rect().x(), qreal(0));
        QCOMPARE(rec->rect().width(), width);
        QCOMPARE(main->rect().width(), width);
        QVERIFY(!a->isVisible());
        QCOMPARE(childNamed(rec, QStringLiteral("alloc"))->rect().width(), width);
        QCOMPARE(control<QLabel>(*graph, "displayLabel")->text(), QStringLiteral("45 (45%) allocations in rec in app and below."));

        click(*graph, rec);
        QCOMPARE(graph->selectionHistory().size(), 2);

        auto *recAlloc = childNamed(rec, QStringLiteral("alloc"));
        click(*graph, recAlloc);
        QCOMPARE(graph->selectionHistory(), (QVector<FrameGraphicsItem *>{root, rec, recAlloc}));

        QTest::mouseClick(back, Qt::LeftButton);
        QTest::mouseClick(back, Qt::LeftButton);
        QCOMPARE(graph->currentHistoryIndex(), 0);
        QVERIFY(forward->isEnabled());
        QVERIFY(!back->isEnabled());
        QVERIFY(a->isVisible());
        QCOMPARE(root->rect().width(), width);
        graph->navigateBack();
        QCOMPARE(graph->currentHistoryIndex(), 0);

        QTest::mouseClick(forward, Qt::LeftButton);
        QCOMPARE(graph->currentHistoryIndex(), 1);
        QVERIFY(!a->isVisible());

        // a click after going back drops the entries ahead of the current one
        graph->navigateBack();
        click(*graph, a);
        QCOMPARE(graph->selectionHistory(), (QVector<FrameGraphicsItem *>{root, a}));
        QCOMPARE(graph->currentHistoryIndex(), 1);
        QVERIFY(!forward->isEnabled());
        graph->navigateForward();
        QCOMPARE(graph->currentHistoryIndex(), 1);

        // reset goes to the start and keeps the history for going forward again
        auto *reset = graph->actions().last();
        QVERIFY(reset->isEnabled());
        reset->trigger();
        QCOMPARE(graph->currentHistoryIndex(), 0);
        QCOMPARE(graph->selectionHistory().size(), 2);
        QVERIFY(!reset->isEnabled());

        // a resize lays the current entry out for the new width
        graph->resize(600, 400);
        QTRY_COMPARE(root->rect().width(), qreal(view->viewport()->width() - 40));
        QCOMPARE(rec->rect().width(), root->rect().width() * 45 / 100);
    }

    void testSearch_data()
    {
        QTest::addColumn<CostType>("costType");
        QTest::addColumn<bool>("collapse");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("result");

        QTest::newRow("function, any case") << CostType::Allocations << true << QStringLiteral("REC")
                                            << QStringLiteral("45 (45% of total of 100) allocations matched by search.");
        // the outer rec matches; the recursive calls inside it are part of its cost
        QTest::newRow("nested matches count once") << CostType::Allocations << false << QStringLiteral("rec")
                                                   << QStringLiteral("45 (45% of total of 100) allocations matched by search.");
        QTest::newRow("module") << CostType::Allocations << true << QStringLiteral("libfoo")
                                << QStringLiteral("34 (34% of total of 100) allocations matched by search.");
        QTest::newRow("temporary") << CostType::Temporary << true << QStringLiteral("small")
                                   << QStringLiteral("1 (100% of total of 1) allocations matched by search.");
        QTest::newRow("nothing") << CostType::Allocations << true << QStringLiteral("zzz")
                                 << QStringLiteral("0 (0% of total of 100) allocations matched by search.");
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

        // every item is marked: direct matches, their ancestors, the rest
        std::function<bool(FrameGraphicsItem *)> anyMatchBelow = [&](FrameGraphicsItem *parent) {
            const auto children = parent->childFrames();
            return std::any_of(children.begin(), children.end(), [&](FrameGraphicsItem *child) {
                return child->match(search) || anyMatchBelow(child);
            });
        };
        std::function<void(FrameGraphicsItem *)> check = [&](FrameGraphicsItem *item) {
            const auto expected = item->match(search) ? SearchMatchType::DirectMatch
                : anyMatchBelow(item)                 ? SearchMatchType::ChildMatch
                                                      : SearchMatchType::NoMatch;
            QCOMPARE(item->searchMatch(), expected);
            for (auto *child : item->childFrames()) {
                check(child);
            }
        };
        check(graph->rootItem());

        // a rebuild keeps the search
        control<QDoubleSpinBox>(*graph, "costThreshold")->setValue(0);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(label->text(), result);
        check(graph->rootItem());

        // clearing it hides the line and takes every mark away
        control<QLineEdit>(*graph, "searchInput")->clear();
        QVERIFY(label->isHidden());
        std::function<bool(FrameGraphicsItem *)> unmarked = [&](FrameGraphicsItem *item) {
            const auto children = item->childFrames();
            return item->searchMatch() == SearchMatchType::NoSearch && std::all_of(children.begin(), children.end(), unmarked);
        };
        QVERIFY(unmarked(graph->rootItem()));
    }

    void testSearchMatch()
    {
        const auto root = build(m_sample.topDown, CostType::Allocations, true, 0);
        auto *foo = findPath(root.get(), {QStringLiteral("main"), Unresolved, Unresolved, QStringLiteral("foo_helper")});
        QVERIFY(foo->match(QStringLiteral("HELPER")));
        QVERIFY(foo->match(QStringLiteral("/usr/lib")));
        QVERIFY(!foo->match(QStringLiteral("main")));
        auto *unresolved = findPath(root.get(), {QStringLiteral("main"), Unresolved});
        QVERIFY(foo && unresolved);
        QVERIFY(unresolved->match(QStringLiteral("/usr/bin/app")));
        // the root names no function, not even an unresolved one
        QVERIFY(!root->match(QStringLiteral("unresolved")));
        QCOMPARE(root->description(), QStringLiteral("100 allocations in total"));
    }

    // The controls pick the tree and the cost of the next build.
    void testControls()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(name(graph->rootItem()->childFrames().value(0)), QStringLiteral("main"));

        control<QCheckBox>(*graph, "bottomUpCheckBox")->setChecked(true);
        QVERIFY(!graph->rootItem());
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(name(graph->rootItem()->childFrames().value(0)), QStringLiteral("alloc"));

        for (auto type : {CostType::Peak, CostType::Leaked, CostType::Temporary, CostType::Allocations}) {
            selectCostType(*graph, type);
            QTRY_VERIFY(graph->rootItem());
            QCOMPARE(graph->rootItem()->costType(), type);
        }
        selectCostType(*graph, CostType::Leaked);
        QTRY_VERIFY(graph->rootItem());
        QCOMPARE(graph->rootItem()->cost(), int64_t(1584));
        QCOMPARE(graph->rootItem()->label(), QStringLiteral("%1 leaked in total").arg(Util::formatBytes(1584)));

        graph->clearData();
        QVERIFY(!graph->rootItem());
        graph->resize(900, 400);
        QCoreApplication::processEvents();
        finishBuilds();
        QVERIFY(!graph->rootItem());
    }

    void testContextMenu()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        auto *rec = findPath(graph->rootItem(), {QStringLiteral("main"), QStringLiteral("rec")});
        QVERIFY(rec);
        auto *view = graph->findChild<QGraphicsView *>();
        QSignalSpy spy(graph.get(), &FlameGraph::callerCalleeViewRequested);

        Q_EMIT view->customContextMenuRequested(viewportPos(*graph, rec));
        auto *menu = graph->findChild<QMenu *>();
        QVERIFY(menu);
        QStringList texts;
        for (auto *action : menu->actions()) {
            texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        QCOMPARE(texts.mid(0, 3), (QStringList{QStringLiteral("View Caller/Callee"), QStringLiteral("Copy"), QStringLiteral("-")}));
        QCOMPARE(texts.size(), 3 + graph->actions().size());

        menu->actions().at(0)->trigger();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<Symbol>(), rec->symbol());
        menu->actions().at(1)->trigger();
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
        // root and the ten outermost functions, each at 10% and so a leaf
        QCOMPARE(countItems(graph.rootItem()), 11);
        QCOMPARE(sceneFrameCount(graph), 11);
        QCOMPARE(FrameGraphicsItem::liveCount(), before + 11);

        // a clear also discards the build it interrupts
        control<QDoubleSpinBox>(graph, "costThreshold")->setValue(0);
        graph.clearData();
        finishBuilds();
        QVERIFY(!graph.rootItem());
        QCOMPARE(FrameGraphicsItem::liveCount(), before);
    }

    // Draws the sample and looks at the pixels: coloured bars and text on the
    // wide ones, none on the narrow ones.
    void testRendering()
    {
        auto graph = shownGraph();
        QTRY_VERIFY(graph->rootItem());
        QVERIFY(QTest::qWaitForWindowExposed(graph.get()));
        const auto image = graph->grab().toImage();
        const auto path = QDir::temp().filePath(QStringLiteral("memloupe-flamegraph.png"));
        QVERIFY(image.save(path));
        qInfo("flame graph rendered to %s", qPrintable(path));

        auto *view = graph->findChild<QGraphicsView *>();
        const auto viewOrigin = view->viewport()->mapTo(graph.get(), QPoint(0, 0));
        const auto areaOf = [&](const FrameGraphicsItem *item) {
            return view->mapFromScene(item->sceneBoundingRect()).boundingRect().translated(viewOrigin).adjusted(2, 2, -2, -2).intersected(image.rect());
        };
        const auto darkPixels = [&](const QRect &area) {
            int count = 0;
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.left(); x <= area.right(); ++x) {
                    if (qGray(image.pixel(x, y)) < 100) {
                        ++count;
                    }
                }
            }
            return count;
        };

        QSet<QRgb> colors;
        const auto viewArea = QRect(viewOrigin, view->viewport()->size());
        for (int y = viewArea.top(); y <= viewArea.bottom(); y += 2) {
            for (int x = viewArea.left(); x <= viewArea.right(); x += 2) {
                colors.insert(image.pixel(x, y));
            }
        }
        QVERIFY2(colors.size() >= 5, qPrintable(QString::number(colors.size())));

        auto *main = childNamed(graph->rootItem(), QStringLiteral("main"));
        auto *rec = childNamed(main, QStringLiteral("rec"));
        auto *small = childNamed(main, QStringLiteral("small"));
        QVERIFY(rec && small);
        QVERIFY(small->isVisible());
        QVERIFY(darkPixels(areaOf(graph->rootItem())) > 20);
        QVERIFY(darkPixels(areaOf(main)) > 20);
        QVERIFY(darkPixels(areaOf(rec)) > 20);
        QCOMPARE(darkPixels(areaOf(small)), 0);
        // the bar itself is drawn in its palette colour
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
