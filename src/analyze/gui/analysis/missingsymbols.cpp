/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/missingsymbols.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <KLocalizedString>

#include "analyze/accumulatedtracedata.h"

#include "analyze/gui/analysis/util.h"

namespace
{
bool isUnnamed(const AccumulatedTraceData &data, const InstructionPointer &ip)
{
    const auto function = ip.frame.functionIndex;
    return !function || function.index > data.strings.size() || data.strings[function.index - 1].empty();
}

int percent(int64_t part, int64_t total)
{
    return total > 0 ? static_cast<int>(std::lround(static_cast<double>(part) * 100.0 / static_cast<double>(total))) : 0;
}
}

MissingSymbols computeMissingSymbols(const AccumulatedTraceData &data)
{
    // indexed by module string index; index 0 for instruction pointers without module
    std::vector<ModuleSymbolGaps> perModule;
    const auto moduleEntry = [&perModule](ModuleIndex module) -> ModuleSymbolGaps & {
        if (module.index >= perModule.size()) {
            perModule.resize(module.index + 1);
        }
        return perModule[module.index];
    };
    for (const auto &ip : data.instructionPointers) {
        auto &entry = moduleEntry(ip.moduleIndex);
        ++entry.instructionPointers;
        if (isUnnamed(data, ip)) {
            ++entry.unnamed;
        }
    }

    MissingSymbols missing;
    for (const auto &allocation : data.allocations) {
        missing.totalAllocations += allocation.allocations;
        const auto ipIndex = data.findTrace(allocation.traceIndex).ipIndex;
        if (!ipIndex) {
            continue;
        }
        const auto &ip = data.findIp(ipIndex);
        if (isUnnamed(data, ip)) {
            moduleEntry(ip.moduleIndex).allocations += allocation.allocations;
        }
    }

    for (std::size_t module = 0; module < perModule.size(); ++module) {
        auto &entry = perModule[module];
        if (entry.unnamed == 0) {
            continue;
        }
        if (module > 0 && module <= data.strings.size()) {
            entry.module = QString::fromStdString(data.strings[module - 1]);
        }
        missing.modules.append(entry);
    }
    std::stable_sort(missing.modules.begin(), missing.modules.end(), [](const ModuleSymbolGaps &lhs, const ModuleSymbolGaps &rhs) {
        if (lhs.allocations != rhs.allocations) {
            return lhs.allocations > rhs.allocations;
        }
        return lhs.module < rhs.module;
    });
    return missing;
}

QStringList Util::missingSymbolsLines(const MissingSymbols &missing)
{
    QStringList lines;
    for (const auto &module : missing.modules) {
        // below 1 % (rounding aside) the names would not change what a user sees
        if (missing.totalAllocations <= 0 || module.allocations * 100 < missing.totalAllocations) {
            continue;
        }
        const auto name = module.module.isEmpty() ? i18n("frames without a module") : Util::basename(module.module);
        lines.append(i18nc("%1: module, %2: percentage of its frames, %3: percentage of all allocations",
                           "%1: %2 % of its frames have no symbols — %3 % of the allocations",
                           name,
                           percent(module.unnamed, module.instructionPointers),
                           percent(module.allocations, missing.totalAllocations)));
    }
    return lines;
}

QString Util::missingSymbolsHint()
{
    // short lines: the summary's message box does not wrap them well
    return i18n(
        "To name these frames, install the debug symbols of these modules:\n"
        "the distribution's debug-symbol packages (e.g. -dbgsym on Debian and Ubuntu)\n"
        "or debuginfod (set DEBUGINFOD_URLS), then record the program again.");
}
