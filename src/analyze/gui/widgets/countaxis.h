/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    A value axis of counts, its labels grouped as the locale groups numbers, as
    in the tables and tooltips.
*/

#pragma once

#include <cmath>

#include <QLocale>
#include <QString>

#include <KChartCartesianAxis>

class CountAxis : public KChart::CartesianAxis
{
public:
    explicit CountAxis(KChart::AbstractCartesianDiagram *diagram)
        : CartesianAxis(diagram)
    {
    }

    const QString customizedLabel(const QString &label) const override
    {
        bool ok = false;
        const qint64 count = label.toLongLong(&ok);
        if (ok) {
            return QLocale().toString(count);
        }
        // large values may come in exponent notation; fractions of a small range stay as they are
        const double number = label.toDouble(&ok);
        if (ok && std::abs(number) < 9e18 && number == std::floor(number)) {
            return QLocale().toString(static_cast<qint64>(number));
        }
        return label;
    }
};
