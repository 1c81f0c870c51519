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

struct CallerCalleeResults {
    CallerCalleeEntryMap entries;
    std::shared_ptr<const ResultData> resultData;
};

Q_DECLARE_METATYPE(CallerCalleeResults)
