/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/topproxy.h"

#include "analyze/gui/models/treemodel.h"

TopProxy::TopProxy(Type type, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_type(type)
{
}

TopProxy::~TopProxy() = default;

void TopProxy::setSourceModel(QAbstractItemModel *sourceModel)
{
    disconnect(m_sourceReset);
    m_tree = qobject_cast<const TreeModel *>(sourceModel);
    if (sourceModel) {
        // Both a new tree and a new summary reset the tree model, and either
        // changes the threshold. Connected ahead of the proxy's own handling of
        // the reset, which filters and sorts the new rows: with the threshold of
        // the old rows (none before the first tree) it would let nearly every
        // row of a large tree through and sort them all.
        m_sourceReset = connect(sourceModel, &QAbstractItemModel::modelReset, this, [this]() {
            m_costThreshold = costThreshold();
        });
    }
    QSortFilterProxyModel::setSourceModel(sourceModel);
    updateCostThreshold();
}

qint64 TopProxy::costThreshold() const
{
    qint64 total = 0;
    if (const auto *source = sourceModel()) {
        // the maximum-cost role gives the total of the column, whichever row is asked
        total = source->index(0, costColumn()).data(TreeModel::MaxCostRole).toLongLong();
    }
    return static_cast<qint64>(static_cast<double>(total) * 0.01);
}

void TopProxy::updateCostThreshold()
{
    m_costThreshold = costThreshold();
    invalidateFilter();
}

bool TopProxy::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (sourceParent.isValid()) {
        return false;
    }
    const auto index = sourceModel()->index(sourceRow, costColumn(), sourceParent);
    const qint64 cost = m_tree ? m_tree->costSortKey(index) : index.data(TreeModel::SortRole).toLongLong();
    return cost != 0 && cost >= m_costThreshold;
}

bool TopProxy::filterAcceptsColumn(int sourceColumn, const QModelIndex & /*sourceParent*/) const
{
    return sourceColumn == TreeModel::LocationColumn || sourceColumn == costColumn();
}
