/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/treemodel.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <KLocalizedString>

#include "analyze/gui/analysis/jobqueue.h"
#include "analyze/gui/analysis/util.h"

namespace
{
qint64 absolute(int64_t value)
{
    return static_cast<qint64>(absoluteCost(value));
}
}

TreeModel::TreeModel(QObject *parent)
    : QAbstractItemModel(parent)
{
    qRegisterMetaType<TreeData>("TreeData");
    qRegisterMetaType<SummaryData>("SummaryData");
    qRegisterMetaType<Symbol>("Symbol");
    qRegisterMetaType<const ResultData *>("const ResultData*");
}

TreeModel::~TreeModel() = default;

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= NUM_COLUMNS) {
        return {};
    }
    if (role == Qt::InitialSortOrderRole) {
        if (section == LocationColumn) {
            return {};
        }
        return static_cast<int>(Qt::DescendingOrder);
    }
    if (role == Qt::DisplayRole) {
        switch (static_cast<Columns>(section)) {
        case LocationColumn:
            return i18n("Location");
        case PeakColumn:
            return i18n("Peak");
        case LeakedColumn:
            return i18n("Leaked");
        case AllocationsColumn:
            return i18n("Allocations");
        case TemporaryColumn:
            return i18n("Temporary");
        case NUM_COLUMNS:
            break;
        }
    } else if (role == Qt::ToolTipRole) {
        switch (static_cast<Columns>(section)) {
        case LocationColumn:
            return i18n(
                "<qt>The location from which an allocation function was called. Function symbol and file "
                "information may be unknown when debug information was missing when memloupe was run.</qt>");
        case PeakColumn:
            return i18n(
                "<qt>The contributions from a given location to the maximum heap memory consumption in bytes. "
                "This takes deallocations into account.</qt>");
        case LeakedColumn:
            return i18n("<qt>The bytes allocated at this location that have not been deallocated.</qt>");
        case AllocationsColumn:
            return i18n("<qt>The number of times an allocation function was called from this location.</qt>");
        case TemporaryColumn:
            return i18n(
                "<qt>The number of temporary allocations. These allocations are directly followed by a free "
                "without any other allocations in-between.</qt>");
        case NUM_COLUMNS:
            break;
        }
    }
    return {};
}

QVariant TreeModel::data(const QModelIndex &index, int role) const
{
    if (index.row() < 0 || index.column() < 0 || index.column() >= NUM_COLUMNS) {
        return {};
    }

    const RowData *row = role == MaxCostRole ? maxCostRow() : toRow(index);
    if (!row) {
        return {};
    }

    if (role != Qt::DisplayRole && role != SortRole && role != MaxCostRole) {
        if (role == Qt::ToolTipRole) {
            return toolTip(*row);
        } else if (role == SymbolRole) {
            return QVariant::fromValue(row->symbol);
        } else if (role == ResultDataRole) {
            return QVariant::fromValue(static_cast<const ResultData *>(m_data.resultData.get()));
        }
        return {};
    }

    const auto &cost = row->cost;
    if (index.column() == LocationColumn) {
        if (!m_data.resultData) {
            return {};
        }
        return Util::toString(row->symbol, *m_data.resultData, Util::FormatType::Short);
    }
    if (role != Qt::DisplayRole) {
        return sortKey(*row, index.column());
    }
    switch (static_cast<Columns>(index.column())) {
    case PeakColumn:
        return Util::formatBytes(cost.peak);
    case LeakedColumn:
        return Util::formatBytes(cost.leaked);
    case AllocationsColumn:
        return static_cast<qint64>(cost.allocations);
    case TemporaryColumn:
        return static_cast<qint64>(cost.temporary);
    case LocationColumn:
    case NUM_COLUMNS:
        break;
    }
    return {};
}

qint64 TreeModel::sortKey(const RowData &row, int column)
{
    // magnitudes, so that a negative diff sorts and scales next to a positive cost of the same size
    const auto &cost = row.cost;
    switch (static_cast<Columns>(column)) {
    case PeakColumn:
        return absolute(cost.peak);
    case LeakedColumn:
        return absolute(cost.leaked);
    case AllocationsColumn:
        return absolute(cost.allocations);
    case TemporaryColumn:
        return absolute(cost.temporary);
    case LocationColumn:
    case NUM_COLUMNS:
        break;
    }
    return 0;
}

bool TreeModel::costLessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const RowData *leftRow = toRow(left);
    const RowData *rightRow = toRow(right);
    // as comparing what data() gives: an invalid value sorts after every number
    if (!leftRow) {
        return false;
    }
    if (!rightRow) {
        return true;
    }
    return sortKey(*leftRow, left.column()) < sortKey(*rightRow, right.column());
}

qint64 TreeModel::costSortKey(const QModelIndex &index) const
{
    const RowData *row = toRow(index);
    return row ? sortKey(*row, index.column()) : 0;
}

Symbol TreeModel::symbolAt(const QModelIndex &index) const
{
    const RowData *row = toRow(index);
    return row ? row->symbol : Symbol();
}

const ResultData *TreeModel::sortResultData() const
{
    return m_data.resultData.get();
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= NUM_COLUMNS || row >= rowCount(parent)) {
        return {};
    }
    return createIndex(row, column, const_cast<RowData *>(toRow(parent)));
}

QModelIndex TreeModel::parent(const QModelIndex &child) const
{
    if (!child.isValid()) {
        return {};
    }
    const auto *parentRow = static_cast<const RowData *>(child.internalPointer());
    if (!parentRow) {
        return {};
    }
    return createIndex(rowOf(parentRow), 0, const_cast<RowData *>(parentRow->parent));
}

int TreeModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid()) {
        return m_data.rows.size();
    }
    if (parent.column() != LocationColumn) {
        return 0;
    }
    const auto *row = toRow(parent);
    return row ? row->children.size() : 0;
}

int TreeModel::columnCount(const QModelIndex & /*parent*/) const
{
    return NUM_COLUMNS;
}

void TreeModel::resetData(const TreeData &data)
{
    beginResetModel();
    // The parent pointers of the rows aim into these very vectors: share them, a
    // deep copy would leave the indices pointing at the other copy.
    auto replaced = std::exchange(m_data.rows, data.rows);
    m_data.resultData = data.resultData;
    m_largestCost = {};
    if (m_data.resultData && m_data.resultData->isDiff()) {
        collectLargestCosts(m_data.rows, &m_largestCost.cost);
    }
    endResetModel();
    // once nothing that the reset told refers to them any more
    JobQueue::releaseInBackground(std::move(replaced));
}

void TreeModel::collectLargestCosts(const QVector<RowData> &rows, AllocationData *largest)
{
    for (const auto &row : rows) {
        largest->peak = std::max<int64_t>(largest->peak, absolute(row.cost.peak));
        largest->leaked = std::max<int64_t>(largest->leaked, absolute(row.cost.leaked));
        largest->allocations = std::max<int64_t>(largest->allocations, absolute(row.cost.allocations));
        largest->temporary = std::max<int64_t>(largest->temporary, absolute(row.cost.temporary));
        collectLargestCosts(row.children, largest);
    }
}

const RowData *TreeModel::maxCostRow() const
{
    return m_data.resultData && m_data.resultData->isDiff() ? &m_largestCost : &m_maxCost;
}

void TreeModel::setSummary(const SummaryData &data)
{
    beginResetModel();
    m_maxCost.cost = data.cost;
    endResetModel();
}

void TreeModel::clearData()
{
    beginResetModel();
    auto replaced = std::exchange(m_data, {});
    m_maxCost = {};
    m_largestCost = {};
    endResetModel();
    JobQueue::releaseInBackground(std::move(replaced));
}

const RowData *TreeModel::toRow(const QModelIndex &index) const
{
    if (!index.isValid()) {
        return nullptr;
    }
    const auto *parentRow = static_cast<const RowData *>(index.internalPointer());
    const auto &siblings = parentRow ? parentRow->children : m_data.rows;
    if (index.row() >= siblings.size()) {
        return nullptr;
    }
    return siblings.constData() + index.row();
}

int TreeModel::rowOf(const RowData *row) const
{
    const auto &siblings = row->parent ? row->parent->children : m_data.rows;
    return static_cast<int>(row - siblings.constData());
}

QString TreeModel::locationText(const Symbol &symbol) const
{
    // the plain lookup: an unknown function shows as an empty name here
    const auto function = m_data.resultData->string(static_cast<StringIndex>(symbol.functionId));
    const auto module = m_data.resultData->string(static_cast<StringIndex>(symbol.moduleId));
    return i18nc("1: function, 2: module, 3: module path",
                 "%1\n  in %2 (%3)",
                 function.toHtmlEscaped(),
                 Util::basename(module).toHtmlEscaped(),
                 module.toHtmlEscaped());
}

QString TreeModel::toolTip(const RowData &row) const
{
    if (!m_data.resultData) {
        return {};
    }

    const auto &cost = row.cost;
    const auto &total = m_maxCost.cost;
    QString ret = QStringLiteral("<qt><pre style='font-family:monospace;'>");
    ret += locationText(row.symbol);
    ret += QLatin1String("\n\n");
    ret += i18n("peak contribution: %1 (%2% of total)\n", Util::formatBytes(cost.peak), Util::formatCostRelative(cost.peak, total.peak));
    ret += i18n("leaked: %1 (%2% of total)\n", Util::formatBytes(cost.leaked), Util::formatCostRelative(cost.leaked, total.leaked));
    ret += i18n("allocations: %1 (%2% of total)\n", static_cast<qint64>(cost.allocations), Util::formatCostRelative(cost.allocations, total.allocations));
    ret += i18n("temporary: %1 (%2% of allocations, %3% of total)\n",
                static_cast<qint64>(cost.temporary),
                Util::formatCostRelative(cost.temporary, cost.allocations),
                Util::formatCostRelative(cost.temporary, total.temporary));

    if (!row.children.isEmpty()) {
        const RowData *current = &row;
        if (current->children.size() == 1) {
            ret += QLatin1Char('\n') + i18n("backtrace:") + QLatin1Char('\n');
            // the row itself is the first entry; a long chain is cut after five
            int entries = 0;
            while (entries < 5 && current->children.size() == 1) {
                ret += QLatin1Char('\n') + locationText(current->symbol);
                current = &current->children.constFirst();
                ++entries;
            }
        }
        if (current->children.size() > 1) {
            ret += QLatin1Char('\n') + i18np("called from one location", "called from %1 locations", current->children.size());
        }
    }

    ret += QLatin1String("</pre></qt>");
    return ret;
}
