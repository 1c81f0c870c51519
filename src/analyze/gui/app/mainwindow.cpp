/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/app/mainwindow.h"
#include "analyze/gui/app/summarypage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPersistentModelIndex>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSessionManager>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextStream>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <KAboutData>
#include <KAcceleratorManager>
#include <KCollapsibleGroupBox>
#include <KConfigGroup>
#include <KHelpMenu>
#include <KLocalizedString>
#include <KMessageWidget>
#include <KRecentFilesAction>
#include <KShell>
#include <KStandardAction>
#include <KStandardGuiItem>
#include <KUrlRequester>

#include "analyze/suppressions.h"

#include "analyze/gui/analysis/exports.h"
#include "analyze/gui/analysis/jobqueue.h"
#include "analyze/gui/analysis/parser.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/callercalleemodel.h"
#include "analyze/gui/models/chartmodel.h"
#include "analyze/gui/models/costdelegate.h"
#include "analyze/gui/models/costheaderview.h"
#include "analyze/gui/models/histogrammodel.h"
#include "analyze/gui/models/stacksmodel.h"
#include "analyze/gui/models/suppressionsmodel.h"
#include "analyze/gui/models/topproxy.h"
#include "analyze/gui/models/treemodel.h"
#include "analyze/gui/models/treeproxy.h"
#include "analyze/gui/models/viewcopy.h"
#include "analyze/gui/widgets/chartwidget.h"
#include "analyze/gui/widgets/flamegraph.h"
#include "analyze/gui/widgets/histogramwidget.h"

// Every widget of the window that the code touches after building it. The
// widgets themselves are owned by their Qt parents.
struct MainWindowUi {
    KMessageWidget *messages = nullptr;
    QStackedWidget *pages = nullptr;

    QWidget *openPage = nullptr;
    KUrlRequester *openFile = nullptr;
    KUrlRequester *compareTo = nullptr;
    KUrlRequester *suppressions = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
    QWidget *recentBox = nullptr;
    QListWidget *recentFiles = nullptr;

    QWidget *loadingPage = nullptr;
    QVBoxLayout *loadingLayout = nullptr;
    QLabel *loadingLabel = nullptr;
    QProgressBar *loadingProgress = nullptr;
    QLabel *progressLabel = nullptr;
    QPushButton *cancelLoading = nullptr;

    QWidget *resultsPage = nullptr;
    QTabWidget *tabWidget = nullptr;

    QWidget *summaryTab = nullptr;
    KMessageWidget *readProblems = nullptr;
    KMessageWidget *missingSymbols = nullptr;
    QLabel *summaryLeft = nullptr;
    QLabel *summaryCenter = nullptr;
    QLabel *summaryRight = nullptr;
    QTreeView *topPeak = nullptr;
    QTreeView *topLeaked = nullptr;
    QLabel *topLeakedLabel = nullptr;
    QTreeView *topAllocations = nullptr;
    QTreeView *topTemporary = nullptr;
    KCollapsibleGroupBox *suppressionBox = nullptr;
    QSplitter *topListsSplitter = nullptr;
    QTreeView *suppressionsView = nullptr;

    QWidget *bottomUpTab = nullptr;
    QLineEdit *bottomUpFilterFunction = nullptr;
    QLineEdit *bottomUpFilterModule = nullptr;
    QTreeView *bottomUpResults = nullptr;

    QWidget *callerCalleeTab = nullptr;
    QLineEdit *callerCalleeFilterFunction = nullptr;
    QLineEdit *callerCalleeFilterModule = nullptr;
    QTreeView *callerCalleeResults = nullptr;
    QTreeView *callerView = nullptr;
    QTreeView *calleeView = nullptr;
    QTreeView *locationView = nullptr;
    QSplitter *callerCalleeSplitter = nullptr;
    QSplitter *callerCalleeListsSplitter = nullptr;

    QWidget *topDownTab = nullptr;
    QLineEdit *topDownFilterFunction = nullptr;
    QLineEdit *topDownFilterModule = nullptr;
    QTreeView *topDownResults = nullptr;

    FlameGraph *flameGraphTab = nullptr;

    struct ChartTab {
        ChartWidget *widget;
        ChartModel *model;
        void (Parser::*dataReady)(const ChartData &);
    };
    std::vector<ChartTab> charts;
    HistogramWidget *sizesTab = nullptr;

    QDockWidget *stacksDock = nullptr;
    QSpinBox *stackSpinner = nullptr;
    QTreeView *stacksTree = nullptr;

    QMenu *fileMenu = nullptr;
    QMenu *filterMenu = nullptr;
    QMenu *settingsMenu = nullptr;
    QMenu *exportMenu = nullptr;
};

namespace
{
constexpr int64_t UNFILTERED_MAX_TIME = std::numeric_limits<int64_t>::max();

constexpr int COST_SORT_ROLE = CostModel::SortRole;
constexpr int COST_TOTAL_ROLE = CostModel::TotalCostRole;

const char CODE_NAVIGATION_GROUP[] = "CodeNavigation";
const char MAIN_WINDOW_GROUP[] = "MainWindow";
const char RECENT_FILES_GROUP[] = "Recent Files";

// A window's first start: most of the screen, and room for the names in the
// top lists and for every tab title where the screen has that room.
QSize firstStartSize(const QRect &available)
{
    const QSize wanted = (QSizeF(available.size()) * 0.8).toSize().expandedTo(QSize(1280, 800));
    return wanted.boundedTo(available.size());
}

// A splitter that was never laid out reports sizes that would collapse its
// panes when restored.
bool hasBeenLaidOut(const QSplitter *splitter)
{
    const auto sizes = splitter->sizes();
    return splitter->testAttribute(Qt::WA_WState_Polished) && std::accumulate(sizes.begin(), sizes.end(), 0) > 0;
}

// The splitters and tree headers whose state the settings keep, with their
// keys: saving and restoring go through the same lists.
std::array<std::pair<const char *, QSplitter *>, 3> keptSplitters(const MainWindowUi &ui)
{
    return {{
        {"TopListsSplitter", ui.topListsSplitter},
        {"CallerCalleeSplitter", ui.callerCalleeSplitter},
        {"CallerCalleeListsSplitter", ui.callerCalleeListsSplitter},
    }};
}

std::array<std::pair<const char *, QTreeView *>, 3> keptHeaders(const MainWindowUi &ui)
{
    return {{
        {"BottomUpHeader", ui.bottomUpResults},
        {"TopDownHeader", ui.topDownResults},
        {"CallerCalleeHeader", ui.callerCalleeResults},
    }};
}

// One CSV field as RFC 4180 has it: quoted when it holds a separator, a quote
// or a line break, with its quotes doubled.
QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'))) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString dataFileFilter()
{
    // one filter entry holding both patterns
    return QStringLiteral("memloupe.*.*.gz memloupe.*.*.zst");
}

QLineEdit *addFilterField(QHBoxLayout *layout, const QString &placeholder)
{
    auto *edit = new QLineEdit;
    edit->setPlaceholderText(placeholder);
    edit->setClearButtonEnabled(true);
    layout->addWidget(edit);
    return edit;
}

QTreeView *makeCostTree(const QString &objectName)
{
    auto *view = new QTreeView;
    view->setObjectName(objectName);
    view->setAlternatingRowColors(true);
    view->setIndentation(10);
    view->setUniformRowHeights(true);
    return view;
}

QTreeView *makeList(const QString &objectName)
{
    auto *view = new QTreeView;
    view->setObjectName(objectName);
    view->setAlternatingRowColors(true);
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    return view;
}

KUrlRequester *addFileField(QFormLayout *form, const QString &objectName, const QString &label, const QString &placeholder)
{
    auto *requester = new KUrlRequester;
    requester->setObjectName(objectName);
    requester->setPlaceholderText(placeholder);
    auto *labelWidget = new QLabel(label);
    labelWidget->setBuddy(requester);
    form->addRow(labelWidget, requester);
    return requester;
}

QWidget *buildOpenPage(MainWindowUi *ui)
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("openPage"));
    auto *group = new QGroupBox(i18n("Open Memloupe Data"));
    auto *form = new QFormLayout(group);

    const auto dataPlaceholder = i18n("path/to/memloupe.$APP.$PID.{gz,zst}");
    ui->openFile = addFileField(form, QStringLiteral("openFile"), i18n("Profile &Data:"), dataPlaceholder);
    ui->openFile->setToolTip(
        i18n("<qt><p>This field specifies the primary memloupe data file. These files are called "
             "<tt>memloupe.$APP.$PID.gz</tt> or <tt>memloupe.$APP.$PID.zst</tt>. You can produce such a file by "
             "profiling your application, e.g. via:</p>\n<pre><code>memloupe &lt;yourapplication&gt; "
             "...</code></pre>\n<p>Or, alternatively, you can attach to a running process via</p>\n"
             "<pre><code>memloupe --pid $(pidof &lt;yourapplication&gt;)</code></pre></qt>"));
    ui->compareTo = addFileField(form, QStringLiteral("compareTo"), i18n("Compare to:"), dataPlaceholder);
    ui->compareTo->setToolTip(
        i18n("<qt>You can optionally specify a second memloupe data file to compare to. If set, this file will "
             "be used as a base and its cost gets subtracted from the primary data costs.</qt>"));
    ui->suppressions = addFileField(form, QStringLiteral("suppressions"), i18n("Suppressions:"), i18n("path/to/lsan_suppressions.txt"));
    form->labelForField(ui->suppressions)->setToolTip(i18n("Path to a file containing leak suppression rules in the LSAN format."));

    ui->buttonBox = new QDialogButtonBox(QDialogButtonBox::Open);
    ui->buttonBox->setObjectName(QStringLiteral("buttonBox"));
    ui->buttonBox->button(QDialogButtonBox::Open)->setEnabled(false);
    form->addRow(ui->buttonBox);

    // the traces opened last, for a double click or Enter
    auto *recentBox = new QGroupBox(i18n("Recent Traces"));
    recentBox->setObjectName(QStringLiteral("recentBox"));
    auto *recentLayout = new QVBoxLayout(recentBox);
    ui->recentFiles = new QListWidget;
    ui->recentFiles->setObjectName(QStringLiteral("recentFiles"));
    ui->recentFiles->setToolTip(i18n("Double-click a trace to open it again."));
    recentLayout->addWidget(ui->recentFiles);
    ui->recentBox = recentBox;

    auto *layout = new QVBoxLayout(page);
    layout->addStretch(1);
    layout->addWidget(group);
    layout->addWidget(recentBox, 1);
    layout->addStretch(1);
    return page;
}

QWidget *buildLoadingPage(MainWindowUi *ui)
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("loadingPage"));
    ui->loadingLayout = new QVBoxLayout(page);
    ui->loadingLabel = new QLabel(i18n("Loading file, please wait..."));
    ui->loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
    ui->loadingLabel->setAlignment(Qt::AlignCenter);
    ui->loadingProgress = new QProgressBar;
    ui->loadingProgress->setObjectName(QStringLiteral("loadingProgress"));
    ui->progressLabel = new QLabel(i18n("Progress Message..."));
    ui->progressLabel->setObjectName(QStringLiteral("progressLabel"));
    ui->progressLabel->setAlignment(Qt::AlignCenter);
    ui->progressLabel->setWordWrap(true);

    ui->cancelLoading = new QPushButton;
    ui->cancelLoading->setObjectName(QStringLiteral("cancelLoading"));
    KGuiItem::assign(ui->cancelLoading, KStandardGuiItem::cancel());
    ui->cancelLoading->setToolTip(i18n("Stop reading the file (Esc)"));
    // only while the loading page is shown: a hidden button takes no shortcut
    ui->cancelLoading->setShortcut(Qt::Key_Escape);

    ui->loadingLayout->addStretch(1);
    ui->loadingLayout->addWidget(ui->loadingLabel);
    ui->loadingLayout->addWidget(ui->loadingProgress);
    ui->loadingLayout->addWidget(ui->progressLabel);
    ui->loadingLayout->addWidget(ui->cancelLoading, 0, Qt::AlignHCenter);
    ui->loadingLayout->addStretch(1);
    return page;
}

QTreeView *addTopList(QSplitter *splitter, const QString &objectName, const QString &title, const QString &toolTip, QLabel **titleLabel = nullptr)
{
    auto *container = new QWidget;
    auto *layout = new QVBoxLayout(container);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *label = new QLabel(title);
    label->setAlignment(Qt::AlignCenter);
    label->setToolTip(toolTip);
    auto *view = makeList(objectName);
    view->setToolTip(toolTip);
    layout->addWidget(label);
    layout->addWidget(view);
    splitter->addWidget(container);
    if (titleLabel) {
        label->setObjectName(objectName + QLatin1String("Title"));
        *titleLabel = label;
    }
    return view;
}

QLabel *makeSummaryLabel(const QString &objectName)
{
    auto *label = new QLabel;
    label->setObjectName(objectName);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return label;
}

QWidget *buildSummaryTab(MainWindowUi *ui)
{
    auto *tab = new QWidget;
    tab->setObjectName(QStringLiteral("summaryTab"));
    auto *layout = new QVBoxLayout(tab);

    // shown only when the file could not be read completely
    ui->readProblems = new KMessageWidget;
    ui->readProblems->setObjectName(QStringLiteral("readProblems"));
    ui->readProblems->setMessageType(KMessageWidget::Warning);
    // one kind of problem per line: the message widget's own word wrap
    // leaves a one-line box that cuts the text off
    ui->readProblems->setWordWrap(false);
    ui->readProblems->setCloseButtonVisible(false);
    ui->readProblems->setVisible(false);
    layout->addWidget(ui->readProblems);

    // shown when frames without names hide a share of the allocations
    ui->missingSymbols = new KMessageWidget;
    ui->missingSymbols->setObjectName(QStringLiteral("missingSymbols"));
    ui->missingSymbols->setMessageType(KMessageWidget::Information);
    // the texts come in short lines, as for the read problems above
    ui->missingSymbols->setWordWrap(false);
    ui->missingSymbols->setCloseButtonVisible(false);
    ui->missingSymbols->setVisible(false);
    layout->addWidget(ui->missingSymbols);

    auto *labels = new QHBoxLayout;
    ui->summaryLeft = makeSummaryLabel(QStringLiteral("summaryLeft"));
    ui->summaryCenter = makeSummaryLabel(QStringLiteral("summaryCenter"));
    ui->summaryRight = makeSummaryLabel(QStringLiteral("summaryRight"));
    labels->addWidget(ui->summaryLeft, 1);
    labels->addWidget(ui->summaryCenter, 1);
    labels->addWidget(ui->summaryRight, 1);
    layout->addLayout(labels);

    auto *line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    auto *splitter = new QSplitter(Qt::Horizontal);
    splitter->setObjectName(QStringLiteral("topListsSplitter"));
    ui->topListsSplitter = splitter;
    ui->topPeak =
        addTopList(splitter, QStringLiteral("topPeak"), i18n("Peak Contributions"), i18n("List of functions that allocated the most memory at a given time."));
    ui->topLeaked = addTopList(splitter,
                               QStringLiteral("topLeaked"),
                               i18n("Largest Memory Leaks"),
                               i18n("List of functions that leak the most memory."),
                               &ui->topLeakedLabel);
    ui->topAllocations =
        addTopList(splitter, QStringLiteral("topAllocations"), i18n("Most Memory Allocations"), i18n("List of functions that allocate memory most often."));
    ui->topTemporary = addTopList(splitter,
                                  QStringLiteral("topTemporary"),
                                  i18n("Most Temporary Allocations"),
                                  i18n("List of functions that produced the most temporary memory allocations."));
    layout->addWidget(splitter, 1);

    ui->suppressionBox = new KCollapsibleGroupBox;
    ui->suppressionBox->setObjectName(QStringLiteral("suppressionBox"));
    ui->suppressionBox->setTitle(i18n("Suppressions"));
    auto *boxLayout = new QVBoxLayout(ui->suppressionBox);
    const auto margins = boxLayout->contentsMargins();
    boxLayout->setContentsMargins(0, margins.top(), margins.right(), margins.bottom());
    ui->suppressionsView = makeList(QStringLiteral("suppressionsView"));
    boxLayout->addWidget(ui->suppressionsView);
    layout->addWidget(ui->suppressionBox);
    return tab;
}

QWidget *buildTreeTab(const QString &objectName, const QString &viewName, QLineEdit **filterFunction, QLineEdit **filterModule, QTreeView **view)
{
    auto *tab = new QWidget;
    tab->setObjectName(objectName);
    auto *layout = new QVBoxLayout(tab);
    auto *filters = new QHBoxLayout;
    *filterFunction = addFilterField(filters, i18n("filter by function..."));
    *filterModule = addFilterField(filters, i18n("filter by module..."));
    layout->addLayout(filters);
    *view = makeCostTree(viewName);
    layout->addWidget(*view);
    return tab;
}

QWidget *buildCallerCalleeTab(MainWindowUi *ui)
{
    auto *tab = new QWidget;
    tab->setObjectName(QStringLiteral("callerCalleeTab"));
    auto *layout = new QVBoxLayout(tab);
    auto *filters = new QHBoxLayout;
    ui->callerCalleeFilterFunction = addFilterField(filters, i18n("filter by function..."));
    ui->callerCalleeFilterModule = addFilterField(filters, i18n("filter by module..."));
    layout->addLayout(filters);

    auto *splitter = new QSplitter(Qt::Vertical);
    splitter->setObjectName(QStringLiteral("callerCalleeSplitter"));
    ui->callerCalleeSplitter = splitter;
    ui->callerCalleeResults = makeList(QStringLiteral("callerCalleeResults"));
    splitter->addWidget(ui->callerCalleeResults);
    auto *lists = new QSplitter(Qt::Horizontal);
    lists->setObjectName(QStringLiteral("callerCalleeListsSplitter"));
    ui->callerCalleeListsSplitter = lists;
    ui->callerView = makeList(QStringLiteral("callerView"));
    ui->calleeView = makeList(QStringLiteral("calleeView"));
    ui->locationView = makeList(QStringLiteral("locationView"));
    lists->addWidget(ui->callerView);
    lists->addWidget(ui->calleeView);
    lists->addWidget(ui->locationView);
    splitter->addWidget(lists);
    layout->addWidget(splitter);
    return tab;
}

QDockWidget *buildStacksDock(MainWindowUi *ui)
{
    // the title bar shows no mnemonics, and the dock cannot be toggled by the user anyway
    auto *dock = new QDockWidget(KLocalizedString::removeAcceleratorMarker(i18n("S&tacks")));
    dock->setObjectName(QStringLiteral("stacksDock"));
    dock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    // The accelerator manager that KXmlGui runs on the active window would put
    // a '&' into the title, which a dock shows as it is.
    KAcceleratorManager::setNoAccel(dock);
    auto *contents = new QWidget;
    auto *layout = new QVBoxLayout(contents);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(i18n("Selected Stack:")));
    ui->stackSpinner = new QSpinBox;
    ui->stackSpinner->setObjectName(QStringLiteral("stackSpinner"));
    row->addWidget(ui->stackSpinner, 1);
    layout->addLayout(row);
    ui->stacksTree = makeList(QStringLiteral("stacksTree"));
    ui->stacksTree->setAlternatingRowColors(false);
    ui->stacksTree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(ui->stacksTree);
    dock->setWidget(contents);
    return dock;
}

std::unique_ptr<MainWindowUi> buildUi(QMainWindow *window)
{
    auto ui = std::make_unique<MainWindowUi>();
    auto *central = new QWidget(window);
    auto *layout = new QVBoxLayout(central);

    ui->messages = new KMessageWidget;
    ui->messages->setObjectName(QStringLiteral("messages"));
    ui->messages->setMessageType(KMessageWidget::Information);
    ui->messages->setIcon(QIcon::fromTheme(QStringLiteral("dialog-error")));
    ui->messages->setWordWrap(true);
    ui->messages->setCloseButtonVisible(true);
    ui->messages->setVisible(false);
    layout->addWidget(ui->messages);

    ui->pages = new QStackedWidget;
    ui->pages->setObjectName(QStringLiteral("pages"));
    layout->addWidget(ui->pages, 1);

    ui->openPage = buildOpenPage(ui.get());
    ui->loadingPage = buildLoadingPage(ui.get());
    ui->resultsPage = new QWidget;
    ui->resultsPage->setObjectName(QStringLiteral("resultsPage"));
    auto *resultsLayout = new QVBoxLayout(ui->resultsPage);
    resultsLayout->setContentsMargins(0, 0, 0, 0);
    ui->tabWidget = new QTabWidget;
    ui->tabWidget->setObjectName(QStringLiteral("tabWidget"));
    resultsLayout->addWidget(ui->tabWidget);
    ui->pages->addWidget(ui->openPage);
    ui->pages->addWidget(ui->loadingPage);
    ui->pages->addWidget(ui->resultsPage);

    ui->summaryTab = buildSummaryTab(ui.get());
    ui->bottomUpTab = buildTreeTab(QStringLiteral("bottomUpTab"),
                                   QStringLiteral("bottomUpResults"),
                                   &ui->bottomUpFilterFunction,
                                   &ui->bottomUpFilterModule,
                                   &ui->bottomUpResults);
    ui->callerCalleeTab = buildCallerCalleeTab(ui.get());
    ui->topDownTab =
        buildTreeTab(QStringLiteral("topDownTab"), QStringLiteral("topDownResults"), &ui->topDownFilterFunction, &ui->topDownFilterModule, &ui->topDownResults);
    ui->flameGraphTab = new FlameGraph;
    ui->flameGraphTab->setObjectName(QStringLiteral("flameGraphTab"));
    ui->tabWidget->addTab(ui->summaryTab, i18n("Summary"));
    ui->tabWidget->addTab(ui->bottomUpTab, i18n("Bottom-Up"));
    ui->tabWidget->addTab(ui->callerCalleeTab, i18n("Caller / Callee"));
    ui->tabWidget->addTab(ui->topDownTab, i18n("Top-Down"));
    ui->tabWidget->addTab(ui->flameGraphTab, i18n("Flame Graph"));
    ui->tabWidget->setCurrentIndex(0);

    window->setCentralWidget(central);

    ui->stacksDock = buildStacksDock(ui.get());
    window->addDockWidget(Qt::RightDockWidgetArea, ui->stacksDock);

    ui->fileMenu = window->menuBar()->addMenu(i18n("&File"));
    ui->filterMenu = window->menuBar()->addMenu(i18n("Filter"));
    ui->settingsMenu = window->menuBar()->addMenu(i18n("Setti&ngs"));
    ui->exportMenu = new QMenu(i18n("&Export"), window);
    ui->exportMenu->setObjectName(QStringLiteral("exportMenu"));
    ui->exportMenu->setIcon(QIcon::fromTheme(QStringLiteral("document-export")));
    return ui;
}

void sortByColumn(QTreeView *view, int column)
{
    const auto order = view->model()->headerData(column, Qt::Horizontal, Qt::InitialSortOrderRole);
    view->sortByColumn(column, order.isValid() ? static_cast<Qt::SortOrder>(order.toInt()) : Qt::AscendingOrder);
}

// The "View Caller/Callee" menu of a view whose rows carry a Symbol under the
// tree model's symbol role.
template<typename Callback>
void setupContextMenu(QTreeView *view, Callback callback)
{
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(view, &QTreeView::customContextMenuRequested, view, [view, callback](const QPoint &point) {
        // new results may reset the model while the menu is open
        const QPersistentModelIndex index = view->indexAt(point);
        if (!index.isValid()) {
            return;
        }
        QMenu contextMenu;
        auto *viewCallerCallee = contextMenu.addAction(i18n("View Caller/Callee"));
        QObject::connect(viewCallerCallee, &QAction::triggered, view, [index, callback]() {
            if (!index.isValid()) {
                return;
            }
            const auto symbol = index.data(TreeModel::SymbolRole).value<Symbol>();
            if (symbol.functionId || symbol.moduleId) {
                callback(symbol);
            }
        });
        contextMenu.exec(QCursor::pos());
    });
}

template<typename Callback>
void setupTreeContextMenu(QTreeView *view, Callback callback)
{
    setupContextMenu(view, callback);
}

template<typename Callback>
void setupTreeModel(TreeModel *model, QTreeView *view, CostDelegate *costDelegate, QLineEdit *filterFunction, QLineEdit *filterModule, Callback callback)
{
    auto *proxy = new TreeProxy(TreeModel::SymbolRole, TreeModel::ResultDataRole, model);
    proxy->setSourceModel(model);
    proxy->setSortRole(TreeModel::SortRole);
    // the header first: a header set later would forget the sort column
    view->setHeader(new CostHeaderView(view));
    view->setModel(proxy);
    view->setSortingEnabled(true);
    sortByColumn(view, 1);
    for (int column = TreeModel::PeakColumn; column <= TreeModel::TemporaryColumn; ++column) {
        view->setItemDelegateForColumn(column, costDelegate);
    }
    QObject::connect(filterFunction, &QLineEdit::textChanged, proxy, &TreeProxy::setFunctionFilter);
    QObject::connect(filterModule, &QLineEdit::textChanged, proxy, &TreeProxy::setModuleFilter);
    setupTreeContextMenu(view, callback);
    new CurrentRowKeeper(view);
    ViewCopy::installCopyShortcut(view);
}

template<typename Callback>
void setupTopView(TreeModel *source, QTreeView *view, TopProxy::Type type, CostDelegate *costDelegate, Callback callback)
{
    auto *proxy = new TopProxy(type, source);
    proxy->setSourceModel(source);
    proxy->setSortRole(TreeModel::SortRole);
    view->setModel(proxy);
    sortByColumn(view, 1);
    // The function names need the room more than the one cost column: with the
    // cost column stretched they are cut to a few letters in a list this narrow.
    auto *header = view->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Interactive);
    header->resizeSection(1, view->fontMetrics().horizontalAdvance(QStringLiteral("888.8 MB")) * 3 / 2);
    setupTreeContextMenu(view, callback);
    view->setItemDelegate(costDelegate);
    new CurrentRowKeeper(view);
    ViewCopy::installCopyShortcut(view);
}

template<typename Model>
Model *setupModelAndProxyForView(QTreeView *view, QObject *owner)
{
    auto *model = new Model(owner);
    auto *proxy = new QSortFilterProxyModel(model);
    proxy->setSourceModel(model);
    proxy->setSortRole(Model::SortRole);
    view->setHeader(new CostHeaderView(view));
    view->setModel(proxy);
    view->setSortingEnabled(true);
    sortByColumn(view, 1);
    auto *delegate = new CostDelegate(COST_SORT_ROLE, COST_TOTAL_ROLE, view);
    for (int column = 1; column < model->columnCount(); ++column) {
        view->setItemDelegateForColumn(column, delegate);
    }
    new CurrentRowKeeper(view);
    ViewCopy::installCopyShortcut(view);
    return model;
}

template<typename Model, typename Handler>
void connectCallerOrCalleeModel(QTreeView *view, CallerCalleeModel *callerCalleeCostModel, Handler handler)
{
    QObject::connect(view, &QTreeView::activated, view, [callerCalleeCostModel, handler](const QModelIndex &index) {
        const auto symbol = index.data(Model::SymbolRole).template value<Symbol>();
        const auto target = callerCalleeCostModel->indexForKey(symbol, 0);
        if (target.isValid()) {
            handler(target);
        }
    });
}

// The file of a row of the location list, if it is on disk.
QString existingLocationFile(const QModelIndex &index, int *line)
{
    if (!index.isValid()) {
        return {};
    }
    const auto *resultData = index.data(SourceMapModel::ResultDataRole).value<const ResultData *>();
    const auto location = index.data(SourceMapModel::LocationRole).value<FileLine>();
    if (!resultData) {
        return {};
    }
    const auto file = resultData->string(static_cast<StringIndex>(location.fileId));
    if (file.isEmpty() || !QFileInfo(file).isFile()) {
        return {};
    }
    *line = location.line;
    return file;
}

void addLocationContextMenu(QTreeView *locationView, MainWindow *window)
{
    locationView->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(locationView, &QTreeView::customContextMenuRequested, window, [locationView, window](const QPoint &point) {
        int line = 0;
        const auto file = existingLocationFile(locationView->indexAt(point), &line);
        if (file.isEmpty()) {
            return;
        }
        auto *menu = new QMenu(locationView);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        auto *openAction = menu->addAction(QIcon::fromTheme(QStringLiteral("document-open")), i18n("Open file in editor"));
        QObject::connect(openAction, &QAction::triggered, window, [window, file, line]() {
            window->navigateToCode(file, line, -1);
        });
        menu->popup(locationView->viewport()->mapToGlobal(point));
    });
    QObject::connect(locationView, &QTreeView::activated, window, [window](const QModelIndex &index) {
        int line = 0;
        const auto file = existingLocationFile(index, &line);
        if (!file.isEmpty()) {
            window->navigateToCode(file, line, -1);
        }
    });
}

void setTabEnabled(QTabWidget *tabWidget, QWidget *tab, bool enabled)
{
    tabWidget->setTabEnabled(tabWidget->indexOf(tab), enabled);
}

}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_ui(buildUi(this))
    , m_config(KSharedConfig::openConfig(QStringLiteral("memloupe_gui")))
    , m_processStarter([](const QString &program, const QStringList &arguments) {
        return QProcess::startDetached(program, arguments);
    })
    , m_urlOpener([](const QUrl &url) {
        return QDesktopServices::openUrl(url);
    })
{
    m_lastFilterParameters.minTime = 0;
    m_lastFilterParameters.maxTime = UNFILTERED_MAX_TIME;

    m_ui->pages->setCurrentWidget(m_ui->openPage);
    m_ui->loadingProgress->setRange(0, 1000);
    m_ui->loadingProgress->setValue(0);

    m_bottomUpModel = new TreeModel(this);
    m_topDownModel = new TreeModel(this);
    m_callerCalleeModel = new CallerCalleeModel(this);
    connect(this, &MainWindow::clearData, m_bottomUpModel, &TreeModel::clearData);
    connect(this, &MainWindow::clearData, m_topDownModel, &TreeModel::clearData);
    connect(this, &MainWindow::clearData, m_callerCalleeModel, &CallerCalleeModel::clearData);
    connect(this, &MainWindow::clearData, m_ui->flameGraphTab, &FlameGraph::clearData);
    setTabEnabled(m_ui->tabWidget, m_ui->callerCalleeTab, false);
    setTabEnabled(m_ui->tabWidget, m_ui->topDownTab, false);
    setTabEnabled(m_ui->tabWidget, m_ui->flameGraphTab, false);

    setupSummaryPage();
    setupTrees();
    setupCallerCallee();
    setupCharts();
    setupParser();

    connect(m_ui->openFile, &KUrlRequester::textChanged, this, &MainWindow::validateInput);
    connect(m_ui->compareTo, &KUrlRequester::textChanged, this, &MainWindow::validateInput);
    connect(m_ui->suppressions, &KUrlRequester::textChanged, this, &MainWindow::validateInput);
    m_ui->openFile->setFilter(dataFileFilter());
    m_ui->compareTo->setFilter(dataFileFilter());
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &MainWindow::openFromForm);

    setupStacks();
    setWindowTitle(i18n("Memloupe"));
    setupMenus();
    setupCodeNavigationMenu();
    setupHelpMenu();
    setupRecentFiles();
    updateFilterActions();

    connect(m_ui->cancelLoading, &QPushButton::clicked, this, &MainWindow::cancelLoading);
    setAcceptDrops(true);

    // Quitting and the end of the session bypass the close of each window.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &) {
        saveSettings();
    });
    connect(qGuiApp, &QGuiApplication::saveStateRequest, this, [this](QSessionManager &) {
        saveSettings();
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &MainWindow::saveSettings);

    restoreSettings();
}

MainWindow::~MainWindow()
{
    saveSettings();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveSettings();
    QMainWindow::closeEvent(event);
}

void MainWindow::restoreSettings()
{
    const KConfigGroup group(m_config, MAIN_WINDOW_GROUP);
    const auto geometry = group.readEntry("Geometry", QByteArray());
    if (geometry.isEmpty() || !restoreGeometry(geometry)) {
        const auto *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            const auto available = screen->availableGeometry();
            resize(firstStartSize(available));
            move(available.center() - QPoint(width() / 2, height() / 2));
        }
    }
    restoreState(group.readEntry("State", QByteArray()), 1);
    // the dock belongs to the two tree tabs only, whatever the layout said
    m_ui->stacksDock->setVisible(false);
    m_stacksDockWidth = group.readEntry("StacksDockWidth", 0);
    m_stacksDockWidthApplied = false;

    for (const auto &splitter : keptSplitters(*m_ui)) {
        const auto state = group.readEntry(splitter.first, QByteArray());
        if (!state.isEmpty()) {
            splitter.second->restoreState(state);
        }
    }
    for (const auto &tree : keptHeaders(*m_ui)) {
        const auto state = group.readEntry(tree.first, QByteArray());
        if (!state.isEmpty()) {
            tree.second->header()->restoreState(state);
        }
    }
}

void MainWindow::saveSettings()
{
    KConfigGroup group(m_config, MAIN_WINDOW_GROUP);
    group.writeEntry("State", saveState(1));
    group.writeEntry("Geometry", saveGeometry());
    if (m_ui->stacksDock->isVisible()) {
        m_stacksDockWidth = m_ui->stacksDock->width();
    }
    if (m_stacksDockWidth > 0) {
        group.writeEntry("StacksDockWidth", m_stacksDockWidth);
    }
    for (const auto &splitter : keptSplitters(*m_ui)) {
        if (hasBeenLaidOut(splitter.second)) {
            group.writeEntry(splitter.first, splitter.second->saveState());
        }
    }
    for (const auto &tree : keptHeaders(*m_ui)) {
        if (tree.second->header()->count() > 0) {
            group.writeEntry(tree.first, tree.second->header()->saveState());
        }
    }
    m_config->sync();
}

void MainWindow::restoreStacksDockWidth()
{
    if (m_stacksDockWidthApplied || m_stacksDockWidth <= 0) {
        return;
    }
    m_stacksDockWidthApplied = true;
    // after the layout has made room for the dock that was just shown, which
    // would otherwise undo the width
    QTimer::singleShot(0, this, [this]() {
        resizeDocks({m_ui->stacksDock}, {m_stacksDockWidth}, Qt::Horizontal);
    });
}

void MainWindow::setProcessStarter(ProcessStarter starter)
{
    m_processStarter = std::move(starter);
}

void MainWindow::setUrlOpener(UrlOpener opener)
{
    m_urlOpener = std::move(opener);
}

void MainWindow::setupParser()
{
    m_parser = new Parser(this);
    connect(m_parser, &Parser::progressMessageAvailable, m_ui->progressLabel, &QLabel::setText);
    connect(m_parser, &Parser::progress, m_ui->loadingProgress, &QProgressBar::setValue);
    connect(m_parser, &Parser::summaryAvailable, this, [this](const SummaryData &data) {
        m_runSummary = std::make_shared<SummaryData>(data);
        // the file could be read: worth opening again, even if the rest is not waited for
        if (!m_reparsing && !m_loadingPath.isEmpty()) {
            addRecentFile(m_loadingPath);
            m_loadingPath.clear();
        }
        showSummary(data);
    });
    connect(m_parser, &Parser::bottomUpDataAvailable, this, [this](const TreeData &data) {
        // the stacks hold indices into the tree that is about to be replaced
        if (m_stacksSource == m_bottomUpModel) {
            m_stacksModel->clear();
            m_stacksSource = nullptr;
        }
        m_bottomUpModel->resetData(data);
        // the replaced results are freed in the background, here as in the models
        JobQueue::releaseInBackground(std::exchange(m_shownBottomUp, std::make_shared<TreeData>(data)));
        m_ui->flameGraphTab->setBottomUpData(data);
        showBottomUp();
    });
    connect(m_parser, &Parser::topDownDataAvailable, this, [this](const TreeData &data) {
        if (m_stacksSource == m_topDownModel) {
            m_stacksModel->clear();
            m_stacksSource = nullptr;
        }
        m_topDownModel->resetData(data);
        JobQueue::releaseInBackground(std::exchange(m_shownTopDown, std::make_shared<TreeData>(data)));
        setTabEnabled(m_ui->tabWidget, m_ui->topDownTab, true);
        // a diff gets the differential flame graph
        m_ui->flameGraphTab->setTopDownData(data);
        setTabEnabled(m_ui->tabWidget, m_ui->flameGraphTab, true);
    });
    connect(m_parser, &Parser::callerCalleeDataAvailable, this, [this](const CallerCalleeResults &data) {
        m_callerCalleeModel->setResults(data);
        // the lists below showed a function of the replaced results, or the one found again in the new ones
        selectCallerCalleeIndex(m_ui->callerCalleeResults->currentIndex());
        setTabEnabled(m_ui->tabWidget, m_ui->callerCalleeTab, true);
    });
    for (const auto &chart : m_ui->charts) {
        connect(m_parser, &Parser::summaryAvailable, chart.widget, &ChartWidget::setSummaryData);
        connect(m_parser, chart.dataReady, this, [this, chart](const ChartData &data) {
            chart.model->resetData(data);
            setTabEnabled(m_ui->tabWidget, chart.widget, true);
        });
    }
    connect(m_parser, &Parser::sizeHistogramDataAvailable, this, [this](const HistogramData &data) {
        m_histogramModel->resetData(data);
        setTabEnabled(m_ui->tabWidget, m_ui->sizesTab, true);
    });
    connect(m_parser, &Parser::finished, this, [this]() {
        m_loadingPath.clear();
        m_reparsing = false;
        // what a cancelled re-run returns to
        m_shownSummary = m_runSummary;
        m_shownFilterParameters = m_lastFilterParameters;
        removeProgress();
        updateFilterActions();
        updateExportAction();
    });
    connect(m_parser, &Parser::failedToOpen, this, [this](const QString &failedPath) {
        m_loadingPath.clear();
        m_reparsing = false;
        removeProgress();
        m_ui->pages->setCurrentWidget(m_ui->openPage);
        setWindowTitle(i18n("Memloupe"));
        showError(i18n("Failed to parse file %1.", failedPath));
        updateFilterActions();
        updateRecentList();
    });
}

void MainWindow::setupSummaryPage()
{
    m_suppressionsModel = new SuppressionsModel(this);
    auto *proxy = new QSortFilterProxyModel(m_suppressionsModel);
    proxy->setSourceModel(m_suppressionsModel);
    proxy->setSortRole(SuppressionsModel::SortRole);
    auto *view = m_ui->suppressionsView;
    view->setModel(proxy);
    view->setSortingEnabled(true);
    view->sortByColumn(SuppressionsModel::Leaked, Qt::DescendingOrder);
    auto *delegate = new CostDelegate(COST_SORT_ROLE, COST_TOTAL_ROLE, view);
    view->setItemDelegateForColumn(SuppressionsModel::Matches, delegate);
    view->setItemDelegateForColumn(SuppressionsModel::Leaked, delegate);
    m_ui->suppressionBox->setVisible(false);
}

void MainWindow::setupTrees()
{
    auto *costDelegate = new CostDelegate(COST_SORT_ROLE, COST_TOTAL_ROLE, this);
    const auto callback = [this](const Symbol &symbol) {
        showSymbolInCallerCallee(symbol);
    };

    setupTopView(m_bottomUpModel, m_ui->topPeak, TopProxy::Peak, costDelegate, callback);
    setupTopView(m_bottomUpModel, m_ui->topLeaked, TopProxy::Leaked, costDelegate, callback);
    setupTopView(m_bottomUpModel, m_ui->topAllocations, TopProxy::Allocations, costDelegate, callback);
    setupTopView(m_bottomUpModel, m_ui->topTemporary, TopProxy::Temporary, costDelegate, callback);

    setupTreeModel(m_bottomUpModel, m_ui->bottomUpResults, costDelegate, m_ui->bottomUpFilterFunction, m_ui->bottomUpFilterModule, callback);
    setupTreeModel(m_topDownModel, m_ui->topDownResults, costDelegate, m_ui->topDownFilterFunction, m_ui->topDownFilterModule, callback);

    connect(m_ui->flameGraphTab, &FlameGraph::callerCalleeViewRequested, this, callback);
    connect(m_ui->flameGraphTab, &FlameGraph::exportFailed, this, &MainWindow::showError);
}

void MainWindow::setupCallerCallee()
{
    auto *view = m_ui->callerCalleeResults;
    auto *proxy = new TreeProxy(CallerCalleeModel::SymbolRole, CallerCalleeModel::ResultDataRole, m_callerCalleeModel);
    proxy->setSourceModel(m_callerCalleeModel);
    proxy->setSortRole(CallerCalleeModel::SortRole);
    view->setHeader(new CostHeaderView(view));
    view->setModel(proxy);
    view->setSortingEnabled(true);
    sortByColumn(view, 1);
    auto *delegate = new CostDelegate(COST_SORT_ROLE, COST_TOTAL_ROLE, view);
    for (int column = 1; column < CallerCalleeModel::NUM_COLUMNS; ++column) {
        view->setItemDelegateForColumn(column, delegate);
    }
    connect(m_ui->callerCalleeFilterFunction, &QLineEdit::textChanged, proxy, &TreeProxy::setFunctionFilter);
    connect(m_ui->callerCalleeFilterModule, &QLineEdit::textChanged, proxy, &TreeProxy::setModuleFilter);
    connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex &current) {
        if (current.isValid()) {
            selectCallerCalleeIndex(current);
        }
    });
    new CurrentRowKeeper(view);
    ViewCopy::installCopyShortcut(view);

    m_callerModel = setupModelAndProxyForView<CallerModel>(m_ui->callerView, this);
    m_calleeModel = setupModelAndProxyForView<CalleeModel>(m_ui->calleeView, this);
    m_sourceMapModel = setupModelAndProxyForView<SourceMapModel>(m_ui->locationView, this);

    const auto select = [this](const QModelIndex &index) {
        selectCallerCalleeIndex(index);
    };
    connectCallerOrCalleeModel<CallerModel>(m_ui->callerView, m_callerCalleeModel, select);
    connectCallerOrCalleeModel<CalleeModel>(m_ui->calleeView, m_callerCalleeModel, select);
    addLocationContextMenu(m_ui->locationView, this);

    // the lists belong to a function of the cleared results
    connect(this, &MainWindow::clearData, this, [this]() {
        selectCallerCalleeIndex({});
    });
}

void MainWindow::setupCharts()
{
    const struct {
        QString title;
        ChartModel::Type type;
        void (Parser::*dataReady)(const ChartData &);
    } charts[] = {
        {i18n("Consumed"), ChartModel::Consumed, &Parser::consumedChartDataAvailable},
        {i18n("Allocations"), ChartModel::Allocations, &Parser::allocationsChartDataAvailable},
        {i18n("Temporary Allocations"), ChartModel::Temporary, &Parser::temporaryChartDataAvailable},
    };
    for (const auto &chart : charts) {
        auto *widget = new ChartWidget(m_ui->tabWidget->parentWidget());
        m_ui->tabWidget->addTab(widget, chart.title);
        setTabEnabled(m_ui->tabWidget, widget, false);
        auto *model = new ChartModel(chart.type, widget);
        widget->setModel(model);
        connect(this, &MainWindow::clearData, model, &ChartModel::clearData);
        connect(this, &MainWindow::clearData, widget, [widget]() {
            widget->setSelection(ChartWidget::Range{});
        });
        connect(widget, &ChartWidget::filterRequested, this, &MainWindow::reparse);
        m_ui->charts.push_back({widget, model, chart.dataReady});
    }
    for (const auto &source : m_ui->charts) {
        // direct, so the three charts agree before anything repaints; each ignores a range it already has
        connect(
            source.widget,
            &ChartWidget::selectionChanged,
            this,
            [this](const ChartWidget::Range &range) {
                for (const auto &chart : m_ui->charts) {
                    chart.widget->setSelection(range);
                }
            },
            Qt::DirectConnection);
    }

    m_ui->sizesTab = new HistogramWidget(m_ui->tabWidget->parentWidget());
    m_ui->sizesTab->setObjectName(QStringLiteral("sizesTab"));
    m_histogramModel = new HistogramModel(this);
    m_ui->sizesTab->setModel(m_histogramModel);
    m_ui->tabWidget->addTab(m_ui->sizesTab, i18n("Sizes"));
    setTabEnabled(m_ui->tabWidget, m_ui->sizesTab, false);
    connect(this, &MainWindow::clearData, m_histogramModel, &HistogramModel::clearData);
}

void MainWindow::setupStacks()
{
    m_stacksModel = new StacksModel(this);
    m_ui->stacksTree->setModel(m_stacksModel);
    m_ui->stacksTree->setRootIsDecorated(false);
    m_ui->stackSpinner->setMinimum(0);
    m_ui->stackSpinner->setMaximum(0);
    m_ui->stackSpinner->setSuffix(i18n(" / %1", 0));

    connect(m_stacksModel, &StacksModel::stacksFound, this, &MainWindow::updateStackSpinner);
    connect(m_ui->stackSpinner, qOverload<int>(&QSpinBox::valueChanged), m_stacksModel, &StacksModel::setStackIndex);
    for (auto *view : {m_ui->bottomUpResults, m_ui->topDownResults}) {
        // a re-run brings back the current rows of both trees: the dock follows the one shown
        connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this, [this, view](const QModelIndex &current) {
            if (m_ui->tabWidget->currentWidget() == view->parentWidget()) {
                fillFromIndex(current);
            }
        });
    }
    connect(m_ui->tabWidget, &QTabWidget::currentChanged, this, &MainWindow::tabChanged);

    ViewCopy::installCopyShortcut(m_ui->stacksTree)->setObjectName(QStringLiteral("copyStacksShortcut"));
    // a filter that hides the current row takes it away without a change of the current index
    for (auto *view : {m_ui->bottomUpResults, m_ui->topDownResults}) {
        connect(view->model(), &QAbstractItemModel::layoutChanged, this, [this, view]() {
            if (m_ui->tabWidget->currentWidget() == view->parentWidget()) {
                fillFromIndex(view->selectionModel()->currentIndex());
            }
        });
    }

    m_ui->stacksDock->setVisible(false);
}

void MainWindow::setupMenus()
{
    m_openAction = KStandardAction::open(this, &MainWindow::closeFile, this);
    m_openAction->setEnabled(false);
    m_openNewAction = KStandardAction::openNew(this, &MainWindow::openNewFile, this);
    m_closeAction = KStandardAction::close(this, &MainWindow::close, this);
    m_quitAction = KStandardAction::quit(
        qApp,
        []() {
            // each window saves its layout as it closes
            QApplication::closeAllWindows();
            QApplication::quit();
        },
        this);
    m_recentFilesAction = KStandardAction::openRecent(
        this,
        [this](const QUrl &url) {
            openRecentFile(url.toLocalFile());
        },
        this);
    m_ui->fileMenu->addAction(m_openAction);
    m_ui->fileMenu->addAction(m_recentFilesAction);
    m_ui->fileMenu->addAction(m_openNewAction);
    m_ui->fileMenu->addMenu(m_ui->exportMenu);
    m_ui->fileMenu->addAction(m_closeAction);
    m_ui->fileMenu->addAction(m_quitAction);
    setupExportMenu();

    m_resetFilterAction = new QAction(QIcon::fromTheme(QStringLiteral("timeline-use-zone-off")), i18n("Reset Filter"), this);
    m_resetFilterAction->setObjectName(QStringLiteral("actionResetFilter"));
    m_resetFilterAction->setEnabled(false);
    connect(m_resetFilterAction, &QAction::triggered, this, [this]() {
        reparse(0, UNFILTERED_MAX_TIME);
    });
    m_ui->filterMenu->addAction(m_resetFilterAction);

    m_disableEmbeddedSuppressions = m_ui->settingsMenu->addAction(i18n("Disable Embedded Suppressions"));
    m_disableEmbeddedSuppressions->setObjectName(QStringLiteral("actionDisableEmbeddedSuppressions"));
    m_disableEmbeddedSuppressions->setToolTip(
        i18n("Ignore suppression definitions that are embedded into the memloupe data file. By default, memloupe "
             "will copy the suppressions optionally defined via a `const char *__lsan_default_suppressions()` "
             "symbol in the debuggee application.  These are then always applied when analyzing the data, unless "
             "this feature is explicitly disabled using this command line option."));
    m_disableEmbeddedSuppressions->setCheckable(true);
    connect(m_disableEmbeddedSuppressions, &QAction::toggled, this, [this](bool disable) {
        m_lastFilterParameters.disableEmbeddedSuppressions = disable;
        reparse(m_lastFilterParameters.minTime, m_lastFilterParameters.maxTime);
    });

    m_disableBuiltinSuppressions = m_ui->settingsMenu->addAction(i18n("Disable Builtin Suppressions"));
    m_disableBuiltinSuppressions->setObjectName(QStringLiteral("actionDisableBuiltinSuppressions"));
    m_disableBuiltinSuppressions->setToolTip(
        i18n("Ignore suppression definitions that are built into memloupe. By default, memloupe will suppress "
             "certain known leaks from common system libraries."));
    m_disableBuiltinSuppressions->setCheckable(true);
    connect(m_disableBuiltinSuppressions, &QAction::toggled, this, [this](bool disable) {
        m_lastFilterParameters.disableBuiltinSuppressions = disable;
        reparse(m_lastFilterParameters.minTime, m_lastFilterParameters.maxTime);
    });
}

void MainWindow::setupCodeNavigationMenu()
{
    using namespace CodeNavigation;
    m_codeNavigationAction = new QAction(QIcon::fromTheme(QStringLiteral("applications-development")), i18n("Code Navigation"), this);
    m_codeNavigationAction->setObjectName(QStringLiteral("actionCodeNavigation"));
    auto *menu = new QMenu(this);
    auto *actionGroup = new QActionGroup(menu);
    actionGroup->setExclusive(true);

    const KConfigGroup group(m_config, CODE_NAVIGATION_GROUP);
    const int configuredIde = group.readEntry("IDE", firstAvailableIde());

    for (int ide = 0; ide < LAST_IDE; ++ide) {
        const auto settings = ideSettings(ide);
        auto *action = new QAction(menu);
        action->setText(settings.name);
        action->setIcon(QIcon::fromTheme(settings.app, QIcon::fromTheme(QStringLiteral("application-x-executable"))));
        action->setCheckable(true);
        action->setChecked(ide == configuredIde);
        action->setData(ide);
        action->setEnabled(!QStandardPaths::findExecutable(settings.app).isEmpty());
        actionGroup->addAction(action);
        menu->addAction(action);
    }

    menu->addSeparator();
    auto *customAction = new QAction(menu);
    customAction->setText(i18n("Custom..."));
    customAction->setIcon(QIcon::fromTheme(QStringLiteral("application-x-executable-script")));
    customAction->setCheckable(true);
    customAction->setChecked(configuredIde == -1);
    customAction->setData(-1);
    actionGroup->addAction(customAction);
    menu->addAction(customAction);

    connect(actionGroup, &QActionGroup::triggered, this, &MainWindow::setCodeNavigationIDE);
    m_codeNavigationAction->setMenu(menu);
    m_ui->settingsMenu->addAction(m_codeNavigationAction);
}

void MainWindow::setCodeNavigationIDE(QAction *action)
{
    KConfigGroup group(m_config, CODE_NAVIGATION_GROUP);
    const int ide = action->data().toInt();
    if (ide != -1) {
        group.writeEntry("IDE", ide);
        m_config->sync();
        return;
    }

    bool ok = false;
    const auto command = QInputDialog::getText(this,
                                               i18n("Custom Code Navigation"),
                                               i18n("Specify command to use for code navigation, '%f' will be replaced by the file name, '%l' by the "
                                                    "line number and '%c' by the column number."),
                                               QLineEdit::Normal,
                                               group.readEntry("CustomCommand", QString()),
                                               &ok);
    if (ok && !command.trimmed().isEmpty()) {
        group.writeEntry("CustomCommand", command);
        group.writeEntry("IDE", -1);
        m_config->sync();
        return;
    }

    // nothing changed: the check mark goes back to the editor still in use
    const int configuredIde = group.readEntry("IDE", CodeNavigation::firstAvailableIde());
    if (auto *actionGroup = action->actionGroup()) {
        const auto actions = actionGroup->actions();
        for (auto *candidate : actions) {
            if (candidate->data().toInt() == configuredIde) {
                candidate->setChecked(true);
                break;
            }
        }
    }
}

void MainWindow::navigateToCode(const QString &filePath, int lineNumber, int columnNumber)
{
    using namespace CodeNavigation;
    const KConfigGroup group(m_config, CODE_NAVIGATION_GROUP);
    const int ide = group.readEntry("IDE", firstAvailableIde());

    QString command;
    if (ide >= 0 && ide < LAST_IDE) {
        const auto settings = ideSettings(ide);
        command = settings.app + QLatin1Char(' ') + settings.args;
    } else if (ide == -1) {
        command = group.readEntry("CustomCommand", QString());
    }

    const auto arguments = commandLine(command, filePath, lineNumber, columnNumber);
    if (arguments.isEmpty()) {
        m_urlOpener(QUrl::fromLocalFile(filePath));
        return;
    }
    // an editor that does not start is not worth an error: the user picked it
    m_processStarter(arguments.first(), arguments.mid(1));
}

void MainWindow::showError(const QString &message)
{
    m_ui->messages->setText(message);
    m_ui->messages->setVisible(true);
}

bool MainWindow::validateInputFile(const QString &path, bool allowEmpty)
{
    if (path.isEmpty()) {
        return allowEmpty;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        showError(i18n("Input data %1 does not exist.", path));
        return false;
    }
    if (!info.isFile()) {
        showError(i18n("Input data %1 is not a file.", path));
        return false;
    }
    if (!info.isReadable()) {
        showError(i18n("Input data %1 is not readable.", path));
        return false;
    }
    return true;
}

void MainWindow::validateInput()
{
    m_ui->messages->setVisible(false);
    const bool valid = validateInputFile(m_ui->openFile->url().toLocalFile(), false) && validateInputFile(m_ui->compareTo->url().toLocalFile(), true)
        && validateInputFile(m_ui->suppressions->url().toLocalFile(), true);
    m_ui->buttonBox->button(QDialogButtonBox::Open)->setEnabled(valid);
}

void MainWindow::openFromForm()
{
    const auto path = m_ui->openFile->url().toLocalFile();
    const auto base = m_ui->compareTo->url().toLocalFile();
    const auto suppressionFile = m_ui->suppressions->url().toLocalFile();

    bool ok = false;
    auto suppressions = parseSuppressions(suppressionFile.toStdString(), &ok);
    if (!ok) {
        showError(i18n("Failed to parse suppression file."));
        return;
    }
    m_lastFilterParameters.suppressions = std::move(suppressions);
    loadFile(path, base);
}

void MainWindow::loadFile(const QString &path, const QString &diffBase)
{
    // a run of an earlier file may still be going: its progress widgets come back first
    if (m_ui->loadingLayout->indexOf(m_ui->loadingProgress) < 0) {
        removeProgress();
    }
    resetResults();
    m_ui->messages->setVisible(false);
    m_closeAction->setEnabled(false);
    m_ui->loadingLabel->setText(i18n("Loading file %1, please wait...", path));
    m_ui->loadingProgress->setValue(0);
    if (diffBase.isEmpty()) {
        setWindowTitle(i18nc("%1: file name that is open", "Memloupe - %1", QFileInfo(path).fileName()));
        m_diffMode = false;
    } else {
        setWindowTitle(i18nc("%1, %2: file names that are open", "Memloupe - %1 compared to %2", QFileInfo(path).fileName(), QFileInfo(diffBase).fileName()));
        m_diffMode = true;
    }
    m_ui->pages->setCurrentWidget(m_ui->loadingPage);
    // the focus would stay on a hidden view of the results, where Esc does nothing
    m_ui->cancelLoading->setFocus();

    resetParser();
    // a time range chosen on an earlier file means nothing for this one
    m_lastFilterParameters.minTime = 0;
    m_lastFilterParameters.maxTime = UNFILTERED_MAX_TIME;
    m_reparsing = false;
    m_loadingPath = path;
    m_parser->parse(path, diffBase, m_lastFilterParameters, Parser::StopAfter::Finished);
    updateFilterActions();
    updateExportAction();
}

void MainWindow::reparse(int64_t minTime, int64_t maxTime)
{
    // The analysis only re-runs finished, non-diff data. Asking it anyway would
    // leave the loading page up with nothing coming to take it down again.
    if (m_ui->pages->currentWidget() != m_ui->resultsPage || m_diffMode || m_parser->isRunning()) {
        return;
    }
    auto parameters = m_lastFilterParameters;
    parameters.minTime = minTime;
    parameters.maxTime = maxTime;
    m_parser->reparse(parameters);
    if (!m_parser->isRunning()) {
        return;
    }
    m_lastFilterParameters = std::move(parameters);
    m_reparsing = true;

    // File > Open stays available: it abandons the re-run
    m_closeAction->setEnabled(false);
    m_ui->flameGraphTab->clearDataKeepingZoom();
    m_ui->loadingLabel->setText(i18n("Reparsing file, please wait..."));
    m_ui->loadingProgress->setValue(0);
    m_ui->pages->setCurrentWidget(m_ui->loadingPage);
    // the focus would stay on a hidden view of the results, where Esc does nothing
    m_ui->cancelLoading->setFocus();
    updateFilterActions();
}

void MainWindow::openNewFile()
{
    auto *window = new MainWindow;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setProcessStarter(m_processStarter);
    window->setUrlOpener(m_urlOpener);
    window->show();
    window->setDisableEmbeddedSuppressions(m_lastFilterParameters.disableEmbeddedSuppressions);
    window->setSuppressions(m_lastFilterParameters.suppressions);
}

void MainWindow::resetParser()
{
    // A parser that goes away drops whatever its run still sends, so nothing of
    // an abandoned run reaches the views. Its kept data goes too: the parser
    // would take a later load of the same path for a re-run of that data, even
    // when that data was a diff.
    m_parser->disconnect();
    m_parser->setParent(nullptr);
    m_parser->deleteLater();
    setupParser();
}

void MainWindow::closeFile()
{
    resetParser();
    m_reparsing = false;
    m_loadingPath.clear();
    setWindowTitle(i18n("Memloupe"));
    if (m_ui->loadingLayout->indexOf(m_ui->loadingProgress) < 0) {
        removeProgress();
    }
    m_closeAction->setEnabled(true);
    m_ui->pages->setCurrentWidget(m_ui->openPage);
    resetResults();
    m_openAction->setEnabled(false);
    updateFilterActions();
    updateRecentList();
}

void MainWindow::cancelLoading()
{
    if (m_ui->pages->currentWidget() != m_ui->loadingPage || !m_parser->isRunning()) {
        return;
    }
    if (!m_reparsing) {
        // dropping the parser cancels its run, and the reader lets go of the file
        closeFile();
        return;
    }

    m_parser->cancel();
    m_reparsing = false;
    m_lastFilterParameters = m_shownFilterParameters;
    // a switch that started the re-run goes back to what the results were made with
    {
        const QSignalBlocker embedded(m_disableEmbeddedSuppressions);
        m_disableEmbeddedSuppressions->setChecked(m_lastFilterParameters.disableEmbeddedSuppressions);
        const QSignalBlocker builtin(m_disableBuiltinSuppressions);
        m_disableBuiltinSuppressions->setChecked(m_lastFilterParameters.disableBuiltinSuppressions);
    }
    // the re-run may have sent its summary already
    if (m_shownSummary) {
        showSummary(*m_shownSummary);
        for (const auto &chart : m_ui->charts) {
            chart.widget->setSummaryData(*m_shownSummary);
        }
    }
    m_runSummary = m_shownSummary;
    if (m_shownBottomUp && m_shownTopDown) {
        m_ui->flameGraphTab->setBottomUpData(*m_shownBottomUp);
        m_ui->flameGraphTab->setTopDownData(*m_shownTopDown);
    }
    removeProgress();
    m_ui->pages->setCurrentWidget(m_ui->resultsPage);
    updateFilterActions();
    updateExportAction();
}

void MainWindow::resetResults()
{
    for (int i = 0, count = m_ui->tabWidget->count(); i < count; ++i) {
        m_ui->tabWidget->setTabEnabled(i, false);
    }
    // after disabling: a disabled current tab hands the focus on to the next one
    m_ui->tabWidget->setCurrentWidget(m_ui->summaryTab);
    m_stacksModel->clear();
    m_stacksSource = nullptr;
    m_shownSummary.reset();
    m_runSummary.reset();
    JobQueue::releaseInBackground(std::move(m_shownBottomUp));
    JobQueue::releaseInBackground(std::move(m_shownTopDown));
    Q_EMIT clearData();
}

void MainWindow::setDisableEmbeddedSuppressions(bool disable)
{
    m_disableEmbeddedSuppressions->setChecked(disable);
}

void MainWindow::setDisableBuiltinSuppressions(bool disable)
{
    m_disableBuiltinSuppressions->setChecked(disable);
}

void MainWindow::setSuppressions(std::vector<std::string> suppressions)
{
    m_lastFilterParameters.suppressions = std::move(suppressions);
}

void MainWindow::showSummary(const SummaryData &data)
{
    m_bottomUpModel->setSummary(data);
    m_topDownModel->setSummary(data);
    m_suppressionsModel->setSuppressions(data);
    // Visible whenever a rule was applied, even one that matched nothing: the
    // built-in rules are listed on every run that does not disable them.
    m_ui->suppressionBox->setVisible(m_suppressionsModel->rowCount() > 0);

    const auto texts = SummaryPage::texts(data);
    auto problems = Util::diagnosticsText(data.diagnostics);
    problems.replace(QLatin1String("\"), "), QLatin1String("\"),\n")).replace(QLatin1String("read: "), QLatin1String("read:\n"));
    m_ui->readProblems->setText(problems);
    m_ui->readProblems->setVisible(!problems.isEmpty());
    const auto missingSymbols = SummaryPage::missingSymbolsText(data);
    m_ui->missingSymbols->setText(missingSymbols);
    m_ui->missingSymbols->setVisible(!missingSymbols.isEmpty());
    // in a time range the column holds how much the consumption grew, not what leaked
    if (SummaryPage::isFiltered(data)) {
        m_ui->topLeakedLabel->setText(i18n("Largest Memory Consumption Delta"));
        m_ui->topLeakedLabel->setToolTip(i18n("List of functions whose memory consumption grew the most in the selected time range."));
    } else {
        m_ui->topLeakedLabel->setText(i18n("Largest Memory Leaks"));
        m_ui->topLeakedLabel->setToolTip(i18n("List of functions that leak the most memory."));
    }
    m_ui->topLeaked->setToolTip(m_ui->topLeakedLabel->toolTip());
    m_ui->summaryLeft->setText(texts.left);
    m_ui->summaryCenter->setText(texts.center);
    m_ui->summaryRight->setText(texts.right);
    setTabEnabled(m_ui->tabWidget, m_ui->summaryTab, true);
}

void MainWindow::showBottomUp()
{
    if (m_ui->loadingLayout->indexOf(m_ui->loadingProgress) >= 0) {
        // the analysis goes on: its progress moves to the status bar
        m_ui->loadingLayout->removeWidget(m_ui->progressLabel);
        m_ui->loadingLayout->removeWidget(m_ui->loadingProgress);
        m_ui->progressLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        statusBar()->addWidget(m_ui->progressLabel, 1);
        statusBar()->addWidget(m_ui->loadingProgress, 0);
        m_ui->progressLabel->show();
        m_ui->loadingProgress->show();
    }
    m_ui->pages->setCurrentWidget(m_ui->resultsPage);
    setTabEnabled(m_ui->tabWidget, m_ui->bottomUpTab, true);
    // the dock follows the tab that is shown now, with nothing selected yet
    tabChanged(m_ui->tabWidget->currentIndex());
    updateFilterActions();
}

void MainWindow::removeProgress()
{
    if (m_ui->loadingLayout->indexOf(m_ui->loadingProgress) < 0) {
        statusBar()->removeWidget(m_ui->progressLabel);
        statusBar()->removeWidget(m_ui->loadingProgress);
        const int labelIndex = m_ui->loadingLayout->indexOf(m_ui->loadingLabel);
        m_ui->loadingLayout->insertWidget(labelIndex + 1, m_ui->loadingProgress);
        m_ui->loadingLayout->insertWidget(labelIndex + 2, m_ui->progressLabel);
        m_ui->progressLabel->setAlignment(Qt::AlignCenter);
        m_ui->loadingProgress->show();
        m_ui->progressLabel->show();
    }
    m_closeAction->setEnabled(true);
    m_openAction->setEnabled(true);
}

void MainWindow::updateFilterActions()
{
    // Re-runs need the finished data of a non-diff analysis. Before a file is
    // shown, the switches only store their state for the next load.
    const bool running = m_parser->isRunning();
    const bool resultsShown = m_ui->pages->currentWidget() == m_ui->resultsPage;
    const bool switchable = !running && !(resultsShown && m_diffMode);
    m_disableEmbeddedSuppressions->setEnabled(switchable);
    m_disableBuiltinSuppressions->setEnabled(switchable);
    m_resetFilterAction->setEnabled(!running && resultsShown && !m_diffMode && m_parser->isFiltered());
}

void MainWindow::showSymbolInCallerCallee(const Symbol &symbol)
{
    // before its data arrives the tab has nothing to show
    if (!m_ui->tabWidget->isTabEnabled(m_ui->tabWidget->indexOf(m_ui->callerCalleeTab))) {
        return;
    }
    m_ui->tabWidget->setCurrentWidget(m_ui->callerCalleeTab);
    selectCallerCalleeIndex(m_callerCalleeModel->indexForSymbol(symbol));
}

void MainWindow::selectCallerCalleeIndex(const QModelIndex &index)
{
    const auto &resultData = m_callerCalleeModel->results().resultData;
    m_calleeModel->setResults(index.data(CallerCalleeModel::CalleesRole).value<CalleeMap>(), resultData);
    m_callerModel->setResults(index.data(CallerCalleeModel::CallersRole).value<CallerMap>(), resultData);
    m_sourceMapModel->setResults(index.data(CallerCalleeModel::SourceMapRole).value<LocationCostMap>(), resultData);

    auto *view = m_ui->callerCalleeResults;
    if (index.isValid() && index.model() != view->model()) {
        const auto *proxy = static_cast<const QSortFilterProxyModel *>(view->model());
        const auto viewIndex = proxy->mapFromSource(index);
        view->setCurrentIndex(viewIndex);
        view->scrollTo(viewIndex);
    }
}

void MainWindow::fillFromIndex(const QModelIndex &index)
{
    if (!index.isValid()) {
        m_stacksModel->clear();
        m_stacksSource = nullptr;
        return;
    }
    const auto *proxy = static_cast<const QSortFilterProxyModel *>(index.model());
    const auto sourceIndex = proxy->mapToSource(index);
    m_stacksSource = static_cast<const TreeModel *>(sourceIndex.model());
    m_stacksModel->fillFromIndex(sourceIndex);
}

void MainWindow::tabChanged(int index)
{
    const auto *tab = m_ui->tabWidget->widget(index);
    updateExportAction();
    if (tab != m_ui->bottomUpTab && tab != m_ui->topDownTab) {
        if (m_ui->stacksDock->isVisible()) {
            m_stacksDockWidth = m_ui->stacksDock->width();
        }
        m_ui->stacksDock->setVisible(false);
        return;
    }
    m_ui->stacksDock->setVisible(true);
    restoreStacksDockWidth();
    const auto *view = tab == m_ui->topDownTab ? m_ui->topDownResults : m_ui->bottomUpResults;
    fillFromIndex(view->selectionModel()->currentIndex());
}

void MainWindow::updateStackSpinner(int stacks)
{
    auto *spinner = m_ui->stackSpinner;
    spinner->setMinimum(std::min(stacks, 1));
    spinner->setSuffix(i18n(" / %1", stacks));
    spinner->setMaximum(stacks);
    // a new set of stacks starts at its first one, as the model does
    spinner->setValue(std::min(stacks, 1));
}

void MainWindow::copyStacks()
{
    const QString text = ViewCopy::rowsText(m_ui->stacksTree);
    if (!text.isEmpty()) {
        QGuiApplication::clipboard()->setText(text);
    }
}

void MainWindow::setupRecentFiles()
{
    // Other windows add to the list as well: each menu shows what the settings file holds now.
    connect(m_recentFilesAction->menu(), &QMenu::aboutToShow, this, [this]() {
        m_recentFilesAction->loadEntries(KConfigGroup(m_config, RECENT_FILES_GROUP));
    });
    connect(m_ui->recentFiles, &QListWidget::itemActivated, this, [this](const QListWidgetItem *item) {
        openRecentFile(item->data(Qt::UserRole).toString());
    });
    updateRecentList();
}

void MainWindow::addRecentFile(const QString &path)
{
    KConfigGroup group(m_config, RECENT_FILES_GROUP);
    m_recentFilesAction->loadEntries(group);
    m_recentFilesAction->addUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    m_recentFilesAction->saveEntries(group);
    m_config->sync();
    updateRecentList();
}

void MainWindow::openRecentFile(const QString &path)
{
    if (!QFileInfo(path).isFile()) {
        showError(i18n("Input data %1 does not exist.", path));
        KConfigGroup group(m_config, RECENT_FILES_GROUP);
        m_recentFilesAction->loadEntries(group);
        m_recentFilesAction->removeUrl(QUrl::fromLocalFile(path));
        m_recentFilesAction->saveEntries(group);
        m_config->sync();
        updateRecentList();
        return;
    }
    loadFile(path);
}

void MainWindow::updateRecentList()
{
    m_recentFilesAction->loadEntries(KConfigGroup(m_config, RECENT_FILES_GROUP));
    auto *list = m_ui->recentFiles;
    list->clear();
    const auto urls = m_recentFilesAction->urls();
    for (const auto &url : urls) {
        const QFileInfo info(url.toLocalFile());
        auto *item = new QListWidgetItem(i18nc("recent trace: 1 file name, 2 folder", "%1   (in %2)", info.fileName(), info.absolutePath()), list);
        item->setData(Qt::UserRole, info.absoluteFilePath());
        item->setToolTip(info.absoluteFilePath());
    }
    m_ui->recentBox->setVisible(list->count() > 0);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const auto urls = event->mimeData()->urls();
    if (std::any_of(urls.begin(), urls.end(), [](const QUrl &url) {
            return url.isLocalFile();
        })) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const auto urls = event->mimeData()->urls();
    const auto file = std::find_if(urls.begin(), urls.end(), [](const QUrl &url) {
        return url.isLocalFile();
    });
    if (file == urls.end()) {
        return;
    }
    event->acceptProposedAction();
    const auto path = file->toLocalFile();
    // the same checks as the Open button makes
    m_ui->messages->setVisible(false);
    if (validateInputFile(path, false)) {
        loadFile(path);
    }
}

void MainWindow::setupHelpMenu()
{
    auto *helpMenu = new KHelpMenu(this, KAboutData::applicationData(), false);
    helpMenu->menu()->setObjectName(QStringLiteral("helpMenu"));
    // there is no handbook to show: the README is the documentation
    if (auto *handbook = helpMenu->action(KHelpMenu::menuHelpContents)) {
        handbook->setVisible(false);
    }
    menuBar()->addMenu(helpMenu->menu());
}

void MainWindow::setupExportMenu()
{
    m_exportCsvAction = m_ui->exportMenu->addAction(QIcon::fromTheme(QStringLiteral("text-csv")), i18n("Tree as &CSV..."));
    m_exportCsvAction->setObjectName(QStringLiteral("actionExportCsv"));
    m_exportCsvAction->setToolTip(
        i18n("Save the rows of the Bottom-Up or Top-Down tree that the filters leave, one per call path, as comma-separated values."));
    connect(m_exportCsvAction, &QAction::triggered, this, &MainWindow::exportCsv);
    updateExportAction();
}

void MainWindow::updateExportAction()
{
    if (!m_exportCsvAction) {
        return;
    }
    const auto *tab = m_ui->tabWidget->currentWidget();
    const bool treeShown = m_ui->pages->currentWidget() == m_ui->resultsPage && (tab == m_ui->bottomUpTab || tab == m_ui->topDownTab)
        && m_ui->tabWidget->isTabEnabled(m_ui->tabWidget->currentIndex());
    m_exportCsvAction->setEnabled(treeShown);
}

void MainWindow::exportCsv()
{
    const bool topDown = m_ui->tabWidget->currentWidget() == m_ui->topDownTab;
    const auto *view = topDown ? m_ui->topDownResults : m_ui->bottomUpResults;
    const QString suggestion = topDown ? QStringLiteral("top-down.csv") : QStringLiteral("bottom-up.csv");
    const auto path = QFileDialog::getSaveFileName(this,
                                                   topDown ? i18n("Export Top-Down Tree as CSV") : i18n("Export Bottom-Up Tree as CSV"),
                                                   suggestion,
                                                   i18n("CSV files (*.csv)"));
    if (path.isEmpty()) {
        return;
    }
    QString error;
    if (!exportTreeAsCsv(view, path, &error)) {
        showError(i18n("Failed to export the tree to %1: %2", path, error));
    }
}

bool MainWindow::exportTreeAsCsv(const QTreeView *view, const QString &path, QString *error) const
{
    const auto *model = view->model();
    const auto *header = view->header();
    // the arrows point from caller to callee, so a path reads the same way in both trees
    const bool topDown = view == m_ui->topDownResults;
    const auto separator = topDown ? QStringLiteral(" \u2192 ") : QStringLiteral(" \u2190 ");

    QVector<int> costColumns;
    for (int column = 1; column < model->columnCount(); ++column) {
        if (!header->isSectionHidden(column)) {
            costColumns.append(column);
        }
    }

    QString text;
    QTextStream out(&text);
    const auto endRow = QLatin1String("\r\n");
    out << csvField(i18nc("CSV column", "Path")) << ',' << csvField(i18nc("CSV column", "Depth")) << ',' << csvField(i18nc("CSV column", "Function")) << ','
        << csvField(i18nc("CSV column", "Module"));
    for (int column : qAsConst(costColumns)) {
        const auto title = model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        const bool bytes = column == TreeModel::PeakColumn || column == TreeModel::LeakedColumn;
        out << ',' << csvField(bytes ? i18nc("CSV column: 1 cost name", "%1 (bytes)", title) : title);
    }
    out << endRow;

    // depth first in the order the view shows, collapsed rows included
    std::function<void(const QModelIndex &, const QString &, int)> addRows = [&](const QModelIndex &parent, const QString &parentPath, int depth) {
        for (int row = 0, rows = model->rowCount(parent); row < rows; ++row) {
            const auto index = model->index(row, 0, parent);
            const auto symbol = index.data(TreeModel::SymbolRole).value<Symbol>();
            const auto *resultData = index.data(TreeModel::ResultDataRole).value<const ResultData *>();
            QString function;
            QString module;
            if (resultData) {
                function = resultData->string(static_cast<StringIndex>(symbol.functionId));
                module = resultData->string(static_cast<StringIndex>(symbol.moduleId));
            }
            if (function.isEmpty()) {
                function = Util::unresolvedFunctionName();
            }
            const QString rowPath = parentPath.isEmpty() ? function : parentPath + separator + function;
            out << csvField(rowPath) << ',' << depth << ',' << csvField(function) << ',' << csvField(module);
            for (int column : qAsConst(costColumns)) {
                const auto cell = model->index(row, column, parent);
                // the sort key holds the exact magnitude, the shown text the sign of a difference
                const auto magnitude = cell.data(CostModel::SortRole).toLongLong();
                const auto shown = cell.data(Qt::DisplayRole).toString();
                const bool negative = shown.startsWith(QLatin1Char('-')) || shown.startsWith(QChar(0x2212));
                out << ',' << (negative ? -magnitude : magnitude);
            }
            out << endRow;
            addRows(index, rowPath, depth + 1);
        }
    };
    addRows({}, QString(), 0);
    out.flush();

    const auto bytes = text.toUtf8();
    return Exports::saveFile(
        path,
        [&bytes](QIODevice *file) {
            return file->write(bytes) == bytes.size();
        },
        error);
}
