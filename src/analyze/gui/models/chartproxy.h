/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Splits a chart model into its total and its per-call-site data sets, one
    proxy each, so the chart widget can draw them as separate diagrams.
*/

#pragma once

#include <QSortFilterProxyModel>

class ChartProxy : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit ChartProxy(bool showTotal, QObject *parent = nullptr);
    ~ChartProxy() override;

protected:
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex &sourceParent) const override;

private:
    const bool m_showTotal;
};
