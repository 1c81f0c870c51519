/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/parserdata.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <tsl/robin_map.h>

#include "analyze/gui/analysis/resultdata.h"

namespace
{
struct ChartMergeData {
    IpIndex ip;
    int64_t consumed = 0;
    int64_t allocations = 0;
    int64_t temporary = 0;
};
}

ParserData::ParserData(TimestampCallback timestampCallback)
    : timestampCallback(std::move(timestampCallback))
{
}

void ParserData::handleTimeStamp(int64_t /*oldStamp*/, int64_t newStamp, bool isFinalTimeStamp, ParsePass pass)
{
    if (timestampCallback) {
        timestampCallback(*this);
    }
    if (pass == FirstPass || !buildCharts || diffMode) {
        return;
    }
    maxConsumedSinceLastTimeStamp = std::max(maxConsumedSinceLastTimeStamp, totalCost.leaked);
    if (!isFinalTimeStamp) {
        const uint64_t timeSpan = static_cast<uint64_t>(filterParameters.maxTime - filterParameters.minTime);
        const auto diffBetweenTimeStamps = static_cast<int64_t>(timeSpan / MAX_CHART_DATAPOINTS);
        if (newStamp - lastTimeStamp < diffBetweenTimeStamps) {
            return;
        }
    }

    ChartRows consumed;
    consumed.timeStamp = newStamp;
    consumed.cost[0] = maxConsumedSinceLastTimeStamp;
    ChartRows allocs;
    allocs.timeStamp = newStamp;
    allocs.cost[0] = totalCost.allocations;
    ChartRows temporary;
    temporary.timeStamp = newStamp;
    temporary.cost[0] = totalCost.temporary;

    maxConsumedSinceLastTimeStamp = 0;
    lastTimeStamp = newStamp;

    for (const auto &ids : labelIds) {
        const auto &allocation = chargedAllocations()[ids.allocationIndex.index];
        if (allocation.leaked != 0 && ids.consumed != -1) {
            consumed.cost[static_cast<std::size_t>(ids.consumed)] += allocation.leaked;
        }
        if (allocation.allocations != 0 && ids.allocations != -1) {
            allocs.cost[static_cast<std::size_t>(ids.allocations)] += allocation.allocations;
        }
        if (allocation.temporary != 0 && ids.temporary != -1) {
            temporary.cost[static_cast<std::size_t>(ids.temporary)] += allocation.temporary;
        }
    }
    consumedChartData.rows.push_back(consumed);
    allocationsChartData.rows.push_back(allocs);
    temporaryChartData.rows.push_back(temporary);
}

void ParserData::handleAllocation(const AllocationInfo &info, AllocationInfoIndex index)
{
    maxConsumedSinceLastTimeStamp = std::max(maxConsumedSinceLastTimeStamp, totalCost.leaked);
    if (parsingState.pass == ThirdPass) {
        // nothing reads the counts of the chart pass, and the size histogram
        // sorts them while it runs
        return;
    }
    const std::size_t position = index.index;
    if (position == allocationInfoCounter.size()) {
        allocationInfoCounter.push_back({info, 1});
        return;
    }
    if (position > allocationInfoCounter.size()) {
        // A time window skipped the first uses of some infos: fill the gap in
        // index order, uncounted, so that later uses of those indices land on
        // entries of the right size.
        const std::size_t oldSize = allocationInfoCounter.size();
        allocationInfoCounter.resize(position + 1);
        for (std::size_t i = oldSize; i < position; ++i) {
            if (i < allocationInfos.size()) {
                allocationInfoCounter[i].info = allocationInfos[i];
            }
        }
        allocationInfoCounter[position] = {info, 1};
        return;
    }
    ++allocationInfoCounter[position].allocations;
}

void ParserData::prefetchAllocations(const AllocationInfoIndex *indices, std::size_t count)
{
    // the chart pass keeps no counts (handleAllocation)
    if (parsingState.pass == ThirdPass) {
        return;
    }
    // the counters are as many as the allocation infos and touched in no order
    const auto size = allocationInfoCounter.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (indices[i].index < size) {
            __builtin_prefetch(allocationInfoCounter.data() + indices[i].index, 1);
        }
    }
}

void ParserData::handleDebuggee(const char *command)
{
    debuggee = command;
}

void ParserData::prepareBuildCharts(const std::shared_ptr<const ResultData> &resultData)
{
    if (diffMode) {
        return;
    }
    ChartRows origin;
    origin.timeStamp = filterParameters.minTime;
    for (auto *chart : {&consumedChartData, &allocationsChartData, &temporaryChartData}) {
        chart->resultData = resultData;
        chart->rows.reserve(MAX_CHART_DATAPOINTS);
        chart->rows.push_back(origin);
        chart->labels[0] = Symbol();
    }
    lastTimeStamp = filterParameters.minTime;
    buildCharts = true;
    maxConsumedSinceLastTimeStamp = 0;

    // rank call sites (the leaf instruction pointer of each backtrace)
    std::vector<ChartMergeData> merged;
    {
        // gathered unordered, then put in the order of the instruction pointers,
        // which the rankings below start from: equal costs keep that order
        tsl::robin_map<IpIndex, std::size_t> positions;
        positions.reserve(instructionPointers.size());
        merged.reserve(instructionPointers.size());
        for (const auto &allocation : allocations) {
            const auto ip = findTrace(allocation.traceIndex).ipIndex;
            const auto position = positions.insert({ip, merged.size()});
            if (position.second) {
                merged.push_back({ip, 0, 0, 0});
            }
            auto &entry = merged[position.first->second];
            entry.consumed += allocation.peak;
            entry.allocations += allocation.allocations;
            entry.temporary += allocation.temporary;
        }
        std::sort(merged.begin(), merged.end(), [](const ChartMergeData &lhs, const ChartMergeData &rhs) {
            return lhs.ip < rhs.ip;
        });
    }

    tsl::robin_map<IpIndex, LabelIds> ipToLabelIds;
    ipToLabelIds.max_load_factor(0.5f);
    ipToLabelIds.reserve(ChartRows::MAX_NUM_COST * 3);

    auto assignColumns = [&](ChartData *chart, int64_t ChartMergeData::*field, int LabelIds::*labelField) {
        std::sort(merged.begin(), merged.end(), [field](const ChartMergeData &lhs, const ChartMergeData &rhs) {
            return absoluteCost(lhs.*field) > absoluteCost(rhs.*field);
        });
        const auto maxColumns = std::min<std::size_t>(merged.size(), ChartRows::MAX_NUM_COST - 2);
        for (std::size_t i = 0; i < maxColumns; ++i) {
            const auto &entry = merged[i];
            if (!(entry.*field)) {
                break;
            }
            const int column = static_cast<int>(i + 1);
            ipToLabelIds[entry.ip].*labelField = column;
            const auto &ip = findIp(entry.ip);
            chart->labels[column] = Symbol{ip.frame.functionIndex, ip.moduleIndex};
            chart->locations[column] = FileLine{ip.frame.fileIndex, ip.frame.line};
            if (!ip.inlined.empty()) {
                chart->inlinedInto[column] = ip.inlined.front().functionIndex;
            }
        }
    };
    assignColumns(&consumedChartData, &ChartMergeData::consumed, &LabelIds::consumed);
    assignColumns(&allocationsChartData, &ChartMergeData::allocations, &LabelIds::allocations);
    assignColumns(&temporaryChartData, &ChartMergeData::temporary, &LabelIds::temporary);

    for (std::size_t j = 0; j < allocations.size(); ++j) {
        const auto ip = findTrace(allocations[j].traceIndex).ipIndex;
        auto it = ipToLabelIds.find(ip);
        if (it == ipToLabelIds.end()) {
            continue;
        }
        auto ids = it->second;
        ids.allocationIndex.index = static_cast<uint32_t>(j);
        labelIds.push_back(ids);
    }
}

void ParserData::clearForReparse()
{
    allocationInfoCounter.resize(allocationInfos.size());
    for (std::size_t i = 0; i < allocationInfos.size(); ++i) {
        allocationInfoCounter[i] = {allocationInfos[i], 0};
    }
    consumedChartData = {};
    allocationsChartData = {};
    temporaryChartData = {};
    labelIds.clear();
    chargedCosts = nullptr;
    chartCosts = {};
    maxConsumedSinceLastTimeStamp = 0;
    lastTimeStamp = 0;
    buildCharts = false;
}

TraceIndex ParserData::readTraceIndex(AllocationIndex index) const
{
    if (!m_readTraceIndices.empty()) {
        return index.index < m_readTraceIndices.size() ? m_readTraceIndices[index.index] : TraceIndex();
    }
    return index.index < allocations.size() ? allocations[index.index].traceIndex : TraceIndex();
}

void ParserData::keepReadTraceIndices()
{
    m_readTraceIndices.resize(allocations.size());
    for (std::size_t i = 0; i < allocations.size(); ++i) {
        m_readTraceIndices[i] = allocations[i].traceIndex;
    }
}

void ParserData::subtractBase(const ParserData &base)
{
    // the size histogram names functions through the allocations as they were read
    keepReadTraceIndices();
    diff(base);
    keepBaseSizeCounts(base);
    diffMode = true;
}

void ParserData::keepBaseSizeCounts(const ParserData &base)
{
    // the first of equal texts, as the diff numbers them
    tsl::robin_map<std::string, uint32_t> ownIndices;
    ownIndices.reserve(strings.size());
    for (std::size_t i = 0; i < strings.size(); ++i) {
        ownIndices.insert({strings[i], static_cast<uint32_t>(i + 1)});
    }
    const auto ownIndex = [&](StringIndex baseIndex) -> uint32_t {
        if (!baseIndex || baseIndex.index > base.strings.size()) {
            return 0;
        }
        const auto it = ownIndices.find(base.strings[baseIndex.index - 1]);
        return it == ownIndices.end() ? 0 : it->second;
    };

    baseSizeCounts.clear();
    baseSizeCounts.reserve(base.allocationInfoCounter.size());
    for (const auto &counter : base.allocationInfoCounter) {
        if (counter.allocations == 0) {
            continue;
        }
        const auto &ip = base.findIp(base.findTrace(base.readTraceIndex(counter.info.allocationIndex)).ipIndex);
        BaseSizeCount entry;
        entry.size = counter.info.size;
        entry.allocations = counter.allocations;
        entry.functionIndex.index = ownIndex(ip.frame.functionIndex);
        entry.moduleIndex.index = ownIndex(ip.moduleIndex);
        baseSizeCounts.push_back(entry);
    }
    std::sort(baseSizeCounts.begin(), baseSizeCounts.end(), [](const BaseSizeCount &lhs, const BaseSizeCount &rhs) {
        return lhs.size < rhs.size;
    });
}
