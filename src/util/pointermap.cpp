/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "pointermap.h"

#include <algorithm>

namespace
{
// Room for the pairs of a large format-0 file, so the set does not rehash while
// the first pass runs. A fuzzing build reads thousands of tiny inputs instead,
// and preparing this much room would be nearly all it does.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr std::size_t RESERVED_INFOS = 64;
#else
constexpr std::size_t RESERVED_INFOS = 625000;
#endif
}

AllocationInfoSet::AllocationInfoSet()
{
    set.reserve(RESERVED_INFOS);
}

bool AllocationInfoSet::add(uint64_t size, TraceIndex traceIndex, AllocationInfoIndex *allocationIndex)
{
    IndexedAllocationInfo info;
    info.size = size;
    info.traceIndex = traceIndex;
    info.allocationIndex.index = static_cast<uint32_t>(set.size());
    auto it = set.find(info);
    if (it != set.end()) {
        *allocationIndex = it->allocationIndex;
        return false;
    }
    set.insert(info);
    *allocationIndex = info.allocationIndex;
    return true;
}

PointerMap::PointerMap()
{
    map.reserve(1024);
}

void PointerMap::addPointer(uint64_t ptr, AllocationInfoIndex allocationIndex)
{
    const SplitPointer pointer(ptr);
    auto &indices = map[pointer.big];
    auto &parts = indices.smallPtrParts;
    auto it = std::lower_bound(parts.begin(), parts.end(), pointer.small);
    const auto pos = it - parts.begin();
    if (it == parts.end()) {
        parts.push_back(pointer.small);
        indices.allocationIndices.push_back(allocationIndex);
    } else if (*it == pointer.small) {
        indices.allocationIndices[static_cast<std::size_t>(pos)] = allocationIndex;
    } else {
        parts.insert(it, pointer.small);
        indices.allocationIndices.insert(indices.allocationIndices.begin() + pos, allocationIndex);
    }
}

std::pair<AllocationInfoIndex, bool> PointerMap::takePointer(uint64_t ptr)
{
    const SplitPointer pointer(ptr);
    auto mapIt = map.find(pointer.big);
    if (mapIt == map.end()) {
        return {{}, false};
    }
    // robin_map hands out const values through its iterators
    auto &indices = mapIt.value();
    auto &parts = indices.smallPtrParts;
    auto it = std::lower_bound(parts.begin(), parts.end(), pointer.small);
    if (it == parts.end() || *it != pointer.small) {
        return {{}, false};
    }
    const auto pos = it - parts.begin();
    const auto allocationIndex = indices.allocationIndices[static_cast<std::size_t>(pos)];
    parts.erase(it);
    indices.allocationIndices.erase(indices.allocationIndices.begin() + pos);
    if (parts.empty()) {
        map.erase(mapIt);
    }
    return {allocationIndex, true};
}
