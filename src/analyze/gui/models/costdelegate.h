/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Paints a cost bar behind the text of a cost cell: its length is the cost
    relative to the total of that cost kind, its colour runs from green for
    small costs to red for large ones.
*/

#pragma once

#include <QColor>
#include <QStyledItemDelegate>

class CostDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    // sortRole gives a cell's cost, maxCostRole the total it is measured against.
    CostDelegate(int sortRole, int maxCostRole, QObject *parent = nullptr);
    ~CostDelegate() override;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // Counts grouped as the summary and the tooltips group them: item views
    // otherwise drop the group separator ("72444" next to "72,444").
    QString displayText(const QVariant &value, const QLocale &locale) const override;

    // The share of the cell width the bar covers, in [0, 1]. Diffs produce negative
    // costs and costs above the total; a total of 0 gives a full bar.
    static float barFraction(qint64 cost, qint64 maxCost);
    static QColor barColor(float fraction);

private:
    int m_sortRole;
    int m_maxCostRole;
};
