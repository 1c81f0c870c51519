/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/stacksmodel.h"

#include <algorithm>

#include <KLocalizedString>

namespace
{
// Depth first in row order, without recursion: a bottom-up tree is as deep as
// the deepest backtrace.
QVector<QModelIndex> collectLeaves(const QModelIndex &root)
{
    QVector<QModelIndex> leaves;
    const auto *model = root.model();
    QVector<QModelIndex> pending = {root};
    while (!pending.isEmpty()) {
        const auto index = pending.takeLast();
        const int children = model->rowCount(index);
        if (children == 0) {
            leaves.append(index);
            continue;
        }
        for (int row = children - 1; row >= 0; --row) {
            pending.append(model->index(row, 0, index));
        }
    }
    return leaves;
}
}

StacksModel::StacksModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

StacksModel::~StacksModel() = default;

void StacksModel::fillFromIndex(const QModelIndex &index)
{
    if (!index.isValid()) {
        clear();
        return;
    }

    const auto leaves = collectLeaves(index.sibling(index.row(), 0));

    beginResetModel();
    m_data.clear();
    m_data.resize(leaves.size());
    m_stackIndex = 0;
    for (int i = 0; i < leaves.size(); ++i) {
        auto &stack = m_data[i];
        for (auto current = leaves.at(i); current.isValid(); current = current.parent()) {
            stack.append(current);
        }
        std::reverse(stack.begin(), stack.end());
    }
    endResetModel();

    Q_EMIT stacksFound(m_data.size());
}

void StacksModel::clear()
{
    beginResetModel();
    m_data.clear();
    endResetModel();

    Q_EMIT stacksFound(0);
}

void StacksModel::setStackIndex(int index)
{
    beginResetModel();
    m_stackIndex = index - 1;
    endResetModel();
}

int StacksModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || m_stackIndex < 0 || m_stackIndex >= m_data.size()) {
        return 0;
    }
    return m_data.at(m_stackIndex).size();
}

QVariant StacksModel::data(const QModelIndex &index, int role) const
{
    if (!hasIndex(index.row(), index.column(), index.parent())) {
        return {};
    }
    const auto entry = m_data.at(m_stackIndex).value(index.row());
    if (!entry.model()) {
        return {};
    }
    return entry.data(role);
}

QVariant StacksModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        return i18n("Backtrace");
    }
    return {};
}
