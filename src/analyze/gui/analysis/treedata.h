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
    // A diff's rows hold current minus base. baseRows is the same kind of tree
    // over the base alone (in the numbering of resultData), for the views that
    // show what a function cost before next to the change; empty otherwise.
    QVector<RowData> baseRows;
    bool diffMode = false;
};

Q_DECLARE_TYPEINFO(RowData, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(TreeData)
