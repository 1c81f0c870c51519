/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Header of the trees and tables that have a location column followed by
    cost columns: the location column takes whatever width the cost columns
    leave, and a context menu resets the sizes and hides or shows cost columns.
*/

#pragma once

#include <QHeaderView>

class QMenu;

class CostHeaderView : public QHeaderView
{
    Q_OBJECT
public:
    explicit CostHeaderView(QWidget *parent = nullptr);
    ~CostHeaderView() override;

    // Adds the entries of the header's context menu to menu; the actions are
    // owned by menu and act on this header.
    void fillContextMenu(QMenu *menu);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void resizeColumns(bool reset);
    // the size a cost column starts with and returns to on a reset
    int costSectionSize(int logicalIndex) const;
    void onSectionResized(int logicalIndex, int oldSize, int newSize);
    void showContextMenu(const QPoint &pos);

    bool m_isResizing = false;
};
