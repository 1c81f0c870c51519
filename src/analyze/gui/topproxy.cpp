#include "topproxy.h"

#include "treemodel.h"

TopProxy::TopProxy(Type type, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_type(type)
{
}

TopProxy::~TopProxy() = default;

void TopProxy::setSourceModel(QAbstractItemModel *sourceModel)
{
    if (auto *oldSource = this->sourceModel()) {
        disconnect(oldSource, &QAbstractItemModel::modelReset, this, &TopProxy::updateCostThreshold);
    }
    QSortFilterProxyModel::setSourceModel(sourceModel);
    if (sourceModel) {
        // both a new tree and a new summary reset the tree model, and either changes the threshold
        connect(sourceModel, &QAbstractItemModel::modelReset, this, &TopProxy::updateCostThreshold, Qt::UniqueConnection);
    }
    updateCostThreshold();
}

void TopProxy::updateCostThreshold()
{
    qint64 total = 0;
    if (const auto *source = sourceModel()) {
        // the maximum-cost role gives the total of the column, whichever row is asked
        total = source->index(0, costColumn()).data(TreeModel::MaxCostRole).toLongLong();
    }
    m_costThreshold = static_cast<qint64>(static_cast<double>(total) * 0.01);
    invalidateFilter();
}

bool TopProxy::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (sourceParent.isValid()) {
        return false;
    }
    const qint64 cost = sourceModel()->index(sourceRow, costColumn(), sourceParent).data(TreeModel::SortRole).toLongLong();
    return cost != 0 && cost >= m_costThreshold;
}

bool TopProxy::filterAcceptsColumn(int sourceColumn, const QModelIndex & /*sourceParent*/) const
{
    return sourceColumn == TreeModel::LocationColumn || sourceColumn == costColumn();
}
