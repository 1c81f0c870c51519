/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The complete backtraces through one row of a cost tree, one at a time.
*/

#pragma once

#include <QAbstractListModel>
#include <QVector>

class StacksModel final : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit StacksModel(QObject *parent);
    ~StacksModel() override;

    // One stack per leaf below @p index (an index of the tree model), each from
    // the top level down to the leaf.
    void fillFromIndex(const QModelIndex &index);
    void clear();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

public Q_SLOTS:
    // @p index is one-based, as shown by the stack spin box
    void setStackIndex(int index);

Q_SIGNALS:
    void stacksFound(int stacks);

private:
    // Plain indices: the owner refills or clears this model before the tree model resets.
    QVector<QVector<QModelIndex>> m_data;
    int m_stackIndex = 0;
};
