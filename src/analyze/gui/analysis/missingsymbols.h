/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Which modules left frames without function names in a trace, and how much
    of the allocating happens right in them: a stripped library or a missing
    debug package shows up as a share of the allocations nobody can name.
*/

#pragma once

#include <cstdint>

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>

class AccumulatedTraceData;

struct ModuleSymbolGaps {
    // the module's path as the trace names it; empty when it names none
    QString module;
    // distinct instruction pointers of the module, and those without a function name
    int64_t instructionPointers = 0;
    int64_t unnamed = 0;
    // allocations whose innermost frame is one of the unnamed ones
    int64_t allocations = 0;
};

struct MissingSymbols {
    // only modules with unnamed frames, the most allocations first
    QVector<ModuleSymbolGaps> modules;
    // all allocations of the run, what the shares are of
    int64_t totalAllocations = 0;
};

// From the tables and the merged allocations of a read (not diffed) data set:
// one walk over the instruction pointers and one over the allocations.
MissingSymbols computeMissingSymbols(const AccumulatedTraceData &data);

namespace Util
{
// The modules whose unnamed frames carry at least 1 % of the allocations, one
// line each: "libfoo.so.1: 38 % of its frames have no symbols — 12 % of the
// allocations". Empty when there are none.
QStringList missingSymbolsLines(const MissingSymbols &missing);
// How to get the names, for below those lines: three lines of text.
QString missingSymbolsHint();
}

Q_DECLARE_METATYPE(MissingSymbols)
