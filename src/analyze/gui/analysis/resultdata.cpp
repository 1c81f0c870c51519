/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/resultdata.h"

#include "analyze/gui/analysis/util.h"

ResultData::ResultData(const AllocationData &totalCosts, const QVector<QString> &strings, bool isDiff)
    : m_totalCosts(totalCosts)
    , m_strings(strings)
    , m_isDiff(isDiff)
{
}

QString ResultData::string(StringIndex index) const
{
    if (!index || index.index > static_cast<uint32_t>(m_strings.size())) {
        return {};
    }
    return m_strings.at(static_cast<int>(index.index - 1));
}

QString ResultData::string(FunctionIndex index) const
{
    if (!index) {
        return Util::unresolvedFunctionName();
    }
    return string(static_cast<StringIndex>(index));
}
