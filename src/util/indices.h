/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Typed indices into the interned tables of a trace.
*/

#pragma once

#include <cstdint>
#include <functional>
#include <ostream>

#include <QHashFunctions>

template<typename Base>
struct Index {
    uint32_t index = 0;

    explicit operator bool() const
    {
        return index;
    }

    bool operator<(Base o) const
    {
        return index < o.index;
    }

    bool operator<=(Base o) const
    {
        return index <= o.index;
    }

    bool operator>(Base o) const
    {
        return index > o.index;
    }

    bool operator>=(Base o) const
    {
        return index >= o.index;
    }

    bool operator!=(Base o) const
    {
        return index != o.index;
    }

    bool operator==(Base o) const
    {
        return index == o.index;
    }

    Base &operator++()
    {
        ++index;
        return *static_cast<Base *>(this);
    }
};

template<typename Base>
std::ostream &operator<<(std::ostream &out, Index<Base> idx)
{
    return out << idx.index;
}

// 1-based, 0 means "no string"
struct StringIndex : Index<StringIndex> {
};
struct ModuleIndex : StringIndex {
};
struct FunctionIndex : StringIndex {
};
struct FileIndex : StringIndex {
};
// 1-based, 0 means "none"
struct IpIndex : Index<IpIndex> {
};
// 1-based, 0 is the empty call stack
struct TraceIndex : Index<TraceIndex> {
};
// 0-based positions
struct AllocationIndex : Index<AllocationIndex> {
};
struct AllocationInfoIndex : Index<AllocationInfoIndex> {
};

struct IndexHasher {
    template<typename Base>
    std::size_t operator()(Index<Base> idx) const
    {
        return idx.index;
    }
};

namespace std
{
template<>
struct hash<TraceIndex> : IndexHasher {
};
template<>
struct hash<IpIndex> : IndexHasher {
};
}

inline uint qHash(StringIndex index, uint seed = 0) noexcept
{
    return ::qHash(index.index, seed);
}
