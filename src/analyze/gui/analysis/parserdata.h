/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The analysis side's data object: fills the reader's hooks, counts allocation
    infos for the size histogram and samples the three chart series.
*/

#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QString>
#include <QVector>

#include "analyze/accumulatedtracedata.h"

#include "analyze/gui/analysis/chartdata.h"

class ResultData;

class ParserData final : public AccumulatedTraceData
{
public:
    using TimestampCallback = std::function<void(const ParserData &data)>;

    struct CountedAllocationInfo {
        AllocationInfo info;
        int64_t allocations = 0;

        bool operator<(const CountedAllocationInfo &rhs) const
        {
            if (info.size != rhs.info.size) {
                return info.size < rhs.info.size;
            }
            return allocations < rhs.allocations;
        }
    };

    // What a diff's base file counted for one allocation info, in the terms of
    // this data: the diff keeps only this file's own infos and counters.
    struct BaseSizeCount {
        uint64_t size = 0;
        int64_t allocations = 0;
        FunctionIndex functionIndex;
        ModuleIndex moduleIndex;
    };

    struct LabelIds {
        AllocationIndex allocationIndex;
        int consumed = -1;
        int allocations = -1;
        int temporary = -1;
    };

    // samples aimed for over the filtered time range
    static constexpr uint64_t MAX_CHART_DATAPOINTS = 500;

    explicit ParserData(TimestampCallback timestampCallback = {});

    void handleTimeStamp(int64_t oldStamp, int64_t newStamp, bool isFinalTimeStamp, ParsePass pass) override;
    void handleAllocation(const AllocationInfo &info, AllocationInfoIndex index) override;
    void prefetchAllocations(const AllocationInfoIndex *indices, std::size_t count) override;
    void handleDebuggee(const char *command) override;

    void prepareBuildCharts(const std::shared_ptr<const ResultData> &resultData);
    void clearForReparse();

    // The trace index that allocation @p index had when the file was read. A diff
    // reorders and merges the allocations; what was read keeps its meaning here.
    TraceIndex readTraceIndex(AllocationIndex index) const;
    // Remembers the trace index of every allocation before a diff reorders them.
    void keepReadTraceIndices();
    // Takes the size counters of @p base into baseSizeCounts, its function and
    // module names numbered as in this data. Call after diff(), which adds the
    // names that only the base has.
    void keepBaseSizeCounts(const ParserData &base);
    // Makes this data the difference to @p base, as a diff run shows it: the
    // read trace indices kept, diff(), the base's size counters kept, diffMode.
    void subtractBase(const ParserData &base);

    std::string debuggee;
    std::vector<CountedAllocationInfo> allocationInfoCounter;
    // ascending by size; empty unless this is a diff
    std::vector<BaseSizeCount> baseSizeCounts;
    ChartData consumedChartData;
    ChartData allocationsChartData;
    ChartData temporaryChartData;
    std::vector<LabelIds> labelIds;
    // what the chart pass charges (through chargedCosts), so that the trees can
    // be merged from the second pass's costs meanwhile
    std::vector<Allocation> chartCosts;
    int64_t maxConsumedSinceLastTimeStamp = 0;
    int64_t lastTimeStamp = 0;
    bool buildCharts = false;
    bool diffMode = false;
    TimestampCallback timestampCallback;
    QElapsedTimer parseTimer;
    QVector<QString> qtStrings;

private:
    std::vector<TraceIndex> m_readTraceIndices;
};
