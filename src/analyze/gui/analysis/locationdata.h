/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The two keys costs are grouped by: a function in a module, and a source line.
*/

#pragma once

#include <functional>

#include <QHashFunctions>
#include <QMetaType>

#include <boost/functional/hash.hpp>

#include "util/indices.h"

struct Symbol {
    FunctionIndex functionId;
    ModuleIndex moduleId;

    bool operator==(const Symbol &rhs) const
    {
        return functionId == rhs.functionId && moduleId == rhs.moduleId;
    }

    bool operator!=(const Symbol &rhs) const
    {
        return !operator==(rhs);
    }

    bool operator<(const Symbol &rhs) const
    {
        if (functionId != rhs.functionId) {
            return functionId < rhs.functionId;
        }
        return moduleId < rhs.moduleId;
    }
};

inline uint qHash(const Symbol &symbol, uint seed = 0) noexcept
{
    QtPrivate::QHashCombine hash;
    seed = hash(seed, symbol.functionId.index);
    seed = hash(seed, symbol.moduleId.index);
    return seed;
}

namespace std
{
template<>
struct hash<Symbol> {
    std::size_t operator()(const Symbol &symbol) const noexcept
    {
        std::size_t seed = 0;
        boost::hash_combine(seed, symbol.functionId.index);
        boost::hash_combine(seed, symbol.moduleId.index);
        return seed;
    }
};
}

struct FileLine {
    FileIndex fileId;
    int line = 0;

    bool operator==(const FileLine &rhs) const
    {
        return fileId == rhs.fileId && line == rhs.line;
    }

    bool operator!=(const FileLine &rhs) const
    {
        return !operator==(rhs);
    }
};

inline uint qHash(const FileLine &location, uint seed = 0) noexcept
{
    QtPrivate::QHashCombine hash;
    seed = hash(seed, location.fileId.index);
    seed = hash(seed, location.line);
    return seed;
}

Q_DECLARE_METATYPE(Symbol)
Q_DECLARE_METATYPE(FileLine)
Q_DECLARE_METATYPE(FunctionIndex)
Q_DECLARE_METATYPE(ModuleIndex)
Q_DECLARE_METATYPE(FileIndex)
