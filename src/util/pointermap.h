/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Bookkeeping for the oldest trace format, whose records identify heap blocks
    only by address: live block address -> allocation info, and deduplication of
    (size, call stack) pairs into allocation-info numbers.
*/

#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include "indices.h"

inline void hashCombine(uint64_t &seed, uint64_t value)
{
    seed ^= value + 0x9e3779b9 + (seed << 6) + (seed >> 2);
}

struct IndexedAllocationInfo {
    uint64_t size = 0;
    TraceIndex traceIndex;
    AllocationInfoIndex allocationIndex;

    bool operator==(const IndexedAllocationInfo &rhs) const
    {
        return size == rhs.size && traceIndex == rhs.traceIndex;
    }
};

struct IndexedAllocationInfoHasher {
    std::size_t operator()(const IndexedAllocationInfo &info) const
    {
        uint64_t seed = 0;
        hashCombine(seed, info.size);
        hashCombine(seed, info.traceIndex.index);
        return seed;
    }
};

struct AllocationInfoSet {
    AllocationInfoSet();

    // Sets *allocationIndex to the number of the (size, trace) pair; true when the pair is new.
    bool add(uint64_t size, TraceIndex traceIndex, AllocationInfoIndex *allocationIndex);

    tsl::robin_set<IndexedAllocationInfo, IndexedAllocationInfoHasher> set;
};

struct PointerMap {
    // 16383 rather than 16384 keeps the low part within 14 bits
    static constexpr uint64_t Divisor = 16383;

    struct SplitPointer {
        explicit SplitPointer(uint64_t ptr)
            : big(ptr / Divisor)
            , small(static_cast<uint16_t>(ptr % Divisor))
        {
        }
        uint64_t big;
        uint16_t small;
    };

    struct Indices {
        std::vector<uint16_t> smallPtrParts;
        std::vector<AllocationInfoIndex> allocationIndices;
    };

    PointerMap();

    void addPointer(uint64_t ptr, AllocationInfoIndex allocationIndex);
    std::pair<AllocationInfoIndex, bool> takePointer(uint64_t ptr);

    tsl::robin_map<uint64_t, Indices> map;
};
