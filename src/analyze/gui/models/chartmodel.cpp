/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/chartmodel.h"

#include <algorithm>
#include <utility>

#include <KChartGlobal>
#include <KChartLineAttributes>
#include <KLocalizedString>

#include <QColor>

#include "analyze/gui/analysis/jobqueue.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"

namespace
{
// Width of a data set's name in the legend, so the monospace legend lines up.
constexpr int LEGEND_NAME_WIDTH = 60;

// The suffix tells apart data sets of one function name; it is never cut off.
QString legendName(const QString &functionName, const QString &suffix)
{
    if (functionName.size() + suffix.size() > LEGEND_NAME_WIDTH) {
        // a long suffix still leaves the name enough to be recognised by
        constexpr int MIN_NAME_KEPT = 16;
        const int room = std::max(MIN_NAME_KEPT, LEGEND_NAME_WIDTH - 3 - suffix.size());
        if (functionName.size() <= room) {
            return functionName + suffix;
        }
        return functionName.left(room) + QLatin1String("...") + suffix;
    }
    return QString(functionName + suffix).leftJustified(LEGEND_NAME_WIDTH, QLatin1Char(' '));
}

const ResultData &resultDataOrEmpty(const std::shared_ptr<const ResultData> &resultData)
{
    static const ResultData empty({}, {});
    return resultData ? *resultData : empty;
}
}

ChartModel::ChartModel(Type type, QObject *parent)
    : QAbstractTableModel(parent)
    , m_type(type)
{
    qRegisterMetaType<ChartData>("ChartData");
    qRegisterMetaType<KChart::LineAttributes>("KChart::LineAttributes");
}

ChartModel::~ChartModel() = default;

QString ChartModel::typeString() const
{
    switch (m_type) {
    case Consumed:
        return i18n("Memory Consumed");
    case Allocations:
        return i18n("Memory Allocations");
    case Temporary:
        return i18n("Temporary Allocations");
    }
    return {};
}

int ChartModel::shownDatasetCount(int maxDatasetCount) const
{
    return std::min(maxDatasetCount, m_data.labels.size());
}

int ChartModel::columnCount(const QModelIndex & /*parent*/) const
{
    return 2 * shownDatasetCount(m_maxDatasetCount);
}

int ChartModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid()) {
        return 0;
    }
    return m_data.rows.size();
}

QVariant ChartModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return {};
    }

    switch (role) {
    case KChart::DatasetPenRole:
        return QVariant::fromValue(m_columnDataSetPens.at(section));
    case KChart::DatasetBrushRole:
        return QVariant::fromValue(m_columnDataSetBrushes.at(section));
    case Qt::ToolTipRole:
        if (section == 0) {
            return i18n("Elapsed Time");
        }
        return typeString();
    case Qt::DisplayRole:
        if (section == 0) {
            switch (m_type) {
            case Consumed:
                return i18n("Total Memory Consumption");
            case Allocations:
                return i18n("Total Memory Allocations");
            case Temporary:
                return i18n("Total Temporary Allocations");
            }
            return {};
        }
        {
            const int dataset = section / 2;
            const Symbol label = m_data.labels.value(dataset);
            const QString function = resultDataOrEmpty(m_data.resultData).string(label.functionId);
            return i18n("%1", QLatin1Char(' ') + legendName(function, m_legendSuffixes.value(dataset)));
        }
    }
    return {};
}

QVariant ChartModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this || !hasIndex(index.row(), index.column(), index.parent())) {
        return {};
    }

    const int column = index.column();
    const int dataset = column / 2;
    const bool isTotal = dataset == 0;

    switch (role) {
    case KChart::LineAttributesRole: {
        KChart::LineAttributes attributes;
        attributes.setDisplayArea(true);
        // the total lies behind the stacked call sites and must not hide them
        attributes.setTransparency(isTotal ? 50 : 127);
        return QVariant::fromValue(attributes);
    }
    case KChart::DatasetPenRole:
        return QVariant::fromValue(m_columnDataSetPens.at(column));
    case KChart::DatasetBrushRole:
        return QVariant::fromValue(m_columnDataSetBrushes.at(column));
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        break;
    default:
        return {};
    }

    // labels beyond the cost array would be malformed data; they have no values
    if (dataset >= ChartRows::MAX_NUM_COST) {
        return {};
    }

    const ChartRows &row = m_data.rows.at(index.row());
    const qint64 cost = row.cost[dataset];

    if (role == Qt::DisplayRole) {
        if (column % 2 == 0) {
            return static_cast<qint64>(row.timeStamp);
        }
        return cost;
    }

    const QString time = Util::formatTime(row.timeStamp);
    QString byteCost;
    if (m_type == Consumed) {
        byteCost = Util::formatBytes(cost);
        if (cost > 1024) {
            byteCost = i18nc("%1: the formatted byte size, e.g. \"1.2KB\", %2: the raw byte size, e.g. \"1300\"", "%1 (%2 bytes)", byteCost, cost);
        }
    }

    if (isTotal) {
        switch (m_type) {
        case Consumed:
            return i18n("<qt>%1 consumed in total after %2</qt>", byteCost, time);
        case Allocations:
            return i18n("<qt>%1 allocations in total after %2</qt>", cost, time);
        case Temporary:
            return i18n("<qt>%1 temporary allocations in total after %2</qt>", cost, time);
        }
        return {};
    }

    const QString label = Util::toString(m_data.labels.value(dataset), resultDataOrEmpty(m_data.resultData), Util::FormatType::Long);
    switch (m_type) {
    case Consumed:
        return i18n("<qt>%2 consumed after %3 from:<p style='margin-left:10px'>%1</p></qt>", label, byteCost, time);
    case Allocations:
        return i18n("<qt>%2 allocations after %3 from:<p style='margin-left:10px;'>%1</p></qt>", label, cost, time);
    case Temporary:
        return i18n("<qt>%2 temporary allocations after %3 from:<p style='margin-left:10px'>%1</p></qt>", label, cost, time);
    }
    return {};
}

void ChartModel::resetData(const ChartData &data)
{
    beginResetModel();
    // Freeing a whole run's rows on this thread took the window 10 to 20 ms
    // per chart during a reparse: the allocator tidies its free lists on a
    // large free.
    auto replaced = std::exchange(m_data, data);
    resetLegendSuffixes();
    resetColors();
    endResetModel();
    JobQueue::releaseInBackground(std::move(replaced));
}

void ChartModel::resetLegendSuffixes()
{
    m_legendSuffixes.clear();
    const ResultData &resultData = resultDataOrEmpty(m_data.resultData);
    // only names that collide in the legend as it is shown
    const int shown = shownDatasetCount(m_maxDatasetCount);
    QHash<QString, QVector<int>> datasetsByName;
    for (auto it = m_data.labels.constBegin(), end = m_data.labels.constEnd(); it != end; ++it) {
        // the total has a name of its own
        if (it.key() != 0 && it.key() < shown) {
            datasetsByName[resultData.string(it.value().functionId)].append(it.key());
        }
    }
    for (const auto &datasets : qAsConst(datasetsByName)) {
        if (datasets.size() < 2) {
            continue;
        }
        // A call site alone in its binary among those of its name is told apart
        // by the binary, call sites in one binary by their source line, and
        // one line inlined into several functions by the function it is in.
        QHash<ModuleIndex, int> sitesPerModule;
        QHash<QString, int> sitesPerLine;
        for (int dataset : datasets) {
            ++sitesPerModule[m_data.labels.value(dataset).moduleId];
            ++sitesPerLine[Util::toString(m_data.locations.value(dataset), resultData, Util::FormatType::Short)];
        }
        for (int dataset : datasets) {
            const Symbol label = m_data.labels.value(dataset);
            QString where;
            if (sitesPerModule.value(label.moduleId) == 1) {
                where = Util::basename(resultData.string(label.moduleId));
            } else {
                where = Util::toString(m_data.locations.value(dataset), resultData, Util::FormatType::Short);
                const auto caller = m_data.inlinedInto.value(dataset);
                if (sitesPerLine.value(where) > 1 && caller) {
                    where = i18nc("%1: file:line of a call site, %2: the function it was inlined into", "%1 via %2", where, resultData.string(caller));
                }
            }
            m_legendSuffixes.insert(dataset, i18nc("%1: the module or file:line that tells apart call sites of one name", " (%1)", where));
        }
    }
}

void ChartModel::clearData()
{
    beginResetModel();
    auto replaced = std::exchange(m_data, {});
    m_legendSuffixes.clear();
    m_columnDataSetPens.clear();
    m_columnDataSetBrushes.clear();
    endResetModel();
    JobQueue::releaseInBackground(std::move(replaced));
}

void ChartModel::setMaximumDatasetCount(int count)
{
    // a negative count would make a negative column count
    count = std::max(count, 0);

    const int currentDatasets = shownDatasetCount(m_maxDatasetCount);
    const int newDatasets = shownDatasetCount(count);

    if (newDatasets < currentDatasets) {
        beginRemoveColumns(QModelIndex(), 2 * newDatasets, 2 * currentDatasets - 1);
        m_maxDatasetCount = count;
        resetColors();
        resetLegendSuffixes();
        endRemoveColumns();
    } else if (newDatasets > currentDatasets) {
        beginInsertColumns(QModelIndex(), 2 * currentDatasets, 2 * newDatasets - 1);
        m_maxDatasetCount = count;
        resetColors();
        resetLegendSuffixes();
        endInsertColumns();
    } else {
        // no visible change now, but the limit applies to the next data
        m_maxDatasetCount = count;
        return;
    }
    // the names that collide are among those shown
    if (newDatasets > 0) {
        Q_EMIT headerDataChanged(Qt::Horizontal, 0, 2 * newDatasets - 1);
    }
}

qint64 ChartModel::totalCostAt(qint64 timeStamp) const
{
    const auto &rows = m_data.rows;
    // the samples are in ascending time order
    auto it = std::upper_bound(rows.cbegin(), rows.cend(), timeStamp, [](qint64 time, const ChartRows &row) {
        return time < row.timeStamp;
    });
    if (it == rows.cbegin()) {
        return 0;
    }
    --it;
    return it->cost[0];
}

void ChartModel::resetColors()
{
    m_columnDataSetPens.clear();
    m_columnDataSetBrushes.clear();
    const int columns = columnCount();
    m_columnDataSetPens.reserve(columns);
    m_columnDataSetBrushes.reserve(columns);
    for (int i = 0; i < columns; ++i) {
        QColor color;
        if (i == 0) {
            color = Qt::red;
        } else {
            // spread the hues over all columns, so neighbouring data sets stay distinguishable
            const int hue = static_cast<int>(static_cast<double>(i + 1) / columns * 255.0);
            color = QColor::fromHsv(hue, 255, 255, 255);
        }
        m_columnDataSetBrushes.append(QBrush(color, Qt::SolidPattern));
        m_columnDataSetPens.append(QPen(color));
    }
}
