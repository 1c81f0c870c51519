/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    One time series of the analysis as a table a KChart line diagram draws:
    two columns (time, value) per data set, the total first.
*/

#pragma once

#include <QAbstractTableModel>
#include <QBrush>
#include <QPen>
#include <QVector>

#include "analyze/gui/analysis/chartdata.h"

class ChartModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Type {
        Consumed = 0,
        Allocations = 1,
        Temporary = 2,
    };

    explicit ChartModel(Type type, QObject *parent = nullptr);
    ~ChartModel() override;

    Type type() const
    {
        return m_type;
    }

    QString typeString() const;

    // The chart widget passes its spin box value plus one: the total counts as a data set.
    void setMaximumDatasetCount(int count);

    // The total of the last sample not after timeStamp; 0 before the first sample.
    qint64 totalCostAt(qint64 timeStamp) const;

    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;

public Q_SLOTS:
    void resetData(const ChartData &data);
    void clearData();

private:
    void resetColors();
    void resetLegendSuffixes();
    int shownDatasetCount(int maxDatasetCount) const;

    ChartData m_data;
    const Type m_type;
    QVector<QPen> m_columnDataSetPens;
    QVector<QBrush> m_columnDataSetBrushes;
    int m_maxDatasetCount = 11;
    // by data set: what sets its legend name apart from others of one function name
    QHash<int, QString> m_legendSuffixes;
};
