/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The top-level rows of a cost tree that reach one percent of the total of one
    cost kind, with the location column and that cost column only.
*/

#pragma once

#include <QSortFilterProxyModel>

class TreeModel;

class TopProxy final : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    enum Type {
        Peak = 0,
        Leaked = 1,
        Allocations = 2,
        Temporary = 3,
    };

    TopProxy(Type type, QObject *parent);
    ~TopProxy() override;

    void setSourceModel(QAbstractItemModel *sourceModel) override;

public Q_SLOTS:
    void updateCostThreshold();

private:
    qint64 costThreshold() const;
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex &sourceParent) const override;
    // the tree model's cost columns follow the order of Type, after the location
    int costColumn() const
    {
        return static_cast<int>(m_type) + 1;
    }

    // the source as a tree model, whose cost it reads without a QVariant per row
    const TreeModel *m_tree = nullptr;
    QMetaObject::Connection m_sourceReset;
    const Type m_type;
    qint64 m_costThreshold = 0;
};
