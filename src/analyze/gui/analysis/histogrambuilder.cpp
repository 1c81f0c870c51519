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
    {1024, I18N_NOOP("512B to 1KB")},
    {std::numeric_limits<uint64_t>::max(), I18N_NOOP("more than 1KB")},
};

HistogramRow startRow(std::size_t sizeClass)
{
    HistogramRow row;
    row.size = SIZE_CLASSES[sizeClass].size;
    row.sizeLabel = i18n(SIZE_CLASSES[sizeClass].label);
    return row;
}

void finishRow(HistogramRow *row, std::vector<MergedHistogramColumnData> *columnData)
{
    // gathered unordered; the ranking starts from the order of the symbols, so
    // that equal counts keep it
    std::sort(columnData->begin(), columnData->end(), [](const MergedHistogramColumnData &lhs, const MergedHistogramColumnData &rhs) {
        return lhs.symbol < rhs.symbol;
    });
    std::sort(columnData->begin(), columnData->end(), [](const MergedHistogramColumnData &lhs, const MergedHistogramColumnData &rhs) {
        if (lhs.allocations != rhs.allocations) {
            return lhs.allocations > rhs.allocations;
        }
        return lhs.totalAllocated > rhs.totalAllocated;
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
}

HistogramData buildSizeHistogram(ParserData &data, const std::shared_ptr<const ResultData> &resultData)
{
    HistogramData ret;
    if (data.allocationInfoCounter.empty()) {
        return ret;
    }
    std::sort(data.allocationInfoCounter.begin(), data.allocationInfoCounter.end());

    std::size_t sizeClass = 0;
    auto row = startRow(sizeClass);
    std::vector<MergedHistogramColumnData> columnData;
    columnData.reserve(128);
    tsl::robin_map<Symbol, std::size_t> columnPositions;

    for (const auto &counter : data.allocationInfoCounter) {
        const uint64_t size = counter.info.size;
        const int64_t count = counter.allocations;
        while (size > row.size) {
            finishRow(&row, &columnData);
            ret.rows.push_back(row);
            columnData.clear();
            columnPositions.clear();
            row = startRow(++sizeClass);
        }
        const auto allocated = static_cast<int64_t>(size * static_cast<uint64_t>(count));
        row.columns[0].allocations += count;
        row.columns[0].totalAllocated += allocated;

        // the function through the allocation as it was read, not as a diff reordered it
        const auto &ip = data.findIp(data.findTrace(data.readTraceIndex(counter.info.allocationIndex)).ipIndex);
        const Symbol symbol{ip.frame.functionIndex, ip.moduleIndex};
        const auto position = columnPositions.insert({symbol, columnData.size()});
        if (position.second) {
            columnData.push_back({symbol, count, allocated});
        } else {
            auto &column = columnData[position.first->second];
            column.allocations += count;
            column.totalAllocated += allocated;
        }
    }
    finishRow(&row, &columnData);
    ret.rows.push_back(row);
    ret.resultData = resultData;
    return ret;
}
