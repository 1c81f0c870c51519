/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/report/reportprinter.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <KLocalizedString>

#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"
#include "analyze/gui/report/jsonwriter.h"

namespace
{
struct CostKind {
    const char *title;
    int64_t AllocationData::*field;
    bool isBytes;
};

const CostKind TOP_LISTS[] = {
    {I18N_NOOP("Peak Contributions"), &AllocationData::peak, true},
    {I18N_NOOP("Largest Memory Leaks"), &AllocationData::leaked, true},
    {I18N_NOOP("Most Memory Allocations"), &AllocationData::allocations, false},
    {I18N_NOOP("Most Temporary Allocations"), &AllocationData::temporary, false},
};

// Per-second rate over the analysed range; 0 for an empty range.
int64_t perSecond(int64_t count, double seconds)
{
    if (seconds <= 0) {
        return 0;
    }
    return static_cast<int64_t>(static_cast<double>(count) / seconds);
}

void printLine(FILE *out, const QString &line)
{
    const auto utf8 = line.toUtf8();
    fwrite(utf8.constData(), 1, static_cast<std::size_t>(utf8.size()), out);
    fputc('\n', out);
}

QString plainString(const ResultData *resultData, StringIndex index)
{
    return resultData ? resultData->string(index) : QString();
}

void writeCost(JsonWriter &json, const AllocationData &cost)
{
    json.beginObject();
    json.key("allocations");
    json.value(cost.allocations);
    json.key("temporary");
    json.value(cost.temporary);
    json.key("leaked");
    json.value(cost.leaked);
    json.key("peak");
    json.value(cost.peak);
    json.endObject();
}

void writeSymbol(JsonWriter &json, const ResultData *resultData, const Symbol &symbol)
{
    json.key("function");
    json.value(plainString(resultData, symbol.functionId));
    json.key("module");
    json.value(plainString(resultData, symbol.moduleId));
}

void writeRows(JsonWriter &json, const ResultData *resultData, const QVector<RowData> &rows)
{
    json.beginArray();
    for (const auto &row : rows) {
        json.beginObject();
        writeSymbol(json, resultData, row.symbol);
        json.key("cost");
        writeCost(json, row.cost);
        json.key("children");
        writeRows(json, resultData, row.children);
        json.endObject();
    }
    json.endArray();
}

// (function, module) order by text, indices breaking ties between equal texts
template<typename Value>
std::vector<std::pair<Symbol, const Value *>> sortedBySymbol(const QHash<Symbol, Value> &hash, const ResultData *resultData)
{
    struct Keyed {
        QString function;
        QString module;
        Symbol symbol;
        const Value *value;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(static_cast<std::size_t>(hash.size()));
    for (auto it = hash.begin(); it != hash.end(); ++it) {
        keyed.push_back({plainString(resultData, it.key().functionId), plainString(resultData, it.key().moduleId), it.key(), &it.value()});
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &lhs, const Keyed &rhs) {
        if (lhs.function != rhs.function) {
            return lhs.function < rhs.function;
        }
        if (lhs.module != rhs.module) {
            return lhs.module < rhs.module;
        }
        return lhs.symbol < rhs.symbol;
    });
    std::vector<std::pair<Symbol, const Value *>> ret;
    ret.reserve(keyed.size());
    for (const auto &entry : keyed) {
        ret.emplace_back(entry.symbol, entry.value);
    }
    return ret;
}

void writeSymbolCosts(JsonWriter &json, const ResultData *resultData, const SymbolCostMap &map)
{
    json.beginArray();
    for (const auto &entry : sortedBySymbol(map, resultData)) {
        json.beginObject();
        writeSymbol(json, resultData, entry.first);
        json.key("cost");
        writeCost(json, *entry.second);
        json.endObject();
    }
    json.endArray();
}

void writeLocations(JsonWriter &json, const ResultData *resultData, const LocationCostMap &map)
{
    struct Keyed {
        QString file;
        FileLine location;
        const EntryCost *cost;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(static_cast<std::size_t>(map.size()));
    for (auto it = map.begin(); it != map.end(); ++it) {
        keyed.push_back({plainString(resultData, it.key().fileId), it.key(), &it.value()});
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &lhs, const Keyed &rhs) {
        if (lhs.file != rhs.file) {
            return lhs.file < rhs.file;
        }
        if (lhs.location.line != rhs.location.line) {
            return lhs.location.line < rhs.location.line;
        }
        return lhs.location.fileId < rhs.location.fileId;
    });
    json.beginArray();
    for (const auto &entry : keyed) {
        json.beginObject();
        json.key("file");
        json.value(entry.file);
        json.key("line");
        json.value(entry.location.line);
        json.key("inclusive");
        writeCost(json, entry.cost->inclusiveCost);
        json.key("self");
        writeCost(json, entry.cost->selfCost);
        json.endObject();
    }
    json.endArray();
}

void writeChart(JsonWriter &json, const ChartData &chart)
{
    const auto *resultData = chart.resultData.get();
    json.beginObject();
    json.key("labels");
    auto columns = chart.labels.keys();
    std::sort(columns.begin(), columns.end());
    json.beginArray();
    for (const int column : columns) {
        json.beginObject();
        json.key("column");
        json.value(column);
        writeSymbol(json, resultData, chart.labels.value(column));
        json.endObject();
    }
    json.endArray();
    json.key("rows");
    json.beginArray();
    for (const auto &row : chart.rows) {
        json.beginObject();
        json.key("time");
        json.value(row.timeStamp);
        json.key("cost");
        json.beginArray();
        for (const auto cost : row.cost) {
            json.value(cost);
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.endObject();
}
}

namespace
{
// Only the kinds that occurred are listed, each with its first lines, so a
// clean file gives {"unreadableLines": 0, "truncated": false, "damaged": false, "kinds": {}}.
void writeDiagnostics(JsonWriter &json, const TraceDiagnostics &diagnostics)
{
    json.beginObject();
    json.key("unreadableLines");
    json.value(static_cast<int64_t>(diagnostics.unreadableLines()));
    json.key("truncated");
    json.value(diagnostics.count(TraceDiagnostics::TruncatedInput) > 0);
    json.key("damaged");
    json.value(diagnostics.count(TraceDiagnostics::CorruptInput) > 0);
    json.key("kinds");
    json.beginObject();
    for (int kind = 0; kind < TraceDiagnostics::NumKinds; ++kind) {
        const auto &entry = diagnostics.entries[static_cast<std::size_t>(kind)];
        if (entry.count == 0) {
            continue;
        }
        json.key(TraceDiagnostics::key(static_cast<TraceDiagnostics::Kind>(kind)));
        json.beginObject();
        json.key("count");
        json.value(static_cast<int64_t>(entry.count));
        json.key("first");
        json.beginArray();
        for (const auto &sample : entry.samples) {
            json.beginObject();
            json.key("line");
            json.value(static_cast<int64_t>(sample.lineNumber));
            json.key("text");
            json.value(QString::fromUtf8(sample.line.data(), static_cast<int>(sample.line.size())));
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endObject();
    json.endObject();
}
}

void printTextReport(FILE *out, const ReportResults &results)
{
    const auto &summary = results.summary;
    const auto &filter = summary.filterParameters;
    const bool isFiltered = filter.minTime != 0 || filter.maxTime < summary.totalTime;
    const double totalTimeS = static_cast<double>(filter.maxTime - filter.minTime) * 0.001;

    const auto diagnostics = Util::diagnosticsText(summary.diagnostics);
    if (!diagnostics.isEmpty()) {
        printLine(out, i18n("warning: %1", diagnostics));
        fputc('\n', out);
    }

    printLine(out, i18n("debuggee: %1%2", summary.debuggee, summary.fromAttached ? i18n(" (attached)") : QString()));
    if (isFiltered) {
        printLine(out,
                  i18n("total runtime: %1, filtered from %2 to %3 (%4)",
                       Util::formatTime(summary.totalTime),
                       Util::formatTime(filter.minTime),
                       Util::formatTime(filter.maxTime),
                       Util::formatTime(filter.maxTime - filter.minTime)));
    } else {
        printLine(out, i18n("total runtime: %1", Util::formatTime(summary.totalTime)));
    }
    printLine(out, i18n("total system memory: %1", Util::formatBytes(summary.totalSystemMemory)));
    printLine(out, i18n("calls to allocation functions: %1 (%2/s)", summary.cost.allocations, perSecond(summary.cost.allocations, totalTimeS)));
    const QString temporaryShare = summary.cost.allocations
        ? QString::number(std::round(static_cast<float>(summary.cost.temporary) * 100.f * 100.f / static_cast<float>(summary.cost.allocations)) / 100.f)
        : QStringLiteral("0");
    printLine(out, i18n("temporary allocations: %1 (%2%, %3/s)", summary.cost.temporary, temporaryShare, perSecond(summary.cost.temporary, totalTimeS)));
    printLine(out, i18n("peak heap memory consumption: %1 after %2", Util::formatBytes(summary.cost.peak), Util::formatTime(summary.peakTime)));
    printLine(out, i18n("peak RSS: %1", Util::formatBytes(summary.peakRSS)));
    if (isFiltered) {
        printLine(out, i18n("memory consumption delta: %1", Util::formatBytes(summary.cost.leaked)));
    } else if (summary.totalLeakedSuppressed) {
        printLine(out,
                  i18n("total memory leaked: %1 (%2 suppressed)", Util::formatBytes(summary.cost.leaked), Util::formatBytes(summary.totalLeakedSuppressed)));
    } else {
        printLine(out, i18n("total memory leaked: %1", Util::formatBytes(summary.cost.leaked)));
    }

    const auto missingSymbols = Util::missingSymbolsLines(summary.missingSymbols);
    if (!missingSymbols.isEmpty()) {
        fputc('\n', out);
        printLine(out, i18n("frames without symbols:"));
        for (const auto &line : missingSymbols) {
            printLine(out, QLatin1String("  ") + line);
        }
        printLine(out, Util::missingSymbolsHint());
    }

    const auto *resultData = results.bottomUp.resultData.get();
    for (const auto &list : TOP_LISTS) {
        const int64_t total = absoluteCost(summary.cost.*list.field);
        const auto threshold = static_cast<int64_t>(static_cast<double>(total) * 0.01);
        std::vector<const RowData *> rows;
        for (const auto &row : results.bottomUp.rows) {
            const auto cost = absoluteCost(row.cost.*list.field);
            if (cost != 0 && cost >= threshold) {
                rows.push_back(&row);
            }
        }
        std::stable_sort(rows.begin(), rows.end(), [&list](const RowData *lhs, const RowData *rhs) {
            return absoluteCost(lhs->cost.*list.field) > absoluteCost(rhs->cost.*list.field);
        });
        fputc('\n', out);
        printLine(out, i18n(list.title) + QLatin1Char(':'));
        for (const auto *row : rows) {
            const auto cost = row->cost.*list.field;
            const QString value = list.isBytes ? Util::formatBytes(cost) : QString::number(cost);
            const QString name = resultData ? Util::toString(row->symbol, *resultData, Util::FormatType::Short) : QString();
            printLine(out, QStringLiteral("  %1  %2%  %3").arg(value, 10).arg(Util::formatCostRelative(cost, total), 5).arg(name));
        }
    }
    fflush(out);
}

void printJsonReport(FILE *out, const ReportResults &results, const QString &file, const QString &diffBase, const std::function<void(JsonWriter &json)> &extra)
{
    const auto &summary = results.summary;
    JsonWriter json(out);
    json.beginObject();
    json.key("schema");
    json.value(1);
    json.key("file");
    json.value(file);
    json.key("diffBase");
    if (diffBase.isEmpty()) {
        json.null();
    } else {
        json.value(diffBase);
    }

    json.key("summary");
    json.beginObject();
    json.key("debuggee");
    json.value(summary.debuggee);
    json.key("fromAttached");
    json.value(summary.fromAttached);
    json.key("totalTime");
    json.value(summary.totalTime);
    json.key("peakTime");
    json.value(summary.peakTime);
    json.key("peakRSS");
    json.value(summary.peakRSS);
    json.key("totalSystemMemory");
    json.value(summary.totalSystemMemory);
    json.key("cost");
    writeCost(json, summary.cost);
    json.key("totalLeakedSuppressed");
    json.value(summary.totalLeakedSuppressed);
    json.key("filter");
    json.beginObject();
    json.key("minTime");
    json.value(summary.filterParameters.minTime);
    json.key("maxTime");
    json.value(summary.filterParameters.maxTime);
    json.endObject();
    json.key("suppressions");
    json.beginArray();
    for (const auto &suppression : summary.suppressions) {
        json.beginObject();
        json.key("pattern");
        json.value(QString::fromStdString(suppression.pattern));
        json.key("matches");
        json.value(suppression.matches);
        json.key("leaked");
        json.value(suppression.leaked);
        json.endObject();
    }
    json.endArray();
    json.endObject();

    json.key("diagnostics");
    writeDiagnostics(json, summary.diagnostics);

    json.key("bottomUp");
    writeRows(json, results.bottomUp.resultData.get(), results.bottomUp.rows);
    json.key("topDown");
    writeRows(json, results.topDown.resultData.get(), results.topDown.rows);

    json.key("callerCallee");
    json.beginArray();
    const auto *callerCalleeStrings = results.callerCallee.resultData.get();
    for (const auto &entry : sortedBySymbol(results.callerCallee.entries, callerCalleeStrings)) {
        const auto &value = *entry.second;
        json.beginObject();
        writeSymbol(json, callerCalleeStrings, entry.first);
        json.key("inclusive");
        writeCost(json, value.inclusiveCost);
        json.key("self");
        writeCost(json, value.selfCost);
        json.key("callers");
        writeSymbolCosts(json, callerCalleeStrings, value.callers);
        json.key("callees");
        writeSymbolCosts(json, callerCalleeStrings, value.callees);
        json.key("locations");
        writeLocations(json, callerCalleeStrings, value.sourceMap);
        json.endObject();
    }
    json.endArray();

    json.key("sizeHistogram");
    json.beginArray();
    const auto *histogramStrings = results.histogram.resultData.get();
    for (const auto &row : results.histogram.rows) {
        json.beginObject();
        json.key("label");
        json.value(row.sizeLabel);
        json.key("size");
        json.value(row.size);
        json.key("columns");
        json.beginArray();
        for (const auto &column : row.columns) {
            json.beginObject();
            writeSymbol(json, histogramStrings, column.symbol);
            json.key("allocations");
            json.value(column.allocations);
            json.key("totalAllocated");
            json.value(column.totalAllocated);
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();

    json.key("charts");
    if (!results.hasCharts) {
        json.null();
    } else {
        json.beginObject();
        json.key("consumed");
        writeChart(json, results.consumed);
        json.key("allocations");
        writeChart(json, results.allocations);
        json.key("temporary");
        writeChart(json, results.temporary);
        json.endObject();
    }
    // only for traces that have unnamed frames, so that the document of every
    // other trace stays as it was
    const auto &missing = summary.missingSymbols;
    if (!missing.modules.isEmpty()) {
        json.key("missingSymbols");
        json.beginObject();
        json.key("allocations");
        json.value(missing.totalAllocations);
        json.key("modules");
        json.beginArray();
        for (const auto &module : missing.modules) {
            json.beginObject();
            json.key("module");
            json.value(module.module);
            json.key("instructionPointers");
            json.value(module.instructionPointers);
            json.key("unnamed");
            json.value(module.unnamed);
            json.key("allocations");
            json.value(module.allocations);
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    if (extra) {
        extra(json);
    }
    json.endObject();
    json.flush();
    fputc('\n', out);
}
