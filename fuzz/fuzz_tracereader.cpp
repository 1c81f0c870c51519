/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Fuzz target for the trace reader over an in-memory input chain: the input is
    the text of a trace in any file format. Runs the passes the analysis runs (a
    full read, then a windowed reparse), diffs the result against a second
    read and applies the leak suppressions, checking the invariants every later
    stage indexes by.
*/

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include "analyze/accumulatedtracedata.h"
#include "analyze/bytecounter.h"

namespace
{
void check(bool condition)
{
    // a broken invariant is a finding like any memory error
    if (!condition) {
        abort();
    }
}

class CheckingData : public AccumulatedTraceData
{
public:
    void handleTimeStamp(int64_t, int64_t, bool, ParsePass) override
    {
    }

    void handleAllocation(const AllocationInfo &info, AllocationInfoIndex index) override
    {
        check(index.index < allocationInfos.size());
        check(info.allocationIndex.index < allocations.size());
    }

    void handleDebuggee(const char *command) override
    {
        check(command != nullptr);
    }

    void checkTables() const
    {
        check(traceIndexToAllocationIndex.size() == allocations.size());
        for (std::size_t i = 1; i < traceIndexToAllocationIndex.size(); ++i) {
            check(traceIndexToAllocationIndex[i - 1].first < traceIndexToAllocationIndex[i].first);
        }
        for (const auto &info : allocationInfos) {
            check(info.allocationIndex.index < allocations.size());
        }
    }
};

bool readPass(CheckingData *data, const uint8_t *bytes, std::size_t size, AccumulatedTraceData::ParsePass pass, bool isReparsing)
{
    boost::iostreams::filtering_istream in;
    in.push(ByteCounter());
    in.push(ByteCounter());
    in.push(boost::iostreams::array_source(reinterpret_cast<const char *>(bytes), size));
    const bool ok = data->read(in, pass, isReparsing);
    const auto &state = data->parsingState;
    check(state.readUncompressedByte >= 0 && state.readUncompressedByte <= static_cast<int64_t>(size));
    check(state.readCompressedByte == state.readUncompressedByte);
    return ok;
}

bool readAll(CheckingData *data, const uint8_t *bytes, std::size_t size, bool isReparsing)
{
    if (!readPass(data, bytes, size, AccumulatedTraceData::FirstPass, isReparsing)) {
        return false;
    }
    data->checkTables();
    const bool ok = readPass(data, bytes, size, AccumulatedTraceData::SecondPass, isReparsing);
    data->checkTables();
    return ok;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size)
{
    CheckingData data;
    if (!readAll(&data, bytes, size, false)) {
        return 0;
    }
    check(data.filterParameters.maxTime == data.totalTime);

    // the chart selection path: the same data object re-read with a narrower window
    data.filterParameters.minTime = data.totalTime / 2;
    if (!readAll(&data, bytes, size, true)) {
        return 0;
    }
    std::vector<TraceNode> chain;
    for (const auto &allocation : data.allocations) {
        data.collectTrace(allocation.traceIndex, &chain);
        check(chain.size() <= data.traces.size() + 1);
    }

    // diff mode: subtract a second read of the same text, then suppress leaks
    CheckingData base;
    if (readAll(&base, bytes, size, false)) {
        data.diff(base);
        data.applyLeakSuppressions();
        int64_t suppressed = 0;
        for (const auto &suppression : data.suppressions) {
            // absurd sizes from the input may wrap; so does the reader
            suppressed = static_cast<int64_t>(static_cast<uint64_t>(suppressed) + static_cast<uint64_t>(suppression.leaked));
        }
        check(suppressed == data.totalLeakedSuppressed);
    }
    return 0;
}
