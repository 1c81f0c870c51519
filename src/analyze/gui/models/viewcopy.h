/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Copying rows of a view as text, and keeping a view's current row across a
    reset of its model.
*/

#pragma once

#include <QObject>
#include <QStringList>

class QAbstractItemView;
class QShortcut;

namespace ViewCopy
{
// The selected rows of @p view, or else its current row, in the order the view
// shows them: one line per row, the visible columns in their visual order
// separated by tabs.
QString rowsText(const QAbstractItemView *view);

// Ctrl+C (the platform's copy key) while @p view has the focus puts rowsText on
// the clipboard.
QShortcut *installCopyShortcut(QAbstractItemView *view);
}

// A re-run resets the models and with them the views' current rows. This finds
// the row again, by the texts of its first column from the top level down, once
// the model has rows again; until then, and unless the user picks another row,
// the row is remembered.
class CurrentRowKeeper : public QObject
{
    Q_OBJECT
public:
    // @p view must have its model already; the keeper is the view's child.
    explicit CurrentRowKeeper(QAbstractItemView *view);
    ~CurrentRowKeeper() override;

private:
    void remember();
    void restore();

    QAbstractItemView *m_view;
    // first-column texts from the top level down to the row
    QStringList m_path;
};
