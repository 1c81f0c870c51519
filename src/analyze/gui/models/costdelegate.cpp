/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/costdelegate.h"

#include <QPainter>

#include "analyze/gui/analysis/util.h"

#include <algorithm>
#include <cmath>

CostDelegate::CostDelegate(int sortRole, int maxCostRole, QObject *parent)
    : QStyledItemDelegate(parent)
    , m_sortRole(sortRole)
    , m_maxCostRole(maxCostRole)
{
}

CostDelegate::~CostDelegate() = default;

QString CostDelegate::displayText(const QVariant &value, const QLocale &locale) const
{
    switch (static_cast<QMetaType::Type>(value.userType())) {
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULong:
        return Util::formatCount(value.toLongLong());
    default:
        return QStyledItemDelegate::displayText(value, locale);
    }
}

float CostDelegate::barFraction(qint64 cost, qint64 maxCost)
{
    // Taking the magnitude of the quotient keeps the bar non-negative even when
    // a diff makes the total negative. A zero total yields infinity, which the
    // cap turns into a full bar.
    const float fraction = std::abs(static_cast<float>(cost) / static_cast<float>(maxCost));
    return std::min(fraction, 1.0f);
}

QColor CostDelegate::barColor(float fraction)
{
    const auto hue = static_cast<int>(120.0f - fraction * 120.0f);
    const auto alpha = static_cast<int>(120.0f - (fraction - 1.0f) * (fraction - 1.0f) * 120.0f);
    return QColor::fromHsv(hue, 255, 255, alpha);
}

void CostDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // Text cells (e.g. the location column of a view that uses this delegate
    // throughout) do not convert and come out as 0, so they get no bar. Models
    // hand costs over signed or unsigned; the cast back to signed recovers
    // negative diff costs either way.
    const auto cost = index.data(m_sortRole).toULongLong();
    if (cost == 0) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const auto maxCost = index.data(m_maxCostRole).toULongLong();
    const float fraction = barFraction(static_cast<qint64>(cost), static_cast<qint64>(maxCost));

    QRect barRect = option.rect;
    barRect.setWidth(static_cast<int>(option.rect.width() * fraction));

    const QBrush oldBrush = painter->brush();
    const QPen oldPen = painter->pen();
    painter->setPen(Qt::NoPen);

    const bool isAlternate = option.features & QStyleOptionViewItem::Alternate;
    if (isAlternate) {
        painter->fillRect(option.rect, option.palette.brush(QPalette::AlternateBase));
    }

    painter->setBrush(barColor(fraction));
    painter->drawRect(barRect);

    painter->setBrush(oldBrush);
    painter->setPen(oldPen);

    if (isAlternate) {
        // The alternate background is already down; the standard painting
        // would draw it again over the bar.
        QStyleOptionViewItem content = option;
        content.features &= ~QStyleOptionViewItem::Alternate;
        QStyledItemDelegate::paint(painter, content, index);
    } else {
        QStyledItemDelegate::paint(painter, option, index);
    }
}
