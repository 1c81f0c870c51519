/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The allocation-size histogram as a bar chart: the total per size class
    beside the stacked contributions of the functions that allocated most.
*/

#pragma once

#include <QWidget>

class QAbstractItemModel;

namespace KChart
{
class Chart;
class BarDiagram;
}

class HistogramWidget : public QWidget
{
    Q_OBJECT
public:
    explicit HistogramWidget(QWidget *parent = nullptr);
    ~HistogramWidget() override;

    void setModel(QAbstractItemModel *model);

private:
    KChart::Chart *m_chart;
    KChart::BarDiagram *m_total;
    KChart::BarDiagram *m_detailed;
};
