/*
    The four costs every location carries.
*/

#pragma once

#include <cstdint>

struct AllocationData
{
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

    bool operator==(const AllocationData& rhs) const
    {
        return allocations == rhs.allocations && temporary == rhs.temporary && leaked == rhs.leaked
            && peak == rhs.peak;
    }

    bool operator!=(const AllocationData& rhs) const
    {
        return !operator==(rhs);
    }

    AllocationData& operator+=(const AllocationData& rhs)
    {
        allocations += rhs.allocations;
        temporary += rhs.temporary;
        leaked += rhs.leaked;
        peak += rhs.peak;
        return *this;
    }

    AllocationData& operator-=(const AllocationData& rhs)
    {
        allocations -= rhs.allocations;
        temporary -= rhs.temporary;
        leaked -= rhs.leaked;
        peak -= rhs.peak;
        return *this;
    }
};

inline AllocationData operator-(AllocationData lhs, const AllocationData& rhs)
{
    return lhs -= rhs;
}
