/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

// The roles and columns every cost model shares. The cost bar delegate, the
// top-list proxy and the sort proxies read any model through these numbers, so
// each model builds its own enums from here instead of repeating the values.

#pragma once

#include <Qt>

namespace CostModel
{
enum Role {
    // the cell's cost (or other sort value) as a number
    SortRole = Qt::UserRole,
    // the maximum or total cost of the column's kind, what a bar is measured against
    TotalCostRole = Qt::UserRole + 1,
    // the first role a model may give a meaning of its own
    FirstModelRole = Qt::UserRole + 2,
};

// Tables with one cost of each kind per row.
enum Column {
    LocationColumn = 0,
    PeakColumn,
    LeakedColumn,
    AllocationsColumn,
    TemporaryColumn,
    NumColumns,
};

// Caller/callee tables: the inclusive costs first, then the self costs.
enum InclusiveSelfColumn {
    InclusivePeakColumn = LocationColumn + 1,
    InclusiveLeakedColumn,
    InclusiveAllocationsColumn,
    InclusiveTemporaryColumn,
    SelfPeakColumn,
    SelfLeakedColumn,
    SelfAllocationsColumn,
    SelfTemporaryColumn,
    NumInclusiveSelfColumns,
};
}
