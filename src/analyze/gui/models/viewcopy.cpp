/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/viewcopy.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QSet>
#include <QShortcut>
#include <QTreeView>
#include <QVector>

namespace
{
// row numbers from the top level down: ordered like that, rows come in the order a tree shows them
QVector<int> rowPath(QModelIndex index)
{
    QVector<int> path;
    while (index.isValid()) {
        path.prepend(index.row());
        index = index.parent();
    }
    return path;
}

QVector<int> visibleColumns(const QAbstractItemView *view)
{
    QVector<int> columns;
    const auto *model = view->model();
    if (const auto *tree = qobject_cast<const QTreeView *>(view)) {
        const auto *header = tree->header();
        for (int visual = 0; visual < header->count(); ++visual) {
            const int logical = header->logicalIndex(visual);
            if (!header->isSectionHidden(logical)) {
                columns.append(logical);
            }
        }
        return columns;
    }
    for (int column = 0; column < model->columnCount(); ++column) {
        columns.append(column);
    }
    return columns;
}
}

QString ViewCopy::rowsText(const QAbstractItemView *view)
{
    const auto *model = view->model();
    const auto *selection = view->selectionModel();
    if (!model || !selection) {
        return {};
    }
    QVector<QModelIndex> rows;
    // a whole selected row comes as one index per column
    QSet<QModelIndex> seen;
    const auto selected = selection->selectedIndexes();
    for (const auto &index : selected) {
        const auto first = index.sibling(index.row(), 0);
        if (!seen.contains(first)) {
            seen.insert(first);
            rows.append(first);
        }
    }
    if (rows.isEmpty() && selection->currentIndex().isValid()) {
        const auto current = selection->currentIndex();
        rows.append(current.sibling(current.row(), 0));
    }
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &lhs, const QModelIndex &rhs) {
        return rowPath(lhs) < rowPath(rhs);
    });

    const auto columns = visibleColumns(view);
    QString text;
    for (const auto &row : qAsConst(rows)) {
        QStringList cells;
        for (int column : columns) {
            cells.append(row.sibling(row.row(), column).data().toString());
        }
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

QShortcut *ViewCopy::installCopyShortcut(QAbstractItemView *view)
{
    auto *shortcut = new QShortcut(QKeySequence::Copy, view);
    // each view copies its own rows: a window-wide shortcut would be ambiguous
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    QObject::connect(shortcut, &QShortcut::activated, view, [view]() {
        const QString text = rowsText(view);
        if (!text.isEmpty()) {
            QGuiApplication::clipboard()->setText(text);
        }
    });
    return shortcut;
}

CurrentRowKeeper::CurrentRowKeeper(QAbstractItemView *view)
    : QObject(view)
    , m_view(view)
{
    auto *model = view->model();
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, &CurrentRowKeeper::remember);
    connect(model, &QAbstractItemModel::modelReset, this, &CurrentRowKeeper::restore);
    // a row the user picks replaces one still waiting to come back
    connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex &current) {
        if (current.isValid()) {
            m_path.clear();
        }
    });
}

CurrentRowKeeper::~CurrentRowKeeper() = default;

void CurrentRowKeeper::remember()
{
    auto index = m_view->selectionModel()->currentIndex();
    if (!index.isValid()) {
        // an empty model in between (a cleared one) keeps what was remembered before
        return;
    }
    m_path.clear();
    for (; index.isValid(); index = index.parent()) {
        m_path.prepend(index.sibling(index.row(), 0).data().toString());
    }
}

void CurrentRowKeeper::restore()
{
    const auto *model = m_view->model();
    if (m_path.isEmpty() || model->rowCount() == 0) {
        return;
    }
    const QStringList path = m_path;
    m_path.clear();
    QModelIndex parent;
    for (const auto &text : path) {
        QModelIndex found;
        for (int row = 0, rows = model->rowCount(parent); row < rows; ++row) {
            const auto index = model->index(row, 0, parent);
            if (index.data().toString() == text) {
                found = index;
                break;
            }
        }
        if (!found.isValid()) {
            // the row is gone: nothing of it to show
            return;
        }
        parent = found;
    }
    m_view->selectionModel()->setCurrentIndex(parent, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_view->scrollTo(parent);
}
