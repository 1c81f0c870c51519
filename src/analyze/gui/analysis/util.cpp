/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/util.h"

#include <KFormat>
#include <KLocalizedString>

#include <QLocale>
#include <QStringList>

#include "analyze/allocationdata.h"
#include "analyze/tracediagnostics.h"

#include "analyze/gui/analysis/locationdata.h"
#include "analyze/gui/analysis/resultdata.h"

namespace
{
const KFormat &byteFormatter()
{
    static const KFormat format(QLocale{});
    return format;
}

struct CostKind {
    QString label;
    int64_t AllocationData::*field;
};

std::array<CostKind, 4> costKinds()
{
    return {{{i18n("Peak"), &AllocationData::peak},
             {i18n("Leaked"), &AllocationData::leaked},
             {i18n("Allocations"), &AllocationData::allocations},
             {i18n("Temporary Allocations"), &AllocationData::temporary}}};
}

QString selfAndInclusiveTooltip(QString toolTip, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData)
{
    const auto &totals = resultData.totalCosts();
    for (const auto &kind : costKinds()) {
        const qint64 total = totals.*kind.field;
        if (!total) {
            continue;
        }
        const qint64 self = selfCosts.*kind.field;
        const qint64 inclusive = inclusiveCosts.*kind.field;
        toolTip += QLatin1String("<hr/>")
            + i18n("%1 (self): %2<br/>&nbsp;&nbsp;%4% out of %3 total", kind.label, self, total, Util::formatCostRelative(self, total)) + QLatin1String("<br/>")
            + i18n("%1 (inclusive): %2<br/>&nbsp;&nbsp;%4% out of %3 total", kind.label, inclusive, total, Util::formatCostRelative(inclusive, total));
    }
    return QLatin1String("<qt>") + toolTip + QLatin1String("</qt>");
}
}

QString Util::basename(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return path.mid(slash + 1);
}

QString Util::formatString(const QString &input)
{
    return input.isEmpty() ? i18n("??") : input;
}

QString Util::formatTime(qint64 ms)
{
    // qint64 absolute value: the smallest value has none, take it as unsigned
    const quint64 a = ms < 0 ? static_cast<quint64>(-(ms + 1)) + 1 : static_cast<quint64>(ms);
    if (a < 1000) {
        return QString::number(ms) + QLatin1String("ms");
    }

    const quint64 totalSeconds = a / 1000;
    const quint64 days = totalSeconds / 86400;
    const quint64 hours = (totalSeconds / 3600) % 24;
    const quint64 minutes = (totalSeconds / 60) % 60;
    const quint64 seconds = totalSeconds % 60;

    QString ret;
    if (days > 0) {
        ret += QString::number(days) + QLatin1Char('d');
    }
    if (hours > 0) {
        ret += QString::number(hours) + QLatin1Char('h');
    }
    if (minutes > 0) {
        ret += QString::number(minutes) + QLatin1String("min");
    }
    const bool showMs = ret.isEmpty();
    ret += QStringLiteral("%1").arg(seconds, 2, 10, QLatin1Char('0'));
    if (showMs) {
        ret += QLatin1Char('.') + QStringLiteral("%1").arg(a % 1000, 3, 10, QLatin1Char('0'));
    }
    ret += QLatin1Char('s');
    if (ms < 0) {
        ret.prepend(QLatin1Char('-'));
    }
    return ret;
}

QString Util::formatBytes(qint64 bytes)
{
    auto ret = byteFormatter().formatByteSize(static_cast<double>(bytes), 1, KFormat::MetricBinaryDialect, KFormat::DefaultBinaryUnits);
    return ret.remove(QLatin1Char(' '));
}

QString Util::formatCostRelative(qint64 cost, qint64 total, bool addPercentSign)
{
    if (!total) {
        return {};
    }
    auto ret = QString::number(static_cast<double>(cost) * 100.0 / static_cast<double>(total), 'g', 3);
    if (addPercentSign) {
        ret.append(QLatin1Char('%'));
    }
    return ret;
}

QString Util::toString(const Symbol &symbol, const ResultData &resultData, FormatType formatType)
{
    const auto binaryPath = resultData.string(static_cast<StringIndex>(symbol.moduleId));
    const auto binaryName = basename(binaryPath);
    const auto function = resultData.string(symbol.functionId);
    if (formatType == FormatType::Short) {
        return i18nc("%1: function name, %2: binary basename", "%1 in %2", function, binaryName);
    }
    return i18n("symbol: <tt>%1</tt><br/>binary: <tt>%2 (%3)</tt>", function.toHtmlEscaped(), binaryName.toHtmlEscaped(), binaryPath.toHtmlEscaped());
}

QString Util::toString(const FileLine &location, const ResultData &resultData, FormatType formatType)
{
    auto file = resultData.string(static_cast<StringIndex>(location.fileId));
    if (formatType == FormatType::Short) {
        file = basename(file);
    }
    if (file.isEmpty()) {
        return QStringLiteral("??");
    }
    return file + QLatin1Char(':') + QString::number(location.line);
}

const QString &Util::unresolvedFunctionName()
{
    static const QString name = i18n("<unresolved function>");
    return name;
}

QString Util::formatTooltip(const Symbol &symbol, const AllocationData &costs, const ResultData &resultData)
{
    QString toolTip = toString(symbol, resultData, FormatType::Long);
    const auto &totals = resultData.totalCosts();
    for (const auto &kind : costKinds()) {
        const qint64 total = totals.*kind.field;
        if (!total) {
            continue;
        }
        const qint64 cost = costs.*kind.field;
        toolTip += QLatin1String("<hr/>") + i18n("%1: %2<br/>&nbsp;&nbsp;%4% out of %3 total", kind.label, cost, total, formatCostRelative(cost, total));
    }
    return QLatin1String("<qt>") + toolTip + QLatin1String("</qt>");
}

QString Util::formatTooltip(const Symbol &symbol, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData)
{
    return selfAndInclusiveTooltip(toString(symbol, resultData, FormatType::Long), selfCosts, inclusiveCosts, resultData);
}

QString Util::formatTooltip(const FileLine &location, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData)
{
    return selfAndInclusiveTooltip(toString(location, resultData, FormatType::Long).toHtmlEscaped(), selfCosts, inclusiveCosts, resultData);
}

QString Util::formatCount(qint64 count)
{
    return QLocale().toString(count);
}

QString Util::diagnosticsText(const TraceDiagnostics &diagnostics)
{
    if (diagnostics.empty()) {
        return {};
    }
    const auto kindText = [](int kind, qint64 count) {
        const auto number = formatCount(count);
        switch (kind) {
        case TraceDiagnostics::UnknownRecord:
            return i18np("%2 unknown record", "%2 unknown records", count, number);
        case TraceDiagnostics::UnreadableNumber:
            return i18np("%2 line with an unreadable number", "%2 lines with unreadable numbers", count, number);
        case TraceDiagnostics::UnreadableRecord:
            return i18np("%2 record with unreadable fields", "%2 records with unreadable fields", count, number);
        case TraceDiagnostics::UnreadableTimeStamp:
            return i18np("%2 unreadable time stamp", "%2 unreadable time stamps", count, number);
        case TraceDiagnostics::IndexOutOfBounds:
            return i18np("%2 allocation index out of bounds", "%2 allocation indices out of bounds", count, number);
        }
        return QString();
    };

    QStringList parts;
    for (int kind = 0; kind < TraceDiagnostics::NumKinds; ++kind) {
        if (kind == TraceDiagnostics::TruncatedInput || kind == TraceDiagnostics::CorruptInput) {
            continue;
        }
        const auto &entry = diagnostics.entries[static_cast<std::size_t>(kind)];
        if (entry.count == 0) {
            continue;
        }
        auto part = kindText(kind, entry.count);
        if (!entry.samples.empty()) {
            const auto &first = entry.samples.front();
            part +=
                i18n(" (first at line %1: \"%2\")", formatCount(first.lineNumber), QString::fromUtf8(first.line.data(), static_cast<int>(first.line.size())));
        }
        parts.append(part);
    }

    QString text;
    const auto lines = diagnostics.unreadableLines();
    if (lines > 0) {
        text = i18np("%2 line could not be read: %3.", "%2 lines could not be read: %3.", lines, formatCount(lines), parts.join(QStringLiteral(", ")));
    }
    const auto addSentence = [&text](const QString &sentence) {
        if (!text.isEmpty()) {
            text += QLatin1Char(' ');
        }
        text += sentence;
    };
    if (diagnostics.count(TraceDiagnostics::TruncatedInput) > 0) {
        addSentence(i18n("The file ends early: it may have been cut off while it was written."));
    }
    if (diagnostics.count(TraceDiagnostics::CorruptInput) > 0) {
        addSentence(i18n("The file is damaged: the rest of it could not be decompressed."));
    }
    return text;
}
