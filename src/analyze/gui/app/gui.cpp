/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe_gui: sets up the application, reads the command line and opens one
    main window per trace file named on it.
*/

#include <cstdio>
#include <memory>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QIcon>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>

#include <KAboutData>
#include <KLocalizedString>

#include "analyze/gui/app/guistartup.h"
#include "analyze/gui/app/mainwindow.h"
#include "analyze/gui/models/proxystyle.h"
#include "analyze/suppressions.h"

namespace
{
void printLine(const QString &line)
{
    const auto utf8 = line.toUtf8();
    fprintf(stdout, "%s\n", utf8.constData());
    fflush(stdout);
}

QList<MainWindow *> visibleMainWindows()
{
    QList<MainWindow *> windows;
    const auto widgets = QApplication::topLevelWidgets();
    for (auto *widget : widgets) {
        auto *window = qobject_cast<MainWindow *>(widget);
        if (window && window->isVisible()) {
            windows.append(window);
        }
    }
    return windows;
}

bool insideTabWidget(const QWidget *widget)
{
    for (auto *parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        if (qobject_cast<const QTabWidget *>(parent)) {
            return true;
        }
    }
    return false;
}

// The tab widget of the results page while that page is shown. A widget on a
// page of a stacked widget is only visible while its page is the current one.
QTabWidget *shownResults(const MainWindow *window)
{
    const auto tabWidgets = window->findChildren<QTabWidget *>();
    for (auto *tabs : tabWidgets) {
        if (tabs->isVisible() && !insideTabWidget(tabs)) {
            return tabs;
        }
    }
    return nullptr;
}

bool allTabsEnabled(const QTabWidget *tabs)
{
    for (int i = 0; i < tabs->count(); ++i) {
        if (!tabs->isTabEnabled(i)) {
            return false;
        }
    }
    return true;
}

void closeAll(const QList<MainWindow *> &windows)
{
    // the way a user ends the program: the last closed window ends the event loop
    for (auto *window : windows) {
        window->close();
    }
}

/*
    Testing aid for the smoke tests and for the screenshots of the README; does
    nothing unless MEMLOUPE_GUI_PROBE is set. It watches the windows from the
    outside, through the widget tree only, and reports on standard output.
    First it prints "windows: N" and one "window: TITLE" line per open window,
    then, by the value of the variable:

      windows   closes the windows at once
      results   waits until every window shows its results page, prints
                "results shown" and closes the windows
      tab:N     waits until every window has all its result tabs enabled,
                gives each window the whole screen, makes tab N current (and the
                first row of its first list current and unfolded a few levels,
                so that the views that follow it show something), prints
                "tab shown: NAME" and stays open
*/
void startProbe(const QString &mode)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(50);
    auto printedWindows = std::make_shared<bool>(false);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, mode, printedWindows]() {
        const auto windows = visibleMainWindows();
        if (!*printedWindows) {
            *printedWindows = true;
            printLine(QStringLiteral("windows: %1").arg(windows.size()));
            for (auto *window : windows) {
                printLine(QStringLiteral("window: %1").arg(window->windowTitle()));
            }
        }

        if (mode == QLatin1String("windows")) {
            timer->stop();
            closeAll(windows);
            return;
        }

        const bool tabMode = mode.startsWith(QLatin1String("tab:"));
        for (auto *window : windows) {
            const auto *tabs = shownResults(window);
            if (!tabs || (tabMode && !allTabsEnabled(tabs))) {
                return;
            }
        }
        timer->stop();

        if (!tabMode) {
            printLine(QStringLiteral("results shown"));
            closeAll(windows);
            return;
        }

        const int tab = mode.mid(4).toInt();
        for (auto *window : windows) {
            // no window manager under a bare X server would do this
            window->setGeometry(window->screen()->availableGeometry());
            auto *tabs = shownResults(window);
            tabs->setCurrentIndex(tab);
            if (tab > 0) {
                const auto views = tabs->currentWidget()->findChildren<QTreeView *>();
                for (auto *view : views) {
                    const auto *model = view->model();
                    if (view->isVisible() && model && model->rowCount() > 0) {
                        QModelIndex index = model->index(0, 0);
                        view->setCurrentIndex(index);
                        for (int depth = 0; depth < 4 && model->hasChildren(index); ++depth) {
                            view->expand(index);
                            index = model->index(0, 0, index);
                        }
                        break;
                    }
                }
            }
            printLine(QStringLiteral("tab shown: %1").arg(tabs->tabText(tab).remove(QLatin1Char('&'))));
        }
    });
    timer->start();
}

KAboutData makeAboutData()
{
    KAboutData aboutData(QStringLiteral("memloupe_gui"),
                         i18n("Memloupe GUI"),
                         QStringLiteral("1.5.0"),
                         i18n("A visualizer for memloupe data files."),
                         KAboutLicense::Unknown,
                         i18n("Copyright 2026, the memloupe developers"),
                         QString(),
                         QStringLiteral("https://memloupe.org/"),
                         QStringLiteral("https://memloupe.org/issues"));
    aboutData.addAuthor(i18n("The memloupe developers"),
                        i18n("Original author, maintainer"),
                        QStringLiteral("developers@memloupe.org"),
                        QStringLiteral("https://memloupe.org/"));
    aboutData.setOrganizationDomain("memloupe.org");
    aboutData.setDesktopFileName(QStringLiteral("org.memloupe.memloupe_gui"));
    return aboutData;
}

struct Options {
    QCommandLineOption diff{{QStringLiteral("d"), QStringLiteral("diff")}, i18n("Base profile data to compare other files to."), QStringLiteral("<file>")};
    QCommandLineOption suppressions{{QStringLiteral("s"), QStringLiteral("suppressions")},
                                    i18n("Load list of leak suppressions from the specified file. Specify one suppression per line, and start each "
                                         "line with 'leak:', i.e. use the LSAN suppression file format."),
                                    QStringLiteral("<file>")};
    QCommandLineOption disableEmbeddedSuppressions{
        {QStringLiteral("disable-embedded-suppressions")},
        i18n("Ignore suppression definitions that are embedded into the memloupe data file. By default, memloupe will copy the suppressions optionally "
             "defined via a `const char *__lsan_default_suppressions()` symbol in the debuggee application.  These are then always applied when analyzing "
             "the data, unless this feature is explicitly disabled using this command line option.")};
    QCommandLineOption disableBuiltinSuppressions{
        {QStringLiteral("disable-builtin-suppressions")},
        i18n("Ignore suppression definitions that are built into memloupe. By default, memloupe will suppress certain known leaks in common system "
             "libraries.")};

    void addTo(QCommandLineParser *parser, KAboutData *aboutData) const
    {
        aboutData->setupCommandLine(parser);
        parser->addOption(diff);
        parser->addOption(suppressions);
        parser->addOption(disableEmbeddedSuppressions);
        parser->addOption(disableBuiltinSuppressions);
        parser->addPositionalArgument(QStringLiteral("files"), i18n("Files to load"), i18n("[FILE...]"));
    }
};

// The options that print something and end the program: help, version,
// author and licence.
bool onlyPrints(const QCommandLineParser &parser)
{
    const auto names = parser.optionNames();
    for (const auto *name : {"h", "help", "help-all", "?", "v", "version", "author", "license"}) {
        if (names.contains(QLatin1String(name))) {
            return true;
        }
    }
    return false;
}
}

int main(int argc, char **argv)
{
    KLocalizedString::setApplicationDomain("memloupe");

    {
        // What only prints is answered before QApplication, which aborts
        // without a display. The Qt options of QApplication (-platform and
        // the like) make this parse fail: such a command line goes on below.
        QStringList arguments;
        for (int i = 0; i < argc; ++i) {
            arguments.append(QString::fromLocal8Bit(argv[i]));
        }
        auto aboutData = makeAboutData();
        const Options options;
        QCommandLineParser probe;
        options.addTo(&probe, &aboutData);
        // KAboutData adds it only once an application with a version exists
        probe.addVersionOption();
        if (probe.parse(arguments) && onlyPrints(probe)) {
            QCoreApplication app(argc, argv);
            KAboutData::setApplicationData(aboutData);
            QCommandLineParser parser;
            options.addTo(&parser, &aboutData);
            // both end the process for the options above
            parser.process(app);
            aboutData.processCommandLine(&parser);
            return 0;
        }
    }

    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    // the application takes ownership
    QApplication::setStyle(new ProxyStyle);

    initRCCIconTheme(QCoreApplication::applicationDirPath());

    auto aboutData = makeAboutData();
    KAboutData::setApplicationData(aboutData);

    QApplication::setWindowIcon(QIcon(QStringLiteral(":/512-memloupe_app_icon.png")));

    QCommandLineParser parser;
    const Options options;
    options.addTo(&parser, &aboutData);
    const auto &diffOption = options.diff;
    const auto &suppressionsOption = options.suppressions;
    const auto &disableEmbeddedSuppressionsOption = options.disableEmbeddedSuppressions;
    const auto &disableBuiltinSuppressionsOption = options.disableBuiltinSuppressions;

    // ends the process for --help, --version and unknown options
    parser.process(app);
    aboutData.processCommandLine(&parser);

    bool parsedOk = false;
    const auto suppressions = parseSuppressions(parser.value(suppressionsOption).toUtf8().toStdString(), &parsedOk);
    if (!parsedOk) {
        // parseSuppressions has said why
        return 1;
    }

    auto createWindow = [&parser, &suppressions, &disableEmbeddedSuppressionsOption, &disableBuiltinSuppressionsOption]() {
        auto *window = new MainWindow;
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setSuppressions(suppressions);
        window->setDisableEmbeddedSuppressions(parser.isSet(disableEmbeddedSuppressionsOption));
        window->setDisableBuiltinSuppressions(parser.isSet(disableBuiltinSuppressionsOption));
        window->show();
        return window;
    };

    const auto files = parser.positionalArguments();
    for (const auto &file : files) {
        createWindow()->loadFile(file, parser.value(diffOption));
    }
    if (files.isEmpty()) {
        createWindow();
    }

    // The dynamic loader has read the variable long before; the change only
    // reaches the processes that the windows start.
    dropFirstLibraryPath();

    const auto probe = qEnvironmentVariable("MEMLOUPE_GUI_PROBE");
    if (!probe.isEmpty()) {
        startProbe(probe);
    }

    return app.exec();
}
