/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The flame graph widget and its bars.
*/

#include "analyze/gui/widgets/flamegraph.h"

#include "analyze/gui/analysis/exports.h"
#include "analyze/gui/analysis/jobqueue.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QHash>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QSvgGenerator>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <KColorScheme>
#include <KConfigGroup>
#include <KLocalizedString>
#include <KSharedConfig>
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

// A hundred brushes of @p colour, called with two random numbers in [0, 1].
// Bars pick their colour at random: the colours only set neighbouring bars
// apart and carry no meaning.
template<typename Colour>
QVector<QBrush> randomPalette(Colour colour)
{
    QVector<QBrush> ret;
    ret.reserve(100);
    for (int i = 0; i < 100; ++i) {
        const double r1 = static_cast<double>(std::rand()) / RAND_MAX;
        const double r2 = static_cast<double>(std::rand()) / RAND_MAX;
        ret.append(QBrush(colour(r1, r2)));
    }
    return ret;
}

// Built once and shared by every graph.
const QVector<QBrush> &brushes()
{
    static const QVector<QBrush> palette = randomPalette([](double r1, double r2) {
        return QColor(0, 190 + static_cast<int>(50 * r2), static_cast<int>(210 * r1), 125);
    });
    return palette;
}

const QBrush &randomBrush()
{
    const auto &palette = brushes();
    return palette.at(std::rand() % palette.size());
}

// Bars with a negative cost (more freed than allocated in a time range): blue
// to violet, far enough from the green and cyan of the others to stand out.
const QBrush &randomNegativeBrush()
{
    static const QVector<QBrush> palette = randomPalette([](double r1, double r2) {
        return QColor(60 + static_cast<int>(70 * r1), 70 + static_cast<int>(50 * r2), 255, 125);
    });
    return palette.at(std::rand() % palette.size());
}

// U+2212 MINUS SIGN: a hyphen is easily overlooked in front of a number
const QChar MinusSign(0x2212);

QString signedNumber(qint64 value, bool withPlus)
{
    if (value < 0) {
        // -value overflows for the smallest value; a corrupt file may hold it
        return MinusSign + QLocale().toString(static_cast<quint64>(0) - static_cast<quint64>(value));
    }
    return (withPlus && value > 0 ? QStringLiteral("+") : QString()) + QLocale().toString(value);
}

QString signedBytes(qint64 value, bool withPlus)
{
    if (value < 0) {
        return MinusSign + Util::formatBytes(value == std::numeric_limits<qint64>::min() ? std::numeric_limits<qint64>::max() : -value);
    }
    return (withPlus && value > 0 ? QStringLiteral("+") : QString()) + Util::formatBytes(value);
}

bool isBytes(CostType type)
{
    return type == CostType::Peak || type == CostType::Leaked;
}

QString formatCost(CostType type, qint64 value, bool withPlus)
{
    return isBytes(type) ? signedBytes(value, withPlus) : signedNumber(value, withPlus);
}

// "+35%" against the base, "new" for what the base did not have
QString relativeChange(qint64 difference, qint64 base)
{
    if (base == 0) {
        return difference == 0 ? QStringLiteral("0%") : i18nc("a cost the base did not have", "new");
    }
    const double percent = static_cast<double>(difference) * 100. / std::abs(static_cast<double>(base));
    const QString number = QString::number(std::abs(percent), 'g', 3) + QLatin1Char('%');
    if (percent > 0) {
        return QLatin1Char('+') + number;
    }
    if (percent < 0) {
        return MinusSign + number;
    }
    return number;
}

double magnitude(qint64 cost)
{
    return std::abs(static_cast<double>(cost));
}

// Whether a row is worth expanding: by its own cost, or, with signed costs,
// by changes among its children that cancel out in its own figure.
bool aboveThreshold(qint64 cost, const QVector<RowData> &children, int64_t AllocationData::*field, double threshold)
{
    if (magnitude(cost) > threshold) {
        return true;
    }
    double sum = 0;
    for (const auto &child : children) {
        sum += magnitude(child.cost.*field);
        if (sum > threshold) {
            return true;
        }
    }
    return false;
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
        if (aboveThreshold(item->cost(), row.children, field, threshold)) {
            // only an item that was merged into can have children already
            auto childIndex = existed ? indexChildren(item) : ItemIndex();
            toGraphicsItems(row.children, item, childIndex, field, threshold, collapseRecursion);
        }
    }
}

// Walks the base's rows the way toGraphicsItems walked the difference's and
// adds their costs to the items that exist; a base row without an item had no
// change, or sits below the threshold, and is not shown.
void addBaseCosts(const QVector<RowData> &rows, FrameGraphicsItem *parent, const ItemIndex &parentIndex, int64_t AllocationData::*field, bool collapseRecursion)
{
    for (const auto &row : rows) {
        if (collapseRecursion && row.symbol.functionId && row.symbol == parent->symbol()) {
            addBaseCosts(row.children, parent, parentIndex, field, collapseRecursion);
            continue;
        }
        auto *item = parentIndex.value(row.symbol);
        if (!item) {
            continue;
        }
        item->setBaseCost(wrappingAdd(item->baseCost(), row.cost.*field));
        if (!row.children.isEmpty()) {
            addBaseCosts(row.children, item, indexChildren(item), field, collapseRecursion);
        }
    }
}

// Spans for the layout and, where the cost is signed, the colours: both need
// the final costs, known only once every row has been merged in.
void finishItems(FrameGraphicsItem *item)
{
    double childSpans = 0;
    for (auto *child : item->childFrames()) {
        finishItems(child);
        childSpans += child->span();
        if (child->isDiff()) {
            child->setBrush(FlameGraphBuilder::changeColor(child->cost(), child->baseCost()));
        } else if (child->cost() < 0) {
            child->setBrush(randomNegativeBrush());
        }
    }
    item->setSpan(std::max(magnitude(item->cost()), childSpans));
}

bool hasNegativeCost(const FrameGraphicsItem *item)
{
    if (item->cost() < 0) {
        return true;
    }
    const auto children = item->childFrames();
    return std::any_of(children.begin(), children.end(), hasNegativeCost);
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

// The rows of @p lhs and @p rhs added up, node by node along equal symbols.
QVector<RowData> addedRows(const QVector<RowData> &lhs, const QVector<RowData> &rhs)
{
    QVector<RowData> sum = lhs;
    QHash<Symbol, int> positions;
    positions.reserve(sum.size());
    for (int i = 0; i < sum.size(); ++i) {
        positions.insert(sum.at(i).symbol, i);
    }
    for (const auto &row : rhs) {
        const auto it = positions.constFind(row.symbol);
        if (it == positions.constEnd()) {
            positions.insert(row.symbol, sum.size());
            sum.append(row);
            continue;
        }
        auto &target = sum[it.value()];
        target.cost += row.cost;
        target.children = addedRows(target.children, row.children);
    }
    // the copies' parent pointers aim at the originals: the writers do not use them
    for (auto &row : sum) {
        row.parent = nullptr;
    }
    return sum;
}

Exports::Cost exportCost(CostType type)
{
    switch (type) {
    case CostType::Peak:
        return Exports::Cost::Peak;
    case CostType::Leaked:
        return Exports::Cost::Leaked;
    case CostType::Temporary:
        return Exports::Cost::Temporary;
    case CostType::Allocations:
        break;
    }
    return Exports::Cost::Allocations;
}

KConfigGroup settingsGroup()
{
    return KSharedConfig::openConfig(QStringLiteral("memloupe_gui"))->group("FlameGraph");
}

QString colorSample(const QColor &color)
{
    return QStringLiteral("<span style=\"background-color:%1\">&nbsp;&nbsp;&nbsp;&nbsp;</span>").arg(color.name());
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
                                     FrameGraphicsItem *parent,
                                     bool isDiff)
    : QGraphicsRectItem(parent)
    , m_resultData(resultData)
    , m_cost(cost)
    , m_symbol(symbol)
    , m_costType(costType)
    , m_isDiff(isDiff)
{
    ++s_liveItems;
    setFlag(QGraphicsItem::ItemIsSelectable);
    setAcceptHoverEvents(true);
}

FrameGraphicsItem::FrameGraphicsItem(qint64 cost, const Symbol &symbol, FrameGraphicsItem *parent)
    : FrameGraphicsItem(cost, parent->costType(), symbol, parent->m_resultData, parent, parent->m_isDiff)
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
        const auto total = formatCost(m_costType, m_cost, m_isDiff);
        if (m_isDiff) {
            switch (m_costType) {
            case CostType::Allocations:
                return i18nc("%1: signed difference", "%1 allocations compared to the base", total);
            case CostType::Temporary:
                return i18nc("%1: signed difference", "%1 temporary allocations compared to the base", total);
            case CostType::Peak:
                return i18nc("%1: signed difference in bytes", "%1 peak memory consumption compared to the base", total);
            case CostType::Leaked:
                return i18nc("%1: signed difference in bytes", "%1 leaked compared to the base", total);
            }
            return {};
        }
        switch (m_costType) {
        case CostType::Allocations:
            return i18n("%1 allocations in total", total);
        case CostType::Temporary:
            return i18n("%1 temporary allocations in total", total);
        case CostType::Peak:
            return i18n("%1 peak memory consumption", total);
        case CostType::Leaked:
            return i18n("%1 leaked in total", total);
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
    if (m_isDiff) {
        return diffDescription();
    }
    if (!parentItem() || !m_resultData) {
        return label();
    }
    const auto *root = static_cast<const FrameGraphicsItem *>(topLevelItem());
    const auto symbol = Util::toString(m_symbol, *m_resultData, Util::FormatType::Short);
    if (m_cost < 0) {
        // only a time range can give a negative cost: blocks allocated before it, freed in it
        return i18nc("%1: negative cost, %2: function label", "%1 (freed in this range) in %2 and below.", formatCost(m_costType, m_cost, false), symbol);
    }
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

QString FrameGraphicsItem::diffDescription() const
{
    const auto difference = formatCost(m_costType, m_cost, true);
    const auto relative = relativeChange(m_cost, m_baseCost);
    const auto base = formatCost(m_costType, m_baseCost, false);
    const auto current = formatCost(m_costType, wrappingAdd(m_baseCost, m_cost), false);
    if (!parentItem() || !m_resultData) {
        switch (m_costType) {
        case CostType::Allocations:
            return i18nc("%1: signed difference, %2: relative change, %3: base figure, %4: current figure",
                         "%1 (%2) allocations in total: %3 in the base, %4 now.",
                         difference,
                         relative,
                         base,
                         current);
        case CostType::Temporary:
            return i18nc("%1: signed difference, %2: relative change, %3: base figure, %4: current figure",
                         "%1 (%2) temporary allocations in total: %3 in the base, %4 now.",
                         difference,
                         relative,
                         base,
                         current);
        case CostType::Peak:
            return i18nc("%1: signed difference, %2: relative change, %3: base figure, %4: current figure",
                         "%1 (%2) peak memory consumption: %3 in the base, %4 now.",
                         difference,
                         relative,
                         base,
                         current);
        case CostType::Leaked:
            return i18nc("%1: signed difference, %2: relative change, %3: base figure, %4: current figure",
                         "%1 (%2) leaked in total: %3 in the base, %4 now.",
                         difference,
                         relative,
                         base,
                         current);
        }
        return {};
    }
    const auto symbol = Util::toString(m_symbol, *m_resultData, Util::FormatType::Short);
    switch (m_costType) {
    case CostType::Allocations:
        return i18nc("%1: signed difference, %2: relative change, %3: function label, %4: base figure, %5: current figure",
                     "%1 (%2) allocations in %3 and below: %4 in the base, %5 now.",
                     difference,
                     relative,
                     symbol,
                     base,
                     current);
    case CostType::Temporary:
        return i18nc("%1: signed difference, %2: relative change, %3: function label, %4: base figure, %5: current figure",
                     "%1 (%2) temporary allocations in %3 and below: %4 in the base, %5 now.",
                     difference,
                     relative,
                     symbol,
                     base,
                     current);
    case CostType::Peak:
        return i18nc("%1: signed difference, %2: relative change, %3: function label, %4: base figure, %5: current figure",
                     "%1 (%2) peak contribution in %3 and below: %4 in the base, %5 now.",
                     difference,
                     relative,
                     symbol,
                     base,
                     current);
    case CostType::Leaked:
        return i18nc("%1: signed difference, %2: relative change, %3: function label, %4: base figure, %5: current figure",
                     "%1 (%2) leaked in %3 and below: %4 in the base, %5 now.",
                     difference,
                     relative,
                     symbol,
                     base,
                     current);
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
    // A search fades what does not match, whatever was clicked or hovered
    // before: a bar left opaque would read as a match.
    if (m_searchMatch == SearchMatchType::NoMatch) {
        color.setAlpha(50);
        painter->fillRect(bar, color);
    } else if (isSelected() || m_isHovered || m_searchMatch == SearchMatchType::DirectMatch) {
        color.setAlpha(255);
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
    auto root = std::make_unique<FrameGraphicsItem>(totalCost, options.costType, Symbol(), data.resultData, nullptr, data.diffMode);
    root->setBrush(options.rootBrush);
    root->setPen(options.pen);
    // With signed costs the net total can be near 0 while much changed: the
    // threshold is a share of all the change there is.
    double scale = magnitude(totalCost);
    {
        double sum = 0;
        for (const auto &row : data.rows) {
            sum += std::max(magnitude(row.cost.*field), [&row, field] {
                double children = 0;
                for (const auto &child : row.children) {
                    children += magnitude(child.cost.*field);
                }
                return children;
            }());
        }
        scale = std::max(scale, sum);
    }
    const double threshold = scale * options.costThreshold / 100.;
    ItemIndex rootIndex;
    toGraphicsItems(data.rows, root.get(), rootIndex, field, threshold, options.collapseRecursion);
    if (data.diffMode) {
        qint64 baseTotal = 0;
        for (const auto &row : data.baseRows) {
            baseTotal = wrappingAdd(baseTotal, row.cost.*field);
        }
        root->setBaseCost(baseTotal);
        addBaseCosts(data.baseRows, root.get(), indexChildren(root.get()), field, options.collapseRecursion);
    }
    finishItems(root.get());
    return root;
}

QColor FlameGraphBuilder::changeColor(qint64 difference, qint64 base)
{
    if (difference == 0) {
        return QColor(190, 190, 190, 200);
    }
    const double current = static_cast<double>(base) + static_cast<double>(difference);
    const double reference = std::max(magnitude(base), std::abs(current));
    const double relative = reference > 0 ? std::min(1., magnitude(difference) / reference) : 1.;
    // pale for a small change against a large figure, full for a new or gone one
    const int saturation = 50 + static_cast<int>(205 * relative);
    return QColor::fromHsv(difference > 0 ? 0 : 220, saturation, 255, 200);
}

void FlameGraphBuilder::layoutItems(FrameGraphicsItem *parent)
{
    const auto parentRect = parent->rect();
    const qreal y = parentRect.y() - parentRect.height() - 2;
    const qreal parentSpan = parent->span();
    qreal x = parentRect.x();
    for (auto *child : parent->childFrames()) {
        const qreal width = parentSpan > 0 ? child->span() * parentRect.width() / parentSpan : 0;
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
    , m_legendLabel(new QLabel(this))
{
    // what the user chose last time, within what the controls accept
    const auto settings = settingsGroup();
    m_showBottomUpData = settings.readEntry("BottomUp", m_showBottomUpData);
    m_collapseRecursion = settings.readEntry("CollapseRecursion", m_collapseRecursion);
    const double threshold = settings.readEntry("CostThreshold", m_costThreshold);
    if (std::isfinite(threshold)) {
        m_costThreshold = std::clamp(threshold, 0., 99.9);
    }

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
    const int storedType = m_costSource->findData(settings.readEntry("CostType", -1));
    if (storedType >= 0) {
        m_costSource->setCurrentIndex(storedType);
    }
    connect(m_costSource, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this]() {
        saveSettings();
        showData();
    });

    auto *bottomUpCheckbox = new QCheckBox(i18n("Bottom-Up View"), this);
    bottomUpCheckbox->setObjectName(QStringLiteral("bottomUpCheckBox"));
    bottomUpCheckbox->setToolTip(
        i18n("Enable the bottom-up flame graph view. When this is unchecked, the top-down "
             "view is enabled by default."));
    bottomUpCheckbox->setChecked(m_showBottomUpData);
    connect(bottomUpCheckbox, &QCheckBox::toggled, this, [this](bool checked) {
        m_showBottomUpData = checked;
        saveSettings();
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
        saveSettings();
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
        saveSettings();
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
    // fixed texts and colour samples only, no names from the trace
    m_legendLabel->setObjectName(QStringLiteral("legendLabel"));
    m_legendLabel->setTextFormat(Qt::RichText);
    m_legendLabel->setWordWrap(true);
    m_legendLabel->hide();

    setLayout(new QVBoxLayout);
    layout()->setContentsMargins(0, 0, 0, 0);
    layout()->setSpacing(0);
    layout()->addWidget(controls);
    layout()->addWidget(m_view);
    layout()->addWidget(m_legendLabel);
    layout()->addWidget(m_displayLabel);
    layout()->addWidget(m_searchResultsLabel);

    updateNavigationActions();
}

FlameGraph::~FlameGraph()
{
    settingsGroup().sync();
}

void FlameGraph::saveSettings() const
{
    auto settings = settingsGroup();
    settings.writeEntry("CostType", m_costSource->currentData().toInt());
    settings.writeEntry("BottomUp", m_showBottomUpData);
    settings.writeEntry("CollapseRecursion", m_collapseRecursion);
    settings.writeEntry("CostThreshold", m_costThreshold);
}

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
    JobQueue::releaseInBackground(std::exchange(m_topDownData, topDownData));
    if (isVisible()) {
        showData();
    }
}

void FlameGraph::setBottomUpData(const TreeData &bottomUpData)
{
    JobQueue::releaseInBackground(std::exchange(m_bottomUpData, bottomUpData));
}

void FlameGraph::clearData()
{
    m_pendingZoom.clear();
    JobQueue::releaseInBackground(std::exchange(m_topDownData, {}));
    JobQueue::releaseInBackground(std::exchange(m_bottomUpData, {}));
    setData(nullptr);
}

void FlameGraph::clearDataKeepingZoom()
{
    const auto path = zoomPath();
    clearData();
    m_pendingZoom = path;
}

QVector<Symbol> FlameGraph::zoomPath() const
{
    QVector<Symbol> path;
    if (m_selectedItem < 0 || m_selectedItem >= m_selectionHistory.size()) {
        return path;
    }
    for (const auto *item = m_selectionHistory.at(m_selectedItem); item && item->parentFrame(); item = item->parentFrame()) {
        path.prepend(item->symbol());
    }
    return path;
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
        if (!m_pendingZoom.isEmpty()) {
            auto *item = rootItem;
            for (const auto &symbol : qAsConst(m_pendingZoom)) {
                const auto children = item->childFrames();
                const auto it = std::find_if(children.begin(), children.end(), [&symbol](const FrameGraphicsItem *child) {
                    return child->symbol() == symbol;
                });
                item = it == children.end() ? nullptr : *it;
                if (!item) {
                    break;
                }
            }
            m_pendingZoom.clear();
            if (item) {
                m_selectionHistory.append(item);
                m_selectedItem = 1;
                updateNavigationActions();
            }
        }
        // Laid out for the view before the scene holds the items: inside a scene
        // every rectangle that changes is a geometry change the scene tracks,
        // and a large graph's tens of thousands of them stalled the window.
        if (isVisible()) {
            arrangeFor(m_selectionHistory.at(m_selectedItem));
        }
        m_scene->addItem(rootItem);
        // A new graph is drawn whole: without this the scene would work out
        // each new item's own region of the view to repaint.
        m_scene->update();
        if (!m_searchInput->text().isEmpty()) {
            setSearchValue(m_searchInput->text());
        }
        if (isVisible()) {
            showArranged(m_selectionHistory.at(m_selectedItem));
        }
    } else {
        auto *text = m_scene->addText(i18n("generating flame graph..."));
        m_scene->setSceneRect(text->sceneBoundingRect());
        m_view->centerOn(text);
        m_view->viewport()->setCursor(Qt::BusyCursor);
    }
    updateLegend();
}

void FlameGraph::updateLegend()
{
    if (m_rootItem && m_rootItem->isDiff()) {
        m_legendLabel->setText(i18nc("%1, %2: colour samples",
                                     "%1 grew compared to the base, %2 shrank; the stronger the colour, the larger the change against what it "
                                     "cost before. Widths show the size of the change.",
                                     colorSample(FlameGraphBuilder::changeColor(1, 0)),
                                     colorSample(FlameGraphBuilder::changeColor(-1, 1))));
        m_legendLabel->show();
    } else if (m_rootItem && hasNegativeCost(m_rootItem)) {
        m_legendLabel->setText(i18nc("%1: colour sample",
                                     "%1 more freed than allocated in this time range (a negative cost). Widths show the size of a cost "
                                     "whatever its sign.",
                                     colorSample(QColor(95, 95, 255))));
        m_legendLabel->show();
    } else {
        m_legendLabel->hide();
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
    if (m_rootItem->isDiff()) {
        // a share of a net change means little: name both changes instead
        const auto type = m_rootItem->costType();
        const auto matched = formatCost(type, results.directCost, true);
        const auto inTotal = formatCost(type, total, true);
        m_searchResultsLabel->setText(isBytes(type) ? i18n("%1 compared to the base matched by search (%2 in total).", matched, inTotal)
                                                    : i18n("%1 allocations compared to the base matched by search (%2 in total).", matched, inTotal));
        m_searchResultsLabel->show();
        return;
    }
    const auto relative = Util::formatCostRelative(results.directCost, total);
    switch (m_rootItem->costType()) {
    case CostType::Allocations:
    case CostType::Temporary:
        m_searchResultsLabel->setText(
            i18n("%1 (%2% of total of %3) allocations matched by search.", signedNumber(results.directCost, false), relative, signedNumber(total, false)));
        break;
    case CostType::Peak:
    case CostType::Leaked:
        m_searchResultsLabel->setText(
            i18n("%1 (%2% of total of %3) matched by search.", signedBytes(results.directCost, false), relative, signedBytes(total, false)));
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

    arrangeFor(item);
    showArranged(item);
}

void FlameGraph::showArranged(FrameGraphicsItem *item)
{
    // Left to itself the scene only ever grows, keeping room for the bars of
    // earlier zoom levels and the placeholder; it also updates the view's
    // scroll range late, so that the first frame would be drawn off centre.
    m_scene->setSceneRect(visibleBoundingRect(static_cast<const FrameGraphicsItem *>(item->topLevelItem())));
    m_view->centerOn(item);
    setTooltipItem(item);
}

void FlameGraph::arrangeFor(FrameGraphicsItem *item) const
{
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
    menu->addSeparator();
    auto *exportSvg = menu->addAction(QIcon::fromTheme(QStringLiteral("document-export")), i18n("Export as SVG..."));
    exportSvg->setObjectName(QStringLiteral("exportSvg"));
    exportSvg->setEnabled(m_rootItem);
    connect(exportSvg, &QAction::triggered, this, &FlameGraph::askAndExportSvg);
    auto *exportFolded = menu->addAction(QIcon::fromTheme(QStringLiteral("document-export")), i18n("Export as Folded Stacks..."));
    exportFolded->setObjectName(QStringLiteral("exportFolded"));
    exportFolded->setEnabled(m_rootItem);
    connect(exportFolded, &QAction::triggered, this, &FlameGraph::askAndExportFolded);
    menu->popup(m_view->viewport()->mapToGlobal(pos));
}

void FlameGraph::askAndExportSvg()
{
    askAndExport(i18n("Export Flame Graph as SVG"), i18n("SVG images (*.svg)"), &FlameGraph::exportSvg);
}

void FlameGraph::askAndExportFolded()
{
    askAndExport(i18n("Export Flame Graph as Folded Stacks"), i18n("Folded stacks (*.folded *.txt)"), &FlameGraph::exportFolded);
}

void FlameGraph::askAndExport(const QString &title, const QString &filter, bool (FlameGraph::*exporter)(const QString &, QString *) const)
{
    const auto path = QFileDialog::getSaveFileName(this, title, {}, filter);
    if (path.isEmpty()) {
        return;
    }
    QString errorMessage;
    if (!(this->*exporter)(path, &errorMessage)) {
        Q_EMIT exportFailed(errorMessage);
    }
}

bool FlameGraph::exportFolded(const QString &path, QString *errorMessage) const
{
    const auto &tree = m_showBottomUpData ? m_bottomUpData : m_topDownData;
    if (!m_rootItem || !tree.resultData) {
        *errorMessage = i18n("There is no flame graph to export yet.");
        return false;
    }
    const auto direction = m_showBottomUpData ? Exports::TreeDirection::BottomUp : Exports::TreeDirection::TopDown;
    const auto cost = exportCost(m_rootItem->costType());
    const auto write = [&](QIODevice *file) {
        if (!tree.diffMode) {
            return Exports::writeFoldedStacks(file, tree, direction, cost);
        }
        TreeData base;
        base.resultData = tree.resultData;
        base.rows = tree.baseRows;
        TreeData current;
        current.resultData = tree.resultData;
        current.rows = addedRows(tree.baseRows, tree.rows);
        return Exports::writeFoldedStacksDiff(file, base, direction, current, direction, cost);
    };
    QString error;
    if (!Exports::saveFile(path, write, &error)) {
        *errorMessage = i18n("Could not write %1: %2", path, error);
        return false;
    }
    return true;
}

bool FlameGraph::exportSvg(const QString &path, QString *errorMessage) const
{
    if (!m_rootItem) {
        *errorMessage = i18n("There is no flame graph to export yet.");
        return false;
    }
    bool drawn = true;
    const auto write = [&](QIODevice *file) {
        // what the view can scroll over: the bars left visible at this zoom
        const auto source = m_scene->sceneRect();
        const QRectF target(QPointF(0, 0), source.size());
        QSvgGenerator generator;
        generator.setOutputDevice(file);
        generator.setSize(source.size().toSize());
        generator.setViewBox(target);
        generator.setTitle(i18n("Flame Graph"));
        generator.setDescription(m_rootItem->description());
        QPainter painter;
        if (!painter.begin(&generator)) {
            drawn = false;
            return false;
        }
        // the bars measure their text with the painter's font, as in the view
        painter.setFont(m_view->font());
        m_scene->render(&painter, target, source);
        painter.end();
        return true;
    };
    QString error;
    if (!Exports::saveFile(path, write, &error)) {
        *errorMessage = i18n("Could not write %1: %2", path, drawn ? error : i18n("the image could not be drawn"));
        return false;
    }
    return true;
}
