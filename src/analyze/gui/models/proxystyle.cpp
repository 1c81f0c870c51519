/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/proxystyle.h"

#include <QWidget>

ProxyStyle::ProxyStyle() = default;

ProxyStyle::~ProxyStyle() = default;

int ProxyStyle::styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget, QStyleHintReturn *returnData) const
{
    // A masked rubber band only shows its frame; the charts want the selected
    // time range to be visible as a whole. Matched by class name so that the
    // style needs no link to the chart widgets.
    if (hint == QStyle::SH_RubberBand_Mask && widget && qstrcmp(widget->metaObject()->className(), "ChartRubberBand") == 0) {
        return 0;
    }
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}
