/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Time series of the three charts: memory consumed, allocations and temporary
    allocations, each a total column and up to 19 call-site columns.
*/

#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include <QHash>
#include <QMetaType>
#include <QVector>

#include "analyze/gui/analysis/locationdata.h"

class ResultData;

struct ChartRows {
    enum { MAX_NUM_COST = 21 };

    int64_t timeStamp = 0;
    std::array<int64_t, MAX_NUM_COST> cost = {};
};

struct ChartData {
    QVector<ChartRows> rows;
    // column number -> call site; column 0 (the total) has the empty symbol
    QHash<int, Symbol> labels;
    std::shared_ptr<const ResultData> resultData;
    // column number -> the call site's source line, which tells apart two
    // call sites in one function
    QHash<int, FileLine> locations;
    // column number -> the function the call site's own function was inlined
    // into, for call sites that were: one line inlined into several callers
    // makes as many call sites
    QHash<int, FunctionIndex> inlinedInto;
};

Q_DECLARE_TYPEINFO(ChartRows, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(ChartData)
