/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/histogrambuilder.h"

#include <algorithm>
#include <limits>
#include <vector>

#include <KLocalizedString>

#include <tsl/robin_map.h>

#include "analyze/gui/analysis/parserdata.h"

namespace
{
struct MergedHistogramColumnData {
    Symbol symbol;
    int64_t allocations = 0;
    int64_t totalAllocated = 0;
};

struct SizeClass {
    uint64_t size;
    const char *label;
};

const SizeClass SIZE_CLASSES[] = {
    {8, I18N_NOOP("0B to 8B")},
    {16, I18N_NOOP("9B to 16B")},
    {32, I18N_NOOP("17B to 32B")},
    {64, I18N_NOOP("33B to 64B")},
    {128, I18N_NOOP("65B to 128B")},
    {256, I18N_NOOP("129B to 256B")},
    {512, I18N_NOOP("257B to 512B")},
    {1024, I18N_NOOP("513B to 1KB")},
    {std::numeric_limits<uint64_t>::max(), I18N_NOOP("more than 1KB")},
};

HistogramRow startRow(std::size_t sizeClass)
{
    HistogramRow row;
    row.size = SIZE_CLASSES[sizeClass].size;
    row.sizeLabel = i18n(SIZE_CLASSES[sizeClass].label);
    return row;
}

// A diff's counts can be negative: functions rank by the size of their change.
// Without a base every count is positive and this is the plain ranking.
void finishRow(HistogramRow *row, std::vector<MergedHistogramColumnData> *columnData, bool dropUnchanged)
{
    if (dropUnchanged) {
        // a function that allocated as often in the base says nothing about the change
        columnData->erase(std::remove_if(columnData->begin(),
                                         columnData->end(),
                                         [](const MergedHistogramColumnData &column) {
                                             return column.allocations == 0 && column.totalAllocated == 0;
                                         }),
                          columnData->end());
    }
    // gathered unordered; the ranking starts from the order of the symbols, so
    // that equal counts keep it
    std::sort(columnData->begin(), columnData->end(), [](const MergedHistogramColumnData &lhs, const MergedHistogramColumnData &rhs) {
        return lhs.symbol < rhs.symbol;
    });
    std::sort(columnData->begin(), columnData->end(), [](const MergedHistogramColumnData &lhs, const MergedHistogramColumnData &rhs) {
        const auto lhsAllocations = absoluteCost(lhs.allocations);
        const auto rhsAllocations = absoluteCost(rhs.allocations);
        if (lhsAllocations != rhsAllocations) {
            return lhsAllocations > rhsAllocations;
        }
        return absoluteCost(lhs.totalAllocated) > absoluteCost(rhs.totalAllocated);
    });
    const auto count = std::min<std::size_t>(columnData->size(), HistogramRow::NUM_COLUMNS - 1);
    for (std::size_t i = 0; i < count; ++i) {
        const auto &entry = (*columnData)[i];
        auto &column = row->columns[i + 1];
        column.allocations = entry.allocations;
        column.totalAllocated = entry.totalAllocated;
        column.symbol = entry.symbol;
    }
}

class RowBuilder
{
public:
    RowBuilder()
    {
        m_columnData.reserve(128);
    }

    void add(HistogramRow *row, const Symbol &symbol, uint64_t size, int64_t count)
    {
        // a base's count comes negative; sizes of real requests stay far below 2^63
        const auto allocated = static_cast<int64_t>(size) * count;
        row->columns[0].allocations += count;
        row->columns[0].totalAllocated += allocated;
        const auto position = m_positions.insert({symbol, m_columnData.size()});
        if (position.second) {
            m_columnData.push_back({symbol, count, allocated});
        } else {
            auto &column = m_columnData[position.first->second];
            column.allocations += count;
            column.totalAllocated += allocated;
        }
    }

    void finish(HistogramRow *row, bool dropUnchanged)
    {
        finishRow(row, &m_columnData, dropUnchanged);
        m_columnData.clear();
        m_positions.clear();
    }

private:
    std::vector<MergedHistogramColumnData> m_columnData;
    tsl::robin_map<Symbol, std::size_t> m_positions;
};
}

HistogramData buildSizeHistogram(ParserData &data, const std::shared_ptr<const ResultData> &resultData)
{
    HistogramData ret;
    const auto &base = data.baseSizeCounts;
    if (data.allocationInfoCounter.empty() && base.empty()) {
        return ret;
    }
    std::sort(data.allocationInfoCounter.begin(), data.allocationInfoCounter.end());
    const auto &counters = data.allocationInfoCounter;
    // the base is subtracted class by class: the histogram of a diff shows what changed
    const bool isDiff = data.diffMode;

    RowBuilder builder;
    std::size_t counter = 0;
    std::size_t baseCounter = 0;
    for (std::size_t sizeClass = 0; counter < counters.size() || baseCounter < base.size(); ++sizeClass) {
        auto row = startRow(sizeClass);
        for (; counter < counters.size() && counters[counter].info.size <= row.size; ++counter) {
            const auto &entry = counters[counter];
            // the function through the allocation as it was read, not as a diff reordered it
            const auto &ip = data.findIp(data.findTrace(data.readTraceIndex(entry.info.allocationIndex)).ipIndex);
            builder.add(&row, Symbol{ip.frame.functionIndex, ip.moduleIndex}, entry.info.size, entry.allocations);
        }
        for (; baseCounter < base.size() && base[baseCounter].size <= row.size; ++baseCounter) {
            const auto &entry = base[baseCounter];
            builder.add(&row, Symbol{entry.functionIndex, entry.moduleIndex}, entry.size, -entry.allocations);
        }
        builder.finish(&row, isDiff);
        ret.rows.push_back(row);
    }
    ret.resultData = resultData;
    return ret;
}
