/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/app/summarypage.h"

#include <cmath>

#include <QRegularExpression>

#include <KLocalizedString>

#include "analyze/gui/analysis/summarydata.h"
#include "analyze/gui/analysis/util.h"

namespace
{
QString insertWordWrapMarkers(QString text)
{
    // a zero-width space after every 50 word characters lets long command lines wrap
    static const QRegularExpression longWords(QStringLiteral("(\\w{50})"));
    return text.replace(longWords, QStringLiteral("\\1\u200B"));
}
}

namespace SummaryPage
{
bool isFiltered(const SummaryData &data)
{
    const auto &filter = data.filterParameters;
    return filter.minTime != 0 || filter.maxTime < data.totalTime;
}

Texts texts(const SummaryData &data)
{
    const auto &filter = data.filterParameters;
    const bool isFiltered = SummaryPage::isFiltered(data);

    QString textLeft = QStringLiteral("<qt><dl>");
    const auto debuggee = insertWordWrapMarkers(data.debuggee).toHtmlEscaped();
    if (data.fromAttached) {
        textLeft += i18n("<dt><b>debuggee</b>:</dt><dd style='font-family:monospace;'>%1 <i>(attached)</i></dd>", debuggee);
    } else {
        textLeft += i18n("<dt><b>debuggee</b>:</dt><dd style='font-family:monospace;'>%1</dd>", debuggee);
    }
    if (isFiltered) {
        textLeft += i18n("<dt><b>total runtime</b>:</dt><dd>%1, filtered from %2 to %3 (%4)</dd>",
                         Util::formatTime(data.totalTime),
                         Util::formatTime(filter.minTime),
                         Util::formatTime(filter.maxTime),
                         Util::formatTime(filter.maxTime - filter.minTime));
    } else {
        textLeft += i18n("<dt><b>total runtime</b>:</dt><dd>%1</dd>", Util::formatTime(data.totalTime));
    }
    textLeft += i18n("<dt><b>total system memory</b>:</dt><dd>%1</dd>", Util::formatBytes(data.totalSystemMemory));
    textLeft += QStringLiteral("</dl></qt>");

    // A range of 0 ms has no rate, and a run without allocations no share of
    // temporary ones: those parts are left out or shown as 0.
    const double totalTimeS = static_cast<double>(filter.maxTime - filter.minTime) * 0.001;
    const bool hasRate = totalTimeS > 0 && !data.isDiff;
    const auto rate = [totalTimeS](int64_t count) {
        return Util::formatCount(static_cast<int64_t>(static_cast<double>(count) / totalTimeS));
    };
    const auto allocations = data.cost.allocations;
    const auto temporary = data.cost.temporary;
    float temporaryPercent = 0;
    if (allocations != 0) {
        temporaryPercent = std::round(static_cast<float>(temporary) * 100.f * 100.f / static_cast<float>(allocations)) / 100.f;
    }
    const auto percentText = QString::number(temporaryPercent, 'g');

    QString textCenter = QStringLiteral("<qt><dl>");
    if (data.isDiff) {
        // counts of a difference, over a difference of two run times: no rates
        textCenter += i18n("<dt><i>compared to base</i></dt>");
    }
    if (hasRate) {
        textCenter += i18n("<dt><b>calls to allocation functions</b>:</dt><dd>%1 (%2/s)</dd>", Util::formatCount(allocations), rate(allocations));
        textCenter += i18n("<dt><b>temporary allocations</b>:</dt><dd>%1 (%2%, %3/s)</dd>", Util::formatCount(temporary), percentText, rate(temporary));
    } else {
        textCenter += i18n("<dt><b>calls to allocation functions</b>:</dt><dd>%1</dd>", Util::formatCount(allocations));
        textCenter += i18n("<dt><b>temporary allocations</b>:</dt><dd>%1 (%2%)</dd>", Util::formatCount(temporary), percentText);
    }
    textCenter += QStringLiteral("</dl></qt>");

    QString textRight = QStringLiteral("<qt><dl>");
    textRight += i18n("<dt><b>peak heap memory consumption</b>:</dt><dd>%1 after %2</dd>", Util::formatBytes(data.cost.peak), Util::formatTime(data.peakTime));
    textRight += i18n("<dt><b>peak RSS</b> (including memloupe overhead):</dt><dd>%1</dd>", Util::formatBytes(data.peakRSS));
    if (isFiltered) {
        textRight += i18n("<dt><b>memory consumption delta</b>:</dt><dd>%1</dd>", Util::formatBytes(data.cost.leaked));
    } else if (data.totalLeakedSuppressed != 0) {
        textRight += i18n("<dt><b>total memory leaked</b>:</dt><dd>%1 (%2 suppressed)</dd>",
                          Util::formatBytes(data.cost.leaked),
                          Util::formatBytes(data.totalLeakedSuppressed));
    } else {
        textRight += i18n("<dt><b>total memory leaked</b>:</dt><dd>%1</dd>", Util::formatBytes(data.cost.leaked));
    }
    textRight += QStringLiteral("</dl></qt>");

    return {textLeft, textCenter, textRight};
}

QString missingSymbolsText(const SummaryData &data)
{
    const auto lines = Util::missingSymbolsLines(data.missingSymbols);
    if (lines.isEmpty()) {
        return {};
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + Util::missingSymbolsHint();
}
}
