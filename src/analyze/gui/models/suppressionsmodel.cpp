/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/suppressionsmodel.h"

#include <QLocale>

#include "analyze/gui/analysis/util.h"

namespace
{
QString toQString(const std::string &pattern)
{
    return QString::fromUtf8(pattern.data(), static_cast<int>(pattern.size()));
}
}

SuppressionsModel::SuppressionsModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

SuppressionsModel::~SuppressionsModel() = default;

void SuppressionsModel::setSuppressions(const SummaryData &summaryData)
{
    beginResetModel();
    m_suppressions = summaryData.suppressions;
    m_totalAllocations = summaryData.cost.allocations;
    m_totalLeaked = summaryData.cost.leaked;
    m_totalLeakedBeforeSuppression = summaryData.cost.leaked + summaryData.totalLeakedSuppressed;
    endResetModel();
}

int SuppressionsModel::columnCount(const QModelIndex &parent) const
{
    // without rules there is nothing to head either: the summary page then shows an empty table
    if (parent.isValid() || m_suppressions.isEmpty()) {
        return 0;
    }
    return COLUMN_COUNT;
}

int SuppressionsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_suppressions.size();
}

QVariant SuppressionsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return {};
    }
    switch (static_cast<Columns>(section)) {
    case Matches:
        return tr("Matches");
    case Leaked:
        return tr("Leaked");
    case Pattern:
        return tr("Pattern");
    case COLUMN_COUNT:
        break;
    }
    return {};
}

QVariant SuppressionsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.parent().isValid() || index.column() >= columnCount() || index.row() >= rowCount()) {
        return {};
    }

    const auto &suppression = m_suppressions.at(index.row());

    if (role == Qt::ToolTipRole) {
        // one multi-argument substitution, so that a "%2" inside a pattern stays as it is
        return tr("<qt>Suppression rule: <code>%1</code><br/>Matched Allocations: %2<br/>&nbsp;&nbsp;%3% out of %4 "
                  "total<br/>Suppressed Leaked Memory: %5<br/>&nbsp;&nbsp;%6% out of %7 total</qt>")
            .arg(toQString(suppression.pattern),
                 QLocale().toString(static_cast<qint64>(suppression.matches)),
                 Util::formatCostRelative(suppression.matches, m_totalAllocations),
                 QLocale().toString(m_totalAllocations),
                 Util::formatBytes(suppression.leaked),
                 Util::formatCostRelative(suppression.leaked, m_totalLeaked),
                 Util::formatBytes(m_totalLeaked));
    }

    switch (static_cast<Columns>(index.column())) {
    case Matches:
        if (role == Qt::DisplayRole || role == SortRole) {
            return static_cast<quint64>(suppression.matches);
        } else if (role == TotalCostRole) {
            return m_totalAllocations;
        }
        break;
    case Leaked:
        if (role == Qt::DisplayRole) {
            return Util::formatBytes(suppression.leaked);
        } else if (role == SortRole) {
            return static_cast<qint64>(suppression.leaked);
        } else if (role == TotalCostRole) {
            // What the rules took away is not part of what is left: measured
            // against the rest, every sizeable rule would show a full bar.
            return m_totalLeakedBeforeSuppression;
        }
        break;
    case Pattern:
        if (role == Qt::DisplayRole || role == SortRole) {
            return toQString(suppression.pattern);
        }
        break;
    case COLUMN_COUNT:
        break;
    }
    return {};
}
