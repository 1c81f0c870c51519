/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/chartproxy.h"

ChartProxy::ChartProxy(bool showTotal, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_showTotal(showTotal)
{
}

ChartProxy::~ChartProxy() = default;

bool ChartProxy::filterAcceptsColumn(int sourceColumn, const QModelIndex & /*sourceParent*/) const
{
    // columns 0 and 1 are the time stamps and values of the total
    if (m_showTotal) {
        return sourceColumn <= 1;
    }
    return sourceColumn > 1;
}
