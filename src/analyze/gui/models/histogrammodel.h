/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The allocation-size histogram as a table a KChart bar diagram draws: one row
    per size class, the class total and its top functions as columns.
*/

#pragma once

#include <QAbstractTableModel>

#include "analyze/gui/analysis/histogramdata.h"

class HistogramModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit HistogramModel(QObject *parent = nullptr);
    ~HistogramModel() override;

    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;

    void resetData(const HistogramData &data);
    void clearData();

private:
    HistogramData m_data;
};
