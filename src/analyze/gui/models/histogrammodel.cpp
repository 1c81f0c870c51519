/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/histogrammodel.h"

#include <KChartGlobal>
#include <KLocalizedString>

#include <QBrush>
#include <QColor>
#include <QPen>

#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"

HistogramModel::HistogramModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    qRegisterMetaType<HistogramData>("HistogramData");
}

HistogramModel::~HistogramModel() = default;

QVariant HistogramModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && orientation == Qt::Vertical && section >= 0 && section < m_data.rows.size()) {
        return m_data.rows.at(section).sizeLabel;
    }
    return {};
}

QVariant HistogramModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this || !hasIndex(index.row(), index.column(), index.parent())) {
        return {};
    }

    const int column = index.column();
    const HistogramColumn &entry = m_data.rows.at(index.row()).columns.at(column);

    switch (role) {
    case Qt::DisplayRole:
        return static_cast<qint64>(entry.allocations);
    case Qt::ToolTipRole: {
        // a diff's counts are changes: an average of a change in bytes over a change in count means nothing
        const bool isDiff = m_data.resultData && m_data.resultData->isDiff();
        if (column == 0) {
            if (isDiff) {
                return i18n("%1 allocations in total compared to base", static_cast<qint64>(entry.allocations));
            }
            return i18n("%1 allocations in total", static_cast<qint64>(entry.allocations));
        }
        // a class with fewer than ten functions leaves its last columns empty:
        // they name no function and have no average to show
        if (entry.allocations == 0) {
            return {};
        }
        {
            static const ResultData noStrings({}, {});
            const ResultData &resultData = m_data.resultData ? *m_data.resultData : noStrings;
            if (isDiff) {
                return i18n("%1 allocations from %2 compared to base, totalling %3",
                            static_cast<qint64>(entry.allocations),
                            Util::toString(entry.symbol, resultData, Util::FormatType::Long),
                            Util::formatBytes(entry.totalAllocated));
            }
            return i18n("%1 allocations from %2, totalling %3 allocated with an average of %4 per allocation",
                        static_cast<qint64>(entry.allocations),
                        Util::toString(entry.symbol, resultData, Util::FormatType::Long),
                        Util::formatBytes(entry.totalAllocated),
                        Util::formatBytes(entry.totalAllocated / entry.allocations));
        }
    }
    case KChart::DatasetPenRole:
        return QVariant::fromValue(QPen(Qt::black));
    case KChart::DatasetBrushRole: {
        const int hue = static_cast<int>(static_cast<double>(column) / HistogramRow::NUM_COLUMNS * 255.0);
        return QVariant::fromValue(QBrush(QColor::fromHsv(hue, 255, 255, 255), Qt::SolidPattern));
    }
    }
    return {};
}

int HistogramModel::columnCount(const QModelIndex &parent) const
{
    if (parent.isValid()) {
        return 0;
    }
    return HistogramRow::NUM_COLUMNS;
}

int HistogramModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid()) {
        return 0;
    }
    return m_data.rows.size();
}

void HistogramModel::resetData(const HistogramData &data)
{
    beginResetModel();
    m_data = data;
    endResetModel();
}

void HistogramModel::clearData()
{
    beginResetModel();
    m_data = {};
    endResetModel();
}
