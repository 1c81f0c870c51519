/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    What the sort role of a cost model holds, reached without a QVariant.
*/

#pragma once

#include <QModelIndex>

#include "analyze/gui/analysis/locationdata.h"
#include "analyze/gui/models/costcolumns.h"

class ResultData;

// A cost model whose rows a sort proxy can compare directly. Sorting the tens
// of thousands of rows of a large trace asks the model for two sort values per
// comparison; through data() each is a virtual call, a QVariant and a type
// dispatch, which adds up to most of a sort's time on the GUI thread.
class SortKeySource
{
public:
    // the role the shortcuts stand for; a proxy sorting by another role must ask data()
    static constexpr int SortRole = CostModel::SortRole;

    virtual ~SortKeySource() = default;

    // What comparing the sort role of @p left and @p right, two rows of the same
    // cost column, gives.
    virtual bool costLessThan(const QModelIndex &left, const QModelIndex &right) const = 0;
    // What the model's symbol role holds for the row of @p index.
    virtual Symbol symbolAt(const QModelIndex &index) const = 0;
    // The string table every row of the model is formatted with, if any.
    virtual const ResultData *sortResultData() const = 0;
};
