/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The leak suppression rules applied to a data set, with what each matched.
*/

#pragma once

#include <QAbstractTableModel>
#include <QVector>

#include "analyze/gui/analysis/summarydata.h"
#include "analyze/gui/models/costcolumns.h"

class SuppressionsModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit SuppressionsModel(QObject *parent = nullptr);
    ~SuppressionsModel() override;

    enum Columns {
        Matches = 0,
        Leaked,
        Pattern,
        COLUMN_COUNT,
    };

    enum Roles {
        SortRole = CostModel::SortRole,
        TotalCostRole = CostModel::TotalCostRole,
    };

    void setSuppressions(const SummaryData &summaryData);

    int columnCount(const QModelIndex &parent = {}) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    QVector<Suppression> m_suppressions;
    qint64 m_totalAllocations = 0;
    qint64 m_totalLeaked = 0;
    qint64 m_totalLeakedBeforeSuppression = 0;
};
