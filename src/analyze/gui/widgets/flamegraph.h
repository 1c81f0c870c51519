/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The flame graph: one of the cost trees drawn as nested bars, each bar a
    function, its width the share of the chosen cost, its callees (top-down) or
    callers (bottom-up) stacked above it.
*/

#pragma once

#include <memory>

#include <QBrush>
#include <QGraphicsRectItem>
#include <QPen>
#include <QVector>
#include <QWidget>

#include "analyze/gui/analysis/locationdata.h"
#include "analyze/gui/analysis/treedata.h"

class QAction;
class QComboBox;
class QGraphicsScene;
class QGraphicsView;
class QLabel;
class QLineEdit;
class QToolButton;
class ResultData;

namespace FlameGraphTypes
{
// The values are stored as item data of the cost combo box; keep them fixed.
enum class CostType {
    Allocations = 0,
    Temporary = 1,
    Peak = 2,
    Leaked = 3,
};

enum class SearchMatchType {
    NoSearch = 0,
    NoMatch = 1,
    DirectMatch = 2,
    ChildMatch = 3,
};

struct SearchResults {
    SearchMatchType matchType = SearchMatchType::NoMatch;
    qint64 directCost = 0;
};
}

class FrameGraphicsItem : public QGraphicsRectItem
{
public:
    using CostType = FlameGraphTypes::CostType;
    using SearchMatchType = FlameGraphTypes::SearchMatchType;

    enum { Type = UserType + 1 };

    FrameGraphicsItem(qint64 cost,
                      CostType costType,
                      const Symbol &symbol,
                      const std::shared_ptr<const ResultData> &resultData,
                      FrameGraphicsItem *parent = nullptr,
                      bool isDiff = false);
    // A child inherits the parent's cost type and result data.
    FrameGraphicsItem(qint64 cost, const Symbol &symbol, FrameGraphicsItem *parent);
    ~FrameGraphicsItem() override;

    int type() const override
    {
        return Type;
    }

    qint64 cost() const
    {
        return m_cost;
    }
    void setCost(qint64 cost)
    {
        m_cost = cost;
    }
    // In a diff: what the item cost in the base; cost() is the change.
    qint64 baseCost() const
    {
        return m_baseCost;
    }
    void setBaseCost(qint64 cost)
    {
        m_baseCost = cost;
    }
    bool isDiff() const
    {
        return m_isDiff;
    }
    // What the item's bar stands for in the layout: the magnitude of its
    // cost, or, where growth and shrinkage below it cancel out, the sum of
    // what its children stand for. A parent is never narrower than its children.
    double span() const
    {
        return m_span;
    }
    void setSpan(double span)
    {
        m_span = span;
    }
    const Symbol &symbol() const
    {
        return m_symbol;
    }
    CostType costType() const
    {
        return m_costType;
    }
    SearchMatchType searchMatch() const
    {
        return m_searchMatch;
    }
    void setSearchMatch(SearchMatchType matchType);

    FrameGraphicsItem *parentFrame() const;
    QVector<FrameGraphicsItem *> childFrames() const;

    // The text shown in the label below the graph and copied to the clipboard.
    QString description() const;
    // The text drawn on the bar.
    QString label() const;
    bool match(const QString &searchValue) const;

    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

    // Items alive in this process; superseded builds must bring this back down.
    static int liveCount();

protected:
    void hoverEnterEvent(QGraphicsSceneHoverEvent *event) override;
    void hoverLeaveEvent(QGraphicsSceneHoverEvent *event) override;

private:
    QString diffDescription() const;

    std::shared_ptr<const ResultData> m_resultData;
    qint64 m_cost;
    Symbol m_symbol;
    CostType m_costType;
    bool m_isHovered = false;
    SearchMatchType m_searchMatch = SearchMatchType::NoSearch;
    qint64 m_baseCost = 0;
    double m_span = 0;
    bool m_isDiff = false;
};

namespace FlameGraphBuilder
{
struct Options {
    FlameGraphTypes::CostType costType = FlameGraphTypes::CostType::Allocations;
    bool collapseRecursion = true;
    // percent of the total cost; children of items at or below it are not built
    double costThreshold = 0.1;
    QBrush rootBrush;
    QPen pen;
};

// Builds the item tree of @p rows without a scene; safe to call on any thread.
// The root carries the total cost of the selected kind (the net figure when
// costs are signed) and the empty symbol. For a diff every item also gets its
// base cost, and bars are coloured by the sign and size of the change.
std::unique_ptr<FrameGraphicsItem> build(const TreeData &data, const Options &options);

// The fill of a diff bar: warm for growth, cool for shrinkage, the stronger
// the larger the change is against what the item cost before.
QColor changeColor(qint64 difference, qint64 base);

// Places the children of @p parent left to right inside its width, one bar
// height plus 2 above it, hiding those of one pixel or less.
void layoutItems(FrameGraphicsItem *parent);

// Marks @p item and its subtree for @p searchValue and repaints what changed.
FlameGraphTypes::SearchResults applySearch(FrameGraphicsItem *item, const QString &searchValue);
}

class FlameGraph : public QWidget
{
    Q_OBJECT
public:
    using CostType = FlameGraphTypes::CostType;

    explicit FlameGraph(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~FlameGraph() override;

    void setTopDownData(const TreeData &topDownData);
    void setBottomUpData(const TreeData &bottomUpData);
    void clearData();
    // For a re-run of the same data: clears like clearData, and zooms the
    // next graph on the function zoomed now if it is still there.
    void clearDataKeepingZoom();

    // The symbols from the outermost bar below the root to the zoomed one;
    // empty when the root is shown.
    QVector<Symbol> zoomPath() const;

    // Write the graph as shown (current zoom, visible bars with their text).
    // On failure nothing is left at @p path and @p errorMessage says why.
    bool exportSvg(const QString &path, QString *errorMessage) const;
    // Write every call stack of the shown tree with the chosen cost as folded
    // stacks; a diff gets the base's and the current figure in two columns.
    bool exportFolded(const QString &path, QString *errorMessage) const;

    FrameGraphicsItem *rootItem() const
    {
        return m_rootItem;
    }
    const QVector<FrameGraphicsItem *> &selectionHistory() const
    {
        return m_selectionHistory;
    }
    int currentHistoryIndex() const
    {
        return m_selectedItem;
    }

Q_SIGNALS:
    void callerCalleeViewRequested(const Symbol &symbol);
    // An export asked for from the context menu failed; for the window to show.
    void exportFailed(const QString &message);

public Q_SLOTS:
    void setData(FrameGraphicsItem *rootItem);
    void setSearchValue(const QString &value);
    void navigateBack();
    void navigateForward();
    void showData();
    void selectItem(FrameGraphicsItem *item);
    void selectItem(int index);
    void setTooltipItem(const FrameGraphicsItem *item);
    void updateTooltip();
    void updateNavigationActions();

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    // sizes @p item and its ancestors to the view's width and lays out the rest around them
    void arrangeFor(FrameGraphicsItem *item) const;
    // the scene fitted to what is shown of an arranged @p item, centred on it
    void showArranged(FrameGraphicsItem *item);
    void showContextMenu(const QPoint &pos);
    FrameGraphicsItem *frameAt(const QPoint &viewportPos) const;
    void saveSettings() const;
    void updateLegend();
    void askAndExportSvg();
    void askAndExportFolded();
    // the file dialog, then @p exporter; a failure goes out as exportFailed
    void askAndExport(const QString &title, const QString &filter, bool (FlameGraph::*exporter)(const QString &, QString *) const);

    TreeData m_topDownData;
    TreeData m_bottomUpData;
    QComboBox *m_costSource;
    QGraphicsScene *m_scene;
    QGraphicsView *m_view;
    QLabel *m_displayLabel;
    QLabel *m_searchResultsLabel;
    QLabel *m_legendLabel;
    QLineEdit *m_searchInput = nullptr;
    QAction *m_forwardAction = nullptr;
    QAction *m_backAction = nullptr;
    QAction *m_resetAction = nullptr;
    QToolButton *m_backButton = nullptr;
    QToolButton *m_forwardButton = nullptr;
    const FrameGraphicsItem *m_tooltipItem = nullptr;
    FrameGraphicsItem *m_rootItem = nullptr;
    QVector<FrameGraphicsItem *> m_selectionHistory;
    int m_selectedItem = -1;
    bool m_showBottomUpData = false;
    bool m_collapseRecursion = true;
    bool m_buildingScene = false;
    double m_costThreshold = 0.1;
    // Every build and every clear takes a new number; a finished build whose
    // number is no longer current is thrown away instead of shown.
    quint64 m_buildGeneration = 0;
    // applied to the next graph that arrives, then dropped
    QVector<Symbol> m_pendingZoom;
};
