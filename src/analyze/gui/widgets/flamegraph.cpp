/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The flame graph widget and its bars.
*/

#include "analyze/gui/widgets/flamegraph.h"

#include "analyze/gui/analysis/jobqueue.h"

#include <atomic>
#include <cstdlib>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QGraphicsScene>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QHash>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <KColorScheme>
#include <KLocalizedString>
#include <KStandardAction>
#include <ThreadWeaver/ThreadWeaver>

#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"

using FlameGraphTypes::CostType;
using FlameGraphTypes::SearchMatchType;
using FlameGraphTypes::SearchResults;

namespace
{
std::atomic<int> s_liveItems{0};

// Built once and shared by every graph. Bars pick their colour at random:
// the colours only set neighbouring bars apart and carry no meaning.
const QVector<QBrush> &brushes()
{
    static const QVector<QBrush> palette = [] {
        QVector<QBrush> ret;
        ret.reserve(100);
        for (int i = 0; i < 100; ++i) {
            const double r1 = static_cast<double>(std::rand()) / RAND_MAX;
            const double r2 = static_cast<double>(std::rand()) / RAND_MAX;
            ret.append(QBrush(QColor(0, 190 + static_cast<int>(50 * r2), static_cast<int>(210 * r1), 125)));
        }
        return ret;
    }();
    return palette;
}

const QBrush &randomBrush()
{
    const auto &palette = brushes();
    return palette.at(std::rand() % palette.size());
}

int64_t AllocationData::*costField(CostType type)
{
    switch (type) {
    case CostType::Temporary:
        return &AllocationData::temporary;
    case CostType::Peak:
        return &AllocationData::peak;
    case CostType::Leaked:
        return &AllocationData::leaked;
    case CostType::Allocations:
        break;
    }
    return &AllocationData::allocations;
}

using ItemIndex = QHash<Symbol, FrameGraphicsItem *>;

ItemIndex indexChildren(const FrameGraphicsItem *item)
{
    ItemIndex index;
    const auto children = item->childFrames();
    index.reserve(children.size());
    for (auto *child : children) {
        index.insert(child->symbol(), child);
    }
    return index;
}

// @p parentIndex maps the symbols of @p parent's children to them; it is
// passed down when a recursive row folds its children into the same parent.
void toGraphicsItems(const QVector<RowData> &rows,
                     FrameGraphicsItem *parent,
                     ItemIndex &parentIndex,
                     int64_t AllocationData::*field,
                     double threshold,
                     bool collapseRecursion)
{
    for (const auto &row : rows) {
        if (collapseRecursion && row.symbol.functionId && row.symbol == parent->symbol()) {
            // the recursive call's cost is already part of the parent's
            toGraphicsItems(row.children, parent, parentIndex, field, threshold, collapseRecursion);
            continue;
        }
        auto *item = parentIndex.value(row.symbol);
        const bool existed = item != nullptr;
        if (existed) {
            // costs from a corrupt file can be absurd: wrap instead of overflowing
            item->setCost(wrappingAdd(item->cost(), row.cost.*field));
        } else {
            item = new FrameGraphicsItem(row.cost.*field, row.symbol, parent);
            parentIndex.insert(row.symbol, item);
        }
        if (item->cost() > threshold) {
            // only an item that was merged into can have children already
            auto childIndex = existed ? indexChildren(item) : ItemIndex();
            toGraphicsItems(row.children, item, childIndex, field, threshold, collapseRecursion);
        }
    }
}

QRectF visibleBoundingRect(const FrameGraphicsItem *item)
{
    auto rect = item->sceneBoundingRect();
    for (const auto *child : item->childFrames()) {
        if (child->isVisible()) {
            rect |= visibleBoundingRect(child);
        }
    }
    return rect;
}

// Owns a finished build until the GUI thread takes it over. A build that is
// never taken (stale, widget gone, event dropped) is freed with this.
struct PendingScene {
    std::unique_ptr<FrameGraphicsItem> root;
};
}

FrameGraphicsItem::FrameGraphicsItem(qint64 cost,
                                     CostType costType,
                                     const Symbol &symbol,
                                     const std::shared_ptr<const ResultData> &resultData,
                                     FrameGraphicsItem *parent)
    : QGraphicsRectItem(parent)
    , m_resultData(resultData)
    , m_cost(cost)
    , m_symbol(symbol)
    , m_costType(costType)
{
    ++s_liveItems;
    setFlag(QGraphicsItem::ItemIsSelectable);
    setAcceptHoverEvents(true);
}

FrameGraphicsItem::FrameGraphicsItem(qint64 cost, const Symbol &symbol, FrameGraphicsItem *parent)
    : FrameGraphicsItem(cost, parent->costType(), symbol, parent->m_resultData, parent)
{
    setPen(parent->pen());
    setBrush(randomBrush());
}

FrameGraphicsItem::~FrameGraphicsItem()
{
    --s_liveItems;
}

int FrameGraphicsItem::liveCount()
{
    return s_liveItems.load();
}

void FrameGraphicsItem::setSearchMatch(SearchMatchType matchType)
{
    if (m_searchMatch != matchType) {
        m_searchMatch = matchType;
        update();
    }
}

FrameGraphicsItem *FrameGraphicsItem::parentFrame() const
{
    return qgraphicsitem_cast<FrameGraphicsItem *>(parentItem());
}

QVector<FrameGraphicsItem *> FrameGraphicsItem::childFrames() const
{
    QVector<FrameGraphicsItem *> ret;
    const auto children = childItems();
    ret.reserve(children.size());
    for (auto *child : children) {
        if (auto *frame = qgraphicsitem_cast<FrameGraphicsItem *>(child)) {
            ret.append(frame);
        }
    }
    return ret;
}

QString FrameGraphicsItem::label() const
{
    if (!parentItem()) {
        switch (m_costType) {
        case CostType::Allocations:
            return i18n("%1 allocations in total", m_cost);
        case CostType::Temporary:
            return i18n("%1 temporary allocations in total", m_cost);
        case CostType::Peak:
            return i18n("%1 peak memory consumption", Util::formatBytes(m_cost));
        case CostType::Leaked:
            return i18n("%1 leaked in total", Util::formatBytes(m_cost));
        }
        return {};
    }
    if (!m_resultData) {
        return {};
    }
    const auto function = m_resultData->string(m_symbol.functionId);
    if (function.isEmpty() && m_symbol.moduleId) {
        return Util::unresolvedFunctionName();
    }
    return function;
}

QString FrameGraphicsItem::description() const
{
    // The root stands for the whole program and has no symbol to name; its
    // bar text with the total says more than an empty function label.
    if (!parentItem() || !m_resultData) {
        return label();
    }
    const auto *root = static_cast<const FrameGraphicsItem *>(topLevelItem());
    const auto symbol = Util::toString(m_symbol, *m_resultData, Util::FormatType::Short);
    const auto relative = Util::formatCostRelative(m_cost, root->cost());
    switch (m_costType) {
    case CostType::Allocations:
        return i18nc("%1: number of allocations, %2: relative number, %3: function label", "%1 (%2%) allocations in %3 and below.", m_cost, relative, symbol);
    case CostType::Temporary:
        return i18nc("%1: number of temporary allocations, %2: relative number, %3 function label",
                     "%1 (%2%) temporary allocations in %3 and below.",
                     m_cost,
                     relative,
                     symbol);
    case CostType::Peak:
        return i18nc("%1: peak consumption in bytes, %2: relative number, %3: function label",
                     "%1 (%2%) contribution to peak consumption in %3 and below.",
                     Util::formatBytes(m_cost),
                     relative,
                     symbol);
    case CostType::Leaked:
        return i18nc("%1: leaked bytes, %2: relative number, %3: function label",
                     "%1 (%2%) leaked in %3 and below.",
                     Util::formatBytes(m_cost),
                     relative,
                     symbol);
    }
    return {};
}

bool FrameGraphicsItem::match(const QString &searchValue) const
{
    // the root's empty symbol would otherwise match "<unresolved function>"
    if (!m_resultData || m_symbol == Symbol()) {
        return false;
    }
    return m_resultData->string(m_symbol.functionId).contains(searchValue, Qt::CaseInsensitive)
        || m_resultData->string(m_symbol.moduleId).contains(searchValue, Qt::CaseInsensitive);
}

void FrameGraphicsItem::paint(QPainter *painter, const QStyleOptionGraphicsItem * /*option*/, QWidget * /*widget*/)
{
    const auto bar = rect();
    auto color = brush().color();
    if (isSelected() || m_isHovered || m_searchMatch == SearchMatchType::DirectMatch) {
        color.setAlpha(255);
        painter->fillRect(bar, color);
    } else if (m_searchMatch == SearchMatchType::NoMatch) {
        color.setAlpha(50);
        painter->fillRect(bar, color);
    } else {
        painter->fillRect(bar, brush());
    }

    if (m_searchMatch != SearchMatchType::NoMatch) {
        QPen border(brush().color());
        border.setWidth(isSelected() ? 2 : 1);
        painter->setPen(border);
        painter->drawRect(bar);
    }

    const auto metrics = painter->fontMetrics();
    const int textWidth = static_cast<int>(bar.width()) - 8;
    if (textWidth < 6 * metrics.averageCharWidth()) {
        return;
    }
    auto textPen = pen();
    if (m_searchMatch == SearchMatchType::NoMatch) {
        auto textColor = textPen.color();
        textColor.setAlpha(125);
        textPen.setColor(textColor);
    }
    painter->setPen(textPen);
    painter->drawText(bar.adjusted(4, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, metrics.elidedText(label(), Qt::ElideRight, textWidth));
}

void FrameGraphicsItem::hoverEnterEvent(QGraphicsSceneHoverEvent *event)
{
    QGraphicsRectItem::hoverEnterEvent(event);
    m_isHovered = true;
    update();
}

void FrameGraphicsItem::hoverLeaveEvent(QGraphicsSceneHoverEvent *event)
{
    QGraphicsRectItem::hoverLeaveEvent(event);
    m_isHovered = false;
    update();
}

std::unique_ptr<FrameGraphicsItem> FlameGraphBuilder::build(const TreeData &data, const Options &options)
{
    if (!data.resultData) {
        return {};
    }
    const auto field = costField(options.costType);
    const qint64 totalCost = data.resultData->totalCosts().*field;
    auto root = std::make_unique<FrameGraphicsItem>(totalCost, options.costType, Symbol(), data.resultData);
    root->setBrush(options.rootBrush);
    root->setPen(options.pen);
    const double threshold = static_cast<double>(totalCost) * options.costThreshold / 100.;
    ItemIndex rootIndex;
    toGraphicsItems(data.rows, root.get(), rootIndex, field, threshold, options.collapseRecursion);
    return root;
}

void FlameGraphBuilder::layoutItems(FrameGraphicsItem *parent)
{
    const auto parentRect = parent->rect();
    const qreal y = parentRect.y() - parentRect.height() - 2;
    const auto parentCost = static_cast<qreal>(parent->cost());
    qreal x = parentRect.x();
    for (auto *child : parent->childFrames()) {
        const qreal width = parentCost != 0 ? child->cost() * parentRect.width() / parentCost : 0;
        if (width > 1) {
            child->setRect(x, y, width, parentRect.height());
            child->setVisible(true);
            layoutItems(child);
            x += width;
        } else {
            child->setVisible(false);
        }
    }
}

SearchResults FlameGraphBuilder::applySearch(FrameGraphicsItem *item, const QString &searchValue)
{
    SearchResults result;
    if (searchValue.isEmpty()) {
        result.matchType = SearchMatchType::NoSearch;
    } else if (item->match(searchValue)) {
        result.matchType = SearchMatchType::DirectMatch;
        result.directCost = item->cost();
    } else {
        result.matchType = SearchMatchType::NoMatch;
    }

    for (auto *child : item->childFrames()) {
        const auto childResult = applySearch(child, searchValue);
        if (result.matchType != SearchMatchType::DirectMatch
            && (childResult.matchType == SearchMatchType::DirectMatch || childResult.matchType == SearchMatchType::ChildMatch)) {
            result.matchType = SearchMatchType::ChildMatch;
            result.directCost += childResult.directCost;
        }
    }

    item->setSearchMatch(result.matchType);
    return result;
}

FlameGraph::FlameGraph(QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
    , m_costSource(new QComboBox(this))
    , m_scene(new QGraphicsScene(this))
    , m_view(new QGraphicsView(this))
    , m_displayLabel(new QLabel(this))
    , m_searchResultsLabel(new QLabel(this))
{
    m_costSource->setObjectName(QStringLiteral("costSource"));
    const auto addCostSource = [this](const QString &text, CostType type, const QString &toolTip) {
        m_costSource->addItem(text, static_cast<int>(type));
        m_costSource->setItemData(m_costSource->count() - 1, toolTip, Qt::ToolTipRole);
    };
    addCostSource(i18n("Memory Peak"),
                  CostType::Peak,
                  i18n("Show a flame graph over the contributions to the peak heap memory consumption of your "
                       "application."));
    addCostSource(i18n("Leaked"),
                  CostType::Leaked,
                  i18n("Show a flame graph over the leaked heap memory of your application. Memory is considered to "
                       "be leaked when it never got deallocated. "));
    addCostSource(i18n("Allocations"), CostType::Allocations, i18n("Show a flame graph over the number of allocations triggered by functions in your code."));
    addCostSource(i18n("Temporary Allocations"),
                  CostType::Temporary,
                  i18n("Show a flame graph over the number of temporary allocations triggered by functions in your "
                       "code. Allocations are marked as temporary when they are immediately followed by their "
                       "deallocation."));
    m_costSource->setToolTip(i18n("Select the data source that should be visualized in the flame graph."));
    connect(m_costSource, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &FlameGraph::showData);

    auto *bottomUpCheckbox = new QCheckBox(i18n("Bottom-Up View"), this);
    bottomUpCheckbox->setObjectName(QStringLiteral("bottomUpCheckBox"));
    bottomUpCheckbox->setToolTip(
        i18n("Enable the bottom-up flame graph view. When this is unchecked, the top-down "
             "view is enabled by default."));
    bottomUpCheckbox->setChecked(m_showBottomUpData);
    connect(bottomUpCheckbox, &QCheckBox::toggled, this, [this](bool checked) {
        m_showBottomUpData = checked;
        showData();
    });

    auto *collapseRecursionCheckbox = new QCheckBox(i18n("Collapse Recursion"), this);
    collapseRecursionCheckbox->setObjectName(QStringLiteral("collapseRecursionCheckBox"));
    collapseRecursionCheckbox->setChecked(m_collapseRecursion);
    collapseRecursionCheckbox->setToolTip(
        i18n("Collapse stack frames for functions calling themselves. When this is "
             "unchecked, recursive frames will be visualized separately."));
    connect(collapseRecursionCheckbox, &QCheckBox::toggled, this, [this](bool checked) {
        m_collapseRecursion = checked;
        showData();
    });

    auto *costThreshold = new QDoubleSpinBox(this);
    costThreshold->setObjectName(QStringLiteral("costThreshold"));
    costThreshold->setDecimals(2);
    costThreshold->setMinimum(0);
    costThreshold->setMaximum(99.9);
    costThreshold->setSingleStep(0.01);
    costThreshold->setPrefix(i18n("Cost Threshold: "));
    costThreshold->setSuffix(QStringLiteral("%"));
    costThreshold->setValue(m_costThreshold);
    costThreshold->setToolTip(
        i18n("<qt>The cost threshold defines a fractional cut-off value. Items with a relative cost below this value "
             "will not be shown in the flame graph. This is done as an optimization to quickly generate graphs for "
             "large data sets with low memory overhead. If you need more details, decrease the threshold value, or "
             "set it to zero.</qt>"));
    connect(costThreshold, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this](double threshold) {
        m_costThreshold = threshold;
        showData();
    });

    m_searchInput = new QLineEdit(this);
    m_searchInput->setObjectName(QStringLiteral("searchInput"));
    m_searchInput->setPlaceholderText(i18n("Search..."));
    m_searchInput->setToolTip(i18n("<qt>Search the flame graph for a symbol.</qt>"));
    m_searchInput->setClearButtonEnabled(true);
    connect(m_searchInput, &QLineEdit::textChanged, this, &FlameGraph::setSearchValue);

    // The graph is one tab of a window with other views; keep the shortcuts
    // from firing while another tab has the focus.
    // Connected here rather than through the functor overloads of
    // KStandardAction, whose default connection type is an invalid enum value.
    m_backAction = KStandardAction::create(KStandardAction::Back, nullptr, nullptr, this);
    connect(m_backAction, &QAction::triggered, this, &FlameGraph::navigateBack);
    m_backAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(m_backAction);
    m_forwardAction = KStandardAction::create(KStandardAction::Forward, nullptr, nullptr, this);
    connect(m_forwardAction, &QAction::triggered, this, &FlameGraph::navigateForward);
    m_forwardAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(m_forwardAction);
    m_resetAction = new QAction(QIcon::fromTheme(QStringLiteral("go-first")), i18n("Reset View"), this);
    m_resetAction->setShortcut(Qt::Key_Escape);
    m_resetAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(m_resetAction, &QAction::triggered, this, [this]() {
        selectItem(0);
    });
    addAction(m_resetAction);

    m_backButton = new QToolButton(this);
    m_backButton->setObjectName(QStringLiteral("backButton"));
    m_backButton->setIcon(QIcon::fromTheme(QStringLiteral("go-previous")));
    m_backButton->setToolTip(i18n("Go back in symbol view history"));
    connect(m_backButton, &QToolButton::released, m_backAction, &QAction::trigger);
    m_forwardButton = new QToolButton(this);
    m_forwardButton->setObjectName(QStringLiteral("forwardButton"));
    m_forwardButton->setIcon(QIcon::fromTheme(QStringLiteral("go-next")));
    m_forwardButton->setToolTip(i18n("Go forward in symbol view history"));
    connect(m_forwardButton, &QToolButton::released, m_forwardAction, &QAction::trigger);

    auto *controls = new QWidget(this);
    auto *controlsLayout = new QHBoxLayout(controls);
    controlsLayout->addWidget(m_backButton);
    controlsLayout->addWidget(m_forwardButton);
    controlsLayout->addWidget(m_costSource);
    controlsLayout->addWidget(bottomUpCheckbox);
    controlsLayout->addWidget(collapseRecursionCheckbox);
    controlsLayout->addWidget(costThreshold);
    controlsLayout->addWidget(m_searchInput);

    // wide and shallow levels are rebuilt on every zoom; an index would cost more than it saves
    m_scene->setItemIndexMethod(QGraphicsScene::NoIndex);
    m_view->setScene(m_scene);
    m_view->viewport()->installEventFilter(this);
    m_view->viewport()->setMouseTracking(true);
    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    m_view->setFont(font);
    m_view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_view, &QWidget::customContextMenuRequested, this, &FlameGraph::showContextMenu);

    for (auto *label : {m_displayLabel, m_searchResultsLabel}) {
        // function names such as "std::vector<int>" must not be taken for markup
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(label->textInteractionFlags() | Qt::TextSelectableByMouse);
    }
    m_displayLabel->setObjectName(QStringLiteral("displayLabel"));
    m_searchResultsLabel->setObjectName(QStringLiteral("searchResultsLabel"));
    m_searchResultsLabel->hide();

    setLayout(new QVBoxLayout);
    layout()->setContentsMargins(0, 0, 0, 0);
    layout()->setSpacing(0);
    layout()->addWidget(controls);
    layout()->addWidget(m_view);
    layout()->addWidget(m_displayLabel);
    layout()->addWidget(m_searchResultsLabel);

    updateNavigationActions();
}

FlameGraph::~FlameGraph() = default;

bool FlameGraph::eventFilter(QObject *object, QEvent *event)
{
    if (object != m_view->viewport()) {
        return QWidget::eventFilter(object, event);
    }

    switch (event->type()) {
    case QEvent::MouseButtonRelease: {
        const auto *mouseEvent = static_cast<QMouseEvent *>(event);
        if (mouseEvent->button() != Qt::LeftButton || m_selectedItem < 0) {
            break;
        }
        auto *item = frameAt(mouseEvent->pos());
        if (!item || item == m_selectionHistory.at(m_selectedItem)) {
            break;
        }
        selectItem(item);
        m_selectionHistory.resize(m_selectedItem + 1);
        m_selectionHistory.append(item);
        m_selectedItem = m_selectionHistory.size() - 1;
        updateNavigationActions();
        break;
    }
    case QEvent::MouseMove:
        setTooltipItem(frameAt(static_cast<QMouseEvent *>(event)->pos()));
        break;
    case QEvent::Leave:
        setTooltipItem(nullptr);
        break;
    case QEvent::Resize:
    case QEvent::Show:
        if (m_rootItem) {
            selectItem(m_selectionHistory.at(m_selectedItem));
        } else if (!m_buildingScene) {
            showData();
        }
        updateTooltip();
        break;
    case QEvent::ToolTip: {
        const auto *helpEvent = static_cast<QHelpEvent *>(event);
        const auto toolTip = m_displayLabel->toolTip();
        if (toolTip.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(helpEvent->globalPos(), QLatin1String("<qt>") + toolTip.toHtmlEscaped() + QLatin1String("</qt>"), this);
        }
        return true;
    }
    default:
        break;
    }
    return QWidget::eventFilter(object, event);
}

FrameGraphicsItem *FlameGraph::frameAt(const QPoint &viewportPos) const
{
    return qgraphicsitem_cast<FrameGraphicsItem *>(m_view->itemAt(viewportPos));
}

void FlameGraph::setTopDownData(const TreeData &topDownData)
{
    m_topDownData = topDownData;
    if (isVisible()) {
        showData();
    }
}

void FlameGraph::setBottomUpData(const TreeData &bottomUpData)
{
    m_bottomUpData = bottomUpData;
}

void FlameGraph::clearData()
{
    m_topDownData = {};
    m_bottomUpData = {};
    setData(nullptr);
}

void FlameGraph::showData()
{
    setData(nullptr);

    const auto data = m_showBottomUpData ? m_bottomUpData : m_topDownData;
    if (!data.resultData) {
        return;
    }
    m_buildingScene = true;

    FlameGraphBuilder::Options options;
    bool ok = false;
    const int type = m_costSource->currentData().toInt(&ok);
    options.costType = ok ? static_cast<CostType>(type) : CostType::Allocations;
    options.collapseRecursion = m_collapseRecursion;
    options.costThreshold = m_costThreshold;
    // the colour scheme reads the configuration; do that here, not on the worker
    const KColorScheme scheme(QPalette::Active, KColorScheme::View);
    options.rootBrush = scheme.background(KColorScheme::NormalBackground);
    options.pen = QPen(scheme.foreground(KColorScheme::NormalText).color());

    const auto generation = ++m_buildGeneration;
    // The worker never touches the widget: it only carries this guard to the
    // GUI thread, where it is read.
    const QPointer<FlameGraph> widget(this);
    JobQueue::queueJob(JobQueue::makeJob([data, options, generation, widget]() {
        auto pending = std::make_shared<PendingScene>();
        pending->root = FlameGraphBuilder::build(data, options);
        // The application object outlives every widget and lives on the GUI
        // thread, so the delivery always runs there, even if the widget is gone.
        JobQueue::handOff(pending.get());
        {
            // the delivery's captures are written after the handOff, see QueuedCopyScope
            const JobQueue::QueuedCopyScope scope;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [pending, generation, widget]() {
                    JobQueue::takeOver(pending.get());
                    if (widget && widget->m_buildGeneration == generation) {
                        widget->setData(pending->root.release());
                    }
                },
                Qt::QueuedConnection);
        }
    }));
}

void FlameGraph::setData(FrameGraphicsItem *rootItem)
{
    // whatever was set last wins over every build started before it
    ++m_buildGeneration;
    m_tooltipItem = nullptr;
    m_scene->clear();
    m_buildingScene = false;
    m_rootItem = rootItem;
    m_selectionHistory.clear();
    m_selectionHistory.append(rootItem);
    m_selectedItem = 0;
    updateNavigationActions();

    if (rootItem) {
        m_view->viewport()->setCursor(Qt::ArrowCursor);
        rootItem->setRect(0, 0, 800, m_view->fontMetrics().height() + 4);
        m_scene->addItem(rootItem);
        if (!m_searchInput->text().isEmpty()) {
            setSearchValue(m_searchInput->text());
        }
        if (isVisible()) {
            selectItem(rootItem);
        }
    } else {
        auto *text = m_scene->addText(i18n("generating flame graph..."));
        m_scene->setSceneRect(text->sceneBoundingRect());
        m_view->centerOn(text);
        m_view->viewport()->setCursor(Qt::BusyCursor);
    }
}

void FlameGraph::setSearchValue(const QString &value)
{
    if (!m_rootItem) {
        return;
    }
    const auto results = FlameGraphBuilder::applySearch(m_rootItem, value);
    if (value.isEmpty()) {
        m_searchResultsLabel->hide();
        return;
    }

    const auto total = m_rootItem->cost();
    const auto relative = Util::formatCostRelative(results.directCost, total);
    switch (m_rootItem->costType()) {
    case CostType::Allocations:
    case CostType::Temporary:
        m_searchResultsLabel->setText(i18n("%1 (%2% of total of %3) allocations matched by search.", results.directCost, relative, total));
        break;
    case CostType::Peak:
    case CostType::Leaked:
        m_searchResultsLabel->setText(
            i18n("%1 (%2% of total of %3) matched by search.", Util::formatBytes(results.directCost), relative, Util::formatBytes(total)));
        break;
    }
    m_searchResultsLabel->show();
}

void FlameGraph::navigateBack()
{
    if (m_selectedItem > 0) {
        selectItem(m_selectedItem - 1);
    }
}

void FlameGraph::navigateForward()
{
    if (m_selectedItem + 1 < m_selectionHistory.size()) {
        selectItem(m_selectedItem + 1);
    }
}

void FlameGraph::selectItem(int index)
{
    if (index < 0 || index >= m_selectionHistory.size()) {
        return;
    }
    m_selectedItem = index;
    updateNavigationActions();
    selectItem(m_selectionHistory.at(index));
}

void FlameGraph::selectItem(FrameGraphicsItem *item)
{
    if (!item) {
        return;
    }

    // the item and its ancestors span the whole width, their siblings make room
    const qreal width = m_view->viewport()->width() - 40;
    for (auto *current = item; current; current = current->parentFrame()) {
        const auto rect = current->rect();
        current->setRect(0, rect.y(), width, rect.height());
        current->setVisible(true);
        if (auto *parent = current->parentFrame()) {
            for (auto *sibling : parent->childFrames()) {
                sibling->setVisible(sibling == current);
            }
        }
    }

    FlameGraphBuilder::layoutItems(item);
    // Left to itself the scene only ever grows, keeping room for the bars of
    // earlier zoom levels and the placeholder; it also updates the view's
    // scroll range late, so that the first frame would be drawn off centre.
    m_scene->setSceneRect(visibleBoundingRect(static_cast<const FrameGraphicsItem *>(item->topLevelItem())));
    m_view->centerOn(item);
    setTooltipItem(item);
}

void FlameGraph::setTooltipItem(const FrameGraphicsItem *item)
{
    if (!item && m_selectedItem >= 0 && m_selectedItem < m_selectionHistory.size()) {
        item = m_selectionHistory.at(m_selectedItem);
        m_view->viewport()->setCursor(Qt::ArrowCursor);
    } else {
        m_view->viewport()->setCursor(Qt::PointingHandCursor);
    }
    m_tooltipItem = item;
    updateTooltip();
}

void FlameGraph::updateTooltip()
{
    const auto text = m_tooltipItem ? m_tooltipItem->description() : QString();
    m_displayLabel->setToolTip(text);
    m_displayLabel->setText(m_displayLabel->fontMetrics().elidedText(text, Qt::ElideRight, m_displayLabel->width()));
}

void FlameGraph::updateNavigationActions()
{
    const bool hasBack = m_selectedItem > 0;
    const bool hasForward = m_selectedItem + 1 < m_selectionHistory.size();
    m_backAction->setEnabled(hasBack);
    m_backButton->setEnabled(hasBack);
    m_forwardAction->setEnabled(hasForward);
    m_forwardButton->setEnabled(hasForward);
    m_resetAction->setEnabled(hasBack);
}

void FlameGraph::showContextMenu(const QPoint &pos)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (const auto *item = frameAt(pos)) {
        // copies: a rebuild may delete the item while the menu is open
        const auto symbol = item->symbol();
        const auto description = item->description();
        if (item->parentFrame()) {
            auto *viewCallerCallee = menu->addAction(i18n("View Caller/Callee"));
            connect(viewCallerCallee, &QAction::triggered, this, [this, symbol]() {
                Q_EMIT callerCalleeViewRequested(symbol);
            });
        }
        auto *copy = menu->addAction(QIcon::fromTheme(QStringLiteral("edit-copy")), i18n("Copy"));
        connect(copy, &QAction::triggered, this, [description]() {
            QGuiApplication::clipboard()->setText(description);
        });
        menu->addSeparator();
    }
    menu->addActions(actions());
    menu->popup(m_view->viewport()->mapToGlobal(pos));
}
