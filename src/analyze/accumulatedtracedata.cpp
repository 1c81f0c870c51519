/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "accumulatedtracedata.h"

#include <algorithm>
#include <cstdio>

#include <tsl/robin_set.h>

#include "util/pointermap.h"

#include "eventlog.h"

AccumulatedTraceData::AccumulatedTraceData()
{
    instructionPointers.reserve(16384);
    traces.reserve(65536);
    strings.reserve(4096);
    allocations.reserve(16384);
    traceIndexToAllocationIndex.reserve(16384);
    stopIndices.reserve(4);
    opNewIpIndices.reserve(16);
}

AccumulatedTraceData::~AccumulatedTraceData() = default;

const InstructionPointer &AccumulatedTraceData::findIp(IpIndex ipIndex) const
{
    static const InstructionPointer none;
    if (!ipIndex || ipIndex.index > instructionPointers.size()) {
        return none;
    }
    return instructionPointers[ipIndex.index - 1];
}

TraceNode AccumulatedTraceData::findTrace(TraceIndex traceIndex) const
{
    if (!traceIndex || traceIndex.index > traces.size()) {
        return {};
    }
    return traces[traceIndex.index - 1];
}

bool AccumulatedTraceData::isStopIndex(StringIndex index) const
{
    return std::find(stopIndices.begin(), stopIndices.end(), index) != stopIndices.end();
}

AllocationIndex AccumulatedTraceData::mapToAllocationIndex(TraceIndex traceIndex)
{
    AllocationIndex allocationIndex;
    if (traceIndex >= m_maxAllocationTraceIndex) {
        if (traceIndex == m_maxAllocationTraceIndex && !allocations.empty()) {
            return m_maxAllocationIndex;
        }
        allocationIndex.index = static_cast<uint32_t>(allocations.size());
        traceIndexToAllocationIndex.push_back({traceIndex, allocationIndex});
        Allocation allocation;
        allocation.traceIndex = traceIndex;
        allocations.push_back(allocation);
        m_maxAllocationIndex = allocationIndex;
        m_maxAllocationTraceIndex = traceIndex;
        return allocationIndex;
    }

    auto it = std::lower_bound(traceIndexToAllocationIndex.begin(),
                               traceIndexToAllocationIndex.end(),
                               traceIndex,
                               [](const std::pair<TraceIndex, AllocationIndex> &entry, TraceIndex index) {
                                   return entry.first < index;
                               });
    if (it != traceIndexToAllocationIndex.end() && it->first == traceIndex) {
        return it->second;
    }
    allocationIndex.index = static_cast<uint32_t>(allocations.size());
    const auto inserted = m_unsortedTraceIndices.insert({traceIndex.index, allocationIndex});
    if (!inserted.second) {
        return inserted.first->second;
    }
    Allocation allocation;
    allocation.traceIndex = traceIndex;
    allocations.push_back(allocation);
    return allocationIndex;
}

void AccumulatedTraceData::sortTraceIndexMap()
{
    if (m_unsortedTraceIndices.empty()) {
        return;
    }
    const auto sortedEnd = traceIndexToAllocationIndex.size();
    traceIndexToAllocationIndex.reserve(sortedEnd + m_unsortedTraceIndices.size());
    for (const auto &entry : m_unsortedTraceIndices) {
        TraceIndex traceIndex;
        traceIndex.index = entry.first;
        traceIndexToAllocationIndex.emplace_back(traceIndex, entry.second);
    }
    m_unsortedTraceIndices.clear();
    const auto byTraceIndex = [](const std::pair<TraceIndex, AllocationIndex> &lhs, const std::pair<TraceIndex, AllocationIndex> &rhs) {
        return lhs.first < rhs.first;
    };
    const auto middle = traceIndexToAllocationIndex.begin() + static_cast<std::ptrdiff_t>(sortedEnd);
    std::sort(middle, traceIndexToAllocationIndex.end(), byTraceIndex);
    std::inplace_merge(traceIndexToAllocationIndex.begin(), middle, traceIndexToAllocationIndex.end(), byTraceIndex);
}

void AccumulatedTraceData::collectTrace(TraceIndex index, std::vector<TraceNode> *chain) const
{
    chain->clear();
    const TraceIndex start = index;
    // Brent's cycle detection: a corrupt chain that loops is noticed after about
    // as many steps as the stack and its loop are long. A bound by the table
    // size instead would walk the whole table on every call.
    TraceIndex mark = index;
    std::size_t sinceMark = 0;
    std::size_t markDistance = 1;
    while (index) {
        if (index.index > traces.size()) {
            chain->push_back({});
            return;
        }
        const auto &node = traces[index.index - 1];
        chain->push_back(node);
        index = node.parentIndex;
        if (index && index == mark) {
            break;
        }
        if (++sinceMark == markDistance) {
            mark = index;
            markDistance *= 2;
            sinceMark = 0;
        }
    }
    if (!index) {
        return;
    }

    if (!m_reportedTraceLoop) {
        m_reportedTraceLoop = true;
        fputs("Trace recursion detected - corrupt data file?\n", stderr);
        fflush(stderr);
    }
    // cut the chain just before the first node that repeats; walk again from the
    // start, the frames leading into the loop belong to the stack
    tsl::robin_set<TraceIndex> seen;
    seen.reserve(chain->size());
    chain->clear();
    index = start;
    while (seen.insert(index).second) {
        const auto &node = traces[index.index - 1];
        chain->push_back(node);
        index = node.parentIndex;
        if (!index) {
            return;
        }
        if (index.index > traces.size()) {
            chain->push_back({});
            return;
        }
    }
}

void AccumulatedTraceData::applyLeakSuppressions()
{
    totalLeakedSuppressed = 0;
    if (suppressions.empty()) {
        return;
    }

    // Match every string once; instruction pointers and trace nodes then take
    // their results by index.
    std::vector<SuppressionStringMatch> stringMatches(strings.size());
    bool anyMatch = false;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        for (std::size_t s = 0; s < suppressions.size(); ++s) {
            if (matchesSuppression(suppressions[s].pattern, strings[i])) {
                stringMatches[i] = SuppressionStringMatch(s);
                anyMatch = true;
                break;
            }
        }
    }
    if (!anyMatch) {
        return;
    }

    auto stringMatch = [&stringMatches](StringIndex index) {
        if (!index || index.index > stringMatches.size()) {
            return SuppressionStringMatch();
        }
        return stringMatches[index.index - 1];
    };

    std::vector<SuppressionStringMatch> ipMatches(instructionPointers.size());
    for (std::size_t i = 0; i < instructionPointers.size(); ++i) {
        const auto &ip = instructionPointers[i];
        auto match = stringMatch(ip.moduleIndex);
        if (!match) {
            match = stringMatch(ip.frame.functionIndex);
        }
        if (!match) {
            match = stringMatch(ip.frame.fileIndex);
        }
        for (auto it = ip.inlined.begin(); !match && it != ip.inlined.end(); ++it) {
            match = stringMatch(it->functionIndex);
            if (!match) {
                match = stringMatch(it->fileIndex);
            }
        }
        ipMatches[i] = match;
    }

    // parents precede their children, so the outermost matching frame wins
    std::vector<SuppressionStringMatch> traceMatches(traces.size());
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const auto &node = traces[i];
        SuppressionStringMatch match;
        const auto parent = node.parentIndex.index;
        if (parent && parent <= traceMatches.size()) {
            match = traceMatches[parent - 1];
        }
        if (!match && node.ipIndex && node.ipIndex.index <= ipMatches.size()) {
            match = ipMatches[node.ipIndex.index - 1];
        }
        traceMatches[i] = match;
    }

    for (auto &allocation : allocations) {
        const auto index = allocation.traceIndex.index;
        if (!index || index > traceMatches.size()) {
            continue;
        }
        const auto match = traceMatches[index - 1];
        if (!match) {
            continue;
        }
        auto &suppression = suppressions[match.suppressionIndex];
        totalLeakedSuppressed = wrappingAdd(totalLeakedSuppressed, allocation.leaked);
        ++suppression.matches;
        suppression.leaked = wrappingAdd(suppression.leaked, allocation.leaked);
        totalCost.leaked = wrappingSubtract(totalCost.leaked, allocation.leaked);
        allocation.leaked = 0;
    }
    // the base's figures shown beside a diff leave out the same leaks
    for (auto &allocation : diffBaseAllocations) {
        const auto index = allocation.traceIndex.index;
        if (index && index <= traceMatches.size() && traceMatches[index - 1]) {
            allocation.leaked = 0;
        }
    }
}
