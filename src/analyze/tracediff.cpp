/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Subtracting one data set from another. The two files have their own string,
    instruction-pointer and trace numbering, so call stacks are matched by their
    source locations (module, function, file, line), never by code address.
*/

#include "accumulatedtracedata.h"

#include <algorithm>
#include <string_view>

#include <tsl/robin_map.h>

namespace
{
// What two instruction pointers are compared by across data sets.
struct IpKey {
    StringIndex module;
    StringIndex function;
    StringIndex file;
    int line = 0;

    bool operator==(const IpKey &rhs) const
    {
        return module == rhs.module && function == rhs.function && file == rhs.file && line == rhs.line;
    }

    bool operator<(const IpKey &rhs) const
    {
        if (module != rhs.module) {
            return module < rhs.module;
        }
        if (function != rhs.function) {
            return function < rhs.function;
        }
        if (file != rhs.file) {
            return file < rhs.file;
        }
        return line < rhs.line;
    }
};

IpKey keyOf(const InstructionPointer &ip)
{
    return {ip.moduleIndex, ip.frame.functionIndex, ip.frame.fileIndex, ip.frame.line};
}

struct identity {
    IpKey operator()(const InstructionPointer &ip) const
    {
        return keyOf(ip);
    }
};

// Orders call stacks by depth, then by their source locations from the outermost
// frame inward. Equal means: the same locations at every level.
class TraceComparer
{
public:
    template<typename IpMapper>
    int compareTraceIndices(TraceIndex lhs, const AccumulatedTraceData &lhsData, TraceIndex rhs, const AccumulatedTraceData &rhsData, const IpMapper &ipMapper)
    {
        if (!lhs) {
            return rhs ? -1 : 0;
        }
        if (!rhs) {
            return 1;
        }
        if (&lhsData == &rhsData && lhs == rhs) {
            return 0;
        }
        lhsData.collectTrace(lhs, &m_lhsChain);
        rhsData.collectTrace(rhs, &m_rhsChain);
        if (m_lhsChain.size() != m_rhsChain.size()) {
            return m_lhsChain.size() < m_rhsChain.size() ? -1 : 1;
        }
        for (auto l = m_lhsChain.rbegin(), r = m_rhsChain.rbegin(); l != m_lhsChain.rend(); ++l, ++r) {
            const auto lhsIp = keyOf(lhsData.findIp(l->ipIndex));
            const auto rhsIp = ipMapper(rhsData.findIp(r->ipIndex));
            if (lhsIp == rhsIp) {
                continue;
            }
            return lhsIp < rhsIp ? -1 : 1;
        }
        return 0;
    }

private:
    std::vector<TraceNode> m_lhsChain;
    std::vector<TraceNode> m_rhsChain;
};

// Merges runs of equal neighbours of a sorted range into their first element.
template<typename Iterator, typename Equal, typename Reduce>
Iterator inplace_unique_reduce(Iterator first, Iterator last, Equal equal, Reduce reduce)
{
    if (first == last) {
        return last;
    }
    Iterator current = first;
    while (++first != last) {
        if (equal(*current, *first)) {
            reduce(*current, *first);
        } else if (++current != first) {
            *current = std::move(*first);
        }
    }
    return ++current;
}

std::vector<IpIndex> sortedIndices(const std::vector<InstructionPointer> &ips)
{
    std::vector<IpIndex> indices(ips.size());
    for (std::size_t i = 0; i < indices.size(); ++i) {
        indices[i].index = static_cast<uint32_t>(i + 1);
    }
    std::sort(indices.begin(), indices.end(), [&ips](IpIndex lhs, IpIndex rhs) {
        return ips[lhs.index - 1].compareWithoutAddress(ips[rhs.index - 1]);
    });
    return indices;
}
}

void AccumulatedTraceData::diff(const AccumulatedTraceData &base)
{
    totalCost -= base.totalCost;
    totalTime = wrappingSubtract(totalTime, base.totalTime);
    // Page counts are subtracted in one page size. Subtracting the page size
    // itself would leave 0 and turn every byte figure of the difference into 0.
    const int64_t pageSize = systemInfo.pageSize ? systemInfo.pageSize : base.systemInfo.pageSize;
    auto inOwnPages = [&base, pageSize](int64_t pages) {
        if (base.systemInfo.pageSize == pageSize || pageSize == 0) {
            return pages;
        }
        return static_cast<int64_t>(static_cast<double>(pages) * static_cast<double>(base.systemInfo.pageSize) / static_cast<double>(pageSize));
    };
    peakRSS = wrappingSubtract(peakRSS, inOwnPages(base.peakRSS));
    systemInfo.pages = wrappingSubtract(systemInfo.pages, inOwnPages(base.systemInfo.pages));
    systemInfo.pageSize = pageSize;

    TraceComparer comparer;

    // merge our own call stacks that differ only in their addresses
    std::sort(allocations.begin(), allocations.end(), [this, &comparer](const Allocation &lhs, const Allocation &rhs) {
        return comparer.compareTraceIndices(lhs.traceIndex, *this, rhs.traceIndex, *this, identity()) < 0;
    });
    allocations.erase(inplace_unique_reduce(
                          allocations.begin(),
                          allocations.end(),
                          [this, &comparer](const Allocation &lhs, const Allocation &rhs) {
                              return comparer.compareTraceIndices(lhs.traceIndex, *this, rhs.traceIndex, *this, identity()) == 0;
                          },
                          [](Allocation &lhs, const Allocation &rhs) {
                              lhs += rhs;
                          }),
                      allocations.end());

    // remapStrings: base string index -> our string index, appending texts we lack
    std::vector<StringIndex> stringMap(base.strings.size() + 1);
    {
        tsl::robin_map<std::string_view, uint32_t> ownStrings;
        ownStrings.reserve(strings.size() + base.strings.size());
        // the map holds views into our strings: they must not move while we append
        strings.reserve(strings.size() + base.strings.size());
        for (std::size_t i = 0; i < strings.size(); ++i) {
            ownStrings.insert({strings[i], static_cast<uint32_t>(i + 1)});
        }
        for (std::size_t i = 0; i < base.strings.size(); ++i) {
            const std::string_view text = base.strings[i];
            auto it = ownStrings.find(text);
            if (it != ownStrings.end()) {
                stringMap[i + 1].index = it->second;
            } else {
                strings.push_back(base.strings[i]);
                const auto index = static_cast<uint32_t>(strings.size());
                ownStrings.insert({text, index});
                stringMap[i + 1].index = index;
            }
        }
    }
    auto remapString = [&stringMap](StringIndex index) {
        StringIndex ret;
        if (index.index < stringMap.size()) {
            ret = stringMap[index.index];
        }
        return ret;
    };
    auto remapIp = [&remapString](InstructionPointer ip) {
        ip.moduleIndex = {remapString(ip.moduleIndex)};
        ip.frame.functionIndex = {remapString(ip.frame.functionIndex)};
        ip.frame.fileIndex = {remapString(ip.frame.fileIndex)};
        for (auto &frame : ip.inlined) {
            frame.functionIndex = {remapString(frame.functionIndex)};
            frame.fileIndex = {remapString(frame.fileIndex)};
        }
        return ip;
    };
    auto remapIpKey = [&remapString](const InstructionPointer &ip) {
        return IpKey{remapString(ip.moduleIndex), remapString(ip.frame.functionIndex), remapString(ip.frame.fileIndex), ip.frame.line};
    };

    auto sortedIps = sortedIndices(instructionPointers);
    auto remapIpIndex = [&](IpIndex index) {
        if (!index) {
            return index;
        }
        auto ip = remapIp(base.findIp(index));
        auto it = std::lower_bound(sortedIps.begin(), sortedIps.end(), ip, [this](IpIndex own, const InstructionPointer &ip) {
            return findIp(own).compareWithoutAddress(ip);
        });
        if (it != sortedIps.end() && findIp(*it).equalWithoutAddress(ip)) {
            return *it;
        }
        instructionPointers.push_back(std::move(ip));
        IpIndex added;
        added.index = static_cast<uint32_t>(instructionPointers.size());
        sortedIps.insert(it, added);
        return added;
    };

    std::vector<TraceNode> chain;
    auto copyTrace = [&](TraceIndex index) {
        TraceIndex parent;
        if (!index) {
            return parent;
        }
        base.collectTrace(index, &chain);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            TraceNode node;
            node.ipIndex = remapIpIndex(it->ipIndex);
            node.parentIndex = parent;
            traces.push_back(node);
            parent.index = static_cast<uint32_t>(traces.size());
        }
        return parent;
    };

    diffBaseAllocations.clear();
    diffBaseAllocations.reserve(base.allocations.size());
    for (const auto &baseAllocation : base.allocations) {
        const auto baseTrace = baseAllocation.traceIndex;
        auto it = std::lower_bound(allocations.begin(), allocations.end(), baseTrace, [&](const Allocation &own, TraceIndex trace) {
            return comparer.compareTraceIndices(own.traceIndex, *this, trace, base, remapIpKey) < 0;
        });
        if (it == allocations.end() || comparer.compareTraceIndices(it->traceIndex, *this, baseTrace, base, remapIpKey) != 0) {
            Allocation allocation;
            allocation.traceIndex = copyTrace(baseTrace);
            it = allocations.insert(it, allocation);
        }
        *it -= baseAllocation;
        Allocation kept;
        static_cast<AllocationData &>(kept) = baseAllocation;
        kept.traceIndex = it->traceIndex;
        diffBaseAllocations.push_back(kept);
    }

    allocations.erase(std::remove_if(allocations.begin(),
                                     allocations.end(),
                                     [](const Allocation &allocation) {
                                         return static_cast<const AllocationData &>(allocation) == AllocationData();
                                     }),
                      allocations.end());
}
