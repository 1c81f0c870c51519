/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    One cost tree (bottom-up or top-down) as a five-column item model.
*/

#pragma once

#include <QAbstractItemModel>

#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/summarydata.h"
#include "analyze/gui/analysis/treedata.h"
#include "analyze/gui/models/costcolumns.h"
#include "analyze/gui/models/sortkeys.h"

class TreeModel : public QAbstractItemModel, public SortKeySource
{
    Q_OBJECT
public:
    explicit TreeModel(QObject *parent);
    ~TreeModel() override;

    enum Columns {
        LocationColumn = CostModel::LocationColumn,
        PeakColumn = CostModel::PeakColumn,
        LeakedColumn = CostModel::LeakedColumn,
        AllocationsColumn = CostModel::AllocationsColumn,
        TemporaryColumn = CostModel::TemporaryColumn,
        NUM_COLUMNS = CostModel::NumColumns
    };

    enum Roles {
        SortRole = CostModel::SortRole,
        MaxCostRole = CostModel::TotalCostRole,
        SymbolRole = CostModel::FirstModelRole,
        ResultDataRole,
    };

    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;

    bool costLessThan(const QModelIndex &left, const QModelIndex &right) const override;
    // What the sort role holds for @p index of a cost column, as a number; 0 for
    // an index of no row.
    qint64 costSortKey(const QModelIndex &index) const;
    Symbol symbolAt(const QModelIndex &index) const override;
    const ResultData *sortResultData() const override;

public Q_SLOTS:
    void resetData(const TreeData &data);
    void setSummary(const SummaryData &data);
    void clearData();

private:
    // The row an index denotes, or null for an invalid index.
    const RowData *toRow(const QModelIndex &index) const;
    // The position of @p row among its siblings.
    int rowOf(const RowData *row) const;
    QString locationText(const Symbol &symbol) const;
    QString toolTip(const RowData &row) const;
    // what the sort role holds for a cost column
    static qint64 sortKey(const RowData &row, int column);
    static void collectLargestCosts(const QVector<RowData> &rows, AllocationData *largest);
    // what the cost bars and the top lists measure against
    const RowData *maxCostRow() const;

    TreeData m_data;
    // only the cost is used: the totals of the whole data set
    RowData m_maxCost;
    // only the cost is used, and only in a diff: the largest magnitude of each
    // kind among all rows, since a diff's net totals can be near zero
    RowData m_largestCost;
};
