/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The application-wide style: the platform default, except that the rubber
    band used to select a time range on the charts is drawn as a filled
    rectangle instead of a masked outline.
*/

#pragma once

#include <QProxyStyle>

class ProxyStyle : public QProxyStyle
{
    Q_OBJECT
public:
    ProxyStyle();
    ~ProxyStyle() override;

    int styleHint(StyleHint hint, const QStyleOption *option = nullptr, const QWidget *widget = nullptr, QStyleHintReturn *returnData = nullptr) const override;
};
