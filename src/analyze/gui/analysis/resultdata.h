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
    ResultData(const AllocationData &totalCosts, const QVector<QString> &strings);

    // Empty for index 0 and for indices beyond the table.
    QString string(StringIndex index) const;
    // "<unresolved function>" for index 0.
    QString string(FunctionIndex index) const;

    const AllocationData &totalCosts() const
    {
        return m_totalCosts;
    }

private:
    AllocationData m_totalCosts;
    QVector<QString> m_strings;
};

// Views and proxies reach the string table of a result through this pointer.
Q_DECLARE_METATYPE(const ResultData *)
