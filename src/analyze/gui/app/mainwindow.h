/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The analyser's top-level window: the open, loading and results pages, the
    menus, the stacks dock, and the navigation from a source location to an
    external editor.
*/

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analyze/gui/app/codenavigation.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <KSharedConfig>

#include "analyze/filterparameters.h"

class QAction;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QModelIndex;
class QTreeView;
class QUrl;
class KRecentFilesAction;

class CallerCalleeModel;
class CallerModel;
class CalleeModel;
class HistogramModel;
class Parser;
class SourceMapModel;
class StacksModel;
class SuppressionsModel;
class TreeModel;
struct ChartData;
struct MainWindowUi;
struct TreeData;
struct SummaryData;
struct Symbol;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Code navigation starts editors and opens files through these two, so that
    // a caller (a test, for one) can see what would be started instead.
    using ProcessStarter = std::function<bool(const QString &program, const QStringList &arguments)>;
    using UrlOpener = std::function<bool(const QUrl &url)>;
    void setProcessStarter(ProcessStarter starter);
    void setUrlOpener(UrlOpener opener);

    // Writes the window's layout (geometry, docks, splitters, tree headers) to
    // the settings file. Runs on every way a window goes away.
    void saveSettings();

    // Writes the visible rows of a tree view (as the filter leaves them) as CSV
    // to @p path. Returns false and sets @p error when it cannot be written.
    bool exportTreeAsCsv(const QTreeView *view, const QString &path, QString *error) const;

public Q_SLOTS:
    void loadFile(const QString &path, const QString &diffBase = {});
    // Ignored unless the results of a finished, non-diff analysis are shown.
    void reparse(int64_t minTime, int64_t maxTime);
    void openNewFile();
    void closeFile();
    // Stops the analysis that the loading page shows: back to the open page,
    // or to the results of before for a re-run.
    void cancelLoading();

    void setCodeNavigationIDE(QAction *action);
    void navigateToCode(const QString &filePath, int lineNumber, int columnNumber = -1);

    void setDisableEmbeddedSuppressions(bool disable);
    void setDisableBuiltinSuppressions(bool disable);
    void setSuppressions(std::vector<std::string> suppressions);

Q_SIGNALS:
    void clearData();

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void setupParser();
    void resetParser();
    void setupSummaryPage();
    void setupTrees();
    void setupCallerCallee();
    void setupCharts();
    void setupStacks();
    void setupMenus();
    void setupCodeNavigationMenu();
    void setupRecentFiles();
    void setupExportMenu();
    void setupHelpMenu();
    void restoreSettings();
    void restoreStacksDockWidth();
    void addRecentFile(const QString &path);
    void openRecentFile(const QString &path);
    void updateRecentList();
    void exportCsv();
    void updateExportAction();

    void showError(const QString &message);
    void validateInput();
    bool validateInputFile(const QString &path, bool allowEmpty);
    void openFromForm();

    void showSummary(const SummaryData &data);
    void showBottomUp();
    void removeProgress();
    void updateFilterActions();
    void resetResults();

    void showSymbolInCallerCallee(const Symbol &symbol);
    void selectCallerCalleeIndex(const QModelIndex &index);

    void fillFromIndex(const QModelIndex &index);
    void tabChanged(int index);
    void updateStackSpinner(int stacks);
    void copyStacks();

    std::unique_ptr<MainWindowUi> m_ui;
    Parser *m_parser = nullptr;
    KSharedConfig::Ptr m_config;
    bool m_diffMode = false;

    QAction *m_openAction = nullptr;
    QAction *m_openNewAction = nullptr;
    QAction *m_closeAction = nullptr;
    QAction *m_quitAction = nullptr;
    QAction *m_disableEmbeddedSuppressions = nullptr;
    QAction *m_disableBuiltinSuppressions = nullptr;
    QAction *m_resetFilterAction = nullptr;
    QAction *m_codeNavigationAction = nullptr;
    KRecentFilesAction *m_recentFilesAction = nullptr;
    QAction *m_exportCsvAction = nullptr;

    FilterParameters m_lastFilterParameters;
    // what a cancelled re-run goes back to
    FilterParameters m_shownFilterParameters;
    bool m_reparsing = false;
    // the file of the load in progress, for the recent files once it is read
    QString m_loadingPath;
    // the last published results, for a cancelled re-run to show again
    std::shared_ptr<SummaryData> m_shownSummary;
    std::shared_ptr<SummaryData> m_runSummary;
    std::shared_ptr<TreeData> m_shownBottomUp;
    std::shared_ptr<TreeData> m_shownTopDown;
    // the width the stacks dock had when last shown; applied once it shows again
    int m_stacksDockWidth = 0;
    bool m_stacksDockWidthApplied = false;

    TreeModel *m_bottomUpModel = nullptr;
    TreeModel *m_topDownModel = nullptr;
    CallerCalleeModel *m_callerCalleeModel = nullptr;
    CallerModel *m_callerModel = nullptr;
    CalleeModel *m_calleeModel = nullptr;
    SourceMapModel *m_sourceMapModel = nullptr;
    SuppressionsModel *m_suppressionsModel = nullptr;
    HistogramModel *m_histogramModel = nullptr;
    StacksModel *m_stacksModel = nullptr;
    // the tree the stacks model holds indices of, if any
    const TreeModel *m_stacksSource = nullptr;

    ProcessStarter m_processStarter;
    UrlOpener m_urlOpener;
};
