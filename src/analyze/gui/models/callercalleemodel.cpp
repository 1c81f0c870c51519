/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/callercalleemodel.h"

#include <KLocalizedString>

#include "analyze/gui/analysis/util.h"

namespace
{
// Models can be asked for data before any result data was handed to them (or
// with rows but no strings); they then format against an empty string table.
const ResultData &resultDataOrEmpty(const std::shared_ptr<const ResultData> &resultData)
{
    static const ResultData empty({}, {});
    return resultData ? *resultData : empty;
}

constexpr int CostSortRole = CostModel::SortRole;
constexpr int CostTotalRole = CostModel::TotalCostRole;

quint64 absCost(int64_t cost)
{
    // negated in unsigned arithmetic: the magnitude of the smallest int64_t does not fit into one
    return cost < 0 ? 0 - static_cast<quint64>(cost) : static_cast<quint64>(cost);
}

bool isInclusiveColumn(int column)
{
    return column <= 4;
}

// The cost columns after the location column of the caller/callee and source
// tables: inclusive first, then self, each in the order peak, leaked,
// allocations, temporary.
enum class CostKind {
    Peak,
    Leaked,
    Allocations,
    Temporary,
};

CostKind costKind(int costColumn)
{
    return static_cast<CostKind>((costColumn - 1) % 4);
}

int64_t costOf(const AllocationData &costs, CostKind kind)
{
    switch (kind) {
    case CostKind::Peak:
        return costs.peak;
    case CostKind::Leaked:
        return costs.leaked;
    case CostKind::Allocations:
        return costs.allocations;
    case CostKind::Temporary:
        return costs.temporary;
    }
    return 0;
}

QVariant displayCost(const AllocationData &costs, CostKind kind)
{
    const int64_t cost = costOf(costs, kind);
    if (kind == CostKind::Peak || kind == CostKind::Leaked) {
        return Util::formatBytes(cost);
    }
    return static_cast<qint64>(cost);
}

quint64 sortKey(const AllocationData &costs, CostKind kind)
{
    // magnitudes, so that the negative costs of a diff sort next to positive ones of the same size
    return absCost(costOf(costs, kind));
}

// Display, sort and total values of a cost column; invalid for any other role.
QVariant costCell(const AllocationData &costs, CostKind kind, int role, const ResultData &resultData)
{
    switch (role) {
    case Qt::DisplayRole:
        return displayCost(costs, kind);
    case CostSortRole:
        return sortKey(costs, kind);
    case CostTotalRole:
        return static_cast<qint64>(costOf(resultData.totalCosts(), kind));
    }
    return {};
}

// Cost columns 1 to 8 of a table with inclusive and self costs.
QVariant entryCostCell(const EntryCost &costs, int column, int role, const ResultData &resultData)
{
    return costCell(isInclusiveColumn(column) ? costs.inclusiveCost : costs.selfCost, costKind(column), role, resultData);
}

// The values of the roles travel in variants and the results through queued connections.
void registerMetaTypes()
{
    qRegisterMetaType<CallerCalleeResults>("CallerCalleeResults");
    qRegisterMetaType<SymbolCostMap>("SymbolCostMap");
    qRegisterMetaType<LocationCostMap>("LocationCostMap");
    qRegisterMetaType<Symbol>("Symbol");
    qRegisterMetaType<FileLine>("FileLine");
    qRegisterMetaType<const ResultData *>("const ResultData*");
}

QVariant entryCostHeaderDisplay(int column)
{
    switch (column) {
    case 1:
        return i18n("Peak (Incl.)");
    case 2:
        return i18n("Leaked (Incl.)");
    case 3:
        return i18n("Allocations (Incl.)");
    case 4:
        return i18n("Temporary (Incl.)");
    case 5:
        return i18n("Peak (Self)");
    case 6:
        return i18n("Leaked (Self)");
    case 7:
        return i18n("Allocations (Self)");
    case 8:
        return i18n("Temporary (Self)");
    }
    return {};
}

QVariant entryCostHeaderToolTip(int column)
{
    switch (column) {
    case 1:
        return i18n(
            "<qt>The inclusive maximum heap memory in bytes consumed from allocations originating at this location "
            "or from functions called from here. This takes deallocations into account.</qt>");
    case 2:
        return i18n("<qt>The bytes allocated at this location that have not been deallocated.</qt>");
    case 3:
        return i18n(
            "<qt>The inclusive number of times an allocation function was called from this location or any "
            "functions called from here.</qt>");
    case 4:
        return i18n(
            "<qt>The number of inclusive temporary allocations. These allocations are directly followed by a "
            "free without any other allocations in-between.</qt>");
    case 5:
        return i18n(
            "<qt>The maximum heap memory in bytes consumed from allocations originating directly at this "
            "location. This takes deallocations into account.</qt>");
    case 6:
        return i18n("<qt>The bytes allocated directly at this location that have not been deallocated.</qt>");
    case 7:
        return i18n("<qt>The number of times an allocation function was directly called from this location.</qt>");
    case 8:
        return i18n(
            "<qt>The number of direct temporary allocations. These allocations are directly followed by a free "
            "without any other allocations in-between.</qt>");
    }
    return {};
}
}

CallerCalleeModel::CallerCalleeModel(QObject *parent)
    : HashModel(parent)
{
    registerMetaTypes();
}

CallerCalleeModel::~CallerCalleeModel() = default;

void CallerCalleeModel::setResults(const CallerCalleeResults &results)
{
    // the rows share the entries: the last of the two to go frees them, in the background
    auto replaced = std::exchange(m_results, results);
    m_sortKeysColumn = -1;
    setRows(m_results.entries, m_results.order);
    JobQueue::releaseInBackground(std::move(replaced));
}

void CallerCalleeModel::clearData()
{
    setResults({});
}

QModelIndex CallerCalleeModel::indexForSymbol(const Symbol &symbol) const
{
    return indexForKey(symbol, LocationColumn);
}

int CallerCalleeModel::numColumns() const
{
    return NUM_COLUMNS;
}

bool CallerCalleeModel::costLessThan(const QModelIndex &left, const QModelIndex &right) const
{
    // as comparing what data() gives: an invalid value sorts after every number
    const auto hasKey = [this](const QModelIndex &index) {
        return index.isValid() && index.model() == this && index.row() < m_rows.size() && index.column() > LocationColumn && index.column() < NUM_COLUMNS;
    };
    if (!hasKey(left)) {
        return false;
    }
    if (!hasKey(right)) {
        return true;
    }
    const int column = left.column();
    if (column != right.column()) {
        return cell(column, SortRole, m_rows.at(left.row()).key(), m_rows.at(left.row()).value()).toULongLong()
            < cell(right.column(), SortRole, m_rows.at(right.row()).key(), m_rows.at(right.row()).value()).toULongLong();
    }
    if (m_sortKeysColumn != column || m_sortKeys.size() != m_rows.size()) {
        m_sortKeys.resize(m_rows.size());
        const bool inclusive = isInclusiveColumn(column);
        const auto kind = costKind(column);
        for (int row = 0; row < m_rows.size(); ++row) {
            const auto &entry = m_rows.at(row).value();
            m_sortKeys[row] = sortKey(inclusive ? entry.inclusiveCost : entry.selfCost, kind);
        }
        m_sortKeysColumn = column;
    }
    return m_sortKeys.at(left.row()) < m_sortKeys.at(right.row());
}

Symbol CallerCalleeModel::symbolAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this || index.row() >= m_rows.size()) {
        return {};
    }
    return m_rows.at(index.row()).key();
}

const ResultData *CallerCalleeModel::sortResultData() const
{
    return m_results.resultData.get();
}

QVariant CallerCalleeModel::headerCell(int column, int role) const
{
    if (column < 0 || column >= NUM_COLUMNS) {
        return {};
    }
    switch (role) {
    case Qt::InitialSortOrderRole:
        return static_cast<int>(column == LocationColumn ? Qt::AscendingOrder : Qt::DescendingOrder);
    case Qt::DisplayRole:
        if (column == LocationColumn) {
            return i18n("Location");
        }
        return entryCostHeaderDisplay(column);
    case Qt::ToolTipRole:
        if (column == LocationColumn) {
            return i18n(
                "<qt>The parent symbol that called an allocation function. The function name may be "
                "unresolved when debug information is missing.</qt>");
        }
        return entryCostHeaderToolTip(column);
    }
    return {};
}

QVariant CallerCalleeModel::cell(int column, int role, const Symbol &symbol, const CallerCalleeEntry &entry) const
{
    const ResultData &resultData = resultDataOrEmpty(m_results.resultData);
    switch (role) {
    case Qt::ToolTipRole:
        return Util::formatTooltip(symbol, entry.selfCost, entry.inclusiveCost, resultData);
    case CalleesRole:
        return QVariant::fromValue(entry.callees);
    case CallersRole:
        return QVariant::fromValue(entry.callers);
    case SourceMapRole:
        return QVariant::fromValue(entry.sourceMap);
    case SymbolRole:
        return QVariant::fromValue(symbol);
    case ResultDataRole:
        return QVariant::fromValue(m_results.resultData.get());
    case Qt::DisplayRole:
    case SortRole:
    case TotalCostRole:
        break;
    default:
        return {};
    }

    if (column == LocationColumn) {
        if (role == TotalCostRole) {
            return {};
        }
        return Util::toString(symbol, resultData, Util::FormatType::Short);
    }
    if (column > LocationColumn && column < NUM_COLUMNS) {
        return entryCostCell(entry, column, role, resultData);
    }
    return {};
}

template<typename ModelImpl>
QVariant SymbolCostModelImpl<ModelImpl>::headerCell(int column, int role) const
{
    if (column < 0 || column >= NUM_COLUMNS) {
        return {};
    }
    switch (role) {
    case Qt::InitialSortOrderRole:
        if (column == LocationColumn) {
            return {};
        }
        return static_cast<int>(Qt::DescendingOrder);
    case Qt::DisplayRole:
        switch (column) {
        case LocationColumn:
            return symbolHeader();
        case PeakColumn:
            return i18n("Peak");
        case LeakedColumn:
            return i18n("Leaked");
        case AllocationsColumn:
            return i18n("Allocations");
        case TemporaryColumn:
            return i18n("Temporary");
        }
        return {};
    case Qt::ToolTipRole:
        if (column == LocationColumn) {
            return i18n("The location of the %1. The function name may be unresolved when debug information is missing.", symbolHeader());
        }
        // the same texts as the inclusive columns of the caller/callee table
        return entryCostHeaderToolTip(column);
    }
    return {};
}

template<typename ModelImpl>
QVariant SymbolCostModelImpl<ModelImpl>::cell(int column, int role, const Symbol &symbol, const AllocationData &costs) const
{
    const ResultData &resultData = resultDataOrEmpty(m_resultData);
    switch (role) {
    case Qt::ToolTipRole:
        return Util::formatTooltip(symbol, costs, resultData);
    case SymbolRole:
        return QVariant::fromValue(symbol);
    case Qt::DisplayRole:
    case SortRole:
    case TotalCostRole:
        break;
    default:
        return {};
    }

    if (column == LocationColumn) {
        switch (role) {
        case Qt::DisplayRole:
            return Util::toString(symbol, resultData, Util::FormatType::Short);
        case SortRole:
            return QVariant::fromValue(symbol);
        }
        return {};
    }
    if (column > LocationColumn && column < NUM_COLUMNS) {
        return costCell(costs, costKind(column), role, resultData);
    }
    return {};
}

template class SymbolCostModelImpl<CallerModel>;
template class SymbolCostModelImpl<CalleeModel>;

CallerModel::CallerModel(QObject *parent)
    : SymbolCostModelImpl(parent)
{
    registerMetaTypes();
}

CallerModel::~CallerModel() = default;

QString CallerModel::symbolHeader() const
{
    return i18n("Caller");
}

CalleeModel::CalleeModel(QObject *parent)
    : SymbolCostModelImpl(parent)
{
    registerMetaTypes();
}

CalleeModel::~CalleeModel() = default;

QString CalleeModel::symbolHeader() const
{
    return i18n("Callee");
}

template<typename ModelImpl>
QVariant LocationCostModelImpl<ModelImpl>::headerCell(int column, int role) const
{
    if (column < 0 || column >= NUM_COLUMNS) {
        return {};
    }
    switch (role) {
    case Qt::InitialSortOrderRole:
        if (column == LocationColumn) {
            return {};
        }
        return static_cast<int>(Qt::DescendingOrder);
    case Qt::DisplayRole:
        if (column == LocationColumn) {
            return i18n("Location");
        }
        return entryCostHeaderDisplay(column);
    case Qt::ToolTipRole:
        if (column == LocationColumn) {
            return i18n(
                "<qt>The source code location that called an allocation function. May be unknown when debug "
                "information is missing.</qt>");
        }
        return entryCostHeaderToolTip(column);
    }
    return {};
}

template<typename ModelImpl>
QVariant LocationCostModelImpl<ModelImpl>::cell(int column, int role, const FileLine &location, const EntryCost &costs) const
{
    const ResultData &resultData = resultDataOrEmpty(m_resultData);
    switch (role) {
    case Qt::ToolTipRole:
        return Util::formatTooltip(location, costs.selfCost, costs.inclusiveCost, resultData);
    case ResultDataRole:
        return QVariant::fromValue(m_resultData.get());
    case LocationRole:
        return QVariant::fromValue(location);
    case Qt::DisplayRole:
    case SortRole:
    case TotalCostRole:
        break;
    default:
        return {};
    }

    if (column == LocationColumn) {
        switch (role) {
        case Qt::DisplayRole:
            return Util::toString(location, resultData, Util::FormatType::Short);
        case SortRole:
            // the full path, so that equal file names in different directories do not interleave
            return Util::toString(location, resultData, Util::FormatType::Long);
        }
        return {};
    }
    if (column > LocationColumn && column < NUM_COLUMNS) {
        return entryCostCell(costs, column, role, resultData);
    }
    return {};
}

template class LocationCostModelImpl<SourceMapModel>;

SourceMapModel::SourceMapModel(QObject *parent)
    : LocationCostModelImpl(parent)
{
    registerMetaTypes();
}

SourceMapModel::~SourceMapModel() = default;
