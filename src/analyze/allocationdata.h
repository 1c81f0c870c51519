/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The four costs every location carries.
*/

#pragma once

#include <cstdint>

// Sizes and counts from a corrupt file can be absurd. Costs computed from them
// wrap around like the reader's own sums instead of overflowing, which would be
// undefined.
inline int64_t wrappingAdd(int64_t lhs, int64_t rhs)
{
    return static_cast<int64_t>(static_cast<uint64_t>(lhs) + static_cast<uint64_t>(rhs));
}

inline int64_t wrappingSubtract(int64_t lhs, int64_t rhs)
{
    return static_cast<int64_t>(static_cast<uint64_t>(lhs) - static_cast<uint64_t>(rhs));
}

// Magnitude of a cost; diff costs are negative. Wraps like the sums above for
// the one value without a positive counterpart.
inline int64_t absoluteCost(int64_t value)
{
    return value < 0 ? wrappingSubtract(0, value) : value;
}

struct AllocationData {
    // number of allocation events
    int64_t allocations = 0;
    // allocations whose block was freed by the very next counted heap event
    int64_t temporary = 0;
    // bytes allocated and never freed (while reading: bytes currently live)
    int64_t leaked = 0;
    // bytes live at the moment of the overall peak; in the totals the peak itself
    int64_t peak = 0;

    void clearCost()
    {
        *this = {};
    }

    bool operator==(const AllocationData &rhs) const
    {
        return allocations == rhs.allocations && temporary == rhs.temporary && leaked == rhs.leaked && peak == rhs.peak;
    }

    bool operator!=(const AllocationData &rhs) const
    {
        return !operator==(rhs);
    }

    AllocationData &operator+=(const AllocationData &rhs)
    {
        allocations = wrappingAdd(allocations, rhs.allocations);
        temporary = wrappingAdd(temporary, rhs.temporary);
        leaked = wrappingAdd(leaked, rhs.leaked);
        peak = wrappingAdd(peak, rhs.peak);
        return *this;
    }

    AllocationData &operator-=(const AllocationData &rhs)
    {
        allocations = wrappingSubtract(allocations, rhs.allocations);
        temporary = wrappingSubtract(temporary, rhs.temporary);
        leaked = wrappingSubtract(leaked, rhs.leaked);
        peak = wrappingSubtract(peak, rhs.peak);
        return *this;
    }
};

inline AllocationData operator-(AllocationData lhs, const AllocationData &rhs)
{
    return lhs -= rhs;
}
