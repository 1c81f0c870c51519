/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The main window end to end over hand-written traces: loading, diffs,
    errors, re-runs, the summary texts, the stacks dock, navigation between
    the views and to an editor, and closing while an analysis runs.
    Run with QT_QPA_PLATFORM=offscreen.
*/

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsView>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <KCollapsibleGroupBox>
#include <KConfigGroup>
#include <KLocalizedString>
#include <KMessageWidget>
#include <KRecentFilesAction>
#include <KSharedConfig>
#include <KUrlRequester>
#include <ThreadWeaver/Queue>

#include "analyze/gui/analysis/parser.h"
#include "analyze/gui/analysis/util.h"
#include "analyze/gui/app/mainwindow.h"
#include "analyze/gui/models/chartmodel.h"
#include "analyze/gui/models/treemodel.h"
#include "analyze/gui/widgets/chartwidget.h"
#include "analyze/gui/widgets/flamegraph.h"
#include "testutils.h"

namespace
{
const QChar ZERO_WIDTH_SPACE(0x200B);
constexpr int64_t UNFILTERED = std::numeric_limits<int64_t>::max();

// strings: 1 /usr/bin/app, 2 main, 3 <sourceDir>/main.cpp, 4 Parser::parse, 5 <sourceDir>/parser.cpp,
//          6 allocBuffer, 7 /usr/lib/libbuf.so, 8 /nonexistent/buffer.cpp, 9 makeTemp
// ips: 1 main main.cpp:10, 2 parse parser.cpp:20, 3 allocBuffer buffer.cpp:30, 4 makeTemp main.cpp:40
// traces: 1 main, 2 main>parse, 3 main>parse>allocBuffer, 4 main>makeTemp
// infos: 0 1024 B allocBuffer, 1 32 B makeTemp, 2 16 B parse
std::string tables(const QString &sourceDir, const std::string &debuggee)
{
    const auto dir = sourceDir.toStdString();
    std::string text = "v 10500 3\nX " + debuggee + "\nI 1000 100000\n";
    for (const auto &s : {std::string("/usr/bin/app"),
                          std::string("main"),
                          dir + "/main.cpp",
                          std::string("Parser::parse"),
                          dir + "/parser.cpp",
                          std::string("allocBuffer"),
                          std::string("/usr/lib/libbuf.so"),
                          std::string("/nonexistent/buffer.cpp"),
                          std::string("makeTemp")}) {
        text += ::s(s);
    }
    text += "i 1000 1 2 3 a\ni 2000 1 4 5 14\ni 3000 7 6 8 1e\ni 4000 1 9 3 28\n";
    text += "t 1 0\nt 2 1\nt 3 2\nt 4 1\n";
    text += "a 400 3\na 20 4\na 10 2\n";
    return text;
}

// 6 allocations, 2 temporary (makeTemp), 1056 B leaked (1024 allocBuffer + 32 parse),
// peak 2064 B at 100 ms, total time 401 ms.
std::string sampleTrace(const QString &sourceDir, const std::string &debuggee = "./app --run")
{
    return tables(sourceDir, debuggee) + "+ 0\n+ 1\n- 1\nc 64\n+ 0\n+ 2\nR 10\nc c8\n- 0\n+ 1\n- 1\nc 12c\n+ 2\nc 190\n";
}

std::string diffBaseTrace(const QString &sourceDir)
{
    return tables(sourceDir, "./app --old") + "+ 0\n+ 1\n- 1\nc 64\n";
}

// Enough events that the chart pass is still busy for a while after the first results.
std::string largeTrace(const QString &sourceDir, int events)
{
    std::string text = tables(sourceDir, "./big");
    text.reserve(text.size() + static_cast<std::size_t>(events) * 12);
    for (int i = 0; i < events; ++i) {
        text += "+ 0\n+ 1\n- 1\n";
        if (i % 100 == 0) {
            text += "c " + hex(i / 100) + "\n";
        }
    }
    return text;
}

// 1000 allocations of which 333 are temporary, over exactly one second.
std::string thousandAllocationsTrace(const QString &sourceDir)
{
    std::string text = tables(sourceDir, "./thousand");
    for (int i = 0; i < 333; ++i) {
        text += "+ 1\n- 1\n";
    }
    for (int i = 0; i < 667; ++i) {
        text += "+ 2\n";
    }
    return text + "c 3e7\n";
}

template<typename T>
T *child(const QObject *parent, const char *name)
{
    auto *object = parent->findChild<T *>(QLatin1String(name));
    if (!object) {
        qWarning("no child %s", name);
    }
    return object;
}

// Runs the event loop until the window's analysis is over: the parser reports
// not running only once finished or failedToOpen has been handled.
// A cancel or a new load replaces the window's parser while this waits and
// deletes the old one later: the one held is looked up again once it is gone.
bool waitForAnalysis(const MainWindow &window, int timeout = 60000)
{
    QPointer<Parser> parser = window.findChild<Parser *>();
    if (!parser) {
        return false;
    }
    const auto running = [&]() {
        if (!parser) {
            parser = window.findChild<Parser *>();
        }
        return parser && parser->isRunning();
    };
    QElapsedTimer timer;
    timer.start();
    while (running() && timer.elapsed() < timeout) {
        QTest::qWait(10);
    }
    return !running();
}

void drainBackgroundWork()
{
    ThreadWeaver::Queue::instance()->finish();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

struct Tabs {
    explicit Tabs(const MainWindow &window)
        : widget(child<QTabWidget>(&window, "tabWidget"))
    {
    }

    bool isEnabled(const QString &title) const
    {
        for (int i = 0; i < widget->count(); ++i) {
            if (KLocalizedString::removeAcceleratorMarker(widget->tabText(i)) == title) {
                return widget->isTabEnabled(i);
            }
        }
        qWarning("no tab %s", qPrintable(title));
        return false;
    }

    QStringList enabledTitles() const
    {
        QStringList titles;
        for (int i = 0; i < widget->count(); ++i) {
            if (widget->isTabEnabled(i)) {
                // the accelerator manager of an active window adds its own marks
                titles << KLocalizedString::removeAcceleratorMarker(widget->tabText(i));
            }
        }
        return titles;
    }

    QTabWidget *widget;
};

const QStringList ALL_TABS = {QStringLiteral("Summary"),
                              QStringLiteral("Bottom-Up"),
                              QStringLiteral("Caller / Callee"),
                              QStringLiteral("Top-Down"),
                              QStringLiteral("Flame Graph"),
                              QStringLiteral("Consumed"),
                              QStringLiteral("Allocations"),
                              QStringLiteral("Temporary Allocations"),
                              QStringLiteral("Sizes")};

struct Recorded {
    QString program;
    QStringList arguments;
    QList<QUrl> openedUrls;
    int starts = 0;
};

void observeNavigation(MainWindow *window, Recorded *recorded)
{
    window->setProcessStarter([recorded](const QString &program, const QStringList &arguments) {
        recorded->program = program;
        recorded->arguments = arguments;
        ++recorded->starts;
        return true;
    });
    window->setUrlOpener([recorded](const QUrl &url) {
        recorded->openedUrls << url;
        return true;
    });
}

KConfigGroup codeNavigationConfig()
{
    return KConfigGroup(KSharedConfig::openConfig(QStringLiteral("memloupe_gui")), "CodeNavigation");
}

QModelIndex findRow(const QAbstractItemModel *model, const QString &prefix, int role = Qt::DisplayRole)
{
    for (int row = 0; row < model->rowCount(); ++row) {
        const auto index = model->index(row, 0);
        if (index.data(role).toString().startsWith(prefix)) {
            return index;
        }
    }
    return {};
}
}

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_configHome.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
        QVERIFY(m_dir.isValid());
        m_sourceDir = m_dir.path();
        QFile mainSource(m_dir.filePath(QStringLiteral("main.cpp")));
        QVERIFY(mainSource.open(QIODevice::WriteOnly));
        m_trace = write("memloupe.app.1", sampleTrace(m_sourceDir));
        m_base = write("memloupe.app.2", diffBaseTrace(m_sourceDir));
        m_savedPath = qgetenv("PATH");
    }

    void init()
    {
        codeNavigationConfig().deleteGroup();
    }

    void cleanup()
    {
        qputenv("PATH", m_savedPath);
        drainBackgroundWork();
    }

    void testLoadFillsEveryTab()
    {
        MainWindow window;
        window.show();
        window.loadFile(m_trace);
        auto *pages = child<QStackedWidget>(&window, "pages");
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        QCOMPARE(child<QLabel>(&window, "loadingLabel")->text(), QStringLiteral("Loading file %1, please wait...").arg(m_trace));
        QVERIFY(waitForAnalysis(window));

        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe - memloupe.app.1"));
        QCOMPARE(Tabs(window).enabledTitles(), ALL_TABS);
        // the progress widgets went back to the loading page
        QCOMPARE(child<QProgressBar>(&window, "loadingProgress")->parentWidget()->objectName(), QStringLiteral("loadingPage"));
        QVERIFY(child<KMessageWidget>(&window, "messages")->isHidden());

        // allocBuffer, makeTemp and Parser::parse allocate; main only calls
        QCOMPARE(child<QTreeView>(&window, "bottomUpResults")->model()->rowCount(), 3);
        QCOMPARE(child<QTreeView>(&window, "topDownResults")->model()->rowCount(), 1);
        QCOMPARE(child<QTreeView>(&window, "callerCalleeResults")->model()->rowCount(), 4);
        // the flame graph is built in the background once it is shown
        auto *flameGraph = child<FlameGraph>(&window, "flameGraphTab");
        Tabs(window).widget->setCurrentWidget(flameGraph);
        QTRY_VERIFY(flameGraph->rootItem());
        QCOMPARE(child<QTreeView>(&window, "topLeaked")->model()->rowCount(), 2);
        QCOMPARE(child<QTreeView>(&window, "topTemporary")->model()->rowCount(), 1);
        const auto charts = window.findChildren<ChartModel *>();
        QCOMPARE(charts.size(), 3);
        for (const auto *chart : charts) {
            QVERIFY(chart->rowCount() > 0);
        }

        // the seven built-in rules are listed even though none matched
        QVERIFY(!child<KCollapsibleGroupBox>(&window, "suppressionBox")->isHidden());
        QCOMPARE(child<QTreeView>(&window, "suppressionsView")->model()->rowCount(), 7);

        QVERIFY(child<QAction>(&window, "file_open")->isEnabled());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());
        QVERIFY(!child<QAction>(&window, "actionResetFilter")->isEnabled());
        QVERIFY(child<QAction>(&window, "actionDisableBuiltinSuppressions")->isEnabled());
    }

    void testDiffLoad()
    {
        MainWindow window;
        window.loadFile(m_trace, m_base);
        QVERIFY(waitForAnalysis(window));

        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe - memloupe.app.1 compared to memloupe.app.2"));
        // no charts for a diff, but the differential flame graph
        QCOMPARE(Tabs(window).enabledTitles(),
                 QStringList({QStringLiteral("Summary"),
                              QStringLiteral("Bottom-Up"),
                              QStringLiteral("Caller / Callee"),
                              QStringLiteral("Top-Down"),
                              QStringLiteral("Flame Graph"),
                              QStringLiteral("Sizes")}));
        QVERIFY(child<QTreeView>(&window, "bottomUpResults")->model()->rowCount() > 0);
        window.show();
        auto *flameGraph = child<FlameGraph>(&window, "flameGraphTab");
        Tabs(window).widget->setCurrentWidget(flameGraph);
        QTRY_VERIFY(flameGraph->rootItem());
        QVERIFY(flameGraph->rootItem()->isDiff());
        QVERIFY(!flameGraph->rootItem()->childFrames().isEmpty());
        QVERIFY(child<QLabel>(flameGraph, "legendLabel")->isVisible());
        // a failed export shows in the window
        Q_EMIT flameGraph->exportFailed(QStringLiteral("Could not write /x.svg: Permission denied"));
        QVERIFY(child<KMessageWidget>(&window, "messages")->isVisible());
        QCOMPARE(child<KMessageWidget>(&window, "messages")->text(), QStringLiteral("Could not write /x.svg: Permission denied"));

        // diff data cannot be re-run: the switches are off and a request changes nothing
        auto *builtin = child<QAction>(&window, "actionDisableBuiltinSuppressions");
        QVERIFY(!builtin->isEnabled());
        QVERIFY(!child<QAction>(&window, "actionDisableEmbeddedSuppressions")->isEnabled());
        QVERIFY(!child<QAction>(&window, "actionResetFilter")->isEnabled());
        Q_EMIT window.findChildren<ChartWidget *>().first()->filterRequested(100, 200);
        window.reparse(0, 300);
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        QVERIFY(!window.findChild<Parser *>()->isRunning());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());
        // counts of a difference, without rates over a difference of run times
        const QString center = child<QLabel>(&window, "summaryCenter")->text();
        QVERIFY2(center.contains(QLatin1String("compared to base")), qPrintable(center));
        QVERIFY2(!center.contains(QLatin1String("/s)")), qPrintable(center));

        // a plain load afterwards brings the flame graph and the switches back
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(Tabs(window).enabledTitles(), ALL_TABS);
        QVERIFY(builtin->isEnabled());
    }

    // A re-run keeps the flame graph zoomed on the function it showed.
    void testFlameGraphZoomKeptOnReparse()
    {
        MainWindow window;
        window.show();
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        auto *flameGraph = child<FlameGraph>(&window, "flameGraphTab");
        Tabs(window).widget->setCurrentWidget(flameGraph);
        QTRY_VERIFY(flameGraph->rootItem());
        auto *outer = flameGraph->rootItem()->childFrames().value(0);
        QVERIFY(outer && !outer->childFrames().isEmpty());
        auto *inner = outer->childFrames().first();
        auto *view = flameGraph->findChild<QGraphicsView *>();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->mapFromScene(inner->sceneBoundingRect().center()));
        const auto path = flameGraph->zoomPath();
        QCOMPARE(path, (QVector<Symbol>{outer->symbol(), inner->symbol()}));

        window.reparse(0, std::numeric_limits<int64_t>::max());
        QVERIFY(waitForAnalysis(window));
        QTRY_VERIFY(flameGraph->rootItem());
        QTRY_COMPARE(flameGraph->zoomPath(), path);
        QCOMPARE(flameGraph->currentHistoryIndex(), 1);
    }

    void testOpenPageValidation()
    {
        MainWindow window;
        auto *openFile = child<KUrlRequester>(&window, "openFile");
        auto *compareTo = child<KUrlRequester>(&window, "compareTo");
        auto *suppressions = child<KUrlRequester>(&window, "suppressions");
        auto *messages = child<KMessageWidget>(&window, "messages");
        auto *open = child<QDialogButtonBox>(&window, "buttonBox")->button(QDialogButtonBox::Open);
        QVERIFY(!open->isEnabled());

        openFile->setText(m_trace);
        QVERIFY(open->isEnabled());
        QVERIFY(messages->isHidden());

        const auto missing = m_dir.filePath(QStringLiteral("missing"));
        compareTo->setText(missing);
        QVERIFY(!open->isEnabled());
        QVERIFY(!messages->isHidden());
        QCOMPARE(messages->text(), QStringLiteral("Input data %1 does not exist.").arg(missing));

        compareTo->setText(m_dir.path());
        QVERIFY(!open->isEnabled());
        QCOMPARE(messages->text(), QStringLiteral("Input data %1 is not a file.").arg(m_dir.path()));

        if (geteuid() != 0) {
            const auto unreadable = write("unreadable", "leak:x\n");
            QVERIFY(QFile::setPermissions(unreadable, QFileDevice::WriteOwner));
            compareTo->clear();
            suppressions->setText(unreadable);
            QVERIFY(!open->isEnabled());
            QCOMPARE(messages->text(), QStringLiteral("Input data %1 is not readable.").arg(unreadable));
        }

        // an empty data file field disables Open without a message
        compareTo->clear();
        suppressions->clear();
        openFile->clear();
        QVERIFY(!open->isEnabled());
        QVERIFY(messages->isHidden());

        // the suppression file vanishes between validation and Open
        const auto vanishing = write("vanishing.supp", "leak:allocBuffer\n");
        openFile->setText(m_trace);
        suppressions->setText(vanishing);
        QVERIFY(open->isEnabled());
        QVERIFY(QFile::remove(vanishing));
        open->click();
        QCOMPARE(messages->text(), QStringLiteral("Failed to parse suppression file."));
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));
        QVERIFY(!window.findChild<Parser *>()->isRunning());

        // a readable one is applied to the load the button starts
        write("vanishing.supp", "leak:allocBuffer\n");
        open->click();
        QVERIFY(waitForAnalysis(window));
        QVERIFY(child<QLabel>(&window, "summaryRight")->text().contains(QStringLiteral("(%1 suppressed)").arg(Util::formatBytes(1024))));
    }

    void testFailedLoad()
    {
        MainWindow window;
        const auto corrupt = write("memloupe.corrupt.1", "v 10500 4\nX ./app\n");
        window.loadFile(corrupt);
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));
        auto *messages = child<KMessageWidget>(&window, "messages");
        QVERIFY(!messages->isHidden());
        QCOMPARE(messages->text(), QStringLiteral("Failed to parse file %1.").arg(corrupt));
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe"));
        QVERIFY(child<QAction>(&window, "file_open")->isEnabled());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());
        QCOMPARE(child<QProgressBar>(&window, "loadingProgress")->parentWidget()->objectName(), QStringLiteral("loadingPage"));

        // a good file afterwards loads normally and hides the old error
        window.loadFile(m_trace);
        QVERIFY(messages->isHidden());
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(Tabs(window).enabledTitles(), ALL_TABS);

        // a missing base fails the diff the same way
        const auto missing = m_dir.filePath(QStringLiteral("memloupe.gone.1"));
        window.loadFile(m_trace, missing);
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(messages->text(), QStringLiteral("Failed to parse file %1.").arg(missing));
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe"));
        // and a base that is no trace is named as well, not the file compared with it
        window.loadFile(m_trace, corrupt);
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(messages->text(), QStringLiteral("Failed to parse file %1.").arg(corrupt));
    }

    void testReparseAndResetFilter()
    {
        MainWindow window;
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        auto *resetFilter = child<QAction>(&window, "actionResetFilter");
        auto *pages = child<QStackedWidget>(&window, "pages");
        auto *left = child<QLabel>(&window, "summaryLeft");
        auto *right = child<QLabel>(&window, "summaryRight");

        Q_EMIT window.findChildren<ChartWidget *>().at(1)->filterRequested(100, 300);
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        QCOMPARE(child<QLabel>(&window, "loadingLabel")->text(), QStringLiteral("Reparsing file, please wait..."));
        QVERIFY(!child<QAction>(&window, "file_close")->isEnabled());
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        QVERIFY(resetFilter->isEnabled());
        QVERIFY(left->text().contains(QStringLiteral("filtered from %1 to %2 (%3)").arg(Util::formatTime(100), Util::formatTime(300), Util::formatTime(200))));
        // from 100 ms up to the stamp at 300 ms: +1024 +16 -1024 +32 -32
        QVERIFY(right->text().contains(QStringLiteral("<dt><b>memory consumption delta</b>:</dt><dd>%1</dd>").arg(Util::formatBytes(16))));
        QVERIFY(!right->text().contains(QStringLiteral("total memory leaked")));
        // the leak list holds the same delta there
        auto *leakTitle = child<QLabel>(&window, "topLeakedTitle");
        QCOMPARE(leakTitle->text(), QStringLiteral("Largest Memory Consumption Delta"));

        resetFilter->trigger();
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(leakTitle->text(), QStringLiteral("Largest Memory Leaks"));
        QVERIFY(!resetFilter->isEnabled());
        QVERIFY(!left->text().contains(QStringLiteral("filtered")));
        QVERIFY(right->text().contains(QStringLiteral("total memory leaked")));
        QVERIFY(right->text().contains(Util::formatBytes(1056)));

        // a suppression switch re-runs as well, with the rule set it names
        child<QAction>(&window, "actionDisableBuiltinSuppressions")->trigger();
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        QVERIFY(child<KCollapsibleGroupBox>(&window, "suppressionBox")->isHidden());
    }

    void testNoDeadEndWhileRunning()
    {
        MainWindow window;
        const auto big = write("memloupe.big.1", largeTrace(m_sourceDir, 100000));
        auto *pages = child<QStackedWidget>(&window, "pages");
        auto *builtin = child<QAction>(&window, "actionDisableBuiltinSuppressions");

        // before any file the switch only stores its state
        builtin->trigger();
        QVERIFY(builtin->isChecked());
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("openPage"));
        QVERIFY(!window.findChild<Parser *>()->isRunning());

        window.loadFile(big);
        // Connected after the window's own handler, so this runs just after the
        // results page came up and certainly before the run finished.
        auto *parser = window.findChild<Parser *>();
        bool checked = false;
        connect(parser, &Parser::bottomUpDataAvailable, this, [&]() {
            checked = true;
            QVERIFY(parser->isRunning());
            QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
            // the user cannot reach the switches or the reset now
            QVERIFY(!builtin->isEnabled());
            QVERIFY(!child<QAction>(&window, "actionDisableEmbeddedSuppressions")->isEnabled());
            QVERIFY(!child<QAction>(&window, "actionResetFilter")->isEnabled());
            // and a chart's request is turned down without leaving the results
            Q_EMIT window.findChildren<ChartWidget *>().first()->filterRequested(0, 10);
            window.reparse(0, 5);
            QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        });
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        // and neither does a request while the loading page is up
        window.reparse(0, 5);
        QCOMPARE(child<QLabel>(&window, "loadingLabel")->text(), QStringLiteral("Loading file %1, please wait...").arg(big));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(checked);
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        QVERIFY(builtin->isEnabled());
        QVERIFY(builtin->isChecked());
        // the stored switch reached the load: no built-in rules were applied
        QVERIFY(child<KCollapsibleGroupBox>(&window, "suppressionBox")->isHidden());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());
        QVERIFY(!child<QLabel>(&window, "summaryLeft")->text().contains(QStringLiteral("filtered")));
    }

    void testCloseFileClearsViews()
    {
        MainWindow window;
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        child<KUrlRequester>(&window, "openFile")->setText(m_trace);
        Tabs tabs(window);
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "topDownTab"));

        auto *openAction = child<QAction>(&window, "file_open");
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe - memloupe.app.1"));
        openAction->trigger();
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));
        // the title names no file once none is shown
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe"));
        QVERIFY(tabs.enabledTitles().isEmpty());
        QCOMPARE(tabs.widget->currentWidget()->objectName(), QStringLiteral("summaryTab"));
        QVERIFY(!openAction->isEnabled());
        for (const char *view : {"bottomUpResults", "topDownResults", "callerCalleeResults", "topPeak", "callerView", "locationView", "stacksTree"}) {
            QCOMPARE(child<QTreeView>(&window, view)->model()->rowCount(), 0);
        }
        QVERIFY(!child<FlameGraph>(&window, "flameGraphTab")->rootItem());
        for (const auto *chart : window.findChildren<ChartModel *>()) {
            QCOMPARE(chart->rowCount(), 0);
        }
        QCOMPARE(child<KUrlRequester>(&window, "openFile")->text(), m_trace);

        // closing during a run abandons it: nothing of it reaches the emptied views
        window.loadFile(write("memloupe.big.2", largeTrace(m_sourceDir, 50000)));
        window.closeFile();
        QVERIFY(!window.findChild<Parser *>()->isRunning());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());
        drainBackgroundWork();
        QTest::qWait(50);
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));
        QCOMPARE(child<QTreeView>(&window, "bottomUpResults")->model()->rowCount(), 0);
        QVERIFY(tabs.enabledTitles().isEmpty());
        QVERIFY(child<KMessageWidget>(&window, "messages")->isHidden());
        QVERIFY(child<QAction>(&window, "actionDisableEmbeddedSuppressions")->isEnabled());

        // File > Open is still offered during a re-run and abandons it the same way
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        window.reparse(100, 300);
        QVERIFY(window.findChild<Parser *>()->isRunning());
        QVERIFY(openAction->isEnabled());
        openAction->trigger();
        drainBackgroundWork();
        QTest::qWait(50);
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));
        QCOMPARE(child<QTreeView>(&window, "bottomUpResults")->model()->rowCount(), 0);
        QCOMPARE(child<QProgressBar>(&window, "loadingProgress")->parentWidget()->objectName(), QStringLiteral("loadingPage"));
    }

    void testStacksDock()
    {
        MainWindow window;
        window.resize(1200, 800);
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        auto *dock = child<QDockWidget>(&window, "stacksDock");
        auto *spinner = child<QSpinBox>(&window, "stackSpinner");
        auto *stacksTree = child<QTreeView>(&window, "stacksTree");
        QVERIFY(dock->isHidden());

        Tabs tabs(window);
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "topDownTab"));
        QVERIFY(!dock->isHidden());
        QCOMPARE(stacksTree->model()->rowCount(), 0);

        // main reaches two leaves: allocBuffer (through Parser::parse) and makeTemp
        auto *topDown = child<QTreeView>(&window, "topDownResults");
        topDown->setCurrentIndex(topDown->model()->index(0, 0));
        QCOMPARE(spinner->suffix(), QStringLiteral(" / 2"));
        QCOMPARE(spinner->minimum(), 1);
        QCOMPARE(spinner->maximum(), 2);
        QCOMPARE(spinner->value(), 1);
        QCOMPARE(stacksTree->model()->rowCount(), 3);

        spinner->setValue(2);
        QCOMPARE(stacksTree->model()->rowCount(), 2);
        const int rows = stacksTree->model()->rowCount();
        QString expected;
        for (int row = 0; row < rows; ++row) {
            expected += stacksTree->model()->index(row, 0).data().toString() + QLatin1Char('\n');
        }
        stacksTree->selectAll();
        // each view copies its own rows: the one with the focus
        stacksTree->setFocus();
        QApplication::clipboard()->clear();
        QTest::keySequence(&window, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), expected);

        // a bottom-up row with a single caller chain
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "bottomUpTab"));
        auto *bottomUp = child<QTreeView>(&window, "bottomUpResults");
        const auto makeTemp = findRow(bottomUp->model(), QStringLiteral("makeTemp"));
        QVERIFY(makeTemp.isValid());
        bottomUp->setCurrentIndex(makeTemp);
        QCOMPARE(spinner->suffix(), QStringLiteral(" / 1"));
        QCOMPARE(stacksTree->model()->rowCount(), 2);

        tabs.widget->setCurrentWidget(child<QWidget>(&window, "summaryTab"));
        QVERIFY(dock->isHidden());

        // A re-run replaces the tree the stacks point into; the row is found
        // again in the new tree and the dock shows its stacks there.
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "bottomUpTab"));
        QVERIFY(stacksTree->model()->rowCount() > 0);
        window.reparse(0, 300);
        QVERIFY(waitForAnalysis(window));
        QVERIFY(!dock->isHidden());
        QCOMPARE(bottomUp->currentIndex().data().toString(), QStringLiteral("makeTemp in app"));
        QCOMPARE(spinner->suffix(), QStringLiteral(" / 1"));
        QCOMPARE(stacksTree->model()->index(0, 0).data().toString(), QStringLiteral("makeTemp in app"));

        // a filter that hides the row takes its stacks away; one that keeps it keeps them
        auto *moduleFilter = bottomUp->parentWidget()->findChildren<QLineEdit *>().at(1);
        QCOMPARE(moduleFilter->placeholderText(), QStringLiteral("filter by module..."));
        moduleFilter->setText(QStringLiteral("/usr/bin"));
        QCOMPARE(bottomUp->currentIndex().data().toString(), QStringLiteral("makeTemp in app"));
        QCOMPARE(stacksTree->model()->rowCount(), 2);
        moduleFilter->setText(QStringLiteral("libbuf"));
        QVERIFY(!bottomUp->currentIndex().isValid());
        QCOMPARE(stacksTree->model()->rowCount(), 0);
        QCOMPARE(spinner->suffix(), QStringLiteral(" / 0"));
        moduleFilter->clear();

        // the same on the top-down tree, whose rows have children
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "topDownTab"));
        topDown->setCurrentIndex(topDown->model()->index(0, 0, topDown->model()->index(0, 0)));
        QVERIFY(stacksTree->model()->rowCount() > 0);
        topDown->parentWidget()->findChildren<QLineEdit *>().at(0)->setText(QStringLiteral("nothing like it"));
        QCOMPARE(stacksTree->model()->rowCount(), 0);
    }

    void testRowsKeptAndCopied()
    {
        MainWindow window;
        window.resize(1400, 900);
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        Tabs tabs(window);

        // every visible column in header order, tab-separated
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "bottomUpTab"));
        auto *bottomUp = child<QTreeView>(&window, "bottomUpResults");
        const auto parse = findRow(bottomUp->model(), QStringLiteral("Parser::parse"));
        bottomUp->setCurrentIndex(parse);
        bottomUp->header()->hideSection(TreeModel::AllocationsColumn);
        bottomUp->setFocus();
        QApplication::clipboard()->clear();
        QTest::keySequence(&window, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("Parser::parse in app\t%1\t%2\t0\n").arg(Util::formatBytes(16), Util::formatBytes(32)));
        bottomUp->header()->showSection(TreeModel::AllocationsColumn);

        // a top list copies its two columns
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "summaryTab"));
        auto *topLeaked = child<QTreeView>(&window, "topLeaked");
        topLeaked->setCurrentIndex(findRow(topLeaked->model(), QStringLiteral("allocBuffer")));
        topLeaked->setFocus();
        QApplication::clipboard()->clear();
        QTest::keySequence(&window, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("allocBuffer in libbuf.so\t%1\n").arg(Util::formatBytes(1024)));

        // the caller/callee table, and its callers of the current function
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "callerCalleeTab"));
        auto *callerCallee = child<QTreeView>(&window, "callerCalleeResults");
        callerCallee->setCurrentIndex(findRow(callerCallee->model(), QStringLiteral("makeTemp")));
        auto *callers = child<QTreeView>(&window, "callerView");
        QCOMPARE(callers->model()->rowCount(), 1);
        callers->setCurrentIndex(callers->model()->index(0, 0));
        callers->setFocus();
        QApplication::clipboard()->clear();
        QTest::keySequence(&window, QKeySequence::Copy);
        QVERIFY2(QApplication::clipboard()->text().startsWith(QLatin1String("main in app\t")), qPrintable(QApplication::clipboard()->text()));
        QCOMPARE(QApplication::clipboard()->text().count(QLatin1Char('\t')), 4);

        // A re-run keeps the place in every view: a time range, then a suppression switch.
        auto *topPeak = child<QTreeView>(&window, "topPeak");
        topPeak->setCurrentIndex(findRow(topPeak->model(), QStringLiteral("allocBuffer")));
        QVERIFY(topPeak->currentIndex().isValid());
        for (int run = 0; run < 2; ++run) {
            if (run == 0) {
                window.reparse(0, 300);
            } else {
                child<QAction>(&window, "actionDisableBuiltinSuppressions")->trigger();
            }
            QVERIFY(waitForAnalysis(window));
            QCOMPARE(bottomUp->currentIndex().data().toString(), QStringLiteral("Parser::parse in app"));
            QCOMPARE(topLeaked->currentIndex().data().toString(), QStringLiteral("allocBuffer in libbuf.so"));
            QCOMPARE(topPeak->currentIndex().data().toString(), QStringLiteral("allocBuffer in libbuf.so"));
            QCOMPARE(callerCallee->currentIndex().data().toString(), QStringLiteral("makeTemp in app"));
            // the lists below belong to the function found again
            QCOMPARE(callers->model()->rowCount(), 1);
            QCOMPARE(callers->currentIndex().data().toString(), QStringLiteral("main in app"));
        }
    }

    void testSummaryTexts()
    {
        MainWindow window;
        auto *left = child<QLabel>(&window, "summaryLeft");
        auto *center = child<QLabel>(&window, "summaryCenter");
        auto *right = child<QLabel>(&window, "summaryRight");

        const std::string letters(120, 'a');
        window.loadFile(write("memloupe.long.1", sampleTrace(m_sourceDir, letters + " <x&y>")));
        QVERIFY(waitForAnalysis(window));
        const QString fifty(50, QLatin1Char('a'));
        QVERIFY(left->text().contains(fifty + ZERO_WIDTH_SPACE + fifty + ZERO_WIDTH_SPACE + QString(20, QLatin1Char('a'))
                                      + QLatin1String(" &lt;x&amp;y&gt;</dd>")));
        QVERIFY(left->text().contains(QStringLiteral("<dt><b>total runtime</b>:</dt><dd>%1</dd>").arg(Util::formatTime(401))));
        QVERIFY(left->text().contains(Util::formatBytes(4096LL * 0x100000)));
        // 6 in 0.401 s, 2 of them temporary
        QVERIFY(center->text().contains(QStringLiteral("<dd>6 (14/s)</dd>")));
        QVERIFY(center->text().contains(QStringLiteral("<dd>2 (33.33%, 4/s)</dd>")));
        QVERIFY(right->text().contains(QStringLiteral("%1 after %2").arg(Util::formatBytes(2064), Util::formatTime(100))));
        QVERIFY(right->text().contains(Util::formatBytes(16 * 4096)));
        QVERIFY(right->text().contains(QStringLiteral("<dd>%1</dd>").arg(Util::formatBytes(1056))));

        // counts and rates grouped as the locale does, as in the tooltips
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        window.loadFile(write("memloupe.thousand.1", thousandAllocationsTrace(m_sourceDir)));
        QVERIFY(waitForAnalysis(window));
        QVERIFY2(center->text().contains(QStringLiteral("<dd>1,000 (1,000/s)</dd>")), qPrintable(center->text()));
        QVERIFY(center->text().contains(QStringLiteral("<dd>333 (33.3%, 333/s)</dd>")));
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        window.reparse(0, 1000);
        QVERIFY(waitForAnalysis(window));
        QVERIFY2(center->text().contains(QStringLiteral("<dd>1.000 (1.000/s)</dd>")), qPrintable(center->text()));
        QLocale::setDefault(QLocale::c());
        window.reparse(0, UNFILTERED);
        QVERIFY(waitForAnalysis(window));

        // a range of 0 ms has no rate
        window.reparse(500, 500);
        QVERIFY(waitForAnalysis(window));
        QVERIFY(left->text().contains(QStringLiteral("filtered from")));
        QVERIFY(!center->text().contains(QStringLiteral("/s")));
        QVERIFY(!center->text().contains(QStringLiteral("inf")));
        QVERIFY(center->text().contains(QStringLiteral("<dd>0 (0%)</dd>")));

        // nothing allocated at all
        window.loadFile(write("memloupe.empty.1", tables(m_sourceDir, "./idle") + "c 10\n"));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(center->text().contains(QStringLiteral("<dd>0 (0/s)</dd>")));
        QVERIFY(center->text().contains(QStringLiteral("<dd>0 (0%, 0/s)</dd>")));
        QVERIFY(!center->text().contains(QStringLiteral("nan")));

        // a run attached to a live process says so
        window.loadFile(write("memloupe.attached.1", tables(m_sourceDir, "./daemon") + "A\n+ 0\nc 10\n"));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(left->text().contains(QStringLiteral("./daemon <i>(attached)</i>")));
    }

    // Lines the reader skipped are told above the summary, and a clean file
    // afterwards takes the message away again.
    void testReadProblemsShown()
    {
        MainWindow window;
        auto *problems = child<KMessageWidget>(&window, "readProblems");
        window.loadFile(write("memloupe.bad.1", tables(m_sourceDir, "./bad") + "q 12\nq 13\n+ 0\nc 10\n"));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(!problems->isHidden());
        QVERIFY2(problems->text().contains(QStringLiteral("2 lines could not be read:\n2 unknown records (first at line")), qPrintable(problems->text()));
        QVERIFY(problems->text().contains(QStringLiteral("\"q 12\"")));

        window.loadFile(write("memloupe.clean.1", tables(m_sourceDir, "./clean") + "+ 0\nc 10\n"));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(problems->isHidden());
    }

    void testMissingSymbolsShown()
    {
        MainWindow window;
        auto *missing = child<KMessageWidget>(&window, "missingSymbols");
        const auto stripped = QFINDTESTDATA("../../../data/missing-symbols.trace");
        QVERIFY(!stripped.isEmpty());
        window.loadFile(stripped);
        QVERIFY(waitForAnalysis(window));
        QVERIFY(!missing->isHidden());
        QVERIFY2(missing->text().startsWith(QStringLiteral("libfoo.so.1: 67 % of its frames have no symbols — 20 % of the allocations\n")),
                 qPrintable(missing->text()));
        // libbar.so.2's unnamed frame carries 0.5 % of the allocations only
        QVERIFY(!missing->text().contains(QLatin1String("libbar")));
        QVERIFY(missing->text().contains(QLatin1String("debuginfod")));

        window.loadFile(write("memloupe.named.1", tables(m_sourceDir, "./named") + "+ 0\nc 10\n"));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(missing->isHidden());
    }

    void testFirstAvailableIde()
    {
        QTemporaryDir bin;
        QVERIFY(bin.isValid());
        const auto addExecutable = [&bin](const char *name) {
            QFile file(bin.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n");
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        };
        qputenv("PATH", QFile::encodeName(bin.path()));
        QCOMPARE(CodeNavigation::firstAvailableIde(), -1);
        addExecutable("qtcreator");
        QCOMPARE(CodeNavigation::firstAvailableIde(), int(CodeNavigation::QtCreator));
        addExecutable("gedit");
        addExecutable("kwrite");
        QCOMPARE(CodeNavigation::firstAvailableIde(), int(CodeNavigation::KWrite));
        // a file that is not executable does not count
        QFile plain(bin.filePath(QStringLiteral("kdevelop")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QCOMPARE(CodeNavigation::firstAvailableIde(), int(CodeNavigation::KWrite));

        // the menu enables what is installed and checks the first of it
        MainWindow window;
        QMenu *menu = child<QAction>(&window, "actionCodeNavigation")->menu();
        QVERIFY(menu);
        QStringList enabled;
        QStringList checked;
        for (const auto *action : menu->actions()) {
            if (action->isSeparator()) {
                continue;
            }
            if (action->isEnabled()) {
                enabled << action->text();
            }
            if (action->isChecked()) {
                checked << action->text();
            }
        }
        QCOMPARE(enabled, QStringList({QStringLiteral("KWrite"), QStringLiteral("gedit"), QStringLiteral("Qt Creator"), QStringLiteral("Custom...")}));
        QCOMPARE(checked, QStringList({QStringLiteral("KWrite")}));

        // with nothing installed and nothing stored, the default handler is used
        qputenv("PATH", "/nonexistent");
        MainWindow bare;
        Recorded recorded;
        observeNavigation(&bare, &recorded);
        bare.navigateToCode(QStringLiteral("/src/a.cpp"), 3);
        QCOMPARE(recorded.starts, 0);
        QCOMPARE(recorded.openedUrls, QList<QUrl>({QUrl::fromLocalFile(QStringLiteral("/src/a.cpp"))}));
        const auto bareActions = child<QAction>(&bare, "actionCodeNavigation")->menu()->actions();
        QVERIFY(bareActions.last()->isChecked());
        QCOMPARE(bareActions.last()->text(), QStringLiteral("Custom..."));
    }

    void testNavigateToCode()
    {
        qputenv("PATH", "/nonexistent");
        MainWindow window;
        Recorded recorded;
        observeNavigation(&window, &recorded);
        auto config = codeNavigationConfig();
        const auto path = QStringLiteral("/tmp/dir with blank/it's.cpp");

        // lines and columns below 1 become 1
        config.writeEntry("IDE", int(CodeNavigation::Kate));
        window.navigateToCode(path, 0, -1);
        QCOMPARE(recorded.program, QStringLiteral("kate"));
        QCOMPARE(recorded.arguments, QStringList({path, QStringLiteral("--line"), QStringLiteral("1"), QStringLiteral("--column"), QStringLiteral("1")}));

        config.writeEntry("IDE", int(CodeNavigation::KDevelop));
        window.navigateToCode(path, 42, 7);
        QCOMPARE(recorded.program, QStringLiteral("kdevelop"));
        QCOMPARE(recorded.arguments, QStringList({path + QStringLiteral(":42:7")}));

        config.writeEntry("IDE", int(CodeNavigation::QtCreator));
        window.navigateToCode(path, 42);
        QCOMPARE(recorded.arguments, QStringList({QStringLiteral("-client"), path + QStringLiteral(":42")}));

        // a custom command: shell quoting, the path twice, a path holding a placeholder
        config.writeEntry("IDE", -1);
        config.writeEntry("CustomCommand", QStringLiteral("\"/opt/my editor/edit\" '%f' --goto=%l:%c %f"));
        window.navigateToCode(path, 12);
        QCOMPARE(recorded.program, QStringLiteral("/opt/my editor/edit"));
        QCOMPARE(recorded.arguments, QStringList({path, QStringLiteral("--goto=12:1"), path}));
        window.navigateToCode(QStringLiteral("/src/100%l.cpp"), 5, 2);
        QCOMPARE(recorded.arguments.first(), QStringLiteral("/src/100%l.cpp"));
        QCOMPARE(recorded.starts, 5);
        QVERIFY(recorded.openedUrls.isEmpty());

        // commands that leave no program fall back to the default handler
        for (const auto &command : {QStringLiteral("   "), QStringLiteral("edit 'unbalanced"), QString()}) {
            config.writeEntry("CustomCommand", command);
            window.navigateToCode(path, 1);
        }
        QCOMPARE(recorded.starts, 5);
        QCOMPARE(recorded.openedUrls.size(), 3);
        QCOMPARE(recorded.openedUrls.first(), QUrl::fromLocalFile(path));

        // a value nobody knows names no editor either
        config.writeEntry("IDE", 17);
        window.navigateToCode(path, 1);
        QCOMPARE(recorded.openedUrls.size(), 4);
    }

    void testCustomCommandDialog()
    {
        qputenv("PATH", "/nonexistent");
        auto config = codeNavigationConfig();
        config.writeEntry("IDE", int(CodeNavigation::Kate));
        config.writeEntry("CustomCommand", QStringLiteral("old %f"));
        MainWindow window;
        const auto actions = child<QAction>(&window, "actionCodeNavigation")->menu()->actions();
        auto *kate = actions.at(CodeNavigation::Kate);
        auto *custom = actions.last();
        QVERIFY(kate->isChecked());

        const auto answerDialog = [](const QString &answer, bool accept) {
            QTimer::singleShot(0, [answer, accept]() {
                auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                QCOMPARE(dialog->textValue(), QStringLiteral("old %f"));
                dialog->setTextValue(answer);
                accept ? dialog->accept() : dialog->reject();
            });
        };

        answerDialog(QStringLiteral("new %f"), false);
        custom->trigger();
        QCOMPARE(config.readEntry("IDE", 0), int(CodeNavigation::Kate));
        QCOMPARE(config.readEntry("CustomCommand", QString()), QStringLiteral("old %f"));
        QVERIFY(kate->isChecked());

        answerDialog(QStringLiteral("  "), true);
        custom->trigger();
        QCOMPARE(config.readEntry("IDE", 0), int(CodeNavigation::Kate));
        QVERIFY(kate->isChecked());

        answerDialog(QStringLiteral("new %f"), true);
        custom->trigger();
        QCOMPARE(config.readEntry("IDE", 0), -1);
        QCOMPARE(config.readEntry("CustomCommand", QString()), QStringLiteral("new %f"));
        QVERIFY(custom->isChecked());

        // a built-in entry needs no dialog
        actions.at(CodeNavigation::GVim)->trigger();
        QCOMPARE(config.readEntry("IDE", 0), int(CodeNavigation::GVim));
    }

    void testViewNavigation()
    {
        qputenv("PATH", "/nonexistent");
        auto config = codeNavigationConfig();
        config.writeEntry("IDE", int(CodeNavigation::GVim));
        MainWindow window;
        window.resize(1200, 800);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Recorded recorded;
        observeNavigation(&window, &recorded);
        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        Tabs tabs(window);

        // the flame graph asks for Parser::parse
        auto *bottomUp = child<QTreeView>(&window, "bottomUpResults");
        const auto parseRow = findRow(bottomUp->model(), QStringLiteral("Parser::parse"));
        QVERIFY(parseRow.isValid());
        const auto parseSymbol = parseRow.data(TreeModel::SymbolRole).value<Symbol>();
        Q_EMIT child<FlameGraph>(&window, "flameGraphTab")->callerCalleeViewRequested(parseSymbol);
        QCOMPARE(tabs.widget->currentWidget()->objectName(), QStringLiteral("callerCalleeTab"));
        auto *callerCallee = child<QTreeView>(&window, "callerCalleeResults");
        QVERIFY(callerCallee->currentIndex().data().toString().startsWith(QStringLiteral("Parser::parse")));
        auto *callers = child<QTreeView>(&window, "callerView");
        auto *callees = child<QTreeView>(&window, "calleeView");
        auto *locations = child<QTreeView>(&window, "locationView");
        QCOMPARE(callers->model()->rowCount(), 1);
        QCOMPARE(callees->model()->rowCount(), 1);
        QCOMPARE(locations->model()->rowCount(), 1);

        // activating the callee makes it the selected function
        Q_EMIT callees->activated(callees->model()->index(0, 0));
        QVERIFY(callerCallee->currentIndex().data().toString().startsWith(QStringLiteral("allocBuffer")));
        QCOMPARE(callees->model()->rowCount(), 0);
        QCOMPARE(callers->model()->rowCount(), 1);

        // its source file is not on disk: no menu, no editor
        locations->scrollToTop();
        const auto missingRect = locations->visualRect(locations->model()->index(0, 0));
        Q_EMIT locations->customContextMenuRequested(missingRect.center());
        QVERIFY(!QApplication::activePopupWidget());
        Q_EMIT locations->activated(locations->model()->index(0, 0));
        QCOMPARE(recorded.starts, 0);

        // up the callers to main, which lives in main.cpp, on disk: line 10 calls Parser::parse
        Q_EMIT callers->activated(callers->model()->index(0, 0));
        QVERIFY(callerCallee->currentIndex().data().toString().startsWith(QStringLiteral("Parser::parse")));
        Q_EMIT callers->activated(callers->model()->index(0, 0));
        QVERIFY(callerCallee->currentIndex().data().toString().startsWith(QStringLiteral("main")));
        QCOMPARE(callers->model()->rowCount(), 0);
        const auto line10 = findRow(locations->model(), QStringLiteral("main.cpp:10"));
        QVERIFY(line10.isValid());
        Q_EMIT locations->activated(line10);
        QCOMPARE(recorded.program, QStringLiteral("gvim"));
        QCOMPARE(recorded.arguments, QStringList({m_dir.filePath(QStringLiteral("main.cpp")), QStringLiteral("+10")}));

        Q_EMIT locations->customContextMenuRequested(locations->visualRect(line10).center());
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().first()->text(), QStringLiteral("Open file in editor"));
        menu->actions().first()->trigger();
        menu->close();
        QCOMPARE(recorded.starts, 2);

        // "View Caller/Callee" from a top list
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "summaryTab"));
        auto *topLeaked = child<QTreeView>(&window, "topLeaked");
        const auto leakRow = findRow(topLeaked->model(), QStringLiteral("allocBuffer"));
        QVERIFY(leakRow.isValid());
        int menusShown = 0;
        QTimer::singleShot(0, [&menusShown]() {
            if (auto *popup = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                ++menusShown;
                QCOMPARE(popup->actions().first()->text(), QStringLiteral("View Caller/Callee"));
                popup->actions().first()->trigger();
                popup->close();
            }
        });
        Q_EMIT topLeaked->customContextMenuRequested(topLeaked->visualRect(leakRow).center());
        QTRY_COMPARE(menusShown, 1);
        QCOMPARE(tabs.widget->currentWidget()->objectName(), QStringLiteral("callerCalleeTab"));
        QVERIFY(callerCallee->currentIndex().data().toString().startsWith(QStringLiteral("allocBuffer")));

        // an empty area of a list opens no menu
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "summaryTab"));
        QTimer::singleShot(0, [&menusShown]() {
            if (auto *popup = QApplication::activePopupWidget()) {
                ++menusShown;
                popup->close();
            }
        });
        Q_EMIT topLeaked->customContextMenuRequested(QPoint(5, topLeaked->viewport()->height() - 5));
        QTest::qWait(20);
        QCOMPARE(menusShown, 1);
        QCOMPARE(tabs.widget->currentWidget()->objectName(), QStringLiteral("summaryTab"));
    }

    void testCloseDuringAnalysis()
    {
        const auto big = write("memloupe.big.3", largeTrace(m_sourceDir, 100000));

        // while the loading page is up
        QPointer<MainWindow> loading = new MainWindow;
        loading->setAttribute(Qt::WA_DeleteOnClose);
        loading->show();
        loading->loadFile(big);
        QTest::qWait(5);
        QVERIFY(loading->close());
        QTRY_VERIFY(!loading);

        // while the first results are shown and the rest is still being built
        QPointer<MainWindow> showing = new MainWindow;
        showing->setAttribute(Qt::WA_DeleteOnClose);
        showing->show();
        showing->loadFile(big);
        bool closed = false;
        connect(showing->findChild<Parser *>(), &Parser::bottomUpDataAvailable, this, [&]() {
            closed = showing->close();
        });
        QTRY_VERIFY_WITH_TIMEOUT(closed, 60000);
        QTRY_VERIFY(!showing);

        // the abandoned runs and flame graph builds end without a window to report to
        drainBackgroundWork();
        QTest::qWait(20);
    }

    // Cancel on the loading page: a first load goes back to the open page, a
    // re-run to the results it started from; nothing of the cancelled run
    // shows up later, and the next load or re-run works.
    void testCancelLoading()
    {
        MainWindow window;
        window.show();
        auto *pages = child<QStackedWidget>(&window, "pages");
        auto *cancel = child<QPushButton>(&window, "cancelLoading");
        Tabs tabs(window);

        window.loadFile(write("memloupe.big.5", largeTrace(m_sourceDir, 200000)));
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        QVERIFY(cancel->isVisible());
        // Esc reaches the button, whose shortcut shows it pressed and clicks it
        // a moment later: the click here comes first, so the load cannot finish before
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy clicks(cancel, &QPushButton::clicked);
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(cancel->isDown());
        cancel->click();
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("openPage"));
        // The shortcut's own click, on the open page, changes nothing. Waited
        // for by the click itself: the explicit click already released the
        // button, and on a slow machine the shortcut's click came only during
        // the next load, which it cancelled.
        QTRY_COMPARE(clicks.count(), 2);
        QVERIFY(!cancel->isDown());
        QTest::qWait(20);
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe"));
        QVERIFY(!window.findChild<Parser *>()->isRunning());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());
        drainBackgroundWork();
        QTest::qWait(20);
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("openPage"));
        QVERIFY(tabs.enabledTitles().isEmpty());
        QVERIFY(child<KMessageWidget>(&window, "messages")->isHidden());

        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(tabs.enabledTitles(), ALL_TABS);

        // a re-run: the summary it may already have sent is replaced by the old one
        auto *left = child<QLabel>(&window, "summaryLeft");
        auto *right = child<QLabel>(&window, "summaryRight");
        auto *resetFilter = child<QAction>(&window, "actionResetFilter");
        auto *flameGraph = child<FlameGraph>(&window, "flameGraphTab");
        tabs.widget->setCurrentWidget(flameGraph);
        QTRY_VERIFY(flameGraph->rootItem());
        const auto unfilteredLeft = left->text();
        const auto unfilteredRight = right->text();
        Q_EMIT window.findChildren<ChartWidget *>().first()->filterRequested(100, 300);
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        cancel->click();
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("resultsPage"));
        drainBackgroundWork();
        QTest::qWait(20);
        QCOMPARE(left->text(), unfilteredLeft);
        QCOMPARE(right->text(), unfilteredRight);
        QCOMPARE(tabs.enabledTitles(), ALL_TABS);
        QTRY_VERIFY(flameGraph->rootItem());
        QVERIFY(!resetFilter->isEnabled());
        QVERIFY(child<QAction>(&window, "file_close")->isEnabled());

        // the data came back to the parser: the same re-run now goes through
        const auto rerun = [&](int64_t minTime, int64_t maxTime) {
            for (int attempt = 0; attempt < 500; ++attempt) {
                window.reparse(minTime, maxTime);
                if (pages->currentWidget() == child<QWidget>(&window, "loadingPage")) {
                    return true;
                }
                QTest::qWait(10);
            }
            return false;
        };
        QVERIFY(rerun(100, 300));
        QVERIFY(waitForAnalysis(window));
        QVERIFY(left->text().contains(QStringLiteral("filtered from")));
        QVERIFY(right->text().contains(QStringLiteral("<dt><b>memory consumption delta</b>:</dt><dd>%1</dd>").arg(Util::formatBytes(16))));
        QVERIFY(resetFilter->isEnabled());
        const auto filteredLeft = left->text();

        // a cancelled reset keeps the range, and the switch that started a re-run goes back
        resetFilter->trigger();
        cancel->click();
        QCOMPARE(left->text(), filteredLeft);
        QVERIFY(resetFilter->isEnabled());
        auto *builtin = child<QAction>(&window, "actionDisableBuiltinSuppressions");
        QTRY_VERIFY(builtin->isEnabled());
        QVERIFY(rerun(100, 300));
        QVERIFY(waitForAnalysis(window));
        builtin->trigger();
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        cancel->click();
        QVERIFY(!builtin->isChecked());
        QVERIFY(!child<KCollapsibleGroupBox>(&window, "suppressionBox")->isHidden());
        // and the full range once more, from the returned data
        QVERIFY(rerun(0, UNFILTERED));
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(left->text(), unfilteredLeft);
        QCOMPARE(right->text(), unfilteredRight);
    }

    void testRecentFiles()
    {
        // KRecentFilesAction leaves out files below the temporary folder, where the traces are
        struct TempPathGuard {
            TempPathGuard(const QString &path)
                : saved(qgetenv("TMPDIR"))
                , wasSet(qEnvironmentVariableIsSet("TMPDIR"))
            {
                qputenv("TMPDIR", QFile::encodeName(path));
            }
            ~TempPathGuard()
            {
                wasSet ? qputenv("TMPDIR", saved) : qunsetenv("TMPDIR");
            }
            QByteArray saved;
            bool wasSet;
        } tempPath(m_dir.filePath(QStringLiteral("elsewhere")));
        // an unknown folder would leave no temporary folder at all
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("elsewhere"))));
        QVERIFY2(!m_trace.startsWith(QDir::tempPath()), qPrintable(QDir::tempPath()));

        auto config = KSharedConfig::openConfig(QStringLiteral("memloupe_gui"));
        KConfigGroup(config, "Recent Files").deleteGroup();
        config->sync();

        MainWindow window;
        window.show();
        auto *list = child<QListWidget>(&window, "recentFiles");
        auto *recent = qobject_cast<KRecentFilesAction *>(child<QAction>(&window, "file_open_recent"));
        QVERIFY(recent);
        QCOMPARE(list->count(), 0);
        QVERIFY(!child<QWidget>(&window, "recentBox")->isVisible());

        window.loadFile(m_trace);
        QVERIFY(waitForAnalysis(window));
        window.loadFile(m_base);
        QVERIFY(waitForAnalysis(window));
        // a file that cannot be read is not worth offering again
        window.loadFile(write("memloupe.corrupt.2", "v 10500 4\nX ./app\n"));
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));

        const QList<QUrl> expected = {QUrl::fromLocalFile(m_base), QUrl::fromLocalFile(m_trace)};
        QCOMPARE(recent->urls(), expected);
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->data(Qt::UserRole).toString(), m_base);
        QVERIFY(list->item(0)->text().startsWith(QStringLiteral("memloupe.app.2")));
        QVERIFY(child<QWidget>(&window, "recentBox")->isVisible());

        // a window opened later reads them from the settings file
        MainWindow other;
        QCOMPARE(child<QListWidget>(&other, "recentFiles")->count(), 2);

        // activating an entry opens it
        Q_EMIT list->itemActivated(list->item(1));
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe - memloupe.app.1"));
        // and so does the menu entry
        recent->urlSelected(QUrl::fromLocalFile(m_base));
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe - memloupe.app.2"));

        // an entry whose file is gone is said so and dropped
        const auto vanishing = write("memloupe.vanishing.1", sampleTrace(m_sourceDir));
        window.loadFile(vanishing);
        QVERIFY(waitForAnalysis(window));
        window.closeFile();
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->item(0)->data(Qt::UserRole).toString(), vanishing);
        QVERIFY(QFile::remove(vanishing));
        Q_EMIT list->itemActivated(list->item(0));
        QCOMPARE(child<KMessageWidget>(&window, "messages")->text(), QStringLiteral("Input data %1 does not exist.").arg(vanishing));
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));
        QCOMPARE(list->count(), 2);
        QCOMPARE(recent->urls(), expected);
    }

    void testDropOpensFile()
    {
        MainWindow window;
        window.show();
        const auto drop = [&window](const QList<QUrl> &urls, bool *enterAccepted) {
            QMimeData mime;
            mime.setUrls(urls);
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&window, &enter);
            *enterAccepted = enter.isAccepted();
            if (*enterAccepted) {
                QDropEvent dropEvent(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
                QApplication::sendEvent(&window, &dropEvent);
            }
        };

        bool accepted = false;
        drop({QUrl(QStringLiteral("https://example.org/memloupe.app.1.zst"))}, &accepted);
        QVERIFY(!accepted);
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("openPage"));

        // the first local file of those dropped is opened
        drop({QUrl(QStringLiteral("https://example.org/x")), QUrl::fromLocalFile(m_trace), QUrl::fromLocalFile(m_base)}, &accepted);
        QVERIFY(accepted);
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("loadingPage"));
        QVERIFY(waitForAnalysis(window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Memloupe - memloupe.app.1"));
        QCOMPARE(Tabs(window).enabledTitles(), ALL_TABS);

        // a folder gets the open page's message, and the results stay
        drop({QUrl::fromLocalFile(m_dir.path())}, &accepted);
        QCOMPARE(child<KMessageWidget>(&window, "messages")->text(), QStringLiteral("Input data %1 is not a file.").arg(m_dir.path()));
        QCOMPARE(child<QStackedWidget>(&window, "pages")->currentWidget()->objectName(), QStringLiteral("resultsPage"));
    }

    // The CSV holds exactly the rows the filters leave, with their paths, as RFC 4180 quotes them.
    void testCsvExport()
    {
        auto trace = sampleTrace(m_sourceDir);
        const auto oddName = std::string("make \"Temp\", now");
        trace.replace(trace.find(::s("makeTemp")), ::s("makeTemp").size(), ::s(oddName));
        MainWindow window;
        window.show();
        window.loadFile(write("memloupe.odd.1", trace));
        QVERIFY(waitForAnalysis(window));
        Tabs tabs(window);
        auto *bottomUp = child<QTreeView>(&window, "bottomUpResults");
        auto *topDown = child<QTreeView>(&window, "topDownResults");
        const auto readFile = [](const QString &path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("(unreadable)");
        };
        const auto filterField = [&window](const char *tab, const QString &placeholder) -> QLineEdit * {
            for (auto *edit : child<QWidget>(&window, tab)->findChildren<QLineEdit *>()) {
                if (edit->placeholderText() == placeholder) {
                    return edit;
                }
            }
            return nullptr;
        };
        const auto header = QStringLiteral("Path,Depth,Function,Module,Peak (bytes),Leaked (bytes),Allocations,Temporary\r\n");
        const auto app = QStringLiteral("/usr/bin/app");
        const auto lib = QStringLiteral("/usr/lib/libbuf.so");

        QString error;
        const auto bottomUpCsv = m_dir.filePath(QStringLiteral("bottom-up.csv"));
        filterField("bottomUpTab", QStringLiteral("filter by function..."))->setText(QStringLiteral("allocBuffer"));
        QVERIFY(window.exportTreeAsCsv(bottomUp, bottomUpCsv, &error));
        // allocBuffer: two blocks of 1024 B, one freed, both live at the peak; its callers do not match
        QCOMPARE(readFile(bottomUpCsv), header + QStringLiteral("allocBuffer,0,allocBuffer,%1,2048,1024,2,0\r\n").arg(lib));
        // without the filter its callers follow it, depth first
        filterField("bottomUpTab", QStringLiteral("filter by function..."))->clear();
        bottomUp->sortByColumn(TreeModel::PeakColumn, Qt::DescendingOrder);
        QVERIFY(window.exportTreeAsCsv(bottomUp, bottomUpCsv, &error));
        const auto bottomUpRows = readFile(bottomUpCsv).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(bottomUpRows.mid(0, 4),
                 QStringList({header.trimmed(),
                              QStringLiteral("allocBuffer,0,allocBuffer,%1,2048,1024,2,0").arg(lib),
                              QStringLiteral("allocBuffer \u2190 Parser::parse,1,Parser::parse,%1,2048,1024,2,0").arg(app),
                              QStringLiteral("allocBuffer \u2190 Parser::parse \u2190 main,2,main,%1,2048,1024,2,0").arg(app)}));
        // every row of the tree: three allocating functions with their caller chains
        QCOMPARE(bottomUpRows.size(), 1 + 7);

        // the module filter of the other tree, and a name that needs quoting
        const auto topDownCsv = m_dir.filePath(QStringLiteral("top-down.csv"));
        QVERIFY(window.exportTreeAsCsv(topDown, topDownCsv, &error));
        const auto unfiltered = readFile(topDownCsv).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        // main with its two callees, and below Parser::parse allocBuffer
        QCOMPARE(unfiltered.size(), 1 + 4);
        QVERIFY2(unfiltered.contains(QStringLiteral("\"main \u2192 make \"\"Temp\"\", now\",1,\"make \"\"Temp\"\", now\",%1,0,0,2,2").arg(app)),
                 qPrintable(unfiltered.join(QLatin1Char('\n'))));
        filterField("topDownTab", QStringLiteral("filter by module..."))->setText(QStringLiteral("libbuf"));
        QVERIFY(window.exportTreeAsCsv(topDown, topDownCsv, &error));
        QCOMPARE(readFile(topDownCsv),
                 header + QStringLiteral("main,0,main,%1,2064,1056,6,2\r\n").arg(app)
                     + QStringLiteral("main \u2192 Parser::parse,1,Parser::parse,%1,2064,1056,4,0\r\n").arg(app)
                     + QStringLiteral("main \u2192 Parser::parse \u2192 allocBuffer,2,allocBuffer,%1,2048,1024,2,0\r\n").arg(lib));

        // a filter that hides everything leaves the header; a hidden column is left out
        filterField("bottomUpTab", QStringLiteral("filter by function..."))->setText(QStringLiteral("nothing matches"));
        bottomUp->header()->setSectionHidden(TreeModel::TemporaryColumn, true);
        QVERIFY(window.exportTreeAsCsv(bottomUp, bottomUpCsv, &error));
        QCOMPARE(readFile(bottomUpCsv), QStringLiteral("Path,Depth,Function,Module,Peak (bytes),Leaked (bytes),Allocations\r\n"));
        bottomUp->header()->setSectionHidden(TreeModel::TemporaryColumn, false);

        // through the menu: offered on the trees only, and a failed write is told in the window
        auto *exportAction = child<QAction>(&window, "actionExportCsv");
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "summaryTab"));
        QVERIFY(!exportAction->isEnabled());
        tabs.widget->setCurrentWidget(child<QWidget>(&window, "topDownTab"));
        QVERIFY(exportAction->isEnabled());
        const auto unwritable = m_dir.filePath(QStringLiteral("no-such-folder/top-down.csv"));
        QTimer::singleShot(0, [unwritable]() {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->selectFile(unwritable);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        exportAction->trigger();
        auto *messages = child<KMessageWidget>(&window, "messages");
        QVERIFY(!messages->isHidden());
        // (the dialog may name the file relative to its own folder)
        QVERIFY2(messages->text().startsWith(QStringLiteral("Failed to export the tree to ")), qPrintable(messages->text()));
        QVERIFY2(messages->text().contains(QStringLiteral("/no-such-folder/top-down.csv: ")), qPrintable(messages->text()));
        QVERIFY(!QFile::exists(unwritable));
        QVERIFY(!window.exportTreeAsCsv(topDown, unwritable, &error));
        QVERIFY(!error.isEmpty());

        // a diff exports signed differences: the base has allocBuffer's block twice, this file once
        window.loadFile(m_base, m_trace);
        QVERIFY(waitForAnalysis(window));
        filterField("bottomUpTab", QStringLiteral("filter by function..."))->setText(QStringLiteral("allocBuffer"));
        QVERIFY(window.exportTreeAsCsv(bottomUp, bottomUpCsv, &error));
        QCOMPARE(readFile(bottomUpCsv), header + QStringLiteral("allocBuffer,0,allocBuffer,%1,-1024,0,-1,0\r\n").arg(lib));
    }

    void testHelpMenu()
    {
        MainWindow window;
        QStringList menus;
        for (const auto *action : window.menuBar()->actions()) {
            menus << action->text().remove(QLatin1Char('&'));
        }
        QCOMPARE(menus, QStringList({QStringLiteral("File"), QStringLiteral("Filter"), QStringLiteral("Settings"), QStringLiteral("Help")}));
        QStringList entries;
        for (const auto *action : window.menuBar()->actions().last()->menu()->actions()) {
            entries << action->objectName();
        }
        for (const char *name : {"help_report_bug", "help_about_app", "help_about_kde"}) {
            QVERIFY2(entries.contains(QLatin1String(name)), qPrintable(entries.join(QLatin1Char(' '))));
        }
        // no handbook is installed, so none is offered
        QVERIFY(entries.contains(QLatin1String("help_contents")));
        for (const auto *action : window.menuBar()->actions().last()->menu()->actions()) {
            QVERIFY2(action->objectName() != QLatin1String("help_contents") || !action->isVisible(), "the handbook entry is shown");
        }
    }

    // Runs last: File > Quit ends the application's event loops.
    void testLayoutKeptOnQuit()
    {
        auto config = KSharedConfig::openConfig(QStringLiteral("memloupe_gui"));
        KConfigGroup(config, "MainWindow").deleteGroup();
        config->sync();

        QRect geometry;
        int dockWidth = 0;
        QList<int> splitterSizes;
        QByteArray headerState;
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            // a first start takes most of the screen, up to all of it
            const auto available = window.screen()->availableGeometry();
            // (a screen smaller than the window's minimum size gets the minimum)
            const auto largest = available.size().expandedTo(window.minimumSizeHint());
            QVERIFY(window.width() >= std::min(1280, available.width()) && window.width() <= largest.width());
            QVERIFY(window.height() >= std::min(800, available.height()) && window.height() <= largest.height());

            window.loadFile(m_trace);
            QVERIFY(waitForAnalysis(window));
            // wide enough that the dock can grow beside the tabs
            window.setGeometry(QRect(available.topLeft() + QPoint(20, 30), window.minimumSizeHint() + QSize(300, 100)));
            Tabs(window).widget->setCurrentWidget(child<QWidget>(&window, "bottomUpTab"));
            auto *dock = child<QDockWidget>(&window, "stacksDock");
            QVERIFY(dock->isVisible());
            window.layout()->activate();
            QTest::qWait(50);
            const int defaultWidth = dock->width();
            // a dock just shown takes a resize only once the layout has settled
            for (int attempt = 0; attempt < 50 && dock->width() <= defaultWidth + 40; ++attempt) {
                window.resizeDocks({dock}, {defaultWidth + 90}, Qt::Horizontal);
                QTest::qWait(20);
            }
            QVERIFY(dock->width() > defaultWidth + 40);
            dockWidth = dock->width();
            // leave the tab: the dock is hidden when the window goes
            Tabs(window).widget->setCurrentWidget(child<QWidget>(&window, "summaryTab"));
            auto *splitter = child<QSplitter>(&window, "topListsSplitter");
            // once the room of the dock has gone to the tabs
            QTest::qWait(50);
            splitter->setSizes({100, 250, 150, 200});
            splitterSizes = splitter->sizes();
            auto *bottomUp = child<QTreeView>(&window, "bottomUpResults");
            bottomUp->sortByColumn(TreeModel::AllocationsColumn, Qt::AscendingOrder);
            bottomUp->header()->resizeSection(TreeModel::LeakedColumn, 140);
            headerState = bottomUp->header()->saveState();
            geometry = window.geometry();

            child<QAction>(&window, "file_quit")->trigger();
            QVERIFY(!window.isVisible());
            // written by the quit itself, not only once the window is destroyed
            QCOMPARE(KConfigGroup(config, "MainWindow").readEntry("Geometry", QByteArray()), window.saveGeometry());
            QCOMPARE(KConfigGroup(config, "MainWindow").readEntry("State", QByteArray()), window.saveState(1));
            // what the quit left: the test goes on in event loops of its own
            QTimer::singleShot(0, qApp, []() {
                QCoreApplication::exit(0);
            });
            QCoreApplication::exec();
        }

        MainWindow restored;
        restored.show();
        QVERIFY(QTest::qWaitForWindowExposed(&restored));
        QCOMPARE(restored.geometry(), geometry);
        auto *header = child<QTreeView>(&restored, "bottomUpResults")->header();
        QCOMPARE(header->sortIndicatorSection(), int(TreeModel::AllocationsColumn));
        QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(header->sectionSize(TreeModel::LeakedColumn), 140);
        restored.loadFile(m_trace);
        QVERIFY(waitForAnalysis(restored));
        QTRY_COMPARE(child<QSplitter>(&restored, "topListsSplitter")->sizes(), splitterSizes);
        QCOMPARE(header->sortIndicatorSection(), int(TreeModel::AllocationsColumn));
        Tabs(restored).widget->setCurrentWidget(child<QWidget>(&restored, "bottomUpTab"));
        auto *dock = child<QDockWidget>(&restored, "stacksDock");
        QVERIFY(dock->isVisible());
        QTRY_COMPARE(dock->width(), dockWidth);
    }

private:
    QString write(const char *name, const std::string &contents)
    {
        const auto path = m_dir.filePath(QLatin1String(name));
        if (!writeTraceFile(path.toStdString(), contents, Compression::None)) {
            qWarning("cannot write %s", qPrintable(path));
        }
        return path;
    }

    QTemporaryDir m_configHome;
    QTemporaryDir m_dir;
    QString m_sourceDir;
    QString m_trace;
    QString m_base;
    QByteArray m_savedPath;
};

QTEST_MAIN(TestMainWindow)

#include "tst_mainwindow.moc"
