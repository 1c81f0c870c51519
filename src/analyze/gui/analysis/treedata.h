/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The bottom-up and top-down cost trees.
*/

#pragma once

#include <memory>

#include <QMetaType>
#include <QVector>

#include "analyze/allocationdata.h"

#include "analyze/gui/analysis/locationdata.h"

class ResultData;

struct RowData {
    AllocationData cost;
    Symbol symbol;
    // set once the whole tree is built; points into the tree's own vectors
    const RowData *parent = nullptr;
    QVector<RowData> children;

    bool operator<(const Symbol &rhs) const
    {
        return symbol < rhs;
    }
};

// Treat as read-only once handed out: a write would detach the shared vectors
// and leave the parent pointers aiming at the other copy.
struct TreeData {
    QVector<RowData> rows;
    std::shared_ptr<const ResultData> resultData;
};

Q_DECLARE_TYPEINFO(RowData, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(TreeData)
