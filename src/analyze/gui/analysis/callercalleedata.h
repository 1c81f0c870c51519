/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Per function: inclusive and self costs, callers, callees and source lines.
*/

#pragma once

#include <memory>

#include <QHash>
#include <QMetaType>
#include <QVector>

#include "analyze/allocationdata.h"

#include "analyze/gui/analysis/locationdata.h"

class ResultData;

using SymbolCostMap = QHash<Symbol, AllocationData>;
using CallerMap = SymbolCostMap;
using CalleeMap = SymbolCostMap;

struct EntryCost {
    AllocationData inclusiveCost;
    AllocationData selfCost;
};

using LocationCostMap = QHash<FileLine, EntryCost>;

struct CallerCalleeEntry : EntryCost {
    CallerMap callers;
    CalleeMap callees;
    LocationCostMap sourceMap;
};

using CallerCalleeEntryMap = QHash<Symbol, CallerCalleeEntry>;

// The iterators of @p hash in its own order: the rows of a model of it.
template<typename Hash>
QVector<typename Hash::const_iterator> iteratorsOf(const Hash &hash)
{
    QVector<typename Hash::const_iterator> iterators;
    iterators.reserve(hash.size());
    for (auto it = hash.constBegin(), end = hash.constEnd(); it != end; ++it) {
        iterators.append(it);
    }
    return iterators;
}

struct CallerCalleeResults {
    CallerCalleeEntryMap entries;
    // The entries in the map's own order, as a model lists them, taken by the
    // worker that built them: walking tens of thousands of entries is a stall
    // on the window's thread. Empty, or stale once entries is written to.
    QVector<CallerCalleeEntryMap::const_iterator> order;
    std::shared_ptr<const ResultData> resultData;
};

Q_DECLARE_METATYPE(CallerCalleeResults)
