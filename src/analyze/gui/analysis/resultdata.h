/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The string table and total costs of one analysis run, shared read-only by
    every result record of that run.
*/

#pragma once

#include <QMetaType>
#include <QString>
#include <QVector>

#include "analyze/allocationdata.h"
#include "util/indices.h"

class ResultData
{
public:
    ResultData(const AllocationData &totalCosts, const QVector<QString> &strings, bool isDiff = false);

    // Empty for index 0 and for indices beyond the table.
    QString string(StringIndex index) const;
    // "<unresolved function>" for index 0.
    QString string(FunctionIndex index) const;

    const AllocationData &totalCosts() const
    {
        return m_totalCosts;
    }

    // The costs are one file minus a base: the totals are net sums, possibly
    // near zero, while single costs can be far larger either way.
    bool isDiff() const
    {
        return m_isDiff;
    }

private:
    AllocationData m_totalCosts;
    QVector<QString> m_strings;
    bool m_isDiff = false;
};

// Views and proxies reach the string table of a result through this pointer.
Q_DECLARE_METATYPE(const ResultData *)
