/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/costheaderview.h"

#include <QMenu>
#include <QStyle>

#include <algorithm>

CostHeaderView::CostHeaderView(QWidget *parent)
    : QHeaderView(Qt::Horizontal, parent)
{
    setSectionsMovable(true);
    setFirstSectionMovable(false);
    setDefaultSectionSize(100);
    setStretchLastSection(false);

    connect(this, &QHeaderView::sectionCountChanged, this, [this](int oldCount, int newCount) {
        const bool wasResizing = m_isResizing;
        m_isResizing = true;
        for (int i = std::max(oldCount, 1); i < newCount; ++i) {
            resizeSection(i, costSectionSize(i));
        }
        m_isResizing = wasResizing;
        resizeColumns(false);
    });
    connect(this, &QHeaderView::sectionResized, this, &CostHeaderView::onSectionResized);

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &CostHeaderView::showContextMenu);
}

CostHeaderView::~CostHeaderView() = default;

void CostHeaderView::resizeEvent(QResizeEvent *event)
{
    QHeaderView::resizeEvent(event);
    resizeColumns(false);
}

int CostHeaderView::costSectionSize(int logicalIndex) const
{
    // A centred title wider than its column is cut on both sides
    // ("llocations (Incl"): such a column starts as wide as its title.
    if (!model()) {
        return defaultSectionSize();
    }
    const QString title = model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this);
    int needed = fontMetrics().horizontalAdvance(title) + 2 * margin;
    if (isSortIndicatorShown()) {
        needed += style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, this) + margin;
    }
    return std::max(defaultSectionSize(), needed);
}

void CostHeaderView::resizeColumns(bool reset)
{
    if (count() == 0) {
        return;
    }

    const bool wasResizing = m_isResizing;
    m_isResizing = true;

    int available = width();
    for (int i = count() - 1; i >= 1; --i) {
        if (reset) {
            resizeSection(i, costSectionSize(i));
        }
        if (!isSectionHidden(i)) {
            available -= sectionSize(i);
        }
    }
    resizeSection(0, std::max(available, defaultSectionSize()));

    m_isResizing = wasResizing;
}

void CostHeaderView::onSectionResized(int logicalIndex, int oldSize, int newSize)
{
    // Our own resizes come through here as well; only the user's are answered.
    if (m_isResizing) {
        return;
    }
    m_isResizing = true;

    if (logicalIndex != 0) {
        // Keep the total width: the location column gives or takes the difference.
        resizeSection(0, sectionSize(0) + oldSize - newSize);
    } else {
        int total = 0;
        for (int i = 0; i < count(); ++i) {
            total += sectionSize(i);
        }
        const int excess = total - width();
        const int visible = count() - hiddenSectionCount();
        if (visible > 0) {
            // The location column counts towards the shares but keeps the size
            // the user gave it, so the cost columns give up one share less than
            // the excess and the header ends up that much wider than the view.
            const int share = excess / visible;
            const int remainder = excess % visible;
            const int last = count() - 1;
            for (int i = 1; i <= last; ++i) {
                if (isSectionHidden(i)) {
                    continue;
                }
                int size = sectionSize(i) - share;
                if (i == last) {
                    size -= remainder;
                }
                resizeSection(i, size);
            }
        }
    }

    m_isResizing = false;
}

void CostHeaderView::fillContextMenu(QMenu *menu)
{
    auto *resetAction = menu->addAction(tr("Reset Column Sizes"));
    connect(resetAction, &QAction::triggered, this, [this]() {
        resizeColumns(true);
    });

    if (count() <= 1) {
        return;
    }

    // The location column stays; only cost columns can be hidden.
    auto *columnsMenu = menu->addMenu(tr("Visible Columns"));
    for (int i = 1; i < count(); ++i) {
        auto *action = columnsMenu->addAction(model()->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString());
        action->setCheckable(true);
        action->setChecked(!isSectionHidden(i));
        connect(action, &QAction::toggled, this, [this, i](bool visible) {
            setSectionHidden(i, !visible);
        });
    }
}

void CostHeaderView::showContextMenu(const QPoint &pos)
{
    QMenu menu;
    fillContextMenu(&menu);
    menu.exec(mapToGlobal(pos));
}
