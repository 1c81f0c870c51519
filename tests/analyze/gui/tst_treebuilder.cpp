/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "analyze/gui/analysis/treebuilder.h"

#include "analysistestutils.h"

using AnalysisTest::cost;

namespace
{
const char RecursionWarning[] = "Trace recursion detected - corrupt data file?";

// Three backtraces, innermost frame first, all charged to "alloc":
//   B0 (16 bytes, twice): alloc <- f:0x10 <- main:0x32 [inlined into startup:0x31] <- __libc_start_main
//   B1 (32 bytes):        alloc <- f:0x14 <- main:0x30
//   B2 (8 bytes, freed at once): alloc <- inl:0x21 [inlined into g:0x20] <- main:0x30
// The string order puts "inl" before "f" although f is met first.
const char ThreeBacktraces[] =
    "v 10500 2\n"
    "s app\n"
    "s main\n"
    "s inl\n"
    "s alloc\n"
    "s app.cpp\n"
    "s g\n"
    "s f\n"
    "s __libc_start_main\n"
    "s startup\n"
    "i 100 1 4 5 1\n"
    "i 200 1 7 5 10\n"
    "i 300 1 7 5 14\n"
    "i 400 1 3 5 21 6 5 20\n"
    "i 500 1 2 5 30\n"
    "i 600 1 8 5 40\n"
    "i 700 1 2 5 32 9 5 31\n"
    "t 6 0\n"
    "t 7 1\n"
    "t 2 2\n"
    "t 1 3\n"
    "t 5 0\n"
    "t 3 5\n"
    "t 1 6\n"
    "t 4 5\n"
    "t 1 8\n"
    "a 10 4\n"
    "a 20 7\n"
    "a 8 9\n"
    "+ 0\n"
    "+ 1\n"
    "+ 2\n"
    "- 2\n"
    "+ 0\n"
    "c 1\n";

const AllocationData B0 = cost(2, 0, 32, 32);
const AllocationData B1 = cost(1, 0, 32, 32);
const AllocationData B2 = cost(1, 1, 0, 0);
const AllocationData B0B1 = cost(3, 0, 64, 64);
const AllocationData B1B2 = cost(2, 1, 32, 32);
const AllocationData All = cost(4, 1, 64, 64);

const RowData *findRow(const QVector<RowData> &rows, const ResultData &resultData, const char *function)
{
    for (const auto &row : rows) {
        if (resultData.string(row.symbol.functionId) == QLatin1String(function)) {
            return &row;
        }
    }
    return nullptr;
}

QStringList names(const QVector<RowData> &rows, const ResultData &resultData)
{
    QStringList ret;
    for (const auto &row : rows) {
        ret.append(resultData.string(row.symbol.functionId));
    }
    return ret;
}

// Strictly ascending symbols on every level, and parent links into the tree itself.
bool checkBottomUpLevel(const QVector<RowData> &rows, const RowData *parent)
{
    for (int i = 0; i < rows.size(); ++i) {
        if (i > 0 && !(rows[i - 1].symbol < rows[i].symbol)) {
            return false;
        }
        if (rows[i].parent != parent || !checkBottomUpLevel(rows[i].children, &rows[i])) {
            return false;
        }
    }
    return true;
}

bool checkParents(const QVector<RowData> &rows, const RowData *parent)
{
    for (const auto &row : rows) {
        if (row.parent != parent || !checkParents(row.children, &row)) {
            return false;
        }
    }
    return true;
}

AllocationData sumOf(const QVector<RowData> &rows)
{
    AllocationData sum;
    for (const auto &row : rows) {
        sum += row.cost;
    }
    return sum;
}

// Counts the log messages and hands them on to the test framework, so that
// QTest::ignoreMessage keeps working.
int s_warnings = 0;
QtMessageHandler s_previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg) {
        ++s_warnings;
    }
    s_previousHandler(type, context, message);
}

struct Merged {
    ParserData data;
    std::shared_ptr<const ResultData> resultData;
    TreeData bottomUp;
    CallerCalleeResults callerCallee;
    QStringList progress;
};

bool readAndMerge(Merged *merged, const QTemporaryDir &dir, const std::string &trace)
{
    if (!AnalysisTest::readTrace(&merged->data, dir, QStringLiteral("trace"), trace)) {
        return false;
    }
    merged->resultData = AnalysisTest::resultDataFor(merged->data);
    auto result = mergeAllocations(
        [merged](const QString &message) {
            merged->progress.append(message);
        },
        merged->data,
        merged->resultData);
    merged->bottomUp = result.first;
    merged->callerCallee = result.second;
    return true;
}
}

class TestTreeBuilder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void testBottomUp()
    {
        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, ThreeBacktraces));
        const auto &resultData = *merged.resultData;
        const auto &rows = merged.bottomUp.rows;
        QCOMPARE(merged.bottomUp.resultData, merged.resultData);

        QVERIFY(checkBottomUpLevel(rows, nullptr));
        QCOMPARE(names(rows, resultData), QStringList{QStringLiteral("alloc")});
        QCOMPARE(rows[0].cost, All);

        // f at two lines is one row; the inlined frames become rows of their own
        const auto &alloc = rows[0];
        QCOMPARE(names(alloc.children, resultData), (QStringList{QStringLiteral("inl"), QStringLiteral("f")}));

        const auto *f = findRow(alloc.children, resultData, "f");
        QCOMPARE(f->cost, B0B1);
        QCOMPARE(names(f->children, resultData), QStringList{QStringLiteral("main")});
        const auto &main = f->children[0];
        QCOMPARE(main.cost, B0B1);
        // main stops the path: the frame inlined at it is the last row, the
        // caller __libc_start_main is not shown
        QCOMPARE(names(main.children, resultData), QStringList{QStringLiteral("startup")});
        QCOMPARE(main.children[0].cost, B0);
        QVERIFY(main.children[0].children.isEmpty());

        const auto *inl = findRow(alloc.children, resultData, "inl");
        QCOMPARE(inl->cost, B2);
        QCOMPARE(names(inl->children, resultData), QStringList{QStringLiteral("g")});
        QCOMPARE(names(inl->children[0].children, resultData), QStringList{QStringLiteral("main")});
        QCOMPARE(inl->children[0].children[0].cost, B2);
        QVERIFY(inl->children[0].children[0].children.isEmpty());

        // the module of an inlined frame is the instruction pointer's
        QCOMPARE(inl->symbol, AnalysisTest::symbolFor(merged.data, "inl", "app"));
        QCOMPARE(inl->children[0].symbol, AnalysisTest::symbolFor(merged.data, "g", "app"));
    }

    void testTopDown()
    {
        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, ThreeBacktraces));
        const auto &resultData = *merged.resultData;
        const auto topDown = toTopDownData(merged.bottomUp);
        const auto &rows = topDown.rows;
        QCOMPARE(topDown.resultData, merged.resultData);
        QVERIFY(checkParents(rows, nullptr));

        QCOMPARE(sumOf(rows), sumOf(merged.bottomUp.rows));

        // outermost callers first, in the order the depth-first walk over the
        // sorted bottom-up tree meets them: the inl branch (B2) before the f
        // branch (B0 ending at startup, then B1 ending at main)
        QCOMPARE(names(rows, resultData), (QStringList{QStringLiteral("main"), QStringLiteral("startup")}));
        const auto &main = rows[0];
        QCOMPARE(main.cost, B1B2);
        QCOMPARE(names(main.children, resultData), (QStringList{QStringLiteral("g"), QStringLiteral("f")}));
        QCOMPARE(main.children[0].cost, B2);
        QCOMPARE(main.children[1].cost, B1);
        const auto &g = main.children[0];
        QCOMPARE(names(g.children, resultData), QStringList{QStringLiteral("inl")});
        QCOMPARE(names(g.children[0].children, resultData), QStringList{QStringLiteral("alloc")});
        QCOMPARE(g.children[0].children[0].cost, B2);
        QVERIFY(g.children[0].children[0].children.isEmpty());

        const auto &startup = rows[1];
        QCOMPARE(startup.cost, B0);
        QCOMPARE(names(startup.children, resultData), QStringList{QStringLiteral("main")});
        QCOMPARE(names(startup.children[0].children, resultData), QStringList{QStringLiteral("f")});
        const auto &startupAlloc = startup.children[0].children[0].children;
        QCOMPARE(names(startupAlloc, resultData), QStringList{QStringLiteral("alloc")});
        QCOMPARE(startupAlloc[0].cost, B0);
        QVERIFY(startupAlloc[0].children.isEmpty());
    }

    // Many allocating functions met in an order unlike their string order: the
    // top level still holds one row per function, in symbol order, with the
    // costs of its call stacks.
    void testManyAllocatingFunctions()
    {
        constexpr uint32_t FUNCTIONS = 60;
        std::string trace = "v 10500 2\ns app\n";
        for (uint32_t i = 0; i < FUNCTIONS; ++i) {
            trace += "s fn" + std::to_string(i) + "\n";
        }
        // function string (i * 7) % 60 + 2 at ip i + 1, a trace and an allocation each
        for (uint32_t i = 0; i < FUNCTIONS; ++i) {
            trace += "i " + AnalysisTest::hex(0x100 + i) + " 1 " + AnalysisTest::hex((i * 7) % FUNCTIONS + 2) + "\n";
        }
        for (uint32_t i = 0; i < FUNCTIONS; ++i) {
            trace += "t " + AnalysisTest::hex(i + 1) + " 0\n";
        }
        for (uint32_t i = 0; i < FUNCTIONS; ++i) {
            trace += "a " + AnalysisTest::hex(i + 1) + " " + AnalysisTest::hex(i + 1) + "\n";
        }
        for (uint32_t i = 0; i < FUNCTIONS; ++i) {
            trace += "+ " + AnalysisTest::hex(i) + "\n";
        }
        trace += "c 1\n";

        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, trace));
        const auto &rows = merged.bottomUp.rows;
        QCOMPARE(rows.size(), int(FUNCTIONS));
        QVERIFY(checkBottomUpLevel(rows, nullptr));
        for (uint32_t i = 0; i < FUNCTIONS; ++i) {
            const auto name = "fn" + std::to_string((i * 7) % FUNCTIONS);
            const auto *row = findRow(rows, *merged.resultData, name.c_str());
            QVERIFY(row);
            QCOMPARE(row->cost, cost(1, 0, i + 1, i + 1));
        }
    }

    void testProgressAfterEveryRecord()
    {
        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, ThreeBacktraces));
        QCOMPARE(merged.progress,
                 (QStringList{QStringLiteral("merging allocations... 33%"),
                              QStringLiteral("merging allocations... 66%"),
                              QStringLiteral("merging allocations... 100%")}));
    }

    void testLoopInParentChain()
    {
        // the allocation at alloc has the parent chain f, g, f, ...; the one at h is fine
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s alloc\n"
            "s f\n"
            "s g\n"
            "s h\n"
            "s app.cpp\n"
            "i 1 1 2 6 1\n"
            "i 2 1 3 6 2\n"
            "i 3 1 4 6 3\n"
            "i 4 1 5 6 4\n"
            "t 1 2\n"
            "t 2 3\n"
            "t 3 2\n"
            "t 4 0\n"
            "a 8 1\n"
            "a 8 4\n"
            "+ 0\n"
            "+ 1\n";

        s_warnings = 0;
        s_previousHandler = qInstallMessageHandler(countingHandler);
        QTest::ignoreMessage(QtWarningMsg, RecursionWarning);
        Merged merged;
        const bool ok = readAndMerge(&merged, m_dir, trace);
        qInstallMessageHandler(s_previousHandler);
        QVERIFY(ok);
        QCOMPARE(s_warnings, 1);

        const auto &resultData = *merged.resultData;
        const auto &rows = merged.bottomUp.rows;
        QCOMPARE(names(rows, resultData), (QStringList{QStringLiteral("alloc"), QStringLiteral("h")}));
        QCOMPARE(names(rows[0].children, resultData), QStringList{QStringLiteral("f")});
        QCOMPARE(names(rows[0].children[0].children, resultData), QStringList{QStringLiteral("g")});
        QVERIFY(rows[0].children[0].children[0].children.isEmpty());
        QCOMPARE(rows[0].children[0].children[0].cost, cost(1, 0, 8, 8));
        QCOMPARE(rows[1].cost, cost(1, 0, 8, 8));
    }

    void testRecursionAndCallerCallee()
    {
        // main -> f:0x14 -> f:0x10 -> alloc, and a backtrace of the single frame solo
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s main\n"
            "s f\n"
            "s alloc\n"
            "s app.cpp\n"
            "s solo\n"
            "i 1 1 2 5 20\n"
            "i 2 1 3 5 14\n"
            "i 3 1 3 5 10\n"
            "i 4 1 4 5 1\n"
            "i 5 1 6 5 30\n"
            "t 1 0\n"
            "t 2 1\n"
            "t 3 2\n"
            "t 4 3\n"
            "t 5 0\n"
            "a 8 4\n"
            "a 20 5\n"
            "+ 0\n"
            "+ 1\n"
            "+ 1\n";
        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, trace));
        const auto &data = merged.data;
        const auto &resultData = *merged.resultData;
        const auto c0 = cost(1, 0, 8, 8);
        const auto c1 = cost(2, 0, 64, 64);

        // the tree shows f at both depths with the full cost
        const auto &rows = merged.bottomUp.rows;
        QCOMPARE(names(rows, resultData), (QStringList{QStringLiteral("alloc"), QStringLiteral("solo")}));
        const auto &outerF = rows[0].children[0].children;
        QCOMPARE(names(rows[0].children, resultData), QStringList{QStringLiteral("f")});
        QCOMPARE(names(outerF, resultData), QStringList{QStringLiteral("f")});
        QCOMPARE(rows[0].children[0].cost, c0);
        QCOMPARE(outerF[0].cost, c0);
        QCOMPARE(names(outerF[0].children, resultData), QStringList{QStringLiteral("main")});

        const auto results = toCallerCalleeData(merged.bottomUp, merged.callerCallee, false);
        QCOMPARE(results.resultData, merged.resultData);
        const auto &entries = results.entries;
        QCOMPARE(entries.size(), 4);
        const auto main = AnalysisTest::symbolFor(data, "main", "app");
        const auto f = AnalysisTest::symbolFor(data, "f", "app");
        const auto alloc = AnalysisTest::symbolFor(data, "alloc", "app");
        const auto solo = AnalysisTest::symbolFor(data, "solo", "app");
        const auto file = AnalysisTest::stringIndex(data, "app.cpp");
        auto at = [file](int line) {
            FileLine location;
            location.fileId.index = file;
            location.line = line;
            return location;
        };

        const auto &fEntry = entries.value(f);
        QCOMPARE(fEntry.inclusiveCost, c0);
        QCOMPARE(fEntry.selfCost, AllocationData());
        QCOMPARE(fEntry.callers, (SymbolCostMap{{main, c0}, {f, c0}}));
        QCOMPARE(fEntry.callees, (SymbolCostMap{{f, c0}, {alloc, c0}}));
        // only the innermost occurrence of f names the line
        QCOMPARE(fEntry.sourceMap.size(), 1);
        QCOMPARE(fEntry.sourceMap.value(at(0x10)).inclusiveCost, c0);
        QCOMPARE(fEntry.sourceMap.value(at(0x10)).selfCost, AllocationData());

        const auto &mainEntry = entries.value(main);
        QCOMPARE(mainEntry.inclusiveCost, c0);
        QCOMPARE(mainEntry.selfCost, AllocationData());
        QVERIFY(mainEntry.callers.isEmpty());
        QCOMPARE(mainEntry.callees, (SymbolCostMap{{f, c0}}));

        const auto &allocEntry = entries.value(alloc);
        QCOMPARE(allocEntry.inclusiveCost, c0);
        QCOMPARE(allocEntry.selfCost, c0);
        QCOMPARE(allocEntry.callers, (SymbolCostMap{{f, c0}}));
        QVERIFY(allocEntry.callees.isEmpty());
        QCOMPARE(allocEntry.sourceMap.size(), 1);
        QCOMPARE(allocEntry.sourceMap.value(at(1)).selfCost, c0);

        const auto &soloEntry = entries.value(solo);
        QCOMPARE(soloEntry.inclusiveCost, c1);
        QCOMPARE(soloEntry.selfCost, c1);
        QVERIFY(soloEntry.callers.isEmpty());
        QVERIFY(soloEntry.callees.isEmpty());
        QCOMPARE(soloEntry.sourceMap.value(at(0x30)).inclusiveCost, c1);
        QCOMPARE(soloEntry.sourceMap.value(at(0x30)).selfCost, c1);
    }

    void testEdgeCountedOncePerBacktrace()
    {
        // main -> f -> g -> f -> g -> alloc: the pair f -> g occurs twice
        const char trace[] =
            "v 10500 2\n"
            "s app\n"
            "s main\n"
            "s f\n"
            "s g\n"
            "s alloc\n"
            "i 1 1 2 0 0\n"
            "i 2 1 3 0 0\n"
            "i 3 1 4 0 0\n"
            "i 4 1 5 0 0\n"
            "t 1 0\n"
            "t 2 1\n"
            "t 3 2\n"
            "t 2 3\n"
            "t 3 4\n"
            "t 4 5\n"
            "a 8 6\n"
            "+ 0\n";
        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, trace));
        const auto results = toCallerCalleeData(merged.bottomUp, merged.callerCallee, false);
        const auto &data = merged.data;
        const auto main = AnalysisTest::symbolFor(data, "main", "app");
        const auto f = AnalysisTest::symbolFor(data, "f", "app");
        const auto g = AnalysisTest::symbolFor(data, "g", "app");
        const auto alloc = AnalysisTest::symbolFor(data, "alloc", "app");
        const auto c = cost(1, 0, 8, 8);

        const auto &fEntry = results.entries.value(f);
        QCOMPARE(fEntry.inclusiveCost, c);
        QCOMPARE(fEntry.callers, (SymbolCostMap{{main, c}, {g, c}}));
        QCOMPARE(fEntry.callees, (SymbolCostMap{{g, c}}));
        const auto &gEntry = results.entries.value(g);
        QCOMPARE(gEntry.inclusiveCost, c);
        QCOMPARE(gEntry.callers, (SymbolCostMap{{f, c}}));
        QCOMPARE(gEntry.callees, (SymbolCostMap{{f, c}, {alloc, c}}));
    }

    void testSourceMapPerLine()
    {
        Merged merged;
        QVERIFY(readAndMerge(&merged, m_dir, ThreeBacktraces));
        const auto &data = merged.data;
        const auto results = toCallerCalleeData(merged.bottomUp, merged.callerCallee, false);
        const auto file = AnalysisTest::stringIndex(data, "app.cpp");
        auto at = [file](int line) {
            FileLine location;
            location.fileId.index = file;
            location.line = line;
            return location;
        };
        auto sourceMap = [&](const char *function) {
            return results.entries.value(AnalysisTest::symbolFor(data, function, "app")).sourceMap;
        };

        const auto f = sourceMap("f");
        QCOMPARE(f.size(), 2);
        QCOMPARE(f.value(at(0x10)).inclusiveCost, B0);
        QCOMPARE(f.value(at(0x14)).inclusiveCost, B1);
        QCOMPARE(f.value(at(0x10)).selfCost, AllocationData());

        const auto main = sourceMap("main");
        QCOMPARE(main.size(), 2);
        QCOMPARE(main.value(at(0x32)).inclusiveCost, B0);
        QCOMPARE(main.value(at(0x30)).inclusiveCost, B1B2);

        QCOMPARE(sourceMap("g").value(at(0x20)).inclusiveCost, B2);
        QCOMPARE(sourceMap("inl").value(at(0x21)).inclusiveCost, B2);
        QCOMPARE(sourceMap("startup").value(at(0x31)).inclusiveCost, B0);

        const auto alloc = sourceMap("alloc");
        QCOMPARE(alloc.size(), 1);
        QCOMPARE(alloc.value(at(1)).inclusiveCost, All);
        QCOMPARE(alloc.value(at(1)).selfCost, All);
    }

    void testDiffModeDropsCancelledEntries()
    {
        // this run: alloc <- f <- main; the base: alloc <- f <- g, with its own string order
        const char current[] =
            "v 10500 2\n"
            "s app\n"
            "s main\n"
            "s f\n"
            "s alloc\n"
            "s app.cpp\n"
            "i 1 1 2 5 3\n"
            "i 2 1 3 5 2\n"
            "i 3 1 4 5 1\n"
            "t 1 0\n"
            "t 2 1\n"
            "t 3 2\n"
            "a 10 3\n"
            "+ 0\n";
        const char base[] =
            "v 10500 2\n"
            "s app.cpp\n"
            "s alloc\n"
            "s app\n"
            "s f\n"
            "s g\n"
            "i 1 3 5 1 4\n"
            "i 2 3 4 1 2\n"
            "i 3 3 2 1 1\n"
            "t 1 0\n"
            "t 2 1\n"
            "t 3 2\n"
            "a 10 3\n"
            "+ 0\n";
        ParserData data;
        ParserData baseData;
        QVERIFY(AnalysisTest::readTrace(&data, m_dir, QStringLiteral("current"), current));
        QVERIFY(AnalysisTest::readTrace(&baseData, m_dir, QStringLiteral("base"), base));
        data.subtractBase(baseData);

        const auto resultData = AnalysisTest::resultDataFor(data);
        const auto merged = mergeAllocations({}, data, resultData);
        const auto main = AnalysisTest::symbolFor(data, "main", "app");
        const auto g = AnalysisTest::symbolFor(data, "g", "app");
        const auto f = AnalysisTest::symbolFor(data, "f", "app");
        const auto alloc = AnalysisTest::symbolFor(data, "alloc", "app");
        const auto c = cost(1, 0, 16, 16);

        const auto diffed = toCallerCalleeData(merged.first, merged.second, true);
        QCOMPARE(diffed.entries.size(), 2);
        QCOMPARE(diffed.entries.value(main).inclusiveCost, c);
        QCOMPARE(diffed.entries.value(g).inclusiveCost, AllocationData() - c);
        QVERIFY(!diffed.entries.contains(f));
        QVERIFY(!diffed.entries.contains(alloc));

        const auto kept = toCallerCalleeData(merged.first, merged.second, false);
        QCOMPARE(kept.entries.size(), 4);
        QCOMPARE(kept.entries.value(f).inclusiveCost, AllocationData());
        QCOMPARE(kept.entries.value(alloc).selfCost, AllocationData());
        // the edges still carry what flowed along them
        QCOMPARE(kept.entries.value(f).callers, (SymbolCostMap{{main, c}, {g, AllocationData() - c}}));
    }

private:
    QTemporaryDir m_dir;
};

MEMLOUPE_ANALYSIS_TEST_MAIN(TestTreeBuilder)

#include "tst_treebuilder.moc"
