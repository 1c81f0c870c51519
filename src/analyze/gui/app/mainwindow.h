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
class QModelIndex;
class QUrl;

class CallerCalleeModel;
class CallerModel;
class CalleeModel;
class HistogramModel;
class Parser;
class SourceMapModel;
class StacksModel;
class SuppressionsModel;
class TreeModel;
struct MainWindowUi;
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

public Q_SLOTS:
    void loadFile(const QString &path, const QString &diffBase = {});
    // Ignored unless the results of a finished, non-diff analysis are shown.
    void reparse(int64_t minTime, int64_t maxTime);
    void openNewFile();
    void closeFile();

    void setCodeNavigationIDE(QAction *action);
    void navigateToCode(const QString &filePath, int lineNumber, int columnNumber = -1);

    void setDisableEmbeddedSuppressions(bool disable);
    void setDisableBuiltinSuppressions(bool disable);
    void setSuppressions(std::vector<std::string> suppressions);

Q_SIGNALS:
    void clearData();

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

    FilterParameters m_lastFilterParameters;

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
