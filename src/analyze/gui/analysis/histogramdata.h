/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Allocation counts per size class, split over the most frequent allocating functions.
*/

#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include <QMetaType>
#include <QString>
#include <QVector>

#include "analyze/gui/analysis/locationdata.h"

class ResultData;

struct HistogramColumn {
    int64_t allocations = 0;
    // bytes: the sum of size x count
    int64_t totalAllocated = 0;
    Symbol symbol;
};

struct HistogramRow {
    static constexpr int NUM_COLUMNS = 11;

    QString sizeLabel;
    // upper bound of the class in bytes, inclusive
    uint64_t size = 0;
    // column 0 is the class total, 1..10 the top functions
    std::array<HistogramColumn, NUM_COLUMNS> columns = {};
};

struct HistogramData {
    QVector<HistogramRow> rows;
    std::shared_ptr<const ResultData> resultData;
};

Q_DECLARE_METATYPE(HistogramData)
