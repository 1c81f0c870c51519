/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    In-memory form of a trace data file: the interned tables, the costs merged
    per call stack, and the reader that fills them pass by pass.
*/

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/iostreams/filtering_stream.hpp>

#include <tsl/robin_map.h>

#include "util/indices.h"

#include "allocationdata.h"
#include "filterparameters.h"
#include "suppressions.h"
#include "tracediagnostics.h"

struct AllocationInfoSet;
class EventLog;

struct Frame {
    FunctionIndex functionIndex;
    FileIndex fileIndex;
    int line = 0;

    bool operator==(const Frame &rhs) const
    {
        return functionIndex == rhs.functionIndex && fileIndex == rhs.fileIndex && line == rhs.line;
    }

    bool operator<(const Frame &rhs) const
    {
        if (functionIndex != rhs.functionIndex) {
            return functionIndex < rhs.functionIndex;
        }
        if (fileIndex != rhs.fileIndex) {
            return fileIndex < rhs.fileIndex;
        }
        return line < rhs.line;
    }
};

struct InstructionPointer {
    uint64_t instructionPointer = 0;
    ModuleIndex moduleIndex;
    Frame frame;
    std::vector<Frame> inlined;

    bool compareWithoutAddress(const InstructionPointer &other) const
    {
        if (moduleIndex != other.moduleIndex) {
            return moduleIndex < other.moduleIndex;
        }
        return frame < other.frame;
    }

    bool equalWithoutAddress(const InstructionPointer &other) const
    {
        return moduleIndex == other.moduleIndex && frame == other.frame;
    }
};

struct TraceNode {
    IpIndex ipIndex;
    TraceIndex parentIndex;
};

struct Allocation : AllocationData {
    TraceIndex traceIndex;
};

struct AllocationInfo {
    uint64_t size = 0;
    AllocationIndex allocationIndex;
};

class AccumulatedTraceData
{
public:
    // What one read over the file computes (doc/design.md):
    // FirstPass fills the tables (s, i, t, a records; not when reparsing), the
    // suppressions and the totals with the peak and its time; its end sets
    // totalTime. SecondPass charges every event to its call stack, calls
    // handleAllocation and, at the first pass's peak, records each call stack's
    // peak. ThirdPass charges the events again for the time-sampled charts (the
    // analysis runs it as a reparse, parallel to building the other results).
    enum ParsePass {
        FirstPass = 0,
        SecondPass = 1,
        ThirdPass = 2,
    };

    struct SystemInfo {
        int64_t pages = 0;
        int64_t pageSize = 0;
    };

    struct ParsingState {
        int64_t fileSize = 0;
        int64_t readCompressedByte = 0;
        int64_t readUncompressedByte = 0;
        int64_t timestamp = 0;
        ParsePass pass = FirstPass;
        bool reparsing = false;
        // this pass reads the event log the first pass took down, not the file
        bool fromEventLog = false;
        // the first pass is taking down the event log, and the later passes will read it
        bool recordingEventLog = false;
        // the log would not fit the memory budget: every pass reads the file
        bool eventLogExceeded = false;
    };

    AccumulatedTraceData();
    virtual ~AccumulatedTraceData();

    AccumulatedTraceData(const AccumulatedTraceData &) = delete;
    AccumulatedTraceData &operator=(const AccumulatedTraceData &) = delete;

    // Called for every time stamp inside the window, and once at the end of every
    // successful pass with isFinalTimeStamp set.
    virtual void handleTimeStamp(int64_t oldStamp, int64_t newStamp, bool isFinalTimeStamp, ParsePass pass) = 0;
    // Called for every counted allocation in the second and third passes.
    virtual void handleAllocation(const AllocationInfo &info, AllocationInfoIndex index) = 0;
    virtual void handleDebuggee(const char *command) = 0;
    // Called in the second and third passes before a run of up to a few dozen
    // events is charged, with their allocation-info indices (unchecked, in file
    // order): a chance to fetch what handleAllocation will touch ahead of it.
    virtual void prefetchAllocations(const AllocationInfoIndex *indices, std::size_t count)
    {
        (void)indices;
        (void)count;
    }

    // First pass and, if that succeeded, second pass.
    bool read(const std::string &inputFile, bool isReparsing);
    bool read(const std::string &inputFile, ParsePass pass, bool isReparsing);
    // One pass over a chain whose first and second-to-last components are byte counters.
    bool read(boost::iostreams::filtering_istream &in, ParsePass pass, bool isReparsing);

    const InstructionPointer &findIp(IpIndex ipIndex) const;
    TraceNode findTrace(TraceIndex traceIndex) const;
    bool isStopIndex(StringIndex index) const;
    AllocationIndex mapToAllocationIndex(TraceIndex traceIndex);
    // Merges the call stacks that mapToAllocationIndex met out of order into
    // traceIndexToAllocationIndex, which is sorted again afterwards. The reader
    // does this at the end of every pass that fills the tables.
    void sortTraceIndexMap();

    // Subtracts @p base, matching call stacks by source location rather than by address.
    void diff(const AccumulatedTraceData &base);

    void applyLeakSuppressions();

    bool fromAttached = false;
    FilterParameters filterParameters;

    // Once this is set, a pass gives up and the read returns false. It is
    // looked at between chunks of the input (a few thousand lines, or one
    // chunk of the event log), not per line. Null: every read runs to its end.
    const std::atomic<bool> *cancelRequest = nullptr;
    bool isCancelRequested() const
    {
        return cancelRequest && cancelRequest->load(std::memory_order_relaxed);
    }

    std::vector<Allocation> allocations;
    // Where the second and third passes charge the call stacks' costs: a copy
    // of allocations set here lets a pass run while another thread reads the
    // costs of the last one. Null: allocations.
    std::vector<Allocation> *chargedCosts = nullptr;
    std::vector<Allocation> &chargedAllocations()
    {
        return chargedCosts ? *chargedCosts : allocations;
    }
    const std::vector<Allocation> &chargedAllocations() const
    {
        return chargedCosts ? *chargedCosts : allocations;
    }
    // After diff: the base's own costs, each on a call stack of this object's
    // tables. The difference alone cannot tell a view what a function cost
    // before, and call stacks that did not change are gone from allocations.
    std::vector<Allocation> diffBaseAllocations;
    AllocationData totalCost;
    int64_t totalTime = 0;
    int64_t peakTime = 0;
    int64_t peakRSS = 0;
    SystemInfo systemInfo;

    TraceIndex m_maxAllocationTraceIndex;
    AllocationIndex m_maxAllocationIndex;
    std::vector<std::pair<TraceIndex, AllocationIndex>> traceIndexToAllocationIndex;
    // call stacks met below the largest trace index, not yet merged into the
    // sorted vector: inserting each into the vector would make a table pass
    // quadratic in the number of call stacks
    tsl::robin_map<uint32_t, AllocationIndex> m_unsortedTraceIndices;

    std::vector<StringIndex> stopIndices;
    std::vector<InstructionPointer> instructionPointers;
    std::vector<TraceNode> traces;
    std::vector<std::string> strings;
    std::vector<IpIndex> opNewIpIndices;

    std::vector<AllocationInfo> allocationInfos;

    ParsingState parsingState;

    std::vector<Suppression> suppressions;
    int64_t totalLeakedSuppressed = 0;
    // problems met in the first pass of the last read, for the user to see
    TraceDiagnostics diagnostics;

    // Call stack of @p index, innermost node first; an index beyond the table is
    // a node without instruction pointer. A parent chain that loops is cut where
    // it repeats; the first such cut is reported on standard error.
    void collectTrace(TraceIndex index, std::vector<TraceNode> *chain) const;

    // Bytes held by the event log that the later passes and reparses read; 0
    // when they read the file.
    uint64_t eventLogSize() const;
    // Events (allocations, deallocations, time stamps) in the event log.
    int64_t eventLogEvents() const
    {
        return m_eventLogEvents;
    }

private:
    class PassReader;
    class LogSource;
    template<typename LineSource>
    bool readText(LineSource &source, PassReader &reader, bool *reachedEnd);
    bool replay(const EventLog &log, PassReader &reader);

    std::unique_ptr<EventLog> m_eventLog;
    int64_t m_eventLogEvents = 0;

    // Numbering of the (size, trace index) pairs of a format-0 file, kept from the
    // full first pass so that later passes and reparses charge the same infos.
    std::unique_ptr<AllocationInfoSet> m_formatZeroInfos;
    mutable bool m_reportedTraceLoop = false;
};
