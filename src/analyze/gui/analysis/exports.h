/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Writing the cost trees in formats other viewers read.

    Folded stacks, as flame-graph tools read them: one line per call stack,
    its frames outermost first joined by ';', a blank and the cost of the
    stacks that end there:

        main;parse;std::vector<int>::reserve 4096

    A diff has two cost columns, base then current, as differential
    flame-graph tools read them:

        main;parse;std::vector<int>::reserve 2048 4096

    A frame is its function's name. A frame without a function name is
    "<unresolved function> in MODULE" with the basename of its module, as the
    trees show it, so that the unnamed frames of different modules stay apart.
    ';' in a name becomes ',' and line breaks become blanks, so every line
    splits the same way again. Lines are sorted by their stack text; stacks
    whose cost is zero (in both columns for a diff) are left out. The output is
    UTF-8.

    Speedscope files (the JSON format of the speedscope viewer): the frames
    shared, one "sampled" profile per cost with one sample per stack that has
    that cost, weighted in bytes (peak, leaked) or counts (allocations,
    temporary). Only for a plain run: a diff's negative weights mean nothing
    there.

    Both trees of a run describe the same stacks; pass the one at hand and say
    which it is. Writers return false when the device refused a write; they
    do not open or close the device.
*/

#pragma once

#include <QString>

#include <QStringList>
#include <QVector>
#include <functional>

#include "analyze/allocationdata.h"

#include "analyze/gui/analysis/treedata.h"

class QIODevice;
class ResultData;
struct Symbol;

namespace Exports
{
enum class Cost {
    Peak = 0,
    Leaked = 1,
    Allocations = 2,
    Temporary = 3,
};

enum class TreeDirection {
    // top level: the allocating functions, children: their callers
    BottomUp = 0,
    // top level: the outermost callers, children: their callees
    TopDown = 1,
};

// "peak", "leaked", "allocations", "temporary": the names the command line takes.
QString costName(Cost cost);
// False for any other text.
bool costFromName(const QString &name, Cost *cost);
int64_t costValue(const AllocationData &data, Cost cost);

// The text of one frame in every export (see above).
QString frameName(const Symbol &symbol, const ResultData &resultData);

// One distinct call stack of a tree and the costs of the stacks that end exactly there.
struct Stack {
    // outermost first, each a frameName()
    QStringList frames;
    AllocationData cost;
};

// Every stack with a non-zero cost of any kind, sorted by frames.
QVector<Stack> collectStacks(const TreeData &tree, TreeDirection direction);

bool writeFoldedStacks(QIODevice *device, const TreeData &tree, TreeDirection direction, Cost cost);
// Base and current are separate runs (not a diff tree): stacks are matched by their text.
bool writeFoldedStacksDiff(QIODevice *device,
                           const TreeData &base,
                           TreeDirection baseDirection,
                           const TreeData &current,
                           TreeDirection currentDirection,
                           Cost cost);

// @p name is the file's title in the viewer, e.g. the trace's file name.
bool writeSpeedscope(QIODevice *device, const TreeData &tree, TreeDirection direction, const QString &name);

// Writes a whole file or none of it: the text goes to a temporary file that
// replaces the target only when write returned true and every byte reached
// the disk. On failure *error holds the reason (the file's error text).
bool saveFile(const QString &path, const std::function<bool(QIODevice *)> &write, QString *error);
}
