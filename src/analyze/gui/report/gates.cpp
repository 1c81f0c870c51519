/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/report/gates.h"

#include <cmath>

#include <QRegularExpression>

#include <KLocalizedString>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/report/jsonwriter.h"

namespace
{
const char *kindName(Limit::Kind kind)
{
    switch (kind) {
    case Limit::Peak:
        return "peak";
    case Limit::Leaked:
        return "leaked";
    case Limit::Allocations:
        return "allocations";
    case Limit::Temporary:
        return "temporary";
    }
    return "";
}

bool isBytes(Limit::Kind kind)
{
    return kind == Limit::Peak || kind == Limit::Leaked;
}

int64_t costOf(const AllocationData &cost, Limit::Kind kind)
{
    switch (kind) {
    case Limit::Peak:
        return cost.peak;
    case Limit::Leaked:
        return cost.leaked;
    case Limit::Allocations:
        return cost.allocations;
    case Limit::Temporary:
        return cost.temporary;
    }
    return 0;
}

double unitFactor(const QString &unit)
{
    const auto lower = unit.toLower();
    if (lower.isEmpty() || lower == QLatin1String("b")) {
        return 1;
    }
    const QString prefixes = QStringLiteral("kmgt");
    const int power = prefixes.indexOf(lower.at(0)) + 1;
    if (power == 0) {
        return 0;
    }
    const auto rest = lower.mid(1);
    if (rest == QLatin1String("b") || rest.isEmpty()) {
        return std::pow(1000.0, power);
    }
    if (rest == QLatin1String("ib")) {
        return std::pow(1024.0, power);
    }
    return 0;
}

QString formatValue(Limit::Kind kind, double value, bool signedValue)
{
    const auto rounded = static_cast<qint64>(std::llround(value));
    QString text = isBytes(kind) ? Util::formatBytes(rounded) : QString::number(rounded);
    if (signedValue && rounded > 0) {
        text.prepend(QLatin1Char('+'));
    }
    return text;
}
}

bool parseLimit(Limit::Kind kind, const QString &option, const QString &text, Limit *limit, QString *error)
{
    static const QRegularExpression pattern(QStringLiteral("^\\+?([0-9]+(?:\\.[0-9]+)?)\\s*([A-Za-z]*|%)$"));
    const auto match = pattern.match(text.trimmed());
    const auto example =
        isBytes(kind) ? i18n("a size such as 512, 64kB, 1.5MB or 2GB, or a growth such as +5%") : i18n("a whole number such as 1000, or a growth such as +5%");
    if (!match.hasMatch()) {
        *error = i18n("--%1: \"%2\" is not %3.", option, text, example);
        return false;
    }
    const double number = match.captured(1).toDouble();
    const auto unit = match.captured(2);
    limit->kind = kind;
    limit->given = text.trimmed();
    if (unit == QLatin1String("%")) {
        limit->relative = true;
        limit->bound = number;
        return true;
    }
    const double factor = isBytes(kind) ? unitFactor(unit) : (unit.isEmpty() ? 1 : 0);
    if (factor == 0 || (!isBytes(kind) && match.captured(1).contains(QLatin1Char('.')))) {
        *error = i18n("--%1: \"%2\" is not %3.", option, text, example);
        return false;
    }
    limit->bound = std::floor(number * factor);
    // beyond what any total can reach, and no longer exact as a double
    if (limit->bound > 9e18) {
        *error = i18n("--%1: \"%2\" is too large.", option, text);
        return false;
    }
    return true;
}

void evaluateLimits(std::vector<Limit> *limits, const AllocationData &total, const AllocationData &base, bool diffMode)
{
    for (auto &limit : *limits) {
        const auto value = static_cast<double>(costOf(total, limit.kind));
        limit.measuredFinite = true;
        if (limit.relative && diffMode) {
            const auto baseValue = static_cast<double>(costOf(base, limit.kind));
            if (baseValue > 0) {
                limit.measured = value * 100.0 / baseValue;
            } else {
                // no base figure to relate to: any growth is beyond every percentage
                limit.measured = 0;
                limit.measuredFinite = value <= 0;
            }
        } else {
            limit.measured = value;
        }
        limit.passed = limit.measuredFinite && limit.measured <= limit.bound;
    }
}

QStringList limitViolations(const std::vector<Limit> &limits, bool diffMode)
{
    QStringList lines;
    for (const auto &limit : limits) {
        if (limit.passed) {
            continue;
        }
        const QString name = QLatin1String(kindName(limit.kind));
        QString measured;
        if (!limit.measuredFinite) {
            measured = i18n("growth from nothing");
        } else if (limit.relative) {
            measured =
                i18nc("growth in percent", "growth %1%", (limit.measured > 0 ? QStringLiteral("+") : QString()) + QString::number(limit.measured, 'f', 1));
        } else if (diffMode) {
            measured = i18nc("growth of a cost", "growth %1", formatValue(limit.kind, limit.measured, true));
        } else {
            measured = formatValue(limit.kind, limit.measured, false);
        }
        lines.append(
            i18nc("%1: cost name, %2: measured value, %3: the limit as given", "memloupe: %1 %2 exceeds the limit of %3", name, measured, limit.given));
    }
    return lines;
}

void writeLimitsJson(JsonWriter &json, const std::vector<Limit> &limits, bool diffMode)
{
    json.beginObject();
    for (const auto &limit : limits) {
        json.key(kindName(limit.kind));
        json.beginObject();
        json.key("given");
        json.value(limit.given);
        json.key("relative");
        json.value(limit.relative);
        // what is bounded: the run's total, or with a diff base the growth over it
        json.key("of");
        json.value(diffMode ? "growth" : "total");
        json.key("limit");
        if (limit.relative) {
            json.value(limit.bound);
        } else {
            json.value(static_cast<int64_t>(limit.bound));
        }
        json.key("measured");
        if (!limit.measuredFinite) {
            json.null();
        } else if (limit.relative) {
            json.value(limit.measured);
        } else {
            json.value(static_cast<int64_t>(limit.measured));
        }
        json.key("passed");
        json.value(limit.passed);
        json.endObject();
    }
    json.endObject();
}
